#include "crash/kit/flt_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crash/kit/trl_settings_onboarding_manager.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

using platform::Value;
using Dictionary = Value::Dictionary;
using test_support::ScopedEnv;
using test_support::TempDir;

// The three sources of one settings view, all controlled by the test.
struct Sources {
  std::map<std::string, std::string> environment;
  std::optional<Dictionary> info;
  std::map<std::string, std::string> strings;
  std::vector<std::string> log;

  FLTSettings settings(std::optional<Dictionary> downloaded = Dictionary{}) {
    FLTSettingsEnvironment env;
    env.environmentValue = [this](std::string_view name) -> std::optional<std::string> {
      auto it = environment.find(std::string(name));
      if (it == environment.end()) return std::nullopt;
      return it->second;
    };
    env.configuration = [this] { return info; };
    env.localizedString = [this](std::string_view key, std::string_view table) -> std::optional<std::string> {
      EXPECT_EQ(table, "Faultline");
      auto it = strings.find(std::string(key));
      if (it == strings.end()) return std::nullopt;
      return it->second;
    };
    env.log = [this](std::string_view line) { log.emplace_back(line); };
    return FLTSettings(std::move(downloaded), env);
  }
};

std::string apiEndpoint() {
  return *TRLSettingsOnboardingManager::defaultConfiguration().at("ConfigureEndpoint").asString();
}

TEST(FLTSettingsTest, NothingConfiguredOrDownloadedGivesExactlyTheDefaults) {
  for (std::optional<Dictionary> downloaded : {std::optional<Dictionary>(), std::optional<Dictionary>(Dictionary{})}) {
    SCOPED_TRACE(downloaded ? "empty settings" : "no settings");
    Sources sources;
    FLTSettings settings = sources.settings(downloaded);
    EXPECT_EQ(settings.reportsEndpoint(), "https://reports.faultline.invalid");
    EXPECT_EQ(settings.betaEndpoint(), apiEndpoint());
    EXPECT_TRUE(settings.shouldPackageReports());
    EXPECT_TRUE(settings.shouldSubmitReports());
    EXPECT_TRUE(settings.canProcessUrgentReports());
    EXPECT_TRUE(settings.crashReportingEnabled());
    EXPECT_TRUE(settings.errorReportingEnabled());
    EXPECT_TRUE(settings.customExceptionsEnabled());
    EXPECT_FALSE(settings.userPromptEnabled());
    EXPECT_FALSE(settings.beaconFaultlineEnabled());
    EXPECT_EQ(settings.betaSuspendDuration(), Value(3600));
    EXPECT_EQ(settings.logBufferSize(), 65536u);
    EXPECT_EQ(settings.errorLogBufferSize(), 65536u);
    EXPECT_EQ(settings.maxCustomExceptions(), 16u);
    EXPECT_EQ(settings.maxCustomKeys(), 16u);
    EXPECT_EQ(settings.interactivePromptTitle(), "Send Crash Report?");
    EXPECT_EQ(settings.interactivePromptMessage(),
              "Looks like we crashed! Please help us fix the problem by sending a crash report.");
    EXPECT_EQ(settings.interactivePromptCancelTitle(), "Don't Send");
    EXPECT_EQ(settings.interactivePromptSendTitle(), "Send");
    EXPECT_EQ(settings.interactivePromptAlwaysSendTitle(), "Always Send");
    EXPECT_TRUE(sources.log.empty());
  }
}

