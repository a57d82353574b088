#pragma once

// The app-configuration core: the application configures one default app
// (and optionally named apps) from options, normally those of the bundle's
// "GryphonService-Info" resource. Configuring an app validates its Gryphon
// app id and bundle identifier, sends the core diagnostics and posts
// "BCNAppReadyToConfigureSDKNotification" on the process's notification
// center, the notification on which the kit registry starts the kits. The
// class also keeps the process-wide library registry behind the SDK user
// agent and the per-app data-collection switch.
//
// Threads: any. One class-level mutex guards the default app, the app
// dictionary, the library registry, the configure-with-app list and the
// user-agent token. It guards data only: validation, logging, component
// creation and the notifications run outside it, so an observer of the ready
// notification (the kit registry starts the kits right there) may ask this
// class for its apps without deadlocking. Configuring the same name from two
// threads still lets only one of them through.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/core/bcn_component_container.h"
#include "analytics/core/bcn_options.h"
#include "platform/notification_center.h"
#include "platform/result.h"
#include "platform/value.h"

namespace vandrel::analytics {

inline constexpr std::string_view kBCNDefaultAppName = "__BCNAPP_DEFAULT";
inline constexpr std::string_view kBCNAppClassName = "BCNApp";
inline constexpr std::string_view kBCNAppReadyToConfigureSDKNotification =
    "BCNAppReadyToConfigureSDKNotification";
inline constexpr std::string_view kBCNAppDeleteNotification = "BCNAppDeleteNotification";
inline constexpr std::string_view kBCNAppNameKey = "BCNAppNameKey";
inline constexpr std::string_view kBCNAppIsDefaultAppKey = "BCNAppIsDefaultAppKey";
inline constexpr std::string_view kBCNGryphonAppIDKeyName = "BCNGryphonAppIDKey";
// Per-app user-defaults key: this prefix + the app's name.
inline constexpr std::string_view kBCNGlobalAppDataCollectionEnabledDefaultsKeyPrefix =
    "/gryphon/beacon/global_data_collection_enabled:";
inline constexpr std::string_view kBCNGlobalAppDataCollectionEnabledPlistKey =
    "BeaconDataCollectionDefaultEnabled";
inline constexpr std::string_view kBCNApplePlatform = "macos";
// The application's did-become-active notification (posted by the app).
inline constexpr std::string_view kBCNApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";

// Error codes offered to SDKs (domain "com.beacon.core").
inline constexpr std::int64_t kBCNErrorCodeInvalidPlistFile = -100;
inline constexpr std::int64_t kBCNErrorCodeInvalidAppID = -101;

// An error with the fields an SDK shows.
struct BCNError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  std::optional<std::string> recoverySuggestion;
  std::optional<std::string> failureReason;

  platform::Error toError() const { return {domain, code, localizedDescription}; }
  bool operator==(const BCNError&) const = default;
};

class BCNApp : public std::enable_shared_from_this<BCNApp> {
 public:
  using Ptr = std::shared_ptr<BCNApp>;
  using AppDictionary = std::map<std::string, Ptr>;

  // ---- Class side. Configuration errors throw BCNException named
  // "com.beacon.core" (reason as the message).

  // With BCNOptions::defaultOptions(); throws when there are none.
  static void configure();
  // Under "__BCNAPP_DEFAULT"; throws for null options.
  static void configureWithOptions(const std::shared_ptr<BCNOptions>& options);
  // Throws for an absent/empty/invalid name, null options, a name already
  // configured, or options whose Gryphon app id is invalid.
  static void configureWithName(const std::optional<std::string>& name,
                                const std::shared_ptr<BCNOptions>& options);

  // Null (with an error log) when none.
  static Ptr defaultApp();
  static Ptr appNamed(std::string_view name);
  // A copy; absent (with an error log) before the first app was added.
  static std::optional<AppDictionary> allApps();
  // Drops the default app, the apps and the library registry; the built-in
  // user-agent libraries are registered again on next use.
  static void resetApps();
  static bool isDefaultAppConfigured();

