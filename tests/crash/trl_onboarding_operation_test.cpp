#include "crash/kit/trl_onboarding_operation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_network_client.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TempDir;
using test_support::TestCertificateAuthority;

constexpr auto kTimeout = 10s;
constexpr char kCreatePath[] = "/spi/v1/platforms/mac/apps";
// The bundle identifier "com.example/onboard" in namespace form.
constexpr char kUpdatePath[] = "/spi/v1/platforms/mac/apps/com.example_onboard";

class RecordingDelegate final : public TRLOnboardingOperationDelegate {
 public:
  struct Outcome {
    bool create;
    std::optional<KitError> error;
  };
  void onboardingOperationDidCompleteAppCreationWithError(TRLOnboardingOperation&,
                                                          const std::optional<KitError>& error) override {
    add({true, error});
  }
  void onboardingOperationDidCompleteAppUpdateWithError(TRLOnboardingOperation&,
                                                        const std::optional<KitError>& error) override {
    add({false, error});
  }
  ::testing::AssertionResult waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kTimeout, [&] { return outcomes_.size() >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << outcomes_.size() << " outcomes";
  }
  std::vector<Outcome> outcomes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
  }

 private:
  void add(Outcome outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(std::move(outcome));
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Outcome> outcomes_;
};

// The delegate hears the outcome just before the operation finishes.
::testing::AssertionResult finishes(const TRLOnboardingOperation& operation) {
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (!operation.isFinished()) {
    if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << "not finished";
    std::this_thread::sleep_for(1ms);
  }
  return ::testing::AssertionSuccess();
}

// The field names of a multipart body, in the order written.
std::vector<std::string> fieldNames(const std::string& body) {
  std::vector<std::string> names;
  const std::string marker = "; name=\"";
  for (std::size_t at = body.find(marker); at != std::string::npos; at = body.find(marker, at)) {
    at += marker.size();
    names.push_back(body.substr(at, body.find('"', at) - at));
  }
  return names;
}

std::map<std::string, std::vector<std::string>> partsByName(const test_support::RecordedRequest& request) {
  std::map<std::string, std::vector<std::string>> parts;
  for (const auto& part : request.parts) parts[part.name].push_back(part.content);
  return parts;
}

class TRLOnboardingOperationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = ServiceStandin::https();
    std::filesystem::create_directories(dir_.path() / "Onboard.app" / "Contents");
    ASSERT_TRUE(test_support::writeTextFile((dir_.path() / "Onboard.app" / "Contents" / "Info.json").string(),
                                            R"({"CFBundleIdentifier": "com.example/onboard",
                                                "CFBundleName": "Onboard",
                                                "CFBundleVersion": "42",
                                                "CFBundleShortVersionString": "4.2",
                                                "FaultlineSignedForDistribution": true})"));
    bundle_ = std::make_unique<platform::Bundle>(dir_.path() / "Onboard.app");
    model_ = TRLApplicationIdentifierModel::initWithInstallID(
        "install-1",
        [] {
          return std::optional<TRLExecutableInfo>(
              TRLExecutableInfo{{{"arm64", "aa01"}, {"x86_64", "bb02"}}, {14, 2, 0}, {11, 0, 1}});
        },
        "com.example_onboard");
    ASSERT_TRUE(model_);
    TRLNetworkClientEnvironment environment;
    environment.scheduler = &scheduler_;
    environment.debug = [] { return false; };
    environment.uniform = [] { return 0.5; };
    const auto& ca = TestCertificateAuthority::shared();
    client_ = TRLNetworkClient::initWithSessionConfiguration(
        FLTURLSessionConfiguration::defaultSessionConfiguration(), nullptr,
        std::vector<TRLCertificate>{
            TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size()).value()},
        environment);
    ASSERT_TRUE(client_);
  }

  TRLOnboardingOperation::Parameters parameters(bool create) {
    TRLOnboardingOperation::Parameters p;
    p.delegate = delegate_;
    p.shouldCreate = create;
    p.kitVersionsByKitBundleIdentifier = {{"com.kestrel.faultline.mac", "3.14.0"}, {"io.trellis.sdk.mac", "1.10.2"}};
    p.appIdentifierModel = model_.get();
    p.appEndpoint = server_->url();
    p.networkClient = client_;
    p.environment.bundle = bundle_.get();
    p.environment.icon = [this] { return icon_; };
    p.environment.log = [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.emplace_back(line);
    };
    return p;
  }

  std::shared_ptr<TRLOnboardingOperation> make(bool create) {
    auto operation = TRLOnboardingOperation::initWithDelegate("api-key-1", parameters(create));
    EXPECT_TRUE(operation);
    return operation;
  }

  ::testing::AssertionResult waitForPendingRetry() {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (client_->pendingRetryCount() != 1) {
      if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << "no retry pending";
      std::this_thread::sleep_for(1ms);
    }
    return ::testing::AssertionSuccess();
  }

  // Lets every retry wait pass until the operation has reported.
  ::testing::AssertionResult runToOutcome(std::size_t outcomes = 1) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (delegate_->outcomes().size() < outcomes) {
      if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << "no outcome";
      if (client_->pendingRetryCount() > 0) clock_.advance(std::chrono::hours(25));
      std::this_thread::sleep_for(1ms);
    }
    return ::testing::AssertionSuccess();
  }

  TempDir dir_{"trl-onboarding"};
  std::unique_ptr<ServiceStandin> server_;
  std::unique_ptr<platform::Bundle> bundle_;
  std::unique_ptr<TRLApplicationIdentifierModel> model_;
  std::optional<TRLIcon> icon_ = TRLIcon(std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', 1, 2, 3}, 512.0, 256.9, false);
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::shared_ptr<TRLNetworkClient> client_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::mutex logMutex_;
  std::vector<std::string> log_;
};

TEST_F(TRLOnboardingOperationTest, CreatePostsTheWholeRecordAsAForm) {
  server_->replyTo(kCreatePath, ScriptedReply{201, {{"Content-Type", "application/json"}}, "{}"});
  auto operation = make(true);
  operation->start();
  ASSERT_TRUE(delegate_->waitFor(1));

  auto requests = server_->requestsTo(kCreatePath);
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.header("X-Faultline-API-Key"), "api-key-1");
  EXPECT_EQ(request.header("User-Agent"), "io.trellis.sdk.mac/1.10.2 (80)");
  ASSERT_TRUE(request.header("Content-Type"));
  EXPECT_EQ(request.header("Content-Type")->rfind("multipart/form-data; boundary=", 0), 0u);

  auto parts = partsByName(request);
  using Values = std::vector<std::string>;
  EXPECT_EQ(parts["app[identifier]"], Values{"com.example_onboard"});
  EXPECT_EQ(parts["app[instance_identifier]"], Values{model_->instanceIdentifier()});
  EXPECT_EQ(parts["app[name]"], Values{"Onboard"});
  EXPECT_EQ(parts["app[build_version]"], Values{"42"});
  EXPECT_EQ(parts["app[display_version]"], Values{"4.2"});
  EXPECT_EQ(parts["app[source]"], Values{"3"});
  EXPECT_EQ(parts["app[minimum_sdk_version]"], Values{"11.0.1"});
  EXPECT_EQ(parts["app[built_sdk_version]"], Values{"14.2.0"});
  EXPECT_EQ(parts["app[build][libraries][com.kestrel.faultline.mac]"], Values{"3.14.0"});
  EXPECT_EQ(parts["app[build][libraries][io.trellis.sdk.mac]"], Values{"1.10.2"});
  EXPECT_EQ(parts["app[slices][][arch]"], (Values{"arm64", "x86_64"}));
  EXPECT_EQ(parts["app[slices][][uuid]"], (Values{"aa01", "bb02"}));
  EXPECT_EQ(parts["app[icon][hash]"], Values{icon_->dataHash()});
  EXPECT_EQ(parts["app[icon][prerendered]"], Values{"false"});
  EXPECT_EQ(parts["app[icon][width]"], Values{"512"});
  EXPECT_EQ(parts["app[icon][height]"], Values{"256"});
  EXPECT_EQ(parts["app[icon][data]"], Values{std::string("\x89PNG\x01\x02\x03", 7)});
  for (const auto& part : request.parts) {
    if (part.name != "app[icon][data]") continue;
    EXPECT_EQ(part.filename, "icon.png");
    EXPECT_EQ(part.contentType, "image/png");
  }

  auto outcome = delegate_->outcomes().at(0);
  EXPECT_TRUE(outcome.create);
  EXPECT_FALSE(outcome.error);
  EXPECT_FALSE(operation->error());
  EXPECT_TRUE(finishes(*operation));
}

