#include "app/connect_toggle.h"

#include <optional>
#include <string>
#include <utility>

#include "connection/qv_connection_manager.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "platform/dispatch.h"

namespace vandrel::app {

using connection::qv_ConnectStatus;

ConnectToggle::ConnectToggle(connection::qv_ConnectionManager& connection,
                             core::MiscInfo& session, platform::Queue& background,
                             std::function<void()> onSecondFailure)
    : connection_(connection),
      session_(session),
      background_(background),
      onSecondFailure_(std::move(onSecondFailure)) {}

void ConnectToggle::startConnectFlow() {
  core::LogUtil::logLine(4, "[DEBUG]: click connect button");
  std::string connectId = connection::newConnectId();
  connection_.setCurrentConnectId(connectId);
  ++pendingFlows_;
  background_.async([self = shared_from_this(), connectId = std::move(connectId)] {
    self->toggleConnection(connectId);
    --self->pendingFlows_;
  });
}

void ConnectToggle::toggleConnection(const std::string& connectId) {
  switch (decide(connectId)) {
    case Step::Nothing:
      return;
    case Step::Cancel:
      connection_.handleConnectResult(connection_.cancelConnection(), 2);
      return;
    case Step::Connect:
      connectFromOff(connectId);
      return;
  }
}

ConnectToggle::Step ConnectToggle::decide(const std::string& connectId) {
  platform::MutexLock lock(decisionMutex_);
  // A newer click came before this flow ran: that flow decides.
  if (!connection_.isCurrentAttempt(connectId)) return Step::Nothing;
  switch (connection_.qv_connectStatus()) {
    case qv_ConnectStatus::qv_on:
    case qv_ConnectStatus::qv_connecting:
      return Step::Cancel;
    case qv_ConnectStatus::qv_disconnecting:
      return Step::Nothing;
    case qv_ConnectStatus::qv_off:
      // Set here, not after the unlock: a newer flow deciding next must see
      // this attempt under way and cancel it rather than start a second one.
      connection_.setConnectStatus(qv_ConnectStatus::qv_connecting);
      return Step::Connect;
  }
  return Step::Nothing;
}

void ConnectToggle::connectFromOff(const std::string& connectId) {
  const std::optional<core::MiscInfoModel> model = session_.model();
  if (!model || model->user_id == -1) {
    // Only noted: the pipeline signs in again by itself.
    core::LogUtil::logLine(4, "[DEBUG]: 弹出登录页面");
  }
  connection_.postVPNStatusChange();

  const std::optional<core::ResultData> result = connection_.runConnectPipeline(connectId);
  // Superseded: the attempt that replaced it handles everything.
  if (!result) return;
  if (!result->isSuccess && result->message != connection::connect_texts::kSilent) {
    const int failures = ++connectFailedCount_;
    if (failures % 2 == 0 && onSecondFailure_) onSecondFailure_();
  }
  connection_.handleConnectResult(*result, 0);
}

}  // namespace vandrel::app
