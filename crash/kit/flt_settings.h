#pragma once

// The crash kit's view of its configuration. Two sources answer:
//  - the app's own configuration, for endpoints and processing switches:
//    the process environment ("Faultline" + key), then the bundle's Info
//    "Faultline" dictionary, then the built-in defaults;
//  - the downloaded settings dictionary ("settings.json"), for feature
//    switches, limits and the texts of the crash-submission prompt.
// Every question has a fixed default, so the kit behaves sensibly before any
// settings were ever downloaded.
//
// Values of an unexpected type are read leniently where that has a clear
// meaning (a number as a switch, a "NO" string as off) and give the default
// where it has none (an array as a switch, a negative buffer size), so no
// downloaded value can stop the kit or ask for an absurd buffer.
//
// Immutable after construction: any thread may read it. Nothing is cached;
// the environment and the sources are asked on every call.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace vandrel::platform {
class Bundle;
}

namespace vandrel::crash {

// The Info dictionary and the environment prefix of the crash kit's keys.
inline constexpr std::string_view kFLTSettingsConfigurationInfoKey = "Faultline";
inline constexpr std::string_view kFLTSettingsEnvironmentPrefix = "Faultline";
// The strings table the prompt texts are translated in.
inline constexpr std::string_view kFLTSettingsStringsTable = "Faultline";

// App configuration keys.
inline constexpr std::string_view kFLTReportsEndpointKey = "ReportsEndpoint";
inline constexpr std::string_view kFLTBetaEndpointKey = "BetaEndpoint";
inline constexpr std::string_view kFLTPackageReportsKey = "PackageReports";
inline constexpr std::string_view kFLTSubmitReportsKey = "SubmitReports";
inline constexpr std::string_view kFLTUrgentReportsKey = "UrgentReports";

// The reports endpoint of this build. The host lies under the reserved
// ".invalid" domain until a deployment configures its own (Info
// "Faultline"/"ReportsEndpoint" or the environment).
inline constexpr std::string_view kFLTDefaultReportsEndpoint = "https://reports.faultline.invalid";

inline constexpr std::uint32_t kFLTDefaultLogBufferSize = 65536;
inline constexpr std::uint32_t kFLTDefaultMaxCustomExceptions = 16;
inline constexpr std::uint32_t kFLTDefaultMaxCustomKeys = 16;
inline constexpr std::int64_t kFLTDefaultBetaSuspendDuration = 3600;

// What the settings read from the process; tests build their own.
struct FLTSettingsEnvironment {
  // A process environment variable; empty: getenv.
  std::function<std::optional<std::string>(std::string_view name)> environmentValue;
  // The Info "Faultline" value (none when absent or not a dictionary);
  // empty: the main bundle's.
  std::function<std::optional<platform::Value::Dictionary>()> configuration;
  // The translation of `key` in strings table `table`; none when there is
  // none. Empty: the main bundle's "<table>.strings.json" resource (a JSON
  // object of strings).
  std::function<std::optional<std::string>(std::string_view key, std::string_view table)>
      localizedString;
  // The system log; empty: stderr.
  std::function<void(std::string_view line)> log;
};

class FLTSettings {
 public:
  using Dictionary = platform::Value::Dictionary;

  // `settingsDictionary` may be none (nothing downloaded yet).
  explicit FLTSettings(std::optional<Dictionary> settingsDictionary,
                       FLTSettingsEnvironment environment = {});
  static FLTSettings initWithDictionary(std::optional<Dictionary> settingsDictionary) {
    return FLTSettings(std::move(settingsDictionary));
  }

  const std::optional<Dictionary>& settingsDictionary() const { return settingsDictionary_; }

  // The Info "Faultline" dictionary, or none.
  std::optional<Dictionary> configuration() const;
  // The built-in values of the app configuration keys.
  static Dictionary defaultConfiguration();
  // The environment variable "Faultline"+key (a string; the override is
  // logged), else the configuration's value, else the default's; none when
  // no source has the key.
  std::optional<platform::Value> valueForConfigurationKey(std::string_view key) const;

  // App configuration.
  std::string reportsEndpoint() const;
  std::string betaEndpoint() const;
  bool shouldPackageReports() const;
  bool shouldSubmitReports() const;
  bool canProcessUrgentReports() const;

  // Downloaded settings.
  bool crashReportingEnabled() const;
  bool errorReportingEnabled() const;
  bool customExceptionsEnabled() const { return errorReportingEnabled(); }
  bool userPromptEnabled() const;
  bool beaconFaultlineEnabled() const;
  // Seconds, as stored (an int or a double); 3600 when absent or no number.
  platform::Value betaSuspendDuration() const;
  std::uint32_t logBufferSize() const;
  std::uint32_t errorLogBufferSize() const { return logBufferSize(); }
  std::uint32_t maxCustomExceptions() const;
  std::uint32_t maxCustomKeys() const;

  // The "prompt" section's text for `settingsKey` (else `defaultValue`),
  // then its translation under `localizedKey` in the "Faultline" table when
  // the app has one.
  std::string promptValueForSettingsKey(std::string_view settingsKey,
                                        std::string_view localizedKey,
                                        std::string_view defaultValue) const;
  std::string interactivePromptTitle() const;
  std::string interactivePromptMessage() const;
  std::string interactivePromptCancelTitle() const;
  std::string interactivePromptSendTitle() const;
  std::string interactivePromptAlwaysSendTitle() const;

  // The platform's lenient readings. A string is true when, after blanks
  // and an optional sign and leading zeros, it starts with Y, y, T, t or a
  // digit 1-9; a number when not zero. Other types: none.
  static std::optional<bool> boolValue(const platform::Value& value);
  // Whole numbers 0 to 2^32-1: an int, a double cut to its whole part, a
  // bool as 0 or 1, a string of decimal digits. Anything else (negative,
  // too large, not a number): none.
  static std::optional<std::uint32_t> unsignedIntValue(const platform::Value& value);

 private:
  // The value under section/key of the downloaded settings.
  const platform::Value* settingsValue(std::string_view section, std::string_view key) const;
  bool settingsBool(std::string_view section, std::string_view key, bool defaultValue) const;
  std::uint32_t settingsUnsigned(std::string_view section, std::string_view key,
                                 std::uint32_t defaultValue) const;
  bool configurationBool(std::string_view key, bool defaultValue) const;
  std::string configurationString(std::string_view key) const;
  void log(std::string_view line) const;

  const std::optional<Dictionary> settingsDictionary_;
  const FLTSettingsEnvironment environment_;
};

}  // namespace vandrel::crash
