#include "core/service_hooks.h"

#include "core/special_codes.h"

namespace vandrel::core {

// The account session's reactions, reached when a reply first needs them:
// the shared transport is built over the shared session, so the session's
// reactions must not be constructed from inside the transport's shared().
ServiceHooks defaultServiceHooks() {
  return ServiceHooks{
      .onSpecialCode =
          [](std::int64_t code, const std::string& requestUrl,
             const platform::Value::Dictionary& reply) {
            SpecialCodeReactions::shared().react(code, requestUrl, reply);
          },
  };
}

}  // namespace vandrel::core
