#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::helper {

// A route entry that is safe to hand to `ip`: an IPv4 or IPv6 address
// (inet_pton) with an optional "/prefix" of decimal digits no larger than
// 32 or 128, and nothing else.
struct RouteSpec {
  bool ipv6 = false;
  std::string text;  // the entry as given, known to be clean

  static std::optional<RouteSpec> parse(std::string_view entry);

  // The argv that deletes the route: ip [-6] route del TEXT.
  std::vector<std::string> deleteArgv() const;
};

}  // namespace vandrel::helper
