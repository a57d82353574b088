#include "daemon/supervisor.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <thread>

#include "daemon/child_launch.h"
#include "platform/file_io.h"
#include "platform/sync.h"

namespace vandrel::daemon {
namespace {

using platform::UniqueFd;
using namespace std::chrono_literals;

constexpr std::size_t kMaxLine = 512;
constexpr std::size_t kKeptLines = 3;
constexpr auto kReapWait = 5s;

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
    UniqueFd status;  // the program's wait status, written by its init
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
    // How the program ended, as its init saw it; else how the init ended
    // (killed with its namespace by a stop).
    int status = 0;
    if (::read(child.status.get(), &status, sizeof(status)) == sizeof(status)) {
      report = child.name + " " +
               (WIFEXITED(status) ? describeWaitStatus(CLD_EXITED, WEXITSTATUS(status))
                                  : describeWaitStatus(CLD_KILLED, WTERMSIG(status)));
    } else {
      report = child.name + " " + describeWaitStatus(info.si_code, info.si_status);
    }
    if (!child.lastLines.empty()) report += ": " + child.lastLines.back();
    if (!child.stopping) child.ended = report;
  }
  changed.notify_all();
  log(report + " (pid " + std::to_string(pid) + ")");
}

platform::Result<pid_t> Supervisor::Impl::spawn(const ChildSpec& spec) {
  auto launched = launchChild(spec);
  if (!launched) return launched.error();
  LaunchedChild& started = launched.value();
  const pid_t pid = started.pid;
  {
    platform::MutexLock lock(mutex);
    Child child;
    child.name = spec.name;
    child.pidfd = std::move(started.pidfd);
    child.output = std::move(started.output);
    child.status = std::move(started.status);
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
