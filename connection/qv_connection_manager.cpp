#include "connection/qv_connection_manager.h"

#include <cstdio>
#include <utility>

#include "platform/defaults.h"
#include "platform/notification_center.h"

namespace vandrel::connection {

using platform::MutexLock;

static_assert(std::atomic<ConnectStatuses>::is_always_lock_free,
              "the status pair must be one lock-free atomic");

qv_ConnectionManager& qv_ConnectionManager::shared() {
  // Leaked: the manager outlives every thread that may still use it.
  static qv_ConnectionManager* const instance = [] {
    static auto* const noSystemVpn = new NoSystemVpnSource;
    auto* manager = new qv_ConnectionManager(platform::Defaults::standard(),
                                             platform::NotificationCenter::shared(), *noSystemVpn);
    manager->start();
    return manager;
  }();
  return *instance;
}

qv_ConnectionManager::qv_ConnectionManager(platform::Defaults& defaults,
                                           platform::NotificationCenter& notifications,
                                           SystemVpnSource& systemVpn)
    : defaults_(defaults),
      notifications_(notifications),
      systemVpn_(systemVpn),
      connectMode_(core::readConnectModeCache(defaults)) {}

void qv_ConnectionManager::start() {
  if (const auto status = systemVpn_.firstConfigurationStatus()) applySystemVPNStatus(*status);
  observeSystemVPNStatus();
}

void qv_ConnectionManager::setConnectStatus(qv_ConnectStatus status) {
  ConnectStatuses expected = statuses_.load();
  while (!statuses_.compare_exchange_weak(expected, ConnectStatuses{expected.last, status})) {
  }
}

void qv_ConnectionManager::setLastConnectStatus(qv_ConnectStatus status) {
  ConnectStatuses expected = statuses_.load();
  while (!statuses_.compare_exchange_weak(expected, ConnectStatuses{status, expected.current})) {
  }
}

void qv_ConnectionManager::setConnectMode(ConnectMode mode) {
  connectMode_.store(mode);
  notifications_.post(std::string(core::kModeDidChangeNotification));
  core::writeConnectModeCache(defaults_, mode);
}

std::string qv_ConnectionManager::connectNetwork() const {
  MutexLock lock(mutex_);
  return connectNetwork_;
}

void qv_ConnectionManager::setConnectNetwork(std::string network) {
  MutexLock lock(mutex_);
  connectNetwork_ = std::move(network);
}

std::string qv_ConnectionManager::currentConnectId() const {
  MutexLock lock(mutex_);
  return currentConnectId_;
}

void qv_ConnectionManager::setCurrentConnectId(std::string id) {
  MutexLock lock(mutex_);
  currentConnectId_ = std::move(id);
}

bool qv_ConnectionManager::compareAndSetConnectId(std::string_view expected, std::string desired) {
  MutexLock lock(mutex_);
  if (currentConnectId_ != expected) return false;
  currentConnectId_ = std::move(desired);
  return true;
}

void qv_ConnectionManager::observeSystemVPNStatus() {
  systemVpn_.observeFirstConfiguration(
      [this](std::int64_t status) { applySystemVPNStatus(status); });
}

void qv_ConnectionManager::applySystemVPNStatus(std::int64_t status) {
  shouldListenSystemVPNStatus_.store(true);
  // The system log of the platform this mirrors; stderr here.
  std::fprintf(stderr, "正在监听系统通知\n");
  switch (status) {
    case 0:
    case 1:
      setBothConnectStatuses(qv_ConnectStatus::qv_off);
      break;
    case 2:
    case 4:
      setConnectStatus(qv_ConnectStatus::qv_connecting);
      break;
    case 3:
      setBothConnectStatuses(qv_ConnectStatus::qv_on);
      break;
    case 5:
      setConnectStatus(qv_ConnectStatus::qv_disconnecting);
      break;
    default:
      return;
  }
  notifications_.post(std::string(core::kVPNStatusChangeNotification));
}

}  // namespace vandrel::connection
