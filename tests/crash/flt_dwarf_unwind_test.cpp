#include "crash/unwind/flt_dwarf_unwind.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crash/unwind/flt_unwind_cursor.h"

namespace vandrel::crash {
namespace {

using Bytes = std::vector<std::uint8_t>;

void uleb(Bytes* out, std::uint64_t value) {
  do {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    if (value != 0) byte |= 0x80;
    out->push_back(byte);
  } while (value != 0);
}

void sleb(Bytes* out, std::int64_t value) {
  bool more = true;
  while (more) {
    std::uint8_t byte = value & 0x7F;
    value >>= 7;
    more = !((value == 0 && (byte & 0x40) == 0) || (value == -1 && (byte & 0x40) != 0));
    out->push_back(more ? (byte | 0x80) : byte);
  }
}

template <typename T>
void put(Bytes* out, T value) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
  out->insert(out->end(), p, p + sizeof(T));
}

void append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }

// A length-prefixed expression block, as rules and the expression machine
// address them.
Bytes block(const Bytes& ops) {
  Bytes out;
  uleb(&out, ops.size());
  append(&out, ops);
  return out;
}

std::uintptr_t addressOf(const Bytes& bytes) { return reinterpret_cast<std::uintptr_t>(bytes.data()); }

// The usual x86-64 CIE program: CFA = rsp + 8, return address at CFA - 8.
const Bytes kCIEProgram = {0x0C, 0x07, 0x08, 0x90, 0x01};

// A section holding one CIE ("zR", absolute FDE pointers, code alignment 1,
// data alignment -8, return address 16) and one FDE over
// [pcBegin, pcBegin + range), then a zero terminator.
struct Section {
  Bytes bytes;
  std::size_t fdeOffset = 0;

  static Section make(const Bytes& cieProgram, const Bytes& fdeProgram, std::uint64_t pcBegin,
                      std::uint64_t range, const std::string& augmentation = "zR",
                      const Bytes& augmentationData = {0x00}) {
    Section s;
    Bytes cie;
    put<std::uint32_t>(&cie, 0);  // CIE id
    cie.push_back(1);             // version
    cie.insert(cie.end(), augmentation.begin(), augmentation.end());
    cie.push_back(0);
    uleb(&cie, 1);
    sleb(&cie, -8);
    cie.push_back(16);
    if (!augmentation.empty() && augmentation[0] == 'z') {
      uleb(&cie, augmentationData.size());
      append(&cie, augmentationData);
    }
    append(&cie, cieProgram);
    put<std::uint32_t>(&s.bytes, static_cast<std::uint32_t>(cie.size()));
    append(&s.bytes, cie);
    s.fdeOffset = s.bytes.size();
    Bytes fde;
    put<std::uint32_t>(&fde, static_cast<std::uint32_t>(s.fdeOffset + 4));  // back to the CIE
    put<std::uint64_t>(&fde, pcBegin);
    put<std::uint64_t>(&fde, range);
    if (!augmentation.empty() && augmentation[0] == 'z') fde.push_back(0);
    append(&fde, fdeProgram);
    put<std::uint32_t>(&s.bytes, static_cast<std::uint32_t>(fde.size()));
    append(&s.bytes, fde);
    put<std::uint32_t>(&s.bytes, 0);
    return s;
  }
  std::uintptr_t start() const { return addressOf(bytes); }
  std::uintptr_t end() const { return start() + bytes.size(); }
  std::uintptr_t fde() const { return start() + fdeOffset; }
};

constexpr std::uint64_t kBegin = 0x400000;

// ---- readers and pointer encodings --------------------------------------------

TEST(FLTDwarfReaderTest, LEB128DecodesFullWidthAndStaysInStep) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool isSigned;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"five-byte uleb above 2^28", {0x80, 0x80, 0x80, 0x80, 0x01}, false, 1ull << 28},
      {"ten-byte uleb all ones", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, false, ~0ull},
      {"uleb 624485", {0xE5, 0x8E, 0x26}, false, 624485},
      {"sleb -1", {0x7F}, true, ~0ull},
      {"sleb -123456", {0xC0, 0xBB, 0x78}, true, static_cast<std::uint64_t>(-123456)},
      {"sleb 63", {0x3F}, true, 63},
      {"sleb with padding bytes beyond 64 bits",
       {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = c.bytes;
    bytes.push_back(0xAB);  // the next field
    FLTDwarfReader reader = FLTDwarfReaderMake(addressOf(bytes), bytes.size());
    std::uint64_t value = 0;
    if (c.isSigned) {
      std::int64_t s = 0;
      ASSERT_TRUE(FLTDwarfReadSLEB128(&reader, &s));
      value = static_cast<std::uint64_t>(s);
    } else {
      ASSERT_TRUE(FLTDwarfReadULEB128(&reader, &value));
    }
    EXPECT_EQ(value, c.expected);
    std::uint8_t next = 0;
    ASSERT_TRUE(FLTDwarfRead8(&reader, &next));
    EXPECT_EQ(next, 0xAB);
  }
}

