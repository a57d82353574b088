#include "crash/capture/flt_utilities.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/kit/trl_async_operation.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test_support::readFile;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/flt_utilities_XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Two readable pages followed by an inaccessible one, so reads can be made
// to run into memory that faults.
class GuardedPages {
 public:
  GuardedPages() {
    void* p = ::mmap(nullptr, 3 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    if (base_ != nullptr) ::mprotect(base_ + 2 * kPage, kPage, PROT_NONE);
  }
  ~GuardedPages() {
    if (base_ != nullptr) ::munmap(base_, 3 * kPage);
  }
  char* base() const { return base_; }
  char* guard() const { return base_ + 2 * kPage; }
  static constexpr std::size_t kPage = 4096;

 private:
  char* base_ = nullptr;
};

// ---- hex -------------------------------------------------------------------

TEST(FLTUtilitiesHexTest, DigitValuesCoverBothCasesAndRejectEverythingElse) {
  const struct {
    char c;
    std::uint8_t value;
  } cases[] = {{'0', 0},   {'9', 9},   {'a', 10},  {'f', 15},  {'A', 10},  {'F', 15},
               {'/', 255}, {':', 255}, {'@', 255}, {'G', 255}, {'`', 255}, {'g', 255},
               {'\0', 255}, {' ', 255}, {static_cast<char>(0xC3), 255}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.c));
    EXPECT_EQ(FLTHexDigitValue(c.c), c.value);
  }
}

TEST(FLTUtilitiesHexTest, BytesBecomeLowercasePairsInsideTheirZeroedSpan) {
  char pair[2];
  FLTByteToHex(0xAB, pair);
  EXPECT_EQ(std::string(pair, 2), "ab");

  const std::uint8_t bytes[] = {0x00, 0xff, 0x0a, 0x90};
  char out[12];
  std::memset(out, 'X', sizeof out);
  FLTBytesToHex(bytes, sizeof bytes, out);
  EXPECT_STREQ(out, "00ff0a90");
  EXPECT_EQ(out[9], 'X');  // only 2 * length + 1 bytes are touched

  char empty[2] = {'X', 'X'};
  FLTBytesToHex(bytes, 0, empty);
  EXPECT_EQ(empty[0], '\0');
  EXPECT_EQ(empty[1], 'X');

  EXPECT_EQ(FLTNSDataToHexString(bytes), "00ff0a90");
  EXPECT_EQ(FLTNSDataToHexString({}), "");
}

