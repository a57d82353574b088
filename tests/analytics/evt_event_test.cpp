#include "analytics/transport/evt_event.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "analytics/transport/evt_archive.h"
#include "analytics/transport/evt_log.h"
#include "platform/clock.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;

bool isEventID(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

EVTCOREvent makeEvent(const platform::Clock& clock = platform::SystemClock::shared()) {
  auto event = EVTCOREvent::initWithMappingID("137", kEVTCORTargetFLL, clock);
  EXPECT_TRUE(event.has_value());
  return *event;
}

// A payload whose bytes change between reads, to show when they are re-read.
class CountingPayload final : public EVTCOREventDataObject {
 public:
  std::string transportBytes() const override { return "read " + std::to_string(++reads_); }
  mutable int reads_ = 0;
};

TEST(EVTCOREventTest, ConstructionRefusesEmptyMappingIDAndTargetsBelowOne) {
  struct Case {
    const char* mappingID;
    std::int64_t target;
    bool valid;
  } cases[] = {{"", 1000, false}, {"137", 0, false}, {"137", -5, false}, {"137", 1, true},
               {"137", kEVTCORTargetCSH, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mappingID) + " / " + std::to_string(c.target));
    EXPECT_EQ(EVTCOREvent::initWithMappingID(c.mappingID, c.target).has_value(), c.valid);
  }
}

TEST(EVTCOREventTest, NewEventHasDefaultsAndExpiresInSevenDays) {
  platform::ManualClock clock;
  const EVTCOREvent event = makeEvent(clock);
  EXPECT_TRUE(isEventID(event.eventID())) << event.eventID();
  EXPECT_EQ(event.mappingID(), "137");
  EXPECT_EQ(event.target(), kEVTCORTargetFLL);
  EXPECT_EQ(event.qosTier(), 3);
  EXPECT_EQ(event.expirationDate(), clock.wallNow() + 604800s);
  EXPECT_FALSE(event.clockSnapshot().has_value());
  EXPECT_FALSE(event.customBytes().has_value());
  EXPECT_FALSE(event.serializedDataObjectBytes().has_value());
}

TEST(EVTCOREventTest, EventIDsAreUpperHexVersionFourUUIDsAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = EVTCOREvent::nextEventID();
    ASSERT_TRUE(isEventID(id)) << id;
    EXPECT_EQ(id[12], '4') << id;
    EXPECT_TRUE(seen.insert(id).second) << id;
  }
}

TEST(EVTCOREventTest, SettingTheDataObjectReReadsItsBytes) {
  EVTCOREvent event = makeEvent();
  auto payload = std::make_shared<CountingPayload>();
  event.setDataObject(payload);
  EXPECT_EQ(event.serializedDataObjectBytes(), "read 1");
  event.setDataObject(payload);
  EXPECT_EQ(event.serializedDataObjectBytes(), "read 2");
  event.setDataObject(nullptr);
  EXPECT_FALSE(event.serializedDataObjectBytes().has_value());
}

TEST(EVTCOREventTest, CopyKeepsIdentityAndPayloadButGetsAFreshExpiry) {
  platform::ManualClock clock;
  EVTCOREvent event = makeEvent(clock);
  event.setDataObject(std::make_shared<EVTCORDataBytes>(std::string("\0payload", 8)));
  event.setQosTier(4);
  event.setClockSnapshot(EVTCORClock(1, 2, 3, 4));
  event.setEventCode(42);
  clock.setWall(clock.wallNow() + 1h);

  const EVTCOREvent copy = event.copy(clock);
  EXPECT_EQ(copy.eventID(), event.eventID());
  EXPECT_EQ(copy.serializedDataObjectBytes(), event.serializedDataObjectBytes());
  EXPECT_EQ(copy.qosTier(), 4);
  EXPECT_EQ(copy.clockSnapshot(), event.clockSnapshot());
  EXPECT_EQ(copy.customBytes(), event.customBytes());
  EXPECT_EQ(copy.expirationDate(), event.expirationDate() + 1h);
  EXPECT_EQ(copy.expirationDate(), clock.wallNow() + 604800s);
  EXPECT_EQ(copy, event);
  EXPECT_EQ(copy.hash(), event.hash());
}

TEST(EVTCOREventTest, CopyOfADecodedEventKeepsItsPayload) {
  EVTCOREvent event = makeEvent();
  event.setDataObject(std::make_shared<EVTCORDataBytes>("bytes"));
  auto decoded = EVTCORReadArchive<EVTCOREvent>({}, EVTCORWriteArchive(event, {}).value());
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded.value().copy().serializedDataObjectBytes(), "bytes");
}

