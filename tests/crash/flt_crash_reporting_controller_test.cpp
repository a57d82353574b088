#include "crash/kit/flt_crash_reporting_controller.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_utilities.h"
#include "crash/kit/flt_bcr_analytics.h"
#include "crash/kit/flt_settings.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "crash/kit/trl_settings.h"
#include "crash/reports/flt_internal_report.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Value;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TempDir;
using test_support::TestCertificateAuthority;

constexpr auto kTimeout = 10s;
constexpr char kReportsPath[] = "/sdk-api/v1/platforms/mac/apps/com.example.app/reports";
// Set in a re-executed child: the store root it runs its launch in, and how
// that launch ends.
constexpr char kChildRootVariable[] = "FLT_CTL_TEST_CHILD_ROOT";
constexpr char kChildModeVariable[] = "FLT_CTL_TEST_CHILD_MODE";

// A report directory of an earlier launch, written with the record writer.
void writeReport(const std::string& dir, const std::string& sessionId) {
  fs::create_directories(dir);
  FLTFile file{};
  const std::string metadata = dir + "/metadata.fltrecord";
  ASSERT_TRUE(FLTFileInitWithPathMode(&file, metadata.c_str(), false, false));
  FLTFileWriteSectionStart(&file, "identity");
  FLTFileWriteHashStart(&file);
  FLTFileWriteHashEntryString(&file, "session_id", sessionId.c_str());
  FLTFileWriteHashEntryString(&file, "api_key", "api-key-1");
  FLTFileWriteHashEnd(&file);
  FLTFileWriteSectionEnd(&file);
  ASSERT_TRUE(FLTFileCloseWithOffset(&file, nullptr));
  const std::string signal = dir + "/signal.fltrecord";
  ASSERT_TRUE(FLTFileInitWithPathMode(&file, signal.c_str(), false, false));
  FLTFileWriteSectionStart(&file, "signal");
  FLTFileWriteHashStart(&file);
  FLTFileWriteHashEntryUint64(&file, "time", 1700000000);
  FLTFileWriteHashEntryUint64(&file, "number", 11);
  FLTFileWriteHashEnd(&file);
  FLTFileWriteSectionEnd(&file);
  ASSERT_TRUE(FLTFileCloseWithOffset(&file, nullptr));
}

FLTSettingsEnvironment settingsEnvironment(Value::Dictionary info) {
  FLTSettingsEnvironment env;
  env.environmentValue = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
  env.configuration = [info] { return std::optional<Value::Dictionary>(info); };
  env.localizedString = [](std::string_view, std::string_view) -> std::optional<std::string> {
    return std::nullopt;
  };
  env.log = [](std::string_view) {};
  return env;
}

// The kit facade's answers, scripted per test.
class FacadeDelegate final : public FLTCrashReportingControllerDelegate {
 public:
  std::shared_ptr<const FLTSettings> settingsForCrashReportingController(FLTCrashReportingController&) override {
    return settings;
  }
  std::optional<std::string> APIKeyForCrashReportingController(FLTCrashReportingController&) override {
    return "api-key-1";
  }
  std::string installIDForCrashReportingController(FLTCrashReportingController&) override { return "install-1"; }
  bool isFirstInstallForCrashReportingController(FLTCrashReportingController&) override { return false; }
  bool reportingControllerEnsureDeliveryOfUnixSignal(FLTCrashReportingController&, int signal) override {
    return deliveredSignals.count(signal) != 0;
  }
  bool reportingControllerMustInformDelegateOfReports(FLTCrashReportingController&) override {
    return mustInform;
  }
  void reportingControllerInternalDidDetectReportForLastExecution(
      FLTCrashReportingController&, const std::shared_ptr<FLTInternalReport>& report) override {
    std::lock_guard<std::mutex> lock(mutex);
    detected.push_back(report->identifier());
  }
  void reportingControllerDidDetectReportForLastExecution(FLTCrashReportingController&,
                                                          const std::shared_ptr<FLTInternalReport>& report,
                                                          std::function<void(bool)> completion) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      asked.push_back(report->identifier());
    }
    completion(submit);
    if (afterAnswer) afterAnswer();
  }

  std::shared_ptr<const FLTSettings> settings;
  std::map<int, bool> deliveredSignals;
  bool mustInform = false;
  bool submit = true;
  // Runs on the start thread once the answer is given.
  std::function<void()> afterAnswer;
  std::mutex mutex;
  std::vector<std::string> detected;
  std::vector<std::string> asked;
};

