#include "analytics/core/bcn_options.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "analytics/core/bcn_logger.h"
#include "platform/sync.h"
#include "tests/analytics/bcn_test_support.h"

namespace vandrel::analytics {
namespace {

using platform::Value;
using Dictionary = Value::Dictionary;

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

using bcn_test::CapturedLines;

// Each test runs against its own main bundle (the platform resolves
// $VANDREL_BUNDLE on every call and reads a bundle's info once per path).
class BCNOptionsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bcn_options_test.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    ASSERT_NE(dir, nullptr);
    dir_ = dir;
    const char* previous = ::getenv("VANDREL_BUNDLE");
    if (previous != nullptr) previousBundle_ = previous;
    ::setenv("VANDREL_BUNDLE", bundle().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    BCNOptions::resetDefaultOptions();
  }
  void TearDown() override {
    BCNOptions::resetDefaultOptions();
    if (previousBundle_) {
      ::setenv("VANDREL_BUNDLE", previousBundle_->c_str(), 1);
    } else {
      ::unsetenv("VANDREL_BUNDLE");
    }
    std::filesystem::remove_all(dir_);
  }

  std::filesystem::path bundle() const { return dir_ / "Test.app"; }
  std::filesystem::path optionsFile() const {
    return bundle() / "Contents" / "Resources" / "GryphonService-Info.json";
  }
  // Must be written before the first use of the main bundle in a test.
  void writeInfo(const std::string& json) { writeFile(bundle() / "Contents" / "Info.json", json); }

  std::filesystem::path dir_;
  std::optional<std::string> previousBundle_;
};

TEST_F(BCNOptionsTest, DefaultOptionsAreBuiltOnceUntilReset) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  writeFile(optionsFile(), R"({"GRYPHON_APP_ID": "1:1:ios:a", "API_KEY": "key-1"})");
  const auto first = BCNOptions::defaultOptions();
  ASSERT_TRUE(first);
  EXPECT_EQ(BCNOptions::defaultOptions(), first);
  EXPECT_TRUE(first->usingOptionsFromDefaultPlist());
  EXPECT_EQ(first->gryphonAppID(), "1:1:ios:a");
  EXPECT_EQ(first->APIKey(), "key-1");

  writeFile(optionsFile(), R"({"GRYPHON_APP_ID": "1:1:ios:b"})");
  EXPECT_EQ(BCNOptions::defaultOptions(), first);  // not read again
  BCNOptions::resetDefaultOptions();
  const auto second = BCNOptions::defaultOptions();
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->gryphonAppID(), "1:1:ios:b");
  EXPECT_EQ(first->gryphonAppID(), "1:1:ios:a");
}

TEST_F(BCNOptionsTest, MissingFileGivesNullAndOneMessagePerReset) {
  writeInfo("{}");
  CapturedLines captured;
  EXPECT_FALSE(BCNOptions::defaultOptions());
  EXPECT_FALSE(BCNOptions::defaultOptions());
  EXPECT_FALSE(BCNOptions::defaultOptionsDictionary());
  const std::string expected =
      "6.28.0 - [Beacon/Core][I-COR000012] Could not locate configuration file: "
      "'GryphonService-Info.json'.";
  EXPECT_EQ(captured.lines(), std::vector<std::string>{expected});

  BCNOptions::resetDefaultOptions();
  EXPECT_FALSE(BCNOptions::defaultOptions());
  EXPECT_EQ(captured.lines(), (std::vector<std::string>{expected, expected}));
}

TEST_F(BCNOptionsTest, FileThatIsNotADictionaryIsLogged) {
  writeInfo("{}");
  CapturedLines captured;
  for (const char* text : {"[1, 2]", "{\"API_KEY\": ", ""}) {
    SCOPED_TRACE(text);
    writeFile(optionsFile(), text);
    BCNOptions::resetDefaultOptions();
    EXPECT_FALSE(BCNOptions::defaultOptions());
  }
  ASSERT_EQ(captured.lines().size(), 3u);
  EXPECT_EQ(captured.lines()[0],
            "6.28.0 - [Beacon/Core][I-COR000011] The configuration file is not a dictionary: "
            "'GryphonService-Info.json'.");
}

