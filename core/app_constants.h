#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::platform {
class Defaults;
}

namespace vandrel::core {

// ---- Connect modes ----------------------------------------------------------

// How a connection carries traffic. The raw values are stored (see
// readConnectModeCache) and must not change.
enum class ConnectMode : std::int8_t { smartWeb = 0, web = 1, app = 2, ssw = 3 };

// The four texts of a mode: menu title, detail text, image name and the mode
// key that connection-log records carry.
struct ConnectModeInfo {
  std::string_view title;
  std::string_view detail;
  std::string_view image;
  std::string_view modeKey;

  bool operator==(const ConnectModeInfo&) const = default;
};

constexpr std::int64_t rawValue(ConnectMode mode) { return static_cast<std::int64_t>(mode); }
// 0 to 3 give a mode; every other value gives none.
std::optional<ConnectMode> connectModeFromRawValue(std::int64_t raw);
ConnectModeInfo info(ConnectMode mode);
// smartWeb, web, app, ssw: the order the mode menu offers them in.
const std::array<ConnectMode, 4>& connectModes();

inline constexpr std::string_view kConnectModeCacheKey = "connectModeCache";
// The stored mode: a missing value, a value that is not an integer (a text
// "1" or a double included) or an integer outside 0 to 3 reads as `app`.
ConnectMode readConnectModeCache(const platform::Defaults& defaults);
// Stores the mode's raw value as an integer and synchronises; returns
// whether it reached the disk.
bool writeConnectModeCache(platform::Defaults& defaults, ConnectMode mode);

// ---- Text checks ------------------------------------------------------------

// Whether the whole text (UTF-8) matches the regular expression `pattern`,
// with no options: `\d` is any Unicode decimal digit and "." matches no line
// terminator. An invalid pattern matches nothing.
bool matches(std::string_view text, std::string_view pattern);
// Whole text matches \d+\.\d+\.\d+\.\d+ (no range check: "999.1.1.1234").
bool isIP(std::string_view text);
// Whole text matches .*@.*\..* ("@." passes; a line break does not).
bool isEmail(std::string_view text);

// ---- Time -------------------------------------------------------------------

// "MM/dd/yyyy HH:mm:ss" of `seconds` since 1970 in the system time zone
// ($TZ read at each call). Empty for a moment the calendar cannot hold.
std::string formatTimestamp(std::int64_t seconds);
// The same text under the name the user interface uses.
inline std::string dateText(std::int64_t seconds) { return formatTimestamp(seconds); }

// ---- Hex --------------------------------------------------------------------

// Two upper-case hex digits per byte, no separators ("0A1BFF").
std::string hexString(std::span<const std::uint8_t> bytes);
// Decodes hex text: an optional leading "0x" (lower-case x only), digits in
// either case, paired from the left; a lone last digit is a byte of its own
// ("abc" gives AB 0C). Any other character gives an empty result.
std::vector<std::uint8_t> hexBytes(std::string_view text);

// ---- Identifiers, addresses, colour ----------------------------------------

// "CFBundleIdentifier" of the main bundle, read once.
const std::string& appBundleIdentifier();
// "group." + the first three dot-separated components (all when fewer).
std::string appGroupIdentifier(std::string_view bundleIdentifier);
std::string appGroupIdentifier();

// "https://" + the service's web-site host (a build setting).
const std::string& webSiteAddress();
const std::string& termsURL();    // webSiteAddress() + "/terms"
const std::string& privacyURL();  // webSiteAddress() + "/privacy"

struct RgbaColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  bool operator==(const RgbaColor&) const = default;
};
// Red 41/255, green 164/255, blue 193/255, alpha 1.
RgbaColor themeColor();

}  // namespace vandrel::core
