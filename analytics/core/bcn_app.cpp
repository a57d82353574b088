#include "analytics/core/bcn_app.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "analytics/core/bcn_app_facts.h"
#include "analytics/core/bcn_core_utilities.h"
#include "analytics/core/bcn_diagnostics_connector.h"
#include "analytics/core/bcn_gru_app_environment.h"
#include "analytics/core/bcn_logger.h"
#include "crash/kit/flt_data_collection_arbiter.h"
#include "platform/bundle.h"
#include "platform/defaults.h"
#include "platform/sync.h"

namespace vandrel::analytics {
namespace {

using platform::MutexLock;
using platform::Value;

constexpr std::string_view kConsoleURL = "https://console.beacon.invalid/";
constexpr std::string_view kReadMeURL = "https://docs.beacon.invalid/desktop-sdks/README.md";
constexpr std::string_view kConfigureDocsURL = "https://docs.beacon.invalid/desktop-sdks/configure";

constexpr std::string_view kLogConfigureDefault = "I-COR000001";
constexpr std::string_view kLogConfigureNamed = "I-COR000002";
constexpr std::string_view kLogNoDefaultApp = "I-COR000003";
constexpr std::string_view kLogNoAppNamed = "I-COR000004";
constexpr std::string_view kLogNoAppsYet = "I-COR000005";
constexpr std::string_view kLogDeletingApp = "I-COR000006";
constexpr std::string_view kLogDeleteMissingApp = "I-COR000007";
constexpr std::string_view kLogBundleIDMismatch = "I-COR000008";
constexpr std::string_view kLogInvalidAppID = "I-COR000009";
constexpr std::string_view kLogUnknownAppIDVersion = "I-COR000010";
constexpr std::string_view kLogInvalidLibrary = "I-COR000027";
constexpr std::string_view kLogCommunitySupported = "I-COR000028";
constexpr std::string_view kLogSecondConfigureInExtension = "I-COR000035";

// The class-level state: one per process, leaked so that nothing is torn
// down while other threads still ask.
struct ClassState {
  platform::Mutex mutex;
  BCNApp::Ptr defaultApp VANDREL_GUARDED_BY(mutex);
  std::optional<BCNApp::AppDictionary> apps VANDREL_GUARDED_BY(mutex);
  // Names between their check and their entry in `apps`, so two threads
  // cannot configure one name twice.
  std::set<std::string> configuring VANDREL_GUARDED_BY(mutex);
  std::optional<std::map<std::string, std::string>> libraries VANDREL_GUARDED_BY(mutex);
  std::vector<BCNLibraryRegistrant> configureWithAppLibraries VANDREL_GUARDED_BY(mutex);
  bool userAgentLibrariesRegistered VANDREL_GUARDED_BY(mutex) = false;
};

ClassState& state() {
  static ClassState* s = new ClassState();
  return *s;
}

struct PlistSwitch {
  platform::Mutex mutex;
  std::optional<std::optional<bool>> value VANDREL_GUARDED_BY(mutex);
};

PlistSwitch& plistSwitch() {
  static PlistSwitch* s = new PlistSwitch();
  return *s;
}

// What stands for the class object as a notification's sender.
const char kClassObjectTag = 0;

[[noreturn]] void raise(const std::string& reason) {
  throw BCNException(std::string(kBCNErrorDomain), reason);
}

std::string format(const char* fmt, const std::string& a) {
  const int size = std::snprintf(nullptr, 0, fmt, a.c_str());
  std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
  std::snprintf(out.data(), out.size() + 1, fmt, a.c_str());
  return out;
}

// A bool or a number (not zero = true), as a property list would hold it.
std::optional<bool> boolOrNumber(const Value& value) {
  switch (value.type()) {
    case Value::Type::Bool:
      return value.asBool();
    case Value::Type::Int:
      return *value.asInt() != 0;
    case Value::Type::Double:
      return *value.asDouble() != 0;
    default:
      return std::nullopt;
  }
}

BCNApp::Ptr defaultAppQuietly() {
  ClassState& s = state();
  MutexLock lock(s.mutex);
  return s.defaultApp;
}

bool isLibraryCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
}

bool isValidLibraryText(std::string_view text) {
  return std::all_of(text.begin(), text.end(), isLibraryCharacter);
}

bool isDecimal(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// A hexadecimal number at `pos` (optional "0x"), advancing past it.
bool scanHex(std::string_view text, std::size_t& pos) {
  std::size_t at = pos;
  if (text.size() - at > 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
      isHex(text[at + 2])) {
    at += 2;
  }
  const std::size_t start = at;
  while (at < text.size() && isHex(text[at])) ++at;
  if (at == start) return false;
  pos = at;
  return true;
}

// An optionally signed decimal integer at `pos`, advancing past it.
bool scanInteger(std::string_view text, std::size_t& pos) {
  std::size_t at = pos;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  const std::size_t start = at;
  while (at < text.size() && isDecimal(text[at])) ++at;
  if (at == start) return false;
  pos = at;
  return true;
}

bool scanLiteral(std::string_view text, std::size_t& pos, std::string_view literal) {
  if (text.substr(pos, literal.size()) != literal) return false;
  pos += literal.size();
  return true;
}

void appWasConfiguredTwice(const BCNApp::Ptr& app, bool isDefault, const std::string& name,
                           const BCNOptions& options) {
  if (!GRUAppEnvironmentUtil::isAppExtension()) {
    if (isDefault) raise("Default app has already been configured.");
    raise(format("App named %s has already been configured.", name));
  }
  if (app && app->options()->isEqualToOptions(options)) {
    BCNCoreLogDebug(kBCNLoggerCore, kLogSecondConfigureInExtension,
                    "Ignoring second `configure` call in an extension.");
    return;
  }
  raise(format("App named %s has already been configured.", name));
}

// The app already configured (or being configured) under `name`; null when
// the name is free.
bool nameTaken(ClassState& s, const std::string& name, bool isDefault, BCNApp::Ptr& existing)
    VANDREL_REQUIRES(s.mutex) {
  if (isDefault && s.defaultApp) {
    existing = s.defaultApp;
    return true;
  }
  if (s.apps) {
    if (auto it = s.apps->find(name); it != s.apps->end()) {
      existing = it->second;
      return true;
    }
  }
  return s.configuring.count(name) != 0;
}

// Validates the app and enters it into the dictionary; throws when the
// app's configuration fails.
void addAppToAppDictionary(const BCNApp::Ptr& app) {
  const bool configured = app->configureCore();
  ClassState& s = state();
  {
    MutexLock lock(s.mutex);
    s.configuring.erase(app->name());
    if (configured) {
      if (!s.apps) s.apps.emplace();
      (*s.apps)[app->name()] = app;
    }
  }
  if (!configured) {
    raise("Configuration fails. It may be caused by an invalid GRYPHON_APP_ID in "
          "GryphonService-Info.plist or set in the customized options.");
  }
}

}  // namespace

// ---- Configuration ------------------------------------------------------------

void BCNApp::configure() {
  const std::shared_ptr<BCNOptions> options = BCNOptions::defaultOptions();
  if (!options) {
    raise(format("`[BCNApp configure];` (`BeaconApp.configure()` in Swift) could not find a valid "
                 "GryphonService-Info.plist in your project. Please download one from %s.",
                 std::string(kConsoleURL)));
  }
  configureWithOptions(options);
  BCNCoreLogNotice(kBCNLoggerCore, kLogCommunitySupported,
                   "tvOS and macOS SDK support is not part of the official Beacon product. Instead "
                   "they are community supported. Details at %.*s.",
                   static_cast<int>(kReadMeURL.size()), kReadMeURL.data());
}

void BCNApp::configureWithOptions(const std::shared_ptr<BCNOptions>& options) {
  if (!options) raise("Options is nil. Please pass a valid options.");
  configureWithName(std::string(kBCNDefaultAppName), options);
}

void BCNApp::configureWithName(const std::optional<std::string>& name,
                               const std::shared_ptr<BCNOptions>& options) {
  if (!name || !options) raise("Neither name nor options can be nil.");
  if (name->empty()) raise("Name cannot be empty.");
  load();
  const bool isDefault = *name == kBCNDefaultAppName;
  if (!isDefault && !std::all_of(name->begin(), name->end(), applicationNameAllowedCharacters)) {
    raise("App name can only contain alphanumeric, hyphen (-), and underscore (_) characters");
  }
  ClassState& s = state();
  Ptr existing;
  bool taken = false;
  {
    MutexLock lock(s.mutex);
    taken = nameTaken(s, *name, isDefault, existing);
  }
  if (taken) {
    appWasConfiguredTwice(existing, isDefault, *name, *options);
    return;
  }
  if (isDefault) {
    BCNCoreLogDebug(kBCNLoggerCore, kLogConfigureDefault, "Configuring the default app.");
  } else {
    BCNCoreLogDebug(kBCNLoggerCore, kLogConfigureNamed, "Configuring app named %s", name->c_str());
  }

  auto app = std::make_shared<BCNApp>(*name, *options);
  app->attachContainer();
  // Checked again: another thread may have taken the name meanwhile.
  {
    MutexLock lock(s.mutex);
    taken = nameTaken(s, *name, isDefault, existing);
    if (!taken) {
      s.configuring.insert(*name);
      // The default app is in place before validation and stays so when it
      // fails: a second configure then reports the first.
      if (isDefault) s.defaultApp = app;
    }
  }
  if (taken) {
    appWasConfiguredTwice(existing, isDefault, *name, *options);
    return;
  }
  addAppToAppDictionary(app);
  app->container()->instantiateEagerComponents();
  sendNotificationsToSDKs(app);
}

void BCNApp::sendNotificationsToSDKs(const Ptr& app) {
  if (!app) return;
  Value::Dictionary userInfo{
      {std::string(kBCNAppNameKey), app->name()},
      {std::string(kBCNAppIsDefaultAppKey), app->isDefaultApp()},
  };
  // Options without an app id leave the key out rather than carry a hole.
  if (auto appID = app->options_->gryphonAppID()) {
    userInfo.emplace(std::string(kBCNGryphonAppIDKeyName), *appID);
  }
  platform::NotificationCenter::shared().post(std::string(kBCNAppReadyToConfigureSDKNotification),
                                              classObject(), std::move(userInfo));
  std::vector<BCNLibraryRegistrant> libraries;
  {
    ClassState& s = state();
    MutexLock lock(s.mutex);
    libraries = s.configureWithAppLibraries;
  }
  for (const BCNLibraryRegistrant& library : libraries) library->configureWithApp(app);
}

const void* BCNApp::classObject() { return &kClassObjectTag; }

void BCNApp::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    crash::FLTBCNApp::registerClass(crash::kFLTBCNAppClassName, [] {
      const Ptr app = defaultAppQuietly();
      if (!app) return crash::FLTBCNAppDefaultAnswer::NoDefaultApp;
      return app->isDataCollectionDefaultEnabled() ? crash::FLTBCNAppDefaultAnswer::Enabled
                                                   : crash::FLTBCNAppDefaultAnswer::Disabled;
    });
    BCNSetAppFactsProvider([] {
      BCNAppFacts facts;
      Ptr app;
      {
        ClassState& s = state();
        MutexLock lock(s.mutex);
        facts.allAppsCount = s.apps ? s.apps->size() : 0;
        app = s.defaultApp;
      }
      facts.isDefaultAppConfigured = app != nullptr;
      facts.defaultAppDataCollectionDefaultEnabled = app && app->isDataCollectionDefaultEnabled();
      facts.beaconUserAgent = beaconUserAgent();
      return facts;
    });
  });
}

