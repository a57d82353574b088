#pragma once

// The crash-time stack unwinder: a cursor over one thread's registers,
// stepped frame by frame. Each step yields the caller's PC, SP and FP,
// trying the DWARF call-frame information of the image that holds the PC
// (.eh_frame), then a stack scan (only on the step from the first frame)
// or the frame-pointer chain.
//
// Crash-time code: no heap, no locks; all state lives in the cursor and in
// fixed-size locals, and stack memory is read only through the safe
// memory read. Only x86-64 is handled.
//
// Use:
//   FLTUnwindCursor cursor;
//   FLTUnwindCursorInit(&cursor, state);
//   while (FLTUnwindNextFrame(&cursor)) record(FLTUnwindCursorGetPC(&cursor));

#include <cstdint>

#include "crash/capture/flt_process.h"

namespace vandrel::crash {

struct FLTBinaryImageWritableContext;

// A bound on a runaway walk.
inline constexpr std::uint32_t kFLTUnwindMaxFrames = 600000;

struct FLTUnwindCursor {
  FLTMachineState registers;  // the current frame: PC rip, SP rsp, FP rbp
  std::uint32_t frameCount;   // frames produced so far
  std::uint64_t lastPC;       // PC of the frame the previous step produced
  std::uint32_t repeatCount;  // consecutive steps that produced the same PC
  // The image table searched for unwind information; null searches the
  // process's table (the crash context's).
  const FLTBinaryImageWritableContext* images;
};

// Zeroes the cursor and takes `state` as frame 0.
void FLTUnwindCursorInit(FLTUnwindCursor* cursor, const FLTMachineState& state,
                         const FLTBinaryImageWritableContext* images = nullptr) noexcept;

// One step. True when the cursor holds a further frame; false at the end of
// the stack or on any failure. The first call yields the context's own
// registers as frame 0.
bool FLTUnwindNextFrame(FLTUnwindCursor* cursor) noexcept;

// Accessors; getters give 0 and setters refuse for an invalid cursor
// (a null pointer or one below 4096).
std::uintptr_t FLTUnwindCursorGetPC(const FLTUnwindCursor* cursor) noexcept;
std::uintptr_t FLTUnwindCursorGetSP(const FLTUnwindCursor* cursor) noexcept;
std::uintptr_t FLTUnwindCursorGetFP(const FLTUnwindCursor* cursor) noexcept;
bool FLTUnwindCursorSetPC(FLTUnwindCursor* cursor, std::uintptr_t value) noexcept;
bool FLTUnwindCursorSetSP(FLTUnwindCursor* cursor, std::uintptr_t value) noexcept;
bool FLTUnwindCursorSetFP(FLTUnwindCursor* cursor, std::uintptr_t value) noexcept;
std::uint32_t FLTUnwindCursorGetRepeatCount(const FLTUnwindCursor* cursor) noexcept;
std::uint32_t FLTUnwindCursorGetFrameCount(const FLTUnwindCursor* cursor) noexcept;
// Where a thread's general registers are written.
FLTMachineState* FLTUnwindCursorGetRegisters(FLTUnwindCursor* cursor) noexcept;
// The cursor, its PC and its SP are valid pointers.
bool FLTUnwindCursorIsUsable(const FLTUnwindCursor* cursor) noexcept;
// `address` lies in an image of the cursor's table.
bool FLTUnwindCursorIsAddressInImage(const FLTUnwindCursor* cursor,
                                     std::uintptr_t address) noexcept;

// The stack scan: the first 8-byte word from `from` (always examined) up to
// `to` whose value lies in a known image. `*slot` (when given) is the
// word's address. False when none is found or a read fails.
bool FLTUnwindFirstExecutableAddress(const FLTUnwindCursor* cursor, std::uintptr_t from,
                                     std::uintptr_t to, std::uintptr_t* out,
                                     std::uintptr_t* slot = nullptr) noexcept;

// The frame-pointer step: PC = the word above the saved FP, FP = the saved
// FP, SP = FP + 16.
bool FLTUnwindFramePointerStep(FLTUnwindCursor* cursor) noexcept;
// The frame-pointer step, preceded by a stack scan when `tryStackScan`.
bool FLTUnwindWithFramePointer(FLTUnwindCursor* cursor, bool tryStackScan) noexcept;
// The DWARF strategy for the cursor's PC; false when the PC's image has no
// usable call-frame information for it.
bool FLTUnwindWithDwarf(FLTUnwindCursor* cursor) noexcept;

}  // namespace vandrel::crash
