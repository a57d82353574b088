#pragma once

// One frame of a symbolicated thread: the return address as the crashed
// process recorded it and what the symbol resolver and the demangler found
// for it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vandrel::crash {

struct FLTStackFrame {
  std::uint64_t address = 0;
  std::optional<std::string> symbol;     // display symbol (demangled when possible)
  std::optional<std::string> rawSymbol;  // as the loader or symbol table gives it
  std::optional<std::string> library;    // last path component of the image
  std::optional<std::string> fileName;   // never filled here
  std::uint32_t lineNumber = 0;          // never filled here
  std::uint64_t offset = 0;              // distance from the symbol's start

  static FLTStackFrame stackFrame() { return {}; }
  static FLTStackFrame stackFrameWithAddress(std::uint64_t address);
  // Sets `symbol` and `rawSymbol`.
  static FLTStackFrame stackFrameWithSymbol(std::string symbol);

  // "{[0x%llx] %@ - %@:%u}" with a file name, else "{[0x%llx + %u] %@}".
  std::string description() const;
};

// One entry per thread, each its frames innermost first. Shared, unlocked,
// by the operations of one report in turn.
using FLTThreadArray = std::vector<std::vector<FLTStackFrame>>;

}  // namespace vandrel::crash
