#include "tests/daemon/test_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace vandrel::daemon::testing_support {
namespace {

using platform::UniqueFd;

struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

SocketAddress socketAddress(const std::string& address, int port) {
  SocketAddress out;
  if (address.find(':') != std::string::npos) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
    out.length = sizeof(sockaddr_in6);
  } else {
    auto* in4 = reinterpret_cast<sockaddr_in*>(&out.storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
    out.length = sizeof(sockaddr_in);
  }
  return out;
}

std::string addressText(const sockaddr_storage& storage) {
  char text[INET6_ADDRSTRLEN] = {};
  if (storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
  } else {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&storage);
    ::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof(text));
  }
  return text;
}

int boundPort(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
  return storage.ss_family == AF_INET6
             ? ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port)
             : ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

UniqueFd makeSocket(const std::string& address, int type, int netnsFd) {
  UniqueFd fd;
  const auto make = [&] {
    const auto where = socketAddress(address, 0);
    fd.reset(::socket(where.storage.ss_family, type | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&where.storage), where.length) != 0) {
      ADD_FAILURE() << "bind " << address << ": " << std::strerror(errno);
    }
  };
  if (netnsFd >= 0) {
    inNamespace(netnsFd, make);
  } else {
    make();
  }
  return fd;
}

}  // namespace

void inNamespace(int netnsFd, const std::function<void()>& work) {
  UniqueFd own(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
  if (!own || ::setns(netnsFd, CLONE_NEWNET) != 0) {
    ADD_FAILURE() << "cannot enter a network namespace: " << std::strerror(errno);
    return;
  }
  work();
  if (::setns(own.get(), CLONE_NEWNET) != 0) {
    ADD_FAILURE() << "cannot return to the test's network namespace";
    std::abort();  // every later test would run in the wrong namespace
  }
}

WebServer::WebServer(const std::string& address, std::string body, int netnsFd)
    : address_(address), body_(std::move(body)) {
  listener_ = makeSocket(address, SOCK_STREAM, netnsFd);
  ::listen(listener_.get(), 64);
  port_ = boundPort(listener_.get());
  stop_.reset(::eventfd(0, EFD_CLOEXEC));
  thread_ = std::thread([this] { run(); });
}

WebServer::~WebServer() {
  const std::uint64_t one = 1;
  (void)!::write(stop_.get(), &one, sizeof(one));
  thread_.join();
}

std::string WebServer::url(const std::string& host) const {
  const std::string name = host.empty() ? address_ : host;
  const bool v6 = host.empty() && address_.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + name + "]" : name) + ":" + std::to_string(port_) + "/";
}

std::vector<std::string> WebServer::peers() const {
  std::lock_guard lock(mutex_);
  return peers_;
}

void WebServer::onlyFrom(std::function<bool(const std::string&)> accept) {
  std::lock_guard lock(mutex_);
  accept_ = std::move(accept);
}

