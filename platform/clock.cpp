#include "platform/clock.h"

#include <algorithm>

namespace vandrel::platform {

double Clock::secondsSince1970() const {
  return std::chrono::duration<double>(wallNow().time_since_epoch()).count();
}

SystemClock& SystemClock::shared() {
  static auto* clock = new SystemClock;
  return *clock;
}

TimePoint SystemClock::now() const { return std::chrono::steady_clock::now(); }

WallTime SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

void SystemClock::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            TimePoint deadline) {
  cv.wait_until(lock, deadline);
}

void SystemClock::wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) {
  cv.wait(lock);
}

ManualClock::ManualClock(WallTime wallStart) : wall_(wallStart) {}

TimePoint ManualClock::now() const {
  MutexLock lock(mutex_);
  return TimePoint{} + offset_;
}

WallTime ManualClock::wallNow() const {
  MutexLock lock(mutex_);
  return wall_;
}

void ManualClock::advance(Duration by) {
  // Notify under the lock: a waiter deregisters under it before it returns,
  // so no condition variable here can have been destroyed meanwhile.
  MutexLock lock(mutex_);
  offset_ += by;
  wall_ += std::chrono::duration_cast<WallTime::duration>(by);
  for (auto* cv : waiters_) cv->notify_all();
}

void ManualClock::setWall(WallTime wall) {
  MutexLock lock(mutex_);
  wall_ = wall;
}

void ManualClock::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                            TimePoint deadline) {
  if (now() >= deadline) return;
  wait(cv, lock);
}

void ManualClock::wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) {
  {
    MutexLock guard(mutex_);
    waiters_.push_back(&cv);
  }
  // The short real-time cap covers an advance that lands between the
  // caller's deadline check and this wait; it only costs a re-check.
  cv.wait_for(lock, std::chrono::milliseconds(5));
  MutexLock guard(mutex_);
  auto it = std::find(waiters_.begin(), waiters_.end(), &cv);
  if (it != waiters_.end()) waiters_.erase(it);
}

}  // namespace vandrel::platform
