#include "crash/kit/faultline.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "crash/capture/flt_utilities.h"
#include "crash/kit/trl_system_facts.h"
#include "crash/reports/flt_file_manager.h"
#include "crash/reports/flt_internal_report.h"
#include "crash/reports/flt_report.h"
#include "platform/paths.h"

namespace vandrel::crash {
namespace {

// The historic defaults file is small; anything larger is not ours.
constexpr std::uintmax_t kMaxHistoricDefaultsBytes = 1024 * 1024;

void consoleLog(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

// ---- Tally hooks ------------------------------------------------------------------

struct TallyHookTable {
  platform::Mutex mutex;
  FLTTallyHooks hooks VANDREL_GUARDED_BY(mutex);
};

TallyHookTable& tallyHookTable() {
  static TallyHookTable* const table = new TallyHookTable;
  return *table;
}

// ---- the kit as the registry sees it ---------------------------------------------

class FaultlineKitClass final : public TRLKitClass {
 public:
  std::string className() const override { return std::string(kFaultlineClassName); }
  std::string bundleIdentifier() const override { return std::string(kFaultlineBundleIdentifier); }
  std::string kitDisplayVersion() const override { return std::string(kFaultlineKitDisplayVersion); }
  std::optional<std::string> kitBuildVersion() const override { return std::string(kFaultlineKitBuildVersion); }
  bool respondsToInitializeIfNeeded() const override { return true; }
  void initializeIfNeeded() override { Faultline::initializeIfNeeded(); }
  bool respondsToDisableUninitializedKitMessaging() const override { return true; }
  void disableUninitializedKitMessaging() override { Faultline::disableUninitializedKitMessaging(); }
};

// ---- the crash-reporting controller's delegate ---------------------------------------

class ControllerDelegate final : public FLTCrashReportingControllerDelegate {
 public:
  explicit ControllerDelegate(Faultline& kit) : kit_(kit) {}

  std::shared_ptr<const FLTSettings> settingsForCrashReportingController(FLTCrashReportingController&) override {
    return std::make_shared<const FLTSettings>(kit_.settingsForControllers());
  }
  std::optional<std::string> APIKeyForCrashReportingController(FLTCrashReportingController&) override {
    return kit_.APIKey();
  }
  std::string installIDForCrashReportingController(FLTCrashReportingController&) override {
    return kit_.installID().value_or("");
  }
  bool isFirstInstallForCrashReportingController(FLTCrashReportingController&) override {
    return kit_.isFirstInstall();
  }
  bool shouldInstallCrashCallback() override { return kit_.shouldInstallCrashCallback(); }
  bool reportingControllerEnsureDeliveryOfUnixSignal(FLTCrashReportingController&, int signal) override {
    return kit_.ensureDeliveryOfUnixSignal(signal);
  }
  bool reportingControllerMustInformDelegateOfReports(FLTCrashReportingController&) override {
    return kit_.mustInformDelegateOfReports();
  }
  void reportingControllerInternalDidDetectReportForLastExecution(
      FLTCrashReportingController&, const std::shared_ptr<FLTInternalReport>& report) override {
    kit_.internalDidDetectReportForLastExecution(report);
  }
  void reportingControllerDidDetectReportForLastExecution(FLTCrashReportingController&,
                                                          const std::shared_ptr<FLTInternalReport>& report,
                                                          std::function<void(bool submit)> completionHandler) override {
    kit_.didDetectReportForLastExecution(report, std::move(completionHandler));
  }
  bool reportingControllerCanUseBackgroundSessions(FLTCrashReportingController&) override {
    return kit_.canUseBackgroundSessions();
  }
  void detectedCrash() override { kit_.detectedCrash(); }

 private:
  Faultline& kit_;
};

class CrashReportingControllerHandle final : public FaultlineCrashReporting {
 public:
  CrashReportingControllerHandle(Faultline& kit, const FLTFileManager& fileManager,
                                 FLTCrashReportingControllerEnvironment environment)
      : delegate_(std::make_shared<ControllerDelegate>(kit)),
        controller_(FLTCrashReportingController::initWithFileManager(fileManager, delegate_, std::move(environment))) {}

  bool startWithProfilingMark(std::uint64_t mark, const std::optional<std::string>& betaToken) override {
    return controller_->startWithProfilingMark(mark, betaToken);
  }

 private:
  const std::shared_ptr<ControllerDelegate> delegate_;
  const std::shared_ptr<FLTCrashReportingController> controller_;
};

// NSNumber's description of a boxed value; strings as they are.
std::optional<std::string> descriptionOf(const std::optional<platform::Value>& value) {
  if (!value) return std::nullopt;
  switch (value->type()) {
    case platform::Value::Type::String:
      return *value->asString();
    case platform::Value::Type::Bool:
      return *value->asBool() ? "1" : "0";
    case platform::Value::Type::Int:
      return std::to_string(*value->asInt());
    case platform::Value::Type::Double: {
      char text[64];
      std::snprintf(text, sizeof text, "%.17g", *value->asDouble());
      return std::string(text);
    }
    default:
      return value->toJson();
  }
}

std::string orNull(const std::optional<std::string>& text) { return text ? *text : "(null)"; }

}  // namespace

void FLTRegisterTallyHooks(FLTTallyHooks hooks) {
  TallyHookTable& table = tallyHookTable();
  platform::MutexLock lock(table.mutex);
  table.hooks = std::move(hooks);
}

FLTTallyHooks FLTRegisteredTallyHooks() {
  TallyHookTable& table = tallyHookTable();
  platform::MutexLock lock(table.mutex);
  return table.hooks;
}

// ---- Faultline ----------------------------------------------------------------------

struct Faultline::BetaDelegate final : FLTBetaControllerDelegate {
  explicit BetaDelegate(Faultline& kit) : kit(kit) {}
  FLTSettings settingsForBetaController(FLTBetaController&) override { return kit.settingsForControllers(); }
  std::optional<std::string> APIKeyForBetaController(FLTBetaController&) override { return kit.APIKey(); }
  Faultline& kit;
};

Faultline& Faultline::sharedInstance() {
  static Faultline* const kit = new Faultline();
  return *kit;
}

const TRLKitClassPtr& Faultline::kitClass() {
  static const TRLKitClassPtr* const cls = new TRLKitClassPtr(std::make_shared<FaultlineKitClass>());
  return *cls;
}

void loadFaultlineKit() { Trellis::registerClass(kFaultlineClassName, Faultline::kitClass()); }

void Faultline::initializeIfNeeded() { sharedInstance().start(); }

void Faultline::disableUninitializedKitMessaging() { FLTLogDisableUninitializedKitMessaging(); }

Faultline::Faultline(FaultlineEnvironment environment)
    : env_(std::move(environment)), betaDelegate_(std::make_shared<BetaDelegate>(*this)) {}

Faultline::~Faultline() = default;

void Faultline::log(std::string_view line) const {
  if (env_.log) {
    env_.log(line);
  } else {
    consoleLog(line);
  }
}

Trellis& Faultline::trellis() const { return env_.trellis ? env_.trellis() : Trellis::sharedSDK(); }

platform::Queue& Faultline::mainQueue() const { return env_.mainQueue ? *env_.mainQueue : platform::mainQueue(); }

FLTTallyHooks Faultline::tallyHooks() const { return env_.tallyHooks ? env_.tallyHooks() : FLTRegisteredTallyHooks(); }

bool Faultline::isExtension() const { return env_.isExtension ? env_.isExtension() : FLTApplicationIsExtension(); }

// ---- start ----------------------------------------------------------------------------

void Faultline::start() {
  const bool collectionEnabled =
      env_.isFaultlineCollectionEnabled ? env_.isFaultlineCollectionEnabled() : Trellis::isFaultlineCollectionEnabled();
  if (!collectionEnabled) {
    log("[Faultline] Not starting up because data collection is disabled");
    return;
  }
  std::call_once(startOnce_, [this] { runStartBlock(); });
}

void Faultline::runStartBlock() {
  const std::uint64_t mark = FLTProfileStart();
  log("[Faultline] Version " + std::string(kFaultlineKitDisplayVersion) + " (" +
      std::string(kFaultlineKitBuildVersion) + ")");
  if (debugMode()) {
    log("[Faultline] Running on " + orNull(TRLHardwareModel()) + ", " + TRLOSDisplayVersion() + " (" +
        orNull(TRLOSBuildVersion()) + ")");
  }
  mainQueue().async([this] { warnDelegateAboutMethods(); });

  const FLTFileManager fileManager = env_.makeFileManager ? env_.makeFileManager() : FLTFileManager();

  const bool betaSupported = env_.isBetaSupported ? env_.isBetaSupported() : FLTBetaController::isBetaSupported();
  if (betaSupported) {
    betaController_ = FLTBetaController::initWithDelegate(betaDelegate_, env_.betaEnvironment);
    if (!betaController_->start()) log("[Faultline] Beta could not be initialized");
  }
  const std::optional<std::string> betaToken = betaController_ ? betaController_->betaToken() : std::nullopt;

  crashReportingController_ =
      env_.makeCrashReportingController
          ? env_.makeCrashReportingController(*this, fileManager)
          : std::make_unique<CrashReportingControllerHandle>(*this, fileManager, env_.crashReportingEnvironment);
  started_.store(true);
  if (!crashReportingController_->startWithProfilingMark(mark, betaToken)) {
    log("[Faultline] Crash reporting could not be initialized");
  }

  const FLTTallyHooks hooks = tallyHooks();
  if (hooks.startWithBetaToken) hooks.startWithBetaToken(betaToken);
}

bool Faultline::isFaultlineStarted() const { return started_.load(); }

FaultlineCrashReporting* Faultline::crashReportingController() const {
  return started_.load() ? crashReportingController_.get() : nullptr;
}

void Faultline::warnDelegateAboutMethods() {
  const std::shared_ptr<FaultlineDelegate> current = delegate();
  if (!current) return;
  if (current->respondsToDidDetectCrashDuringPreviousExecutionWithReport() ||
      current->respondsToDidDetectCrashDuringPreviousExecution()) {
    log("[Faultline] The Faultline delegate '" + current->description() +
        "' implements deprecated methods.  Please see Faultline.h for details.");
  }
  if (current->faultlineCanUseBackgroundSessions(*this).value_or(false) && isExtension()) {
    log("[Faultline] Background sessions are not supported in extensions. Please see Faultline.h for details.");
  }
}

Faultline& Faultline::startWithAPIKey(const std::string& apiKey) { return startWithAPIKey(apiKey, nullptr); }

Faultline& Faultline::startWithAPIKey(const std::string& apiKey, std::shared_ptr<FaultlineDelegate> delegate) {
  Faultline& kit = sharedInstance();
  kit.startWithAPIKeyOnInstance(apiKey, std::move(delegate));
  return kit;
}

Faultline& Faultline::startWithAPIKey(const std::string& apiKey, double) {
  sharedInstance().log("[Faultline] Warning, startWithAPIKey:afterDelay: is deprecated.");
  return startWithAPIKey(apiKey, nullptr);
}

Faultline& Faultline::startWithAPIKey(const std::string& apiKey, std::shared_ptr<FaultlineDelegate> delegate,
                                      double) {
  sharedInstance().log("[Faultline] Warning, startWithAPIKey:delegate:afterDelay: is deprecated.");
  return startWithAPIKey(apiKey, std::move(delegate));
}

void Faultline::startWithAPIKeyOnInstance(const std::string& apiKey, std::shared_ptr<FaultlineDelegate> delegate) {
  if (delegate) setDelegate(std::move(delegate));
  // The registry here has no "initializeKitsWithTrellisAPIKey" but does
  // keep an installation mode.
  Trellis& sdk = trellis();
  const TRLInstallationMode mode = sdk.installationMode();
  sdk.setInstallationMode(TRLInstallationMode::ConfiguredFromInfo);
  if (mode == TRLInstallationMode::Beacon) {
    log("[Faultline] Warning, calling startWithAPIKey:... after [BCNApp configure] or BeaconApp.configure() is "
        "not supported");
    return;
  }
  sdk.setAPIKey(apiKey);
  sdk.with({env_.kitClass ? env_.kitClass() : kitClass()});
}

// ---- identity and settings ---------------------------------------------------------------

std::optional<std::string> Faultline::APIKey() {
  // The controllers ask from the start block and their queues, where an
  // exception would end the process: an unusable configuration reads as no
  // key, which they already handle.
  try {
    return trellis().APIKey();
  } catch (const TRLException& exception) {
    log(exception.what());
    return std::nullopt;
  }
}

std::optional<std::string> Faultline::installID() {
  if (auto historic = getHistoricInstallID()) return historic;
  return trellis().installID();
}

bool Faultline::isFirstInstall() { return trellis().isFirstInstall(); }

bool Faultline::debugMode() { return trellis().debug(); }

void Faultline::setDebugMode(bool) {
  // Whatever the argument: the switch only ever turns debugging on.
  trellis().setDebug(true);
  if (isFaultlineStarted()) log("[Faultline] Warning, consider enabling debug mode before starting Faultline");
}

std::shared_ptr<FaultlineDelegate> Faultline::delegate() const {
  platform::MutexLock lock(mutex_);
  return delegate_;
}

void Faultline::setDelegate(std::shared_ptr<FaultlineDelegate> delegate) {
  {
    platform::MutexLock lock(mutex_);
    delegate_ = delegate;
    if (delegate) delegates_.push_back(delegate);
    crashTimeDelegate_.store(delegate.get());
  }
  if (isFaultlineStarted()) {
    log("[Faultline] Warning, setting delegate after start. Make sure to set the Faultline delegate before calling "
        "startWithAPIKey:.., or +[Trellis with...] to avoid missing some delegate callbacks.");
  }
}

std::optional<platform::Value::Dictionary> Faultline::attemptToLoadMacHistoricDefaults() {
  const std::filesystem::path base =
      env_.applicationSupportDirectory ? env_.applicationSupportDirectory() : platform::applicationSupportDirectory();
  const std::filesystem::path path =
      base / std::string(kFaultlineHistoricDefaultsDirectory) / std::string(kFaultlineHistoricDefaultsFile);
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status) || std::filesystem::is_directory(status)) return std::nullopt;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kMaxHistoricDefaultsBytes) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto parsed = platform::Value::fromJson(text);
  if (!parsed || parsed.value().asDictionary() == nullptr) return std::nullopt;
  return *parsed.value().asDictionary();
}

