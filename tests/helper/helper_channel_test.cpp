// The helper's channel as clients meet it: who may talk, what malformed
// frames do, the caller-given command, debug text, the port command and
// start-up from the service manager's socket. Runs inside the private
// namespace of scripts/netns-run (port 80, other users).

#include "tests/helper/helper_tool_fixture.h"

namespace vandrel::helper::testing_support {
namespace {

TEST_F(HelperToolTest, PeerOfAnotherUserReadsEofWithoutAReply) {
  startHelper();
  struct stat st {};
  ASSERT_EQ(0, ::stat(helper_->socketPath().c_str(), &st));
  ASSERT_EQ(0666u, st.st_mode & 0777);  // anyone may connect; the uid decides
  const std::string socket = helper_->socketPath().string();
  const std::string request = frameOf(checkDaemonRequest(), 1);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Raw system calls: only this thread exists in the child.
    if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setgid, kNobody) != 0 ||
        ::syscall(SYS_setuid, kNobody) != 0) {
      ::_exit(3);
    }
    const int fd = connectUnix(socket.c_str());
    if (fd < 0) ::_exit(4);
    (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char byte;
    const ssize_t n = ::read(fd, &byte, 1);
    ::_exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "3: cannot drop privileges, 4: cannot connect, 5: got bytes";
  EXPECT_TRUE(
      helper_->waitForLog("refused the connection of pid " + std::to_string(pid) + " uid 65534"));
  EXPECT_EQ("1024", textOf(checkDaemonRequest()));
}

// One allowed user holding as many idle connections as the helper serves
// must lock out neither another allowed user (the application) nor root.
TEST_F(HelperToolTest, AUserHoldingIdleConnectionsLocksOutNeitherOtherUsersNorRoot) {
  constexpr uid_t kHog = 1001, kApp = 1000;
  config_.allowedUids = {kApp, kHog};
  startHelper();
  const std::string socket = helper_->socketPath().string();
  const auto asUser = [](uid_t uid) {
    // Raw system calls: only this thread exists in the child.
    return ::syscall(SYS_setgroups, 0, nullptr) == 0 && ::syscall(SYS_setgid, uid) == 0 &&
           ::syscall(SYS_setuid, uid) == 0;
  };
  Child hog([&] {
    if (!asUser(kHog)) return false;
    for (std::size_t i = 0; i < platform::ipc::Server::kMaxConnections; ++i) {
      if (connectUnix(socket.c_str()) < 0) return false;
    }
    return true;
  });
  ASSERT_TRUE(hog.ready());
  EXPECT_TRUE(helper_->waitForLog(
      "closed the connection of pid " + std::to_string(hog.pid()) + " uid 1001: ",
      platform::ipc::Server::kMaxConnections - platform::ipc::ServerLimits::kMaxConnectionsPerUser));

  const std::string request = frameOf(checkDaemonRequest(), 1);
  Child app([&] {
    if (!asUser(kApp)) return false;
    const int fd = connectUnix(socket.c_str());
    const timeval tv{10, 0};
    return fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
           writeAll(fd, request) && readOneFrame(fd);
  });
  EXPECT_TRUE(app.ready()) << "the application got no answer";
  auto root = WireClient::connect(helper_->socketPath());
  ASSERT_TRUE(root);
  auto reply = root->call(checkDaemonRequest(), 10s);
  ASSERT_TRUE(reply) << "root got no answer";
  EXPECT_EQ("1024", reply->reply.text().value());
}

TEST_F(HelperToolTest, ExecCommandIsRefusedUnderTheDefaultConfiguration) {
  startHelper();
  const fs::path marker = dir_ / "ran";
  auto reply = client_->call(execCommandRequest("touch " + marker.string()));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->reply.has_error()) << reply->reply.DebugString();
  EXPECT_EQ("com.vandrel.mac.daemon", reply->reply.error().domain());
  EXPECT_EQ(EPERM, reply->reply.error().code());
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(HelperToolTest, ExecCommandWhenEnabledReportsStatusAndOutput) {
  config_.execCommand = true;
  startHelper();
  struct Case {
    std::string command;
    std::int64_t status;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"true", 0, "None"},
      {"printf x; exit 3", 3, "x"},
      {"echo \"$PATH\"", 0, "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin\n"},
      {"printf '\\377'", 0, "None"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    auto reply = client_->call(execCommandRequest(c.command));
    ASSERT_TRUE(reply);
    ASSERT_TRUE(reply->reply.has_command_result()) << reply->reply.DebugString();
    EXPECT_EQ(c.status, reply->reply.command_result().status());
    EXPECT_EQ(c.output, reply->reply.command_result().output());
  }
}

TEST_F(HelperToolTest, ExecCommandWithAnEmbeddedNulIsRefusedNotCut) {
  config_.execCommand = true;
  startHelper();
  const fs::path before = dir_ / "before";
  const fs::path after = dir_ / "after";
  const std::string command =
      "touch " + before.string() + std::string(1, '\0') + "; touch " + after.string();
  auto reply = client_->call(execCommandRequest(command));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->reply.has_error()) << reply->reply.DebugString();
  EXPECT_EQ("com.vandrel.mac.daemon", reply->reply.error().domain());
  EXPECT_EQ(EINVAL, reply->reply.error().code());
  EXPECT_FALSE(fs::exists(before));
  EXPECT_FALSE(fs::exists(after));
  EXPECT_TRUE(helper_->waitForLog("refused execCommand"));
}

