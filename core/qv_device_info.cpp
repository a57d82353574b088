#include "core/qv_device_info.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <unicode/uloc.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <system_error>

#include "core/app_constants.h"
#include "platform/bundle.h"
#include "platform/file_io.h"

namespace vandrel::core {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUnknow = "unknow";
constexpr std::string_view kUnknownUdid = "unKnowUDID";
constexpr std::string_view kNoVersion = "0.0";
constexpr std::string_view kNoBundleId = "com.---.mac";
// sysfs values, the machine id and os-release are small; a larger file is
// not one of them.
constexpr std::size_t kMaxFileSize = 64 * 1024;

// Texts firmware vendors leave in DMI fields they did not fill in.
constexpr std::array<std::string_view, 4> kPlaceholders = {"to be filled by o.e.m.",
                                                           "not specified", "default string", "0"};

// O_NONBLOCK: a named pipe in a source's place reads as empty (so the
// fallback) instead of holding the caller until some writer comes.
std::optional<std::string> readSmallFile(const fs::path& path) {
  platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file) return std::nullopt;
  std::string text;
  if (!platform::readAll(file.get(), text, kMaxFileSize)) return std::nullopt;
  return text;
}

std::string trimmed(std::string_view text) {
  constexpr std::string_view kBlank = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlank);
  return std::string(text.substr(first, last - first + 1));
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

bool isPlaceholder(std::string_view value) {
  if (value.empty()) return true;
  const std::string lower = lowercase(value);
  return std::find(kPlaceholders.begin(), kPlaceholders.end(), lower) != kPlaceholders.end();
}

// A machine id is 32 lower-case hex digits; anything else ("uninitialized"
// early at boot, an empty file) identifies nothing.
bool isMachineId(std::string_view text) {
  return text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::optional<std::string> hmacSha256Hex(std::string_view key, std::string_view message) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
           &length) == nullptr) {
    return std::nullopt;
  }
  return hexString(std::span<const std::uint8_t>(digest, length));
}

// The value of `key` in os-release text: KEY=value lines, the value maybe
// in single or double quotes (inside double quotes a backslash escapes the
// next character).
std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line = trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.size() <= key.size() || !line.starts_with(key) || line[key.size()] != '=') continue;
    std::string_view value = std::string_view(line).substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      const char quote = value.front();
      value = value.substr(1, value.size() - 2);
      if (quote == '\'') return std::string(value);
      std::string unescaped;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) ++i;
        unescaped.push_back(value[i]);
      }
      return unescaped;
    }
    return std::string(value);
  }
  return std::nullopt;
}

}  // namespace

DeviceFacts::DeviceFacts() : root_("/"), environment_(processEnvironment()) {}

DeviceFacts::DeviceFacts(const platform::Bundle& bundle, fs::path root, Environment environment)
    : bundle_(&bundle), root_(std::move(root)), environment_(std::move(environment)) {}

DeviceFacts::Environment DeviceFacts::processEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

const platform::Bundle& DeviceFacts::bundle() const {
  return bundle_ != nullptr ? *bundle_ : platform::Bundle::main();
}

std::optional<std::string> DeviceFacts::infoString(std::string_view key) const {
  return bundle().infoString(key);
}

std::optional<std::string> DeviceFacts::dmiValue(std::string_view name) const {
  const auto text = readSmallFile(root_ / "sys/class/dmi/id" / name);
  if (!text) return std::nullopt;
  std::string value = trimmed(*text);
  if (isPlaceholder(value)) return std::nullopt;
  return value;
}

std::string DeviceFacts::appVersion() const {
  return infoString("CFBundleShortVersionString").value_or(std::string(kNoVersion));
}

std::string DeviceFacts::buildVersion() const {
  return infoString("CFBundleVersion").value_or(std::string(kNoVersion));
}

std::string DeviceFacts::bundleId() const {
  return infoString("CFBundleIdentifier").value_or(std::string(kNoBundleId));
}

std::string DeviceFacts::countryCode() const {
  std::optional<std::string> locale;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    locale = environment_(name);
    if (locale && !locale->empty()) break;
    locale.reset();
  }
  if (!locale) return std::string(kUnknow);
  char country[ULOC_COUNTRY_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_getCountry(locale->c_str(), country, sizeof country, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING || length <= 0) {
    return std::string(kUnknow);
  }
  return std::string(country, static_cast<std::size_t>(length));
}

std::string DeviceFacts::udid() const {
  if (auto serial = dmiValue("product_serial")) return *serial;
  const auto machineId = readSmallFile(root_ / "etc/machine-id");
  if (machineId) {
    const std::string id = trimmed(*machineId);
    if (isMachineId(id)) {
      if (auto derived = hmacSha256Hex(bundleId(), id)) return *derived;
    }
  }
  return std::string(kUnknownUdid);
}

std::string DeviceFacts::deviceModel() const { return dmiValue("product_name").value_or(""); }

std::string DeviceFacts::osVersion() const {
  // The second file is the vendor's copy, read only when the first is not
  // there at all.
  auto text = readSmallFile(root_ / "etc/os-release");
  if (!text) {
    std::error_code error;
    if (!fs::exists(root_ / "etc/os-release", error))
      text = readSmallFile(root_ / "usr/lib/os-release");
  }
  if (!text) return std::string(kUnknow);
  auto version = osReleaseValue(*text, "VERSION_ID");
  if (!version || version->empty()) return std::string(kUnknow);
  return *version;
}

}  // namespace vandrel::core
