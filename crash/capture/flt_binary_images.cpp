#include "crash/capture/flt_binary_images.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_utilities.h"
#include "crash/kit/trl_application_identity.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::crash {
namespace {

struct LoaderCounters {
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  unsigned long long sum() const { return adds + subs; }
};

struct SeenImage {
  FLTElfLoadedImageDetails details;
  std::string path;
};

struct Snapshot {
  LoaderCounters counters;
  std::vector<SeenImage> images;
};

int readCounters(dl_phdr_info* info, size_t, void* data) {
  *static_cast<LoaderCounters*>(data) = {info->dlpi_adds, info->dlpi_subs};
  return 1;  // the counters are the same in every entry
}

int collectImage(dl_phdr_info* info, size_t, void* data) {
  auto* snapshot = static_cast<Snapshot*>(data);
  snapshot->counters = {info->dlpi_adds, info->dlpi_subs};
  SeenImage seen;
  if (FLTElfReadLoadedImage(*info, &seen.details)) {
    seen.path = FLTElfLoadedImagePath(*info);
    snapshot->images.push_back(std::move(seen));
  }
  return 0;
}

LoaderCounters currentCounters() {
  LoaderCounters counters;
  dl_iterate_phdr(readCounters, &counters);
  return counters;
}

bool sameImage(const SeenImage& a, const SeenImage& b) {
  return a.details.loadAddress == b.details.loadAddress && a.path == b.path &&
         std::strcmp(a.details.buildID, b.details.buildID) == 0;
}

struct RecordEvent {
  bool loaded = false;
  SeenImage image;
};

void writeEvent(FLTFile* file, const RecordEvent& event) {
  FLTFileWriteSectionStart(file, event.loaded ? "load" : "unload");
  FLTFileWriteHashStart(file);
  FLTFileWriteHashKey(file, "path");
  FLTBinaryImageWriteJSONString(file, event.image.path);
  FLTFileWriteHashEntryString(file, "uuid", event.image.details.buildID);
  FLTFileWriteHashEntryUint64(file, "base", event.image.details.loadAddress);
  FLTFileWriteHashEntryUint64(file, "size", event.image.details.size);
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
}

// Claims a free slot for a loaded image; the slot index, or none when the
// table is full.
std::optional<std::size_t> storeLoaded(FLTBinaryImageWritableContext* table,
                                       const FLTElfLoadedImageDetails& d) {
  for (std::size_t i = 0; i < kFLTBinaryImageTableSlots; ++i) {
    FLTBinaryImageSlot& slot = table->slots[i];
    std::uintptr_t expected = 0;
    if (!slot.loadAddress.compare_exchange_strong(expected, d.loadAddress, std::memory_order_acq_rel)) {
      continue;
    }
    slot.ehFrame.store(d.ehFrame, std::memory_order_relaxed);
    slot.unwindInfo.store(d.ehFrameHdr, std::memory_order_relaxed);
    // Published last: a reader that sees the size sees the sections.
    slot.size.store(d.size, std::memory_order_release);
    return i;
  }
  return std::nullopt;
}

void storeUnloaded(FLTBinaryImageSlot& slot) {
  // Size first: from here on no lookup matches the slot.
  slot.size.store(0, std::memory_order_release);
  slot.ehFrame.store(0, std::memory_order_relaxed);
  slot.unwindInfo.store(0, std::memory_order_relaxed);
}

}  // namespace

struct FLTBinaryImageRegistry::Impl {
  struct Known {
    SeenImage image;
    std::optional<std::size_t> slot;  // none when the table was full
  };

  std::string recordPath;
  std::unique_ptr<platform::SerialQueue> ownQueue;
  platform::Queue* queue = nullptr;
  FLTFile file;  // only on `queue`
  std::unique_ptr<platform::TimerSource> timer;

  platform::Mutex mutex;
  std::vector<Known> known VANDREL_GUARDED_BY(mutex);
  std::optional<LoaderCounters> applied VANDREL_GUARDED_BY(mutex);
  std::vector<RecordEvent> pending VANDREL_GUARDED_BY(mutex);

