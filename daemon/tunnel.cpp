#include "daemon/tunnel.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "daemon/relay_main.h"
#include "daemon/relay_packet.h"
#include "daemon/routes.h"
#include "helper/route_validation.h"
#include "platform/file_io.h"

namespace vandrel::daemon {
namespace {

using platform::Result;
using platform::UniqueFd;
using namespace std::chrono_literals;

// The interface's IPv6 side, of the daemon's choosing (a unique local
// network): the interface's own address and the relay's fake peer.
constexpr std::string_view kTun6Address = "fd76:616e:6472:656c::2";
constexpr std::string_view kTun6Peer = "fd76:616e:6472:656c::1";
constexpr int kTun6Prefix = 64;
// Two halves of each address space: more specific than any default route,
// which stays as it was.
constexpr std::string_view kTunRoutes4[] = {"0.0.0.0/1", "128.0.0.0/1"};
constexpr std::string_view kTunRoutes6[] = {"::/1", "8000::/1"};
constexpr auto kResolveTimeout = 5s;
constexpr int kListenBacklog = 1024;

platform::Error tunnelError(int code, const std::string& message) {
  return platform::Error{"vandrel.daemon.tunnel", code, message};
}

bool ipv6Available() {
  struct stat st {};
  return ::stat("/proc/sys/net/ipv6/conf/all", &st) == 0;
}

Result<UniqueFd> openTun(const std::string& name) {
  UniqueFd fd(::open("/dev/net/tun", O_RDWR | O_CLOEXEC));
  if (!fd) return tunnelError(errno, std::string("cannot open /dev/net/tun: ") + std::strerror(errno));
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  // A virtio-net header with each packet lets the kernel hand over large
  // TCP segments with their checksum left to finish: far fewer packets.
  request.ifr_flags = IFF_TUN | IFF_NO_PI | IFF_VNET_HDR;
  if (::ioctl(fd.get(), TUNSETIFF, &request) != 0) {
    return tunnelError(errno, "cannot create the TUN interface " + name + ": " +
                                  std::strerror(errno));
  }
  int headerSize = static_cast<int>(relay::kVnetHeaderSize);
  const unsigned offloads = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6;
  if (::ioctl(fd.get(), TUNSETVNETHDRSZ, &headerSize) != 0 ||
      ::ioctl(fd.get(), TUNSETOFFLOAD, offloads) != 0) {
    return tunnelError(errno, "cannot set up the TUN interface " + name + ": " +
                                  std::strerror(errno));
  }
  return fd;
}

// A listener on the interface's own address, reachable only through it.
Result<UniqueFd> listenOn(const std::string& device, const IpAddress& address) {
  UniqueFd fd(::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  sockaddr_storage where{};
  if (address.family == AF_INET) {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&where);
    in4->sin_family = AF_INET;
    std::memcpy(&in4->sin_addr, address.bytes.data(), 4);
    length = sizeof(sockaddr_in);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&where);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, address.bytes.data(), 16);
    length = sizeof(sockaddr_in6);
  }
  const int on = 1;
  if (!fd ||
      ::setsockopt(fd.get(), SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                   static_cast<socklen_t>(device.size())) != 0 ||
      (address.family == AF_INET6 &&
       ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) ||
      ::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), length) != 0 ||
      ::listen(fd.get(), kListenBacklog) != 0) {
    return tunnelError(errno, "cannot listen on " + address.text() + ": " + std::strerror(errno));
  }
  return fd;
}

std::string routeSpec(const IpAddress& address) {
  return address.text() + (address.family == AF_INET ? "/32" : "/128");
}

}  // namespace

struct Tunnel::Impl {
  TunSettings settings;
  Supervisor& supervisor;
  const StateFiles& state;
  std::function<void(std::string_view)> log;
  platform::ProcessRunner& runner = platform::ProcessRunner::system();
  UniqueFd tun;
  pid_t relay = 0;
  bool ipv6 = false;
  std::vector<std::string> excludeRoutes;
  bool stopped = false;

  Impl(TunSettings s, Supervisor& sup, const StateFiles& st,
       std::function<void(std::string_view)> l)
      : settings(std::move(s)), supervisor(sup), state(st), log(std::move(l)) {}

