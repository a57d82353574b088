#include "helper/app_watchdog.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "tests/helper/helper_fixture.h"

namespace vandrel::helper {
namespace {

using namespace testing_support;

// A child that waits to be killed.
struct App {
  App() {
    pid = ::fork();
    if (pid == 0) {
      for (;;) ::pause();
    }
  }
  ~App() { end(); }
  void end() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
  AppIdentity identity() const { return AppIdentity::of(pid).value(); }
  pid_t pid = -1;
};

TEST(AppWatchdogTest, CleansUpOnceWhenTheAppEndsThenStops) {
  std::atomic<int> cleanups{0};
  AppWatchdog watchdog([&] { ++cleanups; }, 50ms);
  App app;
  watchdog.watch(app.identity());
  EXPECT_TRUE(watchdog.running());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(0, cleanups.load());
  app.end();
  EXPECT_TRUE(eventually([&] { return !watchdog.running(); }, 5s, "the watchdog to end"));
  EXPECT_EQ(1, cleanups.load());

  App next;  // a later registration starts a new watchdog
  watchdog.watch(next.identity());
  EXPECT_TRUE(watchdog.running());
  next.end();
  EXPECT_TRUE(eventually([&] { return cleanups.load() == 2 && !watchdog.running(); }, 5s,
                         "the second clean-up"));
}

TEST(AppWatchdogTest, AppRegisteredDuringTheCleanUpKeepsItRunning) {
  App first, second;
  std::atomic<int> cleanups{0};
  AppWatchdog* self = nullptr;
  AppWatchdog watchdog(
      [&] {
        if (++cleanups == 1) self->watch(second.identity());
      },
      50ms);
  self = &watchdog;
  watchdog.watch(first.identity());
  first.end();
  EXPECT_TRUE(eventually([&] { return cleanups.load() == 1; }, 5s, "the clean-up"));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(watchdog.running());
  EXPECT_EQ(1, cleanups.load());
  second.end();
  EXPECT_TRUE(eventually([&] { return !watchdog.running(); }, 5s, "the watchdog to end"));
  EXPECT_EQ(2, cleanups.load());
}

// A registration that lands right after the second look (the window
// between finding the application still gone and the thread's end) must
// not be lost: the watchdog keeps watching the new application.
TEST(AppWatchdogTest, AppRegisteredAsTheWatchdogDecidesToEndIsNotLost) {
  App live;
  App gone;
  const AppIdentity dead = gone.identity();
  gone.end();
  const AppIdentity alive = live.identity();
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<bool> cleanedUp{false};
    AppWatchdog watchdog([&] { cleanedUp = true; }, std::chrono::hours(1));
    watchdog.watch(dead);
    // Lands at a different point of the thread's last steps each round.
    while (!cleanedUp) std::this_thread::yield();
    const auto delay = std::chrono::nanoseconds(round % 30 * 1000);
    const auto until = std::chrono::steady_clock::now() + delay;
    while (std::chrono::steady_clock::now() < until) {
    }
    watchdog.watch(alive);
    // A lost registration shows at once: the thread is gone and no new
    // one was started for the live application.
    const auto settle = std::chrono::steady_clock::now() + 3ms;
    while (std::chrono::steady_clock::now() < settle) {
      ASSERT_TRUE(watchdog.running());
    }
  }
}

TEST(AppWatchdogTest, ReusedPidIsNotTheApp) {
  App app;
  const AppIdentity identity = app.identity();
  EXPECT_TRUE(identity.alive());
  EXPECT_FALSE((AppIdentity{identity.pid, identity.startTime + 1}).alive());
  app.end();
  EXPECT_FALSE(identity.alive());
}

TEST(AppWatchdogTest, StopsPromptlyWhenDestroyed) {
  App app;
  const auto start = std::chrono::steady_clock::now();
  {
    AppWatchdog watchdog([] {}, std::chrono::hours(1));
    watchdog.watch(app.identity());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

}  // namespace
}  // namespace vandrel::helper
