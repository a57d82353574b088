#include "crash/kit/flt_network_client.h"

#include <gtest/gtest.h>

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

#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/scheduler_steps.h"
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
constexpr char kReportsPath[] = "/sdk-api/v1/platforms/mac/apps/com.example.app/reports";

TRLCertificate certificateOf(const TestCertificateAuthority& ca) {
  return TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size()).value();
}

const TestCertificateAuthority& otherCa() {
  static const auto* ca = new TestCertificateAuthority("Unpinned Upload Root");
  return *ca;
}

// Acts as the reports controller does: a successful upload's package is
// deleted, a failed one kept.
class RecordingDelegate final : public FLTNetworkClientDelegate {
 public:
  struct Finish {
    std::string path;
    std::optional<KitError> error;
    bool onWorkQueue;
  };

  explicit RecordingDelegate(std::shared_ptr<platform::SerialQueue> workQueue) : workQueue_(std::move(workQueue)) {}

  bool networkClientCanUseBackgroundSessions(FLTNetworkClient&) override { return true; }
  void networkClientDidFinishUploadWithPath(FLTNetworkClient&, const std::string& path,
                                            const std::optional<KitError>& error) override {
    if (!error) std::filesystem::remove(path);
    std::lock_guard<std::mutex> lock(mutex_);
    finishes_.push_back({path, error, workQueue_->isCurrent()});
    cv_.notify_all();
  }

  ::testing::AssertionResult waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kTimeout, [&] { return finishes_.size() >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << finishes_.size() << " uploads finished, expected " << count;
  }
  std::vector<Finish> finishes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finishes_;
  }

 private:
  const std::shared_ptr<platform::SerialQueue> workQueue_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Finish> finishes_;
};

class FLTNetworkClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = ServiceStandin::https();
    ASSERT_TRUE(std::filesystem::create_directories(store_.preparedPath()));
  }

  std::shared_ptr<FLTNetworkClient> makeClient(
      std::vector<TRLCertificate> pinned = {certificateOf(TestCertificateAuthority::shared())},
      unsigned maximumRestarts = kFLTNetworkClientMaximumRestarts) {
    FLTNetworkClientEnvironment environment;
    environment.pinnedCertificates = std::move(pinned);
    environment.debug = [this] { return debug_; };
    environment.scheduler = &scheduler_;
    environment.log = [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.emplace_back(line);
    };
    environment.maximumRestarts = maximumRestarts;
    environment.synchronousUploadTimeout = synchronousUploadTimeout_;
    return FLTNetworkClient::initWithQueue(workQueue_, store_, delegate_, environment);
  }

  // A real package: a multipart body in prepared/<boundary>.multipartmime.
  std::string makePackage(const std::string& report = "report-1") {
    std::string boundary = TRLMultipartMimeStreamEncoder::generateBoundary();
    std::string path = store_.preparedPath() + "/" + boundary + ".multipartmime";
    TRLMultipartMimeStreamEncoder encoder(std::make_shared<TRLFileOutputStream>(path), boundary);
    auto written = encoder.encode([&] {
      encoder.addValue(report, "report_id");
      encoder.addFileData("crash record of " + report, "report.fltrecord", "application/octet-stream", "file");
    });
    EXPECT_TRUE(written.ok());
    return path;
  }

  // The upload request the reports controller builds for a package.
  FLTURLRequest requestFor(const std::string& package) {
    FLTURLRequest request;
    request.method = "POST";
    request.url = server_->url(kReportsPath);
    request.redirects = platform::RedirectPolicy::DontFollow;
    request.idleTimeout = 10s;
    const std::string boundary = std::filesystem::path(package).stem().string();
    request.headers.add("Accept", "application/json");
    request.headers.add("X-Faultline-API-Key", "api-key-1");
    request.headers.add("Content-Type", TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(boundary));
    request.headers.add("Content-Length", std::to_string(std::filesystem::file_size(package)));
    return request;
  }

  void reply(int status, std::string body = "{}", std::string contentType = "application/json",
             test_support::HeaderList extra = {}) {
    extra.insert(extra.begin(), {"Content-Type", contentType});
    server_->replyTo(kReportsPath, ScriptedReply{status, std::move(extra), std::move(body)});
  }

  // Moves the clock and returns once the scheduler has handed out every job
  // due by then.
  ::testing::AssertionResult advance(platform::Duration by) {
    return test_support::advanceScheduler(clock_, scheduler_, by, kTimeout);
  }

  ::testing::AssertionResult waitForPendingRetries(std::size_t count) {
    return test_support::schedulerSettlesAt(scheduler_, count, kTimeout);
  }

  // Moves the clock on in steps of `step` until the server has `count`
  // requests. The client schedules a restart only once it has read the
  // reply, which the test cannot see, and the scheduler's pending count
  // still holds advance()'s own marker a moment after it ran: counting
  // pending jobs cannot tell that the restart is waiting.
  ::testing::AssertionResult advanceUntilRequests(std::size_t count, platform::Duration step) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!server_->waitForRequest(kReportsPath, 20ms, count)) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << server_->requestsTo(kReportsPath).size() << " requests";
      }
      auto advanced = advance(step);
      if (!advanced) return advanced;
    }
    return ::testing::AssertionSuccess();
  }

  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
  }

  TempDir dir_{"flt-network-client"};
  FLTFileManager store_ = FLTFileManager::withRootPath((dir_.path() / "com.faultline.data" / "com.example.app").string());
  std::shared_ptr<platform::SerialQueue> workQueue_ = std::make_shared<platform::SerialQueue>("test.flt-client.work");
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>(workQueue_);
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  bool debug_ = false;
  platform::Duration synchronousUploadTimeout_ = kTimeout;
  std::mutex logMutex_;
  std::vector<std::string> log_;
  std::unique_ptr<ServiceStandin> server_;
};

