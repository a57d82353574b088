#include "analytics/tally/tly_tally_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analytics/tally/tly_beacon_analytics_bridge.h"
#include "analytics/tally/tly_cleanup_files_operation.h"
#include "analytics/tally/tly_compress_log_operation.h"
#include "analytics/tally/tly_crash_metadata.h"
#include "analytics/tally/tly_event.h"
#include "analytics/tally/tly_event_filter.h"
#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_metadata.h"
#include "analytics/tally/tly_network_retry_handler.h"
#include "analytics/tally/tly_package_log_operation.h"
#include "analytics/tally/tly_timer.h"
#include "analytics/tally/tly_uploader.h"
#include "analytics/tally/tly_write_event_operation.h"
#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_settings.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/gzip.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::analytics {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Value;
using Dictionary = platform::Value::Dictionary;

constexpr platform::Duration kTimeout = 10s;
constexpr std::chrono::milliseconds kRequestTimeout = 10s;
constexpr std::string_view kEventsPath = "/spi/v2/events";
constexpr std::string_view kInstallationId = "install-0001";


// The name field of each line of a log text.
std::vector<std::string> lineNames(const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const std::size_t first = line.find('\t');
    const std::size_t second = line.find('\t', first + 1);
    names.push_back(first == std::string::npos ? line : line.substr(first + 1, second - first - 1));
    start = end + 1;
  }
  return names;
}

std::vector<std::string> sorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}

class TLYTallyControllerTest : public ::testing::Test {
 protected:
  TLYTallyControllerTest()
      : logger_([this](std::string_view line) {
          std::lock_guard<std::mutex> lock(linesMutex_);
          lines_.emplace_back(line);
        }) {
    logger_.setDebugMode(true);
  }

  ~TLYTallyControllerTest() override {
    if (controller_) {
      EXPECT_TRUE(drain());
      // An operation may still hold the controller or its uploader on a
      // worker a moment after the queue ran dry; both use the fixture's
      // centre, scheduler and logger until they are gone.
      std::weak_ptr<TLYTallyController> controller = controller_;
      std::weak_ptr<TLYUploader> uploader = controller_->uploader();
      controller_.reset();
      EXPECT_TRUE(eventually([&] { return controller.expired() && uploader.expired(); },
                             "the controller outlived its test"));
    }
  }

  static Dictionary settingsDictionary(Dictionary analytics, bool collect = true) {
    return Dictionary{{"features", Dictionary{{"collect_analytics", collect}}},
                      {"analytics", std::move(analytics)}};
  }

  // Valid settings that send to the stand-in.
  Dictionary standinSettings(Dictionary analytics = {}) {
    if (!standin_) {
      standin_ = test_support::ServiceStandin::https();
      standin_->replyTo(std::string(kEventsPath), 202, "");
    }
    analytics["url"] = standin_->url(kEventsPath);
    return settingsDictionary(std::move(analytics));
  }