  // On `queue`: writes what refreshes have queued, opening the file when
  // it is closed and closing it again if it was opened here.
  void drain() {
    std::vector<RecordEvent> events;
    {
      platform::MutexLock lock(mutex);
      events.swap(pending);
    }
    if (events.empty()) return;
    bool openedHere = false;
    if (file.fd < 0) {
      if (!FLTFileInitWithPathMode(&file, recordPath.c_str(), true, false)) {
        FLT_SDK_LOG_WARN("Error: unable to open binary image log file\n");
        return;
      }
      openedHere = true;
    }
    for (const auto& event : events) writeEvent(&file, event);
    if (openedHere) FLTFileCloseWithOffset(&file, nullptr);
  }
};

FLTBinaryImageRegistry::FLTBinaryImageRegistry(FLTBinaryImageWritableContext* table,
                                               std::string recordPath, platform::Queue* queue)
    : table_(table), impl_(std::make_unique<Impl>()) {
  VANDREL_CHECK(table != nullptr, "binary-image registry without a table");
  impl_->recordPath = std::move(recordPath);
  impl_->file.path = impl_->recordPath.c_str();
  if (queue == nullptr) {
    impl_->ownQueue = std::make_unique<platform::SerialQueue>(std::string(kFLTBinaryImageQueueLabel));
    queue = impl_->ownQueue.get();
  }
  impl_->queue = queue;
}

FLTBinaryImageRegistry::~FLTBinaryImageRegistry() {
  if (impl_->timer) impl_->timer->cancel();
  // A tick still running may post one more drain: wait for both.
  flush();
  flush();
  impl_->queue->sync([impl = impl_.get()] {
    if (impl->file.fd >= 0) FLTFileCloseWithOffset(&impl->file, nullptr);
  });
}

void FLTBinaryImageRegistry::init() {
  for (auto& slot : table_->slots) {
    slot.size.store(0, std::memory_order_relaxed);
    slot.ehFrame.store(0, std::memory_order_relaxed);
    slot.unwindInfo.store(0, std::memory_order_relaxed);
    slot.loadAddress.store(0, std::memory_order_release);
  }
  {
    platform::MutexLock lock(impl_->mutex);
    impl_->known.clear();
    impl_->applied.reset();
    impl_->pending.clear();
  }
  Impl* impl = impl_.get();
  impl->queue->async([impl] {
    if (!FLTUnlinkIfExists(impl->recordPath.c_str())) {
      FLT_SDK_LOG_WARN("Unable to reset the binary image log file %s\n", impl->recordPath.c_str());
    }
    if (!FLTFileInitWithPathMode(&impl->file, impl->recordPath.c_str(), true, false)) {
      FLT_SDK_LOG_WARN("Error: Unable to open the binary image log file during init\n");
    }
  });
  (void)refresh();
  // The burst of initial records shares one open.
  impl->queue->async([impl] {
    if (impl->file.fd >= 0) FLTFileCloseWithOffset(&impl->file, nullptr);
  });
}