// ---- Lookup ---------------------------------------------------------------------

BCNApp::Ptr BCNApp::defaultApp() {
  Ptr app = defaultAppQuietly();
  if (!app) {
    BCNCoreLogError(kBCNLoggerCore, kLogNoDefaultApp,
                    "The default Beacon app has not yet been configured. Add `[BCNApp configure];` "
                    "(`BeaconApp.configure()` in Swift) to your application initialization. Read "
                    "more: %.*s.",
                    static_cast<int>(kConfigureDocsURL.size()), kConfigureDocsURL.data());
  }
  return app;
}

BCNApp::Ptr BCNApp::appNamed(std::string_view name) {
  Ptr app;
  {
    ClassState& s = state();
    MutexLock lock(s.mutex);
    if (s.apps) {
      if (auto it = s.apps->find(std::string(name)); it != s.apps->end()) app = it->second;
    }
  }
  if (!app) {
    BCNCoreLogError(kBCNLoggerCore, kLogNoAppNamed, "App with name %.*s does not exist.",
                    static_cast<int>(name.size()), name.data());
  }
  return app;
}

std::optional<BCNApp::AppDictionary> BCNApp::allApps() {
  std::optional<AppDictionary> apps;
  {
    ClassState& s = state();
    MutexLock lock(s.mutex);
    apps = s.apps;
  }
  if (!apps) BCNCoreLogError(kBCNLoggerCore, kLogNoAppsYet, "No app has been configured yet.");
  return apps;
}

