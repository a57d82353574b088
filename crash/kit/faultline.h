#pragma once

// The public face of the crash-reporting kit: a process-wide instance that
// the kit registry starts (or an application with the older
// `startWithAPIKey` calls). Start brings up the beta check when supported,
// crash reporting through the crash-reporting controller, and the analytics
// kit through the registered Tally hooks (flt_tally_hooks.h). Applications
// attach user identity, custom keys, logs, recorded errors and custom
// exceptions through it; it answers the controllers' questions and
// forwards the application's share of them to its delegate.
//
// Registration: `loadFaultlineKit()` puts the kit class "Faultline" into
// the registry's class table (static initialisers of a static library are
// dropped by the linker, so the program calls it before the registry may
// start kits, next to `loadKitRegistry()`).
//
// Thread-safe: `start` may be called from any thread and runs its body once;
// reports reach the delegate on the main queue.

#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/capture/flt_exception.h"
#include "crash/capture/flt_user_logging.h"
#include "crash/kit/flt_beta_controller.h"
#include "crash/kit/flt_crash_reporting_controller.h"
#include "crash/kit/flt_settings.h"
#include "crash/kit/flt_tally_hooks.h"
#include "crash/kit/trellis.h"
#include "platform/dispatch.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::crash {

class Faultline;
class FLTFileManager;
class FLTInternalReport;
class FLTReport;

inline constexpr std::string_view kFaultlineBundleIdentifier = "com.kestrel.faultline.mac";
inline constexpr std::string_view kFaultlineKitDisplayVersion = "3.14.0";
inline constexpr std::string_view kFaultlineKitBuildVersion = "144";

inline constexpr std::string_view kFaultlineUserIdentifierKey = "com.faultline.user-id";
inline constexpr std::string_view kFaultlineUserNameKey = "com.faultline.user-name";
inline constexpr std::string_view kFaultlineUserEmailKey = "com.faultline.user-email";
inline constexpr std::string_view kFaultlineDevelopmentPlatformNameKey =
    "com.faultline.development-platform-name";
inline constexpr std::string_view kFaultlineDevelopmentPlatformVersionKey =
    "com.faultline.development-platform-version";
inline constexpr std::string_view kFaultlineHistoricInstallIDKey = "com.faultline.iuuid";
inline constexpr std::string_view kFaultlineHistoricDefaultsDirectory = "com.faultline";
inline constexpr std::string_view kFaultlineHistoricDefaultsFile = "FLTUserDefaults.plist";

// The kit's test exception (`throwException`). No uncaught-exception
// reporting of another runtime exists here, so it is a C++ exception: the
// terminate capture records it under this type's name with this reason.
class FaultlineTestException : public std::exception {
 public:
  static constexpr std::string_view kName = "FaultlineTestException";
  static constexpr std::string_view kReason = "This is an Objective-C exception using for testing.";
  const char* what() const noexcept override { return kReason.data(); }
  std::string_view name() const { return kName; }
};

// The application's delegate. Every method is optional: a `respondsTo…`
// answering false means "not implemented" (the answer in brackets then
// applies).
class FaultlineDelegate {
 public:
  virtual ~FaultlineDelegate() = default;
  // Names the delegate in the deprecation warning.
  virtual std::string description() const { return "FaultlineDelegate"; }

  virtual bool respondsToDidDetectReportForLastExecution() const { return false; }
  virtual void faultlineDidDetectReportForLastExecution(const std::shared_ptr<FLTReport>&) {}

  virtual bool respondsToDidDetectReportForLastExecutionWithCompletion() const { return false; }
  virtual void faultlineDidDetectReportForLastExecution(const std::shared_ptr<FLTReport>&,
                                                        std::function<void(bool submit)> completion) {
    completion(true);
  }

  // Legacy.
  virtual bool respondsToDidDetectCrashDuringPreviousExecutionWithReport() const { return false; }
  virtual void faultlineDidDetectCrashDuringPreviousExecution(Faultline&, const std::shared_ptr<FLTReport>&) {}
  virtual bool respondsToDidDetectCrashDuringPreviousExecution() const { return false; }
  virtual void faultlineDidDetectCrashDuringPreviousExecution(Faultline&) {}

