// The encrypted model cache against real files in a private cache home.

#include "core/model_cache.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "core/account_records.h"
#include "core/catalogue_records.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "core/region_records.h"
#include "tests/core/core_test_support.h"
#include "tests/support/temp_home.h"

namespace vandrel::core {
namespace {

namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ChaCha20 written out from the published algorithm, independent of the
// library the cache uses: state words 0-3 the constants, 4-11 the key,
// 12-13 the 64-bit block counter from 0, 14-15 the 64-bit nonce.
std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

std::uint32_t littleEndian(std::string_view bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

std::string chacha20(std::string_view key, std::string_view nonce, std::string_view input) {
  std::string out(input);
  for (std::uint64_t block = 0; block * 64 < input.size(); ++block) {
    std::array<std::uint32_t, 16> state = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) state[4 + i] = littleEndian(key, 4 * i);
    state[12] = static_cast<std::uint32_t>(block);
    state[13] = static_cast<std::uint32_t>(block >> 32);
    state[14] = littleEndian(nonce, 0);
    state[15] = littleEndian(nonce, 4);
    std::array<std::uint32_t, 16> x = state;
    auto quarter = [&x](int a, int b, int c, int d) {
      x[a] += x[b];
      x[d] = rotl(x[d] ^ x[a], 16);
      x[c] += x[d];
      x[b] = rotl(x[b] ^ x[c], 12);
      x[a] += x[b];
      x[d] = rotl(x[d] ^ x[a], 8);
      x[c] += x[d];
      x[b] = rotl(x[b] ^ x[c], 7);
    };
    for (int round = 0; round < 10; ++round) {
      quarter(0, 4, 8, 12);  // columns
      quarter(1, 5, 9, 13);
      quarter(2, 6, 10, 14);
      quarter(3, 7, 11, 15);
      quarter(0, 5, 10, 15);  // diagonals
      quarter(1, 6, 11, 12);
      quarter(2, 7, 8, 13);
      quarter(3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < 64 && block * 64 + i < input.size(); ++i) {
      const std::uint32_t word = x[i / 4] + state[i / 4];
      out[block * 64 + i] ^= static_cast<char>((word >> (8 * (i % 4))) & 0xFF);
    }
  }
  return out;
}

constexpr std::string_view kKey = "Qm7TzpWx2LbHv9Rk&#nYc4FsJd8GuEeA";
constexpr std::string_view kNonce = "mbQzRDHV";

class ModelCacheTest : public ::testing::Test {
 protected:
  fs::path entryPath(std::string_view name) const {
    return home_.dataCache() / modelCacheFileName(name);
  }
  // Runs `f` and returns how many stdout lines contain `needle`.
  template <typename F>
  static int linesContaining(const std::string& needle, F&& f) {
    ::testing::internal::CaptureStdout();
    f();
    const std::string out = ::testing::internal::GetCapturedStdout();
    int count = 0;
    for (std::size_t pos = out.find(needle); pos != std::string::npos;
         pos = out.find(needle, pos + 1)) {
      ++count;
    }
    return count;
  }
  std::vector<std::string> cacheFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(home_.dataCache())) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  test_support::TempHome home_;
};

TEST_F(ModelCacheTest, FileNamesAreTheSaltedMd5OfTheEntryName) {
  EXPECT_EQ(modelCacheFileName("currentLineCache"), "0831d67483c04a571876f095737d3a5c");
  EXPECT_EQ(modelCacheFileName("MiscInfoCache"), "d7234d33870350f3757298e0fec5362e");
  EXPECT_EQ(modelCacheFileName("LinesModelCache"), "b90b5998eb5eb9979b2a7f225033d076");
  EXPECT_NE(modelCacheFileName("currentlinecache"), modelCacheFileName("currentLineCache"));
  EXPECT_EQ(modelCachePath("MiscInfoCache"),
            home_.dataCache() / "d7234d33870350f3757298e0fec5362e");
}

TEST_F(ModelCacheTest, FilesHoldTheBareCiphertextOfTheJson) {
  saveModel(std::optional<MiscInfoModel>{}, "MiscInfoCache");
  EXPECT_EQ(readBytes(entryPath("MiscInfoCache")), std::string("\x71\x0f\x4b\xb6", 4));
  saveModel(AccountModel{}, "accountInfoKey");
  EXPECT_EQ(readBytes(entryPath("accountInfoKey")), std::string("\x64\x07", 2));

  StaticDataModel model;
  model.home_url = "https://example.invalid/home";
  saveModel(model, "staticModelCacheKey");
  const std::string bytes = readBytes(entryPath("staticModelCacheKey"));
  EXPECT_EQ(bytes.size(), model.toJsonText().size());
  EXPECT_EQ(chacha20(kKey, kNonce, bytes), model.toJsonText());

  // The same key, nonce and counter for every file: equal prefixes of the
  // texts give equal prefixes of the files.
  StaticDataModel shorter;
  shorter.pc_push_msg = "p";
  StaticDataModel longer = shorter;
  longer.log_keyword = "k";
  saveModel(shorter, "shorter");
  saveModel(longer, "longer");
  const std::string sharedText = R"({"pc_push_msg":"p")";
  ASSERT_EQ(longer.toJsonText().substr(0, sharedText.size()), sharedText);
  ASSERT_EQ(shorter.toJsonText().substr(0, sharedText.size()), sharedText);
  EXPECT_EQ(readBytes(entryPath("shorter")).substr(0, sharedText.size()),
            readBytes(entryPath("longer")).substr(0, sharedText.size()));
}

TEST_F(ModelCacheTest, RecordsLoadBackWithAbsentFieldsStillAbsent) {
  StaticDataModel model;
  model.log_keyword = "timeout,refused";
  model.is_use_go = false;
  model.messages.emplace();
  saveModel(model, "staticModelCacheKey");
  const auto loaded = loadModel<StaticDataModel>("staticModelCacheKey");
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->toJsonText(), model.toJsonText());
  EXPECT_FALSE(loaded->home_url.has_value());
  EXPECT_FALSE(loaded->messages->connected_msg.has_value());

