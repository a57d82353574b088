#include "analytics/transport/evt_flat_file_storage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "analytics/transport/evt_archive.h"
#include "platform/sync.h"

namespace vandrel::analytics {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Error;

// Waits for a completion; a missing call fails the test instead of hanging.
template <typename T>
T await(std::future<T>& future) {
  if (future.wait_for(10s) != std::future_status::ready) {
    throw std::runtime_error("the completion was not called in time");
  }
  return future.get();
}

class EVTCORFlatFileStorageTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/evt_storage_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    storage_ = std::make_unique<EVTCORFlatFileStorage>(
        dir_ / "gryphon-sdks-events",
        [this](std::int64_t target) {
          platform::MutexLock lock(mutex_);
          forced_.push_back(target);
        },
        clock_);
  }
  void TearDown() override {
    storage_.reset();
    fs::remove_all(dir_);
  }

  EVTCOREvent event(std::string mappingID = "137", std::int64_t target = kEVTCORTargetFLL,
                    std::int64_t tier = 3) {
    auto e = EVTCOREvent::initWithMappingID(std::move(mappingID), target, clock_);
    e->setDataObject(std::make_shared<EVTCORDataBytes>("payload"));
    e->setQosTier(tier);
    return *e;
  }

  std::pair<bool, std::optional<Error>> store(std::optional<EVTCOREvent> e) {
    auto p = std::make_shared<std::promise<std::pair<bool, std::optional<Error>>>>();
    auto f = p->get_future();
    storage_->storeEvent(std::move(e), [p](bool ok, std::optional<Error> error) {
      p->set_value({ok, std::move(error)});
    });
    return await(f);
  }

  std::pair<std::optional<std::int64_t>, std::optional<std::vector<EVTCOREvent>>> batch(
      EVTCORStorageEventSelector selector, platform::WallTime expiration = {}) {
    using R = std::pair<std::optional<std::int64_t>, std::optional<std::vector<EVTCOREvent>>>;
    auto p = std::make_shared<std::promise<R>>();
    auto f = p->get_future();
    if (expiration == platform::WallTime{}) expiration = clock_.wallNow() + 600s;
    storage_->batchWithEventSelector(std::move(selector), expiration,
                                     [p](auto id, auto events) { p->set_value({id, events}); });
    return await(f);
  }

  void removeBatch(std::int64_t id, bool deleteEvents) {
    auto p = std::make_shared<std::promise<void>>();
    auto f = p->get_future();
    storage_->removeBatchWithID(id, deleteEvents, [p] { p->set_value(); });
    await(f);
  }

  std::optional<std::set<std::int64_t>> batchIDs(std::int64_t target) {
    auto p = std::make_shared<std::promise<std::optional<std::set<std::int64_t>>>>();
    auto f = p->get_future();
    storage_->batchIDsForTarget(target, [p](auto ids) { p->set_value(ids); });
    return await(f);
  }

  bool hasEvents(std::int64_t target) {
    auto p = std::make_shared<std::promise<bool>>();
    auto f = p->get_future();
    storage_->hasEventsForTarget(target, [p](bool any) { p->set_value(any); });
    return await(f);
  }

  void drain() { storage_->storageQueue().sync([] {}); }

  std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> out;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      if (e.is_regular_file()) out.push_back(e.path());
    }
    return out;
  }
  fs::path targetDir(std::int64_t target) {
    return storage_->eventDataStoragePath() / std::to_string(target);
  }

  fs::path dir_;
  platform::ManualClock clock_{platform::WallTime{} + 1700000000s};
  platform::Mutex mutex_;
  std::vector<std::int64_t> forced_ VANDREL_GUARDED_BY(mutex_);
  std::unique_ptr<EVTCORFlatFileStorage> storage_;
};

TEST_F(EVTCORFlatFileStorageTest, StoredEventLiesInItsTargetDirectoryUnderANameOfItsRoutingData) {
  const EVTCOREvent e = event("137", kEVTCORTargetFLL, 1);
  const auto [ok, error] = store(e);
  ASSERT_TRUE(ok) << (error ? error->message : "");
  const fs::path expected = dir_ / "gryphon-sdks-events" / "EVTCORFlatFileStorage" /
                            "evt_event_data" / "1001" /
                            (e.eventID() + "-1-" + std::to_string(1700000000 + 604800) + "-137");
  ASSERT_TRUE(fs::exists(expected)) << expected;
  auto decoded = EVTCORReadArchive<EVTCOREvent>(expected);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded.value(), e);
}

