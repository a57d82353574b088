// The daemon manager on the connect road: what the daemon stand-in receives
// in each connect mode, the "already running" recovery, undoing a start
// that was superseded or failed half-way, the proxy stops of a proxy-mode
// disconnect, the helper check and install, the launch check and the
// network reset.

#include "connection/daemon_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "proto/accel.pb.h"
#include "tests/connection/connect_fixture.h"

namespace vandrel::connection {
namespace {

using namespace testing_support;
using core::ConnectMode;
using ::testing::ElementsAre;

std::vector<std::string> texts(const google::protobuf::RepeatedPtrField<std::string>& field) {
  return {field.begin(), field.end()};
}

class DaemonManagerTest : public ConnectTest {
 protected:
  // The exclusion list of line 11 with the fixture's hosts and resolver.
  static std::vector<std::string> expectedExclusions() {
    return {"api1.example", "api2.example", "127.0.0.1", "api4.example", "203.0.113.7", "",
            "10.53.0.1",    "10.53.0.2"};
  }

  std::vector<platform::TimePoint> callTimesOf(const std::string& method) {
    std::lock_guard lock(callTimesMutex_);
    std::vector<platform::TimePoint> times;
    for (const auto& [name, time] : callTimes_) {
      if (name == method) times.push_back(time);
    }
    return times;
  }