TEST(FLTSettingsTest, BoolConfigurationKeysComeFromEnvironmentThenInfoThenDefault) {
  using Accessor = bool (FLTSettings::*)() const;
  const struct {
    std::string key;
    Accessor accessor;
  } keys[] = {
      {"PackageReports", &FLTSettings::shouldPackageReports},
      {"SubmitReports", &FLTSettings::shouldSubmitReports},
      {"UrgentReports", &FLTSettings::canProcessUrgentReports},
  };
  const struct {
    std::string name;
    std::optional<std::string> environment;
    std::optional<Value> info;
    bool expected;
  } cases[] = {
      {"all absent", std::nullopt, std::nullopt, true},
      {"info false", std::nullopt, Value(false), false},
      {"info true", std::nullopt, Value(true), true},
      {"info integer 0", std::nullopt, Value(0), false},
      {"info string NO", std::nullopt, Value("NO"), false},
      {"info array (no switch)", std::nullopt, Value(Value::Array{Value(false)}), true},
      {"info dictionary (no switch)", std::nullopt, Value(Dictionary{}), true},
      {"environment NO over info YES", "NO", Value(true), false},
      {"environment 0", "0", std::nullopt, false},
      {"environment false", "false", std::nullopt, false},
      {"environment YES over info NO", "YES", Value(false), true},
      {"environment 1", "1", std::nullopt, true},
      {"environment true", "true", std::nullopt, true},
      {"environment empty", "", Value(true), false},
      {"environment blank and sign", "  +007", std::nullopt, true},
  };
  for (const auto& key : keys) {
    for (const auto& c : cases) {
      SCOPED_TRACE(key.key + ": " + c.name);
      Sources sources;
      if (c.environment) sources.environment["Faultline" + key.key] = *c.environment;
      if (c.info) sources.info = Dictionary{{key.key, *c.info}};
      FLTSettings settings = sources.settings();
      EXPECT_EQ((settings.*key.accessor)(), c.expected);
      if (c.environment) {
        ASSERT_EQ(sources.log.size(), 1u);
        EXPECT_EQ(sources.log[0], "[Faultline:Crash] override: '" + key.key + "' => '" + *c.environment + "'");
      } else {
        EXPECT_TRUE(sources.log.empty());
      }
    }
  }
}

TEST(FLTSettingsTest, EndpointKeysComeFromEnvironmentThenInfoThenDefault) {
  using Accessor = std::string (FLTSettings::*)() const;
  const struct {
    std::string key;
    Accessor accessor;
    std::string fallback;
  } keys[] = {
      {"ReportsEndpoint", &FLTSettings::reportsEndpoint, "https://reports.faultline.invalid"},
      {"BetaEndpoint", &FLTSettings::betaEndpoint, apiEndpoint()},
  };
  for (const auto& key : keys) {
    const struct {
      std::string name;
      std::optional<std::string> environment;
      std::optional<Value> info;
      std::string expected;
    } cases[] = {
        {"absent", std::nullopt, std::nullopt, key.fallback},
        {"info", std::nullopt, Value("https://info.test"), "https://info.test"},
        {"environment over info", "https://env.test", Value("https://info.test"), "https://env.test"},
        {"info of another type", std::nullopt, Value(42), key.fallback},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(key.key + ": " + c.name);
      Sources sources;
      if (c.environment) sources.environment["Faultline" + key.key] = *c.environment;
      if (c.info) sources.info = Dictionary{{key.key, *c.info}};
      EXPECT_EQ((sources.settings().*key.accessor)(), c.expected);
    }
  }
}

TEST(FLTSettingsTest, EveryLookupOfAnOverriddenKeyIsLoggedOnce) {
  Sources sources;
  sources.environment["FaultlineSubmitReports"] = "NO";
  sources.info = Dictionary{{"SubmitReports", true}};
  FLTSettings settings = sources.settings();
  EXPECT_FALSE(settings.shouldSubmitReports());
  EXPECT_FALSE(settings.shouldSubmitReports());
  EXPECT_EQ(sources.log, (std::vector<std::string>{"[Faultline:Crash] override: 'SubmitReports' => 'NO'",
                                                   "[Faultline:Crash] override: 'SubmitReports' => 'NO'"}));
  // Other keys are not overridden and log nothing.
  EXPECT_TRUE(settings.shouldPackageReports());
  EXPECT_EQ(sources.log.size(), 2u);
  // An unknown key has no value at all.
  EXPECT_FALSE(settings.valueForConfigurationKey("NoSuchKey"));
}

