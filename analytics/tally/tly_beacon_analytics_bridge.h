#pragma once

// Mirrors predefined and custom analytics events to the outside analytics
// framework "BCNAnalytics" when the host application has registered one
// (crash/kit/flt_bcr_analytics.h); without it every call does nothing.
// Event types and attribute keys are mapped to the framework's names,
// prices go back from millionths to units, failed sign-ups, logins and
// purchases get their own names, and free-form names are sanitised to the
// framework's rules.

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/tally/tly_attribute_dictionary.h"
#include "crash/kit/flt_bcr_analytics.h"
#include "platform/value.h"

namespace vandrel::analytics {

class TLYEvent;
class TLYCustomEvent;
class TLYPredefinedEvent;
class TLYLogger;

inline constexpr std::string_view kTLYBeaconAnalyticsOrigin = "trl";
inline constexpr std::string_view kTLYBeaconFailedEventPrefix = "failed_";
inline constexpr std::string_view kTLYBeaconReservedPrefix = "trellis_";
inline constexpr std::string_view kTLYBeaconLevelEndEventName = "level_end";
inline constexpr std::string_view kTLYBeaconPostScoreEventName = "post_score";
inline constexpr std::size_t kTLYBeaconMaxNameLength = 40;

// Tally attribute key -> framework parameter name, in table order.
using TLYBeaconKeyMapping = std::vector<std::pair<std::string_view, std::string_view>>;

// Called from the controller's event queue; the class operations are pure.
class TLYBeaconAnalyticsBridge {
 public:
  // The registered framework class, if any.
  TLYBeaconAnalyticsBridge();
  // Keeps `beaconAnalytics` only when it answers logInternalEvent. Log lines
  // go to `logger` (the shared analytics logger when null).
  explicit TLYBeaconAnalyticsBridge(std::shared_ptr<crash::BCNAnalyticsClass> beaconAnalytics,
                                    const TLYLogger* logger = nullptr);

  bool hasBeaconAnalytics() const { return beaconAnalytics_ != nullptr; }

  // Custom and predefined events go out; other kinds are ignored.
  void logEvent(const TLYEvent& event) const;
  void logCustomEvent(const TLYCustomEvent& event) const;
  void logPredefinedEvent(const TLYPredefinedEvent& event) const;

  // None for a type the framework has no name for.
  static std::optional<std::string> beaconEventNameForTallyEventName(
      std::string_view tallyEventName, const platform::Value::Dictionary& predefinedAttributes);
  static bool shouldUseFailedEventName(std::string_view beaconEventName,
                                       const platform::Value::Dictionary& predefinedAttributes);
  static std::string failedEventName(std::string_view beaconEventName);
  static bool isFailableEvent(std::string_view beaconEventName);
  // The key mapping of a framework event name; none for an unmapped name.
  static const TLYBeaconKeyMapping* keyMappingForBeaconEventName(std::string_view beaconEventName);

  static platform::Value::Dictionary beaconEventParametersForPredefinedAttributes(
      const platform::Value::Dictionary& predefinedAttributes,
      const platform::Value::Dictionary& customAttributes, std::string_view beaconEventName);
  static platform::Value::Dictionary predefinedParametersFromPredefinedAttributes(
      const platform::Value::Dictionary& predefinedAttributes, std::string_view beaconEventName);
  static platform::Value::Dictionary extractBaseParameterDictionaryFromPredefinedAttributes(
      const platform::Value::Dictionary& predefinedAttributes, const TLYBeaconKeyMapping& keyMapping);
  static platform::Value::Dictionary transformedBaseParameters(
      platform::Value::Dictionary baseParameters, std::string_view beaconEventName);
  // Every key sanitised, values unchanged (a later key that sanitises
  // alike replaces an earlier one).
  static platform::Value::Dictionary customParametersFromCustomAttributes(
      const platform::Value::Dictionary& customAttributes);
  // The caller's attributes as given: entries whose key is not a string or
  // whose value is neither a string nor a number are left out.
  static platform::Value::Dictionary customParametersFromCustomAttributes(
      const TLYAttributeEntries& customAttributes);
  // Predefined parameters win over custom ones of the same name.
  static platform::Value::Dictionary combinedParametersFromPredefinedParameters(
      const platform::Value::Dictionary& predefinedParameters,
      const platform::Value::Dictionary& customParameters);

  static const std::set<std::string, std::less<>>& beaconReservedKeys();
  // The framework's naming rules; "" stays "".
  static std::string sanitizeKeyName(std::string_view name);
  // "trellis_unnamed_event" for a missing or empty name; cut to 40
  // characters (UTF-16 units, never splitting a pair).
  static std::string sanitizeEventName(const std::optional<std::string>& name);
  // "trellis_unnamed_parameter" for a missing or empty name; cut to 40.
  static std::string sanitizeAttributeName(const std::optional<std::string>& name);

 private:
  void send(const std::string& name, const platform::Value::Dictionary& parameters) const;

  std::shared_ptr<crash::BCNAnalyticsClass> beaconAnalytics_;
  const TLYLogger* logger_;
};

}  // namespace vandrel::analytics
