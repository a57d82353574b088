#include "core/network_reachability_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/reachability.h"
#include "platform/sync.h"

namespace vandrel::core {
namespace {

using namespace std::chrono_literals;
using Status = NetworkReachabilityStatus;

}  // namespace

void PrintTo(const NetworkReachabilityStatus& status, std::ostream* out) {
  switch (status.kind) {
    case NetworkReachabilityStatus::Kind::unknown:
      *out << "unknown";
      return;
    case NetworkReachabilityStatus::Kind::notReachable:
      *out << "notReachable";
      return;
    case NetworkReachabilityStatus::Kind::reachable:
      *out << (status.connectionType == ConnectionType::wwan ? "reachable(wwan)"
                                                             : "reachable(ethernetOrWiFi)");
      return;
  }
}

namespace {

const Status kReachable = Status::reachable(ConnectionType::ethernetOrWiFi);
const Status kNotReachable = Status::notReachable();

// A manager over a hand-driven source whose listener records every call.
class ReachabilityManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { make(); }
  void TearDown() override {
    manager_.reset();
    platform::mainQueue().runPending();
  }

  // A fresh manager and source, and no calls recorded.
  void make() {
    manager_.reset();
    platform::mainQueue().runPending();
    {
      platform::MutexLock lock(mutex_);
      calls_.clear();
    }
    auto source = std::make_unique<platform::ManualReachabilitySource>();
    source_ = source.get();
    manager_ = std::make_unique<NetworkReachabilityManager>(std::move(source));
    manager_->setListener([this](Status status) {
      platform::MutexLock lock(mutex_);
      calls_.push_back(status);
    });
  }

  std::vector<Status> calls() {
    platform::mainQueue().runPending();
    platform::MutexLock lock(mutex_);
    return calls_;
  }