void expectPackageRequest(const test_support::RecordedRequest& request, const std::string& package) {
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, kReportsPath);
  EXPECT_EQ(request.header("X-Faultline-API-Key"), "api-key-1");
  const std::string boundary = std::filesystem::path(package).stem().string();
  EXPECT_EQ(request.header("Content-Type"), "multipart/form-data; boundary=" + boundary);
  // The stand-in lists parts by name.
  ASSERT_EQ(request.parts.size(), 2u);
  std::map<std::string, test_support::RecordedPart> parts;
  for (const auto& part : request.parts) parts[part.name] = part;
  EXPECT_EQ(parts["report_id"].content, "report-1");
  EXPECT_EQ(parts["file"].filename, "report.fltrecord");
  EXPECT_EQ(parts["file"].content, "crash record of report-1");
}

TEST_F(FLTNetworkClientTest, UploadSendsThePackageFileAndReportsSuccessOnTheWorkQueue) {
  reply(201);
  auto client = makeClient();
  const std::string package = makePackage();
  const auto size = std::filesystem::file_size(package);
  client->startUploadRequest(requestFor(package), package, false);

  ASSERT_TRUE(delegate_->waitFor(1));
  auto requests = server_->requestsTo(kReportsPath);
  ASSERT_EQ(requests.size(), 1u);
  expectPackageRequest(requests[0], package);
  EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(size));

  auto finishes = delegate_->finishes();
  EXPECT_EQ(finishes[0].path, package);
  EXPECT_FALSE(finishes[0].error);
  EXPECT_TRUE(finishes[0].onWorkQueue);
  EXPECT_FALSE(std::filesystem::exists(package));
  EXPECT_EQ(client->liveUploadCount(), 0u);
}

TEST_F(FLTNetworkClientTest, EachReplyEndsAsClassifiedAndOnlySuccessLosesThePackage) {
  const struct {
    std::string name;
    int status;
    std::string contentType;
    std::string body;
    std::optional<std::int64_t> code;  // TRLNetworkError code; none: success
  } cases[] = {
      {"created", 201, "application/json", R"({"ok": true})", std::nullopt},
      // The body is the service's business: a success stays one.
      {"malformed JSON", 200, "application/json", R"({"ok": tr)", std::nullopt},
      {"wrong content type", 200, "text/html", "<html>", -4},
      {"unexpected status", 203, "application/json", "{}", -4},
      {"redirect", 302, "application/json", "{}", -4},
      {"not found", 404, "application/json", "{}", -5},
      {"payload too large", 413, "text/plain", "no", -5},
  };
  auto client = makeClient();
  std::size_t finished = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reply(c.status, c.body, c.contentType);
    const std::string package = makePackage();
    client->startUploadRequest(requestFor(package), package, false);
    ASSERT_TRUE(delegate_->waitFor(++finished));
    auto finish = delegate_->finishes().back();
    EXPECT_EQ(finish.path, package);
    ASSERT_EQ(finish.error.has_value(), c.code.has_value());
    if (c.code) {
      EXPECT_EQ(finish.error->domain, "TRLNetworkError");
      EXPECT_EQ(finish.error->code, *c.code);
      EXPECT_EQ(finish.error->userInfo.at("status_code"), platform::Value(c.status));
    }
    EXPECT_EQ(std::filesystem::exists(package), c.code.has_value());
  }
}