TEST(FLTDwarfReaderTest, ReadsStopAtTheEndOfTheirRange) {
  const Bytes bytes = {0x80, 0x80, 0x01, 0x02, 0x03};
  FLTDwarfReader reader = FLTDwarfReaderMake(addressOf(bytes), 2);  // the LEB128 runs past
  std::uint64_t value = 0;
  EXPECT_FALSE(FLTDwarfReadULEB128(&reader, &value));
  std::uint8_t byte = 0;
  EXPECT_FALSE(FLTDwarfRead8(&reader, &byte)) << "a failed reader stays failed";
  FLTDwarfReader four = FLTDwarfReaderMake(addressOf(bytes), 3);
  std::uint32_t word = 0;
  EXPECT_FALSE(FLTDwarfRead32(&four, &word));
  FLTDwarfReader low = FLTDwarfReaderMake(16, 8);  // below 4096: never read
  EXPECT_FALSE(FLTDwarfRead8(&low, &byte));
}

TEST(FLTDwarfReaderTest, PointerEncodings) {
  static std::uint64_t indirectTarget = 0x1234567890;
  struct Case {
    const char* name;
    std::uint8_t encoding;
    Bytes bytes;
    std::int64_t pcRelativeOffset;  // expected value minus the field address, when pc-relative
    std::uint64_t expected;
    std::size_t consumed;
  };
  Bytes indirect;
  put<std::uint64_t>(&indirect, reinterpret_cast<std::uintptr_t>(&indirectTarget));
  const Case cases[] = {
      {"absptr", 0x00, {1, 2, 3, 4, 5, 6, 7, 8}, 0, 0x0807060504030201, 8},
      {"udata2", 0x02, {0xFF, 0xFF}, 0, 0xFFFF, 2},
      {"udata4", 0x03, {0xFF, 0xFF, 0xFF, 0xFF}, 0, 0xFFFFFFFF, 4},
      {"sdata2", 0x0A, {0xFE, 0xFF}, 0, static_cast<std::uint64_t>(-2), 2},
      {"sdata4", 0x0B, {0xFE, 0xFF, 0xFF, 0xFF}, 0, static_cast<std::uint64_t>(-2), 4},
      {"uleb128", 0x01, {0xE5, 0x8E, 0x26}, 0, 624485, 3},
      {"sleb128", 0x09, {0x7F}, 0, static_cast<std::uint64_t>(-1), 1},
      {"omit reads nothing", 0xFF, {}, 0, 0, 0},
      {"pcrel sdata4", 0x1B, {0xF0, 0xFF, 0xFF, 0xFF}, -16, 0, 4},
      {"indirect absptr", 0x80, indirect, 0, indirectTarget, 8},
      {"unknown format", 0x05, {0, 0, 0, 0}, 0, kFLTDwarfInvalidAddress, 0},
      {"datarel without a base", 0x3B, {0, 0, 0, 0}, 0, kFLTDwarfInvalidAddress, 4},
      {"aligned application", 0x53, {0, 0, 0, 0}, 0, kFLTDwarfInvalidAddress, 4},
      {"indirect through null", 0x83, {0, 0, 0, 0}, 0, kFLTDwarfInvalidAddress, 4},
      {"truncated", 0x04, {1, 2, 3}, 0, kFLTDwarfInvalidAddress, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = c.bytes;
    bytes.push_back(0);
    FLTDwarfReader reader = FLTDwarfReaderMake(addressOf(bytes), c.bytes.size());
    const std::uint64_t value = FLTParseAddressWithEncodingAndAdvance(&reader, c.encoding);
    const std::uint64_t expected =
        c.pcRelativeOffset != 0 ? addressOf(bytes) + c.pcRelativeOffset : c.expected;
    EXPECT_EQ(value, expected);
    if (value != kFLTDwarfInvalidAddress) {
      EXPECT_EQ(reader.position - addressOf(bytes), c.consumed);
    }
  }
  EXPECT_EQ(FLTParseAddressWithEncodingAndAdvance(nullptr, 0x03), kFLTDwarfInvalidAddress);
}

// ---- CIE and FDE --------------------------------------------------------------

TEST(FLTDwarfRecordTest, ParsesTheCommonZRCIEAndItsFDE) {
  const Section s = Section::make(kCIEProgram, {0x41, 0x0E, 0x10}, kBegin, 0x40);
  FLTDwarfFDERecord fde;
  ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, s.fde(), s.end()));
  EXPECT_EQ(fde.cie.version, 1);
  EXPECT_EQ(fde.cie.codeAlignmentFactor, 1u);
  EXPECT_EQ(fde.cie.dataAlignmentFactor, -8);
  EXPECT_EQ(fde.cie.returnAddressRegister, 16u);
  EXPECT_EQ(fde.cie.pointerEncoding, 0x00);
  EXPECT_TRUE(FLTDwarfCIESupportsAugmentation(fde.cie));
  EXPECT_EQ(fde.cie.instructionsLength, kCIEProgram.size());
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(fde.cie.instructions), kCIEProgram.data(),
                        kCIEProgram.size()), 0);
  EXPECT_EQ(fde.pcBegin, kBegin);
  EXPECT_EQ(fde.pcRange, 0x40u);
  EXPECT_EQ(fde.instructionsLength, 3u);
}

