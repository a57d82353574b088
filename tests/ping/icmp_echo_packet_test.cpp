#include "ping/icmp_echo_packet.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vandrel::ping {
namespace {

constexpr std::uint16_t kIdentifier = 0xBEEF;

std::uint16_t machineWord(std::uint8_t first, std::uint8_t second) {
  const std::uint8_t bytes[2] = {first, second};
  std::uint16_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

Bytes payload56() { return Bytes(56, 0x07); }

// An echo reply as a datagram ICMP socket delivers it: the bare message.
Bytes reply(std::uint8_t type, std::uint16_t identifier, std::uint16_t sequence,
            std::uint8_t code = 0) {
  Bytes packet = makeEchoRequest(type, identifier, sequence, payload56(), false);
  packet[1] = code;
  const std::uint16_t checksum = internetChecksum(packet.data(), packet.size());
  std::memcpy(packet.data() + 2, &checksum, sizeof checksum);
  return packet;
}

// The same reply behind a 20-byte IPv4 header, as a raw socket delivers it.
Bytes withIPv4Header(const Bytes& message, std::uint8_t ttl = 57) {
  Bytes packet(20 + message.size(), 0);
  std::copy(message.begin(), message.end(), packet.begin() + 20);
  packet[0] = 0x45;
  packet[8] = ttl;
  packet[9] = IPPROTO_ICMP;
  packet[12] = 10;
  packet[13] = 0;
  packet[14] = 7;
  packet[15] = 200;
  return packet;
}

TEST(InternetChecksumTest, EmptyBufferAndOddLength) {
  EXPECT_EQ(internetChecksum(nullptr, 0), 0xFFFF);
  const std::uint8_t one = 0x01;
  // The odd byte is the first byte of a word whose second byte is 0.
  EXPECT_EQ(internetChecksum(&one, 1), static_cast<std::uint16_t>(~machineWord(0x01, 0x00)));
  const std::uint8_t three[3] = {0x12, 0x34, 0x56};
  const std::uint32_t sum = machineWord(0x12, 0x34) + machineWord(0x56, 0x00);
  const std::uint32_t folded = (sum >> 16) + (sum & 0xFFFF);
  EXPECT_EQ(internetChecksum(three, 3), static_cast<std::uint16_t>(~(folded + (folded >> 16))));
}

TEST(InternetChecksumTest, CarriesFoldBackIntoTheSum) {
  const std::vector<std::uint8_t> ones(64, 0xFF);
  // 32 words of 0xFFFF sum to 0x1F'FFE0; folded, that is 0xFFFF; its complement 0.
  EXPECT_EQ(internetChecksum(ones.data(), ones.size()), 0);
}

TEST(MakeEchoRequestTest, BuildsTheDefaultRequest) {
  const Bytes packet = makeEchoRequest(8, 0x1234, 0x0102, payload56(), true);
  ASSERT_EQ(packet.size(), 64u);
  EXPECT_EQ(packet[0], 8);
  EXPECT_EQ(packet[1], 0);
  EXPECT_EQ(packet[4], 0x12);
  EXPECT_EQ(packet[5], 0x34);
  EXPECT_EQ(packet[6], 0x01);
  EXPECT_EQ(packet[7], 0x02);
  EXPECT_EQ(Bytes(packet.begin() + 8, packet.end()), Bytes(56, 0x07));
  // A filled checksum makes the whole message sum to zero.
  EXPECT_EQ(internetChecksum(packet.data(), packet.size()), 0);
}

TEST(MakeEchoRequestTest, ChecksumsIPv6RequestsTooAndLeavesItZeroWhenAsked) {
  const Bytes filled = makeEchoRequest(128, 7, 0, payload56(), true);
  EXPECT_EQ(filled[0], 128);
  EXPECT_EQ(internetChecksum(filled.data(), filled.size()), 0);
  const Bytes unfilled = makeEchoRequest(8, 7, 0, Bytes(3, 0x07), false);
  ASSERT_EQ(unfilled.size(), 11u);
  EXPECT_EQ(unfilled[2], 0);
  EXPECT_EQ(unfilled[3], 0);
}

TEST(IcmpHeaderTest, FindsTheHeaderBehindAnIPv4HeaderOrAtTheStart) {
  const Bytes bare = reply(0, kIdentifier, 3);
  const Bytes raw = withIPv4Header(bare);
  EXPECT_EQ(icmpHeaderOffset(raw), std::optional<std::size_t>(20));
  EXPECT_EQ(icmpMessageOffset(raw), std::optional<std::size_t>(20));
  EXPECT_EQ(icmpHeaderOffset(bare), std::nullopt);
  EXPECT_EQ(icmpMessageOffset(bare), std::optional<std::size_t>(0));
  const auto header = icmpHeader(raw);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->qv_identifier, kIdentifier);
  EXPECT_EQ(header->qv_sequenceNumber, 3);
  EXPECT_EQ(ipv4SourceAddress(raw), std::optional<std::string>("10.0.7.200"));
  EXPECT_EQ(ipv4SourceAddress(Bytes(19, 0)), std::nullopt);

  // An IPv4 header with options moves the ICMP header; one that claims more
  // than the packet holds, or a short raw packet, has none.
  Bytes withOptions = withIPv4Header(bare);
  withOptions[0] = 0x46;
  withOptions.insert(withOptions.begin() + 20, 4, 0);
  EXPECT_EQ(icmpHeaderOffset(withOptions), std::optional<std::size_t>(24));
  Bytes tooLong = withIPv4Header(Bytes(8, 0));
  tooLong[0] = 0x4F;
  EXPECT_EQ(icmpHeaderOffset(tooLong), std::nullopt);
  EXPECT_EQ(icmpMessageOffset(tooLong), std::nullopt);
  EXPECT_EQ(icmpMessageOffset(Bytes(7, 0)), std::nullopt);
}

TEST(IcmpHeaderTest, HeaderLengthBelowTheFixedTwentyBytesHoldsNoMessage) {
  // A length of 0 to 4 words would put the ICMP header inside the IPv4
  // header's own fields: such a packet is malformed, not a reply, even when
  // the bytes there read as a well-formed one.
  const Bytes message = reply(0, kIdentifier, 4);
  for (std::size_t words = 0; words < 5; ++words) {
    SCOPED_TRACE(words);
    Bytes packet(words * 4 + message.size(), 0);
    std::copy(message.begin(), message.end(),
              packet.begin() + static_cast<std::ptrdiff_t>(words * 4));
    packet[0] = static_cast<std::uint8_t>(0x40 | words);
    packet[9] = IPPROTO_ICMP;
    EXPECT_EQ(icmpHeaderOffset(packet), std::nullopt);
    EXPECT_EQ(icmpHeader(packet), std::nullopt);
    EXPECT_EQ(icmpMessageOffset(packet), std::nullopt);
    EXPECT_FALSE(isValidReply(AF_INET, packet, kIdentifier, 5));
  }
}

struct ReplyCase {
  const char* name;
  int family;
  std::function<Bytes()> packet;
  std::uint64_t nextSequenceNumber;
  bool valid;
};

class ReplyValidityTest : public testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyValidityTest, AcceptsOnlyRepliesToOwnSentRequests) {
  const ReplyCase& c = GetParam();
  EXPECT_EQ(isValidReply(c.family, c.packet(), kIdentifier, c.nextSequenceNumber), c.valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyValidityTest,
    testing::Values(
        ReplyCase{"IPv4Bare", AF_INET, [] { return reply(0, kIdentifier, 4); }, 5, true},
        ReplyCase{"IPv4WithHeader", AF_INET,
                  [] { return withIPv4Header(reply(0, kIdentifier, 4)); }, 5, true},
        // The kernel routes replies to the socket by identifier: bytes with
        // another identifier are refused here as well.
        ReplyCase{"IPv4OtherIdentifier", AF_INET, [] { return reply(0, kIdentifier + 1, 4); }, 5,
                  false},
        ReplyCase{"IPv4SequenceEqualsNext", AF_INET, [] { return reply(0, kIdentifier, 5); }, 5,
                  false},
        ReplyCase{"IPv4SequenceZeroAfterOneSend", AF_INET,
                  [] { return reply(0, kIdentifier, 0); }, 1, true},
        ReplyCase{"IPv4SequenceZeroBeforeAnySend", AF_INET,
                  [] { return reply(0, kIdentifier, 0); }, 0, false},
        ReplyCase{"IPv4BadChecksum", AF_INET,
                  [] {
                    Bytes p = reply(0, kIdentifier, 1);
                    p[2] ^= 0x01;
                    return p;
                  },
                  5, false},
        ReplyCase{"IPv4EchoRequestType", AF_INET, [] { return reply(8, kIdentifier, 1); }, 5,
                  false},
        ReplyCase{"IPv4NonZeroCode", AF_INET, [] { return reply(0, kIdentifier, 1, 1); }, 5,
                  false},
        ReplyCase{"IPv4Short", AF_INET, [] { return Bytes(7, 0); }, 5, false},
        ReplyCase{"IPv6Valid", AF_INET6, [] { return reply(129, kIdentifier, 2); }, 3, true},
        ReplyCase{"IPv6Short", AF_INET6,
                  [] {
                    Bytes p = reply(129, kIdentifier, 2);
                    p.resize(7);
                    return p;
                  },
                  3, false},
        ReplyCase{"IPv6BadChecksumAccepted", AF_INET6,
                  [] {
                    Bytes p = reply(129, kIdentifier, 2);
                    p[2] ^= 0xFF;
                    return p;
                  },
                  3, true},
        ReplyCase{"IPv6OtherIdentifier", AF_INET6, [] { return reply(129, 1, 2); }, 3, false},
        ReplyCase{"IPv6SequenceEqualsNext", AF_INET6, [] { return reply(129, kIdentifier, 3); },
                  3, false},
        ReplyCase{"IPv6IPv4ReplyType", AF_INET6, [] { return reply(0, kIdentifier, 2); }, 3,
                  false},
        // Past 65,535 requests every 16-bit sequence number has been sent.
        ReplyCase{"SequenceAfterWrap", AF_INET, [] { return reply(0, kIdentifier, 65535); },
                  70000, true},
        ReplyCase{"OtherFamily", AF_UNIX, [] { return reply(0, kIdentifier, 1); }, 5, false}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vandrel::ping
