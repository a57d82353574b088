// The connect road of qv_ConnectionManager: the connect pipeline, the
// watchdog, the result handling, the cancel and the tunnel stop.

#include <cmath>
#include <utility>

#include "connection/accel_accel_service_client.h"
#include "connection/alert_helpers.h"
#include "connection/connect_road.h"
#include "connection/daemon_manager.h"
#include "connection/helper_client.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "core/qv_connect_log.h"
#include "core/service_hooks.h"
#include "platform/check.h"
#include "platform/notification_center.h"

namespace vandrel::connection {

using core::LineItem;
using core::LogUtil;
using core::qv_ConnectStatus;
using core::ResultData;
using platform::Promise;
namespace texts = connect_texts;

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The text of the failure alert for a result's message.
std::string alertText(std::string text) {
  if (contains(text, texts::kHelperUnreachableChinese) ||
      contains(text, texts::kHelperUnreachable)) {
    text = texts::kRestartAdvice;
  }
  // Tested on the text so obtained.
  if (contains(text, texts::kLaunchdErrorMarker)) text = texts::kAuthorizeAdvice;
  return text;
}

// A catalogue needs loading when there is none, or when its list (regions,
// else regionLines) is present and empty; one with neither list counts as
// loaded.
bool needsCatalogue(const std::optional<core::RegionsModel>& model) {
  if (!model) return true;
  const auto& list = model->regions ? model->regions : model->regionLines;
  return list && list->empty();
}

}  // namespace

// ---- Pipeline ------------------------------------------------------------------

std::optional<ResultData> qv_ConnectionManager::runConnectPipeline(const std::string& connectId) {
  VANDREL_CHECK(!platform::isMainThread(), "the connect pipeline on the main thread");
  std::optional<ResultData> result = pipelineSteps(connectId);
  // The watchdog may have applied its time-out in the meantime: exactly one
  // of the two reaches the status.
  if (!result || !claimConnectAttempt(connectId)) return std::nullopt;
  return result;
}

ResultData qv_ConnectionManager::silentFailure() {
  LogUtil::reportError(texts::kSilent);
  return ResultData::failure(std::string(texts::kSilent));
}

std::optional<ResultData> qv_ConnectionManager::pipelineSteps(const std::string& connectId) {
  const Road& r = road();
  ConnectRoad& road = *r.road;
  if (road.isForbiddenArea()) {
    road.alerts().showAlert(std::string(texts::kForbiddenTitle),
                            std::string(texts::kForbiddenMessage), "OK");
    LogUtil::debug("BREAK Forbidden Region");
    return silentFailure();
  }
  if (!road.isAgreeTerms()) {
    road.alerts().showAlert(
        std::string(texts::kTermsTitle), std::string(texts::kTermsMessage),
        std::string(texts::kTermsAccept), [this] { acceptTerms(); },
        std::string(texts::kTermsDetail), [this] { showTermsDetail(); });
    return silentFailure();
  }

  LogUtil::log("will connect");
  // Never cancelled: a later attempt has another id, a finished one has
  // been claimed.
  r.options.watchdogScheduler->schedule(r.options.watchdogDelay, *r.options.mainQueue,
                                        [this, connectId] { connectWatchdog(connectId); });
  core::qv_ConnectLog& connectLog = road.connectLog();
  if (!connectLog.activeLog()) connectLog.begin().mark("connect-start");

  if (auto end = accountSteps(connectId)) return end->result;
  if (auto end = catalogueStep(connectId)) return end->result;

  ResultData hello = sayHello(connectId);
  if (!isCurrentAttempt(connectId)) return std::nullopt;
  if (!hello.isSuccess) {
    connectLog.markError(hello.message).report();
    return hello;
  }
  return ResultData::success();
}

std::optional<qv_ConnectionManager::StepEnd> qv_ConnectionManager::accountSteps(
    const std::string& connectId) {
  ConnectRoad& road = *this->road().road;
  core::qv_ConnectLog& connectLog = road.connectLog();

  const auto model = road.accountModel();
  if (!model || model->user_id == -1) {
    ResultData signedIn = awaitAttempt(connectId, road.signInAgain());
    if (!isCurrentAttempt(connectId)) return StepEnd{};
    if (!signedIn.isSuccess) {
      road.dropConnectLog();
      return StepEnd{std::move(signedIn)};
    }
    // The sign-in reply only starts the user-record refresh; the session
    // request below needs the record, so wait for one here. Its own failure
    // shows there as "not signed in".
    if (!road.accountModel()) {
      (void)awaitAttempt(connectId, road.refreshAccount());
      if (!isCurrentAttempt(connectId)) return StepEnd{};
    }
  }
  connectLog.mark("register").mark("login");

  const auto account = road.accountModel();
  if (!account || !account->expired) return std::nullopt;
  // Its own failure does not matter: the refreshed record decides.
  (void)awaitAttempt(connectId, road.refreshAccount());
  if (!isCurrentAttempt(connectId)) return StepEnd{};
  const auto refreshed = road.accountModel();
  if (!refreshed || !refreshed->expired || road.lines().isAutoSelect()) return std::nullopt;
  AlertHelpers& alerts = road.alerts();
  alerts.showAlert(
      std::string(texts::kUpgradeTitle), std::string(texts::kUpgradeMessage),
      std::string(texts::kUpgradeButton), [&alerts] { alerts.openUpgradePage(); },
      std::string(texts::kNotNowButton), [&alerts] { alerts.switchToSmartLocation(); });
  road.dropConnectLog();
  LogUtil::debug("Break: expired choose VIP line");
  return StepEnd{silentFailure()};
}

