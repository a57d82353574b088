#include "daemon/accel_daemon.h"
#include "daemon/desktop_proxy.h"
#include "daemon/pac_server.h"

namespace vandrel::daemon {

Answer AccelDaemon::setSystemProxy(const SystemProxyRequest& request, uid_t caller) {
  auto settings = checkSystemProxyRequest(request);
  if (!settings) return Answer::failure(settings.error().message);
  platform::MutexLock lock(mutex_);
  if (systemProxySet_ || state_.read(kSystemProxyRecord)) {
    return Answer::failure("system proxy " + std::string(kAlreadyRunning));
  }
  auto user = desktopUser(caller);
  if (!user) return Answer::failure(user.error().message);
  if (settings.value().intelligent) {
    auto server = PacServer::start(settings.value().pacPort, pacScript(settings.value()));
    if (!server) return Answer::failure(server.error().message);
    pacServer_ = std::move(server.value());
  }
  // Saved before anything changes: what "-clear" puts back after a kill.
  auto saved = desktop_->read(user.value());
  Answer answer;
  if (!saved) {
    answer = Answer::failure(saved.error().message);
  } else if (auto written = state_.write(kSystemProxyRecord, saved.value().format()); !written) {
    answer = Answer::failure(written.error().message);
  } else if (auto applied = desktop_->apply(user.value(), settings.value()); !applied) {
    (void)desktop_->restore(user.value(), saved.value());
    state_.remove(kSystemProxyRecord);
    answer = Answer::failure(applied.error().message);
  } else {
    systemProxySet_ = true;
    log_(std::string(settings.value().intelligent ? "automatic" : "manual") +
         " desktop proxy set for uid " + std::to_string(caller));
    return answer;
  }
  pacServer_.reset();
  return answer;
}

Answer AccelDaemon::stopSystemProxy(const StopSystemProxyRequest& request) {
  if (auto checked = checkStopSystemProxyRequest(request); !checked) {
    return Answer::failure(checked.error().message);
  }
  platform::MutexLock lock(mutex_);
  return stopSystemProxyLocked();
}

Answer AccelDaemon::stopSystemProxyLocked() {
  // The record, not only this process's memory: a daemon killed while the
  // setting was changed leaves it for the next one to put back.
  const auto record = state_.read(kSystemProxyRecord);
  pacServer_.reset();
  systemProxySet_ = false;
  if (!record) return Answer::failure("system proxy " + std::string(kNotRunning));
  const auto saved = SavedProxy::parse(*record);
  if (!saved) {
    state_.remove(kSystemProxyRecord);
    return Answer::failure("the saved desktop proxy setting is unreadable and was dropped");
  }
  auto user = desktopUser(saved->uid);
  if (!user) return Answer::failure(user.error().message);  // kept for a later try
  auto restored = desktop_->restore(user.value(), *saved);
  if (!restored) return Answer::failure(restored.error().message);
  state_.remove(kSystemProxyRecord);
  log_("desktop proxy restored for uid " + std::to_string(saved->uid));
  return Answer::ok();
}

}  // namespace vandrel::daemon
