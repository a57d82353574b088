#pragma once

#include <memory>
#include <string>

#include "daemon/requests.h"
#include "platform/result.h"

// The proxy auto-configuration file of the Intelligent mode, served over
// plain HTTP on the loopback interface to the desktop's proxy resolver.
namespace vandrel::daemon {

// The script: the listed domains (and their subdomains) and networks go
// through the HTTP proxy, everything else DIRECT. With nothing listed,
// everything goes DIRECT.
std::string pacScript(const SystemProxySettings& settings);

// The path the desktop is pointed at.
inline constexpr std::string_view kPacPath = "/proxy.pac";

// Serves `script` on 127.0.0.1:`port` to every GET, one connection at a
// time on its own thread, until destroyed.
class PacServer {
 public:
  static platform::Result<std::unique_ptr<PacServer>> start(int port, std::string script);
  ~PacServer();
  PacServer(const PacServer&) = delete;
  PacServer& operator=(const PacServer&) = delete;

  int port() const;
  struct Impl;

 private:
  explicit PacServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vandrel::daemon
