#include "connection/connection_port_impl.h"

#include <utility>

#include "connection/alert_helpers.h"
#include "connection/helper_client.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "platform/check.h"

namespace vandrel::connection {

ConnectionPortImpl& ConnectionPortImpl::shared() {
  // Leaked: the core holds it for the rest of the process. Nothing shared
  // is built here; each part is reached on first use.
  static ConnectionPortImpl* const instance = new ConnectionPortImpl(
      qv_ConnectionManager::shared(), []() -> LinesManager& { return LinesManager::shared(); },
      AlertHelpers::shared());
  return *instance;
}

void ConnectionPortImpl::installShared() { core::setSharedConnectionPort(&shared()); }

ConnectionPortImpl::ConnectionPortImpl(qv_ConnectionManager& manager, LinesAccess lines,
                                       AlertHelpers& alerts, HelperAccess helper)
    : manager_(manager), lines_(std::move(lines)), alerts_(alerts), helper_(std::move(helper)) {
  VANDREL_CHECK(lines_ != nullptr, "ConnectionPortImpl needs a way to the lines manager");
  VANDREL_CHECK(helper_ != nullptr, "ConnectionPortImpl needs a way to the helper client");
}

ConnectionPortImpl::ConnectionPortImpl(qv_ConnectionManager& manager, LinesAccess lines,
                                       AlertHelpers& alerts)
    : ConnectionPortImpl(manager, std::move(lines), alerts,
                         []() -> HelperClient& { return sharedHelperClient(); }) {}

// ---- Connection manager ----------------------------------------------------

core::qv_ConnectStatus ConnectionPortImpl::connectStatus() const {
  return manager_.qv_connectStatus();
}

void ConnectionPortImpl::setBothConnectStatuses(core::qv_ConnectStatus status) {
  manager_.setBothConnectStatuses(status);
}

core::ConnectMode ConnectionPortImpl::connectMode() const { return manager_.connectMode(); }

std::string ConnectionPortImpl::connectNetwork() const { return manager_.connectNetwork(); }

platform::Promise<core::ResultData> ConnectionPortImpl::stopTunnels() {
  return manager_.stopTunnels();
}

void ConnectionPortImpl::cancelConnectAttempt() { manager_.cancelAttemptInBackground(); }

// ---- Lines manager -----------------------------------------------------------

std::shared_ptr<core::LineItem> ConnectionPortImpl::currentLine() const {
  return lines_().currentLine();
}

void ConnectionPortImpl::setCurrentLine(std::shared_ptr<core::LineItem> line) {
  lines_().setCurrentLine(std::move(line));
}

core::RegionsItem ConnectionPortImpl::currentRegion() const { return lines_().currentRegion(); }

bool ConnectionPortImpl::isAutoSelect() const { return lines_().isAutoSelect(); }

std::int64_t ConnectionPortImpl::reconnectCount() const { return lines_().reconnectCount(); }

void ConnectionPortImpl::setLastUpdateTime(std::int64_t seconds) {
  lines_().setLastUpdateTime(seconds);
}

void ConnectionPortImpl::selectRegion(core::RegionsItem region) {
  lines_().selectRegion(std::move(region));
}

void ConnectionPortImpl::requestLines(platform::Promise<core::ResultData> resolver) {
  lines_().requestLines(std::move(resolver));
}

// ---- User interface helpers --------------------------------------------------

void ConnectionPortImpl::showAlert(std::string title, std::string message, std::string button1,
                                   std::function<void()> action1,
                                   std::optional<std::string> button2,
                                   std::function<void()> action2) {
  alerts_.showAlert(std::move(title), std::move(message), std::move(button1), std::move(action1),
                    std::move(button2), std::move(action2));
}

void ConnectionPortImpl::openUpgradePage() { alerts_.openUpgradePage(); }

void ConnectionPortImpl::switchToSmartLocation() { alerts_.switchToSmartLocation(); }

// ---- Helper tool client --------------------------------------------------------

std::optional<std::string> ConnectionPortImpl::goServicePath() const {
  return helper_().goServicePath();
}

void ConnectionPortImpl::debugInfoCallBack(
    std::function<void(std::optional<std::string>)> callback) {
  helper_().debugInfoCallBack(std::move(callback));
}

}  // namespace vandrel::connection
