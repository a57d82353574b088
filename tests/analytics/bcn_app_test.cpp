#include "analytics/core/bcn_app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analytics/core/bcn_app_facts.h"
#include "analytics/core/bcn_diagnostics_connector.h"
#include "analytics/core/bcn_logger.h"
#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_flt_user_defaults.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"
#include "platform/sync.h"
#include "platform/value.h"
#include "tests/analytics/bcn_test_support.h"
#include "tests/support/temp_dir.h"

namespace vandrel::analytics {
namespace {

namespace fs = std::filesystem;
using platform::Notification;
using platform::NotificationCenter;
using platform::Value;
using Dictionary = Value::Dictionary;
using bcn_test::CapturedLines;

constexpr const char* kValidAppID = "1:123:ios:abc";

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

// The diagnostics the core hands to the sender, recorded by a sender that
// registers before the connector first looks it up (it looks once).
struct SentDiagnostics {
  platform::Mutex mutex;
  std::vector<Dictionary> records VANDREL_GUARDED_BY(mutex);

  static SentDiagnostics& shared() {
    static auto* s = new SentDiagnostics();
    return *s;
  }
  std::vector<Dictionary> take() {
    platform::MutexLock lock(mutex);
    return std::exchange(records, {});
  }
};
const bool kSenderRegistered = [] {
  BCNRegisterCoreDiagnosticsSender(std::string(kBCNCoreDiagnosticsClassName),
                                   [](std::shared_ptr<BCNCoreDiagnosticsData> data) {
                                     Dictionary record = data->diagnosticObjects();
                                     SentDiagnostics& s = SentDiagnostics::shared();
                                     platform::MutexLock lock(s.mutex);
                                     s.records.push_back(std::move(record));
                                   });
  return true;
}();

// Notifications of one name on the process's center, while the object lives.
class Recorded {
 public:
  explicit Recorded(std::string_view name) {
    token_ = NotificationCenter::shared().addObserver(std::string(name), nullptr, std::nullopt,
                                                      [this](const Notification& n) {
                                                        platform::MutexLock lock(mutex_);
                                                        seen_.push_back(n);
                                                      });
  }
  ~Recorded() { NotificationCenter::shared().removeObserver(token_); }
  std::vector<Notification> seen() {
    platform::MutexLock lock(mutex_);
    return seen_;
  }

 private:
  platform::ObserverToken token_;
  platform::Mutex mutex_;
  std::vector<Notification> seen_ VANDREL_GUARDED_BY(mutex_);
};

// Each test has its own main bundle (an ".app", or an ".appex" for the
// extension rules), its own user defaults, and a core without apps.
class BCNAppTest : public testing::Test {
 protected:
  void SetUp() override { useBundle("Test.app"); }
  void TearDown() override {
    BCNApp::resetApps();
    BCNOptions::resetDefaultOptions();
    BCNApp::resetDataCollectionSwitchFromPlist();
    SentDiagnostics::shared().take();
  }
  void useBundle(const std::string& name) {
    bundle_ = dir_.path() / name;
    bundleEnv_.emplace("VANDREL_BUNDLE", bundle_.string());
    BCNApp::resetApps();
    BCNOptions::resetDefaultOptions();
    BCNApp::resetDataCollectionSwitchFromPlist();
    SentDiagnostics::shared().take();
  }
  // Before the bundle's first use in a test.
  void writeInfo(const std::string& json) { writeFile(bundle_ / "Contents" / "Info.json", json); }
  void writeOptionsResource(const std::string& json) {
    writeFile(bundle_ / "Contents" / "Resources" / "GryphonService-Info.json", json);
  }
  static std::shared_ptr<BCNOptions> options(const std::string& appID,
                                             std::optional<std::string> bundleID = "com.vandrel.test") {
    auto options = BCNOptions::initInternalWithOptionsDictionary({{"GRYPHON_APP_ID", appID}});
    options->setBundleID(std::move(bundleID));
    return options;
  }
  std::optional<Value> storedDefault(const std::string& key) {
    // A fresh store on the same file: what a later launch would read.
    platform::Defaults reread(platform::Defaults::standard().path());
    return reread.object(key);
  }

