#include "daemon/request_checks.h"

#include <arpa/inet.h>

#include <cerrno>
#include <charconv>

#include "helper/helper_text.h"

namespace vandrel::daemon {
namespace {

constexpr std::size_t kMaxHostName = 253;
constexpr std::size_t kMaxLabel = 63;

bool isLabelByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

}  // namespace

platform::Error requestError(std::string message) {
  return platform::Error{std::string(kRequestErrorDomain), EINVAL, std::move(message)};
}

std::optional<IpAddress> IpAddress::parse(std::string_view text) {
  // inet_pton reads a C string: a NUL inside would hide what follows.
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos)
    return std::nullopt;
  const std::string copy(text);
  IpAddress address;
  if (::inet_pton(AF_INET, copy.c_str(), address.bytes.data()) == 1) {
    address.family = AF_INET;
    return address;
  }
  if (::inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) == 1) {
    address.family = AF_INET6;
    return address;
  }
  return std::nullopt;
}

std::string IpAddress::text() const {
  char buffer[INET6_ADDRSTRLEN] = {};
  ::inet_ntop(family, bytes.data(), buffer, sizeof(buffer));
  return buffer;
}

bool IpAddress::isLoopback() const {
  if (family == AF_INET) return bytes[0] == 127;
  static constexpr std::array<std::uint8_t, 16> kLoopback6{0, 0, 0, 0, 0, 0, 0, 0,
                                                           0, 0, 0, 0, 0, 0, 0, 1};
  return bytes == kLoopback6;
}

bool IpAddress::isUnspecifiedOrMulticast() const {
  if (family == AF_INET) {
    const bool zero = bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0;
    const bool broadcast = bytes[0] == 255 && bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255;
    return zero || broadcast || (bytes[0] >= 224 && bytes[0] <= 239);
  }
  if (bytes[0] == 0xff) return true;
  for (const auto byte : bytes) {
    if (byte != 0) return false;
  }
  return true;
}

std::optional<IpNetwork> IpNetwork::parse(std::string_view text) {
  const auto slash = text.find('/');
  auto address = IpAddress::parse(text.substr(0, slash));
  if (!address) return std::nullopt;
  IpNetwork network{*address, address->family == AF_INET ? 32 : 128};
  if (slash == std::string_view::npos) return network;
  const std::string_view digits = text.substr(slash + 1);
  int prefix = -1;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
  if (digits.empty() || digits.size() > 3 || ec != std::errc() ||
      end != digits.data() + digits.size() || prefix < 0 || prefix > network.prefix) {
    return std::nullopt;
  }
  network.prefix = prefix;
  return network;
}

std::string IpNetwork::text() const { return address.text() + "/" + std::to_string(prefix); }

bool isHostName(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  if (text.empty() || text.size() > kMaxHostName || IpAddress::parse(text)) return false;
  std::size_t start = 0;
  while (start <= text.size()) {
    const auto dot = text.find('.', start);
    const std::string_view label =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (label.empty() || label.size() > kMaxLabel || label.front() == '-' || label.back() == '-')
      return false;
    for (const char c : label) {
      if (!isLabelByte(c)) return false;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return true;
}

bool hasControlBytes(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
  }
  return false;
}

platform::Result<int> checkPort(std::string_view field, std::int64_t value, int lowest) {
  if (value < lowest || value > 65535) {
    return requestError(std::string(field) + " must be a port number from " +
                        std::to_string(lowest) + " to 65535, not " + std::to_string(value));
  }
  return static_cast<int>(value);
}

platform::Result<IpAddress> checkLoopback(std::string_view field, std::string_view text) {
  const auto address = IpAddress::parse(text);
  if (!address || !address->isLoopback()) {
    return requestError(std::string(field) + " must be a loopback address (127.0.0.1 or ::1), not " +
                        quoted(text));
  }
  return *address;
}

platform::Result<LoopbackEndpoint> checkLoopbackEndpoint(std::string_view field,
                                                         std::string_view text) {
  const auto colon = text.rfind(':');
  std::string_view host = colon == std::string_view::npos ? text : text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    host = {};  // an IPv6 address needs its brackets
  }
  const std::string_view digits =
      colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  int port = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  const auto address = IpAddress::parse(host);
  if (colon == std::string_view::npos || digits.empty() || ec != std::errc() ||
      end != digits.data() + digits.size() || !address || !address->isLoopback() || port < 1 ||
      port > 65535) {
    return requestError(std::string(field) +
                        " must be a loopback address and port (127.0.0.1:PORT), not " +
                        quoted(text));
  }
  return LoopbackEndpoint{*address, port};
}

std::string quoted(std::string_view text) { return "\"" + helper::printable(text, 64) + "\""; }

}  // namespace vandrel::daemon
