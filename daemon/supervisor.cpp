#include "daemon/supervisor.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <thread>

#include "platform/file_io.h"
#include "platform/sync.h"

namespace vandrel::daemon {
namespace {

using platform::UniqueFd;
using namespace std::chrono_literals;

constexpr std::string_view kSupervisorDomain = "vandrel.daemon.child";
constexpr std::size_t kMaxLine = 512;
constexpr std::size_t kKeptLines = 3;
constexpr auto kReapWait = 5s;

platform::Error childError(int code, const std::string& message) {
  return platform::Error{std::string(kSupervisorDomain), code, message};
}

// Where the child stopped before exec, sent back over a close-on-exec pipe.
enum class Stage : int { Session, Descriptors, Groups, Gid, Uid, DeathSignal, NoNewPrivs, Exec };

const char* stageName(Stage stage) {
  switch (stage) {
    case Stage::Session: return "setsid";
    case Stage::Descriptors: return "descriptors";
    case Stage::Groups: return "setgroups";
    case Stage::Gid: return "setresgid";
    case Stage::Uid: return "setresuid";
    case Stage::DeathSignal: return "PR_SET_PDEATHSIG";
    case Stage::NoNewPrivs: return "PR_SET_NO_NEW_PRIVS";
    case Stage::Exec: return "exec";
  }
  return "?";
}

struct ChildFailure {
  Stage stage;
  int error;
};

// Everything the child needs, prepared before fork: after it only
// async-signal-safe calls run.
struct Launch {
  const char* executable;
  char* const* argv;
  char* const* envp;
  int devNull;
  int output;  // write end
  int report;  // write end of the failure pipe
  const std::vector<int>* fds;
  bool dropPrivileges;
  uid_t uid;
  gid_t gid;
  pid_t parent;
};

[[noreturn]] void fail(const Launch& launch, Stage stage) {
  const ChildFailure failure{stage, errno};
  (void)!::write(launch.report, &failure, sizeof(failure));
  _exit(127);
}

[[noreturn]] void childMain(const Launch& launch) {
  if (::setsid() < 0) fail(launch, Stage::Session);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &fallback, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // Every descriptor first goes above the ones it will replace, so that a
  // source that happens to sit at a target number is not lost.
  const int count = static_cast<int>(launch.fds->size());
  const int base = 10 + count;
  int moved[64];
  if (count > 64) fail(launch, Stage::Descriptors);
  for (int i = 0; i < count; ++i) {
    moved[i] = ::fcntl((*launch.fds)[i], F_DUPFD_CLOEXEC, base);
    if (moved[i] < 0) fail(launch, Stage::Descriptors);
  }
  const int report = ::fcntl(launch.report, F_DUPFD_CLOEXEC, base);
  Launch self = launch;
  self.report = report;
  if (report < 0 || ::dup2(launch.devNull, 0) < 0 || ::dup2(launch.output, 1) < 0 ||
      ::dup2(launch.output, 2) < 0) {
    fail(self, Stage::Descriptors);
  }
  for (int i = 0; i < count; ++i) {
    if (::dup2(moved[i], 3 + i) < 0) fail(self, Stage::Descriptors);
  }
  // Only 0-2, the passed descriptors and the report pipe (closed by exec) stay.
  ::close_range(static_cast<unsigned>(3 + count), static_cast<unsigned>(report - 1), 0);
  ::close_range(static_cast<unsigned>(report + 1), ~0U, 0);
  if (self.dropPrivileges) {
    if (::setgroups(0, nullptr) != 0) fail(self, Stage::Groups);
    if (::setresgid(self.gid, self.gid, self.gid) != 0) fail(self, Stage::Gid);
    if (::setresuid(self.uid, self.uid, self.uid) != 0) fail(self, Stage::Uid);
  }
  // After the change of user, which clears it; and only then the check,
  // so that a daemon that died in between is noticed.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(self, Stage::DeathSignal);
  if (::getppid() != self.parent) _exit(126);
  if (self.dropPrivileges && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    fail(self, Stage::NoNewPrivs);
  ::execve(self.executable, self.argv, self.envp);
  fail(self, Stage::Exec);
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

std::string describeWaitStatus(int code, int status) {
  if (code == CLD_EXITED) return "exited with status " + std::to_string(status);
  return "was killed by signal " + std::to_string(status);
}

struct Supervisor::Impl {
  struct Child {
    std::string name;
    UniqueFd pidfd;
    UniqueFd output;
    std::string partial;
    std::deque<std::string> lastLines;
    bool reaped = false;
    bool stopping = false;
    // Nobody asks about it any more: the thread drops it once reaped. Only
    // the thread drops entries, so the descriptors it polls stay valid.
    bool discarded = false;
    std::optional<std::string> ended;  // reported once
  };

  explicit Impl(std::function<void(std::string_view)> logger) : log(std::move(logger)) {
    wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    VANDREL_CHECK(wake.valid(), "Supervisor: eventfd failed");
    thread = std::thread([this] { run(); });
    pthread_setname_np(thread.native_handle(), "vandrel-children");
  }

  void post(std::function<void()> job) {
    {
      platform::MutexLock lock(mutex);
      jobs.push_back(std::move(job));
    }
    const std::uint64_t one = 1;
    (void)!::write(wake.get(), &one, sizeof(one));
  }

  void run();
  void readOutput(pid_t pid);
  void reap(pid_t pid);
  platform::Result<pid_t> spawn(const ChildSpec& spec);

  std::function<void(std::string_view)> log;
  UniqueFd wake;
  std::thread thread;
  mutable platform::Mutex mutex;
  std::condition_variable changed;
  std::map<pid_t, Child> children VANDREL_GUARDED_BY(mutex);
  std::deque<std::function<void()>> jobs VANDREL_GUARDED_BY(mutex);
  bool quitting VANDREL_GUARDED_BY(mutex) = false;
};

void Supervisor::Impl::run() {
  for (;;) {
    std::vector<pollfd> fds{{wake.get(), POLLIN, 0}};
    std::vector<std::pair<pid_t, bool>> owners;  // (pid, output?) per entry after the first
    std::deque<std::function<void()>> todo;
    {
      platform::MutexLock lock(mutex);
      std::erase_if(children, [](const auto& entry) {
        return entry.second.discarded && entry.second.reaped;
      });
      if (quitting && children.empty() && jobs.empty()) return;
      todo.swap(jobs);
      for (const auto& [pid, child] : children) {
        if (child.output) {
          fds.push_back({child.output.get(), POLLIN, 0});
          owners.emplace_back(pid, true);
        }
        if (!child.reaped) {
          fds.push_back({child.pidfd.get(), POLLIN, 0});
          owners.emplace_back(pid, false);
        }
      }
    }
    if (!todo.empty()) {
      for (auto& job : todo) job();
      continue;  // the set of children may have changed
    }
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
      log(std::string("supervisor: poll failed: ") + std::strerror(errno));
      std::this_thread::sleep_for(100ms);
      continue;
    }
    if (fds[0].revents) {
      std::uint64_t count = 0;
      (void)!::read(wake.get(), &count, sizeof(count));
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      const auto [pid, isOutput] = owners[i - 1];
      if (isOutput) {
        readOutput(pid);
      } else {
        reap(pid);
      }
    }
  }
}

void Supervisor::Impl::readOutput(pid_t pid) {
  char buffer[4096];
  int fd = -1;
  {
    platform::MutexLock lock(mutex);
    const auto found = children.find(pid);
    if (found == children.end() || !found->second.output) return;
    fd = found->second.output.get();
  }
  const ssize_t n = ::read(fd, buffer, sizeof(buffer));
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  std::vector<std::string> lines;
  std::string name;
  {
    platform::MutexLock lock(mutex);
    auto& child = children.find(pid)->second;  // only this thread drops entries
    name = child.name;
    if (n <= 0) {
      child.output.reset();
      if (!child.partial.empty()) lines.push_back(std::move(child.partial));
      child.partial.clear();
    } else {
      child.partial.append(buffer, static_cast<std::size_t>(n));
      for (auto end = child.partial.find('\n'); end != std::string::npos;
           end = child.partial.find('\n')) {
        lines.push_back(child.partial.substr(0, std::min(end, kMaxLine)));
        child.partial.erase(0, end + 1);
      }
      if (child.partial.size() > kMaxLine) {
        lines.push_back(child.partial.substr(0, kMaxLine));
        child.partial.clear();
      }
    }
    for (const auto& line : lines) {
      child.lastLines.push_back(line);
      if (child.lastLines.size() > kKeptLines) child.lastLines.pop_front();
    }
  }
  for (const auto& line : lines) log(name + ": " + line);
}

void Supervisor::Impl::reap(pid_t pid) {
  int pidfd = -1;
  {
    platform::MutexLock lock(mutex);
    const auto found = children.find(pid);
    if (found == children.end() || found->second.reaped) return;
    pidfd = found->second.pidfd.get();
  }
  // The leader has ended but is not reaped: its group id cannot be taken
  // by anyone else yet, so this reaches only what it left behind (a
  // plugin it started, say).
  ::kill(-pid, SIGKILL);
  siginfo_t info{};
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) != 0) {
    log("supervisor: cannot reap pid " + std::to_string(pid) + ": " + std::strerror(errno));
    return;
  }
  std::string report;
  {
    platform::MutexLock lock(mutex);
    auto& child = children.find(pid)->second;  // only this thread drops entries
    child.reaped = true;
    report = child.name + " " + describeWaitStatus(info.si_code, info.si_status);
    if (!child.lastLines.empty()) report += ": " + child.lastLines.back();
    if (!child.stopping) child.ended = report;
  }
  changed.notify_all();
  log(report + " (pid " + std::to_string(pid) + ")");
}

platform::Result<pid_t> Supervisor::Impl::spawn(const ChildSpec& spec) {
  if (spec.executable.empty() || spec.executable.front() != '/' || spec.argv.empty() ||
      hasNul(spec.argv) || hasNul(spec.environment) ||
      spec.executable.find('\0') != std::string::npos || spec.fds.size() > 16) {
    return childError(EINVAL, "cannot start " + spec.name + ": bad arguments");
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
      return childError(ENOENT, "cannot start " + spec.name + ": no user \"" + user + "\"");
    }
    uid = found->pw_uid;
    gid = found->pw_gid;
  }
  UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  int output[2], report[2];
  if (!devNull || ::pipe2(output, O_CLOEXEC) != 0) {
    return childError(errno, "cannot start " + spec.name + ": " + std::strerror(errno));
  }
  UniqueFd outputRead(output[0]), outputWrite(output[1]);
  if (::pipe2(report, O_CLOEXEC) != 0) {
    return childError(errno, "cannot start " + spec.name + ": " + std::strerror(errno));
  }
  UniqueFd reportRead(report[0]), reportWrite(report[1]);
  auto argv = cStrings(spec.argv);
  auto envp = cStrings(spec.environment);
  const Launch launch{spec.executable.c_str(), argv.data(), envp.data(), devNull.get(),
                      outputWrite.get(), reportWrite.get(), &spec.fds, spec.unprivileged, uid,
                      gid, ::getpid()};
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) childMain(launch);
  const int forkErrno = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) {
    return childError(forkErrno, "cannot start " + spec.name + ": " + std::strerror(forkErrno));
  }
  reportWrite.reset();
  outputWrite.reset();
  ChildFailure failure{};
  ssize_t got;
  do {
    got = ::read(reportRead.get(), &failure, sizeof(failure));
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof(failure))) {
    ::waitpid(pid, nullptr, 0);
    return childError(failure.error, "cannot start " + spec.name + ": " +
                                         stageName(failure.stage) + ": " +
                                         std::strerror(failure.error));
  }
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return childError(errno, "cannot watch " + spec.name);
  }
  ::fcntl(outputRead.get(), F_SETFL, O_NONBLOCK);
  {
    platform::MutexLock lock(mutex);
    Child child;
    child.name = spec.name;
    child.pidfd = std::move(pidfd);
    child.output = std::move(outputRead);
    children.emplace(pid, std::move(child));
  }
  log("started " + spec.name + " (pid " + std::to_string(pid) + ")");
  return pid;
}

