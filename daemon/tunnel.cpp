#include "daemon/tunnel.h"

namespace vandrel::daemon {

struct Tunnel::Impl {
  std::vector<std::string> routes;
};

platform::Result<std::unique_ptr<Tunnel>> Tunnel::start(const TunSettings&, Supervisor&,
                                                        const StateFiles&, const Options&,
                                                        std::function<void(std::string_view)>) {
  return platform::Error{"vandrel.daemon", 1, "tun2socks is not available yet"};
}
Tunnel::Tunnel(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Tunnel::~Tunnel() = default;
void Tunnel::stop() {}
const std::vector<std::string>& Tunnel::excludeRoutes() const { return impl_->routes; }
pid_t Tunnel::relayPid() const { return 0; }
std::optional<std::string> Tunnel::takeEnded() { return std::nullopt; }
void clearTunnel(const StateFiles&, const std::function<void(std::string_view)>&) {}
int relayMain(int, char**) { return 2; }

}  // namespace vandrel::daemon