FLTBinaryImageRegistry::RefreshCounts FLTBinaryImageRegistry::refresh() {
  RefreshCounts counts;
  const LoaderCounters now = currentCounters();
  {
    platform::MutexLock lock(impl_->mutex);
    if (impl_->applied && impl_->applied->sum() == now.sum()) return counts;
  }
  // The walk runs outside the lock: the loader takes its own lock for it.
  Snapshot snapshot;
  dl_iterate_phdr(collectImage, &snapshot);
  std::vector<std::uintptr_t> untracked;
  {
    platform::MutexLock lock(impl_->mutex);
    // An older walk finishing after a newer one must not undo it.
    if (impl_->applied && impl_->applied->sum() >= snapshot.counters.sum()) return counts;
    impl_->applied = snapshot.counters;
    std::vector<Impl::Known> still;
    for (auto& known : impl_->known) {
      bool present = false;
      for (const auto& seen : snapshot.images) present = present || sameImage(known.image, seen);
      if (present) {
        still.push_back(std::move(known));
        continue;
      }
      if (known.slot) storeUnloaded(table_->slots[*known.slot]);
      impl_->pending.push_back({false, known.image});
      ++counts.unloaded;
    }
    impl_->known = std::move(still);
    for (auto& seen : snapshot.images) {
      bool present = false;
      for (const auto& known : impl_->known) present = present || sameImage(known.image, seen);
      if (present) continue;
      auto slot = storeLoaded(table_, seen.details);
      if (!slot) untracked.push_back(seen.details.loadAddress);
      impl_->pending.push_back({true, seen});
      impl_->known.push_back({std::move(seen), slot});
      ++counts.loaded;
    }
  }
  for (std::uintptr_t address : untracked) {
    FLT_SDK_LOG_WARN("Error: Unable to track a %s node %p\n", "loaded",
                     reinterpret_cast<const void*>(address));
  }
  if (counts.loaded + counts.unloaded > 0) {
    impl_->queue->async([impl = impl_.get()] { impl->drain(); });
  }
  return counts;
}

void* FLTBinaryImageRegistry::dlopenImage(const char* path, int flags) {
  void* handle = ::dlopen(path, flags);
  if (handle != nullptr) (void)refresh();
  return handle;
}

int FLTBinaryImageRegistry::dlcloseImage(void* handle) {
  const int result = ::dlclose(handle);
  (void)refresh();
  return result;
}

void FLTBinaryImageRegistry::startPeriodicRefresh(std::chrono::milliseconds interval,
                                                  platform::Scheduler& scheduler) {
  if (impl_->timer) return;
  impl_->timer = std::make_unique<platform::TimerSource>(
      *impl_->queue, interval, [this] { (void)refresh(); }, scheduler);
  impl_->timer->start();
}

void FLTBinaryImageRegistry::flush() {
  impl_->queue->sync([] {});
}

bool FLTBinaryImageRegistry::findImageForUUID(std::string_view uuid, FLTElfLoadedImageDetails* details) {
  if (details == nullptr || uuid.empty()) {
    FLT_SDK_LOG_WARN("null input\n");
    return false;
  }
  Snapshot snapshot;
  dl_iterate_phdr(collectImage, &snapshot);
  for (const auto& seen : snapshot.images) {
    const std::string_view id(seen.details.buildID);
    if (id.size() == uuid.size() && FLTNormalizeUUID(uuid) == id) {
      *details = seen.details;
      return true;
    }
  }
  return false;
}

bool FLTBinaryImageSafeFindImageInTable(const FLTBinaryImageWritableContext* table,
                                        std::uintptr_t address, FLTBinaryImageRuntimeNode* node) noexcept {
  if (table == nullptr || node == nullptr) return false;
  for (const auto& slot : table->slots) {
    const std::uintptr_t base = slot.loadAddress.load(std::memory_order_acquire);
    if (base == 0) continue;
    const std::uintptr_t size = slot.size.load(std::memory_order_acquire);
    if (size == 0 || address < base || address - base >= size) continue;
    node->loadAddress = base;
    node->size = size;
    node->ehFrame = slot.ehFrame.load(std::memory_order_relaxed);
    node->unwindInfo = slot.unwindInfo.load(std::memory_order_relaxed);
    return true;
  }
  return false;
}

bool FLTBinaryImageHasUnwindInfo(const FLTBinaryImageRuntimeNode& node) noexcept {
  return node.unwindInfo >= kFLTMinimumValidAddress;
}

// ---- the process's registry -----------------------------------------------------

namespace {
std::atomic<FLTBinaryImageRegistry*> gRegistry{nullptr};
}  // namespace