bool BCNApp::isDefaultAppConfigured() { return defaultAppQuietly() != nullptr; }

void BCNApp::resetApps() {
  Ptr defaultApp;
  std::optional<AppDictionary> apps;
  {
    ClassState& s = state();
    MutexLock lock(s.mutex);
    defaultApp = std::move(s.defaultApp);
    s.defaultApp.reset();
    apps = std::move(s.apps);
    s.apps.reset();
    s.libraries.reset();
    s.userAgentLibrariesRegistered = false;
  }
  // The apps go here, outside the lock: their teardown leaves the
  // notification center.
}

// ---- Library registry and user agent ------------------------------------------------

void BCNApp::registerLibrary(std::string_view name, std::string_view version) {
  if (name.empty() || version.empty() || !isValidLibraryText(name) || !isValidLibraryText(version)) {
    BCNCoreLogError(kBCNLoggerCore, kLogInvalidLibrary,
                    "The library name (%.*s) or version number (%.*s) contain invalid characters. "
                    "Only alphanumeric, dash, underscore and period characters are allowed.",
                    static_cast<int>(name.size()), name.data(), static_cast<int>(version.size()),
                    version.data());
    return;
  }
  ClassState& s = state();
  MutexLock lock(s.mutex);
  if (!s.libraries) s.libraries.emplace();
  (*s.libraries)[std::string(name)] = std::string(version);
}

