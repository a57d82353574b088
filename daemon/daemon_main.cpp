// Vandrel-server-daemon: the tunnelling daemon. The helper starts it as
// root with no arguments; it serves accel.Accel on 127.0.0.1 at the port of
// the helper's configuration (50051) to root and the users listed there.
//
//   Vandrel-server-daemon          serve until SIGTERM, SIGINT or SIGHUP
//   Vandrel-server-daemon -clear   undo what an earlier daemon left (exit 0)
//
// Its log goes to the system log and to /run/vandrel/Vandrel-server-daemon.log.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "daemon/accel_daemon.h"
#include "daemon/accel_server.h"
#include "daemon/clear.h"
#include "daemon/daemon_log.h"
#include "daemon/relay_main.h"
#include "daemon/state_files.h"
#include "helper/helper_config.h"
#include "helper/helper_protocol.h"
#include "platform/process.h"

namespace {

namespace daemon = vandrel::daemon;
namespace helper = vandrel::helper;

void log(std::string_view line) { daemon::daemonLog(line); }

// The helper's configuration decides who is served and on which port. It
// is root's own file; without a usable one only root is served.
daemon::AccelServer::Options serverOptions() {
  daemon::AccelServer::Options options;
  options.port = helper::kDefaultDaemonPort;
  auto config = helper::HelperConfig::load(std::string(helper::kDefaultConfigPath));
  if (!config) {
    log("serving root only: " + config.error().message);
    return options;
  }
  options.port = config.value().daemonPort;
  options.allowedUids = config.value().allowedUids;
  return options;
}

std::string ownExecutable() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

int serve() {
  // Blocked before any thread exists, so that only sigwait takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stopSignals, sig);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  vandrel::platform::ignoreSigpipe();

  daemon::AccelDaemon::Options options;
  options.selfExecutable = ownExecutable();
  daemon::AccelDaemon accel(options, log);
  auto server = daemon::AccelServer::start(serverOptions(), accel, log);
  if (!server) {
    log("cannot serve: " + server.error().message);
    return 1;
  }
  log("serving accel.Accel");
  int signal = 0;
  sigwait(&stopSignals, &signal);
  log("stopping on signal " + std::to_string(signal));
  server.value()->shutdown();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == daemon::kRelayFlag) {
    return daemon::relayMain(argc, argv);
  }
  if (argc > 2 || (argc == 2 && std::string_view(argv[1]) != "-clear")) {
    std::fprintf(stderr, "usage: %s [-clear]\n", std::string(helper::kDaemonName).c_str());
    return 2;
  }
  if (::geteuid() != 0) {
    std::fprintf(stderr, "%s: must run as root\n", std::string(helper::kDaemonName).c_str());
    return 1;
  }
  const daemon::StateFiles state;
  if (auto prepared = state.prepare(); !prepared) {
    std::fprintf(stderr, "%s: %s\n", std::string(helper::kDaemonName).c_str(),
                 prepared.error().message.c_str());
    return 1;
  }
  daemon::openDaemonLog(state.path(daemon::kLogCopyName), true);
  if (argc == 2) return daemon::runClear(state, log);
  return serve();
}