  auto line = LineItem::fromJsonText(R"({"id":5,"ipaddr":"1.2.3.4"})").value();
  saveModel(line, "currentLineCache");
  const std::shared_ptr<LineItem> loadedLine = loadModel<LineItem>("currentLineCache");
  ASSERT_NE(loadedLine, nullptr);
  EXPECT_EQ(loadedLine->toJsonText(), line->toJsonText());
  EXPECT_EQ(loadedLine->pingTime(), std::nullopt) << "not the initial -1";

  RegionsModel regions;
  regions.regions = std::vector<RegionsItem>{RegionsItem{}};
  regions.regions->front().lines = {LineItem::create()};
  saveModel(std::optional<RegionsModel>(regions), "LinesModelCache");
  const auto loadedRegions = loadModel<RegionsModel>("LinesModelCache");
  ASSERT_TRUE(loadedRegions.has_value());
  EXPECT_EQ(loadedRegions->toJsonText(), regions.toJsonText());
}

TEST_F(ModelCacheTest, FailedLoadsGiveNothingWithOneDebugLine) {
  const std::string line = "[DEBUG]: decode model error: MiscInfoCache";
  EXPECT_EQ(linesContaining(line, [] { EXPECT_FALSE(loadModel<MiscInfoModel>("MiscInfoCache")); }),
            1)
      << "never saved";

  saveModel(std::optional<MiscInfoModel>{}, "MiscInfoCache");
  EXPECT_EQ(linesContaining(line, [] { EXPECT_FALSE(loadModel<MiscInfoModel>("MiscInfoCache")); }),
            1)
      << "saved absent";

  AccountModel account;
  account.account = "someone@example.invalid";
  account.password = "secret";
  const std::string json = account.toJsonText();
  const std::string good = chacha20(kKey, kNonce, json);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"empty file", ""},
      {"truncated in the middle", good.substr(0, good.size() / 2)},
      {"another key", chacha20("0123456789abcdef0123456789abcdef", kNonce, json)},
      {"another nonce", chacha20(kKey, "12345678", json)},
      {"plain JSON", json},
      {"a JSON value of another record", chacha20(kKey, kNonce, R"({"account":5})")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeBytes(entryPath("accountInfoKey"), c.bytes);
    EXPECT_EQ(linesContaining("[DEBUG]: decode model error: accountInfoKey",
                              [] { EXPECT_FALSE(loadModel<AccountModel>("accountInfoKey")); }),
              1);
  }
  writeBytes(entryPath("accountInfoKey"), good);
  EXPECT_EQ(loadModel<AccountModel>("accountInfoKey")->account, "someone@example.invalid");
  EXPECT_EQ(linesContaining("[DEBUG]: decode model error: currentLineCache",
                            [] { EXPECT_EQ(loadModel<LineItem>("currentLineCache"), nullptr); }),
            1);
}

