#include "analytics/tally/tly_package_log_operation.h"

#include <sys/stat.h>

#include <memory>
#include <system_error>

#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"

namespace vandrel::analytics {
namespace {

bool isRegularFile(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace

TLYPackageLogOperation::TLYPackageLogOperation(std::filesystem::path compressedLogURL,
                                               std::filesystem::path packagedLogURL,
                                               std::string multipartMimeBoundary, const TLYLogger* logger)
    : compressedLogURL_(std::move(compressedLogURL)),
      packagedLogURL_(std::move(packagedLogURL)),
      multipartMimeBoundary_(std::move(multipartMimeBoundary)),
      logger_(logger != nullptr ? logger : &TLYLogger::sharedLogger()) {}

std::filesystem::path TLYPackageLogOperation::multipartURLForCompressedURL(const std::filesystem::path& url,
                                                                           std::string_view boundary) {
  return url.parent_path() / (std::string(boundary) + ".multipartmime");
}

void TLYPackageLogOperation::main() {
  success_ = false;
  if (!isRegularFile(compressedLogURL_)) {
    logger_->log(TLYFillPlaceholders(kTLYPackageNonexistentMessage, {compressedLogURL_.string()}));
    return;
  }
  auto stream = std::make_shared<crash::TRLFileOutputStream>(packagedLogURL_);
  const TLYLogger* logger = logger_;
  crash::TRLMultipartMimeStreamEncoder encoder(
      stream, multipartMimeBoundary_, {}, [logger](std::string_view line) { logger->internalLog(line); });
  // The package's name is its boundary: a boundary the encoder would have
  // to replace would no longer match the name.
  if (encoder.boundary() != multipartMimeBoundary_) return;

  bool added = false;
  const auto encoded = encoder.encode([&] {
    if (compressedLogURL_.empty() || !isRegularFile(compressedLogURL_)) {
      logger_->log(TLYFillPlaceholders(kTLYPackagingInvalidPathMessage, {compressedLogURL_.string()}));
      return;
    }
    const std::string name = compressedLogURL_.filename().string();
    added = encoder.addFile(compressedLogURL_, name, kTLYEventsMimeType, name);
  });
  success_ = encoded.ok() && added;
  if (encoded.ok() && !added) {
    // A body without the log is nothing to upload.
    std::error_code ec;
    std::filesystem::remove(packagedLogURL_, ec);
  }
}

}  // namespace vandrel::analytics
