#include "crash/kit/trl_settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_network_client.h"
#include "crash/kit/trl_settings_onboarding_manager.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/named_pipe.h"
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
constexpr char kSettingsPath[] = "/spi/v2/platforms/mac/apps/com.vandrel.mac.offline/settings";

TRLSettingsAppFacts facts() { return {"com.vandrel.mac.offline", "42", "1.2", 3}; }

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Thread-safe record of what happened, in order.
class Events {
 public:
  void add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> all() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  std::size_t count(const std::string& prefix) const {
    std::size_t n = 0;
    for (const auto& e : all()) n += e.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

// ---- TRLSettings ---------------------------------------------------------------------

class TRLSettingsTest : public ::testing::Test {
 protected:
  std::filesystem::path path() const { return dir_ / "settings.json"; }
  TRLSettings settings() {
    return TRLSettings(path(), facts(), [this](std::string_view line) { log_.add(std::string(line)); });
  }
  TempDir dir_;
  Events log_;
};

TEST_F(TRLSettingsTest, SettingsURLCarriesTheAppFactsInOrder) {
  const struct {
    const char* name;
    TRLSettingsAppFacts facts;
    std::optional<std::string> instance;
    const char* url;
  } cases[] = {
      {"all", facts(), "abc123",
       "https://s.test/spi/v2/platforms/mac/apps/com.vandrel.mac.offline/settings"
       "?build_version=42&display_version=1.2&instance=abc123&source=3"},
      {"missing values drop their parameters", {"com.x", std::nullopt, "1 0", 1}, std::nullopt,
       "https://s.test/spi/v2/platforms/mac/apps/com.x/settings?display_version=1%200&source=1"},
      {"identifier stays one segment", {"a_b?c", "7", "7", 4}, "i",
       "https://s.test/spi/v2/platforms/mac/apps/a_b%3Fc/settings"
       "?build_version=7&display_version=7&instance=i&source=4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRLSettings model(path(), c.facts);
    EXPECT_EQ(model.settingsURLForEndpoint("https://s.test", c.instance).value_or("<none>"), c.url);
  }
}

TEST_F(TRLSettingsTest, CorruptCachedFileReadsAsNoneAndIsDeleted) {
  const struct {
    const char* name;
    const char* text;
  } cases[] = {
      {"not JSON", "<html>oops</html>"},
      {"truncated", "{\"app\": {\"status\": \"ne"},
      {"empty", ""},
      {"not an object", "[1, 2, 3]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(path(), c.text);
    TRLSettings model = settings();
    EXPECT_FALSE(model.settingsDictionary().has_value());
    EXPECT_FALSE(std::filesystem::exists(path()));
    EXPECT_EQ(log_.count("[Trellis] Could not load settings with error: "), 1u);
    EXPECT_FALSE(model.appNeedsOnboarding());
    log_.clear();
  }
  // Nothing but the settings file was ever there.
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(TRLSettingsTest, MissingFileIsReadAgainAndAGoodFileIsCachedUntilCleared) {
  TRLSettings model = settings();
  EXPECT_FALSE(model.settingsDictionary().has_value());
  writeFile(path(), R"({"app": {"status": "activated"}, "features": {"x": 1}})");
  EXPECT_EQ(model.appStatus().value_or("<none>"), "activated");
  writeFile(path(), R"({"app": {"status": "new"}})");
  EXPECT_EQ(model.appStatus().value_or("<none>"), "activated");  // cached
  model.clearSettingsDictionary();
  EXPECT_TRUE(model.appNeedsOnboarding());
  EXPECT_TRUE(log_.all().empty());
}

TEST_F(TRLSettingsTest, CorruptFileIsNotDeletedOnceANewerFileReplacedIt) {
  writeFile(path(), "{\"app\": ");
  struct stat corrupt {};
  ASSERT_EQ(::stat(path().c_str(), &corrupt), 0);
  // A download renames a good file into place after the corrupt one was read.
  writeFile(dir_ / "new", R"({"app": {"status": "activated"}})");
  std::filesystem::rename(dir_ / "new", path());

  EXPECT_TRUE(TRLRemoveSettingsFileIfUnchanged(path(), {corrupt.st_dev, corrupt.st_ino}));
  EXPECT_EQ(readFile(path()).value_or("<gone>"), R"({"app": {"status": "activated"}})");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);

  // The file read is still there: it goes.
  struct stat good {};
  ASSERT_EQ(::stat(path().c_str(), &good), 0);
  EXPECT_TRUE(TRLRemoveSettingsFileIfUnchanged(path(), {good.st_dev, good.st_ino}));
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

// Opening a FIFO for reading waits for a writer: one in the settings file's
// place must read as no settings at once (and is not ours to delete).
TEST_F(TRLSettingsTest, AFIFOInTheSettingsFilesPlaceReadsAsNoneAtOnce) {
  ASSERT_TRUE(test_support::makeNamedPipe(path()));
  std::optional<platform::Value::Dictionary> read = platform::Value::Dictionary{};
  EXPECT_TRUE(test_support::returnsWithoutWaitingOn(
      path(), [&] { read = settings().settingsDictionary(); }));
  EXPECT_FALSE(read.has_value());
  ASSERT_EQ(log_.all().size(), 1u);
  EXPECT_NE(log_.all()[0].find("Could not load settings with error: "), std::string::npos);
  EXPECT_NE(log_.all()[0].find("not a regular file"), std::string::npos) << log_.all()[0];
  EXPECT_TRUE(std::filesystem::is_fifo(path()));
}

TEST_F(TRLSettingsTest, AppValuesOfAnotherTypeCountAsAbsent) {
  const struct {
    const char* json;
    bool needsOnboarding;
    bool updateRequired;
  } cases[] = {
      {R"({"app": {"status": "new", "update_required": true}})", true, true},
      {R"({"app": {"status": "activated", "update_required": false}})", false, false},
      {R"({"app": {"status": null, "update_required": null}})", false, false},
      {R"({"app": {"status": 1, "update_required": "true"}})", false, false},
      {R"({"app": {"update_required": 1}})", false, false},
      {R"({"app": null})", false, false},
      {R"({"app": ["new"]})", false, false},
      {R"({})", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    writeFile(path(), c.json);
    TRLSettings model = settings();
    EXPECT_EQ(model.appNeedsOnboarding(), c.needsOnboarding);
    EXPECT_EQ(model.appUpdateRequired(), c.updateRequired);
  }
}

// ---- The manager against an HTTPS stand-in ---------------------------------------------

// An onboarding operation that reports `error` as soon as it starts.
class FakeOnboarding final : public TRLAsyncOperation {
 public:
  FakeOnboarding(TRLOnboardingCompletion completion, std::optional<KitError> error)
      : completion_(std::move(completion)), error_(std::move(error)) {}
  void main() override {
    auto self = std::static_pointer_cast<FakeOnboarding>(shared_from_this());
    platform::globalQueue().async([self] {
      self->completion_(self->error_);
      self->finishWithError(self->error_);
    });
  }

 private:
  TRLOnboardingCompletion completion_;
  std::optional<KitError> error_;
};

class TRLSettingsOnboardingManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = ServiceStandin::https();
    model_ = TRLApplicationIdentifierModel::initWithInstallID(
        "7A1C0E52-3F0B-4E0C-9E44-2D1A6C1B0F11",
        [] { return std::optional<TRLExecutableInfo>(TRLExecutableInfo{{{"x86_64", "00ff"}}, {}, {}}); },
        "com.vandrel.mac.offline");
    ASSERT_TRUE(model_);
    observer_ = center_.addObserver(std::string(kTRLSettingsAvailableNotification), nullptr,
                                    std::nullopt, [this](const platform::Notification&) {
                                      events_.add("notification");
                                    });
  }

  std::shared_ptr<TRLSettingsOnboardingManager> makeManager(bool withOnboarding = true) {
    const auto& ca = TestCertificateAuthority::shared();
    TRLNetworkClientEnvironment clientEnvironment;
    clientEnvironment.debug = [] { return false; };  // pinning on
    clientEnvironment.uniform = [] { return 0.5; };
    client_ = TRLNetworkClient::initWithSessionConfiguration(
        FLTURLSessionConfiguration::defaultSessionConfiguration(), nullptr,
        std::vector<TRLCertificate>{
            TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size()).value()},
        clientEnvironment);
    TRLSettingsOnboardingManagerEnvironment env;
    env.settingsDirectoryPath = settingsDir();
    env.networkClient = client_;
    env.environmentValue = [this](std::string_view key) -> std::optional<std::string> {
      if (key == kTRLSettingsEndpointKey) return server_->url();
      return std::nullopt;
    };
    env.faultlineConfiguration = [] {
      return platform::Value::Dictionary{{"ConfigureEndpoint", "https://api.test.invalid"}};
    };
    env.debug = [] { return true; };
    env.log = [this](std::string_view line) { log_.add(std::string(line)); };
    env.notificationCenter = &center_;
    env.appFacts = facts();
    if (withOnboarding) {
      env.onboarding = [this](const TRLOnboardingRequest& request, TRLOnboardingCompletion completion) {
        events_.add(std::string(request.shouldCreate ? "create " : "update ") + request.endpointString +
                    " " + request.APIKey);
        return std::make_shared<FakeOnboarding>(std::move(completion), onboardingError_);
      };
    }
    return TRLSettingsOnboardingManager::initWithApplicationIdentifierModel(model_.get(), env);
  }

  void serve(std::string body, std::string contentType = "application/json", int status = 200) {
    server_->replyTo(kSettingsPath, ScriptedReply{status, {{"Content-Type", contentType}}, std::move(body)});
  }

  // Starts the launch's networking and waits until it has ended.
  ::testing::AssertionResult runLaunch(TRLSettingsOnboardingManager& manager) {
    manager.beginSettingsAndOnboardingOperationsWithAPIKey("api-key-1", {{"io.trellis.sdk.mac", "1.10.2"}});
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!manager.networkingFinished()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << "the networking did not end";
      }
      std::this_thread::sleep_for(1ms);
    }
    return ::testing::AssertionSuccess();
  }

  std::filesystem::path settingsDir() const { return dir_ / "io.trellis.sdk.mac.data"; }
  std::filesystem::path settingsFile() const { return settingsDir() / "settings.json"; }

  void TearDown() override { center_.removeObserver(observer_); }

  TempDir dir_;
  std::unique_ptr<ServiceStandin> server_;
  std::unique_ptr<TRLApplicationIdentifierModel> model_;
  std::shared_ptr<TRLNetworkClient> client_;
  platform::NotificationCenter center_;
  platform::ObserverToken observer_;
  Events events_;
  Events log_;
  std::optional<KitError> onboardingError_;
};

TEST_F(TRLSettingsOnboardingManagerTest, DownloadIsSavedAndAnnouncedOnce) {
  const std::string body = R"({"app": {"status": "activated"}, "features": {"collect_logged_exceptions": true}})";
  serve(body);
  auto manager = makeManager();
  ASSERT_TRUE(runLaunch(*manager));

  EXPECT_EQ(readFile(settingsFile()).value_or("<none>"), body);
  EXPECT_EQ(manager->settingsPath(), settingsFile());
  EXPECT_EQ(events_.all(), std::vector<std::string>{"notification"});
  auto settings = manager->settingsModel().settingsDictionary();
  ASSERT_TRUE(settings);
  EXPECT_TRUE(settings->count("features"));

  auto requests = server_->requestsTo(kSettingsPath);
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.method, "GET");
  EXPECT_EQ(r.query, "build_version=42&display_version=1.2&instance=" + model_->instanceIdentifier() +
                         "&source=3");
  EXPECT_EQ(r.header("Accept").value_or(""), "application/json");
  EXPECT_EQ(r.header("X-Faultline-Installation-ID").value_or(""), "7A1C0E52-3F0B-4E0C-9E44-2D1A6C1B0F11");
  EXPECT_EQ(r.header("X-Faultline-API-Client-Version").value_or(""), "1.10.2");
  EXPECT_EQ(r.header("X-Faultline-API-Key").value_or(""), "api-key-1");
  EXPECT_TRUE(r.header("X-Faultline-OS-Display-Version").has_value());

