#include "daemon/relay_engine.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace vandrel::daemon::relay {
namespace {

constexpr std::size_t kBufferSize = kVnetHeaderSize + 65536;
constexpr auto kExpireEvery = std::chrono::seconds(5);

}  // namespace

TunEngine::TunEngine(int tunFd, TunSide v4, std::optional<TunSide> v6, TcpFlows& flows,
                     UdpRelay& udp, std::function<void(std::string_view)> log)
    : tun_(tunFd), v4_(v4), v6_(v6), flows_(flows), udp_(udp), log_(std::move(log)) {}

void TunEngine::writePacket(int tunFd, const std::vector<std::uint8_t>& packet) {
  VnetHeader header{};  // a whole packet: nothing left for the kernel to finish
  iovec parts[2] = {{&header, kVnetHeaderSize},
                    {const_cast<std::uint8_t*>(packet.data()), packet.size()}};
  (void)!::writev(tunFd, parts, 2);
}

bool TunEngine::mapTcp(std::uint8_t* data, const Packet& packet, Clock::time_point now) {
  const TunSide* side = packet.family == AF_INET ? &v4_ : (v6_ ? &*v6_ : nullptr);
  if (!side) return false;
  if (packet.source == side->address && packet.sourcePort == side->listenerPort &&
      packet.destination == side->fakePeer) {
    // The listener answering: back to the application, from the
    // destination it asked for.
    const auto ends = flows_.inbound(packet.family, packet.destinationPort, now);
    if (!ends) return false;
    rewriteTcp(data, packet, ends->destination, ends->destinationPort, ends->app, ends->appPort);
    return true;
  }
  const bool opening = (packet.tcpFlags & kTcpSyn) && !(packet.tcpFlags & kTcpAck);
  const FlowEnds ends{packet.source, packet.sourcePort, packet.destination,
                      packet.destinationPort};
  const auto fakePort = flows_.outbound(packet.family, ends, opening, now);
  if (!fakePort) return false;
  rewriteTcp(data, packet, side->fakePeer, *fakePort, side->address, side->listenerPort);
  return true;
}

int TunEngine::run() {
  std::vector<std::uint8_t> buffer(kBufferSize);
  auto nextExpiry = Clock::now() + kExpireEvery;
  for (;;) {
    const ssize_t n = ::read(tun_, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      log_(std::string("reading the TUN interface failed: ") + std::strerror(errno));
      return 1;
    }
    if (n == 0) {
      log_("the TUN interface is gone");
      return 1;
    }
    const auto now = Clock::now();
    if (now >= nextExpiry) {
      flows_.expire(now);
      nextExpiry = now + kExpireEvery;
    }
    if (static_cast<std::size_t>(n) <= kVnetHeaderSize) continue;
    VnetHeader header;
    std::memcpy(&header, buffer.data(), sizeof(header));
    std::uint8_t* data = buffer.data() + kVnetHeaderSize;
    const std::size_t size = static_cast<std::size_t>(n) - kVnetHeaderSize;
    const auto packet =
        parsePacket(data, size, (header.flags & kVnetNeedsChecksum) != 0);
    if (!packet || packet->destination.isUnspecifiedOrMulticast()) continue;
    if (packet->protocol == kUdp) {
      udp_.send(*packet, data);
      continue;
    }
    if (!mapTcp(data, *packet, now)) continue;
    // The same header goes back: a large segment stays one, and a checksum
    // left to finish is finished by whoever takes the packet.
    (void)!::write(tun_, buffer.data(), kVnetHeaderSize + packet->length);
  }
}

}  // namespace vandrel::daemon::relay
