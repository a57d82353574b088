// The helper executable as a child on a temp socket, with a root-owned copy
// of the daemon stand-in, inside the private namespace of scripts/netns-run
// (entered before this binary started): ports, routes and processes here
// are the namespace's own. Daemon control, routes and the watchdog.

#include "helper/helper_tool.h"
#include "helper/proc_table.h"
#include "tests/helper/helper_tool_fixture.h"

namespace vandrel::helper::testing_support {
namespace {

TEST_F(HelperToolTest, AnswersItsVersionFirstAndSaysItStarted) {
  startHelper();
  EXPECT_EQ("1024", textOf(checkDaemonRequest()));
  EXPECT_EQ("checkMain main init", helper_->output());
  wire::Request endpoint;
  endpoint.mutable_connect_with_endpoint();
  EXPECT_EQ(helper_->socketPath().string(), textOf(endpoint));
}

TEST_F(HelperToolTest, UnforcedCheckStartsTheDaemonOnceThenFindsItWorking) {
  startHelper();
  EXPECT_EQ("<nil>", startDaemon());
  EXPECT_TRUE(daemon_->listening());
  // The stand-in logs "serve" once its server has started, a moment after
  // the helper may already have seen the port listening and answered.
  ASSERT_TRUE(daemon_->waitForCount("serve " + std::to_string(daemon_->port()), 1));
  const auto started = daemon_->log();
  EXPECT_EQ((std::vector<std::string>{"clear", "serve " + std::to_string(daemon_->port())}),
            started);
  const auto pids = daemon_->running();
  ASSERT_EQ(1u, pids.size());

  EXPECT_EQ("<nil>", startDaemon());
  EXPECT_EQ(started, daemon_->log());  // no kill, clear or start
  EXPECT_EQ(pids, daemon_->running());
  EXPECT_TRUE(helper_->waitForLog("Go Server is working"));
}

TEST_F(HelperToolTest, ForcedRestartKillsOnlyTheDaemon) {
  startHelper();
  ASSERT_EQ("<nil>", startDaemon());
  const auto before = daemon_->running();
  ASSERT_EQ(1u, before.size());
  // Killed before it logged, the first copy would leave one serve line.
  ASSERT_TRUE(daemon_->waitForCount("serve " + std::to_string(daemon_->port()), 1));

  // A program of another kind under the daemon's name, and a client of the
  // daemon's port: what name- and port-based kills would hit.
  const fs::path otherDir = dir_ / "other";
  fs::create_directories(otherDir);
  const fs::path bystanderPath = otherDir / "Vandrel-server-daemon";
  fs::copy_file("/bin/sleep", bystanderPath);
  const std::string bystanderProgram = bystanderPath.string();
  Child bystander([&] {
    char* argv[] = {const_cast<char*>(bystanderProgram.c_str()), const_cast<char*>("300"), nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execv(argv[0], argv);
      ::_exit(127);
    }
    return pid > 0;
  });
  ASSERT_TRUE(
      eventually([&] { return !processesRunning(bystanderPath).empty(); }, 10s, "the bystander"));
  const pid_t bystanderPid = processesRunning(bystanderPath).front();
  const int port = daemon_->port();
  Child portClient([port] {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  });
  ASSERT_TRUE(portClient.ready());

  EXPECT_EQ("<nil>", startDaemon(true));
  const auto after = daemon_->running();
  ASSERT_EQ(1u, after.size());
  EXPECT_NE(before, after);
  EXPECT_FALSE(processAlive(before.front()));
  EXPECT_TRUE(daemon_->listening());
  EXPECT_EQ(2u, daemon_->count("clear"));
  // The stand-in logs "serve" once it listens, a moment after the helper
  // may already have seen it listening and answered.
  EXPECT_TRUE(eventually([&] { return daemon_->count("serve " + std::to_string(port)) == 2; },
                         10s, "the restarted daemon's serve line"))
      << daemon_->count("serve " + std::to_string(port)) << " serve lines";
  EXPECT_TRUE(processAlive(bystanderPid));
  EXPECT_TRUE(portClient.alive());
  EXPECT_TRUE(helper_->waitForLog("kill daemon pid " + std::to_string(before.front())));
  ::kill(bystanderPid, SIGKILL);
}

TEST_F(HelperToolTest, DaemonCopyOfAnotherUserOnThePortIsNotTakenForOurs) {
  startHelper();
  // The executable is 0755: any user may run it and take the port first.
  const std::string program = daemon_->path().string();
  Child squatter([&] {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setgid, kNobody) != 0 ||
          ::syscall(SYS_setuid, kNobody) != 0) {
        ::_exit(3);
      }
      char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
      char* env[] = {nullptr};
      ::execve(argv[0], argv, env);
      ::_exit(127);
    }
    return pid > 0;
  });
  ASSERT_TRUE(squatter.ready());
  ASSERT_TRUE(eventually([&] { return daemon_->listening(); }, 10s, "the other user's copy"));
  const auto before = daemon_->running();
  ASSERT_EQ(1u, before.size());
  ASSERT_EQ(std::optional<uid_t>(kNobody), proc::processUid(before.front()));

  EXPECT_EQ("<nil>", startDaemon());
  EXPECT_FALSE(processAlive(before.front()));
  const auto after = daemon_->running();
  ASSERT_EQ(1u, after.size());
  EXPECT_EQ(std::optional<uid_t>(0), proc::processUid(after.front()));
  EXPECT_TRUE(daemon_->listening());
  EXPECT_TRUE(helper_->waitForLog("Go Server not working"));
}

