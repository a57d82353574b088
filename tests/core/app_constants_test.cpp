#include "core/app_constants.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/web_site.h"
#include "platform/defaults.h"
#include "platform/value.h"
#include "tests/core/core_test_support.h"

namespace vandrel::core {
namespace {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

TEST(ConnectModeTest, TableOfModes) {
  struct Row {
    ConnectMode mode;
    std::int64_t raw;
    ConnectModeInfo info;
  };
  const std::vector<Row> rows = {
      {ConnectMode::smartWeb, 0, {"智能网页", " 智能代理主流中国网页 ", "pic_mode1", "ss-ip"}},
      {ConnectMode::web, 1, {"全局网页", " 全局代理浏览器上所有网页 ", "pic_mode3", "ss-web"}},
      {ConnectMode::app, 2, {"全局应用", " 全局代理电脑上所有应用和网页 ", "pic_mode3", "ss-all"}},
      {ConnectMode::ssw, 3, {"高速影音模式", " 快速缓冲，Beta 测试 ", "pic_mode3", "ssw"}},
  };
  std::vector<ConnectMode> order;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.raw);
    EXPECT_EQ(rawValue(row.mode), row.raw);
    EXPECT_EQ(connectModeFromRawValue(row.raw), row.mode);
    EXPECT_EQ(info(row.mode), row.info);
    order.push_back(row.mode);
  }
  EXPECT_EQ(std::vector<ConnectMode>(connectModes().begin(), connectModes().end()), order);
  for (const std::int64_t raw : {-1, 4, 7, 256}) {
    EXPECT_EQ(connectModeFromRawValue(raw), std::nullopt) << raw;
  }
}

TEST(ConnectModeTest, StoredModeReadingRule) {
  TempDir temp;
  struct Case {
    const char* name;
    std::optional<platform::Value> stored;
    ConnectMode expected;
  };
  const std::vector<Case> cases = {
      {"missing", std::nullopt, ConnectMode::app},
      {"0", platform::Value(0), ConnectMode::smartWeb},
      {"1", platform::Value(1), ConnectMode::web},
      {"3", platform::Value(3), ConnectMode::ssw},
      {"7", platform::Value(7), ConnectMode::app},
      {"4", platform::Value(4), ConnectMode::app},
      {"-1", platform::Value(-1), ConnectMode::app},
      {"text 1", platform::Value("1"), ConnectMode::app},
      {"double 1.0", platform::Value(1.0), ConnectMode::app},
      {"bool true", platform::Value(true), ConnectMode::app},
  };
  int file = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Defaults defaults(temp.path() / (std::to_string(++file) + ".json"));
    if (c.stored) {
      ASSERT_TRUE(defaults.set(kConnectModeCacheKey, *c.stored));
    }
    EXPECT_EQ(readConnectModeCache(defaults), c.expected);
  }
}

TEST(ConnectModeTest, WrittenModeIsAnIntegerOnDisk) {
  TempDir temp;
  const auto path = temp.path() / "standard.json";
  {
    platform::Defaults defaults(path);
    EXPECT_TRUE(writeConnectModeCache(defaults, ConnectMode::ssw));
  }
  const platform::Defaults reread(path);
  EXPECT_EQ(reread.getInt("connectModeCache"), 3);
  EXPECT_EQ(readConnectModeCache(reread), ConnectMode::ssw);
}

TEST(TextCheckTest, IsIP) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"10.0.0.1", true},
      {"999.1.1.1234", true},
      {"10.0.0", false},
      {" 10.0.0.1", false},
      {"10.0.0.1 ", false},
      {"a.b.c.d", false},
      {"1.2.3.4.5", false},
      {"", false},
      {"10.0.0.1\n", false},
      // Any Unicode decimal digit counts: Arabic-Indic and full-width.
      {"\u0661\u0660.\u0660.\u0660.\u0661", true},
      {"\uFF11.\uFF12.\uFF13.\uFF14", true},
      // Not decimal digits: superscripts and Roman numerals.
      {"\u00B9.2.3.4", false},
      {"\u2160.2.3.4", false},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(isIP(text), expected) << text;
}

