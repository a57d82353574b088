#pragma once

// The kit registry: the root object of the crash-reporting and analytics
// kits. It owns the installation identity, reads the kit configuration from
// the main bundle's Info "Trellis" dictionary, starts each registered kit
// once and then hands over to settings download and onboarding.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notification_center.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::platform {
class Defaults;
}

namespace vandrel::crash {

class FLTDataCollectionArbiter;
class TRLApplicationIdentifierModel;
class TRLFLTUserDefaults;

inline constexpr std::string_view kTrellisClassName = "Trellis";
inline constexpr std::string_view kTRLExceptionName = "TRLException";
inline constexpr std::string_view kBCNAppReadyToConfigureSDKNotification =
    "BCNAppReadyToConfigureSDKNotification";
inline constexpr std::string_view kBCNGryphonAppIDKey = "BCNGryphonAppIDKey";
inline constexpr std::string_view kTRLDebugEnabledArgument = "-BCNDebugEnabled";

inline constexpr std::string_view kTrellisInfoKey = "Trellis";
inline constexpr std::string_view kTrellisAPIKeyKey = "APIKey";
inline constexpr std::string_view kTrellisKitsKey = "Kits";
inline constexpr std::string_view kTrellisKitNameKey = "KitName";
inline constexpr std::string_view kTrellisKitInfoKey = "KitInfo";
inline constexpr std::string_view kTrellisAutoInitializeKey = "AutoInitialize";

inline constexpr std::string_view kTrellisSDKBundleIdentifier = "io.trellis.sdk.mac";
inline constexpr std::string_view kTrellisSDKVersion = "1.10.2";

// Class names the registry looks for in the process.
inline constexpr std::string_view kFaultlineClassName = "Faultline";
inline constexpr std::string_view kTallyClassName = "Tally";
inline constexpr std::string_view kDigitsClassName = "Digits";
inline constexpr std::string_view kAppseeClassName = "Appsee";
inline constexpr std::string_view kGADMobileAdsClassName = "GADMobileAds";
inline constexpr std::string_view kAdKitKitClassName = "AdKitKit";

// A configuration error that leaves the kits unusable (missing Info, a
// "Trellis" value of the wrong type, an API key that is not a string, a class
// that is not a kit). `what()` is the reason.
class TRLException : public std::runtime_error {
 public:
  explicit TRLException(const std::string& reason) : std::runtime_error(reason) {}
  std::string_view name() const { return kTRLExceptionName; }
  std::string_view reason() const { return what(); }
};

// An instance of a legacy kit (one that predates the kit protocol).
class TRLLegacyKitInstance {
 public:
  virtual ~TRLLegacyKitInstance() = default;
  // Whether the instance answers all of start, bundleIdentifier and version.
  virtual bool answersLegacyKitMethods() const = 0;
  virtual void start() = 0;
  virtual std::string bundleIdentifier() const = 0;
  virtual std::string version() const = 0;
};

// A class known to the process by name: a kit adopting the kit protocol, a
// legacy kit (answers sharedInstance), or any other class the registry asks
// about (e.g. "GADMobileAds"). Compared by identity (the object's address).
// Kits register themselves with Trellis::registerClass when they are linked
// into the process.
class TRLKitClass {
 public:
  virtual ~TRLKitClass() = default;
  virtual std::string className() const = 0;

  // Kit protocol: required.
  virtual bool conformsToTRLKit() const { return true; }
  virtual std::string bundleIdentifier() const { return {}; }
  virtual std::string kitDisplayVersion() const { return {}; }
  // Kit protocol: optional.
  virtual std::optional<std::string> kitBuildVersion() const { return std::nullopt; }
  virtual bool respondsToInitializeIfNeeded() const { return false; }
  virtual void initializeIfNeeded() {}
  virtual bool respondsToDisableUninitializedKitMessaging() const { return false; }
  virtual void disableUninitializedKitMessaging() {}

