#include "crash/capture/flt_allocator.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "crash/capture/flt_sdk_log.h"
#include "tests/crash/capture_test_support.h"

namespace vandrel::crash {
namespace {

using capture_test::waitForChild;

// Runs `action` in a forked child and reports the signal that ended it (0
// when it exited normally).
template <typename Action>
int signalOfChild(Action action) {
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGSEGV, SIG_DFL);
    signal(SIGBUS, SIG_DFL);
    action();
    _exit(0);
  }
  int status = 0;
  if (!waitForChild(pid, &status)) return -1;
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

class FLTAllocatorTest : public capture_test::SdkLogTest {};

TEST_F(FLTAllocatorTest, CreateLaysOutGuardedRegionsWithTheRecordInTheReadOnlyRegion) {
  const std::size_t page = FLTAllocatorPageSize();
  // The sizes the context set-up asks for.
  FLTAllocator* allocator = FLTAllocatorCreate(544872, 17064);
  ASSERT_NE(allocator, nullptr);

  EXPECT_EQ(FLTAllocatorWritableRegionSize(544872), (544872 / page + 1) * page);
  EXPECT_EQ(FLTAllocatorReadOnlyRegionSize(17064), ((17064 + 64) / page + 1) * page);
  // Exactly a page of spare even when the request is a whole number of pages.
  EXPECT_EQ(FLTAllocatorWritableRegionSize(page), 2 * page);
  EXPECT_EQ(FLTAllocatorReadOnlyRegionSize(page - 64), 2 * page);

  const auto base = reinterpret_cast<std::uintptr_t>(allocator->mappingStart);
  EXPECT_EQ(allocator->writable.start, base + page);
  EXPECT_EQ(allocator->writable.size, FLTAllocatorWritableRegionSize(544872));
  EXPECT_EQ(allocator->readOnly.start, allocator->writable.start + allocator->writable.size + page);
  EXPECT_EQ(allocator->readOnly.size, FLTAllocatorReadOnlyRegionSize(17064));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(allocator), allocator->readOnly.start);
  EXPECT_TRUE(FLTAllocatorContains(allocator, allocator));

  const std::string text = log();
  EXPECT_NE(text.find("Mapping: 0x"), std::string::npos) << text;
  EXPECT_NE(text.find(", total: " +
                      std::to_string((3 * page + allocator->writable.size +
                                      allocator->readOnly.size) / 1024) + " K\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Allocator successfully created 0x"), std::string::npos) << text;
}

TEST_F(FLTAllocatorTest, GuardPagesAroundBothRegionsFault) {
  FLTAllocator* allocator = FLTAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);
  const std::size_t page = FLTAllocatorPageSize();
  const std::uintptr_t guards[] = {
      allocator->writable.start - 1,
      allocator->writable.start + allocator->writable.size,
      allocator->readOnly.start - page,
      allocator->readOnly.start + allocator->readOnly.size,
  };
  for (const std::uintptr_t guard : guards) {
    SCOPED_TRACE(guard);
    EXPECT_EQ(signalOfChild([guard] { *reinterpret_cast<volatile char*>(guard) = 1; }), SIGSEGV);
  }
  // The regions themselves are usable up to their last byte.
  EXPECT_EQ(signalOfChild([allocator] {
              *reinterpret_cast<volatile char*>(allocator->writable.start +
                                                allocator->writable.size - 1) = 1;
              *reinterpret_cast<volatile char*>(allocator->readOnly.start +
                                                allocator->readOnly.size - 1) = 1;
            }),
            0);
}

TEST_F(FLTAllocatorTest, AllocationsComeFromTheAskedRegionAlignedAndInOrder) {
  FLTAllocator* allocator = FLTAllocatorCreate(4000, 1000);
  ASSERT_NE(allocator, nullptr);
  void* a = FLTAllocatorSafeAllocate(allocator, 3, kFLTAllocationTypeWritable);
  void* b = FLTAllocatorSafeAllocate(allocator, 40, kFLTAllocationTypeWritable);
  void* c = FLTAllocatorSafeAllocate(allocator, 7, kFLTAllocationTypeReadOnly);
  const auto address = [](void* p) { return reinterpret_cast<std::uintptr_t>(p); };

  EXPECT_EQ(address(a), allocator->writable.start);
  EXPECT_EQ(address(b), allocator->writable.start + kFLTAllocatorAlignment);
  // The record comes first in the read-only region.
  EXPECT_EQ(address(c), allocator->readOnly.start + kFLTAllocatorRecordSize);
  for (void* p : {a, b, c}) {
    EXPECT_TRUE(FLTAllocatorContains(allocator, p));
    EXPECT_EQ(address(p) % kFLTAllocatorAlignment, 0u);
  }
  EXPECT_EQ(FLTAllocatorSafeAllocate(allocator, 8, 2), nullptr);
  EXPECT_EQ(FLTAllocatorSafeAllocate(allocator, 8, -1), nullptr);
}

