#include "crash/kit/flt_settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "crash/kit/trl_settings_onboarding_manager.h"
#include "platform/bundle.h"
#include "platform/file_io.h"

namespace vandrel::crash {

namespace {

// Translations are small; a larger table is not read.
constexpr std::size_t kMaxStringsTableBytes = 1024 * 1024;

std::optional<std::string> mainBundleLocalizedString(std::string_view key, std::string_view table) {
  auto path = platform::Bundle::main().pathForResource(std::string(table) + ".strings", "json");
  if (!path) return std::nullopt;
  int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  const bool read = platform::readAll(fd, text, kMaxStringsTableBytes);
  ::close(fd);
  if (!read) return std::nullopt;
  auto parsed = platform::Value::fromJson(text);
  if (!parsed) return std::nullopt;
  const platform::Value* value = parsed.value().find(key);
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

// Skips blanks, then an optional sign, then leading zeros.
std::string_view numberStart(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && text[i] == '0') ++i;
  return text.substr(i);
}

}  // namespace

FLTSettings::FLTSettings(std::optional<Dictionary> settingsDictionary, FLTSettingsEnvironment environment)
    : settingsDictionary_(std::move(settingsDictionary)), environment_(std::move(environment)) {}

std::optional<FLTSettings::Dictionary> FLTSettings::configuration() const {
  if (environment_.configuration) return environment_.configuration();
  const auto& info = platform::Bundle::main().infoDictionary();
  auto it = info.find(std::string(kFLTSettingsConfigurationInfoKey));
  if (it == info.end() || it->second.asDictionary() == nullptr) return std::nullopt;
  return *it->second.asDictionary();
}

FLTSettings::Dictionary FLTSettings::defaultConfiguration() {
  // The API endpoint is the one onboarding talks to.
  const Dictionary trellis = TRLSettingsOnboardingManager::defaultConfiguration();
  platform::Value api = trellis.at(std::string(kTRLConfigureEndpointKey));
  return {{std::string(kFLTReportsEndpointKey), std::string(kFLTDefaultReportsEndpoint)},
          {std::string(kFLTBetaEndpointKey), std::move(api)},
          {std::string(kFLTPackageReportsKey), true},
          {std::string(kFLTSubmitReportsKey), true},
          {std::string(kFLTUrgentReportsKey), true}};
}

std::optional<platform::Value> FLTSettings::valueForConfigurationKey(std::string_view key) const {
  const std::string variable = std::string(kFLTSettingsEnvironmentPrefix) + std::string(key);
  std::optional<std::string> overridden;
  if (environment_.environmentValue) {
    overridden = environment_.environmentValue(variable);
  } else if (const char* value = std::getenv(variable.c_str())) {
    overridden = std::string(value);
  }
  if (overridden) {
    log("[Faultline:Crash] override: '" + std::string(key) + "' => '" + *overridden + "'");
    return platform::Value(*overridden);
  }
  if (auto configured = configuration()) {
    auto it = configured->find(std::string(key));
    if (it != configured->end()) return it->second;
  }
  const Dictionary defaults = defaultConfiguration();
  auto it = defaults.find(std::string(key));
  if (it != defaults.end()) return it->second;
  return std::nullopt;
}

std::string FLTSettings::configurationString(std::string_view key) const {
  auto value = valueForConfigurationKey(key);
  if (value && value->asString() != nullptr) return *value->asString();
  // A configured value that is no string cannot be a URL: the built-in one
  // stands.
  const Dictionary defaults = defaultConfiguration();
  return *defaults.at(std::string(key)).asString();
}

bool FLTSettings::configurationBool(std::string_view key, bool defaultValue) const {
  auto value = valueForConfigurationKey(key);
  if (!value) return defaultValue;
  return boolValue(*value).value_or(defaultValue);
}

std::string FLTSettings::reportsEndpoint() const { return configurationString(kFLTReportsEndpointKey); }
std::string FLTSettings::betaEndpoint() const { return configurationString(kFLTBetaEndpointKey); }
bool FLTSettings::shouldPackageReports() const { return configurationBool(kFLTPackageReportsKey, true); }
bool FLTSettings::shouldSubmitReports() const { return configurationBool(kFLTSubmitReportsKey, true); }
bool FLTSettings::canProcessUrgentReports() const { return configurationBool(kFLTUrgentReportsKey, true); }

const platform::Value* FLTSettings::settingsValue(std::string_view section, std::string_view key) const {
  if (!settingsDictionary_) return nullptr;
  auto it = settingsDictionary_->find(std::string(section));
  if (it == settingsDictionary_->end()) return nullptr;
  return it->second.find(key);
}

bool FLTSettings::settingsBool(std::string_view section, std::string_view key, bool defaultValue) const {
  const platform::Value* value = settingsValue(section, key);
  if (value == nullptr) return defaultValue;
  return boolValue(*value).value_or(defaultValue);
}

std::uint32_t FLTSettings::settingsUnsigned(std::string_view section, std::string_view key,
                                            std::uint32_t defaultValue) const {
  const platform::Value* value = settingsValue(section, key);
  if (value == nullptr) return defaultValue;
  return unsignedIntValue(*value).value_or(defaultValue);
}

bool FLTSettings::crashReportingEnabled() const { return settingsBool("features", "collect_reports", true); }
bool FLTSettings::errorReportingEnabled() const {
  return settingsBool("features", "collect_logged_exceptions", true);
}
bool FLTSettings::userPromptEnabled() const { return settingsBool("features", "prompt_enabled", false); }
bool FLTSettings::beaconFaultlineEnabled() const {
  return settingsBool("features", "beacon_faultline_enabled", false);
}

platform::Value FLTSettings::betaSuspendDuration() const {
  const platform::Value* value = settingsValue("beta", "update_suspend_duration");
  if (value != nullptr && (value->type() == platform::Value::Type::Int ||
                           value->type() == platform::Value::Type::Double)) {
    return *value;
  }
  return platform::Value(kFLTDefaultBetaSuspendDuration);
}

std::uint32_t FLTSettings::logBufferSize() const {
  return settingsUnsigned("session", "log_buffer_size", kFLTDefaultLogBufferSize);
}
std::uint32_t FLTSettings::maxCustomExceptions() const {
  return settingsUnsigned("session", "max_custom_exception_events", kFLTDefaultMaxCustomExceptions);
}
std::uint32_t FLTSettings::maxCustomKeys() const {
  return settingsUnsigned("session", "max_custom_key_value_pairs", kFLTDefaultMaxCustomKeys);
}

std::string FLTSettings::promptValueForSettingsKey(std::string_view settingsKey,
                                                   std::string_view localizedKey,
                                                   std::string_view defaultValue) const {
  std::string value(defaultValue);
  const platform::Value* configured = settingsValue("prompt", settingsKey);
  if (configured != nullptr && configured->asString() != nullptr) value = *configured->asString();
  std::optional<std::string> translated =
      environment_.localizedString ? environment_.localizedString(localizedKey, kFLTSettingsStringsTable)
                                   : mainBundleLocalizedString(localizedKey, kFLTSettingsStringsTable);
  return translated ? *translated : value;
}

std::string FLTSettings::interactivePromptTitle() const {
  return promptValueForSettingsKey("title", "FaultlineCrashSubmissionPromptTitle", "Send Crash Report?");
}
std::string FLTSettings::interactivePromptMessage() const {
  return promptValueForSettingsKey(
      "message", "FaultlineCrashSubmissionPromptMessage",
      "Looks like we crashed! Please help us fix the problem by sending a crash report.");
}
std::string FLTSettings::interactivePromptCancelTitle() const {
  return promptValueForSettingsKey("cancel_button_title", "FaultlineCrashSubmissionCancelTitle", "Don't Send");
}
std::string FLTSettings::interactivePromptSendTitle() const {
  return promptValueForSettingsKey("send_button_title", "FaultlineCrashSubmissionSendTitle", "Send");
}
std::string FLTSettings::interactivePromptAlwaysSendTitle() const {
  return promptValueForSettingsKey("always_send_button_title", "FaultlineCrashSubmissionAlwaysSendTitle",
                                   "Always Send");
}

std::optional<bool> FLTSettings::boolValue(const platform::Value& value) {
  using T = platform::Value::Type;
  switch (value.type()) {
    case T::Bool:
      return *value.asBool();
    case T::Int:
      return *value.asInt() != 0;
    case T::Double:
      return *value.asDouble() != 0.0;
    case T::String: {
      std::string_view rest = numberStart(*value.asString());
      if (rest.empty()) return false;
      const char c = rest.front();
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::uint32_t> FLTSettings::unsignedIntValue(const platform::Value& value) {
  using T = platform::Value::Type;
  constexpr double kMax = std::numeric_limits<std::uint32_t>::max();
  switch (value.type()) {
    case T::Bool:
      return *value.asBool() ? 1u : 0u;
    case T::Int: {
      const std::int64_t i = *value.asInt();
      if (i < 0 || i > static_cast<std::int64_t>(kMax)) return std::nullopt;
      return static_cast<std::uint32_t>(i);
    }
    case T::Double: {
      const double d = std::trunc(*value.asDouble());
      if (!std::isfinite(d) || d < 0 || d > kMax) return std::nullopt;
      return static_cast<std::uint32_t>(d);
    }
    case T::String: {
      const std::string& text = *value.asString();
      if (text.empty() || text.size() > 10) return std::nullopt;
      std::uint64_t n = 0;
      for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
      }
      if (n > static_cast<std::uint64_t>(kMax)) return std::nullopt;
      return static_cast<std::uint32_t>(n);
    }
    default:
      return std::nullopt;
  }
}

void FLTSettings::log(std::string_view line) const {
  if (environment_.log) {
    environment_.log(line);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

}  // namespace vandrel::crash
