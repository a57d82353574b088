#include "daemon/clear.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/desktop_proxy.h"
#include "daemon/supervisor.h"
#include "daemon/tunnel.h"
#include "helper/daemon_components.h"
#include "helper/proc_table.h"

namespace vandrel::daemon {
namespace {

std::optional<uid_t> unprivilegedUid() {
  const std::string name(kUnprivilegedUser);
  const passwd* entry = ::getpwnam(name.c_str());
  if (!entry || entry->pw_uid == 0) return std::nullopt;
  return entry->pw_uid;
}

// The programs a child of ours runs: the packaged components and the
// daemon itself (the relay).
std::vector<helper::proc::FileIdentity> childPrograms() {
  std::vector<helper::proc::FileIdentity> identities;
  for (const std::string_view path :
       {helper::kSsLocalPath, helper::kWebSocketPluginPath, helper::kHttpProxyPath}) {
    struct stat st {};
    if (::stat(std::string(path).c_str(), &st) == 0) identities.push_back({st.st_dev, st.st_ino});
  }
  if (const auto self = helper::proc::executableIdentity(::getpid())) identities.push_back(*self);
  return identities;
}

bool runsChildProgram(pid_t pid, const std::vector<helper::proc::FileIdentity>& programs) {
  const auto identity = helper::proc::executableIdentity(pid);
  return identity && std::find(programs.begin(), programs.end(), *identity) != programs.end();
}

pid_t processGroup(pid_t pid) {
  const pid_t group = ::getpgid(pid);
  return group < 0 ? 0 : group;
}

// Each recorded child led a group of its own, all of it run by the
// unprivileged user. The leader died with the daemon; what it started may
// not have (the websocket plugin). Only processes of that user in such a
// group that run one of our programs are ended, each pinned by a pidfd.
void endLeftoverChildren(const StateFiles& state,
                         const std::function<void(std::string_view)>& log) {
  const auto record = state.read(kChildrenRecord);
  const auto user = unprivilegedUid();
  if (!record || !user) {
    state.remove(kChildrenRecord);
    return;
  }
  const auto programs = childPrograms();
  std::istringstream lines(*record);
  pid_t group = 0;
  std::uint64_t startTime = 0;
  while (lines >> group >> startTime) {
    if (group <= 1) continue;
    for (const pid_t pid : helper::proc::listPids()) {
      if (processGroup(pid) != group || helper::proc::processUid(pid) != user ||
          !runsChildProgram(pid, programs)) {
        continue;
      }
      const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
      if (pidfd < 0) continue;
      if (processGroup(pid) == group &&
          ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0) {
        log("-clear: ended pid " + std::to_string(pid) + " left in group " +
            std::to_string(group));
      }
      ::close(pidfd);
    }
  }
  state.remove(kChildrenRecord);
}

bool restoreDesktopProxy(const StateFiles& state,
                         const std::function<void(std::string_view)>& log) {
  const auto record = state.read(kSystemProxyRecord);
  if (!record) return true;
  const auto saved = SavedProxy::parse(*record);
  if (!saved) {
    log("-clear: the saved desktop proxy setting is unreadable; dropped");
    state.remove(kSystemProxyRecord);
    return false;
  }
  auto user = desktopUser(saved->uid);
  if (!user) {
    log("-clear: desktop proxy not restored: " + user.error().message);
    return false;
  }
  DesktopProxy proxy;
  if (auto restored = proxy.restore(user.value(), *saved); !restored) {
    log("-clear: desktop proxy not restored: " + restored.error().message);
    return false;
  }
  state.remove(kSystemProxyRecord);
  log("-clear: desktop proxy restored for uid " + std::to_string(saved->uid));
  return true;
}

}  // namespace

int runClear(const StateFiles& state, const std::function<void(std::string_view)>& log) {
  endLeftoverChildren(state, log);
  clearTunnel(state, log);
  const bool restored = restoreDesktopProxy(state, log);
  return restored ? 0 : 1;
}

}  // namespace vandrel::daemon
