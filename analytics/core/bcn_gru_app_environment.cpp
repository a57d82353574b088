#include "analytics/core/bcn_gru_app_environment.h"

#include <sys/utsname.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/bundle.h"

namespace vandrel::analytics {
namespace {

std::string readFile(const char* path) {
  std::ifstream in(path);
  if (!in) return {};
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

std::string GRUAppEnvironmentUtil::versionIDFromOSRelease(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  constexpr std::string_view kKey = "VERSION_ID=";
  while (std::getline(lines, line)) {
    if (line.compare(0, kKey.size(), kKey) != 0) continue;
    std::string value = line.substr(kKey.size());
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

std::string GRUAppEnvironmentUtil::systemVersion() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::string version = versionIDFromOSRelease(readFile(path));
    if (!version.empty()) return version;
  }
  struct utsname name {};
  if (::uname(&name) == 0) return name.release;
  return {};
}

bool GRUAppEnvironmentUtil::isAppExtension() {
  return platform::Bundle::main().bundlePath().extension() == ".appex";
}

std::string GRUAppEnvironmentUtil::deviceModel() {
  struct utsname name {};
  if (::uname(&name) == 0) return name.machine;
  return {};
}

}  // namespace vandrel::analytics
