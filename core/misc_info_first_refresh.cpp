#include "core/misc_info.h"

namespace vandrel::core {

// No refresh until the account flows provide one (they replace this file).
MiscInfo::RefreshHook MiscInfo::defaultFirstRefresh() { return {}; }

}  // namespace vandrel::core