TEST(TextCheckTest, IsEmail) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"user@example.com", true},
      {"a@b.c", true},
      {"@.", true},
      {"a@b", false},
      {"a.b@c", false},
      {"", false},
      {"ab\n@c.d", false},
      {"a@b.c\n", false},
      {"a@b.c\r", false},
      {"a\u2028@b.c", false},  // a Unicode line separator is a line end too
      {"\u00FCber@stra\u00DFe.de", true},
      {"a@b@c.d", true},
      {"a.@b", false},
      {"a@b\x0B.c", false},
      {"a@b\f.c", false},
      {"a@b\u0085.c", false},
      {"a@b\u2029.c", false},
      {"\xFF@\xFE.c", true},  // bytes that are no UTF-8 still count as characters
      {std::string(100'000, '@'), false},
      {std::string(100'000, '@') + ".", true},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(isEmail(text), expected) << text.substr(0, 40);
    // The same rule as the whole-text pattern it stands for.
    if (text.size() < 1000) {
      EXPECT_EQ(matches(text, R"(.*@.*\..*)"), expected) << text;
    }
  }
}

TEST(TextCheckTest, MatchesIsWholeTextAndInvalidPatternsMatchNothing) {
  EXPECT_TRUE(matches("abc", "a.c"));
  EXPECT_FALSE(matches("abcd", "a.c"));
  EXPECT_FALSE(matches("xabc", "a.c"));
  EXPECT_FALSE(matches("abc", "(unclosed"));
  EXPECT_FALSE(matches("ABC", "abc"));
}

TEST(FormatTimestampTest, SystemTimeZoneOfTheCall) {
  struct Case {
    const char* zone;
    std::int64_t seconds;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"<+08>-8", 0, "01/01/1970 08:00:00"},
      {"UTC0", 0, "01/01/1970 00:00:00"},
      {"UTC0", -1, "12/31/1969 23:59:59"},
      {"UTC0", 1700000000, "11/14/2023 22:13:20"},
      {"<-05>5", 1700000000, "11/14/2023 17:13:20"},
      {"<+0530>-5:30", 1709254800, "03/01/2024 06:30:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.seconds));
    ScopedEnv zone("TZ", c.zone);
    EXPECT_EQ(formatTimestamp(c.seconds), c.expected);
    EXPECT_EQ(dateText(c.seconds), c.expected);
  }
}

TEST(HexTest, EncodeAndDecode) {
  EXPECT_EQ(hexString(Bytes{0x0A, 0x1B, 0xFF}), "0A1BFF");
  EXPECT_EQ(hexString(Bytes{0x05}), "05");
  EXPECT_EQ(hexString(Bytes{}), "");

  const std::vector<std::pair<std::string, Bytes>> decoded = {
      {"0x0aff", {0x0A, 0xFF}},
      {"0X0aff", {}},  // upper-case X is no hex digit
      {"g1", {}},
      {"1", {0x01}},
      {"abc", {0xAB, 0x0C}},
      {"AbCd", {0xAB, 0xCD}},
      {"", {}},
      {"0x", {}},
      {"0x0x12", {}},
      {"ab cd", {}},
      {"12\xC3\xA9", {}},
  };
  for (const auto& [text, bytes] : decoded) EXPECT_EQ(hexBytes(text), bytes) << text;

  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  EXPECT_EQ(hexBytes(hexString(all)), all);
}

TEST(IdentifierTest, AppGroupIdentifier) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"com.vandrel.mac.offline", "group.com.vandrel.mac"},
      {"a.b", "group.a.b"},
      {"a.b.c", "group.a.b.c"},
      {"single", "group.single"},
      {"a..b.c", "group.a..b"},
  };
  for (const auto& [bundle, group] : cases) EXPECT_EQ(appGroupIdentifier(bundle), group) << bundle;
  // The test bundle of the build tree.
  EXPECT_EQ(appBundleIdentifier(), "com.vandrel.mac.offline");
  EXPECT_EQ(appGroupIdentifier(), "group.com.vandrel.mac");
}

TEST(IdentifierTest, WebAddressesAndThemeColor) {
  const std::string site = std::string("https://") + kWebSiteHost;
  EXPECT_EQ(webSiteAddress(), site);
  EXPECT_EQ(termsURL(), site + "/terms");
  EXPECT_EQ(privacyURL(), site + "/privacy");
  EXPECT_EQ(themeColor(), (RgbaColor{41.0 / 255.0, 164.0 / 255.0, 193.0 / 255.0, 1.0}));
}

}  // namespace
}  // namespace vandrel::core