TEST_F(BCNOptionsTest, InitWithContentsOfFile) {
  writeInfo("{}");
  CapturedLines captured;
  EXPECT_FALSE(BCNOptions::initWithContentsOfFile(std::nullopt));
  const std::string missing = (dir_ / "missing.json").string();
  EXPECT_FALSE(BCNOptions::initWithContentsOfFile(missing));
  const std::vector<std::string> expected = {
      "6.28.0 - [Beacon/Core][I-COR000013] The plist file path is nil.",
      "6.28.0 - [Beacon/Core][I-COR000014] The configuration file at " + missing +
          " does not exist or is not a well-formed plist file.",
  };
  EXPECT_EQ(captured.lines(), expected);

  writeFile(dir_ / "other.json", R"({"PROJECT_ID": "p", "IS_SIGNIN_ENABLED": true})");
  const auto options = BCNOptions::initWithContentsOfFile((dir_ / "other.json").string());
  ASSERT_TRUE(options);
  EXPECT_FALSE(options->usingOptionsFromDefaultPlist());
  EXPECT_EQ(options->projectID(), "p");
  EXPECT_TRUE(options->isSignInEnabled());
  EXPECT_FALSE(options->isAnalyticsEnabled());
}

TEST_F(BCNOptionsTest, InitWithAppIDTakesTheMainBundleIdentifier) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  const auto options = BCNOptions::initWithGryphonAppID("1:2:ios:c", std::nullopt);
  const Dictionary expected = {{"GRYPHON_APP_ID", "1:2:ios:c"}, {"BUNDLE_ID", "com.vandrel.test"}};
  EXPECT_EQ(options->optionsDictionary(), expected);
}

TEST_F(BCNOptionsTest, CopySharesTheDictionaryButNotTheAnalyticsCache) {
  writeInfo("{}");
  auto source = BCNOptions::initInternalWithOptionsDictionary({{"API_KEY", "a"}});
  source->setDeepLinkURLScheme("vandrel");
  EXPECT_TRUE(source->analyticsOptionsDictionary().empty());
  auto copy = source->copy();
  copy->setAPIKey("b");
  EXPECT_EQ(source->APIKey(), "b");
  copy->setStorageBucket(std::nullopt);
  copy->setDatabaseURL("https://db.example");
  EXPECT_EQ(source->databaseURL(), "https://db.example");
  EXPECT_EQ(copy->deepLinkURLScheme(), "vandrel");
  EXPECT_TRUE(copy->usingOptionsFromDefaultPlist());
  EXPECT_TRUE(*copy == *source);
  EXPECT_EQ(copy->hash(), source->hash());
  copy->setAppGroupID("group.vandrel");
  EXPECT_FALSE(*copy == *source);
  EXPECT_NE(copy->hash(), source->hash());
}

TEST_F(BCNOptionsTest, LockedOptionsThrowBeforeChangingAnything) {
  writeInfo("{}");
  auto options = BCNOptions::initInternalWithOptionsDictionary({{"API_KEY", "a"}});
  options->setEditingLocked(true);
  try {
    options->setAPIKey("b");
    FAIL() << "setter did not throw";
  } catch (const BCNException& e) {
    EXPECT_EQ(e.name(), "com.beacon.core");
    EXPECT_EQ(e.reason(),
              "Attempted to modify options after it's set on BCNApp. Please modify all properties "
              "before initializing BCNApp.");
  }
  EXPECT_THROW(options->setGryphonAppID(std::nullopt), BCNException);
  EXPECT_THROW(options->setDeepLinkURLScheme("x"), BCNException);
  EXPECT_THROW(options->setAppGroupID("x"), BCNException);
  EXPECT_EQ(options->APIKey(), "a");
  EXPECT_FALSE(options->deepLinkURLScheme());
  auto copy = options->copy();
  EXPECT_TRUE(copy->editingLocked());
  EXPECT_THROW(copy->setClientID("c"), BCNException);
}