void FLTBinaryImageInit(FLTBinaryImageWritableContext* table, const char* recordPath) {
  if (table == nullptr || recordPath == nullptr) return;
  static std::once_flag once;
  std::call_once(once, [&] {
    // Lives as long as the process, like the table it fills.
    auto* registry = new FLTBinaryImageRegistry(table, recordPath, FLTBinaryImagesQueue());
    registry->init();
    gRegistry.store(registry, std::memory_order_release);
  });
}

void FLTBinaryImageContextSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                                FLTAllocator* allocator) {
  if (readOnly == nullptr || writable == nullptr) return;
  if (writable->binaryImages == nullptr) {
    void* memory = FLTAllocatorSafeAllocate(allocator, sizeof(FLTBinaryImageWritableContext),
                                            kFLTAllocationTypeWritable);
    if (memory == nullptr) {
      FLT_SDK_LOG_WARN("Error: Writable context is NULL\n");
      return;
    }
    writable->binaryImages = new (memory) FLTBinaryImageWritableContext{};
  }
  FLTBinaryImageInit(writable->binaryImages, readOnly->binaryImagePath);
}

void FLTBinaryImageRegisterWithContext() noexcept {
  FLTContextRegisterBinaryImageSetUp(FLTBinaryImageContextSetUp, FLTBinaryImageRecordMainExecutable);
}

FLTBinaryImageRegistry* FLTBinaryImageSharedRegistry() {
  return gRegistry.load(std::memory_order_acquire);
}

bool FLTBinaryImageSafeFindImageForAddress(std::uintptr_t address, FLTBinaryImageRuntimeNode* node) noexcept {
  if (!FLTContextIsInitialized()) return false;
  FLTWritableContext* writable = FLTContextWritable();
  if (writable == nullptr) return false;
  return FLTBinaryImageSafeFindImageInTable(writable->binaryImages, address, node);
}

void FLTBinaryImageRefresh() {
  if (auto* registry = FLTBinaryImageSharedRegistry()) (void)registry->refresh();
}

void* FLTBinaryImageDlopen(const char* path, int flags) {
  if (auto* registry = FLTBinaryImageSharedRegistry()) return registry->dlopenImage(path, flags);
  return ::dlopen(path, flags);
}

int FLTBinaryImageDlclose(void* handle) {
  if (auto* registry = FLTBinaryImageSharedRegistry()) return registry->dlcloseImage(handle);
  return ::dlclose(handle);
}

bool FLTBinaryImageRecordMainExecutable(FLTFile* file) {
  Snapshot snapshot;
  dl_iterate_phdr([](dl_phdr_info* info, size_t size, void* data) {
    collectImage(info, size, data);
    return 1;  // the first entry is the main program
  }, &snapshot);
  if (snapshot.images.empty()) return false;
  const auto& main = snapshot.images.front().details;
  FLTFileWriteSectionStart(file, "executable");
  FLTFileWriteHashStart(file);
  FLTFileWriteHashEntryString(file, "architecture", TRLCurrentArchitectureName().data());
  FLTFileWriteHashEntryString(file, "uuid", main.buildID);
  FLTFileWriteHashEntryUint64(file, "base", main.loadAddress);
  FLTFileWriteHashEntryUint64(file, "size", main.size);
  FLTFileWriteHashEntryBoolean(file, "encrypted", false);
  // ELF declares no minimum or linked SDK version.
  FLTFileWriteHashEntryString(file, "minimum_sdk_version", "0.0.0");
  FLTFileWriteHashEntryString(file, "built_sdk_version", "0.0.0");
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
  return true;
}

void FLTBinaryImageWriteJSONString(FLTFile* file, std::string_view text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted.push_back('\\');
      quoted.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      static constexpr char kDigits[] = "0123456789abcdef";
      quoted += "\\u00";
      quoted.push_back(kDigits[c >> 4]);
      quoted.push_back(kDigits[c & 0x0F]);
    } else {
      quoted.push_back(static_cast<char>(c));
    }
  }
  quoted.push_back('"');
  FLTFileWriteWithOffset(file, quoted.data(), quoted.size());
  file->needsComma = true;
}

}  // namespace vandrel::crash
