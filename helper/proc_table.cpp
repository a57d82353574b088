#include "helper/proc_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "platform/file_io.h"

namespace vandrel::helper::proc {
namespace {

constexpr int kTcpListen = 0x0A;

std::string procPath(pid_t pid, std::string_view leaf) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(leaf);
}

// /proc files we read are small; a command line is the longest.
constexpr std::size_t kMaxProcFileSize = 1024 * 1024;

// Read with a close-on-exec descriptor: another thread may be starting a
// process at this moment.
std::optional<std::string> readWhole(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  // A process may vanish while we read: what arrived is still its answer.
  (void)platform::readAll(fd.get(), text, kMaxProcFileSize);
  return text;
}

std::optional<long long> parseDecimal(std::string_view text) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string readLink(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof(buffer));
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// Adds the inodes of listening sockets on `port` from one /proc/net table.
void scanTcpTable(const char* path, int port, std::set<std::uint64_t>& inodes) {
  std::istringstream in(readWhole(path).value_or(""));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    const auto colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    const long localPort = std::strtol(local.c_str() + colon + 1, nullptr, 16);
    const long stateValue = std::strtol(state.c_str(), nullptr, 16);
    if (localPort != port || stateValue != kTcpListen) continue;
    if (const auto value = parseDecimal(inode); value && *value > 0) {
      inodes.insert(static_cast<std::uint64_t>(*value));
    }
  }
}

}  // namespace

std::vector<pid_t> listPids() {
  std::vector<pid_t> pids;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return pids;
  while (const dirent* entry = ::readdir(dir)) {
    if (const auto pid = parseDecimal(entry->d_name); pid && *pid > 0) {
      pids.push_back(static_cast<pid_t>(*pid));
    }
  }
  ::closedir(dir);
  return pids;
}

std::optional<ProcessStat> readStat(pid_t pid) {
  const auto text = readWhole(procPath(pid, "stat"));
  if (!text) return std::nullopt;
  // The name may hold spaces and parentheses: it ends at the last ')'.
  const auto open = text->find('(');
  const auto close = text->rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return std::nullopt;
  ProcessStat stat;
  stat.pid = pid;
  stat.comm = text->substr(open + 1, close - open - 1);
  std::istringstream rest(text->substr(close + 1));
  std::string field;
  // Fields after the name start with the 3rd (state); the start time is the 22nd.
  for (int index = 3; index <= 22 && rest >> field; ++index) {
    if (index == 3) stat.state = field.empty() ? '?' : field[0];
    if (index == 4) stat.ppid = static_cast<pid_t>(std::strtol(field.c_str(), nullptr, 10));
    if (index == 22) {
      stat.startTime = std::strtoull(field.c_str(), nullptr, 10);
      return stat;
    }
  }
  return std::nullopt;
}

bool isRunning(pid_t pid, std::uint64_t startTime) {
  const auto stat = readStat(pid);
  return stat && stat->startTime == startTime && stat->state != 'Z' && stat->state != 'X';
}

bool hasExited(pid_t pid, std::uint64_t startTime) {
  const auto stat = readStat(pid);
  if (!stat || stat->startTime != startTime) return true;
  if (stat->state != 'Z' && stat->state != 'X') return false;
  // A thread leaves the task list only after it has let go of the shared
  // descriptor table; the zombie first thread stays listed until reaped.
  DIR* dir = ::opendir(procPath(pid, "task").c_str());
  if (dir == nullptr) return true;
  int threads = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (parseDecimal(entry->d_name)) ++threads;
  }
  ::closedir(dir);
  return threads <= 1;
}

std::optional<FileIdentity> executableIdentity(pid_t pid) {
  struct stat st {};
  if (::stat(procPath(pid, "exe").c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{st.st_dev, st.st_ino};
}

std::string executableLink(pid_t pid) { return readLink(procPath(pid, "exe")); }

bool executableDeleted(pid_t pid) {
  struct stat st {};
  return ::stat(procPath(pid, "exe").c_str(), &st) == 0 && st.st_nlink == 0;
}

std::string commandLine(pid_t pid) {
  auto text = readWhole(procPath(pid, "cmdline")).value_or("");
  while (!text.empty() && text.back() == '\0') text.pop_back();
  for (char& c : text) {
    if (c == '\0') c = ' ';
  }
  return text;
}

std::optional<uid_t> processUid(pid_t pid) {
  std::istringstream in(readWhole(procPath(pid, "status")).value_or(""));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    long long uid = -1;
    if (fields >> uid && uid >= 0) return static_cast<uid_t>(uid);
  }
  return std::nullopt;
}

std::set<std::uint64_t> listeningSocketInodes(int port) {
  std::set<std::uint64_t> inodes;
  scanTcpTable("/proc/net/tcp", port, inodes);
  scanTcpTable("/proc/net/tcp6", port, inodes);
  return inodes;
}

std::vector<pid_t> socketHolders(const std::set<std::uint64_t>& inodes) {
  std::vector<pid_t> holders;
  if (inodes.empty()) return holders;
  for (const pid_t pid : listPids()) {
    for (const auto& file : openFiles(pid)) {
      constexpr std::string_view kPrefix = "socket:[";
      if (file.target.rfind(kPrefix, 0) != 0 || file.target.back() != ']') continue;
      const auto inode =
          parseDecimal(std::string_view(file.target)
                           .substr(kPrefix.size(), file.target.size() - kPrefix.size() - 1));
      if (inode && inodes.count(static_cast<std::uint64_t>(*inode))) {
        holders.push_back(pid);
        break;
      }
    }
  }
  return holders;
}

std::vector<OpenFile> openFiles(pid_t pid) {
  std::vector<OpenFile> files;
  const std::string dirPath = procPath(pid, "fd");
  DIR* dir = ::opendir(dirPath.c_str());
  if (dir == nullptr) return files;
  while (const dirent* entry = ::readdir(dir)) {
    const auto fd = parseDecimal(entry->d_name);
    if (!fd) continue;
    files.push_back({static_cast<int>(*fd), readLink(dirPath + "/" + entry->d_name)});
  }
  ::closedir(dir);
  return files;
}

}  // namespace vandrel::helper::proc
