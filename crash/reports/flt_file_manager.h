#pragma once

// The crash kit's on-disk tree and the few file operations the rest of the
// kit performs on it. Layout under the root
// (<Caches>/com.faultline.data/<bundle identifier namespace>):
//
//   v3/active/<execution identifier>/   one report directory per launch
//   v3/pending/                          only ever emptied or drained
//   v3/processing/<report>/              earlier launches being processed
//   v3/prepared/<report>.multipartmime   packaged reports awaiting upload
//   sendable                             marks a legacy layout
//
// Stateless apart from the root path fixed at construction; safe to call
// from any queue. Failures are results (false or absent) plus one line on
// standard error (the system log of this platform).
//
// Nothing below the root is ever followed through a symbolic link: each
// path inside the store is opened component by component without following
// links, and removals and moves act on a link itself, never on its target,
// so a link planted in the store cannot lead an operation outside it. The
// root and the directories above it are taken as they are (the user may
// keep the caches directory elsewhere through a link).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::platform {
class Bundle;
}

namespace vandrel::crash {

class FLTInternalReport;

inline constexpr std::string_view kFLTFileManagerRootDirectory = "com.faultline.data";
inline constexpr std::string_view kFLTFileManagerStructureDirectory = "v3";
inline constexpr std::string_view kFLTFileManagerActiveDirectory = "active";
inline constexpr std::string_view kFLTFileManagerPendingDirectory = "pending";
inline constexpr std::string_view kFLTFileManagerProcessingDirectory = "processing";
inline constexpr std::string_view kFLTFileManagerPreparedDirectory = "prepared";
inline constexpr std::string_view kFLTFileManagerLegacyDirectory = "sendable";
// Extension of a packaged report in "prepared".
inline constexpr std::string_view kFLTFileManagerPreparedExtension = "multipartmime";

class FLTFileManager {
 public:
  // (full path, path extension without the dot; empty when there is none)
  using FileBlock = std::function<void(const std::string& path, const std::string& extension)>;
  // (the report read from the directory, null when it has no session
  // identifier; the directory's full path)
  using ReportBlock =
      std::function<void(const std::shared_ptr<FLTInternalReport>& report, const std::string& path)>;

  // Root under the caches directory for the main bundle.
  FLTFileManager();
  // Root under the caches directory for `bundle`.
  explicit FLTFileManager(const platform::Bundle& bundle);
  // A store at an explicit root.
  static FLTFileManager withRootPath(std::string rootPath);

  // The bundle identifier as one directory name: "/" (and NUL) become "_";
  // an identifier that is empty, "." or ".." (which would put the store in
  // or above "com.faultline.data") has each character replaced by "_", and
  // the empty one becomes "_".
  static std::string pathNamespace(std::string_view bundleIdentifier);
  const std::string& pathNamespace() const { return pathNamespace_; }

  const std::string& rootPath() const { return rootPath_; }
  std::string structurePath() const;
  std::string activePath() const;
  std::string pendingPath() const;
  std::string processingPath() const;
  std::string preparedPath() const;

  std::vector<std::string> activePathContents() const;
  std::vector<std::string> processingPathContents() const;
  std::vector<std::string> preparedPathContents() const;

  // mkdir -p with mode 0755 for every directory made; true when the path is
  // a directory afterwards.
  bool createDirectoryAtPath(const std::string& path) const;
  // Removes a file, link or whole directory tree. A missing item fails.
  bool removeItemAtPath(const std::string& path) const;
  // Removes every entry that the enumeration yields (hidden names stay);
  // all are attempted, true only when all went.
  bool removeContentsOfDirectoryAtPath(const std::string& path) const;
  // Renames `path` to directory/<last component of path>. Never copies and
  // never replaces: an existing destination, another file system or any
  // other failure leaves the item where it was.
  bool moveItemAtPath(const std::string& path, const std::string& directory) const;
  // Moves each entry in enumeration order; stops at the first failure.
  bool moveItemsFromDirectory(const std::string& source, const std::string& destination) const;

  // The directory's entries in name order, names beginning with "." left
  // out. A missing or unreadable directory yields nothing.
  void enumerateFilesInDirectory(const std::string& path, const FileBlock& block) const;
  std::vector<std::string> contentsOfDirectory(const std::string& path) const;
  // Size of the item itself (a link is not followed).
  std::optional<std::uint64_t> fileSizeAtPath(const std::string& path) const;

  // Creates active, processing and prepared, in that order, stopping at the
  // first failure. Never creates pending.
  bool prepareForNewLaunch() const;
  // Creates active/<identifier>; absent on failure or for an identifier
  // that is not one plain, visible directory name.
  std::optional<std::string> setupNewPathForExecutionIdentifier(std::string_view identifier) const;
  // When root/"sendable" exists, removes the whole root (a "v3" beside it
  // too). False only when a legacy tree was found and could not be removed.
  bool removeLegacyDirectories() const;

  // Each real directory in processing (links and files are skipped: their
  // content is not the store's).
  void enumerateReportsInProcessingDirectoryUsingBlock(const ReportBlock& block) const;
  void enumerateFilesInActiveDirectoryUsingBlock(const FileBlock& block) const;
  void enumerateFilesInPreparedDirectoryUsingBlock(const FileBlock& block) const;

  // Removes the hidden temporary files of packages that were never
  // finished (".<name>.multipartmime.XXXXXX" in prepared, left by a launch
  // that ended while packaging); nothing else. True when all went.
  bool removeUnfinishedPackages() const;

  bool moveProcessingContentsToPrepared() const;
  bool movePendingToProcessing() const;
  bool removeContentsOfProcessingPath() const;
  bool removeContentsOfPendingPath() const;
  // Empties processing, pending, prepared and active, all attempted.
  bool removeContentsOfAllPaths() const;

 private:
  struct RootTag {};
  FLTFileManager(RootTag, std::string rootPath, std::string pathNamespace);

  std::string rootPath_;
  std::string pathNamespace_;
};

}  // namespace vandrel::crash