TEST_F(TRLOnboardingOperationTest, FieldsAreWrittenInTheirFixedOrderWithTheBodysLength) {
  auto operation = make(true);
  auto built = operation->appConfigureRequest();
  ASSERT_TRUE(std::holds_alternative<platform::HttpRequest>(built));
  const auto& request = std::get<platform::HttpRequest>(built);
  const std::string& body = request.body.data;
  EXPECT_EQ(request.headers.value("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(request.idleTimeout, std::chrono::seconds(10));
  // No "Accept": the service may answer in any content type.
  EXPECT_FALSE(request.headers.contains("Accept"));
  EXPECT_EQ(fieldNames(body), (std::vector<std::string>{
                                  "app[identifier]", "app[instance_identifier]", "app[name]",
                                  "app[build_version]", "app[display_version]", "app[source]",
                                  "app[minimum_sdk_version]", "app[built_sdk_version]",
                                  "app[build][libraries][com.kestrel.faultline.mac]",
                                  "app[build][libraries][io.trellis.sdk.mac]", "app[slices][][arch]",
                                  "app[slices][][uuid]", "app[slices][][arch]", "app[slices][][uuid]",
                                  "app[icon][hash]", "app[icon][prerendered]", "app[icon][width]",
                                  "app[icon][height]", "app[icon][data]"}));
}

TEST_F(TRLOnboardingOperationTest, MissingFactsLeaveOutTheirFields) {
  const struct {
    std::string name;
    std::optional<TRLIcon> icon;
    bool withModel;
    std::vector<std::string> absent;
  } cases[] = {
      {"no icon", std::nullopt, true,
       {"app[icon][hash]", "app[icon][prerendered]", "app[icon][width]", "app[icon][height]", "app[icon][data]"}},
      {"icon without bytes", TRLIcon({}, "hash", 1, 1, true), true,
       {"app[icon][hash]", "app[icon][data]"}},
      {"icon without hash", TRLIcon({1, 2}, "", 1, 1, true), true, {"app[icon][hash]", "app[icon][data]"}},
      {"no executable facts", std::nullopt, false,
       {"app[instance_identifier]", "app[minimum_sdk_version]", "app[built_sdk_version]", "app[slices][][arch]"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    icon_ = c.icon;
    auto p = parameters(true);
    if (!c.withModel) p.appIdentifierModel = nullptr;
    auto operation = TRLOnboardingOperation::initWithDelegate("api-key-1", p);
    auto built = operation->appConfigureRequest();
    ASSERT_TRUE(std::holds_alternative<platform::HttpRequest>(built));
    auto names = fieldNames(std::get<platform::HttpRequest>(built).body.data);
    for (const auto& field : c.absent) {
      EXPECT_EQ(std::count(names.begin(), names.end(), field), 0) << field;
    }
    EXPECT_EQ(std::count(names.begin(), names.end(), "app[identifier]"), 1);
  }
}

TEST_F(TRLOnboardingOperationTest, UpdatePutsToTheAppsPathAndIsTriedAtMostTwice) {
  server_->replyTo(kUpdatePath, ScriptedReply{503, {{"Content-Type", "text/plain"}}, "busy"});
  auto operation = make(false);
  operation->start();
  ASSERT_TRUE(runToOutcome());
  auto requests = server_->requestsTo(kUpdatePath);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "PUT");
  EXPECT_EQ(requests[1].method, "PUT");
  EXPECT_EQ(partsByName(requests[1])["app[identifier]"], std::vector<std::string>{"com.example_onboard"});
  auto outcome = delegate_->outcomes().at(0);
  EXPECT_FALSE(outcome.create);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, "TRLNetworkError");
  EXPECT_EQ(operation->error(), outcome.error);
  EXPECT_TRUE(server_->requestsTo(kCreatePath).empty());
}

TEST_F(TRLOnboardingOperationTest, CreateIsTriedElevenTimesThenSucceedsOnALateReply) {
  server_->replyTo(kCreatePath, ScriptedReply{500, {{"Content-Type", "text/plain"}}, "down"});
  auto operation = make(true);
  operation->start();
  ASSERT_TRUE(runToOutcome());
  EXPECT_EQ(server_->requestsTo(kCreatePath).size(), 11u);
  ASSERT_TRUE(delegate_->outcomes().at(0).error);

  // A retry that meets a success ends well.
  server_->clearLog();
  server_->replyTo(kCreatePath, ScriptedReply{500, {{"Content-Type", "text/plain"}}, "down"});
  auto second = make(true);
  second->start();
  ASSERT_TRUE(server_->waitForRequest(kCreatePath, kTimeout, 1));
  ASSERT_TRUE(waitForPendingRetry());
  server_->replyTo(kCreatePath, ScriptedReply{201, {}, ""});
  ASSERT_TRUE(runToOutcome(2));
  EXPECT_EQ(server_->requestsTo(kCreatePath).size(), 2u);
  EXPECT_FALSE(delegate_->outcomes().at(1).error);
}

TEST_F(TRLOnboardingOperationTest, RepliesAreJudgedByStatusAloneAndReportedOnce) {
  const struct {
    std::string name;
    int status;
    std::string contentType;
    std::string body;
    std::optional<std::int64_t> code;
  } cases[] = {
      {"malformed JSON", 200, "application/json", R"({"app": )", std::nullopt},
      {"any content type", 201, "text/html", "<html>", std::nullopt},
      {"client error", 422, "application/json", R"({"error": "bad"})", -5},
      {"unexpected status", 302, "application/json", "{}", -4},
      {"not found", 404, "text/plain", "", -5},
  };
  std::size_t count = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_->replyTo(kCreatePath, ScriptedReply{c.status, {{"Content-Type", c.contentType}}, c.body});
    auto operation = make(true);
    operation->start();
    ASSERT_TRUE(delegate_->waitFor(++count));
    auto outcome = delegate_->outcomes().back();
    ASSERT_EQ(outcome.error.has_value(), c.code.has_value());
    if (c.code) {
      EXPECT_EQ(outcome.error->domain, "TRLNetworkError");
      EXPECT_EQ(outcome.error->code, *c.code);
    }
    EXPECT_TRUE(finishes(*operation));
  }
  EXPECT_EQ(delegate_->outcomes().size(), count);
}

TEST_F(TRLOnboardingOperationTest, WhatCannotBeSentIsStillReportedToTheDelegate) {
  // An endpoint that makes no URL.
  auto p = parameters(true);
  p.appEndpoint = "not a url";
  auto invalid = TRLOnboardingOperation::initWithDelegate("api-key-1", p);
  invalid->start();
  ASSERT_TRUE(delegate_->waitFor(1));
  auto outcome = delegate_->outcomes().at(0);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, "TRLSDKOnboardingErrorDomain");
  EXPECT_TRUE(invalid->isFinished());

  // A network client that is gone.
  p = parameters(false);
  p.networkClient.reset();
  auto orphan = TRLOnboardingOperation::initWithDelegate("api-key-1", p);
  orphan->start();
  ASSERT_TRUE(delegate_->waitFor(2));
  outcome = delegate_->outcomes().at(1);
  EXPECT_FALSE(outcome.create);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, -3);
  EXPECT_TRUE(server_->requests().empty());

  // An unusable key makes no operation at all.
  EXPECT_FALSE(TRLOnboardingOperation::initWithDelegate(std::nullopt, parameters(true)));
  EXPECT_FALSE(TRLOnboardingOperation::initWithDelegate("key\r\nX-Evil: 1", parameters(true)));
}

