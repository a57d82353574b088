#pragma once

// Peers for the daemon's tests: a small web server and a UDP echo that
// note who reached them (and may answer only some), the packaged
// Shadowsocks server as a child, and a way to make sockets or run
// programs inside another network namespace.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "platform/process.h"

namespace vandrel::daemon::testing_support {

using namespace std::chrono_literals;

// Runs `work` on the calling thread inside the network namespace `netnsFd`
// (the thread returns to its own namespace afterwards).
void inNamespace(int netnsFd, const std::function<void()>& work);

// Answers every HTTP request on its listening address with `body` and
// records each connection's peer address. Connections from addresses that
// `accept` turns down are closed without a byte.
class WebServer {
 public:
  // "ADDRESS" (v4 or v6) and port 0 for a free one; made inside `netnsFd`
  // when given.
  WebServer(const std::string& address, std::string body, int netnsFd = -1);
  ~WebServer();

  int port() const { return port_; }
  std::string url(const std::string& host = "") const;
  std::vector<std::string> peers() const;
  void onlyFrom(std::function<bool(const std::string& peer)> accept);

 private:
  void run();
  std::string address_;
  std::string body_;
  int port_ = 0;
  platform::UniqueFd listener_;
  platform::UniqueFd stop_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> peers_;
  std::function<bool(const std::string&)> accept_;
};

// Sends each datagram back to where it came from, prefixed with "echo ",
// and records the senders; datagrams from addresses `accept` turns down
// are dropped.
class UdpEcho {
 public:
  UdpEcho(const std::string& address, int netnsFd = -1);
  ~UdpEcho();
  int port() const { return port_; }
  std::vector<std::string> peers() const;
  void onlyFrom(std::function<bool(const std::string& peer)> accept);

 private:
  void run();
  int port_ = 0;
  platform::UniqueFd socket_;
  platform::UniqueFd stop_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> peers_;
  std::function<bool(const std::string&)> accept_;
};

// A child process (in `netnsFd` when given), SIGKILLed and reaped when the
// object goes; its output goes to `logFile`.
class ChildProgram {
 public:
  ChildProgram(const std::vector<std::string>& argv, const std::string& logFile,
               int netnsFd = -1);
  ~ChildProgram();
  pid_t pid() const { return pid_; }
  bool running() const;

 private:
  pid_t pid_ = -1;
};

// Debian's ss-server on ADDRESS:PORT with UDP relay; with `webSocketPath`
// behind the packaged websocket plugin (server side, host "ws.test").
std::unique_ptr<ChildProgram> startSsServer(const std::string& address, int port,
                                            const std::string& password,
                                            const std::string& method, const std::string& logFile,
                                            int netnsFd = -1,
                                            const std::string& webSocketPath = "",
                                            const std::string& outboundAddress = "");

// Whether TCP `port` on `address` accepts a connection now (in `netnsFd`
// when given).
bool acceptsConnections(const std::string& address, int port, int netnsFd = -1);

// Runs argv (no shell) and returns what it printed; fails after `timeout`.
platform::Result<platform::ProcessOutput> runProgram(const std::vector<std::string>& argv,
                                                     std::chrono::seconds timeout = 30s,
                                                     std::vector<std::string> environment = {});

// Sends `payload` over UDP to ADDRESS:PORT and waits for one answer.
std::optional<std::string> udpExchange(const std::string& address, int port,
                                       const std::string& payload,
                                       std::chrono::milliseconds timeout = 5s);

}  // namespace vandrel::daemon::testing_support
