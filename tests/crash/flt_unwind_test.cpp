// Compiled with -fomit-frame-pointer -fasynchronous-unwind-tables (see
// CMakeLists.txt): the real walk below can only succeed through the
// images' call-frame information.
#include "crash/unwind/flt_unwind_cursor.h"

#include <gtest/gtest.h>
#include <link.h>
#include <ucontext.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "crash/capture/flt_binary_images.h"
#include "crash/unwind/flt_elf_reader.h"

namespace vandrel::crash {
namespace {

// The loaded images, as the registry would fill its table; without the
// .eh_frame_hdr tables the unwinder must scan .eh_frame.
FLTBinaryImageWritableContext* makeImageTable(bool withHeaders) {
    auto* t = new FLTBinaryImageWritableContext{};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
          auto* table = static_cast<FLTBinaryImageWritableContext*>(data);
          FLTElfLoadedImageDetails details;
          if (!FLTElfReadLoadedImage(*info, &details)) return 0;
          for (FLTBinaryImageSlot& slot : table->slots) {
            if (slot.loadAddress.load() != 0) continue;
            slot.ehFrame = details.ehFrame;
            slot.unwindInfo = details.ehFrameHdr;
            slot.size = details.size;
            slot.loadAddress = details.loadAddress;
            break;
          }
          return 0;
        },
        t);
    if (!withHeaders) {
      for (FLTBinaryImageSlot& slot : t->slots) slot.unwindInfo = 0;
    }
    return t;
}

FLTBinaryImageWritableContext* loadedImages() {
  static FLTBinaryImageWritableContext* table = makeImageTable(true);
  return table;
}

FLTBinaryImageWritableContext* loadedImagesWithoutHeaders() {
  static FLTBinaryImageWritableContext* table = makeImageTable(false);
  return table;
}

FLTBinaryImageWritableContext* emptyImages() {
  static auto* table = new FLTBinaryImageWritableContext{};
  return table;
}

struct Walk {
  std::uintptr_t pcs[128];
  std::uintptr_t sps[128];
  std::uint32_t repeats[128];
  std::size_t count;
  bool endedCleanly;
};

// Steps until the end; crash-time rules hold inside the loop.
void walk(FLTUnwindCursor* cursor, Walk* out) {
  out->count = 0;
  out->endedCleanly = false;
  while (out->count < 128) {
    if (!FLTUnwindNextFrame(cursor)) {
      out->endedCleanly = true;
      return;
    }
    out->pcs[out->count] = FLTUnwindCursorGetPC(cursor);
    out->sps[out->count] = FLTUnwindCursorGetSP(cursor);
    out->repeats[out->count] = FLTUnwindCursorGetRepeatCount(cursor);
    ++out->count;
  }
}

// ---- a real walk through frames without frame pointers -------------------------

std::uintptr_t gReturnAddresses[4];
Walk gDwarfWalk;
volatile int gSink;
const FLTBinaryImageWritableContext* gWalkImages;

__attribute__((noinline)) int dwarfBottom(int depth) {
  gReturnAddresses[0] = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  ucontext_t context;
  getcontext(&context);
  FLTMachineState state;
  FLTMachineStateFromUContext(&context, &state);
  state.rbp = 0;  // no frame-pointer chain to fall back on
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state, gWalkImages);
  walk(&cursor, &gDwarfWalk);
  gSink = gSink + depth;
  return depth + 1;
}

__attribute__((noinline)) int dwarfLevel1(int depth) {
  gReturnAddresses[1] = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  int spill[8];
  for (int& s : spill) s = gSink + depth;
  const int r = dwarfBottom(depth + spill[3]);
  asm volatile("" ::: "memory");
  return r + spill[5] + 1;
}

__attribute__((noinline)) int dwarfLevel2(int depth) {
  gReturnAddresses[2] = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const int r = dwarfLevel1(depth + 1);
  asm volatile("" ::: "memory");
  return r + gSink + 1;
}

__attribute__((noinline)) int dwarfLevel3(int depth) {
  gReturnAddresses[3] = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  char buffer[200];
  std::memset(buffer, depth, sizeof(buffer));
  const int r = dwarfLevel2(buffer[17]);
  asm volatile("" ::: "memory");
  return r + buffer[100] + 1;
}

TEST(FLTUnwindCursorTest, DwarfWalkReachesEachCallerInOrder) {
  for (const bool withHeaders : {true, false}) {
    SCOPED_TRACE(withHeaders ? "binary-search table" : "linear scan of .eh_frame");
    gSink = 0;
    gWalkImages = withHeaders ? loadedImages() : loadedImagesWithoutHeaders();
    std::memset(&gDwarfWalk, 0, sizeof(gDwarfWalk));
    ASSERT_GT(dwarfLevel3(1), 0);
    const Walk& w = gDwarfWalk;
    ASSERT_GE(w.count, 5u);
    EXPECT_TRUE(w.endedCleanly) << "the walk ends at the stack's end, not at the frame cap";
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(w.pcs[i + 1], gReturnAddresses[i]);
    }
    for (std::size_t i = 1; i < w.count; ++i) EXPECT_GT(w.sps[i], w.sps[i - 1]) << i;
  }
}

