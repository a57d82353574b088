#include "platform/linux/process_runner_linux.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/file_io.h"

namespace vandrel::platform {
namespace {

using std::chrono::steady_clock;

constexpr std::string_view kPosixDomain = "NSPOSIXErrorDomain";
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kReadPerWake = 4 * kChunk;
// Without a pidfd the child's exit is noticed by looking this often.
constexpr int kExitPollMs = 20;

Error posixError(int code, const std::string& what) {
  return Error{std::string(kPosixDomain), code,
               what + ": " + std::generic_category().message(code)};
}

std::string quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

bool hasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// The kernel takes each of these as a C string, cut at its first NUL byte:
// what ran would differ from what the caller asked for. The entry itself is
// not repeated, as it may hold a secret.
std::optional<Error> nulByteIn(const std::vector<std::string>& argv,
                               const std::vector<std::string>& environment,
                               const std::string& workingDirectory) {
  const std::string name = quoted(argv.front().substr(0, argv.front().find('\0')));
  for (std::size_t i = 0; i < argv.size(); ++i) {
    if (hasNul(argv[i])) {
      return posixError(EINVAL, "cannot run " + name + ": argument " + std::to_string(i) +
                                    " contains a NUL byte");
    }
  }
  for (std::size_t i = 0; i < environment.size(); ++i) {
    if (hasNul(environment[i])) {
      return posixError(EINVAL, "cannot run " + name + ": environment entry " +
                                    std::to_string(i) + " contains a NUL byte");
    }
  }
  if (hasNul(workingDirectory)) {
    return posixError(EINVAL, "cannot run " + name + ": the working directory contains a NUL byte");
  }
  return std::nullopt;
}


struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Keeps a descriptor above 2, so the child's dup2 onto 0, 1 and 2 never
// overwrites one of its own sources (possible when we run with a standard
// stream closed).
bool moveAboveStdio(UniqueFd& fd) {
  if (fd.get() > 2) return true;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  fd = UniqueFd(moved);
  return true;
}

bool setNonBlocking(const UniqueFd& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// Both ends close-on-exec; only `ourEnd` is non-blocking (the child's end
// must block as a pipe normally does).
Result<Pipe> makePipe(bool ourEndIsRead) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return posixError(errno, "cannot create a pipe");
  Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (!moveAboveStdio(pipe.read) || !moveAboveStdio(pipe.write) ||
      !setNonBlocking(ourEndIsRead ? pipe.read : pipe.write)) {
    return posixError(errno, "cannot set up a pipe");
  }
  return pipe;
}

std::string_view pathOf(const std::vector<std::string>& environment) {
  for (const auto& entry : environment) {
    if (entry.starts_with("PATH=")) return std::string_view(entry).substr(5);
  }
  return {};
}

// Looks `name` up in the child's PATH, not ours: what runs must not depend
// on the environment the application happened to start with. Relative and
// empty entries (the current directory) are never searched.
Result<std::string> resolveProgram(const std::string& name,
                                   const std::vector<std::string>& environment) {
  if (name.find('/') != std::string::npos) return name;
  std::string_view path = pathOf(environment);
  while (!name.empty() && !path.empty()) {
    const auto colon = path.find(':');
    const std::string_view dir = path.substr(0, colon);
    path = colon == std::string_view::npos ? std::string_view() : path.substr(colon + 1);
    if (!dir.starts_with('/')) continue;
    std::string candidate = std::string(dir) + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return posixError(ENOENT, "cannot run " + quoted(name) + ": not found in PATH");
}

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// posix_spawn's two descriptions of the child, destroyed on every path.
class SpawnPlan {
 public:
  SpawnPlan() {
    ::posix_spawn_file_actions_init(&actions_);
    ::posix_spawnattr_init(&attr_);
  }
  ~SpawnPlan() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attr_);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;

  // Returns 0 or the errno of the step that failed.
  int build(const Pipe* input, const Pipe& output, const Pipe& error, const std::string& cwd) {
    int rc = input ? ::posix_spawn_file_actions_adddup2(&actions_, input->read.get(), 0)
                   : ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, output.write.get(), 1);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions_, error.write.get(), 2);
    // Ours are close-on-exec already; this also keeps out any descriptor
    // that a library opened without the flag.
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    if (rc == 0 && !cwd.empty()) rc = ::posix_spawn_file_actions_addchdir_np(&actions_, cwd.c_str());
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // Ignored signals and the mask survive exec: reset both, so the child
    // starts as if from a fresh shell (SIGPIPE default again, among others).
    // glibc keeps its two internal signals (32, 33) ignored in the child;
    // no sigset_t can name them, and programs that use them set their own.
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr_, &none);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr_, &all);
    // Its own process group, so a time-out kills whatever it started too.
    if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr_, 0);
    if (rc == 0) {
      rc = ::posix_spawnattr_setflags(
          &attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    return rc;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

// One output stream of the child: what is kept of it, and whether more
// came than is kept.
struct Sink {
  std::string& text;
  bool& truncated;
};

// Reads what is readable now, up to `limit` bytes; closes `fd` at end of
// file or on an error. Past kMaxKeptOutput the bytes are read and dropped:
// leaving them in the pipe would block the child once it is full.
void readAvailable(UniqueFd& fd, Sink sink, std::size_t limit) {
  std::string dropped;
  while (fd && limit > 0) {
    const std::size_t room = kMaxKeptOutput - sink.text.size();
    std::string& into = room > 0 ? sink.text : dropped;
    const std::size_t want = std::min({kChunk, limit, room > 0 ? room : kChunk});
    const std::size_t old = room > 0 ? into.size() : 0;
    into.resize(old + want);
    const ssize_t n = ::read(fd.get(), into.data() + old, want);
    into.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n > 0) {
      if (room == 0) sink.truncated = true;
      limit -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    fd.reset();
  }
}

// Reads exactly what sits in the pipe now: once the child has exited that
// is everything it wrote, and a background process it left behind with the
// pipe open cannot keep us here.
void drainAfterExit(UniqueFd& fd, Sink sink) {
  int pending = 0;
  if (fd && ::ioctl(fd.get(), FIONREAD, &pending) == 0 && pending > 0) {
    readAvailable(fd, sink, static_cast<std::size_t>(pending));
  }
  fd.reset();
}

Sink stdoutSink(ProcessOutput& out) { return {out.standardOutput, out.standardOutputTruncated}; }
Sink stderrSink(ProcessOutput& out) { return {out.standardError, out.standardErrorTruncated}; }

// Writes what the pipe takes now; closes it when all is written or the
// child stopped reading (EPIPE: not our failure, the child chose to).
void writeAvailable(UniqueFd& fd, const std::string& data, std::size_t& written) {
  while (fd && written < data.size()) {
    const std::size_t want = std::min(kChunk, data.size() - written);
    const ssize_t n = ::write(fd.get(), data.data() + written, want);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else {
      fd.reset();
    }
  }
  fd.reset();
}

int waitForStatus(pid_t pid, int options, int& status) {
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, options);
    if (r >= 0 || errno != EINTR) return r < 0 ? -errno : static_cast<int>(r);
  }
}

