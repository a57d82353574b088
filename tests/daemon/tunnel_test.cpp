// The TUN interface end to end, in namespaces the test made (see
// topology.h): after StartSS and StartTun2socks a plain request of any
// program of the client, TCP or UDP, IPv4 or IPv6, reaches the outside
// only through the line's server, excluded hosts are reached directly,
// and nothing else leaves the client; after a stop, or a kill of the
// daemon and "-clear", the interface and its routes are gone and the
// direct path is back. For SS lines and SSW lines (the packaged websocket
// transport on both sides).

#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/proc_table.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/daemon/test_servers.h"
#include "tests/daemon/topology.h"

namespace vandrel::daemon {
namespace {

using namespace testing_support;
using helper::testing_support::eventually;
using helper::testing_support::requireRootNamespace;
using A = Addresses;
using ::testing::HasSubstr;

constexpr int kPort = 50051;
constexpr int kSsPort = 8388;
constexpr char kPassword[] = "line password";
constexpr char kWebSocketPath[] = "/ws";
constexpr char kTunName[] = "vandrel-tun";  // what "zeridevaz_tunnel" becomes

class TunnelTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
    ASSERT_TRUE(sandbox_.mount());
    sandbox_.writeHelperConfig({}, kPort);
    ASSERT_TRUE(outside_.create());
    const int ns = outside_.netnsFd();
    line_ = startSsServer(A::kLine4, kSsPort, kPassword, "aes-128-cfb",
                          (sandbox_.scratch() / "ss-server.log").string(), ns,
                          sswMode() ? kWebSocketPath : "");
    ASSERT_TRUE(eventually([&] { return acceptsConnections(A::kLine4, kSsPort, ns); }, 10s,
                           "ss-server to listen"));
    web4_ = std::make_unique<WebServer>(A::kWeb4, "through the line", ns);
    web6_ = std::make_unique<WebServer>(A::kWeb6, "through the line", ns);
    echo4_ = std::make_unique<UdpEcho>(A::kWeb4, ns);
    echo6_ = std::make_unique<UdpEcho>(A::kWeb6, ns);
    excluded4_ = std::make_unique<WebServer>(A::kExcluded4, "directly", ns);
    excluded6_ = std::make_unique<WebServer>(A::kExcluded6, "directly", ns);
    // The servers behind the line answer only what came out of it.
    for (auto* web : {web4_.get(), web6_.get()}) web->onlyFrom(A::isOutside);
    for (auto* echo : {echo4_.get(), echo6_.get()}) echo->onlyFrom(A::isOutside);
    daemon_ = std::make_unique<DaemonProcess>(kPort);
    ASSERT_TRUE(daemon_->start());
    client_ = AccelClient::connect(kPort);
  }

  bool sswMode() const { return GetParam() == "ssw"; }

  accel::SSConfig lineRequest() const {
    auto request = ssRequest(A::kLine4, kSsPort, kPassword);
    if (sswMode()) {
      request.set_type(accel::SSW);
      request.set_url(std::string("ws://ws.test") + kWebSocketPath);
      request.set_username("None");
    }
    return request;
  }

  // The exclude list as the client builds it: API hosts (names, one that
  // does not resolve), the line's server, empty entries, DNS servers.
  accel::StartTun2socksReq tunnelRequest() const {
    return tunRequest({"api.vandrel.invalid", A::kLine4, "", A::kExcluded4, A::kExcluded6});
  }

  void connect(std::optional<accel::StartTun2socksReq> request = std::nullopt) {
    const Reply ss = client_->startSs(lineRequest());
    ASSERT_TRUE(ss.success) << ss << "\n" << DaemonProcess::log();
    const Reply tun = client_->startTun2socks(request ? *request : tunnelRequest());
    ASSERT_TRUE(tun.success) << tun << "\n" << DaemonProcess::log();
  }

  // A plain curl of the client namespace: no proxy of any kind.
  std::string fetch(const std::string& url, int seconds = 15) {
    auto out = runProgram(
        {"curl", "-sS", "--noproxy", "*", "--max-time", std::to_string(seconds), url});
    if (!out) return "curl did not run: " + out.error().message;
    return out.value().standardOutput + out.value().standardError;
  }

  static bool routeTo(const std::string& address) {
    auto out = runProgram({"ip", address.find(':') == std::string::npos ? "-4" : "-6", "route",
                           "show", address});
    return out && !out.value().standardOutput.empty();
  }

  // What a stop or a clear must leave: no interface, no routes of ours,
  // and the servers behind the line reached directly again (they see the
  // client's own address, and turn it down).
  void expectDirectAgain() {
    auto links = runProgram({"ip", "link", "show"});
    ASSERT_TRUE(links);
    EXPECT_THAT(links.value().standardOutput, ::testing::Not(HasSubstr(kTunName)));
    EXPECT_FALSE(routeTo(A::kExcluded4));
    EXPECT_FALSE(routeTo(A::kExcluded6));
    EXPECT_FALSE(routeTo(A::kLine4));
    const std::size_t before = web4_->peers().size();
    EXPECT_THAT(fetch(web4_->url()), ::testing::Not(HasSubstr("through the line")));
    ASSERT_TRUE(eventually([&] { return web4_->peers().size() > before; }, 5s, "a direct request"));
    EXPECT_EQ(A::kClient4, web4_->peers().back());
  }

  SystemSandbox sandbox_;
  Outside outside_;
  std::unique_ptr<ChildProgram> line_;
  std::unique_ptr<WebServer> web4_, web6_, excluded4_, excluded6_;
  std::unique_ptr<UdpEcho> echo4_, echo6_;
  std::unique_ptr<DaemonProcess> daemon_;
  std::unique_ptr<AccelClient> client_;
};