  EXPECT_EQ(log_.count("[Trellis] settings downloaded successfully"), 1u);
  EXPECT_EQ(log_.count("[Trellis] Settings are available for consumption"), 1u);
}

TEST_F(TRLSettingsOnboardingManagerTest, RequestHeadersFollowTheCommonOnesInTheirOrder) {
  auto manager = makeManager();
  TRLDownloadAndSaveSettingsOperation::Parameters parameters;
  parameters.installIdentifier = "INSTALL";
  auto operation = TRLDownloadAndSaveSettingsOperation::initWithAPIKey("k", parameters);
  ASSERT_TRUE(operation);
  const auto request = operation->mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL("https://s.test/x");
  std::vector<std::string> names;
  for (const auto& field : request.headers.fields()) names.push_back(field.first);
  const std::vector<std::string> ours = {"Accept", "X-Faultline-Installation-ID", "X-Faultline-Device-Model",
                                         "X-Faultline-OS-Build-Version", "X-Faultline-OS-Display-Version",
                                         "X-Faultline-API-Client-Version"};
  // Ours come after the common headers; facts the system lacks are left out.
  std::vector<std::string> tail;
  for (const auto& name : names) {
    if (std::find(ours.begin(), ours.end(), name) != ours.end()) tail.push_back(name);
  }
  std::vector<std::string> expected;
  for (const auto& name : ours) {
    if (request.headers.contains(name)) expected.push_back(name);
  }
  EXPECT_EQ(tail, expected);
  EXPECT_EQ(names.back(), "X-Faultline-API-Client-Version");
  EXPECT_EQ(request.method, "GET");
  EXPECT_FALSE(TRLDownloadAndSaveSettingsOperation::initWithAPIKey(std::nullopt, parameters));
}