TEST(FLTDwarfRecordTest, ParsesPersonalityLSDAAndSignalFrameAugmentations) {
  // zPLRS: personality pc-relative indirect sdata4 (0x9B), LSDA pcrel sdata4, FDE pointers absolute.
  Section s = Section::make(kCIEProgram, {}, kBegin, 0x10, "zPLRS", {0x9B, 0, 0, 0, 0, 0x1B, 0x00});
  // The personality routine's address, in a slot after the section so the
  // 32-bit pc-relative field reaches it.
  const std::size_t slot = s.bytes.size();
  put<std::uint64_t>(&s.bytes, 0xFEEDFACE);
  // The field follows its encoding byte: length, id, version, "zPLRS\0",
  // code and data alignment, return register, augmentation length, encoding.
  const std::size_t field = 4 + 4 + 1 + 6 + 1 + 1 + 1 + 1 + 1;
  const auto relative = static_cast<std::int32_t>(slot - field);
  std::memcpy(s.bytes.data() + field, &relative, 4);
  FLTDwarfCIERecord cie;
  ASSERT_TRUE(FLTDwarfParseCIERecord(&cie, s.start(), s.end()));
  EXPECT_EQ(cie.personality, 0xFEEDFACEu);
  EXPECT_EQ(cie.lsdaEncoding, 0x1B);
  EXPECT_TRUE(cie.signalFrame);
  EXPECT_EQ(cie.instructionsLength, kCIEProgram.size());
}