void WebServer::run() {
  for (;;) {
    pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    UniqueFd client(
        ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
    if (!client) continue;
    const std::string from = addressText(peer);
    bool accepted = true;
    {
      std::lock_guard lock(mutex_);
      peers_.push_back(from);
      if (accept_) accepted = accept_(from);
    }
    if (!accepted) continue;
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      pollfd ready{client.get(), POLLIN, 0};
      if (::poll(&ready, 1, 5000) != 1) break;
      const ssize_t n = ::recv(client.get(), buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      head.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                              std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" +
                              body_;
    (void)::send(client.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
  }
}

UdpEcho::UdpEcho(const std::string& address, int netnsFd) {
  socket_ = makeSocket(address, SOCK_DGRAM, netnsFd);
  port_ = boundPort(socket_.get());
  stop_.reset(::eventfd(0, EFD_CLOEXEC));
  thread_ = std::thread([this] { run(); });
}

UdpEcho::~UdpEcho() {
  const std::uint64_t one = 1;
  (void)!::write(stop_.get(), &one, sizeof(one));
  thread_.join();
}

std::vector<std::string> UdpEcho::peers() const {
  std::lock_guard lock(mutex_);
  return peers_;
}

void UdpEcho::onlyFrom(std::function<bool(const std::string&)> accept) {
  std::lock_guard lock(mutex_);
  accept_ = std::move(accept);
}

void UdpEcho::run() {
  for (;;) {
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    char buffer[2048];
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    const ssize_t n = ::recvfrom(socket_.get(), buffer, sizeof(buffer), 0,
                                 reinterpret_cast<sockaddr*>(&peer), &length);
    if (n < 0) continue;
    bool accepted = true;
    {
      std::lock_guard lock(mutex_);
      peers_.push_back(addressText(peer));
      if (accept_) accepted = accept_(addressText(peer));
    }
    if (!accepted) continue;
    const std::string reply = "echo " + std::string(buffer, static_cast<std::size_t>(n));
    ::sendto(socket_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer),
             length);
  }
}

ChildProgram::ChildProgram(const std::vector<std::string>& argv, const std::string& logFile,
                           int netnsFd) {
  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& arg : copy) args.push_back(arg.data());
  args.push_back(nullptr);
  char path[] = "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  char home[] = "HOME=/nonexistent";
  char* env[] = {path, home, nullptr};
  pid_ = ::fork();
  if (pid_ == 0) {
    if (netnsFd >= 0 && ::setns(netnsFd, CLONE_NEWNET) != 0) ::_exit(126);
    const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::setpgid(0, 0);
    ::execve(args[0], args.data(), env);
    ::_exit(127);
  }
}

ChildProgram::~ChildProgram() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);  // its group: a plugin it started goes too
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool ChildProgram::running() const {
  return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0;
}

std::unique_ptr<ChildProgram> startSsServer(const std::string& address, int port,
                                            const std::string& password,
                                            const std::string& method, const std::string& logFile,
                                            int netnsFd, const std::string& webSocketPath,
                                            const std::string& outboundAddress) {
  std::vector<std::string> argv = {"/usr/bin/ss-server", "-s",     address, "-p",
                                   std::to_string(port), "-k",     password, "-m",
                                   method,               "-u"};
  if (!outboundAddress.empty()) {
    argv.push_back("-b");
    argv.push_back(outboundAddress);
  }
  if (!webSocketPath.empty()) {
    argv.push_back("--plugin");
    argv.push_back("/usr/bin/ss-v2ray-plugin");
    argv.push_back("--plugin-opts");
    argv.push_back("server;host=ws.test;path=" + webSocketPath);
  }
  return std::make_unique<ChildProgram>(argv, logFile, netnsFd);
}

bool acceptsConnections(const std::string& address, int port, int netnsFd) {
  bool connected = false;
  const auto attempt = [&] {
    const auto where = socketAddress(address, port);
    UniqueFd fd(::socket(where.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    connected =
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&where.storage), where.length) == 0;
  };
  if (netnsFd >= 0) {
    inNamespace(netnsFd, attempt);
  } else {
    attempt();
  }
  return connected;
}

platform::Result<platform::ProcessOutput> runProgram(const std::vector<std::string>& argv,
                                                     std::chrono::seconds timeout,
                                                     std::vector<std::string> environment) {
  platform::ProcessOptions options;
  options.timeout = timeout;
  options.environment = std::move(environment);
  return platform::ProcessRunner::system().run(argv, options);
}

std::optional<std::string> udpExchange(const std::string& address, int port,
                                       const std::string& payload,
                                       std::chrono::milliseconds timeout) {
  const auto where = socketAddress(address, port);
  UniqueFd fd(::socket(where.storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&where.storage), where.length) != 0 ||
      ::send(fd.get(), payload.data(), payload.size(), 0) < 0) {
    return std::nullopt;
  }
  pollfd ready{fd.get(), POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  char buffer[2048];
  const ssize_t n = ::recv(fd.get(), buffer, sizeof(buffer), 0);
  if (n < 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace vandrel::daemon::testing_support
