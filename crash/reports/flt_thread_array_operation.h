#pragma once

// The operations of one symbolication pass over a thread array. Each runs
// synchronously with `start` on the caller's thread, one after another over
// the same (unlocked) thread array.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "crash/kit/trl_async_operation.h"
#include "crash/reports/flt_stack_frame.h"

namespace vandrel::crash {

class FLTSymbolResolver;

class FLTThreadArrayOperation : public Operation {
 public:
  explicit FLTThreadArrayOperation(std::shared_ptr<FLTThreadArray> threadArray)
      : threadArray_(std::move(threadArray)) {}

  const std::shared_ptr<FLTThreadArray>& threadArray() const { return threadArray_; }
  // Each frame of each thread in order; a cancellation stops the rest of
  // the current thread's frames (the next thread is still entered).
  void enumerateFramesWithBlock(const std::function<void(FLTStackFrame& frame)>& block);

 private:
  std::shared_ptr<FLTThreadArray> threadArray_;
};

class FLTSymbolicationOperation : public FLTThreadArrayOperation {
 public:
  FLTSymbolicationOperation(std::shared_ptr<FLTThreadArray> threadArray,
                            FLTSymbolResolver* symbolResolver)
      : FLTThreadArrayOperation(std::move(threadArray)), symbolResolver_(symbolResolver) {}
  void main() override;

 private:
  FLTSymbolResolver* symbolResolver_;
};

class FLTDemangleOperation : public FLTThreadArrayOperation {
 public:
  using FLTThreadArrayOperation::FLTThreadArrayOperation;
  void main() override;

  // "_Z…": the C++ demangled name; "__Z…" with "_block_invoke" at index 5 or
  // later: the demangled function followed by the suffix from
  // "_block_invoke" on; anything else (and any failure): absent.
  static std::optional<std::string> demangleSymbol(const char* symbol);
  static std::optional<std::string> demangleCppSymbol(const char* symbol);
  static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
};

// Writes one record line {"threads": [[{symbol, raw_symbol, offset,
// library}, …], …]} to the output path (truncating).
class FLTSerializeSymbolicatedFramesOperation : public FLTThreadArrayOperation {
 public:
  FLTSerializeSymbolicatedFramesOperation(std::shared_ptr<FLTThreadArray> threadArray,
                                          std::string outputPath)
      : FLTThreadArrayOperation(std::move(threadArray)), outputPath_(std::move(outputPath)) {}
  void main() override;
  const std::string& outputPath() const { return outputPath_; }
  // Whether the last run wrote the whole file.
  bool succeeded() const { return succeeded_; }

 private:
  std::string outputPath_;
  bool succeeded_ = false;
};

}  // namespace vandrel::crash
