#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/app_constants.h"
#include "core/connection_port.h"
#include "core/result_data.h"
#include "platform/dispatch.h"
#include "platform/promise.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Defaults;
class NotificationCenter;
}  // namespace vandrel::platform

namespace vandrel::connection {

class ConnectRoad;

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

// Texts of the connect road, as the user and the log see them.
namespace connect_texts {
inline constexpr std::string_view kForbiddenTitle = "Attention";
inline constexpr std::string_view kForbiddenMessage =
    "Due to local laws and regulations, we are unable to serve in your region, sorry for the "
    "inconvenience.";
inline constexpr std::string_view kTermsTitle = "Terms Of Service";
inline constexpr std::string_view kTermsMessage =
    "We will NOT collect or store any user private data, please check Terms Of Service for "
    "details.";
inline constexpr std::string_view kTermsAccept = "Accept";
inline constexpr std::string_view kTermsDetail = "Detail";
inline constexpr std::string_view kUpgradeTitle = "Upgrade Required";
inline constexpr std::string_view kUpgradeMessage =
    "Your account has expired please renew or change to Smart Location";
inline constexpr std::string_view kUpgradeButton = "Upgrade";
inline constexpr std::string_view kNotNowButton = "Not Now";
inline constexpr std::string_view kServerError = "get server error, please try again later.";
inline constexpr std::string_view kConnectTimeout = "连接超时，请再次尝试";
inline constexpr std::string_view kConnectFailedTitle = "Connect Failed";
inline constexpr std::string_view kDisconnectFailedTitle = "Disconnect Failed";
// Failures to reach the helper, in the two languages the system answers in.
inline constexpr std::string_view kHelperUnreachableChinese = "未能与帮助应用程序通信";
inline constexpr std::string_view kHelperUnreachable =
    "Couldn\u2019t communicate with a helper application";
inline constexpr std::string_view kRestartAdvice =
    "Please restart the application and try again. If the problem still occurs, please restart "
    "the computer and try again.";
inline constexpr std::string_view kLaunchdErrorMarker = "CFErrorDomainLaunchd Code=";
inline constexpr std::string_view kAuthorizeAdvice =
    "Please authorize Vandrel to install the Helper Tool to establish a VPN connection.";
// The message of a silent failure: its step has shown its own alert.
inline constexpr std::string_view kSilent = "ok";
}  // namespace connect_texts

// A fresh connect id: the upper-case text form of a random (version 4)
// UUID, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string newConnectId();

// The one object that knows whether the tunnel is up: the connection
// status, the connect mode, the connect id of the attempt under way and the
// network facts reported by the reachability listener; and the connect
// road over them (connect pipeline, watchdog, result handling, cancel,
// tunnel stop), which reaches the rest of the system through a ConnectRoad.
//
// Thread-safe: the main queue and the connect road's background threads
// read and write it. Statuses and flags are atomics; texts sit behind one
// lock that is never held while posting, settling or doing I/O.
//
// Attempts: every connect attempt is named by its connect id. A long step
// compares its id with the current one before and after waiting; the waits
// themselves are registered (addAttemptWait) and settle with the "timeout"
// failure the moment the id moves on, so no thread of a superseded attempt
// stays blocked. Exactly one of the pipeline's result and the watchdog
// applies to an attempt: each claims it under the lock first.
class qv_ConnectionManager {
 public:
  static constexpr std::string_view kNoConnectId = "NONE";
  static constexpr std::string_view kTimeoutConnectId = "timeout";
  static constexpr std::string_view kUnknownNetwork = "unknow";
  static constexpr std::chrono::seconds kWatchdogDelay{30};
  static constexpr std::chrono::seconds kReconnectDelay{1};

  // How the connect road is timed and where its main-queue steps run.
  struct RoadOptions {
    platform::Queue* mainQueue = nullptr;              // mainQueue() when null
    platform::Scheduler* watchdogScheduler = nullptr;  // the system's when null
    platform::Duration watchdogDelay = kWatchdogDelay;
    platform::Scheduler* scheduler = nullptr;  // the reconnect delay; the system's when null
    // The time the catalogue fetch is stamped with; the system's when null.
    const platform::Clock* clock = nullptr;
  };

  // The one manager of the process (leaked), on the standard defaults, the
  // default notification center and no system VPN source; started, with
  // the shared connect road (SharedConnectRoad) attached.
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

  // Gives the connect road its collaborators; once, before the first
  // operation of the road. `road` must outlive the manager.
  void attachConnectRoad(ConnectRoad& road, RoadOptions options);
  void attachConnectRoad(ConnectRoad& road);

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
  // returns whether it did.
  bool compareAndSetConnectId(std::string_view expected, std::string desired);
  bool isCurrentAttempt(std::string_view connectId) const;
  // Settles `wait` with the "timeout" failure as soon as `connectId` is no
  // longer the current id (at once when it is not now).
  void addAttemptWait(std::string_view connectId, platform::Promise<core::ResultData> wait);
  // Settles whatever `promise` settles with, or "timeout" once `connectId`
  // is superseded, whichever comes first; then returns it. Blocks: never on
  // the main thread.
  core::ResultData awaitAttempt(std::string_view connectId,
                                const platform::Promise<core::ResultData>& promise);
  // Claims attempt `connectId` for its result: true once, while it is
  // current and the watchdog has not claimed it.
  bool claimConnectAttempt(std::string_view connectId);

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

