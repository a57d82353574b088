#pragma once

// The analytics kit's console logger and the system log its refusal and
// Info messages go to.
//
// Callers format their message themselves: the kit's "%@" placeholders are
// filled before the text reaches the logger, so text from the application
// is never read as a format.

#include <atomic>
#include <functional>
#include <string>
#include <string_view>

namespace vandrel::analytics {

inline constexpr std::string_view kTLYLogPrefix = "[Tally] ";

// One line of the system log (stderr in the process; tests collect lines).
using TLYSystemLog = std::function<void(std::string_view line)>;

// Writes one line to stderr, adding the newline when the line has none.
void TLYWriteToSystemLog(std::string_view line);
// TLYWriteToSystemLog as a TLYSystemLog.
TLYSystemLog TLYDefaultSystemLog();

// Any thread: `debugMode` is atomic, the sink is fixed at construction.
class TLYLogger {
 public:
  // The process's logger (debug mode off until the kit starts), writing to
  // the system log.
  static TLYLogger& sharedLogger();

  explicit TLYLogger(TLYSystemLog systemLog = TLYDefaultSystemLog());

  bool debugMode() const { return debugMode_.load(std::memory_order_relaxed); }
  void setDebugMode(bool debugMode) { debugMode_.store(debugMode, std::memory_order_relaxed); }

  // "[Tally] " + message.
  void log(std::string_view message) const;
  // "[Tally:<label>] " + message.
  void logWithLabel(std::string_view label, std::string_view message) const;
  // The line as is, and only in debug mode.
  void internalLog(std::string_view line) const;

 private:
  const TLYSystemLog systemLog_;
  std::atomic<bool> debugMode_{false};
};

}  // namespace vandrel::analytics
