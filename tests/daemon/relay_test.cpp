// The TUN relay's own pieces without a TUN interface: packets read and
// rewritten with checksums the kernel accepts, the flow table's rules, and
// the SOCKS5 UDP header.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "daemon/relay_flows.h"
#include "daemon/relay_packet.h"
#include "daemon/relay_socks.h"

namespace vandrel::daemon::relay {
namespace {

IpAddress ip(const char* text) { return *IpAddress::parse(text); }

// The checksum a receiver computes over a TCP or UDP packet: 0 when the
// packet's own checksum is right.
std::uint16_t verify(const std::vector<std::uint8_t>& bytes, const Packet& p) {
  const std::size_t size = p.family == AF_INET ? 4 : 16;
  std::uint32_t sum = sumBytes(p.source.bytes.data(), size);
  sum = sumBytes(p.destination.bytes.data(), size, sum);
  sum += p.protocol;
  sum += static_cast<std::uint32_t>(p.length - p.l4Offset);
  sum = sumBytes(bytes.data() + p.l4Offset, p.length - p.l4Offset, sum);
  return static_cast<std::uint16_t>(~fold(sum));
}

// A TCP packet with a full checksum (made with the UDP builder's
// arithmetic, then turned into TCP: a 20-byte header, SYN).
std::vector<std::uint8_t> tcpPacket(const IpAddress& from, std::uint16_t fromPort,
                                    const IpAddress& to, std::uint16_t toPort,
                                    const std::string& payload) {
  std::vector<std::uint8_t> body(20 + payload.size(), 0);
  body[12] = 5 << 4;
  body[13] = kTcpSyn;
  std::memcpy(body.data() + 20, payload.data(), payload.size());
  auto packet = buildUdp(from, fromPort, to, toPort, body.data(), body.size());
  const std::size_t l4 = from.family == AF_INET ? 20 : 40;
  // Drop the UDP header: the TCP header starts where it was.
  packet.erase(packet.begin() + static_cast<long>(l4), packet.begin() + static_cast<long>(l4) + 8);
  if (from.family == AF_INET) {
    packet[9] = kTcp;
    packet[2] = static_cast<std::uint8_t>(packet.size() >> 8);
    packet[3] = static_cast<std::uint8_t>(packet.size());
    packet[10] = packet[11] = 0;
    const std::uint16_t header = static_cast<std::uint16_t>(~fold(sumBytes(packet.data(), 20)));
    packet[10] = static_cast<std::uint8_t>(header >> 8);
    packet[11] = static_cast<std::uint8_t>(header);
  } else {
    packet[6] = kTcp;
    packet[4] = static_cast<std::uint8_t>((packet.size() - 40) >> 8);
    packet[5] = static_cast<std::uint8_t>(packet.size() - 40);
  }
  packet[l4] = static_cast<std::uint8_t>(fromPort >> 8);
  packet[l4 + 1] = static_cast<std::uint8_t>(fromPort);
  packet[l4 + 2] = static_cast<std::uint8_t>(toPort >> 8);
  packet[l4 + 3] = static_cast<std::uint8_t>(toPort);
  auto parsed = parsePacket(packet.data(), packet.size(), false);
  packet[l4 + 16] = packet[l4 + 17] = 0;
  const std::uint16_t check = verify(packet, *parsed);
  packet[l4 + 16] = static_cast<std::uint8_t>(check >> 8);
  packet[l4 + 17] = static_cast<std::uint8_t>(check);
  return packet;
}

TEST(RelayPacketTest, RewritingKeepsFullAndPartialChecksumsRight) {
  struct Case {
    const char* name;
    const char* app;
    const char* destination;
    const char* fakePeer;
    const char* tunAddress;
  };
  for (const Case& c : {Case{"IPv4", "172.20.0.2", "203.0.113.20", "172.20.0.1", "172.20.0.2"},
                        Case{"IPv6", "fd76:616e:6472:656c::2", "2001:db8:2::20",
                             "fd76:616e:6472:656c::1", "fd76:616e:6472:656c::2"}}) {
    SCOPED_TRACE(c.name);
    auto bytes = tcpPacket(ip(c.app), 40000, ip(c.destination), 80, "hello, odd length");
    auto packet = parsePacket(bytes.data(), bytes.size(), false);
    ASSERT_TRUE(packet);
    ASSERT_EQ(0, verify(bytes, *packet));
    EXPECT_EQ(kTcpSyn, packet->tcpFlags);
    rewriteTcp(bytes.data(), *packet, ip(c.fakePeer), 1234, ip(c.tunAddress), 5555);
    auto rewritten = parsePacket(bytes.data(), bytes.size(), false);
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(ip(c.fakePeer), rewritten->source);
    EXPECT_EQ(1234, rewritten->sourcePort);
    EXPECT_EQ(5555, rewritten->destinationPort);
    EXPECT_EQ(0, verify(bytes, *rewritten));
    if (packet->family == AF_INET) {
      EXPECT_EQ(0xffff, fold(sumBytes(bytes.data(), 20)));  // the header checksum
    }

    // Partial: the field holds the pseudo-header sum only, and must follow
    // the new addresses (the ports are summed by whoever finishes it).
    auto partialBytes = tcpPacket(ip(c.app), 40000, ip(c.destination), 80, "data");
    auto partial = *parsePacket(partialBytes.data(), partialBytes.size(), true);
    const auto pseudo = [](const std::vector<std::uint8_t>&, const Packet& p) {
      const std::size_t size = p.family == AF_INET ? 4 : 16;
      std::uint32_t sum = sumBytes(p.source.bytes.data(), size);
      sum = sumBytes(p.destination.bytes.data(), size, sum);
      return fold(sum + p.protocol + static_cast<std::uint32_t>(p.length - p.l4Offset));
    };
    const std::size_t check = partial.l4Offset + 16;
    const std::uint16_t before = pseudo(partialBytes, partial);
    partialBytes[check] = static_cast<std::uint8_t>(before >> 8);
    partialBytes[check + 1] = static_cast<std::uint8_t>(before);
    rewriteTcp(partialBytes.data(), partial, ip(c.fakePeer), 1234, ip(c.tunAddress), 5555);
    const auto after = *parsePacket(partialBytes.data(), partialBytes.size(), true);
    const std::uint16_t expected = pseudo(partialBytes, after);
    EXPECT_EQ(expected, partialBytes[check] << 8 | partialBytes[check + 1]);
  }
}

TEST(RelayPacketTest, OnlyWholeTcpAndUdpPacketsAreRead) {
  auto udp = buildUdp(ip("10.0.0.1"), 5353, ip("10.0.0.2"), 53, nullptr, 0);
  ASSERT_TRUE(parsePacket(udp.data(), udp.size(), false));
  EXPECT_EQ(0, verify(udp, *parsePacket(udp.data(), udp.size(), false)));

  auto fragment = udp;
  fragment[6] = 0x20;  // more fragments
  EXPECT_FALSE(parsePacket(fragment.data(), fragment.size(), false));
  auto icmp = udp;
  icmp[9] = 1;
  EXPECT_FALSE(parsePacket(icmp.data(), icmp.size(), false));
  EXPECT_FALSE(parsePacket(udp.data(), udp.size() - 1, false));  // cut short
  auto lying = udp;
  lying[25] = 200;  // UDP length past the packet
  EXPECT_FALSE(parsePacket(lying.data(), lying.size(), false));
  auto v6 = buildUdp(ip("2001:db8::1"), 1, ip("2001:db8::2"), 2, nullptr, 0);
  v6[6] = 0;  // a hop-by-hop extension header
  EXPECT_FALSE(parsePacket(v6.data(), v6.size(), false));
  const std::uint8_t garbage[] = {0x50, 1, 2, 3};
  EXPECT_FALSE(parsePacket(garbage, sizeof(garbage), false));
}

TEST(RelayFlowsTest, FlowsOpenOnASynAreClaimedOnceAndLingerAfterTheClose) {
  TcpFlows flows;
  const auto now = Clock::now();
  const FlowEnds ends{ip("172.20.0.2"), 40000, ip("203.0.113.20"), 80};
  EXPECT_FALSE(flows.outbound(AF_INET, ends, false, now));  // no flow without a SYN
  const auto port = flows.outbound(AF_INET, ends, true, now);
  ASSERT_TRUE(port);
  EXPECT_EQ(port, flows.outbound(AF_INET, ends, false, now));  // the same flow
  EXPECT_FALSE(flows.inbound(AF_INET6, *port, now));           // per family
  ASSERT_TRUE(flows.claim(AF_INET, *port));
  EXPECT_FALSE(flows.claim(AF_INET, *port));  // once
  // Carried connections never expire, however quiet.
  EXPECT_EQ(1u, flows.expire(now + std::chrono::hours(5)));
  flows.closed(AF_INET, *port, now);
  EXPECT_TRUE(flows.inbound(AF_INET, *port, now));  // the close's last packets
  EXPECT_EQ(0u, flows.expire(now + TcpFlows::kLinger + std::chrono::seconds(1)));
  EXPECT_FALSE(flows.inbound(AF_INET, *port, now));

  // A flow the listener never took goes too; a new SYN on the ends of a
  // closed flow gets a new port.
  const auto unclaimed = flows.outbound(AF_INET, ends, true, now);
  ASSERT_TRUE(unclaimed);
  EXPECT_EQ(0u, flows.expire(now + TcpFlows::kLinger + std::chrono::seconds(1)));
  const auto first = flows.outbound(AF_INET, ends, true, now);
  flows.claim(AF_INET, *first);
  flows.closed(AF_INET, *first, now);
  const auto second = flows.outbound(AF_INET, ends, true, now);
  ASSERT_TRUE(second);
  EXPECT_NE(*first, *second);
}

TEST(RelayFlowsTest, EveryPortTakenMeansNoNewFlow) {
  TcpFlows flows;
  const auto now = Clock::now();
  for (int i = TcpFlows::kFirstPort; i <= 65535; ++i) {
    const FlowEnds ends{ip("172.20.0.2"), static_cast<std::uint16_t>(i), ip("203.0.113.20"), 80};
    ASSERT_TRUE(flows.outbound(AF_INET, ends, true, now)) << i;
  }
  const FlowEnds one{ip("172.20.0.3"), 1, ip("203.0.113.20"), 80};
  EXPECT_FALSE(flows.outbound(AF_INET, one, true, now));
  EXPECT_TRUE(flows.outbound(AF_INET6, FlowEnds{ip("::2"), 1, ip("::3"), 80}, true, now));
}

TEST(RelaySocksTest, UdpHeadersRoundTripAndFragmentsAreRefused) {
  for (const char* address : {"203.0.113.20", "2001:db8:2::20"}) {
    SCOPED_TRACE(address);
    auto header = udpHeader(ip(address), 5353);
    header.push_back('x');
    const auto source = parseUdpHeader(header.data(), header.size());
    ASSERT_TRUE(source);
    EXPECT_EQ(ip(address), source->address);
    EXPECT_EQ(5353, source->port);
    EXPECT_EQ(header.size() - 1, source->payloadOffset);
    header[2] = 1;  // a fragment
    EXPECT_FALSE(parseUdpHeader(header.data(), header.size()));
    header[2] = 0;
    EXPECT_FALSE(parseUdpHeader(header.data(), 5));  // cut short
  }
  const std::uint8_t name[] = {0, 0, 0, 3, 4, 'h', 'o', 's', 't', 0, 53};
  EXPECT_FALSE(parseUdpHeader(name, sizeof(name)));  // names are never answered
}

}  // namespace
}  // namespace vandrel::daemon::relay
