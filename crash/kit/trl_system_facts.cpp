#include "crash/kit/trl_system_facts.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vandrel::crash {

namespace {

// A sysctl value read into this buffer keeps room for its terminator.
constexpr std::size_t kSysctlBufferSize = 128;

std::optional<std::string> readFile(const SystemFactsSource& source, std::string_view path) {
  std::string full = source.root;
  if (full.empty() || full.back() != '/') full.push_back('/');
  full.append(path);
  std::ifstream in(full, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::string trim(std::string text) {
  const char* blanks = " \t\r\n";
  std::size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return {};
  std::size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t code = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      code = (code << 6) | (cc & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// Device-tree strings end in NUL; a kernel value must hold none.
std::optional<std::string> asSysctlValue(std::optional<std::string> raw) {
  if (!raw) return std::nullopt;
  std::string value = *raw;
  if (std::size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
  value = trim(std::move(value));
  if (value.empty() || value.size() >= kSysctlBufferSize || !isValidUtf8(value)) return std::nullopt;
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7F) return std::nullopt;
  }
  return value;
}

std::optional<std::string> cpuBrand(const SystemFactsSource& source) {
  auto cpuinfo = readFile(source, "proc/cpuinfo");
  if (!cpuinfo) return std::nullopt;
  std::istringstream lines(*cpuinfo);
  std::string line;
  while (std::getline(lines, line)) {
    if (trim(line.substr(0, line.find(':'))) != "model name") continue;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;
    return line.substr(colon + 1);
  }
  return std::nullopt;
}

std::optional<std::string> machine() {
  struct utsname names {};
  if (uname(&names) != 0) return std::nullopt;
  return std::string(names.machine);
}

// Up to three leading numbers separated by dots ("12", "6.1.0-18-amd64").
bool parseVersion(std::string_view text, TRLOperatingSystemVersionValue& version) {
  std::int64_t parts[3] = {version.majorVersion, 0, 0};
  std::size_t i = 0;
  int count = 0;
  while (count < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9') {
    std::int64_t number = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (number > 100000000) return false;
      number = number * 10 + (text[i] - '0');
      ++i;
    }
    parts[count++] = number;
    if (i < text.size() && text[i] == '.') {
      ++i;
    } else {
      break;
    }
  }
  if (count == 0) return false;
  version = {parts[0], parts[1], parts[2]};
  return true;
}

std::optional<std::string> osReleaseVersionId(const SystemFactsSource& source) {
  auto text = readFile(source, "etc/os-release");
  if (!text) text = readFile(source, "usr/lib/os-release");
  if (!text) return std::nullopt;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("VERSION_ID=", 0) != 0) continue;
    std::string value = trim(line.substr(11));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return std::nullopt;
}

bool isLocaleNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

const SystemFactsSource& SystemFactsSource::live() {
  static const SystemFactsSource* source = new SystemFactsSource{};
  return *source;
}

std::optional<std::string> TRLSysctlString(std::string_view name, const SystemFactsSource& source) {
  if (name == "kern.osversion") return asSysctlValue(readFile(source, "proc/sys/kernel/version"));
  if (name == "kern.osrelease") return asSysctlValue(readFile(source, "proc/sys/kernel/osrelease"));
  if (name == "kern.ostype") return asSysctlValue(readFile(source, "proc/sys/kernel/ostype"));
  if (name == "hw.model") {
    auto model = asSysctlValue(readFile(source, "sys/devices/virtual/dmi/id/product_name"));
    if (!model) model = asSysctlValue(readFile(source, "sys/firmware/devicetree/base/model"));
    return model;
  }
  if (name == "hw.machine") return asSysctlValue(machine());
  if (name == "machdep.cpu.brand_string") return asSysctlValue(cpuBrand(source));
  return std::nullopt;
}

TRLOperatingSystemVersionValue TRLOperatingSystemVersion(const SystemFactsSource& source) {
  TRLOperatingSystemVersionValue version;
  if (auto id = osReleaseVersionId(source); id && parseVersion(*id, version)) return version;
  if (auto release = TRLSysctlString("kern.osrelease", source)) parseVersion(*release, version);
  return version;
}

std::int64_t TRLOSVersionNumber(const TRLOperatingSystemVersionValue& version) {
  switch (version.minorVersion) {
    case 6: return 1060;
    case 7: return 1070;
    case 8: return 1080;
    case 9: return 1090;
    case 10: return 101000;
    case 11: return 101100;
    case 12: return 101200;
    case 13: return 101300;
    case 14: return 101400;
    default: return 0;
  }
}

std::int64_t TRLOSVersionNumber(const SystemFactsSource& source) {
  return TRLOSVersionNumber(TRLOperatingSystemVersion(source));
}

std::optional<std::string> TRLOSBuildVersion(const SystemFactsSource& source) {
  return TRLSysctlString("kern.osversion", source);
}

std::string TRLOSDisplayVersion(const SystemFactsSource& source) {
  TRLOperatingSystemVersionValue v = TRLOperatingSystemVersion(source);
  return std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion) + "." +
         std::to_string(v.patchVersion);
}

std::optional<std::string> TRLHardwareModel(const SystemFactsSource& source) {
  return TRLSysctlString("hw.model", source);
}

std::string TRLLocaleIdentifierFromEnvironment(std::string_view lcAll, std::string_view lcMessages,
                                               std::string_view lang) {
  std::string_view value = !lcAll.empty() ? lcAll : !lcMessages.empty() ? lcMessages : lang;
  value = value.substr(0, value.find_first_of(".@"));
  if (value.empty() || value == "C" || value == "POSIX") return "en_US_POSIX";
  if (value.size() > 32 || value.front() == '_' || value.back() == '_') return "en_US_POSIX";
  for (char c : value) {
    if (!isLocaleNameChar(c)) return "en_US_POSIX";
  }
  return std::string(value);
}

std::string TRLLocaleIdentifier() {
  auto env = [](const char* name) -> std::string_view {
    const char* value = std::getenv(name);
    return value ? value : "";
  };
  return TRLLocaleIdentifierFromEnvironment(env("LC_ALL"), env("LC_MESSAGES"), env("LANG"));
}

}  // namespace vandrel::crash
