#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vandrel::platform {
namespace {

using namespace std::chrono_literals;

constexpr const char* kStatus = "VPNStatusChangeNotification";

testing::AssertionResult eventually(const std::function<bool()>& done, Duration timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return testing::AssertionSuccess();
    std::this_thread::sleep_for(1ms);
  }
  return done() ? testing::AssertionSuccess() : testing::AssertionFailure() << "timed out";
}

// Returns once every job posted to `queue` before the call has run.
testing::AssertionResult drained(Queue& queue, Duration timeout = 5s) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  queue.async([done] { done->set_value(); });
  if (future.wait_for(timeout) == std::future_status::ready) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "queue \"" << queue.label() << "\" did not drain";
}

// Blocks a serial queue until released, so tests can act while deliveries
// wait behind it. Released at the latest on destruction.
class QueueGate {
 public:
  explicit QueueGate(Queue& queue) {
    queue.async([opened = opened_.get_future().share()] { opened.wait(); });
  }
  ~QueueGate() { open(); }
  void open() {
    if (!open_.exchange(true)) opened_.set_value();
  }

 private:
  std::promise<void> opened_;
  std::atomic<bool> open_{false};
};

TEST(NotificationCenterTest, DeliversByNameAndSenderInRegistrationOrder) {
  NotificationCenter center;
  int senderA = 0;
  int senderB = 0;
  std::vector<std::string> calls;
  center.addObserver(kStatus, nullptr, std::nullopt,
                     [&](const Notification& n) { calls.push_back("any:" + n.name); });
  center.addObserver(kStatus, &senderA, std::nullopt, [&](const Notification& n) {
    EXPECT_EQ(n.object, &senderA);
    calls.push_back("A");
  });
  center.addObserver("", nullptr, nullptr, [&](const Notification& n) {
    calls.push_back("every:" + n.name);
  });
  center.addObserver("LinesDidUpdateNotification", nullptr, std::nullopt,
                     [&](const Notification&) { calls.push_back("lines"); });

  center.post(kStatus, &senderA);
  center.post(kStatus, &senderB);
  center.post("MiscInfoDidUpdateNotification");
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "any:VPNStatusChangeNotification", "A", "every:VPNStatusChangeNotification",
                       "any:VPNStatusChangeNotification", "every:VPNStatusChangeNotification",
                       "every:MiscInfoDidUpdateNotification"}));
}

TEST(NotificationCenterTest, UserInfoReachesObservers) {
  NotificationCenter center;
  Value::Dictionary seen;
  center.addObserver("BCNAppDeleteNotification", nullptr, std::nullopt,
                     [&](const Notification& n) { seen = n.userInfo; });
  center.post("BCNAppDeleteNotification", nullptr, {{"BCNAppNameKey", "__BCNAPP_DEFAULT"}});
  EXPECT_EQ(seen, (Value::Dictionary{{"BCNAppNameKey", "__BCNAPP_DEFAULT"}}));
}

TEST(NotificationCenterTest, ObserverRemovingItselfDuringDeliveryIsNotCalledAgain) {
  NotificationCenter center;
  int selfRemoving = 0;
  int after = 0;
  ObserverToken token;
  token = center.addObserver(kStatus, nullptr, std::nullopt, [&](const Notification&) {
    ++selfRemoving;
    center.removeObserver(token);
    // Re-entrant post from inside the delivery: the removed observer is out.
    if (selfRemoving == 1) center.post(kStatus);
  });
  center.addObserver(kStatus, nullptr, std::nullopt, [&](const Notification&) { ++after; });
  center.post(kStatus);
  center.post(kStatus);
  EXPECT_EQ(selfRemoving, 1);
  EXPECT_EQ(after, 3);  // nested post + the two outer posts
}

TEST(NotificationCenterTest, ObserverRemovedByAnEarlierOneIsSkippedInTheSameDelivery) {
  NotificationCenter center;
  std::vector<std::string> calls;
  ObserverToken victim;
  center.addObserver(kStatus, nullptr, std::nullopt, [&](const Notification&) {
    calls.push_back("remover");
    center.removeObserver(victim);
  });
  victim = center.addObserver(kStatus, nullptr, std::nullopt,
                              [&](const Notification&) { calls.push_back("victim"); });
  center.addObserver(kStatus, nullptr, std::nullopt,
                     [&](const Notification&) { calls.push_back("last"); });
  center.post(kStatus);
  EXPECT_EQ(calls, (std::vector<std::string>{"remover", "last"}));
  center.removeObserver(victim);  // twice: ignored
  center.removeObserver(ObserverToken{});
}