TEST_F(TRLSettingsOnboardingManagerTest, NewAppIsCreatedThenDownloadedAgainWithOneNotification) {
  serve(R"({"app": {"status": "new"}})");  // the second download still says new
  auto manager = makeManager();
  ASSERT_TRUE(runLaunch(*manager));

  EXPECT_EQ(events_.all(), (std::vector<std::string>{"create https://api.test.invalid api-key-1", "notification"}));
  EXPECT_EQ(server_->requestsTo(kSettingsPath).size(), 2u);
  EXPECT_EQ(log_.count("[Trellis] Starting onboarding with app create"), 1u);
  EXPECT_EQ(log_.count("[Trellis] completed configure"), 1u);
  EXPECT_EQ(log_.count("[Trellis] App already onboarded in this run of the app"), 1u);
}

TEST_F(TRLSettingsOnboardingManagerTest, FailedCreateEndsTheLaunchWithoutNotification) {
  serve(R"({"app": {"status": "new"}})");
  onboardingError_ = KitError{"TRLNetworkError", -5, "client error", {}, {}};
  auto manager = makeManager();
  ASSERT_TRUE(runLaunch(*manager));
  EXPECT_EQ(events_.count("notification"), 0u);
  EXPECT_EQ(server_->requestsTo(kSettingsPath).size(), 1u);
  EXPECT_EQ(log_.count("[Trellis] unable to complete application configure: Error Domain=TRLNetworkError Code=-5"),
            1u);
}

