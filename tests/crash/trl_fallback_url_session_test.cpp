#include "crash/kit/trl_fallback_url_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

constexpr auto kTimeout = 10s;

const TestCertificateAuthority& otherCa() {
  static const auto* ca = new TestCertificateAuthority("Unpinned Test Root");
  return *ca;
}

using test_support::readFile;

std::string describe(const std::optional<platform::Error>& error) {
  return error ? error->domain + " " + std::to_string(error->code) : "ok";
}

// Every callback of a test lands here, in order.
class Recorder {
 public:
  void add(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    cv_.notify_all();
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  ::testing::AssertionResult waitForCount(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kTimeout, [&] { return events_.size() >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "only " << events_.size() << " of " << count << " events";
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

class RecordingDelegate : public FLTURLSessionDelegate {
 public:
  explicit RecordingDelegate(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}

  std::set<FLTURLSessionDelegateSelector> unanswered;

  bool respondsToSelector(FLTURLSessionDelegateSelector selector) const override {
    return unanswered.count(selector) == 0;
  }
  void URLSession(FLTURLSession&, FLTURLSessionDataTask&, const FLTHTTPURLResponse& response,
                  const std::function<void(FLTURLSessionResponseDisposition)>& handler) override {
    recorder_->add("response " + std::to_string(response.statusCode));
    handler(FLTURLSessionResponseDisposition::Allow);
  }
  void URLSession(FLTURLSession&, FLTURLSessionDataTask&, const std::string& data) override {
    recorder_->add("data " + data);
  }
  void URLSession(FLTURLSession&, FLTURLSessionDownloadTask&,
                  const std::filesystem::path& location) override {
    recorder_->add("finished " + readFile(location));
  }
  void URLSession(FLTURLSession&, FLTURLSessionTask&,
                  const std::optional<platform::Error>& error) override {
    recorder_->add("complete " + describe(error));
  }

 private:
  std::shared_ptr<Recorder> recorder_;
};

class FLTURLSessionTest : public ::testing::Test {
 protected:
  std::shared_ptr<FLTURLSessionConfiguration> pinnedConfiguration(
      const TestCertificateAuthority& anchor = TestCertificateAuthority::shared()) {
    auto cert =
        TRLCertificatePinner::createCertificationWithData(anchor.der().data(), anchor.der().size());
    auto configuration = FLTURLSessionConfiguration::defaultSessionConfiguration();
    configuration->certificatePinner =
        std::make_shared<TRLCertificatePinner>(std::vector<TRLCertificate>{cert.value()});
    return configuration;
  }

  std::shared_ptr<FLTURLSession> makeSession(
      std::shared_ptr<FLTURLSessionConfiguration> configuration = nullptr) {
    if (!configuration) configuration = pinnedConfiguration();
    return FLTURLSession::sessionWithConfiguration(configuration, delegate_, delegateQueue_);
  }

  FLTURLRequest get(const std::string& path) {
    FLTURLRequest request;
    request.url = server_->url(path);
    return request;
  }

  FLTDataTaskCompletion recordingHandler() {
    return [recorder = recorder_](const std::string& data,
                                  const std::optional<FLTHTTPURLResponse>& response,
                                  const std::optional<platform::Error>& error) {
      recorder->add("handler " + std::to_string(response ? response->statusCode : 0) + " " + data +
                    " " + describe(error));
    };
  }

  // Every task of the session completed and the delegate queue ran dry.
  ::testing::AssertionResult settle(FLTURLSession& session) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (session.liveTaskCount() != 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure() << session.liveTaskCount() << " tasks still live";
      }
      std::this_thread::sleep_for(2ms);
    }
    delegateQueue_->sync([] {});
    return ::testing::AssertionSuccess();
  }

  std::unique_ptr<ServiceStandin> server_ = ServiceStandin::https();
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>(recorder_);
  std::shared_ptr<platform::SerialQueue> delegateQueue_ =
      std::make_shared<platform::SerialQueue>("test.delegate");
};

TEST_F(FLTURLSessionTest, DataTaskWithHandlerCompletesOnceAndSkipsTheDelegate) {
  server_->replyTo("/settings", 200, "hello");
  auto session = makeSession();
  auto task = session->dataTaskWithRequest(get("/settings"), recordingHandler());
  EXPECT_FALSE(task->invokesDelegate());
  task->resume();
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(1));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(), (std::vector<std::string>{"handler 200 hello ok"}));
  EXPECT_EQ(server_->requestsTo("/settings").size(), 1u);
  ASSERT_TRUE(task->response().has_value());
  EXPECT_EQ(task->response()->statusCode, 200);
}