TEST_F(HelperToolTest, DaemonPathFromTheClientIsIgnored) {
  startHelper();
  const fs::path marker = dir_ / "marker";
  const fs::path other = dir_ / "evil.sh";
  std::ofstream(other) << "#!/bin/sh\ntouch " << marker.string() << "\n";
  ::chmod(other.c_str(), 0755);
  EXPECT_EQ("<nil>", textOf(checkAndRunServerRequest(other.string(), true)));
  EXPECT_TRUE(daemon_->listening());
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(helper_->waitForLog("ignoring the daemon path"));
}

struct BadDaemonCase {
  const char* name;
  std::function<void(const DaemonCopy&, HelperConfig&, const fs::path& dir)> arrange;
  const char* reason;
  bool runs;  // whether the file is run at all
};

class BadDaemonTest : public HelperToolTest, public testing::WithParamInterface<BadDaemonCase> {};

TEST_P(BadDaemonTest, StartFailsWithAClearText) {
  GetParam().arrange(*daemon_, config_, dir_.path());
  startHelper();
  const std::string reply = startDaemon();
  EXPECT_EQ(0u, reply.rfind("run goServer failed:\n", 0)) << reply;
  EXPECT_NE(std::string::npos, reply.find(GetParam().reason)) << reply;
  EXPECT_NE(std::string::npos, reply.find(" \nDebug Info:\nDebug Info: \n")) << reply;
  EXPECT_NE(std::string::npos, reply.find("\n***********************\n")) << reply;
  EXPECT_TRUE(daemon_->running().empty());
  EXPECT_EQ(GetParam().runs ? 1u : 0u, daemon_->count("clear"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadDaemonTest,
    testing::Values(BadDaemonCase{"ExitsAtOnce",
                                  [](const DaemonCopy& d, HelperConfig&, const fs::path&) {
                                    d.writePortFile("not a port");
                                  },
                                  "the daemon exited at once (exit status 2)", true},
                    BadDaemonCase{"GroupWritable",
                                  [](const DaemonCopy& d, HelperConfig&, const fs::path&) {
                                    ::chmod(d.path().c_str(), 0775);
                                  },
                                  "is writable by group or others", false},
                    BadDaemonCase{"NotRoots",
                                  [](const DaemonCopy& d, HelperConfig&, const fs::path&) {
                                    ::chown(d.path().c_str(), kNobody, kNobody);
                                  },
                                  "is not owned by root", false},
                    BadDaemonCase{"SymbolicLink",
                                  [](const DaemonCopy& d, HelperConfig& c, const fs::path& dir) {
                                    fs::create_symlink(d.path(), dir / "link");
                                    c.daemonPath = (dir / "link").string();
                                  },
                                  "is a symbolic link", false},
                    BadDaemonCase{"Fifo",
                                  [](const DaemonCopy& d, HelperConfig&, const fs::path&) {
                                    fs::remove(d.path());
                                    ::mkfifo(d.path().c_str(), 0755);
                                  },
                                  "is not a regular file", false},
                    BadDaemonCase{"Missing",
                                  [](const DaemonCopy&, HelperConfig& c, const fs::path& dir) {
                                    c.daemonPath = (dir / "absent").string();
                                  },
                                  "cannot open", false}),
    [](const testing::TestParamInfo<BadDaemonCase>& info) { return info.param.name; });

TEST_F(HelperToolTest, DaemonThatNeverListensIsStoppedAndReported) {
  // The stand-in listens on its port file's port, not on the configured one.
  config_.daemonPort = freeLoopbackPort();
  startHelper();
  const std::string reply = startDaemon();
  EXPECT_NE(std::string::npos, reply.find("the daemon did not listen on port")) << reply;
  EXPECT_TRUE(eventually([&] { return daemon_->running().empty(); }, 5s, "the daemon to stop"));
}

TEST_F(HelperToolTest, DeletesValidRoutesInOrderOneLineEach) {
  startHelper();
  ASSERT_EQ(0, run({"ip", "route", "add", "10.77.0.0/16", "dev", "lo"}));
  const bool ipv6 = run({"ip", "-6", "route", "add", "fd00:77::/64", "dev", "lo"}) == 0;
  const bool veth = run({"ip", "link", "add", "vx0", "type", "veth", "peer", "name", "vx1"}) == 0 &&
                    run({"ip", "link", "set", "vx0", "up"}) == 0 &&
                    run({"ip", "route", "add", "198.18.5.0/24", "dev", "vx0"}) == 0;
  std::vector<std::string> routes = {"10.77.0.0/16", ""};
  std::vector<std::string> expected = {"delete 10.77.0.0/16 res: 0"};
  if (ipv6) {
    routes.push_back("fd00:77::/64");
    expected.push_back("delete fd00:77::/64 res: 0");
  }
  if (veth) {
    routes.push_back("198.18.5.0/24");
    expected.push_back("delete 198.18.5.0/24 res: 0");
  }
  routes.push_back("10.99.0.0/16");  // no such route: ip exits 2
  expected.push_back("delete 10.99.0.0/16 res: 512");

  auto reply = client_->call(deleteRoutesRequest(routes));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->reply.has_lines()) << reply->reply.DebugString();
  const auto& lines = reply->reply.lines().lines();
  EXPECT_EQ(expected, std::vector<std::string>(lines.begin(), lines.end()));
  EXPECT_FALSE(routePresent("10.77.0.0/16"));
  if (ipv6) {
    EXPECT_FALSE(routePresent("fd00:77::/64", true));
  }
  if (veth) {
    EXPECT_FALSE(routePresent("198.18.5.0/24"));
    run({"ip", "link", "del", "vx0"});
  }
}

TEST_F(HelperToolTest, EmptyRouteListGetsAnExplicitNoReply) {
  startHelper();
  auto reply = client_->call(deleteRoutesRequest({}));
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->reply.has_no_reply()) << reply->reply.DebugString();
  EXPECT_EQ("1024", textOf(checkDaemonRequest()));
}

