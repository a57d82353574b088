#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/qv_device_info.h"

namespace vandrel::platform {
class Clock;
class Defaults;
}  // namespace vandrel::platform

namespace vandrel::core {

class ConnectionPort;
class LineItem;
class MiscInfo;
class qv_Network;

// A record for the service's log collection: text keys to text values.
// Keys are unique; writing a present key replaces its value in place, a new
// key goes at the end, so the record keeps the order keys were first
// written in (the order it is sent in).
class LogRecord {
 public:
  using Entry = std::pair<std::string, std::string>;

  void set(std::string_view key, std::string value);
  void remove(std::string_view key);
  bool contains(std::string_view key) const;
  std::optional<std::string> value(std::string_view key) const;

  const std::vector<Entry>& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  bool operator==(const LogRecord&) const = default;

 private:
  std::vector<Entry> entries_;
};

inline constexpr std::string_view kLogProject = "vandrel";
inline constexpr std::string_view kClientConnectLogStore = "client_connect_log";
inline constexpr std::string_view kClientLogStore = "client_log";
inline constexpr std::string_view kBadUrlLogStore = "bad_url_log";
// Application-group defaults key of the latest common fields, for other
// programs of the group.
inline constexpr std::string_view kPublicLogCacheKey = "publicLogCache";

// Milliseconds since 1970 on `clock`: seconds times 1000, rounded half away
// from zero.
std::int64_t millisecondsNow(const platform::Clock& clock);

// The short structured records the client sends to the service's log
// collection, and the fields every record starts from. Keeps no state;
// callable from any thread.
class RemoteLog {
 public:
  // The process's instance (leaked): the shared transport, session and
  // connection port, the app group's defaults and the system clock.
  static RemoteLog& shared();

  RemoteLog(qv_Network& network, MiscInfo& session, ConnectionPort& port, DeviceFacts device,
            platform::Defaults& appGroupDefaults, const platform::Clock& clock);
  RemoteLog(const RemoteLog&) = delete;
  RemoteLog& operator=(const RemoteLog&) = delete;

  // createTime, logInitTime, nickName, isVIP, appVersion, osVersion, model,
  // device, region, bundleId, connectMode, strategy, network, local_ip, in
  // this order. Also stores them under "publicLogCache" in the app group's
  // defaults.
  LogRecord commonLogFields();
  // Adds "__topic__" (the user's id, or "unknown") and sends the record to
  // `logStore` of the project "vandrel". Returns before any reply; the
  // reply is ignored.
  void uploadLogRecord(LogRecord record, std::string_view logStore);
  // A "client_log" record on one line.
  void reportClientLog(const LineItem& line, const std::optional<std::string>& error);
  // A "bad_url_log" record on a failed API host: its name goes under "ip"
  // when it reads as an IPv4 address, else under "domain".
  void reportBadURL(const std::string& host, const std::string& error);

  const platform::Clock& clock() const { return clock_; }
  ConnectionPort& connectionPort() const { return port_; }

 private:
  qv_Network& network_;
  MiscInfo& session_;
  ConnectionPort& port_;
  const DeviceFacts device_;
  platform::Defaults& appGroupDefaults_;
  const platform::Clock& clock_;
};

}  // namespace vandrel::core
