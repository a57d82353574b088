#include "core/api_hosts.h"

#include <cstdio>
#include <cstdlib>

#include "core/api_hosts_config.h"

namespace vandrel::core {
namespace {

constexpr std::string_view kDomain = "vandrel.api-hosts";

platform::Error hostsError(std::string message) {
  return platform::Error{std::string(kDomain), 1, std::move(message)};
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool isHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-';
}

bool isIPv6Character(char c) {
  return (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || (c >= '0' && c <= '9') || c == ':' ||
         c == '.';
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

platform::Result<ApiHost> parseEntry(std::string_view entry) {
  const std::string quoted = "\"" + std::string(entry) + "\"";
  ApiHost parsed;
  std::string_view rest;
  if (!entry.empty() && entry.front() == '[') {
    const auto close = entry.find(']');
    if (close == std::string_view::npos || close == 1) {
      return hostsError("malformed IPv6 host " + quoted);
    }
    const std::string_view literal = entry.substr(1, close - 1);
    for (char c : literal) {
      if (!isIPv6Character(c)) return hostsError("malformed IPv6 host " + quoted);
    }
    parsed.host = std::string(literal);
    rest = entry.substr(close + 1);
  } else {
    const auto colon = entry.find(':');
    const std::string_view name = entry.substr(0, colon);
    if (name.empty()) return hostsError("empty host name in " + quoted);
    for (char c : name) {
      if (!isHostNameCharacter(c)) return hostsError("invalid host name " + quoted);
    }
    parsed.host = std::string(name);
    rest = colon == std::string_view::npos ? std::string_view() : entry.substr(colon);
  }
  if (!rest.empty()) {
    if (rest.front() != ':') return hostsError("unexpected text after the host in " + quoted);
    parsed.port = parsePort(rest.substr(1));
    if (!parsed.port) return hostsError("invalid port in " + quoted);
  }
  return parsed;
}

}  // namespace

std::string ApiHost::authority() const {
  std::string text = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (port) text += ":" + std::to_string(*port);
  return text;
}

platform::Result<std::vector<ApiHost>> parseApiHosts(std::string_view text) {
  std::vector<ApiHost> hosts;
  if (trimmed(text).empty()) return hostsError("the host list is empty");
  std::size_t start = 0;
  for (;;) {
    const auto comma = text.find(',', start);
    const std::string_view entry = trimmed(text.substr(start, comma - start));
    if (entry.empty()) return hostsError("the host list has an empty entry");
    auto parsed = parseEntry(entry);
    if (!parsed.ok()) return parsed.error();
    hosts.push_back(std::move(parsed).value());
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return hosts;
}

const std::vector<ApiHost>& compiledApiHosts() {
  // The build checked the list; it cannot fail to parse.
  static const auto* const hosts =
      new std::vector<ApiHost>(parseApiHosts(kCompiledApiHosts).value());
  return *hosts;
}

std::vector<ApiHost> selectApiHosts(const char* override) {
  if (override != nullptr) {
    auto parsed = parseApiHosts(override);
    if (parsed.ok()) return std::move(parsed).value();
    std::fprintf(stderr, "%s ignored: %s\n", kApiHostsEnvironmentVariable,
                 parsed.error().message.c_str());
  }
  return compiledApiHosts();
}

const std::vector<ApiHost>& apiHosts() {
  static const auto* const hosts =
      new std::vector<ApiHost>(selectApiHosts(std::getenv(kApiHostsEnvironmentVariable)));
  return *hosts;
}

}  // namespace vandrel::core
