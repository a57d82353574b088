#pragma once

// The utilities library's environment facts, as Linux answers them.

#include <string>

namespace vandrel::analytics {

class GRUAppEnvironmentUtil {
 public:
  // The operating system's version: VERSION_ID of /etc/os-release (else of
  // /usr/lib/os-release), else the kernel release; empty when none is known.
  static std::string systemVersion();
  // Parses os-release text for VERSION_ID (quotes removed).
  static std::string versionIDFromOSRelease(const std::string& text);
  // Builds here are never installed from an app store.
  static bool isFromAppStore() { return false; }
  // True when the main bundle is an app extension (its path ends in ".appex").
  static bool isAppExtension();
  // The machine's hardware name (uname), e.g. "x86_64".
  static std::string deviceModel();
};

}  // namespace vandrel::analytics
