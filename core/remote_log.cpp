#include "core/remote_log.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/app_constants.h"
#include "core/connection_port.h"
#include "core/line_item.h"
#include "core/misc_info.h"
#include "core/qv_network.h"
#include "platform/clock.h"
#include "platform/defaults.h"

namespace vandrel::core {
namespace {

std::string orMinusOne(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : "-1";
}

}  // namespace

// ---- LogRecord ---------------------------------------------------------------

void LogRecord::set(std::string_view key, std::string value) {
  for (auto& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::string(key), std::move(value));
}

void LogRecord::remove(std::string_view key) {
  std::erase_if(entries_, [&](const Entry& entry) { return entry.first == key; });
}

bool LogRecord::contains(std::string_view key) const { return value(key).has_value(); }

std::optional<std::string> LogRecord::value(std::string_view key) const {
  for (const auto& entry : entries_) {
    if (entry.first == key) return entry.second;
  }
  return std::nullopt;
}

std::int64_t millisecondsNow(const platform::Clock& clock) {
  return std::llround(clock.secondsSince1970() * 1000.0);
}

// ---- RemoteLog ---------------------------------------------------------------

RemoteLog& RemoteLog::shared() {
  static RemoteLog* const instance = new RemoteLog(
      qv_Network::shared(), MiscInfo::shared(), sharedConnectionPort(), DeviceFacts(),
      platform::Defaults::suite(appGroupIdentifier()), platform::SystemClock::shared());
  return *instance;
}

RemoteLog::RemoteLog(qv_Network& network, MiscInfo& session, ConnectionPort& port,
                     DeviceFacts device, platform::Defaults& appGroupDefaults,
                     const platform::Clock& clock)
    : network_(network),
      session_(session),
      port_(port),
      device_(std::move(device)),
      appGroupDefaults_(appGroupDefaults),
      clock_(clock) {}

LogRecord RemoteLog::commonLogFields() {
  const std::optional<MiscInfoModel> user = session_.model();
  LogRecord record;
  record.set("createTime", std::to_string(millisecondsNow(clock_)));
  record.set("logInitTime", std::to_string(millisecondsNow(clock_)));
  record.set("nickName", user && user->nick ? *user->nick : "unknown");
  record.set("isVIP", user && !user->expired ? "1" : "0");
  record.set("appVersion", device_.appVersion());
  record.set("osVersion", device_.osVersion());
  record.set("model", device_.deviceModel());
  record.set("device", "mac");
  record.set("region", device_.countryCode());
  record.set("bundleId", device_.bundleId());
  record.set("connectMode", std::string(info(port_.connectMode()).modeKey));
  record.set("strategy", port_.isAutoSelect() ? "auto" : "current");
  record.set("network", port_.connectNetwork());
  record.set("local_ip", session_.ipAddress());

  platform::Value::Dictionary shared;
  for (const auto& [key, value] : record.entries()) shared.emplace(key, value);
  appGroupDefaults_.set(kPublicLogCacheKey, std::move(shared));
  appGroupDefaults_.synchronize();
  return record;
}

void RemoteLog::uploadLogRecord(LogRecord record, std::string_view logStore) {
  const std::optional<MiscInfoModel> user = session_.model();
  record.set("__topic__", user ? std::to_string(user->user_id) : "unknown");
  // Fire and forget: a lost record is not worth a retry.
  (void)network_.uploadLogRecord(kLogProject, logStore, record);
}

void RemoteLog::reportClientLog(const LineItem& line, const std::optional<std::string>& error) {
  const LineItem::Fields fields = line.fields();
  LogRecord record = commonLogFields();
  if (error) record.set("error", *error);
  record.set("load", orMinusOne(fields.load));
  record.set("packetLoss", orMinusOne(fields.packetLoss));
  record.set("ping", orMinusOne(fields.pingTime));
  const std::optional<std::string> serverIp = fields.host     ? fields.host
                                              : fields.server ? fields.server
                                              : fields.ipaddr ? fields.ipaddr
                                                              : fields.iPAddr;
  record.set("server_ip", serverIp.value_or("unknow"));
  if (fields.name) {
    record.set("name", *fields.name);
  } else {
    record.remove("name");
  }
  uploadLogRecord(std::move(record), kClientLogStore);
}

void RemoteLog::reportBadURL(const std::string& host, const std::string& error) {
  LogRecord record = commonLogFields();
  record.set("error", error);
  record.set(isIP(host) ? "ip" : "domain", host);
  uploadLogRecord(std::move(record), kBadUrlLogStore);
}

}  // namespace vandrel::core