Supervisor::Supervisor(std::function<void(std::string_view)> log)
    : impl_(std::make_unique<Impl>(std::move(log))) {}

Supervisor::~Supervisor() {
  std::vector<pid_t> pids;
  {
    platform::MutexLock lock(impl_->mutex);
    for (const auto& [pid, child] : impl_->children) {
      if (!child.discarded) pids.push_back(pid);
    }
  }
  for (const pid_t pid : pids) stop(pid, 0ms);
  {
    platform::MutexLock lock(impl_->mutex);
    impl_->quitting = true;
  }
  impl_->post([] {});
  impl_->thread.join();
}

platform::Result<pid_t> Supervisor::start(const ChildSpec& spec) {
  auto done = std::make_shared<std::promise<platform::Result<pid_t>>>();
  auto future = done->get_future();
  impl_->post([this, &spec, done] { done->set_value(impl_->spawn(spec)); });
  return future.get();
}

void Supervisor::stop(pid_t pid, std::chrono::milliseconds grace) {
  bool outlived = false;
  {
    platform::MutexLock lock(impl_->mutex);
    const auto found = impl_->children.find(pid);
    if (found == impl_->children.end() || found->second.discarded) return;
    Impl::Child& child = found->second;
    child.stopping = true;
    // Not reaped yet: the group id is still the child's own.
    if (!child.reaped) ::kill(-pid, grace.count() > 0 ? SIGTERM : SIGKILL);
    auto& native = lock.native();
    const auto reaped = [&child] { return child.reaped; };
    if (!impl_->changed.wait_for(native, grace, reaped)) {
      ::kill(-pid, SIGKILL);
      outlived = !impl_->changed.wait_for(native, kReapWait, reaped);
    }
    child.discarded = true;
  }
  if (outlived) impl_->log("supervisor: pid " + std::to_string(pid) + " outlived SIGKILL");
  impl_->post([] {});
}

bool Supervisor::running(pid_t pid) const {
  platform::MutexLock lock(impl_->mutex);
  const auto found = impl_->children.find(pid);
  return found != impl_->children.end() && !found->second.reaped && !found->second.discarded;
}

std::optional<std::string> Supervisor::takeEnded(pid_t pid) {
  platform::MutexLock lock(impl_->mutex);
  const auto found = impl_->children.find(pid);
  if (found == impl_->children.end() || found->second.discarded || !found->second.ended)
    return std::nullopt;
  auto report = std::move(found->second.ended);
  found->second.discarded = true;
  return report;
}

}  // namespace vandrel::daemon
