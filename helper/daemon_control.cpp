#include "helper/daemon_control.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <thread>
#include <vector>

#include "helper/daemon_process.h"
#include "helper/helper_log.h"
#include "helper/helper_text.h"

namespace vandrel::helper {
namespace {

using namespace std::chrono_literals;

constexpr auto kPollInterval = 20ms;
// Each section of the debug text stops growing here, so the reply always
// fits in one frame.
constexpr std::size_t kMaxDebugSection = 64 * 1024;

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "wait status " + std::to_string(status);
}

// Signals `pid` only if it is still the process that started at
// `startTime`: a pidfd pins the process, so a reused pid is never hit.
bool killPinned(pid_t pid, std::uint64_t startTime, const std::function<bool()>& stillTarget) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return false;
  const auto stat = proc::readStat(pid);
  bool sent = false;
  if (stat && stat->startTime == startTime && stillTarget()) {
    sent = ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
  }
  ::close(pidfd);
  return sent;
}

void appendCapped(std::string& section, const std::string& line) {
  if (section.size() + line.size() + 1 > kMaxDebugSection) return;
  section += line;
  section += '\n';
}

// Another user's command line or file name as one field of one line:
// control bytes show as '?', so no line of the debug text can be forged.
std::string oneLineField(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return text;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

DaemonControl::DaemonControl(Options options) : options_(std::move(options)) {}

std::optional<proc::FileIdentity> DaemonControl::currentIdentity() const {
  struct stat st {};
  if (::lstat(options_.daemonPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return proc::FileIdentity{st.st_dev, st.st_ino};
}

bool DaemonControl::runsDaemon(pid_t pid, const std::optional<proc::FileIdentity>& current) const {
  const auto identity = proc::executableIdentity(pid);
  if (!identity) return false;
  if (current && *identity == *current) return true;
  return proc::executableDeleted(pid) &&
         proc::executableLink(pid) == options_.daemonPath + " (deleted)";
}

bool DaemonControl::servesAsDaemon(pid_t holder, const proc::FileIdentity& identity) {
  return proc::executableIdentity(holder) == identity && proc::processUid(holder) == ::geteuid();
}

std::string DaemonControl::describeListeners() const {
  std::string text;
  for (const pid_t pid : proc::socketHolders(proc::listeningSocketInodes(options_.port))) {
    if (!text.empty()) text += ", ";
    const auto uid = proc::processUid(pid);
    text += "pid " + std::to_string(pid) + " (" + printable(proc::executableLink(pid)) + ", uid " +
            (uid ? std::to_string(*uid) : "?") + ")";
  }
  return text;
}

std::optional<std::string> DaemonControl::isGoServerWorking() {
  const auto current = currentIdentity();
  const auto holders = proc::socketHolders(proc::listeningSocketInodes(options_.port));
  const bool working = current && std::any_of(holders.begin(), holders.end(), [&](pid_t pid) {
                         return servesAsDaemon(pid, *current);
                       });
  std::optional<std::string> output;
  if (!working) {
    output = holders.empty()
                 ? "None"
                 : "port " + std::to_string(options_.port) + " is held by " + describeListeners() +
                       ", not by " + options_.daemonPath + " as uid " +
                       std::to_string(::geteuid());
  }
  sysLog("working test on port " + std::to_string(options_.port) + ": " +
         (working ? "listening" : *output));
  sysLog(working ? kGoServerWorking : kGoServerNotWorking);
  return output;
}

void DaemonControl::runKillCMD() {
  const auto current = currentIdentity();
  struct Target {
    pid_t pid;
    std::uint64_t startTime;
  };
  std::vector<Target> killed;
  for (const pid_t pid : proc::listPids()) {
    if (pid == ::getpid() || !runsDaemon(pid, current)) continue;
    const auto stat = proc::readStat(pid);
    if (!stat || stat->state == 'Z') continue;
    if (killPinned(pid, stat->startTime, [&] { return runsDaemon(pid, current); })) {
      sysLog("kill daemon pid " + std::to_string(pid));
      killed.push_back({pid, stat->startTime});
    }
  }
  // Wait until they are gone with all their threads: a new daemon must not
  // find the port taken by a dying one's last thread.
  const auto deadline = std::chrono::steady_clock::now() + options_.killTimeout;
  for (const auto& target : killed) {
    while (!proc::hasExited(target.pid, target.startTime) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kPollInterval);
    }
    if (!proc::hasExited(target.pid, target.startTime)) {
      sysLog("daemon pid " + std::to_string(target.pid) + " still runs after SIGKILL");
    }
  }
}

void DaemonControl::runClearCMD() {
  auto executable = DaemonExecutable::open(options_.daemonPath);
  if (!executable.ok()) {
    sysLog("clear not run: " + executable.error().message);
    return;
  }
  auto status =
      runAndWait(executable.value(), {options_.daemonPath, "-clear"}, options_.clearTimeout);
  sysLog("run command: " + options_.daemonPath +
         " -clear: " + (status.ok() ? describeStatus(status.value()) : status.error().message));
}

std::optional<std::string> DaemonControl::waitUntilListening(pid_t pid,
                                                             const proc::FileIdentity& identity) {
  const auto deadline = std::chrono::steady_clock::now() + options_.listenTimeout;
  for (;;) {
    if (const auto status = takeExitStatus(pid)) {
      const std::string holders = describeListeners();
      return "the daemon exited at once (" + describeStatus(*status) + ")" +
             (holders.empty()
                  ? ""
                  : "; port " + std::to_string(options_.port) + " is held by " + holders);
    }
    for (const pid_t holder : proc::socketHolders(proc::listeningSocketInodes(options_.port))) {
      if (servesAsDaemon(holder, identity)) return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  if (const auto stat = proc::readStat(pid)) {
    killPinned(pid, stat->startTime, [] { return true; });
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(options_.listenTimeout);
  return "the daemon did not listen on port " + std::to_string(options_.port) + " within " +
         std::to_string(seconds.count()) + " ms and was stopped";
}

std::optional<std::string> DaemonControl::runServer() {
  runKillCMD();
  runClearCMD();
  auto executable = DaemonExecutable::open(options_.daemonPath);
  std::optional<std::string> failure;
  if (!executable.ok()) {
    failure = "run service failed: " + executable.error().message;
  } else if (auto pid = startDetached(executable.value(), {options_.daemonPath}); !pid.ok()) {
    failure = "run service failed: " + pid.error().message;
  } else {
    sysLog("started daemon pid " + std::to_string(pid.value()));
    failure = waitUntilListening(pid.value(), executable.value().identity());
  }
  if (failure) sysLog(*failure);
  return failure;
}

std::string DaemonControl::debugInfo() {
  const std::string keyword = lower(std::string(kAppSearchKeyword));
  const auto current = currentIdentity();
  std::string processes, files;
  for (const pid_t pid : proc::listPids()) {
    const std::string command = oneLineField(proc::commandLine(pid));
    const auto stat = proc::readStat(pid);
    if (stat && lower(command).find(keyword) != std::string::npos) {
      const auto uid = proc::processUid(pid);
      appendCapped(processes, (uid ? std::to_string(*uid) : "?") + " " + std::to_string(pid) + " " +
                                  std::to_string(stat->ppid) + " " + command);
    }
    if (stat && runsDaemon(pid, current)) {
      for (const auto& file : proc::openFiles(pid)) {
        appendCapped(files, oneLineField(stat->comm) + " " + std::to_string(pid) + " " +
                                std::to_string(file.fd) + " " + oneLineField(file.target));
      }
    }
  }
  if (!processes.empty()) processes.pop_back();
  if (!files.empty()) files.pop_back();
  return std::string(kDebugInfoHead) + outputOrNone(toValidUtf8(processes)) +
         std::string(kDebugInfoSeparator) + outputOrNone(toValidUtf8(files)) + "\n";
}

}  // namespace vandrel::helper
