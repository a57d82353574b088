#include "analytics/core/bcn_diagnostics_environment.h"

#include <link.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "analytics/core/bcn_gru_app_environment.h"
#include "platform/bundle.h"

namespace vandrel::analytics {

namespace {

std::string executablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

}  // namespace

std::vector<std::string> BCNDiagnosticsLoadedImagePaths() {
  std::vector<std::string> names;
  ::dl_iterate_phdr(
      [](struct dl_phdr_info* info, std::size_t, void* out) {
        static_cast<std::vector<std::string>*>(out)->emplace_back(
            info->dlpi_name != nullptr ? info->dlpi_name : "");
        return 0;
      },
      &names);
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i == 0) {
      // The loader names the main program "".
      paths.push_back(names[i].empty() ? executablePath() : names[i]);
      continue;
    }
    if (names[i].find('/') == std::string::npos) continue;
    // Canonical, so that a library reached through /lib shows its /usr/lib
    // home on merged-/usr systems.
    std::error_code error;
    auto canonical = std::filesystem::weakly_canonical(names[i], error);
    paths.push_back(error ? names[i] : canonical.string());
  }
  return paths;
}

std::int64_t BCNDiagnosticsLocalCalendarDay(platform::WallTime time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr) {
    return std::chrono::floor<std::chrono::days>(time).time_since_epoch().count();
  }
  const std::chrono::year_month_day day{std::chrono::year(local.tm_year + 1900),
                                        std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                        std::chrono::day(static_cast<unsigned>(local.tm_mday))};
  return std::chrono::sys_days(day).time_since_epoch().count();
}

BCNDiagnosticsEnvironment BCNDiagnosticsEnvironment::system() {
  BCNDiagnosticsEnvironment environment;
  environment.deviceModel = [] {
    // Read once per process: the hardware does not change under us.
    static const std::string* const model = new std::string(GRUAppEnvironmentUtil::deviceModel());
    return *model;
  };
  environment.osVersion = [] { return GRUAppEnvironmentUtil::systemVersion(); };
  environment.isFromAppStore = [] { return GRUAppEnvironmentUtil::isFromAppStore(); };
  environment.loadedImagePaths = [] { return BCNDiagnosticsLoadedImagePaths(); };
  // Classes cannot be looked up by name in a C++ process, and none of the
  // probed libraries exists for this platform: every probe misses.
  environment.classExists = [](std::string_view) { return false; };
  environment.mainInfoDictionary = [] { return platform::Bundle::main().infoDictionary(); };
  environment.calendarDay = [](platform::WallTime time) {
    return BCNDiagnosticsLocalCalendarDay(time);
  };
  return environment;
}

}  // namespace vandrel::analytics
