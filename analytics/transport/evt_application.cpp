#include "analytics/transport/evt_application.h"

#include <string>
#include <utility>

#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_registrar.h"
#include "analytics/transport/evt_transformer.h"
#include "analytics/transport/evt_upload_coordinator.h"
#include "platform/bundle.h"

namespace vandrel::analytics {

void postApplicationWillTerminate(platform::NotificationCenter& center) {
  center.post(std::string(kApplicationWillTerminateNotification));
}

void postApplicationDidEnterBackground(platform::NotificationCenter& center) {
  center.post(std::string(kEVTCORApplicationDidEnterBackgroundNotification));
}

void postApplicationWillEnterForeground(platform::NotificationCenter& center) {
  center.post(std::string(kEVTCORApplicationWillEnterForegroundNotification));
}

// ---- EVTCORApplication -----------------------------------------------------

EVTCORApplication& EVTCORApplication::sharedApplication() {
  static auto* instance = new EVTCORApplication(platform::NotificationCenter::shared());
  return *instance;
}

void EVTCORApplication::load() {
  static const bool loaded = [] {
    EVTCORLogDebug(
        "EVT is initializing. Please note that if you quit the app via the debugger and not "
        "through a lifecycle event, event data will remain on disk but storage won't have a "
        "reference to them since the singleton wasn't saved to disk.");
    sharedApplication();
    return true;
  }();
  (void)loaded;
}

EVTCORApplication::EVTCORApplication(platform::NotificationCenter& center) : center_(center) {
  // Delivered on the posting thread, so the transport has shut down when the
  // application's post returns.
  terminateObserver_ = center_.addObserver(
      std::string(kApplicationWillTerminateNotification), nullptr, std::nullopt,
      [&center](const platform::Notification&) {
        EVTCORLogDebug("EVTCORPlatform is sending a notif that the app is terminating.");
        center.post(std::string(kEVTCORApplicationWillTerminateNotification));
      });
}

EVTCORApplication::~EVTCORApplication() { center_.removeObserver(terminateObserver_); }

EVTCORApplication::BackgroundTaskID EVTCORApplication::beginBackgroundTaskWithName(
    std::string_view /*name*/, std::function<void()> /*expirationHandler*/) {
  // No background tasks here: the process is never suspended behind the
  // transport's back, so there is nothing to hold open.
  return kInvalidBackgroundTask;
}

void EVTCORApplication::endBackgroundTask(BackgroundTaskID /*task*/) {}

bool EVTCORApplication::isAppExtension() const {
  return platform::Bundle::main().bundlePath().string().ends_with(".appex");
}

// ---- EVTCORLifecycle -------------------------------------------------------

EVTCORLifecycle& EVTCORLifecycle::sharedInstance() {
  static auto* instance = new EVTCORLifecycle(
      platform::NotificationCenter::shared(), EVTCORApplication::sharedApplication(),
      EVTCORTransformer::sharedInstance(), EVTCORUploadCoordinator::sharedInstance(),
      EVTCORRegistrar::sharedInstance());
  return *instance;
}

void EVTCORLifecycle::load() { sharedInstance(); }

EVTCORLifecycle::EVTCORLifecycle(platform::NotificationCenter& center,
                                 EVTCORApplication& application, EVTCORTransformer& transformer,
                                 EVTCORUploadCoordinator& coordinator, EVTCORRegistrar& registrar)
    : center_(center),
      application_(application),
      transformer_(transformer),
      coordinator_(coordinator),
      registrar_(registrar) {
  observers_[0] =
      center_.addObserver(std::string(kEVTCORApplicationDidEnterBackgroundNotification), nullptr,
                          std::nullopt, [this](const platform::Notification&) {
                            appWillBackground();
                          });
  observers_[1] =
      center_.addObserver(std::string(kEVTCORApplicationWillEnterForegroundNotification),
                          nullptr, std::nullopt, [this](const platform::Notification&) {
                            appWillForeground();
                          });
  observers_[2] =
      center_.addObserver(std::string(kEVTCORApplicationWillTerminateNotification), nullptr,
                          std::nullopt, [this](const platform::Notification&) {
                            appWillTerminate();
                          });
}

EVTCORLifecycle::~EVTCORLifecycle() {
  for (auto token : observers_) center_.removeObserver(token);
}

void EVTCORLifecycle::appWillBackground() {
  EVTCORLogDebug("Signaling EVTCORTransformer that the app is backgrounding.");
  transformer_.appWillBackground(application_);
  EVTCORLogDebug("Signaling EVTCORUploadCoordinator that the app is backgrounding.");
  coordinator_.appWillBackground(application_);
  EVTCORLogDebug("Signaling EVTCORRegistrar that the app is backgrounding.");
  registrar_.appWillBackground(application_);
}

void EVTCORLifecycle::appWillForeground() {
  EVTCORLogDebug("Signaling EVTCORTransformer that the app is foregrounding.");
  transformer_.appWillForeground(application_);
  EVTCORLogDebug("Signaling EVTCORUploadCoordinator that the app is foregrounding.");
  coordinator_.appWillForeground(application_);
  EVTCORLogDebug("Signaling EVTCORRegistrar that the app is foregrounding.");
  registrar_.appWillForeground(application_);
}

void EVTCORLifecycle::appWillTerminate() {
  EVTCORLogDebug("Signaling EVTCORTransformer that the app is terminating.");
  transformer_.appWillTerminate(application_);
  EVTCORLogDebug("Signaling EVTCORUploadCoordinator that the app is terminating.");
  coordinator_.appWillTerminate(application_);
  EVTCORLogDebug("Signaling EVTCORRegistrar that the app is terminating.");
  registrar_.appWillTerminate(application_);
}

}  // namespace vandrel::analytics
