#include "core/qv_connect_log.h"

#include <utility>

#include "core/connection_port.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "platform/clock.h"

namespace vandrel::core {
namespace {

using platform::MutexLock;

std::string orMinusOne(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : "-1";
}

// A decimal integer with nothing left over; none otherwise (markValue may
// have put any text under "logInitTime").
std::optional<std::int64_t> wholeNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::size_t used = 0;
  try {
    const long long value = std::stoll(text, &used, 10);
    if (used != text.size()) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

qv_ConnectLog& qv_ConnectLog::shared() {
  static qv_ConnectLog* const instance = new qv_ConnectLog(RemoteLog::shared());
  return *instance;
}

qv_ConnectLog::qv_ConnectLog(RemoteLog& remoteLog) : remoteLog_(remoteLog) {}

qv_ConnectLog& qv_ConnectLog::begin() {
  LogRecord fresh = remoteLog_.commonLogFields();
  const std::int64_t now = millisecondsNow(remoteLog_.clock());
  MutexLock lock(mutex_);
  activeLog_ = std::move(fresh);
  lastActionTime_ = now;
  actionPath_.clear();
  return *this;
}

qv_ConnectLog& qv_ConnectLog::mark(std::string_view step) {
  const std::int64_t now = millisecondsNow(remoteLog_.clock());
  {
    MutexLock lock(mutex_);
    if (!activeLog_ || activeLog_->contains(step)) return *this;
    if (!actionPath_.empty()) actionPath_ += "->";
    actionPath_ += step;
    activeLog_->set(step, std::to_string(now - lastActionTime_));
    lastActionTime_ = now;
  }
  LogUtil::debug("mark: " + std::string(step));
  return *this;
}

qv_ConnectLog& qv_ConnectLog::markError(std::string_view text) {
  {
    MutexLock lock(mutex_);
    if (!activeLog_) return *this;
    activeLog_->set("error", std::string(text));
  }
  LogUtil::debug("mark: " + std::string(text));
  return *this;
}

qv_ConnectLog& qv_ConnectLog::markValue(std::string_view key, std::string_view value) {
  {
    MutexLock lock(mutex_);
    if (!activeLog_) return *this;
    activeLog_->set(key, std::string(value));
  }
  LogUtil::debug("markKey:" + std::string(key) + " value:" + std::string(value));
  return *this;
}

void qv_ConnectLog::discard() {
  platform::MutexLock lock(mutex_);
  activeLog_.reset();
}

void qv_ConnectLog::report() {
  LogRecord record;
  std::string path;
  {
    MutexLock lock(mutex_);
    if (!activeLog_) return;
    record = std::move(*activeLog_);
    activeLog_.reset();
    path = actionPath_;
  }
  ConnectionPort& port = remoteLog_.connectionPort();
  const std::shared_ptr<LineItem> line = port.currentLine();
  LineItem::Fields fields = line ? line->fields() : LineItem::Fields{};
  if (!line) {
    // No current line: every figure falls back.
    fields.load.reset();
    fields.pingTime.reset();
    fields.packetLoss.reset();
  }
  record.set("linkStatus", record.contains("connect-on") ? "1" : "0");
  // A start that is not a whole number (markValue may replace it) counts
  // as 0, as a missing one does.
  const std::int64_t start = wholeNumber(record.value("logInitTime").value_or("0")).value_or(0);
  record.set("duration", std::to_string(millisecondsNow(remoteLog_.clock()) - start));
  record.set("retryCount", std::to_string(port.reconnectCount()));
  record.set("actionPath", path);
  const std::optional<std::string> serverIp = fields.server   ? fields.server
                                              : fields.ipaddr ? fields.ipaddr
                                                              : fields.iPAddr;
  record.set("server_ip", serverIp.value_or("unknow"));
  record.set("load", orMinusOne(fields.load));
  record.set("ping", orMinusOne(fields.pingTime));
  record.set("packetLoss", orMinusOne(fields.packetLoss));
  record.set("method", fields.method.value_or("unKnow"));
  remoteLog_.uploadLogRecord(std::move(record), kClientConnectLogStore);
}

std::optional<LogRecord> qv_ConnectLog::activeLog() const {
  MutexLock lock(mutex_);
  return activeLog_;
}

std::int64_t qv_ConnectLog::lastActionTime() const {
  MutexLock lock(mutex_);
  return lastActionTime_;
}

std::string qv_ConnectLog::actionPath() const {
  MutexLock lock(mutex_);
  return actionPath_;
}

std::int64_t qv_ConnectLog::retryCount() const {
  MutexLock lock(mutex_);
  return retryCount_;
}

}  // namespace vandrel::core
