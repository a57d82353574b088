#include "crash/kit/flt_bcr_analytics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "crash/capture/flt_sdk_log.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

using platform::Value;
using test_support::readFile;
using test_support::TempDir;

// Stands for a host application's analytics framework: records the calls
// and lets the test play its events to the registered listeners.
class RecordingAnalytics final : public BCNAnalyticsClass {
 public:
  struct Call {
    std::string origin;
    std::string name;
    Value::Dictionary parameters;
  };
  void logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                  const Value::Dictionary& parameters) override {
    calls.push_back({std::string(origin), std::string(name), parameters});
  }
  void addLogEventListener(std::shared_ptr<BCNAnalyticsEventListener> listener) override {
    listeners.push_back(std::move(listener));
  }
  void trigger(const BCNAEvent& event) const {
    for (const auto& listener : listeners) listener->messageTriggered(event);
  }

  std::vector<Call> calls;
  std::vector<std::shared_ptr<BCNAnalyticsEventListener>> listeners;
};

// What the crash-reporting controller does with the framework's events.
class JSONLines final : public BCNAnalyticsEventListener {
 public:
  void messageTriggered(const BCNAEvent& event) override {
    if (auto json = FLTBCNAEventDictionaryToJSON(FLTBCNAEventToDictionary(event))) {
      lines.push_back("$A$:" + *json);
    }
  }
  std::vector<std::string> lines;
};

class FLTBCRAnalyticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = dir_.file("sdk.log");
    readOnly_.path = logPath_.c_str();
    FLTSDKLogAttach(&readOnly_, &writable_);
  }
  void TearDown() override {
    FLTSDKLogAttach(nullptr, nullptr);
    if (writable_.descriptor >= 0) ::close(writable_.descriptor);
  }

  FLTBCRAnalyticsEnvironment environment(bool withFramework, bool beaconMode, bool debug) {
    FLTBCRAnalyticsEnvironment env;
    if (withFramework) env.analyticsClass = framework_;
    env.beaconMode = [beaconMode] { return beaconMode; };
    env.debug = [debug] { return debug; };
    env.console = [this](std::string_view line) { console_.emplace_back(line); };
    return env;
  }
  std::string sdkLog() const { return readFile(logPath_); }

  TempDir dir_{"flt-bcr-analytics"};
  std::string logPath_;
  FLTSDKLogReadOnlyState readOnly_{nullptr};
  FLTSDKLogWritableState writable_{-1, kFLTSDKLogLevelDebug};
  std::shared_ptr<RecordingAnalytics> framework_ = std::make_shared<RecordingAnalytics>();
  std::vector<std::string> console_;
};

