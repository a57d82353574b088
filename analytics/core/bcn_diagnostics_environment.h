#pragma once

// The process and host facts that the core diagnostics message carries, each
// behind a function so that tests can give their own.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/value.h"

namespace vandrel::analytics {

struct BCNDiagnosticsEnvironment {
  // Hardware model (the machine field of uname).
  std::function<std::string()> deviceModel;
  // Operating-system version; empty when unknown.
  std::function<std::string()> osVersion;
  // Whether the application was installed from an app store.
  std::function<bool()> isFromAppStore;
  // Paths of the images loaded into the process, the main program first.
  std::function<std::vector<std::string>()> loadedImagePaths;
  // Whether a class of this name exists in the process.
  std::function<bool(std::string_view className)> classExists;
  // The main bundle's information dictionary.
  std::function<platform::Value::Dictionary()> mainInfoDictionary;
  // The day of the current calendar (the local time zone) on which a moment
  // falls, as a running day number: equal numbers are the same day, a
  // larger number a later day.
  std::function<std::int64_t(platform::WallTime)> calendarDay;

  // The facts of this process and host (the host's through the utilities
  // library's environment utility).
  static BCNDiagnosticsEnvironment system();
};

// The loaded images, from the dynamic loader: the main program (by its
// executable path) first, then each shared object by its canonical path.
// Kernel-provided images without a file (the vDSO) are left out.
std::vector<std::string> BCNDiagnosticsLoadedImagePaths();

// Running day number of `time` in the local time zone.
std::int64_t BCNDiagnosticsLocalCalendarDay(platform::WallTime time);

}  // namespace vandrel::analytics
