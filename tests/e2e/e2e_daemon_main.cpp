// The tunnelling daemon of the end-to-end test: the daemon stand-in in a
// process of its own, as Vandrel-server-daemon is, which also answers
// GetExcludeRoute with the routes a real daemon would have set up.
//
// Files beside the executable (each optional):
//   Vandrel-server-daemon.port     decimal port to serve on 127.0.0.1 (50051 when absent)
//   Vandrel-server-daemon.exclude  the routes GetExcludeRoute answers, one per line
//   Vandrel-server-daemon.log      appended: "serve <port>" once listening, then one
//                                  line per call with the method name; "clear" for -clear
//
// Usage: Vandrel-server-daemon [-clear]. SIGTERM, SIGINT and SIGHUP stop it.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/daemon_standin.h"

namespace {

namespace fs = std::filesystem;

fs::path ownDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    std::fprintf(stderr, "Vandrel-server-daemon: cannot find its own path\n");
    std::exit(1);
  }
  return self.parent_path();
}

// One write per line on an O_APPEND descriptor, so lines never interleave.
void appendLine(const fs::path& log, const std::string& text) {
  const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string line = text + "\n";
  (void)!::write(fd, line.data(), line.size());
  ::close(fd);
}

std::vector<std::string> readLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::optional<int> readPort(const fs::path& file) {
  const auto lines = readLines(file);
  if (lines.empty()) return 50051;
  const std::string& text = lines.front();
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int port = std::stoi(text);
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = ownDirectory();
  const fs::path log = dir / "Vandrel-server-daemon.log";
  if (argc == 2 && std::string_view(argv[1]) == "-clear") {
    appendLine(log, "clear");
    return 0;
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: Vandrel-server-daemon [-clear]\n");
    return 2;
  }
  const auto port = readPort(dir / "Vandrel-server-daemon.port");
  if (!port) {
    std::fprintf(stderr, "Vandrel-server-daemon: the port file must hold one port number\n");
    return 2;
  }

  // Blocked before gRPC makes its threads, so that only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  vandrel::test_support::DaemonStandin::Options options;
  options.port = *port;
  options.onCall = [log](const vandrel::test_support::DaemonCall& call) {
    appendLine(log, call.method);
  };
  vandrel::test_support::DaemonStandin daemon(std::move(options));
  daemon.setExcludeRoutes(readLines(dir / "Vandrel-server-daemon.exclude"));
  if (auto started = daemon.start(); !started) {
    std::fprintf(stderr, "Vandrel-server-daemon: %s\n", started.error().message.c_str());
    return 1;
  }
  appendLine(log, "serve " + std::to_string(daemon.port()));

  int signal = 0;
  sigwait(&stopSignals, &signal);
  daemon.stop();
  return 0;
}
