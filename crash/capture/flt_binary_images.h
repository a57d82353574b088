#pragma once

// The binary-image registry: for the whole life of the process, a table of
// the loaded images that crash-time code searches without locks (the
// unwinder needs each image's unwind sections), and a log of every image
// load and unload in "binary_images.fltrecord" so the next launch can
// symbolicate against exactly the images that were present.
//
// The loader of this platform has no add/remove callbacks. The registry
// therefore refreshes: it walks dl_iterate_phdr and compares what it finds
// with what it knows (by load address, path and build-id). The walk is
// skipped when the loader's load and unload counters (dlpi_adds,
// dlpi_subs) have not moved since the last refresh, so refreshing is cheap.
// A refresh runs at init, after every FLTBinaryImageDlopen /
// FLTBinaryImageDlclose, on every FLTBinaryImageRefresh call and, once
// started, on a periodic timer; images loaded by code that calls dlopen
// directly are caught by the next of these.
//
// Queue: refreshes may run on any thread (they are serialised inside);
// record lines are written on the "com.kestrel.faultline.mac.binary-images"
// queue in the order the refreshes saw the changes.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "crash/unwind/flt_elf_reader.h"

namespace vandrel::platform {
class Queue;
class Scheduler;
}  // namespace vandrel::platform

namespace vandrel::crash {

struct FLTAllocator;
struct FLTFile;
struct FLTReadOnlyContext;
struct FLTWritableContext;

inline constexpr std::size_t kFLTBinaryImageTableSlots = 512;
inline constexpr std::string_view kFLTBinaryImageQueueLabel =
    "com.kestrel.faultline.mac.binary-images";

// One image as crash-time readers copy it out of the table.
struct FLTBinaryImageRuntimeNode {
  std::uintptr_t loadAddress = 0;  // where the ELF header is mapped
  std::uintptr_t size = 0;         // load address .. end of the text
  std::uintptr_t ehFrame = 0;      // run-time address of .eh_frame, or 0
  // Run-time address of .eh_frame_hdr (the binary-search table of the
  // unwind information), or 0.
  std::uintptr_t unwindInfo = 0;
};

// One slot of the table. A zero load address is a free slot. A claimed
// slot is never freed: an unloaded image keeps its load address with size
// 0, so no lookup matches it and a reader racing the unload never sees the
// slot re-filled by another image.
struct FLTBinaryImageSlot {
  std::atomic<std::uintptr_t> loadAddress;
  std::atomic<std::uintptr_t> size;
  std::atomic<std::uintptr_t> ehFrame;
  std::atomic<std::uintptr_t> unwindInfo;
};

// The registry's share of the writable crash context: zeroed memory is an
// empty table.
struct FLTBinaryImageWritableContext {
  FLTBinaryImageSlot slots[kFLTBinaryImageTableSlots];
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);

// Crash-time lookup in one table: the first live slot with
// load address <= address < load address + size, copied out whole.
// Async-signal-safe. False for a null table or no match.
bool FLTBinaryImageSafeFindImageInTable(const FLTBinaryImageWritableContext* table,
                                        std::uintptr_t address, FLTBinaryImageRuntimeNode* node) noexcept;

// The node's unwind information lies at a valid address (4096 or more).
bool FLTBinaryImageHasUnwindInfo(const FLTBinaryImageRuntimeNode& node) noexcept;

// One registry. The process has one (below); tests make their own.
class FLTBinaryImageRegistry {
 public:
  struct RefreshCounts {
    std::size_t loaded = 0;
    std::size_t unloaded = 0;
  };

  // `table` must outlive the registry (it lives in the writable context);
  // `recordPath` is the "binary_images.fltrecord" of this launch. Record
  // lines are written on `queue` (a serial queue that outlives the
  // registry), or on a serial queue of the registry's own when null.
  FLTBinaryImageRegistry(FLTBinaryImageWritableContext* table, std::string recordPath,
                         platform::Queue* queue = nullptr);
  ~FLTBinaryImageRegistry();
  FLTBinaryImageRegistry(const FLTBinaryImageRegistry&) = delete;
  FLTBinaryImageRegistry& operator=(const FLTBinaryImageRegistry&) = delete;

  // Empties the table and the record file, then records every image loaded
  // now, in the loader's order.
  void init();

  // Records the images loaded and unloaded since the last refresh. Nothing
  // when the loader's counters have not moved.
  RefreshCounts refresh();

  // dlopen / dlclose followed by a refresh.
  void* dlopenImage(const char* path, int flags);
  int dlcloseImage(void* handle);

  // Refreshes every `interval` on the registry's queue until the registry
  // goes away.
  void startPeriodicRefresh(std::chrono::milliseconds interval, platform::Scheduler& scheduler);

  // Waits until every record line posted so far is written.
  void flush();

  const FLTBinaryImageWritableContext* table() const { return table_; }

  // The loaded image whose build-id (hex, any case) equals `uuid`.
  static bool findImageForUUID(std::string_view uuid, FLTElfLoadedImageDetails* details);

 private:
  struct Impl;
  FLTBinaryImageWritableContext* const table_;
  std::unique_ptr<Impl> impl_;
};

// ---- the process's registry -----------------------------------------------------

// Makes the process's registry over `table` (record lines on the context's
// binary-images queue) and runs its init. A second call is ignored.
void FLTBinaryImageInit(FLTBinaryImageWritableContext* table, const char* recordPath);

// The context set-up hook: takes the table from the writable region of
// `allocator`, stores it in `writable->binaryImages` and runs
// FLTBinaryImageInit on `readOnly->binaryImagePath`.
void FLTBinaryImageContextSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                                FLTAllocator* allocator);
// Registers the hook and the `executable` line with the context set-up;
// call before FLTContextInitialize.
void FLTBinaryImageRegisterWithContext() noexcept;

// The process's registry, null before FLTBinaryImageInit.
FLTBinaryImageRegistry* FLTBinaryImageSharedRegistry();

// Crash-time lookup in the context's table; false until the crash context
// is initialized. Async-signal-safe.
bool FLTBinaryImageSafeFindImageForAddress(std::uintptr_t address, FLTBinaryImageRuntimeNode* node) noexcept;

// Refresh of the process's registry (no-op before init).
void FLTBinaryImageRefresh();
// dlopen/dlclose that keep the process's registry current.
void* FLTBinaryImageDlopen(const char* path, int flags);
int FLTBinaryImageDlclose(void* handle);

// The `executable` metadata line for the running executable: architecture,
// uuid (build-id hex), base, size, encrypted (always false), and the
// minimum and built SDK versions (ELF declares none: "0.0.0"). True when
// written.
bool FLTBinaryImageRecordMainExecutable(FLTFile* file);

// Writes `text` as a JSON string (quotes, escapes for '"', '\\' and control
// bytes): image paths come from the file system and may hold any byte.
void FLTBinaryImageWriteJSONString(FLTFile* file, std::string_view text);

}  // namespace vandrel::crash
