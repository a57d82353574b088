#include "core/static_data.h"

#include <atomic>
#include <utility>

#include "core/misc_info.h"
#include "core/qv_network.h"
#include "core/remote_log.h"
#include "platform/check.h"
#include "platform/clock.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"

namespace vandrel::core {

using platform::MutexLock;

namespace {
std::atomic<StaticData*> gSharedStaticData{nullptr};
}  // namespace

StaticData& StaticData::shared() {
  // Leaked: requests in flight on other threads use it until the process ends.
  static StaticData* const instance = [] {
    // The session is below the catalogue (it never reaches the catalogue
    // while it is made); the transport and the remote log are above it
    // (they are built over it), so they are reached only when used.
    CatalogueSetup setup;
    setup.inputAccountInfo = MiscInfo::shared().inputAccountInfo();
    setup.network = []() -> qv_Network& { return qv_Network::shared(); };
    auto* data = new StaticData(core::apiHosts(), platform::Defaults::standard(),
                                [](const std::string& host, const std::string& message) {
                                  RemoteLog::shared().reportBadURL(host, message);
                                },
                                std::move(setup));
    gSharedStaticData.store(data, std::memory_order_release);
    data->start();
    return data;
  }();
  return *instance;
}

StaticData* StaticData::sharedIfCreated() {
  return gSharedStaticData.load(std::memory_order_acquire);
}

StaticData::StaticData(std::vector<ApiHost> hosts, platform::Defaults& defaults,
                       BadUrlReporter reportBadURL, CatalogueSetup setup)
    : hosts_(std::move(hosts)),
      defaults_(defaults),
      reportBadURL_(std::move(reportBadURL)),
      clock_(setup.clock ? *setup.clock : platform::SystemClock::shared()),
      notifications_(setup.notifications ? *setup.notifications
                                         : platform::NotificationCenter::shared()),
      network_(std::move(setup.network)) {
  VANDREL_CHECK(!hosts_.empty(), "StaticData needs at least one API host");
  Catalogue restored = restoreCatalogue(setup.inputAccountInfo);
  MutexLock lock(mutex_);
  catalogue_ = std::move(restored);
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