  bool nothingRunning() {
    for (auto item :
         {DaemonItem::Ss, DaemonItem::Tun2socks, DaemonItem::HttpProxy, DaemonItem::SystemProxy}) {
      if (daemon_.isRunning(item)) return false;
    }
    return true;
  }
};

// ---- Starts per mode ------------------------------------------------------------

TEST_F(DaemonManagerTest, TunnelModesStartSsThenTun2socksWithTheExclusionListInOrder) {
  struct Case {
    ConnectMode mode;
    std::string server, url, username;
    accel::SSType type;
  };
  // The session configured an SS line, which has no host: in `ssw` the
  // daemon gets "None" for it.
  for (const Case& c : {Case{ConnectMode::app, "203.0.113.7", "", "", accel::SS},
                        Case{ConnectMode::ssw, "None", "None", "None", accel::SSW}}) {
    SCOPED_TRACE(core::info(c.mode).modeKey);
    daemon_.clearCalls();
    setMode(c.mode);
    daemon_.setExcludeRoutes({"10.70.0.0/16", "fd00:70::/64"});
    const std::size_t registeredBefore = helper_.registeredRoutes().size();
    ASSERT_TRUE(connectAndWait());
    ASSERT_TRUE(daemon_.waitForCalls("GetExcludeRoute", 1, 10s));

    EXPECT_THAT(daemonMethods(), ElementsAre("StartSS", "StartTun2socks"));
    const auto ss = daemon_.calls("StartSS").at(0).request<accel::SSConfig>();
    EXPECT_EQ(c.server, ss.server());
    EXPECT_EQ(8388, ss.port());
    EXPECT_EQ("chacha20", ss.method());
    EXPECT_EQ("pw", ss.password());
    EXPECT_EQ(9090, ss.localport());
    EXPECT_EQ(c.type, ss.type());
    EXPECT_EQ(c.url, ss.url());
    EXPECT_EQ(c.username, ss.username());
    const auto tun = daemon_.calls("StartTun2socks").at(0).request<accel::StartTun2socksReq>();
    EXPECT_EQ("zeridevaz_tunnel", tun.tunname());
    EXPECT_EQ("172.20.0.2", tun.tunaddr());
    EXPECT_EQ("255.255.0.0", tun.tunmask());
    EXPECT_EQ("172.20.0.1", tun.tungateway());
    EXPECT_EQ(1488, tun.mtu());
    EXPECT_EQ("127.0.0.1:9090", tun.socksaddr());
    EXPECT_TRUE(tun.dns().empty());
    EXPECT_FALSE(tun.enablednscache());
    EXPECT_EQ(expectedExclusions(), texts(tun.exclude()));
    EXPECT_EQ(c.mode, accel_->lastStartedMode());

    // The exclude routes: stored and handed to the helper.
    ASSERT_TRUE(
        eventually([&] { return helper_.registeredRoutes().size() == registeredBefore + 1; }));
    EXPECT_THAT(helper_.registeredRoutes().back(), ElementsAre("10.70.0.0/16", "fd00:70::/64"));
    EXPECT_THAT(accel_->lastExcludeArray(), ElementsAre("10.70.0.0/16", "fd00:70::/64"));

    click();
    ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
  }
}

TEST_F(DaemonManagerTest, ProxyModesSetTheSystemProxyThenStartTheProxies) {
  struct Case {
    ConnectMode mode;
    accel::SystemProxyMode proxyMode;
    std::optional<std::vector<std::string>> proxyList;
    std::vector<std::string> domains;
  };
  for (const Case& c : {Case{ConnectMode::smartWeb,
                             accel::Intelligent,
                             std::vector<std::string>{"a.example", "b.example"},
                             {"a.example", "b.example"}},
                        Case{ConnectMode::web, accel::Global, std::nullopt, {""}}}) {
    SCOPED_TRACE(core::info(c.mode).modeKey);
    daemon_.clearCalls();
    setMode(c.mode);
    setProxyList(c.proxyList);
    ASSERT_TRUE(connectAndWait());
    // The exclude routes are fetched in every mode.
    ASSERT_TRUE(daemon_.waitForCalls("GetExcludeRoute", 1, 10s));

    EXPECT_THAT(daemonMethods(), ElementsAre("SetSystemProxy", "StartHttpProxy", "StartSS"));
    const auto proxy = daemon_.calls("SetSystemProxy").at(0).request<accel::SetSystemProxyReq>();
    EXPECT_EQ(c.proxyMode, proxy.mode());
    EXPECT_EQ("127.0.0.1", proxy.httpproxyaddr());
    EXPECT_EQ(9099, proxy.httpproxyport());
    EXPECT_EQ(50453, proxy.pacserverport());
    EXPECT_EQ(c.domains, texts(proxy.domains()));
    EXPECT_TRUE(proxy.nets().empty());
    const auto http = daemon_.calls("StartHttpProxy").at(0).request<accel::StartHttpProxyReq>();
    EXPECT_EQ("127.0.0.1", http.server());
    EXPECT_EQ(9099, http.port());
    EXPECT_EQ("127.0.0.1", http.s5addr());
    EXPECT_EQ(9090, http.s5port());
    const auto ss = daemon_.calls("StartSS").at(0).request<accel::SSConfig>();
    EXPECT_EQ("203.0.113.7", ss.server());
    EXPECT_EQ(accel::SS, ss.type());
    EXPECT_EQ(c.mode, accel_->lastStartedMode());

    click();
    ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
  }
}

// ---- "already running" ----------------------------------------------------------

TEST_F(DaemonManagerTest, AlreadyRunningTunnelStopsBothWaitsTwoSecondsAndRetriesOnce) {
  daemon_.setRunning(DaemonItem::Tun2socks, true);  // left over from an earlier run
  ASSERT_TRUE(connectAndWait());

  EXPECT_THAT(daemonMethods(), ElementsAre("StartSS", "StartTun2socks", "StopTun2socks", "StopSS",
                                           "StartSS", "StartTun2socks"));
  const auto stopped = callTimesOf("StopSS").at(0);
  const auto retried = callTimesOf("StartSS").at(1);
  EXPECT_GE(retried - stopped, std::chrono::milliseconds(2000));
  EXPECT_TRUE(daemon_.isRunning(DaemonItem::Ss));
  EXPECT_TRUE(daemon_.isRunning(DaemonItem::Tun2socks));
  EXPECT_EQ(ConnectMode::app, accel_->lastStartedMode());
  EXPECT_EQ(1u, countLogLines("[DEBUG]: catch tun2Socks already running"));
}

TEST_F(DaemonManagerTest, ASecondAlreadyRunningIsFinal) {
  daemon_.failWith("StartTun2socks", "tun2socks already running", 2);
  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));

  EXPECT_THAT(daemonMethods(), ElementsAre("StartSS", "StartTun2socks", "StopTun2socks", "StopSS",
                                           "StartSS", "StartTun2socks"));
  EXPECT_THAT(alertTitles(), ElementsAre("Connect Failed"));
  EXPECT_EQ("tun2socks already running", alerts().at(0).message);
  EXPECT_FALSE(daemon_.calls("GetExcludeRoute").size());
}