TEST_F(FLTNetworkClientTest, RetryableReplyUploadsTheSameFileAgainAfterTheServersDelay) {
  reply(503, "busy", "text/plain", {{"Retry-After", "7"}});
  auto client = makeClient();
  const std::string package = makePackage();
  client->startUploadRequest(requestFor(package), package, false);
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, 1));
  ASSERT_TRUE(waitForPendingRetries(1));
  EXPECT_EQ(client->liveUploadCount(), 1u);

  // Starting it again while it waits is a duplicate.
  client->startUploadRequest(requestFor(package), package, false);
  reply(200);
  ASSERT_TRUE(advance(6s));
  EXPECT_TRUE(waitForPendingRetries(1));  // not due yet
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
  ASSERT_TRUE(advance(1s));

  ASSERT_TRUE(delegate_->waitFor(1));
  auto requests = server_->requestsTo(kReportsPath);
  ASSERT_EQ(requests.size(), 2u);
  expectPackageRequest(requests[1], package);
  EXPECT_EQ(requests[1].header("Content-Type"), requests[0].header("Content-Type"));
  auto finishes = delegate_->finishes();
  ASSERT_EQ(finishes.size(), 1u);
  EXPECT_EQ(finishes[0].path, package);
  EXPECT_FALSE(finishes[0].error);
  EXPECT_FALSE(std::filesystem::exists(package));
}

TEST_F(FLTNetworkClientTest, RestartsStopAtTheLimitAndTheLastErrorKeepsThePackage) {
  reply(503, "busy", "text/plain", {{"Retry-After", "1"}});
  auto client = makeClient({certificateOf(TestCertificateAuthority::shared())}, /*maximumRestarts=*/2);
  const std::string package = makePackage();
  client->startUploadRequest(requestFor(package), package, false);
  ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, 1));
  ASSERT_TRUE(advanceUntilRequests(3, 1s));
  ASSERT_TRUE(delegate_->waitFor(1));
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 3u);
  auto finish = delegate_->finishes().at(0);
  ASSERT_TRUE(finish.error);
  EXPECT_EQ(finish.error->domain, "TRLNetworkError");
  EXPECT_EQ(finish.error->code, -1);
  EXPECT_TRUE(std::filesystem::exists(package));
  EXPECT_EQ(client->liveUploadCount(), 0u);
}

TEST_F(FLTNetworkClientTest, RetryDelayBeyondAnyClockWaitsADayInstead) {
  // Numbers no duration holds: read as they are they would restart at once.
  std::size_t finished = 0;
  for (const char* retryAfter : {"1e400", "31536000000"}) {
    SCOPED_TRACE(retryAfter);
    // Nothing is left of the last round, advance()'s marker included.
    ASSERT_TRUE(waitForPendingRetries(0));
    server_->clearLog();
    reply(503, "busy", "text/plain", {{"Retry-After", retryAfter}});
    auto client = makeClient({certificateOf(TestCertificateAuthority::shared())}, /*maximumRestarts=*/1);
    const std::string package = makePackage();
    client->startUploadRequest(requestFor(package), package, false);
    ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, 1));
    ASSERT_TRUE(waitForPendingRetries(1));
    ASSERT_TRUE(advance(24h - 1s));
    EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
    ASSERT_TRUE(advance(1s));
    ASSERT_TRUE(server_->waitForRequest(kReportsPath, kTimeout, 2));
    ASSERT_TRUE(delegate_->waitFor(++finished));
    EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 2u);
  }
}

