#include "core/log_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>

#include "core/local_time.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace vandrel::core {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxCharacters = 1000;

// Main-queue state: the log window's list and the handle slot.
struct LoggerState {
  std::vector<std::string> displayedLines;
  int logFile = -1;
  // Set once the append step has reported that the cache directory cannot
  // be made. That report is itself a line whose append step would fail and
  // report again, forever; later attempts stay silent until an open works.
  bool openFailureReported = false;
};

LoggerState& state() {
  static auto* loggerState = new LoggerState;
  return *loggerState;
}

// The first `max` user-perceived characters (extended grapheme clusters).
std::string_view firstCharacters(std::string_view text, std::size_t max) {
  // Every character takes at least one byte.
  if (text.size() <= max) return text;
  // Only the head matters; a cluster can be long but not this long.
  const auto length = static_cast<int64_t>(std::min<std::size_t>(text.size(), INT32_MAX / 2));
  thread_local std::unique_ptr<icu::BreakIterator> characters = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> made(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) made.reset();
    return made;
  }();
  // Without ICU's data there is no character count; keep the whole text
  // rather than cut inside a character.
  if (!characters) return text;
  UErrorCode status = U_ZERO_ERROR;
  UText* utext = utext_openUTF8(nullptr, text.data(), length, &status);
  characters->setText(utext, status);
  if (U_FAILURE(status)) {
    utext_close(utext);
    return text;
  }
  // Boundaries of a UTF-8 UText are byte offsets.
  int32_t end = characters->first();
  for (std::size_t i = 0; i < max; ++i) {
    end = characters->next();
    if (end == icu::BreakIterator::DONE) break;
  }
  // Detach the iterator from the caller's text before it goes away.
  static const auto* nothing = new icu::UnicodeString();
  characters->setText(*nothing);
  utext_close(utext);
  if (end == icu::BreakIterator::DONE) return text;
  return text.substr(0, static_cast<std::size_t>(end));
}

// The log file is UTF-8 text: ill-formed sequences in a message (bytes from
// a peer, say) become U+FFFD instead of corrupting it.
std::string wellFormed(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  int32_t i = 0;
  bool valid = true;
  while (i < length && valid) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    valid = c >= 0;
  }
  if (valid) return std::string(text);
  std::string repaired;
  repaired.reserve(text.size() + 16);
  i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c >= 0) {
      repaired.append(text.data() + start, static_cast<std::size_t>(i - start));
    } else {
      repaired.append("\xEF\xBF\xBD");
    }
  }
  return repaired;
}

// "yyyy-MM-dd HH:mm:ss.SSS " in the system time zone of the moment.
std::string dateText() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localTime(now.tv_sec, local);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d.%03ld ",
                static_cast<long long>(local.tm_year) + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000);
  return text;
}

bool pathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

std::string cacheDirectory(bool reportFailure) {
  const fs::path directory = platform::cachesDirectory() / LogUtil::kCacheFolderName;
  // Owner only: it holds the log and the account caches.
  if (!pathExists(directory) && ::mkdir(directory.c_str(), 0700) != 0) {
    const std::string reason = std::strerror(errno);
    if (reportFailure) LogUtil::reportError("create Cahce path error: " + reason);
  }
  return directory.string();
}

std::string logFilePath(bool reportFailure) {
  std::string path = cacheDirectory(reportFailure);
  path += '/';
  path += LogUtil::kLogFileName;
  if (!pathExists(path)) {
    // O_EXCL: a file that appeared meanwhile keeps its lines. A failure
    // shows when the file is opened.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  return path;
}

// Opens the log file into the slot when it is empty; false when it cannot.
bool openLogFile(LoggerState& logger) {
  if (logger.logFile >= 0) return true;
  const std::string path = logFilePath(!logger.openFailureReported);
  // O_APPEND: a file shortened or extended from outside gets our lines at
  // its end, never over its content or after a hole. Only a regular file:
  // a named pipe in its place would take lines until it filled and then
  // hold the main thread.
  const int fd = platform::openRegularFile(path.c_str(), O_RDWR | O_APPEND).release();
  if (fd < 0) {
    logger.openFailureReported = true;
    return false;
  }
  logger.logFile = fd;
  logger.openFailureReported = false;
  return true;
}

// On the main queue, in the order the lines were queued.
void appendLine(std::int64_t level, std::string entry, const std::string& line) {
  LoggerState& logger = state();
  if (level <= 2) logger.displayedLines.push_back(std::move(entry));
  if (!openLogFile(logger)) return;
  platform::writeAll(logger.logFile, line);
}

// `tree`: the path is a directory to remove with everything in it.
void removeAndReport(const fs::path& path, bool tree) {
  std::error_code error;
  if (tree) {
    fs::remove_all(path, error);
  } else {
    fs::remove(path, error);
  }
  if (error) {
    LogUtil::reportError("delete error: " + error.message());
  } else {
    LogUtil::debug("delete cache success : " + path.string());
  }
}

}  // namespace

void LogUtil::logLine(std::int64_t level, std::string_view message) {
  if (level > 4) return;
  std::string entry = dateText();
  entry += wellFormed(firstCharacters(message, kMaxCharacters));
  std::string line = entry + "\r\n";
  // One write, so lines of several threads never interleave on the console.
  // A closed console pipe must fail the write, not end the process.
  platform::ignoreSigpipe();
  platform::writeAll(STDOUT_FILENO, line + "\n");
  platform::mainQueue().async([level, entry = std::move(entry), line = std::move(line)]() mutable {
    appendLine(level, std::move(entry), line);
  });
}

void LogUtil::log(std::string_view text) {
  std::string message(kLogTag);
  message += text;
  logLine(1, message);
}

void LogUtil::debug(std::string_view text) {
  std::string message(kDebugTag);
  message += text;
  logLine(4, message);
}

void LogUtil::reportError(std::string_view text) {
  std::string message(kErrorTag);
  message += text;
  logLine(2, message);
  checkUploadKeywords(text);
}

std::string LogUtil::cacheDirectory() { return core::cacheDirectory(true); }

std::string LogUtil::logFilePath() { return core::logFilePath(true); }

void LogUtil::closeLogFileHandle() {
  LoggerState& logger = state();
  if (logger.logFile >= 0) ::close(logger.logFile);
  logger.logFile = -1;
}

void LogUtil::deleteLogFile() {
  platform::mainQueue().async([] {
    closeLogFileHandle();
    const std::string path = logFilePath();
    if (pathExists(path)) removeAndReport(path, false);
  });
}

void LogUtil::clearUserDataAndLog() {
  platform::Defaults& defaults = platform::Defaults::standard();
  for (const auto& [key, value] : defaults.dictionaryRepresentation()) defaults.remove(key);
  defaults.synchronize();
  closeLogFileHandle();
  const std::string directory = cacheDirectory();
  if (pathExists(directory)) removeAndReport(directory, true);
}

std::vector<std::string>& LogUtil::displayedLines() { return state().displayedLines; }

}  // namespace vandrel::core
