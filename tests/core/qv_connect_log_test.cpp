// The connection-log record of one connect attempt, timed by a manual
// clock and sent to the stand-in.

#include "core/qv_connect_log.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "core/line_item.h"
#include "platform/json.h"
#include "tests/core/service_api_fixture.h"

namespace vandrel::core {
namespace {

using namespace service_api_testing;

class QvConnectLogTest : public ServiceApiTest {
 protected:
  void SetUp() override {
    ServiceApiTest::SetUp();
    if (HasFatalFailure()) return;
    standin_->replyTo("/api/2/log", 200, kOkReply);
    start({hostOf(*standin_)});
    connectLog_ = std::make_unique<qv_ConnectLog>(*remoteLog_);
  }

  // The "kv" of every record sent so far, by key.
  std::vector<std::map<std::string, std::string>> sent() {
    EXPECT_TRUE(drain());
    std::vector<std::map<std::string, std::string>> records;
    for (const auto& request : standin_->requestsTo("/api/2/log")) {
      auto body = platform::parseJson(request.body);
      if (!body.ok()) continue;
      EXPECT_EQ(body.value().value("logstore", ""), "client_connect_log");
      std::map<std::string, std::string> kv;
      for (const auto& pair : body.value()["logs"][0]["kv"]) {
        kv[pair["key"].get<std::string>()] = pair["value"].get<std::string>();
      }
      records.push_back(std::move(kv));
    }
    return records;
  }

  void setLine(LineItem::Fields fields) {
    port_.setCurrentLine(LineItem::create(std::move(fields)));
  }