TEST_F(EVTCORFlatFileStorageTest, EventsWithoutPayloadOrWithUnsafeIDsAreRefused) {
  auto [ok, error] = store(std::nullopt);
  EXPECT_FALSE(ok);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, "NSInternalInconsistencyException");
  EXPECT_EQ(error->code, -1);

  auto bare = EVTCOREvent::initWithMappingID("137", kEVTCORTargetFLL);
  EXPECT_FALSE(store(bare).first);

  for (const char* id : {"../../escape", "A-B", ".hidden", ""}) {
    SCOPED_TRACE(id);
    EVTCOREvent e = event();
    e.setEventID(id);
    EXPECT_FALSE(store(e).first);
  }
  EXPECT_TRUE(filesIn(dir_).empty());
}

TEST_F(EVTCORFlatFileStorageTest, OnlyTierFourForcesAnUploadOfItsTarget) {
  ASSERT_TRUE(store(event("137", kEVTCORTargetCSH, 3)).first);
  ASSERT_TRUE(store(event("137", kEVTCORTargetCSH, 4)).first);
  drain();
  platform::MutexLock lock(mutex_);
  EXPECT_EQ(forced_, std::vector<std::int64_t>{kEVTCORTargetCSH});
}

TEST_F(EVTCORFlatFileStorageTest, EventFileNamesParse) {
  struct Case {
    const char* name;
    bool ok;
    const char* mappingID;
  } cases[] = {
      {"ABC-3-1700000000-137", true, "137"},
      {"ABC-3-1700000000-a-b-c", true, "a-b-c"},
      {"ABC-3-1700000000", false, ""},
      {"ABC-x-1700000000-137", false, ""},
      {"ABC-3-soon-137", false, ""},
      {"ABC-3-1700000000-", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto parts = EVTCORFlatFileStorage::eventComponentsFromFilename(c.name);
    ASSERT_EQ(parts.ok(), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(parts.value().eventID, "ABC");
    EXPECT_EQ(parts.value().qosTier, 3);
    EXPECT_EQ(parts.value().expiration, platform::WallTime{} + 1700000000s);
    EXPECT_EQ(parts.value().mappingID, c.mappingID);
  }
  for (const char* bad : {"1001-5", "1001-5-17-1", "x-5-17", "1001-5-soon"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(EVTCORFlatFileStorage::batchComponentsFromFilename(bad).ok());
  }
  auto batch = EVTCORFlatFileStorage::batchComponentsFromFilename("1001-7-1700000600");
  ASSERT_TRUE(batch.ok());
  EXPECT_EQ(batch.value().target, 1001);
  EXPECT_EQ(batch.value().batchID, 7);
}

TEST_F(EVTCORFlatFileStorageTest, MappingIDsWithDashesAndSlashesRoundTripThroughSelection) {
  const EVTCOREvent dashed = event("a-b/c d");
  const EVTCOREvent plain = event("137");
  ASSERT_TRUE(store(dashed).first);
  ASSERT_TRUE(store(plain).first);
  EXPECT_EQ(filesIn(targetDir(kEVTCORTargetFLL)).size(), 2u);  // no stray sub-directory

  auto [id, events] = batch(EVTCORStorageEventSelector(
      kEVTCORTargetFLL, std::nullopt, std::set<std::string>{"a-b/c d"}, std::nullopt));
  ASSERT_TRUE(events.has_value());
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(events->front(), dashed);
}

TEST_F(EVTCORFlatFileStorageTest, BatchesMoveSelectedFilesAndGetConsecutiveIDs) {
  const EVTCOREvent telemetry = event("137", kEVTCORTargetFLL, 1);
  const EVTCOREvent normal = event("137", kEVTCORTargetFLL, 3);
  ASSERT_TRUE(store(telemetry).first);
  ASSERT_TRUE(store(normal).first);

  auto [first, firstEvents] = batch(EVTCORStorageEventSelector(
      kEVTCORTargetFLL, std::nullopt, std::nullopt, std::set<std::int64_t>{1}));
  ASSERT_EQ(first, 0);
  ASSERT_EQ(firstEvents->size(), 1u);
  EXPECT_EQ(firstEvents->front(), telemetry);

  auto [second, secondEvents] = batch(EVTCORStorageEventSelector(
      kEVTCORTargetFLL, std::set<std::string>{normal.eventID()}, std::nullopt, std::nullopt));
  ASSERT_EQ(second, 1);
  ASSERT_EQ(secondEvents->size(), 1u);
  EXPECT_TRUE(filesIn(targetDir(kEVTCORTargetFLL)).empty());
  EXPECT_EQ(filesIn(storage_->batchDataStoragePath()).size(), 2u);
  EXPECT_EQ(batchIDs(kEVTCORTargetFLL), (std::set<std::int64_t>{0, 1}));
  EXPECT_EQ(batchIDs(kEVTCORTargetHUB), std::set<std::int64_t>{});

  // Nothing left to select: (none, none), though the counter still moves.
  auto [none, noEvents] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL));
  EXPECT_FALSE(none.has_value());
  EXPECT_FALSE(noEvents.has_value());

  fs::remove(storage_->libraryDataStoragePath() / "EVTCORFlatFileStorageBatchIDCounter");
  ASSERT_TRUE(store(event()).first);
  EXPECT_EQ(batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL)).first, 0);
}

