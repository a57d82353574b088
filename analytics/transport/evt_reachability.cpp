#include "analytics/transport/evt_reachability.h"

#include <optional>
#include <utility>

#include "analytics/transport/evt_log.h"
#include "platform/dispatch.h"

namespace vandrel::analytics {

// Touched only on the reachability queue; queued jobs hold it weakly.
struct EVTCORReachability::State {
  platform::SerialQueue queue{"com.gryphon.EVTCORReachability"};
  std::uint32_t flags = 0;
  // Whether a change has been delivered, not merely whether its flags are
  // non-zero: a change to "nothing reachable" must win over the start-up
  // read.
  std::optional<std::uint32_t> callbackFlags;
};

EVTCORReachability& EVTCORReachability::sharedInstance() {
  static auto* instance =
      new EVTCORReachability(platform::makeReachabilitySourceForZeroAddress());
  return *instance;
}

std::uint32_t EVTCORReachability::currentFlags() { return sharedInstance().flags(); }

EVTCORReachability::EVTCORReachability(std::unique_ptr<platform::ReachabilitySource> source)
    : state_(std::make_shared<State>()), source_(std::move(source)) {
  if (!source_) {
    EVTCORConsoleLog(kEVTCORMCReachabilityFailed, EVTCORLoggerLevel::Warning,
                     "The reachability queue wasn't set.");
    return;
  }
  std::weak_ptr<State> weak = state_;
  // The source delivers on our queue; a failed registration is the one
  // failure it reports.
  const bool started = source_->start(state_->queue, [weak](std::uint32_t flags) {
    auto state = weak.lock();
    if (!state) return;
    EVTCORLogDebug("Reachability changed, new flags: %d", static_cast<int>(flags));
    state->callbackFlags = flags;
  });
  if (!started) {
    EVTCORConsoleLog(kEVTCORMCReachabilityFailed, EVTCORLoggerLevel::Warning,
                     "The reachability callback wasn't set.");
  }
  state_->queue.async([weak, source = source_.get()] {
    auto state = weak.lock();
    if (!state) return;
    // `source` lives as long as the state: the destructor drains this queue
    // before it lets the source go.
    const std::optional<std::uint32_t> flags = source->flags();
    if (!flags) {
      EVTCORConsoleLog(kEVTCORMCReachabilityFailed, EVTCORLoggerLevel::Warning,
                       "Determining reachability failed.");
    }
    state->flags = flags.value_or(0);
  });
}

EVTCORReachability::~EVTCORReachability() {
  if (source_) source_->stop();
  // The start-up read may still be queued; it uses the source.
  state_->queue.sync([] {});
}

std::uint32_t EVTCORReachability::flags() const {
  std::uint32_t result = 0;
  state_->queue.sync([&] { result = state_->callbackFlags.value_or(state_->flags); });
  return result;
}

}  // namespace vandrel::analytics
