#include "analytics/tally/tly_beacon_analytics_bridge.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <array>
#include <cmath>
#include <utility>

#include "analytics/tally/tly_event.h"
#include "analytics/tally/tly_logger.h"

namespace vandrel::analytics {

using platform::Value;

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 12> kEventNames{{
    {"content_view", "select_content"},
    {"share", "share"},
    {"sign_up", "sign_up"},
    {"login", "login"},
    {"search", "search"},
    {"purchase", "ecommerce_purchase"},
    {"add_to_cart", "add_to_cart"},
    {"start_checkout", "begin_checkout"},
    {"level_start", "level_start"},
    {"level_end", "level_end"},
    {"invite", "invite"},
    {"rating", "rate_content"},
}};

constexpr std::array<std::string_view, 3> kFailableEvents{"ecommerce_purchase", "login",
                                                          "sign_up"};

const std::vector<std::pair<std::string_view, TLYBeaconKeyMapping>>& keyMappings() {
  static const auto* mappings = new std::vector<std::pair<std::string_view, TLYBeaconKeyMapping>>{
      {"select_content",
       {{"content_type", "content_type"}, {"content_id", "item_id"}, {"content_name", "item_name"}}},
      {"share",
       {{"content_type", "content_type"},
        {"content_id", "item_id"},
        {"content_name", "item_name"},
        {"method", "method"}}},
      {"sign_up", {{"method", "method"}, {"success", "success"}}},
      {"login", {{"method", "method"}, {"success", "success"}}},
      {"search", {{"query", "search_term"}}},
      {"ecommerce_purchase",
       {{"currency", "currency"},
        {"item_price", "value"},
        {"success", "success"},
        {"item_type", "item_category"},
        {"item_id", "item_id"},
        {"item_name", "item_name"}}},
      {"add_to_cart",
       {{"item_type", "item_category"},
        {"item_id", "item_id"},
        {"item_name", "item_name"},
        {"item_price", "price"},
        {"currency", "currency"}}},
      {"begin_checkout",
       {{"currency", "currency"}, {"total_price", "value"}, {"item_count", "quantity"}}},
      {"rate_content",
       {{"rating", "rating"},
        {"content_type", "content_type"},
        {"content_id", "item_id"},
        {"content_name", "item_name"}}},
      {"level_start", {{"level_name", "level_name"}}},
      {"level_end", {{"level_name", "level_name"}, {"score", "score"}, {"success", "success"}}},
      {"invite", {{"method", "method"}}},
  };
  return *mappings;
}

bool isPriceKey(std::string_view key) { return key == "item_price" || key == "total_price"; }

bool isStringOrNumber(const Value& value) {
  switch (value.type()) {
    case Value::Type::String:
    case Value::Type::Int:
    case Value::Type::Double:
    case Value::Type::Bool:
      return true;
    default:
      return false;
  }
}

// The first `limit` UTF-16 units, leaving out a pair the limit would split.
icu::UnicodeString cutToLength(const icu::UnicodeString& text, std::size_t limit) {
  const auto max = static_cast<int32_t>(limit);
  if (text.length() <= max) return text;
  int32_t end = max;
  if (U16_IS_LEAD(text.charAt(end - 1)) && U16_IS_TRAIL(text.charAt(end))) --end;
  return icu::UnicodeString(text, 0, end);
}

std::string sanitizeNameWithDefault(const std::optional<std::string>& name,
                                    std::string_view defaultSuffix) {
  if (!name || name->empty()) {
    return std::string(kTLYBeaconReservedPrefix) + std::string(defaultSuffix);
  }
  const std::string sanitized = TLYBeaconAnalyticsBridge::sanitizeKeyName(*name);
  std::string out;
  cutToLength(icu::UnicodeString::fromUTF8(sanitized), kTLYBeaconMaxNameLength).toUTF8String(out);
  return out;
}

std::string describeParameters(const Value::Dictionary& parameters) {
  return Value(parameters).toJson(2);
}

}  // namespace

TLYBeaconAnalyticsBridge::TLYBeaconAnalyticsBridge()
    : TLYBeaconAnalyticsBridge(crash::BCNAnalyticsLookUpClass()) {}

TLYBeaconAnalyticsBridge::TLYBeaconAnalyticsBridge(
    std::shared_ptr<crash::BCNAnalyticsClass> beaconAnalytics, const TLYLogger* logger)
    : beaconAnalytics_(beaconAnalytics && beaconAnalytics->respondsToLogInternalEvent()
                           ? std::move(beaconAnalytics)
                           : nullptr),
      logger_(logger ? logger : &TLYLogger::sharedLogger()) {}

void TLYBeaconAnalyticsBridge::logEvent(const TLYEvent& event) const {
  if (!beaconAnalytics_) return;
  if (const auto* custom = dynamic_cast<const TLYCustomEvent*>(&event)) {
    logCustomEvent(*custom);
  } else if (const auto* predefined = dynamic_cast<const TLYPredefinedEvent*>(&event)) {
    logPredefinedEvent(*predefined);
  }
}

