#include "daemon/components.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "helper/daemon_components.h"
#include "helper/proc_table.h"

namespace vandrel::daemon {
namespace {

using namespace std::chrono_literals;

constexpr auto kPollInterval = 20ms;
constexpr std::string_view kChildPath = "PATH=/usr/bin:/bin";

std::string endpoint(const IpAddress& address, int port) {
  const std::string host =
      address.family == AF_INET6 ? "[" + address.text() + "]" : address.text();
  return host + ":" + std::to_string(port);
}

// Inodes of every listening TCP socket of our network namespace.
std::set<std::uint64_t> listeningInodes() {
  std::set<std::uint64_t> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      if (state == "0A") inodes.insert(std::strtoull(inode.c_str(), nullptr, 10));
    }
  }
  return inodes;
}

// Whether `pid` is `root` or runs below it (children run under an init
// process of their own).
bool descendsFrom(pid_t pid, pid_t root) {
  for (int depth = 0; depth < 8 && pid > 1; ++depth) {
    if (pid == root) return true;
    const auto stat = helper::proc::readStat(pid);
    if (!stat) return false;
    pid = stat->ppid;
  }
  return false;
}

// How many processes below `root` hold a listening TCP socket.
std::size_t listenersBelow(pid_t root) {
  std::size_t count = 0;
  for (const pid_t pid : helper::proc::socketHolders(listeningInodes())) {
    if (descendsFrom(pid, root)) ++count;
  }
  return count;
}

}  // namespace

platform::Result<platform::UniqueFd> memoryFile(std::string_view name, std::string_view content) {
  const std::string label(name);
  platform::UniqueFd fd(::memfd_create(label.c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd || !platform::writeAll(fd.get(), content) || ::lseek(fd.get(), 0, SEEK_SET) != 0 ||
      ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
          0) {
    return platform::Error{"vandrel.daemon", errno,
                           "cannot make the settings of " + label + ": " + std::strerror(errno)};
  }
  return fd;
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  char hex[8];
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      std::snprintf(hex, sizeof(hex), "\\u%04x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string ssLocalConfig(const SsSettings& settings) {
  std::string json = "{\n";
  json += "  \"server\": " + jsonString(settings.server) + ",\n";
  json += "  \"server_port\": " + std::to_string(settings.port) + ",\n";
  json += "  \"password\": " + jsonString(settings.password) + ",\n";
  json += "  \"method\": " + jsonString(settings.method) + ",\n";
  json += "  \"local_address\": \"127.0.0.1\",\n";
  json += "  \"local_port\": " + std::to_string(settings.localPort) + ",\n";
  json += "  \"mode\": \"tcp_and_udp\",\n";
  if (settings.webSocket) {
    // Plugin options are "key=value" pairs split at ";": the checked host
    // and path hold neither ";" nor "=" nor "\".
    std::string options = "host=" + settings.webSocket->host + ";path=" + settings.webSocket->path;
    if (settings.webSocket->tls) options += ";tls";
    json += "  \"plugin\": " + jsonString(helper::kWebSocketPluginPath) + ",\n";
    json += "  \"plugin_opts\": " + jsonString(options) + ",\n";
  }
  json += "  \"timeout\": 300\n}\n";
  return json;
}

ChildSpec ssLocalSpec(int configFd) {
  ChildSpec spec;
  spec.name = "ss-local";
  spec.executable = std::string(helper::kSsLocalPath);
  spec.argv = {"ss-local", "-c", "/dev/fd/3"};
  spec.environment = {std::string(kChildPath)};
  spec.fds = {configFd};
  return spec;
}

std::string httpProxyConfig(const HttpProxySettings& settings) {
  std::string text = "# Written by Vandrel-server-daemon: a plain proxy in front of SOCKS5.\n";
  text += "listen-address " + endpoint(settings.listenAddress, settings.listenPort) + "\n";
  text += "forward-socks5 / " + endpoint(settings.socksAddress, settings.socksPort) + " .\n";
  text += "toggle 0\n";
  text += "enable-remote-toggle 0\n";
  text += "enable-remote-http-toggle 0\n";
  text += "enable-edit-actions 0\n";
  text += "enforce-blocks 0\n";
  text += "accept-intercepted-requests 0\n";
  text += "allow-cgi-request-crunching 0\n";
  text += "max-client-connections 1024\n";
  text += "socket-timeout 300\n";
  text += "keep-alive-timeout 5\n";
  return text;
}

ChildSpec httpProxySpec(int configFd) {
  ChildSpec spec;
  spec.name = "privoxy";
  spec.executable = std::string(helper::kHttpProxyPath);
  spec.argv = {"privoxy", "--no-daemon", "/dev/fd/3"};
  spec.environment = {std::string(kChildPath)};
  spec.fds = {configFd};
  return spec;
}

platform::Result<void> waitUntilListening(Supervisor& supervisor, pid_t pid,
                                          const std::string& name, int port, bool withHelper,
                                          std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (!supervisor.running(pid)) {
      const auto ended = supervisor.takeEnded(pid);
      return platform::Error{"vandrel.daemon", ECHILD, ended ? *ended : name + " ended"};
    }
    const auto holders = helper::proc::socketHolders(helper::proc::listeningSocketInodes(port));
    const bool listening = std::any_of(holders.begin(), holders.end(),
                                       [&](pid_t holder) { return descendsFrom(holder, pid); });
    // With a helper (the websocket plugin), it must listen too.
    if (listening && (!withHelper || listenersBelow(pid) >= 2)) return platform::success();
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPollInterval);
  }
  return platform::Error{"vandrel.daemon", ETIMEDOUT,
                         name + " did not listen on port " + std::to_string(port) + " within " +
                             std::to_string(timeout.count()) + " ms"};
}

}  // namespace vandrel::daemon
