#pragma once

// Small file helpers of the log-file operations.

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vandrel::analytics {

class TLYLogger;

inline constexpr std::string_view kTLYNotAFileURLMessage =
    "%@ is not a file URL, will attempt to enumerate files.";
inline constexpr std::string_view kTLYUnableToReadContentsMessage = "Unable to read contents of %@: %@";

// Fills the "%@" placeholders of `format` in order (text from files and
// errors is never read as a format).
std::string TLYFillPlaceholders(std::string_view format, std::initializer_list<std::string> values);

// Stateless; any thread.
class TLYFileUtils {
 public:
  using URLSet = std::set<std::filesystem::path>;

  // One path per entry of the directory (not recursive; subdirectories and
  // hidden entries included). An empty (not a file) path is logged and the
  // listing still tried; an unreadable directory is logged and gives none.
  static URLSet allFilesInDirectory(const std::filesystem::path& directory,
                                    const TLYLogger* logger = nullptr);
  // Those entries whose extension (without the dot) is exactly `extension`.
  static URLSet filesWithExtension(std::string_view extension, const std::filesystem::path& directory,
                                   const TLYLogger* logger = nullptr);
  // Size in bytes; 0 when it cannot be read.
  static std::uint64_t fileSizeAtURL(const std::filesystem::path& url);
  // When the file was made. Files of the kit are written once and then only
  // renamed or deleted, so their modification time is their creation time
  // (the one the system lets tools set). The default when unreadable.
  static platform::WallTime fileCreatedDateAtURL(const std::filesystem::path& url,
                                                 platform::WallTime defaultDate);
};

}  // namespace vandrel::analytics
