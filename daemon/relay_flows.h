#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>

#include "daemon/request_checks.h"
#include "platform/sync.h"

// The TCP flows the relay has handed to the kernel's own TCP stack. A
// connection of an application (app address and port to a destination) is
// rewritten to come from a fake peer on the TUN network with a port of its
// own, to the relay's listener; that port is how the listener's side
// finds the original destination, and how its answers find their way back.
namespace vandrel::daemon::relay {

using Clock = std::chrono::steady_clock;

struct FlowEnds {
  IpAddress app;
  std::uint16_t appPort = 0;
  IpAddress destination;
  std::uint16_t destinationPort = 0;
  bool operator<(const FlowEnds& other) const;
};

// Thread-safe: the TUN thread maps packets, the listener threads claim and
// close connections.
class TcpFlows {
 public:
  // Fake ports come from [kFirstPort, 65535].
  static constexpr std::uint16_t kFirstPort = 1024;
  // A flow the listener never took, or one closed, goes after this long
  // without a packet.
  static constexpr std::chrono::seconds kLinger{60};

  // The fake port of a packet from an application: the flow's own, or a
  // new one for a connection's first SYN. Nothing for a packet of no flow
  // (dropped), or when every port is taken.
  std::optional<std::uint16_t> outbound(int family, const FlowEnds& ends, bool opening,
                                        Clock::time_point now);
  // The flow a packet from the listener belongs to.
  std::optional<FlowEnds> inbound(int family, std::uint16_t fakePort, Clock::time_point now);
  // The listener accepted the flow's connection: its ends, once.
  std::optional<FlowEnds> claim(int family, std::uint16_t fakePort);
  // The relay has closed the flow's connection; the mapping stays a while
  // for the last packets of the close.
  void closed(int family, std::uint16_t fakePort, Clock::time_point now);
  // Drops flows whose time is up; returns how many are left.
  std::size_t expire(Clock::time_point now);

 private:
  struct Flow {
    FlowEnds ends;
    Clock::time_point lastSeen;
    bool claimed = false;
    bool closed = false;
  };
  using PortKey = std::pair<int, std::uint16_t>;
  std::optional<std::uint16_t> allocate(int family) VANDREL_REQUIRES(mutex_);

  platform::Mutex mutex_;
  std::map<PortKey, Flow> byPort_ VANDREL_GUARDED_BY(mutex_);
  std::map<std::pair<int, FlowEnds>, std::uint16_t> byEnds_ VANDREL_GUARDED_BY(mutex_);
  std::uint16_t nextPort_[2] VANDREL_GUARDED_BY(mutex_) = {kFirstPort, kFirstPort};
};

}  // namespace vandrel::daemon::relay
