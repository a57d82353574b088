// Real datagram ICMP sockets. The binary runs inside a private network
// namespace made before it started (scripts/netns-run): only `lo` exists
// there, it is up, and ping_group_range admits every group. Routes added
// here stay in the namespace.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ping/qv_ping.h"
#include "ping/qv_ping_mannager.h"
#include "platform/dispatch.h"
#include "tests/ping/ping_test_support.h"

namespace vandrel::ping {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using Kind = RecordingDelegate::Kind;

// A route through `lo` to a documentation network: requests leave and come
// back in as packets for an address that is not ours, which the namespace
// (no forwarding) drops. Sends succeed, nobody answers.
constexpr const char* kSilentNetwork = "198.51.100.0/24";
// Another documentation network with no route at all: sends fail.
constexpr const char* kUnrouted = "192.0.2.1";
constexpr const char* kPingGroupRange = "/proc/sys/net/ipv4/ping_group_range";

bool inNamespace() {
  const char* flag = std::getenv("VANDREL_IN_NETNS");
  return flag != nullptr && std::string(flag) == "1";
}

int runCommand(std::vector<std::string> argv) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
}

bool ipv6LoopbackUp() {
  std::ifstream in("/proc/net/if_inet6");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("00000000000000000000000000000001", 0) == 0) return true;
  }
  return false;
}

struct HostRun {
  std::shared_ptr<qv_Ping> ping;
  std::shared_ptr<RecordingDelegate> delegate;

  std::size_t sends() const { return delegate->count(Kind::Send); }
};

struct PingRun {
  std::vector<HostRun> hosts;
};

class PingNetnsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!inNamespace()) return;
    runCommand({"ip", "route", "add", kSilentNetwork, "dev", "lo"});
  }

  void SetUp() override {
    if (!inNamespace()) {
      GTEST_SKIP() << "needs a private network namespace: run through scripts/netns-run";
    }
  }

  void TearDown() override {
    if (!inNamespace()) return;
    // Time-out timers hold their pinger for up to a second after the run.
    EXPECT_TRUE(eventually([] { return qv_Ping::liveCount() == 0; }, 5000ms));
  }

  // One run the way connection control drives it (set up, then time-out
  // 1.0 s, period 0.2 s and start), stopped once `enough` holds: a count of
  // events, not a span of time, so a loaded machine that sends late still
  // gives the run its seven requests.
  PingRun runUntil(const std::vector<std::string>& hosts,
                   const std::function<bool(const PingRun&)>& enough) {
    PingRun run;
    for (const auto& host : hosts) {
      auto ping = std::make_shared<qv_Ping>();
      auto delegate = std::make_shared<RecordingDelegate>();
      ping->setQv_host(host);
      ping->setQv_delegate(delegate);
      manager_->qv_add(ping);
      run.hosts.push_back(HostRun{ping, delegate});
    }
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto manager = manager_;
    manager_->setupAll([manager, started] {
      manager->setQv_timeout(1.0);
      manager->setQv_pingPeriod(0.2);
      manager->startPinging();
      *started = true;
    });
    EXPECT_TRUE(eventually([&] { return started->load(); }, 5000ms)) << "set-up never finished";
    EXPECT_TRUE(eventually([&] { return enough(run); }, 20000ms))
        << "the run never reached its count";
    if (manager_->qv_isPinging()) manager_->stopPinging();
    return run;
  }

  // Seven requests from host `index`, and with `replies` their seven answers.
  static std::function<bool(const PingRun&)> sevenFrom(std::size_t index, bool replies) {
    return [index, replies](const PingRun& run) {
      const HostRun& h = run.hosts[index];
      return h.sends() >= 7 && (!replies || h.delegate->count(Kind::Reply) >= 7);
    };
  }

  std::shared_ptr<qv_PingMannager> manager_ = std::make_shared<qv_PingMannager>();
};

class LoopbackTest : public PingNetnsTest, public testing::WithParamInterface<const char*> {};

TEST_P(LoopbackTest, EveryRequestIsAnsweredWithinTheRun) {
  const std::string host = GetParam();
  if (host == "::1" && !ipv6LoopbackUp()) GTEST_SKIP() << "IPv6 is off in this namespace";
  PingRun run = runUntil({host}, sevenFrom(0, true));
  const HostRun& h = run.hosts[0];
  ASSERT_TRUE(h.ping->qv_isReady());
  ASSERT_TRUE(h.delegate->waitForCount(Kind::Stop, 1));

  const auto replies = h.delegate->eventsOf(Kind::Reply);
  EXPECT_GE(h.sends(), 7u);
  EXPECT_GE(replies.size(), 7u);
  for (const auto& reply : replies) {
    EXPECT_EQ(reply.queue, "NewGBPingMainQueue");
    EXPECT_EQ(reply.result.qv_pingStatus(), qv_PingStatus::qv_success);
    EXPECT_GT(reply.result.qv_time(), 0);
    EXPECT_LT(reply.result.qv_time(), 1.0) << "answered, so within the time-out";
    if (host == "127.0.0.1") {
      EXPECT_EQ(reply.result.qv_host(), std::optional<std::string>("127.0.0.1"));
      EXPECT_GT(reply.result.qv_ttl(), 0u);
    }
  }
  EXPECT_EQ(h.delegate->count(Kind::Unexpected), 0u);
  EXPECT_EQ(h.delegate->count(Kind::FailWithError), 0u);
}