  TLYTallyControllerEnvironment environment() {
    TLYTallyControllerEnvironment env;
    env.isFirstInstall = [this] { return firstInstall_; };
    env.trellisSettings = [this] { return trellisSettings_; };
    env.makeMetadata = [](const std::optional<std::string>& betaToken) {
      TLYMetadataFields fields;
      fields.APIKey = "api-key-1";
      fields.installationId = std::string(kInstallationId);
      fields.betaToken = betaToken;
      fields.executionIdentifier = "this-launch";
      return std::make_shared<const TLYMetadata>(std::move(fields));
    };
    env.makeNetworkRetryHandler = [this] {
      TLYNetworkRetryHandlerEnvironment retry;
      retry.debug = [] { return false; };
      retry.timers.scheduler = &scheduler_;
      retry.timers.queue = &platform::globalQueue();
      return std::make_shared<TLYNetworkRetryHandler>(std::move(retry));
    };
    env.makeBeaconAnalyticsBridge = [this] {
      return std::make_unique<TLYBeaconAnalyticsBridge>(beacon_, &logger_);
    };
    env.makeUploader = [this](std::shared_ptr<crash::OperationQueue> queue,
                              std::weak_ptr<TLYUploaderDelegate> delegate) {
      TLYUploaderEnvironment uploader;
      uploader.notificationCenter = &center_;
      const std::string& der = test_support::TestCertificateAuthority::shared().der();
      auto anchor =
          crash::TRLCertificatePinner::createCertificationWithData(der.data(), der.size());
      uploader.pinnedCertificates = std::vector<crash::TRLCertificate>{*anchor};
      uploader.debug = [] { return false; };
      uploader.isExtension = [] { return false; };
      uploader.logger = &logger_;
      return TLYUploader::initWithQueue(std::move(queue), std::move(delegate), std::move(uploader));
    };
    env.notificationCenter = &center_;
    env.clock = &clock_;
    env.scheduler = &scheduler_;
    env.logger = &logger_;
    return env;
  }

  void start(std::optional<std::string> betaToken = std::nullopt) {
    controller_ = TLYTallyController::initWithBetaToken(betaToken, root(), environment());
    ASSERT_TRUE(drain());
  }

  fs::path root() const { return dir_.path() / "analytics" / "v2"; }
  fs::path events() const { return root() / "events"; }

  ::testing::AssertionResult drain() {
    if (!controller_->eventQueue()->waitUntilAllOperationsAreFinished(kTimeout)) {
      return ::testing::AssertionFailure() << "event queue did not drain";
    }
    return ::testing::AssertionSuccess();
  }

  // Runs `read` on the event queue once everything before it has run.
  template <typename T>
  T onQueue(std::function<T()> read) {
    EXPECT_TRUE(drain());
    return read();
  }

  fs::path currentLog() {
    return onQueue<fs::path>([this] { return controller_->currentLogURL(); });
  }

  std::vector<std::string> filesWithExtension(std::string_view extension) const {
    std::vector<std::string> names;
    for (const auto& path : TLYFileUtils::filesWithExtension(extension, events()))
      names.push_back(path.filename());
    return names;
  }

  std::size_t fileCount() const { return TLYFileUtils::allFilesInDirectory(events()).size(); }

  ::testing::AssertionResult eventually(const std::function<bool()>& condition,
                                        std::string_view what) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return ::testing::AssertionFailure() << what;
      std::this_thread::sleep_for(2ms);
    }
    return ::testing::AssertionSuccess();
  }

  // The log text of each upload received so far.
  std::vector<std::string> uploadedLogs() const {
    std::vector<std::string> logs;
    for (const auto& request : standin_->requestsTo(kEventsPath)) {
      for (const auto& part : request.parts) logs.push_back(test_support::gunzip(part.content).value_or(""));
    }
    return logs;
  }

  bool logged(std::string_view text) {
    std::lock_guard<std::mutex> lock(linesMutex_);
    return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  }

  void logCustom(std::string name) {
    controller_->logEvent(std::make_shared<TLYCustomEvent>(std::move(name), TLYAttributeEntries{},
                                                           [](std::string_view) {}));
  }

  // Moves the manual clock and returns once the flush timer's ticks due by
  // then have queued their blocks and these have run. A tick queues its
  // block and then re-arms the timer, on the global queue: a marker due now
  // (handed out after the ticks) holds the scheduler's thread until the
  // timer is armed again beside it (two pending).
  ::testing::AssertionResult advance(platform::Duration by) {
    clock_.advance(by);
    platform::Group handing;
    platform::Group release;
    handing.enter();
    release.enter();
    scheduler_.scheduleAt(
        clock_.now(),
        [handing, release](platform::Job) mutable {
          handing.leave();
          release.wait(kTimeout);
        },
        [] {});
    if (!handing.wait(kTimeout)) return ::testing::AssertionFailure() << "scheduler stalled";
    auto rearmed = eventually([this] { return scheduler_.pendingCountForTesting() == 2; },
                              "the flush timer did not re-arm");
    release.leave();
    if (!rearmed) return rearmed;
    return drain();
  }

  test_support::TempDir dir_{"tly-controller"};
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  platform::NotificationCenter center_;
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
  TLYLogger logger_;
  bool firstInstall_ = false;
  std::optional<Dictionary> trellisSettings_;
  std::unique_ptr<test_support::ServiceStandin> standin_;
  std::shared_ptr<crash::BCNAnalyticsClass> beacon_;
  std::shared_ptr<TLYTallyController> controller_;
};

