#include "analytics/core/bcn_logger.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/defaults.h"

namespace vandrel::analytics {
namespace {

std::atomic<bool> gAnalyticsDebugMode{false};

bool contains(const std::vector<std::string>& arguments, std::string_view argument) {
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

void logWithLevel(BCNLoggerLevel level, std::string_view service, std::string_view code,
                  const char* format, va_list args) __attribute__((format(printf, 4, 0)));
void logWithLevel(BCNLoggerLevel level, std::string_view service, std::string_view code,
                  const char* format, va_list args) {
  BCNCoreLogV(level, service, code, format, args);
}

}  // namespace

std::vector<std::string> BCNProcessArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    arguments.emplace_back(all, start, end - start);
    start = end + 1;
  }
  return arguments;
}

BCNLoggerLaunchOptions BCNCoreLoggerReadLaunchOptions(const std::vector<std::string>& arguments,
                                                     platform::Defaults& defaults) {
  BCNLoggerLaunchOptions options;
  options.forceSTDERR = contains(arguments, kBCNLoggerForceSTDERRArgument);
  if (contains(arguments, kBCNDebugDisabledArgument)) {
    (void)defaults.remove(kBCNPersistedDebugModeKey);
    options.debugMode = false;
  } else if (contains(arguments, kBCNDebugEnabledArgument) ||
             defaults.getBool(kBCNPersistedDebugModeKey).value_or(false)) {
    // Sticks across launches until a launch with "-BCNDebugDisabled".
    (void)defaults.set(kBCNPersistedDebugModeKey, true);
    options.debugMode = true;
  }
  return options;
}

void BCNCoreLoggerSetUp() {
  static std::once_flag once;
  std::call_once(once, [] {
    GRULoggerRegisterVersion(kBCNLoggerVersion);
    const BCNLoggerLaunchOptions options =
        BCNCoreLoggerReadLaunchOptions(BCNProcessArguments(), platform::Defaults::standard());
    GRULoggerInitializeASL();
    if (options.forceSTDERR) GRULoggerEnableSTDERR();
    if (options.debugMode) GRULoggerForceDebug();
  });
}

void BCNCoreSetAnalyticsDebugMode(bool analyticsDebugMode) {
  gAnalyticsDebugMode = analyticsDebugMode;
}

void BCNCoreSetLoggerLevel(BCNLoggerLevel level) {
  BCNCoreLoggerSetUp();
  GRUSetLoggerLevel(level);
}

bool BCNCoreIsLoggableLevel(BCNLoggerLevel level, bool analyticsComponent) {
  BCNCoreLoggerSetUp();
  if (analyticsComponent && gAnalyticsDebugMode) return true;
  return GRULoggerIsLoggableLevel(level);
}

void BCNCoreLogV(BCNLoggerLevel level, std::string_view service, std::string_view messageCode,
                 const char* format, va_list args) {
  BCNCoreLoggerSetUp();
  const bool force = gAnalyticsDebugMode && service == kBCNLoggerAnalytics;
  GRULogBasic(level, service, force, messageCode, format, args);
}

#define VANDREL_BCN_LOG_FUNCTION(name, level)                                              \
  void name(std::string_view service, std::string_view messageCode, const char* format, \
            ...) {                                                                         \
    va_list args;                                                                          \
    va_start(args, format);                                                                \
    BCNCoreLogV(level, service, messageCode, format, args);                                \
    va_end(args);                                                                          \
  }

VANDREL_BCN_LOG_FUNCTION(BCNCoreLogError, BCNLoggerLevel::Error)
VANDREL_BCN_LOG_FUNCTION(BCNCoreLogWarning, BCNLoggerLevel::Warning)
VANDREL_BCN_LOG_FUNCTION(BCNCoreLogNotice, BCNLoggerLevel::Notice)
VANDREL_BCN_LOG_FUNCTION(BCNCoreLogInfo, BCNLoggerLevel::Info)
VANDREL_BCN_LOG_FUNCTION(BCNCoreLogDebug, BCNLoggerLevel::Debug)

#undef VANDREL_BCN_LOG_FUNCTION

void BCNLoggerWrapper::logWithLevel(BCNLoggerLevel level, std::string_view service,
                                    std::string_view messageCode, const char* format,
                                    va_list args) {
  analytics::logWithLevel(level, service, messageCode, format, args);
}

}  // namespace vandrel::analytics
