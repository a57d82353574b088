#include "daemon/accel_daemon.h"
#include "daemon/tunnel.h"

namespace vandrel::daemon {

Answer AccelDaemon::startTun2socks(const TunRequest& request) {
  auto settings = checkTunRequest(request);
  if (!settings) return Answer::failure(settings.error().message);
  platform::MutexLock lock(mutex_);
  if (tunnel_) {
    if (const auto ended = tunnel_->takeEnded()) {
      (void)stopTunnelLocked();
      return Answer::failure("tun2socks had stopped: " + *ended + "; start it again");
    }
    return Answer::failure("tun2socks " + std::string(kAlreadyRunning));
  }
  // The line's server must keep the physical path whatever the request
  // lists: through the tunnel its own traffic would go round in a circle.
  if (ss_.pid != 0 && !ss_.server.empty()) {
    ExcludeEntry server;
    if (auto address = IpAddress::parse(ss_.server)) {
      server.address = *address;
    } else {
      server.hostName = ss_.server;
    }
    settings.value().exclude.push_back(std::move(server));
  }
  Tunnel::Options options;
  options.selfExecutable = options_.selfExecutable;
  options.startTimeout = options_.startTimeout;
  auto tunnel = Tunnel::start(settings.value(), supervisor_, state_, options, log_);
  if (!tunnel) return Answer::failure(tunnel.error().message);
  tunnel_ = std::move(tunnel.value());
  recordChildren();
  return Answer::ok();
}

Answer AccelDaemon::stopTun2socks() {
  platform::MutexLock lock(mutex_);
  return stopTunnelLocked();
}

Answer AccelDaemon::stopTunnelLocked() {
  if (!tunnel_) return Answer::failure("tun2socks " + std::string(kNotRunning));
  const auto ended = tunnel_->takeEnded();
  tunnel_->stop();
  tunnel_.reset();
  recordChildren();
  if (ended) return Answer::failure("tun2socks " + std::string(kNotRunning) + " (" + *ended + ")");
  return Answer::ok();
}

}  // namespace vandrel::daemon
