// Connecting end to end with the real helper and the real daemon, as a
// desktop user: the application side (vandrel-e2e-client, running as that
// user) signs in at the HTTPS stand-in, whose lines point at Debian's
// ss-server in the outside namespace (see tests/daemon/topology.h), and
// connects in each of the four modes. The whole-system modes must carry a
// plain request through the line; the proxy modes must set the user's
// desktop proxy so that a request through the proxy it names goes through
// the line. After the disconnect the direct path and the old desktop
// setting are back. Inside the private namespaces of scripts/netns-run.

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "core/catalogue_records.h"
#include "core/cert_bundle.h"
#include "core/model_cache.h"
#include "core/static_data.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/daemon/test_servers.h"
#include "tests/daemon/topology.h"
#include "tests/e2e/client_process.h"
#include "tests/helper/helper_fixture.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::e2e {
namespace {

using namespace daemon::testing_support;
using helper::testing_support::eventually;
using helper::testing_support::HelperProcess;
using helper::testing_support::requireRootNamespace;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using A = Addresses;
using ::testing::HasSubstr;

constexpr int kDaemonPort = 50051;
constexpr uid_t kDesktopUid = 4242;
constexpr int kSsPort = 8388;
constexpr char kPassword[] = "line password";
constexpr char kListedHost[] = "web.test";      // in the rule list of the catalogue
constexpr char kUnlistedHost[] = "other.test";  // not in it

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void chownTree(const fs::path& root, uid_t uid) {
  ::chown(root.c_str(), uid, uid);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    ::lchown(entry.path().c_str(), uid, uid);
  }
}

class TunnelEndToEndTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
    ASSERT_TRUE(sandbox_.mount());
    sandbox_.writeHelperConfig({kDesktopUid}, kDaemonPort);
    user_ = sandbox_.addUser("vandrel-desk", kDesktopUid);
    // The resolver the client reads its DNS servers from; the host names
    // the line's server resolves.
    writeFile("/etc/resolv.conf", std::string("nameserver ") + A::kGateway4 + "\n");
    std::ofstream("/etc/hosts", std::ios::app) << A::kWeb4 << " " << kListedHost << " "
                                               << kUnlistedHost << "\n";
    session_ = std::make_unique<DesktopSession>(user_);
    ASSERT_TRUE(session_->start());
    before_ = session_->proxySettings();

    ASSERT_TRUE(outside_.create());
    const int ns = outside_.netnsFd();
    line_ = startSsServer(A::kLine4, kSsPort, kPassword, "aes-128-cfb",
                          (dir_ / "ss-server.log").string(), ns, sswMode() ? "/ws" : "");
    ASSERT_TRUE(eventually([&] { return acceptsConnections(A::kLine4, kSsPort, ns); }, 10s,
                           "ss-server to listen"));
    web_ = std::make_unique<WebServer>(A::kWeb4, "through the line", ns);
    web_->onlyFrom(A::isOutside);

    makeDaemonCopy();
    makeBundle();
    makeHome();
    scriptService();
    helper::HelperConfig config;
    config.allowedUids = {kDesktopUid};
    config.daemonPath = daemonPath().string();
    config.daemonPort = kDaemonPort;
    helper_ = std::make_unique<HelperProcess>(dir_.path(), config);
    ASSERT_TRUE(helper_->start());
  }

  void TearDown() override {
    client_.reset();
    if (helper_) helper_->stop();
    // What the helper would do when the application is gone for good.
    for (const pid_t pid : daemonPids()) ::kill(pid, SIGKILL);
    if (requireRootNamespace()) {
      EXPECT_EQ(0, DaemonProcess::runOnce({"-clear"}));
    }
  }

  bool sswMode() const { return GetParam() == "ssw"; }
  bool proxyMode() const { return GetParam() == "smartWeb" || GetParam() == "web"; }
  fs::path daemonPath() const { return dir_ / "daemon/Vandrel-server-daemon"; }
  fs::path bundle() const { return dir_ / "Vandrel.app"; }
  fs::path home() const { return user_.home; }

  std::vector<pid_t> daemonPids() const {
    return helper::testing_support::processesRunning(daemonPath());
  }

  // The real daemon, root-owned, where the helper's configuration names it.
  void makeDaemonCopy() {
    fs::create_directories(daemonPath().parent_path());
    fs::copy_file(daemonProgram(), daemonPath(), fs::copy_options::overwrite_existing);
    ::chown(daemonPath().c_str(), 0, 0);
    ::chmod(daemonPath().c_str(), 0755);
  }

  void makeBundle() {
    writeFile(bundle() / "Contents/Info.json",
              R"({"CFBundleIdentifier":"com.vandrel.mac.offline",)"
              R"("CFBundleShortVersionString":"2.3.4","CFBundleVersion":"77"})");
    auto packed = core::packCertBundle({test_support::TestCertificateAuthority::shared().der()});
    ASSERT_TRUE(packed.ok());
    writeFile(bundle() / "Contents/Resources/icon.xcImage", packed.value());
    fs::copy_file(daemonProgram(), bundle() / "Contents/Resources/Vandrel-server-daemon");
  }

  // The user's home with the catalogue's rule list in the encrypted cache
  // (the smart mode's domains), all of it the user's.
  void makeHome() {
    fs::create_directories(home() / "cache");
    {
      test_support::ScopedEnv cache("XDG_CACHE_HOME", (home() / "cache").string());
      core::RuleModel rules;
      rules.version = "e2e";
      core::Domains domains;
      domains.proxyList = std::vector<std::string>{kListedHost};
      rules.domains = domains;
      core::saveModel(rules, core::kCnListCacheEntry);
    }
    chownTree(home(), kDesktopUid);
  }

  void scriptService() {
    const std::string ok = R"({"status":"ok","code":0})";
    ScriptedReply login;
    login.headers = {{"Set-Cookie", "ABS_KRLWIFISS=e2e-cookie; Path=/"}};
    login.body = ok;
    service_->replyTo("/api/1/login", login);
    service_->replyTo("/api/1/ip", 200,
                      R"({"status":"ok","code":0,"ip":"192.0.2.9","location":"de"})");
    service_->replyTo("/api/1/app/links", 200, ok);
    service_->replyTo("/api/1/user/misc-info", 200,
                      R"({"status":"ok","code":0,"remaining_days":30,"expired":false,)"
                      R"("expire_at_time":1900000000,"user_id":77,"password_setup":true,)"
                      R"("ads_free":false,"remaining_seconds":1,"email":"kim@example.com"})");
    service_->replyTo("/api/2/line/region", 200,
                      R"({"status":"ok","code":0,"regions":[{"code":"jp","name":"Japan",)"
                      R"("icon":"jp.png","lines":[{"id":11,"name":"Tokyo 1","location":"Tokyo",)"
                      R"("ipaddr":")" + std::string(A::kLine4) + R"("}]}]})");
    const std::string line = std::string(R"("server":")") + A::kLine4 + R"(","port":)" +
                             std::to_string(kSsPort) + R"(,"password":")" + kPassword +
                             R"(","method":"aes-128-cfb")";
    const std::string config =
        sswMode() ? R"("SSWConf":{)" + line + R"(,"host":")" + A::kLine4 +
                        R"(","url":"ws://ws.test/ws","username":"kim"})"
                  : R"("SSConf":{)" + line + "}";
    service_->replyTo("/api/2/line/connect/0", 200,
                      R"({"status":"ok","code":0,"lineID":11,"boostSession":"bs-e2e","config":{)" +
                          config + "}}");
    service_->replyTo("/api/2/line/disconnect/11", 200, ok);
    service_->replyTo("/api/2/log", 200, ok);
  }

  void startClient() {
    const std::string runtime = "/run/user/" + std::to_string(kDesktopUid);
    const std::vector<std::string> environment = {
        "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
        "HOME=" + home().string(),
        "XDG_CACHE_HOME=" + (home() / "cache").string(),
        "XDG_CONFIG_HOME=" + (home() / "config").string(),
        "XDG_DATA_HOME=" + (home() / "data").string(),
        "XDG_RUNTIME_DIR=" + runtime,
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus",
        "VANDREL_BUNDLE=" + bundle().string(),
        "VANDREL_API_HOSTS=" + service_->hostAndPort(),
        "VANDREL_DAEMON_ADDR=127.0.0.1:" + std::to_string(kDaemonPort),
        "VANDREL_HELPER_SOCKET=" + helper_->socketPath().string(),
    };
    client_ = std::make_unique<ClientProcess>(
        std::vector<std::string>{VANDREL_E2E_CLIENT, "--account", "kim@example.com", "--password",
                                 "secret", "--mode", GetParam()},
        environment, dir_ / "client.err", std::make_pair(kDesktopUid, kDesktopUid));
  }

  // A request as a program of the user makes it: plain in the whole-system
  // modes, through the proxy the desktop names in the proxy modes.
  std::string fetch(const std::string& host, int seconds = 15) {
    const std::string url = "http://" + host + ":" + std::to_string(web_->port()) + "/";
    std::vector<std::string> argv = {"curl", "-sS", "--max-time", std::to_string(seconds)};
    const std::string proxy = session_->proxyFor(url);
    if (proxy == "direct://") {
      argv.insert(argv.end(), {"--noproxy", "*"});
    } else {
      argv.insert(argv.end(), {"--proxy", proxy});
    }
    argv.push_back(url);
    auto out = runProgram(argv);
    if (!out) return "curl did not run: " + out.error().message;
    return out.value().standardOutput + out.value().standardError;
  }

  std::string diagnostics() {
    return "\nclient:\n" + test_support::readFile(dir_ / "client.err") + "\ndaemon:\n" +
           DaemonProcess::log() + "\nhelper:\n" + helper_->log();
  }

  SystemSandbox sandbox_;
  TempDir dir_;
  TestUser user_;
  std::unique_ptr<DesktopSession> session_;
  std::string before_;
  Outside outside_;
  std::unique_ptr<ChildProgram> line_;
  std::unique_ptr<WebServer> web_;
  std::unique_ptr<ServiceStandin> service_ = ServiceStandin::https();
  std::unique_ptr<HelperProcess> helper_;
  std::unique_ptr<ClientProcess> client_;
};