// The settings manager drives the operation through its factory: a new app
// is created, its settings downloaded again and announced once.
class TRLOnboardingWithManagerTest : public TRLOnboardingOperationTest {
 protected:
  static constexpr char kSettingsPath[] = "/spi/v2/platforms/mac/apps/com.example_onboard/settings";

  // Runs one launch's settings and onboarding; the creates it sent.
  std::vector<test_support::RecordedRequest> launch(TRLOnboardingOperationFactory factory) {
    server_->replyTo(kSettingsPath, ScriptedReply{200, {{"Content-Type", "application/json"}},
                                                  R"({"app": {"status": "new"}})"});
    server_->replyTo(kCreatePath, ScriptedReply{201, {{"Content-Type", "application/json"}}, "{}"});
    platform::NotificationCenter center;
    std::atomic<int> notifications{0};
    auto token = center.addObserver(std::string(kTRLSettingsAvailableNotification), nullptr, std::nullopt,
                                    [&](const platform::Notification&) { ++notifications; });
    TRLSettingsOnboardingManagerEnvironment env;
    env.settingsDirectoryPath = dir_.path() / "settings";
    env.networkClient = client_;
    env.environmentValue = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
    env.faultlineConfiguration = [this] {
      return platform::Value::Dictionary{{"SettingsEndpoint", server_->url()}, {"ConfigureEndpoint", server_->url()}};
    };
    env.debug = [] { return false; };
    env.log = [](std::string_view) {};
    env.notificationCenter = &center;
    env.appFacts = TRLSettingsAppFacts{"com.example_onboard", "42", "4.2", 3};
    env.onboarding = std::move(factory);
    auto manager = TRLSettingsOnboardingManager::initWithApplicationIdentifierModel(model_.get(), env);
    manager->beginSettingsAndOnboardingOperationsWithAPIKey("api-key-1", {{"io.trellis.sdk.mac", "1.10.2"}});
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!manager->networkingFinished() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(manager->networkingFinished());
    EXPECT_EQ(server_->requestsTo(kSettingsPath).size(), 2u);
    EXPECT_EQ(notifications.load(), 1);
    center.removeObserver(token);
    return server_->requestsTo(kCreatePath);
  }
};

