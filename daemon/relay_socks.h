#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "daemon/request_checks.h"
#include "platform/file_io.h"

// The SOCKS5 client side of the relay (no authentication): CONNECT for a
// TCP flow, UDP ASSOCIATE and the datagram header for UDP.
namespace vandrel::daemon::relay {

// A non-blocking TCP socket connected to the SOCKS5 server that has been
// granted a CONNECT to destination:port; nothing when any step fails or
// `timeout` passes first.
platform::UniqueFd socksConnect(const LoopbackEndpoint& socks, const IpAddress& destination,
                                std::uint16_t port, std::chrono::milliseconds timeout);

struct Association {
  platform::UniqueFd control;  // the association lasts as long as this connection
  sockaddr_storage relay{};    // where the datagrams go
  socklen_t relayLength = 0;
};

std::optional<Association> socksAssociate(const LoopbackEndpoint& socks,
                                          std::chrono::milliseconds timeout);

// The header in front of a datagram to destination:port.
std::vector<std::uint8_t> udpHeader(const IpAddress& destination, std::uint16_t port);

struct UdpSource {
  IpAddress address;
  std::uint16_t port = 0;
  std::size_t payloadOffset = 0;
};
// The source a datagram from the relay names; nothing for a fragment or a
// malformed header.
std::optional<UdpSource> parseUdpHeader(const std::uint8_t* data, std::size_t size);

// The socket address of an endpoint.
sockaddr_storage socketAddress(const IpAddress& address, std::uint16_t port, socklen_t& length);

}  // namespace vandrel::daemon::relay