std::optional<std::string> Faultline::getHistoricInstallID() {
  const auto defaults = attemptToLoadMacHistoricDefaults();
  if (!defaults) return std::nullopt;
  const auto found = defaults->find(std::string(kFaultlineHistoricInstallIDKey));
  if (found == defaults->end() || found->second.asString() == nullptr) return std::nullopt;
  return *found->second.asString();
}

// ---- recording -------------------------------------------------------------------------

namespace {
void recordInternal(std::string_view key, const std::optional<std::string>& value) {
  const std::string name(key);
  FLTUserLoggingRecordInternalKeyValue(name.c_str(), value ? value->c_str() : nullptr);
}
}  // namespace

void Faultline::setUserIdentifier(const std::optional<std::string>& identifier) {
  recordInternal(kFaultlineUserIdentifierKey, identifier);
}
void Faultline::setUserName(const std::optional<std::string>& name) { recordInternal(kFaultlineUserNameKey, name); }
void Faultline::setUserEmail(const std::optional<std::string>& email) {
  recordInternal(kFaultlineUserEmailKey, email);
}
void Faultline::setDevelopmentPlatformName(const std::optional<std::string>& name) {
  recordInternal(kFaultlineDevelopmentPlatformNameKey, name);
}
void Faultline::setDevelopmentPlatformVersion(const std::optional<std::string>& version) {
  recordInternal(kFaultlineDevelopmentPlatformVersionKey, version);
}

