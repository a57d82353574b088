#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/notification_center.h"

namespace vandrel::analytics {

class EVTCORRegistrar;
class EVTCORTransformer;
class EVTCORUploadCoordinator;

// The transport's own lifecycle notifications, posted with no object.
inline constexpr std::string_view kEVTCORApplicationDidEnterBackgroundNotification =
    "EVTCORApplicationDidEnterBackgroundNotification";
inline constexpr std::string_view kEVTCORApplicationWillEnterForegroundNotification =
    "EVTCORApplicationWillEnterForegroundNotification";
inline constexpr std::string_view kEVTCORApplicationWillTerminateNotification =
    "EVTCORApplicationWillTerminateNotification";

// The application's own "about to quit" notification on the platform
// notification center. The application posts it (through
// postApplicationWillTerminate) when it quits; the transport turns it into
// kEVTCORApplicationWillTerminateNotification.
inline constexpr std::string_view kApplicationWillTerminateNotification =
    "VandrelApplicationWillTerminateNotification";

// Posts the application's lifecycle moments. Terminate is synchronous: when
// it returns, the transport has drained its queues and stopped its timer.
// Background and foreground post the transport's own notifications
// directly, since the platform has no counterpart for them.
void postApplicationWillTerminate(
    platform::NotificationCenter& center = platform::NotificationCenter::shared());
void postApplicationDidEnterBackground(
    platform::NotificationCenter& center = platform::NotificationCenter::shared());
void postApplicationWillEnterForeground(
    platform::NotificationCenter& center = platform::NotificationCenter::shared());

// The transport's view of the application. Background tasks do not exist on
// this platform: begin answers 0 (the invalid identifier) and end ignores it.
// Any thread.
class EVTCORApplication {
 public:
  using BackgroundTaskID = std::int64_t;
  static constexpr BackgroundTaskID kInvalidBackgroundTask = 0;

  // Made once, on the process-wide notification center, and leaked.
  static EVTCORApplication& sharedApplication();
  // Logs the start-up notice and makes the shared instance.
  static void load();

  // Observes kApplicationWillTerminateNotification on `center` until
  // destroyed.
  explicit EVTCORApplication(platform::NotificationCenter& center);
  ~EVTCORApplication();
  EVTCORApplication(const EVTCORApplication&) = delete;
  EVTCORApplication& operator=(const EVTCORApplication&) = delete;

  BackgroundTaskID beginBackgroundTaskWithName(std::string_view name,
                                               std::function<void()> expirationHandler);
  void endBackgroundTask(BackgroundTaskID task);
  // True when the main bundle's path ends with ".appex".
  bool isAppExtension() const;
  bool isRunningInBackground() const { return runningInBackground_.load(); }
  // Nothing in the product sets it; tests and a future background notice do.
  void setRunningInBackground(bool value) { runningInBackground_.store(value); }

 private:
  platform::NotificationCenter& center_;
  platform::ObserverToken terminateObserver_;
  std::atomic<bool> runningInBackground_{false};
};

// Forwards the transport's three lifecycle notifications, on the posting
// thread, to the transformer, the upload coordinator and the registrar, in
// that order.
class EVTCORLifecycle {
 public:
  // Made once on the shared objects and leaked.
  static EVTCORLifecycle& sharedInstance();
  static void load();

  EVTCORLifecycle(platform::NotificationCenter& center, EVTCORApplication& application,
                  EVTCORTransformer& transformer, EVTCORUploadCoordinator& coordinator,
                  EVTCORRegistrar& registrar);
  ~EVTCORLifecycle();
  EVTCORLifecycle(const EVTCORLifecycle&) = delete;
  EVTCORLifecycle& operator=(const EVTCORLifecycle&) = delete;

 private:
  void appWillBackground();
  void appWillForeground();
  void appWillTerminate();

  platform::NotificationCenter& center_;
  EVTCORApplication& application_;
  EVTCORTransformer& transformer_;
  EVTCORUploadCoordinator& coordinator_;
  EVTCORRegistrar& registrar_;
  platform::ObserverToken observers_[3];
};

}  // namespace vandrel::analytics
