#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/value.h"

namespace vandrel::crash {

inline constexpr std::string_view kFLTRecordReaderErrorDomain = "vandrel.crash.record";
inline constexpr std::int64_t kFLTRecordReaderInvalidPath = 1;  // null or empty path
inline constexpr std::int64_t kFLTRecordReaderUnreadable = 2;   // the file cannot be read
inline constexpr std::int64_t kFLTRecordReaderBadLine = 3;      // a line that is not JSON
inline constexpr std::int64_t kFLTRecordReaderCutOff = 4;       // the last line was cut off

// Record files larger than this are refused as unreadable rather than read
// into memory whole.
inline constexpr std::size_t kFLTRecordFileMaxBytes = 64 * 1024 * 1024;

// What one record file held.
struct FLTRecordSections {
  // The objects of every line that parsed (and that the transform kept), in
  // file order.
  std::vector<platform::Value> sections;
  // One error per line that was dropped because it is not JSON, naming the
  // file, the line number and the fault; a last line without its newline
  // that does not parse (a write cut short by the crash) is reported as
  // kFLTRecordReaderCutOff. Empty when the file was whole.
  std::vector<platform::Error> lineErrors;

  bool complete() const { return lineErrors.empty(); }
};

// Turns a parsed line into what the caller keeps; nullopt drops the line.
using FLTRecordTransform = std::function<std::optional<platform::Value>(platform::Value)>;

// Reads a record file back: every line that parses as JSON, in order, as far
// as the file goes. Lines that do not parse are skipped (and reported in
// `lineErrors`), so one bad line never loses the rest of the report. An
// invalid path, or a file that cannot be read, is an error; the unreadable
// file is deleted when `deleteOnFailure` is set, unless the failure was one
// of the moment (no descriptor or memory left, an I/O error), after which
// the file may still read. Failures are logged to the SDK log.
platform::Result<FLTRecordSections> FLTFileReadSections(const char* path, bool deleteOnFailure,
                                                       const FLTRecordTransform& transform = {});

// Hex pairs back to bytes (0-9, a-f and A-F); decoding stops at the first
// pair holding any other character (and at an unpaired last digit). The
// bytes are read as a NUL-terminated string: they end at the first NUL.
std::string FLTFileHexDecodeString(std::string_view hex);

}  // namespace vandrel::crash