std::optional<std::string> Faultline::developmentPlatformName() {
  log("[Faultline] developmentPlatformName is write-only");
  return std::nullopt;
}

std::optional<std::string> Faultline::developmentPlatformVersion() {
  log("[Faultline] developmentPlatformVersion is write-only");
  return std::nullopt;
}

void Faultline::setObjectValue(const std::optional<platform::Value>& value, const std::string& key) {
  const std::optional<std::string> text = descriptionOf(value);
  FLTUserLoggingRecordUserKeyValue(key.c_str(), text ? text->c_str() : nullptr);
}
void Faultline::setIntValue(int value, const std::string& key) { setObjectValue(platform::Value(value), key); }
void Faultline::setBoolValue(bool value, const std::string& key) { setObjectValue(platform::Value(value), key); }
void Faultline::setFloatValue(float value, const std::string& key) {
  // A float boxes with float precision: 0.1f reads "0.1", not its double.
  char text[32];
  std::snprintf(text, sizeof text, "%.7g", static_cast<double>(value));
  setObjectValue(platform::Value(std::string(text)), key);
}

void Faultline::recordError(const FLTUserLoggingError& error) { recordError(error, std::nullopt); }

void Faultline::recordError(const FLTUserLoggingError& error,
                            const std::optional<FLTUserLoggingInfo>& additionalUserInfo) {
  const std::optional<FLTUserLoggingInfo> extra = additionalUserInfo;
  FLTUserLoggingRecordError(&error, extra ? &*extra : nullptr);
}

