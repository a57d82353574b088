#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "helper/helper_protocol.h"
#include "helper/proc_table.h"
#include "platform/clock.h"

namespace vandrel::helper {

inline constexpr std::string_view kGoServerWorking = "Go Server is working";
inline constexpr std::string_view kGoServerNotWorking = "Go Server not working";
// The debug text: kDebugInfoHead, the process section, kDebugInfoSeparator
// (23 asterisks between line feeds), the daemon's open files, a line feed.
inline constexpr std::string_view kDebugInfoHead = "Debug Info: \n";
inline constexpr std::string_view kDebugInfoSeparator = "\n***********************\n";

// The life of the tunnelling daemon as the helper runs it: is it serving,
// kill it, clear it, start it. Only the configured executable is ever run,
// and only processes that run that executable are ever killed.
//
// Not synchronized: the helper calls it from one section at a time (its
// daemon-control queue), since a kill from one caller must not hit a
// daemon that another has just started.
class DaemonControl {
 public:
  struct Options {
    std::string daemonPath;
    int port = kDefaultDaemonPort;
    platform::Duration listenTimeout = std::chrono::seconds(5);
    platform::Duration clearTimeout = std::chrono::seconds(30);
    platform::Duration killTimeout = std::chrono::seconds(5);
  };

  explicit DaemonControl(Options options);

  // Nothing when a process of the helper's user (root) that runs the daemon
  // executable listens on the daemon port; else what the test found ("None"
  // when nothing listens).
  std::optional<std::string> isGoServerWorking();
  // SIGKILL to every process that runs the daemon executable (never the
  // helper itself), then waits until they are gone.
  void runKillCMD();
  // Runs the daemon with "-clear" and waits for it; the result is logged.
  void runClearCMD();
  // Kill, clear, start, and wait until the started daemon listens on its
  // port. Nothing on success, else the failure text.
  std::optional<std::string> runServer();
  // The debug text: the processes that mention the application, then the
  // daemon's open files.
  std::string debugInfo();

  const Options& options() const { return options_; }

 private:
  // Whether `pid` runs the daemon: the same file as the configured path
  // now, or a removed file that had that path (a daemon left running by a
  // reinstall).
  bool runsDaemon(pid_t pid, const std::optional<proc::FileIdentity>& current) const;
  std::optional<proc::FileIdentity> currentIdentity() const;
  // Whether `holder` of the daemon port is a daemon of ours: it runs the
  // executable `identity` as the helper's own user (root). Anyone may run
  // the executable, and a copy of another user on the port would pass for
  // the helper's daemon.
  static bool servesAsDaemon(pid_t holder, const proc::FileIdentity& identity);
  // Who listens on the port, one "pid N (exe, uid U)" per holder.
  std::string describeListeners() const;
  std::optional<std::string> waitUntilListening(pid_t pid, const proc::FileIdentity& identity);

  Options options_;
};

}  // namespace vandrel::helper
