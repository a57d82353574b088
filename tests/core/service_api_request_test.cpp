// The request builder and the response processor of the service API
// client, against the HTTPS stand-in with its CA pinned.

#include <gtest/gtest.h>

#include <mutex>

#include "core/region_records.h"
#include "core/result_model.h"
#include "platform/json.h"
#include "tests/core/service_api_fixture.h"

namespace vandrel::core {
namespace {

using namespace service_api_testing;
using Method = qv_Network::Method;
using Encoding = qv_Network::Encoding;

class ServiceApiRequestTest : public ServiceApiTest {
 protected:
  void SetUp() override {
    ServiceApiTest::SetUp();
    standin_->replyTo("/api/2/log", 200, kOkReply);
  }

  void startOnStandin(ServiceHooks hooks = {}) { start({hostOf(*standin_)}, std::move(hooks)); }

  ResultData get(std::string_view path, std::optional<qv_Network::Parameters> parameters = {}) {
    return await(network_->request(path, Method::GET, std::move(parameters), Encoding::url));
  }

  std::unique_ptr<ServiceStandin> standin_ = ServiceStandin::https();
};

TEST_F(ServiceApiRequestTest, PathsBecomeUrlsByTheInfixRule) {
  startOnStandin();
  struct Case {
    std::string path;         // as the caller gives it
    std::string standinPath;  // as the server sees it
    std::string lastPiece;    // of the "[NET OUT]" line
  };
  const std::vector<Case> cases = {
      {"/login", "/api/1/login", "login"},
      {"/api/2/log", "/api/2/log", "log"},
      {"/x/api/2", "/x/api/2", "2"},
      {"/api/2/line/region", "/api/2/line/region", "region"},
      {standin_->url("/direct/whole?x=1"), "/direct/whole", "whole"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    standin_->replyTo(c.standinPath, 200, kOkReply);
    standin_->clearLog();
    const ResultData result = get(c.path);
    EXPECT_TRUE(result.isSuccess) << result.message;
    const auto seen = standin_->requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, c.standinPath);
    EXPECT_EQ(countLogLines("[DEBUG]: [NET OUT] Path: " + c.lastPiece), 1u);
    EXPECT_EQ(countLogLines("[DEBUG]: [NET IN] Path: " + c.lastPiece), 1u);
  }
}

TEST_F(ServiceApiRequestTest, EveryRequestCarriesTheCommonParametersAndTheCallerWins) {
  startOnStandin();
  standin_->replyTo("/api/1/query", 200, kOkReply);
  standin_->replyTo("/api/2/body", 200, kOkReply);
  const std::map<std::string, std::string> common = {
      {"app_version", "2.3.4"},
      {"country_code", "AT"},
      {"device", "mac"},
      {"language_code", "en"},
      {"mac", "SERIAL-1234"},
      {"org", "oxal"},
      {"package_name", "com.vandrel.mac.offline"},
      {"realname", "1"},
  };
  EXPECT_EQ(network_->commonParameters().size(), common.size());

  ASSERT_TRUE(get("/query", qv_Network::Parameters{{"device", "desk"}, {"extra", 5}}).isSuccess);
  const auto query = standin_->requestsTo("/api/1/query").at(0);
  EXPECT_EQ(query.method, "GET");
  for (const auto& [key, value] : common) {
    EXPECT_EQ(query.param(key), key == "device" ? "desk" : value) << key;
  }
  EXPECT_EQ(query.param("extra"), "5");

  ASSERT_TRUE(await(network_->request("/api/2/body", Method::POST,
                                      qv_Network::Parameters{{"device", "desk"}}, Encoding::json))
                  .isSuccess);
  const auto posted = standin_->requestsTo("/api/2/body").at(0);
  EXPECT_EQ(posted.header("Content-Type"), "application/json");
  auto body = platform::parseJson(posted.body);
  ASSERT_TRUE(body.ok());
  for (const auto& [key, value] : common) {
    EXPECT_EQ(body.value().value(key, ""), key == "device" ? "desk" : value) << key;
  }
}

TEST_F(ServiceApiRequestTest, CookieIsSentOnlyWhenTheSessionHasOne) {
  startOnStandin();
  standin_->replyTo("/api/1/who", 200, kOkReply);
  ASSERT_TRUE(get("/who").isSuccess);
  EXPECT_FALSE(standin_->requestsTo("/api/1/who").at(0).header("Cookie").has_value());

  session_->setLoginCookie("ABS_KRLWIFISS=s3cret");
  ASSERT_TRUE(await(network_->request("/who", Method::GET, std::nullopt, Encoding::url,
                                      platform::HttpHeaders{{"Cookie", "caller=1"}}))
                  .isSuccess);
  EXPECT_EQ(standin_->requestsTo("/api/1/who").at(1).header("Cookie"), "ABS_KRLWIFISS=s3cret");
}

TEST_F(ServiceApiRequestTest, SignInFormArrivesIntact) {
  startOnStandin();
  standin_->replyTo("/api/1/login", 200, kOkReply);
  const std::string password = "p+ss&word=1 %2B é";
  ASSERT_TRUE(
      await(network_->login("user@example.invalid", password, LoginAuthType::email, "+43", "9876"))
          .isSuccess);
  const auto seen = standin_->requestsTo("/api/1/login").at(0);
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.header("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
  EXPECT_EQ(seen.query, "");
  EXPECT_EQ(seen.param("password"), password);
  EXPECT_EQ(seen.param("username"), "user@example.invalid");
  EXPECT_EQ(seen.param("phone"), "user@example.invalid");
  EXPECT_EQ(seen.param("email"), "user@example.invalid");
  EXPECT_EQ(seen.param("autokick"), "1");
  EXPECT_EQ(seen.param("auth_by"), "email");
  EXPECT_EQ(seen.param("cc"), "+43");
  EXPECT_EQ(seen.param("sms_code"), "9876");
  EXPECT_EQ(seen.param("org"), "oxal");
}

TEST_F(ServiceApiRequestTest, EnvelopeDecidesSuccessMessageAndCode) {
  startOnStandin();
  struct Case {
    const char* name;
    int status;
    std::string body;
    bool isSuccess;
    std::string message;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"status ok without code", 200, R"({"status":"ok"})", true, "ok", -99},
      {"code 0 with status error", 200, R"({"code":0,"status":"error"})", true, "error", 0},
      {"only code 5", 200, R"({"code":5})", false, "Empty Message", 5},
      {"service error", 200, R"({"status":"fail","code":7,"error":"bad thing"})", false,
       "bad thing", 7},
      {"code as text", 200, R"({"code":"0","status":"no","error":"x"})", false, "x", -99},
      {"integral double code", 200, R"({"code":5.0,"status":"ok"})", true, "ok", 5},
      {"http error status", 500, R"({"status":"ok","code":0})", true, "ok", 0},
      {"zero-byte body", 200, "", false, "Data Decode Error", -1},
      {"array body", 200, "[1,2]", false, "Data Decode Error", -1},
      {"html body", 502, "<html>bad gateway</html>", false, "Data Decode Error", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->replyTo("/api/1/envelope", c.status, c.body);
    const ResultData result = get("/envelope");
    EXPECT_EQ(result.isSuccess, c.isSuccess);
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(result.code, c.code);
    if (c.isSuccess) {
      EXPECT_EQ(result.response, c.body);
      auto parsed = platform::Value::fromJson(c.body);
      ASSERT_TRUE(parsed.ok());
      EXPECT_EQ(result.jsonData, *parsed.value().asDictionary());
    } else {
      EXPECT_TRUE(result.jsonData.empty());
      EXPECT_TRUE(result.response.empty());
      EXPECT_GE(countLogLines("[ERROR]: " + c.message), 1u);
    }
  }
  EXPECT_TRUE(drain());
}

TEST_F(ServiceApiRequestTest, SessionCookieIsTheLastPieceNamingIt) {
  startOnStandin();
  struct Case {
    const char* name;
    test_support::HeaderList headers;
    std::string cookie;
  };
  const std::vector<Case> cases = {
      {"after another pair and a comma",
       {{"Set-Cookie", "lang=en; path=/, ABS_KRLWIFISS=abc; path=/; HttpOnly"}},
       " ABS_KRLWIFISS=abc"},
      {"first in its header",
       {{"Set-Cookie", "ABS_KRLWIFISS=first; path=/"}},
       "ABS_KRLWIFISS=first"},
      {"several headers: the last one wins",
       {{"Set-Cookie", "ABS_KRLWIFISS=old; path=/"}, {"Set-Cookie", "ABS_KRLWIFISS=new; path=/"}},
       " ABS_KRLWIFISS=new"},
      {"no such pair", {{"Set-Cookie", "other=1"}}, ""},
      {"no header", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->replyTo("/api/1/cookie", ScriptedReply{200, c.headers, kOkReply, {}});
    const ResultData result = get("/cookie");
    ASSERT_TRUE(result.isSuccess);
    EXPECT_EQ(result.cookie, c.cookie);
  }
}

TEST_F(ServiceApiRequestTest, ForbiddenAreaReplyRefusesEveryLaterRequestLocally) {
  startOnStandin();
  standin_->replyTo("/api/1/ip", 200, R"({"code":-1,"status":"fail","error":"region refused"})");
  const ResultData refused = get("/ip");
  EXPECT_FALSE(refused.isSuccess);
  EXPECT_EQ(refused.message, "region refused");
  EXPECT_EQ(refused.code, -1);
  EXPECT_TRUE(session_->isForbiddenArea());

  standin_->replyTo("/api/1/ip", 200, kOkReply);
  const auto promise = network_->request("/ip", Method::GET, std::nullopt, Encoding::url);
  ASSERT_TRUE(promise.isSettled()) << "refused without being sent";
  const ResultData local = *promise.wait(0s);
  EXPECT_EQ(local.message, kForbiddenAreaMessage);
  EXPECT_EQ(local.code, -1);
  EXPECT_FALSE(local.isSuccess);
  EXPECT_TRUE(local.jsonData.empty());
  EXPECT_EQ(countLogLines("[ERROR]: " + std::string(kForbiddenAreaMessage)), 1u);
  EXPECT_TRUE(drain());
  EXPECT_EQ(standin_->requestsTo("/api/1/ip").size(), 1u);
  EXPECT_EQ(staticData_->errorTimes(), 0);
}

TEST_F(ServiceApiRequestTest, SpecialCodesReachTheHookAndFortyThousandSevenMakesItsOwnResult) {
  struct Call {
    std::int64_t code;
    std::string url;
  };
  std::mutex mutex;
  std::vector<Call> calls;
  ServiceHooks hooks;
  hooks.onSpecialCode = [&](std::int64_t code, const std::string& url,
                            const platform::Value::Dictionary& reply) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back({code, url});
    EXPECT_TRUE(reply.count("code"));
  };
  startOnStandin(std::move(hooks));
  struct Case {
    std::int64_t code;
    bool hooked;
    std::string message;
  };
  const std::vector<Case> cases = {
      {20001, true, "expired"},  {20010, true, "expired"},
      {40001, true, "expired"},  {40007, true, "请使用翎渡账号登录。"},
      {40002, false, "expired"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    {
      std::lock_guard<std::mutex> lock(mutex);
      calls.clear();
    }
    standin_->replyTo(
        "/api/1/special", 200,
        R"({"status":"fail","error":"expired","code":)" + std::to_string(c.code) + "}");
    const ResultData result = get("/special");
    EXPECT_FALSE(result.isSuccess);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.message, c.message);
    EXPECT_TRUE(result.fromServiceReply);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(calls.size(), c.hooked ? 1u : 0u);
    if (c.hooked) {
      EXPECT_EQ(calls[0].code, c.code);
      // The URL as sent, query included.
      EXPECT_EQ(calls[0].url.rfind(standin_->url("/api/1/special?app_version="), 0), 0u)
          << calls[0].url;
    }
  }
  EXPECT_EQ(staticData_->errorTimes(), 0);
}

TEST_F(ServiceApiRequestTest, CancelledRequestSettlesOnceQuietly) {
  int hookCalls = 0;
  ServiceHooks hooks;
  hooks.onSpecialCode = [&](std::int64_t, const std::string&, const platform::Value::Dictionary&) {
    ++hookCalls;
  };
  startOnStandin(std::move(hooks));
  standin_->replyTo("/api/1/slow", ScriptedReply{200, {}, kOkReply, std::chrono::seconds(8)});
  const auto promise = network_->request("/slow", Method::GET, std::nullopt, Encoding::url);
  ASSERT_TRUE(standin_->waitForRequest("/api/1/slow", 10s));
  network_->cancelAllTasks();
  const ResultData result = await(promise);
  EXPECT_EQ(result.message, "cancelled");
  EXPECT_EQ(result.code, -1);
  EXPECT_FALSE(result.isSuccess);
  EXPECT_TRUE(drain());
  EXPECT_EQ(countLogLines("[DEBUG]: [NET CANCELLED] Path: slow"), 1u);
  for (const auto& line : logLines()) EXPECT_EQ(line.find("[ERROR]"), std::string::npos) << line;
  EXPECT_EQ(staticData_->errorTimes(), 0);
  EXPECT_TRUE(standin_->requestsTo("/api/2/log").empty());
  EXPECT_EQ(hookCalls, 0);
}

TEST_F(ServiceApiRequestTest, ToModelDecodesSuccessesOnlyAndNamesTheType) {
  startOnStandin();
  standin_->replyTo("/api/2/line/region", 200,
                    R"({"status":"ok","code":0,"regions":[{"name":"AT","lines":[{"id":3}]}]})");
  const ResultData ok = get("/api/2/line/region");
  const auto regions = toModel<RegionsModel>(ok);
  ASSERT_TRUE(regions.has_value());
  ASSERT_TRUE(regions->regions.has_value());
  EXPECT_EQ(regions->regions->at(0).name, "AT");
  EXPECT_EQ(regions->code, 0);

  EXPECT_FALSE(toModel<RegionsModel>(ResultData::failure("nope")).has_value());
  EXPECT_EQ(countLogLines("[DEBUG]: toModelError: RegionsModel"), 1u);

  ResultData wrongShape = ok;
  wrongShape.response = R"({"regions":"not a list"})";
  EXPECT_FALSE(toModel<RegionsModel>(wrongShape).has_value());
  const auto lines = logLines();
  const auto first = std::find(lines.begin(), lines.end(), "[DEBUG]: toModelError: RegionsModel");
  ASSERT_NE(first, lines.end());
  const auto second = std::find(first + 1, lines.end(), "[DEBUG]: toModelError: RegionsModel");
  ASSERT_NE(second, lines.end());
  ASSERT_NE(second + 1, lines.end());
  EXPECT_EQ((second + 1)->rfind("[DEBUG]: toModelError: ", 0), 0u);
  EXPECT_NE(*(second + 1), "[DEBUG]: toModelError: RegionsModel");
}

}  // namespace
}  // namespace vandrel::core
