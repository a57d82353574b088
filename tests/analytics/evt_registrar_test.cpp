#include "analytics/transport/evt_registrar.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_archive.h"
#include "analytics/transport/evt_flat_file_storage.h"
#include "analytics/transport/evt_transformer.h"
#include "analytics/transport/evt_transport.h"
#include "platform/notification_center.h"
#include "platform/sync.h"
#include "tests/support/temp_dir.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;
using platform::MutexLock;
namespace fs = std::filesystem;

// Shared record of the lifecycle calls several fakes receive, in order.
struct CallLog {
  platform::Mutex mutex;
  std::vector<std::string> calls VANDREL_GUARDED_BY(mutex);
  void add(std::string call) {
    MutexLock lock(mutex);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> take() {
    MutexLock lock(mutex);
    return std::exchange(calls, {});
  }
};

class NamedUploader final : public EVTCORUploader {
 public:
  NamedUploader(std::string name, CallLog& log) : name_(std::move(name)), log_(log) {}
  void uploadTarget(std::int64_t, EVTCORUploadConditions) override {}
  void appWillForeground(EVTCORApplication&) override { log_.add(name_ + " foreground"); }
  void appWillTerminate(EVTCORApplication&) override { log_.add(name_ + " terminate"); }

 private:
  std::string name_;
  CallLog& log_;
};

// Keeps what it is asked to store, in order; the one fake storage here,
// for what only the order of calls shows.
class RecordingStorage final : public EVTCORStorageProtocol {
 public:
  explicit RecordingStorage(CallLog* log = nullptr) : log_(log) {}
  void storeEvent(std::optional<EVTCOREvent> event,
                  EVTCORStoreEventCompletion onComplete) override {
    {
      MutexLock lock(mutex_);
      stored_.push_back(std::move(*event));
    }
    if (onComplete) onComplete(true, std::nullopt);
  }
  void batchWithEventSelector(EVTCORStorageEventSelector, platform::WallTime,
                              EVTCORBatchCompletion) override {}
  void removeBatchWithID(std::int64_t, bool, std::function<void()>) override {}
  void batchIDsForTarget(std::int64_t, EVTCORBatchIDsCompletion) override {}
  void libraryDataForKey(std::string, EVTCORLibraryDataFetchCompletion,
                         EVTCORLibraryDataNewValue) override {}
  void storeLibraryData(std::optional<std::string>, std::string, EVTCORErrorCompletion) override {}
  void removeLibraryDataForKey(std::string, EVTCORErrorCompletion) override {}
  void hasEventsForTarget(std::int64_t, std::function<void(bool)>) override {}
  void checkForExpirations() override {}
  void storageSizeWithCallback(std::function<void(std::uint64_t)>) override {}
  void appWillForeground(EVTCORApplication&) override {
    if (log_) log_->add("storage foreground");
  }
  void appWillTerminate(EVTCORApplication&) override {
    if (log_) log_->add("storage terminate");
  }

  std::vector<EVTCOREvent> stored() {
    MutexLock lock(mutex_);
    return stored_;
  }

 private:
  CallLog* log_;
  platform::Mutex mutex_;
  std::vector<EVTCOREvent> stored_ VANDREL_GUARDED_BY(mutex_);
};

// ---- Registrar -------------------------------------------------------------

TEST(RegistrarTest, LaterRegistrationReplacesEarlierAndOneObjectServesSeveralTargets) {
  CallLog log;
  EVTCORRegistrar registrar;
  auto first = std::make_shared<NamedUploader>("first", log);
  auto second = std::make_shared<NamedUploader>("second", log);
  registrar.registerUploader(first, 1000);
  registrar.registerUploader(first, 1001);
  registrar.registerUploader(second, 1000);
  registrar.registerUploader(nullptr, 1002);
  auto storage = std::make_shared<RecordingStorage>();
  registrar.registerStorage(storage, 999);
  registrar.registerStorage(storage, 1000);

  const auto uploaders = registrar.targetToUploader();
  ASSERT_EQ(uploaders.size(), 2u);
  EXPECT_EQ(uploaders.at(1000), second);
  EXPECT_EQ(uploaders.at(1001), first);
  const auto storages = registrar.targetToStorage();
  ASSERT_EQ(storages.size(), 2u);
  EXPECT_EQ(storages.at(999), storage);
  EXPECT_EQ(storages.at(1000), storage);
}

TEST(RegistrarTest, LifecycleReachesUploadersThenStoragesOncePerTarget) {
  CallLog log;
  EVTCORRegistrar registrar;
  platform::NotificationCenter center;
  EVTCORApplication application(center);
  auto uploader = std::make_shared<NamedUploader>("uploader", log);
  auto storage = std::make_shared<RecordingStorage>(&log);
  // Storage first, so the order below is the registrar's, not ours.
  registrar.registerStorage(storage, 999);
  registrar.registerStorage(storage, 1001);
  registrar.registerUploader(uploader, 1001);

  registrar.appWillTerminate(application);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"uploader terminate", "storage terminate",
                                                  "storage terminate"}));
  registrar.appWillForeground(application);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"uploader foreground", "storage foreground",
                                                  "storage foreground"}));
  // Background is an operation neither implements: nothing happens.
  registrar.appWillBackground(application);
  EXPECT_TRUE(log.take().empty());
}

