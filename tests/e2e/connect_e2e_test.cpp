// Connecting end to end, inside the private namespace of scripts/netns-run:
// the real helper (standalone, test configuration), the daemon stand-in
// executable as the daemon it starts, the HTTPS stand-in as the service,
// and the application side as a program of its own that reaches all three
// only through the run-time knobs.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/cert_bundle.h"
#include "tests/e2e/client_process.h"
#include "tests/helper/helper_fixture.h"
#include "tests/helper/helper_tool_fixture.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace vandrel::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace helper::testing_support;
using test_support::ScriptedReply;
using test_support::ServiceStandin;

const std::vector<std::string> kExcludeRoutes = {"10.201.0.0/16", "10.202.0.0/16"};

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class ConnectEndToEndTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
    daemonPort_ = freeLoopbackPort();
    makeDaemonCopy();
    makeBundle();
    scriptService();
    helper::HelperConfig config;
    config.daemonPath = daemonPath().string();
    config.daemonPort = daemonPort_;
    helper_ = std::make_unique<HelperProcess>(dir_.path(), config);
    ASSERT_TRUE(helper_->start());
    // The routes a real daemon would have set up for the excluded hosts.
    for (const auto& route : kExcludeRoutes) {
      ASSERT_EQ(0, run({"ip", "route", "add", route, "dev", "lo"}));
    }
  }

  void TearDown() override {
    client_.reset();
    if (helper_) helper_->stop();
    for (const pid_t pid : processesRunning(daemonPath())) ::kill(pid, SIGKILL);
  }

  fs::path daemonPath() const { return dir_ / "daemon/Vandrel-server-daemon"; }
  fs::path bundle() const { return dir_ / "Vandrel.app"; }
  fs::path home() const { return dir_ / "home"; }

  void makeDaemonCopy() {
    fs::create_directories(daemonPath().parent_path());
    fs::copy_file(VANDREL_E2E_DAEMON, daemonPath(), fs::copy_options::overwrite_existing);
    ::chown(daemonPath().c_str(), 0, 0);
    ::chmod(daemonPath().c_str(), 0755);
    writeFile(dir_ / "daemon/Vandrel-server-daemon.port", std::to_string(daemonPort_) + "\n");
    std::string exclude;
    for (const auto& route : kExcludeRoutes) exclude += route + "\n";
    writeFile(dir_ / "daemon/Vandrel-server-daemon.exclude", exclude);
  }

  void makeBundle() {
    writeFile(bundle() / "Contents/Info.json",
              R"({"CFBundleIdentifier":"com.vandrel.mac.offline",)"
              R"("CFBundleShortVersionString":"2.3.4","CFBundleVersion":"77"})");
    auto packed = core::packCertBundle({test_support::TestCertificateAuthority::shared().der()});
    ASSERT_TRUE(packed.ok());
    writeFile(bundle() / "Contents/Resources/icon.xcImage", packed.value());
    fs::copy_file(VANDREL_E2E_DAEMON, bundle() / "Contents/Resources/Vandrel-server-daemon");
  }

  // Paths without "/api/2" go under "/api/1".
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
                      R"("ipaddr":"127.0.0.1"}]}]})");
    service_->replyTo("/api/2/line/connect/0", 200,
                      R"({"status":"ok","code":0,"lineID":11,"boostSession":"bs-e2e",)"
                      R"("config":{"SSConf":{"server":"198.51.100.7","port":8388,)"
                      R"("password":"pw","method":"chacha20"}}})");
    service_->replyTo("/api/2/line/disconnect/11", 200, ok);
    service_->replyTo("/api/2/log", 200, ok);
  }

  void startClient(const std::string& mode) {
    const std::vector<std::string> environment = {
        "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
        "HOME=" + home().string(),
        "XDG_CACHE_HOME=" + (home() / "cache").string(),
        "XDG_CONFIG_HOME=" + (home() / "config").string(),
        "XDG_DATA_HOME=" + (home() / "data").string(),
        "VANDREL_BUNDLE=" + bundle().string(),
        "VANDREL_API_HOSTS=" + service_->hostAndPort(),
        "VANDREL_DAEMON_ADDR=127.0.0.1:" + std::to_string(daemonPort_),
        "VANDREL_HELPER_SOCKET=" + helper_->socketPath().string(),
    };
    client_ = std::make_unique<ClientProcess>(
        std::vector<std::string>{VANDREL_E2E_CLIENT, "--account", "kim@example.com", "--password",
                                 "secret", "--mode", mode},
        environment, dir_ / "client.err");
  }

  // The daemon's calls since the last start, in order.
  std::vector<std::string> daemonCalls() const {
    std::vector<std::string> calls;
    for (const auto& line : readLines(dir_ / "daemon/Vandrel-server-daemon.log")) {
      if (line.rfind("serve ", 0) == 0)
        calls.clear();
      else if (line != "clear")
        calls.push_back(line);
    }
    return calls;
  }

  TempDir dir_;
  int daemonPort_ = 0;
  std::unique_ptr<ServiceStandin> service_ = ServiceStandin::https();
  std::unique_ptr<HelperProcess> helper_;
  std::unique_ptr<ClientProcess> client_;
};

