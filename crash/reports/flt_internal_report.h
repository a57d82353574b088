#pragma once

// The kit's own view of one report directory: which record files make it a
// crash or worth submitting, and what its metadata says. Metadata is read
// once, on first use. Not synchronised: use one object from one queue.
//
// Only regular files count: a link inside a report directory is neither
// read nor taken as present, so a report never carries content from outside
// the store.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/value.h"

namespace vandrel::crash {

inline constexpr std::string_view kFLTMetadataSectionIdentity = "identity";
inline constexpr std::string_view kFLTMetadataSectionHost = "host";
inline constexpr std::string_view kFLTMetadataSectionApplication = "application";

class FLTInternalReport {
 public:
  // The directory's metadata session identifier names the report; null when
  // there is none (logged).
  static std::shared_ptr<FLTInternalReport> reportWithPath(const std::string& path);
  static std::shared_ptr<FLTInternalReport> initWithPath(const std::string& path);
  // Null when either is empty.
  static std::shared_ptr<FLTInternalReport> initWithPath(const std::string& path,
                                                         const std::string& executionIdentifier);
  // A directory whose metadata names no report (cut short, or never a whole
  // report): its identifier is empty. Null for an empty path.
  static std::shared_ptr<FLTInternalReport> initWithPathWithoutIdentifier(const std::string& path);

  // The line objects of a record file; absent when it has none or is not a
  // regular file. Lines that do not parse are skipped.
  static std::optional<std::vector<platform::Value>> readFLTFileAtPath(const std::string& path);
  // "exception.fltrecord", "mach_exception.fltrecord", "signal.fltrecord".
  static const std::vector<std::string>& crashFilenames();

  const std::string& path() const { return path_; }
  const std::string& identifier() const { return identifier_; }
  std::string directoryName() const;
  std::string pathForContentFile(std::string_view fileName) const;
  std::string metadataPath() const;
  std::string binaryImagePath() const;

  // Read once; null when the metadata file has no lines.
  const std::vector<platform::Value>* metadataSections();

  bool isCrash() const;
  bool needsToBeSubmitted() const;
  bool checkExistenceOfAtLeastOnceFileInArray(const std::vector<std::string>& fileNames) const;
  // Full path of each crash file name, in order, present or not.
  void enumerateSymbolicatableFilesInContent(
      const std::function<void(const std::string& path)>& block) const;

  std::optional<std::string> APIKey();
  // Always absent: custom keys are read by the public report.
  std::optional<platform::Value::Dictionary> customKeys() const { return std::nullopt; }
  std::optional<std::string> bundleVersion();
  std::optional<std::string> bundleShortVersionString();
  std::optional<std::string> OSVersion();
  std::optional<std::string> OSBuildVersion();
  std::optional<platform::Date> dateCreated();
  // Line 0 of the named file, `section`'s "time".
  std::optional<platform::Date> timeFromCrashContentFile(std::string_view fileName,
                                                         std::string_view section) const;
  // For a crash only: the Mach exception time, else the signal time.
  std::optional<platform::Date> crashedOnDate() const;

 private:
  FLTInternalReport(std::string path, std::string identifier);
  const platform::Value* metadataSection(std::string_view name);
  std::optional<std::string> metadataString(std::string_view section, std::string_view key);

  const std::string path_;
  const std::string identifier_;
  bool metadataRead_ = false;
  std::optional<std::vector<platform::Value>> metadata_;
};

}  // namespace vandrel::crash