// ---- Transport and transformer over the flat-file storage -----------------

struct StoreOutcome {
  bool written = false;
  std::optional<platform::Error> error;
};

// A completion and the future it settles.
struct Awaited {
  std::shared_ptr<std::promise<StoreOutcome>> promise = std::make_shared<std::promise<StoreOutcome>>();
  std::future<StoreOutcome> future = promise->get_future();

  EVTCORStoreEventCompletion completion() {
    return [promise = promise](bool written, std::optional<platform::Error> error) {
      promise->set_value({written, std::move(error)});
    };
  }
  testing::AssertionResult get(StoreOutcome& out) {
    if (future.wait_for(5s) != std::future_status::ready) {
      return testing::AssertionFailure() << "the completion was not called";
    }
    out = future.get();
    return testing::AssertionSuccess();
  }
};

// Transforms by a function.
class FunctionTransformer final : public EVTCOREventTransformer {
 public:
  explicit FunctionTransformer(std::function<std::optional<EVTCOREvent>(EVTCOREvent)> f)
      : f_(std::move(f)) {}
  std::optional<EVTCOREvent> transform(EVTCOREvent event) override { return f_(std::move(event)); }

 private:
  std::function<std::optional<EVTCOREvent>(EVTCOREvent)> f_;
};

class TransportTest : public testing::Test {
 protected:
  void SetUp() override {
    storage_ = std::make_shared<EVTCORFlatFileStorage>(dir_.path(), nullptr);
    for (std::int64_t target : {999, 1000, 1001, 1002}) registrar_.registerStorage(storage_, target);
  }

  std::unique_ptr<EVTCORTransport> transport(EVTCORTransformerChain chain = {},
                                             std::int64_t target = 1001) {
    return EVTCORTransport::create("137", std::move(chain), target, transformer_);
  }

  static EVTCOREvent payloadEvent(const EVTCORTransport& transport, std::string bytes) {
    auto event = transport.eventForTransport();
    EXPECT_TRUE(event.has_value());
    event->setDataObject(std::make_shared<EVTCORDataBytes>(std::move(bytes)));
    return *event;
  }

  // The events stored for `target`, by file name.
  std::map<std::string, EVTCOREvent> storedEvents(std::int64_t target) {
    storage_->storageQueue().sync([] {});
    std::map<std::string, EVTCOREvent> events;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(storage_->eventDataStoragePath() /
                                                        std::to_string(target), ec)) {
      auto event = EVTCORReadArchive<EVTCOREvent>(entry.path());
      EXPECT_TRUE(event.ok()) << entry.path();
      if (event.ok()) events.emplace(entry.path().filename().string(), std::move(event).value());
    }
    return events;
  }

  test_support::TempDir dir_{"evt-registrar"};
  platform::NotificationCenter center_;
  EVTCORApplication application_{center_};
  EVTCORRegistrar registrar_;
  EVTCORTransformer transformer_{registrar_, application_};
  std::shared_ptr<EVTCORFlatFileStorage> storage_;
};

TEST_F(TransportTest, RefusesAnEmptyMappingIDOrATargetBelowOne) {
  struct Case {
    const char* mappingID;
    std::int64_t target;
    bool valid;
  } cases[] = {{"", 1001, false}, {"137", 0, false}, {"137", -5, false}, {"137", 1, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mappingID) + " " + std::to_string(c.target));
    auto handle = EVTCORTransport::create(c.mappingID, {}, c.target, transformer_);
    EXPECT_EQ(handle != nullptr, c.valid);
  }
}

TEST_F(TransportTest, TelemetryEventIsStampedAndStoredAsACopy) {
  auto handle = transport();
  ASSERT_NE(handle, nullptr);
  EVTCOREvent event = payloadEvent(*handle, "payload");
  event.setQosTier(3);

  Awaited done;
  handle->sendTelemetryEvent(event, done.completion());
  StoreOutcome outcome;
  ASSERT_TRUE(done.get(outcome));
  EXPECT_TRUE(outcome.written);
  EXPECT_FALSE(outcome.error.has_value());

  // The caller's event only had its tier set.
  EXPECT_EQ(event.qosTier(), 1);
  EXPECT_FALSE(event.clockSnapshot().has_value());

  auto stored = storedEvents(1001);
  ASSERT_EQ(stored.size(), 1u);
  const auto& [name, copy] = *stored.begin();
  EXPECT_TRUE(name.starts_with(event.eventID() + "-1-")) << name;
  EXPECT_TRUE(name.ends_with("-137")) << name;
  EXPECT_EQ(copy.eventID(), event.eventID());
  EXPECT_EQ(copy.qosTier(), 1);
  EXPECT_TRUE(copy.clockSnapshot().has_value());
  EXPECT_EQ(copy.serializedDataObjectBytes(), std::optional<std::string>("payload"));
}

