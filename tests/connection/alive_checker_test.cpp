// The liveness probe against real TCP servers on loopback (IPv4 and IPv6),
// with the 2.0 s time-out on a manual clock.

#include "connection/alive_checker.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/connection/loopback_server.h"

namespace vandrel::connection {
namespace {

using namespace std::chrono_literals;
using testing_support::LoopbackServer;

// The answers a probe's callback gave, in order.
class Answers {
 public:
  AliveChecker::Callback callback() {
    return [this](bool alive) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.push_back(alive);
      }
      changed_.notify_all();
    };
  }
  ::testing::AssertionResult waitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (changed_.wait_for(lock, timeout, [&] { return answers_.size() >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << answers_.size() << " answers, wanted " << count;
  }
  std::vector<bool> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> answers_;
};

::testing::AssertionResult eventually(const std::function<bool()>& done,
                                      std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure();
    std::this_thread::sleep_for(2ms);
  }
  return ::testing::AssertionSuccess();
}

// A port on which nobody listens: bound once, then released.
std::uint16_t refusedPort(int family) {
  LoopbackServer probe(family, "");
  return probe.port();
}

class AliveCheckerTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    LoopbackServer check(GetParam(), "");
    if (!check.bound()) GTEST_SKIP() << "no loopback for this address family";
  }

  std::string loopback() const { return GetParam() == AF_INET6 ? "::1" : "127.0.0.1"; }

  // The probe's entries once its registration has run.
  ::testing::AssertionResult registered(std::size_t count) {
    return eventually([&] {
      return checker_->socketCountForTesting() == count &&
             checker_->callbackCountForTesting() == count;
    });
  }

  // Moves past the time-out and waits until it has removed the entries.
  ::testing::AssertionResult timeOut() {
    clock_.advance(kAliveTimeout);
    return eventually([&] {
      return checker_->socketCountForTesting() == 0 && checker_->callbackCountForTesting() == 0;
    });
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::unique_ptr<AliveChecker> checker_ = std::make_unique<AliveChecker>(scheduler_);
};

TEST_P(AliveCheckerTest, OnlyTheExactWordAnswersTrue) {
  struct Case {
    const char* greeting;
    bool alive;
  };
  const std::vector<Case> cases = {{"Alive", true}, {"alive", false}, {"Alive\n", false},
                                   {"ALIVE", false}, {"Aliv", false},   {"\xff\xfe", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.greeting);
    LoopbackServer server(GetParam(), c.greeting);
    Answers answers;
    checker_->checkAlive(server.host(), server.port(), answers.callback());
    ASSERT_TRUE(answers.waitForCount(1, 5s));
    EXPECT_EQ(answers.all(), std::vector<bool>{c.alive});
    // The entries stay until the time-out.
    EXPECT_EQ(checker_->callbackCountForTesting(), 1u);
    ASSERT_TRUE(timeOut());
  }
}

TEST_P(AliveCheckerTest, ASilentServerGetsNoAnswerAndItsSocketClosedAtTheTimeOut) {
  LoopbackServer server(GetParam(), "Alive", /*greetAtOnce=*/false);
  Answers answers;
  checker_->checkAlive(server.host(), server.port(), answers.callback());
  ASSERT_TRUE(registered(1));
  ASSERT_TRUE(eventually([&] { return server.accepted() == 1; }));
  clock_.advance(kAliveTimeout - 1ms);
  EXPECT_EQ(checker_->socketCountForTesting(), 1u);
  ASSERT_TRUE(timeOut());
  EXPECT_TRUE(eventually([&] { return server.closedByPeer() == 1; })) << "socket left open";
  // A word after the time-out reaches nobody.
  server.sendGreeting();
  EXPECT_FALSE(answers.waitForCount(1, 200ms));
}

TEST_P(AliveCheckerTest, ARefusedConnectionGetsNoAnswer) {
  Answers answers;
  checker_->checkAlive(loopback(), refusedPort(GetParam()), answers.callback());
  ASSERT_TRUE(registered(1));
  EXPECT_FALSE(answers.waitForCount(1, 300ms));
  ASSERT_TRUE(timeOut());
}

TEST_P(AliveCheckerTest, AServerThatClosesWithoutAWordGetsNoAnswer) {
  Answers answers;
  {
    LoopbackServer server(GetParam(), "");
    checker_->checkAlive(server.host(), server.port(), answers.callback());
    ASSERT_TRUE(eventually([&] { return server.accepted() == 1; }));
  }
  EXPECT_FALSE(answers.waitForCount(1, 300ms));
  ASSERT_TRUE(timeOut());
}

TEST_P(AliveCheckerTest, ALaterProbeOfTheSameHostReplacesTheEarlierOne) {
  LoopbackServer server(GetParam(), "Alive", /*greetAtOnce=*/false);
  Answers first;
  Answers second;
  checker_->checkAlive(server.host(), server.port(), first.callback());
  ASSERT_TRUE(eventually([&] { return server.accepted() == 1; }));
  clock_.advance(1s);
  checker_->checkAlive(server.host(), server.port(), second.callback());
  ASSERT_TRUE(eventually([&] { return server.accepted() == 2; }));
  EXPECT_EQ(checker_->socketCountForTesting(), 1u);
  // The replaced probe's socket is closed.
  EXPECT_TRUE(eventually([&] { return server.closedByPeer() == 1; }));
  server.sendGreeting();
  ASSERT_TRUE(second.waitForCount(1, 5s));
  EXPECT_EQ(second.all(), std::vector<bool>{true});
  EXPECT_TRUE(first.all().empty());
  // The first probe's time-out removes the entries of both.
  clock_.advance(1s);
  EXPECT_TRUE(eventually([&] { return checker_->callbackCountForTesting() == 0; }));
  EXPECT_TRUE(eventually([&] { return server.closedByPeer() == 2; }));
}

TEST_P(AliveCheckerTest, AProbeThatCannotStartEndsWithoutHarm) {
  LoopbackServer server(GetParam(), "Alive");
  Answers answers;
  checker_->checkAlive("", server.port(), answers.callback());
  checker_->checkAlive(server.host(), -1, answers.callback());
  checker_->checkAlive(server.host(), 65536, answers.callback());
  EXPECT_FALSE(answers.waitForCount(1, 300ms));
  EXPECT_EQ(server.accepted(), 0);
  ASSERT_TRUE(timeOut());
}

TEST_P(AliveCheckerTest, ProbesUnderWayEndQuietlyWhenTheCheckerGoes) {
  LoopbackServer server(GetParam(), "Alive", /*greetAtOnce=*/false);
  Answers answers;
  checker_->checkAlive(server.host(), server.port(), answers.callback());
  ASSERT_TRUE(eventually([&] { return server.accepted() == 1; }));
  checker_.reset();
  EXPECT_TRUE(eventually([&] { return server.closedByPeer() == 1; }));
  clock_.advance(kAliveTimeout);
  server.sendGreeting();
  EXPECT_FALSE(answers.waitForCount(1, 200ms));
}

INSTANTIATE_TEST_SUITE_P(Families, AliveCheckerTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const auto& info) { return info.param == AF_INET6 ? "IPv6" : "IPv4"; });

}  // namespace
}  // namespace vandrel::connection
