#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "helper/proc_table.h"
#include "platform/clock.h"
#include "platform/ipc.h"
#include "platform/result.h"

namespace vandrel::helper {

// The daemon's executable, opened once and checked on the open descriptor,
// then started from that descriptor (fexecve): the file that was checked
// is the file that runs, whatever happens at its path meanwhile.
class DaemonExecutable {
 public:
  // Opens `path` without following a final symbolic link. It must be a
  // regular file owned by root, executable, and writable by no one but its
  // owner; otherwise an error that says which rule it breaks.
  static platform::Result<DaemonExecutable> open(const std::string& path);

  const std::string& path() const { return path_; }
  proc::FileIdentity identity() const { return identity_; }
  int fd() const { return fd_.get(); }

 private:
  std::string path_;
  proc::FileIdentity identity_;
  platform::ipc::OwnedFd fd_;
};

// Starts `argv` (argv[0] is only the name the program sees) from the
// executable, detached: a session of its own, stdin, stdout and stderr on
// /dev/null, an empty signal mask, default signal dispositions, no other
// inherited descriptor, and only the fixed PATH as environment. A thread
// of the helper reaps it when it ends, so it never lingers as a zombie;
// exitStatus() tells how it ended.
platform::Result<pid_t> startDetached(const DaemonExecutable& executable,
                                      const std::vector<std::string>& argv);

// The raw wait status of a process started by startDetached that has
// ended (reported once), or nothing while it runs.
std::optional<int> takeExitStatus(pid_t pid);

// Runs `argv` from the executable set up as for startDetached and waits
// for its end; after `timeout` it is killed. Returns the raw wait status.
platform::Result<int> runAndWait(const DaemonExecutable& executable,
                                 const std::vector<std::string>& argv, platform::Duration timeout);

}  // namespace vandrel::helper