TEST_F(TransportTest, DataEventKeepsTheProducersTierAndLeavesTheCallersEventAlone) {
  auto handle = transport();
  EVTCOREvent event = payloadEvent(*handle, "data");
  event.setQosTier(5);
  const EVTCOREvent before = event;

  Awaited done;
  handle->sendDataEvent(event, done.completion());
  StoreOutcome outcome;
  ASSERT_TRUE(done.get(outcome));
  EXPECT_TRUE(outcome.written);
  EXPECT_EQ(event, before);
  auto stored = storedEvents(1001);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_TRUE(stored.begin()->first.starts_with(event.eventID() + "-5-"));
}

TEST_F(TransportTest, TransformersRunInOrderAndTheirResultIsStored) {
  std::vector<std::string> order;
  EVTCORTransformerChain chain = {
      std::make_shared<FunctionTransformer>([&](EVTCOREvent e) -> std::optional<EVTCOREvent> {
        order.push_back("first");
        e.setEventCode(42);
        return e;
      }),
      std::make_shared<FunctionTransformer>([&](EVTCOREvent e) -> std::optional<EVTCOREvent> {
        order.push_back("second");
        e.setQosTier(e.eventCode() == 42 ? 0 : 2);
        return e;
      }),
  };
  auto handle = transport(std::move(chain));
  Awaited done;
  handle->sendDataEvent(payloadEvent(*handle, "x"), done.completion());
  StoreOutcome outcome;
  ASSERT_TRUE(done.get(outcome));
  EXPECT_TRUE(outcome.written);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
  auto stored = storedEvents(1001);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored.begin()->second.eventCode(), std::optional<std::int64_t>(42));
  EXPECT_EQ(stored.begin()->second.qosTier(), 0);
}

TEST_F(TransportTest, DroppedOrUntransformableEventIsNotStored) {
  auto keep = std::make_shared<FunctionTransformer>([](EVTCOREvent e) { return e; });
  auto drop = std::make_shared<FunctionTransformer>(
      [](EVTCOREvent) -> std::optional<EVTCOREvent> { return std::nullopt; });
  struct Case {
    const char* name;
    EVTCORTransformerChain chain;
  } cases[] = {
      {"second drops", {keep, drop}},
      {"first cannot transform", {nullptr, keep}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto handle = transport(c.chain);
    Awaited done;
    handle->sendDataEvent(payloadEvent(*handle, "x"), done.completion());
    StoreOutcome outcome;
    ASSERT_TRUE(done.get(outcome));
    EXPECT_FALSE(outcome.written);
    EXPECT_FALSE(outcome.error.has_value());
    EXPECT_TRUE(storedEvents(1001).empty());
  }
}

TEST_F(TransportTest, TargetWithoutStorageReportsAnError) {
  auto handle = transport({}, 7);
  ASSERT_NE(handle, nullptr);
  Awaited done;
  handle->sendDataEvent(payloadEvent(*handle, "x"), done.completion());
  StoreOutcome outcome;
  ASSERT_TRUE(done.get(outcome));
  EXPECT_FALSE(outcome.written);
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->domain, "EVTCORTransformer");
}

TEST_F(TransportTest, StorageErrorReachesTheSender) {
  // A file where the storage's directory must go.
  storage_ = std::make_shared<EVTCORFlatFileStorage>(dir_.path() / "blocked", nullptr);
  { std::ofstream(dir_.path() / "blocked") << "not a directory"; }
  registrar_.registerStorage(storage_, 1001);
  auto handle = transport();
  Awaited done;
  handle->sendDataEvent(payloadEvent(*handle, "x"), done.completion());
  StoreOutcome outcome;
  ASSERT_TRUE(done.get(outcome));
  EXPECT_FALSE(outcome.written);
  EXPECT_TRUE(outcome.error.has_value());
}

TEST(TransformerTest, EventsAreStoredInTheOrderSentAndTerminateWaitsForThem) {
  EVTCORRegistrar registrar;
  platform::NotificationCenter center;
  EVTCORApplication application(center);
  EVTCORTransformer transformer(registrar, application);
  auto storage = std::make_shared<RecordingStorage>();
  registrar.registerStorage(storage, 1001);
  auto handle = EVTCORTransport::create("137", {}, 1001, transformer);
  std::vector<std::string> sent;
  for (int i = 0; i < 50; ++i) {
    auto event = handle->eventForTransport();
    event->setDataObject(std::make_shared<EVTCORDataBytes>(std::to_string(i)));
    sent.push_back(event->eventID());
    handle->sendTelemetryEvent(*event);
  }
  transformer.appWillTerminate(application);
  std::vector<std::string> stored;
  for (const auto& event : storage->stored()) stored.push_back(event.eventID());
  EXPECT_EQ(stored, sent);
}

}  // namespace
}  // namespace vandrel::analytics