TEST(FLTDwarfRecordTest, RefusesBrokenRecords) {
  struct Case {
    const char* name;
    Section section;
    std::size_t cut;  // bytes cut from the end of the section bound (0: none)
  };
  Section version2 = Section::make(kCIEProgram, {}, kBegin, 0x10);
  version2.bytes[8] = 2;
  Section zeroFDE = Section::make(kCIEProgram, {}, kBegin, 0x10);
  std::memset(zeroFDE.bytes.data() + zeroFDE.fdeOffset, 0, 4);
  Section ciePointerZero = Section::make(kCIEProgram, {}, kBegin, 0x10);
  std::memset(ciePointerZero.bytes.data() + ciePointerZero.fdeOffset + 4, 0, 4);
  Section ciePointerOutside = Section::make(kCIEProgram, {}, kBegin, 0x10);
  const std::uint32_t far = 0x7FFFFFF0;
  std::memcpy(ciePointerOutside.bytes.data() + ciePointerOutside.fdeOffset + 4, &far, 4);
  Section cieLengthZero = Section::make(kCIEProgram, {}, kBegin, 0x10);
  std::memset(cieLengthZero.bytes.data(), 0, 4);
  Section cieTooLong = Section::make(kCIEProgram, {}, kBegin, 0x10);
  const std::uint32_t huge = 0x7FFFFFFF;
  std::memcpy(cieTooLong.bytes.data(), &huge, 4);
  const Case cases[] = {
      {"augmentation M", Section::make(kCIEProgram, {}, kBegin, 0x10, "M", {}), 0},
      {"unknown augmentation letter", Section::make(kCIEProgram, {}, kBegin, 0x10, "zX", {0}), 0},
      {"augmentation data shorter than its letters", Section::make(kCIEProgram, {}, kBegin, 0x10, "zRL", {0}), 0},
      {"CIE version 2", version2, 0},
      {"FDE length zero", zeroFDE, 0},
      {"CIE pointer zero", ciePointerZero, 0},
      {"CIE pointer before the address space", ciePointerOutside, 0},
      {"CIE length zero", cieLengthZero, 0},
      {"CIE length past the section", cieTooLong, 0},
      {"FDE cut short", Section::make(kCIEProgram, {0x41, 0x0E, 0x10}, kBegin, 0x10), 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FLTDwarfFDERecord fde;
    EXPECT_FALSE(FLTDwarfParseFDERecord(&fde, true, nullptr, c.section.fde(), c.section.end() - c.cut));
  }
}

// ---- call-frame instructions ----------------------------------------------------

struct RowCase {
  const char* name;
  Bytes fdeProgram;
  std::int64_t pcOffset;
  bool ok;
  std::uint64_t cfaRegister;
  std::int64_t cfaOffset;
  std::uint64_t reg;  // the register whose rule is checked
  std::uint32_t kind;
  std::int64_t value;
};

TEST(FLTDwarfInstructionsTest, RowsForPCOffsets) {
  const Bytes pushRBP = {0x41, 0x0E, 0x10, 0x86, 0x02};  // at 1: CFA rsp+16, rbp at CFA-16
  const Bytes expr = {0x77, 0x08};                        // breg7 +8
  Bytes defCFAExpression = {0x0F};
  append(&defCFAExpression, block(expr));
  Bytes expression = {0x10, 0x03};
  append(&expression, block(expr));
  Bytes valExpression = {0x16, 0x03};
  append(&valExpression, block(expr));
  const RowCase cases[] = {
      {"PC at the FDE start runs only the CIE", pushRBP, 0, true, 7, 8, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"row at the advanced location applies there", pushRBP, 1, true, 7, 16, 6, kFLTDwarfRuleOffsetFromCFA, -16},
      {"row holds after it", pushRBP, 30, true, 7, 16, 6, kFLTDwarfRuleOffsetFromCFA, -16},
      {"advance_loc1", {0x02, 0x04, 0x0E, 0x20}, 3, true, 7, 8, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"advance_loc1 reached", {0x02, 0x04, 0x0E, 0x20}, 4, true, 7, 32, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"advance_loc2", {0x03, 0x00, 0x01, 0x0E, 0x20}, 0x100, true, 7, 32, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"advance_loc2 short of it", {0x03, 0x00, 0x01, 0x0E, 0x20}, 0xFF, true, 7, 8, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"advance_loc4", {0x04, 0x00, 0x00, 0x01, 0x00, 0x0E, 0x20}, 0x10000, true, 7, 32, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"def_cfa", {0x0C, 0x06, 0x10}, 0, true, 6, 16, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"def_cfa_sf", {0x12, 0x06, 0x7E}, 0, true, 6, 16, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"def_cfa_register keeps the offset", {0x0D, 0x06}, 0, true, 6, 8, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"def_cfa_offset_sf", {0x13, 0x7C}, 0, true, 7, 32, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"offset_extended", {0x05, 0x03, 0x03}, 0, true, 7, 8, 3, kFLTDwarfRuleOffsetFromCFA, -24},
      {"offset_extended_sf", {0x11, 0x03, 0x7D}, 0, true, 7, 8, 3, kFLTDwarfRuleOffsetFromCFA, 24},
      {"register", {0x09, 0x03, 0x0C}, 0, true, 7, 8, 3, kFLTDwarfRuleInRegister, 12},
      {"same_value", {0x83, 0x02, 0x08, 0x03}, 0, true, 7, 8, 3, kFLTDwarfRuleUnchanged, 0},
      {"undefined return address", {0x07, 0x10}, 0, true, 7, 8, 16, kFLTDwarfRuleUndefined, 0},
      {"val_offset", {0x14, 0x03, 0x02}, 0, true, 7, 8, 3, kFLTDwarfRuleValueOffsetFromCFA, -16},
      {"restore goes back to the CIE rule", {0x90, 0x05, 0xD0}, 0, true, 7, 8, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"restore_extended", {0x83, 0x02, 0x06, 0x03}, 0, true, 7, 8, 3, kFLTDwarfRuleUnchanged, 0},
      {"remember then restore state",
       {0x41, 0x0E, 0x10, 0x86, 0x02, 0x0A, 0x41, 0x0E, 0x08, 0xC6, 0x41, 0x0B}, 2, true, 7, 8, 6,
       kFLTDwarfRuleUnchanged, 0},
      {"restored state applies after restore_state",
       {0x41, 0x0E, 0x10, 0x86, 0x02, 0x0A, 0x41, 0x0E, 0x08, 0xC6, 0x41, 0x0B}, 3, true, 7, 16, 6,
       kFLTDwarfRuleOffsetFromCFA, -16},
      {"GNU_args_size is skipped", {0x2E, 0x10, 0x0E, 0x18}, 0, true, 7, 24, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"nop", {0x00, 0x00}, 0, true, 7, 8, 16, kFLTDwarfRuleOffsetFromCFA, -8},
      {"def_cfa_expression", defCFAExpression, 0, true, kFLTDwarfCFAExpressionRegister, 8, 16,
       kFLTDwarfRuleOffsetFromCFA, -8},
      {"expression", expression, 0, true, 7, 8, 3, kFLTDwarfRuleAtExpression, 0},
      {"val_expression", valExpression, 0, true, 7, 8, 3, kFLTDwarfRuleValueExpression, 0},
      {"offset of register 17", {0x05, 0x11, 0x01}, 0, false, 0, 0, 0, 0, 0},
      {"def_cfa of register 20", {0x0C, 0x14, 0x08}, 0, false, 0, 0, 0, 0, 0},
      {"def_cfa_register 17", {0x0D, 0x11}, 0, false, 0, 0, 0, 0, 0},
      {"register into register 40", {0x09, 0x03, 0x28}, 0, false, 0, 0, 0, 0, 0},
      {"expression for register 17", {0x10, 0x11, 0x01, 0x30}, 0, false, 0, 0, 0, 0, 0},
      {"restore_state without remember", {0x0B}, 0, false, 0, 0, 0, 0, 0},
      {"remember_state nested too deep",
       {0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A, 0x0A}, 0, false, 0, 0, 0, 0, 0},
      {"unrecognised opcode", {0x20}, 0, false, 0, 0, 0, 0, 0},
      {"GNU_window_save", {0x2D}, 0, false, 0, 0, 0, 0, 0},
      {"operand cut off", {0x0C, 0x07}, 0, false, 0, 0, 0, 0, 0},
      {"expression block runs past the end", {0x0F, 0x09, 0x30}, 0, false, 0, 0, 0, 0, 0},
  };
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Section s = Section::make(kCIEProgram, c.fdeProgram, kBegin, 0x20000);
    FLTDwarfFDERecord fde;
    ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, s.fde(), s.end()));
    FLTDwarfRow row;
    const bool ok = FLTDwarfComputeRow(fde, kBegin + c.pcOffset, &row);
    ASSERT_EQ(ok, c.ok);
    if (!ok) continue;
    EXPECT_EQ(row.cfaRegister, c.cfaRegister);
    if (c.cfaRegister != kFLTDwarfCFAExpressionRegister) {
      EXPECT_EQ(row.cfaOffset, c.cfaOffset);
    }
    EXPECT_EQ(row.registers[c.reg].kind, c.kind);
    if (c.kind != kFLTDwarfRuleAtExpression && c.kind != kFLTDwarfRuleValueExpression) {
      EXPECT_EQ(row.registers[c.reg].value, c.value);
    }
  }
}

