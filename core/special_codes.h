#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/service_hooks.h"
#include "platform/value.h"

namespace vandrel::core {

class ConnectionPort;
class MiscInfo;

// The alert of a device signed out because the account has too many.
inline constexpr std::string_view kKickedOutTitle = "登录已被踢出";
inline constexpr std::string_view kKickedOutMessage = "超过最大登录设备数限制，您的登录已被踢出";

// The account session's reactions to the service's result codes 20001,
// 20010, 40001 and 40007, run by the response processor (a global queue)
// for a failed reply, before it logs and returns its failure:
// - 20001: unless the request was "/logout" (or has no URL), a handling on
//   the main queue clears the session with the tunnels stopped and forces a
//   refresh; at most one runs at a time.
// - 20010: clears the session with the tunnels stopped and shows the
//   kicked-out alert.
// - 40001: clears the session.
// - 40007: marks the account registered, clears the session, completes the
//   typed account from the reply and stores it.
//
// The object must outlive the replies it reacts to and the main-queue jobs
// they post (shared() never dies).
class SpecialCodeReactions {
 public:
  // Over the shared session and connection port (leaked).
  static SpecialCodeReactions& shared();

  SpecialCodeReactions(MiscInfo& session, ConnectionPort& port);
  SpecialCodeReactions(const SpecialCodeReactions&) = delete;
  SpecialCodeReactions& operator=(const SpecialCodeReactions&) = delete;

  // Hooks for a transport, bound to this object.
  ServiceHooks hooks();

  void react(std::int64_t code, const std::string& requestUrl,
             const platform::Value::Dictionary& reply);

  // True while a 20001 handling waits for its refresh.
  bool isHandling20001() const { return isHandling20001_.load(); }

 private:
  // Main queue only.
  void handle20001();
  void handle40007(const platform::Value::Dictionary& reply);

  MiscInfo& session_;
  ConnectionPort& port_;
  // Written on the main queue only; atomic so other threads may read it.
  std::atomic<bool> isHandling20001_{false};
};

}  // namespace vandrel::core