TEST_F(EVTCORFlatFileStorageTest, BatchCounterWrapsInsteadOfRepeatingTheLastID) {
  std::uint32_t counter = 0xFFFFFFFF;
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &counter, 4);
  auto p = std::make_shared<std::promise<std::optional<Error>>>();
  auto f = p->get_future();
  storage_->storeLibraryData(bytes, "EVTCORFlatFileStorageBatchIDCounter",
                             [p](auto error) { p->set_value(error); });
  ASSERT_FALSE(await(f).has_value());

  ASSERT_TRUE(store(event()).first);
  auto [big, events] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL));
  EXPECT_EQ(big, 4294967295);
  EXPECT_EQ(batchIDs(kEVTCORTargetFLL), std::set<std::int64_t>{4294967295});
  ASSERT_TRUE(store(event()).first);
  EXPECT_EQ(batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL)).first, 0);
}

TEST_F(EVTCORFlatFileStorageTest, UndecodableAndMisnamedFilesAreHandled) {
  const fs::path dir = targetDir(kEVTCORTargetHUB);
  fs::create_directories(dir);
  std::ofstream(dir / "ABC-3-1700604800-137") << "{broken";
  std::ofstream(dir / "DEF-3-1700604800-138") << "";
  auto [id, events] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetHUB));
  EXPECT_FALSE(id.has_value());
  EXPECT_FALSE(events.has_value());
  EXPECT_TRUE(filesIn(dir).empty());
  EXPECT_TRUE(filesIn(storage_->batchDataStoragePath()).empty());

  // A three-part name is skipped by filtered selection; a hidden file is
  // never selected but still counts as something stored.
  const EVTCOREvent e = event("137", kEVTCORTargetHUB);
  ASSERT_TRUE(EVTCORWriteArchive(e, dir / "ABC-3-1700604800").ok());
  ASSERT_TRUE(EVTCORWriteArchive(e, dir / ".hidden").ok());
  auto filtered = batch(EVTCORStorageEventSelector(kEVTCORTargetHUB, std::nullopt, std::nullopt,
                                                   std::set<std::int64_t>{3}));
  EXPECT_FALSE(filtered.second.has_value());
  fs::remove(dir / "ABC-3-1700604800");
  EXPECT_FALSE(batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetHUB)).second);
  EXPECT_TRUE(hasEvents(kEVTCORTargetHUB));
  EXPECT_FALSE(hasEvents(kEVTCORTargetCSH));
}

TEST_F(EVTCORFlatFileStorageTest, RemovingABatchDeletesOrReturnsItsEvents) {
  ASSERT_TRUE(store(event()).first);
  ASSERT_TRUE(store(event()).first);
  auto [kept, keptEvents] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL));
  ASSERT_TRUE(kept.has_value());
  removeBatch(*kept, false);
  EXPECT_EQ(filesIn(targetDir(kEVTCORTargetFLL)).size(), 2u);
  EXPECT_TRUE(fs::is_empty(storage_->batchDataStoragePath()));

  auto [sent, sentEvents] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL));
  ASSERT_EQ(sentEvents->size(), 2u);
  removeBatch(*sent, true);
  EXPECT_TRUE(filesIn(dir_ / "gryphon-sdks-events" / "EVTCORFlatFileStorage" / "evt_event_data").empty());
  EXPECT_TRUE(fs::is_empty(storage_->batchDataStoragePath()));
  EXPECT_FALSE(batchIDs(kEVTCORTargetFLL).has_value());
}

