#include "analytics/tally/tly_write_event_operation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "analytics/tally/tly_event.h"
#include "analytics/tally/tly_logger.h"

namespace vandrel::analytics {
namespace {

std::string formatMessage(const char* format, auto... args) {
  char buffer[512];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  if (n < 0) return {};
  return std::string(buffer, static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n)
                                                                           : sizeof buffer - 1);
}

ssize_t systemWrite(int fd, const void* bytes, std::size_t size) { return ::write(fd, bytes, size); }

// Whether a non-empty file ends without "\n" (a line cut short earlier).
bool endsWithCutLine(int fd, off_t size) {
  if (size <= 0) return false;
  char last = '\n';
  ssize_t n;
  do {
    n = ::pread(fd, &last, 1, size - 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 && last != '\n';
}

}  // namespace

std::uint64_t TLYMillisecondsSince1970(platform::WallTime time) {
  const double seconds = std::chrono::duration<double>(time.time_since_epoch()).count();
  const double millis = seconds * 1000.0;
  if (!(millis > 0)) return 0;
  if (millis >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(millis);
}

std::uint64_t TLYSecondsSince1970(platform::WallTime time) {
  const double seconds = std::chrono::duration<double>(time.time_since_epoch()).count();
  if (!(seconds > 0)) return 0;
  if (seconds >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<std::uint64_t>(seconds);
}

std::optional<std::string> TLYFormatLogLine(std::uint64_t timestampMillis, std::string_view name,
                                            const std::optional<platform::Value::Dictionary>& payload) {
  if (!payload) return std::nullopt;
  if (name.find_first_of("\t\r\n") != std::string_view::npos) return std::nullopt;
  std::optional<std::string> json = TLYCompactJSONFromDictionary(*payload);
  if (!json) return std::nullopt;
  std::string line = std::to_string(timestampMillis);
  line += '\t';
  line += name;
  line += '\t';
  line += std::to_string(json->size());
  line += '\t';
  line += *json;
  return line;
}

TLYWriteEventOperation::TLYWriteEventOperation(std::shared_ptr<const TLYEvent> event,
                                               const TLYMetadataRecord& metadata,
                                               std::filesystem::path logFileUrl, TLYLogger* logger,
                                               TLYWriteFunction writeFunction)
    : event_(std::move(event)),
      logFileUrl_(std::move(logFileUrl)),
      logger_(logger != nullptr ? logger : &TLYLogger::sharedLogger()),
      writeFunction_(writeFunction ? std::move(writeFunction) : TLYWriteFunction(systemWrite)) {
  if (!event_) return;
  const platform::WallTime timestamp = event_->timestamp();
  const std::uint64_t millis = TLYMillisecondsSince1970(timestamp);
  formattedEvent_ = TLYFormatLogLine(millis, event_->name(), event_->dictionaryRepresentation());
  formattedMetadata_ = TLYFormatLogLine(
      millis, metadata.eventName(), metadata.dictionaryRepresentationWithStartTime(TLYSecondsSince1970(timestamp)));
}

void TLYWriteEventOperation::main() {
  success_ = false;
  struct stat st {};
  if (::stat(logFileUrl_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;

  const int fd = ::open(logFileUrl_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Read access only to look at the last byte. Judged on the open
  // descriptor: a file that exists but is still empty
  // (left by an earlier failure) gets its metadata line too.
  struct stat opened {};
  const bool statOk = ::fstat(fd, &opened) == 0;
  const bool newFile = statOk && opened.st_size == 0;
  const bool needsLineEnd = statOk && endsWithCutLine(fd, opened.st_size);
  bool result = statOk && writeLines(fd, newFile, needsLineEnd);

  if (::close(fd) != 0) {
    logger_->logWithLabel(kTLYWriteOperationLabel,
                          formatMessage(kTLYFailedToCloseMessage.data(), std::strerror(errno)));
    result = false;
  }
  success_ = result;
}

bool TLYWriteEventOperation::writeLines(int fd, bool newFile, bool needsLineEnd) {
  if (!formattedEvent_ || !formattedMetadata_) return false;
  if (needsLineEnd) {
    // Ends the cut line on its own, so the reader drops only that line.
    if (writeFunction_(fd, "\n", 1) != 1) return false;
  }
  if (newFile && !appendLogLine(*formattedMetadata_, fd, *logger_, writeFunction_)) return false;
  return appendLogLine(*formattedEvent_, fd, *logger_, writeFunction_);
}

bool TLYWriteEventOperation::appendLogLine(std::string_view line, int fd, const TLYLogger& logger,
                                           const TLYWriteFunction& writeFunction) {
  std::string bytes(line);
  bytes += '\n';
  const std::size_t total = bytes.size();
  std::size_t written = 0;
  for (int call = 0; call < kTLYMaxWriteAttempts; ++call) {
    const std::size_t asked = total - written;
    const ssize_t n = writeFunction(fd, bytes.data() + written, asked);
    if (n < 0) {
      logger.logWithLabel(kTLYWriteOperationLabel,
                          formatMessage(kTLYFailedToWriteMessage.data(), std::strerror(errno)));
    }
    if (n < 0 || static_cast<std::size_t>(n) > asked) {
      logger.logWithLabel(kTLYWriteOperationLabel,
                          formatMessage(kTLYLengthNonsenseMessage.data(), n, asked));
      return false;
    }
    if (static_cast<std::size_t>(n) == asked) return true;
    if (n == 0) break;
    written += static_cast<std::size_t>(n);
  }
  logger.logWithLabel(kTLYWriteOperationLabel, std::string(kTLYExitedWriteLoopMessage));
  return false;
}

}  // namespace vandrel::analytics
