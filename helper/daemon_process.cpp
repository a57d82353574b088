#include "helper/daemon_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "platform/process.h"
#include "platform/sync.h"

namespace vandrel::helper {
namespace {

using platform::Error;
using platform::Result;

constexpr std::string_view kPosixDomain = "NSPOSIXErrorDomain";
// Exit statuses kept for processes nobody asked about yet; the oldest go first.
constexpr std::size_t kMaxExitRecords = 64;

Error posixError(int code, const std::string& what) {
  return Error{std::string(kPosixDomain), code, what + ": " + std::strerror(code)};
}

// Exit statuses of detached children, filled by their reaper threads.
class ExitRecords {
 public:
  static ExitRecords& shared() {
    static auto* records = new ExitRecords;
    return *records;
  }
  void add(pid_t pid, int status) {
    MutexLock lock(mutex_);
    if (statuses_.size() >= kMaxExitRecords) statuses_.erase(statuses_.begin());
    statuses_[pid] = status;
  }
  std::optional<int> take(pid_t pid) {
    MutexLock lock(mutex_);
    const auto found = statuses_.find(pid);
    if (found == statuses_.end()) return std::nullopt;
    const int status = found->second;
    statuses_.erase(found);
    return status;
  }

 private:
  using MutexLock = platform::MutexLock;
  platform::Mutex mutex_;
  std::map<pid_t, int> statuses_ VANDREL_GUARDED_BY(mutex_);
};

int waitFor(pid_t pid, int options) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, options);
  } while (r < 0 && errno == EINTR);
  return r == pid ? status : -1;
}

// The child's side of the fork: only async-signal-safe calls from here on.
[[noreturn]] void execChild(int exeFd, char* const argv[], char* const envp[]) {
  ::setsid();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &fallback, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) _exit(127);
  // Everything but the executable goes: an inherited socket would keep a
  // client's connection open after the helper is gone.
  if (exeFd > 3) ::close_range(3, static_cast<unsigned>(exeFd) - 1, 0);
  ::close_range(static_cast<unsigned>(exeFd) + 1, ~0U, 0);
  ::syscall(SYS_execveat, exeFd, "", argv, envp, AT_EMPTY_PATH);
  _exit(127);
}

// Forks a child that runs `argv` from the executable; the parent gets its pid.
Result<pid_t> forkExec(const DaemonExecutable& executable, const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  static const std::string kPath(platform::kDefaultPathEntry);
  char* env[] = {const_cast<char*>(kPath.c_str()), nullptr};
  // No handler of ours may run in the child before it resets them.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) execChild(executable.fd(), args.data(), env);
  const int forkErrno = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) return posixError(forkErrno, "cannot start " + executable.path());
  return pid;
}

}  // namespace

Result<DaemonExecutable> DaemonExecutable::open(const std::string& path) {
  // O_NONBLOCK: a FIFO at the path would otherwise hold the open until
  // someone writes to it, and never reach the regular-file check.
  platform::ipc::OwnedFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd) {
    if (errno == ELOOP) return posixError(ELOOP, path + " is a symbolic link");
    return posixError(errno, "cannot open " + path);
  }
  // Kept above the standard streams, which the child replaces before exec.
  if (fd.get() <= 2) {
    fd.reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    if (!fd) return posixError(errno, "cannot open " + path);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return posixError(errno, "cannot inspect " + path);
  if (!S_ISREG(st.st_mode)) return posixError(EACCES, path + " is not a regular file");
  if (st.st_uid != 0) return posixError(EPERM, path + " is not owned by root");
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    return posixError(EPERM, path + " is writable by group or others");
  }
  if (!(st.st_mode & S_IXUSR)) return posixError(EACCES, path + " is not executable");
  DaemonExecutable executable;
  executable.path_ = path;
  executable.identity_ = {st.st_dev, st.st_ino};
  executable.fd_ = std::move(fd);
  return executable;
}

Result<pid_t> startDetached(const DaemonExecutable& executable,
                            const std::vector<std::string>& argv) {
  auto pid = forkExec(executable, argv);
  if (!pid.ok()) return pid;
  const pid_t child = pid.value();
  // A record under this pid belongs to an earlier process that nobody
  // asked about: the number has been reused, and the new child must not
  // pass for one that has ended. Its own reaper starts only below.
  (void)ExitRecords::shared().take(child);
  try {
    std::thread([child] { ExitRecords::shared().add(child, waitFor(child, 0)); }).detach();
  } catch (const std::system_error&) {
    // Without a reaper it would stay a zombie after its end: do not leave
    // it running.
    ::kill(child, SIGKILL);
    waitFor(child, 0);
    return posixError(EAGAIN, "cannot watch " + executable.path());
  }
  return child;
}

std::optional<int> takeExitStatus(pid_t pid) { return ExitRecords::shared().take(pid); }

Result<int> runAndWait(const DaemonExecutable& executable, const std::vector<std::string>& argv,
                       platform::Duration timeout) {
  auto pid = forkExec(executable, argv);
  if (!pid.ok()) return pid.error();
  const pid_t child = pid.value();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  for (;;) {
    const int status = waitFor(child, WNOHANG);
    if (status >= 0) {
      if (pidfd >= 0) ::close(pidfd);
      return status;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (pidfd >= 0) {
      pollfd exited{pidfd, POLLIN, 0};
      ::poll(&exited, 1, static_cast<int>(left.count()));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (pidfd >= 0) ::close(pidfd);
  ::kill(-child, SIGKILL);  // its session: whatever it started goes too
  ::kill(child, SIGKILL);
  waitFor(child, 0);
  return Error{std::string(kPosixDomain), ETIMEDOUT,
               executable.path() + " did not finish in time and was killed"};
}

}  // namespace vandrel::helper
