#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/value.h"

namespace vandrel::crash {

class TRLFLTUserDefaults;

inline constexpr std::string_view kFLTCollectionEnabledInfoKey = "BeaconFaultlineCollectionEnabled";
inline constexpr std::string_view kFLTLegacyCollectionEnabledInfoKey =
    "beacon_faultline_collection_enabled";
inline constexpr std::string_view kFLTBCNAppClassName = "BCNApp";
inline constexpr std::string_view kFLTBCNAppUnsupportedMessage =
    "[Trellis] [Faultline] This version of BCNApp does not support "
    "isDataCollectionDefaultEnabled. Ignoring.";

// Values of the sticky setting: 0 (absent) not set; anything other than 1
// after that reads as disabled.
inline constexpr std::int64_t kFLTStickyNotSet = 0;
inline constexpr std::int64_t kFLTStickyEnabled = 1;
inline constexpr std::int64_t kFLTStickyDisabled = 2;

// The bool a string or a number stands for: numbers are true when not zero;
// a string is true when, after leading white space, it starts with "Y",
// "y", "T" or "t", or with an optionally signed number whose digits are not
// all zero ("YES", "true", "1", "+07"); "NO", "false", "0", "" are false.
// Absent for any other type.
std::optional<bool> FLTBoolValue(const platform::Value& value);

// What the app-configuration core says about its default app, as the crash
// kit sees it.
enum class FLTBCNAppDefaultAnswer {
  NoDefaultApp,   // the core has no default app configured
  Enabled,        // the default app's data-collection default is on
  Disabled,       // ... is off
  NotSupported,   // the default app cannot answer the question
};

// The app-configuration core is found at run time by its class name, so the
// crash kit does not link to it: the core registers a function under
// "BCNApp" when it is in the process.
class FLTBCNApp {
 public:
  using ClassHandle = std::function<FLTBCNAppDefaultAnswer()>;

  // Makes the class `name` known to the process (the core calls this with
  // "BCNApp"). An empty handle withdraws it.
  static void registerClass(std::string_view name, ClassHandle handle);
  // The class registered under `name`; empty when none.
  static ClassHandle lookUpClass(std::string_view name);

  // The process's view: the class "BCNApp" looked up on every call, the
  // registry's debug flag from `debugEnabled` (false when unset).
  static FLTBCNApp& shared();
  static void setDebugFlagSource(std::function<bool()> debugEnabled);

  // `bcnApp` empty: the core is absent. `log` receives console lines.
  FLTBCNApp(ClassHandle bcnApp, std::function<bool()> debugEnabled,
            std::function<void(std::string_view)> log);

  // The core's data-collection default; true when the core, its default
  // app or the answer is missing.
  bool isDataCollectionDefaultEnabled() const;

 private:
  std::function<ClassHandle()> classSource_;
  std::function<bool()> debugEnabled_;
  std::function<void(std::string_view)> log_;
};

// Decides whether the crash kit may collect and send data. First match wins:
// the sticky setting the application stored, the Info key
// "BeaconFaultlineCollectionEnabled", the app-configuration core's default.
//
// Thread-safe: holds no state of its own; the defaults store is thread-safe.
class FLTDataCollectionArbiter {
 public:
  // The process's arbiter: the kit's standard defaults, the main bundle's
  // info dictionary and FLTBCNApp::shared().
  static FLTDataCollectionArbiter& shared();

  FLTDataCollectionArbiter(TRLFLTUserDefaults& defaults, platform::Value::Dictionary info,
                           const FLTBCNApp& bcnApp);

  bool isFaultlineCollectionEnabled() const;
  // Stores the choice and writes it to the file so later launches see it.
  // False when the file write failed (the choice still holds in memory and
  // the next synchronisation retries it).
  bool setFaultlineCollectionEnabled(bool enabled);
  // The stored value; 0 when never set.
  std::int64_t stickySetting() const;
  // The older Info key "beacon_faultline_collection_enabled"; true when
  // absent or of another type.
  bool isLegacyPlistFaultlineCollectionEnabled() const;

 private:
  TRLFLTUserDefaults& defaults_;
  const platform::Value::Dictionary info_;
  const FLTBCNApp& bcnApp_;
};

}  // namespace vandrel::crash
