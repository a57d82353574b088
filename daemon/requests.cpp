#include "daemon/requests.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace vandrel::daemon {
namespace {

using platform::Result;

// What the client sends for an absent optional field of an SSW line.
constexpr std::string_view kAbsent = "None";
constexpr std::size_t kMaxPassword = 512;
constexpr std::size_t kMaxUsername = 128;
constexpr std::size_t kMaxUrl = 1024;
constexpr std::size_t kMaxDomains = 20000;
constexpr std::size_t kMaxNets = 4096;
constexpr std::size_t kMaxDnsServers = 16;
constexpr int kMinMtu = 1280;  // IPv6 needs it on the interface
constexpr int kMaxMtu = 9000;
// Below this the local endpoints would need privileges their unprivileged
// programs do not have.
constexpr int kLowestLocalPort = 1024;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A host to connect to: a host name or a unicast address.
bool isRemoteHost(std::string_view text) {
  if (isHostName(text)) return true;
  const auto address = IpAddress::parse(text);
  return address && !address->isUnspecifiedOrMulticast();
}

bool isPathByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '-' || c == '.' ||
         c == '_' || c == '~' || c == '%';
}

// "ws://HOST[:PORT]/PATH" or "wss://...". The connection itself goes to
// Server:Port; the URL names the websocket's Host, its path and whether
// TLS carries it.
Result<WebSocketTransport> parseWebSocketUrl(std::string_view url) {
  const auto refuse = [&] {
    return requestError("URL must be a ws:// or wss:// URL with a host and a plain path, not " +
                        quoted(url));
  };
  WebSocketTransport transport;
  std::string_view rest;
  if (url.size() > kMaxUrl) return refuse();
  if (url.rfind("wss://", 0) == 0) {
    transport.tls = true;
    rest = url.substr(6);
  } else if (url.rfind("ws://", 0) == 0) {
    rest = url.substr(5);
  } else {
    return refuse();
  }
  const auto slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  transport.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  if (!std::all_of(transport.path.begin(), transport.path.end(), isPathByte)) return refuse();
  std::string_view host = authority;
  if (!authority.empty() && authority.front() == '[') {
    const auto close = authority.find(']');
    if (close == std::string_view::npos) return refuse();
    host = authority.substr(1, close - 1);
    authority = authority.substr(close + 1);
  } else {
    const auto colon = authority.find(':');
    host = authority.substr(0, colon);
    authority = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  if (!authority.empty()) {  // ":PORT"
    const std::string_view digits = authority.substr(1);
    int port = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (authority.front() != ':' || digits.empty() || ec != std::errc() ||
        end != digits.data() + digits.size() || port < 1 || port > 65535) {
      return refuse();
    }
  }
  if (!isRemoteHost(host)) return refuse();
  transport.host = std::string(host);
  return transport;
}

Result<std::string> checkDomain(std::string_view entry) {
  std::string_view name = entry;
  if (name.rfind("*.", 0) == 0) {
    name.remove_prefix(2);
  } else if (!name.empty() && name.front() == '.') {
    name.remove_prefix(1);
  }
  if (!isHostName(name) && !IpAddress::parse(name)) {
    return requestError("Domains holds " + quoted(entry) + ", which is not a domain name");
  }
  std::string normal = lower(std::string(name));
  if (!normal.empty() && normal.back() == '.') normal.pop_back();
  return normal;
}

Result<int> netmaskPrefix(std::string_view text) {
  const auto mask = IpAddress::parse(text);
  const auto refuse = [&] {
    return requestError("TunMask must be an IPv4 netmask from /8 to /30, not " + quoted(text));
  };
  if (!mask || mask->family != AF_INET) return refuse();
  const std::uint32_t bits = (std::uint32_t{mask->bytes[0]} << 24) |
                             (std::uint32_t{mask->bytes[1]} << 16) |
                             (std::uint32_t{mask->bytes[2]} << 8) | mask->bytes[3];
  const int prefix = __builtin_popcount(bits);
  const std::uint32_t contiguous = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  if (bits != contiguous || prefix < 8 || prefix > 30) return refuse();
  return prefix;
}

std::uint32_t v4Value(const IpAddress& address) {
  return (std::uint32_t{address.bytes[0]} << 24) | (std::uint32_t{address.bytes[1]} << 16) |
         (std::uint32_t{address.bytes[2]} << 8) | address.bytes[3];
}

Result<IpAddress> checkTunAddress(std::string_view field, std::string_view text) {
  const auto address = IpAddress::parse(text);
  if (!address || address->family != AF_INET || address->isUnspecifiedOrMulticast() ||
      address->isLoopback()) {
    return requestError(std::string(field) + " must be a unicast IPv4 address, not " +
                        quoted(text));
  }
  return *address;
}

Result<std::string> checkTunName(std::string_view name) {
  const bool clean = !name.empty() && name != "." && name != ".." &&
                     std::all_of(name.begin(), name.end(), [](char c) {
                       return std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
                              c == '-' || c == '.';
                     });
  if (!clean || name.size() > 255) {
    return requestError("TunName must be an interface name (letters, digits, '_', '-', '.'), not " +
                        quoted(name));
  }
  if (name.size() > kMaxInterfaceName) return std::string(kShortTunName);
  return std::string(name);
}

Result<std::vector<ExcludeEntry>> checkExclude(const std::vector<std::string>& entries) {
  if (entries.size() > kMaxExcludeEntries) {
    return requestError("Exclude holds " + std::to_string(entries.size()) +
                        " entries; at most " + std::to_string(kMaxExcludeEntries) + " are taken");
  }
  std::vector<ExcludeEntry> exclude;
  for (const auto& entry : entries) {
    if (entry.empty()) continue;
    ExcludeEntry item;
    if (auto address = IpAddress::parse(entry)) {
      if (address->isUnspecifiedOrMulticast()) {
        return requestError("Exclude holds " + quoted(entry) + ", which is no remote address");
      }
      // Loopback never goes through the tunnel: nothing to keep out of it.
      if (address->isLoopback()) continue;
      item.address = *address;
    } else if (isHostName(entry)) {
      item.hostName = entry;
    } else {
      return requestError("Exclude holds " + quoted(entry) +
                          ", which is neither an address nor a host name");
    }
    exclude.push_back(std::move(item));
  }
  return exclude;
}

}  // namespace

