#include "crash/kit/flt_beta_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crash/kit/trl_network_client.h"
#include "crash/kit/trl_settings.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/sync.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

constexpr auto kTimeout = 10s;
constexpr std::string_view kCheckPath = "/spi/v2/platforms/mac/apps/com.vandrel.mac.offline/beta_update_check";

::testing::AssertionResult eventually(const std::function<bool()>& condition, std::string_view what) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << what;
    std::this_thread::sleep_for(1ms);
  }
  return ::testing::AssertionSuccess();
}

// The kit's side: settings over a downloaded dictionary, with the beta
// endpoint pointing at the stand-in.
class FakeKit : public FLTBetaControllerDelegate {
 public:
  FLTSettings settingsForBetaController(FLTBetaController&) override {
    FLTSettingsEnvironment environment;
    environment.environmentValue = [](std::string_view) { return std::nullopt; };
    environment.configuration = [this] {
      return std::optional<platform::Value::Dictionary>(
          platform::Value::Dictionary{{"BetaEndpoint", platform::Value(endpoint)}});
    };
    environment.log = [](std::string_view) {};
    return FLTSettings(settings, environment);
  }
  std::optional<std::string> APIKeyForBetaController(FLTBetaController&) override { return apiKey; }

  std::string endpoint;
  std::optional<platform::Value::Dictionary> settings;
  std::optional<std::string> apiKey = "api-key-1";
};

FLTBetaAppFacts signedFacts() {
  FLTBetaAppFacts facts;
  facts.buildVersion = "77";
  facts.displayVersion = "1.2 beta";
  facts.instanceIdentifier = "abc123";
  facts.installationSource = 3;
  facts.bundleIdentifierNamespace = "com.vandrel.mac.offline";
  return facts;
}

class FLTBetaControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = ServiceStandin::https();
    kit_->endpoint = server_->url();
  }

  // A check that met a passing failure leaves a retry waiting on the
  // fixture's scheduler, and the waiting retry keeps its network client
  // (and the controller) alive. Ended as its owner ends it, the retry
  // settles at once; every controller must then be gone before the fixture
  // its jobs log through.
  void TearDown() override {
    for (const auto& made : controllers_) {
      if (auto controller = made.lock()) controller->networkClient()->invalidateAndCancel();
    }
    for (const auto& made : controllers_) {
      EXPECT_TRUE(eventually([&] { return made.expired(); }, "a controller outlived its test"));
    }
    // expired() orders nothing; the lock orders the last log line before
    // the fixture goes.
    platform::MutexLock lock(logMutex_);
  }

  std::shared_ptr<FLTBetaController> makeController(std::function<std::optional<std::string>()> token =
                                                        [] { return std::optional<std::string>("beta-tok"); }) {
    FLTBetaControllerEnvironment environment;
    environment.betaToken = [this, token] {
      ++tokenRequests_;
      return token();
    };
    const std::string& der = TestCertificateAuthority::shared().der();
    environment.pinnedCertificates = std::vector<TRLCertificate>{
        TRLCertificatePinner::createCertificationWithData(der.data(), der.size()).value()};
    environment.scheduler = &scheduler_;
    environment.mainQueue = mainQueue_.get();
    environment.notificationCenter = &center_;
    // Debug lines on, pinning on (debug mode would trust the system's store).
    environment.debug = [] { return true; };
    environment.networkDebug = [] { return false; };
    environment.log = [this](std::string_view line) {
      platform::MutexLock lock(logMutex_);
      lines_.emplace_back(line);
    };
    environment.appFacts = facts_;
    environment.localeIdentifier = [] { return std::string("de_CH"); };
    auto controller = FLTBetaController::initWithDelegate(kit_, environment);
    EXPECT_TRUE(controller->networkClient());
    controllers_.push_back(controller);
    return controller;
  }

  void postSettingsAvailable() { center_.post(std::string(kTRLSettingsAvailableNotification)); }

  // Lets every check job queued so far (and the request step it queues) run.
  void drain(FLTBetaController& controller) {
    controller.queue().sync([] {});
    controller.queue().sync([] {});
  }

  bool logged(std::string_view text) {
    platform::MutexLock lock(logMutex_);
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  void replyWith(std::string body) {
    test_support::ScriptedReply reply;
    reply.headers = {{"Content-Type", "application/json; charset=utf-8"}};
    reply.body = std::move(body);
    server_->replyTo(std::string(kCheckPath), reply);
  }
  void replyWithOffer() {
    replyWith(R"j({"url":"https://builds.example.com/b/9","version_string":"2.0 (9)","other":1})j");
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::vector<std::weak_ptr<FLTBetaController>> controllers_;
  std::shared_ptr<platform::SerialQueue> mainQueue_ = std::make_shared<platform::SerialQueue>("test.beta.main");
  platform::NotificationCenter center_;
  std::shared_ptr<FakeKit> kit_ = std::make_shared<FakeKit>();
  FLTBetaAppFacts facts_ = signedFacts();
  std::atomic<int> tokenRequests_{0};
  std::unique_ptr<ServiceStandin> server_;
  platform::Mutex logMutex_;
  std::vector<std::string> lines_ VANDREL_GUARDED_BY(logMutex_);
};

TEST_F(FLTBetaControllerTest, WithoutABetaTokenStartFailsAndNoCheckIsEverMade) {
  // The kit's own source has no token on this platform.
  EXPECT_FALSE(FLTBetaTokenFromSource());

  auto controller = makeController([] { return std::nullopt; });
  EXPECT_FALSE(controller->start());
  EXPECT_FALSE(controller->start());
  // Asked again on each use while there is none.
  EXPECT_EQ(tokenRequests_.load(), 2);

  replyWithOffer();
  postSettingsAvailable();
  drain(*controller);
  EXPECT_TRUE(server_->requests().empty());
  EXPECT_FALSE(controller->activeUpdate());
}

TEST_F(FLTBetaControllerTest, SettingsArrivalChecksOnceAndKeepsTheOffer) {
  replyWithOffer();
  auto controller = makeController();
  ASSERT_TRUE(controller->start());
  postSettingsAvailable();

  ASSERT_TRUE(eventually([&] { return controller->activeUpdate().has_value(); }, "no active update"));
  const FLTBetaUpdate update = *controller->activeUpdate();
  EXPECT_EQ(update.url(), "https://builds.example.com/b/9");
  EXPECT_EQ(update.version(), "2.0 (9)");
  EXPECT_FALSE(controller->retrying());
  // Once obtained, the token is kept.
  EXPECT_EQ(tokenRequests_.load(), 1);

  const auto requests = server_->requestsTo(kCheckPath);
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests.front();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.query, "build_version=77&display_version=1.2%20beta&instance=abc123&source=3");
  EXPECT_EQ(request.header("X-Faultline-API-Key"), "api-key-1");
  EXPECT_EQ(request.header("X-Faultline-Beta-Token"), "beta-tok");
  EXPECT_EQ(request.header("User-Agent"), "Faultline Mac SDK/3.14.0");
  EXPECT_TRUE(logged("[Faultline:Beta] Loading beta update"));
  EXPECT_TRUE(logged("[Faultline:Beta] Beta update loaded"));
}

TEST_F(FLTBetaControllerTest, RequestCarriesTheHeadersInOrderAndATenSecondTimeOut) {
  auto controller = makeController();
  const FLTURLRequest request = controller->betaUpdateRequest("https://example.invalid/x");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"User-Agent", "Faultline Mac SDK/3.14.0"},
      {"Accept", "application/json"},
      {"Accept-Charset", "utf-8"},
      {"Accept-Language", "de_CH"},
      {"Content-Language", "de_CH"},
      {"X-Faultline-Developer-Token", "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d"},
      {"X-Faultline-API-Client-Id", "com.kestrel.faultline.mac"},
      {"X-Faultline-API-Client-Display-Version", "3.14.0"},
      {"X-Faultline-API-Client-Build-Version", "144"},
      {"X-Faultline-API-Key", "api-key-1"},
      {"X-Faultline-Beta-Token", "beta-tok"},
  };
  EXPECT_EQ(request.headers.fields(), expected);
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.idleTimeout, std::chrono::duration_cast<platform::Duration>(10s));

  // A missing API key leaves its header out rather than sending it empty.
  kit_->apiKey.reset();
  EXPECT_FALSE(controller->betaUpdateRequest("https://example.invalid/x").headers.contains("X-Faultline-API-Key"));
}

