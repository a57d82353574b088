#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/requests.h"
#include "daemon/state_files.h"
#include "daemon/supervisor.h"
#include "platform/sync.h"

// What the daemon does for each method the application calls: one handler
// per method, each checking its request into typed settings first. Calls
// run one at a time (they start and stop the same children and routes).
namespace vandrel::daemon {

// Texts the application looks for in Error.
inline constexpr std::string_view kAlreadyRunning = "already running";
inline constexpr std::string_view kNotRunning = "not running";

// The answer's Success and Error (and GetExcludeRoute's list).
struct Answer {
  bool success = true;
  std::string error;
  std::vector<std::string> exclude;

  static Answer ok() { return {}; }
  static Answer failure(std::string error) { return {false, std::move(error), {}}; }
};

class Tunnel;
class PacServer;
class DesktopProxy;
struct DesktopUser;
struct SavedProxy;

class AccelDaemon {
 public:
  struct Options {
    // The daemon's own executable: the TUN relay runs as a child of it.
    std::string selfExecutable;
    std::string stateDirectory = std::string(kStateDirectory);
    // How long a started component may take to listen.
    std::chrono::milliseconds startTimeout{8000};
  };

  AccelDaemon(Options options, std::function<void(std::string_view)> log);
  // Stops what runs and puts the desktop proxy back.
  ~AccelDaemon();
  AccelDaemon(const AccelDaemon&) = delete;
  AccelDaemon& operator=(const AccelDaemon&) = delete;

  Answer startSs(const SsRequest& request);
  Answer stopSs();
  Answer startHttpProxy(const HttpProxyRequest& request);
  Answer stopHttpProxy();
  // `caller` is whose desktop proxy changes.
  Answer setSystemProxy(const SystemProxyRequest& request, uid_t caller);
  Answer stopSystemProxy(const StopSystemProxyRequest& request);
  Answer startTun2socks(const TunRequest& request);
  Answer stopTun2socks();
  Answer getExcludeRoute();

 private:
  // A supervised child behind one item ("ss", "http proxy").
  struct ChildItem {
    std::string item;
    pid_t pid = 0;
    std::string server;  // the line's server, for ss
  };
  // Before a start: "<item> already running", or how its child ended since
  // (the item is then idle again); nothing when the start may go ahead.
  std::optional<std::string> blockedStart(ChildItem& item) VANDREL_REQUIRES(mutex_);
  Answer stopChild(ChildItem& item) VANDREL_REQUIRES(mutex_);
  Answer startChild(ChildItem& item, ChildSpec spec, int port, bool withHelper)
      VANDREL_REQUIRES(mutex_);
  // Rewrites the record of running children that "-clear" reads.
  void recordChildren() VANDREL_REQUIRES(mutex_);
  Answer stopSystemProxyLocked() VANDREL_REQUIRES(mutex_);
  Answer stopTunnelLocked() VANDREL_REQUIRES(mutex_);

  Options options_;
  std::function<void(std::string_view)> log_;
  StateFiles state_;
  Supervisor supervisor_;
  platform::Mutex mutex_;
  ChildItem ss_ VANDREL_GUARDED_BY(mutex_){"ss", 0, ""};
  ChildItem httpProxy_ VANDREL_GUARDED_BY(mutex_){"http proxy", 0, ""};
  std::unique_ptr<DesktopProxy> desktop_;
  std::unique_ptr<PacServer> pacServer_ VANDREL_GUARDED_BY(mutex_);
  bool systemProxySet_ VANDREL_GUARDED_BY(mutex_) = false;
  std::unique_ptr<Tunnel> tunnel_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::daemon