std::optional<qv_ConnectionManager::StepEnd> qv_ConnectionManager::catalogueStep(
    const std::string& connectId) {
  const Road& r = road();
  ConnectRoad& road = *r.road;
  core::qv_ConnectLog& connectLog = road.connectLog();
  LinesManager& lines = road.lines();
  if (!needsCatalogue(lines.model())) {
    connectLog.mark("getLines");
    return std::nullopt;
  }
  lines.setLastUpdateTime(
      static_cast<std::int64_t>(std::trunc(r.options.clock->secondsSince1970())));
  Promise<ResultData> fetched;
  lines.requestLines(fetched);
  ResultData result = awaitAttempt(connectId, fetched);
  if (!isCurrentAttempt(connectId)) return StepEnd{};
  connectLog.mark("getLines");
  if (result.isSuccess) return std::nullopt;
  connectLog.markError(result.message).report();
  // A foreign account's refusal reaches the user as the service said it.
  if (result.code == core::kCodeForeignAccount) return StepEnd{std::move(result)};
  LogUtil::reportError(texts::kServerError);
  return StepEnd{ResultData::failure(std::string(texts::kServerError))};
}

ResultData qv_ConnectionManager::sayHello(const std::string& connectId) {
  ConnectRoad& road = *this->road().road;
  core::qv_ConnectLog& connectLog = road.connectLog();
  LinesManager& lines = road.lines();
  LogUtil::debug("begin Hello");

  const core::RegionsItem region = lines.currentRegion();
  std::shared_ptr<LineItem> line =
      region.lines && !region.lines->empty() ? region.lines->front() : LineItem::automaticLine();
  lines.setCurrentLine(line);
  const auto superseded = [] {
    LogUtil::reportError(DaemonManager::kTimeout);
    return ResultData::failure(std::string(DaemonManager::kTimeout));
  };
  if (!isCurrentAttempt(connectId)) return superseded();

  LinesManager::Session obtained = lines.obtainSession(
      lines.currentLine(), [this, connectId] { return isCurrentAttempt(connectId); });
  if (obtained.line) {
    // Kept with the attempt: a ping cycle's restore may replace the current
    // line while the tunnel starts, yet this is the session to release.
    platform::MutexLock lock(mutex_);
    sessionLine_ = obtained.line;
  }
  ResultData session = awaitAttempt(
      connectId, Promise<ResultData>::resolved(std::move(obtained.result)));
  connectLog.mark("getSession");
  if (!isCurrentAttempt(connectId)) return superseded();
  if (!session.isSuccess) {
    connectLog.markError(session.message).report();
    LogUtil::reportError(session.message);
    return ResultData::failure(session.message);
  }
  connectLog.markValue("retryCount", std::to_string(lines.reconnectCount()));

  LogUtil::debug("begin checkDaemon");
  return awaitAttempt(connectId, road.daemonManager().checkDaemon(obtained.line, connectId));
}

void qv_ConnectionManager::acceptTerms() {
  road().road->setIsAgreeTerms(true);
  notifications_.post(std::string(kWidgetConnectDidClickNotification));
}

void qv_ConnectionManager::showTermsDetail() { road().road->openLink(core::termsURL()); }

std::shared_ptr<void> qv_ConnectionManager::trackWork() {
  pendingWork_.fetch_add(1);
  return std::shared_ptr<void>(nullptr, [this](void*) { pendingWork_.fetch_sub(1); });
}

// ---- Watchdog --------------------------------------------------------------------

void qv_ConnectionManager::connectWatchdog(const std::string& connectId) {
  bool claimed = false;
  std::vector<AttemptWait> superseded;
  {
    platform::MutexLock lock(mutex_);
    if (currentConnectId_ != connectId) return;  // ended, or a newer attempt runs
    currentConnectId_ = std::string(kTimeoutConnectId);
    claimed = claimedConnectId_ != connectId;
    if (claimed) claimedConnectId_ = connectId;
    superseded = takeSupersededWaits(currentConnectId_);
  }
  // The blocked steps of the attempt return now, and drop what they get.
  settleSuperseded(std::move(superseded));
  if (!claimed || qv_connectStatus() != qv_ConnectStatus::qv_connecting) return;
  applyTimeout();
}

