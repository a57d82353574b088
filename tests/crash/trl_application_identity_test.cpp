#include "crash/kit/trl_application_identity.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/value.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using platform::Value;

std::vector<std::uint8_t> bytesOf(std::string_view s) { return {s.begin(), s.end()}; }

TEST(TRLHashingTest, DigestsMatchPublishedVectors) {
  struct Case {
    const char* input;
    const char* sha1;
    const char* sha256;
  };
  const Case cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(TRLSHA1HexOfData(std::string_view(c.input)), c.sha1);
    EXPECT_EQ(TRLSHA1HexOfBytes(c.input, std::strlen(c.input)), c.sha1);
    EXPECT_EQ(TRLSHA1HexOfData(std::span<const std::uint8_t>(bytesOf(c.input))), c.sha1);
    EXPECT_EQ(TRLSHA256HexOfData(std::string_view(c.input)), c.sha256);
    EXPECT_EQ(TRLSHA256HexOfBytes(c.input, std::strlen(c.input)), c.sha256);
    EXPECT_EQ(TRLSHA256HexOfData(std::span<const std::uint8_t>(bytesOf(c.input))), c.sha256);
  }
}

TEST(TRLHashingTest, HexEncodingIsLowerCaseAndTerminated) {
  EXPECT_EQ(TRLHexStringFromData({}), "");
  const std::vector<std::uint8_t> bytes{0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(TRLHexStringFromData(bytes), "000fa5ff");

  char pair[3] = {'x', 'x', 'x'};
  TRLHexByte(0xab, pair);
  EXPECT_EQ(std::string(pair, 3), "abx");  // two characters, no terminator

  char out[12];
  std::memset(out, 'x', sizeof out);
  TRLHexEncode(bytes.data(), bytes.size(), out);
  EXPECT_STREQ(out, "000fa5ff");
  EXPECT_EQ(out[9], 'x');  // writes exactly 2 * length + 1 bytes
  std::memset(out, 'x', sizeof out);
  TRLHexEncode(nullptr, 0, out);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(out[1], 'x');

  const std::uint8_t uuid[16] = {0xde, 0xad, 0xbe, 0xef, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xa, 0xb};
  EXPECT_EQ(TRLHexStringFromUUIDBytes(uuid), "deadbeef000102030405060708090a0b");
}

TEST(TRLHashingTest, UUIDStringsAreRandomVersion4InUpperCaseDashedForm) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::string uuid = TRLCreateUUIDString();
    ASSERT_EQ(uuid.size(), 36u) << uuid;
    for (std::size_t at = 0; at < uuid.size(); ++at) {
      if (at == 8 || at == 13 || at == 18 || at == 23) {
        ASSERT_EQ(uuid[at], '-') << uuid;
      } else {
        ASSERT_TRUE(std::isxdigit(static_cast<unsigned char>(uuid[at])) &&
                    !std::islower(static_cast<unsigned char>(uuid[at])))
            << uuid;
      }
    }
    EXPECT_EQ(uuid[14], '4') << uuid;
    EXPECT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 64u);
}

TEST(TRLHashingTest, ByteRangeEnumerationCoversTheDataAndHonoursStop) {
  const std::vector<std::uint8_t> data = bytesOf("hello world");
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  TRLEnumerateByteRanges(data, [&](const std::uint8_t* bytes, TRLByteRange range, bool&) {
    EXPECT_EQ(bytes, data.data());
    ranges.emplace_back(range.location, range.length);
  });
  EXPECT_EQ(ranges, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 11}}));

  ranges.clear();
  TRLEnumerateByteRanges(std::span<const std::uint8_t>(), [&](const std::uint8_t*, TRLByteRange range, bool&) {
    ranges.emplace_back(range.location, range.length);
  });
  EXPECT_EQ(ranges, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 0}}));

  const std::vector<std::span<const std::uint8_t>> pieces{
      std::span(data).subspan(0, 5), std::span(data).subspan(5, 1), std::span(data).subspan(6)};
  ranges.clear();
  std::string joined;
  TRLEnumerateByteRanges(pieces, [&](const std::uint8_t* bytes, TRLByteRange range, bool&) {
    ranges.emplace_back(range.location, range.length);
    joined.append(reinterpret_cast<const char*>(bytes), range.length);
  });
  EXPECT_EQ(ranges, (std::vector<std::pair<std::size_t, std::size_t>>{{0, 5}, {5, 1}, {6, 5}}));
  EXPECT_EQ(joined, "hello world");

  ranges.clear();
  TRLEnumerateByteRanges(pieces, [&](const std::uint8_t*, TRLByteRange range, bool& stop) {
    ranges.emplace_back(range.location, range.length);
    stop = range.location == 5;
  });
  EXPECT_EQ(ranges.size(), 2u);
}