  test_support::TempDir dir_{"bcn-app-test"};
  test_support::ScopedEnv configHome_{"XDG_CONFIG_HOME", (dir_.path() / "config").string()};
  std::optional<test_support::ScopedEnv> bundleEnv_;
  fs::path bundle_;
};

testing::AssertionResult raises(const std::function<void()>& call, const std::string& reason) {
  try {
    call();
  } catch (const BCNException& e) {
    if (e.name() != "com.beacon.core") return testing::AssertionFailure() << "name " << e.name();
    if (e.reason() != reason) return testing::AssertionFailure() << "reason " << e.reason();
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "nothing raised";
}

bool hasLine(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

TEST_F(BCNAppTest, ConfigureReadsTheOptionsResourceAndPostsReadyOnce) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  writeOptionsResource(
      R"({"GRYPHON_APP_ID": "1:123:ios:abc", "BUNDLE_ID": "com.vandrel.test", "API_KEY": "k"})");
  Recorded ready(kBCNAppReadyToConfigureSDKNotification);
  CapturedLines captured;

  BCNApp::configure();

  const auto seen = ready.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].object, BCNApp::classObject());
  EXPECT_EQ(seen[0].userInfo, (Dictionary{{"BCNAppNameKey", "__BCNAPP_DEFAULT"},
                                          {"BCNAppIsDefaultAppKey", true},
                                          {"BCNGryphonAppIDKey", kValidAppID}}));
  const BCNApp::Ptr app = BCNApp::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_TRUE(app->isDefaultApp());
  EXPECT_EQ(app->name(), "__BCNAPP_DEFAULT");
  EXPECT_EQ(app->options()->APIKey(), "k");
  EXPECT_TRUE(app->options()->usingOptionsFromDefaultPlist());
  EXPECT_TRUE(app->options()->editingLocked());
  EXPECT_THROW(app->options()->setAPIKey("other"), BCNException);
  EXPECT_EQ(app->container()->app(), app);
  EXPECT_TRUE(BCNApp::isDefaultAppConfigured());
  // Bundle ids match: no complaint.
  EXPECT_FALSE(hasLine(captured.lines(), "I-COR000008"));

  // The diagnostics went out with this app's options and facts.
  const auto sent = SentDiagnostics::shared().take();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].at(std::string(kBCNCDGryphonAppIDKey)), Value(kValidAppID));
  // Sent while the app is validated, before it joins the apps.
  EXPECT_EQ(sent[0].at(std::string(kBCNCDllAppsCountKey)), Value(0));
  const BCNAppFacts facts = BCNCurrentAppFacts();
  EXPECT_TRUE(facts.isDefaultAppConfigured);
  EXPECT_EQ(facts.allAppsCount, 1u);

  EXPECT_TRUE(raises([] { BCNApp::configure(); }, "Default app has already been configured."));
  EXPECT_EQ(ready.seen().size(), 1u);
  EXPECT_EQ(BCNApp::defaultApp(), app);
}

TEST_F(BCNAppTest, ConfigureWithoutAnOptionsResourceRaisesAndConfiguresNothing) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  Recorded ready(kBCNAppReadyToConfigureSDKNotification);
  try {
    BCNApp::configure();
    FAIL() << "nothing raised";
  } catch (const BCNException& e) {
    EXPECT_EQ(e.name(), "com.beacon.core");
    EXPECT_NE(e.reason().find("could not find a valid GryphonService-Info.plist"), std::string::npos);
  }
  EXPECT_TRUE(ready.seen().empty());
  EXPECT_FALSE(BCNApp::isDefaultAppConfigured());
  CapturedLines captured;
  EXPECT_FALSE(BCNApp::defaultApp());
  EXPECT_TRUE(hasLine(captured.lines(), "[I-COR000003] The default Beacon app has not yet been configured."));
  EXPECT_FALSE(BCNApp::allApps());
  EXPECT_TRUE(hasLine(captured.lines(), "[I-COR000005] No app has been configured yet."));
}

