#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace vandrel::analytics {

class EVTCOREvent;
class EVTCORClock;

// The transport's keyed archive: one UTF-8 JSON object
//
//   {"format":"vandrel.keyed-archive","version":1,"class":"EVTCOREvent",
//    "keys":{"EVTCOREventEventIDKey":"…", …}}
//
// with the class's keys in their fixed order. Kinds of values: strings as
// JSON strings, integers as JSON integers, bytes as standard Base64 strings,
// dates as seconds since 1970 (a JSON number), a nested object as its own
// {"class":…,"keys":{…}}. An absent optional value is left out. The reader is
// strict: a file that is not this format, of another version or class, with
// a mistyped or missing required key, or larger than kEVTCORMaxArchiveBytes
// fails with a clear error. "EVTCORStoredEvent" reads as "EVTCOREvent".
inline constexpr std::string_view kEVTCORArchiveFormat = "vandrel.keyed-archive";
inline constexpr std::int64_t kEVTCORArchiveVersion = 1;
inline constexpr std::size_t kEVTCORMaxArchiveBytes = 8 * 1024 * 1024;

// Errors: reading and writing files -> "NSPOSIXErrorDomain" with errno;
// malformed archives -> "NSCocoaErrorDomain" 4864 (corrupt), a missing
// required value 4865, a file too large 4864 as well.
inline constexpr std::string_view kEVTCORCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kEVTCORPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::int64_t kEVTCORCoderReadCorruptError = 4864;
inline constexpr std::int64_t kEVTCORCoderValueNotFoundError = 4865;

// Archives `object`; when `path` is not empty, creates its parent directories
// and writes the bytes atomically (temporary file + rename). Returns the
// archive bytes, or the error of the directory or the write (logged). An
// archive larger than kEVTCORMaxArchiveBytes, which the reader would refuse,
// is refused here (EFBIG in the POSIX domain) and nothing is written.
platform::Result<std::string> EVTCORWriteArchive(const EVTCOREvent& object,
                                                 const std::filesystem::path& path);
platform::Result<std::string> EVTCORWriteArchive(const EVTCORClock& object,
                                                 const std::filesystem::path& path);

// Decodes `bytes`, or when none the file at `path`, as a T (EVTCOREvent or
// EVTCORClock).
template <typename T>
platform::Result<T> EVTCORReadArchive(const std::filesystem::path& path,
                                      const std::optional<std::string>& bytes = std::nullopt);

extern template platform::Result<EVTCOREvent> EVTCORReadArchive<EVTCOREvent>(
    const std::filesystem::path&, const std::optional<std::string>&);
extern template platform::Result<EVTCORClock> EVTCORReadArchive<EVTCORClock>(
    const std::filesystem::path&, const std::optional<std::string>&);

// Writes `bytes` to `path` atomically: a temporary file in the same
// directory, synced, then renamed over the target.
platform::Result<void> EVTCORWriteFileAtomically(const std::filesystem::path& path,
                                                 std::string_view bytes);

// Standard Base64 without line breaks, and its strict inverse (none on any
// character outside the alphabet or bad padding).
std::string EVTCORBase64Encode(std::string_view bytes);
std::optional<std::string> EVTCORBase64Decode(std::string_view text);

}  // namespace vandrel::analytics
