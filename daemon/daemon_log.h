#pragma once

#include <string>
#include <string_view>

// The daemon's log: the system log (facility "daemon", tag
// "Vandrel-server-daemon"; the journal keeps it) and, when a copy file is
// named, the same lines appended there. One line per entry: control bytes
// are escaped and long entries cut. Safe from any thread.
namespace vandrel::daemon {

// `copyPath` empty: no copy. The copy is kept below kMaxLogCopy bytes by
// moving a full one to `copyPath` + ".old".
void openDaemonLog(std::string copyPath, bool alsoStderr);

void daemonLog(std::string_view message);

inline constexpr std::size_t kMaxLogCopy = 1024 * 1024;

}  // namespace vandrel::daemon