TEST(FLTSettingsTest, DownloadedSwitchesReadTheirSectionWithTheirDefaultForAnythingMissingOrUnusable) {
  using Accessor = bool (FLTSettings::*)() const;
  const struct {
    std::string key;
    Accessor accessor;
    bool fallback;
  } keys[] = {
      {"collect_reports", &FLTSettings::crashReportingEnabled, true},
      {"collect_logged_exceptions", &FLTSettings::errorReportingEnabled, true},
      {"collect_logged_exceptions", &FLTSettings::customExceptionsEnabled, true},
      {"prompt_enabled", &FLTSettings::userPromptEnabled, false},
      {"beacon_faultline_enabled", &FLTSettings::beaconFaultlineEnabled, false},
  };
  for (const auto& key : keys) {
    const struct {
      std::string name;
      std::optional<Value> features;  // the "features" section; none: absent
      bool expected;
    } cases[] = {
        {"section absent", std::nullopt, key.fallback},
        {"section not a dictionary", Value(Value::Array{}), key.fallback},
        {"key absent", Value(Dictionary{{"other", !key.fallback}}), key.fallback},
        {"same as default", Value(Dictionary{{key.key, key.fallback}}), key.fallback},
        {"against default", Value(Dictionary{{key.key, !key.fallback}}), !key.fallback},
        {"number", Value(Dictionary{{key.key, key.fallback ? 0 : 1}}), !key.fallback},
        {"string", Value(Dictionary{{key.key, key.fallback ? "false" : "true"}}), !key.fallback},
        {"null", Value(Dictionary{{key.key, Value()}}), key.fallback},
        {"dictionary", Value(Dictionary{{key.key, Dictionary{{"x", !key.fallback}}}}), key.fallback},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(key.key + ": " + c.name);
      Dictionary downloaded{{"app", Dictionary{{"status", "activated"}}}};
      if (c.features) downloaded["features"] = *c.features;
      Sources sources;
      EXPECT_EQ((sources.settings(downloaded).*key.accessor)(), c.expected);
    }
  }
}

TEST(FLTSettingsTest, DownloadedLimitsAreWholeNumbersWithinThirtyTwoBits) {
  using Accessor = std::uint32_t (FLTSettings::*)() const;
  const struct {
    std::string key;
    Accessor accessor;
    std::uint32_t fallback;
  } keys[] = {
      {"log_buffer_size", &FLTSettings::logBufferSize, 65536},
      {"log_buffer_size", &FLTSettings::errorLogBufferSize, 65536},
      {"max_custom_exception_events", &FLTSettings::maxCustomExceptions, 16},
      {"max_custom_key_value_pairs", &FLTSettings::maxCustomKeys, 16},
  };
  for (const auto& key : keys) {
    const struct {
      std::string name;
      std::optional<Value> value;
      std::uint32_t expected;
    } cases[] = {
        {"absent", std::nullopt, key.fallback},
        {"integer", Value(1000), 1000},
        {"zero", Value(0), 0},
        {"largest", Value(std::int64_t{4294967295}), 4294967295u},
        {"double cut to whole", Value(99.9), 99},
        {"decimal string", Value("2048"), 2048},
        {"negative (would wrap)", Value(-1), key.fallback},
        {"beyond 32 bits", Value(std::int64_t{4294967296}), key.fallback},
        {"infinite double", Value(1e300), key.fallback},
        {"string with letters", Value("12kb"), key.fallback},
        {"negative string", Value("-5"), key.fallback},
        {"array", Value(Value::Array{Value(5)}), key.fallback},
        {"bool", Value(true), 1},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(key.key + ": " + c.name);
      Dictionary session;
      if (c.value) session[key.key] = *c.value;
      Sources sources;
      EXPECT_EQ((sources.settings(Dictionary{{"session", session}}).*key.accessor)(), c.expected);
    }
  }
  Sources sources;
  EXPECT_EQ(sources.settings(Dictionary{{"session", "not a section"}}).logBufferSize(), 65536u);
}

