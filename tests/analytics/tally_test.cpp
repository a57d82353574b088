#include "analytics/tally/tally.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analytics/tally/tly_beacon_analytics_bridge.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_metadata.h"
#include "analytics/tally/tly_network_retry_handler.h"
#include "analytics/tally/tly_tally_controller.h"
#include "analytics/tally/tly_uploader.h"
#include "crash/kit/flt_tally_hooks.h"
#include "crash/kit/trl_async_operation.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/temp_dir.h"

namespace vandrel::analytics {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Value;

constexpr platform::Duration kTimeout = 10s;

// Stands for the crash kit's class in the registry's class table.
class FakeFaultlineClass final : public crash::TRLKitClass {
 public:
  std::string className() const override { return "Faultline"; }
  bool respondsToInitializeIfNeeded() const override { return true; }
  void initializeIfNeeded() override { ++initializeCalls; }
  std::atomic<int> initializeCalls{0};
};

class TallyTest : public ::testing::Test {
 protected:
  TallyTest()
      : logger_([this](std::string_view line) {
          std::lock_guard<std::mutex> lock(linesMutex_);
          lines_.emplace_back(line);
        }) {}

  ~TallyTest() override {
    for (const auto& controller : controllers_) {
      EXPECT_TRUE(controller->eventQueue()->waitUntilAllOperationsAreFinished(kTimeout));
    }
    // An operation may still hold a controller or its uploader on a worker
    // a moment after its queue ran dry; both use the fixture's centre,
    // scheduler and logger until they are gone.
    std::vector<std::pair<std::weak_ptr<TLYTallyController>, std::weak_ptr<TLYUploader>>> made;
    for (const auto& controller : controllers_) {
      made.emplace_back(controller, controller->uploader());
    }
    controllers_.clear();
    for (const auto& [controller, uploader] : made) {
      const auto deadline = std::chrono::steady_clock::now() + kTimeout;
      while (!(controller.expired() && uploader.expired()) &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      EXPECT_TRUE(controller.expired() && uploader.expired()) << "a controller outlived its test";
    }
  }

  // A real pipeline over a temp directory; no settings, so nothing is sent.
  std::shared_ptr<TLYTallyController> makeController(const std::optional<std::string>& betaToken) {
    TLYTallyControllerEnvironment env;
    env.isFirstInstall = [] { return false; };
    env.trellisSettings = [] { return std::optional<Value::Dictionary>(); };
    env.makeMetadata = [](const std::optional<std::string>& token) {
      auto fields = std::make_unique<TLYMetadataFields>();
      fields->APIKey = std::string("api-key-1");
      fields->installationId = std::string("install-0001");
      fields->betaToken = token;
      fields->executionIdentifier = std::string("this-launch");
      return std::make_shared<const TLYMetadata>(*fields);
    };
    env.makeNetworkRetryHandler = [this] {
      TLYNetworkRetryHandlerEnvironment retry;
      retry.debug = [] { return false; };
      retry.timers.scheduler = &scheduler_;
      retry.timers.queue = &platform::globalQueue();
      return std::make_shared<TLYNetworkRetryHandler>(std::move(retry));
    };
    env.makeBeaconAnalyticsBridge = [this] { return std::make_unique<TLYBeaconAnalyticsBridge>(nullptr, &logger_); };
    env.makeUploader = [this](std::shared_ptr<crash::OperationQueue> queue, std::weak_ptr<TLYUploaderDelegate> delegate) {
      TLYUploaderEnvironment uploader;
      uploader.notificationCenter = &center_;
      uploader.pinnedCertificates = std::vector<crash::TRLCertificate>{};
      uploader.debug = [] { return false; };
      uploader.isExtension = [] { return false; };
      uploader.logger = &logger_;
      return TLYUploader::initWithQueue(std::move(queue), std::move(delegate), std::move(uploader));
    };
    env.notificationCenter = &center_;
    env.clock = &clock_;
    env.scheduler = &scheduler_;
    env.logger = &logger_;
    auto controller = TLYTallyController::initWithBetaToken(betaToken, dir_.path() / "v2", std::move(env));
    std::lock_guard<std::mutex> lock(linesMutex_);
    controllers_.push_back(controller);
    tokens_.push_back(betaToken);
    return controller;
  }

  TallyEnvironment environment() {
    TallyEnvironment env;
    env.debug = [] { return true; };
    env.beaconMode = [this] { return beaconMode_.load(); };
    env.lookUpClass = [this](std::string_view name) -> crash::TRLKitClassPtr {
      return name == "Faultline" ? faultline_ : nullptr;
    };
    env.makeController = [this](const std::optional<std::string>& token) { return makeController(token); };
    env.logger = &logger_;
    env.systemLog = [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(linesMutex_);
      lines_.emplace_back(line);
    };
    return env;
  }

  ::testing::AssertionResult drained(Tally& tally) {
    auto controller = tally.tallyController();
    if (!controller) return ::testing::AssertionSuccess();
    if (controller->eventQueue()->waitUntilAllOperationsAreFinished(kTimeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the event queue did not drain";
  }

  // Every file the pipeline left under the events directory, concatenated.
  std::string eventText() {
    std::string text;
    fs::path events = dir_.path() / "v2" / "events";
    if (!fs::exists(events)) return text;
    for (const auto& entry : fs::directory_iterator(events)) {
      if (entry.path().extension() == ".log") text += test_support::readFile(entry.path());
    }
    return text;
  }
  std::size_t filesUnderEvents() {
    fs::path events = dir_.path() / "v2" / "events";
    if (!fs::exists(events)) return 0;
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(events), fs::directory_iterator()));
  }

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(linesMutex_);
    return lines_;
  }
  int count(const std::string& line) {
    int n = 0;
    for (const auto& l : lines()) n += l == line;
    return n;
  }

