#include "analytics/tally/tly_uploader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_upload_operation.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "crash/kit/trl_network_response_handler.h"
#include "platform/clock.h"
#include "platform/notification_center.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TempDir;
using test_support::TestCertificateAuthority;

constexpr auto kTimeout = 10s;
constexpr char kEventsPath[] = "/spi/v2/events";

crash::TRLCertificate certificateOf(const TestCertificateAuthority& ca) {
  return crash::TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size()).value();
}

// Acts as the controller does: names the package path, deletes the package
// when the upload is over, and answers retries as the test scripts them.
class RecordingDelegate final : public TLYUploaderDelegate {
 public:
  struct Completion {
    std::string name;
    std::string url;
    std::optional<int> status;
    std::optional<platform::Error> error;
  };
  struct Finish {
    std::string name;
    std::optional<crash::KitError> error;
  };

  explicit RecordingDelegate(std::filesystem::path eventsDirectory) : eventsDirectory_(std::move(eventsDirectory)) {}

  std::string uploader(TLYUploader&, const std::string& uniqueName) override {
    return (eventsDirectory_ / (uniqueName + ".multipartmime")).string();
  }
  void uploader(TLYUploader& uploader, const std::string& uniqueName,
                const std::optional<crash::KitError>& error) override {
    std::filesystem::remove(this->uploader(uploader, uniqueName));
    std::lock_guard<std::mutex> lock(mutex_);
    finishes_.push_back({uniqueName, error});
    cv_.notify_all();
  }
  void uploader(TLYUploader&, const crash::FLTURLRequest& request,
                const std::optional<crash::FLTHTTPURLResponse>& response, const std::string& uniqueName,
                const std::optional<platform::Error>& error, CompletedRequestHandler handler) override {
    std::lock_guard<std::mutex> lock(mutex_);
    completions_.push_back({uniqueName, request.url,
                            response ? std::optional<int>(response->statusCode) : std::nullopt, error});
    if (holdAnswers_) {
      held_.push_back(std::move(handler));
    } else {
      handler(false, error ? std::optional(crash::TRLKitErrorFromError(*error)) : std::nullopt);
    }
    cv_.notify_all();
  }

  bool respondsToSelector(TLYUploaderDelegateSelector) const override { return answersChallenges; }
  void uploader(TLYUploader&, crash::FLTURLSession*, const crash::TRLAuthenticationChallenge&,
                const crash::TRLChallengeCompletion& completion) override {
    completion(crash::TRLAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
  }
  std::atomic<bool> answersChallenges{false};

  void holdAnswers() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdAnswers_ = true;
  }
  // Answers the oldest held completion (the handler may be called anywhere).
  void answerHeld(bool retry) {
    CompletedRequestHandler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ASSERT_FALSE(held_.empty());
      handler = std::move(held_.front());
      held_.erase(held_.begin());
      holdAnswers_ = false;
    }
    handler(retry, std::nullopt);
  }

  ::testing::AssertionResult waitForFinishes(std::size_t count) { return waitFor(finishes_, count, "finishes"); }
  ::testing::AssertionResult waitForCompletions(std::size_t count) {
    return waitFor(completions_, count, "completions");
  }
  std::vector<Finish> finishes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finishes_;
  }
  std::vector<Completion> completions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completions_;
  }

 private:
  template <typename T>
  ::testing::AssertionResult waitFor(const std::vector<T>& list, std::size_t count, const char* what) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kTimeout, [&] { return list.size() >= count; })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << list.size() << " " << what << ", expected " << count;
  }

  const std::filesystem::path eventsDirectory_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Completion> completions_;
  std::vector<Finish> finishes_;
  std::vector<CompletedRequestHandler> held_;
  bool holdAnswers_ = false;
};

class TLYUploaderTest : public ::testing::Test {
 protected:
  TLYUploaderTest()
      : logger_([this](std::string_view line) {
          std::lock_guard<std::mutex> lock(logMutex_);
          log_.emplace_back(line);
        }) {
    logger_.setDebugMode(true);
    queue_->setMaxConcurrentOperationCount(1);
    clock_.setWall(platform::WallTime{} + std::chrono::duration_cast<platform::WallTime::duration>(
                                              std::chrono::duration<double>(1700000000.999)));
  }

  void SetUp() override {
    server_ = ServiceStandin::https();
    ASSERT_TRUE(std::filesystem::create_directories(events_));
    delegate_ = std::make_shared<RecordingDelegate>(events_);
  }

