#include "analytics/tally/tly_logger.h"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace vandrel::analytics {

void TLYWriteToSystemLog(std::string_view line) {
  std::string text(line);
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  // One write per line, so lines of several threads do not interleave.
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

TLYSystemLog TLYDefaultSystemLog() { return [](std::string_view line) { TLYWriteToSystemLog(line); }; }

TLYLogger& TLYLogger::sharedLogger() {
  static TLYLogger* logger = new TLYLogger();
  return *logger;
}

TLYLogger::TLYLogger(TLYSystemLog systemLog)
    : systemLog_(systemLog ? std::move(systemLog) : TLYDefaultSystemLog()) {}

void TLYLogger::log(std::string_view message) const {
  if (!debugMode()) return;
  std::string line(kTLYLogPrefix);
  line.append(message);
  internalLog(line);
}

void TLYLogger::logWithLabel(std::string_view label, std::string_view message) const {
  if (!debugMode()) return;
  std::string line = "[Tally:";
  line.append(label).append("] ").append(message);
  internalLog(line);
}

void TLYLogger::internalLog(std::string_view line) const {
  if (!debugMode()) return;
  systemLog_(line);
}

}  // namespace vandrel::analytics