  test_support::TempDir dir_;
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  platform::NotificationCenter center_;
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
  TLYLogger logger_;
  std::atomic<bool> beaconMode_{false};
  std::shared_ptr<FakeFaultlineClass> faultline_;
  std::vector<std::shared_ptr<TLYTallyController>> controllers_;
  std::vector<std::optional<std::string>> tokens_;
};

TEST_F(TallyTest, EventsBeforeTheStartAreDroppedWithoutAMessage) {
  Tally tally(environment());
  tally.logSearchWithQuery("vpn", {});
  tally.logCustomEventWithName("opened", {{Value("k"), Value("v")}});
  tally.logPreviousSessionCrashedOnDate(platform::WallTime{} + 1000h);
  EXPECT_EQ(tally.tallyController(), nullptr);
  EXPECT_TRUE(lines().empty());
  EXPECT_TRUE(controllers_.empty());
}

TEST_F(TallyTest, StartRunsOnceWithTheFirstToken) {
  Tally tally(environment());
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&tally, i] { tally.startWithBetaToken(i == 0 ? "first" : "later-" + std::to_string(i)); });
  }
  for (auto& t : threads) t.join();
  tally.startWithBetaToken("second");
  ASSERT_EQ(controllers_.size(), 1u);
  EXPECT_EQ(tally.tallyController(), controllers_[0]);
  EXPECT_EQ(count("[Tally] Initialized"), 1);
  EXPECT_TRUE(logger_.debugMode());  // the registry's debug flag
}

TEST_F(TallyTest, FirstTokenWinsWhenCallsComeInTurn) {
  Tally tally(environment());
  tally.startWithBetaToken("first");
  tally.startWithBetaToken("second");
  ASSERT_EQ(tokens_.size(), 1u);
  EXPECT_EQ(tokens_[0], "first");
}

TEST_F(TallyTest, EventsReachTheCurrentLog) {
  Tally tally(environment());
  tally.startWithBetaToken(std::nullopt);
  tally.logSearchWithQuery("wireguard", {});
  tally.logCustomEventWithName("server_picked", {{Value("country"), Value("nl")}});
  tally.logLoginWithMethod("password", Value(true), {});
  ASSERT_TRUE(drained(tally));
  std::string text = eventText();
  EXPECT_NE(text.find("wireguard"), std::string::npos) << text;
  EXPECT_NE(text.find("server_picked"), std::string::npos) << text;
  EXPECT_NE(text.find("\"login\""), std::string::npos) << text;
}

