#include "analytics/tally/tly_cleanup_files_operation.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "analytics/tally/tly_logger.h"

namespace vandrel::analytics {

TLYCleanupFilesOperation::TLYCleanupFilesOperation(std::filesystem::path directoryUrl,
                                                   std::uint64_t maximumPendingMultipartFiles,
                                                   const TLYLogger* logger)
    : directoryUrl_(std::move(directoryUrl)),
      maximumPendingMultipartFiles_(maximumPendingMultipartFiles),
      logger_(logger != nullptr ? logger : &TLYLogger::sharedLogger()) {}

void TLYCleanupFilesOperation::main() {
  using Map = std::map<std::string, std::filesystem::path>;
  Map logs;
  Map gzips;
  Map packages;
  const std::string logExt = "." + std::string(kTLYLogExtension);
  const std::string gzExt = "." + std::string(kTLYCompressedExtension);
  const std::string packageExt = "." + std::string(kTLYMultipartExtension);

  for (const auto& file : TLYFileUtils::allFilesInDirectory(directoryUrl_, logger_)) {
    const std::string extension = file.extension().string();
    const std::string stem = file.stem().string();
    if (extension == logExt) {
      logs[stem] = file;
    } else if (extension == gzExt) {
      gzips[stem] = file;
    } else if (extension == packageExt) {
      packages[stem] = file;
    } else {
      std::error_code ec;
      std::filesystem::remove_all(file, ec);
    }
  }

  // A gzip beside its log is an unfinished compression; the log is
  // compressed again.
  for (const auto& [stem, log] : logs) {
    const auto gzip = gzips.find(stem);
    if (gzip == gzips.end()) continue;
    std::error_code ec;
    std::filesystem::remove(gzip->second, ec);
    if (ec) {
      logger_->logWithLabel(kTLYCleanupOperationLabel,
                            TLYFillPlaceholders(kTLYFailedToRemoveMessage, {gzip->second.string(), ec.message()}));
    }
    gzips.erase(gzip);
  }

  std::vector<std::filesystem::path> packageURLs;
  for (const auto& [stem, url] : packages) packageURLs.push_back(url);
  const auto kept = URLsByRemovingOldFiles(packageURLs, maximumPendingMultipartFiles_);

  if (!successBlock_) return;
  URLSet logSet;
  URLSet gzipSet;
  for (const auto& [stem, url] : logs) logSet.insert(url);
  for (const auto& [stem, url] : gzips) gzipSet.insert(url);
  successBlock_(logSet, gzipSet, URLSet(kept.begin(), kept.end()));
}

std::vector<std::filesystem::path> TLYCleanupFilesOperation::URLsByRemovingOldFiles(
    const std::vector<std::filesystem::path>& urls, std::uint64_t maximumFileCount) {
  if (urls.size() <= maximumFileCount) return urls;
  const auto infinitelyOld = platform::WallTime::min();
  std::vector<std::pair<platform::WallTime, std::filesystem::path>> dated;
  dated.reserve(urls.size());
  for (const auto& url : urls) dated.emplace_back(TLYFileUtils::fileCreatedDateAtURL(url, infinitelyOld), url);
  std::stable_sort(dated.begin(), dated.end(), [](const auto& a, const auto& b) { return a.first > b.first; });

  std::vector<std::filesystem::path> kept;
  for (std::size_t i = 0; i < dated.size(); ++i) {
    if (i < maximumFileCount) {
      kept.push_back(dated[i].second);
    } else {
      std::error_code ec;
      std::filesystem::remove(dated[i].second, ec);
    }
  }
  return kept;
}

}  // namespace vandrel::analytics
