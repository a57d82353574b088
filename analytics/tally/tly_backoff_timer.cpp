#include "analytics/tally/tly_backoff_timer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "platform/check.h"

namespace vandrel::analytics {

namespace {

platform::Duration scheduledDuration(double seconds) {
  // Larger delays (and an infinity) would overflow the clock's integer
  // ticks; a NaN cannot come from the formula but must not reach the cast.
  if (std::isnan(seconds) || seconds < 0) seconds = 0;
  seconds = std::min(seconds, kTLYBackoffMaximumScheduledDelay);
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

TLYRandomSource TLYDefaultRandomSource() {
  return [] { return drand48(); };
}

TLYBackoffTimer::TLYBackoffTimer() : TLYBackoffTimer(0.0) {}

TLYBackoffTimer::TLYBackoffTimer(double initialValue, TLYBackoffTimerEnvironment environment)
    : TLYBackoffTimer(initialValue, kTLYBackoffDefaultJitterCoefficient, std::move(environment)) {}

TLYBackoffTimer::TLYBackoffTimer(double initialValue, double jitterCoefficient,
                                 TLYBackoffTimerEnvironment environment)
    : initialValue_(initialValue),
      jitterCoefficient_(jitterCoefficient),
      scheduler_(environment.scheduler ? *environment.scheduler : platform::Scheduler::system()),
      queue_(environment.queue ? *environment.queue
                               : static_cast<platform::Queue&>(platform::mainQueue())),
      random_(environment.random ? std::move(environment.random) : TLYDefaultRandomSource()) {
  VANDREL_CHECK(jitterCoefficientIsValid(jitterCoefficient),
                kTLYBackoffInvalidJitterMessage.data());
}

bool TLYBackoffTimer::jitterCoefficientIsValid(double jitterCoefficient) {
  return jitterCoefficient >= 0.0 && jitterCoefficient < 1.0;
}

double TLYBackoffTimer::executeBlockAfterNextInterval(platform::Job block) {
  const std::uint64_t count = retryCount_.fetch_add(1) + 1;
  const double delay = computeDelayForInitialValue(initialValue_, count);
  scheduler_.schedule(scheduledDuration(delay), queue_, std::move(block));
  return delay;
}

double TLYBackoffTimer::computeDelayForInitialValue(double initialValue,
                                                    std::uint64_t retryCount) const {
  const double jitter = generateRandomJitter();
  // std::max keeps 2.0 for a NaN initial value.
  const double base = std::max(kTLYBackoffMinimumBase, initialValue);
  const double exponent = retryCount == 0 ? 1.0 : static_cast<double>(retryCount);
  return std::pow(base, exponent) * jitter;
}

double TLYBackoffTimer::generateRandomJitter() const {
  const double c = jitterCoefficientIsValid(jitterCoefficient_)
                       ? jitterCoefficient_
                       : kTLYBackoffDefaultJitterCoefficient;
  return randomDoubleWithMin(1.0 - c, 1.0 + c);
}

double TLYBackoffTimer::randomDoubleWithMin(double min, double max) const {
  return min + random_() * (max - min);
}

}  // namespace vandrel::analytics