TEST_F(HelperToolTest, MalformedOrOversizedFramesCloseTheConnection) {
  startHelper();
  struct Case {
    const char* name;
    std::string bytes;
  };
  const auto header = platform::ipc::frameHeader(2 * 1024 * 1024);
  std::string tooBig(header.data(), header.size());
  tooBig += std::string(64 * 1024, 'x');
  // Nine bytes, NULs included: a length of 5, then 5 bytes no request
  // decodes from.
  const std::string garbage("\x00\x00\x00\x05\xff\xff\xff\xff\xff", 9);
  const std::vector<Case> cases = {
      {"2 MiB frame", tooBig},
      {"undecodable", garbage},
      {"id 0", frameOf(checkDaemonRequest(), 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto fd = rawConnect(helper_->socketPath());
    ASSERT_TRUE(fd);
    (void)::send(fd.get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
    EXPECT_TRUE(readsEofWithoutReply(fd.get()));
  }
  EXPECT_EQ("1024", textOf(checkDaemonRequest()));
}

TEST_F(HelperToolTest, DebugInfoHasBothSectionsInItsLayout) {
  startHelper();
  const std::string idle = textOf(debugInfoRequest());
  EXPECT_EQ(0u, idle.rfind("Debug Info: \n", 0)) << idle;
  EXPECT_NE(std::string::npos, idle.find("\n***********************\nNone\n")) << idle;
  ASSERT_EQ("<nil>", startDaemon());
  const std::string busy = textOf(debugInfoRequest());
  const auto separator = busy.find("\n***********************\n");
  ASSERT_NE(std::string::npos, separator) << busy;
  EXPECT_NE(std::string::npos, busy.find("socket:[", separator)) << busy;
  EXPECT_EQ('\n', busy.back());
}

TEST_F(HelperToolTest, DebugInfoLinesCannotBeForgedByACommandLine) {
  startHelper();
  // Anyone may name a process so that the process section lists it.
  const std::string forged = "vandrel\n0 1 0 forged\n***********************\nforged";
  const pid_t pid = ::fork();
  if (pid == 0) {
    char* argv[] = {const_cast<char*>(forged.c_str()), const_cast<char*>("300"), nullptr};
    ::execv("/bin/sleep", argv);
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  const fs::path cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
  ASSERT_TRUE(eventually([&] { return readFile(cmdline).find("forged") != std::string::npos; }, 5s,
                         "the named process"));
  const std::string text = textOf(debugInfoRequest());
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  EXPECT_NE(std::string::npos, text.find("vandrel?0 1 0 forged?*****")) << text;
  EXPECT_EQ(std::string::npos, text.find("\n0 1 0 forged")) << text;
  EXPECT_EQ(1u, [&] {
    std::size_t n = 0;
    for (auto at = text.find("\n***********************\n"); at != std::string::npos;
         at = text.find("\n***********************\n", at + 1)) {
      ++n;
    }
    return n;
  }()) << text;
}

// As the service manager starts it: the listening socket is descriptor 3,
// announced by LISTEN_FDS=1 and LISTEN_PID.
TEST_F(HelperToolTest, EveryDescriptorOfTheHelperIsCloseOnExec) {
  config_.execCommand = true;
  startHelper();
  ASSERT_EQ("<nil>", startDaemon());
  auto second = WireClient::connect(helper_->socketPath());
  ASSERT_TRUE(second);
  ASSERT_TRUE(second->call(execCommandRequest("true")));
  int checked = 0;
  const fs::path fdinfo = "/proc/" + std::to_string(helper_->pid()) + "/fdinfo";
  for (const auto& entry : fs::directory_iterator(fdinfo)) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd <= 2) continue;
    std::istringstream info(readFile(entry.path()));
    std::string key, flags;
    while (info >> key && key != "flags:") {
    }
    ASSERT_TRUE(info >> flags) << entry.path();
    ++checked;
    EXPECT_NE(0, std::stoi(flags, nullptr, 8) & O_CLOEXEC)
        << "descriptor " << fd << " flags " << flags;
  }
  EXPECT_GE(checked, 4);  // listener, wake pipe, two connections
}

class SocketActivationTest : public HelperToolTest {
 protected:
  // Starts the helper with a listening socket at `socketPath` as descriptor
  // 3; `forOurPid` false announces it for another process.
  pid_t startActivated(const fs::path& socketPath, bool forOurPid) {
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    EXPECT_EQ(0, ::listen(listener, 8));
    const fs::path configPath = dir_ / "activated.conf";
    std::ofstream(configPath) << config_.format();
    const std::string program = helperExecutable().string();
    const std::string configArg = configPath.string();
    const std::string logPath = (dir_ / "activated.log").string();
    char pidEntry[32] = "LISTEN_PID=";
    const pid_t pid = ::fork();
    if (pid == 0) {
      // Async-signal-safe from here: format our pid by hand.
      pid_t value = forOurPid ? ::getpid() : 1;
      char digits[16];
      int n = 0;
      do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
      } while (value > 0);
      int at = 11;
      while (n > 0) pidEntry[at++] = digits[--n];
      pidEntry[at] = '\0';
      char fdsEntry[] = "LISTEN_FDS=1";
      char* env[] = {pidEntry, fdsEntry, nullptr};
      char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--config"),
                      const_cast<char*>(configArg.c_str()), nullptr};
      const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(log, 2);
      // dup2 leaves its copy without close-on-exec, but does nothing when
      // the socket is descriptor 3 already.
      if (listener == 3) {
        ::fcntl(3, F_SETFD, 0);
      } else {
        ::dup2(listener, 3);
      }
      ::execve(argv[0], argv, env);
      ::_exit(127);
    }
    ::close(listener);
    return pid;
  }
};

