#include "crash/capture/flt_record_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "crash/capture/flt_sdk_log.h"

// Everything here but init with buffering, the object-string entries and
// FLTFileHexEncodeString runs at crash time: no heap, no locks, no stdio,
// only open/write/fstat/close and stack buffers.

namespace vandrel::crash {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// Bytes hex-encoded per write: 16 bytes become 32 characters.
constexpr std::size_t kHexChunk = 16;
// Quote, text, quote and colon share one write below this buffer size.
constexpr std::size_t kShortStringBuffer = 16;

// A text that names the error without touching locale data (strerror may
// not be used in a signal handler).
const char* errorText(int error) {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "unknown error";
}

ssize_t writeToDescriptor(void* context, const void* bytes, std::size_t length) {
  const int fd = *static_cast<const int*>(context);
  ssize_t result;
  do {
    result = ::write(fd, bytes, length);
  } while (result < 0 && errno == EINTR);
  return result;
}

bool rawWrite(int fd, const void* bytes, std::size_t length) {
  return FLTFileLoopWithWriteBlock(bytes, length, writeToDescriptor, &fd);
}

bool flushBuffer(FLTFile* file) {
  if (file->bufferUsed == 0) return true;
  const bool ok = rawWrite(file->fd, file->buffer, file->bufferUsed);
  if (ok) file->bytesWritten += file->bufferUsed;
  file->bufferUsed = 0;
  return ok;
}

bool bufferedAppend(FLTFile* file, const char* bytes, std::size_t length) {
  bool ok = true;
  while (length > 0) {
    if (file->bufferUsed + length < kFLTFileBufferSize) {
      std::memcpy(file->buffer + file->bufferUsed, bytes, length);
      file->bufferUsed += length;
      return ok;
    }
    const std::size_t room = kFLTFileBufferSize - 1 - file->bufferUsed;
    std::memcpy(file->buffer + file->bufferUsed, bytes, room);
    file->bufferUsed += room;
    file->buffer[file->bufferUsed] = '\0';
    if (!flushBuffer(file)) {
      FLT_SDK_LOG_WARN("Error: Unable to write to file %s\n", file->path);
      ok = false;
    }
    bytes += room;
    length -= room;
  }
  return ok;
}

void writeText(FLTFile* file, const char* text) {
  FLTFileWriteWithOffset(file, text, std::strlen(text));
}

void writeCommaIfNeeded(FLTFile* file) {
  if (file != nullptr && file->needsComma) FLTFileWriteWithOffset(file, ",", 1);
}

// `"text"` followed by ':' when `colon` is set; short strings in one write.
void writeQuoted(FLTFile* file, const char* text, std::size_t length, bool colon) {
  const std::size_t framed = length + 2 + (colon ? 1 : 0);
  if (framed < kShortStringBuffer - 1) {
    char buffer[kShortStringBuffer];
    buffer[0] = '"';
    std::memcpy(buffer + 1, text, length);
    buffer[length + 1] = '"';
    if (colon) buffer[length + 2] = ':';
    FLTFileWriteWithOffset(file, buffer, framed);
    return;
  }
  FLTFileWriteWithOffset(file, "\"", 1);
  if (length > 0) FLTFileWriteWithOffset(file, text, length);
  FLTFileWriteWithOffset(file, colon ? "\":" : "\"", colon ? 2 : 1);
}

void writeHexQuoted(FLTFile* file, const void* bytes, std::size_t length) {
  FLTFileWriteWithOffset(file, "\"", 1);
  const auto* in = static_cast<const unsigned char*>(bytes);
  char buffer[2 * kHexChunk];
  while (length > 0) {
    const std::size_t chunk = length < kHexChunk ? length : kHexChunk;
    for (std::size_t i = 0; i < chunk; ++i) {
      buffer[2 * i] = kHexDigits[in[i] >> 4];
      buffer[2 * i + 1] = kHexDigits[in[i] & 0x0f];
    }
    FLTFileWriteWithOffset(file, buffer, 2 * chunk);
    in += chunk;
    length -= chunk;
  }
  FLTFileWriteWithOffset(file, "\"", 1);
}

void writeUnsigned(FLTFile* file, std::uint64_t value) {
  char buffer[kFLTNumberBufferSize];
  const std::size_t digits = FLTFileFormatUint64(value, 10, buffer);
  FLTFileWriteWithOffset(file, buffer, digits);
}

void writeSigned(FLTFile* file, std::int64_t value) {
  if (value < 0) FLTFileWriteWithOffset(file, "-", 1);
  // The magnitude of INT64_MIN does not fit in a signed value.
  const std::uint64_t magnitude =
      value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  writeUnsigned(file, magnitude);
}

void valueWritten(FLTFile* file) {
  if (file != nullptr) file->needsComma = true;
}

void collectionStart(FLTFile* file, char opening) {
  if (file == nullptr) return;
  if (file->needsComma) {
    const char text[2] = {',', opening};
    FLTFileWriteWithOffset(file, text, 2);
  } else {
    FLTFileWriteWithOffset(file, &opening, 1);
  }
  ++file->collectionDepth;
  file->needsComma = false;
}

void collectionEnd(FLTFile* file, char closing) {
  if (file == nullptr) return;
  FLTFileWriteWithOffset(file, &closing, 1);
  if (file->collectionDepth > 0) {
    --file->collectionDepth;
    file->needsComma = file->collectionDepth != 0;
  }
}

}  // namespace

