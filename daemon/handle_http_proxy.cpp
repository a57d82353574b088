#include "daemon/accel_daemon.h"
#include "daemon/components.h"

namespace vandrel::daemon {

Answer AccelDaemon::startHttpProxy(const HttpProxyRequest& request) {
  auto settings = checkHttpProxyRequest(request);
  if (!settings) return Answer::failure(settings.error().message);
  platform::MutexLock lock(mutex_);
  if (auto blocked = blockedStart(httpProxy_)) return Answer::failure(*blocked);
  auto config = memoryFile("privoxy", httpProxyConfig(settings.value()));
  if (!config) return Answer::failure(config.error().message);
  return startChild(httpProxy_, httpProxySpec(config.value().get()),
                    settings.value().listenPort, false);
}

Answer AccelDaemon::stopHttpProxy() {
  platform::MutexLock lock(mutex_);
  return stopChild(httpProxy_);
}

}  // namespace vandrel::daemon
