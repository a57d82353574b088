#include "crash/capture/flt_allocator.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "crash/capture/flt_sdk_log.h"

namespace vandrel::crash {

// A signal handler bumps the cursors: they must not hide a lock.
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

namespace {

std::uintptr_t alignUp(std::uintptr_t value) {
  constexpr std::uintptr_t mask = kFLTAllocatorAlignment - 1;
  return (value + mask) & ~mask;
}

void setUpRegion(FLTAllocatorRegion* region, std::uintptr_t start, std::size_t size) {
  region->size = size;
  region->start = start;
  region->cursor.store(start, std::memory_order_release);
}

bool contains(const FLTAllocatorRegion& region, std::uintptr_t address) {
  return address >= region.start && address < region.start + region.size;
}

}  // namespace

std::size_t FLTAllocatorPageSize() {
  static const std::size_t page = [] {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : std::size_t{4096};
  }();
  return page;
}

std::size_t FLTAllocatorWritableRegionSize(std::size_t requested) {
  const std::size_t page = FLTAllocatorPageSize();
  return (requested / page + 1) * page;
}

std::size_t FLTAllocatorReadOnlyRegionSize(std::size_t requested) {
  const std::size_t page = FLTAllocatorPageSize();
  return ((requested + kFLTAllocatorRecordSize) / page + 1) * page;
}

FLTAllocator* FLTAllocatorCreate(std::size_t writableSize, std::size_t readOnlySize) {
  const std::size_t page = FLTAllocatorPageSize();
  const std::size_t limit = SIZE_MAX / 4;
  if (writableSize > limit || readOnlySize > limit) {
    FLT_SDK_LOG_ERROR("Error: allocator request too large\n");
    return nullptr;
  }
  const std::size_t writable = FLTAllocatorWritableRegionSize(writableSize);
  const std::size_t readOnly = FLTAllocatorReadOnlyRegionSize(readOnlySize);
  const std::size_t total = 3 * page + writable + readOnly;

  void* mapping = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (mapping == MAP_FAILED) {
    FLT_SDK_LOG_ERROR("Error: unable to map the allocator\n");
    return nullptr;
  }
  auto* base = static_cast<char*>(mapping);
  char* writableStart = base + page;
  char* middleGuard = writableStart + writable;
  char* readOnlyStart = middleGuard + page;
  char* lastGuard = readOnlyStart + readOnly;
  if (mprotect(base, page, PROT_NONE) != 0 || mprotect(middleGuard, page, PROT_NONE) != 0 ||
      mprotect(lastGuard, page, PROT_NONE) != 0) {
    FLT_SDK_LOG_ERROR("Error: unable to protect the allocator's guard pages\n");
    munmap(mapping, total);
    return nullptr;
  }

  // The record sits at the start of the read-only region, so it becomes
  // read-only together with the paths and handlers it points to.
  auto* allocator = new (readOnlyStart) FLTAllocator;
  allocator->mappingStart = mapping;
  setUpRegion(&allocator->writable, reinterpret_cast<std::uintptr_t>(writableStart), writable);
  setUpRegion(&allocator->readOnly, reinterpret_cast<std::uintptr_t>(readOnlyStart), readOnly);
  allocator->readOnly.cursor.store(
      reinterpret_cast<std::uintptr_t>(readOnlyStart) + kFLTAllocatorRecordSize,
      std::memory_order_release);

  FLT_SDK_LOG_INFO("Mapping: %p %p %p, total: %u K\n", mapping, static_cast<void*>(writableStart),
                static_cast<void*>(readOnlyStart), static_cast<unsigned>(total / 1024));
  FLT_SDK_LOG_DEBUG("Allocator successfully created %p\n", static_cast<void*>(allocator));
  return allocator;
}

void* FLTAllocatorSafeAllocate(FLTAllocator* allocator, std::size_t size, int kind) {
  if (kind != kFLTAllocationTypeWritable && kind != kFLTAllocationTypeReadOnly) return nullptr;
  if (allocator == nullptr) {
    FLT_SDK_LOG_WARN("Allocator invalid, falling back to malloc\n");
    return std::malloc(size);
  }
  if (allocator->isProtected.load(std::memory_order_acquire)) {
    FLT_SDK_LOG_WARN("Allocator already protected, falling back to malloc\n");
    return std::malloc(size);
  }
  FLTAllocatorRegion* region =
      kind == kFLTAllocationTypeWritable ? &allocator->writable : &allocator->readOnly;
  return FLTAllocatorSafeAllocateFromRegion(region, size);
}

void* FLTAllocatorSafeAllocateFromRegion(FLTAllocatorRegion* region, std::size_t size) {
  if (region == nullptr) return std::malloc(size);
  const std::uintptr_t end = region->start + region->size;
  std::uintptr_t old = region->cursor.load(std::memory_order_acquire);
  for (;;) {
    const std::uintptr_t aligned = alignUp(old);
    if (aligned > end || size > end - aligned) {
      FLT_SDK_LOG_WARN("Unable to allocate sufficient memory, falling back to malloc\n");
      return std::malloc(size);
    }
    // On failure `old` is reloaded with the cursor another thread left.
    if (region->cursor.compare_exchange_weak(old, aligned + size, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
      return reinterpret_cast<void*>(aligned);
    }
  }
}

bool FLTAllocatorProtect(FLTAllocator* allocator) {
  if (allocator == nullptr) {
    FLT_SDK_LOG_ERROR("Invalid allocator\n");
    return false;
  }
  if (allocator->isProtected.load(std::memory_order_acquire)) {
    FLT_SDK_LOG_WARN("Write protection already enabled\n");
    return true;
  }
  // The flag is set before the record itself becomes read-only.
  allocator->isProtected.store(true, std::memory_order_release);
  return mprotect(reinterpret_cast<void*>(allocator->readOnly.start), allocator->readOnly.size,
                  PROT_READ) == 0;
}

void FLTAllocatorFree(FLTAllocator*) {}

void FLTAllocatorSafeFree(FLTAllocator* allocator, void* pointer) {
  // Region memory is never returned; a heap fallback handed out by this
  // allocator goes back to the heap like any other.
  if (pointer == nullptr || FLTAllocatorContains(allocator, pointer)) return;
  std::free(pointer);
}

bool FLTAllocatorContains(const FLTAllocator* allocator, const void* pointer) {
  if (allocator == nullptr || pointer == nullptr) return false;
  const auto address = reinterpret_cast<std::uintptr_t>(pointer);
  return contains(allocator->writable, address) || contains(allocator->readOnly, address);
}

void* FLTAllocatorMapCrashScratch(std::size_t size) noexcept {
  if (size == 0) return nullptr;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

void FLTAllocatorUnmapCrashScratch(void* memory, std::size_t size) noexcept {
  if (memory != nullptr && size != 0) munmap(memory, size);
}

}  // namespace vandrel::crash
