#pragma once

// Appends one event to an event-log file, opening a new file with the
// metadata line.
//
// File format (read back by the uploader's server): UTF-8 text, one record
// per line, each ended by "\n":
//   <milliseconds since 1970>\t<name>\t<payload byte count>\t<payload JSON>
// The payload is compact JSON with control characters escaped, so it never
// holds a raw line break; the byte count lets a reader check it. The first
// line of every file is the "metadata" line.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/tally/tly_metadata.h"
#include "platform/clock.h"

namespace vandrel::analytics {

class TLYEvent;
class TLYLogger;

inline constexpr std::string_view kTLYWriteOperationLabel = "WriteOperation";
inline constexpr std::string_view kTLYFailedToCloseMessage = "Failed to close file, error: %s";
inline constexpr std::string_view kTLYFailedToWriteMessage = "Failed to write: %s\n";
inline constexpr std::string_view kTLYLengthNonsenseMessage =
    "Error: length doesn't make sense (%zd, %zu)\n";
inline constexpr std::string_view kTLYExitedWriteLoopMessage =
    "Error: exited write loop without success\n";
// A line gets at most this many write calls.
inline constexpr int kTLYMaxWriteAttempts = 3;

// The `write` system call, replaceable so tests can make it short or fail.
using TLYWriteFunction = std::function<ssize_t(int fd, const void* bytes, std::size_t size)>;

// Milliseconds since 1970, fraction dropped; 0 before 1970.
std::uint64_t TLYMillisecondsSince1970(platform::WallTime time);
// Whole seconds since 1970, fraction dropped; 0 before 1970.
std::uint64_t TLYSecondsSince1970(platform::WallTime time);

// One line without its "\n". None when the payload has no JSON form, or
// when the name holds a tab, CR or LF (it would break the line's fields).
std::optional<std::string> TLYFormatLogLine(std::uint64_t timestampMillis, std::string_view name,
                                            const std::optional<platform::Value::Dictionary>& payload);

// One operation per event, run once on the controller's serial event queue
// (which keeps lines whole and in order).
class TLYWriteEventOperation {
 public:
  // Formats both lines now; the metadata record is not kept.
  TLYWriteEventOperation(std::shared_ptr<const TLYEvent> event, const TLYMetadataRecord& metadata,
                         std::filesystem::path logFileUrl, TLYLogger* logger = nullptr,
                         TLYWriteFunction writeFunction = {});

  // Appends: the metadata line first when the file is new or empty, then
  // the event line. A file whose last line was cut short (no final "\n")
  // first gets the missing "\n", so the cut line stays one bad line and
  // the new line stays whole. Bytes already written stay on failure.
  void main();

  const std::shared_ptr<const TLYEvent>& event() const { return event_; }
  const std::filesystem::path& logFileUrl() const { return logFileUrl_; }
  const std::optional<std::string>& formattedEvent() const { return formattedEvent_; }
  const std::optional<std::string>& formattedMetadata() const { return formattedMetadata_; }
  bool success() const { return success_; }

  // The line plus "\n" through at most three write calls; logs the failure
  // messages under "WriteOperation".
  static bool appendLogLine(std::string_view line, int fd, const TLYLogger& logger,
                            const TLYWriteFunction& writeFunction);

 private:
  bool writeLines(int fd, bool newFile, bool needsLineEnd);

  std::shared_ptr<const TLYEvent> event_;
  std::filesystem::path logFileUrl_;
  TLYLogger* logger_;
  TLYWriteFunction writeFunction_;
  std::optional<std::string> formattedEvent_;
  std::optional<std::string> formattedMetadata_;
  bool success_ = false;
};

}  // namespace vandrel::analytics
