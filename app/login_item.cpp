#include "app/login_item.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "app/launcher_protocol.h"
#include "platform/bundle.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace vandrel::app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDomain = "vandrel.loginitem";

platform::Error failure(std::int64_t code, std::string message) {
  return platform::Error{kDomain, code, std::move(message)};
}

// The entry is either the old or the new one, whole.
platform::Result<void> replaceFile(const fs::path& path, const std::string& text) {
  if (platform::replaceFileAtomically(path, text, 0644)) return platform::success();
  const int error = errno;
  return failure(error, "cannot write " + path.string() + ": " + std::strerror(error));
}

}  // namespace

LoginItem::LoginItem(fs::path configDirectory, fs::path launcherExecutable)
    : configDirectory_(std::move(configDirectory)),
      launcherExecutable_(std::move(launcherExecutable)) {}

fs::path LoginItem::entryPath() const {
  const fs::path config =
      configDirectory_.empty() ? platform::configDirectory() : configDirectory_;
  return config / "autostart" /
         (std::string(launcher_protocol::kLauncherBundleIdentifier) + ".desktop");
}

fs::path LoginItem::launcherExecutable() const {
  if (!launcherExecutable_.empty()) return launcherExecutable_;
  return platform::Bundle::main().bundlePath() / kLauncherExecutableInBundle;
}

std::string LoginItem::execArgument(const std::string& path) {
  // Inside the quotes, these four take a backslash.
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  // Then the value's own escapes: every backslash doubles, and "%" would
  // start a field code.
  std::string value;
  for (char c : quoted) {
    if (c == '\\') {
      value += "\\\\";
    } else if (c == '%') {
      value += "%%";
    } else {
      value += c;
    }
  }
  return value;
}

platform::Result<std::string> LoginItem::desktopEntry(const fs::path& executable) {
  const std::string path = executable.string();
  if (!executable.is_absolute()) return failure(EINVAL, "launcher path is not absolute: " + path);
  for (char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return failure(EINVAL, "launcher path holds a control character");
    }
  }
  std::string entry = "[Desktop Entry]\n";
  entry += "Type=Application\n";
  entry += "Version=1.0\n";
  entry += "Name=Vandrel\n";
  entry += "Comment=Starts Vandrel at log-in\n";
  entry += "Exec=" + execArgument(path) + "\n";
  entry += "Terminal=false\n";
  entry += "NoDisplay=true\n";
  entry += "X-GNOME-Autostart-enabled=true\n";
  return entry;
}

platform::Result<void> LoginItem::setEnabled(bool enabled) const {
  const fs::path entry = entryPath();
  std::error_code error;
  if (!enabled) {
    fs::remove(entry, error);
    if (error) return failure(error.value(), "cannot remove " + entry.string() + ": " + error.message());
    return platform::success();
  }
  platform::Result<std::string> text = desktopEntry(launcherExecutable());
  if (!text.ok()) return text.error();
  fs::create_directories(entry.parent_path(), error);
  if (error) {
    return failure(error.value(),
                   "cannot create " + entry.parent_path().string() + ": " + error.message());
  }
  return replaceFile(entry, text.value());
}

bool LoginItem::isEnabled() const {
  std::error_code error;
  return fs::exists(entryPath(), error);
}

}  // namespace vandrel::app