  // Posts "VPNStatusChangeNotification" (no object).
  void postVPNStatusChange();

  // ---- Connect road -----------------------------------------------------
  // The connect pipeline of attempt `connectId`: region ban, terms,
  // account, expiry, line catalogue, then sayHello (session, helper and
  // daemon). None when the attempt was superseded: its result is dropped.
  // Blocks for every step: run it on a global queue.
  std::optional<core::ResultData> runConnectPipeline(const std::string& connectId);
  // The session request on the current region's first line, then the
  // daemon manager's helper check and tunnel start.
  core::ResultData sayHello(const std::string& connectId);
  // The watchdog of attempt `connectId` (main queue): when the attempt is
  // still current it becomes "timeout"; when it was still connecting and
  // its result had not been claimed, the time-out failure is applied and
  // the tunnel stopped on a global queue.
  void connectWatchdog(const std::string& connectId);
  // Turns a finished connect (kind 0) or disconnect (any other kind) into
  // the status, a log line and, unless the message is "ok", an alert. A
  // successful connect then stores and registers the daemon's exclude
  // routes (off the main thread).
  void handleConnectResult(const core::ResultData& result, std::int64_t kind);
  // Marks the cancel, sets disconnecting (announced) and stops the tunnel;
  // the stop's result. Blocks: never on the main thread.
  core::ResultData cancelConnection();
  // Ends a connect under way as the user's cancel does, without waiting: a
  // new connect id supersedes the attempt at once (a daemon start in
  // progress undoes itself), then on the global queue cancelConnection()
  // and its result are handled.
  void cancelAttemptInBackground();
  // Stops the daemon's tunnel (and proxies), releases the line at the
  // service and, when a stop failed, has the helper restart the daemon by
  // force. The line released is the one whose session the last connect
  // obtained (the current line may have been replaced since, by a ping
  // cycle's restore or by the user); the current line when no session is
  // held. The daemon calls block the caller (never the main thread); the
  // promise is always fulfilled.
  platform::Promise<core::ResultData> stopTunnels();
  // The terms dialog's actions: agree (stored) and connect again; open the
  // terms page.
  void acceptTerms();
  void showTermsDetail();

  // Work the road started and nobody waits for (the watchdog's stop, the
  // exclude routes saved from the main queue, a reconnect not yet posted).
  // A manager other than the shared one must outlive it: destroy it once
  // this is 0.
  int pendingWorkCount() const { return pendingWork_.load(); }

 private:
  struct Road {
    ConnectRoad* road;
    RoadOptions options;
  };
  struct AttemptWait {
    std::string connectId;
    platform::Promise<core::ResultData> wait;
  };

  const Road& road() const;
  // Takes the waits of ids other than `current` out of the list (under the
  // lock); the caller settles them after unlocking.
  std::vector<AttemptWait> takeSupersededWaits(const std::string& current) VANDREL_REQUIRES(mutex_);
  static void settleSuperseded(std::vector<AttemptWait> waits);
  // How a step of the pipeline ends the attempt: with a result, or with
  // none when the attempt was superseded. A step that lets the next one go
  // on returns no StepEnd at all.
  struct StepEnd {
    std::optional<core::ResultData> result;
  };
  std::optional<core::ResultData> pipelineSteps(const std::string& connectId);
  std::optional<StepEnd> accountSteps(const std::string& connectId);
  std::optional<StepEnd> catalogueStep(const std::string& connectId);
  core::ResultData silentFailure();
  void saveExcludeRoutes();
  void applyTimeout();
  // Counts one piece of detached work while the token lives.
  std::shared_ptr<void> trackWork();

  platform::Defaults& defaults_;
  platform::NotificationCenter& notifications_;
  SystemVpnSource& systemVpn_;

  std::atomic<ConnectStatuses> statuses_{ConnectStatuses{}};
  std::atomic<ConnectMode> connectMode_;
  std::atomic<bool> isReachable_{false};
  std::atomic<bool> shouldConnectAfterDisconnect_{false};
  std::atomic<bool> shouldListenSystemVPNStatus_{false};

  std::atomic<int> pendingWork_{0};
  std::unique_ptr<Road> road_;
  std::atomic<const Road*> roadPointer_{nullptr};

  mutable platform::Mutex mutex_;
  std::string connectNetwork_ VANDREL_GUARDED_BY(mutex_){kUnknownNetwork};
  std::string currentConnectId_ VANDREL_GUARDED_BY(mutex_){kNoConnectId};
  // The attempt whose result was claimed (by the pipeline or the watchdog).
  std::string claimedConnectId_ VANDREL_GUARDED_BY(mutex_);
  std::vector<AttemptWait> attemptWaits_ VANDREL_GUARDED_BY(mutex_);
  // The line holding the session a connect obtained, until a stop releases
  // it.
  std::shared_ptr<core::LineItem> sessionLine_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::connection
