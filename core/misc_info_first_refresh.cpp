#include "core/misc_info.h"

namespace vandrel::core {

// The refresh a new session schedules on the global queue: always due, and
// nothing waits for it.
MiscInfo::RefreshHook MiscInfo::defaultFirstRefresh() {
  return [](MiscInfo& session) { (void)session.updateMiscInfo(-1); };
}

}  // namespace vandrel::core
