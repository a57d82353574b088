// The daemon manager's tunnel start and the daemon side of the tunnel stop:
// what the daemon is asked in each connect mode, the "already running"
// recovery, and undoing a start that was superseded or failed half-way.

#include "connection/daemon_manager.h"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "connection/accel_accel_service_client.h"
#include "connection/qv_connection_manager.h"
#include "connection/resolver_config.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "platform/check.h"

namespace vandrel::connection {

using core::ConnectMode;
using core::LineItem;
using core::LogUtil;
using core::ResultData;

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool isTunnelMode(ConnectMode mode) { return mode == ConnectMode::app || mode == ConnectMode::ssw; }

Accel_SystemProxyMode proxyModeFor(ConnectMode mode) {
  return mode == ConnectMode::smartWeb ? Accel_SystemProxyMode::intelligent
                                       : Accel_SystemProxyMode::global;
}

// The system-proxy stop's mode as the "already running" recovery chooses
// it: global only after a `web` or `ssw` start.
Accel_SystemProxyMode stopModeFor(ConnectMode lastStarted) {
  return lastStarted == ConnectMode::web || lastStarted == ConnectMode::ssw
             ? Accel_SystemProxyMode::global
             : Accel_SystemProxyMode::intelligent;
}

ResultData timeoutFailure() { return ResultData::failure(std::string(DaemonManager::kTimeout)); }

}  // namespace

// What one start sequence brought up, in order, with the system-proxy
// mode it set.
struct DaemonManager::StartRun {
  std::vector<Item> started;
  Accel_SystemProxyMode proxyMode = Accel_SystemProxyMode::global;
  std::string error;
};

// ---- Tunnel start ----------------------------------------------------------------

ResultData DaemonManager::startTunnel(const std::shared_ptr<LineItem>& line,
                                      const std::string& connectId) {
  VANDREL_CHECK(!platform::isMainThread(), "DaemonManager::startTunnel on the main thread");
  ResultData result;
  tunnelSection_.sync([&] {
    LogUtil::log("begin GRPC");
    const ConnectMode mode = manager_.connectMode();
    result = isTunnelMode(mode) ? startTunnelModes(line, connectId, mode)
                                : startProxyModes(line, connectId, mode);
  });
  return result;
}

ResultData DaemonManager::finishStart(ConnectMode mode, bool recordLastStartedMode) {
  startedMode_.store(static_cast<std::int8_t>(core::rawValue(mode)));
  if (recordLastStartedMode) accel_.setLastStartedMode(mode);
  return ResultData::success();
}

std::vector<std::string> DaemonManager::exclusionList(const LineItem& line) const {
  std::vector<std::string> exclude = apiHostNames_;
  exclude.push_back(line.server().value_or(""));
  // Kept even when empty: the daemon skips what it cannot route.
  exclude.push_back(line.host().value_or(""));
  return exclude;
}

std::vector<std::string> DaemonManager::domainList() const {
  std::optional<std::vector<std::string>> list;
  if (proxyList_) list = proxyList_();
  return list ? *list : std::vector<std::string>{""};
}

void DaemonManager::pause(platform::Duration duration) const {
  platform::Clock& clock = scheduler().clock();
  std::mutex mutex;
  std::condition_variable wake;
  std::unique_lock lock(mutex);
  const platform::TimePoint deadline = clock.now() + duration;
  while (clock.now() < deadline) clock.waitUntil(wake, lock, deadline);
}

DaemonManager::StartOutcome DaemonManager::startTunnelItems(const std::shared_ptr<LineItem>& line,
                                                            const std::vector<std::string>& exclude,
                                                            const std::string& connectId,
                                                            StartRun& run) {
  if (auto end = startStep(run, Item::Ss, accel_.startSS(*line), connectId)) return *end;
  if (auto end = startStep(run, Item::Tun2socks, accel_.startTun2socks(exclude), connectId)) {
    return *end;
  }
  return StartOutcome::Done;
}

std::optional<DaemonManager::StartOutcome> DaemonManager::startStep(
    StartRun& run, Item item, std::optional<std::string> error, const std::string& connectId) {
  if (error) {
    run.error = std::move(*error);
    return StartOutcome::Failed;
  }
  run.started.push_back(item);
  if (!isCurrent(connectId)) return StartOutcome::Superseded;
  return std::nullopt;
}