TEST_F(ModelCacheTest, AnEntryThatIsNoFileLoadsAsNothingWithoutWaiting) {
  AccountModel account;
  account.account = "kept";
  saveModel(account, "inputAccountInfoKey");
  const fs::path entry = entryPath("accountInfoKey");
  struct Case {
    const char* name;
    void (*make)(const fs::path&);
  };
  const std::vector<Case> cases = {
      {"named pipe", [](const fs::path& p) { ASSERT_TRUE(testing_support::makeFifo(p)); }},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }},
      {"link to a named pipe",
       [](const fs::path& p) {
         ASSERT_TRUE(testing_support::makeFifo(p.string() + ".pipe"));
         fs::create_symlink(p.string() + ".pipe", p);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.make(entry);
    int lines = 0;
    EXPECT_TRUE(testing_support::returnsWithoutWaitingOn(entry, [&] {
      lines = linesContaining("[DEBUG]: decode model error: accountInfoKey",
                              [] { EXPECT_FALSE(loadModel<AccountModel>("accountInfoKey")); });
    }));
    EXPECT_EQ(lines, 1);
    fs::remove(entry);
    fs::remove(entry.string() + ".pipe");
  }
  // A save replaces the odd file with a loadable entry; the others stay.
  ASSERT_TRUE(testing_support::makeFifo(entry));
  saveModel(account, "accountInfoKey");
  EXPECT_EQ(loadModel<AccountModel>("accountInfoKey")->account, "kept");
  EXPECT_EQ(loadModel<AccountModel>("inputAccountInfoKey")->account, "kept");
}

TEST_F(ModelCacheTest, SavesReplaceTheEntryThroughATemporaryFile) {
  AccountModel first;
  first.account = "first";
  saveModel(first, "accountInfoKey");
  AccountModel second;
  second.account = "second";
  saveModel(second, "accountInfoKey");
  EXPECT_EQ(loadModel<AccountModel>("accountInfoKey")->account, "second");
  // Nothing but entries is left behind, and a temporary name never looks
  // like an entry.
  const std::regex entryName("[0-9a-f]{32}");
  for (const auto& name : cacheFiles()) {
    if (name == "vandrel.log") continue;
    EXPECT_TRUE(std::regex_match(name, entryName)) << name;
  }
}

TEST_F(ModelCacheTest, AFailedSaveLeavesTheEarlierEntryLoadable) {
  AccountModel earlier;
  earlier.account = "earlier";
  saveModel(earlier, "accountInfoKey");

  // A file-size limit makes the write of a larger record fail part-way, as
  // a full disk would (also for root, unlike permissions).
  AccountModel larger;
  larger.account = std::string(64 * 1024, 'x');
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* const previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = saved;
  limited.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int lines = linesContaining("[DEBUG]: save model error: accountInfoKey",
                                    [&] { saveModel(larger, "accountInfoKey"); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(lines, 1);
  const auto loaded = loadModel<AccountModel>("accountInfoKey");
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->account, "earlier");
  for (const auto& name : cacheFiles()) {
    EXPECT_TRUE(name == modelCacheFileName("accountInfoKey") || name == "vandrel.log") << name;
  }
}

TEST_F(ModelCacheTest, AfterTheWipeEveryLoadGivesNothing) {
  AccountModel account;
  account.account = "a";
  saveModel(account, "accountInfoKey");
  saveModel(LineItem::create(), "currentLineCache");
  LogUtil::clearUserDataAndLog();
  EXPECT_FALSE(loadModel<AccountModel>("accountInfoKey"));
  EXPECT_EQ(loadModel<LineItem>("currentLineCache"), nullptr);
  // The next save re-creates the directory and the entry.
  saveModel(account, "accountInfoKey");
  EXPECT_EQ(loadModel<AccountModel>("accountInfoKey")->account, "a");
}

}  // namespace
}  // namespace vandrel::core
