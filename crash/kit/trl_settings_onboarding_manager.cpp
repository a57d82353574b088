#include "crash/kit/trl_settings_onboarding_manager.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_network_client.h"
#include "platform/bundle.h"
#include "platform/notification_center.h"
#include "platform/paths.h"

// The endpoints' hosts are a deployment's choice, given at configure time;
// the placeholders under ".invalid" resolve nowhere.
#ifndef VANDREL_KIT_SETTINGS_HOST
#define VANDREL_KIT_SETTINGS_HOST "settings.trellis.invalid"
#endif
#ifndef VANDREL_KIT_API_HOST
#define VANDREL_KIT_API_HOST "api.trellis.invalid"
#endif

namespace vandrel::crash {
namespace {

void consoleLog(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

struct OnboardingHook {
  platform::Mutex mutex;
  TRLOnboardingOperationFactory factory VANDREL_GUARDED_BY(mutex);
};

OnboardingHook& onboardingHook() {
  static OnboardingHook* const hook = new OnboardingHook;
  return *hook;
}

TRLOnboardingOperationFactory registeredOnboardingFactory() {
  OnboardingHook& hook = onboardingHook();
  platform::MutexLock lock(hook.mutex);
  return hook.factory;
}

// What the registry holds: the shared manager, which the network callbacks
// reach only weakly.
class ManagerHandle final : public TRLSettingsOnboardingManaging {
 public:
  explicit ManagerHandle(std::shared_ptr<TRLSettingsOnboardingManager> manager)
      : manager_(std::move(manager)) {}
  void beginSettingsAndOnboardingOperations(
      const std::string& apiKey, const std::map<std::string, std::string>& kitVersions) override {
    manager_->beginSettingsAndOnboardingOperationsWithAPIKey(apiKey, kitVersions);
  }
  platform::Value::Dictionary settingsDictionary() const override {
    return manager_->settingsModel().settingsDictionary().value_or(platform::Value::Dictionary{});
  }

 private:
  const std::shared_ptr<TRLSettingsOnboardingManager> manager_;
};

std::filesystem::path directoryOrDefault(const std::filesystem::path& path) {
  return path.empty() ? TRLSettingsOnboardingManager::defaultSettingsDirectoryPath() : path;
}

std::shared_ptr<TRLNetworkClient> clientOrDefault(std::shared_ptr<TRLNetworkClient> client) {
  return client ? client : TRLNetworkClient::initWithQueue(nullptr, TRLPinnedCertificates());
}

}  // namespace

std::shared_ptr<TRLSettingsOnboardingManager> TRLSettingsOnboardingManager::initWithApplicationIdentifierModel(
    const TRLApplicationIdentifierModel* model, TRLSettingsOnboardingManagerEnvironment environment) {
  return std::make_shared<TRLSettingsOnboardingManager>(model, std::move(environment));
}

void TRLSettingsOnboardingManager::registerWithTrellis() {
  Trellis::setSettingsOnboardingManagerFactory([](const TRLApplicationIdentifierModel* model) {
    return std::make_unique<ManagerHandle>(initWithApplicationIdentifierModel(model));
  });
}

void TRLSettingsOnboardingManager::setOnboardingOperationFactory(TRLOnboardingOperationFactory factory) {
  OnboardingHook& hook = onboardingHook();
  platform::MutexLock lock(hook.mutex);
  hook.factory = std::move(factory);
}

TRLSettingsOnboardingManager::TRLSettingsOnboardingManager(
    const TRLApplicationIdentifierModel* model, TRLSettingsOnboardingManagerEnvironment environment)
    : appIdentifierModel_(model),
      env_(std::move(environment)),
      settingsDirectoryPath_(directoryOrDefault(env_.settingsDirectoryPath)),
      settingsModel_(std::make_unique<TRLSettings>(
          settingsDirectoryPath_ / kTRLSettingsFileName,
          env_.appFacts ? *env_.appFacts : TRLSettingsAppFacts::live(),
          [this](std::string_view line) { log(line); })),
      networkClient_(clientOrDefault(env_.networkClient)) {}

TRLSettingsOnboardingManager::~TRLSettingsOnboardingManager() {
  if (networkClient_) networkClient_->invalidateAndCancel();
}

std::filesystem::path TRLSettingsOnboardingManager::defaultSettingsDirectoryPath() {
  return platform::cachesDirectory() / (std::string(kTRLSDKIdentifier) + std::string(kTRLSettingsDirectorySuffix)) /
         platform::Bundle::main().bundleIdentifier();
}

std::filesystem::path TRLSettingsOnboardingManager::settingsPath() const {
  return settingsModel_->settingsPath();
}

std::optional<std::string> TRLSettingsOnboardingManager::settingsURL() {
  auto endpoint = valueForConfigurationKey(kTRLSettingsEndpointKey);
  if (!endpoint) return std::nullopt;
  std::optional<std::string> instance;
  if (appIdentifierModel_ != nullptr) instance = appIdentifierModel_->instanceIdentifier();
  return settingsModel_->settingsURLForEndpoint(*endpoint, instance);
}

platform::Value::Dictionary TRLSettingsOnboardingManager::configuration() const {
  if (env_.faultlineConfiguration) return env_.faultlineConfiguration();
  const auto& info = platform::Bundle::main().infoDictionary();
  auto it = info.find(std::string(kTRLFaultlineInfoKey));
  if (it == info.end() || it->second.asDictionary() == nullptr) return {};
  return *it->second.asDictionary();
}

platform::Value::Dictionary TRLSettingsOnboardingManager::defaultConfiguration() {
  return {{std::string(kTRLSettingsEndpointKey), "https://" VANDREL_KIT_SETTINGS_HOST},
          {std::string(kTRLConfigureEndpointKey), "https://" VANDREL_KIT_API_HOST}};
}

std::optional<std::string> TRLSettingsOnboardingManager::valueForConfigurationKey(std::string_view key) const {
  if (env_.environmentValue) {
    if (auto value = env_.environmentValue(key)) return value;
  } else if (const char* value = std::getenv(std::string(key).c_str())) {
    return std::string(value);
  }
  for (const auto& dictionary : {configuration(), defaultConfiguration()}) {
    auto it = dictionary.find(std::string(key));
    if (it != dictionary.end() && it->second.asString() != nullptr) return *it->second.asString();
  }
  return std::nullopt;
}

bool TRLSettingsOnboardingManager::debug() const {
  return env_.debug ? env_.debug() : Trellis::sharedSDK().debug();
}

void TRLSettingsOnboardingManager::log(std::string_view line) const {
  if (env_.log) {
    env_.log(line);
  } else {
    consoleLog(line);
  }
}

void TRLSettingsOnboardingManager::debugLog(std::string_view line) const {
  if (debug()) log(line);
}

std::optional<std::string> TRLSettingsOnboardingManager::advertisingToken() const {
  return Trellis::sharedSDK().advertisingToken();
}

bool TRLSettingsOnboardingManager::networkingFinished() const {
  platform::MutexLock lock(mutex_);
  return finished_;
}

bool TRLSettingsOnboardingManager::hasAttemptedAppConfigure() const {
  platform::MutexLock lock(mutex_);
  return hasAttemptedAppConfigure_;
}

void TRLSettingsOnboardingManager::beginSettingsAndOnboardingOperationsWithAPIKey(
    const std::string& apiKey, const std::map<std::string, std::string>& kitVersionsByKitBundleIdentifier) {
  {
    platform::MutexLock lock(mutex_);
    APIKey_ = apiKey;
    kitVersions_ = kitVersionsByKitBundleIdentifier;
  }
  beginSettingsDownload();
}

void TRLSettingsOnboardingManager::beginSettingsDownload() {
  std::string apiKey;
  {
    platform::MutexLock lock(mutex_);
    if (finished_) return;
    apiKey = APIKey_;
  }
  auto url = settingsURL();
  std::shared_ptr<TRLDownloadAndSaveSettingsOperation> operation;
  if (url) {
    TRLDownloadAndSaveSettingsOperation::Parameters parameters;
    parameters.delegate = weak_from_this();
    parameters.settingsURL = *url;
    parameters.settingsDirectoryPath = settingsDirectoryPath_;
    parameters.settingsFilePath = settingsPath();
    parameters.installIdentifier = appIdentifierModel_ ? appIdentifierModel_->installID() : std::string();
    parameters.networkClient = networkClient_;
    parameters.systemFacts = env_.systemFacts;
    parameters.log = [weakSelf = weak_from_this()](std::string_view line) {
      if (auto self = weakSelf.lock()) self->log(line);
    };
    operation = TRLDownloadAndSaveSettingsOperation::initWithAPIKey(apiKey, std::move(parameters));
  }
  if (!operation) {
    // Without a usable key or endpoint nothing can be asked for this launch.
    log(std::string("[Trellis] failed to download settings ") +
        (url ? "(unusable API key)" : "(no valid settings URL)"));
    finishNetworkingSession();
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    downloadOperation_ = operation;
  }
  operation->start();
}

void TRLSettingsOnboardingManager::beginOnboarding(bool shouldCreate, const std::string& endpointString) {
  TRLOnboardingRequest request;
  std::shared_ptr<TRLAsyncOperation> previous;
  {
    platform::MutexLock lock(mutex_);
    previous = std::move(onboardingOperation_);
    request.APIKey = APIKey_;
    request.kitVersionsByKitBundleIdentifier = kitVersions_;
  }
  if (previous) previous->cancel();
  request.shouldCreate = shouldCreate;
  request.appIdentifierModel = appIdentifierModel_;
  request.endpointString = endpointString;
  request.networkClient = networkClient_;

  const TRLOnboardingOperationFactory factory = env_.onboarding ? env_.onboarding : registeredOnboardingFactory();
  std::weak_ptr<TRLSettingsOnboardingManager> weakSelf = weak_from_this();
  auto completion = [weakSelf, shouldCreate](const std::optional<KitError>& error) {
    auto self = weakSelf.lock();
    if (!self) return;
    if (shouldCreate) {
      self->onboardingOperationDidCompleteAppCreationWithError(error);
    } else {
      self->onboardingOperationDidCompleteAppUpdateWithError(error);
    }
  };
  std::shared_ptr<TRLAsyncOperation> operation = factory ? factory(request, completion) : nullptr;
  if (!operation) {
    // No onboarding in this build: the settings on disk are all there is,
    // so they are announced now rather than after a record that never comes.
    debugLog("[Trellis] onboarding is not available; settings are used as downloaded");
    if (shouldCreate) postSettingsDownloadCompletedNotification();
    finishNetworkingSession();
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    onboardingOperation_ = operation;
  }
  operation->start();
}

void TRLSettingsOnboardingManager::postSettingsDownloadCompletedNotification() {
  debugLog("[Trellis] Settings are available for consumption");
  platform::NotificationCenter& center =
      env_.notificationCenter ? *env_.notificationCenter : platform::NotificationCenter::shared();
  center.post(std::string(kTRLSettingsAvailableNotification));
}

void TRLSettingsOnboardingManager::finishNetworkingSession() {
  {
    platform::MutexLock lock(mutex_);
    finished_ = true;
  }
  networkClient_->invalidateAndCancel();
}

void TRLSettingsOnboardingManager::operationDidDownloadAndSaveSettingsWithError(
    TRLDownloadAndSaveSettingsOperation& operation, const std::optional<KitError>& error) {
  {
    platform::MutexLock lock(mutex_);
    if (downloadOperation_.get() == &operation) downloadOperation_.reset();
  }
  if (error) {
    log("[Trellis] failed to download settings " + TRLErrorDescription(*error));
    finishNetworkingSession();
    return;
  }
  debugLog("[Trellis] settings downloaded successfully");
  settingsModel_->clearSettingsDictionary();
  if (hasAttemptedAppConfigure()) {
    debugLog("[Trellis] App already onboarded in this run of the app");
    postSettingsDownloadCompletedNotification();
    finishNetworkingSession();
    return;
  }
  if (settingsModel_->appNeedsOnboarding()) {
    debugLog("[Trellis] Starting onboarding with app create");
    startOnboardingAfterDownload(true);
    return;
  }
  postSettingsDownloadCompletedNotification();
  if (settingsModel_->appUpdateRequired()) {
    debugLog("[Trellis] Starting onboarding with app update");
    startOnboardingAfterDownload(false);
  } else {
    finishNetworkingSession();
  }
}

void TRLSettingsOnboardingManager::startOnboardingAfterDownload(bool create) {
  {
    platform::MutexLock lock(mutex_);
    hasAttemptedAppConfigure_ = true;
  }
  beginOnboarding(create, valueForConfigurationKey(kTRLConfigureEndpointKey).value_or(std::string()));
}

void TRLSettingsOnboardingManager::onboardingOperationDidCompleteAppCreationWithError(
    const std::optional<KitError>& error) {
  if (error) {
    log("[Trellis] unable to complete application configure: " + TRLErrorDescription(*error));
    finishNetworkingSession();
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    onboardingOperation_.reset();
  }
  debugLog("[Trellis] completed configure");
  beginSettingsDownload();
}

void TRLSettingsOnboardingManager::onboardingOperationDidCompleteAppUpdateWithError(
    const std::optional<KitError>& error) {
  finishNetworkingSession();
  if (error) {
    log("[Trellis] unable to complete application update: " + TRLErrorDescription(*error));
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    onboardingOperation_.reset();
  }
  debugLog("[Trellis] completed application update");
}

}  // namespace vandrel::crash
