#pragma once

// The utilities library's basic logging layer, as far as the configuration
// core uses it: a level threshold, the system-log output, an optional
// standard-error copy and a forced debug level. A line reads
//   6.28.0 - [Beacon/Core][I-COR000012] Could not locate configuration file: ...

#include <cstdarg>
#include <functional>
#include <string>
#include <string_view>

namespace vandrel::analytics {

// Severities as the system log numbers them.
enum class GRULoggerLevel : int {
  Error = 3,
  Warning = 4,
  Notice = 5,
  Info = 6,
  Debug = 7,
};

// The version written in front of every line.
void GRULoggerRegisterVersion(std::string_view version);
// Opens the system-log output (syslog, facility user).
void GRULoggerInitializeASL();
// Also copy every line to standard error.
void GRULoggerEnableSTDERR();
// Raise the threshold to Debug and keep it there.
void GRULoggerForceDebug();
// Lines above `level` are dropped; ignored while debug is forced.
void GRUSetLoggerLevel(GRULoggerLevel level);
bool GRULoggerIsLoggableLevel(GRULoggerLevel level);

// Writes one line when `level` passes the threshold or `forceLog` is set.
// `format` is printf-style.
void GRULogBasic(GRULoggerLevel level, std::string_view service, bool forceLog,
                 std::string_view messageCode, const char* format, va_list args)
    __attribute__((format(printf, 5, 0)));

// Every written line (level, whole text) goes here instead of the outputs
// while set; an empty function restores them. For tests and embedding.
using GRULoggerSink = std::function<void(GRULoggerLevel level, std::string_view line)>;
void GRULoggerSetSink(GRULoggerSink sink);

}  // namespace vandrel::analytics
