#include "analytics/tally/tly_settings.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "crash/kit/trl_url_builder.h"

namespace vandrel::analytics {
namespace {

std::string_view trimmedNumberText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                           text.front() == '\r')) {
    text.remove_prefix(1);
  }
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return text;
}

// The leading decimal number of the text, as a numeric string reads.
std::optional<double> doubleFromString(std::string_view text) {
  text = trimmedNumberText(text);
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

std::optional<std::int64_t> intFromString(std::string_view text) {
  text = trimmedNumberText(text);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// A string is true when, after blanks, a sign and leading zeros, it starts
// with Y, y, T, t or a digit 1 to 9.
bool boolFromString(std::string_view text) {
  text = trimmedNumberText(text);
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  while (!text.empty() && text.front() == '0') text.remove_prefix(1);
  if (text.empty()) return false;
  const char c = text.front();
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<std::int64_t> intFromDouble(double d) {
  if (!std::isfinite(d)) return std::nullopt;
  const double t = std::trunc(d);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (t >= 9223372036854775808.0 || t < -9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

}  // namespace

TLYSettings::TLYSettings(std::optional<platform::Value::Dictionary> settingsDictionary)
    : settingsDictionary_(std::move(settingsDictionary)) {}

const platform::Value* TLYSettings::value(std::string_view section, std::string_view key) const {
  if (!settingsDictionary_) return nullptr;
  const auto it = settingsDictionary_->find(std::string(section));
  if (it == settingsDictionary_->end()) return nullptr;
  return it->second.find(key);  // nullptr when the section is not a dictionary
}

bool TLYSettings::boolValue(std::string_view section, std::string_view key, bool fallback) const {
  const platform::Value* v = value(section, key);
  if (v == nullptr) return fallback;
  if (auto b = v->asBool()) return *b;
  if (auto i = v->asInt()) return *i != 0;
  if (auto d = v->asDouble()) return *d != 0.0;
  if (const std::string* s = v->asString()) return boolFromString(*s);
  return fallback;
}

std::int64_t TLYSettings::intValue(std::string_view section, std::string_view key,
                                   std::int64_t fallback) const {
  const platform::Value* v = value(section, key);
  if (v == nullptr) return fallback;
  if (auto i = v->asInt()) return *i;
  if (auto b = v->asBool()) return *b ? 1 : 0;
  if (auto d = v->asDouble()) return intFromDouble(*d).value_or(fallback);
  if (const std::string* s = v->asString()) return intFromString(*s).value_or(fallback);
  return fallback;
}

double TLYSettings::doubleValue(std::string_view section, std::string_view key, double fallback) const {
  const platform::Value* v = value(section, key);
  if (v == nullptr) return fallback;
  if (auto d = v->asDouble()) return *d;
  if (auto i = v->asInt()) return static_cast<double>(*i);
  if (auto b = v->asBool()) return *b ? 1.0 : 0.0;
  if (const std::string* s = v->asString()) return doubleFromString(*s).value_or(fallback);
  return fallback;
}

std::string TLYSettings::defaultTallyURL() {
  return "https://" + std::string(kTLYDefaultEventsHost) + std::string(kTLYEventsPath);
}

std::optional<std::string> TLYSettings::tallyURL() const {
  const platform::Value* v = value(kTLYSettingsAnalyticsSection, kTLYSettingsURLKey);
  if (v == nullptr) return defaultTallyURL();
  const std::string* s = v->asString();
  if (s == nullptr) return defaultTallyURL();
  return crash::TRLURLBuilder::URLWithBase(*s).URL();
}

bool TLYSettings::shouldCollectAnalytics() const {
  return boolValue(kTLYSettingsFeaturesSection, kTLYSettingsCollectAnalyticsKey, true);
}

bool TLYSettings::shouldForwardToBeaconAnalytics() const {
  return boolValue(kTLYSettingsAnalyticsSection, kTLYSettingsForwardKey, false);
}

bool TLYSettings::shouldIncludePurchaseEventsInForwardedBeaconEvents() const {
  return boolValue(kTLYSettingsAnalyticsSection, kTLYSettingsIncludePurchaseEventsKey, false);
}

std::int64_t TLYSettings::maximumPayloadSize() const {
  return intValue(kTLYSettingsAnalyticsSection, kTLYSettingsMaxByteSizeKey, kTLYDefaultMaximumPayloadSize);
}

std::int64_t TLYSettings::maxPendingSendFiles() const {
  return intValue(kTLYSettingsAnalyticsSection, kTLYSettingsMaxPendingFilesKey,
                  kTLYDefaultMaxPendingSendFiles);
}

double TLYSettings::flushInterval() const {
  return doubleValue(kTLYSettingsAnalyticsSection, kTLYSettingsFlushIntervalKey, kTLYDefaultFlushInterval);
}

std::int64_t TLYSettings::samplingRate() const {
  return intValue(kTLYSettingsAnalyticsSection, kTLYSettingsSamplingRateKey, kTLYDefaultSamplingRate);
}

double TLYSettings::defaultUploadTimeout() const {
  return doubleValue(kTLYSettingsAnalyticsSection, kTLYSettingsUploadTimeoutKey, kTLYDefaultUploadTimeout);
}

double TLYSettings::lowPowerUploadTimeout() const {
  return doubleValue(kTLYSettingsAnalyticsSection, kTLYSettingsLowPowerUploadTimeoutKey,
                     kTLYDefaultLowPowerUploadTimeout);
}

}  // namespace vandrel::analytics