  // None: not implemented.
  virtual std::optional<bool> faultlineCanUseBackgroundSessions(Faultline&) { return std::nullopt; }
  // At crash time: keep it async-signal-safe.
  virtual bool respondsToDidDetectCrash() const { return false; }
  virtual void faultlineDidDetectCrash(Faultline&) {}
  // None: not implemented (no).
  virtual std::optional<bool> faultlineEnsureDeliveryOfUnixSignal(Faultline&, int /*signal*/) {
    return std::nullopt;
  }
};

// The controller made by start; the seam lets tests observe the hand-over.
class FaultlineCrashReporting {
 public:
  virtual ~FaultlineCrashReporting() = default;
  virtual bool startWithProfilingMark(std::uint64_t mark, const std::optional<std::string>& betaToken) = 0;
};

// What the kit reads from the process; tests inject their own.
struct FaultlineEnvironment {
  // The registry; empty: Trellis::sharedSDK().
  std::function<Trellis&()> trellis;
  // Trellis::isFaultlineCollectionEnabled when empty.
  std::function<bool()> isFaultlineCollectionEnabled;
  // Console lines; empty: stderr.
  std::function<void(std::string_view line)> log;
  // Where reports reach the delegate; nullptr: the main queue.
  platform::Queue* mainQueue = nullptr;
  // FLTBetaController::isBetaSupported when empty.
  std::function<bool()> isBetaSupported;
  FLTBetaControllerEnvironment betaEnvironment;
  // The report store; empty: FLTFileManager() over the main bundle.
  std::function<FLTFileManager()> makeFileManager;
  // The crash-reporting controller; empty: FLTCrashReportingController
  // with the file manager, the kit as its delegate and the environment below.
  std::function<std::unique_ptr<FaultlineCrashReporting>(Faultline& kit, const FLTFileManager& fileManager)>
      makeCrashReportingController;
  FLTCrashReportingControllerEnvironment crashReportingEnvironment;
  // The kit class handed to the registry by startWithAPIKey; empty:
  // Faultline::kitClass().
  std::function<TRLKitClassPtr()> kitClass;
  // The Application Support directory; empty: the platform's.
  std::function<std::filesystem::path()> applicationSupportDirectory;
  // Whether this process is an application extension; empty: the bundle's.
  std::function<bool()> isExtension;
  // The analytics kit; empty: FLTRegisteredTallyHooks().
  std::function<FLTTallyHooks()> tallyHooks;
};

class Faultline {
 public:
  // Kit identity.
  static std::string_view bundleIdentifierForClass() { return kFaultlineBundleIdentifier; }
  static std::string_view kitDisplayVersion() { return kFaultlineKitDisplayVersion; }
  static std::string_view kitBuildVersion() { return kFaultlineKitBuildVersion; }
  std::string version() const { return std::string(kFaultlineKitDisplayVersion); }
  std::string bundleIdentifier() const { return std::string(kFaultlineBundleIdentifier); }
  // Nothing is kept.
  std::optional<platform::Value::Dictionary> kitInfo() const { return std::nullopt; }
  std::optional<platform::Value::Dictionary> settingsDictionary() const { return std::nullopt; }
  void setKitInfo(const platform::Value::Dictionary&) {}

  // The process's kit, made once (never destroyed).
  static Faultline& sharedInstance();
  // The kit class "Faultline" as the registry sees it.
  static const TRLKitClassPtr& kitClass();

  static void initializeIfNeeded();
  static void disableUninitializedKitMessaging();

  static Faultline& startWithAPIKey(const std::string& apiKey);
  static Faultline& startWithAPIKey(const std::string& apiKey, std::shared_ptr<FaultlineDelegate> delegate);
  // The delay is ignored (deprecated).
  static Faultline& startWithAPIKey(const std::string& apiKey, double afterDelay);
  static Faultline& startWithAPIKey(const std::string& apiKey, std::shared_ptr<FaultlineDelegate> delegate,
                                    double afterDelay);
  // What the class methods do on the process's instance.
  void startWithAPIKeyOnInstance(const std::string& apiKey, std::shared_ptr<FaultlineDelegate> delegate);

