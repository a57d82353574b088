// The desktop proxy setting through the daemon: gsettings of the calling
// user on that user's private session bus, the proxy script served for the
// Intelligent mode, and the old setting back after a stop, and after a
// kill of the daemon with "-clear". What the desktop makes of the setting
// is asked of its own resolver (libproxy). Inside scripts/netns-run.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/daemon/daemon_fixture.h"
#include "tests/daemon/test_servers.h"

namespace vandrel::daemon {
namespace {

using namespace testing_support;
using helper::testing_support::requireRootNamespace;
using ::testing::HasSubstr;

constexpr int kPort = 50051;
constexpr uid_t kDesktopUid = 4242;

class SystemProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
    ASSERT_TRUE(sandbox_.mount());
    sandbox_.writeHelperConfig({kDesktopUid}, kPort);
    session_ = std::make_unique<DesktopSession>(sandbox_.addUser("vandrel-desk", kDesktopUid));
    ASSERT_TRUE(session_->start());
    // The user's own setting before the application connects.
    for (const auto& [schema, key, value] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"org.gnome.system.proxy.http", "host", "old-proxy.example"},
             {"org.gnome.system.proxy.http", "port", "3128"},
             {"org.gnome.system.proxy.socks", "host", "old-socks.example"},
             {"org.gnome.system.proxy.socks", "port", "1080"},
             {"org.gnome.system.proxy", "mode", "none"}}) {
      ASSERT_EQ("", session_->gsettings({"set", schema, key, value}));
    }
    before_ = session_->proxySettings();
    ASSERT_THAT(before_, HasSubstr("org.gnome.system.proxy.http host 'old-proxy.example'"));
    daemon_ = std::make_unique<DaemonProcess>(kPort);
    ASSERT_TRUE(daemon_->start());
    client_ = AccelClient::connectAs(kDesktopUid, kDesktopUid, kPort);
    ASSERT_NE(nullptr, client_);
  }

  SystemSandbox sandbox_;
  std::unique_ptr<DesktopSession> session_;
  std::unique_ptr<DaemonProcess> daemon_;
  std::unique_ptr<AccelClient> client_;
  std::string before_;
};

TEST_F(SystemProxyTest, GlobalPointsTheCallersDesktopAtTheHttpProxyAndStopPutsTheOldSettingBack) {
  const Reply set = client_->setSystemProxy(systemProxyRequest(accel::Global, {""}));
  ASSERT_TRUE(set.success) << set << "\n" << DaemonProcess::log();
  const std::string during = session_->proxySettings();
  EXPECT_THAT(during, HasSubstr("org.gnome.system.proxy mode 'manual'"));
  EXPECT_THAT(during, HasSubstr("org.gnome.system.proxy.http host '127.0.0.1'"));
  EXPECT_THAT(during, HasSubstr("org.gnome.system.proxy.http port 9099"));
  EXPECT_THAT(during, HasSubstr("org.gnome.system.proxy.https host '127.0.0.1'"));
  EXPECT_THAT(during, HasSubstr("org.gnome.system.proxy.socks host ''"));
  EXPECT_EQ("http://127.0.0.1:9099", session_->proxyFor("http://any.example/"));
  EXPECT_EQ("system proxy already running",
            client_->setSystemProxy(systemProxyRequest(accel::Global, {""})).error);

  const Reply stop = client_->stopSystemProxy(stopSystemProxyRequest(accel::Global));
  ASSERT_TRUE(stop.success) << stop;
  EXPECT_EQ(before_, session_->proxySettings());
  EXPECT_EQ("direct://", session_->proxyFor("http://any.example/"));
  EXPECT_EQ("system proxy not running",
            client_->stopSystemProxy(stopSystemProxyRequest(accel::Global)).error);
}

TEST_F(SystemProxyTest, IntelligentServesAScriptThatProxiesTheListedDomainsOnly) {
  const Reply set = client_->setSystemProxy(
      systemProxyRequest(accel::Intelligent, {"video.example", "", "*.music.example"}));
  ASSERT_TRUE(set.success) << set << "\n" << DaemonProcess::log();
  const std::string during = session_->proxySettings();
  EXPECT_THAT(during, HasSubstr("org.gnome.system.proxy mode 'auto'"));
  EXPECT_THAT(during, HasSubstr("autoconfig-url 'http://127.0.0.1:50453/proxy.pac'"));
  auto script = runProgram({"curl", "-sS", "--max-time", "10", "http://127.0.0.1:50453/proxy.pac"});
  ASSERT_TRUE(script);
  EXPECT_THAT(script.value().standardOutput, HasSubstr("function FindProxyForURL(url, host)"));

  struct Case {
    std::string url;
    std::string proxy;
  };
  for (const auto& c : std::vector<Case>{{"http://video.example/a", "http://127.0.0.1:9099"},
                                         {"https://cdn.video.example/", "http://127.0.0.1:9099"},
                                         {"http://x.music.example/", "http://127.0.0.1:9099"},
                                         {"http://music.example/", "http://127.0.0.1:9099"},
                                         {"http://unlisted.example/", "direct://"},
                                         {"http://notvideo.example/", "direct://"}}) {
    EXPECT_EQ(c.proxy, session_->proxyFor(c.url)) << c.url;
  }

  ASSERT_TRUE(client_->stopSystemProxy(stopSystemProxyRequest(accel::Intelligent)).success);
  EXPECT_EQ(before_, session_->proxySettings());
  EXPECT_FALSE(listening(50453));
}

TEST_F(SystemProxyTest, AfterTheDaemonIsKilledClearPutsTheOldSettingBack) {
  ASSERT_TRUE(client_->setSystemProxy(systemProxyRequest(accel::Intelligent, {"video.example"}))
                  .success);
  daemon_->kill(SIGKILL);
  EXPECT_THAT(session_->proxySettings(), HasSubstr("org.gnome.system.proxy mode 'auto'"));

  EXPECT_EQ(0, DaemonProcess::runOnce({"-clear"}));
  EXPECT_EQ(before_, session_->proxySettings());
  EXPECT_THAT(DaemonProcess::log(), HasSubstr("-clear: desktop proxy restored for uid 4242"));
  // Nothing left to do: the second run changes nothing.
  ASSERT_EQ("", session_->gsettings({"set", "org.gnome.system.proxy", "mode", "'manual'"}));
  EXPECT_EQ(0, DaemonProcess::runOnce({"-clear"}));
  EXPECT_THAT(session_->proxySettings(), HasSubstr("org.gnome.system.proxy mode 'manual'"));

  // A new daemon starts from a clean slate.
  ASSERT_TRUE(daemon_->start());
  client_ = AccelClient::connectAs(kDesktopUid, kDesktopUid, kPort);
  EXPECT_EQ("system proxy not running",
            client_->stopSystemProxy(stopSystemProxyRequest(accel::Global)).error);
}

TEST_F(SystemProxyTest, ACallerWithoutADesktopSessionChangesNothing) {
  // Root has no session bus in the sandbox.
  auto root = AccelClient::connect(kPort);
  const Reply set = root->setSystemProxy(systemProxyRequest(accel::Global, {}));
  EXPECT_FALSE(set.success);
  EXPECT_THAT(set.error, HasSubstr("uid 0 has no session bus at /run/user/0/bus"));
  EXPECT_EQ("system proxy not running",
            root->stopSystemProxy(stopSystemProxyRequest(accel::Global)).error);
  EXPECT_EQ(before_, session_->proxySettings());
  EXPECT_FALSE(listening(50453));
}

}  // namespace
}  // namespace vandrel::daemon
