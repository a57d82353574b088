#pragma once

#include <string>
#include <vector>

namespace vandrel::connection {

// Where the daemon client registers the routes that must go when the
// application dies without stopping its tunnel. The helper client
// implements it (DaemonRegister); tests give a recording fake.
class RouteRegistrar {
 public:
  virtual ~RouteRegistrar() = default;

  // Replaces the routes registered before; returns at once, without a
  // reply (any thread).
  virtual void deleteRoutesWhenAppKilled(std::vector<std::string> routes) = 0;
};

}  // namespace vandrel::connection
