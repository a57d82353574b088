#include "analytics/tally/tly_timer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <utility>

#include "crash/kit/trl_async_operation.h"
#include "platform/check.h"

namespace vandrel::analytics {

namespace {

class TLYBlockOperation final : public crash::Operation {
 public:
  explicit TLYBlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  void main() override { block_(); }

 private:
  std::function<void()> block_;
};

}  // namespace

// What a tick needs; ticks hold it weakly, so they end with the timer.
struct TLYTimer::State {
  std::shared_ptr<crash::OperationQueue> queue;
  std::function<void()> block;

  void executeBlock() const { queue->addOperation(std::make_shared<TLYBlockOperation>(block)); }
};

TLYTimer::TLYTimer(double timeInterval, std::shared_ptr<crash::OperationQueue> queue,
                   std::string timerIdentifier, std::function<void()> block,
                   platform::Scheduler& scheduler)
    : timeInterval_(timeInterval),
      timerIdentifier_(std::move(timerIdentifier)),
      scheduler_(scheduler),
      state_(std::make_shared<State>(State{std::move(queue), std::move(block)})) {
  VANDREL_CHECK(timeInterval_ > 0, "a timer's interval must be a positive number of seconds");
  VANDREL_CHECK(state_->queue != nullptr, "a timer needs an operation queue");
  VANDREL_CHECK(static_cast<bool>(state_->block), "a timer needs a block");
  scheduleTimer();
}

TLYTimer::~TLYTimer() {
  if (timerSource_) timerSource_->cancel();
}

const std::shared_ptr<crash::OperationQueue>& TLYTimer::queue() const { return state_->queue; }

void TLYTimer::executeBlock() { state_->executeBlock(); }

std::string TLYTimer::backgroundActivityIdentifierForName(std::string_view name) {
  return std::string(kTLYTimerActivityIdentifierPrefix) + std::string(name);
}

void TLYTimer::scheduleTimer() {
  // No background-activity scheduler exists here: the dispatch timer is the
  // one road.
  scheduleDispatchTimer();
}

void TLYTimer::scheduleDispatchTimer() {
  // The interval comes from downloaded settings: keep it inside what the
  // clock's integer ticks can hold, and away from a tick that never rests.
  const double seconds = std::clamp(timeInterval_, kTLYTimerMinimumInterval, kTLYTimerMaximumInterval);
  const auto interval =
      std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds));
  std::weak_ptr<State> weakState = state_;
  timerSource_ = std::make_unique<platform::TimerSource>(
      platform::globalQueue(), interval,
      [weakState] {
        if (std::shared_ptr<State> state = weakState.lock()) state->executeBlock();
      },
      scheduler_);
  timerSource_->start();
}

}  // namespace vandrel::analytics
