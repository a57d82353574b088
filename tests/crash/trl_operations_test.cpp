#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_compound_operation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;

constexpr auto kTimeout = 10s;

// Shared record of what the operations of one test did; every change wakes
// the waiters.
class Probe {
 public:
  // Notifies under the lock: a waiter that wakes may end the test and
  // destroy the probe as soon as the lock is free.
  void note(const std::function<void()>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    cv_.notify_all();
  }

  void add(std::string event) {
    note([&] { events_.push_back(std::move(event)); });
  }

  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  int count(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& e : events_) n += e == event ? 1 : 0;
    return n;
  }

  testing::AssertionResult waitUntil(const std::function<bool()>& done, const char* what) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kTimeout, done)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "timed out waiting for " << what;
  }

  testing::AssertionResult waitForCount(const std::string& event, int n) {
    return waitUntil(
        [&] {
          int c = 0;
          for (const auto& e : events_) c += e == event ? 1 : 0;
          return c >= n;
        },
        event.c_str());
  }

  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<int> mainCalls{0};

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

KitError errorNamed(const std::string& name, std::int64_t code = -1) {
  return KitError{"test.domain", code, name, {}, {}};
}

// Runs `main` and either finishes at once with `result` or waits for the
// test to `release` it.
class TestOperation : public TRLAsyncOperation {
 public:
  TestOperation(Probe& probe, std::string tag, std::optional<KitError> result = {},
                bool gated = false)
      : probe_(probe), tag_(std::move(tag)), result_(std::move(result)), gated_(gated) {}

  void main() override {
    ++probe_.mainCalls;
    int now = ++probe_.running;
    int seen = probe_.maxRunning.load();
    while (now > seen && !probe_.maxRunning.compare_exchange_weak(seen, now)) {
    }
    probe_.add("main " + tag_);
    if (!gated_) release();
  }

  void release() {
    --probe_.running;
    finishWithError(result_);
  }

 private:
  Probe& probe_;
  std::string tag_;
  std::optional<KitError> result_;
  bool gated_;
};

// Ends through `markDone` as soon as it is cancelled, the way a transfer
// that stops at cancellation does; it never reports through
// `finishWithError`.
class EndsOnCancelOperation : public TRLAsyncOperation {
 public:
  explicit EndsOnCancelOperation(Probe& probe) : probe_(probe) {}
  void main() override { probe_.add("main"); }
  void cancel() override {
    TRLAsyncOperation::cancel();
    if (isExecuting()) markDone();
  }

 private:
  Probe& probe_;
};

void recordStateChanges(Operation& operation, Probe& probe) {
  operation.addObserver([&probe](std::string_view key, ChangePhase phase) {
    probe.add(std::string(phase == ChangePhase::Will ? "will " : "did ") + std::string(key));
  });
}

// ---- TRLAsyncOperation -----------------------------------------------------

TEST(TRLAsyncOperationTest, CancelledBeforeStartNeverRunsMainAndReportsFinished) {
  Probe probe;
  auto op = std::make_shared<TestOperation>(probe, "a");
  int asyncCalls = 0;
  int completionCalls = 0;
  op->setAsyncCompletion([&](const std::optional<KitError>&) { ++asyncCalls; });
  op->setCompletionBlock([&] { ++completionCalls; });
  op->cancel();
  recordStateChanges(*op, probe);

  op->start();

  EXPECT_EQ(probe.mainCalls.load(), 0);
  EXPECT_TRUE(op->isFinished());
  EXPECT_FALSE(op->isExecuting());
  EXPECT_EQ(asyncCalls, 0);
  EXPECT_EQ(completionCalls, 1);
  EXPECT_EQ(probe.events(), (std::vector<std::string>{"will isFinished", "did isFinished"}));
}

TEST(TRLAsyncOperationTest, StaysExecutingAfterMainUntilFinishAndAnnouncesInOrder) {
  Probe probe;
  auto op = std::make_shared<TestOperation>(probe, "a", errorNamed("boom"), /*gated=*/true);
  std::vector<std::optional<KitError>> reported;
  op->setAsyncCompletion([&](const std::optional<KitError>& e) { reported.push_back(e); });
  recordStateChanges(*op, probe);
  EXPECT_TRUE(op->isAsynchronous());
  EXPECT_TRUE(op->isConcurrent());

  op->start();
  EXPECT_TRUE(op->isExecuting());
  EXPECT_FALSE(op->isFinished());

  op->release();
  EXPECT_FALSE(op->isExecuting());
  EXPECT_TRUE(op->isFinished());
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], errorNamed("boom"));
  EXPECT_EQ(probe.events(),
            (std::vector<std::string>{"will isExecuting", "did isExecuting", "main a",
                                      "will isExecuting", "did isExecuting", "will isFinished",
                                      "did isFinished"}));
}

