#pragma once

// The helper executable as a child, for the tests of its commands: the
// fixture and forked children that play the application or other users.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/helper/helper_fixture.h"

namespace vandrel::helper::testing_support {

inline constexpr uid_t kNobody = 65534;

inline bool routePresent(const std::string& route, bool ipv6 = false) {
  const std::string list = ipv6 ? "ip -6 route show " + route : "ip route show " + route;
  FILE* pipe = ::popen(list.c_str(), "r");
  char buffer[512];
  std::string out;
  while (pipe && std::fgets(buffer, sizeof(buffer), pipe)) out += buffer;
  if (pipe) ::pclose(pipe);
  return !out.empty();
}

// Reads one whole frame from a plain socket; async-signal-safe, for
// forked children.
inline bool readOneFrame(int fd) {
  unsigned char header[4];
  std::size_t got = 0;
  while (got < 4) {
    const ssize_t n = ::read(fd, header + got, 4 - got);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  std::size_t left =
      (std::size_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
  char buffer[4096];
  while (left > 0) {
    const ssize_t n = ::read(fd, buffer, left < sizeof(buffer) ? left : sizeof(buffer));
    if (n <= 0) return false;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// A forked child that stays until killed. `body` runs in the child (only
// async-signal-safe calls) and returns whether the child is ready; the
// parent waits for that.
class Child {
 public:
  template <typename Body>
  explicit Child(Body body) {
    int ready[2];
    EXPECT_EQ(0, ::pipe2(ready, O_CLOEXEC));
    pid_ = ::fork();
    if (pid_ == 0) {
      const char answer = body() ? 'r' : 'f';
      (void)::write(ready[1], &answer, 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    pollfd waitFor{ready[0], POLLIN, 0};
    char answer = 0;
    if (::poll(&waitFor, 1, 20000) == 1) (void)::read(ready[0], &answer, 1);
    ::close(ready[0]);
    ready_ = answer == 'r';
  }
  ~Child() { kill(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  bool alive() const { return pid_ > 0 && processAlive(pid_); }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

inline int connectUnix(const char* path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  for (std::size_t i = 0; path[i] && i + 1 < sizeof(address.sun_path); ++i)
    address.sun_path[i] = path[i];
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return -1;
  return fd;
}

inline bool writeAll(int fd, const std::string& bytes) {
  return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

class HelperToolTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
    daemon_ = std::make_unique<DaemonCopy>(dir_ / "daemon", freeLoopbackPort());
    config_.daemonPath = daemon_->path().string();
    config_.daemonPort = daemon_->port();
  }

  void startHelper() {
    helper_ = std::make_unique<HelperProcess>(dir_.path(), config_);
    ASSERT_TRUE(helper_->start());
    client_ = WireClient::connect(helper_->socketPath());
    ASSERT_TRUE(client_);
  }

  void TearDown() override {
    client_.reset();
    if (helper_) helper_->stop();
    if (daemon_) daemon_->killAll();
  }

  // The text of a Text reply; "<nil>" for an absent value.
  std::string textOf(wire::Request request) {
    auto reply = client_->call(std::move(request));
    if (!reply) return "<no reply>";
    EXPECT_TRUE(reply->reply.has_text()) << reply->reply.DebugString();
    return reply->reply.text().has_value() ? reply->reply.text().value() : "<nil>";
  }

  std::string startDaemon(bool force = false) {
    return textOf(checkAndRunServerRequest(daemon_->path().string(), force));
  }

  TempDir dir_;
  HelperConfig config_;
  std::unique_ptr<DaemonCopy> daemon_;
  std::unique_ptr<HelperProcess> helper_;
  std::unique_ptr<WireClient> client_;
};

}  // namespace vandrel::helper::testing_support
