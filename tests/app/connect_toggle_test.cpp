// The connect toggle over the real connect road: the connection manager's
// pipeline against the HTTPS stand-in, the gRPC daemon stand-in and a fake
// helper. Its background queue holds the flows until the test lets them
// run, so two clicks can both come before either flow has run.

#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/connect_toggle.h"
#include "connection/connection_port_impl.h"
#include "connection/lines_manager.h"
#include "core/misc_info.h"
#include "platform/dispatch.h"
#include "tests/connection/connect_fixture.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;
using connection::testing_support::ConnectTest;
using qv = core::qv_ConnectStatus;

// Keeps the jobs posted to it; release() hands them to the global queue
// together, each waiting until all have started, so the flows race as
// closely as threads allow.
class HeldQueue final : public platform::Queue {
 public:
  void async(platform::Job job) override {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  std::string_view label() const override { return "held"; }

  void release() {
    std::vector<platform::Job> jobs;
    {
      std::lock_guard lock(mutex_);
      jobs.swap(jobs_);
    }
    auto start = std::make_shared<std::latch>(static_cast<std::ptrdiff_t>(jobs.size()));
    for (auto& job : jobs) {
      platform::globalQueue().async([start, job = std::move(job)] {
        start->arrive_and_wait();
        job();
      });
    }
  }

 private:
  std::mutex mutex_;
  std::vector<platform::Job> jobs_;
};

class ConnectToggleTest : public ConnectTest {
 protected:
  void SetUp() override {
    ConnectTest::SetUp();
    if (HasFatalFailure()) return;
    toggle_ = std::make_shared<ConnectToggle>(*connection_, *session_, held_, [] {});
  }

  void TearDown() override {
    if (toggle_) {
      held_.release();
      EXPECT_TRUE(drive([&] { return toggle_->pendingFlowCount() == 0; }));
    }
    ConnectTest::TearDown();
  }

  // Runs the held flows and waits until they have ended and the status
  // has settled.
  ::testing::AssertionResult runFlows() {
    held_.release();
    return drive([&] {
      const qv status = connection_->qv_connectStatus();
      return toggle_->pendingFlowCount() == 0 &&
             (status == qv::qv_on || status == qv::qv_off);
    });
  }

  std::size_t callsOf(std::string_view method) { return daemon_.calls(method).size(); }

  HeldQueue held_;
  std::shared_ptr<ConnectToggle> toggle_;
};

TEST_F(ConnectToggleTest, TwoClicksBeforeEitherFlowRunsStartTheDaemonOnce) {
  // The race is between threads: a few rounds give it room to show.
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_EQ(qv::qv_off, connection_->qv_connectStatus());
    daemon_.clearCalls();
    const std::size_t before = statuses().size();
    toggle_->startConnectFlow();
    toggle_->startConnectFlow();
    ASSERT_TRUE(runFlows());
    // One attempt, never cancelled on the way: the older flow did nothing.
    const std::vector<qv> seen = statuses();
    EXPECT_EQ((std::vector<qv>{qv::qv_connecting, qv::qv_on}),
              std::vector<qv>(seen.begin() + static_cast<std::ptrdiff_t>(before), seen.end()));
    EXPECT_LE(callsOf("StartSS"), 1u);
    EXPECT_LE(callsOf("StartTun2socks"), 1u);
    // The newest flow decided: from off it connects.
    EXPECT_EQ(qv::qv_on, connection_->qv_connectStatus());
    EXPECT_EQ(1u, callsOf("StartSS"));
    EXPECT_EQ(daemon_.isRunning(test_support::DaemonItem::Tun2socks),
              connection_->qv_connectStatus() == qv::qv_on);
    if (HasFailure()) return;

    toggle_->startConnectFlow();
    ASSERT_TRUE(runFlows());
    ASSERT_EQ(qv::qv_off, connection_->qv_connectStatus());
    ASSERT_FALSE(daemon_.isRunning(test_support::DaemonItem::Tun2socks));
  }
}

TEST_F(ConnectToggleTest, SigningOutWhileTheDaemonStartHangsLeavesNoTunnel) {
  // A session over the real connection manager's port (the fixture's own
  // session keeps the road signed in).
  connection::ConnectionPortImpl port(
      *connection_, [this]() -> connection::LinesManager& { return *manager_; }, *alerts_,
      [this]() -> connection::HelperClient& { return helper_; });
  core::MiscInfo signingOut(port, defaults_, notifications_, clock_);
  signingOut.attach({.network = [this]() -> core::qv_Network& { return *network_; },
                     .connectLog = [this] { return connectLog_.get(); }});
  signingOut.setLoginCookie("c-1");

  daemon_.script("StartSS", test_support::DaemonReply::hanging(), 1);
  toggle_->startConnectFlow();
  held_.release();
  ASSERT_TRUE(drive([&] { return daemon_.hangingCount("StartSS") == 1; }));
  ASSERT_EQ(qv::qv_connecting, connection_->qv_connectStatus());

  signingOut.logout(false);
  held_.release();
  daemon_.releaseHangs();
  ASSERT_TRUE(drive([&] {
    return toggle_->pendingFlowCount() == 0 && connection_->pendingWorkCount() == 0 &&
           daemonManager_->pendingWorkCount() == 0 && signingOut.pendingWorkCount() == 0 &&
           signingOut.loginCookie().empty();
  }));
  platform::mainQueue().runFor(50ms);

  EXPECT_EQ(qv::qv_off, connection_->qv_connectStatus());
  EXPECT_FALSE(daemon_.isRunning(test_support::DaemonItem::Ss));
  EXPECT_FALSE(daemon_.isRunning(test_support::DaemonItem::Tun2socks));
  EXPECT_EQ(0u, callsOf("StartTun2socks"));
  EXPECT_EQ(1u, countLogLines("[LOG]: logout cancel all request"));
}

}  // namespace
}  // namespace vandrel::app
