#include "connection/connect_road.h"

#include "connection/accel_accel_service_client.h"
#include "connection/alert_helpers.h"
#include "connection/daemon_manager.h"
#include "connection/helper_client.h"
#include "connection/lines_manager.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/qv_connect_log.h"
#include "core/qv_network.h"
#include "core/static_data.h"

namespace vandrel::connection {

using core::ResultData;
using platform::Promise;

bool SharedConnectRoad::isForbiddenArea() { return core::MiscInfo::shared().isForbiddenArea(); }

std::optional<core::MiscInfoModel> SharedConnectRoad::accountModel() {
  return core::MiscInfo::shared().model();
}

Promise<ResultData> SharedConnectRoad::signInAgain() {
  return core::MiscInfo::shared().login(std::nullopt, std::nullopt, core::LoginAuthType::username,
                                        "", "");
}

Promise<ResultData> SharedConnectRoad::refreshAccount() {
  return core::MiscInfo::shared().updateMiscInfo(-1);
}

void SharedConnectRoad::dropConnectLog() { core::qv_ConnectLog::shared().discard(); }

bool SharedConnectRoad::isAgreeTerms() { return core::StaticData::shared().isAgreeTerms(); }

void SharedConnectRoad::setIsAgreeTerms(bool agreed) {
  core::StaticData::shared().setIsAgreeTerms(agreed);
}

void SharedConnectRoad::disconnectLine(const std::shared_ptr<core::LineItem>& line) {
  (void)core::qv_Network::shared().disconnectLine(line);
}

void SharedConnectRoad::openLink(const std::string& url) { openSharedLink(url); }

AlertHelpers& SharedConnectRoad::alerts() { return AlertHelpers::shared(); }

LinesManager& SharedConnectRoad::lines() { return LinesManager::shared(); }

DaemonManager& SharedConnectRoad::daemonManager() { return DaemonManager::shared(); }

AccelCalls& SharedConnectRoad::accel() { return AccelCalls::shared(); }

HelperClient& SharedConnectRoad::helper() { return sharedHelperClient(); }

core::qv_ConnectLog& SharedConnectRoad::connectLog() { return core::qv_ConnectLog::shared(); }

}  // namespace vandrel::connection
