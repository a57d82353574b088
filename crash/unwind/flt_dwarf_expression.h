#pragma once

// The lowest layer of the DWARF unwinder: bounded byte readers over
// call-frame information, the DWARF register numbering of x86-64, and the
// stack machine that evaluates DWARF expressions.
//
// Everything here runs at crash time: no heap, no locks, and every byte is
// read through the safe memory read, so a truncated or hostile section
// ends the computation with false instead of faulting.

#include <cstddef>
#include <cstdint>

#include "crash/capture/flt_process.h"

namespace vandrel::crash {

// DWARF register numbers of the x86-64 ABI: 0 rax, 1 rdx, 2 rcx, 3 rbx,
// 4 rsi, 5 rdi, 6 rbp, 7 rsp, 8-15 r8-r15, 16 the return address (rip).
inline constexpr std::uint64_t kFLTDwarfRegisterCount = 17;
inline constexpr std::uint64_t kFLTDwarfRegisterRBP = 6;
inline constexpr std::uint64_t kFLTDwarfRegisterRSP = 7;
inline constexpr std::uint64_t kFLTDwarfRegisterReturnAddress = 16;

// The value of DWARF register `number` in `registers`; 0 (and a log line)
// for a number outside 0-16 or null registers.
std::uint64_t FLTDwarfUnwindGetRegisterValue(const FLTMachineState* registers,
                                             std::uint64_t number) noexcept;
// False (and a log line) for a number outside 0-16 or null registers.
bool FLTDwarfUnwindSetRegisterValue(FLTMachineState* registers, std::uint64_t number,
                                    std::uint64_t value) noexcept;

// A moving position over [position, end). Every read is bounds-checked and
// goes through the safe memory read; a failed read leaves `failed` set and
// every later read failing too.
struct FLTDwarfReader {
  std::uintptr_t position;
  std::uintptr_t end;
  bool failed;
};

// A reader over `length` bytes at `start`; a range that wraps is cut at the
// top of the address space.
FLTDwarfReader FLTDwarfReaderMake(std::uintptr_t start, std::uintptr_t length) noexcept;

bool FLTDwarfRead8(FLTDwarfReader* reader, std::uint8_t* value) noexcept;
bool FLTDwarfRead16(FLTDwarfReader* reader, std::uint16_t* value) noexcept;
bool FLTDwarfRead32(FLTDwarfReader* reader, std::uint32_t* value) noexcept;
bool FLTDwarfRead64(FLTDwarfReader* reader, std::uint64_t* value) noexcept;
// Skips `count` bytes (checked against the end, nothing is read).
bool FLTDwarfSkip(FLTDwarfReader* reader, std::uint64_t count) noexcept;
// Unsigned and signed LEB128 into 64 bits. Bits beyond 64 are dropped, but
// every continuation byte is consumed so the position stays in step.
bool FLTDwarfReadULEB128(FLTDwarfReader* reader, std::uint64_t* value) noexcept;
bool FLTDwarfReadSLEB128(FLTDwarfReader* reader, std::int64_t* value) noexcept;
// A 32-bit length, or 0xFFFFFFFF followed by a 64-bit one.
bool FLTDwarfReadInitialLength(FLTDwarfReader* reader, std::uint64_t* length) noexcept;
// Skips a NUL-terminated string of at most `maxLength` bytes; `*start` is
// its address and `*length` its length without the NUL.
bool FLTDwarfReadString(FLTDwarfReader* reader, std::uintptr_t* start, std::size_t* length,
                        std::size_t maxLength) noexcept;

// ---- expression machine -------------------------------------------------------

inline constexpr std::size_t kFLTDwarfExpressionStackSize = 100;
// Bound on the opcodes one expression may run (branches can loop).
inline constexpr std::uint32_t kFLTDwarfExpressionMaxSteps = 10000;

struct FLTDwarfExpressionMachine {
  std::uint64_t stack[kFLTDwarfExpressionStackSize];
  std::size_t depth;                  // entries on the stack
  std::uintptr_t expression;          // the ULEB128 length prefix of the block
  std::uintptr_t start;               // first opcode
  FLTDwarfReader reader;              // position .. end of the block
  const FLTMachineState* registers;   // what DW_OP_breg reads
  std::uint32_t steps;
  bool invalid;                       // a stack rule was broken
};

// Clears the machine and pushes `initialValue`. False for an expression
// address below 4096.
bool FLTDwarfExpressionMachineInit(FLTDwarfExpressionMachine* machine, std::uintptr_t expression,
                                   const FLTMachineState* registers,
                                   std::uint64_t initialValue) noexcept;
// Reads the block's length; false for a zero or unreadable length.
bool FLTDwarfExpressionMachinePrepareForExecution(FLTDwarfExpressionMachine* machine) noexcept;
// At or past the end of the block, or the machine is unusable.
bool FLTDwarfExpressionMachineIsFinished(FLTDwarfExpressionMachine* machine) noexcept;
bool FLTDwarfExpressionMachineExecuteNextOpcode(FLTDwarfExpressionMachine* machine) noexcept;
// The top of the stack once the whole block ran.
bool FLTDwarfExpressionMachineGetResult(FLTDwarfExpressionMachine* machine,
                                        std::uint64_t* result) noexcept;

// Evaluates the length-prefixed expression at `expression` with
// `initialValue` pushed first. False on any failure.
bool FLTDwarfEvalulateExpression(std::uintptr_t expression, const FLTMachineState* registers,
                                 std::uint64_t initialValue, std::uint64_t* result) noexcept;

}  // namespace vandrel::crash