const std::vector<std::string>& ssMethods() {
  static const auto* methods = new std::vector<std::string>{
      "rc4-md5",          "aes-128-gcm",      "aes-192-gcm",
      "aes-256-gcm",      "aes-128-cfb",      "aes-192-cfb",
      "aes-256-cfb",      "aes-128-ctr",      "aes-192-ctr",
      "aes-256-ctr",      "camellia-128-cfb", "camellia-192-cfb",
      "camellia-256-cfb", "bf-cfb",           "chacha20-ietf-poly1305",
      "xchacha20-ietf-poly1305", "salsa20",   "chacha20",
      "chacha20-ietf"};
  return *methods;
}

Result<SsSettings> checkSsRequest(const SsRequest& request) {
  SsSettings settings;
  if (request.type != kTypeSs && request.type != kTypeSsw) {
    return requestError("Type must be SS or SSW, not " + std::to_string(request.type));
  }
  const bool ssw = request.type == kTypeSsw;
  if (ssw && (request.server.empty() || request.server == kAbsent)) {
    return requestError("Server is missing: the SSW line has no host");
  }
  if (!isRemoteHost(request.server)) {
    return requestError("Server must be a host name or address, not " + quoted(request.server));
  }
  settings.server = request.server;
  auto port = checkPort("Port", request.port);
  if (!port) return port.error();
  settings.port = port.value();
  settings.method = lower(request.method);
  const auto& methods = ssMethods();
  if (std::find(methods.begin(), methods.end(), settings.method) == methods.end()) {
    return requestError("Method " + quoted(request.method) + " is not a known cipher");
  }
  if (request.password.empty() || request.password.size() > kMaxPassword ||
      hasControlBytes(request.password)) {
    return requestError("Password must be 1 to " + std::to_string(kMaxPassword) +
                        " bytes without control characters");
  }
  settings.password = request.password;
  auto localPort = checkPort("LocalPort", request.localPort, kLowestLocalPort);
  if (!localPort) return localPort.error();
  settings.localPort = localPort.value();
  if (request.username.size() > kMaxUsername || hasControlBytes(request.username)) {
    return requestError("Username must be at most " + std::to_string(kMaxUsername) +
                        " bytes without control characters");
  }
  if (!ssw) {
    if (!request.url.empty()) return requestError("URL is only taken with Type SSW");
    return settings;
  }
  if (request.url.empty() || request.url == kAbsent) {
    return requestError("URL is missing: the SSW line has no websocket URL");
  }
  auto transport = parseWebSocketUrl(request.url);
  if (!transport) return transport.error();
  settings.webSocket = std::move(transport.value());
  return settings;
}

Result<HttpProxySettings> checkHttpProxyRequest(const HttpProxyRequest& request) {
  HttpProxySettings settings;
  auto listen = checkLoopback("Server", request.server);
  if (!listen) return listen.error();
  auto port = checkPort("Port", request.port, kLowestLocalPort);
  if (!port) return port.error();
  auto socks = checkLoopback("S5Addr", request.s5Addr);
  if (!socks) return socks.error();
  auto socksPort = checkPort("S5Port", request.s5Port);
  if (!socksPort) return socksPort.error();
  if (listen.value() == socks.value() && port.value() == socksPort.value()) {
    return requestError("Port and S5Port name the same endpoint");
  }
  settings.listenAddress = listen.value();
  settings.listenPort = port.value();
  settings.socksAddress = socks.value();
  settings.socksPort = socksPort.value();
  return settings;
}

