#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "daemon/relay_flows.h"
#include "daemon/relay_udp.h"
#include "daemon/request_checks.h"

// The TUN side of the relay: reads every packet the routes send into the
// interface and hands it on. TCP is rewritten to meet the relay's listener
// (and the listener's answers rewritten back); UDP goes to the UDP relay;
// anything else, and anything to a multicast or unspecified address, is
// dropped, so nothing leaves around the tunnel.
namespace vandrel::daemon::relay {

struct TunSide {
  IpAddress address;    // the interface's own address: the listener's
  IpAddress fakePeer;   // where rewritten flows come from
  std::uint16_t listenerPort = 0;
};

class TunEngine {
 public:
  TunEngine(int tunFd, TunSide v4, std::optional<TunSide> v6, TcpFlows& flows, UdpRelay& udp,
            std::function<void(std::string_view)> log);

  // Runs until reading the interface fails; returns the exit status.
  int run();

  // Writes one packet (without a virtio-net header) to the interface.
  static void writePacket(int tunFd, const std::vector<std::uint8_t>& packet);

 private:
  // Rewrites a TCP packet in place; false when it is dropped.
  bool mapTcp(std::uint8_t* data, const Packet& packet, Clock::time_point now);

  int tun_;
  TunSide v4_;
  std::optional<TunSide> v6_;
  TcpFlows& flows_;
  UdpRelay& udp_;
  std::function<void(std::string_view)> log_;
};

}  // namespace vandrel::daemon::relay
