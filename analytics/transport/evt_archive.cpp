#include "analytics/transport/evt_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>
#include <utility>

#include "analytics/transport/evt_event.h"
#include "analytics/transport/evt_log.h"
#include "platform/file_io.h"
#include "platform/json.h"

namespace vandrel::analytics {
namespace {

using Json = nlohmann::ordered_json;
using platform::Error;
using platform::Result;

constexpr std::string_view kEventClass = "EVTCOREvent";
constexpr std::string_view kStoredEventAlias = "EVTCORStoredEvent";
constexpr std::string_view kClockClass = "EVTCORClock";

constexpr std::string_view kEventIDKey = "EVTCOREventEventIDKey";
constexpr std::string_view kMappingIDKey = "EVTCOREventMappingIDKey";
constexpr std::string_view kTargetKey = "EVTCOREventTargetKey";
constexpr std::string_view kQoSTierKey = "EVTCOREventQoSTierKey";
constexpr std::string_view kClockSnapshotKey = "EVTCOREventClockSnapshotKey";
constexpr std::string_view kCustomDataKey = "EVTCOREventCustomDataKey";
constexpr std::string_view kExpirationDateKey = "EVTCOREventExpirationDateKey";
constexpr std::string_view kSerializedBytesKey = "EVTCOREventSerializedDataObjectBytesKey";

constexpr std::string_view kClockTimeMillisKey = "EVTCORClockTimeMillis";
constexpr std::string_view kClockTimezoneOffsetKey = "EVTCORClockTimezoneOffsetSeconds";
constexpr std::string_view kClockKernelBootTimeKey = "EVTCORClockKernelBootTime";
constexpr std::string_view kClockUptimeKey = "EVTCORClockUptime";

Error corrupt(std::string message) {
  return Error{std::string(kEVTCORCocoaErrorDomain), kEVTCORCoderReadCorruptError,
               "The archive is damaged: " + std::move(message)};
}

Error posixError(int error, const std::string& what) {
  return Error{std::string(kEVTCORPosixErrorDomain), error, what + ": " + std::strerror(error)};
}

// ---- encoding ----

Json objectArchive(std::string_view className, Json keys) {
  Json object = Json::object();
  object["class"] = className;
  object["keys"] = std::move(keys);
  return object;
}

Json encodeClock(const EVTCORClock& clock) {
  Json keys = Json::object();
  keys[std::string(kClockTimeMillisKey)] = clock.timeMillis();
  keys[std::string(kClockTimezoneOffsetKey)] = clock.timezoneOffsetSeconds();
  keys[std::string(kClockKernelBootTimeKey)] = clock.kernelBootTime();
  keys[std::string(kClockUptimeKey)] = clock.uptime();
  return objectArchive(kClockClass, std::move(keys));
}

Json encodeEvent(const EVTCOREvent& event) {
  Json keys = Json::object();
  keys[std::string(kEventIDKey)] = event.eventID();
  keys[std::string(kMappingIDKey)] = event.mappingID();
  keys[std::string(kTargetKey)] = event.target();
  keys[std::string(kQoSTierKey)] = event.qosTier();
  if (event.clockSnapshot()) keys[std::string(kClockSnapshotKey)] = encodeClock(*event.clockSnapshot());
  if (event.customBytes()) keys[std::string(kCustomDataKey)] = EVTCORBase64Encode(*event.customBytes());
  keys[std::string(kExpirationDateKey)] = EVTCORSecondsSince1970(event.expirationDate());
  if (event.serializedDataObjectBytes()) {
    keys[std::string(kSerializedBytesKey)] = EVTCORBase64Encode(*event.serializedDataObjectBytes());
  }
  return objectArchive(kEventClass, std::move(keys));
}

std::string topLevel(Json object) {
  Json top = Json::object();
  top["format"] = kEVTCORArchiveFormat;
  top["version"] = kEVTCORArchiveVersion;
  for (auto& [key, value] : object.items()) top[key] = std::move(value);
  return platform::dumpJson(top);
}

// ---- decoding ----

// The "keys" object of an archived object of `className` (or its alias).
Result<const Json*> keysOf(const Json& object, std::string_view className,
                           std::string_view alias = {}) {
  if (!object.is_object()) return corrupt("expected an object");
  const auto cls = object.find("class");
  if (cls == object.end() || !cls->is_string()) return corrupt("no class name");
  const std::string name = cls->get<std::string>();
  if (name != className && (alias.empty() || name != alias)) {
    return corrupt("holds a " + name + ", not a " + std::string(className));
  }
  const auto keys = object.find("keys");
  if (keys == object.end() || !keys->is_object()) return corrupt("no keys");
  return &*keys;
}

// Typed reads of one key; none when absent; an error when mistyped.
class KeyReader {
 public:
  explicit KeyReader(const Json& keys) : keys_(keys) {}