// ---- bundle facts ----------------------------------------------------------------

class TRLBundleFactsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trl-identity-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    base_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }
  platform::Bundle makeBundle(const Value::Dictionary& info, bool receipt = false) {
    const fs::path path = base_ / ("B" + std::to_string(count_++) + ".app");
    fs::create_directories(path / "Contents");
    std::ofstream(path / "Contents" / "Info.json") << Value(info).toJson();
    if (receipt) {
      fs::create_directories(path / "Contents" / "_MASReceipt");
      std::ofstream(path / "Contents" / "_MASReceipt" / "receipt") << "r";
    }
    return platform::Bundle(path);
  }

  fs::path base_;
  int count_ = 0;
};

TEST_F(TRLBundleFactsTest, IdentifierNamespaceReplacesEverySlash) {
  EXPECT_EQ(TRLBundleIdentifierNamespace(makeBundle({{"CFBundleIdentifier", "com/example//app/"}})),
            "com_example__app_");
  EXPECT_EQ(TRLBundleIdentifierNamespace(makeBundle({{"CFBundleIdentifier", "com.example.app"}})),
            "com.example.app");
  EXPECT_EQ(TRLBundleIdentifierNamespace(makeBundle({})), "");
}

TEST_F(TRLBundleFactsTest, VersionsAndDisplayNameFallBackInOrder) {
  struct Case {
    const char* name;
    Value::Dictionary info;
    std::optional<std::string> displayName;
  };
  const Case cases[] = {
      {"display name wins",
       {{"CFBundleDisplayName", "Shown"}, {"CFBundleName", "Plain"}, {"CFBundleVersion", "42"}},
       "Shown"},
      {"bundle name next", {{"CFBundleName", "Plain"}, {"CFBundleVersion", "42"}}, "Plain"},
      {"build version last", {{"CFBundleVersion", "42"}}, "42"},
      {"a display name of another type does not count",
       {{"CFBundleDisplayName", 7}, {"CFBundleVersion", "42"}}, "42"},
      {"nothing at all", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TRLBundleDisplayName(makeBundle(c.info)), c.displayName);
  }
  const platform::Bundle bundle =
      makeBundle({{"CFBundleVersion", "42"}, {"CFBundleShortVersionString", "1.2.3"}});
  EXPECT_EQ(TRLBundleBuildVersion(bundle), "42");
  EXPECT_EQ(TRLBundleDisplayVersion(bundle), "1.2.3");
  EXPECT_EQ(TRLBundleDisplayVersion(makeBundle({})), std::nullopt);
}

TEST_F(TRLBundleFactsTest, InstallationSourcePrefersReceiptThenDistributionSigning) {
  struct Case {
    const char* name;
    bool receipt;
    std::optional<Value> signedForDistribution;
    int expected;
  };
  const Case cases[] = {
      {"plain", false, std::nullopt, 1},
      {"signed", false, Value(true), 3},
      {"signed as text", false, Value("YES"), 3},
      {"explicitly not signed", false, Value(false), 1},
      {"receipt", true, std::nullopt, 4},
      {"receipt beats signing", true, Value(true), 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Value::Dictionary info;
    if (c.signedForDistribution) info["FaultlineSignedForDistribution"] = *c.signedForDistribution;
    EXPECT_EQ(TRLInstallationSource(makeBundle(info, c.receipt)), c.expected);
  }
}

TEST(TRLShouldCollectDeviceIdentifiersTest, FirstPresentSettingDecides) {
  struct Case {
    const char* name;
    bool beaconMode;
    Value::Dictionary info;
    bool expected;
  };
  const Case cases[] = {
      {"nothing set", false, {}, true},
      {"beacon mode never collects", true, {{"FaultlineCollectDeviceIdentifiers", true}}, false},
      {"registry setting off", false,
       {{"Trellis", Value::Dictionary{{"ReportIdentifiers", false}}},
        {"FaultlineCollectDeviceIdentifiers", true}},
       false},
      {"registry setting on", false,
       {{"Trellis", Value::Dictionary{{"ReportIdentifiers", true}}},
        {"FaultlineCollectDeviceIdentifiers", false}},
       true},
      {"crash-kit setting when the registry has none", false,
       {{"Trellis", Value::Dictionary{}}, {"FaultlineCollectDeviceIdentifiers", false}}, false},
      {"a Trellis value that is no dictionary is skipped", false,
       {{"Trellis", "x"}, {"FaultlineCollectDeviceIdentifiers", false}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TRLShouldCollectDeviceIdentifiers(c.beaconMode, c.info), c.expected);
  }
}

// ---- executable identity -------------------------------------------------------------

// One ELF note: header, name and descriptor, each padded to `align`.
void appendNote(std::vector<std::uint8_t>& out, std::string_view name, std::uint32_t type,
                const std::vector<std::uint8_t>& desc, std::size_t align = 4) {
  auto word = [&](std::uint32_t w) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&w);
    out.insert(out.end(), p, p + 4);
  };
  auto pad = [&] {
    while (out.size() % align != 0) out.push_back(0);
  };
  word(static_cast<std::uint32_t>(name.size() + 1));
  word(static_cast<std::uint32_t>(desc.size()));
  word(type);
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(0);
  pad();
  out.insert(out.end(), desc.begin(), desc.end());
  pad();
}