// ---- The launch of a re-executed child --------------------------------------

// Runs only in a child started by `runLaunchInChild`: a fresh process, so
// crash capture is installed in it and never in the test process.
TEST(FLTCrashReportingControllerChild, Launch) {
  const char* root = std::getenv(kChildRootVariable);
  if (root == nullptr) GTEST_SKIP() << "runs only as a child launch";
  const std::string mode = std::getenv(kChildModeVariable) ? std::getenv(kChildModeVariable) : "";
  // The launch ends in a crash on purpose: no core file for it.
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  auto delegate = std::make_shared<FacadeDelegate>();
  delegate->settings = std::make_shared<const FLTSettings>(
      std::nullopt, settingsEnvironment({{"ReportsEndpoint", Value("https://127.0.0.1:9")}}));
  FLTCrashReportingControllerEnvironment env;
  env.bundleIdentifier = [] { return std::string("com.example.app"); };
  env.executionIdentifier = [] { return std::string("child-launch"); };
  env.debug = [] { return false; };
  env.log = [](std::string_view) {};
  auto store = FLTFileManager::withRootPath(root);
  auto controller = FLTCrashReportingController::initWithFileManager(store, delegate, env);
  if (!controller->startWithProfilingMark(FLTProfileStart(), std::nullopt)) _exit(10);
  if (!FLTContextIsInitialized() || FLTContextReadOnly()->signal == nullptr) _exit(11);
  if (!controller->launchFailureMarkerPresent()) _exit(12);
  if (mode == "crash-early") raise(SIGSEGV);
  // The first main-queue turn after set-up ends the launch's risky phase.
  if (!platform::mainQueue().runUntil([&] { return !controller->launchFailureMarkerPresent(); }, 5s)) _exit(13);
  if (mode == "crash-late") raise(SIGSEGV);
  _exit(0);
}