TEST_F(BCNAppTest, NamedAppsAreKeptBesideTheDefaultApp) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  Recorded ready(kBCNAppReadyToConfigureSDKNotification);
  BCNApp::configureWithOptions(options(kValidAppID));
  BCNApp::configureWithName("second-App_2", options("1:999:ios:0F"));

  const BCNApp::Ptr named = BCNApp::appNamed("second-App_2");
  ASSERT_TRUE(named);
  EXPECT_FALSE(named->isDefaultApp());
  EXPECT_EQ(named->options()->gryphonAppID(), "1:999:ios:0F");
  EXPECT_NE(BCNApp::defaultApp(), named);
  const auto all = BCNApp::allApps();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 2u);
  EXPECT_EQ(all->at("second-App_2"), named);

  const auto seen = ready.seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].userInfo, (Dictionary{{"BCNAppNameKey", "second-App_2"},
                                          {"BCNAppIsDefaultAppKey", false},
                                          {"BCNGryphonAppIDKey", "1:999:ios:0F"}}));

  EXPECT_TRUE(raises([] { BCNApp::configureWithName("second-App_2", options(kValidAppID)); },
                     "App named second-App_2 has already been configured."));
  EXPECT_EQ(BCNApp::appNamed("second-App_2"), named);
  EXPECT_EQ(ready.seen().size(), 2u);

  CapturedLines captured;
  EXPECT_FALSE(BCNApp::appNamed("missing"));
  EXPECT_TRUE(hasLine(captured.lines(), "[I-COR000004] App with name missing does not exist."));
}

TEST_F(BCNAppTest, OneNameConfiguredFromManyThreadsAtOnceIsConfiguredOnce) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  Recorded ready(kBCNAppReadyToConfigureSDKNotification);
  constexpr int kThreads = 8;
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      try {
        BCNApp::configureWithName("race", options(kValidAppID));
      } catch (const BCNException&) {
        ++refused;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(refused.load(), kThreads - 1);
  EXPECT_EQ(ready.seen().size(), 1u);
  EXPECT_EQ(BCNApp::allApps()->size(), 1u);
}

TEST_F(BCNAppTest, BadNamesAndOptionsAreRefusedWithTheCoreException) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  Recorded ready(kBCNAppReadyToConfigureSDKNotification);
  const std::string badCharacters =
      "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters";
  struct Case {
    const char* label;
    std::optional<std::string> name;
    std::shared_ptr<BCNOptions> options;
    std::string reason;
  } cases[] = {
      {"space", "my app", options(kValidAppID), badCharacters},
      {"dot", "my.app", options(kValidAppID), badCharacters},
      {"non-ascii", "caf\xc3\xa9", options(kValidAppID), badCharacters},
      {"empty", "", options(kValidAppID), "Name cannot be empty."},
      {"no name", std::nullopt, options(kValidAppID), "Neither name nor options can be nil."},
      {"no options", "ok", nullptr, "Neither name nor options can be nil."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_TRUE(raises([&] { BCNApp::configureWithName(c.name, c.options); }, c.reason));
  }
  EXPECT_TRUE(raises([] { BCNApp::configureWithOptions(nullptr); },
                     "Options is nil. Please pass a valid options."));
  EXPECT_TRUE(ready.seen().empty());
  EXPECT_FALSE(BCNApp::allApps());
}

TEST_F(BCNAppTest, AnInvalidAppIDFailsConfigurationWithoutTheReadyNotification) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  Recorded ready(kBCNAppReadyToConfigureSDKNotification);
  CapturedLines captured;
  EXPECT_TRUE(raises([] { BCNApp::configureWithName("named", options("1:123:mac:abc")); },
                     "Configuration fails. It may be caused by an invalid GRYPHON_APP_ID in "
                     "GryphonService-Info.plist or set in the customized options."));
  EXPECT_TRUE(hasLine(captured.lines(), "[I-COR000009] The GRYPHON_APP_ID either in the plist file "
                                        "'GryphonService-Info.json'"));
  EXPECT_FALSE(BCNApp::allApps());
  // The name is free again for a valid configuration.
  BCNApp::configureWithName("named", options(kValidAppID));
  EXPECT_TRUE(BCNApp::appNamed("named"));
  EXPECT_EQ(ready.seen().size(), 1u);

  // A failed default app stays the default app: a second configure reports it.
  EXPECT_THROW(BCNApp::configureWithOptions(options("nonsense")), BCNException);
  EXPECT_TRUE(BCNApp::isDefaultAppConfigured());
  EXPECT_TRUE(raises([] { BCNApp::configureWithOptions(options(kValidAppID)); },
                     "Default app has already been configured."));
  EXPECT_EQ(ready.seen().size(), 1u);
}

