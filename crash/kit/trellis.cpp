#include "crash/kit/trellis.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_flt_user_defaults.h"
#include "platform/bundle.h"

namespace vandrel::crash {
namespace {

using platform::MutexLock;
using platform::Value;

constexpr std::string_view kMultipleWithCallsMessage =
    "[Trellis] [Trellis +with] called multiple times. Only the first call is honored, please pass "
    "all kits you wish to initialize";
constexpr std::string_view kNotStartedMessage =
    "[Faultline] Not started - Beacon automatic data collection is disabled";
constexpr std::string_view kThirdPartyKitsMessage =
    "[Trellis] Trellis will not initialize any kits when Beacon automatic data collection is "
    "disabled; to use Third-party kits with automatic data collection disabled, initialize these "
    "kits via non-Trellis means.";
constexpr std::string_view kBeaconFirstMessage =
    "[Trellis] Beacon automatic data collection has been disabled. In order to also disable "
    "automatic data collection in Trellis, change your app delegate so that Beacon is initialized "
    "before Trellis.";
constexpr std::string_view kNoGryphonAppIdMessage =
    "[Trellis] [Faultline] attempted initialization via Beacon, but did not get a Gryphon App Id";
constexpr std::string_view kCollectionDisabledMessage =
    "[Trellis] [Faultline] automatic initialization disabled because data collection is disabled";
constexpr std::string_view kLegacyKeyDisabledMessage =
    "[Trellis] [Faultline] automatic initialization disabled via Info.plist key: "
    "beacon_faultline_collection_enabled";
constexpr std::string_view kFaultlineMissingMessage =
    "[Trellis] [Faultline] Attempting to initialize Faultline via Beacon but could not find "
    "Faultline.";
constexpr std::string_view kGryphonAppIdUnavailableMessage =
    "[Trellis] GryphonService-Info.plist key GRYPHON_APP_ID unavailable";
constexpr std::string_view kAPIKeyNilMessage =
    "[Trellis] Trellis API Key is nil! Trellis won't work unless there is a valid API Key setup in "
    "Info.plist";

struct ClassTable {
  platform::Mutex mutex;
  std::map<std::string, TRLKitClassPtr, std::less<>> classes VANDREL_GUARDED_BY(mutex);
  TRLSettingsOnboardingManagerFactory settingsFactory VANDREL_GUARDED_BY(mutex);
};

ClassTable& classTable() {
  static ClassTable* const table = new ClassTable;
  return *table;
}

void consoleLog(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

std::vector<std::string> processArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> arguments;
  std::string argument;
  while (std::getline(in, argument, '\0')) arguments.push_back(argument);
  return arguments;
}

bool contains(const TRLKitList& kits, const TRLKitClassPtr& kit) {
  return std::find(kits.begin(), kits.end(), kit) != kits.end();
}

// A string as a property-list description writes it: bare when it is made
// of letters, digits and "_" only, else quoted.
std::string describeString(const std::string& s) {
  const bool bare = !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_';
  });
  if (bare) return s;
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string describeDictionary(const std::map<std::string, std::string>& dictionary) {
  std::string out = "{\n";
  for (const auto& [key, value] : dictionary) {
    out += "    " + describeString(key) + " = " + describeString(value) + ";\n";
  }
  return out + "}";
}

std::string quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

}  // namespace

// ---- process-wide state --------------------------------------------------------

const TRLKitClassPtr& AdKitKit::shared() {
  static const TRLKitClassPtr* const kit = new TRLKitClassPtr(std::make_shared<AdKitKit>());
  return *kit;
}

void Trellis::registerClass(std::string_view name, TRLKitClassPtr cls) {
  ClassTable& table = classTable();
  MutexLock lock(table.mutex);
  if (cls) {
    table.classes.insert_or_assign(std::string(name), std::move(cls));
  } else if (auto it = table.classes.find(name); it != table.classes.end()) {
    table.classes.erase(it);
  }
}

TRLKitClassPtr Trellis::lookUpClass(std::string_view name) {
  ClassTable& table = classTable();
  MutexLock lock(table.mutex);
  const auto it = table.classes.find(name);
  return it == table.classes.end() ? nullptr : it->second;
}

void Trellis::setSettingsOnboardingManagerFactory(TRLSettingsOnboardingManagerFactory factory) {
  ClassTable& table = classTable();
  MutexLock lock(table.mutex);
  table.settingsFactory = std::move(factory);
}

