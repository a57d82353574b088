#include "crash/unwind/flt_dwarf_unwind.h"

#include <cstdint>
#include <cstring>

#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_utilities.h"
#include "crash/unwind/flt_unwind_cursor.h"

namespace vandrel::crash {
namespace {

constexpr std::uint8_t kPEOmit = 0xFF;
constexpr std::uint8_t kPEIndirect = 0x80;
// Bound on the records a linear scan of .eh_frame visits.
constexpr std::uint32_t kMaxScannedRecords = 1u << 20;

// The end of a record whose length field ends at `afterLength`; 0 when it
// runs past the section or its last byte cannot be read (a section cut
// short by the end of its mapping).
std::uintptr_t recordEnd(std::uintptr_t afterLength, std::uint64_t length,
                         std::uintptr_t sectionEnd) noexcept {
  if (afterLength > sectionEnd || length > sectionEnd - afterLength) return 0;
  const std::uintptr_t end = afterLength + static_cast<std::uintptr_t>(length);
  std::uint8_t last = 0;
  if (length != 0 && !FLTReadMemory(end - 1, &last, 1)) return 0;
  return end;
}

bool validRegister(std::uint64_t number, const char* message) noexcept {
  if (number < kFLTDwarfRegisterCount) return true;
  FLT_SDK_LOG_WARN("%s\n", message);
  return false;
}

// Operand × data alignment factor, the offset of the offset rules. Hostile
// CFI can make the product leave 64 bits (or hand an unsigned operand above
// the signed range): the instruction then fails rather than wrap.
bool scaledOffset(std::int64_t operand, std::int64_t factor, std::int64_t* offset) noexcept {
  if (__builtin_mul_overflow(operand, factor, offset)) {
    FLT_SDK_LOG_WARN("Error: DWARF offset out of range\n");
    return false;
  }
  return true;
}

bool scaledOffset(std::uint64_t operand, std::int64_t factor, std::int64_t* offset) noexcept {
  if (operand > static_cast<std::uint64_t>(INT64_MAX)) {
    FLT_SDK_LOG_WARN("Error: DWARF offset out of range\n");
    return false;
  }
  return scaledOffset(static_cast<std::int64_t>(operand), factor, offset);
}

// −(operand × factor), checked the same way.
bool negatedScaledOffset(std::uint64_t operand, std::int64_t factor, std::int64_t* offset) noexcept {
  std::int64_t product = 0;
  if (!scaledOffset(operand, factor, &product)) return false;
  if (__builtin_sub_overflow(std::int64_t{0}, product, offset)) {
    FLT_SDK_LOG_WARN("Error: DWARF offset out of range\n");
    return false;
  }
  return true;
}

bool parseAugmentation(FLTDwarfCIERecord* cie, FLTDwarfReader* reader) noexcept {
  std::uint64_t dataLength = 0;
  if (!FLTDwarfReadULEB128(reader, &dataLength)) return false;
  const std::uintptr_t dataStart = reader->position;
  if (!FLTDwarfSkip(reader, dataLength)) return false;
  const std::uintptr_t dataEnd = reader->position;
  FLTDwarfReader data{dataStart, dataEnd, false};
  FLTDwarfReader letters = FLTDwarfReaderMake(cie->augmentation + 1, cie->augmentationLength - 1);
  std::uint8_t letter = 0;
  while (letters.position < letters.end) {
    if (!FLTDwarfRead8(&letters, &letter)) return false;
    switch (letter) {
      case 'L':
        if (!FLTDwarfRead8(&data, &cie->lsdaEncoding)) return false;
        break;
      case 'P':
        if (!FLTDwarfRead8(&data, &cie->personalityEncoding)) return false;
        cie->personality = FLTParseAddressWithEncodingAndAdvance(&data, cie->personalityEncoding);
        if (cie->personality == kFLTDwarfInvalidAddress) {
          FLT_SDK_LOG_WARN("Error: Found an invalid start address\n");
          return false;
        }
        break;
      case 'R':
        if (!FLTDwarfRead8(&data, &cie->pointerEncoding)) return false;
        break;
      case 'S':
        cie->signalFrame = true;
        break;
      default:
        FLT_SDK_LOG_WARN("Error: Unhandled augmentation string entry %c\n", static_cast<char>(letter));
        return false;
    }
  }
  // The instructions follow the augmentation data, whatever padding it holds.
  reader->position = dataEnd;
  return true;
}

// One call-frame instruction run. `stop` is set when an advance would pass
// the PC offset.
struct Interpreter {
  const FLTDwarfCIERecord& cie;
  FLTDwarfRow* row;
  const FLTDwarfRow* initialRow;
  std::int64_t pcOffset;
  FLTDwarfReader reader;
  std::int64_t location;
  FLTDwarfRow remembered[kFLTDwarfRememberStateDepth];
  std::size_t rememberedCount;
  bool stop;
};

bool advance(Interpreter* in, std::uint64_t delta) noexcept {
  const std::uint64_t step = delta * in->cie.codeAlignmentFactor;
  const auto next = static_cast<std::int64_t>(static_cast<std::uint64_t>(in->location) + step);
  // The row at `next` holds from `next` on: it matters only when the PC
  // offset lies at or beyond it.
  if (next < in->location || next > in->pcOffset) {
    in->stop = true;
    return true;
  }
  in->location = next;
  return true;
}

bool setRule(Interpreter* in, std::uint64_t reg, std::uint32_t kind, std::int64_t value,
             const char* message) noexcept {
  if (!validRegister(reg, message)) return false;
  in->row->registers[reg] = FLTDwarfRule{kind, value};
  return true;
}

bool restoreRule(Interpreter* in, std::uint64_t reg) noexcept {
  if (!validRegister(reg, "Error: Found an invalid DW_CFA_restore register number")) return false;
  in->row->registers[reg] =
      in->initialRow != nullptr ? in->initialRow->registers[reg] : FLTDwarfRule{kFLTDwarfRuleUnchanged, 0};
  return true;
}

// Reads a ULEB128 block length and skips the block; `*block` is the
// address of its length prefix.
bool skipBlock(Interpreter* in, std::uintptr_t* block) noexcept {
  *block = in->reader.position;
  std::uint64_t length = 0;
  return FLTDwarfReadULEB128(&in->reader, &length) && FLTDwarfSkip(&in->reader, length);
}

bool executeExtended(Interpreter* in, std::uint8_t opcode) noexcept {
  FLTDwarfReader* r = &in->reader;
  FLTDwarfRow* row = in->row;
  const std::int64_t daf = in->cie.dataAlignmentFactor;
  std::uint64_t reg = 0, operand = 0;
  std::int64_t signedOperand = 0, offset = 0;
  std::uintptr_t block = 0;
  switch (opcode) {
    case 0x05:  // offset_extended
      return FLTDwarfReadULEB128(r, &reg) && FLTDwarfReadULEB128(r, &operand) &&
             scaledOffset(operand, daf, &offset) &&
             setRule(in, reg, kFLTDwarfRuleOffsetFromCFA, offset,
                     "Error: Found an invalid DW_CFA_offset register number");
    case 0x06:  // restore_extended
      return FLTDwarfReadULEB128(r, &reg) && restoreRule(in, reg);
    case 0x07:  // undefined
      return FLTDwarfReadULEB128(r, &reg) &&
             setRule(in, reg, kFLTDwarfRuleUndefined, 0, "Error: Found an invalid DW_CFA_undefined register number");
    case 0x08:
      if (!FLTDwarfReadULEB128(r, &reg)) return false;
      FLT_SDK_LOG_DEBUG("DW_CFA_same_value %llu\n", static_cast<unsigned long long>(reg));
      return setRule(in, reg, kFLTDwarfRuleUnchanged, 0, "Error: Found an invalid DW_CFA_same_value register number");
    case 0x09:
      if (!FLTDwarfReadULEB128(r, &reg) || !FLTDwarfReadULEB128(r, &operand)) return false;
      FLT_SDK_LOG_DEBUG("DW_CFA_register %llu %llu\n", static_cast<unsigned long long>(reg),
                        static_cast<unsigned long long>(operand));
      if (!validRegister(operand, "Error: Found an invalid DW_CFA_register value")) return false;
      return setRule(in, reg, kFLTDwarfRuleInRegister, static_cast<std::int64_t>(operand),
                     "Error: Found an invalid DW_CFA_register number");
    case 0x0A:  // remember_state
      if (in->rememberedCount >= kFLTDwarfRememberStateDepth) {
        FLT_SDK_LOG_WARN("Error: DW_CFA_remember_state nested too deep\n");
        return false;
      }
      in->remembered[in->rememberedCount++] = *row;
      return true;
    case 0x0B: {  // restore_state keeps the CFA rule, as the format says
      if (in->rememberedCount == 0) {
        FLT_SDK_LOG_WARN("Error: DW_CFA_restore_state without remembered state\n");
        return false;
      }
      const FLTDwarfRow& saved = in->remembered[--in->rememberedCount];
      std::memcpy(row->registers, saved.registers, sizeof(row->registers));
      row->cfaRegister = saved.cfaRegister;
      row->cfaOffset = saved.cfaOffset;
      row->cfaExpression = saved.cfaExpression;
      return true;
    }
    case 0x0C:
    case 0x12:  // def_cfa, def_cfa_sf
      if (!FLTDwarfReadULEB128(r, &reg)) return false;
      if (opcode == 0x0C) {
        if (!FLTDwarfReadULEB128(r, &operand)) return false;
        signedOperand = static_cast<std::int64_t>(operand);
      } else {
        if (!FLTDwarfReadSLEB128(r, &signedOperand) ||
            !scaledOffset(signedOperand, daf, &signedOperand)) {
          return false;
        }
      }
      FLT_SDK_LOG_DEBUG("DW_CFA_def_cfa %llu, %lld\n", static_cast<unsigned long long>(reg),
                        static_cast<long long>(signedOperand));
      if (!validRegister(reg, "Error: Found an invalid DW_CFA_def_cfa register number")) return false;
      row->cfaRegister = reg;
      row->cfaOffset = signedOperand;
      row->cfaExpression = 0;
      return true;
    case 0x0D:
      if (!FLTDwarfReadULEB128(r, &reg)) return false;
      FLT_SDK_LOG_DEBUG("DW_CFA_def_cfa_register %llu\n", static_cast<unsigned long long>(reg));
      if (!validRegister(reg, "Error: Found an invalid DW_CFA_def_cfa_register register number")) return false;
      row->cfaRegister = reg;
      row->cfaExpression = 0;
      return true;
    case 0x0E:
      if (!FLTDwarfReadULEB128(r, &operand)) return false;
      FLT_SDK_LOG_DEBUG("DW_CFA_def_cfa_offset %lld\n", static_cast<long long>(operand));
      row->cfaOffset = static_cast<std::int64_t>(operand);
      return true;
    case 0x13:  // def_cfa_offset_sf
      if (!FLTDwarfReadSLEB128(r, &signedOperand) || !scaledOffset(signedOperand, daf, &offset)) {
        return false;
      }
      row->cfaOffset = offset;
      return true;
    case 0x0F:
      if (!skipBlock(in, &block)) return false;
      FLT_SDK_LOG_DEBUG("DW_CFA_def_cfa_expression %llu\n", static_cast<unsigned long long>(block));
      row->cfaRegister = kFLTDwarfCFAExpressionRegister;
      row->cfaExpression = block;
      return true;
    case 0x10:
    case 0x16:  // expression, val_expression
      if (!FLTDwarfReadULEB128(r, &reg) || !skipBlock(in, &block)) return false;
      if (opcode == 0x10) {
        FLT_SDK_LOG_DEBUG("DW_CFA_expression %llu %llu\n", static_cast<unsigned long long>(reg),
                          static_cast<unsigned long long>(block));
      } else {
        FLT_SDK_LOG_DEBUG("DW_CFA_val_expression %llu %llu\n", static_cast<unsigned long long>(reg),
                          static_cast<unsigned long long>(block));
      }
      return setRule(in, reg, opcode == 0x10 ? kFLTDwarfRuleAtExpression : kFLTDwarfRuleValueExpression,
                     static_cast<std::int64_t>(block),
                     opcode == 0x10 ? "Error: Found an invalid DW_CFA_expression register number"
                                    : "Error: Found an invalid DW_CFA_val_expression register number");
    case 0x11:
    case 0x15:  // offset_extended_sf, val_offset_sf
      if (!FLTDwarfReadULEB128(r, &reg) || !FLTDwarfReadSLEB128(r, &signedOperand) ||
          !scaledOffset(signedOperand, daf, &offset)) {
        return false;
      }
      return setRule(in, reg, opcode == 0x11 ? kFLTDwarfRuleOffsetFromCFA : kFLTDwarfRuleValueOffsetFromCFA,
                     offset, "Error: Found an invalid DW_CFA_offset register number");
    case 0x14:  // val_offset
      return FLTDwarfReadULEB128(r, &reg) && FLTDwarfReadULEB128(r, &operand) &&
             scaledOffset(operand, daf, &offset) &&
             setRule(in, reg, kFLTDwarfRuleValueOffsetFromCFA, offset,
                     "Error: Found an invalid DW_CFA_offset register number");
    case 0x2E:  // GNU_args_size: the callee pops arguments; nothing to restore
      return FLTDwarfReadULEB128(r, &operand);
    case 0x2F:  // GNU_negative_offset_extended
      return FLTDwarfReadULEB128(r, &reg) && FLTDwarfReadULEB128(r, &operand) &&
             negatedScaledOffset(operand, daf, &offset) &&
             setRule(in, reg, kFLTDwarfRuleOffsetFromCFA, offset,
                     "Error: Found an invalid DW_CFA_offset register number");
    default:
      FLT_SDK_LOG_WARN("Error: Unrecognized DWARF instruction 0x%x\n", static_cast<unsigned>(opcode));
      return false;
  }
}

bool executeOne(Interpreter* in, std::uint8_t opcode) noexcept {
  FLTDwarfReader* r = &in->reader;
  const std::uint8_t high = opcode & 0xC0, low = opcode & 0x3F;
  if (high == 0x40) {
    FLT_SDK_LOG_DEBUG("DW_CFA_advance_loc %u\n", static_cast<unsigned>(low));
    return advance(in, low);
  }
  if (high == 0x80) {
    std::uint64_t operand = 0;
    std::int64_t offset = 0;
    if (!FLTDwarfReadULEB128(r, &operand) ||
        !scaledOffset(operand, in->cie.dataAlignmentFactor, &offset)) {
      return false;
    }
    FLT_SDK_LOG_DEBUG("DW_CFA_offset %u, %lld\n", static_cast<unsigned>(low), static_cast<long long>(offset));
    return setRule(in, low, kFLTDwarfRuleOffsetFromCFA, offset,
                   "Error: Found an invalid DW_CFA_offset register number");
  }
  if (high == 0xC0) return restoreRule(in, low);
  switch (opcode) {
    case 0x00:
      return true;
    case 0x01: {
      const std::uint64_t location = FLTParseAddressWithEncodingAndAdvance(r, in->cie.pointerEncoding);
      if (location == kFLTDwarfInvalidAddress) return false;
      FLT_SDK_LOG_DEBUG("DW_CFA_set_loc %lu\n", location);
      if (static_cast<std::int64_t>(location) > in->pcOffset) in->stop = true;
      else in->location = static_cast<std::int64_t>(location);
      return true;
    }
    case 0x02: {
      std::uint8_t delta = 0;
      return FLTDwarfRead8(r, &delta) && advance(in, delta);
    }
    case 0x03: {
      std::uint16_t delta = 0;
      return FLTDwarfRead16(r, &delta) && advance(in, delta);
    }
    case 0x04: {
      std::uint32_t delta = 0;
      return FLTDwarfRead32(r, &delta) && advance(in, delta);
    }
    default:
      return executeExtended(in, opcode);
  }
}

}  // namespace

std::uint64_t FLTParseAddressWithEncodingAndAdvance(FLTDwarfReader* reader, std::uint8_t encoding,
                                                    std::uintptr_t dataBase) noexcept {
  if (encoding == kPEOmit) return 0;
  if (reader == nullptr) return kFLTDwarfInvalidAddress;
  const std::uintptr_t field = reader->position;
  std::uint64_t value = 0;
  bool ok = false;
  switch (encoding & 0x0F) {
    case 0x0: case 0x4: case 0xC: ok = FLTDwarfRead64(reader, &value); break;
    case 0x1: ok = FLTDwarfReadULEB128(reader, &value); break;
    case 0x2: { std::uint16_t v = 0; ok = FLTDwarfRead16(reader, &v); value = v; break; }
    case 0x3: { std::uint32_t v = 0; ok = FLTDwarfRead32(reader, &v); value = v; break; }
    case 0x9: { std::int64_t v = 0; ok = FLTDwarfReadSLEB128(reader, &v); value = static_cast<std::uint64_t>(v); break; }
    case 0xA: { std::uint16_t v = 0; ok = FLTDwarfRead16(reader, &v); value = static_cast<std::uint64_t>(static_cast<std::int16_t>(v)); break; }
    case 0xB: { std::uint32_t v = 0; ok = FLTDwarfRead32(reader, &v); value = static_cast<std::uint64_t>(static_cast<std::int32_t>(v)); break; }
    default:
      FLT_SDK_LOG_WARN("Unhandled: encoding 0x%02x\n", static_cast<unsigned>(encoding));
      return kFLTDwarfInvalidAddress;
  }
  if (!ok) return kFLTDwarfInvalidAddress;
  switch (encoding & 0x70) {
    case 0x00: break;
    case 0x10: value += field; break;
    case 0x30:
      if (dataBase == 0) return kFLTDwarfInvalidAddress;
      value += dataBase;
      break;
    default:
      FLT_SDK_LOG_WARN("Unhandled: relative encoding 0x%02x\n", static_cast<unsigned>(encoding));
      return kFLTDwarfInvalidAddress;
  }
  if ((encoding & kPEIndirect) != 0) {
    std::uint64_t target = 0;
    if (value == 0 || !FLTReadMemory(static_cast<std::uintptr_t>(value), &target, sizeof(target))) {
      return kFLTDwarfInvalidAddress;
    }
    value = target;
  }
  return value;
}

bool FLTDwarfCIEIsValid(const FLTDwarfCIERecord& cie) noexcept {
  return cie.length != 0 && (cie.version == 1 || cie.version == 3);
}

bool FLTDwarfCIESupportsAugmentation(const FLTDwarfCIERecord& cie) noexcept {
  return cie.hasAugmentationData;
}

bool FLTDwarfParseCIERecord(FLTDwarfCIERecord* cie, std::uintptr_t address,
                            std::uintptr_t sectionEnd) noexcept {
  if (cie == nullptr) return false;
  std::memset(cie, 0, sizeof(*cie));
  if (address < kFLTMinimumValidAddress || address >= sectionEnd) return false;
  FLTDwarfReader reader{address, sectionEnd, false};
  std::uint64_t length = 0;
  if (!FLTDwarfReadInitialLength(&reader, &length) || length == 0) {
    FLT_SDK_LOG_WARN("Error: CIE length invalid\n");
    return false;
  }
  const std::uintptr_t end = recordEnd(reader.position, length, sectionEnd);
  if (end == 0) {
    FLT_SDK_LOG_WARN("Error: CIE length invalid\n");
    return false;
  }
  reader.end = end;
  cie->length = length;
  std::uint32_t id = 1;
  if (!FLTDwarfRead32(&reader, &id)) return false;
  if (id != 0) FLT_SDK_LOG_WARN("Error: CIE flag not found\n");
  if (!FLTDwarfRead8(&reader, &cie->version)) return false;
  const bool versionOK = cie->version == 1 || cie->version == 3;
  if (!versionOK) FLT_SDK_LOG_WARN("Error: CIE version %u unsupported\n", static_cast<unsigned>(cie->version));
  if (!FLTDwarfReadString(&reader, &cie->augmentation, &cie->augmentationLength,
                          kFLTDwarfMaxAugmentationLength) ||
      !FLTDwarfReadULEB128(&reader, &cie->codeAlignmentFactor) ||
      !FLTDwarfReadSLEB128(&reader, &cie->dataAlignmentFactor)) {
    return false;
  }
  if (!versionOK) {
    FLT_SDK_LOG_WARN("Error: CIE version %u unsupported\n", static_cast<unsigned>(cie->version));
    return false;
  }
  if (cie->version == 1) {
    std::uint8_t reg = 0;
    if (!FLTDwarfRead8(&reader, &reg)) return false;
    cie->returnAddressRegister = reg;
  } else if (!FLTDwarfReadULEB128(&reader, &cie->returnAddressRegister)) {
    return false;
  }
  if (cie->augmentationLength > 0) {
    std::uint8_t first = 0;
    FLTDwarfReader letter = FLTDwarfReaderMake(cie->augmentation, 1);
    if (!FLTDwarfRead8(&letter, &first)) return false;
    if (first != 'z') {
      FLT_SDK_LOG_WARN("Error: Unimplemented: augmentation string %s\n",
                       reinterpret_cast<const char*>(cie->augmentation));
      return false;
    }
    cie->hasAugmentationData = true;
    if (!parseAugmentation(cie, &reader)) return false;
  }
  cie->instructions = reader.position;
  cie->instructionsLength = static_cast<std::uint32_t>(end - reader.position);
  return true;
}

bool FLTDwarfParseFDERecord(FLTDwarfFDERecord* fde, bool parseCIE, const FLTDwarfCIERecord* cie,
                            std::uintptr_t address, std::uintptr_t sectionEnd) noexcept {
  if (fde == nullptr) return false;
  FLTDwarfCIERecord given{};
  if (!parseCIE && cie != nullptr) given = *cie;
  std::memset(fde, 0, sizeof(*fde));
  fde->cie = given;
  if (address < kFLTMinimumValidAddress || address >= sectionEnd) return false;
  FLTDwarfReader reader{address, sectionEnd, false};
  std::uint64_t length = 0;
  if (!FLTDwarfReadInitialLength(&reader, &length)) return false;
  if (length == 0) {
    FLT_SDK_LOG_WARN("Error: FDE has zero length\n");
    return false;
  }
  const std::uintptr_t end = recordEnd(reader.position, length, sectionEnd);
  if (end == 0) return false;
  reader.end = end;
  fde->length = length;
  const std::uintptr_t field = reader.position;
  std::uint32_t pointer = 0;
  if (!FLTDwarfRead32(&reader, &pointer)) return false;
  if (pointer == 0 || pointer > field) {
    FLT_SDK_LOG_WARN("Error: CIE offset invalid\n");
    return false;
  }
  fde->ciePointer = pointer;
  if (parseCIE && !FLTDwarfParseCIERecord(&fde->cie, field - pointer, sectionEnd)) {
    FLT_SDK_LOG_WARN("Error: Unable to parse CIE record\n");
    return false;
  }
  if (!FLTDwarfCIEIsValid(fde->cie)) {
    FLT_SDK_LOG_WARN("Error: CIE invalid\n");
    return false;
  }
  const std::uint64_t begin = FLTParseAddressWithEncodingAndAdvance(&reader, fde->cie.pointerEncoding);
  if (begin == kFLTDwarfInvalidAddress) {
    FLT_SDK_LOG_WARN("Error: Found an invalid start address\n");
    return false;
  }
  const std::uint64_t range =
      FLTParseAddressWithEncodingAndAdvance(&reader, fde->cie.pointerEncoding & 0x0F);
  if (range == kFLTDwarfInvalidAddress) {
    FLT_SDK_LOG_WARN("Error: Found an invalid address range\n");
    return false;
  }
  fde->pcBegin = static_cast<std::uintptr_t>(begin);
  fde->pcRange = range;
  if (fde->cie.hasAugmentationData) {
    std::uint64_t skip = 0;
    if (!FLTDwarfReadULEB128(&reader, &skip) || !FLTDwarfSkip(&reader, skip)) return false;
  }
  fde->instructions = reader.position;
  fde->instructionsLength = static_cast<std::uint32_t>(end - reader.position);
  return true;
}

bool FLTDwarfInstructionsEnumerate(std::uintptr_t instructions, std::uint64_t length,
                                   const FLTDwarfCIERecord& cie, FLTDwarfRow* row,
                                   std::int64_t pcLimit, const FLTDwarfRow* initialRow) noexcept {
  if (row == nullptr) return false;
  if (length == 0 || pcLimit < 0) return true;
  Interpreter in{cie, row, initialRow, pcLimit, FLTDwarfReaderMake(instructions, length), 0, {}, 0, false};
  if (in.reader.end - in.reader.position != length) return false;
  while (in.reader.position < in.reader.end && !in.stop) {
    std::uint8_t opcode = 0;
    if (!FLTDwarfRead8(&in.reader, &opcode)) return false;
    if (!executeOne(&in, opcode)) {
      FLT_SDK_LOG_WARN("Error: Failed to execute dwarf instruction 0x%x\n", static_cast<unsigned>(opcode));
      return false;
    }
  }
  return true;
}

bool FLTDwarfComputeRow(const FLTDwarfFDERecord& fde, std::uintptr_t pc, FLTDwarfRow* row) noexcept {
  std::memset(row, 0, sizeof(*row));
  if (!FLTDwarfInstructionsEnumerate(fde.cie.instructions, fde.cie.instructionsLength, fde.cie, row,
                                     INT64_MAX, nullptr)) {
    FLT_SDK_LOG_WARN("Error: Unable to run CIE instructions\n");
    return false;
  }
  const FLTDwarfRow initial = *row;
  if (pc < fde.pcBegin) {
    FLT_SDK_LOG_WARN("Error: The FDE pcOffset value cannot be negative\n");
    return false;
  }
  if (pc - fde.pcBegin >= fde.pcRange) {
    FLT_SDK_LOG_WARN("Error: PC lies past the end of the FDE\n");
    return false;
  }
  const auto pcOffset = static_cast<std::int64_t>(pc - fde.pcBegin);
  if (!FLTDwarfInstructionsEnumerate(fde.instructions, fde.instructionsLength, fde.cie, row, pcOffset,
                                     &initial)) {
    FLT_SDK_LOG_WARN("Error: Unable to run FDE instructions\n");
    return false;
  }
  return true;
}

bool FLTDwarfGetCFA(const FLTDwarfRow& row, const FLTMachineState& registers,
                    std::uint64_t* cfa) noexcept {
  if (row.cfaRegister == kFLTDwarfCFAExpressionRegister) {
    if (!FLTDwarfEvalulateExpression(row.cfaExpression, &registers, 0, cfa)) {
      FLT_SDK_LOG_WARN("Error: failed to compute CFA expression\n");
      return false;
    }
    return true;
  }
  if (row.cfaRegister >= kFLTDwarfRegisterCount) return false;
  *cfa = FLTDwarfUnwindGetRegisterValue(&registers, row.cfaRegister) +
         static_cast<std::uint64_t>(row.cfaOffset);
  return true;
}

bool FLTDwarfGetSavedRegister(const FLTMachineState& registers, std::uint64_t cfa,
                              const FLTDwarfRule& rule, std::uint64_t number,
                              std::uint64_t* value) noexcept {
  FLT_SDK_LOG_DEBUG("Getting register %x\n", static_cast<unsigned>(number));
  const std::uint64_t address = cfa + static_cast<std::uint64_t>(rule.value);
  switch (rule.kind) {
    case kFLTDwarfRuleUnchanged:
      *value = FLTDwarfUnwindGetRegisterValue(&registers, number);
      return true;
    case kFLTDwarfRuleOffsetFromCFA:
      if (!FLTReadMemory(static_cast<std::uintptr_t>(address), value, sizeof(*value))) {
        FLT_SDK_LOG_WARN("Error: Unable to read CFA value\n");
        return false;
      }
      return true;
    case kFLTDwarfRuleValueOffsetFromCFA:
      *value = address;
      return true;
    case kFLTDwarfRuleInRegister:
      if (static_cast<std::uint64_t>(rule.value) >= kFLTDwarfRegisterCount) return false;
      *value = FLTDwarfUnwindGetRegisterValue(&registers, static_cast<std::uint64_t>(rule.value));
      return true;
    case kFLTDwarfRuleAtExpression:
    case kFLTDwarfRuleValueExpression: {
      std::uint64_t result = 0;
      if (!FLTDwarfEvalulateExpression(static_cast<std::uintptr_t>(rule.value), &registers, cfa, &result)) {
        FLT_SDK_LOG_WARN("Error: unable to evaluate expression\n");
        return false;
      }
      if (rule.kind == kFLTDwarfRuleValueExpression) {
        *value = result;
        return true;
      }
      if (!FLTReadMemory(static_cast<std::uintptr_t>(result), value, sizeof(*value))) {
        FLT_SDK_LOG_WARN("Error: Unable to read memory computed from expression\n");
        return false;
      }
      return true;
    }
    case kFLTDwarfRuleUndefined:
      *value = 0;
      return true;
    default:
      FLT_SDK_LOG_WARN("Error: Unrecognized register save location 0x%x\n", static_cast<unsigned>(rule.kind));
      return false;
  }
}

bool FLTDwarfUnwindAssignRegisters(const FLTDwarfRow& row, std::uint64_t cfa,
                                   FLTMachineState* registers) noexcept {
  FLTMachineState next = *registers;
  for (std::uint64_t reg = 0; reg < kFLTDwarfRegisterCount; ++reg) {
    const FLTDwarfRule& rule = row.registers[reg];
    std::uint64_t value = 0;
    if (rule.kind == kFLTDwarfRuleUnchanged) continue;
    // A lost register reads as 0: a lost return address ends the trace.
    if (!FLTDwarfGetSavedRegister(*registers, cfa, rule, reg, &value)) value = 0;
    FLTDwarfUnwindSetRegisterValue(&next, reg, value);
  }
  next.rsp = cfa;
  if (next.rsp == registers->rsp) {
    FLT_SDK_LOG_WARN("Error: Stack pointer hasn't changed\n");
    return false;
  }
  if (next.rip == registers->rip) {
    FLT_SDK_LOG_WARN("Error: PC hasn't changed\n");
    return false;
  }
  *registers = next;
  return true;
}

bool FLTDwarfUnwindComputeRegisters(const FLTDwarfFDERecord& fde, FLTUnwindCursor* cursor) noexcept {
  if (cursor == nullptr) return false;
  if (fde.cie.returnAddressRegister != kFLTDwarfRegisterReturnAddress) {
    FLT_SDK_LOG_WARN("Error: Unrecognized get register number %llu\n",
                     static_cast<unsigned long long>(fde.cie.returnAddressRegister));
    return false;
  }
  FLTDwarfRow row;
  if (!FLTDwarfComputeRow(fde, FLTUnwindCursorGetPC(cursor), &row)) return false;
  std::uint64_t cfa = 0;
  if (!FLTDwarfGetCFA(row, cursor->registers, &cfa)) {
    FLT_SDK_LOG_WARN("Error: failed to get CFA\n");
    return false;
  }
  if (!FLTDwarfUnwindAssignRegisters(row, cfa, &cursor->registers)) {
    FLT_SDK_LOG_ERROR("Error: Unable to assign DWARF registers\n");
    return false;
  }
  return true;
}

// ---- FDE lookup -----------------------------------------------------------------

namespace {

bool fdeHolds(const FLTDwarfFDERecord& fde, std::uintptr_t pc) noexcept {
  return pc >= fde.pcBegin && pc - fde.pcBegin < fde.pcRange;
}

// Binary search of the .eh_frame_hdr table (datarel sdata4 pairs, sorted by
// initial location). 1 found, 0 not found, -1 table unusable.
int searchHeader(std::uintptr_t hdr, std::uintptr_t pc, FLTDwarfFDERecord* fde) noexcept {
  FLTDwarfReader reader = FLTDwarfReaderMake(hdr, 4 + 8 + 8);
  std::uint8_t version = 0, framePointerEncoding = 0, countEncoding = 0, tableEncoding = 0;
  if (!FLTDwarfRead8(&reader, &version) || !FLTDwarfRead8(&reader, &framePointerEncoding) ||
      !FLTDwarfRead8(&reader, &countEncoding) || !FLTDwarfRead8(&reader, &tableEncoding) ||
      version != 1 || tableEncoding != 0x3B) {
    return -1;
  }
  if (FLTParseAddressWithEncodingAndAdvance(&reader, framePointerEncoding, hdr) == kFLTDwarfInvalidAddress) return -1;
  const std::uint64_t count = FLTParseAddressWithEncodingAndAdvance(&reader, countEncoding, hdr);
  if (count == kFLTDwarfInvalidAddress || count == 0 || count > (std::uint64_t{1} << 32)) return -1;
  const std::uintptr_t table = reader.position;
  std::uint64_t low = 0, high = count;  // the answer lies in [low, high)
  while (high - low > 1) {
    const std::uint64_t middle = low + (high - low) / 2;
    std::int32_t location = 0;
    if (!FLTReadMemory(table + middle * 8, &location, sizeof(location))) return -1;
    if (hdr + static_cast<std::intptr_t>(location) <= pc) low = middle;
    else high = middle;
  }
  std::int32_t entry[2] = {};
  if (!FLTReadMemory(table + low * 8, entry, sizeof(entry))) return -1;
  if (hdr + static_cast<std::intptr_t>(entry[0]) > pc) return 0;
  const std::uintptr_t address = hdr + static_cast<std::intptr_t>(entry[1]);
  if (!FLTDwarfParseFDERecord(fde, true, nullptr, address)) return 0;
  return fdeHolds(*fde, pc) ? 1 : 0;
}

bool scanSection(std::uintptr_t ehFrame, std::uintptr_t ehFrameEnd, std::uintptr_t pc,
                 FLTDwarfFDERecord* fde) noexcept {
  std::uintptr_t position = ehFrame;
  for (std::uint32_t records = 0; records < kMaxScannedRecords && position < ehFrameEnd; ++records) {
    FLTDwarfReader reader{position, ehFrameEnd, false};
    std::uint64_t length = 0;
    std::uint32_t id = 0;
    if (!FLTDwarfReadInitialLength(&reader, &length) || length == 0) return false;
    const std::uintptr_t next = recordEnd(reader.position, length, ehFrameEnd);
    if (next == 0 || !FLTDwarfRead32(&reader, &id)) return false;
    if (id != 0 && FLTDwarfParseFDERecord(fde, true, nullptr, position, ehFrameEnd) && fdeHolds(*fde, pc)) {
      return true;
    }
    position = next;
  }
  return false;
}

}  // namespace

bool FLTDwarfFindFDE(std::uintptr_t ehFrameHdr, std::uintptr_t ehFrame, std::uintptr_t pc,
                     FLTDwarfFDERecord* fde, std::uintptr_t ehFrameEnd) noexcept {
  if (fde == nullptr) return false;
  if (ehFrameHdr >= kFLTMinimumValidAddress) {
    const int found = searchHeader(ehFrameHdr, pc, fde);
    if (found >= 0) return found == 1;
  }
  if (ehFrame < kFLTMinimumValidAddress) return false;
  return scanSection(ehFrame, ehFrameEnd, pc, fde);
}

}  // namespace vandrel::crash
