#include "crash/reports/flt_stack_frame.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace vandrel::crash {

FLTStackFrame FLTStackFrame::stackFrameWithAddress(std::uint64_t address) {
  FLTStackFrame frame;
  frame.address = address;
  return frame;
}

FLTStackFrame FLTStackFrame::stackFrameWithSymbol(std::string symbol) {
  FLTStackFrame frame;
  frame.rawSymbol = symbol;
  frame.symbol = std::move(symbol);
  return frame;
}

std::string FLTStackFrame::description() const {
  const char* sym = symbol ? symbol->c_str() : "(null)";
  char head[64];
  if (fileName) {
    std::snprintf(head, sizeof head, "{[0x%" PRIx64 "] ", address);
    return head + *fileName + " - " + sym + ":" + std::to_string(lineNumber) + "}";
  }
  // The line number stands where one might expect the offset: readers of
  // these descriptions know the form.
  std::snprintf(head, sizeof head, "{[0x%" PRIx64 " + %u] ", address, lineNumber);
  return head + std::string(sym) + "}";
}

}  // namespace vandrel::crash