TEST_F(FLTBetaControllerTest, ChecksPauseForTheSuspendDurationOfTheSettings) {
  kit_->settings = platform::Value::Dictionary{
      {"beta", platform::Value(platform::Value::Dictionary{{"update_suspend_duration", platform::Value(60)}})}};
  replyWithOffer();
  auto controller = makeController();
  ASSERT_TRUE(controller->start());
  postSettingsAvailable();
  ASSERT_TRUE(eventually([&] { return controller->checksSuspended(); }, "checks not suspended"));
  ASSERT_TRUE(server_->waitForRequest(kCheckPath, kTimeout));

  // During the pause a settings notification makes no request.
  postSettingsAvailable();
  drain(*controller);
  EXPECT_EQ(server_->requestsTo(kCheckPath).size(), 1u);
  EXPECT_FALSE(controller->retrying());

  clock_.advance(59s);
  mainQueue_->sync([] {});
  EXPECT_TRUE(controller->checksSuspended());
  clock_.advance(1s);
  ASSERT_TRUE(eventually([&] { return !controller->checksSuspended(); }, "pause did not end"));

  postSettingsAvailable();
  EXPECT_TRUE(server_->waitForRequest(kCheckPath, kTimeout, 2));
}

TEST_F(FLTBetaControllerTest, AFailedRequestEndsChecksForThisProcess) {
  server_->replyTo(std::string(kCheckPath), 404, "");
  auto controller = makeController();
  ASSERT_TRUE(controller->start());
  postSettingsAvailable();
  ASSERT_TRUE(eventually([&] { return logged("[Faultline:Beta] Failed to load update"); }, "no failure line"));
  EXPECT_TRUE(controller->retrying());
  EXPECT_FALSE(controller->checksSuspended());

  replyWithOffer();
  postSettingsAvailable();
  drain(*controller);
  EXPECT_EQ(server_->requestsTo(kCheckPath).size(), 1u);
  EXPECT_FALSE(controller->activeUpdate());
}

TEST_F(FLTBetaControllerTest, AnUnreadableAnswerPausesButKeepsNoOffer) {
  replyWith(R"({"version_string":"3.0"})");
  auto controller = makeController();
  ASSERT_TRUE(controller->start());
  postSettingsAvailable();
  ASSERT_TRUE(eventually([&] { return logged("[Faultline:Beta] Beta update url is invalid"); }, "no url line"));
  EXPECT_TRUE(logged("[Faultline:Beta] Unable to read beta update data"));
  ASSERT_TRUE(eventually([&] { return controller->checksSuspended(); }, "checks not suspended"));
  mainQueue_->sync([] {});
  EXPECT_FALSE(controller->activeUpdate());
}

TEST_F(FLTBetaControllerTest, AServerOutsideThePinnedRootsIsNeverAsked) {
  const TestCertificateAuthority otherCa("Unpinned Beta Root");
  server_ = ServiceStandin::https(otherCa);
  kit_->endpoint = server_->url();
  replyWithOffer();
  auto controller = makeController();
  ASSERT_TRUE(controller->start());
  postSettingsAvailable();
  ASSERT_TRUE(eventually([&] { return logged("[Faultline:Beta] Failed to load update"); }, "no failure line"));
  EXPECT_TRUE(server_->requestsTo(kCheckPath).empty());
  EXPECT_FALSE(controller->activeUpdate());
}

