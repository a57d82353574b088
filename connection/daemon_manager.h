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

#include "core/api_hosts.h"
#include "core/app_constants.h"
#include "core/result_data.h"
#include "platform/dispatch.h"
#include "platform/promise.h"

namespace vandrel::core {
class LineItem;
class qv_ConnectLog;
}  // namespace vandrel::core
namespace vandrel::platform {
class Defaults;
}

namespace vandrel::connection {

class AccelCalls;
class AlertHelpers;
class HelperClient;
class ResolverConfig;
class qv_ConnectionManager;
enum class Accel_SystemProxyMode : std::int32_t;

// The stretch of the connect road between a granted session and a running
// tunnel: makes sure the privileged helper is installed and answers
// (installing it when not), has it start the tunnelling daemon, then drives
// the daemon to a full tunnel (`app`, `ssw`) or a system proxy (`smartWeb`,
// `web`). Also the launch-time helper check and the network reset.
//
// Threads: the install prompt runs on the main queue (the alert helpers put
// it there); nothing else does: the helper commands are sent from global
// queues, the helper's replies arrive on its client's own queue, and every
// daemon call and the 2-second pause run on global queues. startTunnel, its
// undo and the daemon side of the tunnel stop run one at a time in one
// serial section, so a stop never overlaps a start.
//
// Every wait of an attempt settles exactly once: checkDaemon's promise is
// registered with the connection manager, which settles it with the
// "timeout" failure when the attempt is superseded (watchdog, cancel, a new
// click), whatever the helper or the user does or does not do.
//
// Lifetime: the shared instance lives for the process; another instance
// must outlive the work it started (timers, helper replies).
class DaemonManager {
 public:
  static constexpr std::string_view kDaemonVersionKey = "qv_daemonVersionKey";
  static constexpr std::int64_t kDaemonVersionMarker = 8;
  static constexpr std::string_view kInstallPromptTitle =
      "We need install Help Tool at first connect.";
  static constexpr std::string_view kInstallPromptMessage =
      "Please enter the password and install the help program in the system prompt later, to "
      "ensure proper functioning of the program.";
  static constexpr std::string_view kHelpToolError =
      "Help Tool Error, Please relaunch App and retry.";
  static constexpr std::string_view kDnsFailed = "get DNS failed";
  static constexpr std::string_view kGoServicePathMissing = "goService Path is nil";
  static constexpr std::string_view kAlreadyRunning = "already running";
  // What a superseded attempt's waits settle with (dropped by the pipeline).
  static constexpr std::string_view kTimeout = "timeout";

  static constexpr std::chrono::milliseconds kServiceLoadedDelay{500};
  static constexpr std::chrono::milliseconds kInstallDelay{500};
  static constexpr std::chrono::milliseconds kInstalledLoadDelay{1000};
  static constexpr std::chrono::milliseconds kAlreadyRunningRetryDelay{2000};

  struct Options {
    // Times the delays (0.5 s, 1 s, the 2-second pause); the system
    // scheduler when null.
    platform::Scheduler* scheduler = nullptr;
    // The hosts whose names (without ports) start the exclusion list; none:
    // the client's API hosts (apiHosts()).
    std::optional<std::vector<core::ApiHost>> apiHosts;
    // The catalogue's domain rules' proxy list (none when the rule model,
    // its domains or the list is absent); none given: always absent.
    std::function<std::optional<std::vector<std::string>>()> proxyList;
  };

  // The process's instance (leaked), over the shared connection manager,
  // helper client, daemon calls, alert helpers, connection log, the system
  // resolver configuration, the standard defaults and the catalogue's
  // domain rules.
  static DaemonManager& shared();

  DaemonManager(qv_ConnectionManager& manager, HelperClient& helper, AccelCalls& accel,
                const ResolverConfig& resolver, AlertHelpers& alerts,
                core::qv_ConnectLog& connectLog, platform::Defaults& defaults, Options options);
  DaemonManager(const DaemonManager&) = delete;
  DaemonManager& operator=(const DaemonManager&) = delete;

  // ---- Connect road -------------------------------------------------------
  // Makes sure the helper answers (installing it first when it must), has
  // it start the daemon, then starts the tunnel for `line`. Returns at
  // once; the promise settles exactly once: with the start's result, a
  // failure text, or "timeout" once `connectId` is no longer current.
  platform::Promise<core::ResultData> checkDaemon(std::shared_ptr<core::LineItem> line,
                                                  std::string connectId);
  // Drives the daemon for the current connect mode. Blocks for every call
  // (never on the main thread). When `connectId` stops being current
  // between calls, undoes what this call started and answers "timeout".
  core::ResultData startTunnel(const std::shared_ptr<core::LineItem>& line,
                               const std::string& connectId);
  // The daemon side of the tunnel stop: StopTun2socks, then (when that
  // succeeded) StopSS; after a proxy-mode start also StopHttpProxy and
  // StopSystemProxy. The first error of the two tunnel stops, or none.
  // Resets lastStartedMode to `app`. Blocks; never on the main thread.
  std::optional<std::string> stopDaemonTunnels();