TrellisEnvironment TrellisEnvironment::live() {
  TrellisEnvironment env;
  env.defaults = &TRLFLTUserDefaults::standardUserDefaults();
  const platform::Bundle& bundle = platform::Bundle::main();
  std::error_code error;
  if (std::filesystem::exists(bundle.infoPath(), error)) env.info = bundle.infoDictionary();
  env.arbiter = &FLTDataCollectionArbiter::shared();
  env.lookUpClass = &Trellis::lookUpClass;
  env.arguments = processArguments();
  env.log = consoleLog;
  env.makeApplicationIdentifierModel = [](const std::string& installID) {
    return TRLApplicationIdentifierModel::initWithInstallID(installID);
  };
  ClassTable& table = classTable();
  MutexLock lock(table.mutex);
  env.makeSettingsOnboardingManager = table.settingsFactory;
  return env;
}

bool Trellis::processDebugEnabled() {
  static const bool enabled = [] {
    const std::vector<std::string> arguments = processArguments();
    return std::find(arguments.begin(), arguments.end(), kTRLDebugEnabledArgument) !=
           arguments.end();
  }();
  return enabled;
}

Trellis& Trellis::sharedSDK() {
  static Trellis* const sdk = new Trellis(TrellisEnvironment::live());
  return *sdk;
}

platform::ObserverToken Trellis::load(platform::NotificationCenter& center,
                                      std::function<Trellis&()> sdk) {
  struct State {
    std::atomic<bool> fired{false};
    std::atomic<std::uint64_t> tokenId{0};
  };
  auto state = std::make_shared<State>();
  const platform::ObserverToken token = center.addObserver(
      std::string(kBCNAppReadyToConfigureSDKNotification), nullptr, std::nullopt,
      [state, &center, sdk = std::move(sdk)](const platform::Notification& notification) {
        // Runs at most once, also when two threads post at the same time.
        if (state->fired.exchange(true)) return;
        center.removeObserver(platform::ObserverToken{state->tokenId.load()});
        sdk().autoInitialize(notification.userInfo);
      });
  state->tokenId.store(token.id);
  // A post that came before the id was stored could not remove the observer.
  if (state->fired.load()) center.removeObserver(token);
  return token;
}

bool Trellis::setFaultlineCollectionEnabled(bool enabled) {
  return FLTDataCollectionArbiter::shared().setFaultlineCollectionEnabled(enabled);
}

bool Trellis::isFaultlineCollectionEnabled() {
  return FLTDataCollectionArbiter::shared().isFaultlineCollectionEnabled();
}

// ---- identity ------------------------------------------------------------------