  // An uploader lives until its last task has reported, which may be on a
  // worker thread after the test body let go of it; it removes its observer
  // from the notification centre and logs as it goes, so it must be gone
  // before they are.
  void TearDown() override {
    EXPECT_TRUE(uploadersGone());
    // expired() orders nothing; the lock orders the last log line before
    // the fixture goes.
    std::lock_guard<std::mutex> lock(logMutex_);
  }

  ::testing::AssertionResult uploadersGone() {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    for (const auto& uploader : uploaders_) {
      while (!uploader.expired()) {
        if (std::chrono::steady_clock::now() > deadline) {
          return ::testing::AssertionFailure()
                 << "an uploader was still alive " << kTimeout.count() << " s after its test";
        }
        std::this_thread::sleep_for(5ms);
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::shared_ptr<TLYUploader> makeUploader(
      std::vector<crash::TRLCertificate> pinned = {certificateOf(TestCertificateAuthority::shared())}) {
    TLYUploaderEnvironment environment;
    environment.thermalState = [this] { return thermalState_.load(); };
    environment.notificationCenter = &center_;
    environment.pinnedCertificates = std::move(pinned);
    environment.debug = [] { return false; };
    environment.isExtension = [] { return false; };
    environment.logger = &logger_;
    auto uploader = TLYUploader::initWithQueue(queue_, delegate_, environment);
    uploaders_.push_back(uploader);
    return uploader;
  }

  // A real package: events/<boundary>.multipartmime holding one gzip part.
  std::filesystem::path makePackage(const std::string& content = "gzip of the events",
                                    std::string boundary = crash::TRLMultipartMimeStreamEncoder::generateBoundary()) {
    auto path = events_ / (boundary + ".multipartmime");
    crash::TRLMultipartMimeStreamEncoder encoder(std::make_shared<crash::TRLFileOutputStream>(path), boundary);
    auto written = encoder.encode(
        [&] { encoder.addFileData(content, boundary + ".gz", "application/vnd.faultline.mac.events", boundary + ".gz"); });
    EXPECT_TRUE(written.ok());
    return path;
  }

  std::shared_ptr<TLYUploadOperation> operationFor(const std::shared_ptr<TLYUploader>& uploader,
                                                   const std::filesystem::path& package) {
    return TLYUploadOperation::initWithUploader(uploader, server_->url(kEventsPath), "api-key-1", package,
                                                package.stem().string(), &clock_, &logger_);
  }

  bool logged(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex_);
    for (const auto& l : log_) {
      if (l == line) return true;
    }
    return false;
  }

  ::testing::AssertionResult drained() {
    if (queue_->waitUntilAllOperationsAreFinished(kTimeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the event queue did not drain";
  }

  TempDir dir_;
  const std::filesystem::path events_ = dir_.path() / "events";
  std::shared_ptr<crash::OperationQueue> queue_ = std::make_shared<crash::OperationQueue>("io.tally.EventQueue");
  platform::ManualClock clock_;
  platform::NotificationCenter center_;
  std::atomic<std::int64_t> thermalState_{0};
  std::mutex logMutex_;
  std::vector<std::string> log_;
  TLYLogger logger_;
  std::unique_ptr<ServiceStandin> server_;
  std::shared_ptr<RecordingDelegate> delegate_;
  std::vector<std::weak_ptr<TLYUploader>> uploaders_;
};

TEST_F(TLYUploaderTest, UploadSendsThePackageWithTheKitHeadersAndReportsTheFinish) {
  server_->replyTo(kEventsPath, 202, "");
  auto uploader = makeUploader();
  auto package = makePackage("gzip bytes \x1f\x8b of the events");
  const std::string name = package.stem().string();
  const auto size = std::filesystem::file_size(package);
  queue_->addOperation(operationFor(uploader, package));

  ASSERT_TRUE(server_->waitForRequest(kEventsPath, kTimeout));
  ASSERT_TRUE(delegate_->waitForFinishes(1));
  auto request = server_->requestsTo(kEventsPath).at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.header("Content-Type"), "multipart/form-data; boundary=" + name);
  EXPECT_EQ(request.header("Content-Length"), std::to_string(size));
  EXPECT_EQ(request.header("X-FAULTLINE-DEVELOPER-TOKEN"), "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d");
  EXPECT_EQ(request.header("X-FAULTLINE-API-CLIENT-TYPE"), "Tally Mac SDK");
  EXPECT_EQ(request.header("X-FAULTLINE-API-CLIENT-VERSION"), "32");
  EXPECT_EQ(request.header("X-FAULTLINE-API-CLIENT-DISPLAY-VERSION"), "1.4.1");
  EXPECT_EQ(request.header("X-FAULTLINE-API-CLIENT-BUILD-VERSION"), "32");
  EXPECT_EQ(request.header("X-FAULTLINE-API-KEY"), "api-key-1");
  // Whole seconds: 1700000000.999 is not rounded up.
  EXPECT_EQ(request.header("X-Faultline-Api-Client-Packaged-Timestamp"), "1700000000");
  int userAgents = 0;
  for (const auto& [field, value] : request.headers) {
    if (platform::equalsIgnoringCase(field, "User-Agent")) {
      ++userAgents;
      EXPECT_EQ(value, "Tally Mac SDK/1.4.1");
    }
  }
  EXPECT_EQ(userAgents, 1);
  ASSERT_EQ(request.parts.size(), 1u);
  EXPECT_EQ(request.parts[0].filename, name + ".gz");
  EXPECT_EQ(request.parts[0].content, "gzip bytes \x1f\x8b of the events");

  auto completions = delegate_->completions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].name, name);
  EXPECT_EQ(completions[0].url, server_->url(kEventsPath));
  EXPECT_EQ(completions[0].status, 202);
  EXPECT_FALSE(completions[0].error.has_value());
  auto finishes = delegate_->finishes();
  ASSERT_EQ(finishes.size(), 1u);
  EXPECT_EQ(finishes[0].name, name);
  EXPECT_FALSE(finishes[0].error.has_value());
  EXPECT_TRUE(logged("[Tally] Transmitting packaged events for '" + name + "'."));
  ASSERT_TRUE(drained());
  EXPECT_TRUE(uploader->uploadsInFlight().empty());
}

TEST_F(TLYUploaderTest, RequestCarriesTheHeadersInTheirOrder) {
  auto uploader = makeUploader();
  auto package = makePackage();
  auto request = operationFor(uploader, package)->makeRequest();
  ASSERT_TRUE(request.has_value());
  std::vector<std::string> names;
  for (const auto& [field, value] : request->headers.fields()) names.push_back(field);
  EXPECT_EQ(names, (std::vector<std::string>{
                       "Content-Type", "Content-Length", "User-Agent", "X-FAULTLINE-DEVELOPER-TOKEN",
                       "X-FAULTLINE-API-CLIENT-TYPE", "X-FAULTLINE-API-CLIENT-VERSION",
                       "X-FAULTLINE-API-CLIENT-DISPLAY-VERSION", "X-FAULTLINE-API-CLIENT-BUILD-VERSION",
                       "X-FAULTLINE-API-KEY", "X-Faultline-Api-Client-Packaged-Timestamp"}));
  EXPECT_EQ(request->method, "POST");
}

TEST_F(TLYUploaderTest, APackageAlreadyUploadingIsNotStartedTwice) {
  server_->replyTo(kEventsPath, ScriptedReply{200, {}, "", 400ms});
  auto uploader = makeUploader();
  auto package = makePackage();
  const std::string name = package.stem().string();
  queue_->addOperation(operationFor(uploader, package));
  queue_->addOperation(operationFor(uploader, package));

  ASSERT_TRUE(delegate_->waitForFinishes(1));
  ASSERT_TRUE(drained());
  EXPECT_TRUE(server_->waitForRequest(kEventsPath, kTimeout, 1));
  EXPECT_EQ(server_->requestsTo(kEventsPath).size(), 1u);
  EXPECT_EQ(delegate_->completions().size(), 1u);
  EXPECT_EQ(delegate_->finishes().size(), 1u);
  EXPECT_TRUE(logged("[Tally:TLYUploader] A task currently exists for '" + name + "', skipping"));

  // Once finished, the name is free again.
  ASSERT_EQ(makePackage("more events", name), package);
  queue_->addOperation(operationFor(uploader, package));
  ASSERT_TRUE(delegate_->waitForFinishes(2));
  EXPECT_FALSE(delegate_->finishes().at(1).error.has_value());
  EXPECT_TRUE(server_->waitForRequest(kEventsPath, kTimeout, 2));
}

TEST_F(TLYUploaderTest, APackageWaitingForItsRetryIsNotSentMeanwhileAndIsSentAgainAfter) {
  server_->replyTo(kEventsPath, 503, "busy");
  auto uploader = makeUploader();
  auto package = makePackage();
  const std::string name = package.stem().string();
  delegate_->holdAnswers();
  queue_->addOperation(operationFor(uploader, package));
  ASSERT_TRUE(delegate_->waitForCompletions(1));

  // The back-off is under way: a new start for the same package is skipped.
  queue_->addOperation(operationFor(uploader, package));
  ASSERT_TRUE(drained());
  EXPECT_TRUE(server_->waitForRequest(kEventsPath, kTimeout, 1));
  EXPECT_EQ(server_->requestsTo(kEventsPath).size(), 1u);
  EXPECT_TRUE(logged("[Tally:TLYUploader] A task currently exists for '" + name + "', skipping"));

  server_->replyTo(kEventsPath, 200, "");
  delegate_->answerHeld(/*retry=*/true);
  ASSERT_TRUE(delegate_->waitForFinishes(1));
  EXPECT_TRUE(server_->waitForRequest(kEventsPath, kTimeout, 2));
  EXPECT_TRUE(logged("[Tally:TLYUploader] Retrying task with name " + name));
  auto completions = delegate_->completions();
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(completions[0].status, 503);
  EXPECT_EQ(completions[1].status, 200);
  EXPECT_FALSE(std::filesystem::exists(package));
}

TEST_F(TLYUploaderTest, RetryOfADeletedPackageReportsItUnreadable) {
  server_->replyTo(kEventsPath, 503, "busy");
  auto uploader = makeUploader();
  auto package = makePackage();
  delegate_->holdAnswers();
  queue_->addOperation(operationFor(uploader, package));
  ASSERT_TRUE(delegate_->waitForCompletions(1));
  std::filesystem::remove(package);
  delegate_->answerHeld(/*retry=*/true);
  ASSERT_TRUE(delegate_->waitForFinishes(1));
  auto finish = delegate_->finishes().at(0);
  ASSERT_TRUE(finish.error.has_value());
  EXPECT_EQ(finish.error->code, kTLYUploaderErrorUnreadableFile);
  EXPECT_TRUE(server_->waitForRequest(kEventsPath, kTimeout, 1));
  EXPECT_EQ(server_->requestsTo(kEventsPath).size(), 1u);
  ASSERT_TRUE(drained());
  EXPECT_TRUE(uploader->uploadsInFlight().empty());
}

TEST_F(TLYUploaderTest, BadStartsAreReportedAsFinishedWithAnErrorAndSendNothing) {
  auto uploader = makeUploader();
  auto package = makePackage();
  const std::string path = package.string();
  const std::string name = package.stem().string();
  crash::FLTURLRequest request;
  request.method = "POST";
  request.url = server_->url(kEventsPath);
  struct Case {
    const char* label;
    std::optional<crash::FLTURLRequest> request;
    std::string path;
    std::string name;
    std::int64_t code;
    const char* pathInfo;
    const char* nameInfo;
  };
  const std::string missing = (events_ / "gone.multipartmime").string();
  const std::string directory = events_.string();
  std::vector<Case> cases = {
      {"no request", std::nullopt, path, name, -2, nullptr, nullptr},
      {"empty path", request, "", name, -2, "(null)", nullptr},
      {"empty name", request, path, "", -2, nullptr, "(null)"},
      {"deleted package", request, missing, "gone", -8, nullptr, nullptr},
      {"a directory", request, directory, "dir", -8, nullptr, nullptr},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.label);
    uploader->startUploadRequest(c.request, c.path, c.name);
    ASSERT_TRUE(delegate_->waitForFinishes(i + 1));
    auto finish = delegate_->finishes().at(i);
    EXPECT_EQ(finish.name, c.name);
    ASSERT_TRUE(finish.error.has_value());
    EXPECT_EQ(finish.error->domain, "TRLNetworkError");
    EXPECT_EQ(finish.error->code, c.code);
    EXPECT_EQ(finish.error->userInfo.at("NSFilePath"), platform::Value(c.pathInfo ? c.pathInfo : c.path));
    EXPECT_EQ(finish.error->userInfo.at("TLYUploaderUniqueName"), platform::Value(c.nameInfo ? c.nameInfo : c.name));
  }
  ASSERT_TRUE(drained());
  EXPECT_TRUE(server_->requests().empty());
  EXPECT_TRUE(delegate_->completions().empty());
  EXPECT_TRUE(uploader->uploadsInFlight().empty());
}

