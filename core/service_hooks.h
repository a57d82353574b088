#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/value.h"

namespace vandrel::core {

// The result codes of the service that carry a reaction of the account
// session besides the failure the response processor returns.
inline constexpr std::int64_t kCodeSessionExpired = 20001;
inline constexpr std::int64_t kCodeKickedOut = 20010;
inline constexpr std::int64_t kCodeSignedOut = 40001;
inline constexpr std::int64_t kCodeForeignAccount = 40007;

// What the service API transport calls out to: the account session's
// reactions live above the transport, so they come in through here.
struct ServiceHooks {
  // Runs where the response is processed (a global queue) for a failed
  // reply with one of the four codes above, before the processor logs and
  // returns its failure. `requestUrl` is the URL that was sent, `reply` the
  // whole reply object. What the processor returns does not depend on it.
  std::function<void(std::int64_t code, const std::string& requestUrl,
                     const platform::Value::Dictionary& reply)>
      onSpecialCode;
};

// The hooks the shared transport uses: the account session's reactions to
// the special result codes, reached lazily when a reply needs them.
ServiceHooks defaultServiceHooks();

}  // namespace vandrel::core
