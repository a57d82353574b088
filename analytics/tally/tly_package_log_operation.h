#pragma once

// Wraps a gzipped log in one multipart/form-data body, the file that is
// uploaded. The package is named after its multipart boundary.

#include <filesystem>
#include <string>
#include <string_view>

namespace vandrel::analytics {

class TLYLogger;

inline constexpr std::string_view kTLYPackageNonexistentMessage =
    "Error: attempting to package nonexistent file: %@";
inline constexpr std::string_view kTLYPackagingInvalidPathMessage = "Error packaging: %@ is an invalid path.";
inline constexpr std::string_view kTLYEventsMimeType = "application/vnd.faultline.mac.events";

// Run on the controller's event queue.
class TLYPackageLogOperation {
 public:
  TLYPackageLogOperation(std::filesystem::path compressedLogURL, std::filesystem::path packagedLogURL,
                         std::string multipartMimeBoundary, const TLYLogger* logger = nullptr);

  // <directory of url>/<boundary>.multipartmime
  static std::filesystem::path multipartURLForCompressedURL(const std::filesystem::path& url,
                                                            std::string_view boundary);

  // A missing gzip (or a directory) is logged and nothing is made. The body
  // holds one part: the gzip, file and field name = its file name. It is
  // written under a temporary name and appears at the package path only
  // when complete. The gzip stays.
  void main();

  // True when a complete package holding the gzip is at its place: only
  // then may the gzip be deleted.
  bool success() const { return success_; }
  const std::filesystem::path& compressedLogURL() const { return compressedLogURL_; }
  const std::filesystem::path& packagedLogURL() const { return packagedLogURL_; }
  const std::string& multipartMimeBoundary() const { return multipartMimeBoundary_; }

 private:
  std::filesystem::path compressedLogURL_;
  std::filesystem::path packagedLogURL_;
  std::string multipartMimeBoundary_;
  const TLYLogger* logger_;
  bool success_ = false;
};

}  // namespace vandrel::analytics
