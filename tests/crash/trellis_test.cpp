#include "crash/kit/trellis.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_flt_user_defaults.h"
#include "crash/kit/trl_load.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/notification_center.h"
#include "platform/value.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using platform::Value;
using Mode = TRLInstallationMode;

using Journal = std::vector<std::string>;

class FakeKit : public TRLKitClass {
 public:
  FakeKit(std::string name, Journal& journal, bool initializer = true, bool disabler = true)
      : name_(std::move(name)), journal_(journal), initializer_(initializer), disabler_(disabler) {}
  std::string className() const override { return name_; }
  std::string bundleIdentifier() const override { return "com.example." + name_; }
  std::string kitDisplayVersion() const override { return "1.0." + std::to_string(name_.size()); }
  bool respondsToInitializeIfNeeded() const override { return initializer_; }
  void initializeIfNeeded() override { journal_.push_back("init " + name_); }
  bool respondsToDisableUninitializedKitMessaging() const override { return disabler_; }
  void disableUninitializedKitMessaging() override { journal_.push_back("disable " + name_); }

 private:
  std::string name_;
  Journal& journal_;
  bool initializer_;
  bool disabler_;
};

// A class that is in the process but is no kit (e.g. a framework's class).
class PlainClass : public TRLKitClass {
 public:
  explicit PlainClass(std::string name) : name_(std::move(name)) {}
  std::string className() const override { return name_; }
  bool conformsToTRLKit() const override { return false; }

 private:
  std::string name_;
};

class LegacyKit : public TRLKitClass, public TRLLegacyKitInstance {
 public:
  LegacyKit(std::string name, Journal& journal, bool complete)
      : name_(std::move(name)), journal_(journal), complete_(complete) {}
  std::string className() const override { return name_; }
  bool conformsToTRLKit() const override { return false; }
  TRLLegacyKitInstance* sharedInstance() override { return this; }
  bool answersLegacyKitMethods() const override { return complete_; }
  void start() override { journal_.push_back("start " + name_); }
  std::string bundleIdentifier() const override { return "com.legacy." + name_; }
  std::string version() const override { return "0.9"; }

 private:
  std::string name_;
  Journal& journal_;
  bool complete_;
};

class FakeOnboarding : public TRLSettingsOnboardingManaging {
 public:
  void beginSettingsAndOnboardingOperations(const std::string& apiKey,
                                            const std::map<std::string, std::string>& versions) override {
    calls.push_back({apiKey, versions});
  }
  Value::Dictionary settingsDictionary() const override { return {{"downloaded", true}}; }

  struct Call {
    std::string apiKey;
    std::map<std::string, std::string> versions;
  };
  std::vector<Call> calls;
};

const Value::Dictionary kBaseInfo{{"CFBundleIdentifier", "com.example.app"}};

Value::Dictionary infoWithTrellis(Value::Dictionary trellis) {
  Value::Dictionary info = kBaseInfo;
  info["Trellis"] = std::move(trellis);
  return info;
}

class TrellisTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trellis-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
    defaults_ = std::make_unique<TRLFLTUserDefaults>(base_, "com.example.app");
    standard_ = std::make_unique<platform::Defaults>(base_ / "standard.json");
  }
  void TearDown() override {
    sdk_.reset();
    defaults_.reset();
    standard_.reset();
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  Trellis& make() {
    bcnApp_ = std::make_unique<FLTBCNApp>(FLTBCNApp::ClassHandle(), nullptr, nullptr);
    arbiter_ = std::make_unique<FLTDataCollectionArbiter>(*defaults_, info_.value_or(Value::Dictionary{}),
                                                          *bcnApp_);
    TrellisEnvironment env;
    env.defaults = defaults_.get();
    env.migrationSource = standard_.get();
    env.info = info_;
    env.arbiter = arbiter_.get();
    env.lookUpClass = [this](std::string_view name) -> TRLKitClassPtr {
      const auto it = classes_.find(std::string(name));
      return it == classes_.end() ? nullptr : it->second;
    };
    env.arguments = arguments_;
    env.log = [this](std::string_view line) { logs_.emplace_back(line); };
    env.makeApplicationIdentifierModel = [](const std::string& installID) {
      TRLExecutableInfo executable;
      executable.architectureUUIDMap = {{"x86_64", "00112233445566778899aabbccddeeff"}};
      return TRLApplicationIdentifierModel::initWithInstallID(
          installID, [=] { return std::optional(executable); }, "com.example.app");
    };
    env.makeSettingsOnboardingManager = [this](const TRLApplicationIdentifierModel* model)
        -> std::unique_ptr<TRLSettingsOnboardingManaging> {
      modelSeenByOnboarding_ = model;
      auto manager = std::make_unique<FakeOnboarding>();
      onboarding_ = manager.get();
      return manager;
    };
    sdk_ = std::make_unique<Trellis>(std::move(env));
    return *sdk_;
  }

  TRLKitClassPtr addKit(const std::string& name, bool initializer = true, bool disabler = true) {
    auto kit = std::make_shared<FakeKit>(name, journal_, initializer, disabler);
    classes_[name] = kit;
    return kit;
  }
  void disableCollection() { defaults_->setInteger(kFLTStickyDisabled, kTRLDataCollectionKey); }
  bool logged(std::string_view line) const {
    return std::find(logs_.begin(), logs_.end(), line) != logs_.end();
  }

  fs::path base_;
  std::unique_ptr<TRLFLTUserDefaults> defaults_;
  std::unique_ptr<platform::Defaults> standard_;
  std::optional<Value::Dictionary> info_ = kBaseInfo;
  std::vector<std::string> arguments_{"vandrel"};
  std::map<std::string, TRLKitClassPtr> classes_;
  Journal journal_;
  std::vector<std::string> logs_;
  std::unique_ptr<FLTBCNApp> bcnApp_;
  std::unique_ptr<FLTDataCollectionArbiter> arbiter_;
  FakeOnboarding* onboarding_ = nullptr;
  const TRLApplicationIdentifierModel* modelSeenByOnboarding_ = nullptr;
  std::unique_ptr<Trellis> sdk_;
};