TEST_P(TunnelEndToEndTest, ConnectCarriesTrafficThroughTheLineAndDisconnectPutsEverythingBack) {
  startClient();
  ASSERT_TRUE(client_->expect("ready")) << diagnostics();
  client_->send("connect");
  ASSERT_TRUE(client_->expect("status: on", 90s)) << diagnostics();

  if (proxyMode()) {
    EXPECT_EQ("http://127.0.0.1:9099", session_->proxyFor("http://web.test/"));
    EXPECT_EQ(GetParam() == "web" ? "http://127.0.0.1:9099" : "direct://",
              session_->proxyFor("http://other.test/"));
    EXPECT_EQ("through the line", fetch(kListedHost)) << diagnostics();
  } else {
    EXPECT_EQ("direct://", session_->proxyFor("http://web.test/"));
    EXPECT_EQ("through the line", fetch(A::kWeb4)) << diagnostics();
    EXPECT_EQ("through the line", fetch(kUnlistedHost));
  }
  ASSERT_FALSE(web_->peers().empty());
  for (const auto& peer : web_->peers()) EXPECT_TRUE(A::isOutside(peer)) << peer;

  client_->send("disconnect");
  ASSERT_TRUE(client_->expect("status: off", 60s)) << diagnostics();
  // The session released is the one the connect obtained.
  ASSERT_TRUE(service_->waitForRequest("/api/2/line/disconnect/11", 10s));
  EXPECT_EQ(before_, session_->proxySettings());
  EXPECT_FALSE(listening(9090));
  EXPECT_FALSE(listening(9099));
  // Direct again: the server behind the line sees the client itself and
  // turns it down.
  const std::size_t reached = web_->peers().size();
  EXPECT_THAT(fetch(A::kWeb4, 5), ::testing::Not(HasSubstr("through the line")));
  ASSERT_TRUE(eventually([&] { return web_->peers().size() > reached; }, 5s, "a direct request"));
  EXPECT_EQ(A::kClient4, web_->peers().back());

  client_->send("quit");
  EXPECT_TRUE(client_->exitsWith(0));
}

INSTANTIATE_TEST_SUITE_P(Modes, TunnelEndToEndTest,
                         ::testing::Values("app", "ssw", "smartWeb", "web"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vandrel::e2e