  const Json* find(std::string_view key) const {
    const auto it = keys_.find(key);
    return (it == keys_.end() || it->is_null()) ? nullptr : &*it;
  }
  std::optional<std::int64_t> integer(std::string_view key) {
    const Json* v = find(key);
    if (v == nullptr) return std::nullopt;
    if (auto n = platform::readInt64(*v)) return n;
    fail(key, "an integer");
    return std::nullopt;
  }
  std::optional<std::string> string(std::string_view key) {
    const Json* v = find(key);
    if (v == nullptr) return std::nullopt;
    if (auto s = platform::readString(*v)) return s;
    fail(key, "a string");
    return std::nullopt;
  }
  std::optional<std::string> bytes(std::string_view key) {
    const auto text = string(key);
    if (!text) return std::nullopt;
    if (auto decoded = EVTCORBase64Decode(*text)) return decoded;
    fail(key, "Base64 bytes");
    return std::nullopt;
  }
  std::optional<double> date(std::string_view key) {
    const Json* v = find(key);
    if (v == nullptr) return std::nullopt;
    const auto seconds = platform::readDouble(*v);
    if (seconds && std::isfinite(*seconds)) return seconds;
    fail(key, "a date (seconds since 1970)");
    return std::nullopt;
  }
  std::optional<std::int64_t> requiredInteger(std::string_view key) {
    auto v = integer(key);
    if (!v && !error_) missing(key);
    return v;
  }
  void fail(std::string_view key, std::string_view expected) {
    if (!error_) error_ = corrupt("key \"" + std::string(key) + "\" is not " + std::string(expected));
  }
  void missing(std::string_view key) {
    if (!error_) {
      error_ = Error{std::string(kEVTCORCocoaErrorDomain), kEVTCORCoderValueNotFoundError,
                     "The archive lacks the value of \"" + std::string(key) + "\""};
    }
  }
  void failWith(Error error) {
    if (!error_) error_ = std::move(error);
  }
  const std::optional<Error>& error() const { return error_; }

 private:
  const Json& keys_;
  std::optional<Error> error_;
};

Result<EVTCORClock> decodeClock(const Json& object) {
  auto keys = keysOf(object, kClockClass);
  if (!keys.ok()) return keys.error();
  KeyReader r(*keys.value());
  const auto millis = r.requiredInteger(kClockTimeMillisKey);
  const auto offset = r.requiredInteger(kClockTimezoneOffsetKey);
  const auto boot = r.requiredInteger(kClockKernelBootTimeKey);
  const auto uptime = r.requiredInteger(kClockUptimeKey);
  if (r.error()) return *r.error();
  return EVTCORClock(*millis, *offset, *boot, *uptime);
}

Result<EVTCOREvent> decodeEvent(const Json& object) {
  auto keys = keysOf(object, kEventClass, kStoredEventAlias);
  if (!keys.ok()) return keys.error();
  KeyReader r(*keys.value());
  EVTCOREvent::Fields f;
  // Read in the order the event's decoder always used.
  auto mappingID = r.string(kMappingIDKey);
  if (!r.error() && (!mappingID || mappingID->empty())) r.missing(kMappingIDKey);
  const auto target = r.requiredInteger(kTargetKey);
  if (!r.error() && *target < 1) r.fail(kTargetKey, "a target of at least 1");
  auto eventID = r.string(kEventIDKey);
  const auto qosTier = r.integer(kQoSTierKey);
  if (const Json* clock = r.find(kClockSnapshotKey); clock != nullptr && !r.error()) {
    auto decoded = decodeClock(*clock);
    if (decoded.ok()) {
      f.clockSnapshot = decoded.value();
    } else {
      r.failWith(decoded.error());
    }
  }
  f.customBytes = r.bytes(kCustomDataKey);
  const auto expiration = r.date(kExpirationDateKey);
  auto payload = r.bytes(kSerializedBytesKey);
  if (!r.error() && !payload) r.missing(kSerializedBytesKey);
  if (r.error()) return *r.error();

  f.mappingID = std::move(*mappingID);
  f.target = *target;
  f.eventID = (eventID && !eventID->empty()) ? std::move(*eventID) : EVTCOREvent::nextEventID();
  f.qosTier = qosTier.value_or(0);  // an absent integer reads as 0
  f.expirationDate = EVTCORDateFromSecondsSince1970(expiration.value_or(0.0));
  f.serializedDataObjectBytes = std::move(*payload);
  return EVTCOREvent::fromFields(std::move(f));
}

template <typename T> struct ArchiveTraits;
template <> struct ArchiveTraits<EVTCOREvent> {
  static Result<EVTCOREvent> decode(const Json& j) { return decodeEvent(j); }
};
template <> struct ArchiveTraits<EVTCORClock> {
  static Result<EVTCORClock> decode(const Json& j) { return decodeClock(j); }
};

Result<std::string> readFile(const std::filesystem::path& path) {
  // A FIFO in the file's place would hold the storage queue in open().
  struct stat st {};
  platform::UniqueFd fd = platform::openRegularFile(path.c_str(), O_RDONLY | O_NOCTTY, &st);
  if (!fd) {
    const int error = errno;
    if (error == EINVAL) return posixError(EINVAL, "Not a regular file " + path.string());
    return posixError(error, "Cannot open " + path.string());
  }
  if (static_cast<std::uint64_t>(st.st_size) > kEVTCORMaxArchiveBytes) {
    return corrupt("the file " + path.string() + " is larger than " +
                   std::to_string(kEVTCORMaxArchiveBytes) + " bytes");
  }
  std::string bytes;
  if (!platform::readAll(fd.get(), bytes, kEVTCORMaxArchiveBytes)) {
    if (errno == EFBIG) return corrupt("the file " + path.string() + " is too large");
    return posixError(errno, "Cannot read " + path.string());
  }
  return bytes;
}

Result<std::string> writeArchive(Json object, const std::filesystem::path& path) {
  if (!path.empty() && path.has_parent_path()) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec) {
      EVTCORLogDebug("Attempt to create directory failed: path:%s error:%s",
                     path.parent_path().c_str(), ec.message().c_str());
      return posixError(ec.value(), "Cannot create " + path.parent_path().string());
    }
  }
  std::string bytes = topLevel(std::move(object));
  // The reader refuses what is larger: such an archive would be stored,
  // reported as stored, and then deleted unread when its batch is made.
  if (bytes.size() > kEVTCORMaxArchiveBytes) {
    Error tooLarge{std::string(kEVTCORPosixErrorDomain), EFBIG,
                   "Encoding an object failed: the archive of " + std::to_string(bytes.size()) +
                       " bytes is larger than " + std::to_string(kEVTCORMaxArchiveBytes)};
    EVTCORLogDebug("%s", tooLarge.message.c_str());
    return tooLarge;
  }
  if (path.empty()) return bytes;
  auto written = EVTCORWriteFileAtomically(path, bytes);
  if (!written.ok()) {
    EVTCORLogDebug("Attempt to write archive failed: path:%s error:%s", path.c_str(),
                   written.error().message.c_str());
    return written.error();
  }
  EVTCORLogDebug("Writing archive succeeded: %s", path.c_str());
  return bytes;
}

}  // namespace