TEST_F(FLTURLSessionTest, DataTaskWithoutHandlerReportsThroughTheDelegateInOrder) {
  server_->replyTo("/settings", 200, "hello");
  auto session = makeSession();
  auto task = session->dataTaskWithRequest(get("/settings"));
  EXPECT_TRUE(task->invokesDelegate());
  EXPECT_EQ(session->liveTaskCount(), 1u);
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(3));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(),
            (std::vector<std::string>{"response 200", "data hello", "complete ok"}));
}

// The kit's anchors decide on the wire: only a chain ending in a pinned
// root gets a request through; every other server fails closed.
TEST_F(FLTURLSessionTest, OnlyServersChainingToAPinnedRootAreReached) {
  struct Case {
    const char* name;
    const TestCertificateAuthority* serverCa;
    std::vector<const TestCertificateAuthority*> anchors;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"chain ends in the pinned root",
       &TestCertificateAuthority::shared(),
       {&otherCa(), &TestCertificateAuthority::shared()},
       "handler 200 pinned ok"},
      {"chain ends in another root",
       &otherCa(),
       {&TestCertificateAuthority::shared()},
       "handler 0  NSURLErrorDomain -1202"},
      {"pinner without anchors",
       &TestCertificateAuthority::shared(),
       {},
       "handler 0  NSURLErrorDomain -1202"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = ServiceStandin::https(*c.serverCa);
    server->replyTo("/pinned", 200, "pinned");
    std::vector<TRLCertificate> anchors;
    for (const auto* ca : c.anchors) {
      anchors.push_back(
          TRLCertificatePinner::createCertificationWithData(ca->der().data(), ca->der().size())
              .value());
    }
    auto configuration = FLTURLSessionConfiguration::defaultSessionConfiguration();
    configuration->certificatePinner = std::make_shared<TRLCertificatePinner>(anchors);
    auto session = makeSession(configuration);
    auto recorder = std::make_shared<Recorder>();
    FLTURLRequest request;
    request.url = server->url("/pinned");
    auto task = session->dataTaskWithRequest(
        request,
        [recorder](const std::string& data, const std::optional<FLTHTTPURLResponse>& response,
                   const std::optional<platform::Error>& error) {
          recorder->add("handler " + std::to_string(response ? response->statusCode : 0) + " " +
                        data + " " + describe(error));
        });
    task->resume();
    ASSERT_TRUE(recorder->waitForCount(1));
    ASSERT_TRUE(settle(*session));
    EXPECT_EQ(recorder->events(), (std::vector<std::string>{c.expected}));
    EXPECT_EQ(server->requestsTo("/pinned").size(),
              c.expected.find("200") != std::string::npos ? 1u : 0u);
  }
}

TEST_F(FLTURLSessionTest, ConfigurationHeadersJoinTheRequestsOwn) {
  server_->replyTo("/headers", 200, "");
  auto configuration = pinnedConfiguration();
  configuration->HTTPAdditionalHeaders = {{"X-Kit", "config"}, {"X-Only-Config", "1"}};
  auto session = makeSession(configuration);
  auto request = get("/headers");
  request.headers.add("X-Kit", "request");
  auto task = session->dataTaskWithRequest(request, recordingHandler());
  EXPECT_EQ(task->originalRequest().headers.joined("X-Kit"), "request, config");
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(1));
  ASSERT_TRUE(settle(*session));
  auto received = server_->requestsTo("/headers");
  ASSERT_EQ(received.size(), 1u);
  std::vector<std::string> kit;
  for (const auto& [name, value] : received[0].headers) {
    if (platform::equalsIgnoringCase(name, "X-Kit")) kit.push_back(value);
  }
  std::string all;
  for (const auto& value : kit) all += (all.empty() ? "" : ", ") + value;
  EXPECT_EQ(all, "request, config");
  EXPECT_EQ(received[0].header("X-Only-Config"), "1");
}

