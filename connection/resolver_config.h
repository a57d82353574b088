#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/daemon_register.h"

namespace vandrel::connection {

// The system's DNS servers, as the tunnel's exclusion list takes them: the
// "nameserver " lines among the last ten lines of the resolver
// configuration, read by a shell command in the application's own process.
//
// The file is the injectable source: tests point it at a file of their own.
// Thread-safe (no state); getDeviceDNS blocks for the command.
class ResolverConfig {
 public:
  static constexpr std::string_view kResolvConfPath = "/etc/resolv.conf";
  static constexpr std::string_view kDnsFailed = "get DNS failed";

  // Runs a shell command and waits: the helper client's runSystemCommand.
  using CommandRunner = std::function<CommandResult(const std::string& command)>;

  ResolverConfig(std::string path, CommandRunner run);

  // `tail /etc/resolv.conf | grep "nameserver "`; another file's path is
  // quoted for the shell.
  std::string command() const;

  // Runs the command and logs its reply. Exit status 0: the output with
  // every "nameserver " removed, split into lines, empty ones dropped (the
  // list may be empty). Any other status (no such line, no such file):
  // none.
  std::optional<std::vector<std::string>> getDeviceDNS() const;

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
  const CommandRunner run_;
};

// `text` as one shell word: in single quotes, each ' written as '\''.
std::string shellQuote(std::string_view text);

}  // namespace vandrel::connection
