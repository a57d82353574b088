#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vandrel::core {

// One service API host. The port only says where requests go; the host
// name alone is what the certificate pinning, the "bad_url_log" records and
// the tunnel's exclusion list use.
struct ApiHost {
  std::string host;
  std::optional<std::uint16_t> port;

  // host, or host + ":" + port; an IPv6 literal is put in brackets.
  std::string authority() const;

  bool operator==(const ApiHost&) const = default;
};

// The environment variable that replaces the compiled-in list (tests and
// the local sandbox): comma-separated "host[:port]" entries.
inline constexpr const char kApiHostsEnvironmentVariable[] = "VANDREL_API_HOSTS";

// Parses "host[:port],host[:port],...". Blanks around an entry are
// ignored; an IPv6 literal goes in brackets ("[::1]:8443"). An empty list,
// an empty entry, a name with characters outside letters, digits, "." and
// "-", or a port outside 1 to 65535 fails the whole text.
platform::Result<std::vector<ApiHost>> parseApiHosts(std::string_view text);

// The four bare host names of the build (the VANDREL_API_HOSTS CMake
// setting), in order.
const std::vector<ApiHost>& compiledApiHosts();

// The list for an override text (the environment variable's value, or
// nullptr when unset): the override when it parses, else the compiled-in
// list (an override that does not parse is reported on stderr and
// ignored). Never empty.
std::vector<ApiHost> selectApiHosts(const char* override);

// The list the client uses: selectApiHosts($VANDREL_API_HOSTS), made once
// on first use.
const std::vector<ApiHost>& apiHosts();

}  // namespace vandrel::core
