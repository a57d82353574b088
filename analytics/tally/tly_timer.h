#pragma once

// A block run repeatedly at a fixed interval on an operation queue (the
// analytics pipeline's timed flush). There is no energy-aware
// background-activity scheduler on this platform, so the timer always takes
// the dispatch road: a platform::TimerSource ticking on the global queue,
// first `timeInterval` after creation, then every `timeInterval`; each tick
// adds the block to the operation queue as a new operation.
//
// The tick holds the timer's state only weakly: once the timer object is
// gone no tick starts and the block is never added again.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch.h"

namespace vandrel::crash {
class OperationQueue;
}

namespace vandrel::analytics {

inline constexpr std::string_view kTLYTimerActivityIdentifierPrefix = "io.tally.TimerActivity.";
// The timer source ticks at least this far apart and at most this far
// (100 years: beyond, the clock's ticks overflow), whatever the interval.
inline constexpr double kTLYTimerMinimumInterval = 0.001;
inline constexpr double kTLYTimerMaximumInterval = 100.0 * 365.0 * 24.0 * 3600.0;

class TLYTimer {
 public:
  // Stores the fields and schedules at once. `timeInterval` in seconds must
  // be positive (aborts otherwise; an infinity ticks every 100 years). The timer keeps `queue`
  // alive while it may still add work to it.
  TLYTimer(double timeInterval, std::shared_ptr<crash::OperationQueue> queue,
           std::string timerIdentifier, std::function<void()> block,
           platform::Scheduler& scheduler = platform::Scheduler::system());
  // Cancels the timer source: no further run of the block starts.
  ~TLYTimer();
  TLYTimer(const TLYTimer&) = delete;
  TLYTimer& operator=(const TLYTimer&) = delete;

  double timeInterval() const { return timeInterval_; }
  // timeInterval / 10 (the leeway the timer allows itself).
  double tolerance() const { return timeInterval_ / 10.0; }
  const std::string& timerIdentifier() const { return timerIdentifier_; }
  const std::shared_ptr<crash::OperationQueue>& queue() const;

  // Adds the block to the queue as a new operation.
  void executeBlock();

  // "io.tally.TimerActivity." + name: the name a background activity of the
  // timer would carry.
  static std::string backgroundActivityIdentifierForName(std::string_view name);

 private:
  struct State;
  void scheduleTimer();
  void scheduleDispatchTimer();

  const double timeInterval_;
  const std::string timerIdentifier_;
  platform::Scheduler& scheduler_;
  std::shared_ptr<State> state_;
  std::unique_ptr<platform::TimerSource> timerSource_;
};

}  // namespace vandrel::analytics
