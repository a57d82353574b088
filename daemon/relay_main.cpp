// The TUN relay: the daemon's own executable started as its child, as the
// unprivileged user, with descriptor 3 the TUN interface, 4 the listener
// on its IPv4 address and, with tun6=, 5 the listener on its IPv6 address.
//
//   Vandrel-server-daemon --tun-relay tun4=ADDR peer4=ADDR socks=127.0.0.1:PORT
//                         [tun6=ADDR peer6=ADDR]

#include "daemon/relay_main.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "daemon/relay_engine.h"
#include "daemon/relay_tcp.h"
#include "daemon/relay_udp.h"
#include "platform/process.h"

namespace vandrel::daemon {
namespace {

constexpr int kTunFd = 3;
constexpr int kListener4Fd = 4;
constexpr int kListener6Fd = 5;

void say(std::string_view line) {
  const std::string text = "tun relay: " + std::string(line) + "\n";
  (void)!::write(STDERR_FILENO, text.data(), text.size());
}

int usage(const std::string& why) {
  say("bad arguments: " + why);
  return 2;
}

// The port a listening socket of `family` is bound to, or 0 when the
// descriptor is no such socket.
std::uint16_t listenerPort(int fd, int family) {
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  int listening = 0;
  socklen_t size = sizeof(listening);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      address.ss_family != family ||
      ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening) {
    return 0;
  }
  return family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port)
                           : ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

}  // namespace

int relayMain(int argc, char** argv) {
  std::map<std::string, std::string> values;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto equals = argument.find('=');
    if (equals == std::string::npos || !values.emplace(argument.substr(0, equals),
                                                       argument.substr(equals + 1)).second) {
      return usage(argument);
    }
  }
  const auto address = [&](const std::string& key, int family) -> std::optional<IpAddress> {
    const auto found = values.find(key);
    if (found == values.end()) return std::nullopt;
    auto parsed = IpAddress::parse(found->second);
    if (!parsed || parsed->family != family) return std::nullopt;
    return parsed;
  };
  const auto tun4 = address("tun4", AF_INET);
  const auto peer4 = address("peer4", AF_INET);
  const auto tun6 = address("tun6", AF_INET6);
  const auto peer6 = address("peer6", AF_INET6);
  auto socks = checkLoopbackEndpoint("socks", values.count("socks") ? values["socks"] : "");
  const std::size_t expected = 3 + (values.count("tun6") ? 2 : 0);
  if (!tun4 || !peer4 || !socks || values.size() != expected ||
      (values.count("tun6") && (!tun6 || !peer6))) {
    return usage("tun4=, peer4=, socks= and optionally tun6= with peer6= are needed");
  }
  relay::TunSide v4{*tun4, *peer4, listenerPort(kListener4Fd, AF_INET)};
  std::optional<relay::TunSide> v6;
  if (tun6) v6 = relay::TunSide{*tun6, *peer6, listenerPort(kListener6Fd, AF_INET6)};
  if (v4.listenerPort == 0 || (v6 && v6->listenerPort == 0)) {
    return usage("descriptors 4 (and 5) must be listening sockets");
  }
  platform::ignoreSigpipe();

  relay::TcpFlows flows;
  relay::TcpRelay tcp(flows, socks.value(), say);
  tcp.serve(kListener4Fd, AF_INET, v4.fakePeer);
  if (v6) tcp.serve(kListener6Fd, AF_INET6, v6->fakePeer);
  relay::UdpRelay udp(
      socks.value(),
      [](const std::vector<std::uint8_t>& packet) { relay::TunEngine::writePacket(kTunFd, packet); },
      say);
  say("relaying to SOCKS5 at " + values["socks"]);
  relay::TunEngine engine(kTunFd, v4, v6, flows, udp, say);
  const int status = engine.run();
  std::_Exit(status);  // threads still block in accept and poll
}

}  // namespace vandrel::daemon