TEST_P(TunnelTest, EverythingGoesThroughTheLineExceptTheExcludedHostsAndStopTakesItAllBack) {
  connect();
  Capture capture(outside_.netnsFd());
  EXPECT_EQ("through the line", fetch(web4_->url()));
  EXPECT_EQ("through the line", fetch(web6_->url()));
  for (const auto& peer : web4_->peers()) EXPECT_TRUE(A::isOutside(peer)) << peer;
  for (const auto& peer : web6_->peers()) EXPECT_TRUE(A::isOutside(peer)) << peer;
  EXPECT_EQ("echo over udp", udpExchange(A::kWeb4, echo4_->port(), "over udp").value_or("none"));
  EXPECT_EQ("echo over udp6", udpExchange(A::kWeb6, echo6_->port(), "over udp6").value_or("none"));

  EXPECT_EQ("directly", fetch(excluded4_->url()));
  EXPECT_EQ("directly", fetch(excluded6_->url()));
  EXPECT_THAT(excluded4_->peers(), ::testing::Each(A::kClient4));
  EXPECT_THAT(excluded6_->peers(), ::testing::Each(A::kClient6));

  // On the wire: only the line's server and the excluded hosts.
  EXPECT_THAT(capture.destinations(),
              ::testing::IsSubsetOf({A::kLine4, A::kExcluded4, A::kExcluded6}));
  EXPECT_THAT(capture.destinations(), ::testing::Contains(A::kLine4));

  const Reply routes = client_->getExcludeRoute();
  ASSERT_TRUE(routes.success) << routes;
  EXPECT_THAT(routes.exclude, ::testing::UnorderedElementsAre(
                                  std::string(A::kLine4) + "/32", std::string(A::kExcluded4) + "/32",
                                  std::string(A::kExcluded6) + "/128"));
  EXPECT_EQ("tun2socks already running", client_->startTun2socks(tunnelRequest()).error);

  ASSERT_TRUE(client_->stopTun2socks().success);
  ASSERT_TRUE(client_->stopSs().success);
  EXPECT_EQ("tun2socks not running", client_->stopTun2socks().error);
  EXPECT_TRUE(client_->getExcludeRoute().exclude.empty());
  expectDirectAgain();
}

TEST_P(TunnelTest, AfterTheDaemonIsKilledClearTakesTheTunnelAway) {
  connect();
  ASSERT_EQ("through the line", fetch(web4_->url()));
  ASSERT_TRUE(routeTo(A::kExcluded4));
  daemon_->kill(SIGKILL);
  // Its children went with it.
  EXPECT_TRUE(eventually([] { return !listening(9090); }, 5s, "ss-local to end"));

  EXPECT_EQ(0, DaemonProcess::runOnce({"-clear"}));
  expectDirectAgain();
  EXPECT_EQ(0, DaemonProcess::runOnce({"-clear"}));

  // A new daemon can set it all up again.
  ASSERT_TRUE(daemon_->start());
  client_ = AccelClient::connect(kPort);
  connect();
  EXPECT_EQ("through the line", fetch(web4_->url()));
}

TEST_P(TunnelTest, WhatCannotBeRelayedIsDroppedNeverSentAround) {
  // Even with the line's server left out of the request, the line's own
  // traffic keeps the physical path.
  connect(tunRequest({A::kExcluded4}));
  EXPECT_THAT(client_->getExcludeRoute().exclude,
              ::testing::UnorderedElementsAre(std::string(A::kExcluded4) + "/32",
                                              std::string(A::kLine4) + "/32"));
  ASSERT_EQ("through the line", fetch(web4_->url()));
  const auto reached = web4_->peers().size();
  Capture capture(outside_.netnsFd());
  // Without the line's client nothing can be relayed: requests fail.
  ASSERT_TRUE(client_->stopSs().success);
  EXPECT_THAT(fetch(web4_->url()), ::testing::Not(HasSubstr("through the line")));
  EXPECT_FALSE(udpExchange(A::kWeb4, echo4_->port(), "lost", 1s));
  // ICMP is not relayed either.
  auto ping = runProgram({"fping", "-c", "1", "-t", "500", A::kWeb4});
  ASSERT_TRUE(ping);
  EXPECT_NE(0, ping.value().exitCode);
  // The relay itself gone: the interface stays and swallows everything.
  // This daemon's relay only: other tests may run relays of their own.
  for (const pid_t pid : helper::proc::listPids()) {
    const auto stat = helper::proc::readStat(pid);
    const auto parent = stat ? helper::proc::readStat(stat->ppid) : std::nullopt;
    if (parent && parent->ppid == daemon_->pid() &&
        helper::proc::commandLine(pid).find("--tun-relay") != std::string::npos) {
      ::kill(pid, SIGKILL);
    }
  }
  ASSERT_TRUE(DaemonProcess::waitForLog("tun relay was killed by signal 9"));
  // Dropped, not refused: the request can only time out.
  EXPECT_THAT(fetch(web4_->url(), 2), HasSubstr("timed out"));
  EXPECT_EQ(reached, web4_->peers().size());
  EXPECT_TRUE(echo4_->peers().empty());
  EXPECT_THAT(capture.destinations(), ::testing::IsSubsetOf({A::kLine4}));

  const Reply stop = client_->stopTun2socks();
  EXPECT_FALSE(stop.success);
  EXPECT_THAT(stop.error, HasSubstr("tun2socks not running (tun relay was killed by signal 9"));
  expectDirectAgain();
}

INSTANTIATE_TEST_SUITE_P(Lines, TunnelTest, ::testing::Values("app", "ssw"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vandrel::daemon
