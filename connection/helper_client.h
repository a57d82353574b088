#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "connection/daemon_register.h"
#include "connection/route_registrar.h"

namespace vandrel::platform {
class Queue;
}

namespace vandrel::connection {

// What the connect road asks of the privileged helper: the commands of
// DaemonRegister that the daemon manager and the tunnel stop use, and the
// two things that run in the application itself. The application talks to
// the real helper through DaemonRegisterClient; scenario tests give a fake
// that can answer late, wrongly or never.
//
// Threads as DaemonRegister: every method may be called from any thread;
// command methods return at once and call their callBack exactly once (never
// when the helper does not answer at all), on a thread of the client's own;
// a callBack must not wait for another command's reply.
class HelperClient : public RouteRegistrar {
 public:
  using StringCallBack = DaemonRegister::StringCallBack;

  // 0 not yet checked, 1 installed and answering, 2 must be installed.
  virtual std::int32_t authorizationStatus() const = 0;
  virtual void setAuthorizationStatus(std::int32_t status) = 0;

  // Installs the helper off the calling thread (an administrator is asked);
  // "success" or the reason why not, handed to `callBack` on `queue`.
  virtual void registerDaemon(std::function<void(std::string)> callBack,
                              platform::Queue& queue) = 0;
  // "1024" from a current helper; an error's description otherwise.
  virtual void checkDaemonCallBack(StringCallBack callBack) = 0;
  // Starts the daemon unless it serves already: nil, or the failure text.
  virtual void checkAndLoad(StringCallBack callBack) = 0;
  // Restarts the daemon by force: nil, or the failure text.
  virtual void reloadAndClear(StringCallBack callBack) = 0;
  // The printed form of the helper's lines; no callBack for an empty list.
  virtual void deleteRoutes(std::vector<std::string> routes, StringCallBack callBack) = 0;
  virtual void debugInfoCallBack(StringCallBack callBack) = 0;

  // In the application's own process: `command` through /bin/bash -c with
  // the fixed PATH, waited for. Never on the main thread.
  virtual CommandResult runSystemCommand(const std::string& command) = 0;
  // The bundle's "Vandrel-server-daemon", or none.
  virtual std::optional<std::string> goServicePath() const = 0;
};

// The real helper, through a DaemonRegister (which must outlive this).
// sharedHelperClient() is the one over DaemonRegister::shared().
class DaemonRegisterClient final : public HelperClient {
 public:
  explicit DaemonRegisterClient(DaemonRegister& helper) : helper_(helper) {}

  std::int32_t authorizationStatus() const override { return helper_.authorizationStatus(); }
  void setAuthorizationStatus(std::int32_t status) override {
    helper_.setAuthorizationStatus(status);
  }
  void registerDaemon(std::function<void(std::string)> callBack, platform::Queue& queue) override {
    helper_.registerDaemon(std::move(callBack), queue);
  }
  void checkDaemonCallBack(StringCallBack callBack) override {
    helper_.checkDaemonCallBack(std::move(callBack));
  }
  void checkAndLoad(StringCallBack callBack) override { helper_.checkAndLoad(std::move(callBack)); }
  void reloadAndClear(StringCallBack callBack) override {
    helper_.reloadAndClear(std::move(callBack));
  }
  void deleteRoutes(std::vector<std::string> routes, StringCallBack callBack) override {
    helper_.deleteRoutes(std::move(routes), std::move(callBack));
  }
  void debugInfoCallBack(StringCallBack callBack) override {
    helper_.debugInfoCallBack(std::move(callBack));
  }
  void deleteRoutesWhenAppKilled(std::vector<std::string> routes) override {
    helper_.deleteRoutesWhenAppKilled(std::move(routes));
  }
  CommandResult runSystemCommand(const std::string& command) override {
    return helper_.runSystemCommand(command);
  }
  std::optional<std::string> goServicePath() const override { return helper_.goServicePath(); }

 private:
  DaemonRegister& helper_;
};

// The client of the process's helper (leaked).
inline HelperClient& sharedHelperClient() {
  static auto* const client = new DaemonRegisterClient(DaemonRegister::shared());
  return *client;
}

}  // namespace vandrel::connection
