#include "daemon/relay_packet.h"

#include <cstring>

namespace vandrel::daemon::relay {
namespace {

constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kTcpMinHeader = 20;
constexpr std::size_t kUdpHeader = 8;

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void write16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 8);
  p[1] = static_cast<std::uint8_t>(value);
}

// Adds the 16-bit words of `from` replaced by `to` to a one's-complement
// sum: -old + new.
std::uint32_t replaceWords(std::uint32_t sum, const std::uint8_t* from, const std::uint8_t* to,
                           std::size_t size) {
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<std::uint16_t>(~read16(from + i));
    sum += read16(to + i);
  }
  return sum;
}

IpAddress addressAt(int family, const std::uint8_t* p) {
  IpAddress address;
  address.family = family;
  std::memcpy(address.bytes.data(), p, family == AF_INET ? 4 : 16);
  return address;
}

void ipv4HeaderChecksum(std::uint8_t* header, std::size_t headerLength) {
  write16(header + 10, 0);
  write16(header + 10, static_cast<std::uint16_t>(~fold(sumBytes(header, headerLength))));
}

}  // namespace

std::uint32_t sumBytes(const std::uint8_t* data, std::size_t size, std::uint32_t sum) {
  std::size_t i = 0;
  for (; i + 1 < size; i += 2) sum += read16(data + i);
  if (i < size) sum += static_cast<std::uint32_t>(data[i]) << 8;
  return sum;
}

std::uint16_t fold(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

std::optional<Packet> parsePacket(const std::uint8_t* data, std::size_t size, bool partial) {
  if (size < 1) return std::nullopt;
  Packet packet;
  packet.partialChecksum = partial;
  const int version = data[0] >> 4;
  if (version == 4) {
    if (size < kIpv4MinHeader) return std::nullopt;
    const std::size_t headerLength = (data[0] & 0x0f) * 4u;
    const std::size_t total = read16(data + 2);
    const std::uint16_t fragment = read16(data + 6);
    // A fragment (more to come, or not the first) carries no whole segment.
    if (headerLength < kIpv4MinHeader || total < headerLength || total > size ||
        (fragment & 0x3fff) != 0) {
      return std::nullopt;
    }
    packet.family = AF_INET;
    packet.protocol = data[9];
    packet.l4Offset = headerLength;
    packet.length = total;
    packet.source = addressAt(AF_INET, data + 12);
    packet.destination = addressAt(AF_INET, data + 16);
  } else if (version == 6) {
    if (size < kIpv6Header) return std::nullopt;
    const std::size_t total = kIpv6Header + read16(data + 4);
    if (total > size) return std::nullopt;
    packet.family = AF_INET6;
    packet.protocol = data[6];  // extension headers are not followed
    packet.l4Offset = kIpv6Header;
    packet.length = total;
    packet.source = addressAt(AF_INET6, data + 8);
    packet.destination = addressAt(AF_INET6, data + 24);
  } else {
    return std::nullopt;
  }
  const std::uint8_t* l4 = data + packet.l4Offset;
  const std::size_t l4Length = packet.length - packet.l4Offset;
  if (packet.protocol == kTcp) {
    if (l4Length < kTcpMinHeader || (l4[12] >> 4) * 4u < kTcpMinHeader ||
        (l4[12] >> 4) * 4u > l4Length) {
      return std::nullopt;
    }
    packet.tcpFlags = l4[13];
  } else if (packet.protocol == kUdp) {
    if (l4Length < kUdpHeader || read16(l4 + 4) < kUdpHeader || read16(l4 + 4) > l4Length) {
      return std::nullopt;
    }
  } else {
    return std::nullopt;
  }
  packet.sourcePort = read16(l4);
  packet.destinationPort = read16(l4 + 2);
  return packet;
}

void rewriteTcp(std::uint8_t* data, const Packet& packet, const IpAddress& source,
                std::uint16_t sourcePort, const IpAddress& destination,
                std::uint16_t destinationPort) {
  const std::size_t addressSize = packet.family == AF_INET ? 4 : 16;
  std::uint8_t* sourceField = data + (packet.family == AF_INET ? 12 : 8);
  std::uint8_t* destinationField = sourceField + addressSize;
  std::uint8_t* l4 = data + packet.l4Offset;
  std::uint8_t* check = l4 + 16;
  std::uint8_t ports[4];
  write16(ports, sourcePort);
  write16(ports + 2, destinationPort);

  // The addresses are in the pseudo-header: a partial sum changes with
  // them, uncomplemented; a full checksum changes with them and the ports.
  std::uint32_t sum = packet.partialChecksum ? read16(check)
                                             : static_cast<std::uint16_t>(~read16(check));
  sum = replaceWords(sum, sourceField, source.bytes.data(), addressSize);
  sum = replaceWords(sum, destinationField, destination.bytes.data(), addressSize);
  if (!packet.partialChecksum) sum = replaceWords(sum, l4, ports, 4);
  const std::uint16_t folded = fold(sum);
  write16(check, packet.partialChecksum ? folded : static_cast<std::uint16_t>(~folded));

  std::memcpy(sourceField, source.bytes.data(), addressSize);
  std::memcpy(destinationField, destination.bytes.data(), addressSize);
  std::memcpy(l4, ports, 4);
  if (packet.family == AF_INET) ipv4HeaderChecksum(data, packet.l4Offset);
}

std::vector<std::uint8_t> buildUdp(const IpAddress& source, std::uint16_t sourcePort,
                                   const IpAddress& destination, std::uint16_t destinationPort,
                                   const std::uint8_t* payload, std::size_t size) {
  const bool v4 = source.family == AF_INET;
  const std::size_t ipHeader = v4 ? kIpv4MinHeader : kIpv6Header;
  const std::size_t udpLength = kUdpHeader + size;
  std::vector<std::uint8_t> packet(ipHeader + udpLength, 0);
  std::uint8_t* ip = packet.data();
  const std::size_t addressSize = v4 ? 4 : 16;
  if (v4) {
    ip[0] = 0x45;
    write16(ip + 2, static_cast<std::uint16_t>(packet.size()));
    write16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = kUdp;
    std::memcpy(ip + 12, source.bytes.data(), 4);
    std::memcpy(ip + 16, destination.bytes.data(), 4);
    ipv4HeaderChecksum(ip, ipHeader);
  } else {
    ip[0] = 0x60;
    write16(ip + 4, static_cast<std::uint16_t>(udpLength));
    ip[6] = kUdp;
    ip[7] = 64;
    std::memcpy(ip + 8, source.bytes.data(), 16);
    std::memcpy(ip + 24, destination.bytes.data(), 16);
  }
  std::uint8_t* udp = ip + ipHeader;
  write16(udp, sourcePort);
  write16(udp + 2, destinationPort);
  write16(udp + 4, static_cast<std::uint16_t>(udpLength));
  if (size > 0) std::memcpy(udp + kUdpHeader, payload, size);
  std::uint32_t sum = sumBytes(source.bytes.data(), addressSize);
  sum = sumBytes(destination.bytes.data(), addressSize, sum);
  sum += kUdp;
  sum += static_cast<std::uint32_t>(udpLength);
  sum = sumBytes(udp, udpLength, sum);
  std::uint16_t checksum = static_cast<std::uint16_t>(~fold(sum));
  if (checksum == 0) checksum = 0xffff;  // 0 would mean "no checksum"
  write16(udp + 6, checksum);
  return packet;
}

}  // namespace vandrel::daemon::relay