  // Name and version: alphanumerics, "-", "_" and "." only; else an error
  // log and nothing stored. A later registration replaces the version.
  static void registerLibrary(std::string_view name, std::string_view version);
  // Registers the library's components for every app made afterwards,
  // calls its configureWithApp for each app configured afterwards, then
  // registerLibrary. Throws std::invalid_argument for a null library.
  static void registerInternalLibrary(const BCNLibraryRegistrant& library, std::string_view name,
                                      std::string_view version);
  // "name/version" entries, sorted case-insensitively, joined by " ".
  static std::string beaconUserAgent();

  // Posts the ready notification for `app` (object: classObject()), then
  // calls configureWithApp on the registered libraries in order.
  static void sendNotificationsToSDKs(const Ptr& app);
  // The sender of the core's notifications; compare by address.
  static const void* classObject();

  static BCNError errorForMissingOptions();
  static BCNError errorForInvalidAppID();
  static BCNError errorForSubspecConfigurationFailureWithDomain(std::string domain,
                                                                std::int64_t code,
                                                                std::string_view service,
                                                                std::string reason);

  // Whether `c` may appear in an app name: ASCII letters and digits, "-"
  // and "_" (names end up in user-defaults keys).
  static bool applicationNameAllowedCharacters(char c);
  // Builds here carry no Swift runtime.
  static bool hasSwiftRuntime() { return false; }
  static std::string applePlatform() { return std::string(kBCNApplePlatform); }
  static std::string actualBundleID();

  static bool validateAppID(std::string_view appID);
  static bool validateAppIDFormat(std::string_view appID, std::string_view version);
  static bool validateAppIDFingerprint(std::string_view appID, std::string_view version);

  // The per-app user default when it is a bool or number; else absent.
  static std::optional<bool> readDataCollectionSwitchFromUserDefaultsForApp(const BCNApp& app);
  // The main bundle's "BeaconDataCollectionDefaultEnabled" when a bool or
  // number, read once until resetDataCollectionSwitchFromPlist.
  static std::optional<bool> readDataCollectionSwitchFromPlist();
  static std::optional<bool> readDataCollectionSwitchFromInfo(const platform::Value::Dictionary& info);
  // For a process whose main bundle changed (tests).
  static void resetDataCollectionSwitchFromPlist();

  // Makes the core known to the process: the crash kit's data-collection
  // arbiter finds it under "BCNApp" and the core's utilities read the
  // app facts from it. Idempotent; configuring an app does it too.
  static void load();

  // ---- Instance side.

  BCNApp(std::string name, const BCNOptions& options);
  ~BCNApp();
  BCNApp(const BCNApp&) = delete;
  BCNApp& operator=(const BCNApp&) = delete;

  // Removes the app (its components, cached instances and data-collection
  // key), posts "BCNAppDeleteNotification" and answers true; false (with
  // an error log) when the app is not configured.
  void deleteApp(const std::function<void(bool)>& completion);

  // A copy of the app's options (locked against editing).
  std::shared_ptr<BCNOptions> options() const { return options_->copy(); }
  const std::string& name() const { return name_; }
  bool isDefaultApp() const { return isDefaultApp_; }
  // Null until the app is made through the class side (or attachContainer).
  BCNComponentContainer* container() const { return container_.get(); }

  void setDataCollectionDefaultEnabled(bool enabled);
  bool isDataCollectionDefaultEnabled() const;

  // Steps of configuration, each usable alone.
  bool configureCore();
  void checkExpectedBundleID() const;
  bool isAppIDValid() const;
  std::optional<std::string> expectedBundleID() const { return options_->bundleID(); }
  void clearDataCollectionSwitchFromUserDefaults();
  void subscribeForAppDidBecomeActiveNotifications();
  void appDidBecomeActive(const platform::Notification& notification);
  void logCoreTelemetryIfEnabled() const;
  // Kept for SDKs that call it; sends nothing.
  void sendLogsWithServiceName(std::string_view, std::string_view, const BCNError*) const {}

  // Makes the container with the process's registrants (the app must be
  // owned by a shared_ptr).
  void attachContainer();

 private:
  std::string dataCollectionDefaultsKey() const;

  const bool isDefaultApp_;
  const std::shared_ptr<const BCNOptions> options_;
  const std::string name_;
  std::unique_ptr<BCNComponentContainer> container_;
  std::atomic<std::uint64_t> becomeActiveObserver_{0};
};

}  // namespace vandrel::analytics