TEST(FLTSettingsTest, BetaSuspendDurationIsTheStoredNumberAsStored) {
  const struct {
    std::string name;
    std::optional<Value> value;
    Value expected;
  } cases[] = {
      {"absent", std::nullopt, Value(3600)},
      {"integer", Value(60), Value(60)},
      {"double stays a double", Value(1.5), Value(1.5)},
      {"string is no number", Value("60"), Value(3600)},
      {"bool is no number", Value(true), Value(3600)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Dictionary beta;
    if (c.value) beta["update_suspend_duration"] = *c.value;
    Sources sources;
    EXPECT_EQ(sources.settings(Dictionary{{"beta", beta}}).betaSuspendDuration(), c.expected);
  }
}

TEST(FLTSettingsTest, PromptTextsComeFromSettingsThenTheAppsTranslation) {
  Sources sources;
  Dictionary prompt{{"title", "Report it?"},
                    {"message", Value(7)},  // no text: the default stands
                    {"send_button_title", "Go"},
                    {"always_send_button_title", "Always go"}};
  sources.strings["FaultlineCrashSubmissionSendTitle"] = "Senden";
  FLTSettings settings = sources.settings(Dictionary{{"prompt", prompt}});
  EXPECT_EQ(settings.interactivePromptTitle(), "Report it?");
  EXPECT_EQ(settings.interactivePromptMessage(),
            "Looks like we crashed! Please help us fix the problem by sending a crash report.");
  EXPECT_EQ(settings.interactivePromptCancelTitle(), "Don't Send");
  EXPECT_EQ(settings.interactivePromptSendTitle(), "Senden");
  EXPECT_EQ(settings.interactivePromptAlwaysSendTitle(), "Always go");
}

// The live sources: the process environment, the bundle's Info.json and its
// strings table.
TEST(FLTSettingsTest, LiveSourcesAreTheProcessEnvironmentAndTheMainBundle) {
  TempDir dir("flt-settings");
  const auto bundle = dir.path() / "Settings.app";
  std::filesystem::create_directories(bundle / "Contents" / "Resources");
  ASSERT_TRUE(test_support::writeTextFile(
      (bundle / "Contents" / "Info.json").string(),
      R"({"CFBundleIdentifier": "com.example.settings",
          "Faultline": {"PackageReports": false, "ReportsEndpoint": "https://reports.example.test"}})"));
  ASSERT_TRUE(test_support::writeTextFile((bundle / "Contents" / "Resources" / "Faultline.strings.json").string(),
                                          R"({"FaultlineCrashSubmissionPromptTitle": "Absturzbericht senden?",
                                              "FaultlineCrashSubmissionSendTitle": 5})"));
  ScopedEnv bundleEnv("VANDREL_BUNDLE", bundle.string());
  ScopedEnv submit("FaultlineSubmitReports", "NO");
  ScopedEnv urgent("FaultlineUrgentReports", std::nullopt);

  FLTSettings settings(Dictionary{});
  ASSERT_TRUE(settings.configuration());
  EXPECT_FALSE(settings.shouldPackageReports());
  EXPECT_FALSE(settings.shouldSubmitReports());
  EXPECT_TRUE(settings.canProcessUrgentReports());
  EXPECT_EQ(settings.reportsEndpoint(), "https://reports.example.test");
  EXPECT_EQ(settings.interactivePromptTitle(), "Absturzbericht senden?");
  EXPECT_EQ(settings.interactivePromptSendTitle(), "Send");  // a translation that is no text
}

}  // namespace
}  // namespace vandrel::crash
