#include "crash/reports/flt_report.h"

#include <utility>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_user_logging.h"
#include "crash/reports/flt_internal_report.h"
#include "platform/dispatch.h"

namespace vandrel::crash {

namespace {

template <typename T, typename Read>
const std::optional<T>& cached(std::optional<std::optional<T>>& slot, Read read) {
  if (!slot) slot.emplace(read());
  return *slot;
}

}  // namespace

std::shared_ptr<FLTReport> FLTReport::initWithInternalReport(
    std::shared_ptr<FLTInternalReport> internalReport, bool prefetchData) {
  return std::make_shared<FLTReport>(std::move(internalReport), prefetchData);
}

FLTReport::FLTReport(std::shared_ptr<FLTInternalReport> internalReport, bool prefetchData)
    : internalReport_(std::move(internalReport)), readOnly_(prefetchData) {
  if (internalReport_) {
    internalIncrementalKVPath_ =
        internalReport_->pathForContentFile(kFLTRecordFileInternalIncrementalKV);
    internalCompactedKVPath_ = internalReport_->pathForContentFile(kFLTRecordFileInternalCompactedKV);
    userIncrementalKVPath_ = internalReport_->pathForContentFile(kFLTRecordFileUserIncrementalKV);
    userCompactedKVPath_ = internalReport_->pathForContentFile(kFLTRecordFileUserCompactedKV);
  }
  internalStore_ = {internalIncrementalKVPath_.c_str(), internalCompactedKVPath_.c_str(),
                    kFLTUserLoggingKVCompactionCount, kFLTUserLoggingInternalMaxKeys};
  userStore_ = {userIncrementalKVPath_.c_str(), userCompactedKVPath_.c_str(),
                kFLTUserLoggingKVCompactionCount, 0};
  if (prefetchData) prefetch();
}

void FLTReport::prefetch() {
  (void)identifier();
  (void)bundleVersion();
  (void)bundleShortVersionString();
  (void)dateCreated();
  (void)crashedOnDate();
  (void)OSVersion();
  (void)OSBuildVersion();
  (void)isCrash();
  (void)customKeys();
}

std::optional<std::string> FLTReport::identifier() {
  return cached(identifier_, [&]() -> std::optional<std::string> {
    if (!internalReport_) return std::nullopt;
    return internalReport_->identifier();
  });
}

std::optional<std::string> FLTReport::bundleVersion() {
  return cached(bundleVersion_, [&]() -> std::optional<std::string> {
    return internalReport_ ? internalReport_->bundleVersion() : std::nullopt;
  });
}

std::optional<std::string> FLTReport::bundleShortVersionString() {
  return cached(bundleShortVersionString_, [&]() -> std::optional<std::string> {
    return internalReport_ ? internalReport_->bundleShortVersionString() : std::nullopt;
  });
}

std::optional<platform::Date> FLTReport::dateCreated() {
  return cached(dateCreated_, [&]() -> std::optional<platform::Date> {
    return internalReport_ ? internalReport_->dateCreated() : std::nullopt;
  });
}

std::optional<platform::Date> FLTReport::crashedOnDate() {
  return cached(crashedOnDate_, [&]() -> std::optional<platform::Date> {
    return internalReport_ ? internalReport_->crashedOnDate() : std::nullopt;
  });
}

std::optional<std::string> FLTReport::OSVersion() {
  return cached(OSVersion_, [&]() -> std::optional<std::string> {
    return internalReport_ ? internalReport_->OSVersion() : std::nullopt;
  });
}

std::optional<std::string> FLTReport::OSBuildVersion() {
  return cached(OSBuildVersion_, [&]() -> std::optional<std::string> {
    return internalReport_ ? internalReport_->OSBuildVersion() : std::nullopt;
  });
}

bool FLTReport::isCrash() {
  if (!isCrash_) isCrash_ = internalReport_ && internalReport_->isCrash();
  return *isCrash_;
}

std::optional<platform::Value::Dictionary> FLTReport::customKeys() {
  return cached(customKeys_, [&]() -> std::optional<platform::Value::Dictionary> {
    if (!internalReport_) return std::nullopt;
    const FLTUserLoggingKVStorage store{userIncrementalKVPath_.c_str(), userCompactedKVPath_.c_str(),
                                        kFLTUserLoggingKVCompactionCount, 0};
    const auto entries = FLTUserLoggingGetCompactedKVEntries(&store, true);
    if (!entries) return std::nullopt;
    platform::Value::Dictionary keys;
    for (const auto& [key, value] : *entries) {
      if (value) keys.emplace(key, *value);
    }
    return keys;
  });
}

bool FLTReport::canRecordNewValues() const {
  return !readOnly_ && internalReport_ != nullptr && FLTContextIsInitialized();
}

bool FLTReport::recordInto(FLTUserLoggingKVStorage* store, std::uint32_t maxCount,
                           std::uint32_t* counter, const char* value, const char* key) {
  if (!canRecordNewValues()) return false;
  store->maxCount = maxCount;
  // A write that reaches the compaction count queues a compaction that
  // holds pointers into this object: wait for it, so the report may go away
  // as soon as this returns. No compaction is pending before the write
  // (each one is waited for), so the counter is read safely here.
  const bool compacts = *counter + 1 >= store->maxIncrementalCount;
  FLTUserLoggingRecordKeyValue(key, value, store, counter);
  if (compacts) {
    if (platform::Queue* queue = FLTLoggingQueue()) queue->sync([] {});
  }
  return true;
}

void FLTReport::recordValueForUserKey(const char* value, const char* key) {
  const FLTReadOnlyContext* context = FLTContextReadOnly();
  if (context == nullptr) return;
  recordInto(&userStore_, context->userLoggingLimits.maxCustomKeys, &userKVCounter_, value, key);
}

void FLTReport::recordValueForInternalKey(const char* value, const char* key) {
  recordInto(&internalStore_, kFLTUserLoggingInternalMaxKeys, &internalKVCounter_, value, key);
}

void FLTReport::setUserIdentifier(const char* value) {
  recordValueForInternalKey(value, std::string(kFLTUserLoggingUserIdKey).c_str());
}

void FLTReport::setUserName(const char* value) {
  recordValueForInternalKey(value, std::string(kFLTUserLoggingUserNameKey).c_str());
}

void FLTReport::setUserEmail(const char* value) {
  recordValueForInternalKey(value, std::string(kFLTUserLoggingUserEmailKey).c_str());
}

}  // namespace vandrel::crash
