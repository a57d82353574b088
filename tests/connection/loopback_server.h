#pragma once

// A TCP server on a loopback address for the liveness probe's tests.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace vandrel::connection::testing_support {

// A TCP server on a loopback address and a port the system chose. Each
// connection it accepts gets `greeting` (at once, or when sendGreeting is
// called); it notes every connection the peer closes.
class LoopbackServer {
 public:
  // `host`: an address of the loopback network ("127.0.0.2" works too).
  LoopbackServer(int family, std::string greeting, bool greetAtOnce = true,
                 std::string host = "")
      : family_(family),
        greeting_(std::move(greeting)),
        greetAtOnce_(greetAtOnce),
        host_(host.empty() ? (family == AF_INET6 ? "::1" : "127.0.0.1") : std::move(host)) {
    listener_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(listener_, 0) << std::strerror(errno);
    if (family == AF_INET6) {
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      ::inet_pton(AF_INET6, host_.c_str(), &address.sin6_addr);
      bound_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    } else {
      sockaddr_in address{};
      address.sin_family = AF_INET;
      ::inet_pton(AF_INET, host_.c_str(), &address.sin_addr);
      bound_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    if (!bound_) return;
    EXPECT_EQ(::listen(listener_, 16), 0);
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port)
                               : ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    EXPECT_EQ(::pipe2(wake_, O_CLOEXEC), 0);
    thread_ = std::thread([this] { serve(); });
  }

  ~LoopbackServer() {
    if (thread_.joinable()) {
      stopping_ = true;
      poke();
      thread_.join();
    }
    for (int fd : connections_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
    if (wake_[0] >= 0) ::close(wake_[0]);
    if (wake_[1] >= 0) ::close(wake_[1]);
  }

  bool bound() const { return bound_; }
  std::uint16_t port() const { return port_; }
  const std::string& host() const { return host_; }

  void sendGreeting() {
    sendNow_ = true;
    poke();
  }
  int accepted() const { return accepted_.load(); }
  int closedByPeer() const { return closedByPeer_.load(); }

 private:
  void poke() {
    const char byte = 1;
    (void)!::write(wake_[1], &byte, 1);
  }

  void serve() {
    while (!stopping_) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      for (int fd : connections_) fds.push_back({fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
      if (fds[1].revents & POLLIN) {
        char drain[16];
        (void)!::read(wake_[0], drain, sizeof drain);
        if (sendNow_.exchange(false)) {
          for (int fd : connections_) greet(fd);
        }
      }
      if (fds[0].revents & POLLIN) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          ++accepted_;
          connections_.push_back(fd);
          if (greetAtOnce_) greet(fd);
        }
      }
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buffer[64];
        if (::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
          ++closedByPeer_;
          ::close(fds[i].fd);
          std::erase(connections_, fds[i].fd);
        }
      }
    }
  }

  void greet(int fd) {
    if (!greeting_.empty()) ::send(fd, greeting_.data(), greeting_.size(), MSG_NOSIGNAL);
  }

  const int family_;
  const std::string greeting_;
  const bool greetAtOnce_;
  const std::string host_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  bool bound_ = false;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> sendNow_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> closedByPeer_{0};
  std::vector<int> connections_;  // the server thread's only
};

}  // namespace vandrel::connection::testing_support
