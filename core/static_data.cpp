#include "core/static_data.h"

#include <utility>

#include "core/remote_log.h"
#include "platform/check.h"
#include "platform/defaults.h"

namespace vandrel::core {

using platform::MutexLock;

StaticData& StaticData::shared() {
  // Leaked: requests in flight on other threads use it until the process ends.
  static StaticData* const instance =
      new StaticData(core::apiHosts(), platform::Defaults::standard(),
                     [](const std::string& host, const std::string& message) {
                       RemoteLog::shared().reportBadURL(host, message);
                     });
  return *instance;
}

StaticData::StaticData(std::vector<ApiHost> hosts, platform::Defaults& defaults,
                       BadUrlReporter reportBadURL)
    : hosts_(std::move(hosts)), defaults_(defaults), reportBadURL_(std::move(reportBadURL)) {
  VANDREL_CHECK(!hosts_.empty(), "StaticData needs at least one API host");
}

ApiHost StaticData::currentApiHost() {
  (void)defaults_.getBool(kSwitchVMKey);
  MutexLock lock(mutex_);
  if (currentHostIndex_ < 0 || currentHostIndex_ >= static_cast<std::int64_t>(hosts_.size())) {
    currentHostIndex_ = 0;
  }
  return hosts_[static_cast<std::size_t>(currentHostIndex_)];
}

std::string StaticData::currentHost() { return currentApiHost().host; }

void StaticData::recordRequestError(const std::string& message) {
  const std::string host = currentHost();
  if (reportBadURL_) reportBadURL_(host, message);
  countRequestError();
}

void StaticData::countRequestError() {
  MutexLock lock(mutex_);
  errorTimes_ += 1;
  if (errorTimes_ < kErrorsPerSwitch) return;
  errorTimes_ = 0;
  const auto count = static_cast<std::int64_t>(hosts_.size());
  currentHostIndex_ = currentHostIndex_ < count - 1 ? currentHostIndex_ + 1 : 0;
}

std::int64_t StaticData::errorTimes() const {
  MutexLock lock(mutex_);
  return errorTimes_;
}

std::int64_t StaticData::currentHostIndex() const {
  MutexLock lock(mutex_);
  return currentHostIndex_;
}

}  // namespace vandrel::core
