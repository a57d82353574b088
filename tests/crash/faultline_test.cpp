#include "crash/kit/faultline.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

#include "crash/capture/flt_record_writer.h"
#include "crash/kit/flt_data_collection_arbiter.h"
#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_flt_user_defaults.h"
#include "crash/reports/flt_file_manager.h"
#include "crash/reports/flt_internal_report.h"
#include "crash/reports/flt_report.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "tests/crash/capture_test_support.h"
#include "tests/support/sanitizers.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using platform::Value;
using test_support::TempDir;

// A registry of its own over a temp directory, with no kits in its table.
class TestRegistry {
 public:
  explicit TestRegistry(const fs::path& base, std::vector<std::string> arguments = {"vandrel"})
      : defaults_(base, "com.example.app"),
        standard_(base / "standard.json"),
        bcnApp_(FLTBCNApp::ClassHandle(), nullptr, nullptr),
        arbiter_(defaults_, Value::Dictionary{}, bcnApp_) {
    TrellisEnvironment env;
    env.defaults = &defaults_;
    env.migrationSource = &standard_;
    env.info = Value::Dictionary{{"CFBundleIdentifier", "com.example.app"}};
    env.arbiter = &arbiter_;
    env.lookUpClass = [this](std::string_view name) -> TRLKitClassPtr {
      return name == kFaultlineClassName ? faultlineClass : nullptr;
    };
    env.arguments = std::move(arguments);
    env.log = [](std::string_view) {};
    env.makeApplicationIdentifierModel = [](const std::string& installID) {
      TRLExecutableInfo executable;
      executable.architectureUUIDMap = {{"x86_64", "00112233445566778899aabbccddeeff"}};
      return TRLApplicationIdentifierModel::initWithInstallID(
          installID, [=] { return std::optional(executable); }, "com.example.app");
    };
    sdk_ = std::make_unique<Trellis>(std::move(env));
  }

  Trellis& sdk() { return *sdk_; }
  TRLKitClassPtr faultlineClass;

 private:
  TRLFLTUserDefaults defaults_;
  platform::Defaults standard_;
  FLTBCNApp bcnApp_;
  FLTDataCollectionArbiter arbiter_;
  std::unique_ptr<Trellis> sdk_;
};

// Stands in for the crash-reporting controller where capture must not be
// installed in the test process.
class RecordingController : public FaultlineCrashReporting {
 public:
  explicit RecordingController(bool result, std::vector<std::optional<std::string>>& tokens)
      : result_(result), tokens_(tokens) {}
  bool startWithProfilingMark(std::uint64_t, const std::optional<std::string>& betaToken) override {
    tokens_.push_back(betaToken);
    return result_;
  }

 private:
  bool result_;
  std::vector<std::optional<std::string>>& tokens_;
};

class FaultlineTest : public ::testing::Test {
 protected:
  std::unique_ptr<Faultline> make() {
    FaultlineEnvironment env;
    env.trellis = [this]() -> Trellis& { return registry_.sdk(); };
    env.isFaultlineCollectionEnabled = [this] { return collectionEnabled_; };
    env.log = [this](std::string_view line) { lines_.emplace_back(line); };
    env.mainQueue = &platform::mainQueue();
    env.isBetaSupported = [this] { return betaSupported_; };
    env.betaEnvironment.betaToken = [] { return std::nullopt; };
    env.betaEnvironment.mainQueue = &platform::mainQueue();
    env.betaEnvironment.debug = [] { return false; };
    env.betaEnvironment.appFacts = FLTBetaAppFacts{};
    env.makeFileManager = [this] { return FLTFileManager::withRootPath((dir_.path() / "store").string()); };
    env.makeCrashReportingController = [this](Faultline&, const FLTFileManager&) {
      ++controllersMade_;
      return std::make_unique<RecordingController>(controllerResult_, tokens_);
    };
    env.applicationSupportDirectory = [this] { return dir_.path() / "support"; };
    env.isExtension = [this] { return extension_; };
    env.tallyHooks = [this] {
      FLTTallyHooks hooks;
      hooks.startWithBetaToken = [this](const std::optional<std::string>& token) {
        tallyStarts_.push_back(token);
      };
      hooks.logCustomEventWithName = [this](const std::string& name,
                                            const std::optional<Value::Dictionary>& attributes) {
        events_.push_back(name + (attributes ? " " + Value(*attributes).toJson() : ""));
      };
      hooks.logPreviousSessionCrashedOnDate = [this](platform::WallTime date) { crashDates_.push_back(date); };
      return hooks;
    };
    return std::make_unique<Faultline>(std::move(env));
  }