void Faultline::recordCustomExceptionName(const std::string& name, const std::string& reason,
                                          const std::vector<FLTExceptionFrame>& frameArray) {
  const std::vector<FLTExceptionFrame> frames = frameArray;
  FLTExceptionRecord(kFLTExceptionTypeCustom, name.c_str(), reason.c_str(), &frames, false);
}

void Faultline::logEvent(const std::string& name) { logEvent(name, std::nullopt); }

void Faultline::logEvent(const std::string& name, const std::optional<platform::Value::Dictionary>& attributes) {
  const FLTTallyHooks hooks = tallyHooks();
  if (hooks.logCustomEventWithName) hooks.logCustomEventWithName(name, attributes);
}

void Faultline::crash() { __builtin_trap(); }

void Faultline::throwException() { throw FaultlineTestException(); }

// ---- the controllers' questions -------------------------------------------------------------

FLTSettings Faultline::settingsForControllers() { return FLTSettings::initWithDictionary(trellis().settings()); }

bool Faultline::shouldInstallCrashCallback() const {
  const auto current = delegate();
  return current && current->respondsToDidDetectCrash();
}

void Faultline::detectedCrash() {
  // Crash time: no lock, no allocation here.
  FaultlineDelegate* current = crashTimeDelegate_.load();
  if (current != nullptr && current->respondsToDidDetectCrash()) current->faultlineDidDetectCrash(*this);
}