  explicit Faultline(FaultlineEnvironment environment = {});
  ~Faultline();
  Faultline(const Faultline&) = delete;
  Faultline& operator=(const Faultline&) = delete;

  void start();
  bool isFaultlineStarted() const;

  // Identity and settings, read from the registry.
  std::optional<std::string> APIKey();
  std::optional<std::string> installID();
  bool isFirstInstall();
  bool debugMode();
  // Turns the registry's debug flag on, whatever the argument.
  void setDebugMode(bool debugMode);
  std::shared_ptr<FaultlineDelegate> delegate() const;
  void setDelegate(std::shared_ptr<FaultlineDelegate> delegate);

  // "com.faultline.iuuid" of the historic defaults file, when there is one.
  std::optional<std::string> getHistoricInstallID();
  std::optional<platform::Value::Dictionary> attemptToLoadMacHistoricDefaults();

  // Recording (dropped until crash capture is up).
  void setUserIdentifier(const std::optional<std::string>& identifier);
  void setUserName(const std::optional<std::string>& name);
  void setUserEmail(const std::optional<std::string>& email);
  void setDevelopmentPlatformName(const std::optional<std::string>& name);
  void setDevelopmentPlatformVersion(const std::optional<std::string>& version);
  // Write-only: a console line and none.
  std::optional<std::string> developmentPlatformName();
  std::optional<std::string> developmentPlatformVersion();
  // A none value removes the key.
  void setObjectValue(const std::optional<platform::Value>& value, const std::string& key);
  void setIntValue(int value, const std::string& key);
  void setBoolValue(bool value, const std::string& key);
  void setFloatValue(float value, const std::string& key);
  void recordError(const FLTUserLoggingError& error);
  void recordError(const FLTUserLoggingError& error, const std::optional<FLTUserLoggingInfo>& additionalUserInfo);
  void recordCustomExceptionName(const std::string& name, const std::string& reason,
                                 const std::vector<FLTExceptionFrame>& frameArray);
  void logEvent(const std::string& name);
  void logEvent(const std::string& name, const std::optional<platform::Value::Dictionary>& attributes);
  // The process dies of an illegal instruction.
  [[noreturn]] void crash();
  // Throws FaultlineTestException.
  [[noreturn]] void throwException();

  // Questions of the crash-reporting and beta controllers.
  FLTSettings settingsForControllers();
  bool shouldInstallCrashCallback() const;
  void detectedCrash();
  bool ensureDeliveryOfUnixSignal(int signal);
  bool canUseBackgroundSessions();
  bool mustInformDelegateOfReports() const;
  void internalDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report);
  void didDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report,
                                       std::function<void(bool submit)> completionHandler);

  FaultlineCrashReporting* crashReportingController() const;
  const std::shared_ptr<FLTBetaController>& betaController() const { return betaController_; }
  // The kit's side of the beta controller's delegate.
  std::shared_ptr<FLTBetaControllerDelegate> betaDelegate() const { return betaDelegate_; }

 private:
  struct BetaDelegate;
  void log(std::string_view line) const;
  Trellis& trellis() const;
  platform::Queue& mainQueue() const;
  FLTTallyHooks tallyHooks() const;
  bool isExtension() const;
  void runStartBlock();
  void warnDelegateAboutMethods();

  const FaultlineEnvironment env_;
  const std::shared_ptr<FLTBetaControllerDelegate> betaDelegate_;
  std::once_flag startOnce_;
  std::atomic<bool> started_{false};
  // Set once inside the start block; read after `started_`.
  std::shared_ptr<FLTBetaController> betaController_;
  std::unique_ptr<FaultlineCrashReporting> crashReportingController_;
  // What the crash-time callback reads without a lock; every delegate ever
  // set stays alive in `delegates_` so the pointer never dangles.
  std::atomic<FaultlineDelegate*> crashTimeDelegate_{nullptr};

  mutable platform::Mutex mutex_;
  std::shared_ptr<FaultlineDelegate> delegate_ VANDREL_GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<FaultlineDelegate>> delegates_ VANDREL_GUARDED_BY(mutex_);
};

// Registers the kit class "Faultline" with the registry's class table.
// Idempotent; call at program start, before the registry may start kits.
void loadFaultlineKit();

}  // namespace vandrel::crash