void BCNApp::registerInternalLibrary(const BCNLibraryRegistrant& library, std::string_view name,
                                     std::string_view version) {
  if (!library) {
    throw std::invalid_argument(
        format("Class %s attempted to register components, but it does not conform to "
               "`BCNLibrary or provide a `componentsToRegister:` method.",
               std::string(name)));
  }
  BCNComponentContainer::registerAsComponentRegistrant(library);
  {
    ClassState& s = state();
    MutexLock lock(s.mutex);
    s.configureWithAppLibraries.push_back(library);
  }
  registerLibrary(name, version);
}

std::string BCNApp::beaconUserAgent() {
  std::vector<std::pair<std::string, std::string>> builtIn{{"beacon-ios", std::string(kBCNCoreVersion)}};
  const platform::Bundle& main = platform::Bundle::main();
  for (const auto& [key, library] : {std::pair{"DTXcodeBuild", "xcode"}, std::pair{"DTSDKBuild", "apple-sdk"}}) {
    if (auto value = main.infoString(key); value && isValidLibraryText(*value) && !value->empty()) {
      builtIn.emplace_back(library, *value);
    }
  }
  builtIn.emplace_back("swift", hasSwiftRuntime() ? "true" : "false");
  builtIn.emplace_back("apple-platform", applePlatform());

  std::map<std::string, std::string> libraries;
  {
    ClassState& s = state();
    MutexLock lock(s.mutex);
    if (!s.userAgentLibrariesRegistered) {
      if (!s.libraries) s.libraries.emplace();
      for (auto& [name, version] : builtIn) (*s.libraries)[name] = version;
      s.userAgentLibrariesRegistered = true;
    }
    libraries = *s.libraries;
  }
  std::vector<std::string> entries;
  for (const auto& [name, version] : libraries) entries.push_back(name + "/" + version);
  const auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  std::stable_sort(entries.begin(), entries.end(),
                   [&](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
  std::string agent;
  for (const std::string& entry : entries) {
    if (!agent.empty()) agent += ' ';
    agent += entry;
  }
  return agent;
}

// ---- Errors ---------------------------------------------------------------------

BCNError BCNApp::errorForMissingOptions() {
  return {std::string(kBCNErrorDomain), kBCNErrorCodeInvalidPlistFile,
          "Unable to parse GryphonService-Info.plist in order to configure services.",
          "Check formatting and location of GryphonService-Info.plist.", std::nullopt};
}

BCNError BCNApp::errorForInvalidAppID() {
  return {std::string(kBCNErrorDomain), kBCNErrorCodeInvalidAppID,
          "Unable to validate Gryphon App ID",
          "Check formatting and location of GryphonService-Info.plist or GryphonAppID set in the "
          "customized options.",
          std::nullopt};
}

BCNError BCNApp::errorForSubspecConfigurationFailureWithDomain(std::string domain, std::int64_t code,
                                                               std::string_view service,
                                                               std::string reason) {
  return {std::move(domain), code,
          format("Configuration failed for service %s.", std::string(service)), std::nullopt,
          std::move(reason)};
}

// ---- Validation -------------------------------------------------------------------

bool BCNApp::applicationNameAllowedCharacters(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_';
}

std::string BCNApp::actualBundleID() { return platform::Bundle::main().bundleIdentifier(); }

bool BCNApp::validateAppID(std::string_view appID) {
  if (appID.empty()) return false;
  std::size_t pos = 0;
  while (pos < appID.size() && isDecimal(appID[pos])) ++pos;
  if (pos == 0) return false;
  const std::string_view version = appID.substr(0, pos);
  if (pos >= appID.size() || appID[pos] != ':') return false;
  if (version == "1") {
    return validateAppIDFormat(appID, version) && validateAppIDFingerprint(appID, version);
  }
  BCNCoreLogInfo(kBCNLoggerCore, kLogUnknownAppIDVersion, "Unknown GRYPHON_APP_ID version: %.*s",
                 static_cast<int>(version.size()), version.data());
  return true;
}

bool BCNApp::validateAppIDFormat(std::string_view appID, std::string_view version) {
  if (appID.empty() || version.empty()) return false;
  std::size_t pos = 0;
  if (!scanLiteral(appID, pos, version) || !scanLiteral(appID, pos, ":")) return false;
  if (!scanInteger(appID, pos) || !scanLiteral(appID, pos, ":")) return false;
  const std::size_t colon = appID.find(':', pos);
  if (colon == std::string_view::npos || appID.substr(pos, colon - pos) != "ios") return false;
  pos = colon + 1;
  if (!scanHex(appID, pos)) return false;
  return pos == appID.size();
}

bool BCNApp::validateAppIDFingerprint(std::string_view appID, std::string_view version) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t colon = appID.find(':', start);
    parts.push_back(appID.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (parts.size() != 4 || parts[3].empty()) return false;
  std::size_t pos = 0;
  if (!scanHex(parts[3], pos)) return false;
  return version == "1";
}

// ---- Data-collection switch ---------------------------------------------------------

std::optional<bool> BCNApp::readDataCollectionSwitchFromUserDefaultsForApp(const BCNApp& app) {
  const std::optional<Value> value = platform::Defaults::standard().object(app.dataCollectionDefaultsKey());
  return value ? boolOrNumber(*value) : std::nullopt;
}

std::optional<bool> BCNApp::readDataCollectionSwitchFromInfo(const Value::Dictionary& info) {
  const auto it = info.find(std::string(kBCNGlobalAppDataCollectionEnabledPlistKey));
  return it == info.end() ? std::nullopt : boolOrNumber(it->second);
}

std::optional<bool> BCNApp::readDataCollectionSwitchFromPlist() {
  PlistSwitch& p = plistSwitch();
  {
    MutexLock lock(p.mutex);
    if (p.value) return *p.value;
  }
  const std::optional<bool> read = readDataCollectionSwitchFromInfo(platform::Bundle::main().infoDictionary());
  MutexLock lock(p.mutex);
  if (!p.value) p.value = read;
  return *p.value;
}

void BCNApp::resetDataCollectionSwitchFromPlist() {
  PlistSwitch& p = plistSwitch();
  MutexLock lock(p.mutex);
  p.value.reset();
}

// ---- Instance -----------------------------------------------------------------------

BCNApp::BCNApp(std::string name, const BCNOptions& options)
    : isDefaultApp_(name == kBCNDefaultAppName),
      options_([&] {
        auto copy = options.copy();
        copy->setEditingLocked(true);
        return copy;
      }()),
      name_(std::move(name)) {}

BCNApp::~BCNApp() {
  if (const std::uint64_t token = becomeActiveObserver_.exchange(0)) {
    platform::NotificationCenter::shared().removeObserver(platform::ObserverToken{token});
  }
}

void BCNApp::attachContainer() {
  if (container_) return;
  container_ = std::make_unique<BCNComponentContainer>(weak_from_this(), isDefaultApp_);
}

std::string BCNApp::dataCollectionDefaultsKey() const {
  return std::string(kBCNGlobalAppDataCollectionEnabledDefaultsKeyPrefix) + name_;
}

void BCNApp::deleteApp(const std::function<void(bool)>& completion) {
  bool found = false;
  {
    ClassState& s = state();
    MutexLock lock(s.mutex);
    // Only this very app: a stale handle must not delete a newer app that
    // took the same name after a reset.
    if (s.apps) {
      if (auto it = s.apps->find(name_); it != s.apps->end() && it->second.get() == this) {
        found = true;
        s.apps->erase(it);
        if (isDefaultApp_ && s.defaultApp.get() == this) s.defaultApp.reset();
      }
    }
  }
  if (!found) {
    BCNCoreLogError(kBCNLoggerCore, kLogDeleteMissingApp, "App does not exist.");
    if (completion) completion(false);
    return;
  }
  BCNCoreLogDebug(kBCNLoggerCore, kLogDeletingApp, "Deleting app named %s", name_.c_str());
  if (container_) {
    container_->removeAllComponents();
    container_->removeAllCachedInstances();
  }
  clearDataCollectionSwitchFromUserDefaults();
  if (const std::uint64_t token = becomeActiveObserver_.exchange(0)) {
    platform::NotificationCenter::shared().removeObserver(platform::ObserverToken{token});
  }
  platform::NotificationCenter::shared().post(std::string(kBCNAppDeleteNotification), classObject(),
                                              {{std::string(kBCNAppNameKey), name_}});
  if (completion) completion(true);
}

void BCNApp::setDataCollectionDefaultEnabled(bool enabled) {
  platform::Defaults::standard().set(dataCollectionDefaultsKey(), enabled);
  if (isDefaultApp_ && !options_->isAnalyticsCollectionExplicitlySet()) {
    BCNAnalyticsConfiguration::sharedInstance().setAnalyticsCollectionEnabled(enabled, false);
  }
}

bool BCNApp::isDataCollectionDefaultEnabled() const {
  if (auto value = readDataCollectionSwitchFromUserDefaultsForApp(*this)) return *value;
  if (auto value = readDataCollectionSwitchFromPlist()) return *value;
  return true;
}

void BCNApp::clearDataCollectionSwitchFromUserDefaults() {
  platform::Defaults::standard().remove(dataCollectionDefaultsKey());
}

bool BCNApp::configureCore() {
  checkExpectedBundleID();
  if (!isAppIDValid()) return false;
  logCoreTelemetryIfEnabled();
  subscribeForAppDidBecomeActiveNotifications();
  return true;
}

void BCNApp::checkExpectedBundleID() const {
  const std::optional<std::string> expected = expectedBundleID();
  if (!expected) return;
  if (BCNBundleUtil::hasBundleIdentifierPrefix(*expected, BCNBundleUtil::relevantBundles())) return;
  BCNCoreLogError(
      kBCNLoggerCore, kLogBundleIDMismatch,
      "The project's Bundle ID is inconsistent with either the Bundle ID in '%.*s.%.*s', or the "
      "Bundle ID in the options if you are using a customized options. To ensure that everything "
      "can be configured correctly, you may need to make the Bundle IDs consistent. To continue "
      "with this plist file, you may change your app's bundle identifier to '%s'. Or you can "
      "download a new configuration file that matches your bundle identifier from %.*s and "
      "replace the current one.",
      static_cast<int>(kBCNOptionsResourceName.size()), kBCNOptionsResourceName.data(),
      static_cast<int>(kBCNOptionsResourceType.size()), kBCNOptionsResourceType.data(),
      expected->c_str(), static_cast<int>(kConsoleURL.size()), kConsoleURL.data());
}

bool BCNApp::isAppIDValid() const {
  if (validateAppID(options_->gryphonAppID().value_or(""))) return true;
  const std::string expected = expectedBundleID().value_or("");
  BCNCoreLogError(
      kBCNLoggerCore, kLogInvalidAppID,
      "The GRYPHON_APP_ID either in the plist file '%.*s.%.*s' or the one set in the customized "
      "options is invalid. If you are using the plist file, use the iOS version of bundle "
      "identifier to download the file, and do not manually edit the GRYPHON_APP_ID. You may "
      "change your app's bundle identifier to '%s'. Or you can download a new configuration file "
      "that matches your bundle identifier from %.*s and replace the current one.",
      static_cast<int>(kBCNOptionsResourceName.size()), kBCNOptionsResourceName.data(),
      static_cast<int>(kBCNOptionsResourceType.size()), kBCNOptionsResourceType.data(),
      expected.c_str(), static_cast<int>(kConsoleURL.size()), kConsoleURL.data());
  return false;
}

void BCNApp::subscribeForAppDidBecomeActiveNotifications() {
  std::weak_ptr<BCNApp> weak = weak_from_this();
  const platform::ObserverToken token = platform::NotificationCenter::shared().addObserver(
      std::string(kBCNApplicationDidBecomeActiveNotification), nullptr, std::nullopt,
      [weak](const platform::Notification& notification) {
        if (const Ptr app = weak.lock()) app->appDidBecomeActive(notification);
      });
  if (const std::uint64_t previous = becomeActiveObserver_.exchange(token.id)) {
    platform::NotificationCenter::shared().removeObserver(platform::ObserverToken{previous});
  }
}

void BCNApp::appDidBecomeActive(const platform::Notification&) { logCoreTelemetryIfEnabled(); }

void BCNApp::logCoreTelemetryIfEnabled() const {
  if (isDataCollectionDefaultEnabled()) BCNCoreDiagnosticsConnector::logCoreTelemetryWithOptions(*options_);
}

}  // namespace vandrel::analytics