struct Child {
  pid_t pid = -1;
  UniqueFd pidfd;  // readable once the child has exited; empty when the kernel lacks pidfds
  UniqueFd input;
  UniqueFd output;
  UniqueFd error;
};

// Ends a child that must not run on. Its whole group goes: a shell's
// children would otherwise live on. Only called before the child is reaped,
// so the pid cannot belong to anyone else yet.
void killAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int ignored = 0;
  (void)waitForStatus(pid, 0, ignored);
}

std::optional<int> pollTimeoutMs(const Child& child,
                                 const std::optional<steady_clock::time_point>& deadline) {
  int waitMs = child.pidfd ? -1 : kExitPollMs;
  if (!deadline) return waitMs;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - steady_clock::now());
  if (left.count() <= 0) return std::nullopt;
  const int leftMs = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
  return waitMs < 0 ? leftMs : std::min(waitMs, leftMs);
}

// Feeds stdin and reads stdout and stderr until the child has exited, and
// returns its wait status. Past the deadline the child is killed.
Result<int> collect(Child& child, const std::string& name, const ProcessOptions& options,
                    ProcessOutput& out) {
  std::optional<steady_clock::time_point> deadline;
  if (options.timeout) deadline = steady_clock::now() + *options.timeout;
  std::size_t written = 0;
  for (;;) {
    pollfd fds[4];
    nfds_t n = 0;
    auto watch = [&](const UniqueFd& fd, short events) -> pollfd* {
      if (!fd) return nullptr;
      fds[n] = pollfd{fd.get(), events, 0};
      return &fds[n++];
    };
    pollfd* outPoll = watch(child.output, POLLIN);
    pollfd* errPoll = watch(child.error, POLLIN);
    pollfd* inPoll = watch(child.input, POLLOUT);
    pollfd* exitPoll = watch(child.pidfd, POLLIN);
    const auto waitMs = pollTimeoutMs(child, deadline);
    if (!waitMs) {
      killAndReap(child.pid);
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*options.timeout);
      return Error{std::string(kPosixDomain), ETIMEDOUT,
                   quoted(name) + " did not finish within " + std::to_string(ms.count()) +
                       " ms and was killed"};
    }
    if (::poll(fds, n, *waitMs) < 0 && errno != EINTR) {
      const Error failed = posixError(errno, "cannot watch " + quoted(name));
      killAndReap(child.pid);
      return failed;
    }
    // A bounded read per wake-up: a child that writes without pause must
    // not keep us from its stdin, its other stream or the deadline.
    if (outPoll && outPoll->revents) readAvailable(child.output, stdoutSink(out), kReadPerWake);
    if (errPoll && errPoll->revents) readAvailable(child.error, stderrSink(out), kReadPerWake);
    if (inPoll && inPoll->revents) writeAvailable(child.input, options.standardInput, written);
    if (exitPoll && !exitPoll->revents) continue;
    int status = 0;
    const int r = waitForStatus(child.pid, WNOHANG, status);
    // ECHILD: someone else reaped it (a SIGCHLD set to ignored, or a stray
    // wait for any child); the pid is no longer ours to signal.
    if (r < 0) return posixError(-r, "cannot wait for " + quoted(name));
    if (r == 0) continue;
    drainAfterExit(child.output, stdoutSink(out));
    drainAfterExit(child.error, stderrSink(out));
    return status;
  }
}

