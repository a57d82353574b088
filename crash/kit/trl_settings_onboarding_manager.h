#pragma once

// Settings download and onboarding, as the kit registry starts them once per
// launch: download the settings; when they say the application is new,
// create its record and download again; when they ask for it, update the
// record; then post "TRLSettingsAvailableNotification" and end the
// networking for this launch.
//
// Onboarding itself is a separate component: it plugs in through
// `setOnboardingOperationFactory` (or the environment's `onboarding`). While
// none is plugged in, no record is created or updated and the settings on
// disk are announced as they are.
//
// Queues: the operations' callbacks, the onboarding results and the
// notification run on the network client's delegate queue (a serial queue);
// `beginSettingsAndOnboardingOperations` runs on the caller's thread. The
// manager's state sits under one lock (data only).

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crash/kit/trellis.h"
#include "crash/kit/trl_settings.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::platform {
class NotificationCenter;
}

namespace vandrel::crash {

class TRLNetworkClient;
class TRLAsyncOperation;

inline constexpr std::string_view kTRLSettingsEndpointKey = "SettingsEndpoint";
inline constexpr std::string_view kTRLConfigureEndpointKey = "ConfigureEndpoint";
// The Info dictionary holding the configuration values.
inline constexpr std::string_view kTRLFaultlineInfoKey = "Faultline";
inline constexpr std::string_view kTRLSettingsDirectorySuffix = ".data";

// What an onboarding operation is given.
struct TRLOnboardingRequest {
  bool shouldCreate = false;
  std::string APIKey;
  std::map<std::string, std::string> kitVersionsByKitBundleIdentifier;
  // May be null (the executable could not be read).
  const TRLApplicationIdentifierModel* appIdentifierModel = nullptr;
  std::string endpointString;
  std::weak_ptr<TRLNetworkClient> networkClient;
};
// Reports the outcome once, on the network client's delegate queue.
using TRLOnboardingCompletion = std::function<void(const std::optional<KitError>& error)>;
// Makes the (not yet started) onboarding operation; none when it cannot.
using TRLOnboardingOperationFactory = std::function<std::shared_ptr<TRLAsyncOperation>(
    const TRLOnboardingRequest& request, TRLOnboardingCompletion completion)>;

// Everything the manager reads from the process; tests build their own.
struct TRLSettingsOnboardingManagerEnvironment {
  // Folder of "settings.json"; empty: settingsDirectoryPath().
  std::filesystem::path settingsDirectoryPath;
  // Empty: a client pinned to the kit's certificates, with a delegate queue
  // of its own.
  std::shared_ptr<TRLNetworkClient> networkClient;
  // A process environment variable; empty: getenv.
  std::function<std::optional<std::string>(std::string_view)> environmentValue;
  // The Info "Faultline" dictionary, asked anew each time; empty: the main
  // bundle's.
  std::function<platform::Value::Dictionary()> faultlineConfiguration;
  // The registry's debug flag; empty: Trellis::sharedSDK().debug() (asked
  // only once the registry exists).
  std::function<bool()> debug;
  TRLSettingsLog log;                                     // empty: stderr
  platform::NotificationCenter* notificationCenter = nullptr;  // nullptr: the shared one
  std::optional<TRLSettingsAppFacts> appFacts;            // none: the main bundle's
  SystemFactsSource systemFacts;
  // Empty: the factory registered with setOnboardingOperationFactory, if any.
  TRLOnboardingOperationFactory onboarding;
};

class TRLSettingsOnboardingManager
    : public TRLDownloadAndSaveSettingsOperationDelegate,
      public std::enable_shared_from_this<TRLSettingsOnboardingManager> {
 public:
  // `model` may be null; it must outlive the manager (the registry owns both).
  static std::shared_ptr<TRLSettingsOnboardingManager> initWithApplicationIdentifierModel(
      const TRLApplicationIdentifierModel* model, TRLSettingsOnboardingManagerEnvironment environment = {});

  // Makes the process's registry use this manager. Call before
  // Trellis::sharedSDK is first used.
  static void registerWithTrellis();
  // The onboarding component's hook; nullptr withdraws it.
  static void setOnboardingOperationFactory(TRLOnboardingOperationFactory factory);

  TRLSettingsOnboardingManager(const TRLApplicationIdentifierModel* model,
                               TRLSettingsOnboardingManagerEnvironment environment);
  ~TRLSettingsOnboardingManager() override;

  void beginSettingsAndOnboardingOperationsWithAPIKey(
      const std::string& apiKey, const std::map<std::string, std::string>& kitVersionsByKitBundleIdentifier);
  void beginSettingsDownload();
  void beginOnboarding(bool shouldCreate, const std::string& endpointString);

  // Caches/"io.trellis.sdk.mac.data"/<main bundle identifier>.
  static std::filesystem::path defaultSettingsDirectoryPath();
  const std::filesystem::path& settingsDirectoryPath() const { return settingsDirectoryPath_; }
  std::filesystem::path settingsPath() const;
  std::optional<std::string> settingsURL();
  TRLSettings& settingsModel() { return *settingsModel_; }

  platform::Value::Dictionary configuration() const;
  // The built-in values: the settings and API endpoints of this build.
  static platform::Value::Dictionary defaultConfiguration();
  // The environment first, then the "Faultline" dictionary, then the
  // built-in value; none when no string is found.
  std::optional<std::string> valueForConfigurationKey(std::string_view key) const;

  void postSettingsDownloadCompletedNotification();
  // Cancels the client's work; nothing is sent afterwards.
  void finishNetworkingSession();
  bool networkingFinished() const;
  bool hasAttemptedAppConfigure() const;

  void operationDidDownloadAndSaveSettingsWithError(TRLDownloadAndSaveSettingsOperation& operation,
                                                    const std::optional<KitError>& error) override;
  void onboardingOperationDidCompleteAppCreationWithError(const std::optional<KitError>& error);
  void onboardingOperationDidCompleteAppUpdateWithError(const std::optional<KitError>& error);

  std::optional<std::string> advertisingToken() const;
  const std::shared_ptr<TRLNetworkClient>& networkClient() const { return networkClient_; }

 private:
  bool debug() const;
  void log(std::string_view line) const;
  void debugLog(std::string_view line) const;
  void startOnboardingAfterDownload(bool create);

  const TRLApplicationIdentifierModel* const appIdentifierModel_;
  const TRLSettingsOnboardingManagerEnvironment env_;
  const std::filesystem::path settingsDirectoryPath_;
  const std::unique_ptr<TRLSettings> settingsModel_;
  const std::shared_ptr<TRLNetworkClient> networkClient_;

  mutable platform::Mutex mutex_;
  std::string APIKey_ VANDREL_GUARDED_BY(mutex_);
  std::map<std::string, std::string> kitVersions_ VANDREL_GUARDED_BY(mutex_);
  bool hasAttemptedAppConfigure_ VANDREL_GUARDED_BY(mutex_) = false;
  bool finished_ VANDREL_GUARDED_BY(mutex_) = false;
  std::shared_ptr<TRLAsyncOperation> onboardingOperation_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<TRLDownloadAndSaveSettingsOperation> downloadOperation_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::crash
