// The daemon stand-in in a process of its own, for the helper tool tests,
// which copy it to a temporary path named Vandrel-server-daemon (the files
// beside it are named after that copy). Never part of the bundle.
//
// Files beside the executable:
//   Vandrel-server-daemon.port     decimal port to serve on 127.0.0.1 (50051 when absent)
//   Vandrel-server-daemon.exclude  optional: the routes GetExcludeRoute answers, one a line
//   Vandrel-server-daemon.log      appended: "serve <port>" once listening, then one
//                                  line per call with the method name; "clear" for -clear
//
// Usage: Vandrel-server-daemon [-clear]. SIGTERM, SIGINT and SIGHUP stop it
// cleanly (exit 0).

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/daemon_standin.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDefaultPort = 50051;
constexpr std::string_view kPortFile = "Vandrel-server-daemon.port";
constexpr std::string_view kLogFile = "Vandrel-server-daemon.log";
constexpr std::string_view kExcludeFile = "Vandrel-server-daemon.exclude";

fs::path ownDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    std::fprintf(stderr, "Vandrel-server-daemon: cannot find its own path: %s\n",
                 error.message().c_str());
    std::exit(1);
  }
  return self.parent_path();
}

// One write(2) per line on an O_APPEND descriptor: lines from concurrent
// calls, or from a -clear run beside a serving daemon, never interleave.
bool appendLine(const fs::path& log, const std::string& text) {
  const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "Vandrel-server-daemon: cannot open %s: %s\n", log.c_str(),
                 std::strerror(errno));
    return false;
  }
  const std::string line = text + "\n";
  const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (!written) std::fprintf(stderr, "Vandrel-server-daemon: cannot write %s\n", log.c_str());
  ::close(fd);
  return written;
}

// The non-empty lines of `file`; none when it is absent.
std::vector<std::string> readLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// The port from the port file: kDefaultPort when the file is absent,
// nothing (after a message) when it holds anything but one port number.
std::optional<int> readPort(const fs::path& file) {
  std::error_code error;
  if (!fs::exists(file, error)) return kDefaultPort;
  std::ifstream in(file);
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const auto first = text.find_first_not_of(" \t\r\n");
  const auto last = text.find_last_not_of(" \t\r\n");
  const std::string digits = first == std::string::npos ? "" : text.substr(first, last - first + 1);
  const bool numeric = !digits.empty() && digits.size() <= 5 &&
                       digits.find_first_not_of("0123456789") == std::string::npos;
  const int port = numeric ? std::stoi(digits) : 0;
  if (!in || port < 1 || port > 65535) {
    std::fprintf(stderr, "Vandrel-server-daemon: %s must hold one port number (1-65535)\n",
                 file.c_str());
    return std::nullopt;
  }
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = ownDirectory();
  const fs::path log = dir / kLogFile;
  if (argc == 2 && std::string_view(argv[1]) == "-clear") {
    return appendLine(log, "clear") ? 0 : 1;
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: Vandrel-server-daemon [-clear]\n");
    return 2;
  }
  const auto port = readPort(dir / kPortFile);
  if (!port) return 2;

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
  daemon.setExcludeRoutes(readLines(dir / kExcludeFile));
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
