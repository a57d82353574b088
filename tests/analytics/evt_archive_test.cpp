#include "analytics/transport/evt_archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "analytics/transport/evt_event.h"
#include "tests/support/named_pipe.h"

namespace vandrel::analytics {
namespace {

namespace fs = std::filesystem;

class EVTCORArchiveTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/evt_archive_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static EVTCOREvent fullEvent() {
    auto event = EVTCOREvent::initWithMappingID("137", kEVTCORTargetFLL);
    event->setDataObject(std::make_shared<EVTCORDataBytes>(std::string("\0\x01\xff payload", 11)));
    event->setQosTier(1);
    event->setClockSnapshot(EVTCORClock(1700000000123, 3600, 1690000000000000, 5000000));
    event->setEventCode(12);
    return *event;
  }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  fs::path dir_;
};

TEST_F(EVTCORArchiveTest, EventRoundTripsThroughAFileInNewParentDirectories) {
  const EVTCOREvent event = fullEvent();
  const fs::path path = dir_ / "a" / "b" / "event";
  auto bytes = EVTCORWriteArchive(event, path);
  ASSERT_TRUE(bytes.ok()) << bytes.error().message;
  EXPECT_EQ(read(path), bytes.value());

  auto decoded = EVTCORReadArchive<EVTCOREvent>(path);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded.value(), event);
  EXPECT_EQ(decoded.value().customBytes(), event.customBytes());
  EXPECT_EQ(decoded.value().eventCode(), 12);
  EXPECT_EQ(decoded.value().target(), kEVTCORTargetFLL);
  EXPECT_EQ(decoded.value().mappingID(), "137");
  // Dates are kept as seconds in a double: microseconds survive.
  EXPECT_NEAR(EVTCORSecondsSince1970(decoded.value().expirationDate()),
              EVTCORSecondsSince1970(event.expirationDate()), 1e-5);
  EXPECT_FALSE(decoded.value().dataObject());

  // No temporary file is left beside the archive.
  EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), {}), 1);
}

TEST_F(EVTCORArchiveTest, KeysAreWrittenInTheirFixedOrder) {
  const std::string text = EVTCORWriteArchive(fullEvent(), {}).value();
  const char* keys[] = {"\"format\"",
                        "\"class\":\"EVTCOREvent\"",
                        "EVTCOREventEventIDKey",
                        "EVTCOREventMappingIDKey",
                        "EVTCOREventTargetKey",
                        "EVTCOREventQoSTierKey",
                        "EVTCOREventClockSnapshotKey",
                        "EVTCORClockTimeMillis",
                        "EVTCORClockTimezoneOffsetSeconds",
                        "EVTCORClockKernelBootTime",
                        "EVTCORClockUptime",
                        "EVTCOREventCustomDataKey",
                        "EVTCOREventExpirationDateKey",
                        "EVTCOREventSerializedDataObjectBytesKey"};
  std::size_t at = 0;
  for (const char* key : keys) {
    const std::size_t found = text.find(key, at);
    ASSERT_NE(found, std::string::npos) << key << " after " << at << " in " << text;
    at = found;
  }
}

TEST_F(EVTCORArchiveTest, StoredEventAliasAndMissingEventIDDecode) {
  std::string text = EVTCORWriteArchive(fullEvent(), {}).value();
  text.replace(text.find("\"EVTCOREvent\""), 13, "\"EVTCORStoredEvent\"");
  auto alias = EVTCORReadArchive<EVTCOREvent>({}, text);
  ASSERT_TRUE(alias.ok()) << alias.error().message;

  const std::string noID =
      R"({"format":"vandrel.keyed-archive","version":1,"class":"EVTCOREvent","keys":{)"
      R"("EVTCOREventMappingIDKey":"137","EVTCOREventTargetKey":1001,)"
      R"("EVTCOREventSerializedDataObjectBytesKey":"cGF5bG9hZA=="}})";
  auto decoded = EVTCORReadArchive<EVTCOREvent>({}, noID);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded.value().eventID().size(), 32u);
  EXPECT_EQ(decoded.value().serializedDataObjectBytes(), "payload");
  EXPECT_EQ(decoded.value().qosTier(), 0);  // an absent integer reads as 0
  EXPECT_FALSE(decoded.value().clockSnapshot().has_value());
}

