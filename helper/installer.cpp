#include "helper/installer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "helper/daemon_components.h"
#include "helper/helper_config.h"
#include "helper/helper_protocol.h"
#include "platform/file_io.h"
#include "platform/ipc.h"

namespace vandrel::helper {
namespace {

namespace fs = std::filesystem;
using platform::Error;
using platform::Result;
using platform::ipc::OwnedFd;

constexpr std::string_view kInstallDomain = "com.vandrel.mac.daemon.install";
constexpr mode_t kProgramMode = 0755;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirectoryMode = 0755;

Error installError(int code, const std::string& what) {
  return Error{std::string(kInstallDomain), code, code ? what + ": " + std::strerror(code) : what};
}

// `path` (a path of the target system) below the staging root.
fs::path under(const fs::path& root, std::string_view path) {
  return root / fs::path(path).relative_path();
}

Result<void> writeAll(int fd, const char* data, std::size_t size, const std::string& what) {
  if (!platform::writeAll(fd, std::string_view(data, size))) {
    return installError(errno, "cannot write " + what);
  }
  return platform::success();
}

// Writes what `fill` puts into a temporary file beside `target`, makes it
// root's with `mode`, syncs it and renames it over `target`.
Result<void> replaceFile(const fs::path& target, mode_t mode,
                         const std::function<Result<void>(int)>& fill) {
  std::string temp =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  OwnedFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return installError(errno, "cannot create a file in " + target.parent_path().string());
  auto filled = fill(fd.get());
  Result<void> done = filled;
  if (done.ok() && ::fchown(fd.get(), 0, 0) != 0)
    done = installError(errno, "cannot chown " + temp);
  if (done.ok() && ::fchmod(fd.get(), mode) != 0)
    done = installError(errno, "cannot chmod " + temp);
  if (done.ok() && ::fsync(fd.get()) != 0) done = installError(errno, "cannot sync " + temp);
  fd.reset();
  if (done.ok() && ::rename(temp.c_str(), target.c_str()) != 0) {
    done = installError(errno, "cannot put " + target.string() + " in place");
  }
  if (!done.ok()) ::unlink(temp.c_str());
  return done;
}

Result<void> writeText(const fs::path& target, mode_t mode, const std::string& text) {
  return replaceFile(target, mode,
                     [&](int fd) { return writeAll(fd, text.data(), text.size(), target); });
}

Result<void> copyProgram(const fs::path& source, const fs::path& target) {
  // O_NONBLOCK: a FIFO in the bundle would otherwise hold the open until
  // someone writes to it, and never reach the regular-file check.
  OwnedFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return installError(in ? EINVAL : errno, "cannot read " + source.string());
  }
  return replaceFile(target, kProgramMode, [&](int out) -> Result<void> {
    std::vector<char> buffer(256 * 1024);
    for (;;) {
      const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return installError(errno, "cannot read " + source.string());
      if (n == 0) return platform::success();
      auto written = writeAll(out, buffer.data(), static_cast<std::size_t>(n), target);
      if (!written.ok()) return written;
    }
  });
}

// Creates `dir` and its parents (mode 0755). With `own`, `dir` itself must
// be a real directory and becomes root's with mode 0755: nobody else may
// place files where the helper loads its programs and configuration.
Result<void> makeDirectory(const fs::path& dir, bool own) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) return installError(error.value(), "cannot create " + dir.string());
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return installError(ENOTDIR, dir.string() + " is not a directory");
  }
  if (own && (::chown(dir.c_str(), 0, 0) != 0 || ::chmod(dir.c_str(), kDirectoryMode) != 0)) {
    return installError(errno, "cannot secure " + dir.string());
  }
  return platform::success();
}

// The configuration to write: the existing one's users and port, plus the
// new user; the daemon is always the installed copy.
HelperConfig mergedConfig(const fs::path& configPath, const std::optional<uid_t>& allowUid) {
  HelperConfig config;
  if (fs::exists(configPath)) {
    auto existing = HelperConfig::load(configPath);
    if (existing.ok()) {
      config = existing.value();
    } else {
      std::fprintf(stderr, "%s: replacing an unusable configuration: %s\n",
                   std::string(kInstallerName).c_str(), existing.error().message.c_str());
    }
  }
  config.daemonPath = std::string(kDaemonInstallPath);
  config.execCommand = false;
  if (allowUid && !config.allows(*allowUid)) config.allowedUids.push_back(*allowUid);
  return config;
}