TEST_F(FLTNetworkClientTest, StartingALivePackageTwiceSendsItOnce) {
  server_->replyTo(kReportsPath, ScriptedReply{200, {{"Content-Type", "application/json"}}, "{}", 300ms});
  auto client = makeClient();
  const std::string package = makePackage();
  client->startUploadRequest(requestFor(package), package, false);
  client->startUploadRequest(requestFor(package), package, false);
  ASSERT_TRUE(delegate_->waitFor(1));
  // Anything started twice would have reached the server by the time the
  // work queue has run everything queued behind the first reply.
  platform::Group drained;
  drained.enter();
  workQueue_->async([drained]() mutable { drained.leave(); });
  ASSERT_TRUE(drained.wait(kTimeout));
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
  EXPECT_EQ(delegate_->finishes().size(), 1u);
}

TEST_F(FLTNetworkClientTest, VanishedPackageIsReportedAsUnreadableForItsPath) {
  auto client = makeClient();
  const std::string package = makePackage();
  const FLTURLRequest request = requestFor(package);
  std::filesystem::remove(package);
  client->startUploadRequest(request, package, false);
  ASSERT_TRUE(delegate_->waitFor(1));
  auto finish = delegate_->finishes().at(0);
  EXPECT_EQ(finish.path, package);
  ASSERT_TRUE(finish.error);
  EXPECT_EQ(finish.error->domain, "FLTNetworkError");
  EXPECT_EQ(finish.error->code, -2);
  EXPECT_EQ(finish.error->userInfo.at("path"), platform::Value(package));
  EXPECT_TRUE(finish.onWorkQueue);
  EXPECT_TRUE(server_->requests().empty());
  EXPECT_EQ(client->liveUploadCount(), 0u);
}

TEST_F(FLTNetworkClientTest, ImmediateUploadBlocksAndOnlySuccessIsReported) {
  auto client = makeClient();
  // Success: reported on this thread before the call returns.
  reply(200);
  const std::string sent = makePackage();
  client->startUploadRequest(requestFor(sent), sent, true);
  auto finishes = delegate_->finishes();
  ASSERT_EQ(finishes.size(), 1u);
  EXPECT_EQ(finishes[0].path, sent);
  EXPECT_FALSE(finishes[0].error);
  EXPECT_FALSE(finishes[0].onWorkQueue);
  EXPECT_FALSE(std::filesystem::exists(sent));
  ASSERT_EQ(server_->requestsTo(kReportsPath).size(), 1u);
  expectPackageRequest(server_->requestsTo(kReportsPath)[0], sent);

  // Failures are silent: the package waits for the next launch. A
  // retryable reply is not retried here.
  for (int status : {500, 404}) {
    SCOPED_TRACE(status);
    reply(status);
    const std::string kept = makePackage();
    client->startUploadRequest(requestFor(kept), kept, true);
    EXPECT_TRUE(std::filesystem::exists(kept));
  }
  server_->dropEveryConnection();
  const std::string dropped = makePackage();
  client->startUploadRequest(requestFor(dropped), dropped, true);
  EXPECT_TRUE(std::filesystem::exists(dropped));
  EXPECT_EQ(delegate_->finishes().size(), 1u);
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 4u);

  // An unreadable package is not sent at all.
  client->startUploadRequest(requestFor(dropped), store_.preparedPath() + "/missing.multipartmime", true);
  EXPECT_EQ(server_->requestsTo(kReportsPath).size(), 4u);
}

TEST_F(FLTNetworkClientTest, ImmediateUploadThatHangsIsGivenUpAndKeepsThePackage) {
  synchronousUploadTimeout_ = 200ms;
  server_->replyTo(kReportsPath, ScriptedReply{200, {{"Content-Type", "application/json"}}, "{}", 5s});
  auto client = makeClient();
  const std::string package = makePackage();
  const auto started = std::chrono::steady_clock::now();
  client->startUploadRequest(requestFor(package), package, true);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
  EXPECT_TRUE(std::filesystem::exists(package));
  EXPECT_TRUE(delegate_->finishes().empty());
}

TEST_F(FLTNetworkClientTest, ImmediateUploadMayRunOnTheWorkQueueItself) {
  reply(200);
  auto client = makeClient();
  const std::string package = makePackage();
  platform::Group done;
  done.enter();
  workQueue_->async([&, done]() mutable {
    client->startUploadRequest(requestFor(package), package, true);
    done.leave();
  });
  ASSERT_TRUE(done.wait(kTimeout));
  ASSERT_EQ(delegate_->finishes().size(), 1u);
  EXPECT_TRUE(delegate_->finishes()[0].onWorkQueue);
  EXPECT_FALSE(std::filesystem::exists(package));
}

