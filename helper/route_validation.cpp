#include "helper/route_validation.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace vandrel::helper {

std::optional<RouteSpec> RouteSpec::parse(std::string_view entry) {
  // inet_pton reads a C string: an embedded NUL would hide what follows it.
  if (entry.empty() || entry.size() > INET6_ADDRSTRLEN + 4 ||
      entry.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const auto slash = entry.find('/');
  const std::string address(entry.substr(0, slash));
  RouteSpec spec;
  unsigned char buffer[sizeof(in6_addr)];
  if (::inet_pton(AF_INET, address.c_str(), buffer) == 1) {
    spec.ipv6 = false;
  } else if (::inet_pton(AF_INET6, address.c_str(), buffer) == 1) {
    spec.ipv6 = true;
  } else {
    return std::nullopt;
  }
  if (slash != std::string_view::npos) {
    const std::string_view prefix = entry.substr(slash + 1);
    if (prefix.empty() || prefix.size() > 3 ||
        prefix.find_first_not_of("0123456789") != std::string_view::npos) {
      return std::nullopt;
    }
    const int bits = std::stoi(std::string(prefix));
    if (bits > (spec.ipv6 ? 128 : 32)) return std::nullopt;
  }
  spec.text = std::string(entry);
  return spec;
}

std::vector<std::string> RouteSpec::deleteArgv() const {
  if (ipv6) return {"ip", "-6", "route", "del", text};
  return {"ip", "route", "del", text};
}

}  // namespace vandrel::helper
