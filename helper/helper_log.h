#pragma once

#include <string_view>

// The helper's log: the system log (facility "daemon", tag
// "com.vandrel.mac.daemon"), one entry per message, written as
// "zeridevaz daemon: <message>". Safe from any thread.
namespace vandrel::helper {

// Opens the log; with `alsoStderr` every entry is printed on stderr too
// (standalone runs, where no system logger may listen).
void openSysLog(bool alsoStderr);

// One entry. Control characters and ill-formed UTF-8 are escaped so that
// an entry is always one line; entries longer than 8 KiB are cut.
void sysLog(std::string_view message);

}  // namespace vandrel::helper