// Starts this test binary again as a child running one launch; returns its
// wait status.
int runLaunchInChild(const std::string& root, const std::string& mode) {
  const std::string rootEntry = std::string(kChildRootVariable) + "=" + root;
  const std::string modeEntry = std::string(kChildModeVariable) + "=" + mode;
  // The options of a sanitized run go to the child too: it crashes on
  // purpose, and the sanitizer must leave that crash to the kit.
  std::vector<std::string> sanitizerEntries;
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) sanitizerEntries.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> envp;
  envp.push_back(const_cast<char*>(rootEntry.c_str()));
  envp.push_back(const_cast<char*>(modeEntry.c_str()));
  for (auto& entry : sanitizerEntries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char self[] = "/proc/self/exe";
  char filter[] = "--gtest_filter=FLTCrashReportingControllerChild.Launch";
  char* argv[] = {self, filter, nullptr};
  const pid_t pid = fork();
  if (pid == 0) {
    execve(self, argv, envp.data());
    _exit(127);
  }
  EXPECT_GT(pid, 0);
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(5ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  ADD_FAILURE() << "child launch did not finish";
  return status;
}

// ---- In-process tests (capture set-up replaced) ------------------------------

class FLTCrashReportingControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = ServiceStandin::https();
    replyWith(200);
    configure({}, {});
  }

  // The controllers reach the fixture's queue, scheduler, centre and log
  // through raw pointers: work they left in flight (an upload's completion
  // holds its controller) must be over before those go.
  void TearDown() override {
    for (const auto& [controller, client] : made_) {
      EXPECT_TRUE(waitUntil([&] { return controller.expired() && client.expired(); }))
          << "a controller outlived its test";
    }
  }

  void configure(Value::Dictionary features, Value::Dictionary info, Value::Dictionary prompt = {}) {
    info["ReportsEndpoint"] = Value(server_->url());
    Value::Dictionary settings{{"features", Value(std::move(features))}};
    if (!prompt.empty()) settings["prompt"] = Value(std::move(prompt));
    delegate_->settings = std::make_shared<const FLTSettings>(settings, settingsEnvironment(info));
  }

  void replyWith(int status) {
    server_->replyTo(kReportsPath, ScriptedReply{status, {{"Content-Type", "application/json"}}, "{}"});
  }

  std::shared_ptr<FLTCrashReportingController> makeController(std::string executionId = "launch-2") {
    FLTCrashReportingControllerEnvironment env;
    env.bundleIdentifier = [this] { return bundleIdentifier_; };
    env.executionIdentifier = [executionId] { return executionId; };
    env.debug = [] { return true; };
    env.log = [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.emplace_back(line);
    };
    env.isExtension = [] { return false; };
    env.presentPermissionAlert = presenter_;
    env.initializeContext = [this](const FLTContextInitParameters* parameters) {
      std::lock_guard<std::mutex> lock(mutex_);
      reportDirectory_ = parameters->reportDirectory;
      mask_ = parameters->machExceptionMaskToIgnore;
      crashCallback_ = parameters->crashCallbackDelegate != nullptr;
      return true;
    };
    env.mainQueue = mainQueue_.get();
    env.scheduler = &scheduler_;
    env.notificationCenter = &center_;
    const auto& ca = TestCertificateAuthority::shared();
    env.networkClient.pinnedCertificates = std::vector<TRLCertificate>{
        TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size()).value()};
    env.networkClient.debug = [] { return false; };
    env.networkClient.scheduler = &scheduler_;
    env.networkClient.log = [](std::string_view) {};
    env.networkClient.synchronousUploadTimeout = kTimeout;
    env.reports.collectionEnabled = [this] { return collectionEnabled_.load(); };
    env.reports.localeIdentifier = [] { return std::string("en_US"); };
    env.reports.debug = [] { return false; };
    env.reports.log = [](std::string_view) {};
    env.reports.logCrash = [](double, bool) {};
    auto controller = FLTCrashReportingController::initWithFileManager(store_, delegate_, env);
    made_.emplace_back(controller, controller->networkClient());
    return controller;
  }

  std::string earlierReport(const std::string& name) {
    const std::string dir = store_.activePath() + "/" + name;
    writeReport(dir, "session-" + name);
    return dir;
  }

  // Waits until the work queue and the main-queue stand-in are idle twice
  // in a row (jobs on one may post to the other).
  void drain(const std::shared_ptr<FLTCrashReportingController>& controller) {
    for (int round = 0; round < 3; ++round) {
      controller->operationQueue()->sync([] {});
      mainQueue_->sync([] {});
    }
  }

  ::testing::AssertionResult waitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << "timed out";
      std::this_thread::sleep_for(2ms);
    }
    return ::testing::AssertionSuccess();
  }

  bool logged(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : log_) {
      if (entry == line) return true;
    }
    return false;
  }

  std::vector<std::string> activeNames() {
    std::vector<std::string> names;
    for (const auto& path : store_.activePathContents()) names.push_back(fs::path(path).filename());
    return names;
  }

  TempDir dir_{"flt-crash-reporting-controller"};
  FLTFileManager store_ =
      FLTFileManager::withRootPath((dir_.path() / "com.faultline.data" / "com.example.app").string());
  std::shared_ptr<FacadeDelegate> delegate_ = std::make_shared<FacadeDelegate>();
  std::shared_ptr<platform::SerialQueue> mainQueue_ = std::make_shared<platform::SerialQueue>("test.ctl.main");
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  platform::NotificationCenter center_;
  std::unique_ptr<ServiceStandin> server_;
  std::string bundleIdentifier_ = "com.example.app";
  std::atomic<bool> collectionEnabled_{true};
  FLTPermissionAlertPresenter presenter_;
  std::mutex mutex_;
  std::vector<std::string> log_;
  std::string reportDirectory_;
  std::uint32_t mask_ = 0;
  bool crashCallback_ = false;
  // Every controller made, with its upload client.
  std::vector<std::pair<std::weak_ptr<FLTCrashReportingController>,
                        std::weak_ptr<FLTNetworkClient>>>
      made_;
};

