#include "core/log_upload.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "core/connection_port.h"
#include "core/local_time.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/qv_network.h"
#include "core/static_data.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/file_io.h"

namespace vandrel::core {

namespace {

constexpr std::string_view kGzipErrorDomain = "vandrel.gzip";
constexpr std::string_view kDeviceInfoRule = "==================== Device Info ========================";

platform::Error gzipError(int code, const z_stream& stream) {
  return platform::Error{std::string(kGzipErrorDomain), code,
                         stream.msg ? stream.msg : "zlib error " + std::to_string(code)};
}

// The whole file, or none when it cannot be read (a read error is not an
// end of file: a directory in its place must not upload as empty). Only a
// regular file is the log: a named pipe or a device in its place would
// hold the caller or never end.
std::optional<std::string> readWholeFile(const std::string& path) {
  const int fd = platform::openRegularFile(path.c_str(), O_RDONLY).release();
  if (fd < 0) return std::nullopt;
  std::string content;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

// `text` in canonical decomposition, so that equivalent forms compare equal.
icu::UnicodeString decomposed(std::string_view text) {
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status) || nfd == nullptr) return unicode;
  icu::UnicodeString normalized = nfd->normalize(unicode, status);
  return U_FAILURE(status) ? unicode : normalized;
}

// The stamp of the archive name: the user's number is literal text between
// the date and the time. Gregorian with ASCII digits in every locale: the
// service files uploads under this name.
std::string archiveStamp(double secondsSince1970, const std::string& userNumber) {
  const auto seconds = static_cast<std::time_t>(std::floor(secondsSince1970));
  std::tm local{};
  if (!localTime(seconds, local)) gmtime_r(&seconds, &local);
  char date[64];
  std::snprintf(date, sizeof date, "%04lld-%02d-%02d-", static_cast<long long>(local.tm_year) + 1900,
                local.tm_mon + 1, local.tm_mday);
  char time[32];
  std::snprintf(time, sizeof time, "-%d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return date + userNumber + time;
}

}  // namespace

platform::Result<std::string> gzipCompress(std::string_view bytes) {
  z_stream stream{};
  // 15 + 16: the largest window, with a gzip header and trailer.
  int code = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                          Z_DEFAULT_STRATEGY);
  if (code != Z_OK) return gzipError(code, stream);
  std::string out;
  std::vector<unsigned char> chunk(64 * 1024);
  constexpr std::size_t kMaxInput = std::numeric_limits<uInt>::max();
  auto* next = reinterpret_cast<const Bytef*>(bytes.data());
  std::size_t left = bytes.size();
  do {
    const std::size_t take = std::min(left, kMaxInput);
    stream.next_in = const_cast<Bytef*>(next);
    stream.avail_in = static_cast<uInt>(take);
    next += take;
    left -= take;
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = chunk.data();
      stream.avail_out = static_cast<uInt>(chunk.size());
      code = deflate(&stream, flush);
      if (code == Z_STREAM_ERROR) {
        platform::Error error = gzipError(code, stream);
        deflateEnd(&stream);
        return error;
      }
      out.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  } while (left > 0);
  const bool finished = code == Z_STREAM_END;
  deflateEnd(&stream);
  if (!finished) return gzipError(code, stream);
  return out;
}

bool containsKeyword(std::string_view text, std::string_view piece) {
  if (piece.empty()) return false;
  const icu::UnicodeString haystack = decomposed(text);
  const icu::UnicodeString needle = decomposed(piece);
  if (needle.isEmpty() || haystack.indexOf(needle) < 0) return false;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> characters(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  // Without ICU's data there are no character boundaries to respect.
  if (U_FAILURE(status) || !characters) return true;
  characters->setText(haystack);
  for (int32_t at = haystack.indexOf(needle); at >= 0; at = haystack.indexOf(needle, at + 1)) {
    if (characters->isBoundary(at) && characters->isBoundary(at + needle.length())) return true;
  }
  return false;
}

std::string describeOptional(const std::optional<std::string>& text) {
  if (!text) return "nil";
  std::string out = "Optional(\"";
  for (const char c : *text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\'': out += "\\'"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[16];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
          out += escaped;
        } else {
          out += c;
        }
      }
    }
  }
  return out + "\")";
}

