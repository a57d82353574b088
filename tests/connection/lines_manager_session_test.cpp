// The session request against the HTTPS stand-in: which request goes out,
// which line is filled, what the configuration branches write, and the
// failures.

#include <gtest/gtest.h>

#include "connection/lines_manager.h"
#include "tests/connection/lines_manager_fixture.h"

namespace vandrel::connection {
namespace {

using namespace testing_support;

constexpr const char* kConnectAuto = "/api/2/line/connect/0";
constexpr const char* kConnectFree = "/api/2/line/connectfree";

std::string sessionReply(const std::string& fields) {
  return R"({"status":"ok","code":0)" + (fields.empty() ? "" : "," + fields) + "}";
}

class SessionTest : public LinesManagerTestBase {
 protected:
  void SetUp() override {
    LinesManagerTestBase::SetUp();
    if (HasFatalFailure()) return;
    loadCatalogue(regionListReply());
    signIn(77, "Kim", /*expired=*/false);
  }

  // A catalogue fetched while connected (no ping cycle), then off again.
  void loadCatalogue(const std::string& reply) {
    standin_->replyTo(std::string(kRegionListPath), 200, reply);
    connection_->setConnectStatus(qv_ConnectStatus::qv_on);
    if (!manager_) makeManager();
    ASSERT_TRUE(fetch().isSuccess);
    connection_->setConnectStatus(qv_ConnectStatus::qv_off);
  }

  // requestSession runs on a global queue (it blocks); the main queue is
  // pumped here meanwhile.
  ResultData session(std::shared_ptr<LineItem> line) {
    platform::Promise<ResultData> outer;
    platform::globalQueue().async(
        [this, line, outer] { outer.resolve(manager_->requestSession(line).wait()); });
    return await(outer);
  }

