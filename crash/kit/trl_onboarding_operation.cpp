#include "crash/kit/trl_onboarding_operation.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "crash/kit/trl_network_client.h"
#include "crash/kit/trl_network_response_handler.h"
#include "crash/kit/trl_url_builder.h"
#include "platform/bundle.h"

namespace vandrel::crash {

namespace {

// Stands in for the settings manager, which hears the outcome through a
// completion function.
class CompletionDelegate final : public TRLOnboardingOperationDelegate {
 public:
  explicit CompletionDelegate(TRLOnboardingCompletion completion) : completion_(std::move(completion)) {}
  void onboardingOperationDidCompleteAppCreationWithError(TRLOnboardingOperation&,
                                                          const std::optional<KitError>& error) override {
    if (completion_) completion_(error);
  }
  void onboardingOperationDidCompleteAppUpdateWithError(TRLOnboardingOperation&,
                                                        const std::optional<KitError>& error) override {
    if (completion_) completion_(error);
  }

 private:
  const TRLOnboardingCompletion completion_;
};

// "%lu" of a size: the whole part, 0 for what is no size at all.
std::string sizeText(double value) {
  if (!std::isfinite(value) || value <= 0) return "0";
  if (value >= 18446744073709551615.0) return "18446744073709551615";
  return std::to_string(static_cast<unsigned long>(value));
}

platform::Value optionalValue(const std::optional<std::string>& text) {
  return text ? platform::Value(*text) : platform::Value();
}

}  // namespace

std::shared_ptr<TRLOnboardingOperation> TRLOnboardingOperation::initWithDelegate(
    const std::optional<std::string>& APIKey, Parameters parameters) {
  return makeWithAPIKey<TRLOnboardingOperation>(APIKey, std::move(parameters));
}

std::shared_ptr<TRLAsyncOperation> TRLOnboardingOperation::operationForRequest(
    const TRLOnboardingRequest& request, TRLOnboardingCompletion completion,
    TRLOnboardingEnvironment environment) {
  auto delegate = std::make_shared<CompletionDelegate>(std::move(completion));
  Parameters parameters;
  parameters.delegate = delegate;
  parameters.shouldCreate = request.shouldCreate;
  parameters.kitVersionsByKitBundleIdentifier = request.kitVersionsByKitBundleIdentifier;
  parameters.appIdentifierModel = request.appIdentifierModel;
  parameters.appEndpoint = request.endpointString;
  parameters.networkClient = request.networkClient;
  parameters.environment = std::move(environment);
  auto operation = initWithDelegate(request.APIKey, std::move(parameters));
  if (operation) operation->ownedDelegate_ = std::move(delegate);
  return operation;
}

void TRLOnboardingOperation::registerWithSettingsManager() {
  TRLSettingsOnboardingManager::setOnboardingOperationFactory(
      [](const TRLOnboardingRequest& request, TRLOnboardingCompletion completion) {
        return operationForRequest(request, std::move(completion));
      });
}

TRLOnboardingOperation::TRLOnboardingOperation(std::string APIKey, Parameters parameters)
    : TRLNetworkOperation(std::move(APIKey)), parameters_(std::move(parameters)) {}

void TRLOnboardingOperation::main() { beginAppConfigure(); }

const platform::Bundle& TRLOnboardingOperation::bundle() const {
  return parameters_.environment.bundle ? *parameters_.environment.bundle : platform::Bundle::main();
}

void TRLOnboardingOperation::log(std::string_view line) const {
  if (parameters_.environment.log) {
    parameters_.environment.log(line);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

std::string TRLOnboardingOperation::appBundleIdentifier() const { return TRLBundleIdentifierNamespace(bundle()); }
std::optional<std::string> TRLOnboardingOperation::appName() const { return TRLBundleDisplayName(bundle()); }
std::optional<std::string> TRLOnboardingOperation::appBuildVersion() const {
  return TRLBundleBuildVersion(bundle());
}
std::optional<std::string> TRLOnboardingOperation::appDisplayVersion() const {
  return TRLBundleDisplayVersion(bundle());
}
std::string TRLOnboardingOperation::appInstallSource() const {
  return std::to_string(TRLInstallationSource(bundle()));
}

std::optional<std::string> TRLOnboardingOperation::appCreateURL() const {
  TRLURLBuilder builder = TRLURLBuilder::URLWithBase(parameters_.appEndpoint);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(kTRLPlatform);
  builder.appendComponent("/apps");
  return builder.URL();
}

std::optional<std::string> TRLOnboardingOperation::appUpdateURL() const {
  TRLURLBuilder builder = TRLURLBuilder::URLWithBase(parameters_.appEndpoint);
  builder.appendComponent("/spi/v1/platforms/");
  builder.escapeAndAppendComponent(kTRLPlatform);
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(appBundleIdentifier());
  return builder.URL();
}

std::optional<platform::HttpRequest> TRLOnboardingOperation::onboardingRequestForAppCreate(bool create) const {
  auto url = create ? appCreateURL() : appUpdateURL();
  if (!url) return std::nullopt;
  platform::HttpRequest request = mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(*url);
  request.method = create ? "POST" : "PUT";
  return request;
}

KitError TRLOnboardingOperation::errorForCode(std::int64_t code, platform::Value::Dictionary userInfo) {
  std::string description;
  if (auto it = userInfo.find("NSLocalizedDescription"); it != userInfo.end() && it->second.asString()) {
    description = *it->second.asString();
  }
  return KitError{std::string(kTRLSDKOnboardingErrorDomain), code, std::move(description), std::move(userInfo), {}};
}

std::optional<KitError> TRLOnboardingOperation::error() const {
  platform::MutexLock lock(mutex_);
  return error_;
}

void TRLOnboardingOperation::encodeFields(TRLMultipartMimeStreamEncoder& encoder) const {
  const TRLApplicationIdentifierModel* model = parameters_.appIdentifierModel;
  encoder.addValue(appBundleIdentifier(), "app[identifier]");
  encoder.addValue(model ? platform::Value(model->instanceIdentifier()) : platform::Value(),
                   "app[instance_identifier]");
  encoder.addValue(optionalValue(appName()), "app[name]");
  encoder.addValue(optionalValue(appBuildVersion()), "app[build_version]");
  encoder.addValue(optionalValue(appDisplayVersion()), "app[display_version]");
  encoder.addValue(appInstallSource(), "app[source]");
  encoder.addValue(model ? platform::Value(model->minimumSDKString()) : platform::Value(),
                   "app[minimum_sdk_version]");
  encoder.addValue(model ? platform::Value(model->builtSDKString()) : platform::Value(),
                   "app[built_sdk_version]");
  for (const auto& [kit, version] : parameters_.kitVersionsByKitBundleIdentifier) {
    encoder.addValue(version, std::string(kTRLOnboardingLibrariesField) + "[" + kit + "]");
  }
  if (model) {
    for (const auto& [arch, uuid] : model->architectureUUIDMap()) {
      encoder.addValue(arch, "app[slices][][arch]");
      encoder.addValue(uuid, "app[slices][][uuid]");
    }
  }
  std::optional<TRLIcon> icon;
  if (parameters_.environment.icon) {
    icon = parameters_.environment.icon();
  } else if (model) {
    icon = model->icon();
  }
  if (!icon || icon->data().empty() || icon->dataHash().empty()) return;
  encoder.addValue(icon->dataHash(), "app[icon][hash]");
  encoder.addValue(icon->prerendered() ? "true" : "false", "app[icon][prerendered]");
  encoder.addValue(sizeText(icon->width()), "app[icon][width]");
  encoder.addValue(sizeText(icon->height()), "app[icon][height]");
  const auto& png = icon->data();
  encoder.addFileData(std::string_view(reinterpret_cast<const char*>(png.data()), png.size()), "icon.png",
                      "image/png", "app[icon][data]");
}

std::variant<platform::HttpRequest, KitError> TRLOnboardingOperation::appConfigureRequest() const {
  auto request = onboardingRequestForAppCreate(parameters_.shouldCreate);
  if (!request) {
    log("[Trellis] configure failed during onboarding: the endpoint gives no valid URL");
    return errorForCode(kTRLSDKOnboardingErrorInvalidEndpoint,
                        {{"NSLocalizedDescription", "The onboarding endpoint is no valid URL"}});
  }
  auto encoded = TRLMultipartMimeStreamEncoder::populateRequest(
      *request, [this](TRLMultipartMimeStreamEncoder& encoder) { encodeFields(encoder); },
      parameters_.environment.uuidSource, [this](std::string_view line) { log(line); });
  if (!encoded) {
    log(kTRLOnboardingConfigureFailedLog);
    return errorForCode(kTRLSDKOnboardingErrorEncoderFailed,
                        {{"NSLocalizedDescription", std::string(kTRLOnboardingEncoderNilDescription)}});
  }
  return std::move(*request);
}

void TRLOnboardingOperation::beginAppConfigure() {
  auto built = appConfigureRequest();
  if (auto* error = std::get_if<KitError>(&built)) {
    complete(*error);
    return;
  }
  auto client = parameters_.networkClient.lock();
  if (!client) {
    complete(TRLNetworkResponseHandler::errorForCode(kTRLNetworkErrorNoTask, {}));
    return;
  }
  const unsigned retryLimit =
      parameters_.shouldCreate ? kTRLOnboardingCreateRetryLimit : kTRLOnboardingUpdateRetryLimit;
  auto self = std::static_pointer_cast<TRLOnboardingOperation>(shared_from_this());
  // The response body is not read: success is the client's judgement.
  client->startDataTaskWithRequest(
      std::get<platform::HttpRequest>(built), retryLimit,
      [self](const std::string&, const std::optional<FLTHTTPURLResponse>&, const std::optional<KitError>& error) {
        self->complete(error);
      });
}

void TRLOnboardingOperation::complete(const std::optional<KitError>& error) {
  {
    platform::MutexLock lock(mutex_);
    if (completed_) return;
    completed_ = true;
    error_ = error;
  }
  if (auto delegate = parameters_.delegate.lock()) {
    if (parameters_.shouldCreate) {
      delegate->onboardingOperationDidCompleteAppCreationWithError(*this, error);
    } else {
      delegate->onboardingOperationDidCompleteAppUpdateWithError(*this, error);
    }
  }
  finishWithError(error);
}

}  // namespace vandrel::crash
