#include "core/service_hooks.h"

namespace vandrel::core {

// No reactions until the account flows provide them (they replace this file).
ServiceHooks defaultServiceHooks() { return {}; }

}  // namespace vandrel::core
