#pragma once

// Hands the facts of a configured app to the core-diagnostics sender when
// that sender is linked into the process. The sender registers itself by
// name ("BCNCoreDiagnostics"); without it nothing is built or sent.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/core/bcn_app_facts.h"
#include "platform/value.h"

namespace vandrel::analytics {

class BCNOptions;

// Keys of the diagnostics dictionary.
inline constexpr std::string_view kBCNCDIsDataCollectionDefaultEnabledKey =
    "BCNCDIsDataCollectionDefaultEnabledKey";  // bool
inline constexpr std::string_view kBCNCDBeaconUserAgentKey = "BCNCDBeaconUserAgentKey";  // string
inline constexpr std::string_view kBCNCDConfigurationTypeKey = "BCNCDConfigurationTypeKey";  // int
inline constexpr std::string_view kBCNCDGryphonAppIDKey = "BCNCDGryphonAppIDKey";  // string
inline constexpr std::string_view kBCNCDBundleIDKey = "BCNCDBundleID";             // string
inline constexpr std::string_view kBCNCDUsingOptionsFromDefaultPlistKey =
    "BCNCDUsingOptionsFromDefaultPlistKey";  // bool
inline constexpr std::string_view kBCNCDLibraryVersionIDKey = "BCNCDLibraryVersionIDKey";  // string
inline constexpr std::string_view kBCNCDllAppsCountKey = "BCNCDllAppsCountKey";  // int, >= 0
// Read by the sender; the connector never writes them.
inline constexpr std::string_view kBCNCDSdkNameKey = "BCNCDSdkNameKey";
inline constexpr std::string_view kBCNCDSdkVersionKey = "BCNCDSdkVersionKey";

// The name under which the sender registers.
inline constexpr std::string_view kBCNCoreDiagnosticsClassName = "BCNCoreDiagnostics";

// What the sender receives.
class BCNCoreDiagnosticsData {
 public:
  virtual ~BCNCoreDiagnosticsData() = default;
  virtual const platform::Value::Dictionary& diagnosticObjects() = 0;
};

// One diagnostics record. Filled on one thread, then handed to the sender.
class BCNDiagnosticsData final : public BCNCoreDiagnosticsData {
 public:
  // `facts` answers the defaults of diagnosticObjects(); empty = the
  // process-wide provider (BCNCurrentAppFacts).
  explicit BCNDiagnosticsData(BCNAppFactsProvider facts = {});

  // An absent key changes nothing; a null value removes the key.
  void insertValue(platform::Value value, std::optional<std::string_view> key);

  // Fills the missing defaults (apps count, the default app's
  // data-collection default, user agent), then answers the dictionary.
  const platform::Value::Dictionary& diagnosticObjects() override;

 private:
  BCNAppFactsProvider facts_;
  platform::Value::Dictionary diagnosticObjects_;
};

using BCNCoreDiagnosticsSender = std::function<void(std::shared_ptr<BCNCoreDiagnosticsData>)>;

// The by-name registry of diagnostics senders. Any thread; a second
// registration under a name replaces the first.
void BCNRegisterCoreDiagnosticsSender(std::string name, BCNCoreDiagnosticsSender sender);
std::optional<BCNCoreDiagnosticsSender> BCNLookUpCoreDiagnosticsSender(std::string_view name);

class BCNCoreDiagnosticsConnector {
 public:
  // Looks up the sender named "BCNCoreDiagnostics" once per process.
  static void initialize();
  // Builds the record from `options` and sends it, when the sender exists.
  static void logCoreTelemetryWithOptions(const BCNOptions& options);

  // The same on a given sender (none: nothing happens) and facts provider.
  BCNCoreDiagnosticsConnector(std::optional<BCNCoreDiagnosticsSender> sender,
                              BCNAppFactsProvider facts = {});
  void logCoreTelemetry(const BCNOptions& options) const;

 private:
  std::optional<BCNCoreDiagnosticsSender> sender_;
  BCNAppFactsProvider facts_;
};

}  // namespace vandrel::analytics
