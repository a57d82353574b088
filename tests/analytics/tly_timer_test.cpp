#include "analytics/tally/tly_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "analytics/tally/tly_activity_operation.h"
#include "crash/kit/trl_async_operation.h"
#include "platform/dispatch.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;

constexpr platform::Duration kTimeout = 10s;
constexpr std::string_view kFlushIdentifier = "io.tally.TimedEventsFlush";

class TLYTimerTest : public ::testing::Test {
 protected:
  TLYTimerTest() { queue_->setMaxConcurrentOperationCount(1); }

  std::unique_ptr<TLYTimer> makeTimer(double interval) {
    return std::make_unique<TLYTimer>(interval, queue_, std::string(kFlushIdentifier),
                                      [this] { runs_.fetch_add(1); }, scheduler_);
  }

  // Moves the clock and waits until the ticks due by then have been handed
  // to the global queue (the scheduler hands out in time order) and the
  // operations they add have run.
  ::testing::AssertionResult advance(platform::Duration by) {
    clock_.advance(by);
    platform::Group group;
    group.enter();
    scheduler_.schedule(platform::Duration::zero(), platform::globalQueue(),
                        [group]() mutable { group.leave(); });
    if (!group.wait(kTimeout)) return ::testing::AssertionFailure() << "scheduler stalled";
    // A tick handed out just before the marker may still be adding its
    // operation: give the global queue a moment, then drain the queue.
    platform::Group drained;
    drained.enter();
    platform::globalQueue().async([drained]() mutable { drained.leave(); });
    if (!drained.wait(kTimeout)) return ::testing::AssertionFailure() << "global queue stalled";
    if (!queue_->waitUntilAllOperationsAreFinished(kTimeout)) {
      return ::testing::AssertionFailure() << "operations did not finish";
    }
    return ::testing::AssertionSuccess();
  }

  // Waits (bounded) for the block to have run `count` times.
  ::testing::AssertionResult runsReach(int count) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (runs_.load() < count) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << "ran " << runs_.load() << " times";
      }
      std::this_thread::sleep_for(1ms);
    }
    if (!queue_->waitUntilAllOperationsAreFinished(kTimeout)) {
      return ::testing::AssertionFailure() << "operations did not finish";
    }
    return ::testing::AssertionSuccess();
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::shared_ptr<crash::OperationQueue> queue_ =
      std::make_shared<crash::OperationQueue>("io.tally.EventQueue");
  std::atomic<int> runs_{0};
};

TEST_F(TLYTimerTest, TheBlockRunsOnTheQueueEveryIntervalFromCreation) {
  auto timer = makeTimer(600);
  EXPECT_EQ(timer->timeInterval(), 600);
  EXPECT_EQ(timer->tolerance(), 60);
  EXPECT_EQ(timer->timerIdentifier(), kFlushIdentifier);
  EXPECT_EQ(timer->queue(), queue_);
  EXPECT_EQ(TLYTimer::backgroundActivityIdentifierForName(kFlushIdentifier),
            "io.tally.TimerActivity.io.tally.TimedEventsFlush");

  ASSERT_TRUE(advance(599s));
  EXPECT_EQ(runs_.load(), 0);
  ASSERT_TRUE(advance(1s));
  ASSERT_TRUE(runsReach(1));
  ASSERT_TRUE(advance(600s));
  ASSERT_TRUE(runsReach(2));
  EXPECT_EQ(runs_.load(), 2);

  timer->executeBlock();
  ASSERT_TRUE(runsReach(3));
}

TEST_F(TLYTimerTest, ReleasingTheTimerStopsFurtherRuns) {
  auto timer = makeTimer(10);
  ASSERT_TRUE(advance(10s));
  ASSERT_TRUE(runsReach(1));
  timer.reset();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(advance(10s));
  EXPECT_EQ(runs_.load(), 1);
}

TEST_F(TLYTimerTest, AnIntervalBeyondTheClocksRangeTicksFarAhead) {
  auto timer = makeTimer(1e300);
  ASSERT_TRUE(advance(24h * 365 * 10));
  EXPECT_EQ(runs_.load(), 0);
}

TEST(TLYActivityOperationTest, HoldsItsActivityUntilItRuns) {
  auto queue = std::make_shared<crash::OperationQueue>("io.tally.EventQueue");
  queue->setMaxConcurrentOperationCount(1);

  std::atomic<bool> release{false};
  class Blocking final : public crash::Operation {
   public:
    explicit Blocking(std::atomic<bool>& release) : release_(release) {}
    void main() override {
      const auto deadline = std::chrono::steady_clock::now() + kTimeout;
      while (!release_.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
    }

   private:
    std::atomic<bool>& release_;
  };
  queue->addOperation(std::make_shared<Blocking>(release));

  auto hold = TLYActivityOperation::operationByStartingActivityName("io.tally.record",
                                                                     kTLYActivityOptionsRecord);
  EXPECT_TRUE(hold->activity().isActive());
  EXPECT_EQ(hold->activity().reason(), "io.tally.record");
  EXPECT_EQ(hold->activity().options(), kTLYActivityOptionsRecord);
  queue->addOperation(hold);
  // Queued behind work that has not finished: still held.
  EXPECT_TRUE(hold->activity().isActive());

  release.store(true);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTimeout));
  EXPECT_TRUE(hold->isFinished());
  EXPECT_FALSE(hold->activity().isActive());

  // One that is never run keeps its activity while it lives.
  auto idle = TLYActivityOperation::operationByStartingActivityName("io.tally.submit",
                                                                     kTLYActivityOptionsSubmit);
  EXPECT_TRUE(idle->activity().isActive());
}

}  // namespace
}  // namespace vandrel::analytics
