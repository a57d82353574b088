// The calls of the service's endpoints: what the stand-in sees of each, and
// the log-file upload's own rules.

#include <gtest/gtest.h>

#include "core/line_item.h"
#include "core/region_records.h"
#include "platform/json.h"
#include "tests/core/service_api_fixture.h"

namespace vandrel::core {
namespace {

using namespace service_api_testing;
using Json = nlohmann::json;

const Json kCipherMethods =
    Json::array({"chacha20-ietf-poly1305", "aes-256-gcm", "aes-128-gcm", "chacha20-ietf",
                 "xchacha20", "aes-256-cfb", "aes-128-cfb"});

class ServiceApiCallsTest : public ServiceApiTest {
 protected:
  void SetUp() override {
    ServiceApiTest::SetUp();
    if (HasFatalFailure()) return;
    start({hostOf(*standin_)});
  }

  // The one request the stand-in saw at `path`, its JSON body parsed.
  Json jsonBodyAt(const std::string& path) {
    const auto seen = standin_->requestsTo(path);
    EXPECT_EQ(seen.size(), 1u) << path;
    if (seen.empty()) return Json();
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
    auto body = platform::parseJson(seen[0].body);
    EXPECT_TRUE(body.ok()) << seen[0].body;
    EXPECT_EQ(body.value().value("org", ""), "oxal") << "common parameters travel too";
    return body.ok() ? body.value() : Json();
  }

  void reply(const std::string& path) { standin_->replyTo(path, 200, kOkReply); }

  std::shared_ptr<LineItem> lineWith(std::optional<std::int64_t> id,
                                     std::optional<std::string> boostSession = std::nullopt,
                                     std::optional<bool> alive = std::nullopt) {
    LineItem::Fields fields;
    fields.id = id;
    fields.boostSession = std::move(boostSession);
    fields.isAlive = alive;
    return LineItem::create(fields);
  }

