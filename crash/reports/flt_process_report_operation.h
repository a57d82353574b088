#pragma once

// Symbolicates the crash record files of one report of an earlier launch:
// for each of "exception.fltrecord", "mach_exception.fltrecord" and
// "signal.fltrecord" that holds a "threads" line, writes the resolved and
// demangled frames next to it as "<name>.symbolicated". The source files
// are never changed. Runs synchronously with `start` on the caller's
// thread.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

#include "crash/kit/trl_async_operation.h"
#include "crash/reports/flt_stack_frame.h"

namespace vandrel::crash {

class FLTInternalReport;
class FLTSymbolResolver;

inline constexpr std::string_view kFLTSymbolicatedExtension = "symbolicated";
inline constexpr std::string_view kFLTProcessReportErrorDomain = "vandrel.crash.process";
inline constexpr std::int64_t kFLTProcessReportNoBinaryImages = 1;
inline constexpr std::int64_t kFLTProcessReportNoThreads = 2;
inline constexpr std::int64_t kFLTProcessReportWriteFailed = 3;

class FLTProcessReportOperation : public Operation {
 public:
  // `resolver` must outlive the operation.
  FLTProcessReportOperation(std::shared_ptr<FLTInternalReport> report, FLTSymbolResolver* resolver);
  static std::shared_ptr<FLTProcessReportOperation> initWithReport(
      std::shared_ptr<FLTInternalReport> report, FLTSymbolResolver* resolver);

  void main() override;

  const std::shared_ptr<FLTInternalReport>& report() const { return report_; }
  std::string binaryImagePath() const;
  // The first "threads" line's threads, each its "stacktrace" as frames.
  // Absent when the file has no "threads" line or cannot be read.
  static std::optional<FLTThreadArray> threadArrayFromFile(const std::string& path);
  // Writes "<path>.symbolicated"; false when the file has no threads or the
  // output could not be written.
  bool symbolicateFile(const std::string& path, FLTSymbolResolver* resolver);

  // What the last run could not do, one error per file (domain
  // kFLTProcessReportErrorDomain): the binary images could not be read, or a
  // crash file that exists held no readable threads; a crash file whose
  // lines were cut off or damaged adds the reader's errors. Crash files that
  // do not exist are no error. The report directory is never changed.
  const std::vector<platform::Error>& errors() const { return errors_; }

 private:
  std::vector<platform::Error> errors_;
  std::shared_ptr<FLTInternalReport> report_;
  FLTSymbolResolver* resolver_;
};

}  // namespace vandrel::crash
