#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vandrel::crash {

// The crash kit's guarded, pre-mapped allocator.
//
// Everything the crash path will ever need is reserved at start-up in one
// anonymous mapping laid out, in address order, as
//
//   guard page | writable region | guard page | read-only region | guard page
//
// Allocation is a lock-free bump of a region's cursor, so a signal handler
// may allocate while another thread does. Once the context set-up is done,
// `FLTAllocatorProtect` makes the read-only region (paths, saved handlers,
// the allocator record itself) truly read-only; from then on every request
// falls back to `malloc`. Memory taken from the regions is never returned:
// the mapping lives as long as the process.
//
// Allocation and protection are async-signal-safe except for the `malloc`
// fallbacks, which only happen when the up-front reservation was too small
// or the allocator is already protected.

// Which region a request draws from.
inline constexpr int kFLTAllocationTypeReadOnly = 0;
inline constexpr int kFLTAllocationTypeWritable = 1;

// Every allocation from a region starts on this boundary, so records with
// pointers, 64-bit counters and atomics placed there are properly aligned.
inline constexpr std::size_t kFLTAllocatorAlignment = 16;

// Bytes of the read-only region taken by the allocator record itself (the
// reason that region's request is enlarged by this much).
inline constexpr std::size_t kFLTAllocatorRecordSize = 64;

struct FLTAllocatorRegion {
  std::size_t size = 0;
  std::uintptr_t start = 0;
  std::atomic<std::uintptr_t> cursor{0};
};

struct FLTAllocator {
  void* mappingStart = nullptr;
  std::atomic<bool> isProtected{false};
  FLTAllocatorRegion writable;
  FLTAllocatorRegion readOnly;
};
static_assert(sizeof(FLTAllocator) <= kFLTAllocatorRecordSize);

// The host page size (4096 on the platforms we run on).
std::size_t FLTAllocatorPageSize();

// Region sizes as mapped for a request of `requested` bytes: both always get
// at least one spare page.
std::size_t FLTAllocatorWritableRegionSize(std::size_t requested);
std::size_t FLTAllocatorReadOnlyRegionSize(std::size_t requested);

// Maps the guarded layout and places the allocator record at the start of
// the read-only region. Null on failure (logged).
FLTAllocator* FLTAllocatorCreate(std::size_t writableSize, std::size_t readOnlySize);

// `kind` is kFLTAllocationTypeWritable or kFLTAllocationTypeReadOnly; any
// other kind gives null. A null or protected allocator falls back to
// `malloc` with a warning.
void* FLTAllocatorSafeAllocate(FLTAllocator* allocator, std::size_t size, int kind);

// Lock-free bump allocation from `region`; falls back to `malloc` (with a
// warning) when the request does not fit in what is left.
void* FLTAllocatorSafeAllocateFromRegion(FLTAllocatorRegion* region, std::size_t size);

// Makes the read-only region read-only. Null allocator: error, false.
// Protecting twice succeeds with a warning.
bool FLTAllocatorProtect(FLTAllocator* allocator);

// Does nothing: the mapping lives for the whole process.
void FLTAllocatorFree(FLTAllocator* allocator);

// Returns `pointer` to the heap only when no allocator is given; memory
// from the regions is never returned.
void FLTAllocatorSafeFree(FLTAllocator* allocator, void* pointer);

// True when `pointer` lies inside one of the two regions of `allocator`
// (false for null and for heap fallbacks).
bool FLTAllocatorContains(const FLTAllocator* allocator, const void* pointer);

// Crash-time memory whose size is known only when a crash is recorded (one
// entry per thread of the process): zeroed pages straight from the kernel,
// never the heap. Async-signal-safe. Null when the mapping fails or `size`
// is 0; the unmap takes the size that was asked for.
void* FLTAllocatorMapCrashScratch(std::size_t size) noexcept;
void FLTAllocatorUnmapCrashScratch(void* memory, std::size_t size) noexcept;

}  // namespace vandrel::crash