TEST_F(BCNAppTest, AppIDValidationFollowsTheVersionOneForm) {
  const struct {
    const char* id;
    bool valid;
  } cases[] = {
      {"1:123:ios:abc", true},    {"1:123:ios:0xAB", true},   {"1:-5:ios:ff", true},
      {"1:123:mac:abc", false},   {"1:123:ios:xyz", false},   {"1:123:ios", false},
      {"1:123:ios:", false},      {"1:123:ios:ab:cd", false}, {"1:abc:ios:ab", false},
      {"1::ios:ab", false},       {"1:123:ios:abg", false},   {"", false},
      {"abc", false},             {"1", false},               {"12", false},
      {"2:anything at all", true}, {" 1:123:ios:abc", false},
  };
  BCNCoreSetLoggerLevel(BCNLoggerLevel::Info);
  CapturedLines captured;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(BCNApp::validateAppID(c.id), c.valid);
  }
  BCNCoreSetLoggerLevel(BCNLoggerLevel::Notice);
  EXPECT_TRUE(hasLine(captured.lines(), "[I-COR000010] Unknown GRYPHON_APP_ID version: 2"));
  EXPECT_FALSE(BCNApp::validateAppIDFingerprint("1:123:ios:abc", "2"));
  EXPECT_FALSE(BCNApp::validateAppIDFormat("1:123:ios:abc", ""));
}

TEST_F(BCNAppTest, AMismatchedBundleIDIsLoggedButConfigures) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  CapturedLines captured;
  BCNApp::configureWithOptions(options(kValidAppID, "com.other.app"));
  EXPECT_TRUE(BCNApp::isDefaultAppConfigured());
  EXPECT_TRUE(hasLine(captured.lines(), "[I-COR000008] The project's Bundle ID is inconsistent"));
  EXPECT_TRUE(hasLine(captured.lines(), "bundle identifier to 'com.other.app'"));
}

TEST_F(BCNAppTest, DataCollectionSwitchIsKeptPerAppInTheDefaults) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  BCNApp::configureWithName("sw", options(kValidAppID));
  const BCNApp::Ptr app = BCNApp::appNamed("sw");
  ASSERT_TRUE(app);
  const std::string key = "/gryphon/beacon/global_data_collection_enabled:sw";
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());  // nothing stored, no Info key
  EXPECT_FALSE(storedDefault(key));

  app->setDataCollectionDefaultEnabled(false);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
  EXPECT_EQ(storedDefault(key), Value(false));

  // Telemetry follows the switch, also on did-become-active.
  SentDiagnostics::shared().take();
  NotificationCenter::shared().post(std::string(kBCNApplicationDidBecomeActiveNotification));
  EXPECT_TRUE(SentDiagnostics::shared().take().empty());
  app->setDataCollectionDefaultEnabled(true);
  NotificationCenter::shared().post(std::string(kBCNApplicationDidBecomeActiveNotification));
  EXPECT_EQ(SentDiagnostics::shared().take().size(), 1u);

  // Deleting the app removes its key.
  app->deleteApp({});
  EXPECT_FALSE(storedDefault(key));
  NotificationCenter::shared().post(std::string(kBCNApplicationDidBecomeActiveNotification));
  EXPECT_TRUE(SentDiagnostics::shared().take().empty());
}