TEST_F(FLTAllocatorTest, RequestLargerThanWhatIsLeftFallsBackToTheHeap) {
  FLTAllocator* allocator = FLTAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);
  const std::size_t room = allocator->writable.size;
  void* all = FLTAllocatorSafeAllocate(allocator, room, kFLTAllocationTypeWritable);
  EXPECT_TRUE(FLTAllocatorContains(allocator, all));
  void* more = FLTAllocatorSafeAllocate(allocator, 1, kFLTAllocationTypeWritable);
  ASSERT_NE(more, nullptr);
  EXPECT_FALSE(FLTAllocatorContains(allocator, more));
  EXPECT_NE(log().find("Unable to allocate sufficient memory, falling back to malloc\n"),
            std::string::npos);
  FLTAllocatorSafeFree(allocator, more);
  FLTAllocatorSafeFree(allocator, all);  // region memory: kept
}

TEST_F(FLTAllocatorTest, ConcurrentRequestsNeverOverlap) {
  FLTAllocator* allocator = FLTAllocatorCreate(64 * 1024, 100);
  ASSERT_NE(allocator, nullptr);
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  std::vector<std::vector<std::pair<std::uintptr_t, std::size_t>>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::size_t size = 1 + static_cast<std::size_t>((i * 7 + t) % 40);
        void* p = FLTAllocatorSafeAllocate(allocator, size, kFLTAllocationTypeWritable);
        taken[t].emplace_back(reinterpret_cast<std::uintptr_t>(p), size);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::vector<std::pair<std::uintptr_t, std::size_t>> all;
  for (const auto& list : taken) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_TRUE(FLTAllocatorContains(allocator, reinterpret_cast<void*>(all[i].first)));
    if (i > 0) {
      ASSERT_GE(all[i].first, all[i - 1].first + all[i - 1].second) << "overlap at " << i;
    }
  }
}

TEST_F(FLTAllocatorTest, ProtectMakesTheReadOnlyRegionReadOnlyAndLaterRequestsUseTheHeap) {
  FLTAllocator* allocator = FLTAllocatorCreate(1000, 1000);
  ASSERT_NE(allocator, nullptr);
  auto* path = static_cast<char*>(FLTAllocatorSafeAllocate(allocator, 16, kFLTAllocationTypeReadOnly));
  auto* counter = static_cast<char*>(FLTAllocatorSafeAllocate(allocator, 16, kFLTAllocationTypeWritable));
  path[0] = 'p';

  ASSERT_TRUE(FLTAllocatorProtect(allocator));
  EXPECT_EQ(path[0], 'p');
  EXPECT_EQ(signalOfChild([path] { *reinterpret_cast<volatile char*>(path) = 'x'; }), SIGSEGV);
  // The record itself is protected with the region.
  EXPECT_EQ(signalOfChild([allocator] { allocator->readOnly.cursor.store(0); }), SIGSEGV);
  EXPECT_EQ(signalOfChild([counter] { *reinterpret_cast<volatile char*>(counter) = 1; }), 0);

  for (const int kind : {kFLTAllocationTypeWritable, kFLTAllocationTypeReadOnly}) {
    SCOPED_TRACE(kind);
    void* late = FLTAllocatorSafeAllocate(allocator, 32, kind);
    ASSERT_NE(late, nullptr);
    EXPECT_FALSE(FLTAllocatorContains(allocator, late));
    FLTAllocatorSafeFree(allocator, late);
  }
  EXPECT_TRUE(FLTAllocatorProtect(allocator));
  const std::string text = log();
  EXPECT_NE(text.find("Allocator already protected, falling back to malloc\n"), std::string::npos);
  EXPECT_NE(text.find("WARN  ["), std::string::npos);
  EXPECT_NE(text.find("Write protection already enabled\n"), std::string::npos);
}

TEST_F(FLTAllocatorTest, MissingAllocatorFallsBackOrFails) {
  void* p = FLTAllocatorSafeAllocate(nullptr, 24, kFLTAllocationTypeWritable);
  ASSERT_NE(p, nullptr);
  FLTAllocatorSafeFree(nullptr, p);
  EXPECT_FALSE(FLTAllocatorProtect(nullptr));
  EXPECT_FALSE(FLTAllocatorContains(nullptr, p));
  const std::string text = log();
  EXPECT_NE(text.find("Allocator invalid, falling back to malloc\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR ["), std::string::npos);
  EXPECT_NE(text.find("Invalid allocator\n"), std::string::npos);
}

}  // namespace
}  // namespace vandrel::crash