  Result<void> writeRecord() const {
    std::string text = "link " + settings.name + "\n";
    for (const auto& route : excludeRoutes) text += "route " + route + "\n";
    return state.write(kTunnelRecord, text);
  }

  Result<void> addExcludeRoutes();
  Result<void> configureInterface();
  Result<void> startRelay(const Options& options);
  Result<void> routeIntoTunnel();
  void stop();
};

Result<void> Tunnel::Impl::addExcludeRoutes() {
  std::vector<IpAddress> addresses;
  std::vector<std::string> names;
  for (const auto& entry : settings.exclude) {
    if (entry.address) {
      addresses.push_back(*entry.address);
    } else {
      names.push_back(entry.hostName);
    }
  }
  const auto resolved = resolveAll(names, kResolveTimeout);
  addresses.insert(addresses.end(), resolved.begin(), resolved.end());
  for (const auto& address : addresses) {
    const std::string spec = routeSpec(address);
    if (std::find(excludeRoutes.begin(), excludeRoutes.end(), spec) != excludeRoutes.end()) continue;
    if (address.family == AF_INET6 && !ipv6) continue;
    const auto path = physicalRoute(runner, address);
    if (!path) {
      log("exclude " + address.text() + ": no physical route, left alone");
      continue;
    }
    std::vector<std::string> arguments;
    if (address.family == AF_INET6) arguments.push_back("-6");
    arguments.insert(arguments.end(), {"route", "add", spec});
    if (!path->gateway.empty()) arguments.insert(arguments.end(), {"via", path->gateway});
    arguments.insert(arguments.end(), {"dev", path->device});
    // A route that is there already is someone else's: kept, not recorded.
    if (auto added = runIp(runner, arguments); !added) {
      log("exclude " + spec + " not added: " + added.error().message);
      continue;
    }
    excludeRoutes.push_back(spec);
    if (auto recorded = writeRecord(); !recorded) return recorded;
  }
  return platform::success();
}

Result<void> Tunnel::Impl::configureInterface() {
  const std::string& name = settings.name;
  auto step = runIp(runner, {"link", "set", "dev", name, "mtu", std::to_string(settings.mtu), "up"});
  if (!step) return step.error();
  step = runIp(runner, {"address", "add",
                        settings.address.text() + "/" + std::to_string(settings.prefix), "dev",
                        name});
  if (!step) return step.error();
  if (!ipv6) return platform::success();
  const std::string disable = "/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6";
  UniqueFd sysctl(::open(disable.c_str(), O_WRONLY | O_CLOEXEC));
  if (!sysctl || !platform::writeAll(sysctl.get(), "0")) {
    return tunnelError(errno, "cannot enable IPv6 on " + name);
  }
  step = runIp(runner, {"-6", "address", "add",
                        std::string(kTun6Address) + "/" + std::to_string(kTun6Prefix), "dev",
                        name, "nodad"});
  if (!step) return step.error();
  return platform::success();
}

Result<void> Tunnel::Impl::startRelay(const Options& options) {
  auto listener4 = listenOn(settings.name, settings.address);
  if (!listener4) return listener4.error();
  ChildSpec spec;
  spec.name = "tun relay";
  spec.executable = options.selfExecutable;
  spec.argv = {"Vandrel-server-daemon", std::string(kRelayFlag),
               "tun4=" + settings.address.text(), "peer4=" + settings.gateway.text(),
               "socks=" + (settings.socks.address.family == AF_INET6
                               ? "[" + settings.socks.address.text() + "]"
                               : settings.socks.address.text()) +
                   ":" + std::to_string(settings.socks.port)};
  spec.environment = {"PATH=/usr/bin:/bin"};
  spec.fds = {tun.get(), listener4.value().get()};
  UniqueFd listener6;
  if (ipv6) {
    auto listening = listenOn(settings.name, *IpAddress::parse(kTun6Address));
    if (!listening) return listening.error();
    listener6 = std::move(listening.value());
    spec.argv.push_back("tun6=" + std::string(kTun6Address));
    spec.argv.push_back("peer6=" + std::string(kTun6Peer));
    spec.fds.push_back(listener6.get());
  }
  auto started = supervisor.start(spec);
  if (!started) return started.error();
  relay = started.value();
  return platform::success();
}

