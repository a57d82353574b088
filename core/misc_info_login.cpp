// Signing in and out: the sign-in with its reply, the kept credentials, the
// sign-out, and the clearing of a session the service has ended.

#include <string>
#include <utility>
#include <vector>

#include "core/app_constants.h"
#include "core/connection_port.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/model_cache.h"
#include "core/qv_connect_log.h"
#include "core/qv_network.h"
#include "core/whole_integer.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace vandrel::core {

using platform::Promise;

namespace {

// "Let the application choose": the region holding only the automatic line.
RegionsItem automaticRegion() {
  RegionsItem region;
  region.icon = "icon_autoselect";
  region.name = "Smart Location";
  region.lines = std::vector<std::shared_ptr<LineItem>>{LineItem::automaticLine()};
  return region;
}

}  // namespace

Promise<ResultData> MiscInfo::login(std::optional<std::string> account,
                                    std::optional<std::string> password, LoginAuthType authType,
                                    std::string callCode, std::string smsCode) {
  port_.setCurrentLine(LineItem::automaticLine());
  const State state = snapshot();
  const std::optional<AccountModel>& stored = state.accountInfo;
  Credentials credentials;
  // An explicit account (an empty one too) never falls back.
  credentials.account = account             ? std::move(*account)
                        : stored && stored->account ? *stored->account
                                                    : state.username;
  credentials.password = password             ? std::move(*password)
                         : stored && stored->password ? *stored->password
                                                      : state.password;
  credentials.callCode = std::move(callCode);
  credentials.authType = authType;
  if (credentials.account.empty() || credentials.password.empty()) {
    LogUtil::reportError(kPleaseLoginMessage);
    return Promise<ResultData>::resolved(ResultData::failure(std::string(kPleaseLoginMessage)));
  }
  return network()
      .login(credentials.account, credentials.password, authType, credentials.callCode, smsCode)
      .then(platform::mainQueue(), [this, credentials](const ResultData& result) {
        return handleLoginReply(result, credentials);
      });
}

ResultData MiscInfo::handleLoginReply(const ResultData& result, const Credentials& credentials) {
  if (qv_ConnectLog* log = connectLog()) log->mark("login");
  if (!result.isSuccess) {
    // Only a refusal by the service forgets the account: a failure on the
    // way (offline, cancelled, a reply that did not read) says nothing
    // about the credentials, and a re-login must not erase them.
    if (result.fromServiceReply) {
      saveAccount("", "", "", LoginAuthType::username);
      setLoginCookie("");
    }
    LogUtil::log(result.message);
    return result;
  }
  setLoginCookie(result.cookie);
  saveAccount(credentials.account, credentials.password, credentials.callCode,
              credentials.authType);
  const bool byEmail = isEmail(credentials.account);
  const bool byPhone = !byEmail && readsAsWholeInteger(credentials.account);
  std::optional<AccountModel> input;
  update([&](State& state) {
    if (state.inputAccountInfo) {
      AccountModel& typed = *state.inputAccountInfo;
      typed.authType = std::string(wireText(credentials.authType));
      if (byEmail) {
        typed.email = credentials.account;
      } else if (byPhone) {
        typed.phone = credentials.account;
        typed.callCode = credentials.callCode;
      }
    }
    input = state.inputAccountInfo;
  });
  saveModel(input, kInputAccountInfoCacheEntry);
  LogUtil::log("login Success");
  port_.setLastUpdateTime(nowSeconds());
  port_.requestLines(Promise<ResultData>());
  setShouldRestore(true);
  (void)updateMiscInfo(-1);
  return result;
}

void MiscInfo::saveAccount(const std::string& account, const std::string& password,
                           const std::string& callCode, LoginAuthType authType) {
  std::optional<AccountModel> kept;
  if (!account.empty() && !password.empty()) {
    kept = AccountModel{.account = account,
                        .password = password,
                        .email = std::nullopt,
                        .phone = std::nullopt,
                        .authType = std::string(wireText(authType)),
                        .callCode = callCode};
  }
  update([&](State& state) {
    state.username.clear();
    state.password.clear();
    state.accountInfo = kept;
  });
  saveModel(kept, kAccountInfoCacheEntry);
}

void MiscInfo::logout(bool notifyServer) {
  const qv_ConnectStatus status = port_.connectStatus();
  if (status != qv_ConnectStatus::qv_on) {
    // A connect under way may already be at the daemon step, where
    // cancelling the service requests does not reach it.
    if (status == qv_ConnectStatus::qv_connecting) port_.cancelConnectAttempt();
    finishLogout(notifyServer);
    return;
  }
  // The stop may wait for the daemon and for the helper, whose answer comes
  // through the main queue: it is waited for on the global queue, and the
  // sign-out goes on on the main queue once it has a result.
  stopTunnelsInBackground([this, notifyServer](const ResultData& stopped) {
    markDisconnected(stopped);
    finishLogout(notifyServer);
  });
}

void MiscInfo::finishLogout(bool notifyServer) {
  forgetModel();
  setLinks(Links::defaults());
  port_.selectRegion(automaticRegion());
  port_.setCurrentLine(LineItem::automaticLine());
  saveAccount("", "", "", LoginAuthType::username);
  cancelAllRequests(notifyServer);
}

void MiscInfo::cancelAllRequests(bool notifyServer) {
  LogUtil::log("logout cancel all request");
  // Every request in flight settles as cancelled before "/logout" is built.
  network().cancelAllTasks();
  inBackground([this, notifyServer] { sendLogout(notifyServer); });
}

void MiscInfo::sendLogout(bool notifyServer) {
  if (!notifyServer) {
    dropLoginCookie();
    return;
  }
  // The cookie stays until "/logout" has settled, so the request carries it;
  // any result (a cancellation too) then drops it.
  network()
      .request("/logout", qv_Network::Method::POST, std::nullopt, qv_Network::Encoding::url)
      .then(platform::mainQueue(), [this](const ResultData&) { dropLoginCookie(); });
}

void MiscInfo::dropLoginCookie() {
  setLoginCookie("");
  LogUtil::reportError(kPleaseLoginMessage);
}

void MiscInfo::clearUserInfo(bool stopConnection) {
  forgetModel();
  setLoginCookie("");
  saveAccount("", "", "", LoginAuthType::username);
  if (!stopConnection) return;
  const qv_ConnectStatus status = port_.connectStatus();
  if (status == qv_ConnectStatus::qv_on) {
    stopTunnelsInBackground([this](const ResultData& stopped) { markDisconnected(stopped); });
  } else if (status == qv_ConnectStatus::qv_connecting) {
    port_.cancelConnectAttempt();
  }
}

void MiscInfo::markDisconnected(const ResultData& result) {
  if (!result.isSuccess) return;
  port_.setBothConnectStatuses(qv_ConnectStatus::qv_off);
  notifications_.post(std::string(kVPNStatusChangeNotification));
}

void MiscInfo::forgetModel() {
  signOuts_.fetch_add(1);
  setModel(std::nullopt);
  saveModel(std::optional<MiscInfoModel>{}, kMiscInfoCacheEntry);
  notifications_.post(std::string(kMiscInfoDidUpdateNotification));
}

}  // namespace vandrel::core
