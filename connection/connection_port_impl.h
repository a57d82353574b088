#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/connection_port.h"

namespace vandrel::connection {

class AlertHelpers;
class HelperClient;
class LinesManager;
class qv_ConnectionManager;

// Connection control as the core sees it: the connection manager's state,
// the lines manager and the alert helpers behind core::ConnectionPort.
// Every method may be called from any thread.
class ConnectionPortImpl final : public core::ConnectionPort {
 public:
  // The lines manager is looked up at each call: it is built over objects
  // (the service transport) that themselves need this port. So is the
  // helper client.
  using LinesAccess = std::function<LinesManager&()>;
  using HelperAccess = std::function<HelperClient&()>;

  // The process's port (leaked) over the shared connection manager, the
  // shared lines manager, the shared alert helpers and the process's helper
  // client.
  static ConnectionPortImpl& shared();
  // Registers shared() as the core's port; call at start-up, before the
  // first shared() of a core object.
  static void installShared();

  ConnectionPortImpl(qv_ConnectionManager& manager, LinesAccess lines, AlertHelpers& alerts,
                     HelperAccess helper);
  // With the process's helper client (sharedHelperClient()).
  ConnectionPortImpl(qv_ConnectionManager& manager, LinesAccess lines, AlertHelpers& alerts);
  ConnectionPortImpl(const ConnectionPortImpl&) = delete;
  ConnectionPortImpl& operator=(const ConnectionPortImpl&) = delete;

  // ---- Connection manager -------------------------------------------------
  core::qv_ConnectStatus connectStatus() const override;
  void setBothConnectStatuses(core::qv_ConnectStatus status) override;
  core::ConnectMode connectMode() const override;
  std::string connectNetwork() const override;
  // The connection manager's tunnel stop (it blocks: never on the main
  // thread).
  platform::Promise<core::ResultData> stopTunnels() override;
  void cancelConnectAttempt() override;

  // ---- Lines manager ------------------------------------------------------
  std::shared_ptr<core::LineItem> currentLine() const override;
  void setCurrentLine(std::shared_ptr<core::LineItem> line) override;
  core::RegionsItem currentRegion() const override;
  bool isAutoSelect() const override;
  std::int64_t reconnectCount() const override;
  void setLastUpdateTime(std::int64_t seconds) override;
  void selectRegion(core::RegionsItem region) override;
  void requestLines(platform::Promise<core::ResultData> resolver) override;

  // ---- User interface helpers ---------------------------------------------
  void showAlert(std::string title, std::string message, std::string button1,
                 std::function<void()> action1, std::optional<std::string> button2,
                 std::function<void()> action2) override;
  void openUpgradePage() override;
  void switchToSmartLocation() override;

  // ---- Helper tool client -------------------------------------------------
  std::optional<std::string> goServicePath() const override;
  void debugInfoCallBack(std::function<void(std::optional<std::string>)> callback) override;

 private:
  qv_ConnectionManager& manager_;
  const LinesAccess lines_;
  AlertHelpers& alerts_;
  const HelperAccess helper_;
};

}  // namespace vandrel::connection