bool Faultline::ensureDeliveryOfUnixSignal(int signal) {
  const auto current = delegate();
  return current ? current->faultlineEnsureDeliveryOfUnixSignal(*this, signal).value_or(false) : false;
}

bool Faultline::canUseBackgroundSessions() {
  const auto current = delegate();
  if (current) {
    if (auto answer = current->faultlineCanUseBackgroundSessions(*this)) return *answer;
  }
  return !isExtension();
}

namespace {
bool mustInform(const FaultlineDelegate* delegate) {
  return delegate != nullptr && (delegate->respondsToDidDetectReportForLastExecutionWithCompletion() ||
                                 delegate->respondsToDidDetectCrashDuringPreviousExecutionWithReport() ||
                                 delegate->respondsToDidDetectCrashDuringPreviousExecution());
}
}  // namespace

bool Faultline::mustInformDelegateOfReports() const { return mustInform(delegate().get()); }

void Faultline::internalDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& internalReport) {
  const auto report = FLTReport::initWithInternalReport(internalReport);
  if (!report->isCrash()) return;
  const std::optional<platform::Date> date = report->dateCreated();
  // Without a date the analytics kit records nothing anyway.
  if (!date) return;
  mainQueue().async([hooks = tallyHooks(), when = date->toWallTime()] {
    if (hooks.logPreviousSessionCrashedOnDate) hooks.logPreviousSessionCrashedOnDate(when);
  });
}

void Faultline::didDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& internalReport,
                                                std::function<void(bool submit)> completionHandler) {
  const auto current = delegate();
  std::shared_ptr<FLTReport> report;
  if (current && current->respondsToDidDetectReportForLastExecution()) {
    report = FLTReport::initWithInternalReport(internalReport, true);
    mainQueue().async([current, report] { current->faultlineDidDetectReportForLastExecution(report); });
  }
  if (!mustInform(current.get())) {
    completionHandler(true);
    return;
  }
  if (!report) report = FLTReport::initWithInternalReport(internalReport);
  if (current->respondsToDidDetectReportForLastExecutionWithCompletion()) {
    current->faultlineDidDetectReportForLastExecution(report, std::move(completionHandler));
  } else {
    completionHandler(true);
  }
  mainQueue().async([this, current, report] {
    if (current->respondsToDidDetectCrashDuringPreviousExecutionWithReport()) {
      current->faultlineDidDetectCrashDuringPreviousExecution(*this, report);
    }
    if (current->respondsToDidDetectCrashDuringPreviousExecution()) {
      current->faultlineDidDetectCrashDuringPreviousExecution(*this);
    }
  });
}

}  // namespace vandrel::crash
