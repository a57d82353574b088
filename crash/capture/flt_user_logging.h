#pragma once

// What the application adds to a crash report while it runs: log messages,
// custom key/value pairs (and the user identity), recorded errors and
// non-fatal custom exceptions. Everything is written to record files of the
// launch's report directory as it happens, so a crash needs no work to keep
// it, and everything is bounded:
//  - key/value pairs are appended to an incremental file and, every 64
//    writes, compacted into one line per live key (at most the store's
//    maximum);
//  - log lines, errors and custom exceptions rotate between an "a" and a
//    "b" file: once the current file passes its limit the other one is
//    emptied and becomes current, so a store keeps at most two files.
//
// All file work happens on the logging queue (FLTLoggingQueue()): record
// calls wait for their write, compaction and swapping are queued behind it,
// and the counters and current-file pointers are touched only there.
// Failures are logged to the SDK log and the entry is dropped; callers never
// see an error. Nothing here runs at crash time.
//
// Texts from the application are written hex-encoded, so control
// characters, quotes and bytes that are not UTF-8 cannot break a record
// line. Each key, value and error text is cut to
// kFLTUserLoggingMaxTextLength bytes first: without a cap, one huge value
// repeated could grow the key/value files past what the report reader
// accepts, and the whole store would be lost.

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel::crash {

struct FLTFile;
struct FLTReadOnlyContext;
struct FLTWritableContext;
struct FLTAllocator;

// Internal keys written through this file's callers (the controller adds
// others).
inline constexpr std::string_view kFLTUserLoggingUserIdKey = "com.faultline.user-id";
inline constexpr std::string_view kFLTUserLoggingUserNameKey = "com.faultline.user-name";
inline constexpr std::string_view kFLTUserLoggingUserEmailKey = "com.faultline.user-email";
inline constexpr std::string_view kFLTUserLoggingDevelopmentPlatformNameKey =
    "com.faultline.development-platform-name";
inline constexpr std::string_view kFLTUserLoggingDevelopmentPlatformVersionKey =
    "com.faultline.development-platform-version";

// Key/value writes after which a store is compacted.
inline constexpr std::uint32_t kFLTUserLoggingKVCompactionCount = 64;
// Pairs the internal store keeps.
inline constexpr std::uint32_t kFLTUserLoggingInternalMaxKeys = 32;
// Bytes kept of one key, value, error domain or error-information text
// (cut at a UTF-8 character boundary where the text is UTF-8).
inline constexpr std::size_t kFLTUserLoggingMaxTextLength = 16 * 1024;
// Return addresses recorded with an error.
inline constexpr int kFLTUserLoggingMaxStackFrames = 256;

// A key/value store: an incremental file and its compacted form.
struct FLTUserLoggingKVStorage {
  const char* incrementalPath;
  const char* compactedPath;
  std::uint32_t maxIncrementalCount;  // writes before a compaction
  std::uint32_t maxCount;             // pairs a compaction keeps
};

// A rotating store of an "a" and a "b" file. Restricted by size: the
// current file's bytes against maxSize; else the entries written to the
// current file (*entryCount) against maxEntries. A zero limit records
// nothing.
struct FLTUserLoggingABStorage {
  const char* aPath;
  const char* bPath;
  std::uint32_t maxSize;
  std::uint32_t maxEntries;
  bool restrictBySize;
  std::uint32_t* entryCount;  // in the writable context; null when by size
};

// Read-only once set-up has finished.
struct FLTUserLoggingReadOnlyContext {
  FLTUserLoggingKVStorage userKVStorage;
  FLTUserLoggingKVStorage internalKVStorage;
  FLTUserLoggingABStorage logStorage;
  FLTUserLoggingABStorage errorStorage;
  FLTUserLoggingABStorage customExceptionStorage;
};

// Touched only on the logging queue.
struct FLTUserLoggingWritableContext {
  std::uint32_t incrementalCount;          // user store writes since compaction
  std::uint32_t internalIncrementalCount;  // internal store writes since compaction
  std::uint32_t errorsCount;               // entries in the current errors file
  std::uint32_t customExceptionCount;      // entries in the current custom-exception file
  const char* activeLogPath;
  const char* activeErrorLogPath;
  const char* activeCustomExceptionPath;
};

// ---- Set-up ------------------------------------------------------------------

// The set-up hook: paths of all ten files in the report directory (the
// directory of readOnly->sdkLog.path), limits from readOnly->userLoggingLimits,
// current files = the a paths, counters 0. Deletes nothing.
void FLTUserLoggingSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                         FLTAllocator* allocator);
// Registers FLTUserLoggingSetUp with the context set-up; call before
// FLTContextInitialize.
void FLTUserLoggingRegisterSetUp() noexcept;

