#include "analytics/core/bcn_gru_logger.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "platform/sync.h"

namespace vandrel::analytics {
namespace {

struct LoggerState {
  std::atomic<int> level{static_cast<int>(GRULoggerLevel::Notice)};
  std::atomic<bool> forcedDebug{false};
  std::atomic<bool> systemLog{false};
  std::atomic<bool> stderrCopy{false};
  platform::Mutex mutex;
  std::string version VANDREL_GUARDED_BY(mutex);
  std::shared_ptr<const GRULoggerSink> sink VANDREL_GUARDED_BY(mutex);
};

LoggerState& state() {
  static LoggerState* s = new LoggerState();  // outlives every static destructor that logs
  return *s;
}

int syslogPriority(GRULoggerLevel level) {
  switch (level) {
    case GRULoggerLevel::Error: return LOG_ERR;
    case GRULoggerLevel::Warning: return LOG_WARNING;
    case GRULoggerLevel::Notice: return LOG_NOTICE;
    case GRULoggerLevel::Info: return LOG_INFO;
    case GRULoggerLevel::Debug: return LOG_DEBUG;
  }
  return LOG_NOTICE;
}

std::string formatMessage(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return {};
  if (static_cast<std::size_t>(needed) < sizeof small) return std::string(small, needed);
  std::string text(static_cast<std::size_t>(needed) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<std::size_t>(needed));
  return text;
}

}  // namespace

void GRULoggerRegisterVersion(std::string_view version) {
  LoggerState& s = state();
  platform::MutexLock lock(s.mutex);
  s.version = std::string(version);
}

void GRULoggerInitializeASL() {
  LoggerState& s = state();
  if (!s.systemLog.exchange(true)) openlog(nullptr, LOG_PID, LOG_USER);
}

void GRULoggerEnableSTDERR() { state().stderrCopy = true; }

void GRULoggerForceDebug() {
  LoggerState& s = state();
  s.forcedDebug = true;
  s.level = static_cast<int>(GRULoggerLevel::Debug);
}

void GRUSetLoggerLevel(GRULoggerLevel level) {
  LoggerState& s = state();
  if (s.forcedDebug) return;
  s.level = static_cast<int>(level);
}

bool GRULoggerIsLoggableLevel(GRULoggerLevel level) {
  return static_cast<int>(level) <= state().level.load();
}

void GRULogBasic(GRULoggerLevel level, std::string_view service, bool forceLog,
                 std::string_view messageCode, const char* format, va_list args) {
  if (!forceLog && !GRULoggerIsLoggableLevel(level)) return;
  LoggerState& s = state();
  std::shared_ptr<const GRULoggerSink> sink;
  std::string line;
  {
    platform::MutexLock lock(s.mutex);
    sink = s.sink;
    line = s.version;
  }
  line.append(" - ").append(service).append("[").append(messageCode).append("] ");
  line += formatMessage(format, args);
  if (sink) {
    (*sink)(level, line);
    return;
  }
  const bool systemLog = s.systemLog;
  if (systemLog) syslog(syslogPriority(level), "%s", line.c_str());
  if (s.stderrCopy || !systemLog) std::fprintf(stderr, "%s\n", line.c_str());
}

void GRULoggerSetSink(GRULoggerSink sink) {
  auto shared = sink ? std::make_shared<const GRULoggerSink>(std::move(sink)) : nullptr;
  LoggerState& s = state();
  platform::MutexLock lock(s.mutex);
  s.sink = std::move(shared);
}

}  // namespace vandrel::analytics
