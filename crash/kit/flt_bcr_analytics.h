#pragma once

// The outside analytics framework "BCNAnalytics" as both kits see it, and
// the crash kit's bridge to it.
//
// No such framework is linked into this application. A host application
// that has one registers an adapter implementing BCNAnalyticsClass under
// the framework's class name (BCNAnalyticsRegisterClass); without one the
// look-up answers nullptr and both bridges stay silent.
//
// The crash bridge reports each crash of a previous launch to the framework
// as an internal event, and registers a listener for the framework's own
// events, which the crash kit writes into its log as JSON text.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace vandrel::crash {

inline constexpr std::string_view kBCNAnalyticsClassName = "BCNAnalytics";
inline constexpr std::string_view kFLTBCRAnalyticsCrashOrigin = "clx";
inline constexpr std::string_view kFLTBCRAnalyticsCrashEventName = "_ae";
inline constexpr std::string_view kFLTBCRAnalyticsSendingEventMessage =
    "[Faultline:Crash:Reports:Event] Sending event.";
inline constexpr std::string_view kFLTBCRAnalyticsRegisteredListenerMessage =
    "[Faultline:Crash:Reports:Event] Registered Beacon Analytics event listener";

// A value of the framework's events: `valueType` 0 double, 1 integer,
// 2 string; the framework may hand any other number.
struct BCNAValue {
  std::int64_t valueType = 0;
  double doubleValue = 0;
  std::int64_t int64Value = 0;
  std::string stringValue;
};

// One of the framework's events; the name may be missing.
struct BCNAEvent {
  std::optional<std::string> name;
  std::map<std::string, BCNAValue> parameters;
};

// What the framework calls for each of its events.
class BCNAnalyticsEventListener {
 public:
  virtual ~BCNAnalyticsEventListener() = default;
  virtual void messageTriggered(const BCNAEvent& event) = 0;
};

// The framework's class methods the kits call. An adapter answers which of
// them its framework has; the kits call only those it answers.
class BCNAnalyticsClass {
 public:
  virtual ~BCNAnalyticsClass() = default;
  virtual bool respondsToLogInternalEvent() const { return true; }
  virtual bool respondsToAddLogEventListener() const { return true; }
  // `parameters` hold strings and numbers only.
  virtual void logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                          const platform::Value::Dictionary& parameters) = 0;
  virtual void addLogEventListener(std::shared_ptr<BCNAnalyticsEventListener> listener) = 0;
};

// The host's adapter (nullptr withdraws it). Thread-safe.
void BCNAnalyticsRegisterClass(std::shared_ptr<BCNAnalyticsClass> cls);
// The registered adapter, or nullptr: the framework is not present.
std::shared_ptr<BCNAnalyticsClass> BCNAnalyticsLookUpClass();

// What the crash bridge reads from the process.
struct FLTBCRAnalyticsEnvironment {
  // Kept only when it answers both calls; nullptr: no framework.
  std::shared_ptr<BCNAnalyticsClass> analyticsClass;
  std::function<bool()> beaconMode;  // the kit registry's beacon mode
  std::function<bool()> debug;       // the kit registry's debug flag
  std::function<void(std::string_view line)> console;

  // The class resolved once per process (first use), Trellis::sharedSDK()
  // for the flags, stderr for the console.
  static const FLTBCRAnalyticsEnvironment& live();
};

// Stateless apart from the environment.
class FLTBCRAnalytics {
 public:
  FLTBCRAnalytics() = delete;

  // Sends {"timestamp", "_r", "fatal"} as internal event "_ae" of origin
  // "clx" when the bridge is active (beacon mode and a framework) or
  // `beaconFaultlineEnabled` is set; without a framework nothing arrives.
  static void logCrashWithTimeStamp(double timestamp, bool beaconFaultlineEnabled);
  static void logCrashWithTimeStamp(double timestamp, bool beaconFaultlineEnabled,
                                    const FLTBCRAnalyticsEnvironment& environment);
  static void registerAnalyticsEventListener(std::shared_ptr<BCNAnalyticsEventListener> listener);
  static void registerAnalyticsEventListener(std::shared_ptr<BCNAnalyticsEventListener> listener,
                                             const FLTBCRAnalyticsEnvironment& environment);
  // {"timestamp": round(timestamp * 1000), "_r": 1, "fatal": 1}.
  static platform::Value::Dictionary buildLogParamsFromCrash(double timestamp);
};

// A string, an integer or a double; none (after a WARN in the SDK log) for
// an unknown value type.
std::optional<platform::Value> FLTBCNValueToAllowableType(const BCNAValue& value);
// Every parameter whose value converts.
platform::Value::Dictionary FLTBCNAParametersToDictionary(
    const std::map<std::string, BCNAValue>& parameters);
// {"name", "parameters"}; none (after a WARN) without a name.
std::optional<platform::Value::Dictionary> FLTBCNAEventToDictionary(const BCNAEvent& event);
// One line of UTF-8 JSON; none for none, and (after a WARN) for a
// dictionary that JSON cannot carry (bytes, dates, non-finite numbers).
std::optional<std::string> FLTBCNAEventDictionaryToJSON(
    const std::optional<platform::Value::Dictionary>& dictionary);

}  // namespace vandrel::crash