TEST(TRLBuildIDTest, FindsTheGnuBuildIdNoteAmongOthers) {
  const std::vector<std::uint8_t> id{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  std::vector<std::uint8_t> notes;
  appendNote(notes, "GNU", 1, {0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0});  // ABI tag
  appendNote(notes, "Other", 3, {9, 9, 9});  // same type, foreign owner
  appendNote(notes, "GNU", 3, id);
  EXPECT_EQ(TRLBuildIDFromNotes(notes), id);

  std::vector<std::uint8_t> aligned8;
  appendNote(aligned8, "GNU", 5, {1, 2, 3, 4, 5}, 8);
  appendNote(aligned8, "GNU", 3, id, 8);
  EXPECT_EQ(TRLBuildIDFromNotes(aligned8, 8), id);
}

TEST(TRLBuildIDTest, MalformedOrMissingNotesGiveNone) {
  const std::vector<std::uint8_t> id{0xaa, 0xbb, 0xcc, 0xdd};
  std::vector<std::uint8_t> good;
  appendNote(good, "GNU", 3, id);

  std::vector<std::uint8_t> truncated(good.begin(), good.end() - 2);
  EXPECT_EQ(TRLBuildIDFromNotes(truncated), std::nullopt);

  std::vector<std::uint8_t> hugeName = good;
  hugeName[0] = hugeName[1] = hugeName[2] = hugeName[3] = 0xff;  // namesz 4 GiB - 1
  EXPECT_EQ(TRLBuildIDFromNotes(hugeName), std::nullopt);

  std::vector<std::uint8_t> hugeDesc = good;
  hugeDesc[4] = hugeDesc[5] = hugeDesc[6] = hugeDesc[7] = 0xff;
  EXPECT_EQ(TRLBuildIDFromNotes(hugeDesc), std::nullopt);

  std::vector<std::uint8_t> other;
  appendNote(other, "GNU", 1, id);
  EXPECT_EQ(TRLBuildIDFromNotes(other), std::nullopt);
  EXPECT_EQ(TRLBuildIDFromNotes({}), std::nullopt);
  EXPECT_EQ(TRLBuildIDFromNotes(good, 16), std::nullopt);
}

// The build-id as written in the executable's file, found by its note
// header: an independent reading of what the loader mapped.
std::optional<std::vector<std::uint8_t>> buildIdInFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  const std::string bytes = content.str();
  const std::string header("\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0", 16);
  const std::size_t at = bytes.find(header);
  if (at == std::string::npos || at + 16 + 20 > bytes.size()) return std::nullopt;
  return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at + 16),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(at + 36));
}

TEST(TRLBuildIDTest, MainExecutableBuildIdIsTheOneInItsFile) {
  const auto inFile = buildIdInFile("/proc/self/exe");
  if (!inFile) GTEST_SKIP() << "test binary carries no 20-byte build-id";
  EXPECT_EQ(TRLMainExecutableBuildID(), inFile);

  const auto info = TRLReadMainExecutableInfo();
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->architectureUUIDMap,
            (std::map<std::string, std::string>{
                {std::string(TRLCurrentArchitectureName()), TRLHexStringFromData(*inFile)}}));
  EXPECT_EQ(info->builtSDK, TRLVersionTriple{});
  EXPECT_EQ(info->minimumSDK, TRLVersionTriple{});

  const auto model = TRLApplicationIdentifierModel::initWithInstallID("INSTALL");
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->instanceIdentifier(),
            TRLSHA1HexOfData(std::string_view(TRLHexStringFromData(*inFile))));
  EXPECT_EQ(model->builtSDKString(), "0.0.0");
  EXPECT_EQ(model->minimumSDKString(), "0.0.0");
  // The same executable always gives the same identifier.
  EXPECT_EQ(TRLApplicationIdentifierModel::initWithInstallID("OTHER")->instanceIdentifier(),
            model->instanceIdentifier());
}