TEST(TRLAsyncOperationTest, LockIsNamedAfterTheConcreteClass) {
  TRLAsyncOperation plain;
  TRLCompoundOperation compound;
  EXPECT_EQ(plain.lockName(), "com.kestrel.TRLAsyncOperation-lock");
  EXPECT_EQ(compound.lockName(), "com.kestrel.TRLCompoundOperation-lock");
}

// Finishing from several threads at once while another cancels: the
// completion reports once and the finish is announced once, whoever wins.
TEST(TRLAsyncOperationTest, RacingFinishesAndCancelCompleteExactlyOnce) {
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    Probe probe;
    auto op = std::make_shared<TestOperation>(probe, "a", std::nullopt, /*gated=*/true);
    std::atomic<int> asyncCalls{0};
    std::atomic<int> completionCalls{0};
    std::atomic<int> finishedNotices{0};
    op->setAsyncCompletion([&](const std::optional<KitError>&) { ++asyncCalls; });
    op->setCompletionBlock([&] { ++completionCalls; });
    op->addObserver([&](std::string_view key, ChangePhase phase) {
      if (key == kIsFinishedKey && phase == ChangePhase::Did) ++finishedNotices;
    });
    op->start();
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        while (!go.load()) {
        }
        if (i == 0) {
          op->cancel();
          op->checkForCancellation();
        } else {
          op->finishWithError(errorNamed("t" + std::to_string(i)));
        }
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_TRUE(op->isFinished());
    EXPECT_LE(asyncCalls.load(), 1);
    EXPECT_EQ(completionCalls.load(), 1);
    EXPECT_EQ(finishedNotices.load(), 1);
  }
}

// ---- OperationQueue --------------------------------------------------------

TEST(OperationQueueTest, NeverRunsMoreThanTheLimitAndRunsEverything) {
  Probe probe;
  OperationQueue queue("limit");
  queue.setMaxConcurrentOperationCount(2);
  std::vector<std::shared_ptr<TestOperation>> ops;
  for (int i = 0; i < 6; ++i) {
    ops.push_back(std::make_shared<TestOperation>(probe, std::to_string(i), std::nullopt, true));
    queue.addOperation(ops.back());
  }
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(probe.waitForCount("main " + std::to_string(i), 1));
    ASSERT_LE(probe.running.load(), 2);
    ops[i]->release();
  }
  EXPECT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  EXPECT_EQ(probe.maxRunning.load(), 2);
  EXPECT_EQ(probe.mainCalls.load(), 6);
  EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, RunsInOrderAddedWithALimitOfOne) {
  Probe probe;
  OperationQueue queue("serial");
  queue.setMaxConcurrentOperationCount(1);
  for (int i = 0; i < 5; ++i) {
    queue.addOperation(std::make_shared<TestOperation>(probe, std::to_string(i)));
  }
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  EXPECT_EQ(probe.events(),
            (std::vector<std::string>{"main 0", "main 1", "main 2", "main 3", "main 4"}));
  EXPECT_EQ(probe.maxRunning.load(), 1);
}

TEST(OperationQueueTest, CancelAllEndsWaitingOperationsWithoutRunningThem) {
  Probe probe;
  OperationQueue queue("cancel");
  queue.setMaxConcurrentOperationCount(1);
  auto first = std::make_shared<TestOperation>(probe, "first", std::nullopt, true);
  queue.addOperation(first);
  ASSERT_TRUE(probe.waitForCount("main first", 1));
  std::atomic<int> completions{0};
  for (int i = 0; i < 3; ++i) {
    auto op = std::make_shared<TestOperation>(probe, "waiting");
    op->setCompletionBlock([&] { ++completions; });
    queue.addOperation(op);
  }
  EXPECT_EQ(queue.operationCount(), 4u);

  queue.cancelAllOperations();
  first->release();

  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  EXPECT_EQ(probe.count("main waiting"), 0);
  EXPECT_EQ(completions.load(), 3);
}

TEST(OperationQueueTest, OperationsOutliveTheQueueObject) {
  Probe probe;
  auto op = std::make_shared<TestOperation>(probe, "a", std::nullopt, true);
  auto next = std::make_shared<TestOperation>(probe, "b");
  next->setCompletionBlock([&probe] { probe.add("b finished"); });
  {
    OperationQueue queue("short-lived");
    queue.setMaxConcurrentOperationCount(1);
    queue.addOperation(op);
    queue.addOperation(next);
    ASSERT_TRUE(probe.waitForCount("main a", 1));
  }
  op->release();
  EXPECT_TRUE(probe.waitForCount("b finished", 1));
  EXPECT_TRUE(next->isFinished());
}

