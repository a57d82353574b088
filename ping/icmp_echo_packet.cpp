#include "ping/icmp_echo_packet.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/check.h"

namespace vandrel::ping {
namespace {

std::uint16_t bigEndian16(ByteView bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::uint16_t machineOrder16(ByteView bytes, std::size_t at) {
  std::uint16_t value;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

}  // namespace

std::optional<qv_ICMPHeader> readICMPHeader(ByteView packet, std::size_t offset) {
  if (offset > packet.size() || packet.size() - offset < kICMPHeaderSize) return std::nullopt;
  qv_ICMPHeader header;
  header.qv_type = packet[offset];
  header.qv_code = packet[offset + 1];
  header.qv_checksum = machineOrder16(packet, offset + 2);
  header.qv_identifier = bigEndian16(packet, offset + 4);
  header.qv_sequenceNumber = bigEndian16(packet, offset + 6);
  return header;
}

std::optional<qv_IPHeader> readIPHeader(ByteView packet) {
  if (packet.size() < kIPHeaderSize) return std::nullopt;
  qv_IPHeader header;
  header.qv_versionAndHeaderLength = packet[0];
  header.qv_differentiatedServices = packet[1];
  header.qv_totalLength = bigEndian16(packet, 2);
  header.qv_identification = bigEndian16(packet, 4);
  header.qv_flagsAndFragmentOffset = bigEndian16(packet, 6);
  header.qv_timeToLive = packet[8];
  header.qv_ptl = packet[9];
  header.qv_headerChecksum = bigEndian16(packet, 10);
  std::memcpy(header.qv_sourceAddress, packet.data() + 12, 4);
  std::memcpy(header.qv_destinationAddress, packet.data() + 16, 4);
  return header;
}

std::uint16_t internetChecksum(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t sum = 0;
  while (length >= 2) {
    std::uint16_t word;
    std::memcpy(&word, bytes, sizeof word);
    sum += word;
    bytes += 2;
    length -= 2;
  }
  if (length == 1) {
    std::uint8_t last[2] = {bytes[0], 0};
    std::uint16_t word;
    std::memcpy(&word, last, sizeof word);
    sum += word;
  }
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<std::uint16_t>(~sum);
}

Bytes makeEchoRequest(std::uint8_t type, std::uint16_t identifier, std::uint64_t sequenceNumber,
                      ByteView payload, bool fillChecksum) {
  VANDREL_CHECK(sequenceNumber <= 0xFFFF, "an echo request carries a 16-bit sequence number");
  Bytes packet(kICMPHeaderSize + payload.size(), 0);
  packet[0] = type;
  packet[4] = static_cast<std::uint8_t>(identifier >> 8);
  packet[5] = static_cast<std::uint8_t>(identifier & 0xFF);
  packet[6] = static_cast<std::uint8_t>(sequenceNumber >> 8);
  packet[7] = static_cast<std::uint8_t>(sequenceNumber & 0xFF);
  if (!payload.empty()) std::memcpy(packet.data() + kICMPHeaderSize, payload.data(), payload.size());
  if (fillChecksum) {
    const std::uint16_t checksum = internetChecksum(packet.data(), packet.size());
    std::memcpy(packet.data() + 2, &checksum, sizeof checksum);
  }
  return packet;
}

std::optional<std::size_t> icmpHeaderOffset(ByteView packet) {
  if (packet.size() < kIPHeaderSize + kICMPHeaderSize) return std::nullopt;
  if ((packet[0] >> 4) != 4 || packet[9] != IPPROTO_ICMP) return std::nullopt;
  const std::size_t headerLength = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  // Below the fixed 20 bytes the "ICMP header" would be the IPv4 header's own fields.
  if (headerLength < kIPHeaderSize) return std::nullopt;
  if (headerLength + kICMPHeaderSize > packet.size()) return std::nullopt;
  return headerLength;
}

std::optional<qv_ICMPHeader> icmpHeader(ByteView packet) {
  const auto offset = icmpHeaderOffset(packet);
  if (!offset) return std::nullopt;
  return readICMPHeader(packet, *offset);
}

std::optional<std::string> ipv4SourceAddress(ByteView packet) {
  if (packet.size() < kIPHeaderSize) return std::nullopt;
  std::string text;
  for (std::size_t i = 12; i < 16; ++i) {
    if (i > 12) text += '.';
    text += std::to_string(packet[i]);
  }
  return text;
}

std::optional<std::size_t> icmpMessageOffset(ByteView packet) {
  if (auto offset = icmpHeaderOffset(packet)) return offset;
  // No echo reply starts with a version-4 nibble: such a packet is a raw IPv4
  // datagram too short or malformed to hold one.
  if (packet.size() < kICMPHeaderSize || (packet[0] >> 4) == 4) return std::nullopt;
  return 0;
}

bool isValidIPv4Reply(ByteView packet, std::uint16_t identifier,
                      std::uint64_t nextSequenceNumber) {
  const auto offset = icmpMessageOffset(packet);
  if (!offset) return false;
  Bytes message(packet.begin() + static_cast<std::ptrdiff_t>(*offset), packet.end());
  const std::uint16_t received = machineOrder16(message, 2);
  message[2] = 0;
  message[3] = 0;
  const std::uint16_t computed = internetChecksum(message.data(), message.size());
  if (received != computed) return false;
  const auto header = readICMPHeader(message, 0);
  return header->qv_type == static_cast<std::uint8_t>(qv_kICMPv4Type::qv_EchoReply) &&
         header->qv_code == 0 && header->qv_identifier == identifier &&
         header->qv_sequenceNumber < nextSequenceNumber;
}

bool isValidIPv6Reply(ByteView packet, std::uint16_t identifier,
                      std::uint64_t nextSequenceNumber) {
  const auto header = readICMPHeader(packet, 0);
  if (!header) return false;
  return header->qv_type == static_cast<std::uint8_t>(qv_kICMPv6Type::qv_EchoReply) &&
         header->qv_code == 0 && header->qv_identifier == identifier &&
         header->qv_sequenceNumber < nextSequenceNumber;
}

bool isValidReply(int family, ByteView packet, std::uint16_t identifier,
                  std::uint64_t nextSequenceNumber) {
  if (family == AF_INET) return isValidIPv4Reply(packet, identifier, nextSequenceNumber);
  if (family == AF_INET6) return isValidIPv6Reply(packet, identifier, nextSequenceNumber);
  return false;
}

}  // namespace vandrel::ping
