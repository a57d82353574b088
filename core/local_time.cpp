#include "core/local_time.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/sync.h"

namespace vandrel::core {

bool localTime(std::time_t time, std::tm& out) {
  static auto* mutex = new platform::Mutex;
  // The $TZ value tzset last saw: unset (nullopt) or a text.
  static auto* seen = new std::optional<std::optional<std::string>>;
  const char* zone = std::getenv("TZ");
  const std::optional<std::string> current =
      zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
  bool changed = false;
  {
    platform::MutexLock lock(*mutex);
    changed = !seen->has_value() || **seen != current;
    if (changed) *seen = current;
  }
  // Outside the lock: tzset may read a zone file. glibc serialises it.
  if (changed) ::tzset();
  return ::localtime_r(&time, &out) != nullptr;
}

}  // namespace vandrel::core
