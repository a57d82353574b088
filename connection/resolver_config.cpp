#include "connection/resolver_config.h"

#include <utility>

#include "core/log_util.h"
#include "platform/check.h"

namespace vandrel::connection {

using core::LogUtil;

std::string shellQuote(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

ResolverConfig::ResolverConfig(std::string path, CommandRunner run)
    : path_(std::move(path)), run_(std::move(run)) {
  VANDREL_CHECK(run_ != nullptr, "ResolverConfig needs a command runner");
}

std::string ResolverConfig::command() const {
  // The system file keeps the command exactly as support staff know it.
  const std::string file = path_ == kResolvConfPath ? path_ : shellQuote(path_);
  return "tail " + file + " | grep \"nameserver \"";
}

std::optional<std::vector<std::string>> ResolverConfig::getDeviceDNS() const {
  const CommandResult reply = run_(command());
  LogUtil::debug(reply.description());
  if (reply.status != 0) {
    LogUtil::debug("get DNS failed: " + std::to_string(reply.status));
    return std::nullopt;
  }
  // Every "nameserver " goes, wherever it stands in a line.
  static constexpr std::string_view kKeyword = "nameserver ";
  std::string output;
  std::size_t from = 0;
  for (auto at = reply.output.find(kKeyword); at != std::string::npos;
       at = reply.output.find(kKeyword, from)) {
    output.append(reply.output, from, at - from);
    from = at + kKeyword.size();
  }
  output.append(reply.output, from);
  std::vector<std::string> servers;
  std::size_t start = 0;
  while (start <= output.size()) {
    const auto end = output.find('\n', start);
    const std::string piece =
        output.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!piece.empty()) servers.push_back(piece);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return servers;
}

}  // namespace vandrel::connection
