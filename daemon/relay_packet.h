#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daemon/request_checks.h"

// IP packets as the TUN interface hands them over (behind a virtio-net
// header, so the kernel may pass large TCP segments with a checksum still
// to be finished): what they are, rewriting their addresses and ports with
// the checksums kept right, and building UDP packets that come back.
namespace vandrel::daemon::relay {

inline constexpr std::uint8_t kTcp = 6;
inline constexpr std::uint8_t kUdp = 17;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpAck = 0x10;
// The virtio-net header in front of each packet on a TUN interface made
// with IFF_VNET_HDR (the kernel's struct virtio_net_hdr, host order).
struct VnetHeader {
  std::uint8_t flags = 0;
  std::uint8_t gsoType = 0;
  std::uint16_t headerLength = 0;
  std::uint16_t gsoSize = 0;
  std::uint16_t checksumStart = 0;
  std::uint16_t checksumOffset = 0;
};
inline constexpr std::size_t kVnetHeaderSize = sizeof(VnetHeader);
static_assert(kVnetHeaderSize == 10);
// The checksum is partial: the receiver finishes it.
inline constexpr std::uint8_t kVnetNeedsChecksum = 1;

// A parsed packet; offsets into the bytes it was parsed from.
struct Packet {
  int family = AF_INET;
  std::uint8_t protocol = 0;
  std::size_t l4Offset = 0;  // TCP or UDP header
  std::size_t length = 0;    // the whole packet
  IpAddress source;
  IpAddress destination;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::uint8_t tcpFlags = 0;
  // The checksum field holds only the pseudo-header sum: the kernel (or
  // whoever takes the packet) finishes it.
  bool partialChecksum = false;
};

// Reads an IPv4 or IPv6 packet carrying TCP or UDP straight after its IP
// header, unfragmented, whole within `size` bytes; nothing for anything
// else (which is then dropped: only TCP and UDP are relayed).
std::optional<Packet> parsePacket(const std::uint8_t* data, std::size_t size, bool partial);

// Replaces the addresses and ports of a TCP packet in place, keeping the
// IPv4 header checksum and the TCP checksum (full or partial) right.
void rewriteTcp(std::uint8_t* data, const Packet& packet, const IpAddress& source,
                std::uint16_t sourcePort, const IpAddress& destination,
                std::uint16_t destinationPort);

// A whole UDP packet (checksums computed) of `family` from source to
// destination; both addresses must be of that family.
std::vector<std::uint8_t> buildUdp(const IpAddress& source, std::uint16_t sourcePort,
                                   const IpAddress& destination, std::uint16_t destinationPort,
                                   const std::uint8_t* payload, std::size_t size);

// The one's-complement sum of `size` bytes added to `sum`, not folded.
std::uint32_t sumBytes(const std::uint8_t* data, std::size_t size, std::uint32_t sum = 0);
// `sum` folded to 16 bits (not complemented).
std::uint16_t fold(std::uint32_t sum);

}  // namespace vandrel::daemon::relay