TEST_F(EVTCORArchiveTest, MalformedArchivesFailWithAClearError) {
  const std::string head =
      R"({"format":"vandrel.keyed-archive","version":1,"class":"EVTCOREvent","keys":)";
  const std::string good = EVTCORWriteArchive(fullEvent(), {}).value();
  struct Case {
    const char* name;
    std::string text;
    std::int64_t code;
  } cases[] = {
      {"empty", "", kEVTCORCoderReadCorruptError},
      {"truncated", good.substr(0, good.size() / 2), kEVTCORCoderReadCorruptError},
      {"not an object", "[1,2,3]", kEVTCORCoderReadCorruptError},
      {"other format", R"({"format":"x","version":1,"class":"EVTCOREvent","keys":{}})",
       kEVTCORCoderReadCorruptError},
      {"newer version", R"({"format":"vandrel.keyed-archive","version":2,"class":"EVTCOREvent","keys":{}})",
       kEVTCORCoderReadCorruptError},
      {"other class", R"({"format":"vandrel.keyed-archive","version":1,"class":"EVTCORClock","keys":{}})",
       kEVTCORCoderReadCorruptError},
      {"no payload",
       head + R"({"EVTCOREventMappingIDKey":"137","EVTCOREventTargetKey":1001}})",
       kEVTCORCoderValueNotFoundError},
      {"no mapping ID",
       head + R"({"EVTCOREventTargetKey":1001,"EVTCOREventSerializedDataObjectBytesKey":"eA=="}})",
       kEVTCORCoderValueNotFoundError},
      {"target as text",
       head + R"({"EVTCOREventMappingIDKey":"1","EVTCOREventTargetKey":"1001","EVTCOREventSerializedDataObjectBytesKey":"eA=="}})",
       kEVTCORCoderReadCorruptError},
      {"target zero",
       head + R"({"EVTCOREventMappingIDKey":"1","EVTCOREventTargetKey":0,"EVTCOREventSerializedDataObjectBytesKey":"eA=="}})",
       kEVTCORCoderReadCorruptError},
      {"payload not Base64",
       head + R"({"EVTCOREventMappingIDKey":"1","EVTCOREventTargetKey":1,"EVTCOREventSerializedDataObjectBytesKey":"e!=="}})",
       kEVTCORCoderReadCorruptError},
      {"tier fractional",
       head + R"({"EVTCOREventMappingIDKey":"1","EVTCOREventTargetKey":1,"EVTCOREventQoSTierKey":1.5,"EVTCOREventSerializedDataObjectBytesKey":"eA=="}})",
       kEVTCORCoderReadCorruptError},
      {"clock missing a key",
       head + R"({"EVTCOREventMappingIDKey":"1","EVTCOREventTargetKey":1,"EVTCOREventClockSnapshotKey":{"class":"EVTCORClock","keys":{"EVTCORClockTimeMillis":1}},"EVTCOREventSerializedDataObjectBytesKey":"eA=="}})",
       kEVTCORCoderValueNotFoundError},
      {"date as text",
       head + R"({"EVTCOREventMappingIDKey":"1","EVTCOREventTargetKey":1,"EVTCOREventExpirationDateKey":"soon","EVTCOREventSerializedDataObjectBytesKey":"eA=="}})",
       kEVTCORCoderReadCorruptError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = dir_ / "archive";
    write(path, c.text);
    auto decoded = EVTCORReadArchive<EVTCOREvent>(path);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().domain, kEVTCORCocoaErrorDomain);
    EXPECT_EQ(decoded.error().code, c.code) << decoded.error().message;
    EXPECT_FALSE(decoded.error().message.empty());
    EXPECT_EQ(read(path), c.text);  // the reader never touches the file
  }
}

