#pragma once

// Steps for tests that drive a Scheduler through a ManualClock.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <thread>

#include "platform/clock.h"
#include "platform/dispatch.h"

namespace vandrel::test_support {

// Moves the clock and returns once the scheduler has handed out every job
// due by then (a marker due now has reached the global queue and run).
inline ::testing::AssertionResult advanceScheduler(platform::ManualClock& clock,
                                                   platform::Scheduler& scheduler,
                                                   platform::Duration by,
                                                   std::chrono::milliseconds timeout) {
  clock.advance(by);
  platform::Group group;
  group.enter();
  scheduler.schedule(platform::Duration::zero(), platform::globalQueue(),
                     [group]() mutable { group.leave(); });
  if (group.wait(timeout)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the scheduler did not catch up";
}

// Waits until the scheduler counts `count` jobs not yet handed to their
// queue. The marker of advanceScheduler() counts until it has been handed
// over, which can be a moment after it ran.
inline ::testing::AssertionResult schedulerSettlesAt(const platform::Scheduler& scheduler,
                                                     std::size_t count,
                                                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (scheduler.pendingCountForTesting() != count) {
    if (std::chrono::steady_clock::now() > deadline) {
      return ::testing::AssertionFailure() << scheduler.pendingCountForTesting() << " jobs pending";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vandrel::test_support
