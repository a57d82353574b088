#pragma once

// A lines manager wired for one test: the service API fixture (private
// home, HTTPS stand-in, fresh session, transport and remote log), a real
// connection manager, the ping model over a fake ping manager and a
// liveness probe, both timed by a manual clock of their own. The test
// thread pumps the main queue.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection/alive_checker.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "connection/qv_line_model.h"
#include "core/connection_port.h"
#include "core/model_cache.h"
#include "platform/json.h"
#include "tests/connection/fake_line_ping_manager.h"
#include "tests/core/service_api_fixture.h"

namespace vandrel::connection::testing_support {

using namespace core::service_api_testing;
using core::LineItem;
using core::qv_ConnectStatus;
using core::RegionsItem;
using core::RegionsModel;
using core::ResultData;
using platform::Value;

// The region list as the service sends it: regions carry "code" (the ping
// model needs it), lines "location"; the last region is the service's own
// "Smart Location".
inline std::string regionListReply(std::int64_t tokyoDetectPort = 9001) {
  return R"({"status":"ok","code":0,"regions":[)"
         R"({"code":"jp","name":"Japan","icon":"jp.png","lines":[)"
         R"({"id":11,"name":"Tokyo 1","location":"Tokyo","ipaddr":"127.0.0.1","detectPort":)" +
         std::to_string(tokyoDetectPort) +
         R"(,"server":"s1.example","port":443,"isFree":true,"load":3,"mode":"fast"},)"
         R"({"id":12,"name":"Tokyo 2","location":"Tokyo","iPAddr":"127.0.0.2"}]},)"
         R"({"code":"us","name":"USA","icon":"us.png","lines":[)"
         R"({"id":21,"name":"Los Angeles","location":"LA","ipaddr":"127.0.0.3"}]},)"
         R"({"code":"auto","name":"Smart Location","icon":"icon_autoselect","lines":[)"
         R"({"id":-999,"name":"自动选择路线","location":"auto","ipaddr":""}]}]})";
}

class LinesManagerTestBase : public ServiceApiTest {
 protected:
  void SetUp() override {
    ServiceApiTest::SetUp();
    if (HasFatalFailure()) return;
    standin_->replyTo("/api/2/log", 200, kOkReply);
    start({hostOf(*standin_)});
    connection_ = std::make_unique<qv_ConnectionManager>(defaults_, notifications_, noVpn_);
    pingModel_ = std::make_unique<qv_RegionModels>(fake_, *connection_, defaults_, *scheduler_);
    checker_ = std::make_unique<AliveChecker>(*scheduler_);
    // The wiring start() makes, without start()'s own fetch.
    pingModel_->setFinishPing([this] { manager_->finishPing(); });
    observe(core::kLinesDidUpdateNotification, linesUpdates_);
    observe(kWidgetConnectDidClickNotification, connectClicks_);
  }

  void TearDown() override {
    fake_->releaseStops();
    fake_->flush();
    // Work the test started on other queues (fetches, reports, probe
    // starts) ends before anything it uses goes.
    if (manager_) {
      EXPECT_TRUE(pumpUntil([&] { return manager_->pendingWorkCount() == 0; }));
    }
    if (network_) {
      EXPECT_TRUE(drain());
    }
    checker_.reset();
    scheduler_.reset();
    for (auto token : tokens_) notifications_.removeObserver(token);
    manager_.reset();
    pingModel_.reset();
    ServiceApiTest::TearDown();
  }

  void makeManager() {
    manager_ = std::make_unique<LinesManager>(*network_, *remoteLog_, *session_, *connection_,
                                              *pingModel_, *checker_, defaults_, notifications_,
                                              clock_);
  }

  // Drops the manager once the work it started on other queues has ended: a
  // fetch's reply job resolves the caller's promise and only then lets go
  // of the manager.
  ::testing::AssertionResult dropManager() {
    if (!pumpUntil([&] { return manager_->pendingWorkCount() == 0; })) {
      return ::testing::AssertionFailure() << "the manager's work on other queues never ended";
    }
    manager_.reset();
    return ::testing::AssertionSuccess();
  }

  // A fetch of the region list, waited for.
  ResultData fetch() {
    platform::Promise<ResultData> promise;
    manager_->requestLines(promise);
    return await(promise);
  }

  // Pumps the main queue until `done` holds.
  ::testing::AssertionResult pumpUntil(const std::function<bool()>& done,
                                       std::chrono::milliseconds timeout = 10s) {
    if (platform::mainQueue().runUntil(done, timeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not reached while pumping the main queue";
  }

  // Runs the cycle that a fetch started to its hand-over: waits for its
  // set-up, lets `during` deliver results, then moves past the 1.4 s stop
  // and waits until the figures are applied (the second announcement).
  ::testing::AssertionResult completeCycle(const std::function<void()>& during = {}) {
    if (!pumpUntil([&] { return fake_->setupsDone() >= 1; })) {
      return ::testing::AssertionFailure() << "the cycle never set up";
    }
    if (during) during();
    const int announcedBefore = linesUpdates_.load();
    pingClock_.advance(kCycleStopDelay);
    if (!pumpUntil([&] { return linesUpdates_.load() > announcedBefore; })) {
      return ::testing::AssertionFailure() << "the figures were never applied";
    }
    // Both hand-overs (group notification and the stop task) have come by.
    if (!pumpUntil([&] { return fake_->stopCalls() >= 1 && !manager_->shouldHandlePing(); })) {
      return ::testing::AssertionFailure() << "the cycle never stopped";
    }
    fake_->flush();
    platform::mainQueue().runFor(50ms);
    return ::testing::AssertionSuccess();
  }

  std::shared_ptr<LineItem> modelLine(std::int64_t id) {
    for (const auto& region : manager_->regionList()) {
      for (const auto& line : region.lines.value_or(std::vector<std::shared_ptr<LineItem>>{})) {
        if (line->id() == id) return line;
      }
    }
    return nullptr;
  }

  std::optional<RegionsItem> modelRegion(const std::string& name) {
    for (const auto& region : manager_->regionList()) {
      if (region.name == name) return region;
    }
    return std::nullopt;
  }

  bool cacheEntryExists(std::string_view entry) {
    return std::filesystem::exists(core::modelCachePath(entry));
  }

  void observe(std::string_view name, std::atomic<int>& counter) {
    tokens_.push_back(notifications_.addObserver(std::string(name), nullptr, std::nullopt,
                                                 [&counter](const auto&) { ++counter; }));
  }

  std::unique_ptr<ServiceStandin> standin_ = ServiceStandin::https();
  NoSystemVpnSource noVpn_;
  std::unique_ptr<qv_ConnectionManager> connection_;
  platform::ManualClock pingClock_;
  std::unique_ptr<platform::Scheduler> scheduler_ = std::make_unique<platform::Scheduler>(pingClock_);
  std::shared_ptr<FakeLinePingManager> fake_ = std::make_shared<FakeLinePingManager>();
  std::unique_ptr<qv_RegionModels> pingModel_;
  std::unique_ptr<AliveChecker> checker_;
  std::unique_ptr<LinesManager> manager_;
  std::vector<platform::ObserverToken> tokens_;
  std::atomic<int> linesUpdates_{0};
  std::atomic<int> connectClicks_{0};
};

}  // namespace vandrel::connection::testing_support
