#include "connection/daemon_manager.h"

#include <charconv>
#include <cstdio>
#include <utility>

#include "connection/accel_accel_service_client.h"
#include "connection/alert_helpers.h"
#include "connection/helper_client.h"
#include "connection/qv_connection_manager.h"
#include "connection/resolver_config.h"
#include "core/api_hosts.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "core/qv_connect_log.h"
#include "core/static_data.h"
#include "platform/check.h"
#include "platform/defaults.h"

namespace vandrel::connection {

using core::ConnectMode;
using core::LineItem;
using core::LogUtil;
using core::ResultData;
using platform::Promise;

namespace {

// The exclusion list takes the bare names: the daemon routes hosts, not
// ports.
std::vector<std::string> hostNamesOf(const std::vector<core::ApiHost>& hosts) {
  std::vector<std::string> names;
  for (const auto& host : hosts) names.push_back(host.host);
  return names;
}

// A text as an optional value prints: Optional("a \"b\"").
std::string describeOptional(const std::optional<std::string>& text) {
  if (!text) return "nil";
  std::string out = "Optional(\"";
  for (const char c : *text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out + "\")";
}

}  // namespace

DaemonManager& DaemonManager::shared() {
  // Leaked, like everything it is built over. The helper client comes
  // first: it registers itself as the daemon calls' route registrar.
  static DaemonManager* const instance = [] {
    HelperClient& helper = sharedHelperClient();
    static auto* const resolver = new ResolverConfig(
        std::string(ResolverConfig::kResolvConfPath), [](const std::string& command) {
          return DaemonRegister::shared().runSystemCommand(command);
        });
    Options options;
    options.proxyList = []() -> std::optional<std::vector<std::string>> {
      const auto rules = core::StaticData::shared().cnList();
      if (!rules || !rules->domains) return std::nullopt;
      return rules->domains->proxyList;
    };
    return new DaemonManager(qv_ConnectionManager::shared(), helper, AccelCalls::shared(),
                             *resolver, AlertHelpers::shared(), core::qv_ConnectLog::shared(),
                             platform::Defaults::standard(), std::move(options));
  }();
  return *instance;
}

DaemonManager::DaemonManager(qv_ConnectionManager& manager, HelperClient& helper, AccelCalls& accel,
                             const ResolverConfig& resolver, AlertHelpers& alerts,
                             core::qv_ConnectLog& connectLog, platform::Defaults& defaults,
                             Options options)
    : manager_(manager),
      helper_(helper),
      accel_(accel),
      resolver_(resolver),
      alerts_(alerts),
      connectLog_(connectLog),
      defaults_(defaults),
      scheduler_(options.scheduler ? options.scheduler : &platform::Scheduler::system()),
      apiHostNames_(hostNamesOf(options.apiHosts ? *options.apiHosts : core::apiHosts())),
      proxyList_(std::move(options.proxyList)) {}

std::shared_ptr<void> DaemonManager::trackWork() {
  pendingWork_.fetch_add(1);
  return std::shared_ptr<void>(nullptr, [this](void*) { pendingWork_.fetch_sub(1); });
}

bool DaemonManager::isCurrent(const std::string& connectId) const {
  return manager_.isCurrentAttempt(connectId);
}

bool DaemonManager::isAcceptedHelperVersion(const std::optional<std::string>& answer) {
  if (!answer) return false;
  std::string_view digits = *answer;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    if (digits.front() == '-') return false;
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc() && end == digits.data() + digits.size() && value == 1024;
}

std::optional<ConnectMode> DaemonManager::startedMode() const {
  const std::int8_t raw = startedMode_.load();
  if (raw < 0) return std::nullopt;
  return core::connectModeFromRawValue(raw);
}

// ---- Helper check ------------------------------------------------------------

Promise<ResultData> DaemonManager::checkDaemon(std::shared_ptr<LineItem> line,
                                               std::string connectId) {
  Promise<ResultData> resolver;
  // Whatever happens below, a superseded attempt's wait ends here.
  manager_.addAttemptWait(connectId, resolver);
  // Off the main queue: no helper call is made from there.
  platform::globalQueue().async(
      [this, line = std::move(line), connectId, resolver, work = trackWork()] {
        checkDaemonNow(line, connectId, resolver);
      });
  return resolver;
}

void DaemonManager::checkDaemonNow(const std::shared_ptr<LineItem>& line,
                                   const std::string& connectId,
                                   const Promise<ResultData>& resolver) {
  const std::int32_t status = helper_.authorizationStatus();
  LogUtil::debug("check daemon: " + std::to_string(status));
  switch (status) {
    case DaemonRegister::kStatusUnknown:
      // The reply may come after the attempt ended: it still reaches this
      // instance, so it counts as work until it has come.
      helper_.checkDaemonCallBack(
          [this, line, connectId, resolver, work = trackWork()](auto answer) {
            connectingCheck(answer, line, connectId, resolver);
          });
      return;
    case DaemonRegister::kStatusNeedsInstall:
      showInstallPrompt(line, connectId, resolver);
      return;
    case DaemonRegister::kStatusInstalled:
      loadService(line, connectId, resolver);
      return;
    default:
      // The system log of the platform this mirrors; stderr here. The wait
      // ends when the attempt is superseded.
      std::fprintf(stderr, "Never Hit Here\n");
      return;
  }
}

void DaemonManager::connectingCheck(const std::optional<std::string>& answer,
                                    const std::shared_ptr<LineItem>& line,
                                    const std::string& connectId,
                                    const Promise<ResultData>& resolver) {
  if (isAcceptedHelperVersion(answer)) {
    LogUtil::debug("daemon ok");
    helper_.setAuthorizationStatus(DaemonRegister::kStatusInstalled);
    loadService(line, connectId, resolver);
    return;
  }
  LogUtil::log("need authorization: " + answer.value_or("unKnow"));
  helper_.setAuthorizationStatus(DaemonRegister::kStatusNeedsInstall);
  showInstallPrompt(line, connectId, resolver);
}

void DaemonManager::showInstallPrompt(const std::shared_ptr<LineItem>& line,
                                      const std::string& connectId,
                                      const Promise<ResultData>& resolver) {
  // A late version answer (or a check begun as the watchdog fired) must not
  // ask for an administrator on behalf of an attempt nobody waits for.
  if (!isCurrent(connectId)) return;
  // Closing the prompt without "OK" runs nothing: the wait then ends with
  // the attempt (watchdog or cancel).
  alerts_.showAlert(std::string(kInstallPromptTitle), std::string(kInstallPromptMessage), "OK",
                    [this, line, connectId, resolver, work = trackWork()] {
                      scheduler().schedule(kInstallDelay, platform::globalQueue(),
                                           [this, line, connectId, resolver, work] {
                                             installHelper(connectId, line, resolver);
                                           });
                    });
}

void DaemonManager::installHelper(std::string connectId, std::shared_ptr<LineItem> line,
                                  Promise<ResultData> resolver) {
  LogUtil::log("will authorization");
  // The install waits for an administrator: on a global queue.
  helper_.registerDaemon(
      [this, connectId, line, resolver, work = trackWork()](const std::string& reply) {
        if (reply != "success") {
          connectLog_.mark("setupProfile");
          LogUtil::reportError(reply);
          resolver.resolve(ResultData::failure(reply));
          return;
        }
        defaults_.set(kDaemonVersionKey, kDaemonVersionMarker);
        defaults_.synchronize();
        helper_.setAuthorizationStatus(DaemonRegister::kStatusInstalled);
        LogUtil::log("authorization finish");
        scheduler().schedule(
            kInstalledLoadDelay, platform::globalQueue(),
            [this, line, connectId, resolver, work] { loadService(line, connectId, resolver); });
      },
      platform::globalQueue());
}

void DaemonManager::loadService(const std::shared_ptr<LineItem>& line, const std::string& connectId,
                                const Promise<ResultData>& resolver) {
  LogUtil::log("connecting check service");
  helper_.checkAndLoad([this, line, connectId, resolver, work = trackWork()](auto error) {
    serviceLoaded(error, line, connectId, resolver);
  });
}

void DaemonManager::serviceLoaded(const std::optional<std::string>& error,
                                  const std::shared_ptr<LineItem>& line,
                                  const std::string& connectId,
                                  const Promise<ResultData>& resolver) {
  if (!isCurrent(connectId)) return;  // its wait has ended already
  if (error) {
    LogUtil::reportError("connecting service error: " + *error);
    // Diagnostics only: the failure does not wait for them.
    helper_.debugInfoCallBack([](auto info) {
      LogUtil::debug(info ? *info : std::string("connecting debugInfo is nil"));
    });
    LogUtil::reportError(kHelpToolError);
    resolver.resolve(ResultData::failure(std::string(kHelpToolError)));
    return;
  }
  // The helper may have started a new daemon: the next call opens a new
  // channel to it.
  accel_.dropClient();
  LogUtil::log("connecting service ok");
  connectLog_.mark("connect-success");
  scheduler().schedule(kServiceLoadedDelay, platform::globalQueue(),
                       [this, line, connectId, resolver, work = trackWork()] {
                         if (!isCurrent(connectId)) return;
                         resolver.resolve(startTunnel(line, connectId));
                       });
}

// ---- Launch check ------------------------------------------------------------------

void DaemonManager::handleLaunchDaemonCheck(std::optional<std::string> answer) {
  if (!isAcceptedHelperVersion(answer)) {
    LogUtil::log("launch need authorization: " + answer.value_or("launch debugInfo is nil"));
    helper_.setAuthorizationStatus(DaemonRegister::kStatusNeedsInstall);
    return;
  }
  LogUtil::log("launch daemon ok");
  helper_.setAuthorizationStatus(DaemonRegister::kStatusInstalled);
  helper_.deleteRoutes(accel_.lastExcludeArray(), [](auto reply) {
    LogUtil::debug(reply ? *reply : std::string("delete result nil"));
  });
  helper_.checkAndLoad([](auto error) {
    if (!error) {
      LogUtil::log("launch service ok");
      return;
    }
    LogUtil::reportError("launch service error: " + describeOptional(error));
  });
}

void DaemonManager::checkAuth() {
  LogUtil::log("launch check daemon");
  helper_.checkDaemonCallBack(
      [this, work = trackWork()](auto answer) { handleLaunchDaemonCheck(answer); });
}

// ---- Network -------------------------------------------------------------------------

std::optional<std::vector<std::string>> DaemonManager::getDeviceDNS() {
  return resolver_.getDeviceDNS();
}

ResultData DaemonManager::resetNetwork() {
  VANDREL_CHECK(!platform::isMainThread(), "DaemonManager::resetNetwork on the main thread");
  if (manager_.qv_connectStatus() == core::qv_ConnectStatus::qv_on) {
    manager_.stopTunnels().then(platform::globalQueue(),
                                [this, work = trackWork()](const ResultData& stopped) {
                                  if (!stopped.isSuccess) return;
                                  manager_.setBothConnectStatuses(core::qv_ConnectStatus::qv_off);
                                  manager_.postVPNStatusChange();
                                });
  }
  const std::optional<std::string> path = helper_.goServicePath();
  if (!path) {
    LogUtil::reportError(kGoServicePathMissing);
    return ResultData::failure(std::string(kGoServicePathMissing));
  }
  // The path is one shell word, whatever directory the bundle sits in.
  const CommandResult reply = helper_.runSystemCommand(shellQuote(*path) + " -clear");
  if (reply.status == 0) return ResultData::success();
  const std::string message = "Reset Network: " + reply.description();
  LogUtil::reportError(message);
  // The tunnel, its routes and the saved proxy settings are root's: run as
  // the user, the clear can only refuse. The helper runs it as root before
  // it starts the daemon again.
  if (clearThroughHelper()) return ResultData::success();
  return ResultData::failure(message);
}

bool DaemonManager::clearThroughHelper() {
  platform::Promise<std::optional<std::string>> restarted;
  helper_.reloadAndClear(
      [restarted](const std::optional<std::string>& failure) { restarted.resolve(failure); });
  const std::optional<std::string> failure = restarted.wait();
  if (!failure) {
    LogUtil::log("Reset Network: cleared through the helper");
    return true;
  }
  LogUtil::reportError("Reset Network: " + *failure);
  return false;
}

}  // namespace vandrel::connection
