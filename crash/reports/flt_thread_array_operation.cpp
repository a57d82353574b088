#include "crash/reports/flt_thread_array_operation.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "crash/capture/flt_binary_images.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/reports/flt_symbol_resolver.h"

namespace vandrel::crash {

void FLTThreadArrayOperation::enumerateFramesWithBlock(
    const std::function<void(FLTStackFrame& frame)>& block) {
  if (!threadArray_ || !block) return;
  for (auto& thread : *threadArray_) {
    for (auto& frame : thread) {
      block(frame);
      if (isCancelled()) break;
    }
  }
}

void FLTSymbolicationOperation::main() {
  if (symbolResolver_ == nullptr) return;
  enumerateFramesWithBlock([this](FLTStackFrame& frame) { symbolResolver_->updateStackFrame(&frame); });
}

void FLTDemangleOperation::main() {
  enumerateFramesWithBlock([](FLTStackFrame& frame) {
    if (!frame.rawSymbol) return;
    if (auto demangled = demangleSymbol(frame.rawSymbol->c_str())) frame.symbol = std::move(demangled);
  });
}

std::optional<std::string> FLTDemangleOperation::demangleSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  if (std::strncmp(symbol, "_Z", 2) == 0) return demangleCppSymbol(symbol);
  if (std::strncmp(symbol, "__Z", 3) == 0) return demangleBlockInvokeCppSymbol(symbol);
  return std::nullopt;
}

std::optional<std::string> FLTDemangleOperation::demangleCppSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  int status = 0;
  char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  if (demangled == nullptr || status != 0) {
    std::free(demangled);
    return std::nullopt;
  }
  std::string result(demangled);
  std::free(demangled);
  return result;
}

std::optional<std::string> FLTDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  const std::string_view name(symbol);
  constexpr std::string_view kBlockInvoke = "_block_invoke";
  const auto index = name.rfind(kBlockInvoke);
  if (index == std::string_view::npos || index < 5) return std::nullopt;
  // The leading underscore is dropped: what is left is an ordinary "_Z" name.
  const std::string function(name.substr(1, index - 1));
  auto demangled = demangleSymbol(function.c_str());
  if (!demangled) return std::nullopt;
  return *demangled + std::string(name.substr(index));
}

namespace {

void writeStringEntry(FLTFile* file, const char* key, const std::optional<std::string>& value) {
  if (!value) {
    FLTFileWriteHashEntryObjectString(file, key, std::nullopt);
    return;
  }
  // Symbols come from images and demanglers, not from the kit: escaped, so
  // no name can break the record line.
  FLTFileWriteHashKey(file, key);
  FLTBinaryImageWriteJSONString(file, *value);
}

}  // namespace

void FLTSerializeSymbolicatedFramesOperation::main() {
  succeeded_ = false;
  FLTFile file;
  if (!FLTFileInitWithPathMode(&file, outputPath_.c_str(), false, false)) {
    std::fprintf(stderr, "[Faultline:Crash:Symbolication] Failed to create output file\n");
    return;
  }
  FLTFileWriteSectionStart(&file, "threads");
  FLTFileWriteArrayStart(&file);
  if (threadArray()) {
    for (const auto& thread : *threadArray()) {
      FLTFileWriteArrayStart(&file);
      for (const auto& frame : thread) {
        FLTFileWriteHashStart(&file);
        writeStringEntry(&file, "symbol", frame.symbol);
        if (!(frame.rawSymbol && frame.rawSymbol == frame.symbol)) {
          writeStringEntry(&file, "raw_symbol", frame.rawSymbol);
        }
        FLTFileWriteHashEntryUint64(&file, "offset", frame.offset);
        writeStringEntry(&file, "library", frame.library);
        FLTFileWriteHashEnd(&file);
      }
      FLTFileWriteArrayEnd(&file);
    }
  }
  FLTFileWriteArrayEnd(&file);
  FLTFileWriteSectionEnd(&file);
  std::uint64_t written = 0;
  succeeded_ = FLTFileCloseWithOffset(&file, &written);
}

}  // namespace vandrel::crash
