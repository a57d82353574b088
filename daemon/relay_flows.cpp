#include "daemon/relay_flows.h"

namespace vandrel::daemon::relay {
namespace {

int familyIndex(int family) { return family == AF_INET ? 0 : 1; }

}  // namespace

bool FlowEnds::operator<(const FlowEnds& other) const {
  return std::tie(app.bytes, appPort, destination.bytes, destinationPort) <
         std::tie(other.app.bytes, other.appPort, other.destination.bytes, other.destinationPort);
}

std::optional<std::uint16_t> TcpFlows::allocate(int family) {
  std::uint16_t& next = nextPort_[familyIndex(family)];
  for (int tries = 0; tries <= 65535 - kFirstPort; ++tries) {
    const std::uint16_t port = next;
    next = next == 65535 ? kFirstPort : static_cast<std::uint16_t>(next + 1);
    if (!byPort_.count({family, port})) return port;
  }
  return std::nullopt;
}

std::optional<std::uint16_t> TcpFlows::outbound(int family, const FlowEnds& ends, bool opening,
                                                Clock::time_point now) {
  platform::MutexLock lock(mutex_);
  const auto found = byEnds_.find({family, ends});
  if (found != byEnds_.end()) {
    Flow& flow = byPort_.at({family, found->second});
    // A new connection on the ends of one that closed: a flow of its own,
    // so that it never meets the old one's leftovers in the listener.
    if (!(opening && flow.closed)) {
      flow.lastSeen = now;
      return found->second;
    }
    byPort_.erase({family, found->second});
    byEnds_.erase(found);
  }
  if (!opening) return std::nullopt;
  const auto port = allocate(family);
  if (!port) return std::nullopt;
  byPort_[{family, *port}] = Flow{ends, now, false, false};
  byEnds_[{family, ends}] = *port;
  return port;
}

std::optional<FlowEnds> TcpFlows::inbound(int family, std::uint16_t fakePort,
                                          Clock::time_point now) {
  platform::MutexLock lock(mutex_);
  const auto found = byPort_.find({family, fakePort});
  if (found == byPort_.end()) return std::nullopt;
  found->second.lastSeen = now;
  return found->second.ends;
}

std::optional<FlowEnds> TcpFlows::claim(int family, std::uint16_t fakePort) {
  platform::MutexLock lock(mutex_);
  const auto found = byPort_.find({family, fakePort});
  if (found == byPort_.end() || found->second.claimed) return std::nullopt;
  found->second.claimed = true;
  return found->second.ends;
}

void TcpFlows::closed(int family, std::uint16_t fakePort, Clock::time_point now) {
  platform::MutexLock lock(mutex_);
  const auto found = byPort_.find({family, fakePort});
  if (found == byPort_.end()) return;
  found->second.closed = true;
  found->second.lastSeen = now;
}

std::size_t TcpFlows::expire(Clock::time_point now) {
  platform::MutexLock lock(mutex_);
  for (auto it = byPort_.begin(); it != byPort_.end();) {
    const Flow& flow = it->second;
    // A connection the relay still carries never expires, however quiet.
    const bool done = (flow.closed || !flow.claimed) && now - flow.lastSeen > kLinger;
    if (done) {
      byEnds_.erase({it->first.first, flow.ends});
      it = byPort_.erase(it);
    } else {
      ++it;
    }
  }
  return byPort_.size();
}

}  // namespace vandrel::daemon::relay
