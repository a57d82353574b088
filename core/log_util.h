#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::core {

// The application's single diagnostic channel. Every line is printed at once
// on the caller's thread; the in-memory list and the log file are updated
// later on the main queue, in the order lines were queued there.
//
// Callers write the tag themselves: "[LOG]: " (level 1), "[ERROR]: " (level
// 2), "[DEBUG]: " (level 4). An error is reported as a level-2 line followed
// by checkUploadKeywords with the text without its tag; reportError does both.
class LogUtil {
 public:
  LogUtil() = delete;

  static constexpr std::string_view kLogTag = "[LOG]: ";
  static constexpr std::string_view kErrorTag = "[ERROR]: ";
  static constexpr std::string_view kDebugTag = "[DEBUG]: ";
  static constexpr std::string_view kLogFileName = "vandrel.log";
  static constexpr std::string_view kCacheFolderName = "dataCache";

  // Callable from any thread.
  static void logLine(std::int64_t level, std::string_view message);

  // Convenience forms of the three ways callers report.
  static void log(std::string_view text);    // level 1, "[LOG]: " + text
  static void debug(std::string_view text);  // level 4, "[DEBUG]: " + text
  // Level 2 "[ERROR]: " + text, then checkUploadKeywords(text).
  static void reportError(std::string_view text);

  // The "dataCache" folder of the Caches directory, created when missing.
  static std::string cacheDirectory();
  // The log file path, created empty when missing.
  static std::string logFilePath();
  // Queues the deletion of the log file on the main queue.
  static void deleteLogFile();
  // Removes every standard-defaults value and the whole cache directory.
  // Main thread only.
  static void clearUserDataAndLog();

  // Empties the slot of the open log-file handle, closing it: the next line
  // opens the file at the path of that moment again (after the Caches
  // directory moved, say). Main thread only.
  static void closeLogFileHandle();

  // Entries (date text + message, no line end) of levels up to 2, in order.
  // Main thread only: the log window reads and empties it.
  static std::vector<std::string>& displayedLines();

  // Compares an error text with the service's upload keywords and may start
  // one silent log upload per run. Returns at once.
  static void checkUploadKeywords(std::string_view text);
};

}  // namespace vandrel::core
