#include "crash/capture/flt_record_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "crash/capture/flt_sdk_log.h"
#include "platform/file_io.h"

namespace vandrel::crash {

namespace {

platform::Error readerError(std::int64_t code, std::string message) {
  return platform::Error{std::string(kFLTRecordReaderErrorDomain), code, std::move(message)};
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Failures of the moment rather than of the file: no descriptor or memory
// left, an I/O error. The file may read fine later and must not be deleted.
bool isPassingFailure(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
    case EIO:
    case EINTR:
    case EAGAIN:
      return true;
    default:
      return false;
  }
}

// The whole file, or an error naming why it cannot be read; `passing` tells
// whether the failure is one of the moment.
platform::Result<std::string> readWholeFile(const char* path, bool* passing) {
  *passing = false;
  // Only a regular file: a FIFO left where a record file should be must not
  // hang the next launch in open().
  const platform::UniqueFd fd = platform::openRegularFile(path, O_RDONLY | O_NOCTTY);
  if (!fd) {
    const int error = errno;
    if (error == EINVAL) {
      return readerError(kFLTRecordReaderUnreadable, std::string(path) + " is not a regular file");
    }
    *passing = isPassingFailure(error);
    return readerError(kFLTRecordReaderUnreadable,
                       std::string("cannot open ") + path + ": " + std::strerror(error));
  }
  std::string contents;
  if (!platform::readAll(fd.get(), contents, kFLTRecordFileMaxBytes)) {
    const int error = errno;
    if (error == EFBIG) {
      return readerError(kFLTRecordReaderUnreadable,
                         std::string(path) + " is larger than " +
                             std::to_string(kFLTRecordFileMaxBytes) + " bytes");
    }
    *passing = isPassingFailure(error);
    return readerError(kFLTRecordReaderUnreadable,
                       std::string("cannot read ") + path + ": " + std::strerror(error));
  }
  return contents;
}

// Adds the object of one line, or the reason it was dropped.
void takeLine(std::string_view line, std::size_t number, bool cutOff, const char* path,
              const FLTRecordTransform& transform, FLTRecordSections& out) {
  auto parsed = platform::Value::fromJson(line);
  if (!parsed.ok()) {
    const std::string where = std::string(path) + " line " + std::to_string(number);
    if (cutOff) {
      out.lineErrors.push_back(readerError(
          kFLTRecordReaderCutOff, where + ": the last line was cut off after " +
                                      std::to_string(line.size()) + " bytes"));
    } else {
      out.lineErrors.push_back(
          readerError(kFLTRecordReaderBadLine, where + ": " + parsed.error().message));
    }
    return;
  }
  if (!transform) {
    out.sections.push_back(std::move(parsed).value());
    return;
  }
  if (auto kept = transform(std::move(parsed).value())) out.sections.push_back(std::move(*kept));
}

}  // namespace

platform::Result<FLTRecordSections> FLTFileReadSections(const char* path, bool deleteOnFailure,
                                                       const FLTRecordTransform& transform) {
  if (path == nullptr || path[0] == '\0') {
    FLT_SDK_LOG_ERROR("Error: input path is invalid\n");
    return readerError(kFLTRecordReaderInvalidPath, "record file path is invalid");
  }
  bool passing = false;
  auto contents = readWholeFile(path, &passing);
  if (!contents.ok()) {
    if (deleteOnFailure && !passing) ::unlink(path);
    FLT_SDK_LOG_WARN("Unable to read file %s\n", path);
    return contents.error();
  }

  FLTRecordSections out;
  const std::string_view text = contents.value();
  std::size_t start = 0;
  std::size_t number = 1;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    const bool last = newline == std::string_view::npos;
    const std::size_t end = last ? text.size() : newline;
    const std::string_view line = text.substr(start, end - start);
    // Empty lines carry nothing; the writer never leaves one but a reader
    // should not complain about a stray blank line either.
    if (!line.empty()) takeLine(line, number, last, path, transform, out);
    if (last) break;
    start = newline + 1;
    ++number;
  }
  return out;
}

std::string FLTFileHexDecodeString(std::string_view hex) {
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = hexValue(hex[i]);
    const int low = hexValue(hex[i + 1]);
    if (high < 0 || low < 0) break;
    const char byte = static_cast<char>((high << 4) | low);
    // The bytes are read as a C string: a NUL ends it.
    if (byte == '\0') break;
    out.push_back(byte);
  }
  return out;
}

}  // namespace vandrel::crash