TEST_F(EVTCORArchiveTest, MissingOversizedAndUnwritableFilesReportErrors) {
  auto missing = EVTCORReadArchive<EVTCOREvent>(dir_ / "none");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().domain, kEVTCORPosixErrorDomain);
  EXPECT_EQ(missing.error().code, ENOENT);

  const fs::path big = dir_ / "big";
  write(big, std::string(kEVTCORMaxArchiveBytes + 1, ' '));
  auto oversized = EVTCORReadArchive<EVTCOREvent>(big);
  ASSERT_FALSE(oversized.ok());
  EXPECT_EQ(oversized.error().code, kEVTCORCoderReadCorruptError);

  // The parent "directory" is a regular file.
  auto unwritable = EVTCORWriteArchive(fullEvent(), big / "event");
  ASSERT_FALSE(unwritable.ok());
  EXPECT_EQ(unwritable.error().domain, kEVTCORPosixErrorDomain);

  ASSERT_EQ(chmod(dir_.c_str(), 0500), 0);
  if (access((dir_ / ".").c_str(), W_OK) != 0) {  // not root: the directory is read-only
    auto denied = EVTCORWriteArchive(fullEvent(), dir_ / "event");
    EXPECT_FALSE(denied.ok());
    EXPECT_FALSE(fs::exists(dir_ / "event"));
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
}

// Dates beyond the clock's 64-bit nanoseconds (before 1677, after 2262)
// are held at its ends: an expiry in 2286 must not read as 1677, which
// would make a live event expired.
TEST_F(EVTCORArchiveTest, ExpiriesBeyondTheClocksRangeReadAsItsEnds) {
  using platform::WallTime;
  const WallTime y2030 = WallTime{} + std::chrono::seconds(1900000000);
  const struct {
    const char* seconds;
    WallTime expected;
  } cases[] = {
      {"1900000000", y2030},
      {"10000000000", WallTime::max()},  // 2286
      {"9223372037", WallTime::max()},   // just past the last nanosecond
      {"1e300", WallTime::max()},
      {"-10000000000", WallTime::min()},
      {"-1e300", WallTime::min()},
  };
  const std::string text = EVTCORWriteArchive(fullEvent(), {}).value();
  const std::string key = "\"EVTCOREventExpirationDateKey\":";
  const std::size_t start = text.find(key) + key.size();
  const std::size_t end = text.find_first_of(",}", start);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    std::string archive = text;
    archive.replace(start, end - start, c.seconds);
    auto decoded = EVTCORReadArchive<EVTCOREvent>({}, archive);
    ASSERT_TRUE(decoded.ok()) << decoded.error().message;
    EXPECT_EQ(decoded.value().expirationDate(), c.expected);
  }
  EXPECT_EQ(EVTCORDateFromSecondsSince1970(EVTCORSecondsSince1970(WallTime::max())),
            WallTime::max());
  EXPECT_EQ(EVTCORDateFromSecondsSince1970(EVTCORSecondsSince1970(WallTime::min())),
            WallTime::min());
}

// Opening a FIFO for reading waits until a writer comes: in the place of an
// archive it must be refused at once, not hold the reader's queue.
TEST_F(EVTCORArchiveTest, AFIFOInTheArchivesPlaceIsRefusedAtOnce) {
  const fs::path fifo = dir_ / "event";
  ASSERT_TRUE(test_support::makeNamedPipe(fifo));
  std::optional<platform::Result<EVTCOREvent>> read;
  EXPECT_TRUE(test_support::returnsWithoutWaitingOn(
      fifo, [&] { read = EVTCORReadArchive<EVTCOREvent>(fifo); }));
  ASSERT_TRUE(read.has_value());
  ASSERT_FALSE(read->ok());
  EXPECT_EQ(read->error().domain, kEVTCORPosixErrorDomain);
  EXPECT_EQ(read->error().code, EINVAL);
  EXPECT_TRUE(fs::is_fifo(fifo));  // not ours to remove
}

TEST_F(EVTCORArchiveTest, ClockRoundTrips) {
  const EVTCORClock clock(-1, -18000, 0, INT64_MAX);
  auto decoded = EVTCORReadArchive<EVTCORClock>({}, EVTCORWriteArchive(clock, {}).value());
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_EQ(decoded.value(), clock);
}

TEST(EVTCORBase64Test, EncodesAndStrictlyDecodes) {
  const std::pair<std::string, std::string> known[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {std::string("\xfb\xff", 2), "+/8="}};
  for (const auto& [plain, encoded] : known) {
    SCOPED_TRACE(encoded);
    EXPECT_EQ(EVTCORBase64Encode(plain), encoded);
    EXPECT_EQ(EVTCORBase64Decode(encoded), plain);
  }
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zm9v\n", "Zg=a", "Z-8=", "=Zg="}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(EVTCORBase64Decode(bad).has_value());
  }
}

}  // namespace
}  // namespace vandrel::analytics
