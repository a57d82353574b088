#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Wire format of ICMP echo requests and replies, IPv4 and IPv6.
namespace vandrel::ping {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

enum class qv_kICMPv4Type : std::uint8_t { qv_EchoRequest = 8, qv_EchoReply = 0 };
enum class qv_kICMPv6Type : std::uint8_t { qv_EchoRequest = 128, qv_EchoReply = 129 };

constexpr std::size_t kICMPHeaderSize = 8;
constexpr std::size_t kIPHeaderSize = 20;

// The 8-byte ICMP echo header. Identifier and sequence number are decoded
// from big-endian; the checksum is kept as the two bytes read in machine
// order, the order in which `internetChecksum` answers.
struct qv_ICMPHeader {
  std::uint8_t qv_type = 0;
  std::uint8_t qv_code = 0;
  std::uint16_t qv_checksum = 0;
  std::uint16_t qv_identifier = 0;
  std::uint16_t qv_sequenceNumber = 0;
};

// The fixed 20 bytes of an IPv4 header, multi-byte fields decoded from
// big-endian.
struct qv_IPHeader {
  std::uint8_t qv_versionAndHeaderLength = 0;
  std::uint8_t qv_differentiatedServices = 0;
  std::uint16_t qv_totalLength = 0;
  std::uint16_t qv_identification = 0;
  std::uint16_t qv_flagsAndFragmentOffset = 0;
  std::uint8_t qv_timeToLive = 0;
  std::uint8_t qv_ptl = 0;
  std::uint16_t qv_headerChecksum = 0;
  std::uint8_t qv_sourceAddress[4] = {};
  std::uint8_t qv_destinationAddress[4] = {};
};

// Reads the header at `offset`; none when fewer bytes follow it.
std::optional<qv_ICMPHeader> readICMPHeader(ByteView packet, std::size_t offset);
std::optional<qv_IPHeader> readIPHeader(ByteView packet);

// The Internet checksum (RFC 1071) of the buffer, words summed in memory
// order: store the result in machine order, compare it in machine order.
std::uint16_t internetChecksum(const void* data, std::size_t length);

// One echo request: `type`, code 0, big-endian identifier and sequence
// number, the payload behind the header, and the checksum over the whole
// message when `fillChecksum`. The sequence number must fit in 16 bits.
Bytes makeEchoRequest(std::uint8_t type, std::uint16_t identifier, std::uint64_t sequenceNumber,
                      ByteView payload, bool fillChecksum);

// Where the ICMP header starts behind a leading IPv4 header (raw input):
// the header length when the packet holds at least 28 bytes, is version 4
// with protocol 1, the header length is at least 20 bytes, and a whole ICMP
// header follows the IPv4 header.
std::optional<std::size_t> icmpHeaderOffset(ByteView packet);
// The ICMP header at `icmpHeaderOffset`.
std::optional<qv_ICMPHeader> icmpHeader(ByteView packet);
// Source address of the leading IPv4 header as dotted decimal.
std::optional<std::string> ipv4SourceAddress(ByteView packet);

// Where the ICMP message starts in what an IPv4 ICMP socket delivers: behind
// the IPv4 header when one leads (raw sockets), else at 0 (datagram ICMP
// sockets deliver the bare message), when a whole ICMP header is there.
std::optional<std::size_t> icmpMessageOffset(ByteView packet);

// Reply checks. A reply is ours when its identifier is the pinger's and its
// sequence number was sent already (below `nextSequenceNumber`).
bool isValidIPv4Reply(ByteView packet, std::uint16_t identifier,
                      std::uint64_t nextSequenceNumber);
// The ICMPv6 checksum covers a pseudo-header the receiver cannot see here;
// the kernel has checked it, so it is not checked again.
bool isValidIPv6Reply(ByteView packet, std::uint16_t identifier,
                      std::uint64_t nextSequenceNumber);
// By address family: AF_INET and AF_INET6 pick their check, others fail.
bool isValidReply(int family, ByteView packet, std::uint16_t identifier,
                  std::uint64_t nextSequenceNumber);

}  // namespace vandrel::ping