TEST_F(FLTCrashReportingControllerTest, LaunchInChildInstallsCaptureAndItsCrashIsSentAtTheNextLaunch) {
  // The child crashes after its launch marker is gone: a normal report.
  const int status = runLaunchInChild(store_.rootPath(), "crash-late");
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;
  const fs::path childReport = fs::path(store_.activePath()) / "child-launch";
  ASSERT_TRUE(fs::exists(childReport / "signal.fltrecord"));
  ASSERT_TRUE(fs::exists(childReport / "metadata.fltrecord"));

  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  EXPECT_EQ(reportDirectory_, store_.activePath() + "/launch-2");
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout));
  EXPECT_TRUE(waitUntil([&] { return store_.preparedPathContents().empty(); }));
  drain(controller);
  EXPECT_EQ(activeNames(), std::vector<std::string>{"launch-2"});
  EXPECT_TRUE(store_.processingPathContents().empty());
  std::map<std::string, std::string> parts;
  const auto requests = server_->requestsTo(kReportsPath);
  for (const auto& part : requests[0].parts) parts[part.name] = part.content;
  EXPECT_EQ(parts["report_id"], "child-launch");
  EXPECT_EQ(delegate_->asked, std::vector<std::string>{"child-launch"});
}

TEST_F(FLTCrashReportingControllerTest, CrashBeforeTheFirstTurnMakesTheNextLaunchSendAtOnce) {
  const int status = runLaunchInChild(store_.rootPath(), "crash-early");
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;

  auto controller = makeController();
  ASSERT_TRUE(controller->launchFailureMarkerPresent()) << "left by the crashed launch";
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  // Sent synchronously before start returned, without asking the delegate.
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
  EXPECT_TRUE(store_.preparedPathContents().empty());
  EXPECT_EQ(activeNames(), std::vector<std::string>{"launch-2"});
  EXPECT_TRUE(delegate_->asked.empty());
  EXPECT_EQ(delegate_->detected, std::vector<std::string>{"child-launch"});
  // The marker of this launch goes at the first main-queue turn.
  drain(controller);
  EXPECT_FALSE(controller->launchFailureMarkerPresent());
}

TEST_F(FLTCrashReportingControllerTest, UrgentReportsWaitForADelegateThatMustBeInformed) {
  delegate_->mustInform = true;
  delegate_->submit = false;
  earlierReport("old");
  {
    auto marker = makeController();
    ASSERT_TRUE(store_.prepareForNewLaunch());
    ASSERT_TRUE(marker->createLaunchFailureMarker());
  }
  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  drain(controller);
  EXPECT_EQ(delegate_->asked, std::vector<std::string>{"session-old"});
  EXPECT_TRUE(logged("[Faultline:Crash] Removing report at request of delegate"));
  EXPECT_EQ(activeNames(), std::vector<std::string>{"launch-2"});
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());
}

TEST_F(FLTCrashReportingControllerTest, StartStopsForNoIdentifierOrDisabledReporting) {
  const std::string old = earlierReport("old");
  bundleIdentifier_ = "";
  auto controller = makeController();
  EXPECT_FALSE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  EXPECT_TRUE(logged("[Faultline] An application must have a valid bundle idenifier in its Info.plist"));
  EXPECT_EQ(activeNames(), std::vector<std::string>{"old"}) << "no report directory made";

  bundleIdentifier_ = "com.example.app";
  configure({{"collect_reports", Value(false)}}, {});
  ASSERT_TRUE(fs::create_directories(store_.processingPath() + "/p"));
  controller = makeController();
  EXPECT_FALSE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  EXPECT_TRUE(logged("[Faultline:Crash] Reporting is disabled"));
  EXPECT_TRUE(store_.activePathContents().empty());
  EXPECT_TRUE(store_.processingPathContents().empty());
  EXPECT_TRUE(reportDirectory_.empty()) << "no capture";
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());
}