TEST_F(EVTCORFlatFileStorageTest, ExpirySweepReturnsExpiredBatchesAndDeletesExpiredEvents) {
  EVTCOREvent shortLived = event();
  shortLived.setExpirationDate(clock_.wallNow() + 100s);
  ASSERT_TRUE(store(shortLived).first);
  ASSERT_TRUE(store(event()).first);
  auto [id, events] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL),
                            clock_.wallNow() + 50s);
  ASSERT_TRUE(id.has_value());

  storage_->checkForExpirations();
  drain();
  EXPECT_EQ(filesIn(storage_->batchDataStoragePath()).size(), 2u);  // nothing due yet

  clock_.setWall(clock_.wallNow() + 60s);
  storage_->checkForExpirations();
  drain();
  EXPECT_TRUE(fs::is_empty(storage_->batchDataStoragePath()));
  EXPECT_EQ(filesIn(targetDir(kEVTCORTargetFLL)).size(), 2u);

  clock_.setWall(clock_.wallNow() + 60s);
  storage_->checkForExpirations();
  drain();
  const auto left = filesIn(targetDir(kEVTCORTargetFLL));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left.front().filename().string().find(shortLived.eventID()), std::string::npos);
}

TEST_F(EVTCORFlatFileStorageTest, LibraryDataStoresFetchesUpdatesAndRemoves) {
  auto fetch = [&](const std::string& key, EVTCORLibraryDataNewValue next = nullptr) {
    auto p = std::make_shared<std::promise<std::optional<std::string>>>();
    auto f = p->get_future();
    storage_->libraryDataForKey(key, [p](auto data, auto) { p->set_value(data); }, next);
    return await(f);
  };
  auto storeData = [&](std::optional<std::string> data, const std::string& key) {
    auto p = std::make_shared<std::promise<std::optional<Error>>>();
    auto f = p->get_future();
    storage_->storeLibraryData(std::move(data), key, [p](auto error) { p->set_value(error); });
    return await(f);
  };
  auto remove = [&](const std::string& key) {
    auto p = std::make_shared<std::promise<std::optional<Error>>>();
    auto f = p->get_future();
    storage_->removeLibraryDataForKey(key, [p](auto error) { p->set_value(error); });
    return await(f);
  };

  EXPECT_FALSE(fetch("k").has_value());
  EXPECT_FALSE(storeData("v1", "k").has_value());
  EXPECT_EQ(fetch("k", [] { return std::optional<std::string>("v2"); }), "v1");
  EXPECT_EQ(fetch("k", [] { return std::optional<std::string>(); }), "v2");
  EXPECT_EQ(fetch("k", [] { return std::optional<std::string>(""); }), "v2");
  EXPECT_EQ(fetch("k"), "v2");

  auto empty = storeData(std::string(), "k");
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->domain, "NSInternalInconsistencyException");
  EXPECT_TRUE(storeData("x", "../escape").has_value());
  EXPECT_FALSE(fs::exists(storage_->libraryDataStoragePath().parent_path() / "escape"));

  EXPECT_FALSE(remove("k").has_value());
  EXPECT_FALSE(fetch("k").has_value());
  EXPECT_FALSE(remove("k").has_value());  // already gone: still answered
}

TEST_F(EVTCORFlatFileStorageTest, StorageSizeSumsEveryFile) {
  ASSERT_TRUE(store(event()).first);
  ASSERT_TRUE(store(event()).first);
  ASSERT_TRUE(batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL)).first);
  ASSERT_TRUE(store(event()).first);
  std::uint64_t expected = 0;
  for (const auto& f : filesIn(dir_)) expected += fs::file_size(f);
  auto p = std::make_shared<std::promise<std::uint64_t>>();
  auto f = p->get_future();
  storage_->storageSizeWithCallback([p](std::uint64_t size) { p->set_value(size); });
  EXPECT_EQ(await(f), expected);
  EXPECT_GT(expected, 0u);
}

}  // namespace
}  // namespace vandrel::analytics
