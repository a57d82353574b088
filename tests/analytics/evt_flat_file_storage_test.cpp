#include "analytics/transport/evt_flat_file_storage.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

  // A lost counter starts again at 0, but passes over the IDs that batches
  // 0 and 1 still carry.
  fs::remove(storage_->libraryDataStoragePath() / "EVTCORFlatFileStorageBatchIDCounter");
  ASSERT_TRUE(store(event()).first);
  EXPECT_EQ(batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL)).first, 2);
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

// A delivered batch removes every directory of its ID, so a batch must never
// get an ID that a batch still on disk carries: not when the counter is lost
// (reads as 0) nor when it cannot be written (every batch would get 0).
TEST_F(EVTCORFlatFileStorageTest, ABatchNeverSharesItsIDWithABatchStillOnDisk) {
  const fs::path counter =
      storage_->libraryDataStoragePath() / "EVTCORFlatFileStorageBatchIDCounter";
  auto all = [](std::int64_t target) {
    return EVTCORStorageEventSelector::eventSelectorForTarget(target);
  };
  const struct {
    const char* name;
    void (*breakCounter)(const fs::path&);
  } cases[] = {
      {"lost", [](const fs::path& p) { fs::remove(p); }},
      {"unwritable", [](const fs::path& p) { fs::remove(p); fs::create_directory(p); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(counter);
    // A HUB batch left behind (say the process died during its upload).
    ASSERT_TRUE(store(event("137", kEVTCORTargetHUB)).first);
    const auto leftover = batch(all(kEVTCORTargetHUB)).first;
    ASSERT_TRUE(leftover.has_value());
    c.breakCounter(counter);

    ASSERT_TRUE(store(event("137", kEVTCORTargetFLL)).first);
    const auto sent = batch(all(kEVTCORTargetFLL)).first;
    ASSERT_TRUE(sent.has_value());
    EXPECT_NE(*sent, *leftover);
    removeBatch(*sent, true);  // delivered
    EXPECT_EQ(batchIDs(kEVTCORTargetHUB), std::set<std::int64_t>{*leftover});
    EXPECT_EQ(filesIn(storage_->batchDataStoragePath()).size(), 1u);
    removeBatch(*leftover, true);
    fs::remove_all(counter);
  }
}

// Delivering a batch deletes what its directory holds; an event that could
// not be moved there would stay in storage and go out again next time.
TEST_F(EVTCORFlatFileStorageTest, AnEventThatCannotBeMovedIntoTheBatchIsNotBatched) {
  ASSERT_TRUE(store(event()).first);
  const fs::path batches = storage_->batchDataStoragePath();
  fs::remove(batches);
  std::ofstream(batches) << "not a directory";
  auto [id, events] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL));
  EXPECT_FALSE(events.has_value());
  EXPECT_FALSE(id.has_value());
  EXPECT_EQ(filesIn(targetDir(kEVTCORTargetFLL)).size(), 1u);
  EXPECT_TRUE(hasEvents(kEVTCORTargetFLL));
}