TEST(NotificationCenterTest, ObserverAddedDuringDeliveryWaitsForTheNextPost) {
  NotificationCenter center;
  int late = 0;
  bool added = false;
  center.addObserver(kStatus, nullptr, std::nullopt, [&](const Notification&) {
    if (added) return;
    added = true;
    center.addObserver(kStatus, nullptr, std::nullopt, [&](const Notification&) { ++late; });
  });
  center.post(kStatus);
  EXPECT_EQ(late, 0);
  center.post(kStatus);
  EXPECT_EQ(late, 1);
}

TEST(NotificationCenterTest, QueueObserverRunsOnItsQueue) {
  NotificationCenter center;
  SerialQueue queue("test.observer");
  std::atomic<bool> onQueue{false};
  std::atomic<int> calls{0};
  center.addObserver(kStatus, nullptr, &queue, [&](const Notification&) {
    onQueue = queue.isCurrent();
    ++calls;
  });
  std::thread poster([&] { center.post(kStatus); });
  poster.join();
  ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
  EXPECT_TRUE(onQueue.load());
}

TEST(NotificationCenterTest, MainQueueObserverRunsWhenTheMainQueueIsPumped) {
  NotificationCenter center;
  int calls = 0;
  bool onMain = false;
  center.addObserver(kStatus, nullptr, &mainQueue(), [&](const Notification&) {
    onMain = isMainThread() && mainQueue().isCurrent();
    ++calls;
  });
  std::thread poster([&] { center.post(kStatus); });
  poster.join();
  EXPECT_EQ(calls, 0);  // waits for the main queue
  ASSERT_TRUE(mainQueue().runUntil([&] { return calls == 1; }));
  EXPECT_TRUE(onMain);
}

TEST(NotificationCenterTest, QueuedDeliveryThatHasNotStartedIsSkippedAfterRemoval) {
  NotificationCenter center;
  SerialQueue queue("test.removed");
  std::atomic<int> removedCalls{0};
  std::atomic<int> keptCalls{0};
  auto removed = center.addObserver(kStatus, nullptr, &queue,
                                    [&](const Notification&) { ++removedCalls; });
  center.addObserver(kStatus, nullptr, &queue, [&](const Notification&) { ++keptCalls; });
  {
    QueueGate gate(queue);
    center.post(kStatus);
    center.removeObserver(removed);
  }
  ASSERT_TRUE(drained(queue));
  EXPECT_EQ(keptCalls.load(), 1);
  EXPECT_EQ(removedCalls.load(), 0);
}

TEST(NotificationCenterTest, ThrowingObserverDoesNotStopTheOthers) {
  NotificationCenter center;
  SerialQueue queue("test.throwing");
  int direct = 0;
  std::atomic<int> queued{0};
  center.addObserver(kStatus, nullptr, std::nullopt,
                     [](const Notification&) { throw std::runtime_error("observer broke"); });
  center.addObserver(kStatus, nullptr, std::nullopt, [](const Notification&) { throw 42; });
  center.addObserver(kStatus, nullptr, &queue,
                     [](const Notification&) { throw std::logic_error("queued broke"); });
  center.addObserver(kStatus, nullptr, std::nullopt, [&](const Notification&) { ++direct; });
  center.addObserver(kStatus, nullptr, &queue, [&](const Notification&) { ++queued; });

  testing::internal::CaptureStderr();
  center.post(kStatus);
  const bool queueDrained = drained(queue);
  const std::string errors = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(queueDrained);
  EXPECT_EQ(direct, 1);
  EXPECT_EQ(queued.load(), 1);
  EXPECT_NE(errors.find("observer of \"VPNStatusChangeNotification\" threw: observer broke"),
            std::string::npos)
      << errors;
  EXPECT_NE(errors.find("threw: queued broke"), std::string::npos) << errors;
  EXPECT_NE(errors.find("non-standard exception"), std::string::npos) << errors;
}

TEST(NotificationCenterTest, PostsAndRemovalsFromManyThreadsAreSafe) {
  NotificationCenter center;
  std::atomic<int> stable{0};
  center.addObserver(kStatus, nullptr, std::nullopt, [&](const Notification&) { ++stable; });
  constexpr int kThreads = 4;
  constexpr int kPosts = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) {
        auto token = center.addObserver(kStatus, nullptr, std::nullopt, [](const Notification&) {});
        center.post(kStatus);
        center.removeObserver(token);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stable.load(), kThreads * kPosts);
}

}  // namespace
}  // namespace vandrel::platform