TEST_F(FLTBetaControllerTest, OnlyUnsupportedInstallationsSkipTheCheck) {
  const struct {
    const char* name;
    int source;
    bool extension;
    bool supported;
  } cases[] = {
      {"signed for distribution", 3, false, true},
      {"store receipt", 4, false, false},
      {"plain", 1, false, false},
      {"extension", 3, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FLTBetaAppFacts facts = signedFacts();
    facts.installationSource = c.source;
    facts.isExtension = c.extension;
    EXPECT_EQ(FLTBetaController::isBetaSupported(facts), c.supported);
  }

  facts_.installationSource = 4;
  replyWithOffer();
  auto controller = makeController();
  ASSERT_TRUE(controller->start());
  postSettingsAvailable();
  drain(*controller);
  EXPECT_TRUE(server_->requests().empty());
}

TEST(FLTBetaUpdateTest, AnswersWithoutAUsableURLAreCannotParseResponse) {
  const struct {
    const char* name;
    platform::Value value;
    bool accepted;
  } cases[] = {
      {"url and version", platform::Value(platform::Value::Dictionary{{"url", platform::Value("https://x.example/a")},
                                                                      {"version_string", platform::Value("1")}}),
       true},
      {"url only", platform::Value(platform::Value::Dictionary{{"url", platform::Value("https://x.example/a")}}), true},
      {"no url", platform::Value(platform::Value::Dictionary{{"version_string", platform::Value("1")}}), false},
      {"url not a string", platform::Value(platform::Value::Dictionary{{"url", platform::Value(5)}}), false},
      {"url does not parse", platform::Value(platform::Value::Dictionary{{"url", platform::Value("not a url")}}),
       false},
      {"not an object", platform::Value(platform::Value::Array{}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<KitError> error;
    const auto update = FLTBetaUpdate::betaUpdateWithDictionary(c.value, &error);
    EXPECT_EQ(update.has_value(), c.accepted);
    if (c.accepted) {
      EXPECT_FALSE(error);
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, "NSURLErrorDomain");
    EXPECT_EQ(error->code, -1017);
    EXPECT_TRUE(error->userInfo.empty());
  }
}

TEST(FLTBetaUpdateTest, PromptTextsAreTranslatedAndNameTheApplication) {
  const FLTBetaUpdate update("https://x.example/a", std::nullopt);
  const FLTBetaUpdate::LocalizedStringSource none = [](std::string_view, std::string_view) {
    return std::optional<std::string>();
  };
  EXPECT_EQ(update.promptTitle(none), "New Build Available");
  EXPECT_EQ(update.promptMessage(none, "Vandrel"), "A new version of Vandrel is available for testing.");
  EXPECT_EQ(update.cancelLabel(none), "Cancel");
  EXPECT_EQ(update.installLabel(none), "Install");

  const FLTBetaUpdate::LocalizedStringSource german = [](std::string_view key, std::string_view table) {
    EXPECT_EQ(table, "Faultline");
    if (key == "FaultlineDistributionPromptMessage") return std::optional<std::string>("Neu: %@ zum Testen (%d%n)");
    if (key == "FaultlineDistributionPromptInstallTitle") return std::optional<std::string>("Installieren");
    return std::optional<std::string>();
  };
  // The name is placed as text, never read as a format.
  EXPECT_EQ(update.promptMessage(german, "50%@ App"), "Neu: 50%@ App zum Testen (%d%n)");
  EXPECT_EQ(update.installLabel(german), "Installieren");
  EXPECT_EQ(update.promptTitle(german), "New Build Available");
}

}  // namespace
}  // namespace vandrel::crash