TEST_F(TLYUploaderTest, AnUploadWithoutATallyURLFinishesWithErrorMinusTwo) {
  auto uploader = makeUploader();
  auto package = makePackage();
  queue_->addOperation(TLYUploadOperation::initWithUploader(uploader, std::nullopt, "k", package,
                                                            package.stem().string(), &clock_, &logger_));
  ASSERT_TRUE(delegate_->waitForFinishes(1));
  EXPECT_EQ(delegate_->finishes().at(0).error->code, kTLYUploaderErrorInvalidArguments);
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(TLYUploaderTest, ACancelledOperationSendsNothing) {
  auto uploader = makeUploader();
  auto package = makePackage();
  auto operation = operationFor(uploader, package);
  operation->cancel();
  queue_->addOperation(operation);
  ASSERT_TRUE(drained());
  EXPECT_TRUE(server_->requests().empty());
  EXPECT_TRUE(delegate_->finishes().empty());
  EXPECT_TRUE(std::filesystem::exists(package));
}

// Whatever the server does, the delegate hears of the task exactly once
// and the package's name is freed.
TEST_F(TLYUploaderTest, HostileRepliesEachReachTheDelegateOnce) {
  struct Case {
    const char* label;
    ScriptedReply reply;
    bool drop;
    std::optional<int> status;
  };
  std::vector<Case> cases = {
      {"server error with junk", {500, {{"Content-Type", "text/html"}}, std::string(64 * 1024, '\xff')}, false, 500},
      {"rate limited with absurd retry-after", {429, {{"Retry-After", "99999999999999999999"}}, "x"}, false, 429},
      // Followed like any redirect: the closed port fails the transfer.
      {"redirect to a closed port", {302, {{"Location", "https://127.0.0.1:1/x"}}, ""}, false, std::nullopt},
      {"lying content length", {200, {{"X-Padding", std::string(8000, 'a')}}, "{\"ok\":"}, false, 200},
      {"connection dropped", {}, true, std::nullopt},
  };
  auto uploader = makeUploader();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.label);
    server_->dropEveryConnection(c.drop);
    server_->replyTo(kEventsPath, c.reply);
    auto package = makePackage();
    queue_->addOperation(operationFor(uploader, package));
    ASSERT_TRUE(delegate_->waitForFinishes(i + 1));
    auto completion = delegate_->completions().at(i);
    EXPECT_EQ(completion.name, package.stem().string());
    if (c.status) {
      EXPECT_EQ(completion.status, c.status);
    } else {
      EXPECT_TRUE(completion.error.has_value());
    }
  }
  ASSERT_TRUE(drained());
  EXPECT_EQ(delegate_->completions().size(), cases.size());
  EXPECT_EQ(delegate_->finishes().size(), cases.size());
  EXPECT_TRUE(uploader->uploadsInFlight().empty());
}