TEST(EVTCOREventTest, EqualityComparesFieldsNotJustHashes) {
  EVTCOREvent a = makeEvent();
  EVTCOREvent b = a;
  EXPECT_EQ(a, b);
  b.setEventID(EVTCOREvent::nextEventID());
  EXPECT_NE(a, b);
  // Swapped fields give the same XOR hash, yet are different clocks.
  const EVTCORClock one(5, 7, 100, 200);
  const EVTCORClock swapped(7, 5, 200, 100);
  EXPECT_EQ(one.hash(), swapped.hash());
  EXPECT_FALSE(one == swapped);
}

TEST(EVTCORClockTest, IsAfterComparesBootTimesFirstThenMillisPlusOffset) {
  struct Case {
    const char* name;
    EVTCORClock receiver;
    EVTCORClock other;
    bool after;
  } cases[] = {
      {"later boot wins over an earlier wall clock", {1000, 0, 20, 0}, {9000, 0, 10, 0}, true},
      {"earlier boot loses over a later wall clock", {9000, 0, 10, 0}, {1000, 0, 20, 0}, false},
      {"same boot, later millis", {2000, 0, 10, 0}, {1000, 0, 10, 0}, true},
      {"same boot, equal sums", {1000, 0, 10, 0}, {1000, 0, 10, 0}, false},
      // Seconds of offset are added to milliseconds as they stand.
      {"same boot, offset tips the sum", {1000, 5, 10, 0}, {1004, 0, 10, 0}, true},
      {"same boot, offset not enough", {1000, 3, 10, 0}, {1004, 0, 10, 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.receiver.isAfter(c.other), c.after);
  }
}

TEST(EVTCORClockTest, SnapshotInTheFutureIsAfterOneTakenAtTheSameMoment) {
  platform::ManualClock clock;
  const EVTCORClock now = EVTCORClock::snapshot(clock);
  const EVTCORClock future = EVTCORClock::clockSnapshotInTheFuture(900000, clock);
  EXPECT_EQ(future.timeMillis(), now.timeMillis() + 900000);
  EXPECT_TRUE(future.isAfter(now));
  EXPECT_FALSE(now.isAfter(future));
}

TEST(EVTCORClockTest, SnapshotReadsTheWallClockAndTheKernelBootTime) {
  platform::ManualClock clock(platform::WallTime{} + 1700000000123456us);
  const EVTCORClock snap = EVTCORClock::snapshot(clock);
  EXPECT_EQ(snap.timeMillis(), 1700000000123);

  std::ifstream stat("/proc/stat");
  std::string key;
  long long btime = 0;
  while (stat >> key) {
    if (key == "btime") {
      stat >> btime;
      break;
    }
  }
  ASSERT_GT(btime, 0);
  EXPECT_EQ(snap.kernelBootTime(), btime * 1000000);
  EXPECT_EQ(snap.uptime(), 1700000000123456 - btime * 1000000);
}

TEST(EVTCORClockTest, TimezoneOffsetIsTakenAtTheReferenceDate) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  // POSIX TZ signs are inverted: "UTC-3" is three hours east of GMT.
  setenv("TZ", "UTC-3", 1);
  tzset();
  const EVTCORClock snap = EVTCORClock::snapshot();
  if (previous) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  EXPECT_EQ(snap.timezoneOffsetSeconds(), 3 * 3600);
}

class EVTCOREventCustomBytesTest : public testing::Test {
 protected:
  EVTCOREvent event_ = makeEvent();
};

TEST_F(EVTCOREventCustomBytesTest, NetworkInfoFlagSetsAndReads) {
  EXPECT_FALSE(event_.needsNetworkConnectionInfoPopulated());
  event_.setNeedsNetworkConnectionInfoPopulated(true);
  EXPECT_TRUE(event_.needsNetworkConnectionInfoPopulated());
  EXPECT_EQ(event_.customBytes(), R"({"needs_network_connection_info":true})");
}

TEST_F(EVTCOREventCustomBytesTest, ClearingTheFlagAloneLeavesItSet) {
  event_.setNeedsNetworkConnectionInfoPopulated(false);
  EXPECT_FALSE(event_.customBytes().has_value());
  event_.setNeedsNetworkConnectionInfoPopulated(true);
  event_.setNeedsNetworkConnectionInfoPopulated(false);
  EXPECT_TRUE(event_.needsNetworkConnectionInfoPopulated());
}