// The outside analytics framework, recording the names it is given.
class RecordingBeaconAnalytics final : public crash::BCNAnalyticsClass {
 public:
  void logInternalEventWithOrigin(std::string_view, std::string_view name,
                                  const Dictionary&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.emplace_back(name);
  }
  void addLogEventListener(std::shared_ptr<crash::BCNAnalyticsEventListener>) override {}
  std::vector<std::string> names() {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> names_;
};

TEST_F(TLYTallyControllerTest, StartLaysOutTheTreeAndRecordsTheLaunch) {
  start();
  EXPECT_TRUE(fs::is_directory(events()));
  EXPECT_TRUE(fs::is_regular_file(root() / "crash_metadata"));
  const fs::path log = currentLog();
  EXPECT_EQ(log.parent_path(), events());
  EXPECT_EQ(log.extension(), ".log");
  EXPECT_EQ(log.stem().string().size(), 36u);
  EXPECT_EQ(lineNames(test_support::readFile(log)),
            (std::vector<std::string>{"metadata", "app_launched"}));
  EXPECT_FALSE(onQueue<bool>([this] { return controller_->settings().valid(); }));
  // The stored metadata is this launch's, for the next one.
  const auto stored = TLYCrashMetadata::readSerializedDictionaryFromURL(root() / "crash_metadata");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->at("install_id"), Value(std::string(kInstallationId)));
}

TEST_F(TLYTallyControllerTest, FirstInstallIsRecordedAndFlushedBeforeTheLaunch) {
  firstInstall_ = true;
  start();
  // The install event asks for a flush: its log is closed, compressed and
  // packaged; without settings the package waits on disk.
  EXPECT_EQ(filesWithExtension("multipartmime").size(), 1u);
  EXPECT_TRUE(filesWithExtension("gz").empty());
  EXPECT_EQ(filesWithExtension("log"), std::vector<std::string>{currentLog().filename().string()});
  EXPECT_EQ(lineNames(test_support::readFile(currentLog())),
            (std::vector<std::string>{"metadata", "app_launched"}));
}

TEST_F(TLYTallyControllerTest, EventsAndLifecycleNotificationsAreWrittenInOrder) {
  start();
  std::vector<std::string> expected{"metadata", "app_launched"};
  for (int i = 0; i < 20; ++i) {
    logCustom("event-" + std::to_string(i));
    expected.push_back("custom");
  }
  center_.post(std::string(kNSApplicationWillTerminateNotification));
  expected.push_back("app_terminated");
  const std::string text = test_support::readFile(currentLog());
  EXPECT_EQ(lineNames(text), expected);
  std::size_t previous = 0;
  for (int i = 0; i < 20; ++i) {
    const std::size_t at = text.find("event-" + std::to_string(i) + "\"");
    ASSERT_NE(at, std::string::npos) << i;
    EXPECT_GT(at, previous) << i;
    previous = at;
  }
}