INSTANTIATE_TEST_SUITE_P(Families, LoopbackTest, testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) {
                           return std::string(info.param) == "::1" ? "IPv6" : "IPv4";
                         });

TEST_F(PingNetnsTest, SilentHostTimesOut) {
  PingRun run = runUntil({"198.51.100.7"}, sevenFrom(0, false));
  const HostRun& h = run.hosts[0];
  ASSERT_GE(h.sends(), 7u);
  ASSERT_TRUE(h.delegate->waitForCount(Kind::Timeout, h.sends(), 3000ms));
  for (const auto& timeout : h.delegate->eventsOf(Kind::Timeout)) {
    EXPECT_EQ(timeout.result.qv_pingStatus(), qv_PingStatus::qv_pending);
  }
  EXPECT_EQ(h.delegate->count(Kind::Reply), 0u);
  EXPECT_EQ(h.delegate->count(Kind::FailToSend), 0u);
}

TEST_F(PingNetnsTest, AddressWithoutRouteFailsToSendThenTimesOut) {
  PingRun run = runUntil({kUnrouted}, sevenFrom(0, false));
  const HostRun& h = run.hosts[0];
  ASSERT_GE(h.sends(), 7u);
  // A request's failure is reported right after its send, on the pinger's
  // thread: the last one may still be on its way when the run has stopped.
  ASSERT_TRUE(eventually([&] { return h.delegate->count(Kind::FailToSend) == h.sends(); }))
      << h.delegate->count(Kind::FailToSend) << " failures for " << h.sends() << " sends";
  const auto failures = h.delegate->eventsOf(Kind::FailToSend);
  EXPECT_EQ(failures[0].error->domain, kPosixErrorDomain);
  EXPECT_EQ(failures[0].error->code, ENETUNREACH);
  EXPECT_EQ(failures[0].result.qv_pingStatus(), qv_PingStatus::qv_fail);
  ASSERT_TRUE(h.delegate->waitForCount(Kind::Timeout, h.sends(), 3000ms));
  EXPECT_EQ(h.delegate->eventsOf(Kind::Timeout)[0].result.qv_sequenceNumber(), 0u);
}

TEST_F(PingNetnsTest, SilentHostsAheadOfLoopbackDoNotDelayItsReplies) {
  const std::vector<std::string> hosts = {"198.51.100.1", "198.51.100.2", "198.51.100.3",
                                          "198.51.100.4", "198.51.100.5", "127.0.0.1"};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("run " + std::to_string(round + 1));
    PingRun run = runUntil(hosts, sevenFrom(hosts.size() - 1, true));
    const HostRun& loopback = run.hosts.back();
    const auto replies = loopback.delegate->eventsOf(Kind::Reply);
    ASSERT_GE(replies.size(), 7u);
    // Held behind the silent hosts, a reply would wait out their reads (a
    // period each, a second in all); the median shows that, where one reply
    // delayed by a busy machine does not.
    std::vector<double> times;
    for (const auto& reply : replies) times.push_back(reply.result.qv_time());
    std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
    EXPECT_LT(times[times.size() / 2], 0.1);
  }
}

TEST_F(PingNetnsTest, DescriptorsAreBackAfterThreeRuns) {
  const std::size_t before = openDescriptors();
  for (int round = 0; round < 3; ++round) {
    PingRun run =
        runUntil({"198.51.100.9", "127.0.0.1", kUnrouted, "127.0.0.2"}, sevenFrom(1, true));
    EXPECT_GE(run.hosts[1].delegate->count(Kind::Reply), 7u);
  }
  manager_.reset();
  ASSERT_TRUE(eventually([] { return qv_Ping::liveCount() == 0; }, 5000ms));
  EXPECT_EQ(openDescriptors(), before);
}

class PingGroupTest : public PingNetnsTest, public testing::WithParamInterface<const char*> {};

TEST_P(PingGroupTest, SocketRefusedOutsideThePingGroupRangeIsReported) {
  const std::string host = GetParam();
  if (host == "::1" && !ipv6LoopbackUp()) GTEST_SKIP() << "IPv6 is off in this namespace";
  std::string saved;
  std::getline(std::ifstream(kPingGroupRange), saved);
  // The range "1 0" is empty: no group may open a datagram ICMP socket.
  std::ofstream(kPingGroupRange) << "1 0\n";
  auto ping = std::make_shared<qv_Ping>();
  ping->setQv_host(host);
  ping->setQv_mainQueue(std::make_shared<platform::SerialQueue>("test.main"));
  std::optional<SetupError> error;
  ping->setupSocket([&](bool, const std::optional<SetupError>& e) { error = e; });
  std::ofstream(kPingGroupRange) << saved << "\n";

  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->error.domain, kPosixErrorDomain);
  EXPECT_EQ(error->error.code, EACCES);
  EXPECT_LT(ping->qv_socketNum(), 0);
}

INSTANTIATE_TEST_SUITE_P(Families, PingGroupTest, testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) {
                           return std::string(info.param) == "::1" ? "IPv6" : "IPv4";
                         });

}  // namespace
}  // namespace vandrel::ping
