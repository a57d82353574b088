#pragma once

// Real pieces for the daemon's tests: private copies of the system places
// the daemon uses (inside the test's own mount namespace), the daemon
// executable as a child, and gRPC clients that call it from a connection
// of any user.

#include <sys/types.h>

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/accel.grpc.pb.h"
#include "tests/helper/helper_fixture.h"

namespace vandrel::daemon::testing_support {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using helper::testing_support::TempDir;

fs::path daemonProgram();

// A test user the sandbox adds to its private /etc/passwd.
struct TestUser {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  fs::path home;
};

// Inside the test's mount namespace (scripts/netns-run): a fresh tmpfs on
// /run, and /etc as an overlay whose changes land in a temp directory, so
// the daemon reads a helper configuration and user accounts of the test's
// making. Everything is unmounted when the object goes.
class SystemSandbox {
 public:
  SystemSandbox();
  ~SystemSandbox();
  SystemSandbox(const SystemSandbox&) = delete;
  SystemSandbox& operator=(const SystemSandbox&) = delete;

  testing::AssertionResult mount();
  // /etc/vandrel/helper.conf with these users besides root and `port`.
  void writeHelperConfig(const std::vector<uid_t>& allowedUids, int port);
  // A user with its own group and a home under the sandbox.
  TestUser addUser(const std::string& name, uid_t uid);
  const fs::path& scratch() const { return dir_.path(); }

 private:
  TempDir dir_;
  bool runMounted_ = false;
  bool etcMounted_ = false;
};

// The daemon executable as a root child (as the helper starts it: no
// arguments, PATH only). Killed with SIGKILL when the object goes.
class DaemonProcess {
 public:
  explicit DaemonProcess(int port);
  ~DaemonProcess();

  testing::AssertionResult start();
  void kill(int signal = SIGKILL);  // and reap
  // Exit status of a run with `arguments` (e.g. "-clear").
  static int runOnce(const std::vector<std::string>& arguments);
  pid_t pid() const { return pid_; }
  int port() const { return port_; }
  // The daemon's log copy (/run/vandrel/Vandrel-server-daemon.log).
  static std::string log();
  static testing::AssertionResult waitForLog(const std::string& text,
                                             std::chrono::milliseconds timeout = 10s);

 private:
  int port_;
  pid_t pid_ = -1;
};

// A desktop session of `user` as far as its proxy setting goes: a private
// session bus at /run/user/UID/bus (the sandbox's /run) with the settings
// service it activates, writing under the user's sandbox home.
class DesktopSession {
 public:
  explicit DesktopSession(TestUser user);
  ~DesktopSession();

  testing::AssertionResult start();
  // gsettings as the user; its output without the line end, or a failure text.
  std::string gsettings(const std::vector<std::string>& arguments) const;
  // What the desktop's own proxy resolver (libproxy reading these
  // settings, running the proxy script) picks for `url`: "direct://" or
  // "http://HOST:PORT".
  std::string proxyFor(const std::string& url) const;
  // Every setting the daemon may change, "SCHEMA KEY VALUE" per line.
  std::string proxySettings() const;

 private:
  std::vector<std::string> environment() const;
  TestUser user_;
  pid_t bus_ = -1;
};

// Success and Error of an answer, or the RPC failure.
struct Reply {
  bool rpcOk = false;
  std::string rpcError;
  bool success = false;
  std::string error;
  std::vector<std::string> exclude;
};

::std::ostream& operator<<(::std::ostream& out, const Reply& reply);

// A gRPC client of accel.Accel over one connection.
class AccelClient {
 public:
  // Connected as the test process's user.
  static std::unique_ptr<AccelClient> connect(int port);
  // Over a socket that a child running as `uid`/`gid` made and connected,
  // so the daemon sees that user as the caller.
  static std::unique_ptr<AccelClient> connectAs(uid_t uid, gid_t gid, int port);

  Reply startSs(const accel::SSConfig& request);
  Reply stopSs();
  Reply startHttpProxy(const accel::StartHttpProxyReq& request);
  Reply stopHttpProxy();
  Reply setSystemProxy(const accel::SetSystemProxyReq& request);
  Reply stopSystemProxy(const accel::StopSystemProxyReq& request);
  Reply startTun2socks(const accel::StartTun2socksReq& request);
  Reply stopTun2socks();
  Reply getExcludeRoute();
  // Any of the sixteen methods by name, with an empty request.
  Reply callEmpty(const std::string& method);

 private:
  explicit AccelClient(std::shared_ptr<grpc::Channel> channel);
  std::shared_ptr<grpc::Channel> channel_;
  std::unique_ptr<accel::Accel::Stub> stub_;
};

// The sixteen method names in the service's order.
const std::vector<std::string>& accelMethods();

// Requests as the application sends them.
accel::SSConfig ssRequest(const std::string& server, int port, const std::string& password,
                          const std::string& method = "aes-128-cfb", int localPort = 9090);
accel::StartHttpProxyReq httpProxyRequest(int port = 9099, int socksPort = 9090);
accel::SetSystemProxyReq systemProxyRequest(accel::SystemProxyMode mode,
                                            const std::vector<std::string>& domains,
                                            int pacPort = 50453);
accel::StopSystemProxyReq stopSystemProxyRequest(accel::SystemProxyMode mode);
accel::StartTun2socksReq tunRequest(const std::vector<std::string>& exclude);

// Whether some process listens on TCP `port` of 127.0.0.1 now.
bool listening(int port);

}  // namespace vandrel::daemon::testing_support