TEST_F(TLYTallyControllerTest, ALogOfExactlyTheLimitStaysAndOneByteMoreRotates) {
  start();
  const fs::path first = currentLog();
  const auto limit = static_cast<std::int64_t>(fs::file_size(first));
  trellisSettings_ = standinSettings({{"max_byte_size_per_file", limit}});
  center_.post(std::string(crash::kTRLSettingsAvailableNotification));
  ASSERT_TRUE(drain());

  logCustom("at-the-limit");  // sees exactly the limit: written, no rotation
  EXPECT_EQ(currentLog(), first);
  logCustom("over-the-limit");  // sees one line more: written, then rotated
  const fs::path second = currentLog();
  EXPECT_NE(second, first);
  EXPECT_FALSE(fs::exists(second)) << "the fresh log is made by its first write";

  ASSERT_TRUE(standin_->waitForRequest(kEventsPath, kRequestTimeout));
  ASSERT_TRUE(eventually([this] { return fileCount() == 0; }, "package deleted after the upload"));
  const auto logs = uploadedLogs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(lineNames(logs[0]),
            (std::vector<std::string>{"metadata", "app_launched", "custom", "custom"}));
  EXPECT_NE(logs[0].find("over-the-limit"), std::string::npos);

  const auto request = standin_->requestsTo(kEventsPath).front();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.header("X-FAULTLINE-API-KEY"), "api-key-1");
  EXPECT_TRUE(logged("Finished transmission of '"));
  EXPECT_FALSE(logged("Failed to upload"));
}

TEST_F(TLYTallyControllerTest, PackagesWaitForValidSettingsAndGoOutWhenTheyArrive) {
  start();
  center_.post(std::string(kNSApplicationDidBecomeActiveNotification));  // asks for a flush
  ASSERT_TRUE(drain());
  ASSERT_EQ(filesWithExtension("multipartmime").size(), 1u);
  EXPECT_TRUE(filesWithExtension("gz").empty());

  trellisSettings_ = standinSettings();
  EXPECT_EQ(standin_->requestsTo(kEventsPath).size(), 0u);
  center_.post(std::string(crash::kTRLSettingsAvailableNotification));
  ASSERT_TRUE(standin_->waitForRequest(kEventsPath, kRequestTimeout));
  ASSERT_TRUE(eventually([this] { return filesWithExtension("multipartmime").empty(); },
                         "package deleted"));
  EXPECT_EQ(lineNames(uploadedLogs().at(0)),
            (std::vector<std::string>{"metadata", "app_launched", "app_became_active"}));
  EXPECT_TRUE(logged("Tally enabled with settings: "));
}

TEST_F(TLYTallyControllerTest, CollectionOffEmptiesTheEventsDirectoryAndDropsLaterEvents) {
  start();
  logCustom("before");
  center_.post(std::string(kNSApplicationDidBecomeActiveNotification));
  logCustom("pending");
  ASSERT_TRUE(drain());
  ASSERT_GE(fileCount(), 2u);

  controller_->initializeSettingsIfNeededWithTrellisSettings(
      settingsDictionary({}, /*collect=*/false));
  ASSERT_TRUE(drain());
  EXPECT_TRUE(logged("Tally is disabled. Cleaning up."));
  EXPECT_EQ(fileCount(), 0u);
  EXPECT_TRUE(fs::exists(root() / "crash_metadata"));

  logCustom("after");
  center_.post(std::string(kNSApplicationDidBecomeActiveNotification));
  controller_->logCrashEvent(
      std::make_shared<TLYCrashEvent>(clock_.wallNow(), TLYCrashEvent::kForeground));
  // The first valid settings win: switching collection on later changes nothing.
  controller_->initializeSettingsIfNeededWithTrellisSettings(
      settingsDictionary({}, /*collect=*/true));
  logCustom("still-after");
  ASSERT_TRUE(drain());
  EXPECT_EQ(fileCount(), 0u);
  EXPECT_FALSE(onQueue<bool>([this] { return controller_->settings().shouldCollectAnalytics(); }));
}