TEST_F(FLTURLSessionTest, UploadTaskStreamsTheFileAsItsBody) {
  server_->replyTo("/upload", 201, "stored");
  test_support::TempDir dir("upload");
  ASSERT_TRUE(test_support::writeTextFile(dir.file("package"), std::string("report\0bytes", 12)));
  struct Case {
    const char* name;
    std::string file;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"readable file", dir.file("package"), "handler 201 stored ok"},
      {"missing file", dir.file("missing"), "handler 0  NSURLErrorDomain -1100"},
  };
  auto session = makeSession();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_->clearLog();
    auto recorder = std::make_shared<Recorder>();
    auto request = get("/upload");
    request.method = "POST";
    request.body = platform::HttpBody::bytes("replaced by the file");
    auto task = session->uploadTaskWithRequest(
        request, c.file,
        [recorder](const std::string& data, const std::optional<FLTHTTPURLResponse>& response,
                   const std::optional<platform::Error>& error) {
          recorder->add("handler " + std::to_string(response ? response->statusCode : 0) + " " +
                        data + " " + describe(error));
        });
    task->resume();
    ASSERT_TRUE(recorder->waitForCount(1));
    ASSERT_TRUE(settle(*session));
    EXPECT_EQ(recorder->events(), (std::vector<std::string>{c.expected}));
    if (c.expected.find("201") != std::string::npos) {
      auto received = server_->requestsTo("/upload");
      ASSERT_EQ(received.size(), 1u);
      EXPECT_EQ(received[0].method, "POST");
      EXPECT_EQ(received[0].body, std::string("report\0bytes", 12));
    }
  }
}

TEST_F(FLTURLSessionTest, DownloadHandlerGetsTheFileWhichIsDeletedRightAfter) {
  server_->replyTo("/beta", 200, "manifest");
  auto session = makeSession();
  std::filesystem::path location;
  auto task = session->downloadTaskWithRequest(
      get("/beta"), [&, recorder = recorder_](const std::filesystem::path& file,
                                              const std::optional<FLTHTTPURLResponse>& response,
                                              const std::optional<platform::Error>& error) {
        location = file;
        recorder->add("handler " + std::to_string(response ? response->statusCode : 0) + " " +
                      readFile(file) + " " + describe(error));
      });
  EXPECT_EQ(task->targetFileURL().parent_path(), std::filesystem::temp_directory_path());
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(1));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(), (std::vector<std::string>{"handler 200 manifest ok"}));
  EXPECT_EQ(location, task->targetFileURL());
  EXPECT_FALSE(std::filesystem::exists(location));
}

TEST_F(FLTURLSessionTest, DownloadThroughTheDelegateHandsOverTheFileThenDeletesIt) {
  server_->replyTo("/beta", 200, "manifest");
  server_->replyTo("/empty", 200, "");
  auto session = makeSession();
  auto task = session->downloadTaskWithURL(server_->url("/beta"));
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(3));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(),
            (std::vector<std::string>{"response 200", "finished manifest", "complete ok"}));
  EXPECT_FALSE(std::filesystem::exists(task->targetFileURL()));

  // An empty reply still hands over a file, an empty one.
  auto empty = session->downloadTaskWithURL(server_->url("/empty"));
  empty->resume();
  ASSERT_TRUE(recorder_->waitForCount(6));
  ASSERT_TRUE(settle(*session));
  auto events = recorder_->events();
  EXPECT_EQ(std::vector<std::string>(events.begin() + 3, events.end()),
            (std::vector<std::string>{"response 200", "finished ", "complete ok"}));
}