TEST_F(SocketActivationTest, ServesTheSocketHandedInAsDescriptorThree) {
  const fs::path socketPath = dir_ / "activated.sock";
  const pid_t pid = startActivated(socketPath, true);
  auto client = WireClient::connect(socketPath);
  ASSERT_TRUE(client);
  auto reply = client->call(checkDaemonRequest());
  ASSERT_TRUE(reply) << readFile(dir_ / "activated.log");
  EXPECT_EQ("1024", reply->reply.text().value());
  wire::Request endpoint;
  endpoint.mutable_connect_with_endpoint();
  reply = client->call(endpoint);
  ASSERT_TRUE(reply);
  EXPECT_EQ(socketPath.string(), reply->reply.text().value());
  client.reset();
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(SocketActivationTest, IgnoresADescriptorAnnouncedForAnotherProcess) {
  const pid_t pid = startActivated(dir_ / "activated.sock", false);
  int status = 0;
  ASSERT_TRUE(eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s,
                         "the helper to give up"));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(1, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, readFile(dir_ / "activated.log").find("no socket"));
}

class LowPortTest : public HelperToolTest {};

TEST_F(LowPortTest, WrongTokenSizesGetParamErr) {
  startHelper();
  for (const auto& token : std::vector<std::optional<std::string>>{
           std::nullopt, std::string(31, 'a'), std::string(33, 'a'), std::string()}) {
    SCOPED_TRACE(token ? std::to_string(token->size()) + " bytes" : "absent");
    auto reply = client_->call(bindRequest(token));
    ASSERT_TRUE(reply);
    ASSERT_TRUE(reply->reply.has_error()) << reply->reply.DebugString();
    EXPECT_EQ("NSOSStatusErrorDomain", reply->reply.error().domain());
    EXPECT_EQ(-50, reply->reply.error().code());
    EXPECT_TRUE(reply->fds.empty());
  }
}

TEST_F(LowPortTest, ValidTokenGetsTwoBoundSocketsOnPort80) {
  startHelper();
  auto reply = client_->call(bindRequest(std::string(32, '\x7f')));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->reply.has_sockets()) << reply->reply.DebugString();
  EXPECT_EQ(2u, reply->reply.sockets().count());
  ASSERT_EQ(2u, reply->fds.size());
  const int families[] = {AF_INET, AF_INET6};
  for (int i = 0; i < 2; ++i) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    ASSERT_EQ(0,
              ::getsockname(reply->fds[i].get(), reinterpret_cast<sockaddr*>(&address), &length));
    EXPECT_EQ(families[i], address.ss_family);
    const auto port = address.ss_family == AF_INET
                          ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                          : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port;
    EXPECT_EQ(80, ntohs(port));
    int listening = 1;
    length = sizeof(listening);
    ::getsockopt(reply->fds[i].get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    EXPECT_EQ(0, listening);
  }
  EXPECT_EQ(0, ::listen(reply->fds[0].get(), 1));
  EXPECT_EQ(0, ::listen(reply->fds[1].get(), 1));
  reply->fds.clear();
  // The helper closed its copies: port 80 is free again.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(80);
  EXPECT_TRUE(
      eventually([&] { return ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0; },
                 5s, "port 80 to be free"));
  ::close(fd);
}

TEST_F(LowPortTest, TakenPortGetsAddressInUse) {
  startHelper();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(80);
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)));
  ASSERT_EQ(0, ::listen(fd, 1));
  auto reply = client_->call(bindRequest(std::string(32, 'k')));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->reply.has_error()) << reply->reply.DebugString();
  EXPECT_EQ("NSPOSIXErrorDomain", reply->reply.error().domain());
  EXPECT_EQ(EADDRINUSE, reply->reply.error().code());
  EXPECT_TRUE(reply->fds.empty());
  ::close(fd);
}

}  // namespace
}  // namespace vandrel::helper::testing_support
