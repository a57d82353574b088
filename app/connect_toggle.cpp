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
  connection_.setCurrentConnectId(connection::newConnectId());
  ++pendingFlows_;
  background_.async([self = shared_from_this()] {
    self->toggleConnection();
    --self->pendingFlows_;
  });
}

void ConnectToggle::toggleConnection() {
  const std::string connectId = connection_.currentConnectId();
  switch (connection_.qv_connectStatus()) {
    case qv_ConnectStatus::qv_on:
    case qv_ConnectStatus::qv_connecting:
      connection_.handleConnectResult(connection_.cancelConnection(), 2);
      return;
    case qv_ConnectStatus::qv_disconnecting:
      return;
    case qv_ConnectStatus::qv_off:
      connectFromOff(connectId);
      return;
  }
}

void ConnectToggle::connectFromOff(const std::string& connectId) {
  const std::optional<core::MiscInfoModel> model = session_.model();
  if (!model || model->user_id == -1) {
    // Only noted: the pipeline signs in again by itself.
    core::LogUtil::logLine(4, "[DEBUG]: 弹出登录页面");
  }
  connection_.setConnectStatus(qv_ConnectStatus::qv_connecting);
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