void TLYBeaconAnalyticsBridge::logCustomEvent(const TLYCustomEvent& event) const {
  if (!beaconAnalytics_) return;
  const std::string name = sanitizeEventName(event.customEventName());
  const Value::Dictionary parameters = customParametersFromCustomAttributes(event.customAttributes());
  logger_->log("Logging custom event to Beacon. <" + name + "\n" + describeParameters(parameters) +
               ">");
  send(name, parameters);
}

void TLYBeaconAnalyticsBridge::logPredefinedEvent(const TLYPredefinedEvent& event) const {
  if (!beaconAnalytics_) return;
  const Value::Dictionary& predefined = event.predefinedAttributes().dictionaryRepresentation();
  const std::optional<std::string> name =
      beaconEventNameForTallyEventName(event.predefinedEventName(), predefined);
  // Every predefined type has a framework name; a type without one has
  // nothing the framework would understand.
  if (!name) return;
  const Value::Dictionary parameters = beaconEventParametersForPredefinedAttributes(
      predefined, event.customAttributes().dictionaryRepresentation(), *name);
  logger_->log("Logging predefined event to Beacon. <" + *name + "\n" +
               describeParameters(parameters) + ">");
  send(*name, parameters);
  if (*name == kTLYBeaconLevelEndEventName) {
    send(std::string(kTLYBeaconPostScoreEventName), parameters);
  }
}

void TLYBeaconAnalyticsBridge::send(const std::string& name,
                                    const Value::Dictionary& parameters) const {
  beaconAnalytics_->logInternalEventWithOrigin(kTLYBeaconAnalyticsOrigin, name, parameters);
}

std::optional<std::string> TLYBeaconAnalyticsBridge::beaconEventNameForTallyEventName(
    std::string_view tallyEventName, const Value::Dictionary& predefinedAttributes) {
  for (const auto& [tally, beacon] : kEventNames) {
    if (tally != tallyEventName) continue;
    if (shouldUseFailedEventName(beacon, predefinedAttributes)) return failedEventName(beacon);
    return std::string(beacon);
  }
  return std::nullopt;
}

bool TLYBeaconAnalyticsBridge::shouldUseFailedEventName(
    std::string_view beaconEventName, const Value::Dictionary& predefinedAttributes) {
  if (!isFailableEvent(beaconEventName)) return false;
  const auto it = predefinedAttributes.find("success");
  if (it == predefinedAttributes.end()) return false;
  const std::string* text = it->second.asString();
  return text && *text == "false";
}

std::string TLYBeaconAnalyticsBridge::failedEventName(std::string_view beaconEventName) {
  return std::string(kTLYBeaconFailedEventPrefix) + std::string(beaconEventName);
}

bool TLYBeaconAnalyticsBridge::isFailableEvent(std::string_view beaconEventName) {
  for (std::string_view failable : kFailableEvents) {
    if (failable == beaconEventName) return true;
  }
  return false;
}

const TLYBeaconKeyMapping* TLYBeaconAnalyticsBridge::keyMappingForBeaconEventName(
    std::string_view beaconEventName) {
  for (const auto& [name, mapping] : keyMappings()) {
    if (name == beaconEventName) return &mapping;
  }
  return nullptr;
}

Value::Dictionary TLYBeaconAnalyticsBridge::beaconEventParametersForPredefinedAttributes(
    const Value::Dictionary& predefinedAttributes, const Value::Dictionary& customAttributes,
    std::string_view beaconEventName) {
  const Value::Dictionary predefined = transformedBaseParameters(
      predefinedParametersFromPredefinedAttributes(predefinedAttributes, beaconEventName),
      beaconEventName);
  return combinedParametersFromPredefinedParameters(
      predefined, customParametersFromCustomAttributes(customAttributes));
}

Value::Dictionary TLYBeaconAnalyticsBridge::predefinedParametersFromPredefinedAttributes(
    const Value::Dictionary& predefinedAttributes, std::string_view beaconEventName) {
  const TLYBeaconKeyMapping* mapping = keyMappingForBeaconEventName(beaconEventName);
  if (!mapping) return {};
  return extractBaseParameterDictionaryFromPredefinedAttributes(predefinedAttributes, *mapping);
}

