#pragma once

// Exponential back-off of analytics uploads, counted per upload: each
// scheduled retry waits max(2, initial value) to the power of its retry
// count (1 for the first), times a random factor in [1 - c, 1 + c].
//
// Time comes from a platform::Scheduler, so tests move a ManualClock
// instead of waiting out the delays.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/dispatch.h"

namespace vandrel::analytics {

inline constexpr double kTLYBackoffDefaultJitterCoefficient = 0.1;
// The base never falls below this many seconds.
inline constexpr double kTLYBackoffMinimumBase = 2.0;
// A delay that would not fit the clock's range (a large server wait raised
// to a high retry count) is scheduled at this many seconds, 100 years.
inline constexpr double kTLYBackoffMaximumScheduledDelay = 100.0 * 365.0 * 24.0 * 3600.0;
inline constexpr std::string_view kTLYBackoffInvalidJitterMessage =
    "Invalid parameter not satisfying: [TLYBackoffTimer jitterCoefficientIsValid:jitterCoefficient]";

// Uniform in [0, 1). The default draws from the process-wide 48-bit
// generator (drand48), which the kit never seeds.
using TLYRandomSource = std::function<double()>;
TLYRandomSource TLYDefaultRandomSource();

// Where a timer's blocks run and on which clock.
struct TLYBackoffTimerEnvironment {
  platform::Scheduler* scheduler = nullptr;  // nullptr: Scheduler::system()
  platform::Queue* queue = nullptr;          // nullptr: the main queue
  TLYRandomSource random;                    // empty: TLYDefaultRandomSource()
};

// Thread-safe: the retry count is atomic, the rest is fixed at construction.
class TLYBackoffTimer {
 public:
  // Initial value 0.0, coefficient 0.1.
  TLYBackoffTimer();
  explicit TLYBackoffTimer(double initialValue, TLYBackoffTimerEnvironment environment = {});
  // A coefficient outside 0 <= c < 1 is a programming error: aborts with
  // kTLYBackoffInvalidJitterMessage.
  TLYBackoffTimer(double initialValue, double jitterCoefficient,
                  TLYBackoffTimerEnvironment environment = {});

  static bool jitterCoefficientIsValid(double jitterCoefficient);

  double initialValue() const { return initialValue_; }
  double jitterCoefficient() const { return jitterCoefficient_; }
  std::uint64_t retryCount() const { return retryCount_.load(); }

  // Counts one more retry, then runs `block` once on the timer's queue after
  // the delay for the new count. Returns that delay in seconds.
  double executeBlockAfterNextInterval(platform::Job block);

  // Seconds: max(2, initialValue) ^ max(1, retryCount) * jitter.
  double computeDelayForInitialValue(double initialValue, std::uint64_t retryCount) const;
  // Uniform in [1 - c, 1 + c]; c = 0.1 when the coefficient is not valid.
  double generateRandomJitter() const;
  double randomDoubleWithMin(double min, double max) const;

 private:
  const double initialValue_;
  const double jitterCoefficient_;
  platform::Scheduler& scheduler_;
  platform::Queue& queue_;
  const TLYRandomSource random_;
  std::atomic<std::uint64_t> retryCount_{0};
};

}  // namespace vandrel::analytics
