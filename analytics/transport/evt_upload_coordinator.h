#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "analytics/transport/evt_protocols.h"
#include "platform/dispatch.h"

namespace vandrel::analytics {

class EVTCORApplication;
class EVTCORReachability;
class EVTCORRegistrar;

// Asks every registered uploader, at once and then every 30 seconds, to
// upload its target under the current network conditions; a forced upload
// asks one target's uploader with the high-priority bit. Queue:
// "com.gryphon.EVTCORUploadCoordinator" (timer creation, firing and fan-out
// run there). Public methods may be called from any thread; the
// synchronous ones (appWillTerminate) not from that queue.
class EVTCORUploadCoordinator final : public EVTCORLifecycleProtocol {
 public:
  static constexpr std::chrono::nanoseconds kTimerInterval{30000000000};
  static constexpr std::chrono::nanoseconds kTimerLeeway{5000000000};

  // Made once on the shared registrar, reachability and application and the
  // system scheduler; the first call starts the timer. Leaked.
  static EVTCORUploadCoordinator& sharedInstance();

  // Stores its dependencies; nothing starts until startTimer.
  EVTCORUploadCoordinator(EVTCORRegistrar& registrar, EVTCORReachability& reachability,
                          EVTCORApplication& application,
                          platform::Scheduler& scheduler = platform::Scheduler::system());
  ~EVTCORUploadCoordinator() override;
  EVTCORUploadCoordinator(const EVTCORUploadCoordinator&) = delete;
  EVTCORUploadCoordinator& operator=(const EVTCORUploadCoordinator&) = delete;

  // Queued. Creates the timer when there is none; it fires at once.
  void startTimer();
  // Queued. Cancels the timer and forgets it.
  void stopTimer();
  // Queued: uploads `target` with the current conditions | HighPriority.
  void forceUploadForTarget(std::int64_t target);
  // Queued: nothing when `conditions` has the NoNetwork bit; else each
  // target's uploader gets uploadTarget(target, conditions).
  void uploadTargets(std::vector<std::int64_t> targets, EVTCORUploadConditions conditions);
  // checkForExpirations on the storage of every registered target.
  void signalToStoragesToCheckExpirations();
  std::shared_ptr<EVTCORStorageProtocol> storageForTarget(std::int64_t target);
  // NoNetwork, MobileData or WifiData, from the reachability flags.
  EVTCORUploadConditions uploadConditions();

  // Foreground starts the timer and sweeps expirations; background stops it
  // (queued); terminate stops it and waits until that has happened.
  void appWillForeground(EVTCORApplication& application) override;
  void appWillBackground(EVTCORApplication& application) override;
  void appWillTerminate(EVTCORApplication& application) override;

  platform::SerialQueue& coordinationQueue();
  // Run on the coordination queue: whether a timer exists now.
  bool hasTimerForTesting();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vandrel::analytics