ResultData DaemonManager::startTunnelModes(const std::shared_ptr<LineItem>& line,
                                           const std::string& connectId, ConnectMode mode) {
  std::vector<std::string> exclude = exclusionList(*line);
  const auto dns = getDeviceDNS();
  if (!dns) {
    LogUtil::reportError(kDnsFailed);
    return ResultData::failure(std::string(kDnsFailed));
  }
  for (const auto& server : *dns) {
    if (!server.empty()) exclude.push_back(server);
  }

  // One start of the tunnel items: a result ends the connect; none means the
  // start failed with `run.error`.
  auto attempt = [&](StartRun& run) -> std::optional<ResultData> {
    switch (startTunnelItems(line, exclude, connectId, run)) {
      case StartOutcome::Done:
        LogUtil::debug("startT success");
        return finishStart(mode, true);
      case StartOutcome::Superseded:
        undo(run);
        return timeoutFailure();
      case StartOutcome::Failed:
        break;
    }
    return std::nullopt;
  };

  StartRun first;
  if (auto result = attempt(first)) return std::move(*result);
  if (!contains(first.error, kAlreadyRunning)) {
    LogUtil::reportError(first.error);
    return ResultData::failure(first.error);
  }

  LogUtil::debug("catch tun2Socks already running");
  std::optional<std::string> stopError = accel_.stopTun2socks();
  if (!stopError) stopError = accel_.stopSS();
  if (stopError) {
    LogUtil::reportError(*stopError);
    return ResultData::failure(*stopError);
  }
  pause(kAlreadyRunningRetryDelay);
  if (!isCurrent(connectId)) return timeoutFailure();

  StartRun second;
  if (auto result = attempt(second)) return std::move(*result);
  // No third attempt.
  LogUtil::reportError(second.error);
  return ResultData::failure(second.error);
}

DaemonManager::StartOutcome DaemonManager::startProxyItems(const std::shared_ptr<LineItem>& line,
                                                           const std::vector<std::string>& domains,
                                                           Accel_SystemProxyMode proxyMode,
                                                           const std::string& connectId,
                                                           StartRun& run) {
  run.proxyMode = proxyMode;
  if (auto end = startStep(run, Item::SystemProxy, accel_.setSystemProxy(domains, proxyMode),
                           connectId)) {
    return *end;
  }
  if (auto end = startStep(run, Item::HttpProxy, accel_.startHttpProxy(), connectId)) return *end;
  if (auto end = startStep(run, Item::Ss, accel_.startSS(*line), connectId)) return *end;
  return StartOutcome::Done;
}

ResultData DaemonManager::startProxyModes(const std::shared_ptr<LineItem>& line,
                                          const std::string& connectId, ConnectMode mode) {
  const Accel_SystemProxyMode proxyMode = proxyModeFor(mode);
  const std::vector<std::string> domains = domainList();

  StartRun first;
  switch (startProxyItems(line, domains, proxyMode, connectId, first)) {
    case StartOutcome::Done:
      return finishStart(mode, true);
    case StartOutcome::Superseded:
      undo(first);
      return timeoutFailure();
    case StartOutcome::Failed:
      break;
  }
  if (!contains(first.error, kAlreadyRunning)) {
    // The system proxy must not point at a proxy that is not there.
    undo(first);
    LogUtil::reportError(first.error);
    return ResultData::failure(first.error);
  }

  LogUtil::reportError("catch already running");
  // Each stop only after the previous one succeeded; their errors do not
  // stop the retry.
  if (!accel_.stopSS().has_value() && !accel_.stopHttpProxy().has_value()) {
    (void)accel_.stopSystemProxy(stopModeFor(accel_.lastStartedMode()));
  }
  pause(kAlreadyRunningRetryDelay);
  if (!isCurrent(connectId)) return timeoutFailure();

  StartRun second;
  switch (startProxyItems(line, domains, proxyMode, connectId, second)) {
    case StartOutcome::Done:
      // lastStartedMode stays as it was; the stop still learns what is up.
      return finishStart(mode, false);
    case StartOutcome::Superseded:
      undo(second);
      return timeoutFailure();
    case StartOutcome::Failed:
      break;
  }
  undo(second);
  LogUtil::reportError(second.error);
  return ResultData::failure(second.error);
}

void DaemonManager::undo(const StartRun& run) {
  // Reverse order; each stop's error is logged by its wrapper and no more.
  for (auto item = run.started.rbegin(); item != run.started.rend(); ++item) {
    switch (*item) {
      case Item::Ss:
        (void)accel_.stopSS();
        break;
      case Item::Tun2socks:
        (void)accel_.stopTun2socks();
        break;
      case Item::HttpProxy:
        (void)accel_.stopHttpProxy();
        break;
      case Item::SystemProxy:
        (void)accel_.stopSystemProxy(run.proxyMode);
        break;
    }
  }
}

std::optional<std::string> DaemonManager::stopDaemonTunnels() {
  VANDREL_CHECK(!platform::isMainThread(), "the tunnel stop on the main thread");
  std::optional<std::string> error;
  tunnelSection_.sync([&] {
    // What is up, read before the reset below forgets the mode.
    const std::optional<ConnectMode> started = startedMode();
    startedMode_.store(-1);
    accel_.setLastStartedMode(ConnectMode::app);
    error = accel_.stopTun2socks();
    if (!error) error = accel_.stopSS();
    if (started && !isTunnelMode(*started)) {
      // "not running" counts as stopped; other errors are only logged.
      (void)accel_.stopHttpProxy();
      (void)accel_.stopSystemProxy(proxyModeFor(*started));
    }
  });
  return error;
}

}  // namespace vandrel::connection
