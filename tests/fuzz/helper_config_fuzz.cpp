// The helper's configuration file and the route entries it hands to `ip`:
// both run as root. A configuration that parses formats to text that parses
// to the same configuration; a route entry is taken only when it is an
// address (with a prefix in range) and nothing else, so no byte of it can
// reach `ip` as an option or a second argument.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "helper/helper_config.h"
#include "helper/route_validation.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace helper = vandrel::helper;

void checkRoute(std::string_view entry) {
  const auto route = helper::RouteSpec::parse(entry);
  if (!route) return;
  const std::string& text = route->text;
  VANDREL_FUZZ_CHECK(text == entry, text);
  VANDREL_FUZZ_CHECK(!text.empty() && text.front() != '-', text);
  VANDREL_FUZZ_CHECK(text.find_first_not_of("0123456789abcdefABCDEF.:/") == std::string::npos,
                     text);
  // The address part is what inet_pton reads, of the family the parse chose.
  const auto slash = text.find('/');
  const std::string address = text.substr(0, slash);
  unsigned char buffer[sizeof(in6_addr)];
  VANDREL_FUZZ_CHECK(::inet_pton(route->ipv6 ? AF_INET6 : AF_INET, address.c_str(), buffer) == 1,
                     text);
  if (slash != std::string::npos) {
    const std::string prefix = text.substr(slash + 1);
    VANDREL_FUZZ_CHECK(!prefix.empty() && prefix.size() <= 3 &&
                           prefix.find_first_not_of("0123456789") == std::string::npos,
                       text);
    VANDREL_FUZZ_CHECK(std::stoi(prefix) <= (route->ipv6 ? 128 : 32), text);
  }
  const auto argv = route->deleteArgv();
  VANDREL_FUZZ_CHECK(argv.size() == (route->ipv6 ? 5u : 4u) && argv.back() == text, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = vandrel::fuzz::asText(data, size);

  auto config = helper::HelperConfig::parse(text);
  if (config.ok()) {
    const auto& parsed = config.value();
    VANDREL_FUZZ_CHECK(!parsed.daemonPath.empty() && parsed.daemonPath.front() == '/',
                       parsed.daemonPath);
    VANDREL_FUZZ_CHECK(parsed.daemonPort >= 1 && parsed.daemonPort <= 65535, "daemon_port");
    VANDREL_FUZZ_CHECK(parsed.allows(0), "root is always allowed");
    for (const auto uid : parsed.allowedUids) {
      VANDREL_FUZZ_CHECK(uid != static_cast<uid_t>(-1), "(uid_t)-1 allowed");
    }
    const std::string formatted = parsed.format();
    auto again = helper::HelperConfig::parse(formatted);
    VANDREL_FUZZ_CHECK(again.ok(), formatted + (again.ok() ? "" : again.error().message));
    VANDREL_FUZZ_CHECK(again.value().allowedUids == parsed.allowedUids &&
                           again.value().daemonPath == parsed.daemonPath &&
                           again.value().daemonPort == parsed.daemonPort &&
                           again.value().execCommand == parsed.execCommand,
                       formatted);
  }

  // Every line, and the whole input, as a route entry.
  checkRoute(text);
  std::string_view rest = text;
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    checkRoute(rest.substr(0, newline));
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
  }
  return 0;
}