TEST_F(TRLOnboardingWithManagerTest, NewAppIsCreatedThroughTheFactoryThenSettingsComeAgain) {
  auto creates = launch([this](const TRLOnboardingRequest& request, TRLOnboardingCompletion completion) {
    TRLOnboardingEnvironment onboarding;
    onboarding.bundle = bundle_.get();
    onboarding.icon = [] { return std::optional<TRLIcon>(); };
    return TRLOnboardingOperation::operationForRequest(request, std::move(completion), onboarding);
  });
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].method, "POST");
  EXPECT_EQ(creates[0].header("X-Faultline-API-Key"), "api-key-1");
  auto parts = partsByName(creates[0]);
  EXPECT_EQ(parts["app[identifier]"], std::vector<std::string>{"com.example_onboard"});
  EXPECT_EQ(parts["app[build][libraries][io.trellis.sdk.mac]"], std::vector<std::string>{"1.10.2"});
}

TEST_F(TRLOnboardingWithManagerTest, RegisteredOperationServesManagersWithoutAFactoryOfTheirOwn) {
  TRLOnboardingOperation::registerWithSettingsManager();
  auto creates = launch(nullptr);
  TRLSettingsOnboardingManager::setOnboardingOperationFactory(nullptr);
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(partsByName(creates[0])["app[instance_identifier]"], std::vector<std::string>{model_->instanceIdentifier()});
}

}  // namespace
}  // namespace vandrel::crash
