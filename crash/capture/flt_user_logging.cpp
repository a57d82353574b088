#include "crash/capture/flt_user_logging.h"

#include <execinfo.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_utilities.h"
#include "platform/dispatch.h"

namespace vandrel::crash {

namespace {

std::atomic<bool> gUninitializedKitMessagingDisabled{false};

FLTUserLoggingReadOnlyContext* readOnlyLogging() {
  FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  return readOnly != nullptr ? readOnly->userLogging : nullptr;
}

FLTUserLoggingWritableContext* writableLogging() {
  FLTWritableContext* writable = FLTContextWritable();
  return writable != nullptr ? writable->userLogging : nullptr;
}

bool isBadPointer(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer) < kFLTMinimumValidAddress;
}

// At most `limit` bytes of `text`; a cut never splits a UTF-8 sequence (a
// text that is not UTF-8 is cut at the limit).
std::string_view clampText(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  for (int back = 0; back < 3 && cut > 0; ++back) {
    if ((static_cast<unsigned char>(text[cut]) & 0xC0) != 0x80) break;
    --cut;
  }
  if ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) cut = limit;
  return text.substr(0, cut);
}

void writeHexEntry(FLTFile* file, const char* key, std::optional<std::string_view> text) {
  if (!text) {
    FLTFileWriteHashEntryHexEncodedString(file, key, nullptr);
    return;
  }
  const std::string_view clamped = clampText(*text, kFLTUserLoggingMaxTextLength);
  FLTFileWriteHashEntryHexEncodedBytes(file, key, clamped.data(), clamped.size());
}

void writeHexArrayEntry(FLTFile* file, std::string_view text) {
  const std::string clamped(clampText(text, kFLTUserLoggingMaxTextLength));
  FLTFileWriteArrayEntryHexEncodedString(file, clamped.c_str());
}

std::string pathIn(std::string_view directory, std::string_view name) {
  std::string path(directory);
  path.push_back('/');
  path.append(name);
  return path;
}

const char* dupPath(FLTAllocator* allocator, std::string_view directory, std::string_view name) {
  return FLTDupString(allocator, pathIn(directory, name).c_str());
}

// ---- Reading key/value files back ------------------------------------------------

struct KVLine {
  std::optional<std::string> key;
  bool hasValue = false;
  std::optional<std::string> value;  // nullopt: `null`
};