TEST_F(TRLSettingsOnboardingManagerTest, UpdateRequiredIsAnnouncedBeforeTheUpdateStarts) {
  serve(R"({"app": {"status": "activated", "update_required": true}})");
  auto manager = makeManager();
  ASSERT_TRUE(runLaunch(*manager));
  // The session ends when the update reports; wait for its log line.
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (log_.count("[Trellis] completed application update") == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(events_.all(), (std::vector<std::string>{"notification", "update https://api.test.invalid api-key-1"}));
  EXPECT_EQ(log_.count("[Trellis] completed application update"), 1u);
  EXPECT_TRUE(manager->hasAttemptedAppConfigure());
}

TEST_F(TRLSettingsOnboardingManagerTest, SettingsWithoutAnAppSectionAreAnnouncedAndNothingElseStarts) {
  for (const char* body : {R"({})", R"({"app": null})", R"({"app": {"status": 7}})"}) {
    SCOPED_TRACE(body);
    events_.clear();
    serve(body);
    auto manager = makeManager();
    ASSERT_TRUE(runLaunch(*manager));
    EXPECT_EQ(events_.all(), std::vector<std::string>{"notification"});
    EXPECT_FALSE(manager->hasAttemptedAppConfigure());
  }
}

TEST_F(TRLSettingsOnboardingManagerTest, WithoutOnboardingANewAppsSettingsAreStillAnnounced) {
  serve(R"({"app": {"status": "new"}})");
  auto manager = makeManager(/*withOnboarding=*/false);
  ASSERT_TRUE(runLaunch(*manager));
  EXPECT_EQ(events_.all(), std::vector<std::string>{"notification"});
  EXPECT_EQ(server_->requestsTo(kSettingsPath).size(), 1u);
}

TEST_F(TRLSettingsOnboardingManagerTest, EarlierLaunchSettingsStayUntilADownloadReplacesThem) {
  // The cached file has no expiry: however old, it is what readers see until
  // this launch's download replaces it.
  const std::string old = R"({"app": {"status": "activated"}, "era": "old"})";
  writeFile(settingsFile(), old);
  std::filesystem::last_write_time(settingsFile(),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  serve(R"({"era": "new"})");
  auto manager = makeManager();
  EXPECT_EQ(*manager->settingsModel().settingsDictionary()->at("era").asString(), "old");
  ASSERT_TRUE(runLaunch(*manager));
  EXPECT_EQ(*manager->settingsModel().settingsDictionary()->at("era").asString(), "new");
  EXPECT_EQ(readFile(settingsFile()).value_or(""), R"({"era": "new"})");
}

TEST_F(TRLSettingsOnboardingManagerTest, FailedDownloadKeepsTheSettingsOnDiskAndAnnouncesNothing) {
  const std::string good = R"({"app": {"status": "activated"}})";
  const struct {
    const char* name;
    int status;
    const char* contentType;
    const char* body;
    const char* logged;
  } cases[] = {
      {"client error", 404, "application/json", "{}", "Code=-5"},
      {"not JSON content", 200, "text/html", "<html></html>", "Code=-4"},
      {"truncated body", 200, "application/json", R"({"app": {"sta)", "Code=-2"},
      {"not an object", 200, "application/json", R"(["app"])", "Code=-2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events_.clear();
    log_.clear();
    writeFile(settingsFile(), good);
    serve(c.body, c.contentType, c.status);
    auto manager = makeManager();
    ASSERT_TRUE(runLaunch(*manager));
    EXPECT_EQ(readFile(settingsFile()).value_or("<none>"), good);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(settingsDir()), {}), 1);
    EXPECT_TRUE(events_.all().empty());
    const auto lines = log_.all();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.rfind("[Trellis] failed to download settings Error Domain=", 0) == 0 &&
             line.find(c.logged) != std::string::npos;
    })) << testing::PrintToString(lines);
    EXPECT_EQ(manager->settingsModel().appStatus().value_or("<none>"), "activated");
  }
}

