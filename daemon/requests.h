#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daemon/request_checks.h"
#include "platform/result.h"

// Each request as the wire brings it (plain fields, enum values as numbers)
// and the typed settings it must turn into before the daemon acts on it.
// A request that does not turn into settings is refused with the error's
// message as the answer's Error.
namespace vandrel::daemon {

// ---- StartSS ----------------------------------------------------------------

// SSType on the wire.
inline constexpr std::int32_t kTypeSs = 0;
inline constexpr std::int32_t kTypeSsw = 1;

struct SsRequest {
  std::string server;
  std::int64_t port = 0;
  std::string method;
  std::string password;
  std::int64_t localPort = 0;
  std::int32_t type = kTypeSs;
  std::string url;
  std::string username;
};

// SSW: the line's websocket endpoint, carried by the packaged websocket
// transport of the same protocol family.
struct WebSocketTransport {
  std::string host;  // the Host the websocket asks for
  std::string path;  // starts with "/"
  bool tls = false;  // "wss"
};

struct SsSettings {
  std::string server;  // address or host name
  int port = 0;
  std::string method;  // one of kSsMethods, lower case
  std::string password;
  int localPort = 0;
  std::optional<WebSocketTransport> webSocket;
};

// The ciphers the packaged Shadowsocks client knows.
const std::vector<std::string>& ssMethods();

platform::Result<SsSettings> checkSsRequest(const SsRequest& request);

// ---- StartHttpProxy ------------------------------------------------------------

struct HttpProxyRequest {
  std::string server;
  std::int64_t port = 0;
  std::string s5Addr;
  std::int64_t s5Port = 0;
};

struct HttpProxySettings {
  IpAddress listenAddress;
  int listenPort = 0;
  IpAddress socksAddress;
  int socksPort = 0;
};

platform::Result<HttpProxySettings> checkHttpProxyRequest(const HttpProxyRequest& request);

// ---- SetSystemProxy / StopSystemProxy -------------------------------------------

inline constexpr std::int32_t kModeGlobal = 0;
inline constexpr std::int32_t kModeIntelligent = 1;

struct SystemProxyRequest {
  std::int32_t mode = kModeGlobal;
  std::string httpProxyAddr;
  std::int64_t httpProxyPort = 0;
  std::int64_t pacServerPort = 0;
  std::vector<std::string> domains;
  std::vector<std::string> nets;
};

struct SystemProxySettings {
  bool intelligent = false;
  IpAddress proxyAddress;
  int proxyPort = 0;
  int pacPort = 0;
  // Intelligent: the domains (and networks) that go through the proxy.
  // Empty entries of the request are dropped, so an empty or blank list
  // sends nothing through the proxy.
  std::vector<std::string> domains;
  std::vector<IpNetwork> nets;
};

platform::Result<SystemProxySettings> checkSystemProxyRequest(const SystemProxyRequest& request);

struct StopSystemProxyRequest {
  std::int32_t mode = kModeGlobal;
  std::string httpProxyAddr;
  std::int64_t httpProxyPort = 0;
};

// Only checked: the stop restores what the start saved, whatever it names.
platform::Result<void> checkStopSystemProxyRequest(const StopSystemProxyRequest& request);

// ---- StartTun2socks ------------------------------------------------------------

// Linux names interfaces with at most this many bytes; a longer requested
// name becomes kShortTunName.
inline constexpr std::size_t kMaxInterfaceName = 15;
inline constexpr std::string_view kShortTunName = "vandrel-tun";

struct TunRequest {
  std::string tunName;
  std::string tunAddr;
  std::string tunMask;
  std::string tunGateway;
  std::vector<std::string> dns;
  std::int64_t mtu = 0;
  std::string socksAddr;
  bool enableDnsCache = false;
  std::vector<std::string> exclude;
};

// One entry of the exclude list: an address, or a host name to resolve at
// start.
struct ExcludeEntry {
  std::optional<IpAddress> address;
  std::string hostName;
};

struct TunSettings {
  std::string name;  // at most kMaxInterfaceName bytes
  IpAddress address;
  int prefix = 0;
  IpAddress gateway;
  int mtu = 0;
  LoopbackEndpoint socks;
  std::vector<ExcludeEntry> exclude;  // empty entries dropped
};

inline constexpr std::size_t kMaxExcludeEntries = 256;

platform::Result<TunSettings> checkTunRequest(const TunRequest& request);

}  // namespace vandrel::daemon
