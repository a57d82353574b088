#include "daemon/relay_socks.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vandrel::daemon::relay {
namespace {

using platform::UniqueFd;
using Deadline = std::chrono::steady_clock::time_point;

constexpr std::uint8_t kVersion = 5;
constexpr std::uint8_t kNoAuthentication = 0;
constexpr std::uint8_t kConnect = 1;
constexpr std::uint8_t kUdpAssociate = 3;
constexpr std::uint8_t kIpv4 = 1;
constexpr std::uint8_t kIpv6 = 4;

bool waitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, events, 0};
    const int n = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (n > 0) return (ready.revents & (events | POLLHUP | POLLERR)) != 0;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool sendAll(int fd, const std::vector<std::uint8_t>& bytes, Deadline deadline) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!waitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool receiveExactly(int fd, std::uint8_t* out, std::size_t size, Deadline deadline) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, out + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!waitFor(fd, POLLIN, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::uint8_t> addressField(const IpAddress& address, std::uint16_t port) {
  const std::size_t size = address.size();
  std::vector<std::uint8_t> field(1 + size + 2);
  field[0] = address.family == AF_INET ? kIpv4 : kIpv6;
  std::memcpy(field.data() + 1, address.bytes.data(), size);
  field[1 + size] = static_cast<std::uint8_t>(port >> 8);
  field[2 + size] = static_cast<std::uint8_t>(port);
  return field;
}

// Connects, greets and sends `command` for address:port; the reply's
// bound address on success.
std::optional<std::pair<IpAddress, std::uint16_t>> request(int fd, const LoopbackEndpoint& socks,
                                                           std::uint8_t command,
                                                           const IpAddress& address,
                                                           std::uint16_t port, Deadline deadline) {
  socklen_t length = 0;
  const auto server = socketAddress(socks.address, static_cast<std::uint16_t>(socks.port), length);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), length) != 0) {
    if (errno != EINPROGRESS || !waitFor(fd, POLLOUT, deadline)) return std::nullopt;
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      return std::nullopt;
    }
  }
  // The greeting and the request go together: the only method offered is
  // "no authentication", so the request never depends on the answer, and
  // a connection through the tunnel waits one round trip less.
  std::vector<std::uint8_t> ask = {kVersion, 1, kNoAuthentication, kVersion, command, 0};
  const auto field = addressField(address, port);
  ask.insert(ask.end(), field.begin(), field.end());
  std::uint8_t reply[22];
  if (!sendAll(fd, ask, deadline) || !receiveExactly(fd, reply, 2, deadline) ||
      reply[0] != kVersion || reply[1] != kNoAuthentication ||
      !receiveExactly(fd, reply, 4, deadline) || reply[0] != kVersion || reply[1] != 0) {
    return std::nullopt;
  }
  IpAddress bound;
  std::size_t addressSize = 0;
  if (reply[3] == kIpv4) {
    addressSize = 4;
  } else if (reply[3] == kIpv6) {
    addressSize = 16;
    bound.family = AF_INET6;
  } else {
    return std::nullopt;  // a name as the bound address: not from a SOCKS5 server we know
  }
  if (!receiveExactly(fd, reply, addressSize + 2, deadline)) return std::nullopt;
  std::memcpy(bound.bytes.data(), reply, addressSize);
  return std::make_pair(bound,
                        static_cast<std::uint16_t>(reply[addressSize] << 8 | reply[addressSize + 1]));
}

UniqueFd streamSocket(const LoopbackEndpoint& socks) {
  UniqueFd fd(::socket(socks.address.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int on = 1;
  if (fd) ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  return fd;
}

}  // namespace

sockaddr_storage socketAddress(const IpAddress& address, std::uint16_t port, socklen_t& length) {
  sockaddr_storage storage{};
  if (address.family == AF_INET) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    std::memcpy(&in4->sin_addr, address.bytes.data(), 4);
    length = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    std::memcpy(&in6->sin6_addr, address.bytes.data(), 16);
    length = sizeof(sockaddr_in6);
  }
  return storage;
}

UniqueFd socksConnect(const LoopbackEndpoint& socks, const IpAddress& destination,
                      std::uint16_t port, std::chrono::milliseconds timeout) {
  UniqueFd fd = streamSocket(socks);
  const Deadline deadline = std::chrono::steady_clock::now() + timeout;
  if (!fd || !request(fd.get(), socks, kConnect, destination, port, deadline)) return UniqueFd();
  return fd;
}

std::optional<Association> socksAssociate(const LoopbackEndpoint& socks,
                                          std::chrono::milliseconds timeout) {
  Association association;
  association.control = streamSocket(socks);
  const Deadline deadline = std::chrono::steady_clock::now() + timeout;
  IpAddress any;  // 0.0.0.0:0: datagrams may come from any of our ports
  if (!association.control) return std::nullopt;
  auto bound = request(association.control.get(), socks, kUdpAssociate, any, 0, deadline);
  if (!bound) return std::nullopt;
  // A server bound to every address answers 0.0.0.0: it is where we reached it.
  IpAddress relayAddress = bound->first.isUnspecifiedOrMulticast() ? socks.address : bound->first;
  association.relay = socketAddress(relayAddress, bound->second, association.relayLength);
  return association;
}

std::vector<std::uint8_t> udpHeader(const IpAddress& destination, std::uint16_t port) {
  std::vector<std::uint8_t> header = {0, 0, 0};  // reserved, reserved, fragment 0
  const auto field = addressField(destination, port);
  header.insert(header.end(), field.begin(), field.end());
  return header;
}

std::optional<UdpSource> parseUdpHeader(const std::uint8_t* data, std::size_t size) {
  if (size < 4 || data[2] != 0) return std::nullopt;  // fragments are not reassembled
  UdpSource source;
  std::size_t addressSize = 0;
  if (data[3] == kIpv4) {
    addressSize = 4;
  } else if (data[3] == kIpv6) {
    addressSize = 16;
    source.address.family = AF_INET6;
  } else {
    return std::nullopt;
  }
  if (size < 4 + addressSize + 2) return std::nullopt;
  std::memcpy(source.address.bytes.data(), data + 4, addressSize);
  source.port = static_cast<std::uint16_t>(data[4 + addressSize] << 8 | data[5 + addressSize]);
  source.payloadOffset = 4 + addressSize + 2;
  return source;
}

}  // namespace vandrel::daemon::relay
