#pragma once

// The beta update check: asks the server whether a newer test build of the
// application exists and keeps the offer as the active update. A check runs
// each time downloaded settings become available, then checks pause for
// the configured suspend duration. Nothing here shows a dialog; the update
// offers the prompt texts to a caller that wants one.
//
// A check needs a beta token, and the kit's token source yields none on
// this platform: `start` then answers false and no check is ever made.
//
// Queues: checks and answers run on the controller's serial queue
// "com.kestrel.faultline.mac.beta" (the outstanding mark is read and set
// only there); the pause timer and the active-update assignment run on the
// main queue. Shared flags are atomic or under the controller's lock.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/kit/flt_settings.h"
#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::crash {

class TRLNetworkClient;

inline constexpr std::string_view kFLTBetaQueueLabel = "com.kestrel.faultline.mac.beta";
inline constexpr std::string_view kFLTBetaUserAgent = "Faultline Mac SDK/3.14.0";
inline constexpr std::string_view kFLTBetaDeveloperToken = "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d";
inline constexpr std::string_view kFLTBetaClientId = "com.kestrel.faultline.mac";
inline constexpr std::string_view kFLTBetaClientDisplayVersion = "3.14.0";
inline constexpr std::string_view kFLTBetaClientBuildVersion = "144";
inline constexpr unsigned kFLTBetaRetryLimit = 10;
inline constexpr double kFLTBetaRequestTimeoutSeconds = 10.0;

// The update offer of a check's answer.
class FLTBetaUpdate {
 public:
  // Where the localised prompt texts come from: the translation of `key`
  // in strings table `table`, or none.
  using LocalizedStringSource =
      std::function<std::optional<std::string>(std::string_view key, std::string_view table)>;

  // The answer object: "url" must be a string forming a valid absolute URL;
  // "version_string" is kept when it is a string. Other keys are ignored.
  // Anything else: none and, in `error`, NSURLErrorDomain -1017 without
  // user info.
  static std::optional<FLTBetaUpdate> betaUpdateWithDictionary(const platform::Value& value,
                                                               std::optional<KitError>* error);
  // None when the dictionary has no valid "url".
  static std::optional<FLTBetaUpdate> initWithDictionary(const platform::Value::Dictionary& dictionary);

  FLTBetaUpdate(std::string url, std::optional<std::string> version)
      : url_(std::move(url)), version_(std::move(version)) {}

  const std::string& url() const { return url_; }
  const std::optional<std::string>& version() const { return version_; }

  // Translated from the main bundle's "Faultline" strings table (or
  // `localized`), else the built-in English text. The message names the
  // application: CFBundleDisplayName, else CFBundleName, else its build
  // version (or `applicationName` when given).
  std::string promptTitle(const LocalizedStringSource& localized = {}) const;
  std::string promptMessage(const LocalizedStringSource& localized = {},
                            std::optional<std::string> applicationName = std::nullopt) const;
  std::string cancelLabel(const LocalizedStringSource& localized = {}) const;
  std::string installLabel(const LocalizedStringSource& localized = {}) const;

  bool operator==(const FLTBetaUpdate&) const = default;

 private:
  std::string url_;
  std::optional<std::string> version_;
};

class FLTBetaController;

// The kit; asked on the controller's queue.
class FLTBetaControllerDelegate {
 public:
  virtual ~FLTBetaControllerDelegate() = default;
  virtual FLTSettings settingsForBetaController(FLTBetaController& controller) = 0;
  virtual std::optional<std::string> APIKeyForBetaController(FLTBetaController& controller) = 0;
};

// The application facts a check sends.
struct FLTBetaAppFacts {
  std::optional<std::string> buildVersion;         // CFBundleVersion
  std::optional<std::string> displayVersion;       // CFBundleShortVersionString
  std::optional<std::string> instanceIdentifier;   // the registry's
  int installationSource = 1;                      // 1, 3 or 4
  std::string bundleIdentifierNamespace;           // "/" replaced by "_"
  bool isExtension = false;

  // The main bundle, the registry and the executable.
  static FLTBetaAppFacts live();
};

// What the controller reads from the process; tests inject their own.
struct FLTBetaControllerEnvironment {
  // The kit's beta-token source; empty: FLTBetaTokenFromSource.
  std::function<std::optional<std::string>()> betaToken;
  // The anchors of every connection; none: the kit's pinned roots.
  std::optional<std::vector<TRLCertificate>> pinnedCertificates;
  // Times the pause and the network retries; nullptr: the system scheduler.
  platform::Scheduler* scheduler = nullptr;
  // Where the pause timer and the active update live; nullptr: the main queue.
  platform::Queue* mainQueue = nullptr;
  // Where "TRLSettingsAvailableNotification" is observed; nullptr: shared.
  platform::NotificationCenter* notificationCenter = nullptr;
  // The registry's debug flag (debug lines, no pinning); empty:
  // Trellis::sharedSDK().debug().
  std::function<bool()> debug;
  // The debug flag the network client judges pinning by; empty: `debug`.
  std::function<bool()> networkDebug;
  // Console lines; empty: stderr.
  std::function<void(std::string_view line)> log;
  // None: FLTBetaAppFacts::live(), asked on each check.
  std::optional<FLTBetaAppFacts> appFacts;
  // The locale identifier of the language headers; empty: the user's.
  std::function<std::string()> localeIdentifier;
};

