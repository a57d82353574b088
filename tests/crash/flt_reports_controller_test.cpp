#include "crash/reports/flt_reports_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/capture/flt_record_writer.h"
#include "crash/kit/flt_network_client.h"
#include "crash/kit/flt_settings.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/reports/flt_internal_report.h"
#include "crash/reports/flt_package_report_operation.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TempDir;
using test_support::TestCertificateAuthority;

constexpr auto kTimeout = 10s;
constexpr char kReportsPath[] = "/sdk-api/v1/platforms/mac/apps/com.example_app/reports";
constexpr double kCrashTime = 1700000000.0;

// One report directory as the capture leaves it, written with the record
// writer: metadata with its session identifier and, for a crash, a signal
// record.
void writeReport(const std::string& dir, const std::string& sessionId, bool crash) {
  fs::create_directories(dir);
  const std::string metadata = dir + "/metadata.fltrecord";
  FLTFile file{};
  ASSERT_TRUE(FLTFileInitWithPathMode(&file, metadata.c_str(), false, false));
  FLTFileWriteSectionStart(&file, "identity");
  FLTFileWriteHashStart(&file);
  FLTFileWriteHashEntryString(&file, "session_id", sessionId.c_str());
  FLTFileWriteHashEntryString(&file, "api_key", "api-key-1");
  FLTFileWriteHashEntryUint64(&file, "started_at", 1699999990);
  FLTFileWriteHashEnd(&file);
  FLTFileWriteSectionEnd(&file);
  ASSERT_TRUE(FLTFileCloseWithOffset(&file, nullptr));
  const std::string record = dir + (crash ? "/signal.fltrecord" : "/errors_a.fltrecord");
  ASSERT_TRUE(FLTFileInitWithPathMode(&file, record.c_str(), false, false));
  FLTFileWriteSectionStart(&file, crash ? "signal" : "error");
  FLTFileWriteHashStart(&file);
  FLTFileWriteHashEntryUint64(&file, "time", static_cast<std::uint64_t>(kCrashTime));
  FLTFileWriteHashEntryUint64(&file, "number", 11);
  FLTFileWriteHashEntryString(&file, "name", "SIGSEGV");
  FLTFileWriteHashEnd(&file);
  FLTFileWriteSectionEnd(&file);
  ASSERT_TRUE(FLTFileCloseWithOffset(&file, nullptr));
}

// The crash-reporting controller's part: settings, key and identifier for
// the reports controller, and the upload client's outcome handed back to it.
class Delegate final : public FLTReportsControllerDelegate, public FLTNetworkClientDelegate {
 public:
  struct Completion {
    std::string path;
    std::optional<KitError> error;
  };

  std::shared_ptr<const FLTSettings> settingsForReportsController(FLTReportsController&) override {
    return settings;
  }
  std::optional<std::string> APIKeyForReportsController(FLTReportsController&) override { return "api-key-1"; }
  std::string bundleIdentifierForReportsController(FLTReportsController&) override {
    return "com.example_app";
  }
  void reportsControllerDidCompletePackageSubmission(FLTReportsController&, const std::string& path,
                                                     const std::optional<KitError>& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    completions_.push_back({path, error});
    cv_.notify_all();
  }
  bool networkClientCanUseBackgroundSessions(FLTNetworkClient&) override { return false; }
  void networkClientDidFinishUploadWithPath(FLTNetworkClient&, const std::string& path,
                                            const std::optional<KitError>& error) override {
    if (auto controller = reports.lock()) controller->reportUploadAtPathCompletedWithError(path, error);
  }

  ::testing::AssertionResult waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kTimeout, [&] { return completions_.size() >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << completions_.size() << " completions, expected " << count;
  }
  std::vector<Completion> completions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completions_;
  }

  std::shared_ptr<const FLTSettings> settings;
  std::weak_ptr<FLTReportsController> reports;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Completion> completions_;
};

class FLTReportsControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = ServiceStandin::https();
    ASSERT_TRUE(store_.prepareForNewLaunch());
    configure({});
  }

  // App configuration of the kit: the stand-in as reports endpoint plus `extra`.
  void configure(std::map<std::string, bool> extra) {
    platform::Value::Dictionary info;
    info["ReportsEndpoint"] = platform::Value(server_->url());
    for (const auto& [key, value] : extra) info[key] = platform::Value(value);
    FLTSettingsEnvironment env;
    env.environmentValue = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
    env.configuration = [info] { return std::optional<platform::Value::Dictionary>(info); };
    env.localizedString = [](std::string_view, std::string_view) -> std::optional<std::string> {
      return std::nullopt;
    };
    env.log = [](std::string_view) {};
    delegate_->settings = std::make_shared<const FLTSettings>(std::nullopt, env);
  }

  std::shared_ptr<FLTReportsController> makeController() {
    FLTNetworkClientEnvironment clientEnv;
    const auto& ca = TestCertificateAuthority::shared();
    clientEnv.pinnedCertificates = std::vector<TRLCertificate>{
        TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size()).value()};
    clientEnv.debug = [] { return false; };
    clientEnv.scheduler = &scheduler_;
    clientEnv.log = [](std::string_view) {};
    clientEnv.synchronousUploadTimeout = kTimeout;
    client_ = FLTNetworkClient::initWithQueue(workQueue_, store_, delegate_, clientEnv);

    FLTReportsControllerEnvironment env;
    env.collectionEnabled = [this] { return collectionEnabled_; };
    env.localeIdentifier = [] { return std::string("de_CH"); };
    env.debug = [] { return true; };
    env.log = [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.emplace_back(line);
    };
    env.logCrash = [this](double timestamp, bool beacon) {
      std::lock_guard<std::mutex> lock(mutex_);
      crashes_.emplace_back(timestamp, beacon);
    };
    auto controller = FLTReportsController::initWithQueue(workQueue_, delegate_, client_, store_, env);
    delegate_->reports = controller;
    return controller;
  }

  std::string activeReport(const std::string& name = "R1", bool crash = true) {
    const std::string dir = store_.activePath() + "/" + name;
    writeReport(dir, "session-" + name, crash);
    return dir;
  }

  bool logged(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : log_) {
      if (entry == line) return true;
    }
    return false;
  }

  void replyWith(int status) {
    server_->replyTo(kReportsPath, ScriptedReply{status, {{"Content-Type", "application/json"}}, "{}"});
  }

  TempDir dir_{"flt-reports-controller"};
  FLTFileManager store_ =
      FLTFileManager::withRootPath((dir_.path() / "com.faultline.data" / "com.example_app").string());
  std::shared_ptr<platform::SerialQueue> workQueue_ = std::make_shared<platform::SerialQueue>("test.reports.work");
  std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::unique_ptr<ServiceStandin> server_;
  std::shared_ptr<FLTNetworkClient> client_;
  bool collectionEnabled_ = true;
  std::mutex mutex_;
  std::vector<std::string> log_;
  std::vector<std::pair<double, bool>> crashes_;
};

TEST_F(FLTReportsControllerTest, UrgentReportIsProcessedPackagedSentAndDeletedFromEveryState) {
  replyWith(200);
  auto controller = makeController();
  const std::string dir = activeReport();
  auto report = FLTInternalReport::reportWithPath(dir);
  ASSERT_NE(report, nullptr);

  // Urgent: a synchronous upload on this thread, done when the call returns.
  EXPECT_TRUE(controller->prepareAndSubmitReport(report, true, true));

  const auto requests = server_->requestsTo(kReportsPath);
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.header("User-Agent"), "Faultline Mac SDK/3.14.0");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("Accept-Charset"), "utf-8");
  EXPECT_EQ(request.header("Accept-Language"), "de_CH");
  EXPECT_EQ(request.header("Content-Language"), "de_CH");
  EXPECT_EQ(request.header("X-Faultline-Developer-Token"), "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d");
  EXPECT_EQ(request.header("X-Faultline-API-Client-Id"), "com.kestrel.faultline.mac");
  EXPECT_EQ(request.header("X-Faultline-API-Client-Display-Version"), "3.14.0");
  EXPECT_EQ(request.header("X-Faultline-API-Client-Build-Version"), "144");
  EXPECT_EQ(request.header("X-Faultline-API-Key"), "api-key-1");
  const auto contentType = request.header("Content-Type").value_or("");
  ASSERT_EQ(contentType.rfind("multipart/form-data; boundary=", 0), 0u) << contentType;
  std::map<std::string, test_support::RecordedPart> parts;
  for (const auto& part : request.parts) parts[part.name] = part;
  EXPECT_EQ(parts["api_key"].content, "api-key-1");
  EXPECT_EQ(parts["report_id"].content, "session-R1");
  EXPECT_EQ(parts["signal.fltrecord"].filename, "signal.fltrecord.gz");

  // active → processing → prepared → deleted.
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(store_.processingPathContents().empty());
  EXPECT_TRUE(store_.preparedPathContents().empty());
  ASSERT_TRUE(delegate_->waitFor(1));
  EXPECT_FALSE(delegate_->completions()[0].error);
  EXPECT_EQ(fs::path(delegate_->completions()[0].path).parent_path(), fs::path(store_.preparedPath()));
  EXPECT_TRUE(logged("[Faultline:Crash:Reports] Packaged report with id 'session-R1' for submission"));
  EXPECT_TRUE(logged("[Faultline:Crash:Reports] Submitting report as urgent"));
  std::lock_guard<std::mutex> lock(mutex_);
  ASSERT_EQ(crashes_.size(), 1u);
  EXPECT_EQ(crashes_[0].first, kCrashTime);
  EXPECT_FALSE(crashes_[0].second);
}

