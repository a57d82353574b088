#include "daemon/caller_identity.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/file_io.h"

namespace vandrel::daemon {
namespace {

constexpr std::string_view kIdentityDomain = "vandrel.daemon.caller";
constexpr int kReplyTimeoutMs = 2000;

platform::Error identityError(int code, const std::string& message) {
  return platform::Error{std::string(kIdentityDomain), code, message};
}

void copyAddress(const IpAddress& address, __be32 (&out)[4]) {
  std::memcpy(out, address.bytes.data(), address.size());
}

}  // namespace

std::optional<TcpEndpoint> parsePeer(std::string_view peer) {
  std::string_view rest;
  if (peer.rfind("ipv4:", 0) == 0) {
    rest = peer.substr(5);
  } else if (peer.rfind("ipv6:", 0) == 0) {
    rest = peer.substr(5);
  } else {
    return std::nullopt;
  }
  const auto colon = rest.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = rest.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::string_view digits = rest.substr(colon + 1);
  int port = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  const auto address = IpAddress::parse(host);
  if (!address || ec != std::errc() || end != digits.data() + digits.size() || port < 1 ||
      port > 65535) {
    return std::nullopt;
  }
  return TcpEndpoint{*address, port};
}

platform::Result<uid_t> loopbackPeerUid(const TcpEndpoint& peer, const TcpEndpoint& local) {
  if (peer.address.family != local.address.family) {
    return identityError(EAFNOSUPPORT, "the peer and our end differ in address family");
  }
  platform::UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!fd) return identityError(errno, std::string("sock_diag: ") + std::strerror(errno));

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = 1;
  message.request.sdiag_family = static_cast<__u8>(peer.address.family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0U;
  // The peer's socket: its own end is the peer endpoint, its far end ours.
  message.request.id.idiag_sport = htons(static_cast<std::uint16_t>(peer.port));
  message.request.id.idiag_dport = htons(static_cast<std::uint16_t>(local.port));
  copyAddress(peer.address, message.request.id.idiag_src);
  copyAddress(local.address, message.request.id.idiag_dst);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd.get(), &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) != static_cast<ssize_t>(sizeof(message))) {
    return identityError(errno, std::string("sock_diag request: ") + std::strerror(errno));
  }
  pollfd ready{fd.get(), POLLIN, 0};
  if (::poll(&ready, 1, kReplyTimeoutMs) != 1) {
    return identityError(ETIMEDOUT, "sock_diag gave no answer");
  }
  alignas(nlmsghdr) char buffer[8192];
  const ssize_t n = ::recv(fd.get(), buffer, sizeof(buffer), 0);
  if (n < 0) return identityError(errno, std::string("sock_diag reply: ") + std::strerror(errno));
  int left = static_cast<int>(n);
  for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
       header = NLMSG_NEXT(header, left)) {
    if (header->nlmsg_type == NLMSG_ERROR) {
      const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
      const int code = error->error < 0 ? -error->error : ENOENT;
      return identityError(code, "no such connection: " + std::string(std::strerror(code)));
    }
    if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      return static_cast<uid_t>(found->idiag_uid);
    }
  }
  return identityError(ENOENT, "no such connection");
}

}  // namespace vandrel::daemon
