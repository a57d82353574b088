// The crash-time DWARF unwinder over hostile call-frame information: CIE and
// FDE parsing, the call-frame instruction interpreter, the FDE lookup
// through .eh_frame_hdr and through a scan of .eh_frame, the register
// rules and the expression machine. Whatever the bytes, a step either fails
// or yields registers; it never reads outside what the safe memory read
// allows, loops without bound, or computes with undefined behaviour.
//
// Input: one byte of layout, then, when its low bit is set, a 16-bit
// little-endian length of an .eh_frame_hdr part, that part, and the
// .eh_frame part (as a linker lays them out, header first). The sections
// end right before an unreadable page, as a mapped image might; the "stack"
// the register rules read is the input itself.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crash/unwind/flt_dwarf_expression.h"
#include "crash/unwind/flt_dwarf_unwind.h"
#include "crash/unwind/flt_unwind_cursor.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace crash = vandrel::crash;

constexpr std::size_t kMaxFDEs = 64;

// `size` bytes at the end of readable pages followed by an unreadable one.
class GuardedBytes {
 public:
  GuardedBytes(const std::uint8_t* data, std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    readable_ = (size + page - 1) / page * page + page;
    length_ = readable_ + page;
    void* map = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    VANDREL_FUZZ_CHECK(map != MAP_FAILED, "mmap");
    base_ = static_cast<std::uint8_t*>(map);
    VANDREL_FUZZ_CHECK(::mprotect(base_ + readable_, page, PROT_NONE) == 0, "mprotect");
    start_ = base_ + readable_ - size;
    if (size > 0) std::memcpy(start_, data, size);
  }
  ~GuardedBytes() { ::munmap(base_, length_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  std::uintptr_t start() const { return reinterpret_cast<std::uintptr_t>(start_); }
  std::uintptr_t end() const { return reinterpret_cast<std::uintptr_t>(base_ + readable_); }

 private:
  std::uint8_t* base_ = nullptr;
  std::uint8_t* start_ = nullptr;
  std::size_t readable_ = 0;
  std::size_t length_ = 0;
};

crash::FLTMachineState registersAt(std::uintptr_t pc, std::uintptr_t stack) {
  crash::FLTMachineState state{};
  state.rip = pc;
  state.rsp = stack;
  state.rbp = stack + 16;
  state.rbx = 0x1111;
  state.r12 = stack + 8;
  return state;
}

// One step at `pc` inside `fde`: the row, the CFA, every saved register,
// and the whole step on a cursor.
void stepAt(const crash::FLTDwarfFDERecord& fde, std::uintptr_t pc, std::uintptr_t stack) {
  crash::FLTDwarfRow row{};
  if (!crash::FLTDwarfComputeRow(fde, pc, &row)) return;
  const crash::FLTMachineState state = registersAt(pc, stack);
  std::uint64_t cfa = 0;
  if (crash::FLTDwarfGetCFA(row, state, &cfa)) {
    for (std::uint64_t number = 0; number < crash::kFLTDwarfRegisterCount; ++number) {
      std::uint64_t value = 0;
      (void)crash::FLTDwarfGetSavedRegister(state, cfa, row.registers[number], number, &value);
    }
    crash::FLTMachineState caller = state;
    (void)crash::FLTDwarfUnwindAssignRegisters(row, cfa, &caller);
  }
  crash::FLTUnwindCursor cursor{};
  crash::FLTUnwindCursorInit(&cursor, state);
  (void)crash::FLTDwarfUnwindComputeRegisters(fde, &cursor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t layout = data[0];
  std::size_t offset = 1;
  std::size_t headerSize = 0;
  if ((layout & 1) != 0 && size >= 3) {
    headerSize = std::min<std::size_t>(data[1] | (data[2] << 8), size - 3);
    offset = 3;
  }
  const GuardedBytes bytes(data + offset, size - offset);
  const std::uintptr_t hdr = headerSize > 0 ? bytes.start() : 0;
  const std::uintptr_t ehFrame = bytes.start() + headerSize;
  const std::uintptr_t end = bytes.end();
  const std::uintptr_t stack = bytes.start();

  // Every record of the section, as the scan meets them.
  std::uintptr_t position = ehFrame;
  std::uintptr_t firstPC = ehFrame;
  bool sawFDE = false;
  for (std::size_t records = 0; records < kMaxFDEs && position < end; ++records) {
    crash::FLTDwarfReader reader{position, end, false};
    std::uint64_t length = 0;
    std::uint32_t id = 0;
    if (!crash::FLTDwarfReadInitialLength(&reader, &length) || length == 0) break;
    const std::uintptr_t body = reader.position;
    if (length > end - body || !crash::FLTDwarfRead32(&reader, &id)) break;
    if (id == 0) {
      crash::FLTDwarfCIERecord cie{};
      if (crash::FLTDwarfParseCIERecord(&cie, position, end)) {
        (void)crash::FLTDwarfCIEIsValid(cie);
        (void)crash::FLTDwarfCIESupportsAugmentation(cie);
      }
    } else {
      crash::FLTDwarfFDERecord fde{};
      if (crash::FLTDwarfParseFDERecord(&fde, true, nullptr, position, end)) {
        if (!sawFDE) firstPC = fde.pcBegin;
        sawFDE = true;
        const std::uint64_t range = fde.pcRange;
        for (const std::uint64_t at : {std::uint64_t{0}, range / 2, range - 1, range}) {
          stepAt(fde, fde.pcBegin + at, stack + (layout >> 1));
        }
      }
    }
    position = body + length;
  }

  // The lookup, through the header's table when there is one.
  for (const std::uintptr_t pc : {firstPC, firstPC + (layout >> 1), ehFrame, std::uintptr_t{0}}) {
    crash::FLTDwarfFDERecord found{};
    if (crash::FLTDwarfFindFDE(hdr, ehFrame, pc, &found, end)) {
      VANDREL_FUZZ_CHECK(pc >= found.pcBegin && pc - found.pcBegin < found.pcRange,
                         "FindFDE gave an FDE that does not hold the PC");
      stepAt(found, pc, stack);
    }
  }

  // The same bytes as a DWARF expression block.
  const crash::FLTMachineState state = registersAt(firstPC, stack);
  std::uint64_t result = 0;
  (void)crash::FLTDwarfEvalulateExpression(ehFrame, &state, stack, &result);
  return 0;
}