std::size_t FLTFileFormatUint64(std::uint64_t value, unsigned base, char* buffer) {
  if (base != 16) base = 10;
  char* end = buffer + kFLTNumberBufferSize - 1;
  char* cursor = end;
  *cursor = '\0';
  do {
    *--cursor = kHexDigits[value % base];
    value /= base;
  } while (value != 0);
  const std::size_t digits = static_cast<std::size_t>(end - cursor);
  std::memmove(buffer, cursor, digits + 1);
  return digits;
}

bool FLTFileInitWithPathMode(FLTFile* file, const char* path, bool append, bool buffered) {
  if (file == nullptr) {
    FLT_SDK_LOG_ERROR("Error: file is null\n");
    return false;
  }
  *file = FLTFile{};
  file->path = path;
  // A record file is a regular file of the report directory: a link there
  // is not followed (the write would land outside the store), and a FIFO
  // fails at once instead of blocking a crashed process in open().
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                    (append ? O_APPEND : O_TRUNC);
  file->fd = path != nullptr ? ::open(path, flags, 0644) : -1;
  struct stat opened {};
  if (file->fd >= 0 && (fstat(file->fd, &opened) != 0 || !S_ISREG(opened.st_mode))) {
    ::close(file->fd);
    file->fd = -1;
    errno = EINVAL;
  }
  if (file->fd < 0) {
    FLT_SDK_LOG_ERROR("Error: Unable to open file %s\n", errorText(path != nullptr ? errno : EFAULT));
    FLT_SDK_LOG_ERROR("Error: file descriptor invalid\n");
    file->fd = -1;
    return false;
  }
  if (append) {
    struct stat info {};
    if (fstat(file->fd, &info) == 0 && info.st_size > 0) {
      file->bytesWritten = static_cast<std::uint64_t>(info.st_size);
    }
  }
  if (buffered) {
    file->buffer = static_cast<char*>(std::malloc(kFLTFileBufferSize));
    // Without a buffer the file is written straight through, which is
    // slower but loses nothing.
    file->buffered = file->buffer != nullptr;
  }
  return true;
}

bool FLTFileFlushWriteBuffer(FLTFile* file) {
  if (file == nullptr || !file->buffered) return true;
  return flushBuffer(file);
}

bool FLTFileCloseWithOffset(FLTFile* file, std::uint64_t* offset) {
  if (file == nullptr) {
    FLT_SDK_LOG_ERROR("Error: file is null\n");
    return false;
  }
  if (file->buffered) flushBuffer(file);
  std::free(file->buffer);
  file->buffer = nullptr;
  file->buffered = false;
  file->bufferUsed = 0;
  if (offset != nullptr) *offset = file->bytesWritten;
  if (file->fd < 0 || ::close(file->fd) != 0) {
    FLT_SDK_LOG_WARN("Error: Unable to close file %s\n", errorText(file->fd < 0 ? EBADF : errno));
    file->fd = -1;
    return false;
  }
  *file = FLTFile{};
  return true;
}

bool FLTFileLoopWithWriteBlock(const void* bytes, std::size_t length, FLTFileWriteBlock writeBlock,
                               void* context) {
  if (length == 0 || bytes == nullptr || writeBlock == nullptr) return false;
  const auto* cursor = static_cast<const char*>(bytes);
  std::size_t remaining = length;
  for (int attempt = 0; attempt < kFLTFileMaxWriteAttempts; ++attempt) {
    const ssize_t written = writeBlock(context, cursor, remaining);
    if (written <= 0 || static_cast<std::size_t>(written) > remaining) return false;
    if (static_cast<std::size_t>(written) == remaining) return true;
    cursor += written;
    remaining -= static_cast<std::size_t>(written);
  }
  return false;
}

