#pragma once

// Onboarding: sends the application's record (identity, versions, build
// slices, kit versions, icon) as a multipart form to the API endpoint, a
// POST that creates it or a PUT that updates it, and reports the outcome to
// its delegate (the settings manager) once.
//
// `registerWithSettingsManager` plugs this operation into the settings
// manager's onboarding hook.
//
// Every start reports exactly once, also when the form cannot be encoded or
// no request can be sent (the manager would otherwise wait for good).
//
// Queues: `main` runs on the thread that starts the operation; the outcome
// reaches the delegate on the network client's delegate queue (on the
// starting thread when no request could be sent).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "crash/kit/trl_network_operation.h"
#include "crash/kit/trl_settings_onboarding_manager.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::platform {
class Bundle;
}

namespace vandrel::crash {

class TRLNetworkClient;
class TRLApplicationIdentifierModel;
class TRLIcon;
class TRLMultipartMimeStreamEncoder;
class TRLOnboardingOperation;

inline constexpr std::string_view kTRLSDKOnboardingErrorDomain = "TRLSDKOnboardingErrorDomain";
// The form could not be encoded ("Multipart mime encoder was nil").
inline constexpr std::int64_t kTRLSDKOnboardingErrorEncoderFailed = 0;
// The endpoint and the application give no valid URL.
inline constexpr std::int64_t kTRLSDKOnboardingErrorInvalidEndpoint = -1;
inline constexpr std::string_view kTRLOnboardingEncoderNilDescription = "Multipart mime encoder was nil";
inline constexpr std::string_view kTRLOnboardingConfigureFailedLog =
    "[Trellis] configure failed during onboarding";
inline constexpr unsigned kTRLOnboardingCreateRetryLimit = 10;
inline constexpr unsigned kTRLOnboardingUpdateRetryLimit = 1;
inline constexpr std::string_view kTRLOnboardingLibrariesField = "app[build][libraries]";

class TRLOnboardingOperationDelegate {
 public:
  virtual ~TRLOnboardingOperationDelegate() = default;
  virtual void onboardingOperationDidCompleteAppCreationWithError(
      TRLOnboardingOperation& operation, const std::optional<KitError>& error) = 0;
  virtual void onboardingOperationDidCompleteAppUpdateWithError(
      TRLOnboardingOperation& operation, const std::optional<KitError>& error) = 0;
};

// What the operation reads from the process; tests give their own.
struct TRLOnboardingEnvironment {
  // The application's bundle; nullptr: the main bundle.
  const platform::Bundle* bundle = nullptr;
  // The application icon; empty: the model's.
  std::function<std::optional<TRLIcon>()> icon;
  // Console lines; empty: stderr.
  std::function<void(std::string_view line)> log;
  // Boundaries of the form; empty: random.
  std::function<std::string()> uuidSource;
};

class TRLOnboardingOperation : public TRLNetworkOperation {
 public:
  struct Parameters {
    std::weak_ptr<TRLOnboardingOperationDelegate> delegate;
    bool shouldCreate = false;
    std::map<std::string, std::string> kitVersionsByKitBundleIdentifier;
    // May be null; must outlive the operation (the registry owns it).
    const TRLApplicationIdentifierModel* appIdentifierModel = nullptr;
    std::string appEndpoint;
    std::weak_ptr<TRLNetworkClient> networkClient;
    TRLOnboardingEnvironment environment;
  };

  // None for an unusable API key.
  static std::shared_ptr<TRLOnboardingOperation> initWithDelegate(
      const std::optional<std::string>& APIKey, Parameters parameters);
  // The settings manager's factory: the completion stands in for the
  // delegate.
  static std::shared_ptr<TRLAsyncOperation> operationForRequest(const TRLOnboardingRequest& request,
                                                                TRLOnboardingCompletion completion,
                                                                TRLOnboardingEnvironment environment = {});
  static void registerWithSettingsManager();

  TRLOnboardingOperation(std::string APIKey, Parameters parameters);

  std::string_view className() const override { return "TRLOnboardingOperation"; }
  void main() override;
  void beginAppConfigure();

  bool shouldCreate() const { return parameters_.shouldCreate; }
  const std::string& appEndpoint() const { return parameters_.appEndpoint; }
  const std::map<std::string, std::string>& kitVersionsByKitBundleIdentifier() const {
    return parameters_.kitVersionsByKitBundleIdentifier;
  }

  // endpoint/spi/v1/platforms/mac/apps; none when no valid URL results.
  std::optional<std::string> appCreateURL() const;
  // endpoint/spi/v1/platforms/mac/apps/<identifier>.
  std::optional<std::string> appUpdateURL() const;
  // The common request, POST (create) or PUT (update); none without a URL.
  std::optional<platform::HttpRequest> onboardingRequestForAppCreate(bool create) const;
  // That request with the record encoded as its multipart body, its
  // "Content-Type" and "Content-Length"; the error the operation reports
  // when there is none.
  std::variant<platform::HttpRequest, KitError> appConfigureRequest() const;

  std::string appBundleIdentifier() const;
  std::optional<std::string> appName() const;
  std::optional<std::string> appBuildVersion() const;
  std::optional<std::string> appDisplayVersion() const;
  std::string appInstallSource() const;

  static KitError errorForCode(std::int64_t code, platform::Value::Dictionary userInfo);
  std::optional<KitError> error() const;

 private:
  const platform::Bundle& bundle() const;
  void log(std::string_view line) const;
  // Writes the record's fields into the encoder, in their fixed order.
  void encodeFields(TRLMultipartMimeStreamEncoder& encoder) const;
  void complete(const std::optional<KitError>& error);

  const Parameters parameters_;
  mutable platform::Mutex mutex_;
  std::optional<KitError> error_ VANDREL_GUARDED_BY(mutex_);
  bool completed_ VANDREL_GUARDED_BY(mutex_) = false;
  // Keeps the factory's completion adapter alive (the delegate is weak).
  std::shared_ptr<TRLOnboardingOperationDelegate> ownedDelegate_;
};

}  // namespace vandrel::crash