// ---- frame pointers ---------------------------------------------------------------

std::uintptr_t gFPReturns[3];
Walk gFPWalk;

__attribute__((noinline, optimize("no-omit-frame-pointer"))) int fpBottom(int depth) {
  gFPReturns[0] = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  volatile std::uint64_t local = depth;
  FLTMachineState state{};
  state.rip = reinterpret_cast<std::uintptr_t>(&fpBottom) + 4;
  state.rsp = reinterpret_cast<std::uintptr_t>(&local);
  state.rbp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state, emptyImages());  // no unwind tables: frame pointers only
  walk(&cursor, &gFPWalk);
  return static_cast<int>(local) + 1;
}

__attribute__((noinline, optimize("no-omit-frame-pointer"))) int fpMiddle(int depth) {
  gFPReturns[1] = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const int r = fpBottom(depth + 1);
  asm volatile("" ::: "memory");
  return r + 1;
}

__attribute__((noinline, optimize("no-omit-frame-pointer"))) int fpTop(int depth) {
  gFPReturns[2] = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const int r = fpMiddle(depth + 1);
  asm volatile("" ::: "memory");
  return r + 1;
}

TEST(FLTUnwindCursorTest, FramePointerWalkOnARealStack) {
  ASSERT_GT(fpTop(1), 0);
  ASSERT_GE(gFPWalk.count, 4u);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(gFPWalk.pcs[i + 1], gFPReturns[i]);
  }
}

// A hand-built frame-pointer chain: {saved FP, return address} pairs.
struct FakeStack {
  std::uint64_t words[16] = {};
  std::uintptr_t at(int i) const { return reinterpret_cast<std::uintptr_t>(&words[i]); }
  void frame(int i, std::uintptr_t savedFP, std::uintptr_t ret) {
    words[i] = savedFP;
    words[i + 1] = ret;
  }
};

TEST(FLTUnwindCursorTest, FramePointerChainCountsRepeatsAndEndsAtZeroFP) {
  FakeStack s;
  s.frame(0, s.at(2), 0x500000);
  s.frame(2, s.at(4), 0x500000);
  s.frame(4, s.at(6), 0x500000);
  s.frame(6, 0, 0x700000);
  FLTMachineState state{};
  state.rip = 0x400000;
  state.rsp = s.at(0);
  state.rbp = s.at(0);
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state, emptyImages());
  Walk w;
  walk(&cursor, &w);
  const std::uintptr_t pcs[] = {0x400000, 0x500000, 0x500000, 0x500000, 0x700000};
  const std::uint32_t repeats[] = {0, 0, 1, 2, 0};
  ASSERT_EQ(w.count, 5u);
  EXPECT_TRUE(w.endedCleanly);
  for (std::size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(w.pcs[i], pcs[i]);
    EXPECT_EQ(w.repeats[i], repeats[i]);
  }
  EXPECT_EQ(w.sps[1], s.at(2)) << "SP = FP + 16";
  EXPECT_EQ(FLTUnwindCursorGetPC(&cursor), 0u);
}

TEST(FLTUnwindCursorTest, ChainThatDoesNotMoveUpTheStackEndsTheWalk) {
  // Without a limit of their own these would go round up to the frame
  // ceiling, hundreds of thousands of frames.
  struct Case {
    const char* name;
    int loopsBackTo;  // the word index the last saved FP points back to
    std::size_t frames;
  };
  const Case cases[] = {{"a frame whose saved FP is itself", 2, 2},
                        {"a frame whose saved FP lies below it", 0, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeStack s;
    s.frame(0, s.at(2), 0x500000);
    s.frame(2, s.at(c.loopsBackTo), 0x600000);
    FLTMachineState state{};
    state.rip = 0x400000;
    state.rsp = s.at(0);
    state.rbp = s.at(0);
    FLTUnwindCursor cursor;
    FLTUnwindCursorInit(&cursor, state, emptyImages());
    Walk w;
    walk(&cursor, &w);
    EXPECT_TRUE(w.endedCleanly);
    ASSERT_EQ(w.count, c.frames + 1);
    EXPECT_EQ(w.pcs[c.frames], 0x600000u);
  }
}

TEST(FLTUnwindCursorTest, StackScanFindsTheCallerOfAFramelessLeaf) {
  FakeStack s;
  s.words[0] = 5;
  s.words[1] = s.at(9);  // a stack address, not code
  s.words[2] = reinterpret_cast<std::uintptr_t>(&dwarfLevel2) + 8;
  s.frame(6, 0, 0x700000);
  FLTMachineState state{};
  state.rip = 0x10000;  // in no image: the leaf's own tables cannot be found
  state.rsp = s.at(0);
  state.rbp = s.at(6);
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state, loadedImages());
  ASSERT_TRUE(FLTUnwindNextFrame(&cursor));
  ASSERT_TRUE(FLTUnwindNextFrame(&cursor));
  EXPECT_EQ(FLTUnwindCursorGetPC(&cursor), s.words[2]);
  EXPECT_EQ(FLTUnwindCursorGetSP(&cursor), s.at(3)) << "the caller's stack begins above the return address";
  EXPECT_EQ(FLTUnwindCursorGetFP(&cursor), s.at(6));

  std::uintptr_t found = 1, slot = 1;
  EXPECT_FALSE(FLTUnwindFirstExecutableAddress(&cursor, s.at(3), s.at(6), &found, &slot));
  EXPECT_EQ(found, 0u);
  EXPECT_TRUE(FLTUnwindFirstExecutableAddress(&cursor, s.at(2), s.at(2), &found, &slot))
      << "the first word is examined even when the range is empty";
  EXPECT_FALSE(FLTUnwindFirstExecutableAddress(&cursor, 8, 64, &found)) << "low addresses are skipped";
}

