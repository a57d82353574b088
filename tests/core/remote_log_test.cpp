// The common log fields and the "client_log" and "bad_url_log" records, as
// the stand-in receives them.

#include <gtest/gtest.h>

#include "core/line_item.h"
#include "platform/json.h"
#include "tests/core/service_api_fixture.h"

namespace vandrel::core {
namespace {

using namespace service_api_testing;
using Json = nlohmann::json;

class RemoteLogTest : public ServiceApiTest {
 protected:
  void SetUp() override {
    ServiceApiTest::SetUp();
    if (HasFatalFailure()) return;
    standin_->replyTo("/api/2/log", 200, kOkReply);
    start({hostOf(*standin_)});
  }

  // Drains and returns the one record sent.
  SentLogRecord onlyRecord() {
    EXPECT_TRUE(drain());
    const auto records = sentLogRecords(*standin_);
    EXPECT_EQ(records.size(), 1u);
    standin_->clearLog();
    return records.empty() ? SentLogRecord{} : records[0];
  }

  std::unique_ptr<ServiceStandin> standin_ = ServiceStandin::https();
};

TEST_F(RemoteLogTest, CommonFieldsComeInTheirOrderAndAreSharedWithTheAppGroup) {
  port_.setConnectMode(ConnectMode::ssw);
  port_.setAutoSelect(false);
  port_.setConnectNetwork("wifi");
  session_->setIpAddress("203.0.113.9");
  const LogRecord fields = remoteLog_->commonLogFields();
  const std::vector<LogRecord::Entry> expected = {
      {"createTime", "1700000123400"},
      {"logInitTime", "1700000123400"},
      {"nickName", "unknown"},
      {"isVIP", "0"},
      {"appVersion", "2.3.4"},
      {"osVersion", "12"},
      {"model", "Test Machine 9"},
      {"device", "mac"},
      {"region", "AT"},
      {"bundleId", "com.vandrel.mac.offline"},
      {"connectMode", "ssw"},
      {"strategy", "current"},
      {"network", "wifi"},
      {"local_ip", "203.0.113.9"},
  };
  EXPECT_EQ(fields.entries(), expected);
  const auto shared = appGroupDefaults_.getDictionary(kPublicLogCacheKey);
  ASSERT_TRUE(shared.has_value());
  EXPECT_EQ(shared->size(), expected.size());
  for (const auto& [key, value] : expected) {
    ASSERT_TRUE(shared->count(key)) << key;
    EXPECT_EQ(shared->at(key), platform::Value(value)) << key;
  }
}

TEST_F(RemoteLogTest, AccountAndModeFieldsFollowTheSessionAndTheConnectionPort) {
  struct Case {
    const char* name;
    std::optional<std::string> nick;  // signed in when set or when `signedIn`
    bool signedIn;
    bool expired;
    ConnectMode mode;
    bool autoSelect;
    std::string nickName, isVIP, connectMode, strategy, topic;
  };
  const std::vector<Case> cases = {
      {"signed out", std::nullopt, false, false, ConnectMode::smartWeb, true, "unknown", "0",
       "ss-ip", "auto", "unknown"},
      {"member", "Kim", true, false, ConnectMode::web, true, "Kim", "1", "ss-web", "auto", "77"},
      {"expired without nick", std::nullopt, true, true, ConnectMode::app, false, "unknown", "0",
       "ss-all", "current", "77"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.signedIn) {
      signIn(77, c.nick, c.expired);
    } else {
      session_->setModel(std::nullopt);
    }
    port_.setConnectMode(c.mode);
    port_.setAutoSelect(c.autoSelect);
    remoteLog_->uploadLogRecord(remoteLog_->commonLogFields(), "client_log");
    const SentLogRecord sent = onlyRecord();
    EXPECT_EQ(sent.value("nickName"), c.nickName);
    EXPECT_EQ(sent.value("isVIP"), c.isVIP);
    EXPECT_EQ(sent.value("connectMode"), c.connectMode);
    EXPECT_EQ(sent.value("strategy"), c.strategy);
    EXPECT_EQ(sent.value("__topic__"), c.topic);
  }
  const auto shared = appGroupDefaults_.getDictionary(kPublicLogCacheKey);
  ASSERT_TRUE(shared.has_value());
  EXPECT_FALSE(shared->count("__topic__"));
}

TEST_F(RemoteLogTest, BadUrlRecordNamesAnAddressAsIpAndAnythingElseAsDomain) {
  struct Case {
    std::string host;
    std::string key;
  };
  for (const Case& c : std::vector<Case>{{"10.0.0.1", "ip"},
                                         {"api.vandrel.invalid", "domain"},
                                         {"1.2.3", "domain"},
                                         {"::1", "domain"}}) {
    SCOPED_TRACE(c.host);
    remoteLog_->reportBadURL(c.host, "The request timed out.");
    const SentLogRecord sent = onlyRecord();
    EXPECT_EQ(sent.project, "vandrel");
    EXPECT_EQ(sent.logStore, "bad_url_log");
    EXPECT_EQ(sent.value(c.key), c.host);
    EXPECT_FALSE(sent.value(c.key == "ip" ? "domain" : "ip").has_value());
    EXPECT_EQ(sent.value("error"), "The request timed out.");
    EXPECT_FALSE(sent.value("createTime").has_value()) << "the service stamps the time";
    ASSERT_FALSE(sent.kv.empty());
    EXPECT_EQ(sent.kv.back().first, "__time__");
    EXPECT_EQ(sent.kv.back().second, "1700000123");
    EXPECT_EQ(sent.value("logInitTime"), "1700000123400");
  }
}

TEST_F(RemoteLogTest, ClientLogRecordTakesTheLinesFiguresWithFallbacks) {
  struct Case {
    const char* name;
    LineItem::Fields fields;
    std::optional<std::string> error;
    std::map<std::string, std::optional<std::string>> expected;  // none: key absent
  };
  LineItem::Fields everything;
  everything.load = 40;
  everything.packetLoss = 2;
  everything.pingTime = 88;
  everything.host = "host.example";
  everything.server = "198.51.100.1";
  everything.name = "Vienna 1";
  LineItem::Fields onlyAddress;
  onlyAddress.load.reset();
  onlyAddress.packetLoss.reset();
  onlyAddress.pingTime.reset();
  onlyAddress.iPAddr = "198.51.100.2";
  LineItem::Fields nothing = onlyAddress;
  nothing.iPAddr.reset();
  const std::vector<Case> cases = {
      {"every figure",
       everything,
       "ping lost",
       {{"load", "40"},
        {"packetLoss", "2"},
        {"ping", "88"},
        {"server_ip", "host.example"},
        {"name", "Vienna 1"},
        {"error", "ping lost"}}},
      {"only iPAddr",
       onlyAddress,
       std::nullopt,
       {{"load", "-1"},
        {"packetLoss", "-1"},
        {"ping", "-1"},
        {"server_ip", "198.51.100.2"},
        {"name", std::nullopt},
        {"error", std::nullopt}}},
      {"nothing", nothing, std::nullopt, {{"server_ip", "unknow"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    remoteLog_->reportClientLog(*LineItem::create(c.fields), c.error);
    const SentLogRecord sent = onlyRecord();
    EXPECT_EQ(sent.logStore, "client_log");
    for (const auto& [key, value] : c.expected) EXPECT_EQ(sent.value(key), value) << key;
  }
}

}  // namespace
}  // namespace vandrel::core
