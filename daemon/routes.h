#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "daemon/request_checks.h"
#include "platform/process.h"
#include "platform/result.h"

// Addresses, links and routes through `ip`, by argv, with a time limit.
namespace vandrel::daemon {

// Runs `ip` with `arguments`; its standard output, or an error with what
// it printed on standard error.
platform::Result<std::string> runIp(platform::ProcessRunner& runner,
                                    const std::vector<std::string>& arguments);

// How the system reaches `address` now, outside any tunnel: "via GATEWAY"
// (empty for an on-link destination) and "dev DEVICE". Nothing for a local,
// unreachable or otherwise special destination.
struct PhysicalRoute {
  std::string gateway;
  std::string device;
};
std::optional<PhysicalRoute> parseRouteGet(const std::string& output);
std::optional<PhysicalRoute> physicalRoute(platform::ProcessRunner& runner,
                                           const IpAddress& address);

// The addresses `names` resolve to, each name given at most `timeout`
// (names are looked up side by side); a name that does not resolve in
// time is left out.
std::vector<IpAddress> resolveAll(const std::vector<std::string>& names,
                                  std::chrono::milliseconds timeout);

// Whether a network interface of that name exists, and whether it is a
// TUN interface.
bool interfaceExists(const std::string& name);
bool isTunInterface(const std::string& name);

}  // namespace vandrel::daemon