TEST_F(BCNOptionsTest, InfoDictionaryOverridesOptionsForAnalyticsKeys) {
  writeInfo(R"({"IS_MEASUREMENT_ENABLED": false})");
  auto options = BCNOptions::initInternalWithOptionsDictionary(
      {{"IS_MEASUREMENT_ENABLED", true}, {"BEACON_ANALYTICS_COLLECTION_ENABLED", true}});
  const Dictionary expected = {{"IS_MEASUREMENT_ENABLED", false},
                               {"BEACON_ANALYTICS_COLLECTION_ENABLED", true}};
  EXPECT_EQ(options->analyticsOptionsDictionary(), expected);
  EXPECT_FALSE(options->isMeasurementEnabled(BCNAppFacts{}));
  EXPECT_TRUE(options->isAnalyticsCollectionEnabled(BCNAppFacts{}));
  EXPECT_TRUE(options->isAnalyticsCollectionExplicitlySet());
}

TEST(BCNOptionsAnalyticsTest, SwitchesFollowThePrecedenceRules) {
  BCNAppFacts defaultOn;
  defaultOn.isDefaultAppConfigured = true;
  defaultOn.defaultAppDataCollectionDefaultEnabled = true;
  struct Case {
    const char* name;
    Dictionary values;
    BCNAppFacts facts;
    bool measurement;
    bool collection;
    bool explicitlySet;
  };
  const Case cases[] = {
      {"nothing set, no app", {}, {}, false, false, false},
      {"nothing set, default app collects", {}, defaultOn, true, true, false},
      {"measurement on", {{"IS_MEASUREMENT_ENABLED", true}}, {}, true, true, true},
      {"collection off over measurement",
       {{"IS_MEASUREMENT_ENABLED", true}, {"BEACON_ANALYTICS_COLLECTION_ENABLED", false}},
       {}, true, false, true},
      {"deactivated wins",
       {{"BEACON_ANALYTICS_COLLECTION_DEACTIVATED", true},
        {"IS_MEASUREMENT_ENABLED", true},
        {"BEACON_ANALYTICS_COLLECTION_ENABLED", true}},
       defaultOn, false, false, true},
      {"deactivated false is no override",
       {{"BEACON_ANALYTICS_COLLECTION_DEACTIVATED", false}}, defaultOn, true, true, false},
      {"string value is not explicitly set",
       {{"BEACON_ANALYTICS_COLLECTION_ENABLED", "YES"}}, {}, false, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BCNOptions options(std::make_shared<Dictionary>(), false);
    const Dictionary& analytics = options.analyticsOptionsDictionaryWithInfoDictionary(c.values);
    EXPECT_EQ(analytics, c.values);
    EXPECT_EQ(options.isMeasurementEnabled(c.facts), c.measurement);
    EXPECT_EQ(options.isAnalyticsCollectionEnabled(c.facts), c.collection);
    EXPECT_EQ(options.isAnalyticsCollectionExplicitlySet(), c.explicitlySet);
  }
}

TEST(BCNOptionsAnalyticsTest, AnalyticsDictionaryIsNotRefreshed) {
  auto options = BCNOptions::initInternalWithOptionsDictionary({{"IS_MEASUREMENT_ENABLED", true}});
  EXPECT_TRUE(options->isMeasurementEnabled(BCNAppFacts{}));  // computed here, first use
  EXPECT_EQ(options->analyticsOptionsDictionaryWithInfoDictionary({{"IS_MEASUREMENT_ENABLED", false}}),
            (Dictionary{{"IS_MEASUREMENT_ENABLED", true}}));
  // A copy shares the options but computes its own analytics dictionary.
  EXPECT_TRUE(options->copy()->isAnalyticsCollectionExplicitlySet());
}

TEST(BCNOptionsAnalyticsTest, LibraryVersionID) {
  EXPECT_EQ(BCNOptions::libraryVersionID(), "60901000");
}

}  // namespace
}  // namespace vandrel::analytics