TEST_F(DaemonManagerTest, AlreadyRunningProxyStopsTheThreeAndRetriesWithTheLastStartedMode) {
  struct Case {
    ConnectMode lastStarted;
    accel::SystemProxyMode stopMode;
  };
  for (const Case& c :
       {Case{ConnectMode::app, accel::Intelligent}, Case{ConnectMode::smartWeb, accel::Intelligent},
        Case{ConnectMode::web, accel::Global}, Case{ConnectMode::ssw, accel::Global}}) {
    SCOPED_TRACE(core::info(c.lastStarted).modeKey);
    daemon_.clearCalls();
    setMode(ConnectMode::web);
    accel_->setLastStartedMode(c.lastStarted);
    daemon_.setRunning(DaemonItem::HttpProxy, true);
    ASSERT_TRUE(connectAndWait());

    EXPECT_THAT(daemonMethods(),
                ElementsAre("SetSystemProxy", "StartHttpProxy", "StopSS", "StopHttpProxy",
                            "StopSystemProxy", "SetSystemProxy", "StartHttpProxy", "StartSS"));
    EXPECT_EQ(c.stopMode,
              daemon_.calls("StopSystemProxy").at(0).request<accel::StopSystemProxyReq>().mode());
    EXPECT_GE(callTimesOf("SetSystemProxy").back() - callTimesOf("StopSystemProxy").back(),
              std::chrono::milliseconds(2000));
    // The retry leaves the recorded mode as it was.
    EXPECT_EQ(c.lastStarted, accel_->lastStartedMode());

    // Whatever the record says, the disconnect stops what is up.
    daemon_.clearCalls();
    click();
    ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
    EXPECT_THAT(daemonMethods(),
                ElementsAre("StopTun2socks", "StopSS", "StopHttpProxy", "StopSystemProxy"));
    EXPECT_EQ(accel::Global,
              daemon_.calls("StopSystemProxy").at(0).request<accel::StopSystemProxyReq>().mode());
    EXPECT_TRUE(nothingRunning());
  }
  EXPECT_EQ(4u, countLogLines("[ERROR]: catch already running"));
}

// ---- Undo ---------------------------------------------------------------------------

TEST_F(DaemonManagerTest, AFailedProxyStartUndoesWhatItStarted) {
  setMode(ConnectMode::smartWeb);
  daemon_.failWith("StartSS", "cipher not supported");
  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));

  EXPECT_THAT(daemonMethods(), ElementsAre("SetSystemProxy", "StartHttpProxy", "StartSS",
                                           "StopHttpProxy", "StopSystemProxy"));
  EXPECT_EQ(accel::Intelligent,
            daemon_.calls("StopSystemProxy").at(0).request<accel::StopSystemProxyReq>().mode());
  EXPECT_TRUE(nothingRunning());
  EXPECT_THAT(alertTitles(), ElementsAre("Connect Failed"));
  EXPECT_EQ("cipher not supported", alerts().at(0).message);
}

TEST_F(DaemonManagerTest, AProxyModeDisconnectStopsBothProxies) {
  setMode(ConnectMode::web);
  ASSERT_TRUE(connectAndWait());
  daemon_.clearCalls();
  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));

  EXPECT_THAT(daemonMethods(),
              ElementsAre("StopTun2socks", "StopSS", "StopHttpProxy", "StopSystemProxy"));
  const auto stop = daemon_.calls("StopSystemProxy").at(0).request<accel::StopSystemProxyReq>();
  EXPECT_EQ(accel::Global, stop.mode());
  EXPECT_EQ("127.0.0.1", stop.httpproxyaddr());
  EXPECT_EQ(9099, stop.httpproxyport());
  EXPECT_TRUE(nothingRunning());
  EXPECT_EQ(ConnectMode::app, accel_->lastStartedMode());
  EXPECT_EQ(std::nullopt, daemonManager_->startedMode());

  // A tunnel-mode disconnect sends only the two tunnel stops.
  setMode(ConnectMode::app);
  ASSERT_TRUE(connectAndWait());
  daemon_.clearCalls();
  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
  EXPECT_THAT(daemonMethods(), ElementsAre("StopTun2socks", "StopSS"));
}