// The token of this platform's beta distribution: there is none here.
std::optional<std::string> FLTBetaTokenFromSource();

class FLTBetaController : public std::enable_shared_from_this<FLTBetaController> {
 public:
  using UpdateCompletion = std::function<void(const std::optional<FLTBetaUpdate>& update)>;
  using LoadCompletion = std::function<void(const std::optional<FLTBetaUpdate>& update,
                                            const std::optional<KitError>& error)>;

  // Not an application extension, and installed with source 3 (signed for
  // distribution, no store receipt).
  static bool isBetaSupported();
  static bool isBetaSupported(const FLTBetaAppFacts& facts);
  // The kit's pinned root certificates.
  static const std::vector<TRLCertificate>& pinnnedCertificates();

  static std::shared_ptr<FLTBetaController> initWithDelegate(
      std::weak_ptr<FLTBetaControllerDelegate> delegate, FLTBetaControllerEnvironment environment = {});
  // Stops observing and cancels the pause timer.
  ~FLTBetaController();
  FLTBetaController(const FLTBetaController&) = delete;
  FLTBetaController& operator=(const FLTBetaController&) = delete;

  // False without a beta token (nothing observed); else observes the
  // settings notification and answers true. Once.
  bool start();

  // Asked on each use until one is obtained, then kept.
  std::optional<std::string> betaToken();

  void checkForUpdate();
  void applicationWillEnterForeground();
  void trellisSettingsDownloaded(const platform::Notification& notification);
  void maybeGetUpdate(UpdateCompletion completion);
  // On the queue.
  void loadUpdateWithCompletionBlock(LoadCompletion completion);
  void handledCompletedBetaRequestWithData(const std::string& data, const std::optional<KitError>& error,
                                           const LoadCompletion& completion);
  std::optional<FLTBetaUpdate> updateWithData(const std::string& data, std::optional<KitError>* error);
  void didGetUpdate(const std::optional<FLTBetaUpdate>& update);
  // On the main queue: stores the offer as the active update.
  void showBetaAlertForUpdate(const FLTBetaUpdate& update);

  void temporarilySuspendChecks();
  void allowChecks();
  bool shouldGetUpdates() const;
  bool checksSuspended() const { return checksSuspended_.load(); }
  // Whether a request is outstanding (it stays so after a failed request).
  bool retrying() const { return retrying_.load(); }
  std::optional<FLTBetaUpdate> activeUpdate() const;

  // The check's request parts.
  std::optional<std::string> betaUpdateURL();
  FLTURLRequest betaUpdateRequest(const std::string& url);
  std::string betaEndpoint();
  // Seconds; none when the settings hold no positive number.
  std::optional<double> betaUpdateSuspendDurationSecs();
  std::optional<std::string> appBuildVersion() const { return appFacts().buildVersion; }
  std::optional<std::string> appDisplayVersion() const { return appFacts().displayVersion; }
  std::optional<std::string> appInstanceIdentifier() const { return appFacts().instanceIdentifier; }
  int appInstallationSource() const { return appFacts().installationSource; }
  std::string appBundleIdentifier() const { return appFacts().bundleIdentifierNamespace; }
  std::optional<std::string> APIKey();

  const std::shared_ptr<TRLNetworkClient>& networkClient() const { return networkClient_; }
  platform::SerialQueue& queue() const { return *queue_; }

  struct Private;
  FLTBetaController(Private, std::weak_ptr<FLTBetaControllerDelegate> delegate,
                    FLTBetaControllerEnvironment environment);

 private:
  FLTBetaAppFacts appFacts() const;
  bool debug() const;
  void debugLog(std::string_view line) const;
  platform::Scheduler& scheduler() const;
  platform::Queue& mainQueue() const;
  platform::NotificationCenter& notificationCenter() const;
  std::shared_ptr<FLTBetaControllerDelegate> delegate() const;

  const std::weak_ptr<FLTBetaControllerDelegate> delegate_;
  const FLTBetaControllerEnvironment environment_;
  const std::shared_ptr<platform::SerialQueue> queue_;
  std::shared_ptr<TRLNetworkClient> networkClient_;

  std::atomic<bool> checksSuspended_{false};
  std::atomic<bool> retrying_{false};
  mutable platform::Mutex mutex_;
  std::optional<std::string> betaToken_ VANDREL_GUARDED_BY(mutex_);
  std::optional<FLTBetaUpdate> activeUpdate_ VANDREL_GUARDED_BY(mutex_);
  std::optional<platform::Scheduler::TimerId> suspensionTimer_ VANDREL_GUARDED_BY(mutex_);
  platform::ObserverToken observer_ VANDREL_GUARDED_BY(mutex_);
  bool started_ VANDREL_GUARDED_BY(mutex_) = false;
};

}  // namespace vandrel::crash
