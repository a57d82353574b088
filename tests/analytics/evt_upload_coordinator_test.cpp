#include "analytics/transport/evt_upload_coordinator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_flat_file_storage.h"
#include "analytics/transport/evt_hub_uploader.h"
#include "analytics/transport/evt_load.h"
#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_reachability.h"
#include "analytics/transport/evt_registrar.h"
#include "analytics/transport/evt_transformer.h"
#include "analytics/transport/evt_transport.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "platform/sync.h"
#include "tests/support/temp_dir.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;
using platform::MutexLock;

constexpr std::uint32_t kReachable = platform::reachability_flags::kReachable;
constexpr std::uint32_t kConnectionRequired = platform::reachability_flags::kConnectionRequired;

struct UploadCall {
  std::int64_t target;
  EVTCORUploadConditions conditions;
  bool operator==(const UploadCall&) const = default;
};

// Records every call it gets; the coordinator calls it on its queue.
class RecordingUploader final : public EVTCORUploader {
 public:
  void uploadTarget(std::int64_t target, EVTCORUploadConditions conditions) override {
    MutexLock lock(mutex_);
    calls_.push_back({target, conditions});
  }
  void appWillTerminate(EVTCORApplication&) override {
    MutexLock lock(mutex_);
    ++terminates_;
  }
  std::vector<UploadCall> takeCalls() {
    MutexLock lock(mutex_);
    return std::exchange(calls_, {});
  }
  int terminates() {
    MutexLock lock(mutex_);
    return terminates_;
  }

 private:
  platform::Mutex mutex_;
  std::vector<UploadCall> calls_ VANDREL_GUARDED_BY(mutex_);
  int terminates_ VANDREL_GUARDED_BY(mutex_) = 0;
};

// Counts expiry sweeps and terminations; stores nothing.
class CountingStorage final : public EVTCORStorageProtocol {
 public:
  void storeEvent(std::optional<EVTCOREvent>, EVTCORStoreEventCompletion) override {}
  void batchWithEventSelector(EVTCORStorageEventSelector, platform::WallTime,
                              EVTCORBatchCompletion) override {}
  void removeBatchWithID(std::int64_t, bool, std::function<void()>) override {}
  void batchIDsForTarget(std::int64_t, EVTCORBatchIDsCompletion) override {}
  void libraryDataForKey(std::string, EVTCORLibraryDataFetchCompletion,
                         EVTCORLibraryDataNewValue) override {}
  void storeLibraryData(std::optional<std::string>, std::string, EVTCORErrorCompletion) override {}
  void removeLibraryDataForKey(std::string, EVTCORErrorCompletion) override {}
  void hasEventsForTarget(std::int64_t, std::function<void(bool)>) override {}
  void checkForExpirations() override { ++expirationChecks; }
  void storageSizeWithCallback(std::function<void(std::uint64_t)>) override {}
  void appWillTerminate(EVTCORApplication&) override { ++terminates; }

  std::atomic<int> expirationChecks{0};
  std::atomic<int> terminates{0};
};