// ---- Key/value pairs ---------------------------------------------------------

// Synchronous records on the logging queue; only while the context is
// initialized. A null value (nil) records `null`, which removes the key. A
// key pointer below 4096 is refused ("User provided bad key"); a non-null
// value pointer below 4096 is recorded as nil.
void FLTUserLoggingRecordUserKeyValue(const char* key, const char* value);
void FLTUserLoggingRecordInternalKeyValue(const char* key, const char* value);
// The internal record without the queue hop, for callers already on the
// logging queue.
void FLTUserLoggingWriteInternalKeyValue(const char* key, const char* value);

void FLTUserLoggingRecordKeyValue(const char* key, const char* value,
                                  const FLTUserLoggingKVStorage* store, std::uint32_t* counter);
// Appends one `kv` line and counts it; at the compaction count, queues a
// compaction. Runs on the logging queue.
void FLTUserLoggingWriteKeyValue(const char* key, const char* value,
                                 const FLTUserLoggingKVStorage* store, std::uint32_t* counter);

// Key -> value (nullopt for a `null` value). The texts are decoded from hex
// when `decodeHex` is set, else kept as the hex written.
using FLTUserLoggingKVEntries = std::map<std::string, std::optional<std::string>>;

// The live pairs of a store: the compacted file, then the incremental file
// in order (later writes win, `null` removes). Absent unless the context is
// initialized and the store valid.
std::optional<FLTUserLoggingKVEntries> FLTUserLoggingGetCompactedKVEntries(
    const FLTUserLoggingKVStorage* store, bool decodeHex);

// Rewrites the compacted file with the live pairs (at most the store's
// maximum, the first in key order) and removes the incremental file. The
// new compacted file replaces the old one atomically, so a crash during
// compaction loses nothing. Runs on the logging queue.
void FLTUserLoggingCompactKVEntries(const FLTUserLoggingKVStorage* store);

// ---- Rotating stores -----------------------------------------------------------

using FLTUserLoggingWriterBlock = std::function<void(FLTFile* file)>;

// Synchronously on the logging queue: appends what `writer` writes to
// *activePath, counts the entry (entry-counted stores), then queues the
// check for a swap. Nothing for an invalid store, path or block or a zero
// limit.
void FLTUserLoggingWriteAndCheckABFiles(const FLTUserLoggingABStorage* store,
                                        const char** activePath,
                                        const FLTUserLoggingWriterBlock& writer);
// Swaps to the other file (emptying it first) once the current one has
// reached its limit. Runs on the logging queue.
void FLTUserLoggingCheckAndSwapABFiles(const FLTUserLoggingABStorage* store,
                                       const char** activePath, std::uint64_t fileSize);

// ---- Errors --------------------------------------------------------------------

// Information of an error or of the caller: description of the key ->
// description of the value.
using FLTUserLoggingInfo = std::map<std::string, std::string>;

// The recorded error (the application's error object).
struct FLTUserLoggingError {
  std::string domain;
  std::int64_t code = 0;
  FLTUserLoggingInfo userInfo;
};

// Writes an `error` line (domain, code, time, the calling thread's return
// addresses, non-empty info and extra_info) to the errors store; only while
// the context is initialized. A null error records nothing.
void FLTUserLoggingRecordError(const FLTUserLoggingError* error,
                               const FLTUserLoggingInfo* additionalUserInfo);

// ---- Log messages ----------------------------------------------------------------

// printf-style; a null format does nothing. The console forms also print
// the message to standard error.
void FLTLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void FLTLogToConsole(const char* format, ...) __attribute__((format(printf, 1, 2)));
void FLTLogWithArguments(const char* format, va_list arguments)
    __attribute__((format(printf, 1, 0)));
void FLTLogToConsoleWithArguments(const char* format, va_list arguments)
    __attribute__((format(printf, 1, 0)));

// Records one message as a `log` line (cut to the log limit, with a console
// warning). Before the context is initialized the message is printed to
// standard error with a warning instead, unless that was disabled.
void FLTLogRecord(std::optional<std::string_view> message);

// The process-wide switch of the kit's disableUninitializedKitMessaging.
void FLTLogDisableUninitializedKitMessaging() noexcept;

}  // namespace vandrel::crash