TEST_F(TRLSettingsOnboardingManagerTest, UnpinnedServerIsRefused) {
  TestCertificateAuthority other("Unpinned Settings Root");
  server_ = ServiceStandin::https(other);
  serve("{}");
  auto manager = makeManager();
  ASSERT_TRUE(runLaunch(*manager));
  EXPECT_FALSE(std::filesystem::exists(settingsFile()));
  EXPECT_TRUE(events_.all().empty());
  EXPECT_EQ(log_.count("[Trellis] failed to download settings "), 1u);
}

TEST_F(TRLSettingsOnboardingManagerTest, ConfigurationComesFromEnvironmentThenInfoThenDefaults) {
  auto manager = makeManager();
  TRLSettingsOnboardingManagerEnvironment env;
  env.settingsDirectoryPath = settingsDir();
  env.networkClient = client_;
  env.appFacts = facts();
  std::optional<std::string> fromEnvironment;
  platform::Value::Dictionary fromInfo;
  env.environmentValue = [&](std::string_view) { return fromEnvironment; };
  env.faultlineConfiguration = [&] { return fromInfo; };
  TRLSettingsOnboardingManager configured(model_.get(), env);

  auto defaultEndpoint = configured.valueForConfigurationKey(kTRLSettingsEndpointKey);
  ASSERT_TRUE(defaultEndpoint);
  EXPECT_EQ(defaultEndpoint->rfind("https://", 0), 0u);
  EXPECT_NE(defaultEndpoint->find(".invalid"), std::string::npos);
  EXPECT_NE(configured.valueForConfigurationKey(kTRLConfigureEndpointKey), defaultEndpoint);

  fromInfo = {{"SettingsEndpoint", "https://info.test"}, {"ConfigureEndpoint", 5}};
  EXPECT_EQ(configured.valueForConfigurationKey(kTRLSettingsEndpointKey), "https://info.test");
  // A value that is no string is passed over.
  EXPECT_EQ(configured.valueForConfigurationKey(kTRLConfigureEndpointKey),
            *TRLSettingsOnboardingManager::defaultConfiguration().at("ConfigureEndpoint").asString());
  fromEnvironment = "https://env.test";
  EXPECT_EQ(configured.valueForConfigurationKey(kTRLSettingsEndpointKey), "https://env.test");
  EXPECT_EQ(configured.settingsURL().value_or("").rfind("https://env.test/spi/v2/platforms/mac/apps/", 0), 0u);
}

}  // namespace
}  // namespace vandrel::crash
