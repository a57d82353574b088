#include "crash/reports/flt_process_report_operation.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "crash/capture/flt_record_reader.h"
#include "crash/reports/flt_internal_report.h"
#include "crash/reports/flt_symbol_resolver.h"
#include "crash/reports/flt_thread_array_operation.h"

namespace vandrel::crash {

FLTProcessReportOperation::FLTProcessReportOperation(std::shared_ptr<FLTInternalReport> report,
                                                     FLTSymbolResolver* resolver)
    : report_(std::move(report)), resolver_(resolver) {}

std::shared_ptr<FLTProcessReportOperation> FLTProcessReportOperation::initWithReport(
    std::shared_ptr<FLTInternalReport> report, FLTSymbolResolver* resolver) {
  return std::make_shared<FLTProcessReportOperation>(std::move(report), resolver);
}

std::string FLTProcessReportOperation::binaryImagePath() const {
  return report_ ? report_->binaryImagePath() : std::string();
}

void FLTProcessReportOperation::main() {
  errors_.clear();
  if (!report_ || resolver_ == nullptr) return;
  if (!resolver_->loadBinaryImagesFromFile(binaryImagePath())) {
    errors_.push_back({std::string(kFLTProcessReportErrorDomain), kFLTProcessReportNoBinaryImages,
                       "no binary images could be read from " + binaryImagePath()});
    return;
  }
  report_->enumerateSymbolicatableFilesInContent(
      [this](const std::string& path) { symbolicateFile(path, resolver_); });
}

std::optional<FLTThreadArray> FLTProcessReportOperation::threadArrayFromFile(const std::string& path) {
  const auto read = FLTFileReadSections(
      path.c_str(), false, [](platform::Value line) -> std::optional<platform::Value> {
        const platform::Value* threads = line.find("threads");
        if (threads == nullptr) return std::nullopt;
        return *threads;
      });
  if (!read.ok() || read.value().sections.empty()) return std::nullopt;
  const platform::Value::Array* threads = read.value().sections.front().asArray();
  if (threads == nullptr) return std::nullopt;

  FLTThreadArray result;
  result.reserve(threads->size());
  for (const platform::Value& thread : *threads) {
    // One entry per recorded thread, even an empty one, so the output keeps
    // the source's thread order and count.
    auto& frames = result.emplace_back();
    const platform::Value* stacktrace = thread.find("stacktrace");
    if (stacktrace == nullptr || stacktrace->asArray() == nullptr) continue;
    for (const platform::Value& address : *stacktrace->asArray()) {
      const auto value = address.asInt();
      if (!value || *value < 0) continue;
      frames.push_back(FLTStackFrame::stackFrameWithAddress(static_cast<std::uint64_t>(*value)));
    }
  }
  return result;
}

bool FLTProcessReportOperation::symbolicateFile(const std::string& path, FLTSymbolResolver* resolver) {
  std::error_code ec;
  const bool exists = std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec));
  if (!exists) return false;
  // Damaged lines of the source are reported; what parsed is still used.
  const auto read = FLTFileReadSections(path.c_str(), false);
  if (read.ok()) {
    errors_.insert(errors_.end(), read.value().lineErrors.begin(), read.value().lineErrors.end());
  } else {
    errors_.push_back(read.error());
  }
  auto threads = threadArrayFromFile(path);
  if (!threads) {
    errors_.push_back({std::string(kFLTProcessReportErrorDomain), kFLTProcessReportNoThreads,
                       "no threads could be read from " + path});
    return false;
  }
  auto shared = std::make_shared<FLTThreadArray>(std::move(*threads));
  auto symbolicate = std::make_shared<FLTSymbolicationOperation>(shared, resolver);
  auto demangle = std::make_shared<FLTDemangleOperation>(shared);
  auto serialize = std::make_shared<FLTSerializeSymbolicatedFramesOperation>(
      shared, path + "." + std::string(kFLTSymbolicatedExtension));
  symbolicate->start();
  demangle->start();
  serialize->start();
  if (!serialize->succeeded()) {
    errors_.push_back({std::string(kFLTProcessReportErrorDomain), kFLTProcessReportWriteFailed,
                       "could not write " + serialize->outputPath()});
    return false;
  }
  return true;
}

}  // namespace vandrel::crash