bool isUpperUUID(const std::string& s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (s[i] == '-')) return false;
    if (!dash && !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
    if (std::islower(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

// ---- identity ----------------------------------------------------------------------

TEST_F(TrellisTest, InstallationIdIsMadeOnceAndPersistedBeforeAnyKitStarts) {
  Trellis& first = make();
  EXPECT_TRUE(first.isFirstInstall());
  EXPECT_TRUE(isUpperUUID(first.installID())) << first.installID();
  const std::string installID = first.installID();
  const std::string execution = first.executionIdentifier();
  EXPECT_EQ(execution.size(), 32u);
  EXPECT_TRUE(std::all_of(execution.begin(), execution.end(),
                          [](char c) { return std::isdigit(c) || (c >= 'a' && c <= 'f'); }))
      << execution;
  ASSERT_NE(first.applicationIdentifierModel(), nullptr);
  EXPECT_EQ(first.applicationIdentifierModel()->installID(), installID);
  EXPECT_EQ(modelSeenByOnboarding_, first.applicationIdentifierModel());
  EXPECT_EQ(first.instanceIdentifier(), first.applicationIdentifierModel()->instanceIdentifier());
  EXPECT_EQ(first.settings(), (Value::Dictionary{{"downloaded", true}}));

  // Already on disk: a store reading the file afresh sees it.
  sdk_.reset();
  defaults_ = std::make_unique<TRLFLTUserDefaults>(base_, "com.example.app");
  EXPECT_EQ(defaults_->stringForKey(kTRLInstallationUUIDKey), installID);

  Trellis& second = make();
  EXPECT_FALSE(second.isFirstInstall());
  EXPECT_EQ(second.installID(), installID);
  EXPECT_NE(second.executionIdentifier(), execution);
}

TEST_F(TrellisTest, InstallationIdIsTakenOverFromThePlatformDefaults) {
  ASSERT_TRUE(standard_->set(kTRLInstallationUUIDKey, "11111111-2222-3333-4444-555555555555"));
  Trellis& sdk = make();
  EXPECT_FALSE(sdk.isFirstInstall());
  EXPECT_EQ(sdk.installID(), "11111111-2222-3333-4444-555555555555");
  EXPECT_FALSE(standard_->object(kTRLInstallationUUIDKey).has_value());
  EXPECT_EQ(defaults_->stringForKey(kTRLInstallationUUIDKey), "11111111-2222-3333-4444-555555555555");
}

TEST_F(TrellisTest, StoredIdThatIsNoUsableStringIsReplaced) {
  for (const Value& stored : {Value(42), Value(""), Value(Value::Array{})}) {
    SCOPED_TRACE(stored.toJson());
    defaults_->setObject(stored, kTRLInstallationUUIDKey);
    Trellis& sdk = make();
    EXPECT_TRUE(sdk.isFirstInstall());
    EXPECT_TRUE(isUpperUUID(sdk.installID()));
    EXPECT_EQ(defaults_->stringForKey(kTRLInstallationUUIDKey), sdk.installID());
  }
}

TEST_F(TrellisTest, DebugFlagComesFromTheProcessArguments) {
  EXPECT_FALSE(make().debug());
  arguments_ = {"vandrel", "-BCNDebugEnabledX", "BCNDebugEnabled"};
  EXPECT_FALSE(make().debug());
  arguments_ = {"vandrel", "-other", "-BCNDebugEnabled"};
  EXPECT_TRUE(make().debug());
}

// ---- ready notification ------------------------------------------------------------

TEST_F(TrellisTest, ReadyNotificationWithoutTrellisDictionaryNeedsAnAppId) {
  addKit("Faultline");
  Trellis& sdk = make();
  sdk.autoInitialize({{"other", "x"}});
  EXPECT_EQ(sdk.installationMode(), Mode::Beacon);
  EXPECT_TRUE(sdk.beaconMode());
  EXPECT_TRUE(logged("[Trellis] [Faultline] attempted initialization via Beacon, but did not get a Gryphon App Id"));
  EXPECT_TRUE(journal_.empty());

  // An empty or non-string app id is no app id.
  for (const Value& id : {Value(""), Value(7)}) {
    Trellis& again = make();
    again.autoInitialize({{"BCNGryphonAppIDKey", id}});
    EXPECT_FALSE(again.beaconGryphonAppId().has_value());
    EXPECT_TRUE(journal_.empty());
  }
}

TEST_F(TrellisTest, ReadyNotificationWithAppIdStartsTheCrashKitWithHashedKey) {
  addKit("Faultline");
  Trellis& sdk = make();
  sdk.autoInitialize({{"BCNGryphonAppIDKey", "1:123:mac:abc"}});
  EXPECT_EQ(sdk.installationMode(), Mode::Beacon);
  EXPECT_EQ(sdk.beaconGryphonAppId(), "1:123:mac:abc");
  const std::string expectedKey = TRLSHA256HexOfData(std::string_view("1:123:mac:abc")).substr(0, 40);
  EXPECT_EQ(sdk.APIKey(), expectedKey);
  EXPECT_EQ(journal_, (Journal{"init Faultline"}));
  ASSERT_NE(onboarding_, nullptr);
  ASSERT_EQ(onboarding_->calls.size(), 1u);
  EXPECT_EQ(onboarding_->calls[0].apiKey, expectedKey);
  EXPECT_EQ(onboarding_->calls[0].versions,
            (std::map<std::string, std::string>{{"com.example.Faultline", "1.0.9"},
                                                {"io.trellis.sdk.mac", "1.10.2"}}));
  EXPECT_TRUE(logs_.empty()) << logs_.front();
}

TEST_F(TrellisTest, TrellisDictionaryDecidesWhetherTheReadyNotificationStarts) {
  struct Case {
    const char* name;
    Value trellis;
    bool starts;
  };
  const Case cases[] = {
      {"no AutoInitialize", Value::Dictionary{{"APIKey", "key"}}, false},
      {"AutoInitialize false", Value::Dictionary{{"APIKey", "key"}, {"AutoInitialize", false}}, false},
      {"AutoInitialize true",
       Value::Dictionary{{"APIKey", "key"}, {"Kits", Value::Array{}}, {"AutoInitialize", true}}, true},
      {"a value that is no dictionary", Value("key"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal_.clear();
    logs_.clear();
    addKit("Faultline");
    info_ = kBaseInfo;
    (*info_)["Trellis"] = c.trellis;
    Trellis& sdk = make();
    sdk.autoInitialize({{"BCNGryphonAppIDKey", "app"}});
    EXPECT_EQ(journal_, c.starts ? Journal{"init Faultline"} : Journal{});
    EXPECT_EQ(sdk.installationMode(), c.starts ? Mode::ConfiguredFromInfo : Mode::Undecided);
    if (c.starts) {
      EXPECT_EQ(sdk.APIKey(), "key");
    }
    EXPECT_TRUE(logs_.empty()) << logs_.front();
  }
}

TEST_F(TrellisTest, ReadyNotificationRespectsCollectionSwitchesAndMissingCrashKit) {
  struct Case {
    const char* name;
    bool sticky_disabled;
    bool legacy_disabled;
    bool faultline_present;
    bool debug;
    const char* expectedLog;  // nullptr: no line
  };
  const Case cases[] = {
      {"collection disabled, debug", true, false, true, true,
       "[Trellis] [Faultline] automatic initialization disabled because data collection is disabled"},
      {"collection disabled, quiet", true, false, true, false, nullptr},
      {"legacy key off, debug", false, true, true, true,
       "[Trellis] [Faultline] automatic initialization disabled via Info.plist key: "
       "beacon_faultline_collection_enabled"},
      {"crash kit missing", false, false, false, false,
       "[Trellis] [Faultline] Attempting to initialize Faultline via Beacon but could not find Faultline."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal_.clear();
    logs_.clear();
    classes_.clear();
    defaults_->removeAllObjects();
    if (c.faultline_present) addKit("Faultline");
    if (c.sticky_disabled) disableCollection();
    info_ = kBaseInfo;
    if (c.legacy_disabled) (*info_)["beacon_faultline_collection_enabled"] = false;
    arguments_ = c.debug ? std::vector<std::string>{"x", "-BCNDebugEnabled"} : std::vector<std::string>{"x"};
    Trellis& sdk = make();
    logs_.clear();
    sdk.autoInitialize({{"BCNGryphonAppIDKey", "app"}});
    EXPECT_TRUE(journal_.empty());
    if (c.expectedLog) {
      EXPECT_EQ(logs_, std::vector<std::string>{c.expectedLog});
    } else {
      EXPECT_TRUE(logs_.empty());
    }
    ASSERT_NE(onboarding_, nullptr);
    EXPECT_TRUE(onboarding_->calls.empty());
  }
}

TEST_F(TrellisTest, ReadyNotificationAfterInfoConfigurationOnlyAdvises) {
  addKit("Faultline");
  info_ = infoWithTrellis({{"APIKey", "key"}, {"Kits", Value::Array{}}});
  arguments_ = {"x", "-BCNDebugEnabled"};
  disableCollection();
  Trellis& sdk = make();
  EXPECT_EQ(sdk.APIKey(), "key");  // validates the configuration: mode 1
  EXPECT_EQ(sdk.installationMode(), Mode::ConfiguredFromInfo);
  sdk.autoInitialize({{"BCNGryphonAppIDKey", "app"}});
  EXPECT_EQ(logs_, std::vector<std::string>{
                       "[Trellis] Beacon automatic data collection has been disabled. In order to "
                       "also disable automatic data collection in Trellis, change your app delegate "
                       "so that Beacon is initialized before Trellis."});
  EXPECT_EQ(sdk.installationMode(), Mode::ConfiguredFromInfo);
  EXPECT_FALSE(sdk.beaconGryphonAppId().has_value());
  EXPECT_TRUE(journal_.empty());
}

TEST_F(TrellisTest, LoadObservesTheReadyNotificationOnce) {
  addKit("Faultline");
  platform::NotificationCenter center;
  Trellis& sdk = make();
  int runs = 0;
  Trellis::load(center, [&]() -> Trellis& {
    ++runs;
    return sdk;
  });
  center.post("SomethingElse", nullptr, {{"BCNGryphonAppIDKey", "app"}});
  EXPECT_EQ(runs, 0);
  center.post(std::string(kBCNAppReadyToConfigureSDKNotification), nullptr, {{"BCNGryphonAppIDKey", "app"}});
  center.post(std::string(kBCNAppReadyToConfigureSDKNotification), nullptr, {{"BCNGryphonAppIDKey", "app"}});
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(journal_, (Journal{"init Faultline"}));
  EXPECT_TRUE(logs_.empty()) << logs_.front();
}

// ---- with ----------------------------------------------------------------------------

class TrellisWithTest : public TrellisTest {
 protected:
  void SetUp() override {
    TrellisTest::SetUp();
    info_ = infoWithTrellis({{"APIKey", "key"}, {"Kits", Value::Array{}}});
  }
  std::vector<std::string> names(const TRLKitList& kits) {
    std::vector<std::string> out;
    for (const auto& kit : kits) out.push_back(kit->className());
    return out;
  }
};

TEST_F(TrellisWithTest, CrashKitAloneAlsoStartsAnalyticsThenOnboards) {
  const TRLKitClassPtr faultline = addKit("Faultline");
  addKit("Tally");
  Trellis& sdk = make();
  EXPECT_EQ(&sdk.with({faultline}), &sdk);
  EXPECT_EQ(names(sdk.kitClasses()), (std::vector<std::string>{"Faultline", "Tally"}));
  EXPECT_EQ(journal_, (Journal{"init Faultline", "init Tally"}));
  ASSERT_EQ(onboarding_->calls.size(), 1u);
  EXPECT_EQ(onboarding_->calls[0].apiKey, "key");
  EXPECT_EQ(onboarding_->calls[0].versions.size(), 3u);
}

TEST_F(TrellisWithTest, ListIsCompletedAndOrderedByTheClassesPresent) {
  struct Case {
    const char* name;
    std::vector<std::string> present;  // registered beyond the passed kits
    std::vector<std::string> passed;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"nothing else present", {}, {"Faultline"}, {"Faultline"}},
      {"Tally only with the crash kit", {"Tally"}, {"Other"}, {"Other"}},
      {"Tally not twice", {}, {"Faultline", "Tally"}, {"Faultline", "Tally"}},
      {"Digits appended once", {"Digits"}, {"Faultline"}, {"Faultline", "Digits"}},
      {"Digits already listed", {}, {"Digits", "Faultline"}, {"Digits", "Faultline"}},
      {"Appsee moved to the front", {}, {"Faultline", "Other", "Appsee"}, {"Appsee", "Faultline", "Other"}},
      {"ads framework adds its kit last", {"GADMobileAds", "Tally"}, {"Faultline"},
       {"Faultline", "Tally", "AdKitKit"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    classes_.clear();
    journal_.clear();
    addKit("Faultline");
    for (const std::string& name : c.present) {
      if (name == "GADMobileAds") {
        classes_[name] = std::make_shared<PlainClass>(name);
      } else {
        addKit(name);
      }
    }
    TRLKitList passed;
    for (const std::string& name : c.passed) passed.push_back(classes_.count(name) ? classes_[name] : addKit(name));
    Trellis& sdk = make();
    sdk.with(passed);
    EXPECT_EQ(names(sdk.kitClasses()), c.expected);
  }
}

TEST_F(TrellisWithTest, AdKitIsListedButNeverStarted) {
  const TRLKitClassPtr faultline = addKit("Faultline");
  classes_["GADMobileAds"] = std::make_shared<PlainClass>("GADMobileAds");
  Trellis& sdk = make();
  sdk.with({faultline});
  EXPECT_EQ(sdk.kitClasses().back(), AdKitKit::shared());
  EXPECT_EQ(journal_, (Journal{"init Faultline"}));
  EXPECT_EQ(onboarding_->calls[0].versions.at("com.gryphon.adkit.ios"), "0.0.0");
}

TEST_F(TrellisWithTest, OnlyTheFirstCallStartsKits) {
  const TRLKitClassPtr faultline = addKit("Faultline");
  const TRLKitClassPtr other = addKit("Other");
  Trellis& sdk = make();
  sdk.with({faultline});
  EXPECT_EQ(&sdk.with({faultline, other}), &sdk);
  EXPECT_EQ(journal_, (Journal{"init Faultline"}));
  EXPECT_EQ(logs_, std::vector<std::string>{
                       "[Trellis] [Trellis +with] called multiple times. Only the first call is "
                       "honored, please pass all kits you wish to initialize"});
  EXPECT_EQ(onboarding_->calls.size(), 1u);
}

TEST_F(TrellisWithTest, KitWithoutInitializerIsListedButNotStarted) {
  const TRLKitClassPtr quiet = addKit("Quiet", /*initializer=*/false);
  const TRLKitClassPtr faultline = addKit("Faultline");
  Trellis& sdk = make();
  sdk.with({quiet, faultline});
  EXPECT_EQ(journal_, (Journal{"init Faultline"}));
  EXPECT_EQ(onboarding_->calls[0].versions.count("com.example.Quiet"), 1u);
}

TEST_F(TrellisWithTest, DisabledCollectionOnlySilencesKitsUpToTheFirstThirdPartyOne) {
  const TRLKitClassPtr faultline = addKit("Faultline");
  const TRLKitClassPtr other = addKit("Other");
  const TRLKitClassPtr third = addKit("Third");
  arguments_ = {"x", "-BCNDebugEnabled"};
  disableCollection();
  Trellis& sdk = make();
  sdk.with({faultline, other, third});
  EXPECT_EQ(journal_, (Journal{"disable Faultline", "disable Other"}));
  EXPECT_EQ(logs_, (std::vector<std::string>{
                       "[Faultline] Not started - Beacon automatic data collection is disabled",
                       "[Trellis] Trellis will not initialize any kits when Beacon automatic data "
                       "collection is disabled; to use Third-party kits with automatic data collection "
                       "disabled, initialize these kits via non-Trellis means."}));
  EXPECT_TRUE(onboarding_->calls.empty());
}

TEST_F(TrellisWithTest, LegacyKitsAreAcceptedWhenCompleteAndStartedThroughTheirInstance) {
  auto legacy = std::make_shared<LegacyKit>("Old", journal_, true);
  const TRLKitClassPtr faultline = addKit("Faultline");
  Trellis& sdk = make();
  sdk.with({faultline, legacy});
  EXPECT_EQ(journal_, (Journal{"init Faultline", "start Old"}));
  EXPECT_EQ(logs_, std::vector<std::string>{"[Trellis] Please upgrade to the latest version of \"Old\""});
  EXPECT_EQ(onboarding_->calls[0].versions.at("com.legacy.Old"), "0.9");
}

TEST_F(TrellisWithTest, ClassesThatAreNoKitsAreRefusedBeforeAnythingStarts) {
  struct Case {
    const char* name;
    TRLKitClassPtr kit;
  };
  const Case cases[] = {
      {"plain class", std::make_shared<PlainClass>("Widget")},
      {"incomplete legacy kit", std::make_shared<LegacyKit>("Widget", journal_, false)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    journal_.clear();
    const TRLKitClassPtr faultline = addKit("Faultline");
    Trellis& sdk = make();
    try {
      sdk.with({faultline, c.kit});
      ADD_FAILURE() << "no exception";
    } catch (const TRLException& e) {
      EXPECT_EQ(e.name(), "TRLException");
      EXPECT_EQ(e.reason(),
                "[Trellis] It appears that \"Widget\" is not a valid Trellis Kit. Please make sure you "
                "only pass Trellis Kits to [Trellis with:].");
    }
    EXPECT_TRUE(journal_.empty());
  }
}

TEST_F(TrellisWithTest, MissingApiKeyStopsQuietlyAndCannotBeRetried) {
  const TRLKitClassPtr faultline = addKit("Faultline");
  Trellis& sdk = make();
  sdk.setInstallationMode(Mode::Beacon);  // no app id arrived
  sdk.with({faultline});
  EXPECT_TRUE(journal_.empty());
  EXPECT_EQ(logs_, std::vector<std::string>{"[Trellis] GryphonService-Info.plist key GRYPHON_APP_ID unavailable"});
  sdk.setAPIKey("late");
  sdk.with({faultline});
  EXPECT_TRUE(journal_.empty());
  EXPECT_TRUE(onboarding_->calls.empty());
}

// ---- configuration ---------------------------------------------------------------------

TEST_F(TrellisTest, ConfigurationErrorsRaiseOrLogAsTheyMatter) {
  struct Case {
    const char* name;
    std::optional<Value::Dictionary> info;
    const char* exception;  // nullptr: valid
    std::vector<std::string> logs;
  };
  const Case cases[] = {
      {"no info at all", std::nullopt, "[Trellis] Cannot find Info.plist.", {}},
      {"no Trellis entry", kBaseInfo,
       "[Trellis] Value of Info.plist key \"Trellis\" must be a NSDictionary.", {}},
      {"Trellis not a dictionary", Value::Dictionary{{"Trellis", Value::Array{}}},
       "[Trellis] Value of Info.plist key \"Trellis\" must be a NSDictionary.", {}},
      {"API key of another type", infoWithTrellis({{"APIKey", 5}, {"Kits", Value::Array{}}}),
       "[Trellis] Value of Info.plist[Trellis][APIKey] must contain your Trellis API Key.", {}},
      {"API key missing", infoWithTrellis({{"Kits", Value::Array{}}}),
       "[Trellis] Value of Info.plist[Trellis][APIKey] must contain your Trellis API Key.", {}},
      {"Kits missing only logs", infoWithTrellis({{"APIKey", "k"}}), nullptr,
       {"[Trellis] [Trellis] Value of Info.plist[Trellis][Kits] should be a NSArray."}},
      {"Kits of another type only logs", infoWithTrellis({{"APIKey", "k"}, {"Kits", "x"}}), nullptr,
       {"[Trellis] [Trellis] Value of Info.plist[Trellis][Kits] should be a NSArray."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    info_ = c.info;
    Trellis& sdk = make();
    logs_.clear();
    if (c.exception) {
      try {
        (void)sdk.trellisConfig();
        ADD_FAILURE() << "no exception";
      } catch (const TRLException& e) {
        EXPECT_EQ(e.reason(), c.exception);
      }
      EXPECT_EQ(sdk.installationMode(), Mode::Undecided);
    } else {
      EXPECT_EQ(sdk.trellisConfig(), *c.info->at("Trellis").asDictionary());
      EXPECT_EQ(sdk.installationMode(), Mode::ConfiguredFromInfo);
      EXPECT_EQ(sdk.APIKey(), "k");
    }
    EXPECT_EQ(logs_, c.logs);
  }
}

TEST_F(TrellisTest, BeaconModeHasAnEmptyConfigurationEvenWithoutInfo) {
  info_ = std::nullopt;
  Trellis& sdk = make();
  sdk.setInstallationMode(Mode::Beacon);
  EXPECT_TRUE(sdk.trellisConfig().empty());
  EXPECT_FALSE(sdk.configurationDictionaryForKitClass(PlainClass("Faultline")).has_value());
}

TEST_F(TrellisTest, KitConfigurationIsTheFirstMatchingEntry) {
  info_ = infoWithTrellis(
      {{"APIKey", "k"},
       {"Kits", Value::Array{
                    "not a dictionary",
                    Value::Dictionary{{"KitName", "Tally"}},
                    Value::Dictionary{{"KitName", "Faultline"}, {"KitInfo", Value::Dictionary{{"a", 1}}}},
                    Value::Dictionary{{"KitName", "Faultline"}, {"KitInfo", Value::Dictionary{{"b", 2}}}},
                    Value::Dictionary{{"KitName", "Odd"}, {"KitInfo", "not a dictionary"}},
                }}});
  Trellis& sdk = make();
  EXPECT_EQ(sdk.configurationDictionaryForKitClass(PlainClass("Faultline")), (Value::Dictionary{{"a", 1}}));
  EXPECT_EQ(sdk.configurationDictionaryForKitClass(PlainClass("Tally")), Value::Dictionary{});
  EXPECT_EQ(sdk.configurationDictionaryForKitClass(PlainClass("Odd")), Value::Dictionary{});
  EXPECT_FALSE(sdk.configurationDictionaryForKitClass(PlainClass("Digits")).has_value());
}

TEST_F(TrellisTest, ApiKeyIsCachedAndCanBeOverridden) {
  info_ = infoWithTrellis({{"APIKey", "from-info"}, {"Kits", Value::Array{}}});
  Trellis& sdk = make();
  EXPECT_EQ(sdk.APIKey(), "from-info");
  sdk.setAPIKey("explicit");
  EXPECT_EQ(sdk.APIKey(), "explicit");
  sdk.setAdvertisingToken("token");
  EXPECT_EQ(sdk.advertisingToken(), "token");
}

TEST_F(TrellisTest, KitVersionsAreLoggedOnlyInDebug) {
  arguments_ = {"x", "-BCNDebugEnabled"};
  Trellis& sdk = make();
  EXPECT_EQ(sdk.kitVersionsByKitBundleIdentifier(),
            (std::map<std::string, std::string>{{"io.trellis.sdk.mac", "1.10.2"}}));
  EXPECT_EQ(logs_, std::vector<std::string>{
                       "[Trellis] Initialized with kit versions: {\n    \"io.trellis.sdk.mac\" = "
                       "\"1.10.2\";\n}"});
}

// ---- the process's registry ---------------------------------------------------------------

// The live wiring: main() calls loadKitRegistry, the app-configuration core
// posts the ready notification on the shared center. Files go to a temp
// home and a temp bundle.
TEST(TrellisProcessTest, LoadKitRegistryStartsRegisteredCrashKitOnceOnReadyNotification) {
  char pattern[] = "/tmp/trellis-live-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path base = pattern;
  fs::create_directories(base / "Test.app" / "Contents");
  std::ofstream(base / "Test.app" / "Contents" / "Info.json")
      << R"({"CFBundleIdentifier": "com.example.live"})";
  ::setenv("VANDREL_BUNDLE", (base / "Test.app").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (base / "data").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (base / "config").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (base / "cache").c_str(), 1);

  static Journal journal;
  Trellis::registerClass("Faultline", std::make_shared<FakeKit>("Faultline", journal));
  loadKitRegistry();
  loadKitRegistry();
  auto& center = platform::NotificationCenter::shared();
  center.post(std::string(kBCNAppReadyToConfigureSDKNotification), nullptr,
              {{std::string(kBCNGryphonAppIDKey), "1:2:mac:3"}});
  center.post(std::string(kBCNAppReadyToConfigureSDKNotification), nullptr,
              {{std::string(kBCNGryphonAppIDKey), "1:2:mac:3"}});
  EXPECT_EQ(journal, (Journal{"init Faultline"}));
  Trellis& sdk = Trellis::sharedSDK();
  EXPECT_TRUE(sdk.beaconMode());
  EXPECT_EQ(sdk.APIKey(), TRLSHA256HexOfData(std::string_view("1:2:mac:3")).substr(0, 40));
  EXPECT_TRUE(fs::exists(base / "data" / "com.example.live" / "com.faultline" / "FLTUserDefaults.plist"));
  Trellis::registerClass("Faultline", nullptr);
  std::error_code ignored;
  fs::remove_all(base, ignored);

  // The kit's network client started the process's HTTP engine, whose
  // thread sets up the TLS library as it starts; this process then exits
  // and runs that library's exit-time clean-up. One request through the
  // engine first, so that its set-up is over before the process ends.
  auto answered = std::make_shared<std::promise<void>>();
  std::future<void> done = answered->get_future();
  platform::SerialQueue queue("trellis-test.engine-settled");
  platform::HttpSession session(platform::HttpSessionConfig{});
  session.send({.url = "http://127.0.0.1:1/"}, queue,
               [answered](platform::HttpResponse) { answered->set_value(); });
  EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace vandrel::crash