TEST(OperationQueueDeathTest, AddingAnOperationTwiceAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Probe probe;
  EXPECT_DEATH(
      {
        OperationQueue queue("twice");
        queue.setMaxConcurrentOperationCount(0);
        auto op = std::make_shared<TestOperation>(probe, "a");
        queue.addOperation(op);
        queue.addOperation(op);
      },
      "twice");
}

// ---- TRLCompoundOperation --------------------------------------------------

struct CompoundResult {
  std::mutex mutex;
  std::vector<std::optional<KitError>> reports;
};

std::shared_ptr<TRLCompoundOperation> makeCompound(
    std::vector<std::shared_ptr<TRLAsyncOperation>> ops, CompoundResult& result, Probe& probe) {
  auto compound = std::make_shared<TRLCompoundOperation>();
  compound->setName("upload");
  compound->setOperations(std::move(ops));
  compound->setAsyncCompletion([&result, &probe](const std::optional<KitError>& error) {
    {
      std::lock_guard<std::mutex> lock(result.mutex);
      result.reports.push_back(error);
    }
    probe.add("compound reported");
  });
  compound->setCompletionBlock([&probe] { probe.add("compound finished"); });
  return compound;
}

TEST(TRLCompoundOperationTest, CollectsTheOneFailureOfThreeSubOperations) {
  Probe probe;
  std::vector<std::shared_ptr<TRLAsyncOperation>> ops = {
      std::make_shared<TestOperation>(probe, "a"),
      std::make_shared<TestOperation>(probe, "b", errorNamed("b failed", -7)),
      std::make_shared<TestOperation>(probe, "c")};
  // The sub-operations' own completions still run, one at a time.
  std::atomic<int> inKept{0};
  std::atomic<bool> overlapped{false};
  for (auto& op : ops) {
    op->setAsyncCompletion([&](const std::optional<KitError>&) {
      if (++inKept > 1) overlapped = true;
      std::this_thread::yield();
      --inKept;
      probe.add("kept async");
    });
    op->setCompletionBlock([&] { probe.add("kept completion"); });
  }
  CompoundResult result;
  auto compound = makeCompound(ops, result, probe);
  OperationQueue queue("outer");
  queue.addOperation(compound);

  ASSERT_TRUE(probe.waitForCount("compound finished", 1));
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  ASSERT_EQ(result.reports.size(), 1u);
  ASSERT_TRUE(result.reports[0].has_value());
  const KitError& error = *result.reports[0];
  EXPECT_EQ(error.domain, "com.kestrel.TRLCompoundOperation.error");
  EXPECT_EQ(error.code, 4294967293);
  EXPECT_EQ(error.underlyingErrors, (std::vector<KitError>{errorNamed("b failed", -7)}));
  EXPECT_EQ(compound->completedOperations(), 2u);
  EXPECT_EQ(probe.count("kept async"), 3);
  EXPECT_EQ(probe.count("kept completion"), 3);
  EXPECT_FALSE(overlapped.load());
}

TEST(TRLCompoundOperationTest, FinishesWithoutErrorWhenEverySubOperationSucceeds) {
  for (std::size_t n : {0u, 1u, 5u}) {
    SCOPED_TRACE(n);
    Probe probe;
    std::vector<std::shared_ptr<TRLAsyncOperation>> ops;
    for (std::size_t i = 0; i < n; ++i) {
      ops.push_back(std::make_shared<TestOperation>(probe, std::to_string(i)));
    }
    CompoundResult result;
    auto compound = makeCompound(ops, result, probe);
    OperationQueue queue("outer");
    queue.addOperation(compound);
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
    ASSERT_EQ(result.reports.size(), 1u);
    EXPECT_FALSE(result.reports[0].has_value());
    EXPECT_EQ(compound->completedOperations(), n);
  }
}

TEST(TRLCompoundOperationTest, CancelledBeforeStartCancelsAllAndNeverReports) {
  Probe probe;
  std::vector<std::shared_ptr<TRLAsyncOperation>> ops;
  std::atomic<int> subCompletions{0};
  for (int i = 0; i < 3; ++i) {
    ops.push_back(std::make_shared<TestOperation>(probe, std::to_string(i)));
    ops.back()->setCompletionBlock([&] { ++subCompletions; });
  }
  CompoundResult result;
  auto compound = makeCompound(ops, result, probe);

  compound->cancel();
  compound->cancel();  // a second cancel must not report either
  for (auto& op : ops) EXPECT_TRUE(op->isCancelled());
  OperationQueue queue("outer");
  queue.addOperation(compound);

  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  ASSERT_TRUE(compound->compoundQueue().waitUntilAllOperationsAreFinished(kTimeout));
  EXPECT_TRUE(compound->isFinished());
  EXPECT_TRUE(result.reports.empty());
  EXPECT_EQ(probe.mainCalls.load(), 0);
  EXPECT_EQ(subCompletions.load(), 3);
  for (auto& op : ops) EXPECT_TRUE(op->isFinished());
}