TEST_F(DaemonManagerTest, AWatchdogDuringTheStartLeavesNoTunnelUp) {
  struct Case {
    ConnectMode mode;
    const char* hungMethod;
    std::vector<std::string> afterRelease;
  };
  for (const Case& c :
       {Case{ConnectMode::app,
             "StartTun2socks",
             // The start undoes itself, then the watchdog's stop runs.
             {"StartSS", "StartTun2socks", "StopTun2socks", "StopSS", "StopTun2socks", "StopSS"}},
        Case{ConnectMode::smartWeb,
             "StartHttpProxy",
             {"SetSystemProxy", "StartHttpProxy", "StopHttpProxy", "StopSystemProxy",
              "StopTun2socks", "StopSS"}}}) {
    SCOPED_TRACE(c.hungMethod);
    daemon_.clearCalls();
    setMode(c.mode);
    daemon_.script(c.hungMethod, DaemonReply::hanging(), 1);
    click();
    ASSERT_TRUE(drive([&] { return daemon_.hangingCount(c.hungMethod) == 1; }));

    ASSERT_TRUE(fireWatchdog());
    EXPECT_EQ(qv_ConnectStatus::qv_off, connection_->qv_connectStatus());
    daemon_.releaseHangs();
    ASSERT_TRUE(drive(
        [&] { return flows_.load() == 0 && daemonMethods().size() == c.afterRelease.size(); }));
    platform::mainQueue().runFor(100ms);

    EXPECT_EQ(c.afterRelease, daemonMethods());
    EXPECT_TRUE(nothingRunning());
    EXPECT_EQ(qv_ConnectStatus::qv_off, connection_->qv_connectStatus());
    EXPECT_EQ(std::nullopt, results().back());
  }
}

// ---- DNS and exclude routes -------------------------------------------------------------

TEST_F(DaemonManagerTest, NoNameserverLineFailsATunnelConnectWithGetDnsFailed) {
  writeResolvConf("search example\noptions ndots:2\n");
  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
  EXPECT_TRUE(daemonMethods().empty());
  EXPECT_THAT(alertTitles(), ElementsAre("Connect Failed"));
  EXPECT_EQ("get DNS failed", alerts().at(0).message);
  EXPECT_EQ(1u, countLogLines("[DEBUG]: get DNS failed: 1"));

  // The proxy modes need no DNS.
  setMode(ConnectMode::web);
  EXPECT_TRUE(connectAndWait());
}

TEST_F(DaemonManagerTest, ExcludeRoutesAreFetchedASecondTimeAfterAnError) {
  daemon_.setExcludeRoutes({"10.71.0.0/16"});
  daemon_.failWith("GetExcludeRoute", "routes not ready", 1);
  ASSERT_TRUE(connectAndWait());
  ASSERT_TRUE(eventually([&] { return helper_.registeredRoutes().size() == 1; }));
  EXPECT_THAT(helper_.registeredRoutes().at(0), ElementsAre("10.71.0.0/16"));
  EXPECT_EQ(1u, countLogLines("[ERROR]: saveRouters1: routes not ready"));

  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
  daemon_.failWith("GetExcludeRoute", "routes not ready", 2);
  ASSERT_TRUE(connectAndWait());
  ASSERT_TRUE(daemon_.waitForCalls("GetExcludeRoute", 4, 10s));
  ASSERT_TRUE(
      eventually([&] { return countLogLines("[ERROR]: saveRouters2: routes not ready") == 1; }));
  EXPECT_EQ(1u, helper_.registeredRoutes().size());
}
// ---- Helper check and install --------------------------------------------------------

TEST(DaemonManagerVersionTest, OnlyTheNumber1024IsAnAcceptedHelper) {
  struct Case {
    std::optional<std::string> answer;
    bool accepted;
  };
  for (const Case& c :
       {Case{"1024", true}, Case{"01024", true}, Case{"+1024", true}, Case{" 1024", false},
        Case{"1024 ", false}, Case{"1024.0", false}, Case{"1023", false}, Case{"-1024", false},
        Case{"", false}, Case{"99999999999999999999999", false}, Case{std::nullopt, false},
        Case{"Error Domain=NSCocoaErrorDomain Code=4099", false}}) {
    SCOPED_TRACE(c.answer.value_or("<none>"));
    EXPECT_EQ(c.accepted, DaemonManager::isAcceptedHelperVersion(c.answer));
  }
}

