#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "helper/app_watchdog.h"
#include "helper/daemon_control.h"
#include "helper/helper_config.h"
#include "platform/dispatch.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "platform/result.h"
#include "platform/sync.h"

namespace vandrel::helper {

// What the helper prints on standard output when it starts (no line end).
inline constexpr std::string_view kMainInitText = "checkMain main init";

// "run goServer failed:\n%@ \nDebug Info:\n%@" with the failure and the
// debug text.
std::string runGoServerFailedText(std::string_view failure, std::string_view debugInfo);
// "delete %@ res: %d" with the route and the raw wait status of its deletion.
std::string deleteRouteLine(std::string_view route, int waitStatus);

// The most routes one request may name. A tunnel's exclusion list holds a
// few dozen; each route is one "ip route del" (up to the route time-out)
// at every clean-up, so a list of thousands would hold the helper for
// hours.
inline constexpr std::size_t kMaxRoutesPerRequest = 256;

// [exit status, output]; output "None" when empty or not UTF-8.
struct CommandResult {
  std::int64_t status = 0;
  std::string output;
};

// The helper's command set. Each command runs on the thread of the
// connection that sent it; commands of different connections run at the
// same time, and whatever touches the daemon goes through one serial
// section (the daemon-control queue), watchdog clean-ups included.
class HelperTool {
 public:
  struct Options {
    HelperConfig config;
    std::string socketPath;                     // what connectWithEndpoint answers
    platform::ProcessRunner* runner = nullptr;  // the system runner when null
    DaemonControl::Options daemon;              // daemonPath and port come from `config`
    platform::Duration watchdogInterval = std::chrono::seconds(1);
    // Longest wait for one "ip route del": a hung ip must not hold up the
    // remaining routes, nor the watchdog's clean-up behind them.
    platform::Duration routeTimeout = std::chrono::seconds(10);
  };

  explicit HelperTool(Options options);
  ~HelperTool();
  HelperTool(const HelperTool&) = delete;
  HelperTool& operator=(const HelperTool&) = delete;

  // Root and the configured users only.
  bool acceptPeer(const platform::ipc::PeerCredentials& peer) const;

  // One request frame in, its reply frame out; nothing for a malformed
  // request (the connection is then closed).
  std::optional<platform::ipc::Message> handleFrame(const platform::ipc::PeerCredentials& peer,
                                                    std::string payload);

  // The commands, callable without the channel.
  std::optional<std::string> checkAndRunServer(const platform::ipc::PeerCredentials& peer,
                                               std::string_view path, bool force);
  // One "delete %@ res: %d" line per route run, in order; empty entries are
  // skipped, invalid ones refused (logged, nothing run, no line). More than
  // kMaxRoutesPerRequest entries: refused whole, nothing run.
  platform::Result<std::vector<std::string>> deleteRoutes(const std::vector<std::string>& routes);
  // Replaces the list the clean-up deletes. Checked here, not at clean-up
  // time: a list with more than kMaxRoutesPerRequest entries, or with an
  // entry that is neither empty nor an address with an optional prefix, is
  // refused whole with an error, and the list stored before stays.
  platform::Result<void> deleteRoutesWhenAppKilled(const std::vector<std::string>& routes);
  std::string debugInfo();
  platform::Result<CommandResult> execCommand(const std::string& command);
  // (IPv4 socket, IPv6 socket) bound to port 80, or the error reply's
  // domain, code and text.
  platform::Result<std::pair<platform::ipc::OwnedFd, platform::ipc::OwnedFd>> bindToLowNumberPort(
      const std::optional<std::string>& authorization);

  // The shell runner: bash -c with only the fixed PATH, logged.
  CommandResult runCommand(const std::string& command);

  bool watchdogRunning() const { return watchdog_.running(); }

 private:
  void setExecPath(const platform::ipc::PeerCredentials& peer, std::string_view path);
  void cleanUpAfterApp();
  std::vector<std::string> runRouteDeletions(const std::vector<std::string>& routes);

  const HelperConfig config_;
  const std::string socketPath_;
  platform::ProcessRunner& runner_;
  const platform::Duration routeTimeout_;
  platform::SerialQueue control_{"com.vandrel.mac.daemon.control"};
  DaemonControl daemon_;  // only inside control_
  mutable platform::Mutex mutex_;
  std::vector<std::string> routesWhenAppKilled_ VANDREL_GUARDED_BY(mutex_);
  // Last: its thread uses everything above, so it goes first.
  AppWatchdog watchdog_;
};

}  // namespace vandrel::helper
