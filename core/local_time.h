#pragma once

#include <ctime>

namespace vandrel::core {

// localtime_r in the time zone that $TZ names at the moment of the call
// (the system zone when unset). localtime_r alone keeps the zone it saw
// first; tzset is called again only when $TZ changed, since with $TZ unset
// each call re-reads the zone file. False when the calendar cannot hold the
// moment.
bool localTime(std::time_t time, std::tm& out);

}  // namespace vandrel::core
