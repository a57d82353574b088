#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

#include "daemon/request_checks.h"
#include "platform/result.h"

// Who is on the other end of a loopback TCP connection: the kernel's own
// record of the peer's socket (sock_diag), found by its four addresses and
// ports. The port is plaintext TCP open to every local user, so this, not
// anything the caller says, decides whom the daemon obeys.
namespace vandrel::daemon {

struct TcpEndpoint {
  IpAddress address;
  int port = 0;
};

// "ipv4:127.0.0.1:41234" or "ipv6:[::1]:41234", as the RPC layer names a
// peer; nothing for any other form.
std::optional<TcpEndpoint> parsePeer(std::string_view peer);

// The uid that owns the socket at `peer` connected to `local` (our end),
// in the calling thread's network namespace. Fails when the kernel has no
// such socket: the caller is gone or is not on this host.
platform::Result<uid_t> loopbackPeerUid(const TcpEndpoint& peer, const TcpEndpoint& local);

}  // namespace vandrel::daemon