TEST_F(DaemonManagerTest, AnUncheckedHelperIsAskedForItsVersionFirst) {
  ASSERT_TRUE(connectAndWait());
  EXPECT_THAT(helper_.calls(),
              ElementsAre("checkDaemon", "checkAndLoad", "deleteRoutesWhenAppKilled"));
  EXPECT_EQ(DaemonRegister::kStatusInstalled, helper_.authorizationStatus());
  EXPECT_EQ(1u, countLogLines("[DEBUG]: daemon ok"));
}

TEST_F(DaemonManagerTest, AHelperThatAnswersAnotherVersionMustBeInstalled) {
  struct Case {
    std::optional<std::string> answer;
    const char* logged;
  };
  for (const Case& c : {Case{" 1024", "[LOG]: need authorization:  1024"},
                        Case{std::nullopt, "[LOG]: need authorization: unKnow"}}) {
    SCOPED_TRACE(c.logged);
    helper_.setAuthorizationStatus(DaemonRegister::kStatusUnknown);
    helper_.script("checkDaemon", c.answer);
    click();
    ASSERT_TRUE(drive(
        [&] { return presenter_.count(std::string(DaemonManager::kInstallPromptTitle)) == 1; }));
    EXPECT_EQ(DaemonRegister::kStatusNeedsInstall, helper_.authorizationStatus());
    EXPECT_EQ(1u, countLogLines(c.logged));
    // Nobody answers the prompt: the watchdog ends the attempt.
    ASSERT_TRUE(fireWatchdog());
    ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
    presenter_.clear();
  }
}

TEST_F(DaemonManagerTest, TheInstallPromptsOkInstallsTheHelperThenConnects) {
  helper_.setAuthorizationStatus(DaemonRegister::kStatusNeedsInstall);
  presenter_.answer(std::string(DaemonManager::kInstallPromptTitle), kAlertFirstButtonReturn);
  ASSERT_TRUE(connectAndWait());

  const auto prompt = alerts().at(0);
  EXPECT_EQ(DaemonManager::kInstallPromptTitle, prompt.title);
  EXPECT_EQ(DaemonManager::kInstallPromptMessage, prompt.message);
  EXPECT_EQ("OK", prompt.button1);
  EXPECT_EQ(std::nullopt, prompt.button2);
  EXPECT_THAT(helper_.calls(),
              ElementsAre("registerDaemon", "checkAndLoad", "deleteRoutesWhenAppKilled"));
  EXPECT_EQ(8, defaults_.getInt("qv_daemonVersionKey"));
  EXPECT_EQ(DaemonRegister::kStatusInstalled, helper_.authorizationStatus());
  EXPECT_EQ(1u, countLogLines("[LOG]: authorization finish"));
}

TEST_F(DaemonManagerTest, AFailedInstallEndsTheConnectWithItsReason) {
  helper_.setAuthorizationStatus(DaemonRegister::kStatusNeedsInstall);
  presenter_.answer(std::string(DaemonManager::kInstallPromptTitle), kAlertFirstButtonReturn);
  helper_.setRegisterReply(
      "Error Domain=CFErrorDomainLaunchd Code=126 \"The helper tool was not installed\"");
  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));

  EXPECT_THAT(alertTitles(),
              ElementsAre(std::string(DaemonManager::kInstallPromptTitle), "Connect Failed"));
  EXPECT_EQ(connect_texts::kAuthorizeAdvice, alerts().at(1).message);
  EXPECT_EQ(DaemonRegister::kStatusNeedsInstall, helper_.authorizationStatus());
  EXPECT_EQ(std::nullopt, defaults_.getInt("qv_daemonVersionKey"));
  EXPECT_TRUE(daemonMethods().empty());
}

