#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

// What the helper reads of other processes, straight from /proc: no ps,
// lsof or grep (they truncate names, refuse long ones or list clients of a
// port as holders).
namespace vandrel::helper::proc {

// A file as the kernel names it; equal for every path of the same file,
// also after the file was removed or replaced at its path.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct ProcessStat {
  pid_t pid = 0;
  char state = '?';  // 'Z' for a zombie
  pid_t ppid = 0;
  std::uint64_t startTime = 0;  // clock ticks after boot
  std::string comm;
};

std::vector<pid_t> listPids();
std::optional<ProcessStat> readStat(pid_t pid);
// Whether `pid` is the process that started at `startTime` and still runs
// (not a zombie).
bool isRunning(pid_t pid, std::uint64_t startTime);
// Whether that process has ended with every one of its threads, so that its
// files and sockets are closed. A multi-threaded process's first thread is a
// zombie (not running) as soon as it exits itself, while the others may
// still be ending and holding its descriptors.
bool hasExited(pid_t pid, std::uint64_t startTime);

// The file the process executes (works after it was deleted as well).
std::optional<FileIdentity> executableIdentity(pid_t pid);
// The link text of /proc/PID/exe: the path, with " (deleted)" appended once
// the file is gone; empty when unreadable.
std::string executableLink(pid_t pid);
// Whether the file the process executes has no name left.
bool executableDeleted(pid_t pid);
// Arguments joined by spaces; empty for kernel threads.
std::string commandLine(pid_t pid);
// The real uid, or nothing when unreadable.
std::optional<uid_t> processUid(pid_t pid);

// Socket inodes of TCP sockets listening on `port` (IPv4 and IPv6) in our
// network namespace.
std::set<std::uint64_t> listeningSocketInodes(int port);
// Processes with at least one of `inodes` open.
std::vector<pid_t> socketHolders(const std::set<std::uint64_t>& inodes);

struct OpenFile {
  int fd = -1;
  std::string target;
};
std::vector<OpenFile> openFiles(pid_t pid);

}  // namespace vandrel::helper::proc
