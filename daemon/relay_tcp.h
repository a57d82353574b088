#pragma once

#include <atomic>
#include <functional>
#include <string_view>

#include "daemon/relay_flows.h"
#include "daemon/request_checks.h"

// The listener side of the relay's TCP flows: each connection the kernel
// accepted on the relay's listener is looked up by its fake peer port,
// connected through SOCKS5 to its original destination, and carried both
// ways (spliced, no copies in user space) until both ends have finished.
namespace vandrel::daemon::relay {

class TcpRelay {
 public:
  // At most this many connections at once; later ones are closed at once.
  static constexpr int kMaxConnections = 4096;

  TcpRelay(TcpFlows& flows, LoopbackEndpoint socks, std::function<void(std::string_view)> log);

  // Accepts on `listener` (bound to the TUN address of `family`, whose
  // connections all come from `fakePeer`) on a thread of its own, for the
  // life of the process.
  void serve(int listener, int family, const IpAddress& fakePeer);

 private:
  void carry(int client, int family, std::uint16_t fakePort, FlowEnds ends);

  TcpFlows& flows_;
  LoopbackEndpoint socks_;
  std::function<void(std::string_view)> log_;
  std::atomic<int> connections_{0};
};

}  // namespace vandrel::daemon::relay
