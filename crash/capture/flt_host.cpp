#include "crash/capture/flt_host.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_utilities.h"

namespace vandrel::crash {
namespace {

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// XDG_DOCUMENTS_DIR of user-dirs.dirs in the configuration directory: a
// quoted path, absolute or starting with "$HOME/" (the only expansion the
// file allows). Empty when the file does not name one.
std::string documentsFromUserDirs(const std::string& home) {
  std::string config;
  if (const char* value = std::getenv("XDG_CONFIG_HOME"); value != nullptr && value[0] == '/') {
    config = value;
  } else if (!home.empty()) {
    config = home + "/.config";
  } else {
    return {};
  }
  std::ifstream file(config + "/user-dirs.dirs");
  constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=\"";
  std::string found;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(kKey, 0) != 0) continue;
    const auto end = line.find('"', kKey.size());
    if (end == std::string::npos) continue;
    std::string value = line.substr(kKey.size(), end - kKey.size());
    if (value.rfind("$HOME/", 0) == 0 && !home.empty()) {
      value = home + value.substr(5);
    } else if (value == "$HOME") {
      value = home;
    }
    if (!value.empty() && value[0] == '/') found = value;  // the last entry counts
  }
  return found;
}

// The folder whose volume `storage` measures: the user's documents folder
// (XDG_DOCUMENTS_DIR from the environment, else from user-dirs.dirs, else
// ~/Documents) when it exists, else the home folder, which every account
// has. Nothing is created.
std::string measuredDirectory() {
  const std::string home = homeDirectory();
  std::string documents;
  if (const char* value = std::getenv("XDG_DOCUMENTS_DIR"); value != nullptr && value[0] == '/') {
    documents = value;
  } else {
    documents = documentsFromUserDirs(home);
    if (documents.empty() && !home.empty()) documents = home + "/Documents";
  }
  return isDirectory(documents) ? documents : home;
}

// The writer puts strings between quotes as they are; host facts come from
// firmware and /proc, so a quote, backslash or control character would
// break the line. Those become '_'.
std::optional<std::string> lineSafe(std::optional<std::string> value) {
  if (!value) return value;
  for (char& c : *value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || byte < 0x20 || byte == 0x7f) c = '_';
  }
  return value;
}

std::string sysctlOrFailed(std::string_view name, const SystemFactsSource& source) {
  return lineSafe(TRLSysctlString(name, source)).value_or("(failed)");
}

}  // namespace

void FLTHostRegisterSetUp() noexcept { FLTContextRegisterHostSetUp(FLTHostInitialize, FLTHostWriteInfo); }

void FLTHostInitialize(FLTReadOnlyContext* readOnly, FLTWritableContext*, FLTAllocator* allocator) {
  if (readOnly == nullptr) return;
  readOnly->pageSize = FLTHostGetPageSize();
  const std::string directory = measuredDirectory();
  readOnly->measuredDirectory =
      directory.empty() ? nullptr : FLTDupString(allocator, directory.c_str());
}

bool FLTHostWriteInfo(FLTFile* file) { return FLTHostWriteInfo(file, SystemFactsSource::live()); }

bool FLTHostWriteInfo(FLTFile* file, const SystemFactsSource& source) {
  if (file == nullptr) return false;
  FLTFileWriteSectionStart(file, "host");
  FLTFileWriteHashStart(file);
  FLTFileWriteHashEntryObjectString(file, "model", lineSafe(TRLHardwareModel(source)));
  FLTFileWriteHashEntryObjectString(file, "machine", sysctlOrFailed("hw.machine", source));
  FLTFileWriteHashEntryObjectString(file, "cpu", sysctlOrFailed("machdep.cpu.brand_string", source));
  FLTFileWriteHashEntryObjectString(file, "os_build_version", lineSafe(TRLOSBuildVersion(source)));
  FLTFileWriteHashEntryObjectString(file, "os_display_version", TRLOSDisplayVersion(source));
  FLTFileWriteHashEntryString(file, "platform", "mac");
  FLTFileWriteHashEntryObjectString(file, "locale", lineSafe(TRLLocaleIdentifier()));
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
  return true;
}

std::size_t FLTHostGetPageSize() noexcept {
  const long size = sysconf(_SC_PAGESIZE);
  if (size <= 0) {
    FLT_SDK_LOG_WARN("sysctlbyname failed while trying to get hw.pagesize\n");
    return 4096;
  }
  return static_cast<std::size_t>(size);
}

std::int64_t FLTHostGetOSVersionCode(const TRLOperatingSystemVersionValue& version) noexcept {
  const std::int64_t minor = version.minorVersion;
  if (minor >= 6 && minor <= 9) return 1000 + 10 * minor;
  if (minor >= 10 && minor <= 16) return 100000 + 100 * minor;
  return 0;
}

std::int64_t FLTHostGetOSVersionCode(const SystemFactsSource& source) {
  return FLTHostGetOSVersionCode(TRLOperatingSystemVersion(source));
}

void FLTHostRecordStorage(FLTFile* file) noexcept {
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  FLTHostRecordStorage(file, readOnly != nullptr ? readOnly->measuredDirectory : nullptr);
}

void FLTHostRecordStorage(FLTFile* file, const char* directory) noexcept {
  FLTFileWriteSectionStart(file, "storage");
  FLTFileWriteHashStart(file);
  struct statfs volume {};
  if (directory != nullptr && statfs(directory, &volume) == 0) {
    const auto blockSize = static_cast<std::uint64_t>(volume.f_bsize);
    FLTFileWriteHashEntryUint64(file, "free", blockSize * static_cast<std::uint64_t>(volume.f_bavail));
    FLTFileWriteHashEntryUint64(file, "total", blockSize * static_cast<std::uint64_t>(volume.f_blocks));
  }
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
}

}  // namespace vandrel::crash
