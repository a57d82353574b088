#include "daemon/accel_daemon.h"
#include "daemon/components.h"

namespace vandrel::daemon {

Answer AccelDaemon::startSs(const SsRequest& request) {
  auto settings = checkSsRequest(request);
  if (!settings) return Answer::failure(settings.error().message);
  platform::MutexLock lock(mutex_);
  if (auto blocked = blockedStart(ss_)) return Answer::failure(*blocked);
  auto config = memoryFile("ss-local", ssLocalConfig(settings.value()));
  if (!config) return Answer::failure(config.error().message);
  const bool webSocket = settings.value().webSocket.has_value();
  Answer answer =
      startChild(ss_, ssLocalSpec(config.value().get()), settings.value().localPort, webSocket);
  if (answer.success) ss_.server = settings.value().server;
  return answer;
}

Answer AccelDaemon::stopSs() {
  platform::MutexLock lock(mutex_);
  return stopChild(ss_);
}

}  // namespace vandrel::daemon