  bool logged(std::string_view line) const {
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }

  // A report directory of an earlier launch; a crash one holds a signal record.
  std::shared_ptr<FLTInternalReport> earlierReport(bool crashed) {
    const fs::path path = dir_.path() / "earlier";
    fs::create_directories(path);
    std::ofstream(path / std::string(kFLTRecordFileMetadata)) << R"({"identity":{"started_at":1700000000}})" << "\n";
    if (crashed) std::ofstream(path / std::string(kFLTRecordFileSignal)) << R"({"signal":{"number":11}})" << "\n";
    return FLTInternalReport::initWithPath(path.string(), "0123456789abcdef0123456789abcdef");
  }

  TempDir dir_{"faultline-test"};
  TestRegistry registry_{dir_.path()};
  bool collectionEnabled_ = true;
  bool betaSupported_ = false;
  bool controllerResult_ = true;
  bool extension_ = false;
  int controllersMade_ = 0;
  std::vector<std::optional<std::string>> tokens_;
  std::vector<std::optional<std::string>> tallyStarts_;
  std::vector<std::string> events_;
  std::vector<platform::WallTime> crashDates_;
  std::vector<std::string> lines_;
};

TEST_F(FaultlineTest, DisabledCollectionRefusesUntilEnabledThenStartsOnce) {
  auto kit = make();
  collectionEnabled_ = false;
  kit->start();
  EXPECT_TRUE(logged("[Faultline] Not starting up because data collection is disabled"));
  EXPECT_FALSE(kit->isFaultlineStarted());
  EXPECT_EQ(controllersMade_, 0);
  EXPECT_TRUE(tallyStarts_.empty());

  collectionEnabled_ = true;
  kit->start();
  kit->start();
  EXPECT_TRUE(kit->isFaultlineStarted());
  EXPECT_EQ(controllersMade_, 1);
  EXPECT_EQ(std::count(lines_.begin(), lines_.end(), "[Faultline] Version 3.14.0 (144)"), 1);
  EXPECT_EQ(tallyStarts_.size(), 1u);
  platform::mainQueue().runPending();
}

