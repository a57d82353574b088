#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/app_constants.h"
#include "core/connection_port.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Defaults;
class NotificationCenter;
}  // namespace vandrel::platform

namespace vandrel::connection {

using core::ConnectMode;
using core::qv_ConnectStatus;

// The status before the last change and the current one, kept together so
// a reader never sees one updated without the other.
struct ConnectStatuses {
  qv_ConnectStatus last = qv_ConnectStatus::qv_off;
  qv_ConnectStatus current = qv_ConnectStatus::qv_off;

  bool operator==(const ConnectStatuses&) const = default;
};

// The system's VPN configurations of this application, which the manager
// mirrors into its status. Status codes follow the system's numbering: 0
// invalid, 1 disconnected, 2 connecting, 3 connected, 4 reasserting, 5
// disconnecting.
class SystemVpnSource {
 public:
  virtual ~SystemVpnSource() = default;
  // The status of the first saved configuration; none without one.
  virtual std::optional<std::int64_t> firstConfigurationStatus() = 0;
  // Calls `onChange` (on any thread) with the first configuration's status
  // whenever it changes; replaces an earlier observer. Returns false when
  // there is no configuration to observe.
  virtual bool observeFirstConfiguration(std::function<void(std::int64_t)> onChange) = 0;
};

// Linux has no system VPN configurations of an application: this source
// reports none, so the manager's status is driven by the connect road only.
class NoSystemVpnSource final : public SystemVpnSource {
 public:
  std::optional<std::int64_t> firstConfigurationStatus() override { return std::nullopt; }
  bool observeFirstConfiguration(std::function<void(std::int64_t)>) override { return false; }
};

// The one object that knows whether the tunnel is up: the connection
// status, the connect mode, the connect id of the attempt under way and the
// network facts reported by the reachability listener.
//
// Thread-safe: the main queue and the connect road's background threads
// read and write it. Statuses and flags are atomics; texts sit behind one
// lock that is never held while posting or doing I/O.
class qv_ConnectionManager {
 public:
  static constexpr std::string_view kNoConnectId = "NONE";
  static constexpr std::string_view kUnknownNetwork = "unknow";

  // The one manager of the process (leaked), on the standard defaults, the
  // default notification center and no system VPN source; started.
  static qv_ConnectionManager& shared();

  // Reads the connect mode back from "connectModeCache" (without the
  // setter's effects).
  qv_ConnectionManager(platform::Defaults& defaults, platform::NotificationCenter& notifications,
                       SystemVpnSource& systemVpn);
  qv_ConnectionManager(const qv_ConnectionManager&) = delete;
  qv_ConnectionManager& operator=(const qv_ConnectionManager&) = delete;

  // Applies the first system VPN configuration's status, when there is one,
  // and observes it (observeSystemVPNStatus).
  void start();

  // ---- Statuses ---------------------------------------------------------
  ConnectStatuses statuses() const { return statuses_.load(); }
  qv_ConnectStatus qv_connectStatus() const { return statuses_.load().current; }
  qv_ConnectStatus lastConnectStatus() const { return statuses_.load().last; }
  // Changes the current status only. Posts nothing: the caller announces
  // the change with "VPNStatusChangeNotification".
  void setConnectStatus(qv_ConnectStatus status);
  void setLastConnectStatus(qv_ConnectStatus status);
  // Both statuses in one store.
  void setStatuses(ConnectStatuses statuses) { statuses_.store(statuses); }
  void setBothConnectStatuses(qv_ConnectStatus status) { setStatuses({status, status}); }

  // ---- Mode -------------------------------------------------------------
  ConnectMode connectMode() const { return connectMode_.load(); }
  // Stores the mode, posts "ModeDidChangeNotification", then writes its raw
  // value under "connectModeCache" and synchronises the defaults.
  void setConnectMode(ConnectMode mode);

  // ---- Network facts (written by the reachability listener) -------------
  std::string connectNetwork() const;
  void setConnectNetwork(std::string network);
  bool isReachable() const { return isReachable_.load(); }
  void setIsReachable(bool reachable) { isReachable_.store(reachable); }

  // ---- Connect id -------------------------------------------------------
  // "NONE" at start, a fresh UUID text per attempt, "timeout" after the
  // watchdog. Every long step compares its id with it before and after
  // waiting.
  std::string currentConnectId() const;
  void setCurrentConnectId(std::string id);
  // Replaces the id with `desired` only when it still equals `expected`;
  // returns whether it did. Claims an attempt for exactly one party.
  bool compareAndSetConnectId(std::string_view expected, std::string desired);

  // ---- Flags ------------------------------------------------------------
  bool shouldConnectAfterDisconnect() const { return shouldConnectAfterDisconnect_.load(); }
  void setShouldConnectAfterDisconnect(bool value) { shouldConnectAfterDisconnect_.store(value); }
  bool shouldListenSystemVPNStatus() const { return shouldListenSystemVPNStatus_.load(); }

  // ---- System VPN status ------------------------------------------------
  // Observes the first system VPN configuration (replacing the previous
  // observation) and applies each status it reports.
  void observeSystemVPNStatus();
  // Maps a system status: 0 and 1 set both statuses off, 2 and 4 the
  // current one connecting, 3 both on, 5 the current one disconnecting;
  // then posts "VPNStatusChangeNotification". 6 and above (and negative
  // codes) change nothing and post nothing.
  void applySystemVPNStatus(std::int64_t status);

 private:
  platform::Defaults& defaults_;
  platform::NotificationCenter& notifications_;
  SystemVpnSource& systemVpn_;

  std::atomic<ConnectStatuses> statuses_{ConnectStatuses{}};
  std::atomic<ConnectMode> connectMode_;
  std::atomic<bool> isReachable_{false};
  std::atomic<bool> shouldConnectAfterDisconnect_{false};
  std::atomic<bool> shouldListenSystemVPNStatus_{false};

  mutable platform::Mutex mutex_;
  std::string connectNetwork_ VANDREL_GUARDED_BY(mutex_){kUnknownNetwork};
  std::string currentConnectId_ VANDREL_GUARDED_BY(mutex_){kNoConnectId};
};

}  // namespace vandrel::connection