TEST_F(TallyTest, AppConfigurationModeRefusesEveryEventMethodButTheCrash) {
  beaconMode_ = true;
  Tally tally(environment());
  tally.startWithBetaToken(std::nullopt);
  ASSERT_TRUE(drained(tally));
  const std::size_t filesBefore = filesUnderEvents();
  struct Case {
    const char* selector;
    std::function<void()> call;
  };
  std::vector<Case> cases = {
      {"logSignUpWithMethod:success:customAttributes:", [&] { tally.logSignUpWithMethod("m", Value(true), {}); }},
      {"logLoginWithMethod:success:customAttributes:", [&] { tally.logLoginWithMethod("m", Value(true), {}); }},
      {"logShareWithMethod:contentName:contentType:contentId:customAttributes:",
       [&] { tally.logShareWithMethod("m", "n", "t", "i", {}); }},
      {"logInviteWithMethod:customAttributes:", [&] { tally.logInviteWithMethod("m", {}); }},
      {"logPurchaseWithPrice:currency:success:itemName:itemType:itemId:customAttributes:",
       [&] { tally.logPurchaseWithPrice(1.5, "EUR", Value(true), "n", "t", "i", {}); }},
      {"logLevelStart:customAttributes:", [&] { tally.logLevelStart("l", {}); }},
      {"logLevelEnd:score:success:customAttributes:", [&] { tally.logLevelEnd("l", Value(3), Value(true), {}); }},
      {"logAddToCartWithPrice:currency:itemName:itemType:itemId:customAttributes:",
       [&] { tally.logAddToCartWithPrice(2.0, "EUR", "n", "t", "i", {}); }},
      {"logStartCheckoutWithPrice:currency:itemCount:customAttributes:",
       [&] { tally.logStartCheckoutWithPrice(2.0, "EUR", Value(2), {}); }},
      {"logRating:contentName:contentType:contentId:customAttributes:",
       [&] { tally.logRating(Value(5), "n", "t", "i", {}); }},
      {"logContentViewWithName:contentType:contentId:customAttributes:",
       [&] { tally.logContentViewWithName("n", "t", "i", {}); }},
      {"logSearchWithQuery:customAttributes:", [&] { tally.logSearchWithQuery("q", {}); }},
      {"logCustomEventWithName:customAttributes:", [&] { tally.logCustomEventWithName("c", {}); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.selector);
    const std::size_t before = lines().size();
    c.call();
    auto after = lines();
    ASSERT_EQ(after.size(), before + 1);
    EXPECT_EQ(after.back(), std::string("[Tally] ") + c.selector + " is not supported when using Faultline through Beacon.");
  }
  ASSERT_TRUE(drained(tally));
  EXPECT_EQ(filesUnderEvents(), filesBefore);

  tally.logPreviousSessionCrashedOnDate(platform::WallTime{} + 1000h);
  ASSERT_TRUE(drained(tally));
  EXPECT_EQ(count("[Tally] Attempting to log app_crashed"), 1);
}

TEST_F(TallyTest, ACrashWithoutADateRecordsNothing) {
  Tally tally(environment());
  tally.startWithBetaToken(std::nullopt);
  tally.logPreviousSessionCrashedOnDate(std::nullopt);
  ASSERT_TRUE(drained(tally));
  EXPECT_EQ(count("[Tally] Attempting to log app_crashed"), 0);
  tally.logPreviousSessionCrashedOnDate(platform::WallTime{} + 1000h);
  ASSERT_TRUE(drained(tally));
  EXPECT_EQ(count("[Tally] Attempting to log app_crashed"), 1);
}

TEST_F(TallyTest, InitializeGoesThroughTheCrashKitWhenItIsPresent) {
  faultline_ = std::make_shared<FakeFaultlineClass>();
  Tally tally(environment());
  tally.initializeIfNeeded();
  EXPECT_EQ(faultline_->initializeCalls.load(), 1);
  EXPECT_EQ(tally.tallyController(), nullptr);

  faultline_.reset();
  tally.initializeIfNeeded();
  ASSERT_NE(tally.tallyController(), nullptr);
  ASSERT_EQ(tokens_.size(), 1u);
  EXPECT_EQ(tokens_[0], std::nullopt);
}

TEST(TallyLoadTest, LoadRegistersTheKitClassAndTheCrashKitHooks) {
  loadTally();
  auto cls = crash::Trellis::lookUpClass("Tally");
  ASSERT_EQ(cls, Tally::kitClass());
  EXPECT_TRUE(cls->conformsToTRLKit());
  EXPECT_EQ(cls->className(), "Tally");
  EXPECT_EQ(cls->bundleIdentifier(), "com.kestrel.tally.mac");
  EXPECT_EQ(cls->kitDisplayVersion(), "1.4.1");
  EXPECT_EQ(cls->kitBuildVersion(), "32");
  EXPECT_TRUE(cls->respondsToInitializeIfNeeded());
  auto hooks = crash::FLTRegisteredTallyHooks();
  EXPECT_TRUE(hooks.startWithBetaToken);
  EXPECT_TRUE(hooks.logCustomEventWithName);
  EXPECT_TRUE(hooks.logPreviousSessionCrashedOnDate);
  crash::FLTRegisterTallyHooks({});
  crash::Trellis::registerClass("Tally", nullptr);
}

}  // namespace
}  // namespace vandrel::analytics
