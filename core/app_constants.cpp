#include "core/app_constants.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "core/local_time.h"
#include "core/web_site.h"
#include "platform/bundle.h"
#include "platform/defaults.h"

namespace vandrel::core {
namespace {

// Used when the bundle declares no identifier (a build without its
// Info.json); the standard defaults fall back to the same suite.
constexpr std::string_view kFallbackBundleIdentifier = "com.vandrel.mac.offline";

constexpr std::array<ConnectModeInfo, 4> kModeInfo = {{
    {"智能网页", " 智能代理主流中国网页 ", "pic_mode1", "ss-ip"},
    {"全局网页", " 全局代理浏览器上所有网页 ", "pic_mode3", "ss-web"},
    {"全局应用", " 全局代理电脑上所有应用和网页 ", "pic_mode3", "ss-all"},
    {"高速影音模式", " 快速缓冲，Beta 测试 ", "pic_mode3", "ssw"},
}};

icu::UnicodeString unicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

// nullptr when the pattern does not compile.
std::unique_ptr<icu::RegexPattern> compile(std::string_view pattern) {
  UParseError parseError;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(unicode(pattern), 0, parseError, status));
  if (U_FAILURE(status)) return nullptr;
  return compiled;
}

// A compiled pattern is immutable and may be shared by threads; each match
// gets its own matcher.
bool wholeMatch(const icu::RegexPattern* pattern, std::string_view text) {
  if (pattern == nullptr) return false;
  // Texts beyond what ICU indexes cannot be matched whole.
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const icu::UnicodeString input = unicode(text);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
  if (U_FAILURE(status)) return false;
  const bool matched = matcher->matches(status);
  return U_SUCCESS(status) && matched;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<ConnectMode> connectModeFromRawValue(std::int64_t raw) {
  if (raw < 0 || raw > 3) return std::nullopt;
  return static_cast<ConnectMode>(raw);
}

ConnectModeInfo info(ConnectMode mode) { return kModeInfo[static_cast<std::size_t>(mode)]; }

const std::array<ConnectMode, 4>& connectModes() {
  static constexpr std::array<ConnectMode, 4> kModes = {ConnectMode::smartWeb, ConnectMode::web,
                                                        ConnectMode::app, ConnectMode::ssw};
  return kModes;
}

ConnectMode readConnectModeCache(const platform::Defaults& defaults) {
  const auto stored = defaults.getInt(kConnectModeCacheKey);
  if (!stored) return ConnectMode::app;
  return connectModeFromRawValue(*stored).value_or(ConnectMode::app);
}

bool writeConnectModeCache(platform::Defaults& defaults, ConnectMode mode) {
  const bool stored = defaults.set(kConnectModeCacheKey, rawValue(mode));
  return defaults.synchronize() && stored;
}

bool matches(std::string_view text, std::string_view pattern) {
  const auto compiled = compile(pattern);
  return wholeMatch(compiled.get(), text);
}

bool isIP(std::string_view text) {
  static const icu::RegexPattern* pattern = compile(R"(\d+\.\d+\.\d+\.\d+)").release();
  return wholeMatch(pattern, text);
}

// Where the pattern ".*@.*\..*" would stop: "." matches anything but these.
bool isLineEnd(char16_t c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// The whole-text match of ".*@.*\..*" in one pass: an "@" with a "." after
// it, on one line. The regex engine's backtracking takes time that grows
// with the square of a text full of "@", and sign-in checks run on the GUI
// thread.
bool isEmail(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const icu::UnicodeString input = unicode(text);
  bool seenAt = false;
  bool dotAfterAt = false;
  for (int32_t i = 0; i < input.length(); ++i) {
    const char16_t c = input.charAt(i);
    if (isLineEnd(c)) return false;
    if (c == u'@') {
      seenAt = true;
    } else if (c == u'.' && seenAt) {
      dotAfterAt = true;
    }
  }
  return dotAfterAt;
}

std::string formatTimestamp(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (!localTime(time, local)) return {};
  char text[96];
  std::snprintf(text, sizeof text, "%02d/%02d/%04lld %02d:%02d:%02d", local.tm_mon + 1,
                local.tm_mday, static_cast<long long>(local.tm_year) + 1900, local.tm_hour,
                local.tm_min, local.tm_sec);
  return text;
}

std::string hexString(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::vector<std::uint8_t> hexBytes(std::string_view text) {
  if (text.starts_with("0x")) text.remove_prefix(2);
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2 + 1);
  int high = -1;
  for (const char c : text) {
    const int digit = hexDigit(c);
    if (digit < 0) return {};
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) bytes.push_back(static_cast<std::uint8_t>(high));
  return bytes;
}

const std::string& appBundleIdentifier() {
  static const std::string* identifier = [] {
    std::string value = platform::Bundle::main().bundleIdentifier();
    if (value.empty()) value = kFallbackBundleIdentifier;
    return new std::string(std::move(value));
  }();
  return *identifier;
}

std::string appGroupIdentifier(std::string_view bundleIdentifier) {
  std::string group = "group.";
  std::size_t start = 0;
  for (int component = 0; component < 3; ++component) {
    const std::size_t dot = bundleIdentifier.find('.', start);
    if (component > 0) group += '.';
    group += bundleIdentifier.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return group;
}

std::string appGroupIdentifier() { return appGroupIdentifier(appBundleIdentifier()); }

const std::string& webSiteAddress() {
  static const auto* address = new std::string(std::string("https://") + kWebSiteHost);
  return *address;
}

const std::string& termsURL() {
  static const auto* url = new std::string(webSiteAddress() + "/terms");
  return *url;
}

const std::string& privacyURL() {
  static const auto* url = new std::string(webSiteAddress() + "/privacy");
  return *url;
}

RgbaColor themeColor() { return {41.0 / 255.0, 164.0 / 255.0, 193.0 / 255.0, 1.0}; }

}  // namespace vandrel::core