TEST_F(HelperToolTest, HostileRouteEntriesAreRefusedAndNothingRuns) {
  startHelper();
  ASSERT_EQ(0, run({"ip", "route", "add", "10.0.0.0/8", "dev", "lo"}));
  const fs::path marker = dir_ / "x";
  const std::vector<std::string> hostile = {
      "1.2.3.4; touch " + marker.string(),
      std::string("10.0.0.0/8\0junk", 15),
      "$(touch " + marker.string() + ")",
      "10.0.0.0/33",
      "fe80::1/129",
      "10.0.0.0/ 8",
      "10.0.0.0/8 dev lo",
      "-6",
      "fe80::1%lo",
      "10.0.0.0/+8",
  };
  auto reply = client_->call(deleteRoutesRequest(hostile));
  ASSERT_TRUE(reply);
  ASSERT_TRUE(reply->reply.has_lines()) << reply->reply.DebugString();
  EXPECT_EQ(0, reply->reply.lines().lines_size());
  EXPECT_TRUE(helper_->waitForLog("refused route entry", hostile.size()));
  EXPECT_TRUE(routePresent("10.0.0.0/8"));
  EXPECT_FALSE(fs::exists(marker));
  run({"ip", "route", "del", "10.0.0.0/8"});
}

// The clean-up list is checked when it is stored: one frame could carry
// some 100,000 entries, each an "ip route del" of up to 10 s at every
// clean-up. Too long a list, or one holding an entry that is no route, is
// refused whole with a clear error, and the list stored before stays.
TEST_F(HelperToolTest, CleanUpRouteListsAreCheckedAndCappedWhenStored) {
  startHelper();
  ASSERT_EQ(0, run({"ip", "route", "add", "10.78.0.0/16", "dev", "lo"}));
  const std::string socket = helper_->socketPath().string();
  const std::string start = frameOf(checkAndRunServerRequest(daemon_->path().string(), false), 1);
  Child app([&] {
    const int fd = connectUnix(socket.c_str());
    return fd >= 0 && writeAll(fd, start) && readOneFrame(fd);
  });
  ASSERT_TRUE(app.ready());

  const auto hosts = [](std::size_t n) {
    std::vector<std::string> list;
    for (std::size_t i = 0; i < n; ++i) {
      list.push_back("10.200." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256));
    }
    return list;
  };
  const struct {
    const char* name;
    std::vector<std::string> routes;
    std::optional<int> error;
  } cases[] = {
      {"as many as allowed", hosts(kMaxRoutesPerRequest), std::nullopt},
      {"the application's list", {"10.78.0.0/16", ""}, std::nullopt},
      {"one too many", hosts(kMaxRoutesPerRequest + 1), E2BIG},
      {"a frame full of routes", hosts(50000), E2BIG},
      {"an entry that is no route", {"10.78.0.0/16", "10.0.0.0/8; reboot"}, EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto reply = client_->call(deleteRoutesWhenAppKilledRequest(c.routes));
    ASSERT_TRUE(reply);
    if (!c.error) {
      EXPECT_TRUE(reply->reply.has_nil()) << reply->reply.DebugString();
      continue;
    }
    ASSERT_TRUE(reply->reply.has_error()) << reply->reply.DebugString();
    EXPECT_EQ(*c.error, reply->reply.error().code());
    EXPECT_EQ(kHelperErrorDomain, reply->reply.error().domain());
    EXPECT_FALSE(reply->reply.error().message().empty());
  }
  // Routes deleted at once are held to the same limit.
  auto now = client_->call(deleteRoutesRequest(hosts(kMaxRoutesPerRequest + 1)));
  ASSERT_TRUE(now);
  ASSERT_TRUE(now->reply.has_error()) << now->reply.DebugString();
  EXPECT_EQ(E2BIG, now->reply.error().code());

  app.kill();
  EXPECT_TRUE(helper_->waitForLog("application watchdog ends"));
  // The clean-up ran the list stored before the refusals, and only it.
  EXPECT_FALSE(routePresent("10.78.0.0/16"));
  EXPECT_EQ(1u, helper_->logCount(" res: ")) << helper_->log();
}

