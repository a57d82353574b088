#include "crash/kit/flt_data_collection_arbiter.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/kit/trl_flt_user_defaults.h"
#include "platform/value.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using platform::Value;
using Answer = FLTBCNAppDefaultAnswer;

class FLTDataCollectionArbiterTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flt-arbiter-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
    defaults_ = openDefaults();
  }
  void TearDown() override {
    defaults_.reset();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  std::unique_ptr<TRLFLTUserDefaults> openDefaults() {
    return std::make_unique<TRLFLTUserDefaults>(base_, "com.example.app");
  }

  fs::path base_;
  std::unique_ptr<TRLFLTUserDefaults> defaults_;
};

FLTBCNApp::ClassHandle core(std::optional<Answer> answer) {
  if (!answer) return {};
  return [a = *answer] { return a; };
}

TEST_F(FLTDataCollectionArbiterTest, FirstConfiguredSourceDecides) {
  struct Case {
    const char* name;
    std::int64_t sticky;             // 0: not stored
    std::optional<Value> infoValue;  // "BeaconFaultlineCollectionEnabled"
    std::optional<Answer> core;      // none: the core is not in the process
    bool expected;
  };
  const Case cases[] = {
      {"nothing configured anywhere", 0, std::nullopt, std::nullopt, true},
      {"sticky enabled beats info false", 1, Value(false), Answer::Disabled, true},
      {"sticky disabled beats info true", 2, Value(true), Answer::Enabled, false},
      {"unknown sticky value reads as disabled", 7, Value(true), Answer::Enabled, false},
      {"negative sticky value reads as disabled", -1, std::nullopt, std::nullopt, false},
      {"info false beats core true", 0, Value(false), Answer::Enabled, false},
      {"info true beats core false", 0, Value(true), Answer::Disabled, true},
      {"info string NO", 0, Value("NO"), Answer::Enabled, false},
      {"info string YES", 0, Value("YES"), Answer::Disabled, true},
      {"info number 0", 0, Value(0), Answer::Enabled, false},
      {"info number 1", 0, Value(1), Answer::Disabled, true},
      {"info of another type is ignored", 0, Value(Value::Array{}), Answer::Disabled, false},
      {"core default off", 0, std::nullopt, Answer::Disabled, false},
      {"core default on", 0, std::nullopt, Answer::Enabled, true},
      {"core without default app", 0, std::nullopt, Answer::NoDefaultApp, true},
      {"core that cannot answer", 0, std::nullopt, Answer::NotSupported, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    defaults_->removeAllObjects();
    if (c.sticky != 0) defaults_->setInteger(c.sticky, kTRLDataCollectionKey);
    Value::Dictionary info{{"CFBundleIdentifier", "com.example.app"}};
    if (c.infoValue) info.emplace(std::string(kFLTCollectionEnabledInfoKey), *c.infoValue);
    const FLTBCNApp bcnApp(core(c.core), [] { return false; }, {});
    const FLTDataCollectionArbiter arbiter(*defaults_, info, bcnApp);
    EXPECT_EQ(arbiter.stickySetting(), c.sticky);
    EXPECT_EQ(arbiter.isFaultlineCollectionEnabled(), c.expected);
  }
}

TEST_F(FLTDataCollectionArbiterTest, StoredChoiceSurvivesTheProcess) {
  const FLTBCNApp bcnApp(core(Answer::Enabled), {}, {});
  const Value::Dictionary info{{std::string(kFLTCollectionEnabledInfoKey), true}};
  {
    FLTDataCollectionArbiter arbiter(*defaults_, info, bcnApp);
    EXPECT_TRUE(arbiter.setFaultlineCollectionEnabled(false));
    EXPECT_EQ(arbiter.stickySetting(), kFLTStickyDisabled);
    EXPECT_FALSE(arbiter.isFaultlineCollectionEnabled());
  }
  // A later launch reads the file anew.
  auto relaunched = openDefaults();
  FLTDataCollectionArbiter arbiter(*relaunched, info, bcnApp);
  EXPECT_EQ(arbiter.stickySetting(), kFLTStickyDisabled);
  EXPECT_FALSE(arbiter.isFaultlineCollectionEnabled());
  EXPECT_TRUE(arbiter.setFaultlineCollectionEnabled(true));
  EXPECT_EQ(openDefaults()->integerForKey(kTRLDataCollectionKey), kFLTStickyEnabled);
}

TEST_F(FLTDataCollectionArbiterTest, ChoiceThatCannotBeWrittenStillHoldsAndIsReported) {
  const FLTBCNApp bcnApp(core(Answer::Enabled), {}, {});
  FLTDataCollectionArbiter arbiter(*defaults_, {}, bcnApp);
  // A plain file where the store's folder belongs.
  fs::create_directories(defaults_->directoryURL().parent_path());
  { std::ofstream(defaults_->directoryURL()) << "blocker"; }
  EXPECT_FALSE(arbiter.setFaultlineCollectionEnabled(false));
  EXPECT_FALSE(arbiter.isFaultlineCollectionEnabled());
  fs::remove(defaults_->directoryURL());
  EXPECT_TRUE(defaults_->synchronize());
  EXPECT_EQ(openDefaults()->integerForKey(kTRLDataCollectionKey), kFLTStickyDisabled);
}

TEST_F(FLTDataCollectionArbiterTest, LegacyInfoKeyDefaultsToEnabled) {
  struct Case {
    const char* name;
    std::optional<Value> value;
    bool expected;
  };
  const Case cases[] = {
      {"absent", std::nullopt, true},
      {"false", Value(false), false},
      {"true", Value(true), true},
      {"string no", Value("no"), false},
      {"string 0", Value("0"), false},
      {"string true", Value("true"), true},
      {"number 0", Value(0), false},
      {"dictionary", Value(Value::Dictionary{}), true},
  };
  const FLTBCNApp bcnApp({}, {}, {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Value::Dictionary info;
    if (c.value) info.emplace(std::string(kFLTLegacyCollectionEnabledInfoKey), *c.value);
    FLTDataCollectionArbiter arbiter(*defaults_, info, bcnApp);
    EXPECT_EQ(arbiter.isLegacyPlistFaultlineCollectionEnabled(), c.expected);
  }
}

TEST(FLTBoolValueTest, ReadsStringsAndNumbersLikeThePlatform) {
  struct Case {
    Value value;
    std::optional<bool> expected;
  };
  const Case cases[] = {
      {Value("YES"), true},   {Value("yes"), true},   {Value("true"), true},
      {Value("T"), true},     {Value("  Y"), true},   {Value("1"), true},
      {Value("+07"), true},   {Value("-3"), true},    {Value("NO"), false},
      {Value("false"), false}, {Value("0"), false},   {Value("000"), false},
      {Value(""), false},     {Value("  "), false},   {Value("on"), false},
      {Value(true), true},    {Value(false), false},  {Value(2), true},
      {Value(0), false},      {Value(0.5), true},     {Value(0.0), false},
      {Value(), std::nullopt}, {Value(Value::Array{}), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.toJson());
    EXPECT_EQ(FLTBoolValue(c.value), c.expected);
  }
}

TEST(FLTBCNAppTest, UnsupportedCoreIsLoggedOnlyInDebug) {
  for (bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    std::vector<std::string> lines;
    const FLTBCNApp bcnApp(core(Answer::NotSupported), [debug] { return debug; },
                           [&](std::string_view line) { lines.emplace_back(line); });
    EXPECT_TRUE(bcnApp.isDataCollectionDefaultEnabled());
    if (debug) {
      EXPECT_EQ(lines, std::vector<std::string>{std::string(kFLTBCNAppUnsupportedMessage)});
    } else {
      EXPECT_TRUE(lines.empty());
    }
  }
}

TEST(FLTBCNAppTest, SharedInstanceFindsTheCoreByName) {
  EXPECT_FALSE(FLTBCNApp::lookUpClass(kFLTBCNAppClassName));
  EXPECT_TRUE(FLTBCNApp::shared().isDataCollectionDefaultEnabled());

  FLTBCNApp::registerClass(kFLTBCNAppClassName, core(Answer::Disabled));
  EXPECT_FALSE(FLTBCNApp::shared().isDataCollectionDefaultEnabled());
  // Another class name is not the core.
  FLTBCNApp::registerClass(kFLTBCNAppClassName, {});
  FLTBCNApp::registerClass("BCNAppOther", core(Answer::Disabled));
  EXPECT_TRUE(FLTBCNApp::shared().isDataCollectionDefaultEnabled());
  FLTBCNApp::registerClass("BCNAppOther", {});
}

}  // namespace
}  // namespace vandrel::crash