Result<void> Tunnel::Impl::routeIntoTunnel() {
  for (const auto route : kTunRoutes4) {
    auto added = runIp(runner, {"route", "add", std::string(route), "dev", settings.name});
    if (!added) return added.error();
  }
  if (!ipv6) return platform::success();
  for (const auto route : kTunRoutes6) {
    auto added = runIp(runner, {"-6", "route", "add", std::string(route), "dev", settings.name});
    if (!added) return added.error();
  }
  return platform::success();
}

void Tunnel::Impl::stop() {
  if (stopped) return;
  stopped = true;
  if (relay != 0) supervisor.stop(relay, 0ms);
  // The interface (and every route through it) goes with its last descriptor.
  tun.reset();
  if (interfaceExists(settings.name) && isTunInterface(settings.name)) {
    (void)runIp(runner, {"link", "delete", settings.name});
  }
  for (const auto& spec : excludeRoutes) {
    const auto route = helper::RouteSpec::parse(spec);
    if (!route) continue;
    auto argv = route->deleteArgv();
    argv.erase(argv.begin());  // "ip"
    if (auto deleted = runIp(runner, argv); !deleted) log(deleted.error().message);
  }
  excludeRoutes.clear();
  state.remove(kTunnelRecord);
  log("tunnel " + settings.name + " removed");
}

Result<std::unique_ptr<Tunnel>> Tunnel::start(const TunSettings& settings, Supervisor& supervisor,
                                              const StateFiles& state, const Options& options,
                                              std::function<void(std::string_view)> log) {
  if (interfaceExists(settings.name)) {
    return tunnelError(EEXIST, "an interface named " + settings.name + " exists already");
  }
  auto impl = std::make_unique<Impl>(settings, supervisor, state, std::move(log));
  impl->ipv6 = ipv6Available();
  std::unique_ptr<Tunnel> tunnel(new Tunnel(std::move(impl)));
  Impl& t = *tunnel->impl_;
  // Written before anything changes: a kill at any step leaves the record.
  Result<void> done = t.writeRecord();
  if (done) done = t.addExcludeRoutes();
  if (done) {
    auto tun = openTun(settings.name);
    if (tun) {
      t.tun = std::move(tun.value());
    } else {
      done = tun.error();
    }
  }
  if (done) done = t.configureInterface();
  if (done) done = t.startRelay(options);
  if (done) done = t.routeIntoTunnel();
  if (!done) {
    t.stop();
    return done.error();
  }
  t.log("tunnel " + settings.name + " up with " + std::to_string(t.excludeRoutes.size()) +
        " exclude routes");
  return tunnel;
}

Tunnel::Tunnel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Tunnel::~Tunnel() { impl_->stop(); }

void Tunnel::stop() { impl_->stop(); }

const std::vector<std::string>& Tunnel::excludeRoutes() const { return impl_->excludeRoutes; }

pid_t Tunnel::relayPid() const { return impl_->relay; }

std::optional<std::string> Tunnel::takeEnded() {
  if (impl_->relay == 0 || impl_->supervisor.running(impl_->relay)) return std::nullopt;
  return impl_->supervisor.takeEnded(impl_->relay);
}

void clearTunnel(const StateFiles& state, const std::function<void(std::string_view)>& log) {
  const auto record = state.read(kTunnelRecord);
  if (!record) return;
  auto& runner = platform::ProcessRunner::system();
  std::istringstream lines(*record);
  std::string kind, value;
  while (lines >> kind >> value) {
    if (kind == "link") {
      // Only a TUN interface: never a real one that took the name since.
      if (interfaceExists(value) && isTunInterface(value)) {
        auto deleted = runIp(runner, {"link", "delete", value});
        log(deleted ? "-clear: removed the interface " + value : deleted.error().message);
      }
    } else if (kind == "route") {
      const auto route = helper::RouteSpec::parse(value);
      if (!route) continue;
      auto argv = route->deleteArgv();
      argv.erase(argv.begin());
      auto deleted = runIp(runner, argv);
      log(deleted ? "-clear: removed the route " + value : deleted.error().message);
    }
  }
  state.remove(kTunnelRecord);
}

}  // namespace vandrel::daemon