TEST_F(FLTNetworkClientTest, ServerOutsideThePinnedRootsNeverGetsThePackage) {
  server_ = ServiceStandin::https(otherCa());
  reply(200);
  auto client = makeClient();
  const std::string package = makePackage();
  client->startUploadRequest(requestFor(package), package, false);
  ASSERT_TRUE(delegate_->waitFor(1));
  auto finish = delegate_->finishes().at(0);
  ASSERT_TRUE(finish.error);
  EXPECT_EQ(finish.error->domain, "NSURLErrorDomain");
  EXPECT_EQ(finish.error->code, -1202);
  EXPECT_TRUE(std::filesystem::exists(package));
  EXPECT_TRUE(server_->requests().empty());

  // Synchronously neither.
  client->startUploadRequest(requestFor(package), package, true);
  EXPECT_TRUE(std::filesystem::exists(package));
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(FLTNetworkClientTest, TrustChallengesGetThePinnersVerdictExceptInDebugMode) {
  auto client = makeClient();
  auto challengeFor = [](const TestCertificateAuthority& ca) {
    auto identity = ca.issue({"127.0.0.1"});
    TRLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = "127.0.0.1";
    challenge.protectionSpace.serverTrust = std::make_shared<TRLServerTrust>(
        "127.0.0.1", std::vector<std::string>{identity.certificateDer});
    return challenge;
  };
  auto disposition = [&](const TRLAuthenticationChallenge& challenge) {
    std::optional<TRLAuthChallengeDisposition> seen;
    client->URLSessionDidReceiveChallenge(nullptr, challenge,
                                          [&](TRLAuthChallengeDisposition d, std::optional<TRLURLCredential>) { seen = d; });
    return seen;
  };
  EXPECT_EQ(disposition(challengeFor(TestCertificateAuthority::shared())), TRLAuthChallengeDisposition::UseCredential);
  EXPECT_EQ(disposition(challengeFor(otherCa())), TRLAuthChallengeDisposition::CancelAuthenticationChallenge);
  debug_ = true;
  EXPECT_EQ(disposition(challengeFor(otherCa())), TRLAuthChallengeDisposition::PerformDefaultHandling);
}

TEST_F(FLTNetworkClientTest, TaskDescriptionsArePathsBelowTheStoreRoot) {
  auto client = makeClient();
  const std::string root = store_.rootPath();
  const struct {
    std::string path;
    std::optional<std::string> description;
  } cases[] = {
      {root + "/v3/prepared/A.multipartmime", "v3/prepared/A.multipartmime"},
      // The root's text deeper in the path belongs to the name.
      {root + "/v3/prepared" + root + "/B.multipartmime", "v3/prepared" + root + "/B.multipartmime"},
      {root + "2/v3/prepared/C.multipartmime", std::nullopt},
      {root, std::nullopt},
      {root + "/", std::nullopt},
      {"/elsewhere/D.multipartmime", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto description = client->relativeTaskPathForAbsolutePath(c.path);
    EXPECT_EQ(description, c.description);
    if (description) {
      EXPECT_EQ(client->absolutePathForRelativeTaskPath(*description), c.path);
    }
  }
}

TEST_F(FLTNetworkClientTest, NoBackgroundSessionsExistSoReconnectingRunsAtOnce) {
  debug_ = true;
  auto client = makeClient();
  EXPECT_FALSE(FLTNetworkClient::NSURLSessionAvailable());
  EXPECT_FALSE(client->supportsBackgroundRequests());  // though the delegate would allow them
  auto lines = log();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "[Faultline:Crash:Client] Background session uploading not supported, asynchronous uploading will be used");
  bool ran = false;
  client->attemptToReconnectBackgroundSessionWithCompletionBlock([&ran] { ran = true; });
  EXPECT_TRUE(ran);

  client->URLSessionDidFinishEventsForBackgroundURLSession(nullptr);
  EXPECT_EQ(log().back(), "[Faultline:Crash:Client] background callback is nil?");
}

}  // namespace
}  // namespace vandrel::crash
