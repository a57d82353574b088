#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <system_error>
#include <vector>

namespace vandrel::platform {
namespace {

std::filesystem::path homeFromPasswordDatabase() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return "/";
}

// `variable` when it names an absolute path, else `fallback` under home;
// created when missing.
std::filesystem::path baseDirectory(const char* variable, const char* fallback) {
  std::filesystem::path dir;
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') {
    dir = value;
  } else {
    dir = homeDirectory() / fallback;
  }
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  return dir;
}

}  // namespace

std::filesystem::path homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  return homeFromPasswordDatabase();
}

std::filesystem::path cachesDirectory() { return baseDirectory("XDG_CACHE_HOME", ".cache"); }

std::filesystem::path applicationSupportDirectory() {
  return baseDirectory("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path documentsDirectory() {
  return baseDirectory("XDG_DOCUMENTS_DIR", "Documents");
}

std::filesystem::path configDirectory() { return baseDirectory("XDG_CONFIG_HOME", ".config"); }

}  // namespace vandrel::platform
