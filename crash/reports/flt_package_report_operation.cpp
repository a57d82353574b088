#include "crash/reports/flt_package_report_operation.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <utility>

#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "crash/reports/flt_file_manager.h"
#include "crash/reports/flt_internal_report.h"
#include "platform/file_io.h"

namespace vandrel::crash {

namespace {

std::string lastPathComponent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The whole of a regular file, not through a link (a link in a report
// directory is not the report's content). Absent when it cannot be read.
std::optional<std::string> readRegularFile(const std::string& path) {
  // A FIFO in the directory must not hang the open.
  const platform::UniqueFd fd = platform::openRegularFile(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (!fd) return std::nullopt;
  std::string data;
  if (!platform::readAll(fd.get(), data, kFLTRecordFileMaxBytes)) return std::nullopt;
  return data;
}

// The report id travels as the first or second part, behind at most the
// API key: a package's first bytes hold it.
constexpr std::size_t kPackageHeadBytes = 64 * 1024;

platform::Error packageError(std::int64_t code, std::string message) {
  return {std::string(kFLTPackageReportErrorDomain), code, std::move(message)};
}

}  // namespace

FLTPackageReportOperation::FLTPackageReportOperation(std::shared_ptr<FLTInternalReport> report,
                                                     const FLTFileManager* fileManager)
    : report_(std::move(report)), fileManager_(fileManager) {}

std::shared_ptr<FLTPackageReportOperation> FLTPackageReportOperation::initWithReport(
    std::shared_ptr<FLTInternalReport> report, const FLTFileManager* fileManager) {
  return std::make_shared<FLTPackageReportOperation>(std::move(report), fileManager);
}

std::string FLTPackageReportOperation::reportPath() const {
  return report_ ? report_->path() : std::string();
}

std::string FLTPackageReportOperation::destinationDirectory() const {
  return fileManager_ ? fileManager_->preparedPath() : std::string();
}

std::string FLTPackageReportOperation::packagedPathWithName(std::string_view boundary) const {
  return destinationDirectory() + "/" + std::string(boundary) + "." +
         std::string(kFLTFileManagerPreparedExtension);
}

void FLTPackageReportOperation::main() {
  finalPath_.reset();
  errors_.clear();
  if (!report_ || fileManager_ == nullptr) return;
  const std::string boundary = TRLMultipartMimeStreamEncoder::generateBoundary();
  const std::string packagePath = packagedPathWithName(boundary);
  auto stream = std::make_shared<TRLFileOutputStream>(packagePath);
  auto encoder = TRLMultipartMimeStreamEncoder::encoderWithStream(stream, boundary);

  const auto result = encoder.encode([&] {
    // A "null placeholder" of the metadata never reaches a value here: the
    // internal report answers strings only.
    if (const auto key = report_->APIKey(); key && !key->empty()) {
      encoder.addValue(*key, kFLTPackageAPIKeyField);
    }
    if (!report_->identifier().empty()) encoder.addValue(report_->identifier(), kFLTPackageReportIdField);
    // Listed before anything is added, so the gzip copies made on the way
    // are not taken as content.
    const auto files = fileManager_->contentsOfDirectory(reportPath());
    for (const std::string& file : files) {
      if (isCancelled()) break;
      const std::string name = lastPathComponent(file);
      const auto dot = name.find_last_of('.');
      if (dot != std::string::npos && name.substr(dot + 1) == kFLTPackageGzipExtension) continue;
      const auto data = readRegularFile(file);
      if (!data || data->empty()) {
        FLT_SDK_LOG_ERROR("Error: unable to read data for compression: %s\n", name.c_str());
        errors_.push_back(packageError(kFLTPackageReportUnreadableFile,
                                       "unable to read " + file + " (left out of the package)"));
        continue;
      }
      encode(encoder, *data, file);
    }
  });

  if (isCancelled()) {
    std::error_code ec;
    std::filesystem::remove(packagePath, ec);
    errors_.push_back(packageError(kFLTPackageReportCancelled, "packaging was cancelled"));
    return;
  }
  if (!result.ok()) {
    // The stream keeps nothing of a body that is not whole.
    errors_.push_back(packageError(kFLTPackageReportEncodingFailed,
                                   "the package could not be written: " + result.error().message));
    return;
  }
  finalPath_ = packagePath;
}

void FLTPackageReportOperation::encode(TRLMultipartMimeStreamEncoder& encoder, std::string_view data,
                                       const std::string& sourcePath) {
  if (sourcePath.empty()) {
    FLT_SDK_LOG_ERROR("Error: path is invalid\n");
    return;
  }
  const std::string gzipPath = sourcePath + "." + std::string(kFLTPackageGzipExtension);
  const std::string gzipName = lastPathComponent(gzipPath);
  std::string partPath = gzipPath;
  std::string_view mimeType = kFLTPackageGzipMimeType;
  if (!compressData(data, gzipPath)) {
    FLT_SDK_LOG_ERROR("Error: compression failed for %s\n", gzipName.c_str());
    errors_.push_back(packageError(kFLTPackageReportCompressionFailed,
                                   "compression failed for " + sourcePath + " (sent uncompressed)"));
    // A half-written copy must not be mistaken for the content later.
    ::unlink(gzipPath.c_str());
    partPath = sourcePath;
    mimeType = kFLTPackagePlainMimeType;
  }
  encoder.addFile(partPath, gzipName, mimeType, lastPathComponent(sourcePath));
}

std::optional<std::string> FLTPackageReportOperation::reportIdentifierOfPackage(
    const std::string& packagePath) {
  const platform::UniqueFd fd =
      platform::openRegularFile(packagePath.c_str(), O_RDONLY | O_NOFOLLOW);
  if (!fd) return std::nullopt;
  std::string head;
  if (!platform::readAll(fd.get(), head, kPackageHeadBytes) && errno != EFBIG) return std::nullopt;
  // The package is named after its boundary; no value before the report id
  // can hold the delimiter, so its first match is the part itself.
  const std::string delimiter = "\r\n--" + std::filesystem::path(packagePath).stem().string();
  const std::string partHead = delimiter + "\r\nContent-Disposition: form-data; name=\"" +
                               std::string(kFLTPackageReportIdField) +
                               "\"\r\nContent-Type: text/plain\r\n\r\n";
  const auto start = head.find(partHead);
  if (start == std::string::npos) return std::nullopt;
  const auto valueStart = start + partHead.size();
  const auto valueEnd = head.find(delimiter, valueStart);
  if (valueEnd == std::string::npos) return std::nullopt;
  return head.substr(valueStart, valueEnd - valueStart);
}

bool FLTPackageReportOperation::compressData(std::string_view data, const std::string& path) {
  // The copy goes beside its source in the report directory: whatever
  // stands at its name is never followed (a link would have the copy
  // truncate a file outside the store) nor waited on (a FIFO).
  const int fd = platform::openRegularFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW,
                                           nullptr, 0666)
                     .release();
  if (fd < 0) {
    FLT_SDK_LOG_ERROR("Error: unable to open file for compression %s\n", std::strerror(errno));
    return false;
  }
  gzFile file = gzdopen(fd, "w");
  if (file == nullptr) {
    FLT_SDK_LOG_ERROR("Error: unable to open file for compression %s\n", std::strerror(errno));
    ::close(fd);
    return false;
  }
  bool result = !data.empty();
  // gzwrite takes an unsigned count: a larger buffer goes in pieces.
  constexpr std::size_t kPiece = 1u << 30;
  for (std::size_t at = 0; result && at < data.size(); at += kPiece) {
    const std::size_t length = std::min(kPiece, data.size() - at);
    result = writeBytes(data.data() + at, length, file);
  }
  // Close flushes the last compressed block: its failure loses the end.
  if (gzclose(file) != Z_OK) result = false;
  return result;
}

bool FLTPackageReportOperation::writeBytes(const void* bytes, std::size_t length, void* gzFilePtr) {
  auto file = static_cast<gzFile>(gzFilePtr);
  if (file == nullptr || length > UINT_MAX) return false;
  errno = 0;
  const int written = gzwrite(file, bytes, static_cast<unsigned>(length));
  if (written <= 0 || static_cast<std::size_t>(written) != length) {
    int zerror = 0;
    const char* text = gzerror(file, &zerror);
    FLT_SDK_LOG_ERROR("Error: failed to write compressed bytes %d, %s, %s \n", zerror,
                      text != nullptr ? text : "", std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace vandrel::crash