TEST_F(BCNAppTest, InfoSwitchIsTheFallbackAndTheStoredValueWins) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test", "BeaconDataCollectionDefaultEnabled": false})");
  BCNApp::configureWithOptions(options(kValidAppID));
  // Collection off from the start: configuration sends no diagnostics.
  EXPECT_TRUE(SentDiagnostics::shared().take().empty());
  const BCNApp::Ptr app = BCNApp::defaultApp();
  ASSERT_TRUE(app);
  EXPECT_FALSE(app->isDataCollectionDefaultEnabled());
  EXPECT_FALSE(BCNCurrentAppFacts().defaultAppDataCollectionDefaultEnabled);
  app->setDataCollectionDefaultEnabled(true);
  EXPECT_TRUE(app->isDataCollectionDefaultEnabled());

  // Numbers count as bools; other types are ignored.
  EXPECT_EQ(BCNApp::readDataCollectionSwitchFromInfo({{"BeaconDataCollectionDefaultEnabled", 0}}), false);
  EXPECT_EQ(BCNApp::readDataCollectionSwitchFromInfo({{"BeaconDataCollectionDefaultEnabled", 1}}), true);
  EXPECT_EQ(BCNApp::readDataCollectionSwitchFromInfo({{"BeaconDataCollectionDefaultEnabled", "NO"}}),
            std::nullopt);
}

TEST_F(BCNAppTest, DeletingAnAppRemovesItAndPostsOnce) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  BCNApp::configureWithOptions(options(kValidAppID));
  BCNApp::configureWithName("gone", options(kValidAppID));
  const BCNApp::Ptr app = BCNApp::appNamed("gone");
  ASSERT_TRUE(app);
  Recorded deleted(kBCNAppDeleteNotification);

  std::vector<bool> answers;
  app->deleteApp([&](bool ok) { answers.push_back(ok); });
  app->deleteApp([&](bool ok) { answers.push_back(ok); });
  EXPECT_EQ(answers, (std::vector<bool>{true, false}));
  const auto seen = deleted.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].object, BCNApp::classObject());
  EXPECT_EQ(seen[0].userInfo, (Dictionary{{"BCNAppNameKey", "gone"}}));
  EXPECT_FALSE(BCNApp::appNamed("gone"));
  EXPECT_EQ(BCNApp::allApps()->size(), 1u);

  // The default app can be configured again once deleted.
  BCNApp::defaultApp()->deleteApp({});
  EXPECT_FALSE(BCNApp::isDefaultAppConfigured());
  BCNApp::configureWithOptions(options(kValidAppID));
  EXPECT_TRUE(BCNApp::isDefaultAppConfigured());

  // A handle from before a reset does not delete the app now under its name.
  const BCNApp::Ptr stale = BCNApp::defaultApp();
  BCNApp::resetApps();
  BCNApp::configureWithOptions(options(kValidAppID));
  std::optional<bool> answer;
  stale->deleteApp([&](bool ok) { answer = ok; });
  EXPECT_EQ(answer, false);
  EXPECT_TRUE(BCNApp::isDefaultAppConfigured());
  EXPECT_NE(BCNApp::defaultApp(), stale);
}

TEST_F(BCNAppTest, UserAgentListsLibrariesSortedWithoutCase) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test", "DTXcodeBuild": "14C18"})");
  BCNApp::registerLibrary("b", "1");
  BCNApp::registerLibrary("A", "2");
  CapturedLines captured;
  BCNApp::registerLibrary("my lib", "1");
  BCNApp::registerLibrary("lib", "1 0");
  EXPECT_TRUE(hasLine(captured.lines(), "[I-COR000027] The library name (my lib) or version number (1)"));
  EXPECT_EQ(BCNApp::beaconUserAgent(),
            "A/2 apple-platform/macos b/1 beacon-ios/6.9.1 swift/false xcode/14C18");
  BCNApp::registerLibrary("b", "1.1");  // replaces
  EXPECT_EQ(BCNApp::beaconUserAgent(),
            "A/2 apple-platform/macos b/1.1 beacon-ios/6.9.1 swift/false xcode/14C18");

  BCNApp::resetApps();
  EXPECT_EQ(BCNApp::beaconUserAgent(), "apple-platform/macos beacon-ios/6.9.1 swift/false xcode/14C18");
}