Value::Dictionary TLYBeaconAnalyticsBridge::extractBaseParameterDictionaryFromPredefinedAttributes(
    const Value::Dictionary& predefinedAttributes, const TLYBeaconKeyMapping& keyMapping) {
  Value::Dictionary parameters;
  for (const auto& [tallyKey, beaconKey] : keyMapping) {
    const auto it = predefinedAttributes.find(std::string(tallyKey));
    if (it == predefinedAttributes.end()) continue;
    const Value& stored = it->second;
    Value converted = stored;
    if (isPriceKey(tallyKey)) {
      // Stored in millionths; a price that is not a number has no units.
      const std::optional<double> micros = stored.asNumber();
      if (!micros) continue;
      converted = Value(*micros / kTLYPriceMicrosPerUnit);
    } else if (tallyKey == "success") {
      const std::string* text = stored.asString();
      converted = Value(text && *text == "true" ? 1 : 0);
    }
    parameters[std::string(beaconKey)] = std::move(converted);
  }
  return parameters;
}

Value::Dictionary TLYBeaconAnalyticsBridge::transformedBaseParameters(
    Value::Dictionary baseParameters, std::string_view beaconEventName) {
  if (beaconEventName == "add_to_cart") {
    baseParameters["quantity"] = Value(1);
    const auto price = baseParameters.find("price");
    if (price != baseParameters.end()) baseParameters["value"] = price->second;
  } else if (isFailableEvent(beaconEventName)) {
    baseParameters.erase("success");
  }
  return baseParameters;
}

Value::Dictionary TLYBeaconAnalyticsBridge::customParametersFromCustomAttributes(
    const Value::Dictionary& customAttributes) {
  Value::Dictionary parameters;
  for (const auto& [key, value] : customAttributes) {
    parameters.insert_or_assign(sanitizeAttributeName(key), value);
  }
  return parameters;
}

Value::Dictionary TLYBeaconAnalyticsBridge::customParametersFromCustomAttributes(
    const TLYAttributeEntries& customAttributes) {
  Value::Dictionary parameters;
  for (const auto& [key, value] : customAttributes) {
    // The framework takes string keys and string or number values only.
    const std::string* name = key.asString();
    if (!name || !isStringOrNumber(value)) continue;
    parameters.insert_or_assign(sanitizeAttributeName(*name), value);
  }
  return parameters;
}

Value::Dictionary TLYBeaconAnalyticsBridge::combinedParametersFromPredefinedParameters(
    const Value::Dictionary& predefinedParameters, const Value::Dictionary& customParameters) {
  Value::Dictionary combined = predefinedParameters;
  for (const auto& [key, value] : customParameters) combined.emplace(key, value);
  return combined;
}

const std::set<std::string, std::less<>>& TLYBeaconAnalyticsBridge::beaconReservedKeys() {
  static const auto* keys = new std::set<std::string, std::less<>>{
      "app_clear_data",     "app_exception",          "app_remove",
      "app_upgrade",        "app_install",            "app_update",
      "beacon_campaign",    "error",                  "first_open",
      "first_visit",        "in_app_purchase",        "notification_dismiss",
      "notification_foreground", "notification_open", "notification_receive",
      "os_update",          "session_start",          "user_engagement",
      "ad_exposure",        "adunit_exposure",        "ad_query",
      "ad_activeview",      "ad_impression",          "ad_click",
      "screen_view",        "beacon_extra_parameter",
  };
  return *keys;
}

std::string TLYBeaconAnalyticsBridge::sanitizeKeyName(std::string_view name) {
  if (name.empty()) return std::string();
  UErrorCode status = U_ZERO_ERROR;
  static const auto* pattern = [] {
    UErrorCode compileStatus = U_ZERO_ERROR;
    UParseError parseError;
    icu::RegexPattern* compiled = icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8("[^\\p{Alnum}_]+"), parseError, compileStatus);
    return U_SUCCESS(compileStatus) ? compiled : nullptr;
  }();
  icu::UnicodeString text = icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(),
                                                         static_cast<int32_t>(name.size())));
  if (pattern) {
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    if (U_SUCCESS(status)) {
      icu::UnicodeString replaced = matcher->replaceAll(icu::UnicodeString(u"_"), status);
      if (U_SUCCESS(status)) text = std::move(replaced);
    }
  }
  // Letters are the general categories L*; combining marks (M*) are not.
  const UChar32 first = text.char32At(0);
  if (!(U_GET_GC_MASK(first) & U_GC_L_MASK)) text.insert(0, icu::UnicodeString(u"trellis_"));
  std::string result;
  text.toUTF8String(result);
  for (std::string_view prefix : {"beacon_", "gryphon_", "ga_"}) {
    if (result.starts_with(prefix)) {
      result.insert(0, kTLYBeaconReservedPrefix);
      break;
    }
  }
  if (beaconReservedKeys().contains(result)) result.insert(0, kTLYBeaconReservedPrefix);
  return result;
}

std::string TLYBeaconAnalyticsBridge::sanitizeEventName(const std::optional<std::string>& name) {
  return sanitizeNameWithDefault(name, "unnamed_event");
}

std::string TLYBeaconAnalyticsBridge::sanitizeAttributeName(const std::optional<std::string>& name) {
  return sanitizeNameWithDefault(name, "unnamed_parameter");
}

}  // namespace vandrel::analytics