  // Legacy kits: the shared instance; nullptr when the class has none.
  virtual TRLLegacyKitInstance* sharedInstance() { return nullptr; }
};
using TRLKitClassPtr = std::shared_ptr<TRLKitClass>;
using TRLKitList = std::vector<TRLKitClassPtr>;

// Stands for the ads framework in the kit list; never started.
class AdKitKit final : public TRLKitClass {
 public:
  // The one instance.
  static const TRLKitClassPtr& shared();
  std::string className() const override { return std::string(kAdKitKitClassName); }
  std::string bundleIdentifier() const override { return "com.gryphon.adkit.ios"; }
  std::string kitDisplayVersion() const override { return "0.0.0"; }
};

// Settings download and onboarding, which the registry starts after the
// kits. Provided by that component; absent until it is linked in.
class TRLSettingsOnboardingManaging {
 public:
  virtual ~TRLSettingsOnboardingManaging() = default;
  virtual void beginSettingsAndOnboardingOperations(
      const std::string& apiKey, const std::map<std::string, std::string>& kitVersionsByKitBundleIdentifier) = 0;
  // The parsed downloaded settings.
  virtual platform::Value::Dictionary settingsDictionary() const = 0;
};
using TRLSettingsOnboardingManagerFactory =
    std::function<std::unique_ptr<TRLSettingsOnboardingManaging>(const TRLApplicationIdentifierModel*)>;

// Everything the registry reads from the process, so tests can build fresh
// registries over temp dirs and fake kits.
struct TrellisEnvironment {
  TRLFLTUserDefaults* defaults = nullptr;          // installation id store (required)
  platform::Defaults* migrationSource = nullptr;   // nullptr: the platform's standard defaults
  // The main bundle's info dictionary; absent when the bundle has none.
  std::optional<platform::Value::Dictionary> info;
  FLTDataCollectionArbiter* arbiter = nullptr;     // required
  // The class of that name in the process; nullptr when absent.
  std::function<TRLKitClassPtr(std::string_view)> lookUpClass;
  std::vector<std::string> arguments;              // process arguments
  std::function<void(std::string_view)> log;       // one console line
  // nullptr when the executable cannot be read.
  std::function<std::unique_ptr<TRLApplicationIdentifierModel>(const std::string& installID)>
      makeApplicationIdentifierModel;
  // Empty or answering nullptr: no settings download / onboarding.
  TRLSettingsOnboardingManagerFactory makeSettingsOnboardingManager;

  // The process: standard kit defaults, main bundle, shared arbiter, the
  // class table, /proc/self/cmdline, stderr, the registered manager factory.
  static TrellisEnvironment live();
};

enum class TRLInstallationMode : std::int64_t {
  Undecided = 0,
  ConfiguredFromInfo = 1,  // the "Trellis" dictionary
  Beacon = 2,              // the ready notification without that dictionary
};

// Thread-safe: kits read the fields from any thread after start; the lazy
// values and strings are guarded by one mutex (data only); `with` runs the
// start on the caller's thread.
class Trellis {
 public:
  // The process's registry, made on first use with TrellisEnvironment::live().
  static Trellis& sharedSDK();
  // The process's registry debug flag (the debug argument on the command
  // line), answered without making the registry: what the registry makes
  // while it is being made must not ask sharedSDK().
  static bool processDebugEnabled();

  // Registers (or, with nullptr, withdraws) a class under its name in the
  // process's class table; `lookUpClass` finds it.
  static void registerClass(std::string_view name, TRLKitClassPtr cls);
  static TRLKitClassPtr lookUpClass(std::string_view name);
  // Where the process's registry gets settings download and onboarding.
  // Must be set before sharedSDK is first used.
  static void setSettingsOnboardingManagerFactory(TRLSettingsOnboardingManagerFactory factory);

  // Observes `center` for the ready notification once: the first delivery
  // removes the observer and runs `sdk()`.autoInitialize with its user info.
  static platform::ObserverToken load(platform::NotificationCenter& center,
                                      std::function<Trellis&()> sdk);

  // Forwarded to the arbiter.
  static bool setFaultlineCollectionEnabled(bool enabled);
  static bool isFaultlineCollectionEnabled();

  explicit Trellis(TrellisEnvironment environment);
  ~Trellis();
  Trellis(const Trellis&) = delete;
  Trellis& operator=(const Trellis&) = delete;

  // Starts the kits once; later calls log and do nothing. Throws TRLException
  // for a class that is not a kit or a configuration that is unusable.
  Trellis& with(const TRLKitList& kits);
  // The ready-notification path.
  void autoInitialize(const platform::Value::Dictionary& userInfo);

