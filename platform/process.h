#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"

namespace vandrel::platform {

// The shell of commands that are shell commands by definition, and the only
// environment a child gets unless the caller names one.
inline constexpr std::string_view kShellPath = "/bin/bash";
inline constexpr std::string_view kDefaultPathEntry =
    "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// What the runner keeps of each of stdout and stderr. Far above what any of
// our commands prints; it only bounds what a runaway child costs us. The
// rest is read and dropped, so the child still runs to its end.
inline constexpr std::size_t kMaxKeptOutput = 16 * 1024 * 1024;

struct ProcessOutput {
  int waitStatus = 0;  // raw status from waitpid
  int exitCode = -1;   // WEXITSTATUS, or -1 when the process was killed by a signal
  std::string standardOutput;  // at most kMaxKeptOutput bytes
  std::string standardError;   // at most kMaxKeptOutput bytes
  // The stream had more than kMaxKeptOutput bytes; the text above is its start.
  bool standardOutputTruncated = false;
  bool standardErrorTruncated = false;
};

struct ProcessOptions {
  // "K=V" entries, used exactly as given; empty = only kDefaultPathEntry.
  // The parent's environment is never passed on.
  std::vector<std::string> environment;
  // After this the child's process group gets SIGKILL and run() fails with
  // ETIMEDOUT.
  std::optional<Duration> timeout;
  // Written to the child's stdin, which is then closed. Empty = /dev/null.
  std::string standardInput;
  std::string workingDirectory;  // empty = inherit
};

// Runs a program to its end and collects what it wrote. Components take a
// ProcessRunner& so tests can hand them a fake.
//
// The real runner (system()):
// - spawns argv directly, no shell; argv[0] without a "/" is looked up in
//   the PATH of the child's environment (not the parent's);
// - the child gets only descriptors 0, 1 and 2, an empty signal mask and
//   default dispositions for every signal, and its own process group;
// - stdout and stderr are read while the child runs, so no amount of output
//   on either can dead-lock it; run() returns once the child has exited and
//   the output it wrote is collected (a background grandchild that keeps
//   the pipes open does not hold it up); past kMaxKeptOutput bytes a
//   stream is read on but dropped, and flagged as truncated;
// - an argument, environment entry or working directory with a NUL byte in
//   it is refused (EINVAL) rather than run cut short at that byte;
// - a program that cannot be started (missing, not executable, bad working
//   directory) is an Error in "NSPOSIXErrorDomain" with the errno as code,
//   never exit code 127. A missing command inside runShell is the shell's
//   business: bash exits with 127;
// - thread-safe: any number of threads may run processes at once.
class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;

  virtual Result<ProcessOutput> run(const std::vector<std::string>& argv,
                                    const ProcessOptions& options = {}) = 0;

  // kShellPath "-c" `command`, with the default environment (and so the
  // fixed PATH) unless options name another.
  Result<ProcessOutput> runShell(const std::string& command, const ProcessOptions& options = {});

  // The real posix_spawn runner, alive for the whole process.
  static ProcessRunner& system();
};

// Sets SIGPIPE to ignored for the whole process (once; later calls do
// nothing), so a write to a closed pipe or socket fails with EPIPE instead of
// killing us. The process runner calls it before its first spawn; children
// still start with the default disposition.
void ignoreSigpipe();

}  // namespace vandrel::platform