// Our session keeps no resource time-out of its own: the request carries
// it, so a server that never answers cannot hold a package's name forever.
TEST_F(TLYUploaderTest, AServerThatNeverAnswersTimesOutAndFreesTheName) {
  server_->replyTo(kEventsPath, ScriptedReply{200, {}, "", 30s});
  auto uploader = makeUploader();
  uploader->setDefaultUploadTimeout(0.3);
  auto package = makePackage();
  queue_->addOperation(operationFor(uploader, package));
  ASSERT_TRUE(delegate_->waitForFinishes(1));
  auto completion = delegate_->completions().at(0);
  ASSERT_TRUE(completion.error.has_value());
  EXPECT_EQ(completion.error->code, -1001);  // timed out
  ASSERT_TRUE(drained());
  EXPECT_TRUE(uploader->uploadsInFlight().empty());
}

// The time-outs come from downloaded settings: one too large for the
// clock's ticks must still leave the upload time to finish.
TEST_F(TLYUploaderTest, AnOversizedUploadTimeoutStillLetsTheUploadFinish) {
  server_->replyTo(kEventsPath, 202, "");
  const std::vector<double> timeouts{1e300, std::numeric_limits<double>::infinity(), 1e12};
  for (std::size_t i = 0; i < timeouts.size(); ++i) {
    SCOPED_TRACE(timeouts[i]);
    auto uploader = makeUploader();
    uploader->setDefaultUploadTimeout(timeouts[i]);
    queue_->addOperation(operationFor(uploader, makePackage()));
    ASSERT_TRUE(delegate_->waitForFinishes(i + 1));
    const auto completion = delegate_->completions().at(i);
    EXPECT_FALSE(completion.error.has_value());
    EXPECT_EQ(completion.status, 202);
    ASSERT_TRUE(drained());
  }
}