Result<Child> spawn(const std::string& program, const std::vector<std::string>& argv,
                    const std::vector<std::string>& environment, const ProcessOptions& options) {
  std::optional<Pipe> input;
  if (!options.standardInput.empty()) {
    auto made = makePipe(false);
    if (!made.ok()) return made.error();
    input = std::move(made).value();
  }
  auto output = makePipe(true);
  if (!output.ok()) return output.error();
  auto error = makePipe(true);
  if (!error.ok()) return error.error();

  SpawnPlan plan;
  const std::string where =
      options.workingDirectory.empty() ? "" : " in " + quoted(options.workingDirectory);
  if (const int rc = plan.build(input ? &*input : nullptr, output.value(), error.value(),
                                options.workingDirectory)) {
    return posixError(rc, "cannot prepare to run " + quoted(program));
  }
  const auto argvPtrs = cStrings(argv);
  const auto envPtrs = cStrings(environment);
  Child child;
  // glibc reports a failed exec (and a failed chdir) here, from the child.
  const int rc = ::posix_spawn(&child.pid, program.c_str(), plan.actions(), plan.attr(),
                               argvPtrs.data(), envPtrs.data());
  if (rc != 0) return posixError(rc, "cannot run " + quoted(program) + where);
  // Through syscall(): this glibc's <sys/pidfd.h> lacks C linkage for C++.
  child.pidfd = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
  if (input) child.input = std::move(input->write);
  child.output = std::move(output.value().read);
  child.error = std::move(error.value().read);
  return child;  // the child's pipe ends close here, so EOF reaches us
}

}  // namespace

Result<ProcessOutput> LinuxProcessRunner::run(const std::vector<std::string>& argv,
                                              const ProcessOptions& options) {
  ignoreSigpipe();
  if (argv.empty() || argv.front().empty()) {
    return posixError(EINVAL, "cannot run an empty command");
  }
  const std::vector<std::string> environment =
      options.environment.empty() ? std::vector<std::string>{std::string(kDefaultPathEntry)}
                                  : options.environment;
  if (auto refused = nulByteIn(argv, environment, options.workingDirectory)) return *refused;
  auto program = resolveProgram(argv.front(), environment);
  if (!program.ok()) return program.error();
  auto spawned = spawn(program.value(), argv, environment, options);
  if (!spawned.ok()) return spawned.error();

  ProcessOutput out;
  auto status = collect(spawned.value(), argv.front(), options, out);
  if (!status.ok()) return status.error();
  out.waitStatus = status.value();
  out.exitCode = WIFEXITED(out.waitStatus) ? WEXITSTATUS(out.waitStatus) : -1;
  return out;
}

Result<ProcessOutput> ProcessRunner::runShell(const std::string& command,
                                              const ProcessOptions& options) {
  return run({std::string(kShellPath), "-c", command}, options);
}

ProcessRunner& ProcessRunner::system() {
  static auto* runner = new LinuxProcessRunner;
  return *runner;
}

void ignoreSigpipe() {
  [[maybe_unused]] static const bool done = [] {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGPIPE, &action, nullptr);
    return true;
  }();
}

}  // namespace vandrel::platform