TEST_F(FLTCrashReportingControllerTest, DataCollectionOffSendsNothingAndKeepsEveryReport) {
  collectionEnabled_ = false;
  earlierReport("old");
  ASSERT_TRUE(store_.prepareForNewLaunch());
  writeReport(store_.processingPath() + "/half", "session-half");
  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  drain(controller);
  EXPECT_EQ(activeNames(), (std::vector<std::string>{"launch-2", "old"}));
  EXPECT_EQ(store_.processingPathContents().size(), 1u);
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());
}

TEST_F(FLTCrashReportingControllerTest, LeftoversInProcessingAndPreparedAreSentAtStart) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  writeReport(store_.processingPath() + "/half", "session-half");
  // A package an earlier launch made but could not send.
  const std::string boundary = TRLMultipartMimeStreamEncoder::generateBoundary();
  const std::string package = store_.preparedPath() + "/" + boundary + ".multipartmime";
  TRLMultipartMimeStreamEncoder encoder(std::make_shared<TRLFileOutputStream>(package), boundary);
  ASSERT_TRUE(encoder.encode([&] { encoder.addValue("session-old", "report_id"); }).ok());
  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, 2));
  EXPECT_TRUE(waitUntil([&] { return store_.preparedPathContents().empty(); }));
  EXPECT_TRUE(store_.processingPathContents().empty());
  // The package goes before the delegate hears of it on the queues, which
  // use the fixture's main queue and scheduler.
  drain(controller);
}

TEST_F(FLTCrashReportingControllerTest, ProcessingJunkWithoutIdentifierIsSentAndNothingElseMoves) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  // A directory cut short before its metadata was written, and one whose
  // metadata is not a record at all: neither names a report.
  const std::string cut = store_.processingPath() + "/cut-short";
  fs::create_directories(cut);
  std::ofstream(cut + "/signal.fltrecord") << "{\"signal\":{\"number\":11}}\n{\"threads\":[";
  const std::string garbled = store_.processingPath() + "/garbled";
  fs::create_directories(garbled);
  std::ofstream(garbled + "/metadata.fltrecord") << "not a record\n";
  // A stray file is no report directory: it cannot be packaged and stays.
  std::ofstream(store_.processingPath() + "/stray") << "x";

  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, 2));
  EXPECT_TRUE(waitUntil([&] { return store_.preparedPathContents().empty(); }));
  drain(controller);
  EXPECT_EQ(store_.processingPathContents(),
            std::vector<std::string>{store_.processingPath() + "/stray"});
  std::multiset<std::string> firstParts;
  for (const auto& request : server_->requestsTo(kReportsPath)) {
    ASSERT_FALSE(request.parts.empty());
    // No identifier and no key: the package starts with the file parts.
    firstParts.insert(request.parts[0].name);
    for (const auto& part : request.parts) {
      EXPECT_NE(part.name, "report_id");
      EXPECT_NE(part.name, "api_key");
    }
  }
  EXPECT_EQ(firstParts, (std::multiset<std::string>{"metadata.fltrecord", "signal.fltrecord"}));
  EXPECT_TRUE(logged("[Faultline:Crash] Report in processing has no identifier: " + cut));
}

TEST_F(FLTCrashReportingControllerTest, FailedUploadIsRetriedAfterTenMinutes) {
  replyWith(400);
  earlierReport("old");
  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout));
  // The failure schedules the retry; the package waits in prepared.
  // Pending: the handler re-check two seconds after set-up, and the retry.
  ASSERT_TRUE(waitUntil([&] { return scheduler_.pendingCountForTesting() >= 2; }));
  ASSERT_EQ(store_.preparedPathContents().size(), 1u);
  replyWith(200);
  clock_.advance(std::chrono::seconds(599));
  drain(controller);
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
  clock_.advance(std::chrono::seconds(1));
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, 2));
  EXPECT_TRUE(waitUntil([&] { return store_.preparedPathContents().empty(); }));
  drain(controller);
}

