#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace vandrel::app {

// The launcher's registration as a login item: an XDG autostart entry,
// <config>/autostart/com.vandrel.mac.launcherApp.desktop, that starts the
// launcher inside the application's bundle at log-in. Any thread; each call
// works on the file system of that moment.
class LoginItem {
 public:
  // Where the launcher sits inside the application's bundle directory.
  static constexpr std::string_view kLauncherExecutableInBundle =
      "Contents/Library/LoginItems/Vandrel_Launcher.app/Contents/MacOS/Vandrel_Launcher";

  // `configDirectory` empty: $XDG_CONFIG_HOME or ~/.config at each call.
  // `launcherExecutable` empty: the launcher in the running application's
  // bundle at each call.
  explicit LoginItem(std::filesystem::path configDirectory = {},
                     std::filesystem::path launcherExecutable = {});

  // Writes (true) or removes (false) the entry. Writing replaces an older
  // entry in one step; removing an absent entry succeeds.
  platform::Result<void> setEnabled(bool enabled) const;
  // Whether the entry exists.
  bool isEnabled() const;

  std::filesystem::path entryPath() const;
  std::filesystem::path launcherExecutable() const;

  // The entry's text for a launcher at `executable`; an error for a path
  // that an entry cannot carry (a relative one, or one with control
  // characters).
  static platform::Result<std::string> desktopEntry(const std::filesystem::path& executable);
  // `path` as one quoted argument of an entry's Exec key, escaped for both
  // the quoting and the key's value.
  static std::string execArgument(const std::string& path);

 private:
  std::filesystem::path configDirectory_;
  std::filesystem::path launcherExecutable_;
};

}  // namespace vandrel::app