bool FLTFileWriteWithOffset(FLTFile* file, const void* bytes, std::size_t length) {
  if (file == nullptr || file->fd < 0 || length == 0) return false;
  if (file->buffered) return bufferedAppend(file, static_cast<const char*>(bytes), length);
  if (!rawWrite(file->fd, bytes, length)) {
    FLT_SDK_LOG_WARN("Error: Unable to write to file %s\n", file->path);
    return false;
  }
  file->bytesWritten += length;
  return true;
}

void FLTFileWriteSectionStart(FLTFile* file, const char* name) {
  collectionStart(file, '{');
  FLTFileWriteHashKey(file, name);
}

void FLTFileWriteSectionEnd(FLTFile* file) {
  collectionEnd(file, '}');
  FLTFileWriteWithOffset(file, "\n", 1);
}

void FLTFileWriteHashStart(FLTFile* file) { collectionStart(file, '{'); }
void FLTFileWriteHashEnd(FLTFile* file) { collectionEnd(file, '}'); }
void FLTFileWriteArrayStart(FLTFile* file) { collectionStart(file, '['); }
void FLTFileWriteArrayEnd(FLTFile* file) { collectionEnd(file, ']'); }

void FLTFileWriteHashKey(FLTFile* file, const char* key) {
  writeCommaIfNeeded(file);
  const char* text = key != nullptr ? key : "";
  writeQuoted(file, text, std::strlen(text), true);
  if (file != nullptr) file->needsComma = false;
}

void FLTFileWriteHashEntryUint64(FLTFile* file, const char* key, std::uint64_t value) {
  FLTFileWriteHashKey(file, key);
  writeUnsigned(file, value);
  valueWritten(file);
}

void FLTFileWriteHashEntryInt64(FLTFile* file, const char* key, std::int64_t value) {
  FLTFileWriteHashKey(file, key);
  writeSigned(file, value);
  valueWritten(file);
}

void FLTFileWriteHashEntryString(FLTFile* file, const char* key, const char* value) {
  FLTFileWriteHashKey(file, key);
  if (value == nullptr) {
    writeText(file, "null");
  } else {
    writeQuoted(file, value, std::strlen(value), false);
  }
  valueWritten(file);
}

void FLTFileWriteHashEntryObjectString(FLTFile* file, const char* key,
                                       std::optional<std::string_view> value) {
  FLTFileWriteHashKey(file, key);
  if (!value) {
    writeText(file, "null");
  } else {
    writeQuoted(file, value->data(), value->size(), false);
  }
  valueWritten(file);
}

void FLTFileWriteHashEntryObjectStringUnlessEmpty(FLTFile* file, const char* key,
                                                  std::optional<std::string_view> value) {
  if (!value || value->empty()) return;
  FLTFileWriteHashEntryObjectString(file, key, value);
}

void FLTFileWriteHashEntryHexEncodedString(FLTFile* file, const char* key, const char* value) {
  if (value == nullptr) {
    FLTFileWriteHashKey(file, key);
    writeText(file, "null");
    valueWritten(file);
    return;
  }
  FLTFileWriteHashEntryHexEncodedBytes(file, key, value, std::strlen(value));
}

void FLTFileWriteHashEntryHexEncodedBytes(FLTFile* file, const char* key, const void* bytes,
                                          std::size_t length) {
  FLTFileWriteHashKey(file, key);
  if (bytes == nullptr) {
    writeText(file, "null");
  } else {
    writeHexQuoted(file, bytes, length);
  }
  valueWritten(file);
}

void FLTFileWriteHashEntryBoolean(FLTFile* file, const char* key, bool value) {
  FLTFileWriteHashKey(file, key);
  writeText(file, value ? "true" : "false");
  valueWritten(file);
}

void FLTFileWriteArrayEntryUint64(FLTFile* file, std::uint64_t value) {
  writeCommaIfNeeded(file);
  writeUnsigned(file, value);
  valueWritten(file);
}

void FLTFileWriteArrayEntryString(FLTFile* file, const char* value) {
  writeCommaIfNeeded(file);
  if (value == nullptr) {
    writeText(file, "null");
  } else {
    writeQuoted(file, value, std::strlen(value), false);
  }
  valueWritten(file);
}

void FLTFileWriteArrayEntryHexEncodedString(FLTFile* file, const char* value) {
  writeCommaIfNeeded(file);
  if (value == nullptr) {
    writeText(file, "null");
  } else {
    writeHexQuoted(file, value, std::strlen(value));
  }
  valueWritten(file);
}

std::string FLTFileHexEncodeString(const char* value) {
  std::string out;
  if (value == nullptr) return out;
  const std::size_t length = std::strlen(value);
  out.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0x0f]);
  }
  return out;
}

}  // namespace vandrel::crash