TEST_F(HelperToolTest, WatchdogCleansUpAfterTheApplicationInOrder) {
  startHelper();
  ASSERT_EQ(0, run({"ip", "route", "add", "10.78.0.0/16", "dev", "lo"}));
  ASSERT_EQ(0, run({"ip", "route", "add", "10.79.0.0/16", "dev", "lo"}));
  // The application: starts the daemon, registers a list, then replaces it.
  const std::string socket = helper_->socketPath().string();
  const std::string start = frameOf(checkAndRunServerRequest(daemon_->path().string(), false), 1);
  const std::string first = frameOf(deleteRoutesWhenAppKilledRequest({"10.79.0.0/16"}), 2);
  const std::string second = frameOf(deleteRoutesWhenAppKilledRequest({"10.78.0.0/16"}), 3);
  Child app([&] {
    const int fd = connectUnix(socket.c_str());
    return fd >= 0 && writeAll(fd, start) && readOneFrame(fd) && writeAll(fd, first) &&
           readOneFrame(fd) && writeAll(fd, second) && readOneFrame(fd);
  });
  ASSERT_TRUE(app.ready());
  ASSERT_EQ(1u, daemon_->running().size());
  ASSERT_EQ(1u, daemon_->count("clear"));

  app.kill();
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(eventually([&] { return !routePresent("10.78.0.0/16"); }, 2s, "route deletion"));
  EXPECT_LE(std::chrono::steady_clock::now() - killed, 2s);
  EXPECT_TRUE(daemon_->running().empty());
  EXPECT_EQ(2u, daemon_->count("clear"));
  EXPECT_TRUE(routePresent("10.79.0.0/16"));  // only the last list counts

  const std::string log = helper_->log();
  const auto kill = log.find("kill daemon pid");
  const auto clear = log.find("-clear", kill);
  const auto route = log.find("delete 10.78.0.0/16 res: 0", clear);
  EXPECT_NE(std::string::npos, kill) << log;
  EXPECT_NE(std::string::npos, clear) << log;
  EXPECT_NE(std::string::npos, route) << log;
  EXPECT_TRUE(helper_->waitForLog("application watchdog ends"));
  EXPECT_EQ("1024", textOf(checkDaemonRequest()));
  run({"ip", "route", "del", "10.79.0.0/16"});
}

}  // namespace
}  // namespace vandrel::helper::testing_support