Result<SystemProxySettings> checkSystemProxyRequest(const SystemProxyRequest& request) {
  if (request.mode != kModeGlobal && request.mode != kModeIntelligent) {
    return requestError("Mode must be Global or Intelligent, not " + std::to_string(request.mode));
  }
  SystemProxySettings settings;
  settings.intelligent = request.mode == kModeIntelligent;
  auto address = checkLoopback("HttpProxyAddr", request.httpProxyAddr);
  if (!address) return address.error();
  settings.proxyAddress = address.value();
  auto port = checkPort("HttpProxyPort", request.httpProxyPort);
  if (!port) return port.error();
  settings.proxyPort = port.value();
  auto pac = checkPort("PacServerPort", request.pacServerPort, kLowestLocalPort);
  if (settings.intelligent && !pac) return pac.error();
  settings.pacPort = pac ? pac.value() : 0;
  if (request.domains.size() > kMaxDomains || request.nets.size() > kMaxNets) {
    return requestError("Domains and Nets take at most " + std::to_string(kMaxDomains) + " and " +
                        std::to_string(kMaxNets) + " entries");
  }
  for (const auto& entry : request.domains) {
    if (entry.empty()) continue;
    auto domain = checkDomain(entry);
    if (!domain) return domain.error();
    settings.domains.push_back(std::move(domain.value()));
  }
  for (const auto& entry : request.nets) {
    if (entry.empty()) continue;
    const auto net = IpNetwork::parse(entry);
    if (!net) return requestError("Nets holds " + quoted(entry) + ", which is not a network");
    settings.nets.push_back(*net);
  }
  return settings;
}

Result<void> checkStopSystemProxyRequest(const StopSystemProxyRequest& request) {
  if (request.mode != kModeGlobal && request.mode != kModeIntelligent) {
    return requestError("Mode must be Global or Intelligent, not " + std::to_string(request.mode));
  }
  if (!request.httpProxyAddr.empty()) {
    auto address = checkLoopback("HttpProxyAddr", request.httpProxyAddr);
    if (!address) return address.error();
  }
  if (request.httpProxyPort != 0) {
    auto port = checkPort("HttpProxyPort", request.httpProxyPort);
    if (!port) return port.error();
  }
  return platform::success();
}

Result<TunSettings> checkTunRequest(const TunRequest& request) {
  TunSettings settings;
  auto name = checkTunName(request.tunName);
  if (!name) return name.error();
  settings.name = std::move(name.value());
  auto address = checkTunAddress("TunAddr", request.tunAddr);
  if (!address) return address.error();
  auto prefix = netmaskPrefix(request.tunMask);
  if (!prefix) return prefix.error();
  auto gateway = checkTunAddress("TunGateway", request.tunGateway);
  if (!gateway) return gateway.error();
  const std::uint32_t mask = ~std::uint32_t{0} << (32 - prefix.value());
  const std::uint32_t host = v4Value(address.value()) & ~mask;
  const std::uint32_t gatewayHost = v4Value(gateway.value()) & ~mask;
  if ((v4Value(address.value()) & mask) != (v4Value(gateway.value()) & mask) ||
      address.value() == gateway.value() || host == 0 || host == ~mask || gatewayHost == 0 ||
      gatewayHost == ~mask) {
    return requestError("TunAddr and TunGateway must be two host addresses of one network");
  }
  settings.address = address.value();
  settings.prefix = prefix.value();
  settings.gateway = gateway.value();
  if (request.mtu < kMinMtu || request.mtu > kMaxMtu) {
    return requestError("MTU must be from " + std::to_string(kMinMtu) + " to " +
                        std::to_string(kMaxMtu) + ", not " + std::to_string(request.mtu));
  }
  settings.mtu = static_cast<int>(request.mtu);
  auto socks = checkLoopbackEndpoint("SocksAddr", request.socksAddr);
  if (!socks) return socks.error();
  settings.socks = socks.value();
  if (request.dns.size() > kMaxDnsServers) {
    return requestError("DNS takes at most " + std::to_string(kMaxDnsServers) + " servers");
  }
  for (const auto& server : request.dns) {
    if (!server.empty() && !IpAddress::parse(server)) {
      return requestError("DNS holds " + quoted(server) + ", which is not an address");
    }
  }
  auto exclude = checkExclude(request.exclude);
  if (!exclude) return exclude.error();
  settings.exclude = std::move(exclude.value());
  return settings;
}

}  // namespace vandrel::daemon
