#pragma once

// The configuration core's levelled log functions. Every function first runs
// the one-time set-up (BCNCoreLoggerSetUp), which reads the process
// arguments "-BCNLoggerForceSTDERR", "-BCNDebugEnabled" and
// "-BCNDebugDisabled" and the stored debug flag.
//
// Formats are printf-style: the "%@" of the messages is "%s" here.

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/core/bcn_gru_logger.h"

namespace vandrel::platform {
class Defaults;
}

namespace vandrel::analytics {

using BCNLoggerLevel = GRULoggerLevel;

inline constexpr std::string_view kBCNLoggerVersion = "6.28.0";

// Service tags.
inline constexpr std::string_view kBCNLoggerCore = "[Beacon/Core]";
inline constexpr std::string_view kBCNLoggerAnalytics = "[Beacon/Analytics]";

// Process arguments and the stored debug switch.
inline constexpr std::string_view kBCNDebugEnabledArgument = "-BCNDebugEnabled";
inline constexpr std::string_view kBCNDebugDisabledArgument = "-BCNDebugDisabled";
inline constexpr std::string_view kBCNLoggerForceSTDERRArgument = "-BCNLoggerForceSTDERR";
inline constexpr std::string_view kBCNPersistedDebugModeKey = "/gryphon/beacon/debug_mode";

// Message codes of the core.
inline constexpr std::string_view kBCNLogCoreConfigFileNotDictionary = "I-COR000011";
inline constexpr std::string_view kBCNLogCoreConfigFileNotFound = "I-COR000012";
inline constexpr std::string_view kBCNLogCorePlistPathNil = "I-COR000013";
inline constexpr std::string_view kBCNLogCorePlistFileMalformed = "I-COR000014";
inline constexpr std::string_view kBCNLogCoreDuplicateComponent = "I-COR000029";
inline constexpr std::string_view kBCNLogCoreNonConformingInstance = "I-COR000030";

// Once per process: registers the version, reads the process arguments and
// the standard user defaults, sets up the outputs and the debug level.
void BCNCoreLoggerSetUp();

// The argument and stored-flag rule of the set-up, on given arguments and
// store: applies "-BCNDebugDisabled" / "-BCNDebugEnabled" to `defaults` and
// answers whether debug output is on.
struct BCNLoggerLaunchOptions {
  bool forceSTDERR = false;
  bool debugMode = false;
};
BCNLoggerLaunchOptions BCNCoreLoggerReadLaunchOptions(const std::vector<std::string>& arguments,
                                                     platform::Defaults& defaults);

// The process arguments (argv[0] first), read from /proc/self/cmdline.
std::vector<std::string> BCNProcessArguments();

void BCNCoreSetAnalyticsDebugMode(bool analyticsDebugMode);
void BCNCoreSetLoggerLevel(BCNLoggerLevel level);
bool BCNCoreIsLoggableLevel(BCNLoggerLevel level, bool analyticsComponent);

void BCNCoreLogV(BCNLoggerLevel level, std::string_view service, std::string_view messageCode,
                 const char* format, va_list args) __attribute__((format(printf, 4, 0)));

void BCNCoreLogError(std::string_view service, std::string_view messageCode, const char* format,
                     ...) __attribute__((format(printf, 3, 4)));
void BCNCoreLogWarning(std::string_view service, std::string_view messageCode, const char* format,
                       ...) __attribute__((format(printf, 3, 4)));
void BCNCoreLogNotice(std::string_view service, std::string_view messageCode, const char* format,
                      ...) __attribute__((format(printf, 3, 4)));
void BCNCoreLogInfo(std::string_view service, std::string_view messageCode, const char* format,
                    ...) __attribute__((format(printf, 3, 4)));
void BCNCoreLogDebug(std::string_view service, std::string_view messageCode, const char* format,
                     ...) __attribute__((format(printf, 3, 4)));

// Lets code outside the core write to the core logger.
class BCNLoggerWrapper {
 public:
  static void logWithLevel(BCNLoggerLevel level, std::string_view service,
                           std::string_view messageCode, const char* format, va_list args)
      __attribute__((format(printf, 4, 0)));
};

}  // namespace vandrel::analytics