TEST_F(DaemonManagerTest, WaitsThatNeverEndByThemselvesEndWithTheAttempt) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  const std::vector<Case> cases = {
      {"install prompt closed without a choice",
       [&] { helper_.setAuthorizationStatus(DaemonRegister::kStatusNeedsInstall); }},
      {"helper that never answers the version",
       [&] {
         helper_.setAuthorizationStatus(DaemonRegister::kStatusUnknown);
         helper_.neverAnswer("checkDaemon");
       }},
      {"helper that never answers the start",
       [&] {
         helper_.setAuthorizationStatus(DaemonRegister::kStatusInstalled);
         helper_.neverAnswer("checkAndLoad");
       }},
      {"a status the helper client never has", [&] { helper_.setAuthorizationStatus(7); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t alertsBefore = alerts().size();
    c.arrange();
    click();
    ASSERT_TRUE(
        drive([&] { return countLogLines("[DEBUG]: begin checkDaemon") == results().size() + 1; }));
    platform::mainQueue().runFor(50ms);
    EXPECT_EQ(1, flows_.load());

    ASSERT_TRUE(fireWatchdog());
    ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
    EXPECT_EQ(std::nullopt, results().back());
    const auto shown = alerts();
    ASSERT_GE(shown.size(), alertsBefore + 1);
    EXPECT_EQ(connect_texts::kConnectTimeout, shown.back().message);
    // The watchdog stops whatever may be up.
    ASSERT_TRUE(drive([&] { return connection_->pendingWorkCount() == 0; }));
    EXPECT_THAT(daemonMethods(), ElementsAre("StopTun2socks", "StopSS"));
    daemon_.clearCalls();
  }
  EXPECT_EQ(0, helper_.count("registerDaemon"));
}

TEST_F(DaemonManagerTest, AHelperAnswerStillOnItsWayIsPendingWork) {
  struct Case {
    const char* command;
    std::int32_t status;
  };
  for (const Case& c : {Case{"checkDaemon", DaemonRegister::kStatusUnknown},
                        Case{"checkAndLoad", DaemonRegister::kStatusInstalled}}) {
    SCOPED_TRACE(c.command);
    helper_.setAuthorizationStatus(c.status);
    helper_.hold(c.command);
    const int callsBefore = helper_.count(c.command);
    click();
    ASSERT_TRUE(drive([&] { return helper_.count(c.command) == callsBefore + 1; }));
    ASSERT_TRUE(fireWatchdog());
    ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
    ASSERT_TRUE(drive([&] { return connection_->pendingWorkCount() == 0; }));
    // The reply will reach the daemon manager: its owner must wait for it.
    EXPECT_GT(daemonManager_->pendingWorkCount(), 0);
    helper_.release(c.command);
    ASSERT_TRUE(drive([&] { return daemonManager_->pendingWorkCount() == 0; }));
  }

  helper_.hold("checkDaemon");
  daemonManager_->checkAuth();
  ASSERT_TRUE(helper_.waitForCalls("checkDaemon", 2));
  EXPECT_GT(daemonManager_->pendingWorkCount(), 0);
  helper_.release("checkDaemon");
  ASSERT_TRUE(eventually([&] { return countLogLines("[LOG]: launch daemon ok") == 1; }));
  ASSERT_TRUE(drive([&] { return daemonManager_->pendingWorkCount() == 0; }));
}

TEST_F(DaemonManagerTest, AnAttemptThatEndedShowsNoInstallPrompt) {
  // A version answer that comes after the watchdog.
  helper_.setAuthorizationStatus(DaemonRegister::kStatusUnknown);
  helper_.script("checkDaemon", std::string(" 1024"));
  helper_.hold("checkDaemon");
  click();
  ASSERT_TRUE(drive([&] { return helper_.count("checkDaemon") == 1; }));
  ASSERT_TRUE(fireWatchdog());
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));
  helper_.release("checkDaemon");
  helper_.flush();
  ASSERT_TRUE(drive([&] { return daemonManager_->pendingWorkCount() == 0; }));
  // The answer still tells what the helper is.
  EXPECT_EQ(DaemonRegister::kStatusNeedsInstall, helper_.authorizationStatus());

  // A check that begins once its attempt was superseded.
  auto ended = daemonManager_->checkDaemon(manager_->currentLine(), "superseded");
  const auto result = ended.wait(10s);
  ASSERT_TRUE(result);
  EXPECT_EQ(DaemonManager::kTimeout, result->message);
  ASSERT_TRUE(drive([&] { return daemonManager_->pendingWorkCount() == 0; }));

  platform::mainQueue().runFor(100ms);
  EXPECT_EQ(0u, presenter_.count(std::string(DaemonManager::kInstallPromptTitle)));
  EXPECT_EQ(0, helper_.count("registerDaemon"));
}

