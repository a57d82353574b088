#pragma once

// Start-up tidying of the events directory: keeps logs, gzips and packages,
// drops everything else, unfinished compressions and the oldest packages
// beyond the limit, and hands the survivors to the controller.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

#include "analytics/tally/tly_file_utils.h"

namespace vandrel::analytics {

class TLYLogger;

inline constexpr std::string_view kTLYLogExtension = "log";
inline constexpr std::string_view kTLYCompressedExtension = "gz";
inline constexpr std::string_view kTLYMultipartExtension = "multipartmime";
inline constexpr std::string_view kTLYCleanupOperationLabel = "CleanupOperation";
inline constexpr std::string_view kTLYFailedToRemoveMessage = "Failed to remove %@: %@";

// Run on the controller's event queue.
class TLYCleanupFilesOperation {
 public:
  using URLSet = TLYFileUtils::URLSet;
  using SuccessBlock = std::function<void(const URLSet& logs, const URLSet& gzips, const URLSet& packages)>;

  TLYCleanupFilesOperation(std::filesystem::path directoryUrl, std::uint64_t maximumPendingMultipartFiles,
                           const TLYLogger* logger = nullptr);

  void setSuccessBlock(SuccessBlock block) { successBlock_ = std::move(block); }
  void main();

  // No more than `maximumFileCount`: unchanged, nothing deleted. Else the
  // newest `maximumFileCount` by creation date (an unreadable date counts as
  // oldest) are answered, newest first, and the rest deleted.
  static std::vector<std::filesystem::path> URLsByRemovingOldFiles(
      const std::vector<std::filesystem::path>& urls, std::uint64_t maximumFileCount);

  const std::filesystem::path& directoryUrl() const { return directoryUrl_; }
  std::uint64_t maximumPendingMultipartFiles() const { return maximumPendingMultipartFiles_; }

 private:
  std::filesystem::path directoryUrl_;
  std::uint64_t maximumPendingMultipartFiles_;
  const TLYLogger* logger_;
  SuccessBlock successBlock_;
};

}  // namespace vandrel::analytics
