#include "crash/kit/flt_bcr_analytics.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include "crash/capture/flt_sdk_log.h"
#include "crash/kit/trellis.h"
#include "platform/sync.h"

namespace vandrel::crash {

using platform::Value;

namespace {

platform::Mutex& registryMutex() {
  static auto* mutex = new platform::Mutex;
  return *mutex;
}

std::shared_ptr<BCNAnalyticsClass>& registeredClass() VANDREL_REQUIRES(registryMutex()) {
  static auto* cls = new std::shared_ptr<BCNAnalyticsClass>;
  return *cls;
}

// JSON carries null, booleans, numbers that are finite, strings, arrays
// and objects; bytes and dates have no JSON form.
bool isValidJSONValue(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::String:
      return true;
    case Value::Type::Double:
      return std::isfinite(*value.asDouble());
    case Value::Type::Data:
    case Value::Type::Date:
      return false;
    case Value::Type::Array:
      for (const Value& element : *value.asArray()) {
        if (!isValidJSONValue(element)) return false;
      }
      return true;
    case Value::Type::Dictionary:
      for (const auto& [key, element] : *value.asDictionary()) {
        if (!isValidJSONValue(element)) return false;
      }
      return true;
  }
  return false;
}

}  // namespace

void BCNAnalyticsRegisterClass(std::shared_ptr<BCNAnalyticsClass> cls) {
  platform::MutexLock lock(registryMutex());
  registeredClass() = std::move(cls);
}

std::shared_ptr<BCNAnalyticsClass> BCNAnalyticsLookUpClass() {
  platform::MutexLock lock(registryMutex());
  return registeredClass();
}

const FLTBCRAnalyticsEnvironment& FLTBCRAnalyticsEnvironment::live() {
  static const auto* environment = [] {
    auto* env = new FLTBCRAnalyticsEnvironment;
    std::shared_ptr<BCNAnalyticsClass> cls = BCNAnalyticsLookUpClass();
    if (cls && cls->respondsToLogInternalEvent() && cls->respondsToAddLogEventListener()) {
      env->analyticsClass = std::move(cls);
    }
    env->beaconMode = [] { return Trellis::sharedSDK().beaconMode(); };
    env->debug = [] { return Trellis::sharedSDK().debug(); };
    env->console = [](std::string_view line) {
      std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    };
    return env;
  }();
  return *environment;
}

void FLTBCRAnalytics::logCrashWithTimeStamp(double timestamp, bool beaconFaultlineEnabled) {
  logCrashWithTimeStamp(timestamp, beaconFaultlineEnabled, FLTBCRAnalyticsEnvironment::live());
}

void FLTBCRAnalytics::logCrashWithTimeStamp(double timestamp, bool beaconFaultlineEnabled,
                                            const FLTBCRAnalyticsEnvironment& environment) {
  const bool active = environment.analyticsClass && environment.beaconMode &&
                      environment.beaconMode();
  if (!active && !beaconFaultlineEnabled) return;
  if (environment.debug && environment.debug() && environment.console) {
    environment.console(kFLTBCRAnalyticsSendingEventMessage);
  }
  // Without a framework the message goes nowhere.
  if (!environment.analyticsClass) return;
  environment.analyticsClass->logInternalEventWithOrigin(
      kFLTBCRAnalyticsCrashOrigin, kFLTBCRAnalyticsCrashEventName,
      buildLogParamsFromCrash(timestamp));
}

void FLTBCRAnalytics::registerAnalyticsEventListener(
    std::shared_ptr<BCNAnalyticsEventListener> listener) {
  registerAnalyticsEventListener(std::move(listener), FLTBCRAnalyticsEnvironment::live());
}

void FLTBCRAnalytics::registerAnalyticsEventListener(
    std::shared_ptr<BCNAnalyticsEventListener> listener,
    const FLTBCRAnalyticsEnvironment& environment) {
  if (!environment.analyticsClass || !environment.analyticsClass->respondsToAddLogEventListener()) {
    return;
  }
  environment.analyticsClass->addLogEventListener(std::move(listener));
  if (environment.debug && environment.debug() && environment.console) {
    environment.console(kFLTBCRAnalyticsRegisteredListenerMessage);
  }
}

Value::Dictionary FLTBCRAnalytics::buildLogParamsFromCrash(double timestamp) {
  // A timestamp whose milliseconds do not fit 64 bits (or a NaN) has no
  // integer form: such a crash time is sent as 0 rather than as an
  // undefined conversion.
  const double millis = std::round(timestamp * 1000.0);
  const bool fits = std::isfinite(millis) && std::fabs(millis) < 9.2e18;
  return {
      {"timestamp", Value(fits ? static_cast<std::int64_t>(millis) : std::int64_t{0})},
      {"_r", Value(1)},
      {"fatal", Value(1)},
  };
}

std::optional<Value> FLTBCNValueToAllowableType(const BCNAValue& value) {
  switch (value.valueType) {
    case 2: return Value(value.stringValue);
    case 1: return Value(value.int64Value);
    case 0: return Value(value.doubleValue);
    default:
      FLT_SDK_LOG_WARN("Unexpected BCNAValue type\n");
      return std::nullopt;
  }
}

Value::Dictionary FLTBCNAParametersToDictionary(
    const std::map<std::string, BCNAValue>& parameters) {
  Value::Dictionary dictionary;
  for (const auto& [key, value] : parameters) {
    if (std::optional<Value> converted = FLTBCNValueToAllowableType(value)) {
      dictionary.emplace(key, std::move(*converted));
    }
  }
  return dictionary;
}

std::optional<Value::Dictionary> FLTBCNAEventToDictionary(const BCNAEvent& event) {
  if (!event.name) {
    FLT_SDK_LOG_WARN("Event name is nil\n");
    return std::nullopt;
  }
  return Value::Dictionary{
      {"name", Value(*event.name)},
      {"parameters", Value(FLTBCNAParametersToDictionary(event.parameters))},
  };
}

std::optional<std::string> FLTBCNAEventDictionaryToJSON(
    const std::optional<Value::Dictionary>& dictionary) {
  if (!dictionary) return std::nullopt;
  const Value value(*dictionary);
  if (!isValidJSONValue(value)) {
    FLT_SDK_LOG_WARN("Beacon Analytics event is not valid JSON\n");
    return std::nullopt;
  }
  try {
    return value.toJson();
  } catch (const std::exception&) {
    FLT_SDK_LOG_WARN("Unable to convert event to json\n");
    return std::nullopt;
  }
}

}  // namespace vandrel::crash
