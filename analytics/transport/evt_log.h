#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vandrel::analytics {

// The transport's console logger. A line reads
//   [GryphonDataTransport][I-EVTCOR000002] There was an error uploading events: ...
// and goes to stderr (the system log here) unless a sink is installed.
inline constexpr std::string_view kEVTCORConsoleLogPrefix = "[GryphonDataTransport]";

enum class EVTCORLoggerLevel : int {
  Debug = 1,
  Info = 2,
  Warning = 3,
  Error = 4,
};

// Message codes (formatted "I-EVTCOR%06ld").
inline constexpr std::int64_t kEVTCORMCDebugLog = 0;                  // level 1: all debug detail
inline constexpr std::int64_t kEVTCORMCUploadFailed = 2;              // level 3
inline constexpr std::int64_t kEVTCORMCReachabilityFailed = 4;        // level 3
inline constexpr std::int64_t kEVTCORMCTransformerDoesntImplementTransform = 1000;  // level 4
inline constexpr std::int64_t kEVTCORMCDiagnosticsEncoderError = 1005;  // level 4
inline constexpr std::int64_t kEVTCORMCBatchEncoderError = 1006;        // level 4

// Writes one line unless `level` is below the threshold. Any thread.
void EVTCORConsoleLog(std::int64_t code, EVTCORLoggerLevel level, std::string_view message);

// printf-style forms ("%@" of the messages becomes "%s"). The arguments are
// formatted only when the line will be written.
void EVTCORConsoleLogf(std::int64_t code, EVTCORLoggerLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Code 0, level Debug.
void EVTCORLogDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when a line of `level` would be written (skip costly formatting).
bool EVTCORConsoleLogWouldLog(EVTCORLoggerLevel level);

// The process-wide threshold: 4 (errors only) at start.
int EVTCORConsoleLogThreshold();
void EVTCORSetConsoleLogThreshold(int threshold);

// The whole line (prefix and code included) of each written message, instead
// of stderr. An empty function restores stderr. For tests and embedding.
using EVTCORConsoleLogSink = std::function<void(std::string_view line)>;
void EVTCORSetConsoleLogSink(EVTCORConsoleLogSink sink);

}  // namespace vandrel::analytics