TEST(FLTUnwindCursorTest, GarbageUnwindSectionsFallBackToFramePointers) {
  static std::uint8_t code[256];
  static std::uint8_t garbage[64];
  std::memset(garbage, 0xA7, sizeof(garbage));
  garbage[0] = 0x77;  // no .eh_frame_hdr version either
  auto* table = new FLTBinaryImageWritableContext{};
  const auto base = reinterpret_cast<std::uintptr_t>(code);
  table->slots[0].ehFrame = reinterpret_cast<std::uintptr_t>(garbage);
  table->slots[0].unwindInfo = reinterpret_cast<std::uintptr_t>(garbage);
  table->slots[0].size = sizeof(code);
  table->slots[0].loadAddress = base;
  FakeStack s;
  s.frame(0, s.at(4), base + 100);
  s.frame(4, 0, base + 200);
  FLTMachineState state{};
  state.rip = base + 16;
  state.rsp = s.at(0);
  state.rbp = s.at(0);
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state, table);
  Walk w;
  walk(&cursor, &w);
  EXPECT_TRUE(w.endedCleanly);
  ASSERT_EQ(w.count, 3u);
  EXPECT_EQ(w.pcs[1], base + 100);
  EXPECT_EQ(w.pcs[2], base + 200);
  delete table;
}

TEST(FLTUnwindCursorTest, UnusableCursorsProduceNoFrames) {
  struct Case {
    const char* name;
    std::uintptr_t pc, sp;
  };
  std::uint64_t stack[4] = {};
  const auto sp = reinterpret_cast<std::uintptr_t>(stack);
  const Case cases[] = {{"PC below 4096", 4095, sp}, {"SP below 4096", 0x400000, 8}, {"both zero", 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FLTMachineState state{};
    state.rip = c.pc;
    state.rsp = c.sp;
    FLTUnwindCursor cursor;
    FLTUnwindCursorInit(&cursor, state, emptyImages());
    EXPECT_FALSE(FLTUnwindCursorIsUsable(&cursor));
    EXPECT_FALSE(FLTUnwindNextFrame(&cursor));
    EXPECT_EQ(FLTUnwindCursorGetFrameCount(&cursor), 0u);
  }
  EXPECT_FALSE(FLTUnwindNextFrame(nullptr));
  EXPECT_EQ(FLTUnwindCursorGetPC(nullptr), 0u);
  EXPECT_EQ(FLTUnwindCursorGetRepeatCount(nullptr), 0u);
  EXPECT_FALSE(FLTUnwindCursorSetPC(nullptr, 0x1000));
  EXPECT_EQ(FLTUnwindCursorGetRegisters(nullptr), nullptr);
}

TEST(FLTUnwindCursorTest, FirstStepYieldsTheContextAndTheFrameCapHolds) {
  std::uint64_t stack[4] = {};
  FLTMachineState state{};
  state.rip = 0x401000;
  state.rsp = reinterpret_cast<std::uintptr_t>(stack);
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state, emptyImages());
  ASSERT_TRUE(FLTUnwindNextFrame(&cursor));
  EXPECT_EQ(FLTUnwindCursorGetPC(&cursor), 0x401000u);
  EXPECT_EQ(FLTUnwindCursorGetFrameCount(&cursor), 1u);
  cursor.frameCount = kFLTUnwindMaxFrames;
  EXPECT_FALSE(FLTUnwindNextFrame(&cursor));
  EXPECT_EQ(FLTUnwindCursorGetPC(&cursor), 0x401000u);
}

}  // namespace
}  // namespace vandrel::crash
