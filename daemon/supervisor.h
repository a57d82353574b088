#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

// The daemon's long-running children (the Shadowsocks client, the HTTP
// proxy, the TUN relay): started by argv from a fixed executable, each in a
// process group of its own, as the unprivileged user where it can, tied to
// the daemon's life (SIGKILL when the daemon ends, whatever ends it), with
// its output in the daemon's log. A child that ends by itself is reported
// once and never started again behind anyone's back.
namespace vandrel::daemon {

struct ChildSpec {
  std::string name;        // for the log and error texts: "ss-local"
  std::string executable;  // absolute path
  std::vector<std::string> argv;
  std::vector<std::string> environment;  // exactly these "K=V" entries
  // Descriptors the child gets as 3, 4, ... in this order (the caller keeps
  // them open until start() returns).
  std::vector<int> fds;
  bool unprivileged = true;  // as kUnprivilegedUser, no new privileges
};

// The user the children run as: no files, no login, no privileges.
inline constexpr std::string_view kUnprivilegedUser = "nobody";

class Supervisor {
 public:
  // `log` gets the supervisor's own lines and every line a child prints
  // ("ss-local: ..."); it is called on the supervisor's thread.
  explicit Supervisor(std::function<void(std::string_view)> log);
  // Stops every child still running.
  ~Supervisor();
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;

  // Starts the child; its pid (also its process group) once exec succeeded,
  // else what stopped it (a missing executable, an unknown user, ...).
  platform::Result<pid_t> start(const ChildSpec& spec);
  // SIGTERM to the child's group, SIGKILL to what is left after `grace`,
  // then reaps it. Nothing for an unknown pid.
  void stop(pid_t pid, std::chrono::milliseconds grace = std::chrono::milliseconds(1500));
  // Whether the child has not ended.
  bool running(pid_t pid) const;
  // How the child ended ("ss-local exited with status 1: <its last line>"),
  // once, when it ended by itself; nothing while it runs or after stop().
  std::optional<std::string> takeEnded(pid_t pid);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// "exited with status N" / "was killed by signal N".
std::string describeWaitStatus(int code, int status);

}  // namespace vandrel::daemon
