#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

// What the daemon must be able to undo after it was killed: small files in
// a root-only directory (/run/vandrel: gone at boot, like what they
// describe). "-clear" reads them; each is written whole or not at all.
namespace vandrel::daemon {

inline constexpr std::string_view kStateDirectory = "/run/vandrel";
inline constexpr std::string_view kLogCopyName = "Vandrel-server-daemon.log";

class StateFiles {
 public:
  explicit StateFiles(std::string directory = std::string(kStateDirectory));

  // Creates the directory (root's, mode 0700) or checks that the one there
  // is: a real directory of root that nobody else may enter.
  platform::Result<void> prepare() const;
  platform::Result<void> write(std::string_view name, std::string_view content) const;
  // Nothing when the file is absent (or is no regular file, or too large).
  std::optional<std::string> read(std::string_view name) const;
  void remove(std::string_view name) const;

  const std::string& directory() const { return directory_; }
  std::string path(std::string_view name) const;

 private:
  std::string directory_;
};

// The names of the records.
inline constexpr std::string_view kTunnelRecord = "tunnel";
inline constexpr std::string_view kSystemProxyRecord = "system-proxy";
inline constexpr std::string_view kChildrenRecord = "children";

}  // namespace vandrel::daemon
