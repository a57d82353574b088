// The daemon executable as the helper runs it, called over gRPC on its
// port: who may call, which requests it refuses, and the Shadowsocks client
// and HTTP proxy it supervises, against the packaged server on loopback.
// Runs inside the private namespaces of scripts/netns-run.

#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "helper/proc_table.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/daemon/test_servers.h"

namespace vandrel::daemon {
namespace {

using namespace testing_support;
using helper::testing_support::eventually;
using helper::testing_support::requireRootNamespace;
using ::testing::HasSubstr;

constexpr int kPort = 50051;
constexpr uid_t kAllowedUid = 4242;
constexpr uid_t kStrangerUid = 4343;
constexpr int kSsPort = 8388;
constexpr char kPassword[] = "line password";

class DaemonServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
    ASSERT_TRUE(sandbox_.mount());
    sandbox_.writeHelperConfig({kAllowedUid}, kPort);
    sandbox_.addUser("vandrel-desk", kAllowedUid);
    sandbox_.addUser("vandrel-other", kStrangerUid);
    daemon_ = std::make_unique<DaemonProcess>(kPort);
    ASSERT_TRUE(daemon_->start());
    root_ = AccelClient::connect(kPort);
  }

  void TearDown() override {
    root_.reset();
    daemon_.reset();
  }

  // The packaged server on loopback, and a web server to reach through it.
  void startLine(const std::string& method = "aes-128-cfb") {
    server_ = startSsServer("127.0.0.1", kSsPort, kPassword, method,
                            (sandbox_.scratch() / "ss-server.log").string());
    ASSERT_TRUE(eventually([&] { return acceptsConnections("127.0.0.1", kSsPort); }, 10s,
                           "ss-server to listen"));
  }

  // The body a curl with `proxyArguments` gets from the web server.
  std::string fetch(const std::vector<std::string>& proxyArguments) {
    std::vector<std::string> argv = {"curl", "-sS", "--max-time", "20"};
    argv.insert(argv.end(), proxyArguments.begin(), proxyArguments.end());
    argv.push_back(web_.url());
    auto out = runProgram(argv);
    if (!out) return "curl did not run: " + out.error().message;
    return out.value().standardOutput + out.value().standardError;
  }

  SystemSandbox sandbox_;
  std::unique_ptr<DaemonProcess> daemon_;
  std::unique_ptr<AccelClient> root_;
  std::unique_ptr<ChildProgram> server_;
  WebServer web_{"127.0.0.1", "hello through the line"};
};

TEST_F(DaemonServiceTest, ACallerWhoseUidIsNotAllowedIsRefusedOnEveryMethod) {
  auto stranger = AccelClient::connectAs(kStrangerUid, kStrangerUid, kPort);
  ASSERT_NE(nullptr, stranger);
  for (const auto& method : accelMethods()) {
    SCOPED_TRACE(method);
    const Reply reply = stranger->callEmpty(method);
    ASSERT_TRUE(reply.rpcOk) << reply;
    EXPECT_FALSE(reply.success);
    EXPECT_THAT(reply.error, HasSubstr("uid 4343 may not use the tunnelling daemon"));
    EXPECT_TRUE(DaemonProcess::waitForLog(method + " from uid 4343: failed: refused"));
  }
  // A stop refused is no stop: the application must not read it as one.
  EXPECT_THAT(stranger->stopSs().error, ::testing::Not(HasSubstr("not running")));

  // The allowed user and root are served.
  auto allowed = AccelClient::connectAs(kAllowedUid, kAllowedUid, kPort);
  ASSERT_NE(nullptr, allowed);
  EXPECT_TRUE(allowed->getExcludeRoute().success) << allowed->getExcludeRoute();
  EXPECT_TRUE(root_->getExcludeRoute().success);
}

TEST_F(DaemonServiceTest, TheSevenMethodsTheApplicationNeverCallsAnswerNotSupported) {
  auto allowed = AccelClient::connectAs(kAllowedUid, kAllowedUid, kPort);
  ASSERT_NE(nullptr, allowed);
  for (const std::string method :
       {"RunGTS", "StopGTS", "StartLSPProxy", "StopLSPProxy", "PingServers", "GetUUID",
        "DelRoutes"}) {
    SCOPED_TRACE(method);
    const Reply reply = allowed->callEmpty(method);
    ASSERT_TRUE(reply.rpcOk) << reply;
    EXPECT_FALSE(reply.success);
    EXPECT_EQ(method + " is not supported by this daemon", reply.error);
  }
}