  // Steps of `with`, in order.
  TRLKitList validateTRLKitConformance(const TRLKitList& kits) const;
  TRLKitList kitClassesByAddingDigitsIfFound(const TRLKitList& kits) const;
  TRLKitList kitClassesByAddingTallyIfFound(const TRLKitList& kits) const;
  TRLKitList kitClassesByEnsuringAppseeIsFirst(const TRLKitList& kits) const;
  TRLKitList kitClassesByAddingAdKitIfFound(const TRLKitList& kits) const;
  void initializeKit(TRLKitClass& kit) const;
  void disableUninitializedKitMessagingForKit(TRLKitClass& kit) const;

  // From the "Kits" entries of the configuration: the "KitInfo" of the first
  // entry whose "KitName" is the kit's class name (empty when it has none);
  // absent when no entry names it.
  std::optional<platform::Value::Dictionary> configurationDictionaryForKitClass(const TRLKitClass& kit);

  bool debug() const { return debug_.load(); }
  // The kits' debug switch turns it on for every component that asks.
  void setDebug(bool debug) { debug_.store(debug); }
  bool isFirstInstall() const { return isFirstInstall_; }
  const std::string& installID() const { return installID_; }
  const std::string& executionIdentifier() const { return executionIdentifier_; }
  // Nullptr when the executable could not be read.
  const TRLApplicationIdentifierModel* applicationIdentifierModel() const {
    return applicationIdentifierModel_.get();
  }
  TRLSettingsOnboardingManaging* settingsAndOnboardingManager() const {
    return settingsAndOnboardingManager_.get();
  }
  // Absent without a model.
  std::optional<std::string> instanceIdentifier() const;
  // The downloaded settings; empty without settings download.
  platform::Value::Dictionary settings() const;

  // The API key: in beacon mode the first 40 hex digits of SHA-256 of the
  // app id; else the configuration's "APIKey". Cached once found; absent
  // (after a log line) when there is none.
  std::optional<std::string> APIKey();
  void setAPIKey(std::string apiKey);
  std::optional<std::string> advertisingToken() const;
  void setAdvertisingToken(std::string token);
  std::optional<std::string> beaconGryphonAppId() const;
  TRLKitList kitClasses() const;

  TRLInstallationMode installationMode() const { return installationMode_.load(); }
  void setInstallationMode(TRLInstallationMode mode) { installationMode_.store(mode); }
  bool beaconMode() const { return installationMode() == TRLInstallationMode::Beacon; }

  // The validated "Trellis" dictionary, computed once (empty in beacon
  // mode). Throws TRLException as validTrellisConfigFromInfoPlist does.
  platform::Value::Dictionary trellisConfig();
  platform::Value::Dictionary validTrellisConfigFromInfoPlist(
      const std::optional<platform::Value::Dictionary>& info);

  bool setBeaconGryphonAppIdFromUserInfo(const platform::Value& userInfo);
  // True without a "Trellis" value; else its "AutoInitialize".
  bool shouldAutoInitialize(const platform::Value* trellisValue) const;
  std::map<std::string, std::string> kitVersionsByKitBundleIdentifier() const;
  void onboardAppAndDownloadSettings();

 private:
  std::optional<std::string> readInstallationUUID();
  std::string generateInstallationUUID();
  void log(std::string_view line) const;
  void debugLog(std::string_view line) const;

  const TrellisEnvironment env_;
  std::atomic<bool> debug_{false};
  bool isFirstInstall_ = false;
  std::string installID_;
  std::string executionIdentifier_;
  std::unique_ptr<TRLApplicationIdentifierModel> applicationIdentifierModel_;
  std::unique_ptr<TRLSettingsOnboardingManaging> settingsAndOnboardingManager_;
  std::atomic<TRLInstallationMode> installationMode_{TRLInstallationMode::Undecided};
  std::atomic<bool> withCalled_{false};

  mutable platform::Mutex mutex_;
  std::optional<std::string> apiKey_ VANDREL_GUARDED_BY(mutex_);
  std::optional<std::string> advertisingToken_ VANDREL_GUARDED_BY(mutex_);
  std::optional<std::string> beaconGryphonAppId_ VANDREL_GUARDED_BY(mutex_);
  std::optional<platform::Value::Dictionary> trellisConfig_ VANDREL_GUARDED_BY(mutex_);
  TRLKitList kitClasses_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::crash