// The offset rules scale their operand by the data alignment factor (-8
// here). Hostile CFI can push the product past 64 bits: the step must fail,
// not wrap round to some other offset.
TEST(FLTDwarfInstructionsTest, OffsetsBeyondSixtyFourBitsFailTheStep) {
  const auto program = [](std::initializer_list<std::uint8_t> head, std::uint64_t operand,
                          bool isSigned) {
    Bytes out(head);
    if (isSigned) {
      sleb(&out, static_cast<std::int64_t>(operand));
    } else {
      uleb(&out, operand);
    }
    return out;
  };
  constexpr std::uint64_t kLimit = 1ull << 60;  // × -8 is the most negative 64-bit value
  const RowCase cases[] = {
      {"offset at the limit", program({0x83}, kLimit, false), 0, true, 7, 8, 3,
       kFLTDwarfRuleOffsetFromCFA, INT64_MIN},
      {"offset past it", program({0x83}, kLimit + 1, false), 0, false, 0, 0, 0, 0, 0},
      {"offset above the signed range", program({0x83}, 1ull << 63, false), 0, false, 0, 0, 0, 0, 0},
      {"offset_extended", program({0x05, 0x03}, kLimit + 1, false), 0, false, 0, 0, 0, 0, 0},
      {"val_offset", program({0x14, 0x03}, ~0ull, false), 0, false, 0, 0, 0, 0, 0},
      {"offset_extended_sf", program({0x11, 0x03}, static_cast<std::uint64_t>(INT64_MIN), true), 0,
       false, 0, 0, 0, 0, 0},
      {"val_offset_sf", program({0x15, 0x03}, 1ull << 61, true), 0, false, 0, 0, 0, 0, 0},
      {"def_cfa_sf", program({0x12, 0x06}, 1ull << 61, true), 0, false, 0, 0, 0, 0, 0},
      {"def_cfa_offset_sf", program({0x13}, static_cast<std::uint64_t>(-(1ll << 61)), true), 0,
       false, 0, 0, 0, 0, 0},
      {"GNU_negative_offset_extended", program({0x2F, 0x03}, 2, false), 0, true, 7, 8, 3,
       kFLTDwarfRuleOffsetFromCFA, 16},
      // -8 × 2^60 fits; its negation does not.
      {"GNU_negative_offset_extended whose negation overflows", program({0x2F, 0x03}, kLimit, false),
       0, false, 0, 0, 0, 0, 0},
  };
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Section s = Section::make(kCIEProgram, c.fdeProgram, kBegin, 0x20);
    FLTDwarfFDERecord fde;
    ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, s.fde(), s.end()));
    FLTDwarfRow row;
    ASSERT_EQ(FLTDwarfComputeRow(fde, kBegin, &row), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(row.cfaOffset, c.cfaOffset);
    EXPECT_EQ(row.registers[c.reg].kind, c.kind);
    EXPECT_EQ(row.registers[c.reg].value, c.value);
  }
}

TEST(FLTDwarfInstructionsTest, PCOutsideTheFDEIsRefused) {
  const Section s = Section::make(kCIEProgram, {}, kBegin, 0x20);
  FLTDwarfFDERecord fde;
  ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, s.fde(), s.end()));
  FLTDwarfRow row;
  EXPECT_FALSE(FLTDwarfComputeRow(fde, kBegin - 1, &row));
  EXPECT_FALSE(FLTDwarfComputeRow(fde, kBegin + 0x20, &row));
  EXPECT_TRUE(FLTDwarfComputeRow(fde, kBegin + 0x1F, &row));
}

// ---- expression machine ---------------------------------------------------------

