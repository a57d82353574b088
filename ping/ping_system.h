#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ping/icmp_echo_packet.h"
#include "platform/result.h"

// What a pinger asks of the operating system: name resolution, datagram
// ICMP sockets and a log. Tests swap in a fake; `PingSystem::standard()` is
// the real one.
namespace vandrel::ping {

// A socket address exactly as the resolver or `recvmsg` handed it over (a
// sockaddr_in or sockaddr_in6); the family is its `ss_family`.
using SocketAddress = Bytes;

// The family of a socket address, 0 when it is too short to hold one.
int socketAddressFamily(const SocketAddress& address);
// The standard text of an IPv4 or IPv6 socket address, none for others.
std::optional<std::string> socketAddressText(const SocketAddress& address);

struct Resolution {
  // 0 on success, else the resolver's EAI_* code.
  int gaiError = 0;
  // With EAI_SYSTEM: the errno behind it.
  int systemError = 0;
  // Socket addresses in the resolver's order.
  std::vector<SocketAddress> addresses;
};

struct ReceivedDatagram {
  enum class Status {
    Datagram,    // `bytes` came from `source`
    NoDatagram,  // nothing waiting (EAGAIN): not a failure
    Empty,       // a read of 0 bytes
    Failed,      // the read failed with `error`
  };
  Status status = Status::NoDatagram;
  int error = 0;
  Bytes bytes;
  SocketAddress source;
  // The reply's IPv4 time-to-live, when the socket reported it.
  std::optional<int> ttl;
};

// One non-blocking datagram ICMP socket, closed when destroyed.
class IcmpSocket {
 public:
  virtual ~IcmpSocket() = default;
  // For poll(); -1 when there is nothing to poll.
  virtual int descriptor() const = 0;
  // The identifier the kernel writes into this socket's echo requests and
  // routes replies by.
  virtual std::uint16_t identifier() const = 0;
  // The time-to-live (IPv4) or hop limit (IPv6) of outgoing requests; the
  // result is not checked.
  virtual void setTtl(std::uint64_t ttl) = 0;
  // Bytes sent, or -1 with `error` set to the errno.
  virtual std::int64_t sendTo(ByteView packet, const SocketAddress& to, int& error) = 0;
  // One read that never blocks.
  virtual ReceivedDatagram receive() = 0;
};

class PingSystem {
 public:
  virtual ~PingSystem() = default;

  // Resolves a host name or address text, blocking until done.
  virtual Resolution resolve(const std::string& host) = 0;
  // An unprivileged ICMP socket of `family` (AF_INET or AF_INET6), bound so
  // that it has its identifier; the error carries the errno of the failed
  // call in "NSPOSIXErrorDomain".
  virtual platform::Result<std::unique_ptr<IcmpSocket>> openSocket(int family) = 0;
  // The pinger's diagnostic lines.
  virtual void log(std::string_view line) = 0;

  // Real resolver and sockets; diagnostics go to standard error.
  static std::shared_ptr<PingSystem> standard();
};

}  // namespace vandrel::ping
