#pragma once

#include <functional>
#include <string_view>

#include "daemon/state_files.h"

namespace vandrel::daemon {

// "-clear": ends what an earlier daemon left running (its children, by the
// record, never by name), removes its TUN interface and routes, and puts
// the desktop proxy setting back as it was. Idempotent; with no records it
// does nothing. Returns the exit status (0, or 1 when something could not
// be put back; the record then stays for the next try).
int runClear(const StateFiles& state, const std::function<void(std::string_view)>& log);

}  // namespace vandrel::daemon