void qv_ConnectionManager::applyTimeout() {
  ConnectRoad& road = *this->road().road;
  road.connectLog().mark("watchdog barking").report();
  LogUtil::reportError(texts::kConnectTimeout);
  handleConnectResult(ResultData::failure(std::string(texts::kConnectTimeout)), 0);
  // The daemon calls block: never on the main queue.
  platform::globalQueue().async([this, work = trackWork()] { (void)stopTunnels(); });
}

// ---- Results -------------------------------------------------------------------------

void qv_ConnectionManager::handleConnectResult(const ResultData& result, std::int64_t kind) {
  const Road& r = road();
  ConnectRoad& road = *r.road;
  if (!result.isSuccess) road.connectLog().markError(result.message);
  const std::string word = result.isSuccess ? "success" : "failed";
  const std::string suffix = result.message == texts::kSilent ? "" : ": " + result.message;
  const bool connect = kind == 0;
  LogUtil::log((connect ? "connect " : "disconnect ") + word + suffix);

  const qv_ConnectStatus settled = connect ? qv_ConnectStatus::qv_on : qv_ConnectStatus::qv_off;
  const qv_ConnectStatus status = result.isSuccess ? settled : lastConnectStatus();
  if (status == qv_ConnectStatus::qv_on || status == qv_ConnectStatus::qv_off) {
    setBothConnectStatuses(status);
  } else {
    setConnectStatus(status);
  }
  postVPNStatusChange();

  if (connect && result.isSuccess) {
    // A daemon call: off the main queue.
    if (platform::isMainThread()) {
      platform::globalQueue().async([this, work = trackWork()] { saveExcludeRoutes(); });
    } else {
      saveExcludeRoutes();
    }
  }
  if (!connect && result.isSuccess && shouldConnectAfterDisconnect_.exchange(false)) {
    r.options.scheduler->schedule(
        kReconnectDelay, *r.options.mainQueue, [this, work = trackWork()] {
          notifications_.post(std::string(kWidgetConnectDidClickNotification));
        });
  }
  if (result.message != texts::kSilent) {
    road.alerts().showAlert(
        std::string(connect ? texts::kConnectFailedTitle : texts::kDisconnectFailedTitle),
        alertText(result.message), "OK");
  }
}

void qv_ConnectionManager::saveExcludeRoutes() {
  AccelCalls& accel = road().road->accel();
  std::optional<std::string> error = accel.saveExcludeRoutes();
  if (!error) return;
  LogUtil::reportError("saveRouters1: " + *error);
  error = accel.saveExcludeRoutes();
  if (error) LogUtil::reportError("saveRouters2: " + *error);
}

// ---- Cancel and stop ----------------------------------------------------------------

void qv_ConnectionManager::cancelAttemptInBackground() {
  setCurrentConnectId(newConnectId());
  platform::globalQueue().async(
      [this, work = trackWork()] { handleConnectResult(cancelConnection(), 2); });
}

ResultData qv_ConnectionManager::cancelConnection() {
  VANDREL_CHECK(!platform::isMainThread(), "cancelConnection on the main thread");
  ConnectRoad& road = *this->road().road;
  LogUtil::debug("will disconnect");
  road.connectLog().mark("connect-cancel").markError("connect-cancel").report();
  setConnectStatus(qv_ConnectStatus::qv_disconnecting);
  postVPNStatusChange();
  ResultData result = stopTunnels().wait();
  (void)road.lines().loadLinesIfNeeded(60);
  return result;
}

Promise<ResultData> qv_ConnectionManager::stopTunnels() {
  VANDREL_CHECK(!platform::isMainThread(), "stopTunnels on the main thread");
  ConnectRoad& road = *this->road().road;
  const std::optional<std::string> error = road.daemonManager().stopDaemonTunnels();
  std::shared_ptr<LineItem> released;
  {
    platform::MutexLock lock(mutex_);
    released = std::exchange(sessionLine_, nullptr);
  }
  road.disconnectLine(released ? released : road.lines().currentLine());
  if (!error) return Promise<ResultData>::resolved(ResultData::success());

  LogUtil::reportError(*error);
  Promise<ResultData> stopped;
  road.helper().reloadAndClear([stopped](const std::optional<std::string>& reply) {
    if (!reply) {
      stopped.resolve(ResultData::success());
      return;
    }
    LogUtil::reportError(*reply);
    stopped.resolve(ResultData::failure(*reply));
  });
  return stopped;
}

}  // namespace vandrel::connection