TEST_F(FLTCrashReportingControllerTest, PackageMadeWhileStartRunsIsNoLeftoverToSendAgain) {
  replyWith(400);
  earlierReport("old");
  // The work queue packages the report and its upload fails before start
  // looks for packages that earlier launches left behind.
  delegate_->afterAnswer = [this] {
    // Pending: the handler re-check and the failed upload's retry.
    EXPECT_TRUE(waitUntil([&] { return scheduler_.pendingCountForTesting() >= 2; }));
  };
  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  drain(controller);
  EXPECT_EQ(controller->networkClient()->liveUploadCount(), 0u) << "no second upload of the package";
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
  EXPECT_EQ(store_.preparedPathContents().size(), 1u) << "kept for the retry";
}

// The send prompt: the user's answer decides, and "always send" holds for
// the rest of the launch.
TEST_F(FLTCrashReportingControllerTest, PromptAnswersDecideWhatHappensToReports) {
  struct Case {
    const char* name;
    bool hasPresenter;
    long response;
    FLTPromptChoice choice;
    std::size_t sent;
    std::size_t keptInActive;
    int alerts;
  } cases[] = {
      {"always send", true, kFLTAlertSecondButtonReturn, FLTPromptChoice::AlwaysSend, 2, 0, 1},
      {"send", true, kFLTAlertFirstButtonReturn, FLTPromptChoice::Send, 2, 0, 1},
      {"cancel", true, kFLTAlertThirdButtonReturn, FLTPromptChoice::Declined, 0, 0, 1},
      {"no user interface", false, 0, FLTPromptChoice::NotAsked, 0, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(store_.removeContentsOfAllPaths());
    server_->clearLog();
    configure({{"prompt_enabled", Value(true)}}, {}, {{"title", Value("Crashed")}});
    earlierReport("a");
    earlierReport("b");
    std::atomic<int> alerts{0};
    FLTPermissionAlert shown;
    presenter_ = nullptr;
    if (c.hasPresenter) {
      presenter_ = [&alerts, &shown, response = c.response](const FLTPermissionAlert& alert) {
        shown = alert;
        ++alerts;
        return response;
      };
    }
    auto controller = makeController();
    EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
    drain(controller);
    EXPECT_EQ(alerts.load(), c.alerts);
    if (c.alerts > 0) {
      EXPECT_EQ(shown.title, "Crashed");
      EXPECT_EQ(shown.alwaysSendTitle, std::optional<std::string>("Always Send"));
    }
    EXPECT_EQ(controller->promptChoice(), c.choice);
    if (c.sent > 0) {
      EXPECT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, c.sent));
    }
    EXPECT_EQ(server_->requestsTo(kReportsPath).size(), c.sent);
    EXPECT_EQ(store_.activePathContents().size(), c.keptInActive + 1) << "plus this launch";
    // The next round empties the store: this round's uploads end first, or
    // their completions would remove packages from under it.
    EXPECT_TRUE(waitUntil([&] {
      return store_.preparedPathContents().empty() &&
             controller->networkClient()->liveUploadCount() == 0;
    }));
    drain(controller);
  }
}

TEST_F(FLTCrashReportingControllerTest, ParameterBlockAndLaunchMarkerFollowTheDelegateAndStore) {
  delegate_->deliveredSignals = {{SIGSEGV, true}, {SIGABRT, true}, {SIGTRAP, true}, {SIGKILL, true}};
  auto controller = makeController();
  EXPECT_EQ(controller->machExceptionMask(), 0x2u | 0x400u | 0x40u);
  struct { int signal; std::uint32_t mask; } table[] = {
      {4, 0x4}, {5, 0x40}, {6, 0x400}, {7, 0}, {8, 0x8}, {9, 0}, {10, 0x2}, {11, 0x2}, {12, 0x400}, {13, 0}};
  for (const auto& row : table) {
    EXPECT_EQ(FLTCrashReportingController::machExceptionMaskForSignal(row.signal), row.mask) << row.signal;
  }
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  EXPECT_EQ(mask_, 0x442u);
  EXPECT_FALSE(crashCallback_);
  EXPECT_EQ(controller->launchFailureMarkerPath(), store_.structurePath() + "/launchmarker");
  drain(controller);
  EXPECT_FALSE(controller->launchFailureMarkerPresent());
}

