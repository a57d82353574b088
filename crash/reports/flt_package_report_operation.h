#pragma once

// Turns one report directory into one upload-ready multipart/form-data
// file in the store's prepared directory, named "<boundary>.multipartmime":
// "api_key" and "report_id" values, then every content file of the report
// (in directory order, gzip copies left out) gzip-compressed as a file
// part named after it. The compressed copies are written next to their
// sources and stay in the report directory; the report directory itself is
// never changed otherwise (its owner removes it once the package exists).
// Runs synchronously with `start` on the caller's thread.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/kit/trl_async_operation.h"
#include "platform/result.h"

namespace vandrel::crash {

class FLTFileManager;
class FLTInternalReport;
class TRLMultipartMimeStreamEncoder;

inline constexpr std::string_view kFLTPackageReportErrorDomain = "vandrel.crash.package";
inline constexpr std::int64_t kFLTPackageReportUnreadableFile = 1;
inline constexpr std::int64_t kFLTPackageReportCompressionFailed = 2;
inline constexpr std::int64_t kFLTPackageReportEncodingFailed = 3;
inline constexpr std::int64_t kFLTPackageReportCancelled = 4;

inline constexpr std::string_view kFLTPackageGzipExtension = "gz";
inline constexpr std::string_view kFLTPackageGzipMimeType = "application/x-gzip";
inline constexpr std::string_view kFLTPackagePlainMimeType = "text/plain";
inline constexpr std::string_view kFLTPackageAPIKeyField = "api_key";
inline constexpr std::string_view kFLTPackageReportIdField = "report_id";

class FLTPackageReportOperation : public Operation {
 public:
  // `fileManager` must outlive the operation.
  FLTPackageReportOperation(std::shared_ptr<FLTInternalReport> report,
                            const FLTFileManager* fileManager);
  static std::shared_ptr<FLTPackageReportOperation> initWithReport(
      std::shared_ptr<FLTInternalReport> report, const FLTFileManager* fileManager);

  void main() override;

  // The package path once a package is complete.
  const std::optional<std::string>& finalPath() const { return finalPath_; }

  std::string reportPath() const;
  std::string destinationDirectory() const;
  std::string packagedPathWithName(std::string_view boundary) const;

  // Adds one file part for `sourcePath` whose contents are `data`.
  void encode(TRLMultipartMimeStreamEncoder& encoder, std::string_view data,
              const std::string& sourcePath);
  static bool compressData(std::string_view data, const std::string& path);
  // The "report_id" value of a package this operation wrote; absent when
  // the file is no such package or its head holds no report id.
  static std::optional<std::string> reportIdentifierOfPackage(const std::string& packagePath);
  // gzFile passed as its opaque pointer, so zlib stays out of this header.
  static bool writeBytes(const void* bytes, std::size_t length, void* gzFile);

  // What the last run left out or could not do (domain
  // kFLTPackageReportErrorDomain), one error per file or failure: unreadable
  // or empty content files, compressions that failed (sent uncompressed),
  // a body that could not be written. The report directory keeps every
  // source file in each case.
  const std::vector<platform::Error>& errors() const { return errors_; }

 private:
  std::vector<platform::Error> errors_;
  std::shared_ptr<FLTInternalReport> report_;
  const FLTFileManager* fileManager_;
  std::optional<std::string> finalPath_;
};

}  // namespace vandrel::crash
