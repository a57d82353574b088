#pragma once

// The report handed to the kit's delegate and to the user-facing API. It
// wraps an internal report and adds cached accessors and, for the live
// report of the current launch, the recording of custom keys and of the
// user identity into the report's key/value stores.
//
// Two kinds:
//  - live (`initWithInternalReport`): values are read lazily on first use
//    and new values may be recorded;
//  - prefetched (`initWithInternalReport(report, true)`): read-only; every
//    value is read at construction, so the object stays usable after its
//    directory has been removed and may be handed to another thread.
//
// Not synchronised otherwise: use a live report from one queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crash/capture/flt_user_logging.h"
#include "platform/value.h"

namespace vandrel::crash {

class FLTInternalReport;

class FLTReport {
 public:
  static std::shared_ptr<FLTReport> initWithInternalReport(
      std::shared_ptr<FLTInternalReport> internalReport, bool prefetchData = false);
  // Null report: a report whose getters are all absent and that records
  // nothing.
  FLTReport(std::shared_ptr<FLTInternalReport> internalReport, bool prefetchData);

  const std::shared_ptr<FLTInternalReport>& internalReport() const { return internalReport_; }

  std::optional<std::string> identifier();
  std::optional<std::string> bundleVersion();
  std::optional<std::string> bundleShortVersionString();
  std::optional<platform::Date> dateCreated();
  std::optional<platform::Date> crashedOnDate();
  std::optional<std::string> OSVersion();
  std::optional<std::string> OSBuildVersion();
  bool isCrash();
  // The user key/value store as key -> string value (decoded). Absent when
  // the store cannot be read (it is read through the user-logging reader,
  // which needs the crash context).
  std::optional<platform::Value::Dictionary> customKeys();

  // Not read-only and the crash context is initialised.
  bool canRecordNewValues() const;
  // A null value removes the key. Nothing when values cannot be recorded.
  void recordValueForUserKey(const char* value, const char* key);
  void setObjectValue(const char* value, const char* key) { recordValueForUserKey(value, key); }
  void recordValueForInternalKey(const char* value, const char* key);

  // Internal keys "com.faultline.user-id", "com.faultline.user-name",
  // "com.faultline.user-email".
  void setUserIdentifier(const char* value);
  void setUserName(const char* value);
  void setUserEmail(const char* value);
  // Always absent: the identity is write-only.
  std::optional<std::string> userIdentifier() const { return std::nullopt; }
  std::optional<std::string> userName() const { return std::nullopt; }
  std::optional<std::string> userEmail() const { return std::nullopt; }

  std::uint32_t internalKVCounter() const { return internalKVCounter_; }
  std::uint32_t userKVCounter() const { return userKVCounter_; }

 private:
  // Outer optional: read yet; inner: the value.
  template <typename T>
  using Cached = std::optional<std::optional<T>>;

  void prefetch();
  bool recordInto(FLTUserLoggingKVStorage* store, std::uint32_t maxCount, std::uint32_t* counter,
                  const char* value, const char* key);

  const std::shared_ptr<FLTInternalReport> internalReport_;
  const bool readOnly_;
  std::uint32_t internalKVCounter_ = 0;
  std::uint32_t userKVCounter_ = 0;
  std::string internalIncrementalKVPath_;
  std::string internalCompactedKVPath_;
  std::string userIncrementalKVPath_;
  std::string userCompactedKVPath_;
  // Compaction is queued with pointers to the store and the counter; both
  // live here, and a record that queues one waits for it (see recordInto).
  FLTUserLoggingKVStorage internalStore_{};
  FLTUserLoggingKVStorage userStore_{};

  Cached<std::string> identifier_;
  Cached<std::string> bundleVersion_;
  Cached<std::string> bundleShortVersionString_;
  Cached<platform::Date> dateCreated_;
  Cached<platform::Date> crashedOnDate_;
  Cached<std::string> OSVersion_;
  Cached<std::string> OSBuildVersion_;
  std::optional<bool> isCrash_;
  Cached<platform::Value::Dictionary> customKeys_;
};

}  // namespace vandrel::crash
