#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "ping/ping_system.h"

namespace vandrel::ping {
namespace {

// Large enough for any IPv4 or IPv6 datagram.
constexpr std::size_t kReceiveBufferSize = 65535;

platform::Error posixError(int code) {
  return platform::Error{"NSPOSIXErrorDomain", code, std::strerror(code)};
}

class LinuxIcmpSocket final : public IcmpSocket {
 public:
  LinuxIcmpSocket(int fd, int family, std::uint16_t identifier)
      : fd_(fd), family_(family), identifier_(identifier) {}
  ~LinuxIcmpSocket() override { ::close(fd_); }

  int descriptor() const override { return fd_; }
  std::uint16_t identifier() const override { return identifier_; }

  void setTtl(std::uint64_t ttl) override {
    const int value = static_cast<int>(ttl);
    if (family_ == AF_INET6) {
      ::setsockopt(fd_, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &value, sizeof value);
    } else {
      ::setsockopt(fd_, IPPROTO_IP, IP_TTL, &value, sizeof value);
    }
  }

  std::int64_t sendTo(ByteView packet, const SocketAddress& to, int& error) override {
    const ssize_t sent =
        ::sendto(fd_, packet.data(), packet.size(), 0,
                 reinterpret_cast<const sockaddr*>(to.data()), static_cast<socklen_t>(to.size()));
    if (sent < 0) error = errno;
    return sent;
  }

  ReceivedDatagram receive() override {
    // One buffer per thread: the listen loop reads from hundreds of sockets
    // per cycle, and a fresh 64 KiB buffer each time costs more than the read.
    thread_local std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kReceiveBufferSize]);
    sockaddr_storage source{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int)) * 2];
    iovec iov{buffer.get(), kReceiveBufferSize};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    ReceivedDatagram result;
    const ssize_t received = ::recvmsg(fd_, &message, MSG_DONTWAIT);
    if (received < 0) {
      const int error = errno;
      if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        result.status = ReceivedDatagram::Status::NoDatagram;
      } else {
        result.status = ReceivedDatagram::Status::Failed;
        result.error = error;
      }
      return result;
    }
    if (received == 0) {
      result.status = ReceivedDatagram::Status::Empty;
      return result;
    }
    result.status = ReceivedDatagram::Status::Datagram;
    result.bytes.assign(buffer.get(), buffer.get() + received);
    const auto* sourceBytes = reinterpret_cast<const std::uint8_t*>(&source);
    result.source.assign(sourceBytes, sourceBytes + message.msg_namelen);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
        int ttl;
        std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
        result.ttl = ttl;
      }
    }
    return result;
  }

 private:
  const int fd_;
  const int family_;
  const std::uint16_t identifier_;
};

class LinuxPingSystem final : public PingSystem {
 public:
  Resolution resolve(const std::string& host) override {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // One entry per address instead of one per socket type.
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    Resolution resolution;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
      resolution.gaiError = rc;
      if (rc == EAI_SYSTEM) resolution.systemError = errno;
      return resolution;
    }
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
      if (ai->ai_addr == nullptr) continue;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(ai->ai_addr);
      resolution.addresses.emplace_back(bytes, bytes + ai->ai_addrlen);
    }
    ::freeaddrinfo(list);
    return resolution;
  }

  platform::Result<std::unique_ptr<IcmpSocket>> openSocket(int family) override {
    const int protocol = family == AF_INET6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return posixError(errno);
    // Binding to port 0 makes the kernel pick this socket's echo identifier
    // now, so it can be read back before the first request.
    sockaddr_storage local{};
    socklen_t length;
    if (family == AF_INET6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_any;
      length = sizeof(sockaddr_in6);
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(&local);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_ANY);
      length = sizeof(sockaddr_in);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      const int error = errno;
      ::close(fd);
      return posixError(error);
    }
    const std::uint16_t port = family == AF_INET6
                                   ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&local)->sin_port;
    if (family == AF_INET) {
      const int on = 1;
      ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    }
    return std::unique_ptr<IcmpSocket>(new LinuxIcmpSocket(fd, family, ntohs(port)));
  }

  void log(std::string_view line) override {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
};

}  // namespace

int socketAddressFamily(const SocketAddress& address) {
  if (address.size() < offsetof(sockaddr_storage, ss_family) + sizeof(sa_family_t)) return 0;
  sa_family_t family;
  std::memcpy(&family, address.data() + offsetof(sockaddr_storage, ss_family), sizeof family);
  return family;
}

std::optional<std::string> socketAddressText(const SocketAddress& address) {
  // 64 bytes hold every IPv4 and IPv6 text.
  char text[64] = {};
  const int family = socketAddressFamily(address);
  if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    sockaddr_in in;
    std::memcpy(&in, address.data(), sizeof in);
    if (::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text) == nullptr) return std::nullopt;
    return std::string(text);
  }
  if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    sockaddr_in6 in6;
    std::memcpy(&in6, address.data(), sizeof in6);
    if (::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text) == nullptr) return std::nullopt;
    return std::string(text);
  }
  return std::nullopt;
}

std::shared_ptr<PingSystem> PingSystem::standard() {
  static auto* system = new std::shared_ptr<PingSystem>(std::make_shared<LinuxPingSystem>());
  return *system;
}

}  // namespace vandrel::ping