// Collects the transport's log lines while alive.
class LogCapture {
 public:
  LogCapture() {
    EVTCORSetConsoleLogThreshold(1);
    EVTCORSetConsoleLogSink([this](std::string_view line) {
      MutexLock lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~LogCapture() {
    EVTCORSetConsoleLogSink({});
    EVTCORSetConsoleLogThreshold(4);
  }
  int count(std::string_view text) {
    MutexLock lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  platform::Mutex mutex_;
  std::vector<std::string> lines_ VANDREL_GUARDED_BY(mutex_);
};

class UploadCoordinatorTest : public testing::Test {
 protected:
  // The reachability source answers `startFlags` to the start-up read.
  void SetUp() override { makeCoordinator(kReachable); }

  void makeCoordinator(std::optional<std::uint32_t> startFlags) {
    coordinator_.reset();
    reachability_.reset();
    auto source = std::make_unique<platform::ManualReachabilitySource>();
    source_ = source.get();
    source_->setFlags(startFlags);
    reachability_ = std::make_unique<EVTCORReachability>(std::move(source));
    coordinator_ = std::make_unique<EVTCORUploadCoordinator>(registrar_, *reachability_,
                                                             application_, scheduler_);
  }

  void registerUploader(std::vector<std::int64_t> targets) {
    for (auto target : targets) registrar_.registerUploader(uploader_, target);
  }

  // Lets the coordination queue run what is queued now and what that posts.
  void drain() {
    for (int i = 0; i < 3; ++i) coordinator_->coordinationQueue().sync([] {});
  }

  // Moves the clock by `by` and returns once every timer tick due by then
  // has run on the coordination queue, together with the uploads it queued.
  testing::AssertionResult advance(std::chrono::seconds by) {
    drain();
    auto reached = std::make_shared<std::promise<void>>();
    auto& queue = coordinator_->coordinationQueue();
    // Due at the same instant as a tick but scheduled after it, so the
    // scheduler hands it to the queue after the tick; two more hops pass
    // the upload jobs the tick queued.
    scheduler_.schedule(by, queue, [&queue, reached] {
      queue.async([&queue, reached] { queue.async([reached] { reached->set_value(); }); });
    });
    clock_.advance(by);
    if (reached->get_future().wait_for(5s) != std::future_status::ready) {
      return testing::AssertionFailure() << "the coordination queue did not reach the sentinel";
    }
    drain();
    return testing::AssertionSuccess();
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  platform::NotificationCenter center_;
  EVTCORApplication application_{center_};
  EVTCORRegistrar registrar_;
  platform::ManualReachabilitySource* source_ = nullptr;
  std::unique_ptr<EVTCORReachability> reachability_;
  std::unique_ptr<EVTCORUploadCoordinator> coordinator_;
  std::shared_ptr<RecordingUploader> uploader_ = std::make_shared<RecordingUploader>();
};

TEST_F(UploadCoordinatorTest, TimerFiresAtOnceAndThenEveryThirtySeconds) {
  registerUploader({1000, 1001, 1002});
  coordinator_->startTimer();
  drain();
  const std::vector<UploadCall> round = {{1000, 4}, {1001, 4}, {1002, 4}};
  EXPECT_EQ(uploader_->takeCalls(), round);

  ASSERT_TRUE(advance(29s));
  EXPECT_TRUE(uploader_->takeCalls().empty());
  ASSERT_TRUE(advance(1s));
  EXPECT_EQ(uploader_->takeCalls(), round);
  ASSERT_TRUE(advance(30s));
  EXPECT_EQ(uploader_->takeCalls(), round);
}

TEST_F(UploadCoordinatorTest, WithoutNetworkTheTimerStillFiresButNoUploaderIsCalled) {
  makeCoordinator(0);
  registerUploader({1000});
  LogCapture log;
  coordinator_->startTimer();
  drain();
  ASSERT_TRUE(advance(30s));
  ASSERT_TRUE(advance(30s));
  EXPECT_EQ(log.count("Upload timer fired"), 3);
  EXPECT_TRUE(uploader_->takeCalls().empty());
}

TEST_F(UploadCoordinatorTest, StartingTwiceLeavesOneTimer) {
  registerUploader({1001});
  coordinator_->startTimer();
  coordinator_->startTimer();
  drain();
  EXPECT_EQ(uploader_->takeCalls().size(), 1u);
  ASSERT_TRUE(advance(30s));
  EXPECT_EQ(uploader_->takeCalls().size(), 1u);
}

TEST_F(UploadCoordinatorTest, StoppedTimerNoLongerFiresAndCanStartAgain) {
  registerUploader({1001});
  coordinator_->startTimer();
  drain();
  uploader_->takeCalls();
  coordinator_->stopTimer();
  EXPECT_FALSE(coordinator_->hasTimerForTesting());
  ASSERT_TRUE(advance(90s));
  EXPECT_TRUE(uploader_->takeCalls().empty());

  coordinator_->startTimer();
  drain();
  EXPECT_EQ(uploader_->takeCalls(), (std::vector<UploadCall>{{1001, 4}}));
}

TEST_F(UploadCoordinatorTest, FiringIsSkippedWhileTheApplicationRunsInTheBackground) {
  registerUploader({1001});
  application_.setRunningInBackground(true);
  coordinator_->startTimer();
  ASSERT_TRUE(advance(30s));
  EXPECT_TRUE(uploader_->takeCalls().empty());
  application_.setRunningInBackground(false);
  ASSERT_TRUE(advance(30s));
  EXPECT_EQ(uploader_->takeCalls(), (std::vector<UploadCall>{{1001, 4}}));
}

TEST_F(UploadCoordinatorTest, ForcedUploadReachesOnlyItsTargetWithHighPriority) {
  registerUploader({1000, 1001});
  coordinator_->forceUploadForTarget(1001);
  drain();
  EXPECT_EQ(uploader_->takeCalls(), (std::vector<UploadCall>{{1001, 4 | 16}}));

  // A target without an uploader is passed over.
  coordinator_->forceUploadForTarget(999);
  drain();
  EXPECT_TRUE(uploader_->takeCalls().empty());
}

TEST_F(UploadCoordinatorTest, ForcedUploadWithoutNetworkDoesNothing) {
  makeCoordinator(kReachable | kConnectionRequired);
  registerUploader({1001});
  coordinator_->forceUploadForTarget(1001);
  drain();
  EXPECT_TRUE(uploader_->takeCalls().empty());
}

TEST_F(UploadCoordinatorTest, UploadConditionsFollowTheReachabilityFlags) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> flags;
    EVTCORUploadConditions expected;
  } cases[] = {
      {"unreadable", std::nullopt, 1},
      {"nothing", 0, 1},
      {"reachable", kReachable, 4},
      {"reachable, connection required", kReachable | kConnectionRequired, 1},
      {"connection required only", kConnectionRequired, 1},
      {"reachable on traffic", kReachable | platform::reachability_flags::kConnectionOnTraffic, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    makeCoordinator(c.flags);
    EXPECT_EQ(coordinator_->uploadConditions(), c.expected);
  }
}

TEST_F(UploadCoordinatorTest, ExpirySweepReachesTheStorageOncePerTarget) {
  auto storage = std::make_shared<CountingStorage>();
  for (std::int64_t target : {999, 1000, 1001}) registrar_.registerStorage(storage, target);
  coordinator_->signalToStoragesToCheckExpirations();
  EXPECT_EQ(storage->expirationChecks.load(), 3);
  EXPECT_EQ(coordinator_->storageForTarget(1000), storage);
  EXPECT_EQ(coordinator_->storageForTarget(1002), nullptr);
}

TEST_F(UploadCoordinatorTest, ForegroundStartsTheTimerAndSweepsBackgroundStopsIt) {
  auto storage = std::make_shared<CountingStorage>();
  registrar_.registerStorage(storage, 1001);
  registerUploader({1001});
  coordinator_->appWillForeground(application_);
  drain();
  EXPECT_TRUE(coordinator_->hasTimerForTesting());
  EXPECT_EQ(storage->expirationChecks.load(), 1);
  EXPECT_EQ(uploader_->takeCalls().size(), 1u);

  coordinator_->appWillBackground(application_);
  EXPECT_FALSE(coordinator_->hasTimerForTesting());
  ASSERT_TRUE(advance(60s));
  EXPECT_TRUE(uploader_->takeCalls().empty());
}

TEST_F(UploadCoordinatorTest, TerminateStopsTheTimerBeforeReturning) {
  coordinator_->startTimer();
  coordinator_->appWillTerminate(application_);
  // No drain in between: terminate itself waited for the queue.
  EXPECT_FALSE(coordinator_->hasTimerForTesting());
}

TEST_F(UploadCoordinatorTest, StoringAFastTierEventForcesAnUploadOfItsTarget) {
  test_support::TempDir dir("evt-coordinator");
  auto storage = std::make_shared<EVTCORFlatFileStorage>(
      dir.path(), [this](std::int64_t target) { coordinator_->forceUploadForTarget(target); });
  registrar_.registerStorage(storage, 1002);
  registerUploader({1001, 1002});
  EVTCORTransformer transformer(registrar_, application_);
  auto transport = EVTCORTransport::create("137", {}, 1002, transformer);
  for (std::int64_t tier : {3, 4}) {
    auto event = transport->eventForTransport();
    event->setDataObject(std::make_shared<EVTCORDataBytes>("payload"));
    event->setQosTier(tier);
    std::promise<bool> stored;
    transport->sendDataEvent(*event, [&](bool written, std::optional<platform::Error>) {
      stored.set_value(written);
    });
    auto future = stored.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(future.get());
  }
  storage->storageQueue().sync([] {});
  drain();
  EXPECT_EQ(uploader_->takeCalls(), (std::vector<UploadCall>{{1002, 4 | 16}}));
}

// ---- Reachability --------------------------------------------------------

TEST(ReachabilityTest, ChangesWinOverTheStartUpRead) {
  auto owned = std::make_unique<platform::ManualReachabilitySource>();
  auto* source = owned.get();
  source->setFlags(0);
  EVTCORReachability reachability(std::move(owned));
  EXPECT_EQ(reachability.flags(), 0u);
  source->change(kReachable);
  EXPECT_EQ(reachability.flags(), kReachable);
  // Losing the route afterwards is reported, not hidden behind the
  // start-up read.
  source->change(0);
  EXPECT_EQ(reachability.flags(), 0u);
}

TEST(ReachabilityTest, FailuresAtStartReadAsNoNetworkAndAreLogged) {
  LogCapture log;
  {
    auto owned = std::make_unique<platform::ManualReachabilitySource>();
    owned->setFlags(std::nullopt);
    owned->setFailRegistration(true);
    EVTCORReachability reachability(std::move(owned));
    EXPECT_EQ(reachability.flags(), 0u);
  }
  {
    EVTCORReachability reachability(nullptr);
    EXPECT_EQ(reachability.flags(), 0u);
  }
  EXPECT_EQ(log.count("[I-EVTCOR000004] The reachability callback wasn't set."), 1);
  EXPECT_EQ(log.count("[I-EVTCOR000004] Determining reachability failed."), 1);
  EXPECT_EQ(log.count("[I-EVTCOR000004] The reachability queue wasn't set."), 1);
}

// ---- Lifecycle -------------------------------------------------------------

TEST_F(UploadCoordinatorTest, ApplicationTerminationShutsTheTransportDown) {
  auto storage = std::make_shared<CountingStorage>();
  for (std::int64_t target : {999, 1001}) registrar_.registerStorage(storage, target);
  registerUploader({1001});
  EVTCORTransformer transformer(registrar_, application_);
  EVTCORLifecycle lifecycle(center_, application_, transformer, *coordinator_, registrar_);
  coordinator_->startTimer();
  drain();
  uploader_->takeCalls();

  postApplicationWillTerminate(center_);

  // Delivered on the posting thread: all done when the post returns.
  EXPECT_FALSE(coordinator_->hasTimerForTesting());
  EXPECT_EQ(uploader_->terminates(), 1);
  EXPECT_EQ(storage->terminates.load(), 2);  // once per registered target
  ASSERT_TRUE(advance(60s));
  EXPECT_TRUE(uploader_->takeCalls().empty());
}

TEST_F(UploadCoordinatorTest, BackgroundAndForegroundNoticesReachTheCoordinator) {
  registerUploader({1001});
  EVTCORTransformer transformer(registrar_, application_);
  EVTCORLifecycle lifecycle(center_, application_, transformer, *coordinator_, registrar_);
  postApplicationWillEnterForeground(center_);
  EXPECT_TRUE(coordinator_->hasTimerForTesting());
  postApplicationDidEnterBackground(center_);
  EXPECT_FALSE(coordinator_->hasTimerForTesting());
}

TEST(ApplicationTest, HasNoBackgroundTasksHere) {
  platform::NotificationCenter center;
  EVTCORApplication application(center);
  bool expired = false;
  const auto task = application.beginBackgroundTaskWithName("EVTStorage", [&] { expired = true; });
  EXPECT_EQ(task, EVTCORApplication::kInvalidBackgroundTask);
  application.endBackgroundTask(task);
  EXPECT_FALSE(expired);
  EXPECT_FALSE(application.isRunningInBackground());
}

// ---- Load ------------------------------------------------------------------

TEST(LoadEventTransportTest, RegistersTheStorageForItsFourTargetsAndTheUploaderForThreeOnce) {
  test_support::TempDir caches("evt-load");
  test_support::ScopedEnv env("XDG_CACHE_HOME", caches.path().string());
  loadEventTransport();
  loadEventTransport();
  auto& registrar = EVTCORRegistrar::sharedInstance();
  const auto storages = registrar.targetToStorage();
  ASSERT_EQ(storages.size(), 4u);
  for (std::int64_t target : {999, 1000, 1001, 1002}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(storages.count(target), 1u);
    EXPECT_EQ(storages.at(target), EVTCORFlatFileStorage::sharedInstance());
  }
  const auto uploaders = registrar.targetToUploader();
  ASSERT_EQ(uploaders.size(), 3u);
  for (std::int64_t target : {1000, 1001, 1002}) {
    SCOPED_TRACE(target);
    ASSERT_EQ(uploaders.count(target), 1u);
    EXPECT_EQ(uploaders.at(target), EVTHUBUploader::sharedInstance());
  }
  EXPECT_TRUE(EVTCORUploadCoordinator::sharedInstance().hasTimerForTesting());
  // The process-wide terminate notice shuts the shared transport down.
  postApplicationWillTerminate();
  EXPECT_FALSE(EVTCORUploadCoordinator::sharedInstance().hasTimerForTesting());
  // And the foreground notice brings the timer back.
  postApplicationWillEnterForeground();
  EXPECT_TRUE(EVTCORUploadCoordinator::sharedInstance().hasTimerForTesting());
}

}  // namespace
}  // namespace vandrel::analytics
