#include "analytics/transport/evt_transformer.h"

#include <string>
#include <utility>

#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_registrar.h"

namespace vandrel::analytics {

inline constexpr std::string_view kEVTCORTransformerErrorDomain = "EVTCORTransformer";

struct EVTCORTransformer::State {
  State(EVTCORRegistrar& r, EVTCORApplication& a) : registrar(r), application(a) {}
  EVTCORRegistrar& registrar;
  EVTCORApplication& application;
  platform::SerialQueue queue{"com.gryphon.EVTCORTransformer"};
};

EVTCORTransformer& EVTCORTransformer::sharedInstance() {
  static auto* instance =
      new EVTCORTransformer(EVTCORRegistrar::sharedInstance(), EVTCORApplication::sharedApplication());
  return *instance;
}

EVTCORTransformer::EVTCORTransformer(EVTCORRegistrar& registrar, EVTCORApplication& application)
    : state_(std::make_shared<State>(registrar, application)) {}

EVTCORTransformer::~EVTCORTransformer() = default;

namespace {

// Runs the chain in order; nullopt when a step drops the event or cannot
// transform.
std::optional<EVTCOREvent> applyChain(EVTCOREvent event,
                                      const EVTCORTransformerChain& transformers) {
  for (const auto& transformer : transformers) {
    if (!transformer) {
      EVTCORConsoleLog(kEVTCORMCTransformerDoesntImplementTransform, EVTCORLoggerLevel::Error,
                       "Transformer doesn't implement transform: (null)");
      return std::nullopt;
    }
    EVTCORLogDebug("Applying a transformer to event %s", event.eventID().c_str());
    std::optional<EVTCOREvent> result = transformer->transform(std::move(event));
    if (!result) return std::nullopt;
    event = std::move(*result);
  }
  return event;
}

}  // namespace

void EVTCORTransformer::transformEvent(EVTCOREvent event, EVTCORTransformerChain transformers,
                                       EVTCORStoreEventCompletion onComplete) {
  auto state = state_;
  // Ended on every path below, so no expiry handler is needed.
  const EVTCORApplication::BackgroundTaskID task =
      state->application.beginBackgroundTaskWithName("EVTTransformer", {});
  const std::int64_t target = event.target();
  // The state is held strongly: the transformer is a process-lifetime
  // object, and an accepted event must reach its storage.
  state->queue.async([state, event = std::move(event), transformers = std::move(transformers),
                      onComplete = std::move(onComplete), target, task]() mutable {
    std::optional<EVTCOREvent> transformed = applyChain(std::move(event), transformers);
    if (!transformed) {
      if (onComplete) onComplete(false, std::nullopt);
      state->application.endBackgroundTask(task);
      return;
    }
    // Looked up by the target the event had when it entered the chain.
    auto storages = state->registrar.targetToStorage();
    auto found = storages.find(target);
    if (found == storages.end()) {
      // Reported, so a caller waiting on the completion is not left hanging.
      if (onComplete) {
        onComplete(false, platform::Error{std::string(kEVTCORTransformerErrorDomain), -1,
                                          "No storage is registered for target " +
                                              std::to_string(target)});
      }
      state->application.endBackgroundTask(task);
      return;
    }
    found->second->storeEvent(std::move(transformed), std::move(onComplete));
    state->application.endBackgroundTask(task);
  });
}

void EVTCORTransformer::appWillTerminate(EVTCORApplication& /*application*/) {
  state_->queue.sync([] {});
}

platform::SerialQueue& EVTCORTransformer::eventWritingQueue() { return state_->queue; }

}  // namespace vandrel::analytics