TEST_F(FaultlineTest, TheBetaTokenHandedOnIsAlwaysNone) {
  const struct {
    const char* name;
    bool betaSupported;
    bool controllerResult;
  } cases[] = {
      {"beta supported", true, true},
      {"beta not supported", false, true},
      {"crash reporting fails", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lines_.clear();
    tokens_.clear();
    tallyStarts_.clear();
    betaSupported_ = c.betaSupported;
    controllerResult_ = c.controllerResult;
    auto kit = make();
    kit->start();
    EXPECT_EQ(kit->betaController() != nullptr, c.betaSupported);
    EXPECT_EQ(logged("[Faultline] Beta could not be initialized"), c.betaSupported);
    EXPECT_EQ(logged("[Faultline] Crash reporting could not be initialized"), !c.controllerResult);
    ASSERT_EQ(tokens_.size(), 1u);
    EXPECT_FALSE(tokens_[0]);
    // A failed crash-reporting start does not stop analytics.
    ASSERT_EQ(tallyStarts_.size(), 1u);
    EXPECT_FALSE(tallyStarts_[0]);
    platform::mainQueue().runPending();
  }
}

TEST_F(FaultlineTest, WithoutRegisteredHooksStartAndEventsAreHarmless) {
  FLTRegisterTallyHooks({});
  FaultlineEnvironment env;
  env.trellis = [this]() -> Trellis& { return registry_.sdk(); };
  env.isFaultlineCollectionEnabled = [] { return true; };
  env.log = [](std::string_view) {};
  env.isBetaSupported = [] { return false; };
  env.makeCrashReportingController = [this](Faultline&, const FLTFileManager&) {
    return std::make_unique<RecordingController>(true, tokens_);
  };
  env.makeFileManager = [this] { return FLTFileManager::withRootPath((dir_.path() / "store").string()); };
  Faultline kit(std::move(env));
  kit.start();
  kit.logEvent("tapped");
  EXPECT_TRUE(kit.isFaultlineStarted());
  platform::mainQueue().runPending();

  int registered = 0;
  FLTTallyHooks hooks;
  hooks.logCustomEventWithName = [&](const std::string&, const std::optional<Value::Dictionary>&) { ++registered; };
  FLTRegisterTallyHooks(hooks);
  kit.logEvent("tapped");
  EXPECT_EQ(registered, 1);
  EXPECT_FALSE(FLTRegisteredTallyHooks().startWithBetaToken);
  FLTRegisterTallyHooks({});
}

TEST_F(FaultlineTest, EventsGoToTheAnalyticsKitWithTheirAttributes) {
  auto kit = make();
  kit->logEvent("opened");
  kit->logEvent("picked", Value::Dictionary{{"line", Value("zurich-1")}});
  EXPECT_EQ(events_, (std::vector<std::string>{"opened", R"(picked {"line":"zurich-1"})"}));
}

TEST_F(FaultlineTest, StartWithAPIKeyAfterTheBeaconPathWarnsAndStartsNothing) {
  auto kit = make();
  registry_.sdk().setInstallationMode(TRLInstallationMode::Beacon);
  kit->startWithAPIKeyOnInstance("key-1", nullptr);
  EXPECT_TRUE(logged("[Faultline] Warning, calling startWithAPIKey:... after [BCNApp configure] or "
                     "BeaconApp.configure() is not supported"));
  EXPECT_FALSE(kit->isFaultlineStarted());
  EXPECT_EQ(registry_.sdk().installationMode(), TRLInstallationMode::ConfiguredFromInfo);
}

// A kit class that starts the test's instance, as the process's class starts
// the shared one.
class InstanceKitClass : public TRLKitClass {
 public:
  explicit InstanceKitClass(Faultline& kit) : kit_(kit) {}
  std::string className() const override { return std::string(kFaultlineClassName); }
  std::string bundleIdentifier() const override { return std::string(kFaultlineBundleIdentifier); }
  std::string kitDisplayVersion() const override { return std::string(kFaultlineKitDisplayVersion); }
  bool respondsToInitializeIfNeeded() const override { return true; }
  void initializeIfNeeded() override { kit_.start(); }

 private:
  Faultline& kit_;
};

TEST_F(FaultlineTest, StartWithAPIKeySetsTheKeyAndStartsThroughTheRegistry) {
  auto delegate = std::make_shared<FaultlineDelegate>();
  FaultlineEnvironment e;
  e.trellis = [this]() -> Trellis& { return registry_.sdk(); };
  e.isFaultlineCollectionEnabled = [] { return true; };
  e.log = [this](std::string_view line) { lines_.emplace_back(line); };
  e.isBetaSupported = [] { return false; };
  e.makeFileManager = [this] { return FLTFileManager::withRootPath((dir_.path() / "store").string()); };
  e.makeCrashReportingController = [this](Faultline&, const FLTFileManager&) {
    ++controllersMade_;
    return std::make_unique<RecordingController>(true, tokens_);
  };
  e.tallyHooks = [] { return FLTTallyHooks{}; };
  TRLKitClassPtr own;
  e.kitClass = [&own] { return own; };
  Faultline started(std::move(e));
  own = std::make_shared<InstanceKitClass>(started);
  registry_.faultlineClass = own;

  started.startWithAPIKeyOnInstance("key-2", delegate);
  EXPECT_EQ(started.delegate(), delegate);
  EXPECT_EQ(registry_.sdk().APIKey(), "key-2");
  EXPECT_EQ(started.APIKey(), "key-2");
  EXPECT_TRUE(started.isFaultlineStarted());
  EXPECT_EQ(registry_.sdk().kitClasses(), TRLKitList{own});
  platform::mainQueue().runPending();
}

TEST_F(FaultlineTest, SettersThatCannotBeUndoneOrReadBackSaySo) {
  auto kit = make();
  kit->setDebugMode(false);
  EXPECT_TRUE(kit->debugMode());
  EXPECT_TRUE(registry_.sdk().debug()) << "every component reading the registry sees it";
  EXPECT_FALSE(logged("[Faultline] Warning, consider enabling debug mode before starting Faultline"));

  EXPECT_FALSE(kit->developmentPlatformName());
  EXPECT_TRUE(logged("[Faultline] developmentPlatformName is write-only"));
  EXPECT_FALSE(kit->developmentPlatformVersion());
  EXPECT_TRUE(logged("[Faultline] developmentPlatformVersion is write-only"));

  kit->start();
  kit->setDebugMode(true);
  EXPECT_TRUE(logged("[Faultline] Warning, consider enabling debug mode before starting Faultline"));
  kit->setDelegate(std::make_shared<FaultlineDelegate>());
  EXPECT_TRUE(logged("[Faultline] Warning, setting delegate after start. Make sure to set the Faultline delegate "
                     "before calling startWithAPIKey:.., or +[Trellis with...] to avoid missing some delegate "
                     "callbacks."));
  platform::mainQueue().runPending();
}

TEST_F(FaultlineTest, HistoricInstallIDWinsOnlyFromARealFile) {
  auto kit = make();
  const std::string registryID = registry_.sdk().installID();
  EXPECT_EQ(kit->installID(), registryID);

  const fs::path historic = dir_.path() / "support" / "com.faultline" / "FLTUserDefaults.plist";
  fs::create_directories(historic);  // a directory of that name
  EXPECT_EQ(kit->installID(), registryID);
  fs::remove(historic);

  std::ofstream(historic) << "{\"com.faultline.iuuid\": 5}";
  EXPECT_EQ(kit->installID(), registryID);
  std::ofstream(historic) << "not json";
  EXPECT_EQ(kit->installID(), registryID);
  std::ofstream(historic) << R"({"com.faultline.iuuid": "0A1B2C3D-0000-4000-8000-00000000CAFE"})";
  EXPECT_EQ(kit->installID(), "0A1B2C3D-0000-4000-8000-00000000CAFE");
}

// Records what the application's delegate receives, and on which thread.
class RecordingDelegate : public FaultlineDelegate {
 public:
  RecordingDelegate(bool plain, bool completion, bool legacyWithReport, bool legacy)
      : plain_(plain), completion_(completion), legacyWithReport_(legacyWithReport), legacy_(legacy) {}
  bool respondsToDidDetectReportForLastExecution() const override { return plain_; }
  void faultlineDidDetectReportForLastExecution(const std::shared_ptr<FLTReport>&) override {
    calls.push_back(std::string("plain") + (platform::isMainThread() ? "@main" : ""));
  }
  bool respondsToDidDetectReportForLastExecutionWithCompletion() const override { return completion_; }
  void faultlineDidDetectReportForLastExecution(const std::shared_ptr<FLTReport>&,
                                                std::function<void(bool)> completion) override {
    calls.push_back("completion");
    completion(false);
  }
  bool respondsToDidDetectCrashDuringPreviousExecutionWithReport() const override { return legacyWithReport_; }
  void faultlineDidDetectCrashDuringPreviousExecution(Faultline&, const std::shared_ptr<FLTReport>&) override {
    calls.push_back(std::string("legacy-report") + (platform::isMainThread() ? "@main" : ""));
  }
  bool respondsToDidDetectCrashDuringPreviousExecution() const override { return legacy_; }
  void faultlineDidDetectCrashDuringPreviousExecution(Faultline&) override {
    calls.push_back(std::string("legacy") + (platform::isMainThread() ? "@main" : ""));
  }
  std::vector<std::string> calls;

 private:
  bool plain_, completion_, legacyWithReport_, legacy_;
};

TEST_F(FaultlineTest, ReportsReachTheDelegateAsItsMethodsAsk) {
  const struct {
    const char* name;
    bool plain, completion, legacyWithReport, legacy;
    bool mustInform;
    std::vector<std::string> beforeMain;  // synchronous calls, then "submit=x"
    std::vector<std::string> afterMain;
  } cases[] = {
      {"no methods", false, false, false, false, false, {"submit=1"}, {}},
      {"plain only", true, false, false, false, false, {"submit=1"}, {"plain@main"}},
      {"completion form decides", false, true, false, false, true, {"completion", "submit=0"}, {}},
      {"legacy only, after the completion", false, false, true, true, true, {"submit=1"},
       {"legacy-report@main", "legacy@main"}},
  };
  auto report = earlierReport(false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto kit = make();
    auto delegate = std::make_shared<RecordingDelegate>(c.plain, c.completion, c.legacyWithReport, c.legacy);
    kit->setDelegate(delegate);
    EXPECT_EQ(kit->mustInformDelegateOfReports(), c.mustInform);
    kit->didDetectReportForLastExecution(report, [&](bool submit) {
      delegate->calls.push_back(std::string("submit=") + (submit ? "1" : "0"));
    });
    EXPECT_EQ(delegate->calls, c.beforeMain);
    platform::mainQueue().runPending();
    std::vector<std::string> expected = c.beforeMain;
    expected.insert(expected.end(), c.afterMain.begin(), c.afterMain.end());
    EXPECT_EQ(delegate->calls, expected);
  }
}

TEST_F(FaultlineTest, APreviousCrashIsToldToAnalyticsWithItsDate) {
  auto kit = make();
  kit->internalDidDetectReportForLastExecution(earlierReport(false));
  platform::mainQueue().runPending();
  EXPECT_TRUE(crashDates_.empty());

  kit->internalDidDetectReportForLastExecution(earlierReport(true));
  EXPECT_TRUE(crashDates_.empty());  // delivered on the main queue
  platform::mainQueue().runPending();
  ASSERT_EQ(crashDates_.size(), 1u);
  EXPECT_EQ(platform::Date::fromWallTime(crashDates_[0]).secondsSince1970, 1700000000.0);
}

TEST_F(FaultlineTest, ControllerQuestionsFallBackWhenTheDelegateIsSilent) {
  auto kit = make();
  EXPECT_FALSE(kit->shouldInstallCrashCallback());
  EXPECT_FALSE(kit->ensureDeliveryOfUnixSignal(SIGSEGV));
  EXPECT_TRUE(kit->canUseBackgroundSessions());
  extension_ = true;
  EXPECT_FALSE(kit->canUseBackgroundSessions());

  class Answering : public FaultlineDelegate {
   public:
    std::string description() const override { return "Answering"; }
    std::optional<bool> faultlineCanUseBackgroundSessions(Faultline&) override { return true; }
    std::optional<bool> faultlineEnsureDeliveryOfUnixSignal(Faultline&, int signal) override {
      return signal == SIGABRT;
    }
    bool respondsToDidDetectCrash() const override { return true; }
    bool respondsToDidDetectCrashDuringPreviousExecution() const override { return true; }
  };
  kit->setDelegate(std::make_shared<Answering>());
  EXPECT_TRUE(kit->shouldInstallCrashCallback());
  EXPECT_TRUE(kit->ensureDeliveryOfUnixSignal(SIGABRT));
  EXPECT_FALSE(kit->ensureDeliveryOfUnixSignal(SIGSEGV));
  EXPECT_TRUE(kit->canUseBackgroundSessions());

  // Start warns about the delegate on the main queue.
  kit->start();
  platform::mainQueue().runPending();
  EXPECT_TRUE(logged("[Faultline] The Faultline delegate 'Answering' implements deprecated methods.  Please see "
                     "Faultline.h for details."));
  EXPECT_TRUE(logged("[Faultline] Background sessions are not supported in extensions. Please see Faultline.h "
                     "for details."));
}

TEST(FaultlineKitClassTest, TheRegistryFindsTheKitByNameOnceLoaded) {
  EXPECT_EQ(Faultline::kitClass()->className(), "Faultline");
  EXPECT_EQ(Faultline::kitClass()->bundleIdentifier(), "com.kestrel.faultline.mac");
  EXPECT_EQ(Faultline::kitClass()->kitDisplayVersion(), "3.14.0");
  EXPECT_EQ(Faultline::kitClass()->kitBuildVersion(), "144");
  EXPECT_TRUE(Faultline::kitClass()->respondsToInitializeIfNeeded());
  loadFaultlineKit();
  EXPECT_EQ(Trellis::lookUpClass("Faultline"), Faultline::kitClass());
}

// ---- start with crash capture, in forked children ---------------------------------------

std::string hex(std::string_view text) {
  return TRLHexStringFromData(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

class FaultlineCaptureTest : public ::testing::Test {
 protected:
  // Starts a kit with the real crash-reporting controller over a temp store
  // in a child, then runs `then` there; returns the child's wait status.
  int runStartedChild(const std::function<void(Faultline&)>& then) {
    const pid_t pid = fork();
    if (pid == 0) {
      Faultline* kit = nullptr;
      try {
        kit = startInChild();
      } catch (const std::exception& error) {
        std::fprintf(stderr, "child: %s\n", error.what());
        _exit(4);
      }
      if (kit == nullptr || !kit->isFaultlineStarted()) _exit(3);
      then(*kit);
      _exit(0);
    }
    int status = 0;
    EXPECT_TRUE(capture_test::waitForChild(pid, &status));
    return status;
  }

  Faultline* startInChild() {
    {
      fs::create_directories(dir_.path() / "registry");
      auto* registry = new TestRegistry(dir_.path() / "registry");
      registry->sdk().setAPIKey("child-key");
      FaultlineEnvironment env;
      env.trellis = [registry]() -> Trellis& { return registry->sdk(); };
      env.isFaultlineCollectionEnabled = [] { return true; };
      env.isBetaSupported = [] { return false; };
      env.makeFileManager = [this] { return FLTFileManager::withRootPath(store().string()); };
      env.tallyHooks = [] { return FLTTallyHooks{}; };
      env.crashReportingEnvironment.bundleIdentifier = [] { return std::string("com.example.app"); };
      env.crashReportingEnvironment.executionIdentifier = [] { return std::string("0123456789abcdef0123456789abcdef"); };
      env.crashReportingEnvironment.debug = [] { return false; };
      env.crashReportingEnvironment.isExtension = [] { return false; };
      auto* kit = new Faultline(std::move(env));  // capture keeps pointers into it
      kit->start();
      return kit;
    }
  }

  fs::path store() const { return dir_.path() / "store"; }

  // The record files of this launch's report directory, concatenated.
  std::string activeRecords(std::string_view fileName) const {
    std::string text;
    const FLTFileManager files = FLTFileManager::withRootPath(store().string());
    for (const std::string& report : files.activePathContents()) {
      text += test_support::readFile(fs::path(report) / std::string(fileName));
    }
    return text;
  }

  TempDir dir_{"faultline-capture"};
};

TEST_F(FaultlineCaptureTest, CrashDiesOfAnIllegalInstructionAndIsRecorded) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "its forked child starts threads; ThreadSanitizer refuses threads after a "
                    "multi-threaded fork";
  }
  const int status = runStartedChild([](Faultline& kit) { kit.crash(); });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGILL);
  EXPECT_NE(activeRecords(kFLTRecordFileSignal), "");
}

TEST_F(FaultlineCaptureTest, ThrowExceptionIsRecordedAsTheTestException) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "its forked child starts threads; ThreadSanitizer refuses threads after a "
                    "multi-threaded fork";
  }
  // On a thread of its own, so no test framework handler catches it.
  const int status = runStartedChild([](Faultline& kit) { std::thread([&kit] { kit.throwException(); }).join(); });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  const std::string records = activeRecords(kFLTRecordFileException);
  // Names and reasons are written hex-encoded.
  EXPECT_NE(records.find(hex(FaultlineTestException::kReason)), std::string::npos) << records;
  EXPECT_NE(records.find(hex(FaultlineTestException::kName)), std::string::npos) << records;
}

TEST_F(FaultlineCaptureTest, ThrowExceptionCanBeCaughtAsTheTestException) {
  Faultline kit;
  try {
    kit.throwException();
  } catch (const FaultlineTestException& exception) {
    EXPECT_EQ(exception.name(), "FaultlineTestException");
    EXPECT_STREQ(exception.what(), "This is an Objective-C exception using for testing.");
  }
}

}  // namespace
}  // namespace vandrel::crash
