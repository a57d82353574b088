#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sync.h"

namespace vandrel::platform {

using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// The time source of every delay, deadline and timestamp that a test must
// control. Production code uses SystemClock::shared(); tests inject a
// ManualClock and move time forward instead of sleeping.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  virtual WallTime wallNow() const = 0;

  // Seconds since 1970 as the platform's floating-point clock gives them.
  double secondsSince1970() const;

  // Blocks on `cv` (with `lock` held on entry and exit) until `deadline` has
  // passed on this clock or the cv is notified. Spurious returns are allowed.
  virtual void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                         TimePoint deadline) = 0;
  // Blocks with no deadline until notified.
  virtual void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) = 0;
};

class SystemClock final : public Clock {
 public:
  static SystemClock& shared();
  TimePoint now() const override;
  WallTime wallNow() const override;
  void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 TimePoint deadline) override;
  void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) override;
};

// A clock that moves only when told to. Waiters are woken on every advance.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(WallTime wallStart = WallTime{} + std::chrono::hours(24 * 365 * 50));

  TimePoint now() const override;
  WallTime wallNow() const override;
  void waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                 TimePoint deadline) override;
  void wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) override;

  void advance(Duration by);
  void setWall(WallTime wall);

 private:
  mutable Mutex mutex_;
  Duration offset_ VANDREL_GUARDED_BY(mutex_){};
  WallTime wall_ VANDREL_GUARDED_BY(mutex_);
  std::vector<std::condition_variable*> waiters_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::platform
