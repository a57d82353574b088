#include "analytics/transport/evt_upload_coordinator.h"

#include <utility>

#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_reachability.h"
#include "analytics/transport/evt_registrar.h"
#include "platform/reachability.h"

namespace vandrel::analytics {

// Queued jobs and timer ticks hold the state weakly: once the coordinator
// is gone they do nothing. `timer` is touched only on the queue.
struct EVTCORUploadCoordinator::State : std::enable_shared_from_this<State> {
  State(EVTCORRegistrar& r, EVTCORReachability& re, EVTCORApplication& a, platform::Scheduler& s)
      : registrar(r), reachability(re), application(a), scheduler(s) {}

  EVTCORRegistrar& registrar;
  EVTCORReachability& reachability;
  EVTCORApplication& application;
  platform::Scheduler& scheduler;
  platform::SerialQueue queue{"com.gryphon.EVTCORUploadCoordinator"};
  std::unique_ptr<platform::TimerSource> timer;

  EVTCORUploadConditions conditions() {
    namespace bits = platform::reachability_flags;
    const std::uint32_t flags = reachability.flags();
    if ((flags & (bits::kReachable | bits::kConnectionRequired)) != bits::kReachable) {
      return kEVTCORUploadConditionNoNetwork;
    }
    // No interface here is cellular, so a usable route always counts as Wi-Fi.
    return kEVTCORUploadConditionWifiData;
  }

  // On the queue.
  void fire() {
    if (application.isRunningInBackground()) return;
    const EVTCORUploadConditions now = conditions();
    EVTCORLogDebug("Upload timer fired");
    std::vector<std::int64_t> targets;
    for (const auto& [target, uploader] : registrar.targetToUploader()) targets.push_back(target);
    postUploads(std::move(targets), now);
  }

  void postUploads(std::vector<std::int64_t> targets, EVTCORUploadConditions bits) {
    queue.async([weak = weak_from_this(), targets = std::move(targets), bits] {
      auto state = weak.lock();
      if (!state || (bits & kEVTCORUploadConditionNoNetwork) != 0) return;
      const EVTCORRegistrar::UploaderMap uploaders = state->registrar.targetToUploader();
      for (std::int64_t target : targets) {
        auto found = uploaders.find(target);
        if (found != uploaders.end()) found->second->uploadTarget(target, bits);
      }
    });
  }
};

EVTCORUploadCoordinator& EVTCORUploadCoordinator::sharedInstance() {
  static auto* instance = [] {
    auto* coordinator = new EVTCORUploadCoordinator(EVTCORRegistrar::sharedInstance(),
                                                    EVTCORReachability::sharedInstance(),
                                                    EVTCORApplication::sharedApplication());
    coordinator->startTimer();
    return coordinator;
  }();
  return *instance;
}

EVTCORUploadCoordinator::EVTCORUploadCoordinator(EVTCORRegistrar& registrar,
                                                 EVTCORReachability& reachability,
                                                 EVTCORApplication& application,
                                                 platform::Scheduler& scheduler)
    : state_(std::make_shared<State>(registrar, reachability, application, scheduler)) {}

EVTCORUploadCoordinator::~EVTCORUploadCoordinator() {
  state_->queue.sync([state = state_.get()] { state->timer.reset(); });
}

void EVTCORUploadCoordinator::startTimer() {
  state_->queue.async([weak = std::weak_ptr<State>(state_)] {
    auto state = weak.lock();
    if (!state || state->timer) return;
    // The timer's ticks come at start + n * interval; the first firing
    // happens here, at once.
    state->timer = std::make_unique<platform::TimerSource>(
        state->queue, kTimerInterval,
        [weak] {
          if (auto alive = weak.lock()) alive->fire();
        },
        state->scheduler);
    EVTCORLogDebug("Upload timer started");
    state->timer->start();
    state->fire();
  });
}

void EVTCORUploadCoordinator::stopTimer() {
  state_->queue.async([weak = std::weak_ptr<State>(state_)] {
    if (auto state = weak.lock()) state->timer.reset();
  });
}

void EVTCORUploadCoordinator::forceUploadForTarget(std::int64_t target) {
  state_->queue.async([weak = std::weak_ptr<State>(state_), target] {
    auto state = weak.lock();
    if (!state) return;
    EVTCORLogDebug("Forcing an upload of target %ld", static_cast<long>(target));
    state->postUploads({target}, state->conditions() | kEVTCORUploadConditionHighPriority);
  });
}

void EVTCORUploadCoordinator::uploadTargets(std::vector<std::int64_t> targets,
                                            EVTCORUploadConditions conditions) {
  state_->postUploads(std::move(targets), conditions);
}

void EVTCORUploadCoordinator::signalToStoragesToCheckExpirations() {
  for (const auto& [target, storage] : state_->registrar.targetToStorage()) {
    storage->checkForExpirations();
  }
}

std::shared_ptr<EVTCORStorageProtocol> EVTCORUploadCoordinator::storageForTarget(
    std::int64_t target) {
  const EVTCORRegistrar::StorageMap storages = state_->registrar.targetToStorage();
  auto found = storages.find(target);
  return found == storages.end() ? nullptr : found->second;
}

EVTCORUploadConditions EVTCORUploadCoordinator::uploadConditions() {
  return state_->conditions();
}

void EVTCORUploadCoordinator::appWillForeground(EVTCORApplication& /*application*/) {
  startTimer();
  signalToStoragesToCheckExpirations();
}

void EVTCORUploadCoordinator::appWillBackground(EVTCORApplication& /*application*/) {
  stopTimer();
}

void EVTCORUploadCoordinator::appWillTerminate(EVTCORApplication& /*application*/) {
  state_->queue.sync([state = state_.get()] { state->timer.reset(); });
}

platform::SerialQueue& EVTCORUploadCoordinator::coordinationQueue() { return state_->queue; }

bool EVTCORUploadCoordinator::hasTimerForTesting() {
  bool has = false;
  state_->queue.sync([&] { has = state_->timer != nullptr; });
  return has;
}

}  // namespace vandrel::analytics