TEST_F(TLYUploaderTest, AServerOutsideThePinnedRootsNeverGetsThePackage) {
  server_->replyTo(kEventsPath, 200, "");
  TestCertificateAuthority other("Unpinned Events Root");
  auto uploader = makeUploader({certificateOf(other)});
  auto package = makePackage();
  queue_->addOperation(operationFor(uploader, package));
  ASSERT_TRUE(delegate_->waitForFinishes(1));
  EXPECT_TRUE(server_->requests().empty());
  auto completion = delegate_->completions().at(0);
  ASSERT_TRUE(completion.error.has_value());
  EXPECT_EQ(completion.error->code, -1202);
}

TEST_F(TLYUploaderTest, SessionFollowsTheThermalStateAndTheTimeouts) {
  auto uploader = makeUploader();
  // Before settings arrive: the uploader's own values.
  EXPECT_EQ(uploader->defaultUploadTimeout(), 3600.0);
  EXPECT_EQ(uploader->lowPowerUploadTimeout(), 21600.0);
  EXPECT_FALSE(uploader->supportsBackgroundRequests());

  auto sessionConfiguration = [&] {
    std::optional<std::pair<bool, double>> seen;
    std::mutex m;
    std::condition_variable cv;
    uploader->attemptToReconnectBackgroundSessionWithCompletionBlock([&] {
      ASSERT_NE(uploader->session(), nullptr);
      auto configuration = uploader->sessionConfiguration();
      std::lock_guard<std::mutex> lock(m);
      seen = {configuration->allowsCellularAccess, configuration->timeoutIntervalForResource};
      cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(m);
    EXPECT_TRUE(cv.wait_for(lock, kTimeout, [&] { return seen.has_value(); }));
    return seen.value_or(std::pair{false, -1.0});
  };

  EXPECT_EQ(sessionConfiguration(), (std::pair{true, 3600.0}));
  thermalState_ = 2;
  center_.post(std::string(kTLYThermalStateDidChangeNotification));
  EXPECT_EQ(sessionConfiguration(), (std::pair{false, 21600.0}));
  uploader->setLowPowerUploadTimeout(900.0);
  EXPECT_EQ(sessionConfiguration(), (std::pair{false, 900.0}));
  thermalState_ = 0;
  center_.post(std::string(kTLYThermalStateDidChangeNotification));
  uploader->setDefaultUploadTimeout(120.0);
  EXPECT_EQ(sessionConfiguration(), (std::pair{true, 120.0}));
}

TEST_F(TLYUploaderTest, ChallengesGoToTheDelegateOnlyWhenItAnswersThem) {
  auto uploader = makeUploader();
  std::optional<crash::TRLAuthChallengeDisposition> disposition;
  uploader->URLSessionDidReceiveChallenge(
      nullptr, {}, [&](crash::TRLAuthChallengeDisposition d, std::optional<crash::TRLURLCredential>) { disposition = d; });
  EXPECT_EQ(disposition, crash::TRLAuthChallengeDisposition::PerformDefaultHandling);
  delegate_->answersChallenges = true;
  uploader->URLSessionDidReceiveChallenge(
      nullptr, {}, [&](crash::TRLAuthChallengeDisposition d, std::optional<crash::TRLURLCredential>) { disposition = d; });
  EXPECT_EQ(disposition, crash::TRLAuthChallengeDisposition::CancelAuthenticationChallenge);
}

TEST(TLYUploadOperationTest, TimestampDropsTheFraction) {
  struct Case {
    double seconds;
    const char* expected;
  };
  for (const auto& c : {Case{1700000000.0, "1700000000"}, Case{1700000000.5, "1700000000"},
                        Case{1700000000.999999, "1700000000"}, Case{59.99, "59"}}) {
    SCOPED_TRACE(c.expected);
    platform::ManualClock clock;
    clock.setWall(platform::WallTime{} + std::chrono::duration_cast<platform::WallTime::duration>(
                                             std::chrono::duration<double>(c.seconds)));
    auto operation = TLYUploadOperation::initWithUploader(nullptr, "https://x.invalid/", "k", "/tmp/a.multipartmime",
                                                          "a", &clock);
    EXPECT_EQ(operation->currentTimestampString(), c.expected);
  }
}

}  // namespace
}  // namespace vandrel::analytics
