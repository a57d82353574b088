#include "crash/kit/flt_beta_controller.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "crash/capture/flt_utilities.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_network_client.h"
#include "crash/kit/trl_settings.h"
#include "crash/kit/trl_system_facts.h"
#include "crash/kit/trl_url_builder.h"

namespace vandrel::crash {
namespace {

constexpr std::string_view kURLErrorDomain = "NSURLErrorDomain";
constexpr std::int64_t kURLErrorCannotParseResponse = -1017;
constexpr std::int64_t kURLErrorBadURL = -1000;

KitError kitErrorOf(const platform::Error& error) {
  return KitError{error.domain, error.code, error.message, {}, {}};
}

std::string describe(const std::optional<KitError>& error) {
  if (!error) return "(null)";
  return "Error Domain=" + error->domain + " Code=" + std::to_string(error->code) + " \"" +
         error->localizedDescription + "\"";
}

std::string localized(const FLTBetaUpdate::LocalizedStringSource& source, std::string_view key,
                      std::string_view defaultText) {
  FLTSettingsEnvironment environment;
  environment.localizedString = source;
  // No downloaded settings: the default, then its translation when the
  // application has one.
  return FLTSettings(std::nullopt, environment).promptValueForSettingsKey("", key, defaultText);
}

}  // namespace

// ---- FLTBetaUpdate --------------------------------------------------------------

std::optional<FLTBetaUpdate> FLTBetaUpdate::initWithDictionary(const platform::Value::Dictionary& dictionary) {
  const auto url = dictionary.find("url");
  if (url == dictionary.end() || url->second.asString() == nullptr) return std::nullopt;
  if (!TRLURLBuilder::URLWithBase(*url->second.asString()).URL()) return std::nullopt;
  std::optional<std::string> version;
  const auto versionString = dictionary.find("version_string");
  if (versionString != dictionary.end() && versionString->second.asString() != nullptr) {
    version = *versionString->second.asString();
  }
  return FLTBetaUpdate(*url->second.asString(), std::move(version));
}

std::optional<FLTBetaUpdate> FLTBetaUpdate::betaUpdateWithDictionary(const platform::Value& value,
                                                                     std::optional<KitError>* error) {
  std::optional<FLTBetaUpdate> update;
  if (const auto* dictionary = value.asDictionary()) update = initWithDictionary(*dictionary);
  if (!update && error != nullptr) {
    *error = KitError{std::string(kURLErrorDomain), kURLErrorCannotParseResponse, "", {}, {}};
  }
  return update;
}

std::string FLTBetaUpdate::promptTitle(const LocalizedStringSource& source) const {
  return localized(source, "FaultlineDistributionPromptTitle", "New Build Available");
}

std::string FLTBetaUpdate::promptMessage(const LocalizedStringSource& source,
                                         std::optional<std::string> applicationName) const {
  std::string format = localized(source, "FaultlineDistributionPromptMessage",
                                 "A new version of %@ is available for testing.");
  if (!applicationName) applicationName = TRLBundleDisplayName();
  // Only the placeholder is replaced: the name is never read as a format.
  if (const auto at = format.find("%@"); at != std::string::npos) {
    format.replace(at, 2, applicationName.value_or(""));
  }
  return format;
}

std::string FLTBetaUpdate::cancelLabel(const LocalizedStringSource& source) const {
  return localized(source, "FaultlineDistributionPromptCancelTitle", "Cancel");
}

std::string FLTBetaUpdate::installLabel(const LocalizedStringSource& source) const {
  return localized(source, "FaultlineDistributionPromptInstallTitle", "Install");
}

// ---- process facts ------------------------------------------------------------

FLTBetaAppFacts FLTBetaAppFacts::live() {
  FLTBetaAppFacts facts;
  facts.buildVersion = TRLBundleBuildVersion();
  facts.displayVersion = TRLBundleDisplayVersion();
  facts.instanceIdentifier = Trellis::sharedSDK().instanceIdentifier();
  facts.installationSource = TRLInstallationSource();
  facts.bundleIdentifierNamespace = TRLBundleIdentifierNamespace();
  facts.isExtension = FLTApplicationIsExtension();
  return facts;
}

std::optional<std::string> FLTBetaTokenFromSource() { return std::nullopt; }

// ---- FLTBetaController ----------------------------------------------------------

struct FLTBetaController::Private {};

bool FLTBetaController::isBetaSupported() {
  return !FLTApplicationIsExtension() &&
         TRLInstallationSource() == kTRLInstallationSourceSignedForDistribution;
}

bool FLTBetaController::isBetaSupported(const FLTBetaAppFacts& facts) {
  return !facts.isExtension && facts.installationSource == kTRLInstallationSourceSignedForDistribution;
}

const std::vector<TRLCertificate>& FLTBetaController::pinnnedCertificates() { return TRLPinnedCertificates(); }

std::shared_ptr<FLTBetaController> FLTBetaController::initWithDelegate(
    std::weak_ptr<FLTBetaControllerDelegate> delegate, FLTBetaControllerEnvironment environment) {
  return std::make_shared<FLTBetaController>(Private{}, std::move(delegate), std::move(environment));
}

FLTBetaController::FLTBetaController(Private, std::weak_ptr<FLTBetaControllerDelegate> delegate,
                                     FLTBetaControllerEnvironment environment)
    : delegate_(std::move(delegate)),
      environment_(std::move(environment)),
      queue_(std::make_shared<platform::SerialQueue>(std::string(kFLTBetaQueueLabel))) {
  TRLNetworkClientEnvironment clientEnvironment;
  clientEnvironment.scheduler = environment_.scheduler;
  clientEnvironment.debug = environment_.networkDebug ? environment_.networkDebug : environment_.debug;
  networkClient_ = TRLNetworkClient::initWithSessionConfiguration(
      FLTURLSessionConfiguration::defaultSessionConfiguration(), nullptr,
      environment_.pinnedCertificates ? *environment_.pinnedCertificates : pinnnedCertificates(),
      clientEnvironment);
  if (!networkClient_) debugLog("[Faultline:Beta] Failed to configure networking");
}

FLTBetaController::~FLTBetaController() {
  platform::ObserverToken observer;
  std::optional<platform::Scheduler::TimerId> timer;
  {
    platform::MutexLock lock(mutex_);
    observer = std::exchange(observer_, {});
    timer = std::exchange(suspensionTimer_, std::nullopt);
  }
  if (observer) notificationCenter().removeObserver(observer);
  if (timer) scheduler().cancel(*timer);
}

bool FLTBetaController::debug() const {
  return environment_.debug ? environment_.debug() : Trellis::sharedSDK().debug();
}

void FLTBetaController::debugLog(std::string_view line) const {
  if (!debug()) return;
  if (environment_.log) {
    environment_.log(line);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

platform::Scheduler& FLTBetaController::scheduler() const {
  return environment_.scheduler ? *environment_.scheduler : platform::Scheduler::system();
}

platform::Queue& FLTBetaController::mainQueue() const {
  return environment_.mainQueue ? *environment_.mainQueue : platform::mainQueue();
}

platform::NotificationCenter& FLTBetaController::notificationCenter() const {
  return environment_.notificationCenter ? *environment_.notificationCenter
                                         : platform::NotificationCenter::shared();
}

std::shared_ptr<FLTBetaControllerDelegate> FLTBetaController::delegate() const { return delegate_.lock(); }

FLTBetaAppFacts FLTBetaController::appFacts() const {
  return environment_.appFacts ? *environment_.appFacts : FLTBetaAppFacts::live();
}

std::optional<std::string> FLTBetaController::betaToken() {
  {
    platform::MutexLock lock(mutex_);
    if (betaToken_) return betaToken_;
  }
  std::optional<std::string> token = environment_.betaToken ? environment_.betaToken() : FLTBetaTokenFromSource();
  if (!token) return std::nullopt;
  platform::MutexLock lock(mutex_);
  if (!betaToken_) betaToken_ = std::move(token);
  return betaToken_;
}

bool FLTBetaController::start() {
  if (!betaToken()) return false;
  {
    platform::MutexLock lock(mutex_);
    if (started_) return true;
    started_ = true;
  }
  std::weak_ptr<FLTBetaController> weak = weak_from_this();
  platform::ObserverToken token = notificationCenter().addObserver(
      std::string(kTRLSettingsAvailableNotification), nullptr, std::nullopt,
      [weak](const platform::Notification& notification) {
        if (auto self = weak.lock()) self->trellisSettingsDownloaded(notification);
      });
  platform::MutexLock lock(mutex_);
  observer_ = token;
  return true;
}

void FLTBetaController::trellisSettingsDownloaded(const platform::Notification&) { checkForUpdate(); }

void FLTBetaController::applicationWillEnterForeground() { checkForUpdate(); }

void FLTBetaController::checkForUpdate() {
  std::weak_ptr<FLTBetaController> weak = weak_from_this();
  maybeGetUpdate([weak](const std::optional<FLTBetaUpdate>& update) {
    if (auto self = weak.lock()) self->didGetUpdate(update);
  });
}

void FLTBetaController::maybeGetUpdate(UpdateCompletion completion) {
  std::weak_ptr<FLTBetaController> weak = weak_from_this();
  queue_->async([weak, completion = std::move(completion)] {
    auto self = weak.lock();
    if (!self || !self->shouldGetUpdates() || self->retrying_.load()) return;
    self->debugLog("[Faultline:Beta] Loading beta update");
    self->loadUpdateWithCompletionBlock(
        [completion](const std::optional<FLTBetaUpdate>& update, const std::optional<KitError>&) {
          completion(update);
        });
  });
}

void FLTBetaController::loadUpdateWithCompletionBlock(LoadCompletion completion) {
  const std::optional<std::string> url = betaUpdateURL();
  if (!url || !networkClient_) {
    // Nothing can be sent: no request is outstanding, a later check may try again.
    debugLog("[Faultline:Beta] Failed to load update '" +
             describe(KitError{std::string(kURLErrorDomain), kURLErrorBadURL, "", {}, {}}) + "'");
    return;
  }
  FLTURLRequest request = betaUpdateRequest(*url);
  std::weak_ptr<FLTBetaController> weak = weak_from_this();
  queue_->async([weak, request = std::move(request), completion = std::move(completion)] {
    auto self = weak.lock();
    if (!self || self->retrying_.exchange(true)) return;
    self->networkClient_->startDataTaskWithRequest(
        request, kFLTBetaRetryLimit,
        [weak, completion](const std::string& data, const std::optional<FLTHTTPURLResponse>&,
                           const std::optional<KitError>& error) {
          auto owner = weak.lock();
          if (!owner) return;
          owner->queue_->async([weak, completion, data, error] {
            if (auto again = weak.lock()) again->handledCompletedBetaRequestWithData(data, error, completion);
          });
        });
  });
}

void FLTBetaController::handledCompletedBetaRequestWithData(const std::string& data,
                                                            const std::optional<KitError>& error,
                                                            const LoadCompletion& completion) {
  if (error || data.empty()) {
    // The outstanding mark stays: no later check runs in this process.
    debugLog("[Faultline:Beta] Failed to load update '" + describe(error) + "'");
    return;
  }
  debugLog("[Faultline:Beta] Beta update loaded");
  temporarilySuspendChecks();
  retrying_.store(false);
  std::optional<KitError> parseError;
  std::optional<FLTBetaUpdate> update = updateWithData(data, &parseError);
  if (completion) completion(update, parseError);
}

std::optional<FLTBetaUpdate> FLTBetaController::updateWithData(const std::string& data,
                                                               std::optional<KitError>* error) {
  auto parsed = platform::Value::fromJson(data);
  if (!parsed) {
    const KitError parseError = kitErrorOf(parsed.error());
    debugLog("[Faultline:Beta] Unable to deserialize beta update data: " + describe(parseError));
    if (error != nullptr) *error = parseError;
    return std::nullopt;
  }
  std::optional<KitError> readError;
  std::optional<FLTBetaUpdate> update = FLTBetaUpdate::betaUpdateWithDictionary(parsed.value(), &readError);
  if (!update) {
    debugLog("[Faultline:Beta] Unable to read beta update data: " + describe(readError));
    if (error != nullptr) *error = readError;
  }
  return update;
}

void FLTBetaController::didGetUpdate(const std::optional<FLTBetaUpdate>& update) {
  if (!update || update->url().empty()) {
    debugLog("[Faultline:Beta] Beta update url is invalid");
    return;
  }
  std::weak_ptr<FLTBetaController> weak = weak_from_this();
  mainQueue().async([weak, offer = *update] {
    if (auto self = weak.lock()) self->showBetaAlertForUpdate(offer);
  });
}

void FLTBetaController::showBetaAlertForUpdate(const FLTBetaUpdate& update) {
  platform::MutexLock lock(mutex_);
  activeUpdate_ = update;
}

std::optional<FLTBetaUpdate> FLTBetaController::activeUpdate() const {
  platform::MutexLock lock(mutex_);
  return activeUpdate_;
}

void FLTBetaController::temporarilySuspendChecks() {
  std::weak_ptr<FLTBetaController> weak = weak_from_this();
  mainQueue().async([weak] {
    auto self = weak.lock();
    if (!self) return;
    const std::optional<double> seconds = self->betaUpdateSuspendDurationSecs();
    if (!seconds) return;
    self->checksSuspended_.store(true);
    const auto delay = std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(*seconds));
    const platform::Scheduler::TimerId id = self->scheduler().schedule(delay, self->mainQueue(), [weak] {
      if (auto owner = weak.lock()) owner->allowChecks();
    });
    std::optional<platform::Scheduler::TimerId> previous;
    {
      platform::MutexLock lock(self->mutex_);
      previous = std::exchange(self->suspensionTimer_, id);
    }
    if (previous) self->scheduler().cancel(*previous);
  });
}

void FLTBetaController::allowChecks() {
  checksSuspended_.store(false);
  std::optional<platform::Scheduler::TimerId> timer;
  {
    platform::MutexLock lock(mutex_);
    timer = std::exchange(suspensionTimer_, std::nullopt);
  }
  if (timer) scheduler().cancel(*timer);
}

bool FLTBetaController::shouldGetUpdates() const {
  return isBetaSupported(appFacts()) && !checksSuspended_.load();
}

std::optional<std::string> FLTBetaController::APIKey() {
  auto owner = delegate();
  return owner ? owner->APIKeyForBetaController(*this) : std::nullopt;
}

std::string FLTBetaController::betaEndpoint() {
  auto owner = delegate();
  return owner ? owner->settingsForBetaController(*this).betaEndpoint() : FLTSettings(std::nullopt).betaEndpoint();
}

std::optional<double> FLTBetaController::betaUpdateSuspendDurationSecs() {
  auto owner = delegate();
  if (!owner) return std::nullopt;
  const std::optional<double> seconds = owner->settingsForBetaController(*this).betaSuspendDuration().asNumber();
  // A pause that is over before it begins, or never ends, is no pause.
  if (!seconds || !(*seconds > 0) || *seconds > 1e9) return std::nullopt;
  return seconds;
}

std::optional<std::string> FLTBetaController::betaUpdateURL() {
  const FLTBetaAppFacts facts = appFacts();
  TRLURLBuilder builder = TRLURLBuilder::URLWithBase(betaEndpoint());
  builder.appendComponent("/spi/v2/platforms/");
  builder.appendComponent("mac");
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(facts.bundleIdentifierNamespace);
  builder.appendComponent("/beta_update_check");
  builder.appendValue(facts.buildVersion, "build_version");
  builder.appendValue(facts.displayVersion, "display_version");
  builder.appendValue(facts.instanceIdentifier, "instance");
  builder.appendValue(static_cast<std::int64_t>(facts.installationSource), "source");
  debugLog("[Faultline:Beta] Beta Update-Check url string: '" + builder.URLString() + "'");
  return builder.URL();
}

FLTURLRequest FLTBetaController::betaUpdateRequest(const std::string& url) {
  FLTURLRequest request;
  request.method = "GET";
  request.url = url;
  // The engine keeps no response cache, so every request reloads.
  request.idleTimeout = std::chrono::duration_cast<platform::Duration>(
      std::chrono::duration<double>(kFLTBetaRequestTimeoutSeconds));
  const std::string locale = environment_.localeIdentifier ? environment_.localeIdentifier() : TRLLocaleIdentifier();
  request.headers = {
      {"User-Agent", std::string(kFLTBetaUserAgent)},
      {"Accept", "application/json"},
      {"Accept-Charset", "utf-8"},
      {"Accept-Language", locale},
      {"Content-Language", locale},
      {"X-Faultline-Developer-Token", std::string(kFLTBetaDeveloperToken)},
      {"X-Faultline-API-Client-Id", std::string(kFLTBetaClientId)},
      {"X-Faultline-API-Client-Display-Version", std::string(kFLTBetaClientDisplayVersion)},
      {"X-Faultline-API-Client-Build-Version", std::string(kFLTBetaClientBuildVersion)},
  };
  // A header without a value is not sent.
  if (auto key = APIKey()) request.headers.add("X-Faultline-API-Key", *key);
  if (auto token = betaToken()) request.headers.add("X-Faultline-Beta-Token", *token);
  return request;
}

}  // namespace vandrel::crash
