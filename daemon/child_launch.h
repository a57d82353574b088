#pragma once

#include <sys/types.h>

#include "daemon/supervisor.h"
#include "platform/file_io.h"
#include "platform/result.h"

// Starting one child of the daemon: the program as the only child of an
// init process in a PID namespace of its own (which holds the daemon's
// death signal), with its descriptors in place, its privileges dropped and
// its output in a pipe.
namespace vandrel::daemon {

struct LaunchedChild {
  pid_t pid = 0;                // the init process; also the process group
  platform::UniqueFd pidfd;     // of the init process
  platform::UniqueFd output;    // read end of the program's stdout and stderr
  platform::UniqueFd status;    // the program's wait status, once it has ended
};

// Once exec of the program succeeded; else what stopped it.
platform::Result<LaunchedChild> launchChild(const ChildSpec& spec);

}  // namespace vandrel::daemon
