#pragma once

// Real pieces for the helper's tests: root-owned temp directories, copies
// of the daemon stand-in, the helper executable as a child process, and a
// plain client of its wire protocol.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "helper/helper_config.h"
#include "platform/ipc.h"
#include "proto/helper.pb.h"
#include "tests/support/temp_dir.h"

namespace vandrel::helper::testing_support {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Built programs, from the build system.
fs::path helperExecutable();
fs::path daemonExecutable();
fs::path installerExecutable();

// Skips the test unless it runs as root inside the private namespace of
// scripts/netns-run (the helper kills processes and edits routes).
bool requireRootNamespace();

// A fresh directory, mode 0755 (others may reach the socket), removed
// afterwards.
class TempDir : public test_support::TempDir {
 public:
  TempDir();
};

// A port on 127.0.0.1 that is free now.
int freeLoopbackPort();

// Runs argv to its end (no shell); returns the exit code, -1 when killed.
int run(const std::vector<std::string>& argv);

// Lines of a text file (none when it is missing).
std::vector<std::string> readLines(const fs::path& file);
std::string readFile(const fs::path& file);

// Waits until `condition` holds, checking every few milliseconds.
testing::AssertionResult eventually(const std::function<bool()>& condition,
                                    std::chrono::milliseconds timeout, const std::string& what);

// Processes whose executable is the file at `path` (by device and inode).
std::vector<pid_t> processesRunning(const fs::path& path);
bool processAlive(pid_t pid);

// A copy of the daemon stand-in at `dir`/Vandrel-server-daemon, root-owned,
// mode 0755, with its port file. Its log is beside it. Every process that
// still runs the copy is killed when the object goes.
class DaemonCopy {
 public:
  DaemonCopy(const fs::path& dir, int port);
  ~DaemonCopy();

  const fs::path& path() const { return path_; }
  int port() const { return port_; }
  std::vector<std::string> log() const;
  // Lines of the log equal to `line`.
  std::size_t count(const std::string& line) const;
  testing::AssertionResult waitForCount(const std::string& line, std::size_t n,
                                        std::chrono::milliseconds timeout = 10s) const;
  std::vector<pid_t> running() const { return processesRunning(path_); }
  // Whether some process running this copy listens on its port.
  bool listening() const;
  void killAll() const;
  // Replaces the port file's text (the stand-in exits 2 on a bad one).
  void writePortFile(const std::string& text) const;

 private:
  fs::path path_;
  int port_;
};

// The helper executable as a child: --socket DIR/helper.sock --config
// DIR/helper.conf; stdout to DIR/helper.out, stderr (its log) to
// DIR/helper.log. Stopped (SIGTERM, then SIGKILL) when the object goes.
class HelperProcess {
 public:
  HelperProcess(const fs::path& dir, HelperConfig config);
  ~HelperProcess();

  testing::AssertionResult start();
  void kill(int signal = SIGKILL);  // and reap
  void stop();

  pid_t pid() const { return pid_; }
  const fs::path& socketPath() const { return socket_; }
  std::string log() const { return readFile(log_); }
  std::string output() const { return readFile(out_); }
  // Log lines that contain `text`.
  std::size_t logCount(const std::string& text) const;
  testing::AssertionResult waitForLog(const std::string& text, std::size_t n = 1,
                                      std::chrono::milliseconds timeout = 10s) const;

 private:
  fs::path socket_, config_, log_, out_;
  pid_t pid_ = -1;
};

// A reply with the descriptors that came with it.
struct WireReply {
  wire::Reply reply;
  std::vector<platform::ipc::OwnedFd> fds;
};

// A synchronous client of the helper's protocol: one call at a time.
class WireClient {
 public:
  static std::unique_ptr<WireClient> connect(const fs::path& socket);
  ~WireClient();

  // Sends `request` with the next id and waits for its reply; nothing when
  // the connection ended or `timeout` passed first.
  std::optional<WireReply> call(wire::Request request, std::chrono::milliseconds timeout = 30s);
  bool sendFrame(const std::string& payload);
  // Whether the connection ends within `timeout` with nothing received.
  testing::AssertionResult closesWithoutReply(std::chrono::milliseconds timeout = 10s);

 private:
  WireClient() = default;
  std::unique_ptr<platform::ipc::Connection> connection_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<platform::ipc::Message> messages_;
  bool closed_ = false;
  std::uint64_t nextId_ = 1;
};

// A plain socket to the helper, for bytes the channel would never send.
platform::ipc::OwnedFd rawConnect(const fs::path& socket);
// Whether reading `fd` ends (EOF or reset) within `timeout` with no byte.
testing::AssertionResult readsEofWithoutReply(int fd, std::chrono::seconds timeout = 10s);

// Requests by command.
wire::Request checkDaemonRequest();
wire::Request checkAndRunServerRequest(const std::string& path, bool force);
wire::Request deleteRoutesRequest(const std::vector<std::string>& routes);
wire::Request deleteRoutesWhenAppKilledRequest(const std::vector<std::string>& routes);
wire::Request execCommandRequest(const std::string& command);
wire::Request debugInfoRequest();
wire::Request bindRequest(std::optional<std::string> authorization);
// A complete frame (header + payload) of `request` with `id`.
std::string frameOf(wire::Request request, std::uint64_t id);

}  // namespace vandrel::helper::testing_support
