#include "connection/qv_connection_manager.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "connection/connect_road.h"
#include "platform/check.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"
#include "platform/promise.h"

namespace vandrel::connection {

using core::ResultData;
using platform::MutexLock;
using platform::Promise;

std::string newConnectId() {
  std::uint8_t bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof(bytes)) {
    const ssize_t n = ::getrandom(bytes + filled, sizeof(bytes) - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    VANDREL_CHECK(n > 0, "no randomness for a connect id");
    filled += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string id;
  for (std::size_t i = 0; i < sizeof(bytes); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) id += '-';
    id += kHex[bytes[i] >> 4];
    id += kHex[bytes[i] & 0x0F];
  }
  return id;
}

static_assert(std::atomic<ConnectStatuses>::is_always_lock_free,
              "the status pair must be one lock-free atomic");

qv_ConnectionManager& qv_ConnectionManager::shared() {
  // Leaked: the manager outlives every thread that may still use it. The
  // road reaches the other shared objects only when it is used.
  static qv_ConnectionManager* const instance = [] {
    static auto* const noSystemVpn = new NoSystemVpnSource;
    static auto* const road = new SharedConnectRoad;
    auto* manager = new qv_ConnectionManager(platform::Defaults::standard(),
                                             platform::NotificationCenter::shared(), *noSystemVpn);
    manager->start();
    manager->attachConnectRoad(*road);
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

void qv_ConnectionManager::attachConnectRoad(ConnectRoad& road, RoadOptions options) {
  VANDREL_CHECK(roadPointer_.load() == nullptr, "the connect road is attached once");
  platform::Scheduler& system = platform::Scheduler::system();
  if (options.mainQueue == nullptr) options.mainQueue = &platform::mainQueue();
  if (options.watchdogScheduler == nullptr) options.watchdogScheduler = &system;
  if (options.scheduler == nullptr) options.scheduler = &system;
  if (options.clock == nullptr) options.clock = &platform::SystemClock::shared();
  road_ = std::make_unique<Road>(Road{&road, options});
  roadPointer_.store(road_.get());
}

void qv_ConnectionManager::attachConnectRoad(ConnectRoad& road) {
  attachConnectRoad(road, RoadOptions{});
}

const qv_ConnectionManager::Road& qv_ConnectionManager::road() const {
  const Road* road = roadPointer_.load();
  VANDREL_CHECK(road != nullptr, "the connect road is used before attachConnectRoad");
  return *road;
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
  std::vector<AttemptWait> superseded;
  {
    MutexLock lock(mutex_);
    currentConnectId_ = std::move(id);
    superseded = takeSupersededWaits(currentConnectId_);
  }
  settleSuperseded(std::move(superseded));
}

bool qv_ConnectionManager::compareAndSetConnectId(std::string_view expected, std::string desired) {
  std::vector<AttemptWait> superseded;
  {
    MutexLock lock(mutex_);
    if (currentConnectId_ != expected) return false;
    currentConnectId_ = std::move(desired);
    superseded = takeSupersededWaits(currentConnectId_);
  }
  settleSuperseded(std::move(superseded));
  return true;
}

bool qv_ConnectionManager::isCurrentAttempt(std::string_view connectId) const {
  MutexLock lock(mutex_);
  return currentConnectId_ == connectId;
}

std::vector<qv_ConnectionManager::AttemptWait> qv_ConnectionManager::takeSupersededWaits(
    const std::string& current) {
  std::vector<AttemptWait> superseded;
  std::vector<AttemptWait> kept;
  for (auto& entry : attemptWaits_) {
    (entry.connectId == current ? kept : superseded).push_back(std::move(entry));
  }
  attemptWaits_ = std::move(kept);
  return superseded;
}

void qv_ConnectionManager::settleSuperseded(std::vector<AttemptWait> waits) {
  // A wait that settled in the meantime keeps its value.
  for (const auto& entry : waits) {
    entry.wait.resolve(ResultData::failure(std::string(kTimeoutConnectId)));
  }
}

void qv_ConnectionManager::addAttemptWait(std::string_view connectId, Promise<ResultData> wait) {
  {
    MutexLock lock(mutex_);
    if (currentConnectId_ == connectId) {
      attemptWaits_.push_back(AttemptWait{std::string(connectId), std::move(wait)});
      return;
    }
  }
  settleSuperseded({AttemptWait{std::string(connectId), std::move(wait)}});
}

ResultData qv_ConnectionManager::awaitAttempt(std::string_view connectId,
                                              const Promise<ResultData>& promise) {
  Promise<ResultData> either;
  addAttemptWait(connectId, either);
  promise.then(platform::globalQueue(),
               [either](const ResultData& value) { either.resolve(value); });
  return either.wait();
}

bool qv_ConnectionManager::claimConnectAttempt(std::string_view connectId) {
  MutexLock lock(mutex_);
  if (currentConnectId_ != connectId || claimedConnectId_ == connectId) return false;
  claimedConnectId_ = std::string(connectId);
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
  postVPNStatusChange();
}

void qv_ConnectionManager::postVPNStatusChange() {
  notifications_.post(std::string(core::kVPNStatusChangeNotification));
}

}  // namespace vandrel::connection