  std::unique_ptr<ServiceStandin> standin_ = ServiceStandin::https();
  std::unique_ptr<qv_ConnectLog> connectLog_;
};

TEST_F(QvConnectLogTest, IdleLogIgnoresEverythingButBegin) {
  connectLog_->mark("connect-start").markError("boom").markValue("k", "v").report();
  EXPECT_FALSE(connectLog_->activeLog().has_value());
  EXPECT_EQ(connectLog_->actionPath(), "");
  EXPECT_TRUE(sent().empty());
  for (const auto& line : logLines()) EXPECT_EQ(line.find("[DEBUG]: mark"), std::string::npos);
}

TEST_F(QvConnectLogTest, MarksHoldTheTimeSinceThePreviousMarkAndBuildThePath) {
  connectLog_->begin();
  clock_.advance(120ms);
  connectLog_->mark("getLines");
  clock_.advance(30ms);
  connectLog_->mark("getSession");
  clock_.advance(500ms);
  connectLog_->mark("getLines");  // the first mark of a step counts
  connectLog_->mark("model");     // the name of a common field
  connectLog_->mark("createTime");

  const auto record = connectLog_->activeLog();
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->value("getLines"), "120");
  EXPECT_EQ(record->value("getSession"), "30");
  EXPECT_EQ(record->value("model"), "Test Machine 9");
  EXPECT_EQ(connectLog_->actionPath(), "getLines->getSession");
  EXPECT_EQ(connectLog_->lastActionTime(), 1700000123400 + 150);
  EXPECT_EQ(countLogLines("[DEBUG]: mark: getLines"), 1u);
  EXPECT_EQ(countLogLines("[DEBUG]: mark: model"), 0u);
  EXPECT_EQ(connectLog_->retryCount(), 0);
}

TEST_F(QvConnectLogTest, ReportCompletesTheRecordFromTheCurrentLineAndGoesIdle) {
  port_.setReconnectCountValue(2);
  LineItem::Fields line;
  line.server = "198.51.100.7";
  line.load = 12;
  line.pingTime = 34;
  line.packetLoss = 0;
  line.method = "aes-256-gcm";
  line.host = "ignored.example";
  setLine(line);

  connectLog_->begin();
  clock_.advance(100ms);
  connectLog_->mark("connect-start").markValue("mode", "app").markError("first").markError("last");
  clock_.advance(250ms);
  connectLog_->mark("connect-on");
  connectLog_->report();
  connectLog_->report();  // idle again: sends nothing

  const auto records = sent();
  ASSERT_EQ(records.size(), 1u);
  const auto& r = records[0];
  EXPECT_EQ(r.at("linkStatus"), "1");
  EXPECT_EQ(r.at("duration"), "350");
  EXPECT_EQ(r.at("retryCount"), "2");
  EXPECT_EQ(r.at("actionPath"), "connect-start->connect-on");
  EXPECT_EQ(r.at("server_ip"), "198.51.100.7");
  EXPECT_EQ(r.at("load"), "12");
  EXPECT_EQ(r.at("ping"), "34");
  EXPECT_EQ(r.at("packetLoss"), "0");
  EXPECT_EQ(r.at("method"), "aes-256-gcm");
  EXPECT_EQ(r.at("mode"), "app");
  EXPECT_EQ(r.at("error"), "last");
  EXPECT_EQ(r.at("connect-start"), "100");
  EXPECT_EQ(r.at("connect-on"), "250");
  EXPECT_EQ(r.at("__topic__"), "unknown");
  EXPECT_FALSE(connectLog_->activeLog().has_value());
  EXPECT_EQ(connectLog_->actionPath(), "connect-start->connect-on") << "kept until the next begin";
}

TEST_F(QvConnectLogTest, ReportFallsBackWhereTheLineSaysNothing) {
  struct Case {
    const char* name;
    LineItem::Fields line;
    std::string serverIp;
  };
  LineItem::Fields ipaddr;
  ipaddr.ipaddr = "198.51.100.8";
  ipaddr.iPAddr = "198.51.100.9";
  LineItem::Fields iPAddr;
  iPAddr.iPAddr = "198.51.100.9";
  LineItem::Fields onlyHost;
  onlyHost.host = "host.example";  // never consulted here
  onlyHost.load.reset();
  onlyHost.pingTime.reset();
  onlyHost.packetLoss.reset();
  const std::vector<Case> cases = {
      {"ipaddr before iPAddr", ipaddr, "198.51.100.8"},
      {"iPAddr", iPAddr, "198.51.100.9"},
      {"only host", onlyHost, "unknow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    setLine(c.line);
    connectLog_->begin().mark("connect-off");
    connectLog_->report();
    const auto records = sent();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("server_ip"), c.serverIp);
    EXPECT_EQ(records[0].at("linkStatus"), "0");
    EXPECT_EQ(records[0].at("method"), "unKnow");
  }
  EXPECT_EQ(sent().back().at("load"), "-1");
}

TEST_F(QvConnectLogTest, BeginDropsAnUnfinishedRecordAndABadStartCountsAsZero) {
  connectLog_->begin().mark("first-attempt");
  clock_.advance(1s);
  connectLog_->begin().mark("second-attempt").markValue("logInitTime", "not a number");
  connectLog_->report();
  const auto records = sent();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records[0].count("first-attempt"));
  EXPECT_TRUE(records[0].count("second-attempt"));
  EXPECT_EQ(records[0].at("duration"), std::to_string(1700000124400));
}

TEST_F(QvConnectLogTest, ADiscardedRecordIsNeverSent) {
  connectLog_->begin().mark("connect-start");
  connectLog_->discard();
  EXPECT_FALSE(connectLog_->activeLog().has_value());
  connectLog_->report();
  connectLog_->begin().mark("next-attempt").report();
  const auto records = sent();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records[0].count("connect-start"));
  EXPECT_TRUE(records[0].count("next-attempt"));
}

TEST_F(QvConnectLogTest, MarksFromSeveralThreadsAreEachRecordedOnce) {
  connectLog_->begin();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 50; ++i) {
        connectLog_->mark("step-" + std::to_string(i % 25) + "-" + std::to_string(t % 2));
        connectLog_->markValue("value-" + std::to_string(t), std::to_string(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string path = connectLog_->actionPath();
  std::set<std::string> steps;
  std::size_t start = 0;
  for (;;) {
    const auto arrow = path.find("->", start);
    EXPECT_TRUE(steps.insert(path.substr(start, arrow - start)).second) << path;
    if (arrow == std::string::npos) break;
    start = arrow + 2;
  }
  EXPECT_EQ(steps.size(), 50u);
  EXPECT_EQ(connectLog_->activeLog()->value("value-3"), "49");
}

}  // namespace
}  // namespace vandrel::core