Trellis::Trellis(TrellisEnvironment environment) : env_(std::move(environment)) {
  VANDREL_CHECK(env_.defaults != nullptr, "Trellis needs a defaults store");
  VANDREL_CHECK(env_.arbiter != nullptr, "Trellis needs a data-collection arbiter");
  if (std::optional<std::string> stored = readInstallationUUID()) {
    installID_ = std::move(*stored);
  } else {
    isFirstInstall_ = true;
    installID_ = generateInstallationUUID();
    // The identity is on disk before any kit starts.
    env_.defaults->synchronize();
  }
  executionIdentifier_ = TRLCreateUUIDString();
  std::erase(executionIdentifier_, '-');
  std::transform(executionIdentifier_.begin(), executionIdentifier_.end(),
                 executionIdentifier_.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (env_.makeApplicationIdentifierModel) {
    applicationIdentifierModel_ = env_.makeApplicationIdentifierModel(installID_);
  }
  if (env_.makeSettingsOnboardingManager) {
    settingsAndOnboardingManager_ = env_.makeSettingsOnboardingManager(applicationIdentifierModel_.get());
  }
  debug_ = std::find(env_.arguments.begin(), env_.arguments.end(), kTRLDebugEnabledArgument) !=
           env_.arguments.end();
}

Trellis::~Trellis() = default;

std::optional<std::string> Trellis::readInstallationUUID() {
  const Value stored =
      env_.migrationSource
          ? env_.defaults->objectForKeyByMigratingFromNSUserDefaults(kTRLInstallationUUIDKey,
                                                                     *env_.migrationSource)
          : env_.defaults->objectForKeyByMigratingFromNSUserDefaults(kTRLInstallationUUIDKey);
  // Anything but a non-empty string cannot serve as an identity: a new one
  // replaces it.
  const std::string* id = stored.asString();
  if (id == nullptr || id->empty()) return std::nullopt;
  return *id;
}

std::string Trellis::generateInstallationUUID() {
  std::string id = TRLCreateUUIDString();
  env_.defaults->setString(id, kTRLInstallationUUIDKey);
  return id;
}

void Trellis::log(std::string_view line) const {
  if (env_.log) env_.log(line);
}

void Trellis::debugLog(std::string_view line) const {
  if (debug_) log(line);
}

std::optional<std::string> Trellis::instanceIdentifier() const {
  if (!applicationIdentifierModel_) return std::nullopt;
  return applicationIdentifierModel_->instanceIdentifier();
}

Value::Dictionary Trellis::settings() const {
  if (!settingsAndOnboardingManager_) return {};
  return settingsAndOnboardingManager_->settingsDictionary();
}

// ---- fields --------------------------------------------------------------------

std::optional<std::string> Trellis::APIKey() {
  {
    MutexLock lock(mutex_);
    if (apiKey_) return apiKey_;
  }
  std::optional<std::string> found;
  if (beaconMode()) {
    const std::optional<std::string> appId = beaconGryphonAppId();
    if (!appId || appId->empty()) {
      log(kGryphonAppIdUnavailableMessage);
      return std::nullopt;
    }
    found = TRLSHA256HexOfData(std::string_view(*appId)).substr(0, 40);
  } else {
    const Value::Dictionary config = trellisConfig();
    if (const auto it = config.find(std::string(kTrellisAPIKeyKey)); it != config.end()) {
      if (const std::string* key = it->second.asString()) found = *key;
    }
    if (!found) {
      log(kAPIKeyNilMessage);
      return std::nullopt;
    }
  }
  MutexLock lock(mutex_);
  if (!apiKey_) apiKey_ = std::move(found);
  return apiKey_;
}

void Trellis::setAPIKey(std::string apiKey) {
  MutexLock lock(mutex_);
  apiKey_ = std::move(apiKey);
}

std::optional<std::string> Trellis::advertisingToken() const {
  MutexLock lock(mutex_);
  return advertisingToken_;
}

void Trellis::setAdvertisingToken(std::string token) {
  MutexLock lock(mutex_);
  advertisingToken_ = std::move(token);
}

std::optional<std::string> Trellis::beaconGryphonAppId() const {
  MutexLock lock(mutex_);
  return beaconGryphonAppId_;
}

TRLKitList Trellis::kitClasses() const {
  MutexLock lock(mutex_);
  return kitClasses_;
}

bool Trellis::setBeaconGryphonAppIdFromUserInfo(const Value& userInfo) {
  const Value* appId = userInfo.find(kBCNGryphonAppIDKey);
  const std::string* id = appId ? appId->asString() : nullptr;
  if (id == nullptr || id->empty()) return false;
  MutexLock lock(mutex_);
  beaconGryphonAppId_ = *id;
  return true;
}

// ---- configuration ---------------------------------------------------------------

Value::Dictionary Trellis::trellisConfig() {
  {
    MutexLock lock(mutex_);
    if (trellisConfig_) return *trellisConfig_;
  }
  Value::Dictionary config = validTrellisConfigFromInfoPlist(env_.info);
  MutexLock lock(mutex_);
  if (!trellisConfig_) trellisConfig_ = std::move(config);
  return *trellisConfig_;
}

Value::Dictionary Trellis::validTrellisConfigFromInfoPlist(const std::optional<Value::Dictionary>& info) {
  if (beaconMode()) return {};
  const std::string name(kTrellisClassName);
  if (!info) throw TRLException("[" + name + "] Cannot find Info.plist.");
  const auto entry = info->find(std::string(kTrellisInfoKey));
  const Value::Dictionary* trellis = entry == info->end() ? nullptr : entry->second.asDictionary();
  if (trellis == nullptr) {
    throw TRLException("[" + name + "] Value of Info.plist key " + quote(kTrellisInfoKey) +
                       " must be a NSDictionary.");
  }
  const auto kits = trellis->find(std::string(kTrellisKitsKey));
  if (kits == trellis->end() || kits->second.asArray() == nullptr) {
    log("[Trellis] [" + name + "] Value of Info.plist[" + name + "][" + std::string(kTrellisKitsKey) +
        "] should be a NSArray.");
  }
  const auto apiKey = trellis->find(std::string(kTrellisAPIKeyKey));
  if (apiKey == trellis->end() || apiKey->second.asString() == nullptr) {
    throw TRLException("[" + name + "] Value of Info.plist[" + name + "][" +
                       std::string(kTrellisAPIKeyKey) + "] must contain your " + name + " API Key.");
  }
  setInstallationMode(TRLInstallationMode::ConfiguredFromInfo);
  return *trellis;
}

std::optional<Value::Dictionary> Trellis::configurationDictionaryForKitClass(const TRLKitClass& kit) {
  const Value::Dictionary config = trellisConfig();
  const auto kits = config.find(std::string(kTrellisKitsKey));
  const Value::Array* entries = kits == config.end() ? nullptr : kits->second.asArray();
  if (entries == nullptr) return std::nullopt;
  const std::string className = kit.className();
  for (const Value& entry : *entries) {
    const Value* kitName = entry.find(kTrellisKitNameKey);
    if (kitName == nullptr || kitName->asString() == nullptr || *kitName->asString() != className) {
      continue;
    }
    const Value* kitInfo = entry.find(kTrellisKitInfoKey);
    if (kitInfo != nullptr && kitInfo->asDictionary() != nullptr) return *kitInfo->asDictionary();
    return Value::Dictionary{};
  }
  return std::nullopt;
}

bool Trellis::shouldAutoInitialize(const Value* trellisValue) const {
  if (trellisValue == nullptr) return true;
  // A "Trellis" value that is not a dictionary configures nothing: it is
  // not taken as permission to start.
  const Value* autoInitialize = trellisValue->find(kTrellisAutoInitializeKey);
  if (autoInitialize == nullptr) return false;
  return FLTBoolValue(*autoInitialize).value_or(false);
}

// ---- start paths -----------------------------------------------------------------

void Trellis::autoInitialize(const Value::Dictionary& userInfo) {
  const Value* trellisValue = nullptr;
  if (env_.info) {
    const auto it = env_.info->find(std::string(kTrellisInfoKey));
    if (it != env_.info->end()) trellisValue = &it->second;
  }
  if (installationMode() == TRLInstallationMode::ConfiguredFromInfo) {
    if (!env_.arbiter->isFaultlineCollectionEnabled()) debugLog(kBeaconFirstMessage);
    return;
  }
  if (!shouldAutoInitialize(trellisValue)) return;
  if (trellisValue != nullptr) {
    setInstallationMode(TRLInstallationMode::ConfiguredFromInfo);
  } else {
    setInstallationMode(TRLInstallationMode::Beacon);
    if (!setBeaconGryphonAppIdFromUserInfo(Value(userInfo))) {
      log(kNoGryphonAppIdMessage);
      return;
    }
  }
  if (!env_.arbiter->isFaultlineCollectionEnabled()) {
    debugLog(kCollectionDisabledMessage);
    return;
  }
  if (!env_.arbiter->isLegacyPlistFaultlineCollectionEnabled()) {
    debugLog(kLegacyKeyDisabledMessage);
    return;
  }
  const TRLKitClassPtr faultline = env_.lookUpClass ? env_.lookUpClass(kFaultlineClassName) : nullptr;
  if (!faultline) {
    log(kFaultlineMissingMessage);
    return;
  }
  with({faultline});
}

Trellis& Trellis::with(const TRLKitList& kits) {
  if (withCalled_.exchange(true)) {
    log(kMultipleWithCallsMessage);
    return *this;
  }
  if (!APIKey()) return *this;
  TRLKitList list = validateTRLKitConformance(kits);
  list = kitClassesByAddingDigitsIfFound(list);
  list = kitClassesByAddingTallyIfFound(list);
  list = kitClassesByEnsuringAppseeIsFirst(list);
  list = kitClassesByAddingAdKitIfFound(list);
  {
    MutexLock lock(mutex_);
    kitClasses_ = list;
  }
  if (env_.arbiter->isFaultlineCollectionEnabled()) {
    for (const TRLKitClassPtr& kit : list) initializeKit(*kit);
    onboardAppAndDownloadSettings();
    return *this;
  }
  log(kNotStartedMessage);
  const TRLKitClassPtr faultline = env_.lookUpClass ? env_.lookUpClass(kFaultlineClassName) : nullptr;
  const TRLKitClassPtr tally = env_.lookUpClass ? env_.lookUpClass(kTallyClassName) : nullptr;
  for (const TRLKitClassPtr& kit : list) {
    if (kit->respondsToDisableUninitializedKitMessaging()) disableUninitializedKitMessagingForKit(*kit);
    if (kit != faultline && kit != tally) {
      debugLog(kThirdPartyKitsMessage);
      break;
    }
  }
  return *this;
}

TRLKitList Trellis::validateTRLKitConformance(const TRLKitList& kits) const {
  TRLKitList accepted;
  const std::string name(kTrellisClassName);
  for (const TRLKitClassPtr& kit : kits) {
    if (!kit) continue;
    if (kit->conformsToTRLKit()) {
      accepted.push_back(kit);
      continue;
    }
    const TRLLegacyKitInstance* instance = kit->sharedInstance();
    if (instance != nullptr) {
      log("[" + name + "] Please upgrade to the latest version of " + quote(kit->className()));
      if (instance->answersLegacyKitMethods()) {
        accepted.push_back(kit);
        continue;
      }
    }
    throw TRLException("[" + name + "] It appears that " + quote(kit->className()) +
                       " is not a valid Trellis Kit. Please make sure you only pass Trellis Kits to "
                       "[Trellis with:].");
  }
  return accepted;
}

TRLKitList Trellis::kitClassesByAddingDigitsIfFound(const TRLKitList& kits) const {
  TRLKitList list = kits;
  const TRLKitClassPtr digits = env_.lookUpClass ? env_.lookUpClass(kDigitsClassName) : nullptr;
  if (digits && !contains(list, digits)) list.push_back(digits);
  return list;
}

TRLKitList Trellis::kitClassesByAddingTallyIfFound(const TRLKitList& kits) const {
  TRLKitList list = kits;
  if (!env_.lookUpClass) return list;
  const TRLKitClassPtr faultline = env_.lookUpClass(kFaultlineClassName);
  const TRLKitClassPtr tally = env_.lookUpClass(kTallyClassName);
  if (faultline && tally && contains(list, faultline) && tally->conformsToTRLKit() &&
      !contains(list, tally)) {
    list.push_back(tally);
  }
  return list;
}

TRLKitList Trellis::kitClassesByEnsuringAppseeIsFirst(const TRLKitList& kits) const {
  TRLKitList list = kits;
  const TRLKitClassPtr appsee = env_.lookUpClass ? env_.lookUpClass(kAppseeClassName) : nullptr;
  if (!appsee) return list;
  const auto it = std::find(list.begin(), list.end(), appsee);
  if (it != list.end()) std::rotate(list.begin(), it, std::next(it));
  return list;
}

TRLKitList Trellis::kitClassesByAddingAdKitIfFound(const TRLKitList& kits) const {
  TRLKitList list = kits;
  if (env_.lookUpClass && env_.lookUpClass(kGADMobileAdsClassName)) {
    list.push_back(AdKitKit::shared());
  }
  return list;
}

void Trellis::initializeKit(TRLKitClass& kit) const {
  if (kit.conformsToTRLKit()) {
    if (kit.respondsToInitializeIfNeeded()) kit.initializeIfNeeded();
    return;
  }
  if (TRLLegacyKitInstance* instance = kit.sharedInstance()) instance->start();
}

void Trellis::disableUninitializedKitMessagingForKit(TRLKitClass& kit) const {
  if (kit.conformsToTRLKit() && kit.respondsToDisableUninitializedKitMessaging()) {
    kit.disableUninitializedKitMessaging();
  }
}

std::map<std::string, std::string> Trellis::kitVersionsByKitBundleIdentifier() const {
  std::map<std::string, std::string> versions;
  for (const TRLKitClassPtr& kit : kitClasses()) {
    if (kit->conformsToTRLKit()) {
      versions[kit->bundleIdentifier()] = kit->kitDisplayVersion();
    } else if (TRLLegacyKitInstance* instance = kit->sharedInstance()) {
      versions[instance->bundleIdentifier()] = instance->version();
    }
  }
  versions[std::string(kTrellisSDKBundleIdentifier)] = std::string(kTrellisSDKVersion);
  debugLog("[Trellis] Initialized with kit versions: " + describeDictionary(versions));
  return versions;
}

void Trellis::onboardAppAndDownloadSettings() {
  const std::optional<std::string> apiKey = APIKey();
  const std::map<std::string, std::string> versions = kitVersionsByKitBundleIdentifier();
  if (settingsAndOnboardingManager_ && apiKey) {
    settingsAndOnboardingManager_->beginSettingsAndOnboardingOperations(*apiKey, versions);
  }
}

}  // namespace vandrel::crash
