#include "crash/reports/flt_file_manager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "crash/kit/trl_application_identity.h"
#include "crash/reports/flt_internal_report.h"
#include "platform/bundle.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace vandrel::crash {

namespace fs = std::filesystem;
using platform::UniqueFd;

namespace {

// Deeper trees are refused rather than walked: each level holds a descriptor.
constexpr int kMaxRemovalDepth = 128;
constexpr mode_t kDirectoryMode = 0755;

void logLine(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// The error as a log line shows it: description, errno and the path(s).
std::string errorText(int error, const std::string& path = {}) {
  char buffer[256];
  std::string text = std::string(strerror_r(error, buffer, sizeof buffer)) + " (errno " +
                     std::to_string(error) + ")";
  if (!path.empty()) text += " path '" + path + "'";
  return text;
}

// A descriptor, or the errno of the failure.
struct OpenedDir {
  UniqueFd fd;
  int error = 0;
};

// (parent directory, last component) of a path; absent when the path names
// no item ("", "/", ".", "..").
struct SplitPath {
  fs::path parent;
  std::string name;
};

std::optional<SplitPath> splitPath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  fs::path normal = fs::path(path).lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();
  std::string name = normal.filename().string();
  if (name.empty() || name == "." || name == ".." || name == "/") return std::nullopt;
  fs::path parent = normal.parent_path();
  if (parent.empty()) parent = ".";
  return SplitPath{parent, name};
}

// mkdir -p that follows links (for the root and above only).
int makeDirectories(const fs::path& path) {
  fs::path prefix;
  for (const auto& component : path) {
    prefix /= component;
    if (component == "/" || component.empty()) continue;
    if (::mkdir(prefix.c_str(), kDirectoryMode) == 0) {
      ::chmod(prefix.c_str(), kDirectoryMode);
    } else if (errno != EEXIST) {
      return errno;
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Every entry name of an open directory except "." and "..", sorted.
std::optional<std::vector<std::string>> entryNames(int dirFd, int* error) {
  const int copy = ::dup(dirFd);
  if (copy < 0) {
    *error = errno;
    return std::nullopt;
  }
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    *error = errno;
    ::close(copy);
    return std::nullopt;
  }
  ::rewinddir(dir);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Removes `name` in `dirFd`: a file or link by unlinking it, a directory
// by emptying it through descriptors opened without following links.
// Returns 0 or the first errno met; everything removable is removed.
int removeTreeAt(int dirFd, const std::string& name, int depth) {
  if (::unlinkat(dirFd, name.c_str(), 0) == 0) return 0;
  if (errno != EISDIR && errno != EPERM) return errno;
  const int unlinkError = errno;
  if (depth >= kMaxRemovalDepth) return ELOOP;
  UniqueFd child(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!child) return errno == ENOTDIR ? unlinkError : errno;
  int firstError = 0;
  auto names = entryNames(child.get(), &firstError);
  if (!names) return firstError;
  for (const auto& entry : *names) {
    const int error = removeTreeAt(child.get(), entry, depth + 1);
    if (firstError == 0) firstError = error;
  }
  child.reset();
  if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && firstError == 0) firstError = errno;
  return firstError;
}

bool isVisibleName(std::string_view name) { return !name.empty() && name.front() != '.'; }

std::string pathExtension(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return std::string(name.substr(dot + 1));
}

std::string join(const std::string& directory, std::string_view name) {
  return (fs::path(directory) / fs::path(std::string(name))).string();
}

}  // namespace

// ---- construction and paths ----------------------------------------------------

std::string FLTFileManager::pathNamespace(std::string_view bundleIdentifier) {
  std::string result(bundleIdentifier);
  for (char& c : result) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (result.empty()) return "_";
  if (result == "." || result == "..") return std::string(result.size(), '_');
  return result;
}

FLTFileManager::FLTFileManager() : FLTFileManager(platform::Bundle::main()) {}

FLTFileManager::FLTFileManager(const platform::Bundle& bundle)
    : pathNamespace_(pathNamespace(TRLBundleIdentifierNamespace(bundle))) {
  rootPath_ = (platform::cachesDirectory() / std::string(kFLTFileManagerRootDirectory) /
               pathNamespace_)
                  .lexically_normal()
                  .string();
}

FLTFileManager::FLTFileManager(RootTag, std::string rootPath, std::string pathNamespace)
    : rootPath_(std::move(rootPath)), pathNamespace_(std::move(pathNamespace)) {}

FLTFileManager FLTFileManager::withRootPath(std::string rootPath) {
  std::string normal = fs::path(rootPath).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  std::string name = fs::path(normal).filename().string();
  return FLTFileManager(RootTag{}, std::move(normal), std::move(name));
}

std::string FLTFileManager::structurePath() const {
  return join(rootPath_, kFLTFileManagerStructureDirectory);
}
std::string FLTFileManager::activePath() const {
  return join(structurePath(), kFLTFileManagerActiveDirectory);
}
std::string FLTFileManager::pendingPath() const {
  return join(structurePath(), kFLTFileManagerPendingDirectory);
}
std::string FLTFileManager::processingPath() const {
  return join(structurePath(), kFLTFileManagerProcessingDirectory);
}
std::string FLTFileManager::preparedPath() const {
  return join(structurePath(), kFLTFileManagerPreparedDirectory);
}

std::vector<std::string> FLTFileManager::activePathContents() const {
  return contentsOfDirectory(activePath());
}
std::vector<std::string> FLTFileManager::processingPathContents() const {
  return contentsOfDirectory(processingPath());
}
std::vector<std::string> FLTFileManager::preparedPathContents() const {
  return contentsOfDirectory(preparedPath());
}

// ---- opening directories ---------------------------------------------------------

namespace {

// The components of `path` below `root`; absent when `path` is not the
// root or inside it.
std::optional<std::vector<std::string>> componentsBelow(const fs::path& root, const fs::path& path) {
  const fs::path normalRoot = root.lexically_normal();
  fs::path normal = path.lexically_normal();
  if (!normal.has_filename() && normal != normal.root_path()) normal = normal.parent_path();
  auto r = normalRoot.begin();
  auto p = normal.begin();
  for (; r != normalRoot.end(); ++r, ++p) {
    if (r->empty()) continue;  // a trailing separator of the root
    if (p == normal.end() || *p != *r) return std::nullopt;
  }
  std::vector<std::string> components;
  for (; p != normal.end(); ++p) {
    if (p->empty() || *p == ".") continue;
    if (*p == "..") return std::nullopt;
    components.push_back(p->string());
  }
  return components;
}

// Opens a directory for the *at calls. Inside the store every component
// below the root is opened without following links (and made first, mode
// 0755, when `create` is set); elsewhere the path is opened as it stands.
OpenedDir openDirectory(const std::string& root, const fs::path& path, bool create) {
  OpenedDir result;
  const auto below = componentsBelow(root, path);
  const fs::path start = below ? fs::path(root) : path;
  if (create) {
    if (const int error = makeDirectories(start); error != 0) {
      result.error = error;
      return result;
    }
  }
  UniqueFd fd(::open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    result.error = errno;
    return result;
  }
  if (below) {
    for (const auto& component : *below) {
      if (create && ::mkdirat(fd.get(), component.c_str(), kDirectoryMode) == 0) {
        ::fchmodat(fd.get(), component.c_str(), kDirectoryMode, 0);
      }
      UniqueFd next(
          ::openat(fd.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!next) {
        // A link where a directory should be reads as "not a directory".
        result.error = errno == ELOOP ? ENOTDIR : errno;
        return result;
      }
      fd = std::move(next);
    }
  }
  result.fd = std::move(fd);
  return result;
}

}  // namespace

// ---- file operations -------------------------------------------------------------

bool FLTFileManager::createDirectoryAtPath(const std::string& path) const {
  const OpenedDir dir = path.empty() ? OpenedDir{UniqueFd(), ENOENT}
                                     : openDirectory(rootPath_, path, /*create=*/true);
  if (dir.fd) return true;
  logLine("[FileManager] Unable to create directory " + errorText(dir.error, path));
  return false;
}

bool FLTFileManager::removeItemAtPath(const std::string& path) const {
  int error = EINVAL;
  if (const auto split = splitPath(path)) {
    const OpenedDir parent = openDirectory(rootPath_, split->parent, false);
    error = parent.fd ? removeTreeAt(parent.fd.get(), split->name, 0) : parent.error;
  }
  if (error == 0) return true;
  logLine("[FileManager] Failed to remove file '" + path + "' : " + errorText(error));
  return false;
}

bool FLTFileManager::removeContentsOfDirectoryAtPath(const std::string& path) const {
  bool allRemoved = true;
  for (const auto& entry : contentsOfDirectory(path)) {
    if (!removeItemAtPath(entry)) allRemoved = false;
  }
  return allRemoved;
}

bool FLTFileManager::moveItemAtPath(const std::string& path, const std::string& directory) const {
  if (path.empty() || directory.empty()) {
    logLine("[FileManager] Failed to move file, inputs invalid");
    return false;
  }
  int error = EINVAL;
  if (const auto split = splitPath(path)) {
    const OpenedDir from = openDirectory(rootPath_, split->parent, false);
    const OpenedDir to = from.fd ? openDirectory(rootPath_, directory, false) : OpenedDir{};
    if (!from.fd || !to.fd) {
      error = from.fd ? to.error : from.error;
    } else {
      const char* name = split->name.c_str();
      // Never replace: a report already at the destination must survive.
      error = ::renameat2(from.fd.get(), name, to.fd.get(), name, RENAME_NOREPLACE) == 0 ? 0 : errno;
      if (error == EINVAL || error == ENOSYS) {
        // File systems without the no-replace flag: check, then rename.
        struct stat st {};
        if (::fstatat(to.fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
          error = EEXIST;
        } else {
          error = ::renameat(from.fd.get(), name, to.fd.get(), name) == 0 ? 0 : errno;
        }
      }
    }
  }
  if (error == 0) return true;
  logLine("[FileManager] Failed to move file: " + errorText(error, path + "' to '" + directory));
  return false;
}

bool FLTFileManager::moveItemsFromDirectory(const std::string& source,
                                            const std::string& destination) const {
  for (const auto& entry : contentsOfDirectory(source)) {
    if (!moveItemAtPath(entry, destination)) return false;
  }
  return true;
}

void FLTFileManager::enumerateFilesInDirectory(const std::string& path,
                                               const FileBlock& block) const {
  if (path.empty() || !block) return;
  const OpenedDir dir = openDirectory(rootPath_, path, false);
  if (!dir.fd) return;
  int error = 0;
  const auto names = entryNames(dir.fd.get(), &error);
  if (!names) return;
  for (const auto& name : *names) {
    if (isVisibleName(name)) block(join(path, name), pathExtension(name));
  }
}

std::vector<std::string> FLTFileManager::contentsOfDirectory(const std::string& path) const {
  std::vector<std::string> paths;
  enumerateFilesInDirectory(path, [&](const std::string& entry, const std::string&) {
    paths.push_back(entry);
  });
  return paths;
}

std::optional<std::uint64_t> FLTFileManager::fileSizeAtPath(const std::string& path) const {
  int error = EINVAL;
  if (const auto split = splitPath(path)) {
    const OpenedDir parent = openDirectory(rootPath_, split->parent, false);
    struct stat st {};
    if (parent.fd &&
        ::fstatat(parent.fd.get(), split->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      return static_cast<std::uint64_t>(st.st_size);
    }
    error = parent.fd ? errno : parent.error;
  }
  logLine("[Client] Unable to read file size: " + errorText(error, path));
  return std::nullopt;
}

// ---- launch set-up ------------------------------------------------------------------

bool FLTFileManager::prepareForNewLaunch() const {
  return createDirectoryAtPath(activePath()) && createDirectoryAtPath(processingPath()) &&
         createDirectoryAtPath(preparedPath());
}

std::optional<std::string> FLTFileManager::setupNewPathForExecutionIdentifier(
    std::string_view identifier) const {
  const bool plainName = isVisibleName(identifier) &&
                         identifier.find('/') == std::string_view::npos &&
                         identifier.find('\0') == std::string_view::npos;
  if (!plainName) {
    logLine("[FileManager] Unable to create directory " +
            errorText(EINVAL, join(activePath(), identifier)));
    return std::nullopt;
  }
  std::string path = join(activePath(), identifier);
  if (!createDirectoryAtPath(path)) return std::nullopt;
  return path;
}

bool FLTFileManager::removeLegacyDirectories() const {
  struct stat st {};
  const std::string legacy = join(rootPath_, kFLTFileManagerLegacyDirectory);
  if (::lstat(legacy.c_str(), &st) != 0) return true;
  const auto split = splitPath(rootPath_);
  int error = EINVAL;
  if (split) {
    UniqueFd parent(::open(split->parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = parent ? removeTreeAt(parent.get(), split->name, 0) : errno;
  }
  if (error != 0) {
    logLine("[Faultline:FileManager] Unable to remove legacy directory structure " +
            errorText(error, rootPath_));
    return false;
  }
  logLine("[Faultline:FileManager] Removed legacy structure at " + rootPath_);
  return true;
}

// ---- the tree's directories ---------------------------------------------------------

void FLTFileManager::enumerateReportsInProcessingDirectoryUsingBlock(
    const ReportBlock& block) const {
  if (!block) return;
  const OpenedDir processing = openDirectory(rootPath_, processingPath(), false);
  if (!processing.fd) return;
  enumerateFilesInDirectory(processingPath(), [&](const std::string& path, const std::string&) {
    struct stat st {};
    const std::string name = fs::path(path).filename().string();
    if (::fstatat(processing.fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode)) {
      return;
    }
    block(FLTInternalReport::reportWithPath(path), path);
  });
}

void FLTFileManager::enumerateFilesInActiveDirectoryUsingBlock(const FileBlock& block) const {
  enumerateFilesInDirectory(activePath(), block);
}

void FLTFileManager::enumerateFilesInPreparedDirectoryUsingBlock(const FileBlock& block) const {
  enumerateFilesInDirectory(preparedPath(), block);
}

bool FLTFileManager::removeUnfinishedPackages() const {
  // The package writer's temporary name: "." + final name + ".XXXXXX".
  const std::string marker = "." + std::string(kFLTFileManagerPreparedExtension) + ".";
  constexpr std::size_t kTemplateLength = 6;
  const OpenedDir prepared = openDirectory(rootPath_, preparedPath(), false);
  if (!prepared.fd) return false;
  int error = 0;
  const auto names = entryNames(prepared.fd.get(), &error);
  if (!names) return false;
  bool allRemoved = true;
  for (const auto& name : *names) {
    const bool unfinished = name.size() > 1 + marker.size() + kTemplateLength && name.front() == '.' &&
                            name.compare(name.size() - kTemplateLength - marker.size(), marker.size(),
                                         marker) == 0;
    if (!unfinished) continue;
    if (::unlinkat(prepared.fd.get(), name.c_str(), 0) != 0) {
      logLine("[FileManager] Failed to remove file '" + join(preparedPath(), name) + "' : " +
              errorText(errno));
      allRemoved = false;
    }
  }
  return allRemoved;
}

bool FLTFileManager::moveProcessingContentsToPrepared() const {
  return moveItemsFromDirectory(processingPath(), preparedPath());
}

bool FLTFileManager::movePendingToProcessing() const {
  return moveItemsFromDirectory(pendingPath(), processingPath());
}

bool FLTFileManager::removeContentsOfProcessingPath() const {
  return removeContentsOfDirectoryAtPath(processingPath());
}

bool FLTFileManager::removeContentsOfPendingPath() const {
  return removeContentsOfDirectoryAtPath(pendingPath());
}

bool FLTFileManager::removeContentsOfAllPaths() const {
  const bool processing = removeContentsOfProcessingPath();
  const bool pending = removeContentsOfPendingPath();
  const bool prepared = removeContentsOfDirectoryAtPath(preparedPath());
  const bool active = removeContentsOfDirectoryAtPath(activePath());
  return processing && pending && prepared && active;
}

}  // namespace vandrel::crash
