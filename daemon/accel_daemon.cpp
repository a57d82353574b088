#include "daemon/accel_daemon.h"

#include "daemon/components.h"
#include "daemon/desktop_proxy.h"
#include "daemon/pac_server.h"
#include "daemon/tunnel.h"
#include "helper/proc_table.h"

namespace vandrel::daemon {

AccelDaemon::AccelDaemon(Options options, std::function<void(std::string_view)> log)
    : options_(std::move(options)),
      log_(std::move(log)),
      state_(options_.stateDirectory),
      supervisor_(log_),
      desktop_(std::make_unique<DesktopProxy>()) {}

AccelDaemon::~AccelDaemon() {
  platform::MutexLock lock(mutex_);
  (void)stopTunnelLocked();
  (void)stopChild(httpProxy_);
  (void)stopChild(ss_);
  (void)stopSystemProxyLocked();
}

std::optional<std::string> AccelDaemon::blockedStart(ChildItem& item) {
  if (item.pid == 0) return std::nullopt;
  if (supervisor_.running(item.pid)) return item.item + " " + std::string(kAlreadyRunning);
  const auto ended = supervisor_.takeEnded(item.pid);
  item.pid = 0;
  recordChildren();
  return item.item + " had stopped: " + (ended ? *ended : "ended") + "; start it again";
}

Answer AccelDaemon::startChild(ChildItem& item, ChildSpec spec, int port, bool withHelper) {
  if (auto blocked = blockedStart(item)) return Answer::failure(*blocked);
  auto started = supervisor_.start(spec);
  if (!started) return Answer::failure(started.error().message);
  const pid_t pid = started.value();
  auto up = waitUntilListening(supervisor_, pid, spec.name, port, withHelper,
                               options_.startTimeout);
  if (!up) {
    supervisor_.stop(pid);
    return Answer::failure(up.error().message);
  }
  item.pid = pid;
  recordChildren();
  return Answer::ok();
}

Answer AccelDaemon::stopChild(ChildItem& item) {
  if (item.pid == 0) return Answer::failure(item.item + " " + std::string(kNotRunning));
  const pid_t pid = item.pid;
  item.pid = 0;
  if (!supervisor_.running(pid)) {
    const auto ended = supervisor_.takeEnded(pid);
    recordChildren();
    return Answer::failure(item.item + " " + std::string(kNotRunning) + " (" +
                           (ended ? *ended : "ended") + ")");
  }
  supervisor_.stop(pid);
  recordChildren();
  return Answer::ok();
}

void AccelDaemon::recordChildren() {
  std::string text;
  std::vector<pid_t> pids = {ss_.pid, httpProxy_.pid};
  if (tunnel_) pids.push_back(tunnel_->relayPid());
  for (const pid_t pid : pids) {
    if (pid == 0) continue;
    if (const auto stat = helper::proc::readStat(pid)) {
      text += std::to_string(pid) + " " + std::to_string(stat->startTime) + "\n";
    }
  }
  if (text.empty()) {
    state_.remove(kChildrenRecord);
  } else if (auto written = state_.write(kChildrenRecord, text); !written) {
    log_("cannot record the children: " + written.error().message);
  }
}

Answer AccelDaemon::getExcludeRoute() {
  platform::MutexLock lock(mutex_);
  Answer answer;
  if (tunnel_) answer.exclude = tunnel_->excludeRoutes();
  return answer;
}

}  // namespace vandrel::daemon
