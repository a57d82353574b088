#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"
#include "platform/result.h"

namespace vandrel::helper {

// Where the installer puts things, as paths of the target system.
inline constexpr std::string_view kInstallerName = "vandrel-helper-install";
inline constexpr std::string_view kHelperInstallPath =
    "/usr/libexec/vandrel/com.vandrel.mac.daemon";
inline constexpr std::string_view kDaemonInstallPath = "/usr/libexec/vandrel/Vandrel-server-daemon";
inline constexpr std::string_view kUnitDirectory = "/etc/systemd/system";
inline constexpr std::string_view kSocketUnitName = "com.vandrel.mac.daemon.socket";
inline constexpr std::string_view kServiceUnitName = "com.vandrel.mac.daemon.service";

// The unit files, as the installer writes them.
std::string socketUnitText();
std::string serviceUnitText();

struct InstallOptions {
  // The application bundle to install from (X.app).
  std::filesystem::path bundle;
  // Every path is written below this directory; "/" for the real system.
  std::filesystem::path root = "/";
  // A user who may talk to the helper from now on (besides the ones the
  // existing configuration names).
  std::optional<uid_t> allowUid;
  // The service manager's command line tool; without it the units are
  // written but not loaded or enabled.
  std::optional<std::string> systemctl;
  platform::ProcessRunner* runner = nullptr;  // the system runner when null
  // Where the packaged components of the daemon are looked for (they are
  // the running system's, whatever `root` is); another directory in tests.
  std::filesystem::path componentRoot = "/";
};

// The Debian packages whose programs the daemon runs and that are missing
// below `componentRoot`, each with the file that is not there, in the
// order of kDaemonComponents; empty when all are installed.
std::vector<std::string> missingDaemonPackages(const std::filesystem::path& componentRoot);

// First checks that the daemon's packaged components are installed and
// fails, naming the missing Debian packages, before it changes anything
// (it installs no packages itself). Then it copies the helper and the
// daemon out of the bundle, writes the
// configuration and the units (all root-owned, written through a temporary
// file and renamed into place, so a reader never sees half a file), then
// loads the units, enables and starts the socket and restarts a running
// helper so the new one serves.
platform::Result<void> installHelper(const InstallOptions& options);

}  // namespace vandrel::helper