TEST_F(DaemonManagerTest, AFailedDaemonStartIsAHelpToolError) {
  helper_.setAuthorizationStatus(DaemonRegister::kStatusInstalled);
  helper_.script("checkAndLoad", std::string("the daemon did not start"));
  helper_.script("debugInfo", std::string("Debug Info: daemon gone"));
  click();
  ASSERT_TRUE(driveToStatus(qv_ConnectStatus::qv_off));

  EXPECT_THAT(alertTitles(), ElementsAre("Connect Failed"));
  EXPECT_EQ(DaemonManager::kHelpToolError, alerts().at(0).message);
  EXPECT_EQ(1u, countLogLines("[ERROR]: connecting service error: the daemon did not start"));
  ASSERT_TRUE(helper_.waitForCalls("debugInfo", 1));
  ASSERT_TRUE(eventually([&] { return countLogLines("[DEBUG]: Debug Info: daemon gone") == 1; }));
  EXPECT_TRUE(daemonMethods().empty());
}

TEST_F(DaemonManagerTest, AStartedDaemonIsReachedOnAFreshChannel) {
  const auto before = accel_->client();
  ASSERT_TRUE(connectAndWait());
  EXPECT_NE(before, accel_->client());
  EXPECT_EQ(1u, countLogLines("[LOG]: connecting service ok"));
}

// ---- Launch check ---------------------------------------------------------------------

TEST_F(DaemonManagerTest, TheLaunchCheckDeletesTheLastRoutesAndStartsTheDaemon) {
  struct Case {
    const char* name;
    std::optional<platform::Value> stored;
    std::vector<std::string> deleted;
    std::optional<std::string> loadReply;
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"stored routes",
       platform::Value(platform::Value::Array{"10.9.0.0/16", "fd00:9::/64"}),
       {"10.9.0.0/16", "fd00:9::/64"},
       std::nullopt,
       "[LOG]: launch service ok"},
      {"nothing usable stored",
       platform::Value("10.9.0.0/16"),
       {""},
       std::string("no \"daemon\""),
       "[ERROR]: launch service error: Optional(\"no \\\"daemon\\\"\")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    defaults_.set(AccelCalls::kLastExcludeArrayKey, *c.stored);
    helper_.script("checkAndLoad", c.loadReply);
    helper_.script("deleteRoutes", std::string("(\n)"));
    helper_.setAuthorizationStatus(DaemonRegister::kStatusUnknown);
    helper_.script("checkDaemon", std::string("1024"));
    daemonManager_->checkAuth();
    ASSERT_TRUE(eventually([&] { return countLogLines(c.logged) == 1; }));
    EXPECT_EQ(DaemonRegister::kStatusInstalled, helper_.authorizationStatus());
    EXPECT_EQ(c.deleted, helper_.deletedRoutes().back());
  }
  EXPECT_EQ(2u, countLogLines("[LOG]: launch check daemon"));
  EXPECT_EQ(2u, countLogLines("[LOG]: launch daemon ok"));
  // The helper's answer to the deletion (a printed list over lines).
  EXPECT_EQ(2u, countLogLines("[DEBUG]: ("));
}

TEST_F(DaemonManagerTest, TheLaunchCheckOfAnOutdatedHelperOnlyAsksForAnInstall) {
  daemonManager_->handleLaunchDaemonCheck(std::nullopt);
  daemonManager_->handleLaunchDaemonCheck(std::string("1023"));
  EXPECT_EQ(DaemonRegister::kStatusNeedsInstall, helper_.authorizationStatus());
  EXPECT_EQ(1u, countLogLines("[LOG]: launch need authorization: launch debugInfo is nil"));
  EXPECT_EQ(1u, countLogLines("[LOG]: launch need authorization: 1023"));
  EXPECT_TRUE(helper_.calls().empty());
}

// ---- Network reset ------------------------------------------------------------------------