TEST_F(EVTCOREventCustomBytesTest, ClearingTheFlagWithAnEventCodeKeepsOnlyTheCode) {
  event_.setNeedsNetworkConnectionInfoPopulated(true);
  event_.setNetworkConnectionInfoData("0123456789abcdef");
  event_.setEventCode(17);
  event_.setNeedsNetworkConnectionInfoPopulated(false);
  EXPECT_EQ(event_.customBytes(), R"({"event_code_info":"17"})");
  EXPECT_FALSE(event_.needsNetworkConnectionInfoPopulated());
  EXPECT_EQ(event_.eventCode(), 17);
}

TEST_F(EVTCOREventCustomBytesTest, NetworkInfoIsStoredAsBase64AndReadBack) {
  const std::string record("\x00\x01\xfe\xff" "abcdefghijkl", 16);
  event_.setNetworkConnectionInfoData(record);
  EXPECT_EQ(event_.networkConnectionInfoData(), record);
  EXPECT_NE(event_.customBytes()->find("AAH+/2FiY2RlZmdoaWprbA=="), std::string::npos);
  event_.setNetworkConnectionInfoData("");  // yields no Base64: nothing happens
  EXPECT_EQ(event_.networkConnectionInfoData(), record);
}

TEST_F(EVTCOREventCustomBytesTest, EventCodeSetsRemovesAndKeepsOtherKeys) {
  EXPECT_FALSE(event_.eventCode().has_value());
  event_.setEventCode(-3);
  EXPECT_EQ(event_.eventCode(), -3);
  event_.setNeedsNetworkConnectionInfoPopulated(true);
  event_.setEventCode(std::nullopt);
  EXPECT_FALSE(event_.eventCode().has_value());
  EXPECT_TRUE(event_.needsNetworkConnectionInfoPopulated());
}

TEST_F(EVTCOREventCustomBytesTest, UnparseableCustomBytesAreLeftAloneAndReadAsAbsent) {
  for (const std::string bad : {"{not json", "[1,2]", "\"text\"", "{\"event_code_info\":5}"}) {
    SCOPED_TRACE(bad);
    event_.setCustomBytes(bad);
    EXPECT_FALSE(event_.needsNetworkConnectionInfoPopulated());
    EXPECT_FALSE(event_.networkConnectionInfoData().has_value());
    EXPECT_FALSE(event_.eventCode().has_value());
    if (bad.front() == '{' && bad.back() == '}') continue;  // a valid object: writers may add
    event_.setNeedsNetworkConnectionInfoPopulated(true);
    event_.setNetworkConnectionInfoData("x");
    event_.setEventCode(1);
    event_.setEventCode(std::nullopt);
    EXPECT_EQ(event_.customBytes(), bad);
  }
}

class EVTCORConsoleLogTest : public testing::Test {
 protected:
  void SetUp() override {
    EVTCORSetConsoleLogSink([this](std::string_view line) { lines_.emplace_back(line); });
  }
  void TearDown() override {
    EVTCORSetConsoleLogSink(nullptr);
    EVTCORSetConsoleLogThreshold(4);
  }
  std::vector<std::string> lines_;
};

TEST_F(EVTCORConsoleLogTest, WritesPrefixAndCodeAndDropsLevelsBelowTheThreshold) {
  EXPECT_EQ(EVTCORConsoleLogThreshold(), 4);
  EVTCORLogDebug("dropped %d", 1);
  EVTCORConsoleLogf(kEVTCORMCUploadFailed, EVTCORLoggerLevel::Warning, "dropped too");
  EVTCORConsoleLogf(kEVTCORMCBatchEncoderError, EVTCORLoggerLevel::Error, "bad %s", "batch");
  EVTCORSetConsoleLogThreshold(1);
  EVTCORLogDebug("Event %s created.", "x");
  EVTCORConsoleLogf(kEVTCORMCUploadFailed, EVTCORLoggerLevel::Warning,
                    "There was an error uploading events: %s", "e");
  const std::vector<std::string> expected = {
      "[GryphonDataTransport][I-EVTCOR001006] bad batch",
      "[GryphonDataTransport][I-EVTCOR000000] Event x created.",
      "[GryphonDataTransport][I-EVTCOR000002] There was an error uploading events: e",
  };
  EXPECT_EQ(lines_, expected);
}

}  // namespace
}  // namespace vandrel::analytics
