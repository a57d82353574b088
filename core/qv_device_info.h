#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel::platform {
class Bundle;
}

namespace vandrel::core {

// Facts about the application and the machine for logs, log records and
// request parameters. Every answer is a text with a fixed fallback, and
// every call reads its source again (no cache).
//
// Sources on Linux, all below `root` ("/" for the running system):
// - bundle values: the bundle's information dictionary;
// - countryCode: the region of the locale named by LC_ALL, LC_MESSAGES or
//   LANG (the first one set), as ICU reads it;
// - udid: sys/class/dmi/id/product_serial unless it is a placeholder; else
//   an id of this application on this machine: HMAC-SHA256 of
//   etc/machine-id keyed by the bundle identifier, in upper-case hex (the
//   raw machine id never leaves the machine);
// - deviceModel: sys/class/dmi/id/product_name unless a placeholder;
// - osVersion: VERSION_ID of etc/os-release, or of usr/lib/os-release when
//   the first does not exist.
// Placeholders (after trimming, in any letter case): "To Be Filled By
// O.E.M.", "Not Specified", "Default string", "0" and the blank text.
class DeviceFacts {
 public:
  // The value of an environment variable, absent when unset.
  using Environment = std::function<std::optional<std::string>(const char* name)>;

  // The running application: the main bundle of the moment, "/" and the
  // process environment.
  DeviceFacts();
  // Another bundle and root (tests use fixture trees); `bundle` must outlive
  // this object.
  DeviceFacts(const platform::Bundle& bundle, std::filesystem::path root,
              Environment environment = processEnvironment());

  static Environment processEnvironment();

  std::string appVersion() const;    // "CFBundleShortVersionString", else "0.0"
  std::string buildVersion() const;  // "CFBundleVersion", else "0.0"
  std::string bundleId() const;      // "CFBundleIdentifier", else "com.---.mac"
  std::string countryCode() const;   // else "unknow"
  std::string udid() const;          // else "unKnowUDID"
  std::string deviceModel() const;   // else the empty text
  std::string osVersion() const;     // else "unknow"

 private:
  const platform::Bundle& bundle() const;
  std::optional<std::string> infoString(std::string_view key) const;
  std::optional<std::string> dmiValue(std::string_view name) const;

  const platform::Bundle* bundle_ = nullptr;  // nullptr: the main bundle
  std::filesystem::path root_;
  Environment environment_;
};

// The application's device information: static getters over DeviceFacts()
// of the running application.
class qv_DeviceInfo {
 public:
  qv_DeviceInfo() = delete;

  static std::string appVersion() { return DeviceFacts().appVersion(); }
  static std::string buildVersion() { return DeviceFacts().buildVersion(); }
  static std::string bundleId() { return DeviceFacts().bundleId(); }
  static std::string countryCode() { return DeviceFacts().countryCode(); }
  static std::string udid() { return DeviceFacts().udid(); }
  static std::string deviceModel() { return DeviceFacts().deviceModel(); }
  static std::string osVersion() { return DeviceFacts().osVersion(); }
};

}  // namespace vandrel::core