Result<std::string> EVTCORWriteArchive(const EVTCOREvent& object,
                                       const std::filesystem::path& path) {
  return writeArchive(encodeEvent(object), path);
}

Result<std::string> EVTCORWriteArchive(const EVTCORClock& object,
                                       const std::filesystem::path& path) {
  return writeArchive(encodeClock(object), path);
}

template <typename T>
Result<T> EVTCORReadArchive(const std::filesystem::path& path,
                            const std::optional<std::string>& bytes) {
  std::string fromFile;
  if (!bytes) {
    auto read = readFile(path);
    if (!read.ok()) return read.error();
    fromFile = std::move(read).value();
  }
  const std::string& data = bytes ? *bytes : fromFile;
  if (data.size() > kEVTCORMaxArchiveBytes) return corrupt("the archive is too large");
  auto parsed = platform::parseOrderedJson(data);
  if (!parsed.ok()) return corrupt(parsed.error().message);
  const Json& top = parsed.value();
  if (!top.is_object()) return corrupt("expected an object");
  const auto format = top.find("format");
  if (format == top.end() || !format->is_string() ||
      format->get<std::string>() != kEVTCORArchiveFormat) {
    return corrupt("not a keyed archive");
  }
  const auto version = top.find("version");
  const auto number = version == top.end() ? std::nullopt : platform::readInt64(*version);
  if (!number) return corrupt("no version");
  if (*number != kEVTCORArchiveVersion) {
    return corrupt("version " + std::to_string(*number) + " is not supported");
  }
  return ArchiveTraits<T>::decode(top);
}

template Result<EVTCOREvent> EVTCORReadArchive<EVTCOREvent>(const std::filesystem::path&,
                                                            const std::optional<std::string>&);
template Result<EVTCORClock> EVTCORReadArchive<EVTCORClock>(const std::filesystem::path&,
                                                            const std::optional<std::string>&);

Result<void> EVTCORWriteFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
  if (!platform::replaceFileAtomically(path, bytes, 0644)) {
    return posixError(errno, "Cannot write " + path.string());
  }
  return platform::success();
}

std::string EVTCORBase64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                            (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) |
                            std::uint8_t(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint32_t(std::uint8_t(bytes[i])) << 16;
    if (rest == 2) n |= std::uint32_t(std::uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> EVTCORBase64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return std::nullopt;  // "x=y=" is not padding
    std::uint32_t n = 0;
    for (int k = 0; k < 4 - pad; ++k) {
      const int v = value(text[i + k]);
      if (v < 0) return std::nullopt;
      n = (n << 6) | static_cast<std::uint32_t>(v);
    }
    n <<= 6 * pad;
    out += static_cast<char>((n >> 16) & 0xFF);
    if (pad < 2) out += static_cast<char>((n >> 8) & 0xFF);
    if (pad < 1) out += static_cast<char>(n & 0xFF);
  }
  return out;
}

}  // namespace vandrel::analytics