// Every request that cannot be turned into settings is refused with its
// reason, and nothing starts.
TEST_F(DaemonServiceTest, BadRequestsAreRefusedWithTheirReason) {
  struct Case {
    std::string name;
    std::function<Reply(AccelClient&)> call;
    std::string error;
  };
  const auto ss = [](auto change) {
    return [change](AccelClient& client) {
      auto request = ssRequest("127.0.0.1", kSsPort, kPassword);
      change(request);
      return client.startSs(request);
    };
  };
  const auto http = [](auto change) {
    return [change](AccelClient& client) {
      auto request = httpProxyRequest();
      change(request);
      return client.startHttpProxy(request);
    };
  };
  const auto proxy = [](auto change) {
    return [change](AccelClient& client) {
      auto request = systemProxyRequest(accel::Intelligent, {"example.com"});
      change(request);
      return client.setSystemProxy(request);
    };
  };
  const auto tun = [](auto change) {
    return [change](AccelClient& client) {
      auto request = tunRequest({"198.51.100.9", ""});
      change(request);
      return client.startTun2socks(request);
    };
  };
  const std::vector<Case> cases = {
      {"port out of range", ss([](auto& r) { r.set_port(70000); }),
       "Port must be a port number from 1 to 65535, not 70000"},
      {"negative port", ss([](auto& r) { r.set_port(-1); }), "Port must be a port number"},
      {"unknown cipher", ss([](auto& r) { r.set_method("rot13"); }),
       "Method \"rot13\" is not a known cipher"},
      {"server with a space", ss([](auto& r) { r.set_server("a host"); }),
       "Server must be a host name or address, not \"a host\""},
      {"server with an option", ss([](auto& r) { r.set_server("-v"); }),
       "Server must be a host name or address"},
      {"empty password", ss([](auto& r) { r.set_password(""); }), "Password must be 1 to 512"},
      {"password with a line end", ss([](auto& r) { r.set_password("pw\nmode=x"); }),
       "without control characters"},
      {"privileged local port", ss([](auto& r) { r.set_localport(80); }),
       "LocalPort must be a port number from 1024 to 65535, not 80"},
      {"unknown type", ss([](auto& r) { r.set_type(static_cast<accel::SSType>(7)); }),
       "Type must be SS or SSW, not 7"},
      {"SSW line without a host", ss([](auto& r) {
         r.set_type(accel::SSW);
         r.set_server("None");
         r.set_url("ws://ws.test/ws");
       }),
       "Server is missing: the SSW line has no host"},
      {"SSW line without a URL", ss([](auto& r) {
         r.set_type(accel::SSW);
         r.set_url("None");
       }),
       "URL is missing"},
      {"SSW URL with options", ss([](auto& r) {
         r.set_type(accel::SSW);
         r.set_url("ws://ws.test/p;tls;cert=/etc/shadow");
       }),
       "URL must be a ws:// or wss:// URL"},
      {"proxy facing the network", http([](auto& r) { r.set_server("0.0.0.0"); }),
       "Server must be a loopback address (127.0.0.1 or ::1), not \"0.0.0.0\""},
      {"socks endpoint elsewhere", http([](auto& r) { r.set_s5addr("192.0.2.1"); }),
       "S5Addr must be a loopback address"},
      {"proxy on its own socks port", http([](auto& r) { r.set_port(9090); }),
       "Port and S5Port name the same endpoint"},
      {"unknown proxy mode", proxy([](auto& r) { r.set_mode(static_cast<accel::SystemProxyMode>(5)); }),
       "Mode must be Global or Intelligent, not 5"},
      {"domain with script", proxy([](auto& r) { r.add_domains("a\"+alert(1)+\""); }),
       "which is not a domain name"},
      {"pac port zero", proxy([](auto& r) { r.set_pacserverport(0); }),
       "PacServerPort must be a port number from 1024"},
      {"bad net", proxy([](auto& r) { r.add_nets("10.0.0.0/33"); }), "which is not a network"},
      {"tun name with a slash", tun([](auto& r) { r.set_tunname("../x"); }),
       "TunName must be an interface name"},
      {"tun mask with holes", tun([](auto& r) { r.set_tunmask("255.0.255.0"); }),
       "TunMask must be an IPv4 netmask"},
      {"gateway in another network", tun([](auto& r) { r.set_tungateway("10.9.0.1"); }),
       "TunAddr and TunGateway must be two host addresses of one network"},
      {"tiny MTU", tun([](auto& r) { r.set_mtu(500); }), "MTU must be from 1280 to 9000, not 500"},
      {"socks facing the network", tun([](auto& r) { r.set_socksaddr("192.0.2.1:9090"); }),
       "SocksAddr must be a loopback address and port"},
      {"exclude with a shell word", tun([](auto& r) { r.add_exclude("$(reboot)"); }),
       "neither an address nor a host name"},
      {"too many excludes", tun([](auto& r) {
         for (int i = 0; i < 300; ++i) r.add_exclude("198.51.100.1");
       }),
       "at most 256 are taken"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = c.call(*root_);
    ASSERT_TRUE(reply.rpcOk) << reply;
    EXPECT_FALSE(reply.success);
    EXPECT_THAT(reply.error, HasSubstr(c.error));
  }
  EXPECT_FALSE(listening(9090));
  EXPECT_FALSE(listening(9099));
  EXPECT_FALSE(listening(50453));
  EXPECT_THAT(root_->stopSs().error, HasSubstr("ss not running"));
}

TEST_F(DaemonServiceTest, TheShadowsocksClientCarriesTrafficAsAnUnprivilegedUser) {
  startLine();
  const Reply started = root_->startSs(ssRequest("127.0.0.1", kSsPort, kPassword));
  ASSERT_TRUE(started.success) << started << "\n" << DaemonProcess::log();
  EXPECT_EQ("hello through the line", fetch({"--socks5-hostname", "127.0.0.1:9090"}));

  const auto holders = helper::proc::socketHolders(helper::proc::listeningSocketInodes(9090));
  ASSERT_EQ(1u, holders.size());
  EXPECT_NE(0u, helper::proc::processUid(holders.front()).value_or(0));
  EXPECT_THAT(helper::proc::commandLine(holders.front()), ::testing::Not(HasSubstr(kPassword)));

  EXPECT_EQ("ss already running", root_->startSs(ssRequest("127.0.0.1", kSsPort, kPassword)).error);
  EXPECT_TRUE(root_->stopSs().success);
  EXPECT_FALSE(listening(9090));
  EXPECT_EQ("ss not running", root_->stopSs().error);
}

TEST_F(DaemonServiceTest, TheHttpProxyForwardsPlainRequestsAndConnectThroughTheLine) {
  startLine("chacha20-ietf-poly1305");
  ASSERT_TRUE(root_->startSs(ssRequest("127.0.0.1", kSsPort, kPassword, "chacha20-ietf-poly1305"))
                  .success);
  const Reply started = root_->startHttpProxy(httpProxyRequest());
  ASSERT_TRUE(started.success) << started << "\n" << DaemonProcess::log();
  EXPECT_EQ("hello through the line", fetch({"--proxy", "http://127.0.0.1:9099"}));
  // CONNECT, as for HTTPS.
  EXPECT_EQ("hello through the line",
            fetch({"--proxytunnel", "--proxy", "http://127.0.0.1:9099"}));

  EXPECT_EQ("http proxy already running", root_->startHttpProxy(httpProxyRequest()).error);
  EXPECT_TRUE(root_->stopHttpProxy().success);
  EXPECT_FALSE(listening(9099));
  EXPECT_EQ("http proxy not running", root_->stopHttpProxy().error);
  EXPECT_TRUE(root_->stopSs().success);
}

// A child that ends by itself is reported once, in the next answer about
// its item and in the log, and is not started again behind anyone's back.
TEST_F(DaemonServiceTest, AChildThatDiesIsReportedOnceAndNotRestarted) {
  startLine();
  ASSERT_TRUE(root_->startSs(ssRequest("127.0.0.1", kSsPort, kPassword)).success);
  const auto holders = helper::proc::socketHolders(helper::proc::listeningSocketInodes(9090));
  ASSERT_EQ(1u, holders.size());
  ::kill(holders.front(), SIGKILL);
  ASSERT_TRUE(DaemonProcess::waitForLog("ss-local was killed by signal 9"));
  EXPECT_FALSE(listening(9090));

  const Reply stop = root_->stopSs();
  EXPECT_FALSE(stop.success);
  EXPECT_THAT(stop.error, HasSubstr("ss not running (ss-local was killed by signal 9"));
  EXPECT_EQ("ss not running", root_->stopSs().error);
  ASSERT_TRUE(root_->startSs(ssRequest("127.0.0.1", kSsPort, kPassword)).success);
  EXPECT_EQ("hello through the line", fetch({"--socks5-hostname", "127.0.0.1:9090"}));
}

TEST_F(DaemonServiceTest, AComponentThatCannotStartFailsTheStartWithItsReason) {
  // The port is taken: ss-local cannot listen and says so.
  WebServer squatter("127.0.0.1", "");
  const Reply reply = root_->startSs(ssRequest("127.0.0.1", kSsPort, kPassword, "aes-128-cfb",
                                               squatter.port()));
  EXPECT_FALSE(reply.success);
  EXPECT_THAT(reply.error, HasSubstr("ss-local exited with status"));
  EXPECT_EQ("ss not running", root_->stopSs().error);
}

TEST_F(DaemonServiceTest, ClearIsHarmlessWithNothingStarted) {
  EXPECT_EQ(0, DaemonProcess::runOnce({"-clear"}));
  EXPECT_EQ(0, DaemonProcess::runOnce({"-clear"}));
  EXPECT_TRUE(root_->getExcludeRoute().success);
}

}  // namespace
}  // namespace vandrel::daemon