TEST(FLTUtilitiesHashTest, Sha1IsFortyLowercaseHexDigits) {
  const std::string abc = "abc";
  EXPECT_EQ(FLTHashBytes(abc.data(), abc.size()), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(FLTHashBytes(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  const std::vector<std::uint8_t> data(abc.begin(), abc.end());
  EXPECT_EQ(FLTHashNSData(data), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(FLTHashBytes(nullptr, 5), "");  // nothing to hash, no fault
}

// ---- files and strings -----------------------------------------------------

TEST(FLTUtilitiesFileTest, UnlinkIfExistsAcceptsMissingFilesOnly) {
  TempDir dir;
  const std::string file = (dir.path() / "sdk.log").string();
  { std::ofstream(file) << "x"; }
  EXPECT_TRUE(FLTUnlinkIfExists(file.c_str()));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(FLTUnlinkIfExists(file.c_str()));  // already gone
  EXPECT_TRUE(FLTUnlinkIfExists((dir.path() / "missing" / "deeper").c_str()));
  EXPECT_FALSE(FLTUnlinkIfExists(dir.path().c_str()));  // a directory is not unlinked
  EXPECT_TRUE(fs::exists(dir.path()));
  EXPECT_FALSE(FLTUnlinkIfExists(nullptr));
}

TEST(FLTUtilitiesFileTest, DupStringCopiesIntoTheReadOnlyRegion) {
  FLTAllocator* allocator = FLTAllocatorCreate(4096, 4096);
  ASSERT_NE(allocator, nullptr);
  const std::string path = "/reports/active/abc/sdk.log";
  char* copy = FLTDupString(allocator, path.c_str());
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, path.c_str());
  EXPECT_NE(copy, path.c_str());
  EXPECT_TRUE(FLTAllocatorContains(allocator, copy));
  const auto at = reinterpret_cast<std::uintptr_t>(copy);
  EXPECT_GE(at, allocator->readOnly.start);
  EXPECT_LT(at, allocator->readOnly.start + allocator->readOnly.size);
  EXPECT_EQ(FLTDupString(allocator, nullptr), nullptr);
  // The allocator (and its mapping) lives for the process by design.
}

// ---- safe memory reads -----------------------------------------------------

TEST(FLTUtilitiesReadMemoryTest, ReadsMappedMemoryAndRefusesLowOrUnmappedAddresses) {
  GuardedPages pages;
  ASSERT_NE(pages.base(), nullptr);
  std::memcpy(pages.base(), "0123456789", 10);
  using Reader = bool (*)(std::uintptr_t, void*, std::size_t) noexcept;
  const struct {
    const char* name;
    Reader read;
  } readers[] = {{"process_vm_readv", &FLTReadMemory},
                 {"pipe", &FLTReadMemoryThroughPipe}};
  for (const auto& reader : readers) {
    SCOPED_TRACE(reader.name);
    const auto base = reinterpret_cast<std::uintptr_t>(pages.base());
    const auto guard = reinterpret_cast<std::uintptr_t>(pages.guard());
    char out[16] = {};
    EXPECT_TRUE(reader.read(base, out, 10));
    EXPECT_EQ(std::string(out, 10), "0123456789");

    std::vector<char> big(2 * GuardedPages::kPage);  // more than one pipe chunk
    EXPECT_TRUE(reader.read(base, big.data(), big.size()));
    EXPECT_EQ(std::string(big.data(), 10), "0123456789");

    EXPECT_FALSE(reader.read(guard, out, 1));
    EXPECT_FALSE(reader.read(guard - 4, out, 8));  // runs into the guard page
    EXPECT_TRUE(reader.read(guard - 4, out, 4));   // stops just before it
    EXPECT_FALSE(reader.read(0, out, 1));
    EXPECT_FALSE(reader.read(16, out, 1));
    EXPECT_FALSE(reader.read(4095, out, 1));
    EXPECT_FALSE(reader.read(UINTPTR_MAX - 2, out, 8));  // wraps around
    EXPECT_TRUE(reader.read(base, out, 0));
  }
}

TEST(FLTUtilitiesReadMemoryTest, ReadStringStopsAtNulOrMaximumAndFailsOnUnreadableBytes) {
  GuardedPages pages;
  ASSERT_NE(pages.base(), nullptr);
  std::memset(pages.base(), 'a', 2 * GuardedPages::kPage);
  // "ab\0" ends exactly at the guard page.
  char* tail = pages.guard() - 3;
  std::memcpy(tail, "ab", 3);
  // A string across the boundary of the two readable pages.
  char* across = pages.base() + GuardedPages::kPage - 2;
  across[3] = '\0';
  // Runs into the guard page (of a second mapping) without a NUL.
  GuardedPages other;
  ASSERT_NE(other.base(), nullptr);
  char* unterminated = other.guard() - 8;
  std::memset(unterminated, 'z', 8);

  const struct {
    const char* name;
    const char* address;
    std::size_t maxLength;
    bool ok;
  } cases[] = {
      {"ends at the guard page", tail, 1000, true},
      {"crosses a page boundary", across, 1000, true},
      {"no NUL before the guard page", unterminated, 1000, false},
      {"maximum stops before the guard page", unterminated, 8, true},
      {"low address", reinterpret_cast<const char*>(16), 10, false},
      {"unmapped address", pages.guard(), 10, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const char* result = nullptr;
    EXPECT_EQ(FLTReadString(c.address, &result, c.maxLength), c.ok);
    EXPECT_EQ(result, c.ok ? c.address : nullptr);
  }

  const char* untouched = "kept";
  EXPECT_TRUE(FLTReadString(pages.guard(), &untouched, 0));  // zero length: at once
  EXPECT_STREQ(untouched, "kept");
  EXPECT_FALSE(FLTReadString(tail, nullptr, 10));
}

// ---- loader names, UUIDs, timing ------------------------------------------

int localFunction(int x) { return x + 1; }

TEST(FLTUtilitiesLoaderTest, DladdrNamesGiveSymbolAndImageOrUnknownOrNothing) {
  std::string symbol = "?", image = "?";
  auto capture = [&](const char* s, const char* i) {
    symbol = s == nullptr ? "<null>" : s;
    image = i == nullptr ? "<null>" : i;
  };
  FLTDladdrNames(reinterpret_cast<std::uintptr_t>(&::getpid), capture);
  // The loader may name an alias; whichever it names must resolve to getpid.
  EXPECT_EQ(::dlsym(RTLD_DEFAULT, symbol.c_str()), reinterpret_cast<void*>(&::getpid)) << symbol;
  EXPECT_NE(image.find("libc"), std::string::npos) << image;

  // Not exported from the test executable: the image is known, the name not.
  FLTDladdrNames(reinterpret_cast<std::uintptr_t>(&localFunction), capture);
  EXPECT_EQ(symbol, "unknown");
  EXPECT_NE(image, "<null>");

  FLTDladdrNames(16, capture);
  EXPECT_EQ(symbol, "<null>");
  EXPECT_EQ(image, "<null>");
}

TEST(FLTUtilitiesUuidTest, GeneratedUuidsAreUpperCaseWithDashesAndNormalizeToLowerHex) {
  const std::regex upper("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string uuid = FLTGenerateUUID();
    EXPECT_TRUE(std::regex_match(uuid, upper)) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 20u);
  EXPECT_EQ(FLTNormalizeUUID("3F2A-00bc-DEf"), "3f2a00bcdef");
  EXPECT_EQ(FLTNormalizeUUID(""), "");
  EXPECT_TRUE(std::regex_match(FLTGenerateNormalizedUUID(), std::regex("[0-9a-f]{32}")));
}

TEST(FLTUtilitiesProfileTest, ProfileEndGivesMillisecondsSinceTheMark) {
  const std::uint64_t fiveMsAgo = FLTProfileStart() - 5'000'000;
  const double elapsed = FLTProfileEnd(fiveMsAgo);
  EXPECT_GE(elapsed, 5.0);
  EXPECT_LT(elapsed, 5000.0);
  EXPECT_EQ(FLTProfileEnd(FLTProfileStart() + 1'000'000'000'000ull), 0.0);  // future mark

  bool ran = false;
  testing::internal::CaptureStderr();
  FLTProfileBlock("settings", [&] { ran = true; });
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(std::regex_match(printed, std::regex("\\[Profile\\] settings: \\d+\\.\\d{6} ms\n")))
      << printed;
}

// ---- delayed dispatch ------------------------------------------------------

class FLTUtilitiesDelayTest : public testing::Test {
 protected:
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  platform::SerialQueue queue_{"com.kestrel.faultline.mac.test"};

  // Waits (bounded) for `flag` while the work happens on other threads.
  static testing::AssertionResult eventually(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!flag.load()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return testing::AssertionFailure() << "timed out";
      }
      std::this_thread::sleep_for(1ms);
    }
    return testing::AssertionSuccess();
  }
};

TEST_F(FLTUtilitiesDelayTest, DispatchAfterRunsOnTheQueueOnceTheDelayHasPassed) {
  std::atomic<bool> ran{false};
  std::atomic<bool> onQueue{false};
  FLTDispatchAfter(
      queue_, [&] { onQueue = queue_.isCurrent(); ran = true; }, 1.5, scheduler_);
  clock_.advance(1400ms);
  queue_.sync([] {});
  EXPECT_FALSE(ran.load());
  clock_.advance(100ms);
  EXPECT_TRUE(eventually(ran));
  EXPECT_TRUE(onQueue.load());
}

TEST_F(FLTUtilitiesDelayTest, DispatchAfterTreatsNegativeAndNanDelaysAsNow) {
  for (double seconds : {-3.0, std::nan(""), 0.0}) {
    SCOPED_TRACE(seconds);
    std::atomic<bool> ran{false};
    FLTDispatchAfter(queue_, [&] { ran = true; }, seconds, scheduler_);
    EXPECT_TRUE(eventually(ran));
  }
}

TEST_F(FLTUtilitiesDelayTest, AddOperationAfterAddsAnOperationOnceTheDelayHasPassed) {
  auto operations = std::make_shared<OperationQueue>("delayed");
  std::atomic<bool> ran{false};
  FLTAddOperationAfter(operations, [&] { ran = true; }, 2.0, scheduler_);
  operations.reset();  // kept alive by the pending delay
  clock_.advance(1900ms);
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(scheduler_.pendingCountForTesting(), 1u);
  clock_.advance(100ms);
  EXPECT_TRUE(eventually(ran));
}

// ---- application facts -----------------------------------------------------

class FLTUtilitiesBundleTest : public testing::Test {
 protected:
  platform::Bundle bundleWithInfo(const std::string& json) {
    const fs::path bundle = dir_.path() / ("App" + std::to_string(count_++) + ".app");
    fs::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "Info.json") << json;
    return platform::Bundle(bundle);
  }
  TempDir dir_;
  int count_ = 0;
};

TEST_F(FLTUtilitiesBundleTest, NameFallsBackFromDisplayNameToNameToBuildVersion) {
  const struct {
    const char* info;
    std::optional<std::string> name;
  } cases[] = {
      {R"({"CFBundleDisplayName":"Vandrel VPN","CFBundleName":"Vandrel","CFBundleVersion":"144"})",
       "Vandrel VPN"},
      {R"({"CFBundleName":"Vandrel","CFBundleVersion":"144"})", "Vandrel"},
      {R"({"CFBundleDisplayName":7,"CFBundleVersion":"144"})", "144"},
      {R"({})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.info);
    EXPECT_EQ(FLTApplicationGetName(bundleWithInfo(c.info)), c.name);
  }
  const platform::Bundle full = bundleWithInfo(
      R"({"CFBundleVersion":"144","CFBundleShortVersionString":"3.14.0"})");
  EXPECT_EQ(FLTApplicationGetBuildVersion(full), "144");
  EXPECT_EQ(FLTApplicationGetDisplayVersion(full), "3.14.0");
}

TEST_F(FLTUtilitiesBundleTest, ExtensionPointIdentifierIsAbsentForAppsAndMalformedEntries) {
  const std::string logPath = (dir_.path() / "sdk.log").string();
  FLTSDKLogReadOnlyState readOnly{logPath.c_str()};
  FLTSDKLogWritableState writable{-1, kFLTSDKLogLevelDebug};
  FLTSDKLogAttach(&readOnly, &writable);

  const struct {
    const char* info;
    std::optional<std::string> identifier;
    const char* warning;
  } cases[] = {
      {R"({"CFBundleVersion":"1"})", std::nullopt, nullptr},
      {R"({"NSExtension":{"NSExtensionPointIdentifier":"com.vandrel.widget"}})",
       "com.vandrel.widget", nullptr},
      {R"({"NSExtension":"widget"})", std::nullopt,
       "Error: NSExtension Info.plist entry is mal-formed\n"},
      {R"({"NSExtension":{}})", std::nullopt,
       "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"},
      {R"({"NSExtension":{"NSExtensionPointIdentifier":3}})", std::nullopt,
       "Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.info);
    if (fs::exists(logPath)) fs::resize_file(logPath, 0);
    const platform::Bundle bundle = bundleWithInfo(c.info);
    EXPECT_EQ(FLTApplicationExtensionPointIdentifier(bundle), c.identifier);
    EXPECT_EQ(FLTApplicationIsExtension(bundle), c.identifier.has_value());
    const std::string logged = fs::exists(logPath) ? readFile(logPath) : "";
    if (c.warning == nullptr) {
      EXPECT_EQ(logged, "");
    } else {
      EXPECT_TRUE(logged.starts_with("WARN  [")) << logged;
      EXPECT_TRUE(logged.ends_with(std::string("] ") + c.warning)) << logged;
    }
  }
  FLTSDKLogAttach(nullptr, nullptr);
  if (writable.descriptor >= 0) ::close(writable.descriptor);
}

}  // namespace
}  // namespace vandrel::crash
