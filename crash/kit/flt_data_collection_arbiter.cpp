#include "crash/kit/flt_data_collection_arbiter.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "crash/kit/trl_flt_user_defaults.h"
#include "platform/bundle.h"
#include "platform/sync.h"

namespace vandrel::crash {
namespace {

using platform::MutexLock;
using platform::Value;

struct ClassTable {
  platform::Mutex mutex;
  std::map<std::string, FLTBCNApp::ClassHandle, std::less<>> classes VANDREL_GUARDED_BY(mutex);
  std::function<bool()> debugEnabled VANDREL_GUARDED_BY(mutex);
};

ClassTable& classTable() {
  static ClassTable* const table = new ClassTable;
  return *table;
}

void consoleLog(std::string_view line) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

bool stringBoolValue(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  if (i == s.size()) return false;
  const char first = s[i];
  if (first == 'Y' || first == 'y' || first == 'T' || first == 't') return true;
  if (first == '+' || first == '-') ++i;
  while (i < s.size() && s[i] == '0') ++i;
  return i < s.size() && s[i] >= '1' && s[i] <= '9';
}

// The bool of an Info entry given as a string or a number; absent otherwise.
std::optional<bool> infoBool(const Value::Dictionary& info, std::string_view key) {
  const auto it = info.find(std::string(key));
  if (it == info.end()) return std::nullopt;
  return FLTBoolValue(it->second);
}

}  // namespace

std::optional<bool> FLTBoolValue(const Value& value) {
  if (auto b = value.asBool()) return *b;
  if (auto n = value.asNumber()) return *n != 0;
  if (const std::string* s = value.asString()) return stringBoolValue(*s);
  return std::nullopt;
}

// ---- FLTBCNApp ----------------------------------------------------------------

void FLTBCNApp::registerClass(std::string_view name, ClassHandle handle) {
  ClassTable& table = classTable();
  MutexLock lock(table.mutex);
  if (handle) {
    table.classes.insert_or_assign(std::string(name), std::move(handle));
  } else if (auto it = table.classes.find(name); it != table.classes.end()) {
    table.classes.erase(it);
  }
}

FLTBCNApp::ClassHandle FLTBCNApp::lookUpClass(std::string_view name) {
  ClassTable& table = classTable();
  MutexLock lock(table.mutex);
  const auto it = table.classes.find(name);
  return it == table.classes.end() ? ClassHandle() : it->second;
}

void FLTBCNApp::setDebugFlagSource(std::function<bool()> debugEnabled) {
  ClassTable& table = classTable();
  MutexLock lock(table.mutex);
  table.debugEnabled = std::move(debugEnabled);
}

FLTBCNApp& FLTBCNApp::shared() {
  static FLTBCNApp* const app = [] {
    auto* made = new FLTBCNApp(ClassHandle(), {}, consoleLog);
    // Looked up on every call: the core may register itself after the
    // first question, and a lookup is cheap.
    made->classSource_ = [] { return lookUpClass(kFLTBCNAppClassName); };
    made->debugEnabled_ = [] {
      std::function<bool()> source;
      {
        ClassTable& table = classTable();
        MutexLock lock(table.mutex);
        source = table.debugEnabled;
      }
      return source && source();
    };
    return made;
  }();
  return *app;
}

FLTBCNApp::FLTBCNApp(ClassHandle bcnApp, std::function<bool()> debugEnabled,
                     std::function<void(std::string_view)> log)
    : classSource_([bcnApp = std::move(bcnApp)] { return bcnApp; }),
      debugEnabled_(std::move(debugEnabled)),
      log_(std::move(log)) {}

bool FLTBCNApp::isDataCollectionDefaultEnabled() const {
  const ClassHandle bcnApp = classSource_ ? classSource_() : ClassHandle();
  if (!bcnApp) return true;
  switch (bcnApp()) {
    case FLTBCNAppDefaultAnswer::NoDefaultApp:
    case FLTBCNAppDefaultAnswer::Enabled:
      return true;
    case FLTBCNAppDefaultAnswer::Disabled:
      return false;
    case FLTBCNAppDefaultAnswer::NotSupported:
      break;
  }
  if (debugEnabled_ && debugEnabled_() && log_) log_(kFLTBCNAppUnsupportedMessage);
  return true;
}

// ---- FLTDataCollectionArbiter ---------------------------------------------------

FLTDataCollectionArbiter& FLTDataCollectionArbiter::shared() {
  static FLTDataCollectionArbiter* const arbiter =
      new FLTDataCollectionArbiter(TRLFLTUserDefaults::standardUserDefaults(),
                                   platform::Bundle::main().infoDictionary(), FLTBCNApp::shared());
  return *arbiter;
}

FLTDataCollectionArbiter::FLTDataCollectionArbiter(TRLFLTUserDefaults& defaults,
                                                   Value::Dictionary info, const FLTBCNApp& bcnApp)
    : defaults_(defaults), info_(std::move(info)), bcnApp_(bcnApp) {}

bool FLTDataCollectionArbiter::isFaultlineCollectionEnabled() const {
  if (const std::int64_t sticky = stickySetting(); sticky != kFLTStickyNotSet) {
    return sticky == kFLTStickyEnabled;
  }
  if (auto fromInfo = infoBool(info_, kFLTCollectionEnabledInfoKey)) return *fromInfo;
  return bcnApp_.isDataCollectionDefaultEnabled();
}

bool FLTDataCollectionArbiter::setFaultlineCollectionEnabled(bool enabled) {
  defaults_.setInteger(enabled ? kFLTStickyEnabled : kFLTStickyDisabled, kTRLDataCollectionKey);
  return defaults_.synchronize();
}

std::int64_t FLTDataCollectionArbiter::stickySetting() const {
  return defaults_.integerForKey(kTRLDataCollectionKey);
}

bool FLTDataCollectionArbiter::isLegacyPlistFaultlineCollectionEnabled() const {
  return infoBool(info_, kFLTLegacyCollectionEnabledInfoKey).value_or(true);
}

}  // namespace vandrel::crash