TEST_F(BCNAppTest, ErrorsOfferedToLibrariesCarryTheCoreDomain) {
  const BCNError missing = BCNApp::errorForMissingOptions();
  EXPECT_EQ(missing.domain, "com.beacon.core");
  EXPECT_EQ(missing.code, -100);
  EXPECT_EQ(missing.recoverySuggestion, "Check formatting and location of GryphonService-Info.plist.");
  EXPECT_EQ(BCNApp::errorForInvalidAppID().code, -101);
  const BCNError failure =
      BCNApp::errorForSubspecConfigurationFailureWithDomain("com.lib", -3, "Storage", "no bucket");
  EXPECT_EQ(failure.localizedDescription, "Configuration failed for service Storage.");
  EXPECT_EQ(failure.failureReason, "no bucket");
  EXPECT_EQ(failure.toError(), (platform::Error{"com.lib", -3, "Configuration failed for service Storage."}));
}

// A library that offers one eager component and wants each new app.
class EagerLibrary : public BCNLibrary {
 public:
  struct Marker : BCNComponentObject {};
  std::vector<BCNComponent> componentsToRegister() const override {
    return {BCNComponent::componentWithProtocol(
        BCNProtocol::of<Marker>("BCNAppTestMarker"), BCNInstantiationTiming::AlwaysEager, {},
        [](BCNComponentContainer&, bool* cacheable) {
          *cacheable = true;
          return std::make_shared<Marker>();
        })};
  }
  void configureWithApp(const std::shared_ptr<BCNApp>& app) override {
    platform::MutexLock lock(mutex);
    configured.push_back(app->name());
  }
  platform::Mutex mutex;
  std::vector<std::string> configured VANDREL_GUARDED_BY(mutex);
};

TEST_F(BCNAppTest, InternalLibrariesGetEagerComponentsBeforeTheReadyNotification) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  auto library = std::make_shared<EagerLibrary>();
  BCNApp::registerInternalLibrary(library, "eager-lib", "3.0");
  EXPECT_THROW(BCNApp::registerInternalLibrary(nullptr, "none", "1"), std::invalid_argument);

  std::vector<std::string> cachedAtReady;
  std::vector<std::string> configuredAtReady;
  const auto token = NotificationCenter::shared().addObserver(
      std::string(kBCNAppReadyToConfigureSDKNotification), BCNApp::classObject(), std::nullopt,
      [&](const Notification& n) {
        const std::string* name = n.userInfo.at("BCNAppNameKey").asString();
        if (const BCNApp::Ptr app = BCNApp::appNamed(*name)) {  // no deadlock: lock not held
          cachedAtReady = app->container()->cachedInstanceNames();
        }
        platform::MutexLock lock(library->mutex);
        configuredAtReady = library->configured;
      });
  BCNApp::configureWithName("with-lib", options(kValidAppID));
  NotificationCenter::shared().removeObserver(token);

  EXPECT_EQ(cachedAtReady, std::vector<std::string>{"BCNAppTestMarker"});
  EXPECT_TRUE(configuredAtReady.empty());
  {
    platform::MutexLock lock(library->mutex);
    EXPECT_EQ(library->configured, std::vector<std::string>{"with-lib"});
  }
  EXPECT_NE(BCNApp::beaconUserAgent().find("eager-lib/3.0"), std::string::npos);
}

TEST_F(BCNAppTest, InAnExtensionAnEqualSecondConfigureIsIgnored) {
  useBundle("Widget.appex");
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test.widget"})");
  Recorded ready(kBCNAppReadyToConfigureSDKNotification);
  const auto first = options(kValidAppID);
  CapturedLines captured;
  BCNApp::configureWithOptions(first);
  // The extension's identifier less its last part matches.
  EXPECT_FALSE(hasLine(captured.lines(), "I-COR000008"));
  EXPECT_NO_THROW(BCNApp::configureWithOptions(options(kValidAppID)));
  EXPECT_EQ(ready.seen().size(), 1u);
  EXPECT_TRUE(raises([] { BCNApp::configureWithOptions(options("1:5:ios:5")); },
                     "App named __BCNAPP_DEFAULT has already been configured."));
}

