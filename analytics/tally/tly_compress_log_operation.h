#pragma once

// Gzips a closed event log beside it (same stem, extension "gz").

#include <filesystem>
#include <string_view>

namespace vandrel::analytics {

class TLYLogger;

inline constexpr std::string_view kTLYCompressNonexistentMessage =
    "Error: attempting to compress nonexistent file: %@";
inline constexpr std::string_view kTLYFailedToCompressMessage = "Failed to compress file at %@";

// Run on the controller's event queue.
class TLYCompressLogOperation {
 public:
  TLYCompressLogOperation(std::filesystem::path uncompressedLogURL, std::filesystem::path compressedLogURL,
                          const TLYLogger* logger = nullptr);

  // The same path with its extension replaced by "gz".
  static std::filesystem::path compressedURLForUncompressedURL(const std::filesystem::path& url);

  // A missing log (or a directory) is logged; an existing gzip means done.
  // The gzip is written beside the target under a hidden temporary name and
  // renamed into place only when every byte went in and the stream closed
  // cleanly, so a gzip at the target is always whole. The log stays.
  void main();

  // True when the gzip is at its place after `main` (made now or before):
  // only then may the log be deleted.
  bool success() const { return success_; }
  const std::filesystem::path& uncompressedLogURL() const { return uncompressedLogURL_; }
  const std::filesystem::path& compressedLogURL() const { return compressedLogURL_; }

 private:
  bool compress() const;

  std::filesystem::path uncompressedLogURL_;
  std::filesystem::path compressedLogURL_;
  const TLYLogger* logger_;
  bool success_ = false;
};

}  // namespace vandrel::analytics
