// vandrel-helper-install: installs the privileged helper. Run as root,
// normally by the application through pkexec.
//
//   vandrel-helper-install [--bundle X.app] [--uid N] [--root DIR] [--systemctl PATH]
//                          [--components-root DIR]
//
// --bundle   the application bundle to install from; default: the bundle
//            this program lies in (X.app/Contents/Library/LaunchServices/)
// --uid      a user who may talk to the helper; under pkexec the user who
//            asked (PKEXEC_UID) is taken instead
// --root     a staging directory that receives every file instead of "/";
//            the service manager is then left alone unless --systemctl is given
// --systemctl  the service manager's tool (default: systemctl for "/")
// --components-root  where the daemon's packaged components are looked
//            for (default "/"; tests point it at a directory of their own)
//
// Exit status: 0 installed, 1 failed (the reason on stderr), 2 bad usage.
// Never 126 or 127: pkexec reports a refused authorization with those.

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "helper/installer.h"

namespace {

namespace fs = std::filesystem;

std::optional<uid_t> parseUid(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() ||
      value == static_cast<unsigned>(-1)) {
    return std::nullopt;
  }
  return static_cast<uid_t>(value);
}

int usage() {
  std::fprintf(stderr,
               "usage: vandrel-helper-install [--bundle X.app] [--uid N] [--root DIR] "
               "[--systemctl PATH] [--components-root DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vandrel::helper::InstallOptions options;
  bool rootGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (arg == "--bundle") {
      options.bundle = value;
    } else if (arg == "--root") {
      options.root = value;
      rootGiven = true;
    } else if (arg == "--components-root") {
      options.componentRoot = value;
    } else if (arg == "--systemctl") {
      options.systemctl = value;
    } else if (arg == "--uid") {
      options.allowUid = parseUid(value);
      if (!options.allowUid) return usage();
    } else {
      return usage();
    }
  }
  if (const char* asker = std::getenv("PKEXEC_UID")) {
    options.allowUid = parseUid(asker);
    if (!options.allowUid) {
      std::fprintf(stderr, "vandrel-helper-install: PKEXEC_UID is not a user id\n");
      return 1;
    }
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "vandrel-helper-install: must run as root\n");
    return 1;
  }
  if (options.bundle.empty()) {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
      std::fprintf(stderr, "vandrel-helper-install: cannot find its bundle\n");
      return 1;
    }
    options.bundle = self.parent_path().parent_path().parent_path().parent_path();
  }
  if (!rootGiven && !options.systemctl) options.systemctl = "systemctl";

  auto installed = vandrel::helper::installHelper(options);
  if (!installed.ok()) {
    std::fprintf(stderr, "vandrel-helper-install: %s\n", installed.error().message.c_str());
    return 1;
  }
  return 0;
}