TEST(FLTDwarfExpressionTest, Evaluates) {
  static std::uint64_t memory = 0x1122334455667788;
  Bytes addr = {0x03};
  put<std::uint64_t>(&addr, reinterpret_cast<std::uintptr_t>(&memory));
  Bytes deref = addr;
  deref.push_back(0x06);
  Bytes deref4 = addr;
  append(&deref4, {0x94, 0x04});
  Bytes deref1 = addr;
  append(&deref1, {0x94, 0x01});
  FLTMachineState registers{};
  registers.rsp = 0x7000;
  registers.rip = 0x401234;
  registers.rbx = 40;
  struct Case {
    const char* name;
    Bytes ops;
    std::uint64_t initial;
    bool ok;
    std::uint64_t result;
  };
  const auto neg = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
  const Case cases[] = {
      {"lit5 lit3 plus on top of the initial value", {0x35, 0x33, 0x22}, 0, true, 8},
      {"initial value alone", {0x96}, 42, true, 42},
      {"plus_uconst", {0x23, 0x1C}, 100, true, 128},
      {"breg7 + 8", {0x77, 0x08}, 0, true, 0x7008},
      {"breg3 - 2", {0x73, 0x7E}, 0, true, 38},
      {"bregx 3", {0x92, 0x03, 0x01}, 0, true, 41},
      {"deref", deref, 0, true, memory},
      {"deref_size 4", deref4, 0, true, 0x55667788},
      {"deref_size 1", deref1, 0, true, 0x88},
      {"const1s", {0x09, 0xFF}, 0, true, neg(-1)},
      {"const2u", {0x0A, 0x34, 0x12}, 0, true, 0x1234},
      {"const4s", {0x0D, 0xFE, 0xFF, 0xFF, 0xFF}, 0, true, neg(-2)},
      {"constu", {0x10, 0xE5, 0x8E, 0x26}, 0, true, 624485},
      {"consts", {0x11, 0x7F}, 0, true, neg(-1)},
      {"minus", {0x39, 0x33, 0x1C}, 0, true, 6},
      {"div is signed", {0x09, 0xF7, 0x33, 0x1B}, 0, true, neg(-3)},
      {"mod", {0x3A, 0x33, 0x1D}, 0, true, 1},
      {"mul", {0x36, 0x37, 0x1E}, 0, true, 42},
      {"and", {0x3F, 0x36, 0x1A}, 0, true, 6},
      {"or xor", {0x31, 0x32, 0x21, 0x33, 0x27}, 0, true, 0},
      {"shl shr", {0x31, 0x34, 0x24, 0x32, 0x25}, 0, true, 4},
      {"shra keeps the sign", {0x09, 0xF0, 0x32, 0x26}, 0, true, neg(-4)},
      {"shift by 64 or more", {0x31, 0x08, 0x40, 0x24}, 0, true, 0},
      {"neg not abs", {0x35, 0x1F, 0x19, 0x20}, 0, true, ~5ull},
      {"comparisons", {0x33, 0x35, 0x2D, 0x33, 0x35, 0x2A, 0x22}, 0, true, 1},
      {"eq ne", {0x33, 0x33, 0x29, 0x31, 0x2E}, 0, true, 0},
      {"dup drop over", {0x35, 0x12, 0x22, 0x13, 0x33, 0x14, 0x22}, 7, true, 10},
      {"pick swap rot", {0x31, 0x32, 0x33, 0x15, 0x02, 0x16, 0x17}, 0, true, 1},
      {"bra taken skips", {0x31, 0x28, 0x01, 0x00, 0x3F, 0x37}, 0, true, 7},
      {"bra not taken", {0x30, 0x28, 0x01, 0x00, 0x3F}, 0, true, 15},
      {"skip", {0x2F, 0x01, 0x00, 0x3F, 0x36}, 0, true, 6},
      {"PLT entry CFA",
       {0x77, 0x08, 0x80, 0x00, 0x3F, 0x1A, 0x3B, 0x2A, 0x33, 0x24, 0x22}, 0, true, 0x7008},
      {"underflow", {0x13, 0x13}, 0, false, 0},
      {"binary op on one entry", {0x22}, 0, false, 0},
      {"swap on one entry", {0x16}, 0, false, 0},
      {"pick past the bottom", {0x15, 0x01}, 0, false, 0},
      {"div by zero", {0x35, 0x30, 0x1B}, 0, false, 0},
      {"div overflow", {0x0E, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x09, 0xFF, 0x1B}, 0, false, 0},
      {"mod by zero", {0x35, 0x30, 0x1D}, 0, false, 0},
      {"bad opcode", {0xFF}, 0, false, 0},
      {"DW_OP_reg is not a location here", {0x50}, 0, false, 0},
      {"breg17", {0x81, 0x00}, 0, false, 0},
      {"deref_size 3", {0x35, 0x94, 0x03}, 0, false, 0},
      {"deref of an invalid address", {0x38, 0x06}, 0, false, 0},
      {"skip out of the block", {0x2F, 0x10, 0x00}, 0, false, 0},
      {"skip before the block", {0x2F, 0xF0, 0xFF}, 0, false, 0},
      {"endless loop", {0x2F, 0xFD, 0xFF}, 0, false, 0},
      {"operand cut off", {0x0C, 0x01, 0x02}, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes expression = block(c.ops);
    std::uint64_t result = 0;
    ASSERT_EQ(FLTDwarfEvalulateExpression(addressOf(expression), &registers, c.initial, &result), c.ok);
    if (c.ok) {
      EXPECT_EQ(result, c.result);
    }
  }
}

TEST(FLTDwarfExpressionTest, StackHoldsOneHundredEntries) {
  FLTMachineState registers{};
  std::uint64_t result = 0;
  const Bytes full = block(Bytes(99, 0x31));  // the initial value and 99 more
  EXPECT_TRUE(FLTDwarfEvalulateExpression(addressOf(full), &registers, 0, &result));
  const Bytes overflow = block(Bytes(100, 0x31));
  EXPECT_FALSE(FLTDwarfEvalulateExpression(addressOf(overflow), &registers, 0, &result));
  const Bytes empty = {0x00};
  EXPECT_FALSE(FLTDwarfEvalulateExpression(addressOf(empty), &registers, 0, &result));
  EXPECT_FALSE(FLTDwarfEvalulateExpression(16, &registers, 0, &result));
  EXPECT_FALSE(FLTDwarfEvalulateExpression(addressOf(full), &registers, 0, nullptr));
}

// ---- register computation and FDE lookup -------------------------------------------

TEST(FLTDwarfComputeTest, RestoresTheCallersRegistersFromTheStack) {
  // Function at kBegin: push rbp at offset 0; the PC stops after it.
  const Section s = Section::make(kCIEProgram, {0x41, 0x0E, 0x10, 0x86, 0x02}, kBegin, 0x40);
  FLTDwarfFDERecord fde;
  ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, s.fde(), s.end()));
  std::uint64_t stack[4] = {0x5A5A5A5A, 0x401000, 0, 0};  // saved rbp, return address
  FLTMachineState state{};
  state.rip = kBegin + 5;
  state.rsp = reinterpret_cast<std::uintptr_t>(&stack[0]);
  state.rbp = 1;
  state.rbx = 77;
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state);
  ASSERT_TRUE(FLTDwarfUnwindComputeRegisters(fde, &cursor));
  EXPECT_EQ(cursor.registers.rip, 0x401000u);
  EXPECT_EQ(cursor.registers.rsp, reinterpret_cast<std::uintptr_t>(&stack[2]));
  EXPECT_EQ(cursor.registers.rbp, 0x5A5A5A5Au);
  EXPECT_EQ(cursor.registers.rbx, 77u) << "registers without a rule keep their value";
}

