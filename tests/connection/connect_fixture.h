#pragma once

// The connect road wired for one test: the lines fixture (private home,
// HTTPS stand-in, session, transport, lines manager over a fake ping
// manager), the gRPC daemon stand-in, a fake helper whose replies can be
// late, wrong or missing, recorded alerts, the daemon manager and the
// connection manager's road. Two manual clocks: the road's short waits
// (0.5 s, 1 s, 2 s) pass by themselves while a test drives the main queue;
// the watchdog's 30 s pass only when a test says so.
//
// The main window is imitated as it drives the road: a connect id per
// click or "WidgetConnectDidClickNotification", then the pipeline or the
// cancel on a global queue and the result handler.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "connection/resolver_config.h"
#include "tests/connection/connect_fakes.h"
#include "tests/connection/lines_manager_fixture.h"
#include "tests/support/daemon_standin.h"

namespace vandrel::connection::testing_support {

using test_support::DaemonItem;
using test_support::DaemonReply;
using test_support::DaemonStandin;

class ConnectTest : public LinesManagerTestBase {
 protected:
  static constexpr std::chrono::milliseconds kStep{50};

  void SetUp() override {
    LinesManagerTestBase::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(daemon_.start());
    standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
    standin_->replyTo(kSessionPath, 200, sessionReply());
    standin_->replyTo("/api/2/line/disconnect/11", 200, kOkReply);
    writeResolvConf("nameserver 10.53.0.1\nnameserver 10.53.0.2\n");
    session_->attach({.network = [this]() -> core::qv_Network& { return *network_; },
                      .connectLog = [this] { return connectLog_.get(); }});
    staticData_->setIsAgreeTerms(true);
    signIn(77, "Kim", /*expired=*/false);

    connectLog_ = std::make_unique<core::qv_ConnectLog>(*remoteLog_);
    AccelCalls::Options callOptions;
    callOptions.stopDeadline = 10s;
    accel_ = std::make_unique<AccelCalls>(
        daemon_.address(), defaults_, helper_, [this] { return connection_->connectMode(); },
        callOptions);
    resolver_ = std::make_unique<ResolverConfig>(resolvConf().string(), runShellCommand);
    alerts_ = std::make_unique<AlertHelpers>(
        presenter_, notifications_,
        AlertHelpers::Hooks{
            .paymentLink = [this] { return session_->payment(); },
            .selectRegion =
                [this](core::RegionsItem region) { manager_->selectRegion(std::move(region)); },
            .openLink = [](const std::string&) {}},
        platform::mainQueue());
    makeManager();
    DaemonManager::Options options;
    options.scheduler = &delays_;
    options.apiHosts = std::vector<core::ApiHost>{{"api1.example", 8443},
                                                  {"api2.example", std::nullopt},
                                                  {"127.0.0.1", 443},
                                                  {"api4.example", std::nullopt}};
    options.proxyList = [this] {
      std::lock_guard lock(proxyListMutex_);
      return proxyList_;
    };
    daemonManager_ = std::make_unique<DaemonManager>(*connection_, helper_, *accel_, *resolver_,
                                                     *alerts_, *connectLog_, defaults_, options);
    road_ = std::make_unique<TestRoad>(TestRoad::Parts{
        session_.get(), staticData_.get(), network_.get(), manager_.get(), daemonManager_.get(),
        accel_.get(), &helper_, connectLog_.get(), alerts_.get()});
    qv_ConnectionManager::RoadOptions roadOptions;
    roadOptions.watchdogScheduler = &watchdogs_;
    roadOptions.scheduler = &delays_;
    roadOptions.clock = &clock_;
    connection_->attachConnectRoad(*road_, roadOptions);

    observeStatus();
    tokens_.push_back(notifications_.addObserver(std::string(kWidgetConnectDidClickNotification),
                                                 nullptr, std::nullopt, [this](const auto&) {
                                                   clickTimes_.push_back(delayClock_.now());
                                                   if (followClicks_) startConnectFlow();
                                                 }));
    if (catalogueAtStart_) loadCatalogue();
  }

  void TearDown() override {
    followClicks_ = false;
    daemon_.releaseHangs();
    if (daemonManager_) {
      EXPECT_TRUE(drive([&] {
        return flows_.load() == 0 && connection_->pendingWorkCount() == 0 &&
               daemonManager_->pendingWorkCount() == 0;
      })) << "a connect flow or its work never ended";
    }
    // Replies and reports under way end before what they use goes.
    helper_.flush();
    platform::mainQueue().runPending();
    LinesManagerTestBase::TearDown();
  }

  // ---- The main window, imitated ------------------------------------------------
  // A click of the connect button.
  void click() {
    const auto status = connection_->qv_connectStatus();
    if (status == qv_ConnectStatus::qv_connecting || status == qv_ConnectStatus::qv_disconnecting) {
      return;
    }
    startConnectFlow();
  }
  void startConnectFlow() {
    connection_->setCurrentConnectId(newConnectId());
    ++flows_;
    platform::globalQueue().async([this] {
      toggleConnection();
      --flows_;
    });
  }
  void toggleConnection() {
    const std::string connectId = connection_->currentConnectId();
    switch (connection_->qv_connectStatus()) {
      case qv_ConnectStatus::qv_on:
      case qv_ConnectStatus::qv_connecting:
        connection_->handleConnectResult(connection_->cancelConnection(), 2);
        return;
      case qv_ConnectStatus::qv_disconnecting:
        return;
      case qv_ConnectStatus::qv_off:
        break;
    }
    connection_->setConnectStatus(qv_ConnectStatus::qv_connecting);
    connection_->postVPNStatusChange();
    const std::optional<ResultData> result = connection_->runConnectPipeline(connectId);
    if (afterPipeline_) afterPipeline_();
    {
      std::lock_guard lock(resultsMutex_);
      results_.push_back(result);
    }
    if (result) connection_->handleConnectResult(*result, 0);
  }

