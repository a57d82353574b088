#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

// The small rules every request field is held to before anything runs as
// root: numbers in range, addresses that parse, host names that are host
// names, text without control bytes.
namespace vandrel::daemon {

inline constexpr std::string_view kRequestErrorDomain = "vandrel.daemon.request";

// Error{kRequestErrorDomain, EINVAL, message}.
platform::Error requestError(std::string message);

struct IpAddress {
  int family = AF_INET;                // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> bytes{};  // IPv4 in the first four

  static std::optional<IpAddress> parse(std::string_view text);
  std::string text() const;
  std::size_t size() const { return family == AF_INET ? 4 : 16; }
  bool isLoopback() const;
  // 0.0.0.0, ::, multicast, broadcast: never a place to send traffic.
  bool isUnspecifiedOrMulticast() const;
  bool operator==(const IpAddress&) const = default;
};

// An address with a prefix length: "10.1.0.0/16", "2001:db8::/32"; a bare
// address is a full-length prefix.
struct IpNetwork {
  IpAddress address;
  int prefix = 32;
  static std::optional<IpNetwork> parse(std::string_view text);
  std::string text() const;
};

// Letters, digits, '-' and '_' in dot-separated labels of 1-63 bytes, at
// most 253 bytes, no label starting or ending with '-'. A final dot is
// allowed. Addresses are not host names.
bool isHostName(std::string_view text);

// Bytes below 0x20 or 0x7f.
bool hasControlBytes(std::string_view text);

// The port in [lowest, 65535]; else an error naming `field`.
platform::Result<int> checkPort(std::string_view field, std::int64_t value, int lowest = 1);

// An address of the loopback interface (127.0.0.0/8 or ::1); the local
// endpoints the daemon opens must never face the network.
platform::Result<IpAddress> checkLoopback(std::string_view field, std::string_view text);

// "HOST:PORT" or "[HOST]:PORT" with a loopback HOST.
struct LoopbackEndpoint {
  IpAddress address;
  int port = 0;
};
platform::Result<LoopbackEndpoint> checkLoopbackEndpoint(std::string_view field,
                                                         std::string_view text);

// A field quoted for an error text: at most 64 bytes, control bytes escaped.
std::string quoted(std::string_view text);

}  // namespace vandrel::daemon
