#include "crash/unwind/flt_unwind_cursor.h"

#include <cstring>

#include "crash/capture/flt_binary_images.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_utilities.h"
#include "crash/unwind/flt_dwarf_unwind.h"

namespace vandrel::crash {
namespace {

bool validPointer(const void* pointer) noexcept {
  return reinterpret_cast<std::uintptr_t>(pointer) >= kFLTMinimumValidAddress;
}

bool findImage(const FLTUnwindCursor* cursor, std::uintptr_t address,
               FLTBinaryImageRuntimeNode* node) noexcept {
  if (cursor->images != nullptr) return FLTBinaryImageSafeFindImageInTable(cursor->images, address, node);
  return FLTBinaryImageSafeFindImageForAddress(address, node);
}

bool failStep() noexcept {
  FLT_SDK_LOG_ERROR("Failed to advance to the next frame\n");
  return false;
}

}  // namespace

void FLTUnwindCursorInit(FLTUnwindCursor* cursor, const FLTMachineState& state,
                         const FLTBinaryImageWritableContext* images) noexcept {
  if (!validPointer(cursor)) return;
  std::memset(cursor, 0, sizeof(*cursor));
  cursor->registers = state;
  cursor->images = images;
}

std::uintptr_t FLTUnwindCursorGetPC(const FLTUnwindCursor* cursor) noexcept {
  return validPointer(cursor) ? cursor->registers.rip : 0;
}
std::uintptr_t FLTUnwindCursorGetSP(const FLTUnwindCursor* cursor) noexcept {
  return validPointer(cursor) ? cursor->registers.rsp : 0;
}
std::uintptr_t FLTUnwindCursorGetFP(const FLTUnwindCursor* cursor) noexcept {
  return validPointer(cursor) ? cursor->registers.rbp : 0;
}
bool FLTUnwindCursorSetPC(FLTUnwindCursor* cursor, std::uintptr_t value) noexcept {
  if (!validPointer(cursor)) return false;
  cursor->registers.rip = value;
  return true;
}
bool FLTUnwindCursorSetSP(FLTUnwindCursor* cursor, std::uintptr_t value) noexcept {
  if (!validPointer(cursor)) return false;
  cursor->registers.rsp = value;
  return true;
}
bool FLTUnwindCursorSetFP(FLTUnwindCursor* cursor, std::uintptr_t value) noexcept {
  if (!validPointer(cursor)) return false;
  cursor->registers.rbp = value;
  return true;
}
std::uint32_t FLTUnwindCursorGetRepeatCount(const FLTUnwindCursor* cursor) noexcept {
  return validPointer(cursor) ? cursor->repeatCount : 0;
}
std::uint32_t FLTUnwindCursorGetFrameCount(const FLTUnwindCursor* cursor) noexcept {
  return validPointer(cursor) ? cursor->frameCount : 0;
}
FLTMachineState* FLTUnwindCursorGetRegisters(FLTUnwindCursor* cursor) noexcept {
  return validPointer(cursor) ? &cursor->registers : nullptr;
}

bool FLTUnwindCursorIsUsable(const FLTUnwindCursor* cursor) noexcept {
  return validPointer(cursor) && FLTUnwindCursorGetPC(cursor) >= kFLTMinimumValidAddress &&
         FLTUnwindCursorGetSP(cursor) >= kFLTMinimumValidAddress;
}

bool FLTUnwindCursorIsAddressInImage(const FLTUnwindCursor* cursor, std::uintptr_t address) noexcept {
  if (!validPointer(cursor)) return false;
  FLTBinaryImageRuntimeNode node;
  return findImage(cursor, address, &node);
}

bool FLTUnwindFirstExecutableAddress(const FLTUnwindCursor* cursor, std::uintptr_t from,
                                     std::uintptr_t to, std::uintptr_t* out,
                                     std::uintptr_t* slot) noexcept {
  if (out == nullptr) return false;
  *out = 0;
  if (slot != nullptr) *slot = 0;
  std::uintptr_t address = from;
  do {
    if (address >= kFLTMinimumValidAddress) {
      std::uintptr_t word = 0;
      if (!FLTReadMemory(address, &word, sizeof(word))) return false;
      if (FLTUnwindCursorIsAddressInImage(cursor, word)) {
        *out = word;
        if (slot != nullptr) *slot = address;
        return true;
      }
    }
    const std::uintptr_t next = (address & ~std::uintptr_t{7}) + 8;
    if (next <= address) return false;  // the top of the address space
    address = next;
  } while (address < to);
  return false;
}

bool FLTUnwindFramePointerStep(FLTUnwindCursor* cursor) noexcept {
  const std::uintptr_t fp = FLTUnwindCursorGetFP(cursor);
  std::uintptr_t words[2] = {};
  if (!FLTReadMemory(fp, words, sizeof(words))) {
    FLT_SDK_LOG_WARN("Error: failed to read memory at address %p\n", reinterpret_cast<void*>(fp));
    return false;
  }
  return FLTUnwindCursorSetPC(cursor, words[1]) && FLTUnwindCursorSetFP(cursor, words[0]) &&
         FLTUnwindCursorSetSP(cursor, fp + 16);
}

bool FLTUnwindWithFramePointer(FLTUnwindCursor* cursor, bool tryStackScan) noexcept {
  if (tryStackScan) {
    FLT_SDK_LOG_INFO("Attempting stack scan\n");
    std::uintptr_t found = 0, slot = 0;
    if (FLTUnwindFirstExecutableAddress(cursor, FLTUnwindCursorGetSP(cursor), FLTUnwindCursorGetFP(cursor),
                                        &found, &slot) &&
        FLTUnwindCursorSetPC(cursor, found)) {
      // As the return from the frameless function would leave it: the
      // caller's stack starts above the return address.
      FLTUnwindCursorSetSP(cursor, slot + 8);
      FLT_SDK_LOG_INFO("Stack scan successful\n");
      return true;
    }
  }
  return FLTUnwindFramePointerStep(cursor);
}

bool FLTUnwindWithDwarf(FLTUnwindCursor* cursor) noexcept {
  const std::uintptr_t pc = FLTUnwindCursorGetPC(cursor);
  FLTBinaryImageRuntimeNode node;
  if (!findImage(cursor, pc, &node)) {
    FLT_SDK_LOG_WARN("Unable to find binary for %p\n", reinterpret_cast<void*>(pc));
    return false;
  }
  FLT_SDK_LOG_DEBUG("Binary image for %p at %p\n", reinterpret_cast<void*>(pc),
                    reinterpret_cast<void*>(node.loadAddress));
  if (node.unwindInfo < kFLTMinimumValidAddress && node.ehFrame < kFLTMinimumValidAddress) {
    FLT_SDK_LOG_INFO("Binary image at %p has no unwind info\n", reinterpret_cast<void*>(node.loadAddress));
    return false;
  }
  FLTDwarfFDERecord fde;
  if (!FLTDwarfFindFDE(node.unwindInfo, node.ehFrame, pc, &fde)) {
    FLT_SDK_LOG_INFO("Unable to lookup compact unwind for pc %p\n", reinterpret_cast<void*>(pc));
    return false;
  }
  if (!FLTDwarfUnwindComputeRegisters(fde, cursor)) {
    FLT_SDK_LOG_ERROR("Failed to compute DWARF registers\n");
    return false;
  }
  return true;
}

bool FLTUnwindNextFrame(FLTUnwindCursor* cursor) noexcept {
  if (!validPointer(cursor)) {
    FLT_SDK_LOG_WARN("Error: invalid inputs\n");
    return false;
  }
  if (!FLTUnwindCursorIsUsable(cursor)) {
    if (cursor->frameCount == 0) FLT_SDK_LOG_WARN("Cancelling unwind for thread with invalid PC/SP\n");
    else FLT_SDK_LOG_WARN("Error: thread PC/SP invalid before unwind\n");
    return false;
  }
  if (cursor->frameCount >= kFLTUnwindMaxFrames) {
    FLT_SDK_LOG_WARN("Exceeded maximum number of frames\n");
    return failStep();
  }
  const std::uintptr_t previousSP = FLTUnwindCursorGetSP(cursor);
  if (cursor->frameCount > 0) {
    std::uintptr_t pc = FLTUnwindCursorGetPC(cursor);
    // A return address lies after its call: step back into the call. The
    // first frame's PC is where the thread stopped, not a return address
    // (at a function's first instruction, pc - 1 is another function).
    if (cursor->frameCount > 1) {
      pc -= 1;
      if (!FLTUnwindCursorSetPC(cursor, pc)) {
        FLT_SDK_LOG_ERROR("Unable to set PC\n");
        return failStep();
      }
    }
    if (pc < kFLTMinimumValidAddress) {
      FLT_SDK_LOG_ERROR("PC is invalid\n");
      return failStep();
    }
    if (!FLTUnwindWithDwarf(cursor)) {
      if (FLTUnwindCursorGetFP(cursor) == 0) {
        FLT_SDK_LOG_WARN("FP is zero, aborting unwind\n");
        FLTUnwindCursorSetPC(cursor, 0);
      } else if (!FLTUnwindWithFramePointer(cursor, cursor->frameCount == 1)) {
        FLT_SDK_LOG_ERROR("Unable to use frame pointer\n");
        return failStep();
      }
    }
  }
  const std::uintptr_t pc = FLTUnwindCursorGetPC(cursor), sp = FLTUnwindCursorGetSP(cursor);
  if (pc < kFLTMinimumValidAddress) return false;
  if (sp < kFLTMinimumValidAddress) {
    FLT_SDK_LOG_WARN("Error: SP (%p) isn't a valid pointer\n", reinterpret_cast<void*>(sp));
    return false;
  }
  // Every caller's frame lies above its callee's: a step that does not move
  // up the stack follows a corrupt or cyclic chain and would go round to
  // the frame ceiling.
  if (cursor->frameCount > 0 && sp <= previousSP) {
    FLT_SDK_LOG_WARN("Error: SP (%p) did not move up the stack\n", reinterpret_cast<void*>(sp));
    return false;
  }
  cursor->repeatCount = pc == cursor->lastPC ? cursor->repeatCount + 1 : 0;
  cursor->frameCount += 1;
  cursor->lastPC = pc;
  return true;
}

}  // namespace vandrel::crash
