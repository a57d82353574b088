#include "crash/unwind/flt_dwarf_expression.h"

#include <cstring>

#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_utilities.h"

namespace vandrel::crash {
namespace {

std::uint64_t* registerSlot(FLTMachineState* r, std::uint64_t number) noexcept {
  switch (number) {
    case 0: return &r->rax;
    case 1: return &r->rdx;
    case 2: return &r->rcx;
    case 3: return &r->rbx;
    case 4: return &r->rsi;
    case 5: return &r->rdi;
    case 6: return &r->rbp;
    case 7: return &r->rsp;
    case 8: return &r->r8;
    case 9: return &r->r9;
    case 10: return &r->r10;
    case 11: return &r->r11;
    case 12: return &r->r12;
    case 13: return &r->r13;
    case 14: return &r->r14;
    case 15: return &r->r15;
    case 16: return &r->rip;
    default: return nullptr;
  }
}

bool readBytes(FLTDwarfReader* reader, void* out, std::size_t size) noexcept {
  if (reader == nullptr || reader->failed) return false;
  if (reader->position > reader->end || reader->end - reader->position < size ||
      !FLTReadMemory(reader->position, out, size)) {
    reader->failed = true;
    return false;
  }
  reader->position += size;
  return true;
}

// Reads LEB128 bytes; `*shift` ends as the number of value bits taken and
// `*last` as the final byte.
bool readLEB128(FLTDwarfReader* reader, std::uint64_t* value, unsigned* shift,
                std::uint8_t* last) noexcept {
  std::uint64_t result = 0;
  unsigned bits = 0;
  std::uint8_t byte = 0;
  do {
    if (!FLTDwarfRead8(reader, &byte)) return false;
    if (bits < 64) result |= static_cast<std::uint64_t>(byte & 0x7F) << bits;
    if (bits < 64) bits += 7;
  } while ((byte & 0x80) != 0);
  *value = result;
  *shift = bits;
  *last = byte;
  return true;
}

// Stack rules: a broken one leaves the machine invalid.
bool push(FLTDwarfExpressionMachine* m, std::uint64_t value) noexcept {
  if (m->depth >= kFLTDwarfExpressionStackSize) {
    FLT_SDK_LOG_WARN("Error: DWARF expression stack overflow\n");
    m->invalid = true;
    return false;
  }
  m->stack[m->depth++] = value;
  return true;
}

bool pop(FLTDwarfExpressionMachine* m, std::uint64_t* value) noexcept {
  if (m->depth == 0) {
    FLT_SDK_LOG_WARN("Error: DWARF expression stack underflow\n");
    m->invalid = true;
    return false;
  }
  *value = m->stack[--m->depth];
  return true;
}

bool peek(FLTDwarfExpressionMachine* m, std::size_t fromTop, std::uint64_t* value) noexcept {
  if (fromTop >= m->depth) {
    FLT_SDK_LOG_WARN("Error: DWARF expression stack underflow\n");
    m->invalid = true;
    return false;
  }
  *value = m->stack[m->depth - 1 - fromTop];
  return true;
}

bool derefSized(FLTDwarfExpressionMachine* m, std::uint8_t size) noexcept {
  std::uint64_t address = 0;
  if (!pop(m, &address)) return false;
  std::uint64_t value = 0;  // little-endian: the low bytes fill first
  if (!FLTReadMemory(static_cast<std::uintptr_t>(address), &value, size)) {
    FLT_SDK_LOG_WARN("Error: DW_OP_deref failed to read memory\n");
    return false;
  }
  return push(m, value);
}

bool binary(FLTDwarfExpressionMachine* m, std::uint8_t opcode) noexcept {
  std::uint64_t a = 0, b = 0;  // a: the top, b: the entry below it
  if (!pop(m, &a) || !pop(m, &b)) return false;
  const auto sa = static_cast<std::int64_t>(a), sb = static_cast<std::int64_t>(b);
  std::uint64_t r = 0;
  switch (opcode) {
    case 0x1A: FLT_SDK_LOG_DEBUG("DW_OP_plus_and\n"); r = a & b; break;
    case 0x1B:
      if (a == 0 || (sa == -1 && sb == INT64_MIN)) {
        FLT_SDK_LOG_WARN("Error: DW_OP_div by zero or overflow\n");
        return false;
      }
      r = static_cast<std::uint64_t>(sb / sa);
      break;
    case 0x1C: r = b - a; break;
    case 0x1D:
      if (a == 0) {
        FLT_SDK_LOG_WARN("Error: DW_OP_mod by zero\n");
        return false;
      }
      r = b % a;
      break;
    case 0x1E: r = a * b; break;
    case 0x21: r = a | b; break;
    case 0x22: FLT_SDK_LOG_DEBUG("DW_OP_plus\n"); r = a + b; break;
    case 0x24: r = a >= 64 ? 0 : b << a; break;
    case 0x25: r = a >= 64 ? 0 : b >> a; break;
    case 0x26: r = static_cast<std::uint64_t>(a >= 64 ? (sb < 0 ? -1 : 0) : (sb >> a)); break;
    case 0x27: r = a ^ b; break;
    case 0x29: r = sb == sa; break;
    case 0x2A: r = sb >= sa; break;
    case 0x2B: r = sb > sa; break;
    case 0x2C: r = sb <= sa; break;
    case 0x2D: r = sb < sa; break;
    case 0x2E: FLT_SDK_LOG_DEBUG("DW_OP_ne\n"); r = a != b; break;
    default: return false;
  }
  return push(m, r);
}

// DW_OP_bra / DW_OP_skip: the target must stay inside the block.
bool branch(FLTDwarfExpressionMachine* m, bool taken) noexcept {
  std::uint16_t raw = 0;
  if (!FLTDwarfRead16(&m->reader, &raw)) return false;
  if (!taken) return true;
  const auto offset = static_cast<std::int16_t>(raw);
  const std::uintptr_t target = m->reader.position + static_cast<std::intptr_t>(offset);
  if ((offset < 0 && target > m->reader.position) || (offset > 0 && target < m->reader.position) ||
      target < m->start || target > m->reader.end) {
    FLT_SDK_LOG_WARN("Error: DWARF expression branch leaves the expression\n");
    return false;
  }
  m->reader.position = target;
  return true;
}

bool constant(FLTDwarfExpressionMachine* m, std::uint8_t opcode) noexcept {
  FLTDwarfReader* r = &m->reader;
  std::uint64_t value = 0;
  switch (opcode) {
    case 0x03: case 0x0E: case 0x0F: return FLTDwarfRead64(r, &value) && push(m, value);
    case 0x08: { std::uint8_t v; return FLTDwarfRead8(r, &v) && push(m, v); }
    case 0x09: { std::uint8_t v; return FLTDwarfRead8(r, &v) && push(m, static_cast<std::uint64_t>(static_cast<std::int8_t>(v))); }
    case 0x0A: { std::uint16_t v; return FLTDwarfRead16(r, &v) && push(m, v); }
    case 0x0B: { std::uint16_t v; return FLTDwarfRead16(r, &v) && push(m, static_cast<std::uint64_t>(static_cast<std::int16_t>(v))); }
    case 0x0C: { std::uint32_t v; return FLTDwarfRead32(r, &v) && push(m, v); }
    case 0x0D: { std::uint32_t v; return FLTDwarfRead32(r, &v) && push(m, static_cast<std::uint64_t>(static_cast<std::int32_t>(v))); }
    case 0x10: return FLTDwarfReadULEB128(r, &value) && push(m, value);
    case 0x11: { std::int64_t v; return FLTDwarfReadSLEB128(r, &v) && push(m, static_cast<std::uint64_t>(v)); }
    default: return false;
  }
}

bool stackOp(FLTDwarfExpressionMachine* m, std::uint8_t opcode) noexcept {
  std::uint64_t a = 0, b = 0, c = 0;
  switch (opcode) {
    case 0x12:
      if (!peek(m, 0, &a)) return false;
      FLT_SDK_LOG_DEBUG("DW_OP_dup value %lu\n", a);
      return push(m, a);
    case 0x13: return pop(m, &a);
    case 0x14: return peek(m, 1, &a) && push(m, a);
    case 0x15: {
      std::uint8_t index = 0;
      return FLTDwarfRead8(&m->reader, &index) && peek(m, index, &a) && push(m, a);
    }
    case 0x16:
      FLT_SDK_LOG_DEBUG("DW_OP_swap\n");
      if (!pop(m, &a) || !pop(m, &b)) return false;
      return push(m, a) && push(m, b);
    case 0x17:  // rot: the top goes below the next two
      if (!pop(m, &a) || !pop(m, &b) || !pop(m, &c)) return false;
      return push(m, a) && push(m, c) && push(m, b);
    case 0x19:
      if (!pop(m, &a)) return false;
      return push(m, static_cast<std::int64_t>(a) < 0 ? 0 - a : a);
    case 0x1F: return pop(m, &a) && push(m, 0 - a);
    case 0x20: return pop(m, &a) && push(m, ~a);
    default: return false;
  }
}

bool baseRegister(FLTDwarfExpressionMachine* m, std::uint64_t number) noexcept {
  std::int64_t offset = 0;
  if (!FLTDwarfReadSLEB128(&m->reader, &offset)) return false;
  if (number >= kFLTDwarfRegisterCount) {
    FLT_SDK_LOG_WARN("Error: DW_OP_breg invalid register number\n");
    return false;
  }
  const std::uint64_t value = FLTDwarfUnwindGetRegisterValue(m->registers, number);
  FLT_SDK_LOG_DEBUG("DW_OP_breg %d value %d\n", static_cast<int>(number), static_cast<int>(offset));
  return push(m, value + static_cast<std::uint64_t>(offset));
}

}  // namespace

std::uint64_t FLTDwarfUnwindGetRegisterValue(const FLTMachineState* registers,
                                             std::uint64_t number) noexcept {
  const std::uint64_t* slot =
      registers == nullptr ? nullptr : registerSlot(const_cast<FLTMachineState*>(registers), number);
  if (slot == nullptr) {
    FLT_SDK_LOG_WARN("Error: Unrecognized get register number %llu\n",
                     static_cast<unsigned long long>(number));
    return 0;
  }
  return *slot;
}

bool FLTDwarfUnwindSetRegisterValue(FLTMachineState* registers, std::uint64_t number,
                                    std::uint64_t value) noexcept {
  std::uint64_t* slot = registers == nullptr ? nullptr : registerSlot(registers, number);
  if (slot == nullptr) {
    FLT_SDK_LOG_WARN("Unrecognized set register number %llu\n", static_cast<unsigned long long>(number));
    return false;
  }
  *slot = value;
  return true;
}

FLTDwarfReader FLTDwarfReaderMake(std::uintptr_t start, std::uintptr_t length) noexcept {
  const std::uintptr_t room = ~std::uintptr_t{0} - start;
  return FLTDwarfReader{start, start + (length > room ? room : length), false};
}

bool FLTDwarfRead8(FLTDwarfReader* reader, std::uint8_t* value) noexcept {
  return readBytes(reader, value, 1);
}
bool FLTDwarfRead16(FLTDwarfReader* reader, std::uint16_t* value) noexcept {
  return readBytes(reader, value, 2);
}
bool FLTDwarfRead32(FLTDwarfReader* reader, std::uint32_t* value) noexcept {
  return readBytes(reader, value, 4);
}
bool FLTDwarfRead64(FLTDwarfReader* reader, std::uint64_t* value) noexcept {
  return readBytes(reader, value, 8);
}

bool FLTDwarfSkip(FLTDwarfReader* reader, std::uint64_t count) noexcept {
  if (reader == nullptr || reader->failed) return false;
  if (reader->position > reader->end || reader->end - reader->position < count) {
    reader->failed = true;
    return false;
  }
  reader->position += static_cast<std::uintptr_t>(count);
  return true;
}

bool FLTDwarfReadULEB128(FLTDwarfReader* reader, std::uint64_t* value) noexcept {
  unsigned shift = 0;
  std::uint8_t last = 0;
  return readLEB128(reader, value, &shift, &last);
}

bool FLTDwarfReadSLEB128(FLTDwarfReader* reader, std::int64_t* value) noexcept {
  std::uint64_t raw = 0;
  unsigned shift = 0;
  std::uint8_t last = 0;
  if (!readLEB128(reader, &raw, &shift, &last)) return false;
  if (shift < 64 && (last & 0x40) != 0) raw |= ~std::uint64_t{0} << shift;
  *value = static_cast<std::int64_t>(raw);
  return true;
}

bool FLTDwarfReadInitialLength(FLTDwarfReader* reader, std::uint64_t* length) noexcept {
  std::uint32_t short32 = 0;
  if (!FLTDwarfRead32(reader, &short32)) return false;
  if (short32 != 0xFFFFFFFFu) {
    *length = short32;
    return true;
  }
  return FLTDwarfRead64(reader, length);
}

bool FLTDwarfReadString(FLTDwarfReader* reader, std::uintptr_t* start, std::size_t* length,
                        std::size_t maxLength) noexcept {
  if (reader == nullptr) return false;
  *start = reader->position;
  for (std::size_t i = 0; i <= maxLength; ++i) {
    std::uint8_t c = 0;
    if (!FLTDwarfRead8(reader, &c)) return false;
    if (c == 0) {
      *length = i;
      return true;
    }
  }
  reader->failed = true;
  return false;
}

// ---- machine ------------------------------------------------------------------

bool FLTDwarfExpressionMachineInit(FLTDwarfExpressionMachine* machine, std::uintptr_t expression,
                                   const FLTMachineState* registers,
                                   std::uint64_t initialValue) noexcept {
  std::memset(machine, 0, sizeof(*machine));
  if (expression < kFLTMinimumValidAddress) return false;
  machine->expression = expression;
  machine->registers = registers;
  return push(machine, initialValue);
}

bool FLTDwarfExpressionMachinePrepareForExecution(FLTDwarfExpressionMachine* machine) noexcept {
  FLTDwarfReader prefix = FLTDwarfReaderMake(machine->expression, 16);
  std::uint64_t length = 0;
  if (!FLTDwarfReadULEB128(&prefix, &length)) return false;
  if (length == 0) {
    FLT_SDK_LOG_WARN("Error: DWARF expression length is zero\n");
    return false;
  }
  machine->start = prefix.position;
  machine->reader = FLTDwarfReaderMake(prefix.position, static_cast<std::uintptr_t>(length));
  if (machine->reader.end - machine->reader.position != length) return false;  // wraps
  return true;
}

bool FLTDwarfExpressionMachineIsFinished(FLTDwarfExpressionMachine* machine) noexcept {
  if (machine->start < kFLTMinimumValidAddress || machine->reader.failed) {
    FLT_SDK_LOG_WARN("Error: DWARF machine pointers invalid\n");
    return true;
  }
  if (machine->invalid || machine->depth > kFLTDwarfExpressionStackSize) {
    FLT_SDK_LOG_WARN("Error: DWARF machine stack invalid\n");
    return true;
  }
  return machine->reader.position >= machine->reader.end;
}

bool FLTDwarfExpressionMachineExecuteNextOpcode(FLTDwarfExpressionMachine* m) noexcept {
  if (++m->steps > kFLTDwarfExpressionMaxSteps) {
    FLT_SDK_LOG_WARN("Error: DWARF expression runs too long\n");
    return false;
  }
  std::uint8_t opcode = 0;
  if (!FLTDwarfRead8(&m->reader, &opcode)) return false;
  std::uint64_t a = 0;
  switch (opcode) {
    case 0x03: case 0x08: case 0x09: case 0x0A: case 0x0B: case 0x0C:
    case 0x0D: case 0x0E: case 0x0F: case 0x10: case 0x11:
      return constant(m, opcode);
    case 0x06:
      if (!peek(m, 0, &a)) return false;
      FLT_SDK_LOG_DEBUG("DW_OP_deref value %p\n", reinterpret_cast<void*>(a));
      return derefSized(m, 8);
    case 0x12: case 0x13: case 0x14: case 0x15: case 0x16: case 0x17:
    case 0x19: case 0x1F: case 0x20:
      return stackOp(m, opcode);
    case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E: case 0x21: case 0x22:
    case 0x24: case 0x25: case 0x26: case 0x27:
    case 0x29: case 0x2A: case 0x2B: case 0x2C: case 0x2D: case 0x2E:
      return binary(m, opcode);
    case 0x23: {
      std::uint64_t operand = 0;
      if (!FLTDwarfReadULEB128(&m->reader, &operand) || !pop(m, &a)) return false;
      FLT_SDK_LOG_DEBUG("DW_OP_plus_uconst value %lu\n", operand);
      return push(m, a + operand);
    }
    case 0x28:
      return pop(m, &a) && branch(m, a != 0);
    case 0x2F:
      return branch(m, true);
    case 0x92: {
      std::uint64_t number = 0;
      return FLTDwarfReadULEB128(&m->reader, &number) && baseRegister(m, number);
    }
    case 0x94: {
      std::uint8_t size = 0;
      if (!FLTDwarfRead8(&m->reader, &size)) return false;
      if (size != 1 && size != 2 && size != 4 && size != 8) {
        FLT_SDK_LOG_WARN("Error: unrecognized DW_OP_deref_size argument %x\n", static_cast<unsigned>(size));
        return false;
      }
      FLT_SDK_LOG_DEBUG("DW_OP_deref_size size %u\n", static_cast<unsigned>(size));
      return derefSized(m, size);
    }
    case 0x96:
      return true;
    default:
      break;
  }
  if (opcode >= 0x30 && opcode <= 0x4F) {
    FLT_SDK_LOG_DEBUG("DW_OP_lit %u\n", static_cast<unsigned>(opcode - 0x30));
    return push(m, opcode - 0x30u);
  }
  if (opcode >= 0x70 && opcode <= 0x8F) return baseRegister(m, opcode - 0x70u);
  FLT_SDK_LOG_WARN("Error: Unrecognized DWARF expression opcode 0x%x\n", static_cast<unsigned>(opcode));
  return false;
}

bool FLTDwarfExpressionMachineGetResult(FLTDwarfExpressionMachine* machine,
                                        std::uint64_t* result) noexcept {
  if (machine->reader.failed || machine->reader.position != machine->reader.end) {
    FLT_SDK_LOG_WARN("Error: DWARF expression hasn't completed execution\n");
    return false;
  }
  if (machine->invalid || machine->depth == 0) {
    FLT_SDK_LOG_WARN("Error: failed to get DWARF expression result\n");
    return false;
  }
  *result = machine->stack[machine->depth - 1];
  return true;
}

bool FLTDwarfEvalulateExpression(std::uintptr_t expression, const FLTMachineState* registers,
                                 std::uint64_t initialValue, std::uint64_t* result) noexcept {
  FLT_SDK_LOG_DEBUG("starting at %p with initial value %lx\n", reinterpret_cast<void*>(expression),
                    initialValue);
  if (expression < kFLTMinimumValidAddress ||
      reinterpret_cast<std::uintptr_t>(result) < kFLTMinimumValidAddress) {
    FLT_SDK_LOG_WARN("Error: inputs invalid\n");
    return false;
  }
  FLTDwarfExpressionMachine machine;
  if (!FLTDwarfExpressionMachineInit(&machine, expression, registers, initialValue)) {
    FLT_SDK_LOG_WARN("Error: unable to init DWARF expression machine\n");
    return false;
  }
  if (!FLTDwarfExpressionMachinePrepareForExecution(&machine)) {
    FLT_SDK_LOG_WARN("Error: unable to prepare for execution\n");
    return false;
  }
  while (!FLTDwarfExpressionMachineIsFinished(&machine)) {
    if (!FLTDwarfExpressionMachineExecuteNextOpcode(&machine)) {
      FLT_SDK_LOG_WARN("Error: failed to execute DWARF machine opcode\n");
      return false;
    }
  }
  if (!FLTDwarfExpressionMachineGetResult(&machine, result)) return false;
  FLT_SDK_LOG_DEBUG("successfully computed expression result\n");
  return true;
}

}  // namespace vandrel::crash
