#include "crash/reports/flt_internal_report.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_record_writer.h"

namespace vandrel::crash {

namespace {

bool isRegularFile(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whole non-negative seconds since 1970.
std::optional<platform::Date> dateFromSeconds(const platform::Value* value) {
  if (value == nullptr) return std::nullopt;
  const auto seconds = value->asInt();
  if (!seconds || *seconds < 0) return std::nullopt;
  return platform::Date{static_cast<double>(*seconds)};
}

}  // namespace

FLTInternalReport::FLTInternalReport(std::string path, std::string identifier)
    : path_(std::move(path)), identifier_(std::move(identifier)) {}

std::shared_ptr<FLTInternalReport> FLTInternalReport::reportWithPath(const std::string& path) {
  return initWithPath(path);
}

std::shared_ptr<FLTInternalReport> FLTInternalReport::initWithPath(const std::string& path) {
  std::string identifier;
  if (!path.empty()) {
    const auto sections =
        readFLTFileAtPath((std::filesystem::path(path) / std::string(kFLTRecordFileMetadata)).string());
    if (sections && !sections->empty()) {
      const platform::Value* id =
          sections->front().find(kFLTMetadataSectionIdentity) != nullptr
              ? sections->front().find(kFLTMetadataSectionIdentity)->find("session_id")
              : nullptr;
      if (id != nullptr && id->asString() != nullptr) identifier = *id->asString();
    }
  }
  if (identifier.empty()) {
    std::fprintf(stderr, "[Faultline:Crash] Unable to read identifier at path %s\n", path.c_str());
    return nullptr;
  }
  return initWithPath(path, identifier);
}

std::shared_ptr<FLTInternalReport> FLTInternalReport::initWithPath(
    const std::string& path, const std::string& executionIdentifier) {
  if (path.empty() || executionIdentifier.empty()) return nullptr;
  return std::shared_ptr<FLTInternalReport>(new FLTInternalReport(path, executionIdentifier));
}

std::shared_ptr<FLTInternalReport> FLTInternalReport::initWithPathWithoutIdentifier(
    const std::string& path) {
  if (path.empty()) return nullptr;
  return std::shared_ptr<FLTInternalReport>(new FLTInternalReport(path, std::string()));
}

std::optional<std::vector<platform::Value>> FLTInternalReport::readFLTFileAtPath(
    const std::string& path) {
  if (!isRegularFile(path)) return std::nullopt;
  // Never delete here: an unreadable file is still part of the report.
  auto read = FLTFileReadSections(path.c_str(), /*deleteOnFailure=*/false);
  if (!read.ok() || read.value().sections.empty()) return std::nullopt;
  return std::move(read.value().sections);
}

const std::vector<std::string>& FLTInternalReport::crashFilenames() {
  static const auto* names = new std::vector<std::string>{
      std::string(kFLTRecordFileException), std::string(kFLTRecordFileMachException),
      std::string(kFLTRecordFileSignal)};
  return *names;
}

std::string FLTInternalReport::directoryName() const {
  std::filesystem::path p(path_);
  if (!p.has_filename()) p = p.parent_path();
  return p.filename().string();
}

std::string FLTInternalReport::pathForContentFile(std::string_view fileName) const {
  return (std::filesystem::path(path_) / std::string(fileName)).string();
}

std::string FLTInternalReport::metadataPath() const {
  return pathForContentFile(kFLTRecordFileMetadata);
}

std::string FLTInternalReport::binaryImagePath() const {
  return pathForContentFile(kFLTRecordFileBinaryImages);
}

const std::vector<platform::Value>* FLTInternalReport::metadataSections() {
  if (!metadataRead_) {
    metadata_ = readFLTFileAtPath(metadataPath());
    metadataRead_ = true;
  }
  return metadata_ ? &*metadata_ : nullptr;
}

bool FLTInternalReport::checkExistenceOfAtLeastOnceFileInArray(
    const std::vector<std::string>& fileNames) const {
  for (const auto& name : fileNames) {
    if (isRegularFile(pathForContentFile(name))) return true;
  }
  return false;
}

bool FLTInternalReport::isCrash() const {
  return checkExistenceOfAtLeastOnceFileInArray(crashFilenames());
}

bool FLTInternalReport::needsToBeSubmitted() const {
  static const auto* names = new std::vector<std::string>{
      std::string(kFLTRecordFileException),        std::string(kFLTRecordFileSignal),
      std::string(kFLTRecordFileCustomExceptionA), std::string(kFLTRecordFileCustomExceptionB),
      std::string(kFLTRecordFileMachException),    std::string(kFLTRecordFileErrorsA),
      std::string(kFLTRecordFileErrorsB)};
  return checkExistenceOfAtLeastOnceFileInArray(*names);
}

void FLTInternalReport::enumerateSymbolicatableFilesInContent(
    const std::function<void(const std::string& path)>& block) const {
  if (!block) return;
  for (const auto& name : crashFilenames()) block(pathForContentFile(name));
}

// The writer puts identity, host and application on lines 0, 1 and 2; a
// line that failed to write or to parse shifts the rest, so each section is
// found by its name rather than by its line number.
const platform::Value* FLTInternalReport::metadataSection(std::string_view name) {
  const auto* sections = metadataSections();
  if (sections == nullptr) return nullptr;
  for (const auto& line : *sections) {
    if (const platform::Value* section = line.find(name)) return section;
  }
  return nullptr;
}

std::optional<std::string> FLTInternalReport::metadataString(std::string_view section,
                                                             std::string_view key) {
  const platform::Value* holder = metadataSection(section);
  const platform::Value* value = holder != nullptr ? holder->find(key) : nullptr;
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  return *value->asString();
}

std::optional<std::string> FLTInternalReport::APIKey() {
  return metadataString(kFLTMetadataSectionIdentity, "api_key");
}
std::optional<std::string> FLTInternalReport::bundleVersion() {
  return metadataString(kFLTMetadataSectionApplication, "build_version");
}
std::optional<std::string> FLTInternalReport::bundleShortVersionString() {
  return metadataString(kFLTMetadataSectionApplication, "display_version");
}
std::optional<std::string> FLTInternalReport::OSVersion() {
  return metadataString(kFLTMetadataSectionHost, "os_display_version");
}
std::optional<std::string> FLTInternalReport::OSBuildVersion() {
  return metadataString(kFLTMetadataSectionHost, "os_build_version");
}

std::optional<platform::Date> FLTInternalReport::dateCreated() {
  const platform::Value* identity = metadataSection(kFLTMetadataSectionIdentity);
  return dateFromSeconds(identity != nullptr ? identity->find("started_at") : nullptr);
}

std::optional<platform::Date> FLTInternalReport::timeFromCrashContentFile(
    std::string_view fileName, std::string_view section) const {
  const auto lines = readFLTFileAtPath(pathForContentFile(fileName));
  if (!lines || lines->empty()) return std::nullopt;
  const platform::Value* holder = lines->front().find(section);
  return dateFromSeconds(holder != nullptr ? holder->find("time") : nullptr);
}

std::optional<platform::Date> FLTInternalReport::crashedOnDate() const {
  if (!isCrash()) return std::nullopt;
  if (auto time = timeFromCrashContentFile(kFLTRecordFileMachException, "mach_exception")) {
    return time;
  }
  return timeFromCrashContentFile(kFLTRecordFileSignal, "signal");
}

}  // namespace vandrel::crash