TEST_F(FLTReportsControllerTest, FailedUploadKeepsThePackageAndTellsTheDelegate) {
  replyWith(400);
  auto controller = makeController();
  const std::string dir = activeReport("R2", false);
  auto report = FLTInternalReport::reportWithPath(dir);
  ASSERT_NE(report, nullptr);

  EXPECT_TRUE(controller->prepareAndSubmitReport(report, false, true));
  ASSERT_TRUE(delegate_->waitFor(1));
  const auto completion = delegate_->completions()[0];
  EXPECT_TRUE(completion.error);
  EXPECT_TRUE(fs::exists(completion.path)) << "kept for another try";
  EXPECT_EQ(store_.preparedPathContents(), std::vector<std::string>{completion.path});
  EXPECT_FALSE(fs::exists(dir));
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_TRUE(crashes_.empty()) << "not a crash";
}

TEST_F(FLTReportsControllerTest, ReportInProcessingIsPackagedWithoutMovingAgain) {
  replyWith(200);
  auto controller = makeController();
  const std::string dir = store_.processingPath() + "/R3";
  writeReport(dir, "session-R3", true);
  auto report = FLTInternalReport::reportWithPath(dir);
  ASSERT_NE(report, nullptr);

  EXPECT_TRUE(controller->prepareAndSubmitReport(report, false, false));
  ASSERT_TRUE(delegate_->waitFor(1));
  EXPECT_FALSE(delegate_->completions()[0].error);
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout));
  EXPECT_EQ(server_->requestsTo(kReportsPath)[0].parts.size() >= 2, true);
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(store_.preparedPathContents().empty());
}

// A launch that ended between packaging a report and removing its
// directory leaves both: the next launch must not package it a second time.
TEST_F(FLTReportsControllerTest, ReportAlreadyPackagedIsNotPackagedAgain) {
  replyWith(200);
  auto controller = makeController();
  // A package of another report, waiting for its upload.
  const std::string sent = store_.processingPath() + "/R5";
  writeReport(sent, "session-R5", true);
  FLTPackageReportOperation::initWithReport(FLTInternalReport::reportWithPath(sent), &store_)->start();
  fs::remove_all(sent);
  const std::string dir = store_.processingPath() + "/R4";
  writeReport(dir, "session-R4", true);
  auto left = FLTPackageReportOperation::initWithReport(FLTInternalReport::reportWithPath(dir), &store_);
  left->start();
  ASSERT_TRUE(left->finalPath());
  ASSERT_EQ(FLTPackageReportOperation::reportIdentifierOfPackage(*left->finalPath()), "session-R4");
  ASSERT_EQ(store_.preparedPathContents().size(), 2u);

  EXPECT_FALSE(controller->prepareAndSubmitReport(FLTInternalReport::reportWithPath(dir), false, false));
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_EQ(store_.preparedPathContents().size(), 2u) << "no second package of session-R4";
  EXPECT_TRUE(fs::exists(*left->finalPath()));
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());

  // A report of its own id is still packaged and sent.
  const std::string other = store_.processingPath() + "/R6";
  writeReport(other, "session-R6", true);
  EXPECT_TRUE(controller->prepareAndSubmitReport(FLTInternalReport::reportWithPath(other), false, false));
  ASSERT_TRUE(delegate_->waitFor(1));
  EXPECT_FALSE(fs::exists(other));
}