TEST(FLTDwarfComputeTest, UndefinedReturnAddressEndsTheStackAndUnmovedSPFails) {
  const Section end = Section::make(kCIEProgram, {0x07, 0x10}, kBegin, 0x40);
  FLTDwarfFDERecord fde;
  ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, end.fde(), end.end()));
  std::uint64_t stack[2] = {0x401000, 0};
  FLTMachineState state{};
  state.rip = kBegin;
  state.rsp = reinterpret_cast<std::uintptr_t>(&stack[0]);
  FLTUnwindCursor cursor;
  FLTUnwindCursorInit(&cursor, state);
  ASSERT_TRUE(FLTDwarfUnwindComputeRegisters(fde, &cursor));
  EXPECT_EQ(cursor.registers.rip, 0u);

  const Section still = Section::make(kCIEProgram, {0x0E, 0x00}, kBegin, 0x40);  // CFA = rsp
  ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, still.fde(), still.end()));
  FLTUnwindCursorInit(&cursor, state);
  EXPECT_FALSE(FLTDwarfUnwindComputeRegisters(fde, &cursor));
  EXPECT_EQ(cursor.registers.rip, kBegin) << "a failed step leaves the cursor alone";

  const Section lost = Section::make(kCIEProgram, {0x90, 0x7F}, kBegin, 0x40);  // RA far above the stack
  ASSERT_TRUE(FLTDwarfParseFDERecord(&fde, true, nullptr, lost.fde(), lost.end()));
  FLTUnwindCursorInit(&cursor, state);
  cursor.registers.rsp = 0x1000;  // CFA - 8 * 127 wraps below 4096: unreadable
  ASSERT_TRUE(FLTDwarfUnwindComputeRegisters(fde, &cursor));
  EXPECT_EQ(cursor.registers.rip, 0u) << "an unreadable return address reads as 0";
}

// Three functions, an .eh_frame_hdr table over them and the same section
// scanned linearly.
struct ThreeFunctions {
  Bytes bytes;
  std::size_t hdr = 0;
  std::size_t frame = 0;

  std::uint64_t text = 0;