  platform::ManualReachabilitySource* source_ = nullptr;
  std::unique_ptr<NetworkReachabilityManager> manager_;
  platform::Mutex mutex_;
  std::vector<Status> calls_ VANDREL_GUARDED_BY(mutex_);
};

TEST_F(ReachabilityManagerTest, StatusFromFlags) {
  struct Case {
    std::uint32_t flags;
    bool reachable;
  };
  const std::vector<Case> cases = {
      {0x00, false}, {0x02, true},  {0x04, false}, {0x06, false}, {0x0A, true},
      {0x0E, true},  {0x1E, false}, {0x26, true},  {0x36, false}, {0x12, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    source_->setFlags(c.flags);
    EXPECT_EQ(manager_->flags(), c.flags);
    EXPECT_EQ(manager_->networkReachabilityStatus(), c.reachable ? kReachable : kNotReachable);
    EXPECT_EQ(manager_->isReachable(), c.reachable);
    EXPECT_EQ(manager_->isReachableOnEthernetOrWiFi(), c.reachable);
    EXPECT_FALSE(manager_->isReachableOnWWAN());
  }
  source_->setFlags(std::nullopt);
  EXPECT_EQ(manager_->flags(), std::nullopt);
  EXPECT_EQ(manager_->networkReachabilityStatus(), Status::unknown());
  EXPECT_FALSE(manager_->isReachable());
  EXPECT_FALSE(manager_->isReachableOnEthernetOrWiFi());
}

TEST_F(ReachabilityManagerTest, StartReportsTheCurrentStatusUnlessFlagsAreZeroOrUnreadable) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> flags;
    std::vector<Status> expected;
  };
  const std::vector<Case> cases = {
      {"reachable", 0x02, {kReachable}},
      {"not reachable", 0x06, {kNotReachable}},
      {"zero", 0x00, {}},
      {"unreadable", std::nullopt, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    make();
    source_->setFlags(c.flags);
    EXPECT_TRUE(manager_->startListening());
    EXPECT_TRUE(source_->isStarted());
    EXPECT_EQ(calls(), c.expected);
    EXPECT_EQ(manager_->previousFlags(), c.flags.value_or(0));
  }
}

TEST_F(ReachabilityManagerTest, RepeatedFlagsAreReportedOnce) {
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  EXPECT_EQ(calls().size(), 1u);
  source_->change(0x02);
  source_->change(0x02);
  source_->change(0x06);
  source_->change(0x06);
  // Other flags with the same status are a change of flags all the same.
  source_->change(0x04);
  source_->change(0x0E);
  EXPECT_EQ(calls(), (std::vector<Status>{kReachable, kNotReachable, kNotReachable, kReachable}));
  EXPECT_EQ(manager_->previousFlags(), 0x0Eu);
}

TEST_F(ReachabilityManagerTest, NoCallAfterStopAlsoNotForQueuedChanges) {
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  EXPECT_EQ(calls().size(), 1u);
  source_->change(0x00);  // queued, not yet run
  manager_->stopListening();
  EXPECT_FALSE(source_->isStarted());
  source_->change(0x02);
  EXPECT_EQ(calls().size(), 1u);
}

TEST_F(ReachabilityManagerTest, StopBeforeTheFirstNotificationRunsCancelsIt) {
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  manager_->stopListening();
  EXPECT_TRUE(calls().empty());
}

TEST_F(ReachabilityManagerTest, RestartResetsPreviousFlags) {
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  EXPECT_EQ(calls().size(), 1u);
  manager_->stopListening();
  ASSERT_TRUE(manager_->startListening());
  EXPECT_EQ(calls(), (std::vector<Status>{kReachable, kReachable}));
}

TEST_F(ReachabilityManagerTest, FailedRegistrationShowsInTheResultOnly) {
  source_->setFlags(0x02);
  source_->setFailRegistration(true);
  EXPECT_FALSE(manager_->startListening());
  EXPECT_EQ(calls(), std::vector<Status>{kReachable});
}

TEST_F(ReachabilityManagerTest, DeliveryStaysOnTheQueueOfTheStart) {
  platform::SerialQueue queue("reachability-test");
  EXPECT_EQ(&manager_->listenerQueue(), &platform::mainQueue());
  manager_->setListenerQueue(queue);
  EXPECT_EQ(&manager_->listenerQueue(), &queue);
  std::promise<bool> first;
  std::promise<bool> second;
  std::atomic<int> n{0};
  manager_->setListener([&](Status) { (n++ == 0 ? first : second).set_value(queue.isCurrent()); });
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  auto firstOnQueue = first.get_future();
  ASSERT_EQ(firstOnQueue.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(firstOnQueue.get());

  // A later change of the queue does not move delivery.
  manager_->setListenerQueue(platform::mainQueue());
  source_->change(0x00);
  auto secondOnQueue = second.get_future();
  ASSERT_EQ(secondOnQueue.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(secondOnQueue.get());
  manager_->stopListening();
}

TEST_F(ReachabilityManagerTest, StopWaitsForAListenerUnderWayOnAnotherThread) {
  platform::SerialQueue queue("reachability-test");
  manager_->setListenerQueue(queue);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> listenerDone{false};
  manager_->setListener([&](Status) {
    entered.set_value();
    released.wait();
    listenerDone = true;
  });
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);

  auto stopped = std::async(std::launch::async, [&] {
    manager_->stopListening();
    return listenerDone.load();
  });
  EXPECT_EQ(stopped.wait_for(50ms), std::future_status::timeout);
  release.set_value();
  ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(stopped.get());
}

TEST_F(ReachabilityManagerTest, ListenerMayStopTheManager) {
  manager_->setListener([this](Status status) {
    manager_->stopListening();
    platform::MutexLock lock(mutex_);
    calls_.push_back(status);
  });
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  EXPECT_EQ(calls(), std::vector<Status>{kReachable});
  source_->change(0x00);
  EXPECT_EQ(calls(), std::vector<Status>{kReachable});
  EXPECT_FALSE(source_->isStarted());
}

TEST_F(ReachabilityManagerTest, QueuedWorkOutlivesTheManagerHarmlessly) {
  source_->setFlags(0x02);
  ASSERT_TRUE(manager_->startListening());
  source_->change(0x00);
  manager_.reset();
  EXPECT_TRUE(calls().empty());
}

TEST(ReachabilityManagerFactoryTest, HostNamesThePlatformRefuses) {
  EXPECT_EQ(NetworkReachabilityManager::create(""), nullptr);
  EXPECT_EQ(NetworkReachabilityManager::create(std::string_view("a\0b", 3)), nullptr);
  EXPECT_NE(NetworkReachabilityManager::create("www.vandrel.invalid"), nullptr);
  EXPECT_NE(NetworkReachabilityManager::create(), nullptr);
}

}  // namespace
}  // namespace vandrel::core
