#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "helper/helper_protocol.h"
#include "platform/result.h"

namespace vandrel::helper {

// The helper's configuration, /etc/vandrel/helper.conf, written by the
// installer. One "key = value" per line; blank lines and lines starting
// with "#" are ignored ("#" after a value does not start a comment):
//
//   # besides root, who may talk to the helper
//   allowed_uids = 1000 1001
//   daemon_path = /usr/libexec/vandrel/Vandrel-server-daemon
//   daemon_port = 50051
//   # caller-given shell commands (tests only)
//   exec_command = false
//
// Everything is checked: an unknown or repeated key, a malformed value or a
// missing daemon_path is an error, and the helper does not start with it.
struct HelperConfig {
  std::vector<uid_t> allowedUids;
  std::string daemonPath;
  int daemonPort = kDefaultDaemonPort;
  bool execCommand = false;

  // Root always; others when listed.
  bool allows(uid_t uid) const;

  static platform::Result<HelperConfig> parse(std::string_view text);
  // Reads `path`: a regular file (not a link), owned by root and writable
  // by no one else, since it decides what runs as root.
  static platform::Result<HelperConfig> load(const std::string& path);
  // The file text that parse() reads back as this configuration.
  std::string format() const;
};

}  // namespace vandrel::helper