TEST_F(FLTURLSessionTest, DownloadWhoseFileCannotBeWrittenFailsWithTheDownloadError) {
  server_->replyTo("/beta", 200, "manifest");
  test_support::TempDir dir("download");
  std::filesystem::create_directories(dir.path() / "gone");
  auto session = makeSession();
  std::shared_ptr<FLTURLSessionDownloadTask> task;
  {
    test_support::ScopedEnv tmp("TMPDIR", (dir.path() / "gone").string());
    task = session->downloadTaskWithRequest(get("/beta"));
  }
  ASSERT_EQ(task->targetFileURL().parent_path(), dir.path() / "gone");
  std::filesystem::remove_all(dir.path() / "gone");
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(2));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(
      recorder_->events(),
      (std::vector<std::string>{"response 200", "complete FLTURLSessionDownloadTaskError -1"}));
}

TEST_F(FLTURLSessionTest, CancelledTaskCompletesOnceWithTheCancellationError) {
  server_->replyTo("/slow", {200, {}, "late", 20s});
  auto session = makeSession();

  auto running = session->dataTaskWithRequest(get("/slow"));
  running->resume();
  ASSERT_TRUE(server_->waitForRequest("/slow", kTimeout));
  running->cancel();
  running->cancel();
  ASSERT_TRUE(recorder_->waitForCount(1));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(), (std::vector<std::string>{"complete NSURLErrorDomain -999"}));

  auto idle = session->dataTaskWithRequest(get("/slow"), recordingHandler());
  idle->cancel();
  idle->resume();
  idle->cancel();
  ASSERT_TRUE(recorder_->waitForCount(2));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events().back(), "handler 0  NSURLErrorDomain -999");
  EXPECT_EQ(recorder_->events().size(), 2u);
}

TEST_F(FLTURLSessionTest, CancelAfterCompletionChangesNothing) {
  server_->replyTo("/settings", 200, "hello");
  auto session = makeSession();
  auto task = session->dataTaskWithRequest(get("/settings"), recordingHandler());
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(1));
  task->cancel();
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(), (std::vector<std::string>{"handler 200 hello ok"}));
  EXPECT_FALSE(task->error().has_value());
}

TEST_F(FLTURLSessionTest, InvalidateAndCancelCancelsEveryLiveTaskAndDropsTheDelegate) {
  server_->replyTo("/slow", {200, {}, "late", 20s});
  server_->replyTo("/fast", 200, "fast");
  auto session = makeSession();
  auto first = session->dataTaskWithRequest(get("/slow"), recordingHandler());
  auto second = session->downloadTaskWithRequest(
      get("/slow"),
      [recorder = recorder_](const std::filesystem::path&, const std::optional<FLTHTTPURLResponse>&,
                             const std::optional<platform::Error>& error) {
        recorder->add("download " + describe(error));
      });
  auto neverStarted = session->dataTaskWithRequest(get("/slow"), recordingHandler());
  first->resume();
  second->resume();
  ASSERT_TRUE(server_->waitForRequest("/slow", kTimeout, 2));
  EXPECT_EQ(session->liveTaskCount(), 3u);

  session->invalidateAndCancel();
  ASSERT_TRUE(recorder_->waitForCount(3));
  ASSERT_TRUE(settle(*session));
  auto events = recorder_->events();
  std::multiset<std::string> got(events.begin(), events.end());
  EXPECT_EQ(got, (std::multiset<std::string>{"handler 0  NSURLErrorDomain -999",
                                             "handler 0  NSURLErrorDomain -999",
                                             "download NSURLErrorDomain -999"}));
  EXPECT_EQ(session->delegate(), nullptr);

  // Tasks made afterwards still run; their delegate callbacks go nowhere.
  auto later = session->dataTaskWithRequest(get("/fast"));
  later->resume();
  ASSERT_TRUE(server_->waitForRequest("/fast", kTimeout));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events().size(), 3u);
}

TEST_F(FLTURLSessionTest, FinishTasksAndInvalidateLetsRunningTasksFinish) {
  server_->replyTo("/settings", {200, {}, "hello", 100ms});
  auto session = makeSession();
  auto task = session->dataTaskWithRequest(get("/settings"), recordingHandler());
  task->resume();
  session->finishTasksAndInvalidate();
  EXPECT_EQ(session->delegate(), nullptr);
  ASSERT_TRUE(recorder_->waitForCount(1));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(), (std::vector<std::string>{"handler 200 hello ok"}));
}