TEST_F(DaemonManagerTest, TheNetworkResetStopsAConnectedTunnelThenClearsTheDaemon) {
  ASSERT_TRUE(connectAndWait());
  const std::size_t postsBefore = statuses().size();
  platform::Promise<ResultData> reset;
  platform::globalQueue().async([&] { reset.resolve(daemonManager_->resetNetwork()); });
  ASSERT_TRUE(drive([&] { return reset.isSettled() && statuses().size() == postsBefore + 1; }));

  EXPECT_TRUE(reset.wait(0s)->isSuccess);
  EXPECT_THAT(helper_.commands(), ElementsAre("'/opt/Vandrel App/Vandrel-server-daemon' -clear"));
  EXPECT_EQ(qv_ConnectStatus::qv_off, connection_->qv_connectStatus());
  EXPECT_EQ(qv_ConnectStatus::qv_off, connection_->lastConnectStatus());
  EXPECT_EQ(qv_ConnectStatus::qv_off, statuses().back());
  EXPECT_TRUE(nothingRunning());
}

TEST_F(DaemonManagerTest, ANetworkResetWhoseStopIsUnderWayIsPendingWork) {
  ASSERT_TRUE(connectAndWait());
  // The daemon's stop fails: the helper's forced restart ends the stop.
  daemon_.script("StopTun2socks", DaemonReply::fail("stuck"), 1);
  helper_.hold("reloadAndClear");
  platform::Promise<ResultData> reset;
  platform::globalQueue().async([&] { reset.resolve(daemonManager_->resetNetwork()); });
  ASSERT_TRUE(drive([&] { return reset.isSettled(); }));
  ASSERT_EQ(1, helper_.count("reloadAndClear"));
  // The restart's answer will reach the daemon manager: its owner must wait.
  EXPECT_GT(daemonManager_->pendingWorkCount(), 0);
  helper_.release("reloadAndClear");
  ASSERT_TRUE(drive([&] {
    return daemonManager_->pendingWorkCount() == 0 &&
           connection_->qv_connectStatus() == qv_ConnectStatus::qv_off;
  }));
}

TEST_F(DaemonManagerTest, TheNetworkResetReportsWhatKeptItFromClearing) {
  struct Case {
    std::optional<std::string> path;
    CommandResult reply;
    const char* message;
  };
  // The helper cannot clear either.
  helper_.script("reloadAndClear", std::string("the daemon did not start"));
  for (const Case& c : {Case{std::nullopt, {0, "None"}, "goService Path is nil"},
                        Case{"/opt/d", {1, "None"}, "Reset Network: (\n    1,\n    None\n)"}}) {
    SCOPED_TRACE(c.message);
    helper_.setGoServicePath(c.path);
    helper_.setCommandResult(c.reply);
    platform::Promise<ResultData> reset;
    platform::globalQueue().async([&] { reset.resolve(daemonManager_->resetNetwork()); });
    const auto result = reset.wait(10s);
    ASSERT_TRUE(result);
    EXPECT_FALSE(result->isSuccess);
    EXPECT_EQ(c.message, result->message);
    // The first line of the logged message.
    const std::string message = c.message;
    EXPECT_EQ(1u, countLogLines("[ERROR]: " + message.substr(0, message.find('\n'))));
  }
  // Not connected: nothing is stopped.
  EXPECT_TRUE(daemonMethods().empty());
  EXPECT_EQ(1u, countLogLines("[ERROR]: Reset Network: the daemon did not start"));
}

// Run as the user the clear refuses (the tunnel and routes are root's); the
// helper's forced restart clears as root, and the reset has done its job.
TEST_F(DaemonManagerTest, AClearRefusedToTheUserIsDoneByTheHelper) {
  helper_.setCommandResult({1, "the clear needs root"});
  platform::Promise<ResultData> reset;
  platform::globalQueue().async([&] { reset.resolve(daemonManager_->resetNetwork()); });
  const auto result = reset.wait(10s);
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->isSuccess) << result->message;
  EXPECT_EQ(1, helper_.count("reloadAndClear"));
  EXPECT_EQ(1u, countLogLines("[LOG]: Reset Network: cleared through the helper"));
}
}  // namespace
}  // namespace vandrel::connection