TEST_F(TLYTallyControllerTest, SamplingDropsSampledEventsOfAnInstallOutsideTheSample) {
  // A factor that does not divide the install's hash puts it outside.
  std::int64_t factor = 2;
  while (TLYEventFilter::javaHashCodeForString(kInstallationId) % factor == 0) ++factor;
  struct Case {
    const char* name;
    std::optional<std::string> betaToken;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {"outside the sample", std::nullopt, {"metadata", "custom"}},
      {"beta tester", "tester", {"metadata", "custom", "app_terminated"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controller_.reset();
    fs::remove_all(root());
    {
      std::lock_guard<std::mutex> lock(linesMutex_);
      lines_.clear();
    }
    trellisSettings_ = settingsDictionary({{"sampling_rate", factor}});
    start(c.betaToken);
    logCustom("kept");
    center_.post(std::string(kNSApplicationWillTerminateNotification));
    // The launch event was sampled before the start-up settings took
    // effect (rate 1 keeps everything), so it is written in both cases.
    std::vector<std::string> names = lineNames(test_support::readFile(currentLog()));
    names.erase(std::remove(names.begin(), names.end(), "app_launched"), names.end());
    EXPECT_EQ(names, c.expected);
    EXPECT_EQ(logged("Application is enabled for sampling, skipping"), !c.betaToken.has_value());
    ASSERT_TRUE(drain());
  }
}

TEST_F(TLYTallyControllerTest, AnEarlierRunsFilesAreCleanedUpAndSent) {
  // What a previous launch left: a closed log, a gzip, a package, and a
  // stray file.
  fs::create_directories(events());
  TLYMetadataFields fields;
  fields.APIKey = "old";
  TLYMetadata metadata{fields};
  const auto write = [&](const fs::path& log, std::string name) {
    TLYWriteEventOperation op(std::make_shared<TLYCustomEvent>(
                                  std::move(name), TLYAttributeEntries{}, [](std::string_view) {}),
                              metadata, log);
    op.main();
    ASSERT_TRUE(op.success());
  };
  write(events() / "AAAAAAAA-0000-0000-0000-000000000001.log", "old-log");
  write(events() / "compressed.log", "old-gzip");
  TLYCompressLogOperation compress(events() / "compressed.log",
                                   events() / "BBBBBBBB-0000-0000-0000-000000000002.gz");
  compress.main();
  fs::remove(events() / "compressed.log");
  write(events() / "packaged.log", "old-package");
  TLYCompressLogOperation compressPackaged(events() / "packaged.log", events() / "packaged.gz");
  compressPackaged.main();
  TLYPackageLogOperation package(events() / "packaged.gz", events() / "old-boundary.multipartmime",
                                 "old-boundary");
  package.main();
  fs::remove(events() / "packaged.log");
  fs::remove(events() / "packaged.gz");
  { std::ofstream(events() / "stray.txt") << "x"; }
  ASSERT_EQ(fileCount(), 4u);

  trellisSettings_ = standinSettings();
  start();
  ASSERT_TRUE(standin_->waitForRequest(kEventsPath, kRequestTimeout, 3));
  ASSERT_TRUE(eventually([this] { return fileCount() == 1; }, "every earlier file gone"));
  EXPECT_EQ(filesWithExtension("log"), std::vector<std::string>{currentLog().filename().string()});
  std::vector<std::string> found;
  for (const std::string& log : uploadedLogs()) {
    for (const char* name : {"old-log", "old-gzip", "old-package"}) {
      if (log.find(name) != std::string::npos) found.push_back(name);
    }
  }
  EXPECT_EQ(sorted(found), (std::vector<std::string>{"old-gzip", "old-log", "old-package"}));
  // The fresh current log never appeared in the lists: it is still local.
  EXPECT_EQ(standin_->requestsTo(kEventsPath).size(), 3u);
}

TEST_F(TLYTallyControllerTest, EarlierFilesArePackagedButKeptWithoutValidSettings) {
  fs::create_directories(events());
  TLYMetadata metadata{TLYMetadataFields{}};
  TLYWriteEventOperation op(std::make_shared<TLYLifecycleEvent>("app_launched"), metadata,
                            events() / "AAAAAAAA-0000-0000-0000-000000000001.log");
  op.main();
  start();
  EXPECT_EQ(filesWithExtension("multipartmime").size(), 1u);
  EXPECT_TRUE(filesWithExtension("gz").empty());
  EXPECT_EQ(filesWithExtension("log").size(), 1u);  // the current one
}

TEST_F(TLYTallyControllerTest, ACrashIsSentAloneUnderThePreviousLaunchsMetadata) {
  fs::create_directories(root());
  ASSERT_TRUE(TLYCrashMetadata::writeSerializedDictionary(
      Dictionary{{"session_id", "previous-launch"}, {"started_at", 1}}, root() / "crash_metadata"));
  trellisSettings_ = standinSettings();
  start();
  const fs::path before = currentLog();
  controller_->logCrashEvent(
      std::make_shared<TLYCrashEvent>(clock_.wallNow(), TLYCrashEvent::kBackground));
  ASSERT_TRUE(standin_->waitForRequest(kEventsPath, kRequestTimeout, 2));
  ASSERT_TRUE(eventually([this] { return filesWithExtension("multipartmime").empty(); },
                         "packages deleted"));
  EXPECT_NE(currentLog(), before);
  EXPECT_FALSE(fs::exists(before));

  std::vector<std::string> logs = uploadedLogs();
  ASSERT_EQ(logs.size(), 2u);
  if (logs[0].find("app_crashed") != std::string::npos) std::swap(logs[0], logs[1]);
  EXPECT_EQ(lineNames(logs[0]), (std::vector<std::string>{"metadata", "app_launched"}));
  EXPECT_EQ(lineNames(logs[1]), (std::vector<std::string>{"metadata", "app_crashed"}));
  EXPECT_NE(logs[1].find("previous-launch"), std::string::npos);
  EXPECT_EQ(logs[0].find("previous-launch"), std::string::npos);
  EXPECT_TRUE(logged("Attempting to log app_crashed"));
}

TEST_F(TLYTallyControllerTest, TheFlushTimerRotatesOnlyALogPastTheLimit) {
  start();
  const fs::path first = currentLog();
  const auto limit = static_cast<std::int64_t>(fs::file_size(first));
  trellisSettings_ =
      standinSettings({{"max_byte_size_per_file", limit}, {"flush_interval_secs", 60}});
  center_.post(std::string(crash::kTRLSettingsAvailableNotification));
  ASSERT_TRUE(drain());
  EXPECT_NE(onQueue<const TLYTimer*>([this] { return controller_->flushTimer(); }), nullptr);

  ASSERT_TRUE(advance(60s));  // at the limit: the tick leaves it
  EXPECT_EQ(currentLog(), first);
  logCustom("past-the-limit");  // sees the limit: no rotation by the event
  ASSERT_TRUE(drain());
  EXPECT_EQ(currentLog(), first);
  ASSERT_TRUE(advance(60s));
  EXPECT_NE(currentLog(), first);
  ASSERT_TRUE(standin_->waitForRequest(kEventsPath, kRequestTimeout));
  ASSERT_TRUE(eventually([this] { return fileCount() == 0; }, "package deleted"));
  EXPECT_FALSE(logged("queuing bug"));
}

TEST_F(TLYTallyControllerTest, NoFlushTimerWithoutAPositiveInterval) {
  trellisSettings_ = settingsDictionary({{"flush_interval_secs", -5}});
  start();
  EXPECT_EQ(onQueue<const TLYTimer*>([this] { return controller_->flushTimer(); }), nullptr);
  // Called off the event queue (a misuse, here while the queue is idle):
  // named in the log, then done all the same.
  controller_->setupFlushTimer();
  EXPECT_TRUE(logged(
      "queuing bug in -[TLYTallyController setupFlushTimer]: io.tally.EventQueue != (null)"));
}

TEST_F(TLYTallyControllerTest, ForwardingFollowsTheSettingsAndNeverCarriesCrashes) {
  struct Case {
    const char* name;
    bool forward;
    bool includePurchases;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases{
      {"off", false, true, {}},
      {"without purchases", true, false, {"custom_one"}},
      {"with purchases", true, true, {"custom_one", "ecommerce_purchase"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    controller_.reset();
    fs::remove_all(root());
    auto beacon = std::make_shared<RecordingBeaconAnalytics>();
    beacon_ = beacon;
    trellisSettings_ =
        settingsDictionary({{"forward_to_gryphon_analytics", c.forward},
                            {"include_purchase_events_in_forwarded_events", c.includePurchases}});
    start();
    logCustom("custom_one");
    controller_->logEvent(TLYPredefinedEvent::purchaseEvent(9.99, "EUR", true, "item", "type", "id",
                                                            {}, [](std::string_view) {}));
    controller_->logCrashEvent(
        std::make_shared<TLYCrashEvent>(clock_.wallNow(), TLYCrashEvent::kForeground));
    ASSERT_TRUE(drain());
    EXPECT_EQ(beacon->names(), c.expected);
  }
}

TEST_F(TLYTallyControllerTest, AFailedUploadIsLoggedAndItsPackageDeleted) {
  trellisSettings_ = standinSettings();
  standin_->replyTo(std::string(kEventsPath), 400, "bad");
  start();
  center_.post(std::string(kNSApplicationDidBecomeActiveNotification));
  ASSERT_TRUE(standin_->waitForRequest(kEventsPath, kRequestTimeout));
  ASSERT_TRUE(eventually([this] { return filesWithExtension("multipartmime").empty(); },
                         "package deleted"));
  EXPECT_TRUE(eventually([this] { return logged("Failed to upload '"); }, "failure logged"));
  EXPECT_TRUE(logged("Finished transmission of '"));
}

TEST_F(TLYTallyControllerTest, BoundaryFromURL) {
  struct Case {
    std::optional<fs::path> url;
    std::optional<std::string> boundary;
  };
  const std::vector<Case> cases{
      {fs::path("/e/boundary-1.multipartmime"), "boundary-1"},
      {fs::path("/e/boundary-1.gz"), std::nullopt},
      {fs::path("/e/boundary-1"), std::nullopt},
      {fs::path("/e/boundary-1.multipartmime.log"), std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url ? c.url->string() : "none");
    EXPECT_EQ(TLYTallyController::boundaryFromURL(c.url), c.boundary);
  }
}

TEST_F(TLYTallyControllerTest, QueuedWorkRunsBehindTheSetUpInStartOrder) {
  firstInstall_ = true;
  trellisSettings_ = standinSettings({{"max_byte_size_per_file", 100000}});
  controller_ = TLYTallyController::initWithBetaToken(std::nullopt, root(), environment());
  // Entry points right after creation queue behind the set-up.
  logCustom("early");
  ASSERT_TRUE(drain());
  // Install (flushed into a package), then launch and the early event in
  // the current log; settings took effect after both were sampled.
  EXPECT_EQ(lineNames(test_support::readFile(currentLog())),
            (std::vector<std::string>{"metadata", "app_launched", "custom"}));
  EXPECT_TRUE(onQueue<bool>([this] { return controller_->settings().valid(); }));
  // The install's chain was queued by its event before the settings took
  // effect; its upload is made once the package exists and so goes out in
  // this launch.
  ASSERT_TRUE(standin_->waitForRequest(kEventsPath, kRequestTimeout));
  ASSERT_TRUE(eventually([this] { return filesWithExtension("multipartmime").empty(); },
                         "package deleted after the upload"));
  const auto logs = uploadedLogs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(lineNames(logs[0]), (std::vector<std::string>{"metadata", "app_installed"}));
}

}  // namespace
}  // namespace vandrel::analytics