Result<void> runSystemctl(platform::ProcessRunner& runner, const std::string& systemctl,
                          std::vector<std::string> args) {
  args.insert(args.begin(), systemctl);
  platform::ProcessOptions options;
  options.timeout = std::chrono::seconds(60);
  auto out = runner.run(args, options);
  std::string command;
  for (const auto& arg : args) command += (command.empty() ? "" : " ") + arg;
  if (!out.ok()) return installError(0, command + ": " + out.error().message);
  if (out.value().exitCode != 0) {
    return installError(0, command + " failed (exit " + std::to_string(out.value().exitCode) +
                               "): " + out.value().standardError);
  }
  return platform::success();
}

}  // namespace

std::string socketUnitText() {
  std::string text = "# Written by the Vandrel installer.\n";
  text += "[Unit]\n";
  text += "Description=Vandrel privileged helper socket\n";
  text += "\n[Socket]\n";
  text += "ListenStream=" + std::string(kDefaultSocketPath) + "\n";
  text += "# Anyone may connect; the helper serves only root and the users of its\n";
  text += "# configuration.\n";
  text += "SocketMode=0666\n";
  text += "Accept=no\n";
  text += "\n[Install]\n";
  text += "WantedBy=sockets.target\n";
  return text;
}

std::string serviceUnitText() {
  const std::string socketUnit(kSocketUnitName);
  std::string text = "# Written by the Vandrel installer.\n";
  text += "[Unit]\n";
  text += "Description=Vandrel privileged helper\n";
  text += "Requires=" + socketUnit + "\n";
  text += "After=" + socketUnit + "\n";
  text += "\n[Service]\n";
  text += "Type=simple\n";
  text += "ExecStart=" + std::string(kHelperInstallPath) + " --config " +
          std::string(kDefaultConfigPath) + "\n";
  text += "# The tunnelling daemon that the helper starts outlives a restart of the helper.\n";
  text += "KillMode=process\n";
  return text;
}

std::vector<std::string> missingDaemonPackages(const fs::path& componentRoot) {
  std::vector<std::string> missing;
  for (const auto& component : kDaemonComponents) {
    struct stat st {};
    const fs::path path = under(componentRoot, component.path);
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      missing.push_back(std::string(component.package) + " (" + std::string(component.path) +
                        ", " + std::string(component.role) + ")");
    }
  }
  return missing;
}

Result<void> installHelper(const InstallOptions& options) {
  if (const auto missing = missingDaemonPackages(options.componentRoot); !missing.empty()) {
    std::string text = "the tunnelling daemon needs Debian packages that are not installed:";
    for (const auto& package : missing) text += "\n  " + package;
    text += "\ninstall them (apt-get install";
    for (const auto& package : missing) text += " " + package.substr(0, package.find(' '));
    text += ") and try again; nothing was changed";
    return installError(0, text);
  }
  const fs::path launchServices = options.bundle / "Contents" / "Library" / "LaunchServices";
  const fs::path helperSource = launchServices / std::string(kServiceName);
  const fs::path daemonSource =
      options.bundle / "Contents" / "Resources" / std::string(kDaemonName);
  const fs::path libexec = under(options.root, kHelperInstallPath).parent_path();
  const fs::path configPath = under(options.root, kDefaultConfigPath);
  const fs::path unitDir = under(options.root, kUnitDirectory);

  std::vector<std::function<Result<void>()>> steps = {
      [&] { return makeDirectory(libexec, true); },
      [&] { return makeDirectory(configPath.parent_path(), true); },
      [&] { return makeDirectory(unitDir, false); },
      [&] { return copyProgram(daemonSource, under(options.root, kDaemonInstallPath)); },
      [&] { return copyProgram(helperSource, under(options.root, kHelperInstallPath)); },
      [&] {
        return writeText(configPath, kFileMode,
                         mergedConfig(configPath, options.allowUid).format());
      },
      [&] {
        return writeText(unitDir / std::string(kSocketUnitName), kFileMode, socketUnitText());
      },
      [&] {
        return writeText(unitDir / std::string(kServiceUnitName), kFileMode, serviceUnitText());
      },
  };
  if (options.systemctl) {
    auto& runner = options.runner ? *options.runner : platform::ProcessRunner::system();
    const std::string& systemctl = *options.systemctl;
    steps.push_back([&] { return runSystemctl(runner, systemctl, {"daemon-reload"}); });
    steps.push_back([&] {
      return runSystemctl(runner, systemctl, {"enable", "--now", std::string(kSocketUnitName)});
    });
    // A helper of the previous version may still serve: the new one takes over.
    steps.push_back([&] {
      return runSystemctl(runner, systemctl, {"try-restart", std::string(kServiceUnitName)});
    });
  }
  for (const auto& step : steps) {
    auto done = step();
    if (!done.ok()) return done;
  }
  return platform::success();
}

}  // namespace vandrel::helper