TEST(TRLApplicationIdentifierModelTest, InstanceIdentifierHashesSliceIdsInArchitectureOrder) {
  const std::string arm = "00112233445566778899aabbccddeeff";
  const std::string intel = "ffeeddccbbaa99887766554433221100";
  TRLExecutableInfo info;
  info.architectureUUIDMap = {{"x86_64", intel}, {"arm64", arm}};
  info.builtSDK = {10, 14, 0};
  info.minimumSDK = {10, 9, 2};
  const auto model = TRLApplicationIdentifierModel::initWithInstallID(
      "ABC-INSTALL", [&] { return std::optional(info); }, "com_example_app");
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->instanceIdentifier(), TRLSHA1HexOfData(std::string_view(arm + intel)));
  EXPECT_EQ(model->installID(), "ABC-INSTALL");
  EXPECT_EQ(model->bundleIdentifier(), "com_example_app");
  EXPECT_EQ(model->builtSDKString(), "10.14.0");
  EXPECT_EQ(model->minimumSDKString(), "10.9.2");
  EXPECT_EQ(model->architectureUUIDMap(), info.architectureUUIDMap);

  // A rebuilt executable has new slice ids and so a new identifier.
  info.architectureUUIDMap["arm64"] = intel;
  const auto rebuilt = TRLApplicationIdentifierModel::initWithInstallID(
      "ABC-INSTALL", [&] { return std::optional(info); }, "com_example_app");
  EXPECT_NE(rebuilt->instanceIdentifier(), model->instanceIdentifier());
}

TEST(TRLApplicationIdentifierModelTest, UnreadableExecutableGivesNoModel) {
  EXPECT_EQ(TRLApplicationIdentifierModel::initWithInstallID(
                "X", [] { return std::optional<TRLExecutableInfo>(); }, "app"),
            nullptr);
  EXPECT_EQ(TRLApplicationIdentifierModel::initWithInstallID("X", TRLExecutableInfoSource(), "app"),
            nullptr);
  // An executable without any image id still has a model (the identifier
  // of no slices) and zero versions.
  const auto bare = TRLApplicationIdentifierModel::initWithInstallID(
      "X", [] { return std::optional(TRLExecutableInfo{}); }, "app");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->instanceIdentifier(), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(bare->builtSDKString(), "0.0.0");
}

// ---- icon ------------------------------------------------------------------------------

TEST(TRLIconTest, SurfaceAreaLimitIsInclusive) {
  const std::vector<std::uint8_t> png = bytesOf("png bytes");
  const TRLIcon square(png, 1024, 1024);
  EXPECT_TRUE(square.isWithinMaxSurfaceArea());
  EXPECT_TRUE(square.prerendered());
  EXPECT_EQ(square.dataHash(), TRLSHA1HexOfData(std::string_view("png bytes")));
  EXPECT_FALSE(TRLIcon(png, 1025, 1024).isWithinMaxSurfaceArea());
  EXPECT_TRUE(square.largerThanSize(1023, 1024));
  EXPECT_FALSE(square.largerThanSize(1024, 1024));
  EXPECT_EQ(TRLIcon(png, "given", 2, 3, false).dataHash(), "given");
  EXPECT_DOUBLE_EQ(TRLIcon(png, "given", 2, 3, false).surfaceArea(), 6.0);
}

TEST(TRLIconTest, ApplicationIconIsFetchedOnceFromItsSource) {
  int calls = 0;
  TRLAppIconUtility utility([&]() -> std::optional<TRLIconImage> {
    ++calls;
    return TRLIconImage{bytesOf("icon"), 512, 512};
  });
  ASSERT_TRUE(utility.applicationIcon().has_value());
  EXPECT_EQ(utility.applicationIcon()->dataHash(), TRLSHA1HexOfData(std::string_view("icon")));
  EXPECT_EQ(calls, 1);
  utility.setApplicationIcon(std::nullopt);
  EXPECT_FALSE(utility.applicationIcon().has_value());

  TRLAppIconUtility empty([] { return std::optional(TRLIconImage{}); });
  EXPECT_FALSE(empty.applicationIcon().has_value());
  TRLAppIconUtility none([] { return std::optional<TRLIconImage>(); });
  EXPECT_FALSE(none.applicationIcon().has_value());
}

}  // namespace
}  // namespace vandrel::crash