// Each switch stops at its own state on disk, and nothing is sent.
TEST_F(FLTReportsControllerTest, SwitchesStopTheReportWhereTheySay) {
  struct Case {
    const char* name;
    bool collection;
    std::map<std::string, bool> configuration;
    bool answer;
    const char* line;
    bool inActive, inProcessing, inPrepared;
  } cases[] = {
      {"collection off", false, {}, true,
       "[Faultline:Crash:Reports] Data collection disabled and will not submit report", true, false, false},
      {"packaging off", true, {{"PackageReports", false}}, false,
       "[Faultline:Crash:Reports] Report packaging disabled", false, true, false},
      {"submission off", true, {{"SubmitReports", false}}, false,
       "[Faultline:Crash:Reports] Submission disabled", false, false, true},
  };
  replyWith(200);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(store_.removeContentsOfAllPaths());
    collectionEnabled_ = c.collection;
    configure(c.configuration);
    auto controller = makeController();
    const std::string dir = activeReport();
    EXPECT_EQ(controller->prepareAndSubmitReport(FLTInternalReport::reportWithPath(dir), false, true), c.answer);
    EXPECT_TRUE(logged(c.line));
    EXPECT_EQ(fs::exists(dir), c.inActive);
    EXPECT_EQ(store_.processingPathContents().size(), c.inProcessing ? 1u : 0u);
    EXPECT_EQ(store_.preparedPathContents().size(), c.inPrepared ? 1u : 0u);
  }
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());
  EXPECT_TRUE(delegate_->completions().empty());
}

TEST_F(FLTReportsControllerTest, EmptyOrMissingPackageIsNotSent) {
  replyWith(200);
  auto controller = makeController();
  const std::string empty = store_.preparedPath() + "/0A0B0C0D-0000-0000-0000-000000000000.multipartmime";
  std::ofstream(empty).close();
  EXPECT_FALSE(controller->uploadPackagedReportAtPath(empty, false));
  EXPECT_TRUE(logged("[Faultline:Crash:Reports] Already-submitted report being ignored"));
  EXPECT_FALSE(controller->uploadPackagedReportAtPath(store_.preparedPath() + "/gone.multipartmime", true));
  EXPECT_TRUE(fs::exists(empty));
  EXPECT_TRUE(server_->requestsTo(kReportsPath).empty());
}

TEST_F(FLTReportsControllerTest, RequestCarriesHeadersInOrderAndTheEscapedIdentifier) {
  auto controller = makeController();
  const auto url = controller->reportURL();
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, server_->url(kReportsPath));

  auto request = controller->mutableRequestWithURL(*url, kFLTReportsUrgentTimeoutWithoutBackground);
  const std::string package = store_.preparedPath() + "/ABCDEF.multipartmime";
  std::ofstream(package) << "12345";
  ASSERT_TRUE(controller->fillInRequestForMultipartMimeDataAtPath(request, package));
  std::vector<std::string> names;
  for (const auto& [name, value] : request.headers) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "User-Agent", "Accept", "Accept-Charset", "Accept-Language", "Content-Language",
                       "X-Faultline-Developer-Token", "X-Faultline-API-Client-Id",
                       "X-Faultline-API-Client-Display-Version", "X-Faultline-API-Client-Build-Version",
                       "X-Faultline-API-Key", "Content-Type", "Content-Length"}));
  EXPECT_EQ(request.headers.value("Content-Type"), "multipart/form-data; boundary=ABCDEF");
  EXPECT_EQ(request.headers.value("Content-Length"), "5");
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.idleTimeout, std::chrono::duration_cast<platform::Duration>(2s));
  EXPECT_FALSE(controller->fillInRequestForMultipartMimeDataAtPath(request, package + ".gone"));
}

}  // namespace
}  // namespace vandrel::crash