  // ---- Driving ----------------------------------------------------------------------
  // Pumps the main queue until `done`, letting the short waits pass.
  ::testing::AssertionResult drive(const std::function<bool()>& done,
                                   std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!platform::mainQueue().runUntil(done, 2ms)) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << "not reached within " << timeout.count() << " ms";
      }
      delayClock_.advance(kStep);
    }
    return ::testing::AssertionSuccess();
  }
  ::testing::AssertionResult driveToStatus(qv_ConnectStatus status) {
    return drive([&] { return flows_.load() == 0 && connection_->qv_connectStatus() == status; });
  }
  ::testing::AssertionResult connectAndWait() {
    click();
    return driveToStatus(qv_ConnectStatus::qv_on);
  }
  // Lets the watchdog's 30 s pass and waits until it has run.
  ::testing::AssertionResult fireWatchdog() {
    const std::size_t pending = watchdogs_.pendingCountForTesting();
    watchdogClock_.advance(qv_ConnectionManager::kWatchdogDelay);
    auto fired = drive([&] { return watchdogs_.pendingCountForTesting() < pending; });
    // The job handed to the main queue runs now.
    platform::mainQueue().runPending();
    return fired;
  }

  // ---- Set-up helpers ------------------------------------------------------------------
  std::filesystem::path resolvConf() const { return home_.root() / "resolv.conf"; }
  void writeResolvConf(const std::string& text) { std::ofstream(resolvConf()) << text; }
  void setProxyList(std::optional<std::vector<std::string>> list) {
    std::lock_guard lock(proxyListMutex_);
    proxyList_ = std::move(list);
  }
  // The catalogue, fetched while "connected" so no ping cycle follows.
  void loadCatalogue() {
    connection_->setConnectStatus(qv_ConnectStatus::qv_on);
    ASSERT_TRUE(fetch().isSuccess);
    connection_->setConnectStatus(qv_ConnectStatus::qv_off);
  }
  void setMode(core::ConnectMode mode) { connection_->setConnectMode(mode); }

  // ---- Records ---------------------------------------------------------------------------
  void observeStatus() {
    tokens_.push_back(notifications_.addObserver(std::string(core::kVPNStatusChangeNotification),
                                                 nullptr, std::nullopt, [this](const auto&) {
                                                   std::lock_guard lock(resultsMutex_);
                                                   statuses_.push_back(
                                                       connection_->qv_connectStatus());
                                                 }));
  }
  std::vector<qv_ConnectStatus> statuses() {
    std::lock_guard lock(resultsMutex_);
    return statuses_;
  }
  std::vector<std::optional<ResultData>> results() {
    std::lock_guard lock(resultsMutex_);
    return results_;
  }
  std::vector<std::string> alertTitles() {
    platform::mainQueue().runPending();
    return presenter_.titles();
  }
  std::vector<AlertContent> alerts() {
    platform::mainQueue().runPending();
    return presenter_.alerts();
  }
  // The daemon's calls, without the exclude-route fetches.
  std::vector<std::string> daemonMethods() {
    std::vector<std::string> methods;
    for (const auto& method : daemon_.methods()) {
      if (method != "GetExcludeRoute") methods.push_back(method);
    }
    return methods;
  }

  platform::ManualClock delayClock_;
  platform::Scheduler delays_{delayClock_};
  platform::ManualClock watchdogClock_;
  platform::Scheduler watchdogs_{watchdogClock_};
  std::mutex callTimesMutex_;
  // Each daemon call with the short-wait clock's time when it came.
  std::vector<std::pair<std::string, platform::TimePoint>> callTimes_;
  DaemonStandin daemon_{
      DaemonStandin::Options{.onCall = [this](const test_support::DaemonCall& call) {
        std::lock_guard lock(callTimesMutex_);
        callTimes_.emplace_back(call.method, delayClock_.now());
      }}};
  FakeHelper helper_;
  RecordingPresenter presenter_;
  std::unique_ptr<core::qv_ConnectLog> connectLog_;
  std::unique_ptr<AccelCalls> accel_;
  std::unique_ptr<ResolverConfig> resolver_;
  std::unique_ptr<AlertHelpers> alerts_;
  std::unique_ptr<DaemonManager> daemonManager_;
  std::unique_ptr<TestRoad> road_;
  // Runs between the pipeline's return and the result handler.
  std::function<void()> afterPipeline_;
  // Set false (in a constructor) to start without a catalogue.
  bool catalogueAtStart_ = true;
  std::atomic<int> flows_{0};
  std::atomic<bool> followClicks_{false};
  std::vector<platform::TimePoint> clickTimes_;
  std::mutex proxyListMutex_;
  std::optional<std::vector<std::string>> proxyList_;
  std::mutex resultsMutex_;
  std::vector<qv_ConnectStatus> statuses_;
  std::vector<std::optional<ResultData>> results_;
};

}  // namespace vandrel::connection::testing_support
