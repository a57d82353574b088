#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/account_records.h"
#include "core/result_data.h"
#include "platform/promise.h"

namespace vandrel::core {
class LineItem;
class qv_ConnectLog;
}  // namespace vandrel::core

namespace vandrel::connection {

class AccelCalls;
class AlertHelpers;
class DaemonManager;
class HelperClient;
class LinesManager;

// What the connect road of qv_ConnectionManager reaches beyond its own
// state: the account session, the catalogue's terms flag, the lines, the
// daemon and helper clients, the connection log, the alerts and the
// browser. The application uses SharedConnectRoad; tests give one over
// their own fresh objects.
//
// Every method may be called from any thread.
class ConnectRoad {
 public:
  virtual ~ConnectRoad() = default;

  // ---- Account session ------------------------------------------------------
  // The service placed the user in a banned region.
  virtual bool isForbiddenArea() = 0;
  // The user record; none before the first sign-in and after log-out.
  virtual std::optional<core::MiscInfoModel> accountModel() = 0;
  // Signs in again with the account saved in the session (no account, no
  // password, sign-in kind "username"). Always fulfilled.
  virtual platform::Promise<core::ResultData> signInAgain() = 0;
  // Refreshes the user record from the service, whatever its age (an
  // interval of -1). Always fulfilled.
  virtual platform::Promise<core::ResultData> refreshAccount() = 0;
  // Drops the connection-log record under way without sending it.
  virtual void dropConnectLog() = 0;

  // ---- Catalogue ----------------------------------------------------------------
  virtual bool isAgreeTerms() = 0;
  // Stores the flag (persisted).
  virtual void setIsAgreeTerms(bool agreed) = 0;

  // ---- Service --------------------------------------------------------------------
  // Tells the service that `line` is released; nobody waits for it.
  virtual void disconnectLine(const std::shared_ptr<core::LineItem>& line) = 0;

  // ---- User interface ---------------------------------------------------------------
  // Opens a web address in the browser.
  virtual void openLink(const std::string& url) = 0;
  virtual AlertHelpers& alerts() = 0;

  // ---- Connection control -------------------------------------------------------------
  virtual LinesManager& lines() = 0;
  virtual DaemonManager& daemonManager() = 0;
  virtual AccelCalls& accel() = 0;
  virtual HelperClient& helper() = 0;
  virtual core::qv_ConnectLog& connectLog() = 0;
};

// The application's road: the process's shared objects, each reached when
// first used (so attaching the road makes none of them).
class SharedConnectRoad final : public ConnectRoad {
 public:
  bool isForbiddenArea() override;
  std::optional<core::MiscInfoModel> accountModel() override;
  platform::Promise<core::ResultData> signInAgain() override;
  platform::Promise<core::ResultData> refreshAccount() override;
  void dropConnectLog() override;
  bool isAgreeTerms() override;
  void setIsAgreeTerms(bool agreed) override;
  void disconnectLine(const std::shared_ptr<core::LineItem>& line) override;
  void openLink(const std::string& url) override;
  AlertHelpers& alerts() override;
  LinesManager& lines() override;
  DaemonManager& daemonManager() override;
  AccelCalls& accel() override;
  HelperClient& helper() override;
  core::qv_ConnectLog& connectLog() override;
};

}  // namespace vandrel::connection