std::vector<KVLine> readKVLines(const char* path, bool decodeHex) {
  std::vector<KVLine> lines;
  auto sections = FLTFileReadSections(path, true, [](platform::Value line) {
    const platform::Value* kv = line.find("kv");
    return kv != nullptr && kv->asDictionary() != nullptr ? std::optional(*kv) : std::nullopt;
  });
  if (!sections.ok()) return lines;
  for (const platform::Value& kv : sections.value().sections) {
    KVLine line;
    const auto text = [decodeHex](const std::string& raw) {
      return decodeHex ? FLTFileHexDecodeString(raw) : raw;
    };
    if (const std::string* key = kv.find("key") ? kv.find("key")->asString() : nullptr) {
      line.key = text(*key);
    }
    if (const platform::Value* value = kv.find("value")) {
      if (const std::string* string = value->asString()) {
        line.hasValue = true;
        line.value = text(*string);
      } else if (value->isNull()) {
        line.hasValue = true;
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

bool validStore(const FLTUserLoggingKVStorage* store) {
  return store != nullptr && !isBadPointer(store) && store->incrementalPath != nullptr &&
         store->compactedPath != nullptr;
}

// ---- Rotating stores ----------------------------------------------------------------

bool storeHasLimit(const FLTUserLoggingABStorage& store) {
  return store.restrictBySize ? store.maxSize != 0 : store.maxEntries != 0;
}

void swapABFiles(const FLTUserLoggingABStorage* store, const char** activePath) {
  const char* current = *activePath;
  const char* other =
      current != nullptr && std::strcmp(current, store->aPath) == 0 ? store->bPath : store->aPath;
  if (other != nullptr && other[0] != '\0' && !FLTUnlinkIfExists(other)) {
    FLT_SDK_LOG_WARN("Unable to remove %s\n", other);
  }
  *activePath = other;
}

// ---- Log messages ---------------------------------------------------------------

std::optional<std::string> formatMessage(const char* format, va_list arguments) {
  if (format == nullptr) return std::nullopt;
  va_list measure;
  va_copy(measure, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return std::nullopt;
  std::string message(static_cast<std::size_t>(length) + 1, '\0');
  va_list write;
  va_copy(write, arguments);
  std::vsnprintf(message.data(), message.size(), format, write);
  va_end(write);
  message.resize(static_cast<std::size_t>(length));
  return message;
}

void printToConsole(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
}

void writeErrorInfo(FLTFile* file, const char* key, const FLTUserLoggingInfo* info) {
  if (info == nullptr || info->empty()) return;
  FLTFileWriteHashKey(file, key);
  FLTFileWriteArrayStart(file);
  for (const auto& [name, value] : *info) {
    FLTFileWriteArrayStart(file);
    writeHexArrayEntry(file, name);
    writeHexArrayEntry(file, value);
    FLTFileWriteArrayEnd(file);
  }
  FLTFileWriteArrayEnd(file);
}

}  // namespace

// ---- Set-up -------------------------------------------------------------------------

void FLTUserLoggingSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                         FLTAllocator* allocator) {
  if (readOnly == nullptr || writable == nullptr || readOnly->sdkLog.path == nullptr) return;
  std::string_view directory(readOnly->sdkLog.path);
  const std::size_t slash = directory.rfind('/');
  directory = slash == std::string_view::npos ? std::string_view(".") : directory.substr(0, slash);

  auto* ro = static_cast<FLTUserLoggingReadOnlyContext*>(FLTAllocatorSafeAllocate(
      allocator, sizeof(FLTUserLoggingReadOnlyContext), kFLTAllocationTypeReadOnly));
  auto* rw = static_cast<FLTUserLoggingWritableContext*>(FLTAllocatorSafeAllocate(
      allocator, sizeof(FLTUserLoggingWritableContext), kFLTAllocationTypeWritable));
  if (ro == nullptr || rw == nullptr) {
    FLT_SDK_LOG_ERROR("Unable to allocate user logging contexts\n");
    return;
  }
  std::memset(static_cast<void*>(ro), 0, sizeof(*ro));
  std::memset(static_cast<void*>(rw), 0, sizeof(*rw));
  const FLTContextUserLoggingLimits& limits = readOnly->userLoggingLimits;

  ro->userKVStorage = {dupPath(allocator, directory, kFLTRecordFileUserIncrementalKV),
                       dupPath(allocator, directory, kFLTRecordFileUserCompactedKV),
                       kFLTUserLoggingKVCompactionCount, limits.maxCustomKeys};
  ro->internalKVStorage = {dupPath(allocator, directory, kFLTRecordFileInternalIncrementalKV),
                           dupPath(allocator, directory, kFLTRecordFileInternalCompactedKV),
                           kFLTUserLoggingKVCompactionCount, kFLTUserLoggingInternalMaxKeys};
  ro->logStorage = {dupPath(allocator, directory, kFLTRecordFileLogA),
                    dupPath(allocator, directory, kFLTRecordFileLogB), limits.logBufferSize, 0,
                    true, nullptr};
  ro->errorStorage = {dupPath(allocator, directory, kFLTRecordFileErrorsA),
                      dupPath(allocator, directory, kFLTRecordFileErrorsB), 0,
                      limits.errorReportingEnabled ? limits.maxCustomExceptions : 0, false,
                      &rw->errorsCount};
  ro->customExceptionStorage = {dupPath(allocator, directory, kFLTRecordFileCustomExceptionA),
                                dupPath(allocator, directory, kFLTRecordFileCustomExceptionB), 0,
                                limits.maxCustomExceptions, false, &rw->customExceptionCount};
  rw->activeLogPath = ro->logStorage.aPath;
  rw->activeErrorLogPath = ro->errorStorage.aPath;
  rw->activeCustomExceptionPath = ro->customExceptionStorage.aPath;

  readOnly->userLogging = ro;
  writable->userLogging = rw;
}

void FLTUserLoggingRegisterSetUp() noexcept { FLTContextRegisterUserLoggingSetUp(FLTUserLoggingSetUp); }

// ---- Key/value pairs ------------------------------------------------------------------

void FLTUserLoggingRecordUserKeyValue(const char* key, const char* value) {
  FLTUserLoggingReadOnlyContext* ro = readOnlyLogging();
  FLTUserLoggingWritableContext* rw = writableLogging();
  if (ro == nullptr || rw == nullptr) return;
  FLTUserLoggingRecordKeyValue(key, value, &ro->userKVStorage, &rw->incrementalCount);
}

void FLTUserLoggingRecordInternalKeyValue(const char* key, const char* value) {
  FLTUserLoggingReadOnlyContext* ro = readOnlyLogging();
  FLTUserLoggingWritableContext* rw = writableLogging();
  if (ro == nullptr || rw == nullptr) return;
  FLTUserLoggingRecordKeyValue(key, value, &ro->internalKVStorage, &rw->internalIncrementalCount);
}

void FLTUserLoggingWriteInternalKeyValue(const char* key, const char* value) {
  FLTUserLoggingReadOnlyContext* ro = readOnlyLogging();
  FLTUserLoggingWritableContext* rw = writableLogging();
  if (ro == nullptr || rw == nullptr) return;
  FLTUserLoggingWriteKeyValue(key, value, &ro->internalKVStorage, &rw->internalIncrementalCount);
}

void FLTUserLoggingRecordKeyValue(const char* key, const char* value,
                                  const FLTUserLoggingKVStorage* store, std::uint32_t* counter) {
  if (isBadPointer(key)) {
    FLT_SDK_LOG_WARN("User provided bad key\n");
    return;
  }
  if (value != nullptr && isBadPointer(value)) {
    FLT_SDK_LOG_WARN("Bad value pointer being clamped to nil\n");
    value = nullptr;
  }
  if (!FLTContextIsInitialized()) return;
  platform::Queue* queue = FLTLoggingQueue();
  if (queue == nullptr) return;
  queue->sync([&] { FLTUserLoggingWriteKeyValue(key, value, store, counter); });
}

void FLTUserLoggingWriteKeyValue(const char* key, const char* value,
                                 const FLTUserLoggingKVStorage* store, std::uint32_t* counter) {
  if (!validStore(store) || counter == nullptr || isBadPointer(counter) || isBadPointer(key)) {
    FLT_SDK_LOG_ERROR("Bad parameters\n");
    return;
  }
  FLTFile file;
  if (!FLTFileInitWithPathMode(&file, store->incrementalPath, true, true)) {
    FLT_SDK_LOG_ERROR("Unable to open k-v file\n");
    return;
  }
  FLTFileWriteSectionStart(&file, "kv");
  FLTFileWriteHashStart(&file);
  writeHexEntry(&file, "key", std::string_view(key));
  writeHexEntry(&file, "value",
                value != nullptr ? std::optional(std::string_view(value)) : std::nullopt);
  FLTFileWriteHashEnd(&file);
  FLTFileWriteSectionEnd(&file);
  FLTFileCloseWithOffset(&file, nullptr);

  *counter += 1;
  if (*counter >= store->maxIncrementalCount) {
    platform::Queue* queue = FLTLoggingQueue();
    if (queue == nullptr) return;
    queue->async([store, counter] {
      FLTUserLoggingCompactKVEntries(store);
      *counter = 0;
    });
  }
}

std::optional<FLTUserLoggingKVEntries> FLTUserLoggingGetCompactedKVEntries(
    const FLTUserLoggingKVStorage* store, bool decodeHex) {
  if (!FLTContextIsInitialized()) return std::nullopt;
  if (!validStore(store)) {
    FLT_SDK_LOG_ERROR("storage invalid\n");
    return std::nullopt;
  }
  const std::vector<KVLine> compacted = readKVLines(store->compactedPath, decodeHex);
  const std::vector<KVLine> incremental = readKVLines(store->incrementalPath, decodeHex);

  FLTUserLoggingKVEntries entries;
  for (const KVLine& line : compacted) {
    if (!line.key || !line.hasValue) {
      FLT_SDK_LOG_ERROR("compacted key/value contains a nil and must be dropped\n");
      continue;
    }
    entries[*line.key] = line.value;
  }
  for (const KVLine& line : incremental) {
    if (!line.key || !line.hasValue) {
      FLT_SDK_LOG_ERROR("incremental key/value contains a nil and must be dropped\n");
      continue;
    }
    if (!line.value) {
      entries.erase(*line.key);
    } else {
      entries[*line.key] = line.value;
    }
  }
  return entries;
}

void FLTUserLoggingCompactKVEntries(const FLTUserLoggingKVStorage* store) {
  const std::optional<FLTUserLoggingKVEntries> entries =
      FLTUserLoggingGetCompactedKVEntries(store, false);
  if (!entries) return;

  // Written beside the compacted file and renamed over it, so a crash
  // during compaction leaves either the old or the new compacted file, and
  // the incremental file goes only once the new one is in place.
  const std::string temporary = std::string(store->compactedPath) + ".tmp";
  FLTFile file;
  if (!FLTFileInitWithPathMode(&file, temporary.c_str(), false, true)) {
    FLT_SDK_LOG_WARN("Error: Unable to open compacted k-v file\n");
    return;
  }
  if (entries->size() > store->maxCount) {
    FLT_SDK_LOG_INFO("Truncating KV set, which is above max %d\n", store->maxCount);
  }
  std::uint32_t written = 0;
  for (const auto& [key, value] : *entries) {
    if (written++ >= store->maxCount) break;
    FLTFileWriteSectionStart(&file, "kv");
    FLTFileWriteHashStart(&file);
    FLTFileWriteHashEntryString(&file, "key", key.c_str());
    FLTFileWriteHashEntryString(&file, "value", value ? value->c_str() : nullptr);
    FLTFileWriteHashEnd(&file);
    FLTFileWriteSectionEnd(&file);
  }
  const bool closed = FLTFileCloseWithOffset(&file, nullptr);
  if (!closed || std::rename(temporary.c_str(), store->compactedPath) != 0) {
    FLT_SDK_LOG_WARN("Error: Unable to replace compacted KV store %s\n", store->compactedPath);
    FLTUnlinkIfExists(temporary.c_str());
    return;
  }
  if (!FLTUnlinkIfExists(store->incrementalPath)) {
    FLT_SDK_LOG_WARN("Error: Unable to remove incremental KV store after compaction %s\n",
                     store->incrementalPath);
  }
}

// ---- Rotating stores -------------------------------------------------------------------

void FLTUserLoggingWriteAndCheckABFiles(const FLTUserLoggingABStorage* store,
                                        const char** activePath,
                                        const FLTUserLoggingWriterBlock& writer) {
  if (store == nullptr || activePath == nullptr || !writer || !storeHasLimit(*store)) return;
  platform::Queue* queue = FLTLoggingQueue();
  if (queue == nullptr) return;
  queue->sync([&] {
    if (*activePath == nullptr) return;
    FLTFile file;
    if (!FLTFileInitWithPathMode(&file, *activePath, true, true)) {
      FLT_SDK_LOG_WARN("Unable to open log file\n");
      return;
    }
    writer(&file);
    std::uint64_t size = 0;
    FLTFileCloseWithOffset(&file, &size);
    if (!store->restrictBySize && store->entryCount != nullptr) *store->entryCount += 1;
    queue->async([store, activePath, size] {
      FLTUserLoggingCheckAndSwapABFiles(store, activePath, size);
    });
  });
}

void FLTUserLoggingCheckAndSwapABFiles(const FLTUserLoggingABStorage* store,
                                       const char** activePath, std::uint64_t fileSize) {
  if (store == nullptr || activePath == nullptr) return;
  if (!store->restrictBySize) {
    if (store->entryCount == nullptr || isBadPointer(store->entryCount)) {
      FLT_SDK_LOG_ERROR(
          "Error: storage has invalid pointer, but is restricted by entry count\n");
      return;
    }
    if (*store->entryCount < store->maxEntries) return;
    *store->entryCount = 0;
  } else if (fileSize <= store->maxSize) {
    return;
  }
  swapABFiles(store, activePath);
}

// ---- Errors ---------------------------------------------------------------------------------

void FLTUserLoggingRecordError(const FLTUserLoggingError* error,
                               const FLTUserLoggingInfo* additionalUserInfo) {
  if (error == nullptr || !FLTContextIsInitialized()) return;
  FLTUserLoggingReadOnlyContext* ro = readOnlyLogging();
  FLTUserLoggingWritableContext* rw = writableLogging();
  if (ro == nullptr || rw == nullptr) return;

  void* frames[kFLTUserLoggingMaxStackFrames];
  const int frameCount = backtrace(frames, kFLTUserLoggingMaxStackFrames);
  const std::time_t now = std::time(nullptr);

  FLTUserLoggingWriteAndCheckABFiles(
      &ro->errorStorage, &rw->activeErrorLogPath, [&](FLTFile* file) {
        FLTFileWriteSectionStart(file, "error");
        FLTFileWriteHashStart(file);
        writeHexEntry(file, "domain", std::string_view(error->domain));
        FLTFileWriteHashEntryInt64(file, "code", error->code);
        FLTFileWriteHashEntryInt64(file, "time", static_cast<std::int64_t>(now));
        FLTFileWriteHashKey(file, "stacktrace");
        FLTFileWriteArrayStart(file);
        for (int i = 0; i < frameCount; ++i) {
          FLTFileWriteArrayEntryUint64(file, reinterpret_cast<std::uintptr_t>(frames[i]));
        }
        FLTFileWriteArrayEnd(file);
        writeErrorInfo(file, "info", &error->userInfo);
        writeErrorInfo(file, "extra_info", additionalUserInfo);
        FLTFileWriteHashEnd(file);
        FLTFileWriteSectionEnd(file);
      });
}

// ---- Log messages ----------------------------------------------------------------------------

void FLTLogRecord(std::optional<std::string_view> message) {
  if (!message) return;
  if (!FLTContextIsInitialized()) {
    if (!gUninitializedKitMessagingDisabled.load()) {
      std::fprintf(stderr,
                   "[Faultline:Crash] WARNING: FLTLog has been used before (or concurrently "
                   "with) Faultline initialization and cannot be recorded. The message was: "
                   "\n%.*s\n",
                   static_cast<int>(message->size()), message->data());
    }
    return;
  }
  FLTUserLoggingReadOnlyContext* ro = readOnlyLogging();
  FLTUserLoggingWritableContext* rw = writableLogging();
  if (ro == nullptr || rw == nullptr || ro->logStorage.maxSize == 0) return;

  std::string_view text = *message;
  const std::size_t limit = ro->logStorage.maxSize;
  if (text.size() > limit) {
    std::fprintf(stderr,
                 "WARNING: Attempted to write %zd bytes, but %d is the maximum size of the log. "
                 "Truncating to %d bytes.\n",
                 static_cast<ssize_t>(text.size()), static_cast<int>(limit),
                 static_cast<int>(limit));
    text = clampText(text, limit);
  }
  struct timeval now {};
  if (gettimeofday(&now, nullptr) != 0) return;
  const std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                                     static_cast<std::uint64_t>(now.tv_usec) / 1000;
  FLTUserLoggingWriteAndCheckABFiles(&ro->logStorage, &rw->activeLogPath, [&](FLTFile* file) {
    FLTFileWriteSectionStart(file, "log");
    FLTFileWriteHashStart(file);
    FLTFileWriteHashEntryHexEncodedBytes(file, "msg", text.data(), text.size());
    FLTFileWriteHashEntryUint64(file, "time", milliseconds);
    FLTFileWriteHashEnd(file);
    FLTFileWriteSectionEnd(file);
  });
}

void FLTLogWithArguments(const char* format, va_list arguments) {
  const std::optional<std::string> message = formatMessage(format, arguments);
  if (message) FLTLogRecord(std::string_view(*message));
}

void FLTLogToConsoleWithArguments(const char* format, va_list arguments) {
  const std::optional<std::string> message = formatMessage(format, arguments);
  if (!message) return;
  FLTLogRecord(std::string_view(*message));
  printToConsole(*message);
}

void FLTLog(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FLTLogWithArguments(format, arguments);
  va_end(arguments);
}

void FLTLogToConsole(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FLTLogToConsoleWithArguments(format, arguments);
  va_end(arguments);
}

void FLTLogDisableUninitializedKitMessaging() noexcept {
  gUninitializedKitMessagingDisabled.store(true);
}

}  // namespace vandrel::crash
