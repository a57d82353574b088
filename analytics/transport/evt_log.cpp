#include "analytics/transport/evt_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <utility>

#include "platform/sync.h"

namespace vandrel::analytics {
namespace {

std::atomic<int> gThreshold{static_cast<int>(EVTCORLoggerLevel::Error)};

struct SinkHolder {
  platform::Mutex mutex;
  std::shared_ptr<const EVTCORConsoleLogSink> sink VANDREL_GUARDED_BY(mutex);
};

SinkHolder& sinkHolder() {
  static auto* holder = new SinkHolder;  // leaked: loggers may run during exit
  return *holder;
}

std::string formatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length <= 0) return {};
  std::string out(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<std::size_t>(length));
  return out;
}

}  // namespace

bool EVTCORConsoleLogWouldLog(EVTCORLoggerLevel level) {
  return static_cast<int>(level) >= gThreshold.load(std::memory_order_relaxed);
}

void EVTCORConsoleLog(std::int64_t code, EVTCORLoggerLevel level, std::string_view message) {
  if (!EVTCORConsoleLogWouldLog(level)) return;
  char codeText[32];
  std::snprintf(codeText, sizeof codeText, "I-EVTCOR%06lld", static_cast<long long>(code));
  std::string line;
  line.reserve(kEVTCORConsoleLogPrefix.size() + 20 + message.size());
  line.append(kEVTCORConsoleLogPrefix).append("[").append(codeText).append("] ").append(message);

  std::shared_ptr<const EVTCORConsoleLogSink> sink;
  {
    auto& holder = sinkHolder();
    platform::MutexLock lock(holder.mutex);
    sink = holder.sink;
  }
  if (sink) {
    (*sink)(line);
    return;
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void EVTCORConsoleLogf(std::int64_t code, EVTCORLoggerLevel level, const char* format, ...) {
  if (!EVTCORConsoleLogWouldLog(level)) return;
  va_list args;
  va_start(args, format);
  const std::string message = formatV(format, args);
  va_end(args);
  EVTCORConsoleLog(code, level, message);
}

void EVTCORLogDebug(const char* format, ...) {
  if (!EVTCORConsoleLogWouldLog(EVTCORLoggerLevel::Debug)) return;
  va_list args;
  va_start(args, format);
  const std::string message = formatV(format, args);
  va_end(args);
  EVTCORConsoleLog(kEVTCORMCDebugLog, EVTCORLoggerLevel::Debug, message);
}

int EVTCORConsoleLogThreshold() { return gThreshold.load(std::memory_order_relaxed); }

void EVTCORSetConsoleLogThreshold(int threshold) {
  gThreshold.store(threshold, std::memory_order_relaxed);
}

void EVTCORSetConsoleLogSink(EVTCORConsoleLogSink sink) {
  std::shared_ptr<const EVTCORConsoleLogSink> next;
  if (sink) next = std::make_shared<const EVTCORConsoleLogSink>(std::move(sink));
  auto& holder = sinkHolder();
  std::shared_ptr<const EVTCORConsoleLogSink> previous;
  {
    platform::MutexLock lock(holder.mutex);
    previous = std::exchange(holder.sink, std::move(next));
  }
}

}  // namespace vandrel::analytics
