#include "analytics/core/bcn_logger.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/defaults.h"
#include "platform/sync.h"
#include "tests/analytics/bcn_test_support.h"

namespace vandrel::analytics {
namespace {

// The one-time set-up reads the standard user defaults: keep them away from
// the user's own configuration.
const bool kIsolatedConfig = [] {
  char pattern[] = "/tmp/bcn_logger_test.XXXXXX";
  const char* dir = ::mkdtemp(pattern);
  if (dir != nullptr) ::setenv("XDG_CONFIG_HOME", dir, 1);
  return dir != nullptr;
}();

using bcn_test::CapturedLines;

class BCNCoreLoggerLaunchOptionsTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("bcn_logger_defaults_" + std::to_string(::getpid()) + "_" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;
};

TEST_F(BCNCoreLoggerLaunchOptionsTest, ArgumentsAndStoredFlagDecideDebugMode) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool storedBefore;
    bool debugMode;
    std::optional<bool> storedAfter;
    bool forceSTDERR;
  };
  const Case cases[] = {
      {"nothing", {"app"}, false, false, std::nullopt, false},
      {"enabled", {"app", "-BCNDebugEnabled"}, false, true, true, false},
      {"stored flag sticks", {"app"}, true, true, true, false},
      {"disabled removes stored flag", {"app", "-BCNDebugDisabled"}, true, false, std::nullopt, false},
      {"disabled wins over enabled",
       {"app", "-BCNDebugEnabled", "-BCNDebugDisabled"}, true, false, std::nullopt, false},
      {"force stderr", {"app", "-BCNLoggerForceSTDERR"}, false, false, std::nullopt, true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Defaults defaults(dir_ / ("case" + std::to_string(index++) + ".json"));
    if (c.storedBefore) {
      ASSERT_TRUE(defaults.set(kBCNPersistedDebugModeKey, true));
    }
    const BCNLoggerLaunchOptions options = BCNCoreLoggerReadLaunchOptions(c.arguments, defaults);
    EXPECT_EQ(options.debugMode, c.debugMode);
    EXPECT_EQ(options.forceSTDERR, c.forceSTDERR);
    EXPECT_EQ(defaults.getBool(kBCNPersistedDebugModeKey), c.storedAfter);
    // What was stored is what the next launch reads back from the file.
    platform::Defaults reread(defaults.path());
    EXPECT_EQ(reread.getBool(kBCNPersistedDebugModeKey), c.storedAfter);
  }
}

TEST(BCNCoreLoggerTest, ProcessArgumentsStartWithTheProgram) {
  const auto arguments = BCNProcessArguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_NE(arguments[0].find("analytics_bcn_logger_test"), std::string::npos);
}

TEST(BCNCoreLoggerTest, LineCarriesVersionServiceCodeAndMessage) {
  ASSERT_TRUE(kIsolatedConfig);
  CapturedLines captured;
  BCNCoreLogError(kBCNLoggerCore, kBCNLogCoreConfigFileNotFound,
                  "Could not locate configuration file: '%s.%s'.", "GryphonService-Info", "json");
  ASSERT_EQ(captured.lines().size(), 1u);
  EXPECT_EQ(captured.lines()[0],
            "6.28.0 - [Beacon/Core][I-COR000012] Could not locate configuration file: "
            "'GryphonService-Info.json'.");
}

TEST(BCNCoreLoggerTest, LevelThresholdAndAnalyticsDebugMode) {
  CapturedLines captured;
  BCNCoreSetLoggerLevel(BCNLoggerLevel::Notice);
  BCNCoreLogInfo(kBCNLoggerCore, "I-COR000001", "dropped %d", 1);
  BCNCoreLogNotice(kBCNLoggerCore, "I-COR000001", "kept %d", 2);
  EXPECT_FALSE(BCNCoreIsLoggableLevel(BCNLoggerLevel::Debug, true));

  // Analytics debug mode forces the analytics tag's lines only.
  BCNCoreSetAnalyticsDebugMode(true);
  EXPECT_TRUE(BCNCoreIsLoggableLevel(BCNLoggerLevel::Debug, true));
  EXPECT_FALSE(BCNCoreIsLoggableLevel(BCNLoggerLevel::Debug, false));
  BCNCoreLogDebug(kBCNLoggerAnalytics, "I-ACS000001", "forced");
  BCNCoreLogDebug(kBCNLoggerCore, "I-COR000001", "still dropped");
  BCNCoreSetAnalyticsDebugMode(false);
  BCNCoreLogDebug(kBCNLoggerAnalytics, "I-ACS000001", "dropped again");

  const std::vector<std::string> expected = {
      "6.28.0 - [Beacon/Core][I-COR000001] kept 2",
      "6.28.0 - [Beacon/Analytics][I-ACS000001] forced",
  };
  EXPECT_EQ(captured.lines(), expected);
}

void wrapperLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void wrapperLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  BCNLoggerWrapper::logWithLevel(BCNLoggerLevel::Warning, "[Beacon/Messaging]", "I-FCM000001",
                                 format, args);
  va_end(args);
}

TEST(BCNCoreLoggerTest, WrapperPassesEverythingThrough) {
  CapturedLines captured;
  const std::string longText(2000, 'x');  // longer than the formatter's first buffer
  wrapperLog("%s|%d", longText.c_str(), 7);
  ASSERT_EQ(captured.lines().size(), 1u);
  EXPECT_EQ(captured.lines()[0], "6.28.0 - [Beacon/Messaging][I-FCM000001] " + longText + "|7");
}

}  // namespace
}  // namespace vandrel::analytics