TEST_F(FLTBCRAnalyticsTest, CrashesGoToTheFrameworkWhenActiveOrForced) {
  const Value::Dictionary params = {
      {"timestamp", Value(1500)}, {"_r", Value(1)}, {"fatal", Value(1)}};
  struct Case {
    const char* name;
    bool framework;
    bool beaconMode;
    bool flag;
    bool sent;
    bool printed;
  };
  const std::vector<Case> cases = {
      {"no framework, flag off: nothing", false, true, false, false, false},
      {"no framework, flag on: sent to nothing", false, true, true, false, true},
      {"beacon mode with the framework", true, true, false, true, true},
      {"framework outside beacon mode, flag off", true, false, false, false, false},
      {"framework outside beacon mode, flag on", true, false, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    framework_->calls.clear();
    console_.clear();
    FLTBCRAnalytics::logCrashWithTimeStamp(1.5, c.flag,
                                           environment(c.framework, c.beaconMode, true));
    ASSERT_EQ(framework_->calls.size(), c.sent ? 1u : 0u);
    if (c.sent) {
      EXPECT_EQ(framework_->calls[0].origin, "clx");
      EXPECT_EQ(framework_->calls[0].name, "_ae");
      EXPECT_EQ(framework_->calls[0].parameters, params);
    }
    EXPECT_EQ(console_, c.printed ? std::vector<std::string>{
                                        "[Faultline:Crash:Reports:Event] Sending event."}
                                  : std::vector<std::string>{});
  }
  // Quiet without the debug flag.
  console_.clear();
  FLTBCRAnalytics::logCrashWithTimeStamp(1.5, true, environment(true, true, false));
  EXPECT_TRUE(console_.empty());
  // The process has no framework registered: nothing happens.
  FLTBCRAnalytics::logCrashWithTimeStamp(1.5, false);
}

TEST_F(FLTBCRAnalyticsTest, CrashTimestampsAreWholeMilliseconds) {
  struct Case {
    double seconds;
    std::int64_t millis;
  };
  const std::vector<Case> cases = {
      {1.5, 1500},
      {0.0004, 0},
      {0.0006, 1},
      {1700000000.123, 1700000000123},
      {-2.5, -2500},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {1e300, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(FLTBCRAnalytics::buildLogParamsFromCrash(c.seconds).at("timestamp"),
              Value(c.millis));
  }
}

TEST_F(FLTBCRAnalyticsTest, TheFrameworksEventsReachTheListenerAsJSON) {
  auto listener = std::make_shared<JSONLines>();
  FLTBCRAnalytics::registerAnalyticsEventListener(listener, environment(false, true, true));
  EXPECT_TRUE(console_.empty());

  FLTBCRAnalytics::registerAnalyticsEventListener(listener, environment(true, false, true));
  ASSERT_EQ(framework_->listeners.size(), 1u);
  EXPECT_EQ(console_, std::vector<std::string>{
                          "[Faultline:Crash:Reports:Event] Registered Beacon Analytics event "
                          "listener"});

  BCNAEvent event;
  event.name = "screen_view";
  event.parameters = {{"ratio", {0, 0.5, 0, ""}},
                      {"count", {1, 0, 7, ""}},
                      {"screen", {2, 0, 0, "Main"}},
                      {"odd", {9, 1, 1, "x"}}};
  framework_->trigger(event);
  ASSERT_EQ(listener->lines.size(), 1u);
  EXPECT_EQ(listener->lines[0],
            "$A$:{\"name\":\"screen_view\",\"parameters\":{\"count\":7,\"ratio\":0.5,"
            "\"screen\":\"Main\"}}");
  EXPECT_NE(sdkLog().find("Unexpected BCNAValue type\n"), std::string::npos);

  BCNAEvent nameless;
  framework_->trigger(nameless);
  EXPECT_EQ(listener->lines.size(), 1u);
  EXPECT_NE(sdkLog().find("WARN  [FLTBCNAEventToDictionary:"), std::string::npos);
  EXPECT_NE(sdkLog().find("Event name is nil\n"), std::string::npos);
}

TEST_F(FLTBCRAnalyticsTest, DictionariesJSONCannotCarryGiveNothing) {
  EXPECT_EQ(FLTBCNAEventDictionaryToJSON(std::nullopt), std::nullopt);
  struct Case {
    const char* name;
    Value value;
  };
  const std::vector<Case> cases = {
      {"bytes", Value(Value::Data{1, 2})},
      {"a date", Value(platform::Date{1.0})},
      {"NaN", Value(std::nan(""))},
      {"an infinity nested", Value(Value::Array{Value(HUGE_VAL)})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FLTBCNAEventDictionaryToJSON(Value::Dictionary{{"name", Value("e")},
                                                             {"parameters", c.value}}),
              std::nullopt);
  }
  EXPECT_NE(sdkLog().find("Beacon Analytics event is not valid JSON\n"), std::string::npos);
  EXPECT_EQ(FLTBCNAEventDictionaryToJSON(Value::Dictionary{{"name", Value("\xC3\xA9")}}),
            "{\"name\":\"\xC3\xA9\"}");
}

TEST(FLTBCRAnalyticsRegistryTest, TheHostsFrameworkIsFoundUntilWithdrawn) {
  EXPECT_EQ(BCNAnalyticsLookUpClass(), nullptr);
  auto framework = std::make_shared<RecordingAnalytics>();
  BCNAnalyticsRegisterClass(framework);
  EXPECT_EQ(BCNAnalyticsLookUpClass(), framework);
  BCNAnalyticsRegisterClass(nullptr);
  EXPECT_EQ(BCNAnalyticsLookUpClass(), nullptr);
}

}  // namespace
}  // namespace vandrel::crash
