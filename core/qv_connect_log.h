#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/remote_log.h"
#include "platform/sync.h"

namespace vandrel::core {

// The connection-log record of one connect attempt ("client_connect_log"):
// begun by the connect pipeline, marked step by step by the pipeline and
// the main window, completed and sent by report.
//
// Idle until begin; mark, markError, markValue and report do nothing while
// idle. Thread-safe: the main window and the pipeline mark from different
// threads. One lock guards the fields; logging, the common fields and the
// sending happen outside it.
class qv_ConnectLog {
 public:
  // The process's instance (leaked), over the shared remote log.
  static qv_ConnectLog& shared();

  explicit qv_ConnectLog(RemoteLog& remoteLog);
  qv_ConnectLog(const qv_ConnectLog&) = delete;
  qv_ConnectLog& operator=(const qv_ConnectLog&) = delete;

  // Starts a new record from the common fields (an unfinished one is
  // dropped unsent).
  qv_ConnectLog& begin();
  // Records `step` with the milliseconds since the previous mark (or the
  // begin), and appends it to the action path. A step already in the
  // record (a common field's name too) is refused.
  qv_ConnectLog& mark(std::string_view step);
  // Sets "error" (a later error replaces an earlier one).
  qv_ConnectLog& markError(std::string_view text);
  // Sets `key` to `value`, replacing any earlier value.
  qv_ConnectLog& markValue(std::string_view key, std::string_view value);
  // Completes the record (linkStatus, duration, retryCount, actionPath and
  // the current line's figures), sends it and goes idle.
  void report();
  // Drops the record under way without sending it; the recorder goes idle.
  void discard();

  // Snapshots, for the user interface and tests.
  std::optional<LogRecord> activeLog() const;
  std::int64_t lastActionTime() const;
  std::string actionPath() const;
  std::int64_t retryCount() const;

 private:
  RemoteLog& remoteLog_;

  mutable platform::Mutex mutex_;
  std::optional<LogRecord> activeLog_ VANDREL_GUARDED_BY(mutex_);
  std::int64_t lastActionTime_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::string actionPath_ VANDREL_GUARDED_BY(mutex_);
  std::int64_t retryCount_ VANDREL_GUARDED_BY(mutex_) = 0;
};

}  // namespace vandrel::core