// Opening a FIFO for reading waits for a writer: one put where the storage
// expects a file must not stall its queue (and every caller behind it).
TEST_F(EVTCORFlatFileStorageTest, AFIFOInAFilesPlaceNeverStallsTheQueue) {
  const struct {
    const char* name;
    fs::path (*where)(EVTCORFlatFileStorage&);
  } cases[] = {
      {"event file", [](EVTCORFlatFileStorage& s) {
         return s.eventDataStoragePath() / "1001" / "ABC-3-1800000000-137";
       }},
      {"batch counter", [](EVTCORFlatFileStorage& s) {
         return s.libraryDataStoragePath() / "EVTCORFlatFileStorageBatchIDCounter";
       }},
      {"library key", [](EVTCORFlatFileStorage& s) { return s.libraryDataStoragePath() / "k"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path fifo = c.where(*storage_);
    fs::create_directories(fifo.parent_path());
    fs::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(store(event()).first);

    auto batched = std::make_shared<std::promise<std::size_t>>();
    storage_->batchWithEventSelector(
        EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL),
        clock_.wallNow() + 600s,
        [batched](auto, auto events) { batched->set_value(events ? events->size() : 0); });
    auto fetched = std::make_shared<std::promise<bool>>();
    storage_->libraryDataForKey(
        "k", [fetched](auto data, auto) { fetched->set_value(data.has_value()); }, nullptr);
    auto batchDone = batched->get_future();
    auto fetchDone = fetched->get_future();
    const bool finished = batchDone.wait_for(5s) == std::future_status::ready &&
                          fetchDone.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(finished);
    if (!finished) {
      // Lets a reader stuck in open() go on, so the fixture can end.
      for (int i = 0; i < 3; ++i) ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
      drain();
    } else {
      EXPECT_EQ(batchDone.get(), 1u);
      EXPECT_FALSE(fetchDone.get());
    }
    drain();
    fs::remove(fifo);
    for (const auto id : batchIDs(kEVTCORTargetFLL).value_or(std::set<std::int64_t>{})) {
      removeBatch(id, true);
    }
  }
}

// Expiries beyond the clock's range come from damaged or foreign names only;
// they must hold at the range's ends, not wrap (20000000000 s in nanoseconds
// wraps to a date in 2019, which the sweep would take for expired).
TEST_F(EVTCORFlatFileStorageTest, AnExpiryBeyondTheClocksRangeNeverWrapsAround) {
  const platform::WallTime now = clock_.wallNow();
  const struct {
    const char* name;
    bool batch;
    bool future;
  } cases[] = {
      {"ABC-3-20000000000-137", false, true}, {"ABC-3-9223372036854775807-137", false, true},
      {"ABC-3-1600000000-137", false, false},  {"1001-7-20000000000", true, true},
      {"1001-7-1e300", true, true},            {"1001-7-1.6e9", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto expiration =
        c.batch ? EVTCORFlatFileStorage::batchComponentsFromFilename(c.name).value().expiration
                : EVTCORFlatFileStorage::eventComponentsFromFilename(c.name).value().expiration;
    EXPECT_EQ(expiration > now, c.future);
  }
  const fs::path kept = targetDir(kEVTCORTargetFLL) / "ABC-3-20000000000-137";
  fs::create_directories(kept.parent_path());
  ASSERT_TRUE(EVTCORWriteArchive(event(), kept).ok());
  storage_->checkForExpirations();
  drain();
  EXPECT_TRUE(fs::exists(kept));
}

// The batch step reads back what was stored and deletes what it cannot
// read: an event too large for the reader must be refused when stored
// (completion NO), never stored and deleted unsent later.
TEST_F(EVTCORFlatFileStorageTest, AnEventTooLargeToReadBackIsRefusedWhenStored) {
  // The payload travels as Base64 (4 bytes for 3) beside about 400 bytes of
  // keys and routing data.
  const std::size_t fitting = kEVTCORMaxArchiveBytes / 4 * 3 - 768;
  const std::size_t tooLarge = kEVTCORMaxArchiveBytes / 4 * 3;
  for (const std::size_t size : {fitting, tooLarge}) {
    SCOPED_TRACE(size);
    EVTCOREvent e = event();
    e.setDataObject(std::make_shared<EVTCORDataBytes>(std::string(size, 'x')));
    const auto [stored, error] = store(e);
    const auto [id, events] = batch(EVTCORStorageEventSelector::eventSelectorForTarget(kEVTCORTargetFLL));
    if (size == fitting) {
      EXPECT_TRUE(stored);
      ASSERT_TRUE(events.has_value());
      ASSERT_EQ(events->size(), 1u);
      EXPECT_EQ(events->front().serializedDataObjectBytes()->size(), size);
      removeBatch(*id, true);
    } else {
      EXPECT_FALSE(stored);
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->code, EFBIG) << error->message;
      EXPECT_FALSE(events.has_value());
    }
    EXPECT_TRUE(filesIn(storage_->eventDataStoragePath()).empty());
    EXPECT_TRUE(filesIn(storage_->batchDataStoragePath()).empty());
  }
}

// The file name is what selection by tier and the expiry sweep read: an
// event whose name would not parse back would never leave the store.
TEST_F(EVTCORFlatFileStorageTest, AnEventWhoseNameWouldNotParseBackIsRefused) {
  EVTCOREvent negative = event("137", kEVTCORTargetFLL, -1);
  auto [ok, error] = store(negative);
  EXPECT_FALSE(ok);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, "NSInternalInconsistencyException");
  EXPECT_TRUE(filesIn(dir_).empty());
}

}  // namespace
}  // namespace vandrel::analytics