  ThreeFunctions() {
    // Header first so its offsets to the section are positive; the fake
    // text lies just above the buffer so 32-bit table offsets reach it.
    bytes.reserve(1024);
    text = addressOf(bytes) + 0x10000;
    const std::uint64_t begins[3] = {text, text + 0x100, text + 0x300};
    const std::uint64_t ranges[3] = {0x100, 0x80, 0x40};
    bytes.resize(4 + 4 + 4 + 3 * 8);
    frame = bytes.size();
    Bytes cie;
    put<std::uint32_t>(&cie, 0);
    append(&cie, {1, 'z', 'R', 0, 1, 0x78, 16, 1, 0x00});
    append(&cie, kCIEProgram);
    put<std::uint32_t>(&bytes, static_cast<std::uint32_t>(cie.size()));
    append(&bytes, cie);
    std::size_t fdes[3];
    for (int i = 0; i < 3; ++i) {
      fdes[i] = bytes.size();
      Bytes fde;
      put<std::uint32_t>(&fde, static_cast<std::uint32_t>(fdes[i] + 4 - frame));
      put<std::uint64_t>(&fde, begins[i]);
      put<std::uint64_t>(&fde, ranges[i]);
      fde.push_back(0);
      append(&fde, {0x0E, static_cast<std::uint8_t>(16 + 8 * i)});
      put<std::uint32_t>(&bytes, static_cast<std::uint32_t>(fde.size()));
      append(&bytes, fde);
    }
    put<std::uint32_t>(&bytes, 0);
    const std::uintptr_t base = addressOf(bytes);
    std::uint8_t* h = bytes.data();
    h[0] = 1;
    h[1] = 0x1B;  // eh_frame pointer pcrel sdata4
    h[2] = 0x03;  // count udata4
    h[3] = 0x3B;  // table datarel sdata4
    const std::int32_t framePointer = static_cast<std::int32_t>(frame - 4);
    std::memcpy(h + 4, &framePointer, 4);
    const std::uint32_t count = 3;
    std::memcpy(h + 8, &count, 4);
    for (int i = 0; i < 3; ++i) {
      const std::int32_t entry[2] = {
          static_cast<std::int32_t>(static_cast<std::int64_t>(begins[i]) - static_cast<std::int64_t>(base)),
          static_cast<std::int32_t>(fdes[i])};
      std::memcpy(h + 12 + 8 * i, entry, 8);
    }
  }
  std::uintptr_t header() const { return addressOf(bytes); }
  std::uintptr_t ehFrame() const { return addressOf(bytes) + frame; }
};

TEST(FLTDwarfFindFDETest, FindsThroughTheTableAndByScanning) {
  const ThreeFunctions f;
  ASSERT_LE(f.bytes.size(), 1024u);
  struct Case {
    std::uintptr_t offset;
    bool found;
    std::int64_t cfaOffset;
  };
  const Case cases[] = {{0, true, 16},     {0xFF, true, 16},   {0x100, true, 24}, {0x180, false, 0},
                        {0x320, true, 32}, {0x33F, true, 32}, {0x340, false, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    const std::uintptr_t pc = f.text + c.offset;
    for (const bool useTable : {true, false}) {
      SCOPED_TRACE(useTable ? "table" : "scan");
      FLTDwarfFDERecord fde;
      const bool found = FLTDwarfFindFDE(useTable ? f.header() : 0, f.ehFrame(), pc, &fde);
      ASSERT_EQ(found, c.found);
      if (!found) continue;
      FLTDwarfRow row;
      ASSERT_TRUE(FLTDwarfComputeRow(fde, pc, &row));
      EXPECT_EQ(row.cfaOffset, c.cfaOffset);
    }
  }
}

// ---- hostile input ----------------------------------------------------------------

// A section that ends exactly at an inaccessible page: every cut of it must
// be refused without touching the guard page.
TEST(FLTDwarfHostileTest, TruncatedSectionsAgainstAGuardPageEndCleanly) {
  const long page = sysconf(_SC_PAGESIZE);
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* base = static_cast<std::uint8_t*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  const Section s = Section::make(kCIEProgram, {0x41, 0x0E, 0x10, 0x86, 0x02}, kBegin, 0x40);
  const std::size_t full = s.bytes.size() - 4;  // without the terminator
  for (std::size_t cut = 1; cut < full; ++cut) {
    SCOPED_TRACE(cut);
    std::uint8_t* start = base + page - cut;
    std::memcpy(start, s.bytes.data(), cut);
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    FLTDwarfFDERecord fde;
    FLTDwarfRow row;
    EXPECT_FALSE(FLTDwarfFindFDE(0, address, kBegin + 1, &fde) && FLTDwarfComputeRow(fde, kBegin + 1, &row));
    if (cut > s.fdeOffset) {
      EXPECT_FALSE(FLTDwarfParseFDERecord(&fde, true, nullptr, address + s.fdeOffset));
    }
  }
  munmap(map, 2 * page);
}

TEST(FLTDwarfHostileTest, RandomBytesNeverFault) {
  std::mt19937 random(1234);
  const long page = sysconf(_SC_PAGESIZE);
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  auto* base = static_cast<std::uint8_t*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  FLTMachineState state{};
  std::uint64_t stack[8] = {};
  state.rsp = reinterpret_cast<std::uintptr_t>(stack);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t size = 16 + random() % 240;
    std::uint8_t* start = base + page - size;
    for (std::size_t i = 0; i < size; ++i) start[i] = static_cast<std::uint8_t>(random());
    if (round % 2 == 0) std::memcpy(start + 4, "\0\0\0\0\1zR\0", 8);  // a plausible CIE head
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    FLTDwarfFDERecord fde;
    if (FLTDwarfFindFDE(round % 3 == 0 ? address : 0, address, kBegin, &fde)) {
      FLTDwarfRow row;
      if (FLTDwarfComputeRow(fde, kBegin, &row)) {
        std::uint64_t cfa = 0;
        (void)FLTDwarfGetCFA(row, state, &cfa);
      }
    }
    std::uint64_t result = 0;
    (void)FLTDwarfEvalulateExpression(address, &state, 0, &result);
  }
  munmap(map, 2 * page);
}

}  // namespace
}  // namespace vandrel::crash
