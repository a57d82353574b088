#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/requests.h"
#include "daemon/state_files.h"
#include "daemon/supervisor.h"
#include "platform/result.h"

// The TUN interface that carries the machine's traffic: the interface,
// its addresses and routes, the routes that keep excluded hosts on the
// physical path, and the relay child that hands its TCP and UDP flows to
// the SOCKS5 endpoint. Everything it adds to the system is written to the
// tunnel record first, so "-clear" can take it away after a kill.
namespace vandrel::daemon {

class Tunnel {
 public:
  struct Options {
    std::string selfExecutable;  // runs the relay
    std::chrono::milliseconds startTimeout{8000};
  };

  // Sets everything up, or takes back what it did and says what failed.
  static platform::Result<std::unique_ptr<Tunnel>> start(
      const TunSettings& settings, Supervisor& supervisor, const StateFiles& state,
      const Options& options, std::function<void(std::string_view)> log);
  ~Tunnel();
  Tunnel(const Tunnel&) = delete;
  Tunnel& operator=(const Tunnel&) = delete;

  // Stops the relay, removes the interface (and with it its routes) and the
  // exclude routes, and drops the record.
  void stop();
  // The exclude routes added, as "ADDRESS/32" and "ADDRESS/128".
  const std::vector<std::string>& excludeRoutes() const;
  pid_t relayPid() const;
  // How the relay ended, once, when it ended by itself.
  std::optional<std::string> takeEnded();

  struct Impl;

 private:
  explicit Tunnel(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vandrel::daemon

namespace vandrel::daemon {

// "-clear"'s part: removes what the tunnel record lists (the interface if
// it is still there, the exclude routes) and drops the record.
void clearTunnel(const StateFiles& state, const std::function<void(std::string_view)>& log);

}  // namespace vandrel::daemon
