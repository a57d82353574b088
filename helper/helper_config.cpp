#include "helper/helper_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "platform/file_io.h"

namespace vandrel::helper {
namespace {

using platform::Error;
using platform::Result;

constexpr std::string_view kConfigDomain = "com.vandrel.mac.daemon.config";
constexpr std::size_t kMaxConfigSize = 64 * 1024;

Error configError(const std::string& message) {
  return Error{std::string(kConfigDomain), EINVAL, message};
}

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

template <typename T>
bool parseNumber(std::string_view text, T& out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

Result<void> applyUids(std::string_view value, HelperConfig& config) {
  while (!(value = trim(value)).empty()) {
    const auto space = value.find_first_of(" \t");
    const auto word = value.substr(0, space);
    std::uint32_t uid = 0;
    // (uid_t)-1 means "no user" to the kernel; never a real peer.
    if (!parseNumber(word, uid) || uid == static_cast<std::uint32_t>(-1)) {
      return configError("allowed_uids: \"" + std::string(word) + "\" is not a user id");
    }
    config.allowedUids.push_back(uid);
    value = space == std::string_view::npos ? std::string_view() : value.substr(space);
  }
  return platform::success();
}

Result<void> apply(std::string_view key, std::string_view value, HelperConfig& config) {
  if (key == "allowed_uids") return applyUids(value, config);
  if (key == "daemon_path") {
    if (value.empty() || value.front() != '/') {
      return configError("daemon_path must be an absolute path");
    }
    config.daemonPath = std::string(value);
    return platform::success();
  }
  if (key == "daemon_port") {
    int port = 0;
    if (!parseNumber(value, port) || port < 1 || port > 65535) {
      return configError("daemon_port must be a port number (1-65535)");
    }
    config.daemonPort = port;
    return platform::success();
  }
  if (key == "exec_command") {
    if (value != "true" && value != "false")
      return configError("exec_command must be true or false");
    config.execCommand = value == "true";
    return platform::success();
  }
  return configError("unknown key \"" + std::string(key) + "\"");
}

}  // namespace

bool HelperConfig::allows(uid_t uid) const {
  return uid == 0 || std::find(allowedUids.begin(), allowedUids.end(), uid) != allowedUids.end();
}

Result<HelperConfig> HelperConfig::parse(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return configError("the file holds a NUL byte");
  HelperConfig config;
  std::set<std::string, std::less<>> seen;
  int lineNumber = 0;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    const std::string_view line = trim(text.substr(0, newline));
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      return configError("line " + std::to_string(lineNumber) + ": expected key = value");
    }
    const auto key = trim(line.substr(0, equals));
    if (!seen.insert(std::string(key)).second) {
      return configError("line " + std::to_string(lineNumber) + ": \"" + std::string(key) +
                         "\" given twice");
    }
    auto applied = apply(key, trim(line.substr(equals + 1)), config);
    if (!applied.ok()) {
      return configError("line " + std::to_string(lineNumber) + ": " + applied.error().message);
    }
  }
  if (config.daemonPath.empty()) return configError("daemon_path is missing");
  return config;
}

Result<HelperConfig> HelperConfig::load(const std::string& path) {
  // O_NONBLOCK: a FIFO would otherwise hold the open (and the helper's
  // start) until someone writes to it, and never reach the checks below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return Error{std::string(kConfigDomain), errno,
                 "cannot open " + path + ": " + std::strerror(errno)};
  }
  struct stat st {};
  std::string text;
  bool readOk = ::fstat(fd, &st) == 0;
  if (readOk && S_ISREG(st.st_mode) && st.st_size <= static_cast<off_t>(kMaxConfigSize)) {
    readOk = platform::readAll(fd, text, kMaxConfigSize);
  }
  ::close(fd);
  if (!readOk || !S_ISREG(st.st_mode)) return configError("cannot read " + path);
  if (st.st_size > static_cast<off_t>(kMaxConfigSize)) return configError(path + " is too large");
  if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return configError(path + " must be owned by root and writable by no one else");
  }
  auto config = parse(text);
  if (!config.ok()) return configError(path + ": " + config.error().message);
  return config;
}

std::string HelperConfig::format() const {
  std::string uids;
  for (const uid_t uid : allowedUids) uids += (uids.empty() ? "" : " ") + std::to_string(uid);
  std::string text = "# Vandrel privileged helper. Written by the installer.\n";
  text += "# Users besides root who may talk to the helper.\n";
  text += "allowed_uids = " + uids + "\n";
  text += "# The tunnelling daemon the helper runs (root-owned, not writable by others).\n";
  text += "daemon_path = " + daemonPath + "\n";
  text += "daemon_port = " + std::to_string(daemonPort) + "\n";
  text += "# Caller-given shell commands as root: only for tests.\n";
  text += std::string("exec_command = ") + (execCommand ? "true" : "false") + "\n";
  return text;
}

}  // namespace vandrel::helper
