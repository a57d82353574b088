#pragma once

// DWARF call-frame information of .eh_frame: CIE and FDE parsing, the
// call-frame instruction interpreter, the FDE lookup of a PC (through the
// .eh_frame_hdr binary-search table, else a linear scan of .eh_frame) and
// the computation of the caller's registers.
//
// Crash-time code: no heap, no locks, fixed-size records on the caller's
// stack, every byte of the sections read bounds-checked through the safe
// memory read. What the interpreter does not understand fails the step,
// and the unwinder falls back to the frame-pointer chain.

#include <cstddef>
#include <cstdint>

#include "crash/unwind/flt_dwarf_expression.h"

namespace vandrel::crash {

struct FLTUnwindCursor;

// The error value of pointer decoding.
inline constexpr std::uint64_t kFLTDwarfInvalidAddress = ~std::uint64_t{0};
// The CFA "register" that marks a CFA computed by an expression.
inline constexpr std::uint64_t kFLTDwarfCFAExpressionRegister = 17;
// Depth of DW_CFA_remember_state.
inline constexpr std::size_t kFLTDwarfRememberStateDepth = 8;
// Longest augmentation string taken.
inline constexpr std::size_t kFLTDwarfMaxAugmentationLength = 16;

// Decodes a pointer in DW_EH_PE `encoding` and advances. 0xFF (omit) gives 0
// and reads nothing; the error value for a null reader, an unknown format
// or application, or a failed read. `dataBase` is what datarel adds (the
// .eh_frame_hdr start; 0 elsewhere).
std::uint64_t FLTParseAddressWithEncodingAndAdvance(FLTDwarfReader* reader, std::uint8_t encoding,
                                                    std::uintptr_t dataBase = 0) noexcept;

struct FLTDwarfCIERecord {
  std::uint64_t length;
  std::uint8_t version;
  std::uintptr_t augmentation;        // address of the string in the section
  std::size_t augmentationLength;
  std::uint8_t pointerEncoding;       // 'R', default 0
  std::uint8_t lsdaEncoding;          // 'L'
  std::uint8_t personalityEncoding;   // 'P'
  std::uint64_t personality;
  std::uint64_t codeAlignmentFactor;
  std::int64_t dataAlignmentFactor;
  std::uint64_t returnAddressRegister;
  bool signalFrame;                   // 'S'
  bool hasAugmentationData;           // the string begins with 'z'
  std::uint32_t instructionsLength;
  std::uintptr_t instructions;
};

struct FLTDwarfFDERecord {
  FLTDwarfCIERecord cie;
  std::uint64_t length;
  std::uint64_t ciePointer;
  std::uintptr_t pcBegin;
  std::uint64_t pcRange;
  std::uint32_t instructionsLength;
  std::uintptr_t instructions;
};

// Register rules. Kind 6 (undefined) is the end of the stack when it is
// the return address's rule.
enum : std::uint32_t {
  kFLTDwarfRuleUnchanged = 0,
  kFLTDwarfRuleOffsetFromCFA = 1,   // saved at CFA + value
  kFLTDwarfRuleValueOffsetFromCFA = 2,  // the value is CFA + value
  kFLTDwarfRuleInRegister = 3,      // in register `value`
  kFLTDwarfRuleAtExpression = 4,    // saved at the address the expression at `value` gives
  kFLTDwarfRuleValueExpression = 5, // the value is what the expression at `value` gives
  kFLTDwarfRuleUndefined = 6,
};

struct FLTDwarfRule {
  std::uint32_t kind;
  std::int64_t value;
};

struct FLTDwarfRow {
  std::uint64_t cfaRegister;        // 17: the CFA comes from cfaExpression
  std::int64_t cfaOffset;
  std::uintptr_t cfaExpression;     // a length-prefixed block, 0 when none
  FLTDwarfRule registers[kFLTDwarfRegisterCount];
};

// Parses the CIE at `address`; the record must end before `sectionEnd`.
bool FLTDwarfParseCIERecord(FLTDwarfCIERecord* cie, std::uintptr_t address,
                            std::uintptr_t sectionEnd = ~std::uintptr_t{0}) noexcept;
// Parses the FDE at `address`, and its CIE first when `parseCIE` (else
// `cie` must hold it already).
bool FLTDwarfParseFDERecord(FLTDwarfFDERecord* fde, bool parseCIE, const FLTDwarfCIERecord* cie,
                            std::uintptr_t address,
                            std::uintptr_t sectionEnd = ~std::uintptr_t{0}) noexcept;
// Non-zero length and version 1 or 3.
bool FLTDwarfCIEIsValid(const FLTDwarfCIERecord& cie) noexcept;
bool FLTDwarfCIESupportsAugmentation(const FLTDwarfCIERecord& cie) noexcept;

// Runs `length` bytes of call-frame instructions at `instructions` on
// `row`, up to the row of location `pcLimit` (the PC's offset from the FDE
// start): an advance that would pass it ends the run. `initialRow` is the row
// after the CIE's instructions (what DW_CFA_restore goes back to); null
// while the CIE's own instructions run.
bool FLTDwarfInstructionsEnumerate(std::uintptr_t instructions, std::uint64_t length,
                                   const FLTDwarfCIERecord& cie, FLTDwarfRow* row,
                                   std::int64_t pcLimit,
                                   const FLTDwarfRow* initialRow = nullptr) noexcept;

// The FDE of `pc`: through the binary-search table of `ehFrameHdr` when it
// has one, else by scanning `ehFrame` (bounded by `ehFrameEnd`, or by its
// zero terminator when that is unknown). The FDE's range holds `pc`.
bool FLTDwarfFindFDE(std::uintptr_t ehFrameHdr, std::uintptr_t ehFrame, std::uintptr_t pc,
                     FLTDwarfFDERecord* fde,
                     std::uintptr_t ehFrameEnd = ~std::uintptr_t{0}) noexcept;

// The row of `pc` (CIE then FDE instructions).
bool FLTDwarfComputeRow(const FLTDwarfFDERecord& fde, std::uintptr_t pc, FLTDwarfRow* row) noexcept;
bool FLTDwarfGetCFA(const FLTDwarfRow& row, const FLTMachineState& registers,
                    std::uint64_t* cfa) noexcept;
// The caller's value of register `number` under `rule`; false when it
// cannot be computed.
bool FLTDwarfGetSavedRegister(const FLTMachineState& registers, std::uint64_t cfa,
                              const FLTDwarfRule& rule, std::uint64_t number,
                              std::uint64_t* value) noexcept;
// Replaces `registers` with the caller's when the SP and PC both move.
bool FLTDwarfUnwindAssignRegisters(const FLTDwarfRow& row, std::uint64_t cfa,
                                   FLTMachineState* registers) noexcept;
// The whole step for the cursor's PC (already adjusted into the call).
bool FLTDwarfUnwindComputeRegisters(const FLTDwarfFDERecord& fde, FLTUnwindCursor* cursor) noexcept;

}  // namespace vandrel::crash