  std::unique_ptr<ServiceStandin> standin_ = ServiceStandin::https();
};

TEST_F(ServiceApiCallsTest, LogRecordLeavesOutCreateTimeAndEndsWithTheServiceTime) {
  reply("/api/2/log");
  LogRecord record;
  record.set("createTime", "1700000123400");
  record.set("zeta", "1");
  record.set("alpha", "two");
  EXPECT_TRUE(await(network_->uploadLogRecord("vandrel", "client_log", record)).isSuccess);
  const Json body = jsonBodyAt("/api/2/log");
  EXPECT_EQ(body["project"], "vandrel");
  EXPECT_EQ(body["logstore"], "client_log");
  ASSERT_EQ(body["logs"].size(), 1u);
  EXPECT_EQ(body["logs"][0]["timestamp"], 1700000123);
  const Json expectedKv = Json::array({{{"key", "zeta"}, {"value", "1"}},
                                       {{"key", "alpha"}, {"value", "two"}},
                                       {{"key", "__time__"}, {"value", "1700000123"}}});
  EXPECT_EQ(body["logs"][0]["kv"], expectedKv);
}

TEST_F(ServiceApiCallsTest, ConnectFreeSendsTheUserAndTheCipherMethods) {
  reply("/api/2/line/connectfree");
  ASSERT_TRUE(await(network_->connectFree()).isSuccess);
  Json body = jsonBodyAt("/api/2/line/connectfree");
  EXPECT_EQ(body["proto"], "GTS");
  EXPECT_EQ(body["userID"], -1) << "no account record";
  EXPECT_EQ(body["methods"], kCipherMethods);

  standin_->clearLog();
  signIn(4242, "nick", false);
  ASSERT_TRUE(await(network_->connectFree()).isSuccess);
  EXPECT_EQ(jsonBodyAt("/api/2/line/connectfree")["userID"], 4242);
}

TEST_F(ServiceApiCallsTest, ConnectLineNamesTheLineOrAsksForARecommendation) {
  RegionsItem region;
  region.lines = std::vector<std::shared_ptr<LineItem>>{
      lineWith(3, std::nullopt, true), lineWith(4, std::nullopt, false),
      lineWith(std::nullopt, std::nullopt, true), lineWith(5)};
  struct Case {
    const char* name;
    std::shared_ptr<LineItem> line;
    ConnectMode mode;
    RegionsItem region;
    std::string path;
    Json expected;  // the call's own keys; absent ones must be absent
  };
  const std::vector<Case> cases = {
      {"a line, app mode",
       lineWith(17),
       ConnectMode::app,
       region,
       "/api/2/line/connect/17",
       {{"lineID", 17}, {"proto", "SS"}, {"available_line", {3, -1}}}},
      {"no line, ssw mode",
       nullptr,
       ConnectMode::ssw,
       region,
       "/api/2/line/connect/0",
       {{"recommendedLine", true}, {"proto", "SSW"}, {"available_line", {3, -1}}}},
      {"a line without id, no region lines",
       lineWith(std::nullopt),
       ConnectMode::web,
       RegionsItem{},
       "/api/2/line/connect/0",
       {{"lineID", 0}, {"proto", "SS"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    reply(c.path);
    port_.setConnectMode(c.mode);
    port_.setCurrentRegionValue(c.region);
    ASSERT_TRUE(await(network_->connectLine(c.line)).isSuccess);
    const Json body = jsonBodyAt(c.path);
    EXPECT_EQ(body["userID"], -1);
    EXPECT_EQ(body["methods"], kCipherMethods);
    for (const char* key : {"lineID", "recommendedLine", "proto", "available_line"}) {
      EXPECT_EQ(body.contains(key), c.expected.contains(key)) << key;
      if (c.expected.contains(key)) {
        EXPECT_EQ(body[key], c.expected[key]) << key;
      }
    }
  }
}

TEST_F(ServiceApiCallsTest, DisconnectLineSendsTheLinesSession) {
  struct Case {
    const char* name;
    std::shared_ptr<LineItem> line;
    std::string path;
    std::optional<Json> lineID;
    std::optional<Json> boostSession;
  };
  const std::vector<Case> cases = {
      {"with a session", lineWith(9, "sess-1"), "/api/2/line/disconnect/9", 9, "sess-1"},
      {"without a session", lineWith(9), "/api/2/line/disconnect/9", 9, ""},
      {"without a line", nullptr, "/api/2/line/disconnect/0", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    reply(c.path);
    ASSERT_TRUE(await(network_->disconnectLine(c.line)).isSuccess);
    const Json body = jsonBodyAt(c.path);
    EXPECT_EQ(body.contains("lineID"), c.lineID.has_value());
    if (c.lineID) {
      EXPECT_EQ(body["lineID"], *c.lineID);
    }
    EXPECT_EQ(body.contains("boostSession"), c.boostSession.has_value());
    if (c.boostSession) {
      EXPECT_EQ(body["boostSession"], *c.boostSession);
    }
  }
}

TEST_F(ServiceApiCallsTest, CatalogueCallsUseTheirPathsAndQueries) {
  for (const char* path :
       {"/api/1/goods", "/api/1/app/notifications", "/api/1/app/notifications/55/read"}) {
    reply(path);
  }
  ASSERT_TRUE(await(network_->goods("boost_service", "yearly,monthly")).isSuccess);
  ASSERT_TRUE(await(network_->goods("boost_service", "")).isSuccess);
  ASSERT_TRUE(await(network_->notifications()).isSuccess);
  ASSERT_TRUE(await(network_->readNotification("55")).isSuccess);

  const auto goods = standin_->requestsTo("/api/1/goods");
  ASSERT_EQ(goods.size(), 2u);
  EXPECT_EQ(goods[0].method, "GET");
  EXPECT_EQ(goods[0].param("type"), "boost_service");
  EXPECT_EQ(goods[0].param("plan"), "yearly,monthly");
  EXPECT_FALSE(goods[1].param("plan").has_value());
  const auto notifications = standin_->requestsTo("/api/1/app/notifications").at(0);
  EXPECT_EQ(notifications.method, "GET");
  EXPECT_EQ(notifications.param("type"), "user_message");
  EXPECT_EQ(notifications.param("unread"), "true");
  const auto read = standin_->requestsTo("/api/1/app/notifications/55/read").at(0);
  EXPECT_EQ(read.method, "POST");
  EXPECT_EQ(read.param("package_name"), "com.vandrel.mac.offline");
}

TEST_F(ServiceApiCallsTest, LogFileGoesAsOneZipPartWithoutCookieOrCommonParameters) {
  reply("/api/2/log/file");
  session_->setLoginCookie("ABS_KRLWIFISS=s3cret");
  session_->setIsForbiddenArea(true);  // the upload is sent all the same
  const std::string archive("\x1f\x8b\x08\0gzip\0bytes", 15);
  const ResultData result =
      await(network_->uploadLogFile(archive, "macOS-Vandrel-2024-03-01-0-9:05:07.log.zip"));
  EXPECT_TRUE(result.isSuccess);
  EXPECT_EQ(result.message, "ok");
  EXPECT_EQ(result.code, 0);
  const auto seen = standin_->requestsTo("/api/2/log/file");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].query, "");
  EXPECT_FALSE(seen[0].header("Cookie").has_value());
  ASSERT_EQ(seen[0].parts.size(), 1u);
  EXPECT_EQ(seen[0].parts[0].name, "file");
  EXPECT_EQ(seen[0].parts[0].filename, "macOS-Vandrel-2024-03-01-0-9:05:07.log.zip");
  EXPECT_EQ(seen[0].parts[0].contentType, "application/zip");
  EXPECT_EQ(seen[0].parts[0].content, archive);
}

TEST_F(ServiceApiCallsTest, LogFileReplyNeedsStatusOkAndCodeZero) {
  struct Case {
    const char* name;
    std::string body;
    bool drop;
    bool isSuccess;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"ok and 0", R"({"status":"ok","code":0})", false, true, "ok"},
      {"ok without code", R"({"status":"ok"})", false, false, "unKnow"},
      {"code 0 without status", R"({"code":0,"error":"half"})", false, false, "half"},
      {"service error", R"({"status":"fail","code":3,"error":"too big"})", false, false, "too big"},
      {"not JSON", "<html/>", false, false, "decode error"},
      {"array", "[]", false, false, "decode error"},
      {"connection dropped", "", true, false, "decode error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->replyTo("/api/2/log/file", 200, c.body);
    standin_->dropEveryConnection(c.drop);
    const ResultData result = await(network_->uploadLogFile("data", "name.log.zip"));
    EXPECT_EQ(result.isSuccess, c.isSuccess);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.code, c.isSuccess ? 0 : -1);
    if (!c.isSuccess) {
      EXPECT_GE(countLogLines("[ERROR]: " + c.message), 1u);
    }
  }
  standin_->dropEveryConnection(false);
  ASSERT_TRUE(drain());
  EXPECT_EQ(staticData_->errorTimes(), 0) << "the upload never counts towards fail-over";
  EXPECT_TRUE(standin_->requestsTo("/api/2/log").empty());
}

}  // namespace
}  // namespace vandrel::core