// ---- LogUpload ---------------------------------------------------------------

LogUpload& LogUpload::shared() {
  // Leaked: uploads and matches may be under way until the process ends.
  static LogUpload* const instance =
      new LogUpload(StaticData::shared(), MiscInfo::shared(), qv_Network::shared(),
                    sharedConnectionPort(), DeviceFacts(), platform::SystemClock::shared());
  return *instance;
}

LogUpload::LogUpload(StaticData& staticData, MiscInfo& session, qv_Network& network,
                     ConnectionPort& port, DeviceFacts device, const platform::Clock& clock)
    : staticData_(staticData),
      session_(session),
      network_(network),
      port_(port),
      device_(std::move(device)),
      clock_(clock) {}

void LogUpload::checkUploadKeywords(std::string_view text) {
  matchesInFlight_.fetch_add(1);
  platform::globalQueue().async([this, text = std::string(text)] {
    matchKeywords(text);
    matchesInFlight_.fetch_sub(1);
  });
}

void LogUpload::matchKeywords(const std::string& text) {
  if (!autoUploadArmed_.load()) return;
  const std::optional<StaticDataModel> info = staticData_.staticDataInfo();
  if (!info || !info->log_keyword) return;
  const std::string& keywords = *info->log_keyword;
  // Pieces are not trimmed and empty ones stay (they match nothing).
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = keywords.find(',', start);
    const std::string_view piece =
        std::string_view(keywords).substr(start, comma == std::string::npos ? comma : comma - start);
    if (containsKeyword(text, piece)) {
      if (autoUploadArmed_.exchange(false)) uploadLogs(true);
      return;
    }
    if (comma == std::string::npos) return;
    start = comma + 1;
  }
}

void LogUpload::uploadLogs(bool silent) {
  logDeviceInfo();
  // Read now, on this thread: lines still queued for the main queue (the
  // block above, when called there) are not in it yet.
  const std::optional<std::string> content = readWholeFile(LogUtil::logFilePath());
  if (!content) return;
  platform::Result<std::string> archive = gzipCompress(*content);
  if (!archive.ok()) return;
  ConnectionPort& port = port_;
  network_.uploadLogFile(std::move(archive).value(), logArchiveName())
      .then(platform::mainQueue(), [&port, silent](const ResultData& result) {
        if (result.isSuccess) {
          LogUtil::deleteLogFile();
          if (!silent) {
            port.showAlert(std::string(kUploadSucceededTitle), std::string(kUploadSucceededMessage),
                           "OK");
          }
        } else if (!silent) {
          port.showAlert(std::string(kUploadFailedTitle), std::string(kUploadFailedMessage), "OK");
        }
      });
}

std::string LogUpload::logArchiveName() const {
  const std::optional<MiscInfoModel> user = session_.model();
  const std::string number = user ? std::to_string(user->user_id) : "0";
  return "macOS-Vandrel-" + archiveStamp(clock_.secondsSince1970(), number) + ".log.zip";
}

void LogUpload::logDeviceInfo() {
  const std::optional<MiscInfoModel> user = session_.model();
  LogUtil::debug(std::string(kDeviceInfoRule) + "\n\n");
  LogUtil::debug("serverPath: " + describeOptional(port_.goServicePath()));
  // Nothing waits for the helper: its line comes when (and if) it answers.
  port_.debugInfoCallBack([](std::optional<std::string> reply) {
    LogUtil::debug("daemonInfo: " + describeOptional(reply));
  });
  LogUtil::debug("ip: " + session_.ipAddress());
  LogUtil::debug("region: " + device_.countryCode());
  LogUtil::debug("email: " + (user ? user->displayName() : std::string("unknow")));
  LogUtil::debug("udid: " + device_.udid());
  LogUtil::debug("appVersion: " + device_.appVersion());
  LogUtil::debug("model: " + device_.deviceModel());
  LogUtil::debug("osVersion: " + device_.osVersion());
  LogUtil::debug("device: mac");
  LogUtil::debug("bundleId: " + device_.bundleId());
  LogUtil::debug("nickName: " + (user && user->nick ? *user->nick : std::string("unknown")));
  LogUtil::debug("\n\n" + std::string(kDeviceInfoRule));
}

}  // namespace vandrel::core