TEST(TRLCompoundOperationTest, CancelledWhileRunningReportsCancellationOnce) {
  Probe probe;
  auto done = std::make_shared<TestOperation>(probe, "done");
  auto slow = std::make_shared<TestOperation>(probe, "slow", std::nullopt, true);
  done->setCompletionBlock([&probe] { probe.add("kept done"); });
  CompoundResult result;
  auto compound = makeCompound({done, slow}, result, probe);
  OperationQueue queue("outer");
  queue.addOperation(compound);
  ASSERT_TRUE(probe.waitForCount("main slow", 1));
  ASSERT_TRUE(probe.waitForCount("kept done", 1));

  compound->cancel();
  EXPECT_TRUE(slow->isCancelled());
  slow->release();

  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  ASSERT_EQ(result.reports.size(), 1u);
  ASSERT_TRUE(result.reports[0].has_value());
  EXPECT_EQ(result.reports[0]->code, 4294967294);
  EXPECT_EQ(result.reports[0]->localizedDescription, "upload cancelled");
  EXPECT_EQ(probe.count("compound finished"), 1);
}

// Once every sub-operation has left the compound queue, a cancel must not
// take the compound for one that never ran (and hand finished operations to
// the queue again) nor report a second time.
TEST(TRLCompoundOperationTest, CancelAfterFinishingChangesNothing) {
  Probe probe;
  CompoundResult result;
  auto compound = makeCompound({std::make_shared<TestOperation>(probe, "a"),
                                std::make_shared<TestOperation>(probe, "b")},
                               result, probe);
  OperationQueue queue("outer");
  queue.addOperation(compound);
  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  ASSERT_TRUE(compound->compoundQueue().waitUntilAllOperationsAreFinished(kTimeout));

  compound->cancel();

  EXPECT_EQ(compound->compoundQueue().operationCount(), 0u);
  ASSERT_EQ(result.reports.size(), 1u);
  EXPECT_FALSE(result.reports[0].has_value());
  EXPECT_EQ(probe.count("compound finished"), 1);
}

// Sub-operations that end through `markDone` the moment they are cancelled
// run their completion check before the compound counts as cancelled; the
// compound must still finish.
TEST(TRLCompoundOperationTest, FinishesWhenSubOperationsEndAtOnceOnCancel) {
  Probe probe;
  auto a = std::make_shared<EndsOnCancelOperation>(probe);
  auto b = std::make_shared<EndsOnCancelOperation>(probe);
  CompoundResult result;
  auto compound = makeCompound({a, b}, result, probe);
  OperationQueue queue("outer");
  queue.addOperation(compound);
  ASSERT_TRUE(probe.waitForCount("main", 2));

  compound->cancel();

  ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
  ASSERT_EQ(result.reports.size(), 1u);
  ASSERT_TRUE(result.reports[0].has_value());
  EXPECT_EQ(result.reports[0]->code, 4294967294);
}

// A cancel at any moment of a compound's life: it always finishes, reports
// at most once, and a report after a cancel of a running compound is the
// cancellation unless everything had already succeeded.
TEST(TRLCompoundOperationTest, CancelAtAnyMomentFinishesAndReportsAtMostOnce) {
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    Probe probe;
    std::vector<std::shared_ptr<TRLAsyncOperation>> ops = {
        std::make_shared<TestOperation>(probe, "a"),
        std::make_shared<TestOperation>(probe, "b", errorNamed("b")),
        std::make_shared<TestOperation>(probe, "c")};
    for (auto& op : ops) op->setCompletionBlock([&probe] { probe.add("sub finished"); });
    CompoundResult result;
    auto compound = makeCompound(ops, result, probe);
    OperationQueue queue("outer");
    queue.addOperation(compound);
    std::thread canceller([&] {
      for (int spin = 0; spin < round % 50; ++spin) std::this_thread::yield();
      compound->cancel();
    });
    canceller.join();
    ASSERT_TRUE(queue.waitUntilAllOperationsAreFinished(kTimeout));
    // A cancelled compound may finish while its sub-operations still end.
    ASSERT_TRUE(probe.waitForCount("sub finished", 3));
    EXPECT_TRUE(compound->isFinished());
    std::lock_guard<std::mutex> lock(result.mutex);
    ASSERT_LE(result.reports.size(), 1u);
    if (!result.reports.empty()) {
      ASSERT_TRUE(result.reports[0].has_value());
      EXPECT_TRUE(result.reports[0]->code == 4294967294 || result.reports[0]->code == 4294967293);
    }
  }
}

}  // namespace
}  // namespace vandrel::crash
