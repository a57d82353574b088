#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace vandrel::platform {

// A macOS-shaped application directory, kept on Linux so that every path
// rule of the system works unchanged:
//
//   X.app/Contents/Info.json           bundle information (a JSON object)
//   X.app/Contents/MacOS/<executable>
//   X.app/Contents/Resources/...
//   X.app/Contents/Library/LoginItems/..., Contents/Library/LaunchServices/...
//
// A Bundle reads its Info.json once, when it is made, and is immutable
// afterwards (safe to share between threads).
class Bundle {
 public:
  // The running program's bundle: $VANDREL_BUNDLE when set (checked first),
  // else the bundle of the running executable (see bundlePathForExecutable).
  // Resolved on every call; one instance per resolved path lives for the
  // process.
  static const Bundle& main();

  // X.app for an executable at X.app/Contents/MacOS/<exe>; for an
  // executable outside that layout, the directory holding it.
  static std::filesystem::path bundlePathForExecutable(const std::filesystem::path& executable);

  explicit Bundle(std::filesystem::path bundlePath);

  const std::filesystem::path& bundlePath() const { return bundlePath_; }
  std::filesystem::path contentsPath() const { return bundlePath_ / "Contents"; }
  // Contents/MacOS/ + "CFBundleExecutable" (else the bundle's name without
  // its extension).
  std::filesystem::path executablePath() const;
  std::filesystem::path resourcesPath() const { return contentsPath() / "Resources"; }
  // Contents/Library, home of LoginItems and LaunchServices.
  std::filesystem::path libraryPath() const { return contentsPath() / "Library"; }
  std::filesystem::path loginItemsPath() const { return libraryPath() / "LoginItems"; }
  std::filesystem::path launchServicesPath() const { return libraryPath() / "LaunchServices"; }
  std::filesystem::path infoPath() const { return contentsPath() / "Info.json"; }

  // Contents/Info.json; a missing or corrupt file (or one that is not a
  // JSON object) gives an empty dictionary and a line on stderr.
  const Value::Dictionary& infoDictionary() const { return info_; }
  // A string entry of the info dictionary; absent for a missing key or a
  // value of another type.
  std::optional<std::string> infoString(std::string_view key) const;
  // "CFBundleIdentifier", or empty when the bundle has none.
  std::string bundleIdentifier() const;

  // Contents/Resources/<name> when `type` is empty, else <name>.<type> (a
  // leading "." of `type` is optional). Absent when nothing is there.
  std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                       std::string_view type = "") const;

 private:
  std::filesystem::path bundlePath_;
  Value::Dictionary info_;
};

}  // namespace vandrel::platform