TEST_F(FLTURLSessionTest, DelegateThatDoesNotAnswerGetsNothingAndFilesStillGo) {
  server_->replyTo("/beta", 200, "manifest");
  delegate_->unanswered = {FLTURLSessionDelegateSelector::DownloadTaskDidFinishDownloading,
                           FLTURLSessionDelegateSelector::TaskDidCompleteWithError};
  auto session = makeSession();
  auto task = session->downloadTaskWithURL(server_->url("/beta"));
  task->resume();
  ASSERT_TRUE(recorder_->waitForCount(1));
  ASSERT_TRUE(settle(*session));
  EXPECT_EQ(recorder_->events(), (std::vector<std::string>{"response 200"}));
  EXPECT_FALSE(std::filesystem::exists(task->targetFileURL()));
}

TEST_F(FLTURLSessionTest, GetTasksReportsThreeEmptyListsOnTheDelegateQueue) {
  auto session = makeSession();
  auto pending = session->dataTaskWithRequest(get("/never"));
  session->getTasksWithCompletionHandler([this](auto data, auto upload, auto download) {
    recorder_->add(std::string(delegateQueue_->isCurrent() ? "delegate queue " : "elsewhere ") +
                   std::to_string(data.size() + upload.size() + download.size()));
  });
  ASSERT_TRUE(recorder_->waitForCount(1));
  EXPECT_EQ(recorder_->events(), (std::vector<std::string>{"delegate queue 0"}));
}

TEST(FLTURLSessionFactoryTest, FactoriesHandOutTheKitsOwnSessionAndConfigurations) {
  EXPECT_FALSE(FLTURLSession::NSURLSessionShouldBeUsed());
  EXPECT_EQ(FLTURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
                "io.tally.background-session"),
            nullptr);
  EXPECT_EQ(FLTURLSessionConfiguration::backgroundSessionConfiguration("x"), nullptr);
  EXPECT_NE(FLTURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr);
  EXPECT_EQ(FLTURLSession::sessionWithConfiguration(nullptr), nullptr);

  auto configuration = FLTURLSessionConfiguration::defaultSessionConfiguration();
  configuration->HTTPAdditionalHeaders = {{"User-Agent", "kit"}};
  configuration->timeoutIntervalForRequest = 10;
  configuration->timeoutIntervalForResource = 20;
  configuration->allowsCellularAccess = true;
  configuration->HTTPCookieAcceptPolicy = 2;
  configuration->setSessionSendsLaunchEvents(true);
  configuration->certificatePinner =
      std::make_shared<TRLCertificatePinner>(std::vector<TRLCertificate>{});
  EXPECT_FALSE(configuration->sessionSendsLaunchEvents());

  auto withDelegate = FLTURLSession::sessionWithConfiguration(
      configuration, std::make_shared<FLTURLSessionDelegate>(), nullptr);
  ASSERT_NE(withDelegate, nullptr);
  ASSERT_NE(withDelegate->delegateQueue(), nullptr);
  EXPECT_EQ(std::string(withDelegate->delegateQueue()->label()).rfind("FLTURLSession 0x", 0), 0u)
      << withDelegate->delegateQueue()->label();
  configuration->HTTPAdditionalHeaders["Later"] = "change";

  const auto& copied = withDelegate->configuration();
  EXPECT_EQ(copied.HTTPAdditionalHeaders,
            (std::map<std::string, std::string>{{"User-Agent", "kit"}}));
  EXPECT_EQ(copied.certificatePinner, configuration->certificatePinner);
  EXPECT_EQ(copied.timeoutIntervalForRequest, 0);
  EXPECT_EQ(copied.timeoutIntervalForResource, 0);
  EXPECT_FALSE(copied.allowsCellularAccess);
  EXPECT_EQ(copied.HTTPCookieAcceptPolicy, 0);

  auto plain = FLTURLSession::sessionWithConfiguration(configuration);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->delegateQueue(), nullptr);
  EXPECT_EQ(plain->delegate(), nullptr);
}

}  // namespace
}  // namespace vandrel::crash
