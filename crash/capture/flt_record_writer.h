#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vandrel::crash {

// Record files ("*.fltrecord"): one JSON object per line whose one key names
// the section, e.g.
//
//   {"signal":{"number":11,"code":1,"address":4096}}
//   {"threads":[...]}
//
// The writer streams such lines with nothing but open, write, fstat and
// close: no heap (unbuffered form), no locks, stack scratch buffers only, so
// the capture code may use it inside a signal handler. Strings are written
// byte for byte without escaping; every text that can come from outside
// the kit (exception names and reasons, symbols, log messages, key/value
// pairs, ...) must go through the hex-string entries instead, which write
// two lowercase hex digits per byte.
//
// A file is opened, written and closed by one caller at a time.

inline constexpr std::string_view kFLTRecordFileExtension = ".fltrecord";

inline constexpr std::string_view kFLTRecordFileMetadata = "metadata.fltrecord";
inline constexpr std::string_view kFLTRecordFileBinaryImages = "binary_images.fltrecord";
inline constexpr std::string_view kFLTRecordFileSignal = "signal.fltrecord";
inline constexpr std::string_view kFLTRecordFileMachException = "mach_exception.fltrecord";
inline constexpr std::string_view kFLTRecordFileException = "exception.fltrecord";
inline constexpr std::string_view kFLTRecordFileCustomExceptionA = "custom_exception_a.fltrecord";
inline constexpr std::string_view kFLTRecordFileCustomExceptionB = "custom_exception_b.fltrecord";
inline constexpr std::string_view kFLTRecordFileLogA = "log_a.fltrecord";
inline constexpr std::string_view kFLTRecordFileLogB = "log_b.fltrecord";
inline constexpr std::string_view kFLTRecordFileErrorsA = "errors_a.fltrecord";
inline constexpr std::string_view kFLTRecordFileErrorsB = "errors_b.fltrecord";
inline constexpr std::string_view kFLTRecordFileUserIncrementalKV = "user_incremental_kv.fltrecord";
inline constexpr std::string_view kFLTRecordFileUserCompactedKV = "user_compacted_kv.fltrecord";
inline constexpr std::string_view kFLTRecordFileInternalIncrementalKV =
    "internal_incremental_kv.fltrecord";
inline constexpr std::string_view kFLTRecordFileInternalCompactedKV =
    "internal_compacted_kv.fltrecord";

// Size of the buffer of a buffered writer (user logging); a buffered writer
// flushes whenever it holds 999 bytes.
inline constexpr std::size_t kFLTFileBufferSize = 1000;
// Calls of `write` a single raw write may take before it gives up.
inline constexpr int kFLTFileMaxWriteAttempts = 50;

// Writer state: lives on the caller's stack or inside the writable context.
struct FLTFile {
  int fd = -1;
  std::int32_t collectionDepth = 0;
  bool needsComma = false;
  bool buffered = false;
  char* buffer = nullptr;  // kFLTFileBufferSize bytes, only when buffered
  std::size_t bufferUsed = 0;
  // Running file offset: file size at open (append mode) plus everything
  // flushed since.
  std::uint64_t bytesWritten = 0;
  // The path given to init (not copied: it must outlive the file); for
  // messages only.
  const char* path = nullptr;
};

// Opens `path` write-only, creating it with mode 0644, appending or
// truncating. In append mode the current size seeds `bytesWritten`. The
// buffered form allocates its buffer here (not for crash time). False, with
// an SDK log line, when the file is null or the path cannot be opened,
// and when it names a link or anything but a regular file.
bool FLTFileInitWithPathMode(FLTFile* file, const char* path, bool append, bool buffered);

// Flushes and frees the buffer, stores the bytes written in `*offset` (when
// given) and closes. On success the state is zeroed and fd is -1.
bool FLTFileCloseWithOffset(FLTFile* file, std::uint64_t* offset);

// Writes what a buffered file holds; nothing for an unbuffered file.
bool FLTFileFlushWriteBuffer(FLTFile* file);

// The raw write under every byte that reaches a descriptor: `writeBlock`
// is called for the remaining bytes until all are written; a result of 0, a
// negative one or more than asked fails; at most kFLTFileMaxWriteAttempts
// calls in all. An empty request fails without writing.
using FLTFileWriteBlock = ssize_t (*)(void* context, const void* bytes, std::size_t length);
bool FLTFileLoopWithWriteBlock(const void* bytes, std::size_t length,
                               FLTFileWriteBlock writeBlock, void* context);

// Appends bytes as they are (buffered or straight to the descriptor).
bool FLTFileWriteWithOffset(FLTFile* file, const void* bytes, std::size_t length);

// Structure. A section is one record line: {"name": value}\n.
void FLTFileWriteSectionStart(FLTFile* file, const char* name);
void FLTFileWriteSectionEnd(FLTFile* file);
void FLTFileWriteHashStart(FLTFile* file);
void FLTFileWriteHashEnd(FLTFile* file);
void FLTFileWriteArrayStart(FLTFile* file);
void FLTFileWriteArrayEnd(FLTFile* file);

// Hash entries: the key (kit-controlled text), then the value.
void FLTFileWriteHashKey(FLTFile* file, const char* key);
void FLTFileWriteHashEntryUint64(FLTFile* file, const char* key, std::uint64_t value);
void FLTFileWriteHashEntryInt64(FLTFile* file, const char* key, std::int64_t value);
// Quoted as is; `null` for a null pointer. Kit-controlled text only.
void FLTFileWriteHashEntryString(FLTFile* file, const char* key, const char* value);
// The object-string forms (not for crash time): quoted as is, `null` when
// absent; the "unless empty" form writes nothing at all, not even the key,
// for an empty or absent string.
void FLTFileWriteHashEntryObjectString(FLTFile* file, const char* key,
                                       std::optional<std::string_view> value);
void FLTFileWriteHashEntryObjectStringUnlessEmpty(FLTFile* file, const char* key,
                                                  std::optional<std::string_view> value);
// Hex-encoded text from outside the kit: `null` for a null pointer.
void FLTFileWriteHashEntryHexEncodedString(FLTFile* file, const char* key, const char* value);
void FLTFileWriteHashEntryHexEncodedBytes(FLTFile* file, const char* key, const void* bytes,
                                          std::size_t length);
void FLTFileWriteHashEntryBoolean(FLTFile* file, const char* key, bool value);

// Array entries: a comma when needed, then the value as for hash entries.
void FLTFileWriteArrayEntryUint64(FLTFile* file, std::uint64_t value);
void FLTFileWriteArrayEntryString(FLTFile* file, const char* value);
void FLTFileWriteArrayEntryHexEncodedString(FLTFile* file, const char* value);

// Decimal (or lowercase hex) text of `value` into `buffer` (at least
// kFLTNumberBufferSize bytes), NUL-terminated, without leading zeros.
// Returns the number of digits.
inline constexpr std::size_t kFLTNumberBufferSize = 21;
std::size_t FLTFileFormatUint64(std::uint64_t value, unsigned base, char* buffer);

// Lowercase hex pairs of a NUL-terminated string; empty for null. Not for
// crash time.
std::string FLTFileHexEncodeString(const char* value);

}  // namespace vandrel::crash
