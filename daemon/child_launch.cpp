#include "daemon/child_launch.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace vandrel::daemon {
namespace {

using platform::UniqueFd;

platform::Error launchError(int code, const std::string& message) {
  return platform::Error{"vandrel.daemon.child", code, message};
}

// Where the child stopped before exec, sent back over a close-on-exec pipe.
enum class Stage : int { Session, Descriptors, Groups, Gid, Uid, DeathSignal, NoNewPrivs, Fork, Exec };

const char* stageName(Stage stage) {
  switch (stage) {
    case Stage::Session: return "setsid";
    case Stage::Descriptors: return "descriptors";
    case Stage::Groups: return "setgroups";
    case Stage::Gid: return "setresgid";
    case Stage::Uid: return "setresuid";
    case Stage::DeathSignal: return "PR_SET_PDEATHSIG";
    case Stage::NoNewPrivs: return "PR_SET_NO_NEW_PRIVS";
    case Stage::Fork: return "fork";
    case Stage::Exec: return "exec";
  }
  return "?";
}

struct ChildFailure {
  Stage stage;
  int error;
};

// The kernel's struct clone_args (first version), for clone3.
struct CloneArgs {
  std::uint64_t flags = 0;
  std::uint64_t pidfd = 0;
  std::uint64_t childTid = 0;
  std::uint64_t parentTid = 0;
  std::uint64_t exitSignal = 0;
  std::uint64_t stack = 0;
  std::uint64_t stackSize = 0;
  std::uint64_t tls = 0;
};

// Everything the child needs, prepared before the clone: after it only
// raw system calls run (the C library's state belongs to the threads of
// the daemon, which the child does not have).
struct Launch {
  const char* executable;
  char* const* argv;
  char* const* envp;
  int devNull;
  int output;  // write end
  int report;  // write end of the failure pipe
  int status;  // write end of the pipe that carries the program's wait status
  int daemon;  // pidfd of the daemon
  const std::vector<int>* fds;
  bool dropPrivileges;
  uid_t uid;
  gid_t gid;
};

long sys(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
  return ::syscall(number, a, b, c, d, e);
}

[[noreturn]] void fail(int report, Stage stage) {
  const ChildFailure failure{stage, errno};
  sys(SYS_write, report, reinterpret_cast<long>(&failure), sizeof(failure));
  sys(SYS_exit_group, 127);
  __builtin_unreachable();
}

// Moves the descriptors into place: 0 /dev/null, 1 and 2 the output pipe,
// 3... the passed ones; the pipes to the daemon and its pidfd above them.
void arrange(Launch& l) {
  const int count = static_cast<int>(l.fds->size());
  const long base = 16 + count;
  int moved[16];
  for (int i = 0; i < count; ++i) {
    moved[i] = static_cast<int>(sys(SYS_fcntl, (*l.fds)[i], F_DUPFD_CLOEXEC, base));
    if (moved[i] < 0) fail(l.report, Stage::Descriptors);
  }
  for (int* keep : {&l.report, &l.status, &l.daemon}) {
    *keep = static_cast<int>(sys(SYS_fcntl, *keep, F_DUPFD_CLOEXEC, base));
    if (*keep < 0) sys(SYS_exit_group, 127);
  }
  if (sys(SYS_dup3, l.devNull, 0, 0) < 0 || sys(SYS_dup3, l.output, 1, 0) < 0 ||
      sys(SYS_dup3, l.output, 2, 0) < 0) {
    fail(l.report, Stage::Descriptors);
  }
  for (int i = 0; i < count; ++i) {
    if (sys(SYS_dup3, moved[i], 3 + i, 0) < 0) fail(l.report, Stage::Descriptors);
  }
  // Everything else goes: an inherited socket would keep a client's
  // connection to the daemon open.
  int low = 3 + count;
  int kept[3] = {l.report, l.status, l.daemon};
  std::sort(std::begin(kept), std::end(kept));
  for (const int fd : kept) {
    if (fd > low) sys(SYS_close_range, low, fd - 1, 0);
    low = fd + 1;
  }
  sys(SYS_close_range, low, ~0U, 0);
}

// The first process of a PID namespace of its own. It runs the program as
// its only child and waits for it; when it ends (killed by the daemon's
// death, or by a stop) the kernel ends everything left in the namespace,
// so nothing the program started outlives it. The program itself cannot
// hold the daemon's death signal: exec of a program with file capabilities
// (ss-local has some) clears it.
[[noreturn]] void initMain(Launch l) {
  if (sys(SYS_setsid) < 0) fail(l.report, Stage::Session);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &fallback, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  arrange(l);
  if (l.dropPrivileges) {
    if (sys(SYS_setgroups, 0, 0) != 0) fail(l.report, Stage::Groups);
    if (sys(SYS_setresgid, l.gid, l.gid, l.gid) != 0) fail(l.report, Stage::Gid);
    if (sys(SYS_setresuid, l.uid, l.uid, l.uid) != 0) fail(l.report, Stage::Uid);
  }
  // After the change of user, which clears it; and only then the check,
  // so that a daemon that died in between is noticed.
  if (sys(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL) != 0) fail(l.report, Stage::DeathSignal);
  pollfd daemonGone{l.daemon, POLLIN, 0};
  if (sys(SYS_poll, reinterpret_cast<long>(&daemonGone), 1, 0) != 0) sys(SYS_exit_group, 126);
  sys(SYS_close, l.daemon);
  if (l.dropPrivileges && sys(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    fail(l.report, Stage::NoNewPrivs);
  }
  const long program = sys(SYS_clone, SIGCHLD, 0, 0, 0, 0);
  if (program < 0) fail(l.report, Stage::Fork);
  if (program == 0) {
    sys(SYS_close, l.status);
    sys(SYS_execve, reinterpret_cast<long>(l.executable), reinterpret_cast<long>(l.argv),
        reinterpret_cast<long>(l.envp));
    fail(l.report, Stage::Exec);
  }
  sys(SYS_close, l.report);
  sys(SYS_close_range, 0, 2 + static_cast<long>(l.fds->size()), 0);
  for (;;) {
    int status = 0;
    const long reaped = sys(SYS_wait4, -1, reinterpret_cast<long>(&status), 0, 0);
    if (reaped == program) {
      sys(SYS_write, l.status, reinterpret_cast<long>(&status), sizeof(status));
      sys(SYS_exit_group, 0);
    }
    if (reaped < 0 && errno == ECHILD) sys(SYS_exit_group, 0);
  }
}

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

bool hasNul(const std::vector<std::string>& strings) {
  for (const auto& s : strings) {
    if (s.find('\0') != std::string::npos) return true;
  }
  return false;
}

}  // namespace

platform::Result<LaunchedChild> launchChild(const ChildSpec& spec) {
  if (spec.executable.empty() || spec.executable.front() != '/' || spec.argv.empty() ||
      hasNul(spec.argv) || hasNul(spec.environment) ||
      spec.executable.find('\0') != std::string::npos || spec.fds.size() > 16) {
    return launchError(EINVAL, "cannot start " + spec.name + ": bad arguments");
  }
  uid_t uid = 0;
  gid_t gid = 0;
  if (spec.unprivileged) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> scratch(16384);
    const std::string user(kUnprivilegedUser);
    if (::getpwnam_r(user.c_str(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
        !found || found->pw_uid == 0) {
      return launchError(ENOENT, "cannot start " + spec.name + ": no user \"" + user + "\"");
    }
    uid = found->pw_uid;
    gid = found->pw_gid;
  }
  UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int output[2], report[2];
  if (!devNull || ::pipe2(output, O_CLOEXEC) != 0) {
    return launchError(errno, "cannot start " + spec.name + ": " + std::strerror(errno));
  }
  UniqueFd outputRead(output[0]), outputWrite(output[1]);
  if (::pipe2(report, O_CLOEXEC) != 0) {
    return launchError(errno, "cannot start " + spec.name + ": " + std::strerror(errno));
  }
  UniqueFd reportRead(report[0]), reportWrite(report[1]);
  int status[2];
  if (::pipe2(status, O_CLOEXEC | O_NONBLOCK) != 0) {
    return launchError(errno, "cannot start " + spec.name + ": " + std::strerror(errno));
  }
  UniqueFd statusRead(status[0]), statusWrite(status[1]);
  UniqueFd self(static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0)));
  if (!self) return launchError(errno, "cannot start " + spec.name + ": " + std::strerror(errno));
  auto argv = cStrings(spec.argv);
  auto envp = cStrings(spec.environment);
  const Launch launch{spec.executable.c_str(), argv.data(), envp.data(), devNull.get(),
                      outputWrite.get(), reportWrite.get(), statusWrite.get(), self.get(),
                      &spec.fds, spec.unprivileged, uid, gid};
  int pidfdNumber = -1;
  CloneArgs args;
  args.flags = CLONE_NEWPID | CLONE_PIDFD;
  args.pidfd = reinterpret_cast<std::uint64_t>(&pidfdNumber);
  args.exitSignal = SIGCHLD;
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = static_cast<pid_t>(::syscall(SYS_clone3, &args, sizeof(args)));
  if (pid == 0) initMain(launch);
  const int forkErrno = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) {
    return launchError(forkErrno, "cannot start " + spec.name + ": " + std::strerror(forkErrno));
  }
  UniqueFd pidfd(pidfdNumber);
  reportWrite.reset();
  outputWrite.reset();
  statusWrite.reset();
  ChildFailure failure{};
  ssize_t got;
  do {
    got = ::read(reportRead.get(), &failure, sizeof(failure));
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof(failure))) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return launchError(failure.error, "cannot start " + spec.name + ": " +
                                         stageName(failure.stage) + ": " +
                                         std::strerror(failure.error));
  }
  ::fcntl(outputRead.get(), F_SETFL, O_NONBLOCK);
  return LaunchedChild{pid, std::move(pidfd), std::move(outputRead), std::move(statusRead)};
}

}  // namespace vandrel::daemon