  // Installs the helper (an administrator is asked), then has it start the
  // daemon; a failed install settles `resolver` with the reason.
  void installHelper(std::string connectId, std::shared_ptr<core::LineItem> line,
                     platform::Promise<core::ResultData> resolver);

  // ---- Launch -------------------------------------------------------------
  // The reply handler of the launch-time version check: accepts or asks for
  // an install; an accepted helper deletes the routes left from the last
  // run and starts the daemon.
  void handleLaunchDaemonCheck(std::optional<std::string> answer);
  // Logs, then asks the helper for its version with handleLaunchDaemonCheck.
  void checkAuth();

  // ---- Network --------------------------------------------------------------
  // The system's DNS servers (the resolver configuration); none on failure.
  std::optional<std::vector<std::string>> getDeviceDNS();
  // Stops the tunnel when connected (both statuses go off, announced, once
  // the stop succeeded), then runs the daemon's "-clear" in this process;
  // when that fails (it needs root), has the helper restart the daemon by
  // force, which clears as root first. Blocks; never on the main thread.
  core::ResultData resetNetwork();

  // "1024", or a text that reads as the decimal integer 1024 ("01024",
  // "+1024"); nothing else (" 1024", "1024 ", none).
  static bool isAcceptedHelperVersion(const std::optional<std::string>& answer);
  // The mode that is up now (recorded by a successful start, forgotten by
  // the stop); none when nothing is up.
  std::optional<core::ConnectMode> startedMode() const;

  // Steps not yet done that nobody waits for (the helper check, a helper
  // reply still owed, the install, the daemon start after the helper's
  // answer): an instance other than the shared one must outlive them.
  int pendingWorkCount() const { return pendingWork_.load(); }

 private:
  // The helper's forced restart of the daemon; true when it succeeded.
  bool clearThroughHelper();
  enum class Item : std::uint8_t { Ss, Tun2socks, HttpProxy, SystemProxy };
  struct StartRun;
  enum class StartOutcome { Done, Superseded, Failed };

  platform::Scheduler& scheduler() const { return *scheduler_; }
  bool isCurrent(const std::string& connectId) const;
  void checkDaemonNow(const std::shared_ptr<core::LineItem>& line, const std::string& connectId,
                      const platform::Promise<core::ResultData>& resolver);
  void connectingCheck(const std::optional<std::string>& answer,
                       const std::shared_ptr<core::LineItem>& line, const std::string& connectId,
                       const platform::Promise<core::ResultData>& resolver);
  void showInstallPrompt(const std::shared_ptr<core::LineItem>& line, const std::string& connectId,
                         const platform::Promise<core::ResultData>& resolver);
  void loadService(const std::shared_ptr<core::LineItem>& line, const std::string& connectId,
                   const platform::Promise<core::ResultData>& resolver);
  void serviceLoaded(const std::optional<std::string>& error,
                     const std::shared_ptr<core::LineItem>& line, const std::string& connectId,
                     const platform::Promise<core::ResultData>& resolver);

  core::ResultData startTunnelModes(const std::shared_ptr<core::LineItem>& line,
                                    const std::string& connectId, core::ConnectMode mode);
  core::ResultData startProxyModes(const std::shared_ptr<core::LineItem>& line,
                                   const std::string& connectId, core::ConnectMode mode);
  StartOutcome startTunnelItems(const std::shared_ptr<core::LineItem>& line,
                                const std::vector<std::string>& exclude,
                                const std::string& connectId, StartRun& run);
  StartOutcome startProxyItems(const std::shared_ptr<core::LineItem>& line,
                               const std::vector<std::string>& domains,
                               Accel_SystemProxyMode proxyMode, const std::string& connectId,
                               StartRun& run);
  // One start call of a sequence, given its answer: records the item when
  // it started. Returns how the sequence ends, or nothing when it goes on.
  std::optional<StartOutcome> startStep(StartRun& run, Item item,
                                        std::optional<std::string> error,
                                        const std::string& connectId);
  void undo(const StartRun& run);
  std::vector<std::string> exclusionList(const core::LineItem& line) const;
  std::vector<std::string> domainList() const;
  void pause(platform::Duration duration) const;
  core::ResultData finishStart(core::ConnectMode mode, bool recordLastStartedMode);
  // Counts one delayed step while the token lives.
  std::shared_ptr<void> trackWork();

  qv_ConnectionManager& manager_;
  HelperClient& helper_;
  AccelCalls& accel_;
  const ResolverConfig& resolver_;
  AlertHelpers& alerts_;
  core::qv_ConnectLog& connectLog_;
  platform::Defaults& defaults_;
  platform::Scheduler* const scheduler_;
  const std::vector<std::string> apiHostNames_;
  const std::function<std::optional<std::vector<std::string>>()> proxyList_;

  // startTunnel, its undo and stopDaemonTunnels: one at a time.
  platform::SerialQueue tunnelSection_{"tunnel"};
  std::atomic<int> pendingWork_{0};
  // The raw value of the mode that is up, -1 when none.
  std::atomic<std::int8_t> startedMode_{-1};
};

}  // namespace vandrel::connection
