#include "platform/promise.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/result.h"

namespace vandrel::platform {
namespace {

using namespace std::chrono_literals;

// Returns once every job posted to `queue` before the call has run.
testing::AssertionResult drained(Queue& queue, Duration timeout = 5s) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  queue.async([done] { done->set_value(); });
  if (future.wait_for(timeout) == std::future_status::ready) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "queue \"" << queue.label() << "\" did not drain";
}

// Runs `f` on a fresh thread (never the main thread) and returns its result.
template <typename F>
auto offMain(F f) {
  return std::async(std::launch::async, std::move(f)).get();
}

TEST(PromiseTest, SettlesOnceAndHandlersRunOnce) {
  auto promise = Promise<std::string>::pending();
  SerialQueue queue("test.promise.once");
  std::vector<std::string> seen;
  promise.then(queue, [&](const std::string& v) { seen.push_back("early:" + v); });
  EXPECT_FALSE(promise.isSettled());

  // Racing settles from several threads: exactly one wins.
  std::atomic<int> wins{0};
  std::vector<std::thread> settlers;
  for (int i = 0; i < 8; ++i) {
    settlers.emplace_back([&, i] {
      if (promise.resolve("value" + std::to_string(i))) ++wins;
    });
  }
  for (auto& t : settlers) t.join();
  EXPECT_EQ(wins.load(), 1);
  EXPECT_TRUE(promise.isSettled());
  const std::string winner = offMain([&] { return promise.wait(); });
  EXPECT_FALSE(promise.resolve("late"));
  EXPECT_EQ(offMain([&] { return promise.wait(); }), winner);

  promise.then(queue, [&](const std::string& v) { seen.push_back("after:" + v); });
  ASSERT_TRUE(drained(queue));
  EXPECT_EQ(seen, (std::vector<std::string>{"early:" + winner, "after:" + winner}));
}

// A queue whose first post waits until released and then runs the job in
// place: it holds a settling thread in the middle of handing out handlers.
class GateQueue final : public Queue {
 public:
  void async(Job job) override {
    if (!held_.exchange(true)) {
      entered_.set_value();
      released_.get_future().wait();
    }
    job();
  }
  std::string_view label() const override { return "test.promise.gate"; }

  testing::AssertionResult entered() {
    if (entered_.get_future().wait_for(5s) == std::future_status::ready) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "the settling thread never posted";
  }
  void release() { released_.set_value(); }

