#pragma once

// The analytics kit's view of the downloaded SDK settings: every analytics
// setting with its built-in default when the server did not send it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace vandrel::analytics {

// Sections and keys of the settings dictionary read here.
inline constexpr std::string_view kTLYSettingsAnalyticsSection = "analytics";
inline constexpr std::string_view kTLYSettingsFeaturesSection = "features";
inline constexpr std::string_view kTLYSettingsURLKey = "url";
inline constexpr std::string_view kTLYSettingsCollectAnalyticsKey = "collect_analytics";
inline constexpr std::string_view kTLYSettingsForwardKey = "forward_to_gryphon_analytics";
inline constexpr std::string_view kTLYSettingsIncludePurchaseEventsKey =
    "include_purchase_events_in_forwarded_events";
inline constexpr std::string_view kTLYSettingsMaxByteSizeKey = "max_byte_size_per_file";
inline constexpr std::string_view kTLYSettingsMaxPendingFilesKey = "max_pending_send_file_count";
inline constexpr std::string_view kTLYSettingsFlushIntervalKey = "flush_interval_secs";
inline constexpr std::string_view kTLYSettingsSamplingRateKey = "sampling_rate";
inline constexpr std::string_view kTLYSettingsUploadTimeoutKey = "upload_timeout_secs";
inline constexpr std::string_view kTLYSettingsLowPowerUploadTimeoutKey =
    "low_power_upload_timeout_secs";

// The events endpoint used when the settings name none. The host is a
// deployment value; the placeholder lies under the reserved ".invalid"
// domain, so an unconfigured build reaches no one.
inline constexpr std::string_view kTLYDefaultEventsHost = "events.tally.invalid";
inline constexpr std::string_view kTLYEventsPath = "/spi/v2/events";

inline constexpr std::int64_t kTLYDefaultMaximumPayloadSize = 8000;
inline constexpr std::int64_t kTLYDefaultMaxPendingSendFiles = 100;
inline constexpr double kTLYDefaultFlushInterval = 0.0;
inline constexpr std::int64_t kTLYDefaultSamplingRate = 1;
inline constexpr double kTLYDefaultUploadTimeout = 21600.0;
inline constexpr double kTLYDefaultLowPowerUploadTimeout = 3600.0;

// Immutable; any thread. Every answer is computed from the dictionary on
// demand. A value is read as a bool, an integer or a double from a number
// (int, double or bool) or a numeric string; a section that is not a
// dictionary, or a value of any other type or an unparsable string, reads
// as absent and gives the default.
class TLYSettings {
 public:
  explicit TLYSettings(std::optional<platform::Value::Dictionary> settingsDictionary = std::nullopt);

  const std::optional<platform::Value::Dictionary>& settingsDictionary() const {
    return settingsDictionary_;
  }
  // True when a settings dictionary is present.
  bool valid() const { return settingsDictionary_.has_value(); }

  // "analytics"/"url" when it forms a URL; none for a string that does not.
  // Without the key: https://<default host>/spi/v2/events.
  std::optional<std::string> tallyURL() const;
  // "features"/"collect_analytics", default true.
  bool shouldCollectAnalytics() const;
  bool shouldForwardToBeaconAnalytics() const;
  bool shouldIncludePurchaseEventsInForwardedBeaconEvents() const;
  // Bytes; default 8000.
  std::int64_t maximumPayloadSize() const;
  // Default 100.
  std::int64_t maxPendingSendFiles() const;
  // Seconds; default 0.
  double flushInterval() const;
  // Default 1.
  std::int64_t samplingRate() const;
  // Seconds; defaults 21600 and 3600.
  double defaultUploadTimeout() const;
  double lowPowerUploadTimeout() const;

  static std::string defaultTallyURL();

 private:
  const platform::Value* value(std::string_view section, std::string_view key) const;
  bool boolValue(std::string_view section, std::string_view key, bool fallback) const;
  std::int64_t intValue(std::string_view section, std::string_view key, std::int64_t fallback) const;
  double doubleValue(std::string_view section, std::string_view key, double fallback) const;

  std::optional<platform::Value::Dictionary> settingsDictionary_;
};

}  // namespace vandrel::analytics