TEST_F(FLTCrashReportingControllerTest, LastEffortSubmissionSendsACopyOfTheOnlyActiveReport) {
  auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  // Start looks for earlier reports on its queues: done before this launch's
  // report appears, or it would be sent as an earlier one.
  drain(controller);
  const std::string current = store_.activePath() + "/launch-2";
  writeReport(current, "launch-2");

  EXPECT_TRUE(controller->attemptCurrentReportSubmission());
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u) << "sent before the call returned";
  EXPECT_TRUE(fs::exists(current + "/signal.fltrecord")) << "the capture's own copy stays";
  EXPECT_FALSE(fs::exists(current + "-submit"));

  // A second directory: which one is current is unknown, so nothing is sent.
  earlierReport("other");
  EXPECT_FALSE(controller->attemptCurrentReportSubmission());
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
}

// Stands for the outside analytics framework: records listeners.
class RecordingAnalytics final : public BCNAnalyticsClass {
 public:
  void logInternalEventWithOrigin(std::string_view, std::string_view, const Value::Dictionary&) override {}
  void addLogEventListener(std::shared_ptr<BCNAnalyticsEventListener> listener) override {
    std::lock_guard<std::mutex> lock(mutex);
    listeners.push_back(std::move(listener));
  }
  std::mutex mutex;
  std::vector<std::shared_ptr<BCNAnalyticsEventListener>> listeners;
};

TEST_F(FLTCrashReportingControllerTest, SettingsArrivalRegistersTheAnalyticsListenerOnce) {
  auto analytics = std::make_shared<RecordingAnalytics>();
  BCNAnalyticsRegisterClass(analytics);
  auto controller = makeController();
  ASSERT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  EXPECT_TRUE(analytics->listeners.empty()) << "mirroring is off in the first settings";

  configure({{"beacon_faultline_enabled", Value(true)}}, {});
  center_.post(std::string(kTRLSettingsAvailableNotification));
  center_.post(std::string(kTRLSettingsAvailableNotification));
  controller->registerAnalyticsEventListener();
  {
    std::lock_guard<std::mutex> lock(analytics->mutex);
    EXPECT_EQ(analytics->listeners.size(), 1u);
  }
  BCNAnalyticsRegisterClass(nullptr);
}

TEST_F(FLTCrashReportingControllerTest, UnfinishedPackagesOfAnEarlierLaunchAreRemovedAtStart) {
  ASSERT_TRUE(store_.prepareForNewLaunch());
  const fs::path prepared = store_.preparedPath();
  const std::string boundary = TRLMultipartMimeStreamEncoder::generateBoundary();
  const fs::path unfinished = prepared / ("." + boundary + ".multipartmime.a1B2c3");
  std::ofstream(unfinished) << "MIME-Version: 1.0\r\n--" << boundary << "\r\nContent-Disp";
  const fs::path other = prepared / ".keep";
  std::ofstream(other) << "not a package";
  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  drain(controller);
  EXPECT_FALSE(fs::exists(unfinished));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());
}

TEST_F(FLTCrashReportingControllerTest, LegacyStoreIsRemovedBeforeThisLaunchsReportIsMade) {
  earlierReport("old");
  fs::create_directories(fs::path(store_.rootPath()) / "sendable");
  auto controller = makeController();
  EXPECT_TRUE(controller->startWithProfilingMark(FLTProfileStart(), std::nullopt));
  drain(controller);
  EXPECT_FALSE(fs::exists(fs::path(store_.rootPath()) / "sendable"));
  EXPECT_EQ(activeNames(), std::vector<std::string>{"launch-2"}) << "this launch's directory survives";
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());
}

}  // namespace
}  // namespace vandrel::crash