  // A line that is not in the catalogue, with earlier configuration values.
  static std::shared_ptr<LineItem> passedLine(std::optional<std::string> domain = std::nullopt) {
    auto line = LineItem::create();
    line->update([&](LineItem::Fields& f) {
      f.id = 500;
      f.name = "picked";
      f.mtu = 1500;
      f.token = "old token";
      f.headerKey = "old key";
      f.encrypt = 7;
      f.url = "old url";
      f.domain = domain;
    });
    return line;
  }
};

TEST_F(SessionTest, TheRequestFollowsTheAccountAndTheAutomaticChoice) {
  struct Case {
    const char* name;
    bool expired;
    bool autoSelect;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"automatic", false, true, kConnectAuto},
      {"picked line", false, false, "/api/2/line/connect/500"},
      {"expired, automatic", true, true, kConnectFree},
      {"expired, picked line", true, false, kConnectFree},
  };
  const std::string reply = sessionReply(R"("config":{"SSConf":{}})");
  for (const std::string path : {kConnectAuto, kConnectFree, "/api/2/line/connect/500"}) {
    standin_->replyTo(path, 200, reply);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    signIn(77, "Kim", c.expired);
    manager_->setIsAutoSelect(c.autoSelect);
    standin_->clearLog();
    EXPECT_TRUE(session(passedLine()).isSuccess);
    EXPECT_EQ(standin_->requestsTo(c.path).size(), 1u);
    EXPECT_EQ(standin_->requests().size(), 1u);
  }
}

TEST_F(SessionTest, TheLineFilledIsTheCataloguesOwnOrThePassedOne) {
  struct Case {
    const char* name;
    bool autoSelect;
    std::string replyFields;
    std::optional<std::int64_t> catalogueId;  // the current line is this catalogue line
    std::int64_t id;
    std::string lineName;
    bool autoSelectAfter;
    std::string boostSession;
  };
  const std::string config = R"("config":{"SSConf":{"server":"203.0.113.5","port":8388,"password":"pw"}})";
  const std::vector<Case> cases = {
      {"id in the catalogue", true, R"("lineID":12,"boostSession":"tok",)" + config, 12, 12,
       "Tokyo 2", true, "tok"},
      {"id in the catalogue, picked line", false, R"("lineID":12,)" + config, 12, 12, "Tokyo 2",
       false, "None"},
      {"id not in the catalogue", true, R"("lineID":555,"boostSession":"t2",)" + config,
       std::nullopt, 555, "自动选择线路", true, "t2"},
      {"id not in the catalogue, named", true, R"("lineID":555,"lineName":"Far",)" + config,
       std::nullopt, 555, "Far", true, "None"},
      {"no id", false, config, std::nullopt, -999, "自动选择线路", true, "None"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string path : {kConnectAuto, "/api/2/line/connect/500"}) {
      standin_->replyTo(path, 200, sessionReply(c.replyFields));
    }
    manager_->setIsAutoSelect(c.autoSelect);
    const auto passed = passedLine();
    const ResultData result = session(passed);
    ASSERT_TRUE(result.isSuccess) << result.message;
    EXPECT_EQ(result.message, "ok");
    EXPECT_EQ(result.code, 0);
    const auto current = manager_->currentLine();
    if (c.catalogueId) {
      EXPECT_EQ(current, modelLine(*c.catalogueId));
      EXPECT_EQ(passed->name(), "picked") << "the passed line was written";
    } else {
      EXPECT_EQ(current, passed);
    }
    const LineItem::Fields f = current->fields();
    EXPECT_EQ(f.id, c.id);
    EXPECT_EQ(f.name, c.lineName);
    EXPECT_EQ(f.server, "203.0.113.5");
    EXPECT_EQ(f.port, 8388);
    EXPECT_EQ(f.password, "pw");
    EXPECT_EQ(f.method, "aes-128-cfb");
    EXPECT_EQ(f.boostSession, c.boostSession);
    EXPECT_EQ(manager_->isAutoSelect(), c.autoSelectAfter);
    EXPECT_EQ(core::loadModel<LineItem>(kCurrentLineCacheEntry)->id(), c.id);
  }
}

TEST_F(SessionTest, TheFirstMatchingBranchWritesItsFieldsAndTheRestKeepTheirs) {
  struct Case {
    const char* name;
    std::string config;
    std::optional<std::string> domain;
    std::function<void(const LineItem::Fields&)> check;
    const char* debugLine;
  };
  const std::vector<Case> cases = {
      {"S without method",
       R"({"SSConf":{"server":"s","port":8388,"password":"p"}})", std::nullopt,
       [](const LineItem::Fields& f) {
         EXPECT_EQ(f.method, "aes-128-cfb");
         EXPECT_EQ(f.port, 8388);
       },
       "[DEBUG]: Cache S Mode"},
      {"S and G: only S",
       R"({"GTSConf":{"mTU":1200,"token":"new"},"SSConf":{"server":"s","method":"m"}})",
       std::nullopt,
       [](const LineItem::Fields& f) {
         EXPECT_EQ(f.method, "m");
         EXPECT_EQ(f.mtu, 1500);
         EXPECT_EQ(f.token, "old token");
         EXPECT_EQ(f.headerKey, "old key");
       },
       "[DEBUG]: Cache S Mode"},
      {"port as text", R"({"SSConf":{"server":"s","port":"443"}})", std::nullopt,
       [](const LineItem::Fields& f) { EXPECT_EQ(f.port, 0); }, "[DEBUG]: Cache S Mode"},
      {"W with empty host takes the domain",
       R"({"SSWConf":{"host":"","username":"u","server":"w","port":9,"password":"p"}})",
       "d.example",
       [](const LineItem::Fields& f) {
         EXPECT_EQ(f.host, "d.example");
         EXPECT_EQ(f.url, "None");
         EXPECT_EQ(f.username, "u");
         EXPECT_EQ(f.server, "w");
         EXPECT_EQ(f.mtu, 1500);
       },
       "[DEBUG]: Cache W Mode"},
      {"W without host or domain", R"({"SSWConf":{"url":"https://u.example"}})", std::nullopt,
       [](const LineItem::Fields& f) {
         EXPECT_EQ(f.host, "");
         EXPECT_EQ(f.url, "https://u.example");
         EXPECT_EQ(f.username, "None");
       },
       "[DEBUG]: Cache W Mode"},
      {"G with lower-case mtu",
       R"({"GTSConf":{"mtu":1400,"headerKey":"h","net":"10.0.0.0/8","gateway":"10.0.0.1",)"
       R"("encrypt":0,"server":"g","port":5}})",
       std::nullopt,
       [](const LineItem::Fields& f) {
         EXPECT_EQ(f.mtu, 1380);
         EXPECT_EQ(f.headerKey, "h");
         EXPECT_EQ(f.token, "");
         EXPECT_EQ(f.net, "10.0.0.0/8");
         EXPECT_EQ(f.gateway, "10.0.0.1");
         EXPECT_EQ(f.encrypt, 0);
         EXPECT_EQ(f.url, "old url");
       },
       "[DEBUG]: Cache G Mode"},
      {"G defaults", R"({"GTSConf":{"mTU":1300}})", std::nullopt,
       [](const LineItem::Fields& f) {
         EXPECT_EQ(f.mtu, 1300);
         EXPECT_EQ(f.encrypt, 1);
         EXPECT_EQ(f.token, "");
       },
       "[DEBUG]: Cache G Mode"},
      {"no branch", R"({"other":{}})", std::nullopt,
       [](const LineItem::Fields& f) {
         EXPECT_EQ(f.server, "");
         EXPECT_EQ(f.port, 0);
         EXPECT_EQ(f.password, "");
         EXPECT_EQ(f.method, "aes-128-cfb");
         EXPECT_EQ(f.mtu, 1500);
         EXPECT_EQ(f.boostSession, "None");
       },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->replyTo(kConnectAuto, 200, sessionReply(R"("config":)" + c.config));
    const std::size_t sLines = countLogLines("[DEBUG]: Cache S Mode");
    const std::size_t wLines = countLogLines("[DEBUG]: Cache W Mode");
    const std::size_t gLines = countLogLines("[DEBUG]: Cache G Mode");
    const auto passed = passedLine(c.domain);
    ASSERT_TRUE(session(passed).isSuccess);
    c.check(passed->fields());
    const std::size_t after = countLogLines("[DEBUG]: Cache S Mode") - sLines +
                              countLogLines("[DEBUG]: Cache W Mode") - wLines +
                              countLogLines("[DEBUG]: Cache G Mode") - gLines;
    EXPECT_EQ(after, c.debugLine ? 1u : 0u);
    if (c.debugLine) {
      EXPECT_GE(countLogLines(c.debugLine), 1u);
    }
  }
}

TEST_F(SessionTest, ALineIdInSeveralRegionsTakesTheLastRegionsLine) {
  loadCatalogue(
      R"({"status":"ok","code":0,"regions":[)"
      R"({"name":"A","lines":[{"id":1,"name":"a1"},{"id":7,"name":"a7"},{"id":7,"name":"a7 again"}]},)"
      R"({"name":"B","lines":[{"id":7,"name":"b7"}]},{"name":"C","lines":[{"id":2,"name":"c2"}]}]})");
  standin_->replyTo(kConnectAuto, 200, sessionReply(R"("lineID":7,"config":{"SSConf":{}})"));
  ASSERT_TRUE(session(passedLine()).isSuccess);
  EXPECT_EQ(manager_->currentLine()->name(), "b7");
  EXPECT_EQ(manager_->currentLine(), manager_->regionList()[1].lines->front());
}

TEST_F(SessionTest, FailuresLeaveTheCurrentLineAndSayWhy) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string reply;
    std::string message;
    bool requestSent;
  };
  const std::vector<Case> cases = {
      {"connected", [&] { connection_->setConnectStatus(qv_ConnectStatus::qv_on); },
       sessionReply(R"("config":{"SSConf":{}})"), "Could not get Session now.", false},
      {"not signed in", [&] { session_->setModel(std::nullopt); },
       sessionReply(R"("config":{"SSConf":{}})"), "Please Login your account before connect.",
       false},
      {"refused", [] {}, R"({"status":"fail","code":4321,"error":"line is full"})",
       "line is full", true},
      {"no configuration", [] {}, sessionReply(R"("lineID":12,"config":"none")"),
       "server not available at the moment", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connection_->setConnectStatus(qv_ConnectStatus::qv_off);
    signIn(77, "Kim", false);
    c.prepare();
    standin_->replyTo(kConnectAuto, 200, c.reply);
    standin_->clearLog();
    const auto before = manager_->currentLine();
    const std::string beforeJson = modelLine(12)->toJsonText();
    const std::size_t errors = countLogLines("[ERROR]: " + c.message);
    const ResultData result = session(passedLine());
    EXPECT_FALSE(result.isSuccess);
    EXPECT_EQ(result.code, -1);
    EXPECT_EQ(result.message, c.message);
    EXPECT_TRUE(result.jsonData.empty());
    EXPECT_EQ(manager_->currentLine(), before);
    EXPECT_EQ(modelLine(12)->toJsonText(), beforeJson);
    EXPECT_GE(countLogLines("[ERROR]: " + c.message), errors + 1);
    EXPECT_EQ(standin_->requestsTo(kConnectAuto).size(), c.requestSent ? 1u : 0u);
    // A refusal, and only it, is reported on the passed line.
    ASSERT_TRUE(drain());
    const auto records = sentLogRecords(*standin_, "client_log");
    const bool refused = c.message == "line is full";
    ASSERT_EQ(records.size(), refused ? 1u : 0u);
    if (refused) {
      EXPECT_EQ(records[0].value("error"), "line is full");
      EXPECT_EQ(records[0].value("name"), "picked");
    }
  }
}

TEST_F(SessionTest, TheRequestIsLoggedWithTheLinesName) {
  standin_->replyTo(kConnectAuto, 200, sessionReply(R"("config":{"SSConf":{}})"));
  ASSERT_TRUE(session(passedLine()).isSuccess);
  auto unnamed = LineItem::create();
  unnamed->setName(std::nullopt);
  ASSERT_TRUE(session(unnamed).isSuccess);
  EXPECT_EQ(countLogLines("[DEBUG]: Request Session: picked"), 1u);
  EXPECT_EQ(countLogLines("[DEBUG]: Request Session: unKnow"), 1u);
}

}  // namespace
}  // namespace vandrel::connection
