#pragma once

// Small pieces of the configuration core: the once-a-day heartbeat
// bookkeeping, the shared configuration with the analytics-collection
// switch, and the bundle functions.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/core/bcn_gru_heartbeat_date_storage.h"
#include "analytics/core/bcn_logger.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/value.h"

namespace vandrel::platform {
class Bundle;
class Defaults;
class NotificationCenter;
}  // namespace vandrel::platform

namespace vandrel::analytics {

inline constexpr std::string_view kBCNHeartbeatStorageFileName = "HEARTBEAT_INFO_STORAGE";
inline constexpr std::string_view kBCNHeartbeatGlobalTag = "GLOBAL";
inline constexpr double kBCNHeartbeatInterval = 86400;  // seconds

// Once-a-day marks per tag. Any thread: updates are serialised on the serial
// queue "com.gryphon.BCNHeartbeatInfo" (never call in from a job of it).
class BCNHeartbeatInfo {
 public:
  // On the process's "HEARTBEAT_INFO_STORAGE" with the system clock.
  static bool updateIfNeededHeartbeatDateForTag(std::string_view tag);
  static std::int64_t heartbeatCodeForTag(std::string_view tag);

  BCNHeartbeatInfo(std::shared_ptr<GRUHeartbeatDateStorage> storage, platform::Clock& clock);
  // True (and now stored) when the tag has no date, its date is at least a
  // day old or lies in the future; false when within the day or when
  // storing failed.
  bool updateIfNeeded(std::string_view tag);
  // 0 none updated, 1 only `tag`, 2 only "GLOBAL", 3 both.
  std::int64_t heartbeatCode(std::string_view tag);

 private:
  static BCNHeartbeatInfo& shared();

  const std::shared_ptr<GRUHeartbeatDateStorage> storage_;
  platform::Clock& clock_;
  platform::SerialQueue queue_{"com.gryphon.BCNHeartbeatInfo"};
};

inline constexpr std::string_view kBCNAnalyticsConfigurationSetEnabledNotification =
    "BCNAnalyticsConfigurationSetEnabledNotification";
inline constexpr std::string_view kBCNAPersistedConfigMeasurementEnabledStateKey =
    "/gryphon/measurement/measurement_enabled_state";
inline constexpr std::int64_t kBCNAnalyticsEnabledStateSetYes = 1;
inline constexpr std::int64_t kBCNAnalyticsEnabledStateSetNo = 2;

// The analytics-collection switch. Any thread.
class BCNAnalyticsConfiguration {
 public:
  // On the standard user defaults and the shared notification center.
  static BCNAnalyticsConfiguration& sharedInstance();

  BCNAnalyticsConfiguration(platform::Defaults& defaults, platform::NotificationCenter& center);

  // Posts `name` with this object as sender and user info {name: value};
  // nothing for an empty name or a null value.
  void postNotificationName(std::string_view name, const platform::Value& value);
  void setAnalyticsCollectionEnabled(bool enabled);  // persisted
  void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting);

 private:
  platform::Defaults& defaults_;
  platform::NotificationCenter& center_;
};

class BCNConfiguration {
 public:
  static BCNConfiguration& sharedInstance();
  explicit BCNConfiguration(BCNAnalyticsConfiguration& analyticsConfiguration);

  BCNAnalyticsConfiguration& analyticsConfiguration() const { return analyticsConfiguration_; }
  void setLoggerLevel(BCNLoggerLevel level);

 private:
  BCNAnalyticsConfiguration& analyticsConfiguration_;
};

class BCNBundleUtil {
 public:
  // The main bundle, then the bundle holding this code when it is another.
  static std::vector<const platform::Bundle*> relevantBundles();
  // Path of <name>.<type> in the first bundle that has it.
  static std::optional<std::string> optionsDictionaryPathWithResourceName(
      std::string_view resourceName, std::string_view fileType,
      const std::vector<const platform::Bundle*>& bundles);
  // Every "CFBundleURLSchemes" element of every "CFBundleURLTypes" entry of
  // the relevant bundles, in order.
  static std::vector<std::string> relevantURLSchemes();
  static std::vector<std::string> urlSchemesOfBundles(
      const std::vector<const platform::Bundle*>& bundles);
  // `isAppExtension` defaults to the environment's answer.
  static bool hasBundleIdentifierPrefix(std::string_view prefix,
                                        const std::vector<const platform::Bundle*>& bundles);
  static bool hasBundleIdentifierPrefix(std::string_view prefix,
                                        const std::vector<const platform::Bundle*>& bundles,
                                        bool isAppExtension);
  static std::string bundleIdentifierByRemovingLastPartFrom(std::string_view bundleIdentifier);
};

}  // namespace vandrel::analytics