TEST_F(ConnectEndToEndTest, ConnectDisconnectAndTheHelperCleansUpAfterAKilledApplication) {
  startClient("app");
  ASSERT_TRUE(client_->expect("signed in"));
  ASSERT_TRUE(client_->expect("lines: 1"));
  ASSERT_TRUE(client_->expect("ready"));
  // Signed in as the sign-in window does it, e-mail address or not.
  const auto login = service_->requestsTo("/api/1/login");
  ASSERT_FALSE(login.empty());
  EXPECT_EQ("username", login.front().param("auth_by"));

  // Connect: the terms are accepted on the way (the first attempt stops at
  // them), then the tunnel comes up.
  client_->send("connect");
  ASSERT_TRUE(client_->expect("status: on"));
  EXPECT_THAT(client_->said(),
              ::testing::IsSupersetOf({"alert: Terms Of Service: We will NOT collect or store any "
                                       "user private data, please check Terms Of Service for "
                                       "details.",
                                       "status: connecting", "status: off"}));
  ASSERT_TRUE(eventually([&] { return daemonCalls().size() >= 3; }, 10s, "GetExcludeRoute"));
  EXPECT_THAT(daemonCalls(),
              ::testing::ElementsAre("StartSS", "StartTun2socks", "GetExcludeRoute"));
  // Stored for the next launch, and registered with the helper.
  ASSERT_TRUE(helper_->waitForLog("routes to delete when the application is gone: 2"));
  const std::string stored = readFile(home() / "config/vandrel/com.vandrel.mac.offline.json");
  EXPECT_NE(std::string::npos, stored.find("lastExcludeArrayKey")) << stored;
  EXPECT_NE(std::string::npos, stored.find("10.201.0.0/16")) << stored;

  // Disconnect: the daemon stops the bridge, then SS; the service hears of it.
  client_->send("disconnect");
  ASSERT_TRUE(client_->expect("status: disconnecting"));
  ASSERT_TRUE(client_->expect("status: off"));
  EXPECT_THAT(daemonCalls(), ::testing::ElementsAre("StartSS", "StartTun2socks", "GetExcludeRoute",
                                                    "StopTun2socks", "StopSS"));
  ASSERT_TRUE(service_->waitForRequest("/api/2/line/disconnect/11", 10s));
  const auto released = service_->requestsTo("/api/2/line/disconnect/11").at(0);
  EXPECT_NE(std::string::npos, released.body.find(R"("boostSession":"bs-e2e")")) << released.body;

  // Connect again, then the application dies without a word.
  client_->send("connect");
  ASSERT_TRUE(client_->expect("status: on"));
  ASSERT_TRUE(helper_->waitForLog("routes to delete when the application is gone: 2", 2));
  for (const auto& route : kExcludeRoutes) ASSERT_TRUE(routePresent(route)) << route;
  ASSERT_FALSE(processesRunning(daemonPath()).empty());
  client_->kill();

  EXPECT_TRUE(eventually(
      [&] {
        return std::none_of(kExcludeRoutes.begin(), kExcludeRoutes.end(),
                            [](const std::string& route) { return routePresent(route); });
      },
      15s, "the registered routes to go"));
  EXPECT_TRUE(eventually([&] { return processesRunning(daemonPath()).empty(); }, 15s,
                         "the daemon to stop"));
}

// The program leaves with its own status whatever is still under way: a
// quit while the session request of a connect is unanswered, and a start
// whose line fetch fails while the requests that the sign-in set off run.
TEST_F(ConnectEndToEndTest, TheClientExitsWithItsStatusWhileRequestsAreInFlight) {
  ScriptedReply slow;
  slow.body = R"({"status":"ok","code":0})";
  slow.delay = 20s;  // cut short when the stand-in stops
  service_->replyTo("/api/2/line/connect/0", slow);
  startClient("app");
  ASSERT_TRUE(client_->expect("ready"));
  client_->send("connect");
  ASSERT_TRUE(service_->waitForRequest("/api/2/line/connect/0", 30s));
  client_->send("quit");
  EXPECT_TRUE(client_->exitsWith(0));

  service_->replyTo("/api/2/line/region", 500, "");
  startClient("app");
  ASSERT_TRUE(client_->expect("signed in"));
  EXPECT_TRUE(client_->exitsWith(1));
  EXPECT_THAT(client_->said(), ::testing::Contains(::testing::StartsWith("lines failed: ")));
}

}  // namespace
}  // namespace vandrel::e2e
