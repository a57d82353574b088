#pragma once

// Facts about the running system for request headers and report metadata.
// On Linux the kernel variables the kit asks for by name are read from
// /proc, /sys and /etc below a root directory that tests may replace.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel::crash {

struct TRLOperatingSystemVersionValue {
  std::int64_t majorVersion = 10;
  std::int64_t minorVersion = 0;
  std::int64_t patchVersion = 0;

  bool operator==(const TRLOperatingSystemVersionValue&) const = default;
};

// Where the facts come from. `root` prefixes every file read ("/" live).
struct SystemFactsSource {
  std::string root = "/";

  static const SystemFactsSource& live();
};

// The kernel variables known here and where each is read:
//   "kern.osversion"            /proc/sys/kernel/version
//   "kern.osrelease"            /proc/sys/kernel/osrelease
//   "kern.ostype"               /proc/sys/kernel/ostype
//   "hw.model"                  /sys/devices/virtual/dmi/id/product_name, else
//                               /sys/firmware/devicetree/base/model
//   "hw.machine"                uname's machine
//   "machdep.cpu.brand_string"  the first "model name" of /proc/cpuinfo
// Like a read into a 128-byte buffer: none for an unknown name, an
// unreadable or empty value, one of 128 bytes or more, or invalid UTF-8.
std::optional<std::string> TRLSysctlString(std::string_view name,
                                           const SystemFactsSource& source = SystemFactsSource::live());

// Major, minor and patch of the distribution's "VERSION_ID" in
// etc/os-release, else of the kernel release; 10, 0, 0 where nothing reads.
TRLOperatingSystemVersionValue TRLOperatingSystemVersion(
    const SystemFactsSource& source = SystemFactsSource::live());
// Minor 6 to 14 give 1060 ... 101400; any other minor gives 0.
std::int64_t TRLOSVersionNumber(const TRLOperatingSystemVersionValue& version);
std::int64_t TRLOSVersionNumber(const SystemFactsSource& source = SystemFactsSource::live());
std::optional<std::string> TRLOSBuildVersion(const SystemFactsSource& source = SystemFactsSource::live());
// "%ld.%ld.%ld" over TRLOperatingSystemVersion.
std::string TRLOSDisplayVersion(const SystemFactsSource& source = SystemFactsSource::live());
std::optional<std::string> TRLHardwareModel(const SystemFactsSource& source = SystemFactsSource::live());

// The user's locale in the form en_US, from LC_ALL, LC_MESSAGES or LANG
// (the first set and not empty); "C" and "POSIX" read as en_US_POSIX, and so
// does a value that is not a plain locale name.
std::string TRLLocaleIdentifier();
std::string TRLLocaleIdentifierFromEnvironment(std::string_view lcAll, std::string_view lcMessages,
                                               std::string_view lang);

}  // namespace vandrel::crash
