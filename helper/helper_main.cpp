// com.vandrel.mac.daemon: the privileged helper. Runs as root.
//
//   com.vandrel.mac.daemon [--config PATH]           under the service manager:
//                                                    the listening socket is descriptor 3
//                                                    (LISTEN_FDS=1, LISTEN_PID = our pid)
//   com.vandrel.mac.daemon --socket PATH [--config PATH]
//                                                    standalone: makes its own socket
//                                                    (mode 0666; peers are checked by uid)
//                                                    and logs to stderr as well
//
// The configuration defaults to /etc/vandrel/helper.conf. SIGTERM, SIGINT
// and SIGHUP stop it after the commands under way have answered.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "helper/helper_config.h"
#include "helper/helper_log.h"
#include "helper/helper_protocol.h"
#include "helper/helper_tool.h"
#include "platform/ipc.h"

namespace {

using vandrel::helper::sysLog;
namespace ipc = vandrel::platform::ipc;

// Start-up failures go to stderr too: whoever started the helper by hand
// sees them, and the service manager records them.
int fail(const std::string& message) {
  sysLog("cannot start: " + message);
  std::fprintf(stderr, "com.vandrel.mac.daemon: cannot start: %s\n", message.c_str());
  return 1;
}

constexpr int kSystemdFirstFd = 3;

struct Arguments {
  std::string socketPath;
  std::string configPath{vandrel::helper::kDefaultConfigPath};
};

bool parseArguments(int argc, char** argv, Arguments& out) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return false;
    if (arg == "--socket") {
      out.socketPath = argv[++i];
    } else if (arg == "--config") {
      out.configPath = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

// The socket the service manager passed, when it passed exactly one to us.
bool systemdSocketGiven() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  return pid && fds && std::string_view(fds) == "1" && std::to_string(::getpid()) == pid;
}

vandrel::platform::Result<std::unique_ptr<ipc::Server>> makeServer(const Arguments& args,
                                                                   ipc::Server::Handlers handlers) {
  if (!args.socketPath.empty())
    return ipc::Server::listenAt(args.socketPath, 0666, std::move(handlers));
  if (systemdSocketGiven()) {
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    return ipc::Server::adopt(kSystemdFirstFd, std::move(handlers));
  }
  return vandrel::platform::Error{"com.vandrel.mac.daemon", 0,
                                  "no socket: pass --socket PATH or start through the socket unit"};
}

}  // namespace

int main(int argc, char** argv) {
  std::fputs(std::string(vandrel::helper::kMainInitText).c_str(), stdout);
  std::fflush(stdout);
  Arguments args;
  if (!parseArguments(argc, argv, args)) {
    std::fprintf(stderr, "usage: com.vandrel.mac.daemon [--socket PATH] [--config PATH]\n");
    return 2;
  }
  vandrel::helper::openSysLog(!args.socketPath.empty());

  // Blocked before any thread exists, so that only sigwait below takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto config = vandrel::helper::HelperConfig::load(args.configPath);
  if (!config.ok()) return fail(config.error().message);
  // Made once the socket's path is known; the server starts only after.
  std::unique_ptr<vandrel::helper::HelperTool> tool;
  auto server = makeServer(
      args, {
                .acceptPeer =
                    [&tool](const ipc::PeerCredentials& peer) { return tool->acceptPeer(peer); },
                .handle =
                    [&tool](const ipc::PeerCredentials& peer, std::string payload) {
                      return tool->handleFrame(peer, std::move(payload));
                    },
                .log = [](std::string_view line) { sysLog(line); },
            });
  if (!server.ok()) return fail(server.error().message);
  vandrel::helper::HelperTool::Options options;
  options.config = config.value();
  options.socketPath = server.value()->path();
  tool = std::make_unique<vandrel::helper::HelperTool>(std::move(options));
  server.value()->start();
  sysLog("serving on " + server.value()->path());

  int signal = 0;
  sigwait(&stopSignals, &signal);
  sysLog("stopping on signal " + std::to_string(signal));
  server.value()->stop();
  return 0;
}