// The meeting point with the kit registry: its observer of the ready
// notification starts the crash kit in the mode without a "Trellis"
// dictionary, with this app's id, unless the app's switch says no.
class KitRegistryMeetingTest : public BCNAppTest {
 protected:
  class FaultlineKit : public crash::TRLKitClass {
   public:
    std::string className() const override { return "Faultline"; }
    std::string bundleIdentifier() const override { return "com.example.faultline"; }
    std::string kitDisplayVersion() const override { return "1.0"; }
    bool respondsToInitializeIfNeeded() const override { return true; }
    void initializeIfNeeded() override { ++starts; }
    int starts = 0;
  };

  void startRegistry() {
    BCNApp::load();
    kitDefaults_ = std::make_unique<crash::TRLFLTUserDefaults>(dir_.path() / "kit", "com.vandrel.test");
    migration_ = std::make_unique<platform::Defaults>(dir_.path() / "migration.json");
    bcnApp_ = std::make_unique<crash::FLTBCNApp>(crash::FLTBCNApp::lookUpClass("BCNApp"),
                                                 [] { return false; }, nullptr);
    arbiter_ = std::make_unique<crash::FLTDataCollectionArbiter>(*kitDefaults_, Dictionary{}, *bcnApp_);
    crash::TrellisEnvironment env;
    env.defaults = kitDefaults_.get();
    env.migrationSource = migration_.get();
    env.info = Dictionary{{"CFBundleIdentifier", "com.vandrel.test"}};
    env.arbiter = arbiter_.get();
    env.lookUpClass = [this](std::string_view name) -> crash::TRLKitClassPtr {
      return name == "Faultline" ? kit_ : nullptr;
    };
    env.log = [](std::string_view) {};
    sdk_ = std::make_unique<crash::Trellis>(std::move(env));
    token_ = crash::Trellis::load(NotificationCenter::shared(), [this]() -> crash::Trellis& { return *sdk_; });
  }
  void TearDown() override {
    NotificationCenter::shared().removeObserver(token_);
    BCNAppTest::TearDown();
  }

  std::shared_ptr<FaultlineKit> kit_ = std::make_shared<FaultlineKit>();
  std::unique_ptr<crash::TRLFLTUserDefaults> kitDefaults_;
  std::unique_ptr<platform::Defaults> migration_;
  std::unique_ptr<crash::FLTBCNApp> bcnApp_;
  std::unique_ptr<crash::FLTDataCollectionArbiter> arbiter_;
  std::unique_ptr<crash::Trellis> sdk_;
  platform::ObserverToken token_;
};

TEST_F(KitRegistryMeetingTest, ConfiguringTheDefaultAppStartsTheCrashKit) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test"})");
  startRegistry();
  BCNApp::configureWithOptions(options(kValidAppID));
  EXPECT_EQ(sdk_->installationMode(), crash::TRLInstallationMode::Beacon);
  EXPECT_EQ(sdk_->beaconGryphonAppId(), kValidAppID);
  EXPECT_EQ(kit_->starts, 1);
  const auto apiKey = sdk_->APIKey();
  ASSERT_TRUE(apiKey);
  EXPECT_EQ(apiKey->size(), 40u);
  // The observer ran once: a named app posts again without a second start.
  BCNApp::configureWithName("later", options(kValidAppID));
  EXPECT_EQ(kit_->starts, 1);
}

TEST_F(KitRegistryMeetingTest, TheAppsDataCollectionSwitchKeepsTheCrashKitOff) {
  writeInfo(R"({"CFBundleIdentifier": "com.vandrel.test", "BeaconDataCollectionDefaultEnabled": false})");
  startRegistry();
  BCNApp::configureWithOptions(options(kValidAppID));
  EXPECT_EQ(sdk_->installationMode(), crash::TRLInstallationMode::Beacon);
  EXPECT_EQ(kit_->starts, 0);
}

}  // namespace
}  // namespace vandrel::analytics
