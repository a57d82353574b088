#pragma once

// The lines the app-configuration core's logger writes, kept while the
// object lives (the logger's sink is process-wide).

#include <string>
#include <string_view>
#include <vector>

#include "analytics/core/bcn_gru_logger.h"
#include "platform/sync.h"

namespace vandrel::analytics::bcn_test {

class CapturedLines {
 public:
  CapturedLines() {
    GRULoggerSetSink([this](GRULoggerLevel, std::string_view line) {
      platform::MutexLock lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~CapturedLines() { GRULoggerSetSink({}); }
  std::vector<std::string> lines() {
    platform::MutexLock lock(mutex_);
    return lines_;
  }

 private:
  platform::Mutex mutex_;
  std::vector<std::string> lines_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::analytics::bcn_test