 private:
  std::atomic<bool> held_{false};
  std::promise<void> entered_;
  std::promise<void> released_;
};

TEST(PromiseTest, HandlerAddedWhileSettlingRunsAfterTheEarlierOnes) {
  auto promise = Promise<int>::pending();
  GateQueue gate;
  SerialQueue queue("test.promise.order");
  std::vector<std::string> seen;  // touched on `queue` only
  promise.then(gate, [](int) {});
  promise.then(queue, [&](int) { seen.push_back("registered first"); });

  std::thread settler([&] { EXPECT_TRUE(promise.resolve(1)); });
  ASSERT_TRUE(gate.entered());  // settled; "registered first" not posted yet
  EXPECT_TRUE(promise.isSettled());
  promise.then(queue, [&](int) { seen.push_back("registered second"); });
  ASSERT_TRUE(drained(queue));
  gate.release();
  settler.join();
  ASSERT_TRUE(drained(queue));
  EXPECT_EQ(seen, (std::vector<std::string>{"registered first", "registered second"}));
}

TEST(PromiseTest, ThenRunsOnTheChosenQueue) {
  auto promise = Promise<int>::pending();
  SerialQueue queue("test.promise.queue");
  std::promise<bool> ranOnQueue;
  promise.then(queue, [&](const int& v) { ranOnQueue.set_value(queue.isCurrent() && v == 7); });
  std::thread([promise] { promise.resolve(7); }).join();
  auto future = ranOnQueue.get_future();
  ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

TEST(PromiseTest, ThenDefaultsToTheMainQueue) {
  auto promise = Promise<int>::resolved(3);
  int seen = 0;
  bool onMain = false;
  promise.then([&](int v) {
    seen = v;
    onMain = mainQueue().isCurrent();
  });
  EXPECT_EQ(seen, 0);  // never in place, even when settled already
  ASSERT_TRUE(mainQueue().runUntil([&] { return seen == 3; }));
  EXPECT_TRUE(onMain);
}

TEST(PromiseTest, ThenChainsValuesAndPromises) {
  SerialQueue queue("test.promise.chain");
  auto start = Promise<int>::pending();
  auto inner = Promise<std::string>::pending();
  Promise<std::string> chained =
      start.then(queue, [](int v) { return v * 2; })
          .then(queue, [inner](int v) {
            std::thread([inner, v] { inner.resolve("got " + std::to_string(v)); }).detach();
            return inner;
          });
  Promise<std::size_t> length =
      chained.then(queue, [](const std::string& s) { return s.size(); });
  EXPECT_FALSE(offMain([&] { return length.wait(10ms).has_value(); }));
  start.resolve(21);
  EXPECT_EQ(offMain([&] { return chained.wait(5s); }), "got 42");
  EXPECT_EQ(offMain([&] { return length.wait(5s); }), std::size_t{6});
}

TEST(PromiseTest, TimedWaitFollowsTheInjectedClock) {
  ManualClock clock;
  auto promise = Promise<Result<int>>::pending();
  auto timedOut = std::async(std::launch::async, [&] { return promise.wait(30s, clock); });
  EXPECT_EQ(timedOut.wait_for(20ms), std::future_status::timeout);
  clock.advance(31s);
  ASSERT_EQ(timedOut.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(timedOut.get().has_value());

  auto settled = std::async(std::launch::async, [&] { return promise.wait(30s, clock); });
  promise.resolve(Error{"NSURLErrorDomain", -1001, "timed out"});
  ASSERT_EQ(settled.wait_for(5s), std::future_status::ready);
  auto result = settled.get();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->error().code, -1001);
}

TEST(PromiseTest, BlockingWaitReturnsOnceSettledFromAnotherThread) {
  auto promise = Promise<int>::pending();
  auto waiter = std::async(std::launch::async, [&] { return promise.wait(); });
  EXPECT_EQ(waiter.wait_for(10ms), std::future_status::timeout);
  globalQueue().async([promise] { promise.resolve(5); });
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), 5);
}

// A job that settles a waiter's promise by reference must not touch it once
// the waiter has woken: the waiter is free to destroy it at once. Run many
// times, since the window is the settling thread's last few instructions
// (the address sanitizer build reports it on the first hit).
TEST(PromiseTest, TheWaiterMayDestroyThePromiseAsSoonAsItWakes) {
  for (int round = 0; round < 20000; ++round) {
    auto promise = std::make_unique<Promise<int>>();
    globalQueue().async([&promise = *promise] { promise.resolve(1); });
    ASSERT_EQ(promise->wait(5s), 1);
    promise.reset();
  }
  EXPECT_TRUE(drained(globalQueue()));
}

TEST(PromiseTest, UnsettledPromiseWithHandlersDoesNotKeepItselfAlive) {
  std::weak_ptr<int> watch;
  {
    auto token = std::make_shared<int>(1);
    watch = token;
    auto promise = Promise<int>::pending();
    promise.then(globalQueue(), [token](int) {});
  }
  EXPECT_TRUE(watch.expired());
}

TEST(PromiseDeathTest, WaitOnTheMainThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        mainQueue().runPending();  // this thread becomes the main thread
        (void)Promise<int>::pending().wait();
      },
      "Promise::wait\\(\\) on the main thread would dead-lock");
}

}  // namespace
}  // namespace vandrel::platform
