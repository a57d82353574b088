#include "daemon/pac_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/file_io.h"

namespace vandrel::daemon {
namespace {

using platform::UniqueFd;
using namespace std::chrono_literals;

constexpr std::size_t kMaxRequestHead = 8192;
constexpr auto kClientTimeout = 5s;

std::string proxyEndpoint(const SystemProxySettings& settings) {
  const std::string host = settings.proxyAddress.family == AF_INET6
                               ? "[" + settings.proxyAddress.text() + "]"
                               : settings.proxyAddress.text();
  return host + ":" + std::to_string(settings.proxyPort);
}

std::string dottedMask(int prefix) {
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return std::to_string(mask >> 24) + "." + std::to_string((mask >> 16) & 0xff) + "." +
         std::to_string((mask >> 8) & 0xff) + "." + std::to_string(mask & 0xff);
}

std::string response(int status, std::string_view reason, std::string_view type,
                     std::string_view body) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  text += "Content-Type: " + std::string(type) + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
  text += body;
  return text;
}

// Reads the request head within the time limit; empty when none came.
std::string readHead(int fd) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + kClientTimeout;
  char buffer[2048];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) != 1) break;
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return head;
}

}  // namespace

std::string pacScript(const SystemProxySettings& settings) {
  // Names and networks were checked: letters, digits, '-', '_', '.' only,
  // so they sit in string literals as they are.
  std::string domains, nets;
  for (const auto& domain : settings.domains) {
    domains += (domains.empty() ? "\"" : ", \"") + domain + "\"";
  }
  for (const auto& net : settings.nets) {
    if (net.address.family != AF_INET) continue;  // isInNet knows IPv4 only
    nets += (nets.empty() ? "[\"" : ", [\"") + net.address.text() + "\", \"" +
            dottedMask(net.prefix) + "\"]";
  }
  std::string script = "// Written by Vandrel-server-daemon.\n";
  script += "var proxy = \"PROXY " + proxyEndpoint(settings) + "\";\n";
  script += "var domains = [" + domains + "];\n";
  script += "var nets = [" + nets + "];\n";
  script += "function FindProxyForURL(url, host) {\n";
  script += "  host = host.toLowerCase();\n";
  script += "  for (var i = 0; i < domains.length; i++) {\n";
  script += "    if (host == domains[i] || dnsDomainIs(host, \".\" + domains[i])) return proxy;\n";
  script += "  }\n";
  script += "  for (var j = 0; j < nets.length; j++) {\n";
  script += "    if (isInNet(host, nets[j][0], nets[j][1])) return proxy;\n";
  script += "  }\n";
  script += "  return \"DIRECT\";\n";
  script += "}\n";
  return script;
}

struct PacServer::Impl {
  UniqueFd listener;
  UniqueFd stop;
  std::string script;
  int port = 0;
  std::thread thread;

  void serve(int fd) const {
    const std::string head = readHead(fd);
    if (head.empty()) return;
    const bool get = head.rfind("GET ", 0) == 0 || head.rfind("HEAD ", 0) == 0;
    const std::string reply = get ? response(200, "OK", "application/x-ns-proxy-autoconfig", script)
                                  : response(405, "Method Not Allowed", "text/plain", "");
    (void)::send(fd, reply.data(), head.rfind("HEAD ", 0) == 0 ? reply.find("\r\n\r\n") + 4
                                                                : reply.size(),
                 MSG_NOSIGNAL);
  }

  void run() const {
    for (;;) {
      pollfd fds[2] = {{listener.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
      if (!fds[0].revents) continue;
      UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client) serve(client.get());
    }
  }
};

platform::Result<std::unique_ptr<PacServer>> PacServer::start(int port, std::string script) {
  auto impl = std::make_unique<Impl>();
  impl->script = std::move(script);
  impl->listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  impl->stop.reset(::eventfd(0, EFD_CLOEXEC));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int on = 1;
  if (!impl->listener || !impl->stop ||
      ::setsockopt(impl->listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      ::bind(impl->listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(impl->listener.get(), 16) != 0) {
    return platform::Error{"vandrel.daemon", errno,
                           "cannot serve the proxy script on 127.0.0.1:" + std::to_string(port) +
                               ": " + std::strerror(errno)};
  }
  impl->port = port;
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->run(); });
  return std::unique_ptr<PacServer>(new PacServer(std::move(impl)));
}

PacServer::PacServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PacServer::~PacServer() {
  const std::uint64_t one = 1;
  (void)!::write(impl_->stop.get(), &one, sizeof(one));
  if (impl_->thread.joinable()) impl_->thread.join();
}

int PacServer::port() const { return impl_->port; }

}  // namespace vandrel::daemon
