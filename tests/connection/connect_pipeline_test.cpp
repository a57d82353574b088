// The connect pipeline of the connection manager driven as the main window
// drives it: the region ban, the terms, the account and catalogue steps,
// the watchdog and its race with the result, the cancel, the reconnect
// after a line change, the disconnect's failure and the alert texts.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "connection/connection_port_impl.h"
#include "tests/connection/connect_fixture.h"

namespace vandrel::connection {
namespace {

using namespace testing_support;
using ::testing::ElementsAre;
namespace texts = connect_texts;
using qv = core::qv_ConnectStatus;

class ConnectPipelineTest : public ConnectTest {
 protected:
  std::vector<std::string> startCalls() {
    std::vector<std::string> starts;
    for (const auto& method : daemonMethods()) {
      if (method.rfind("Start", 0) == 0 || method == "SetSystemProxy") starts.push_back(method);
    }
    return starts;
  }
};

// ---- Steps before the session ----------------------------------------------------

TEST_F(ConnectPipelineTest, ABannedRegionShowsOnlyItsOwnAlert) {
  session_->setIsForbiddenArea(true);
  click();
  ASSERT_TRUE(driveToStatus(qv::qv_off));

  const auto shown = alerts();
  ASSERT_EQ(1u, shown.size());
  EXPECT_EQ("Attention", shown[0].title);
  EXPECT_EQ(texts::kForbiddenMessage, shown[0].message);
  EXPECT_EQ("OK", shown[0].button1);
  EXPECT_EQ(std::nullopt, shown[0].button2);
  ASSERT_TRUE(results().back());
  EXPECT_EQ("ok", results().back()->message);
  EXPECT_FALSE(results().back()->isSuccess);
  EXPECT_THAT(statuses(), ElementsAre(qv::qv_connecting, qv::qv_off));
  EXPECT_EQ(1u, countLogLines("[DEBUG]: BREAK Forbidden Region"));
  EXPECT_EQ(1u, countLogLines("[LOG]: connect failed"));
  EXPECT_TRUE(helper_.calls().empty());
}

TEST_F(ConnectPipelineTest, AcceptingTheTermsStoresThemAndConnectsAgain) {
  staticData_->setIsAgreeTerms(false);
  presenter_.answer("Terms Of Service", kAlertFirstButtonReturn);
  // The user reads until the attempt that asked has ended.
  presenter_.setBeforeAnswer([&] { EXPECT_TRUE(eventually([&] { return flows_.load() == 0; })); });
  followClicks_ = true;
  click();
  ASSERT_TRUE(drive([&] { return clickTimes_.size() == 1; }));
  ASSERT_TRUE(driveToStatus(qv::qv_on));

  const auto terms = alerts().at(0);
  EXPECT_EQ(texts::kTermsMessage, terms.message);
  EXPECT_EQ("Accept", terms.button1);
  EXPECT_EQ("Detail", terms.button2);
  EXPECT_TRUE(staticData_->isAgreeTerms());
  EXPECT_EQ(true, defaults_.getBool(core::kStaticModelTermsKey));
  EXPECT_THAT(alertTitles(), ElementsAre("Terms Of Service"));
}

TEST_F(ConnectPipelineTest, TheTermsDetailOpensTheTermsPage) {
  staticData_->setIsAgreeTerms(false);
  presenter_.answer("Terms Of Service", kAlertSecondButtonReturn);
  click();
  ASSERT_TRUE(driveToStatus(qv::qv_off));
  ASSERT_TRUE(drive([&] { return road_->links().size() == 1; }));
  EXPECT_EQ(core::termsURL(), road_->links().at(0));
  EXPECT_FALSE(staticData_->isAgreeTerms());
  EXPECT_TRUE(clickTimes_.empty());
}

TEST_F(ConnectPipelineTest, AFailedSignInEndsTheConnectWithItsOwnResult) {
  for (const bool unregistered : {false, true}) {
    SCOPED_TRACE(unregistered ? "user_id -1" : "no user record");
    if (unregistered) {
      signIn(-1, std::nullopt, false);
    } else {
      session_->setModel(std::nullopt);
    }
    const int dropsBefore = road_->drops();
    click();
    ASSERT_TRUE(driveToStatus(qv::qv_off));
    ASSERT_TRUE(results().back());
    EXPECT_EQ(core::kPleaseLoginMessage, results().back()->message);
    EXPECT_EQ(dropsBefore + 1, road_->drops());
    EXPECT_EQ(core::kPleaseLoginMessage, alerts().back().message);
    EXPECT_EQ("Connect Failed", alerts().back().title);
  }
  EXPECT_TRUE(standin_->requestsTo(kSessionPath).empty());
}

TEST_F(ConnectPipelineTest, ASignInAgainWaitsForTheUserRecordBeforeTheSession) {
  // Signed out but with a saved account: the connect signs in again, and
  // the user record it needs for the session arrives only later.
  session_->setModel(std::nullopt);
  session_->saveAccount("kim@example.com", "secret", "", core::LoginAuthType::username);
  standin_->replyTo("/api/1/login",
                    test_support::ScriptedReply{200, {{"Set-Cookie", "ABS_KRLWIFISS=tok; Path=/"}}, kOkReply});
  standin_->replyTo("/api/1/ip", 200, kOkReply);
  standin_->replyTo("/api/1/app/links", 200, kOkReply);
  standin_->replyTo(
      "/api/1/user/misc-info",
      test_support::ScriptedReply{
          200, {},
          R"({"status":"ok","code":0,"remaining_days":3,"expired":false,"expire_at_time":1,)"
          R"("user_id":77,"password_setup":true,"ads_free":false,"remaining_seconds":1})",
          std::chrono::milliseconds(300)});

  ASSERT_TRUE(connectAndWait());
  EXPECT_TRUE(session_->model().has_value());
  EXPECT_EQ(1u, standin_->requestsTo(kSessionPath).size());
  EXPECT_EQ(0u, countLogLines("[ERROR]: Please Login your account before connect."));
}

TEST_F(ConnectPipelineTest, AnExpiredAccountOnAPickedLineIsAskedToUpgrade) {
  signIn(77, "Kim", /*expired=*/true);
  manager_->setIsAutoSelect(false);
  presenter_.answer("Upgrade Required", kAlertSecondButtonReturn);
  click();
  ASSERT_TRUE(driveToStatus(qv::qv_off));

  const auto shown = alerts();
  ASSERT_EQ(1u, shown.size());
  EXPECT_EQ(texts::kUpgradeMessage, shown[0].message);
  EXPECT_EQ("Upgrade", shown[0].button1);
  EXPECT_EQ("Not Now", shown[0].button2);
  EXPECT_EQ(1, road_->drops());
  EXPECT_EQ(1u, countLogLines("[DEBUG]: Break: expired choose VIP line"));
  // "Not Now" chose Smart Location.
  EXPECT_EQ("Smart Location", manager_->currentRegion().name);
  EXPECT_TRUE(manager_->isAutoSelect());
  EXPECT_TRUE(standin_->requestsTo(kSessionPath).empty());
}

TEST_F(ConnectPipelineTest, AnExpiredAccountOnSmartLocationConnectsOnAFreeLine) {
  signIn(77, "Kim", /*expired=*/true);
  standin_->replyTo("/api/2/line/connectfree", 200, sessionReply());
  ASSERT_TRUE(connectAndWait());
  EXPECT_EQ(1u, standin_->requestsTo("/api/2/line/connectfree").size());
  EXPECT_TRUE(alerts().empty());
}

class ConnectWithoutCatalogueTest : public ConnectPipelineTest {
 protected:
  ConnectWithoutCatalogueTest() { catalogueAtStart_ = false; }
};

TEST_F(ConnectWithoutCatalogueTest, AFailedCatalogueFetchEndsTheConnect) {
  struct Case {
    int status;
    std::string reply;
    std::string message;
  };
  for (const Case& c : {Case{500, "", std::string(texts::kServerError)},
                        Case{200, R"({"status":"fail","code":40007,"error":"foreign"})",
                             std::string(core::kForeignAccountMessage)}}) {
    SCOPED_TRACE(c.status);
    standin_->replyTo(std::string(kRegionListPath), c.status, c.reply);
    const std::size_t fetches = standin_->requestsTo(std::string(kRegionListPath)).size();
    click();
    ASSERT_TRUE(driveToStatus(qv::qv_off));
    EXPECT_EQ(fetches + 1, standin_->requestsTo(std::string(kRegionListPath)).size());
    EXPECT_EQ(c.message, alerts().back().message);
  }
  EXPECT_EQ(1u, countLogLines("[ERROR]: get server error, please try again later."));
  EXPECT_TRUE(standin_->requestsTo(kSessionPath).empty());
}

TEST_F(ConnectWithoutCatalogueTest, ACatalogueWithNeitherListIsNotFetchedAgain) {
  standin_->replyTo(std::string(kRegionListPath), 200, R"({"status":"ok","code":0})");
  loadCatalogue();
  ASSERT_TRUE(manager_->model());
  ASSERT_TRUE(connectAndWait());
  EXPECT_EQ(1u, standin_->requestsTo(std::string(kRegionListPath)).size());
}

// ---- Watchdog -----------------------------------------------------------------------

TEST_F(ConnectPipelineTest, TheWatchdogEndsASlowConnectAndTheLateResultIsDropped) {
  ScriptedReply slow;
  slow.body = sessionReply();
  slow.delay = 300ms;
  standin_->replyTo(kSessionPath, slow);
  click();
  ASSERT_TRUE(drive([&] { return standin_->requestsTo(kSessionPath).size() == 1; }));
  ASSERT_TRUE(fireWatchdog());

  EXPECT_EQ(qv::qv_off, connection_->qv_connectStatus());
  EXPECT_EQ(qv_ConnectionManager::kTimeoutConnectId, connection_->currentConnectId());
  ASSERT_TRUE(drive([&] { return flows_.load() == 0 && connection_->pendingWorkCount() == 0; }));
  EXPECT_EQ(std::nullopt, results().back());
  EXPECT_THAT(alertTitles(), ElementsAre("Connect Failed"));
  EXPECT_EQ(texts::kConnectTimeout, alerts().at(0).message);
  EXPECT_THAT(statuses(), ElementsAre(qv::qv_connecting, qv::qv_off));
  EXPECT_EQ(1u, countLogLines("[ERROR]: 连接超时，请再次尝试"));
  EXPECT_EQ(1u, countLogLines("[LOG]: connect failed: 连接超时，请再次尝试"));
  // The watchdog's stop ran; the late session never reached the daemon.
  EXPECT_THAT(daemonMethods(), ElementsAre("StopTun2socks", "StopSS"));
  EXPECT_EQ(0, helper_.count("checkAndLoad"));
}

TEST_F(ConnectPipelineTest, ALateSessionOfATimedOutAttemptLeavesTheLineTheUserChose) {
  ScriptedReply slow;
  slow.body = sessionReply();
  slow.delay = 600ms;
  standin_->replyTo(kSessionPath, slow);
  click();
  ASSERT_TRUE(drive([&] { return standin_->requestsTo(kSessionPath).size() == 1; }));
  ASSERT_TRUE(fireWatchdog());
  ASSERT_EQ(qv::qv_off, connection_->qv_connectStatus());
  // After the time-out the user picks another line; the old session comes.
  const auto picked = modelLine(12);
  ASSERT_NE(picked, nullptr);
  manager_->setCurrentLine(picked);
  ASSERT_TRUE(drive([&] { return flows_.load() == 0 && connection_->pendingWorkCount() == 0; }));

  EXPECT_EQ(12, manager_->currentLine()->id());
  EXPECT_EQ(12, core::loadModel<LineItem>(kCurrentLineCacheEntry)->id());
  // Nor is the dropped session written into its catalogue line.
  EXPECT_NE(std::optional<std::string>("bs-1"), modelLine(11)->fields().boostSession);
  EXPECT_NE(std::optional<std::string>("pw"), modelLine(11)->fields().password);
  EXPECT_EQ(std::nullopt, results().back());
}

TEST_F(ConnectPipelineTest, TheWatchdogFirstAppliesTheTimeoutAndTheHelpersLateAnswerNothing) {
  helper_.hold("checkAndLoad");
  click();
  ASSERT_TRUE(drive([&] { return helper_.count("checkAndLoad") == 1; }));
  ASSERT_TRUE(fireWatchdog());
  ASSERT_TRUE(drive([&] { return flows_.load() == 0; }));
  EXPECT_EQ(std::nullopt, results().back());

  helper_.release("checkAndLoad");
  helper_.flush();
  ASSERT_TRUE(drive([&] { return connection_->pendingWorkCount() == 0; }));
  platform::mainQueue().runFor(100ms);
  EXPECT_THAT(alertTitles(), ElementsAre("Connect Failed"));
  EXPECT_EQ(qv::qv_off, connection_->qv_connectStatus());
  EXPECT_THAT(statuses(), ElementsAre(qv::qv_connecting, qv::qv_off));
  EXPECT_TRUE(startCalls().empty());
}

TEST_F(ConnectPipelineTest, AResultClaimedFirstLeavesTheWatchdogNothingToApply) {
  std::mutex mutex;
  std::condition_variable cv;
  bool reached = false, proceed = false;
  afterPipeline_ = [&] {
    std::unique_lock lock(mutex);
    reached = true;
    cv.notify_all();
    cv.wait_for(lock, 20s, [&] { return proceed; });
  };
  click();
  ASSERT_TRUE(drive([&] {
    std::lock_guard lock(mutex);
    return reached;
  }));
  // The pipeline has its result; the status is still "connecting".
  EXPECT_EQ(qv::qv_connecting, connection_->qv_connectStatus());
  ASSERT_TRUE(fireWatchdog());
  {
    std::lock_guard lock(mutex);
    proceed = true;
  }
  cv.notify_all();
  ASSERT_TRUE(driveToStatus(qv::qv_on));
  ASSERT_TRUE(drive([&] { return connection_->pendingWorkCount() == 0; }));

  EXPECT_TRUE(alertTitles().empty());
  EXPECT_THAT(statuses(), ElementsAre(qv::qv_connecting, qv::qv_on));
  EXPECT_EQ(qv_ConnectionManager::kTimeoutConnectId, connection_->currentConnectId());
  EXPECT_THAT(daemonMethods(), ElementsAre("StartSS", "StartTun2socks"));
}

TEST_F(ConnectPipelineTest, AWatchdogAfterAFinishedConnectOnlyRenamesTheAttempt) {
  ASSERT_TRUE(connectAndWait());
  ASSERT_TRUE(fireWatchdog());
  platform::mainQueue().runFor(50ms);
  EXPECT_EQ(qv::qv_on, connection_->qv_connectStatus());
  EXPECT_EQ(qv_ConnectionManager::kTimeoutConnectId, connection_->currentConnectId());
  EXPECT_TRUE(alertTitles().empty());
  EXPECT_THAT(daemonMethods(), ElementsAre("StartSS", "StartTun2socks"));
}

// ---- Cancel, disconnect, reconnect ------------------------------------------------------

TEST_F(ConnectPipelineTest, ACancelWhileConnectingStopsAndTheAttemptIsDropped) {
  helper_.hold("checkAndLoad");
  click();
  ASSERT_TRUE(drive([&] { return helper_.count("checkAndLoad") == 1; }));
  click();  // the button ignores a click while connecting
  platform::mainQueue().runFor(20ms);
  EXPECT_EQ(qv::qv_connecting, connection_->qv_connectStatus());

  startConnectFlow();  // the notification does not
  ASSERT_TRUE(driveToStatus(qv::qv_off));
  helper_.release("checkAndLoad");
  helper_.flush();
  platform::mainQueue().runFor(100ms);

  EXPECT_EQ(std::nullopt, results().back());
  EXPECT_THAT(statuses(), ElementsAre(qv::qv_connecting, qv::qv_disconnecting, qv::qv_off));
  EXPECT_THAT(daemonMethods(), ElementsAre("StopTun2socks", "StopSS"));
  EXPECT_TRUE(alertTitles().empty());
  EXPECT_EQ(1u, countLogLines("[LOG]: disconnect success"));
  EXPECT_EQ(1u, standin_->requestsTo("/api/2/line/disconnect/11").size());
}

TEST_F(ConnectPipelineTest, TheDisconnectReleasesTheSessionTheConnectObtained) {
  // A fetch just before the click starts a ping cycle; its figures land
  // while the tunnel starts, and the new catalogue has no Smart Location,
  // so the restore makes the automatic line current.
  standin_->replyTo(
      std::string(kRegionListPath), 200,
      R"({"status":"ok","code":0,"regions":[{"code":"jp","name":"Japan","icon":"jp.png","lines":[)"
      R"({"id":11,"name":"Tokyo 1","location":"Tokyo","ipaddr":"127.0.0.1"}]},)"
      R"({"code":"us","name":"USA","icon":"us.png","lines":[)"
      R"({"id":21,"name":"Los Angeles","location":"LA","ipaddr":"127.0.0.3"}]}]})");
  ASSERT_TRUE(fetch().isSuccess);
  helper_.hold("checkAndLoad");
  click();
  ASSERT_TRUE(drive([&] { return helper_.count("checkAndLoad") == 1; }));
  ASSERT_EQ(11, manager_->currentLine()->id());
  ASSERT_TRUE(completeCycle());
  ASSERT_EQ(1u, countLogLines("[DEBUG]: cache region miss, select default region"));
  ASSERT_EQ(LineItem::kAutomaticLineId, manager_->currentLine()->id());
  helper_.release("checkAndLoad");
  ASSERT_TRUE(driveToStatus(qv::qv_on));

  click();
  ASSERT_TRUE(driveToStatus(qv::qv_off));
  ASSERT_TRUE(standin_->waitForRequest("/api/2/line/disconnect/11", 10s));
  const auto body = platform::parseJson(standin_->requestsTo("/api/2/line/disconnect/11")[0].body);
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(11, body.value()["lineID"]);
  EXPECT_EQ("bs-1", body.value()["boostSession"]);
  EXPECT_TRUE(standin_->requestsTo("/api/2/line/disconnect/-999").empty());
  // The restore's choice stays for the next connect.
  EXPECT_EQ(LineItem::kAutomaticLineId, manager_->currentLine()->id());
}

TEST_F(ConnectPipelineTest, ALineChangeReconnectsOnceOneSecondAfterTheDisconnect) {
  ASSERT_TRUE(connectAndWait());
  connection_->setShouldConnectAfterDisconnect(true);
  followClicks_ = true;
  notifications_.post(std::string(kWidgetConnectDidClickNotification));
  ASSERT_TRUE(drive([&] { return clickTimes_.size() == 2; }));
  ASSERT_TRUE(driveToStatus(qv::qv_on));
  platform::mainQueue().runFor(50ms);

  ASSERT_EQ(2u, clickTimes_.size());
  EXPECT_GE(clickTimes_[1] - clickTimes_[0], std::chrono::seconds(1));
  EXPECT_FALSE(connection_->shouldConnectAfterDisconnect());
  EXPECT_THAT(statuses(), ElementsAre(qv::qv_connecting, qv::qv_on, qv::qv_disconnecting,
                                      qv::qv_off, qv::qv_connecting, qv::qv_on));
}

TEST_F(ConnectPipelineTest, AFailedDisconnectRestoresTheStatusWithItsAlert) {
  ASSERT_TRUE(connectAndWait());
  connection_->setShouldConnectAfterDisconnect(true);
  daemon_.clearCalls();
  daemon_.failWith("StopTun2socks", "tun device busy", 1);
  helper_.script("reloadAndClear", std::string("could not restart the daemon"));
  click();
  ASSERT_TRUE(driveToStatus(qv::qv_on));

  EXPECT_THAT(daemonMethods(), ElementsAre("StopTun2socks"));  // no StopSS after a failure
  EXPECT_EQ(1, helper_.count("reloadAndClear"));
  EXPECT_THAT(alertTitles(), ElementsAre("Disconnect Failed"));
  EXPECT_EQ("could not restart the daemon", alerts().at(0).message);
  EXPECT_TRUE(connection_->shouldConnectAfterDisconnect());  // kept for the next one
  EXPECT_EQ(1u, countLogLines("[ERROR]: tun device busy"));

  // A forced restart that works is a successful stop.
  daemon_.failWith("StopTun2socks", "tun device busy", 1);
  helper_.script("reloadAndClear", std::nullopt);
  connection_->setShouldConnectAfterDisconnect(false);
  click();
  ASSERT_TRUE(driveToStatus(qv::qv_off));
  EXPECT_EQ(1u, alertTitles().size());
}

// ---- Result handling ------------------------------------------------------------------------

TEST_F(ConnectPipelineTest, TheFailureAlertNamesTheStepAndRewordsHelperFailures) {
  struct Case {
    std::int64_t kind;
    std::string message;
    std::string title;
    std::string text;
  };
  const std::string communication = "Couldn\u2019t communicate with a helper application.";
  const std::string launchd = "Error Domain=CFErrorDomainLaunchd Code=9 \"launchd\"";
  const std::vector<Case> cases = {
      {0, "server not available at the moment", "Connect Failed",
       "server not available at the moment"},
      {2, "tun device busy", "Disconnect Failed", "tun device busy"},
      {0, communication, "Connect Failed", std::string(texts::kRestartAdvice)},
      {0, "未能与帮助应用程序通信。", "Connect Failed", std::string(texts::kRestartAdvice)},
      {0, launchd, "Connect Failed", std::string(texts::kAuthorizeAdvice)},
      {5, communication + " " + launchd, "Disconnect Failed", std::string(texts::kRestartAdvice)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    presenter_.clear();
    connection_->handleConnectResult(ResultData::failure(c.message), c.kind);
    const auto shown = alerts();
    ASSERT_EQ(1u, shown.size());
    EXPECT_EQ(c.title, shown[0].title);
    EXPECT_EQ(c.text, shown[0].message);
    EXPECT_EQ("OK", shown[0].button1);
  }
  // "ok" is silent, also on success; the test is on the message alone.
  presenter_.clear();
  connection_->handleConnectResult(ResultData::failure("ok"), 0);
  ResultData odd = ResultData::success();
  odd.message = "done";
  connection_->setConnectStatus(qv::qv_disconnecting);
  connection_->handleConnectResult(odd, 2);
  EXPECT_THAT(alertTitles(), ElementsAre("Disconnect Failed"));
  EXPECT_EQ(qv::qv_off, connection_->qv_connectStatus());
  EXPECT_EQ(1u, countLogLines("[LOG]: disconnect success: done"));
  EXPECT_EQ(1u, countLogLines("[LOG]: connect failed"));
}

// ---- The core's port -------------------------------------------------------------------

TEST_F(ConnectPipelineTest, TheCoresPortStopsTheTunnelAndReachesTheHelper) {
  ConnectionPortImpl port(
      *connection_, [this]() -> LinesManager& { return *manager_; }, *alerts_,
      [this]() -> HelperClient& { return helper_; });
  ASSERT_TRUE(connectAndWait());
  daemon_.clearCalls();
  platform::Promise<ResultData> stopped;
  platform::globalQueue().async([&] { stopped.resolve(port.stopTunnels().wait()); });
  ASSERT_TRUE(drive([&] { return stopped.isSettled(); }));
  EXPECT_TRUE(stopped.wait(0s)->isSuccess);
  EXPECT_THAT(daemonMethods(), ElementsAre("StopTun2socks", "StopSS"));
  EXPECT_TRUE(standin_->waitForRequest("/api/2/line/disconnect/11", 10s));

  EXPECT_EQ("/opt/Vandrel App/Vandrel-server-daemon", port.goServicePath());
  helper_.script("debugInfo", std::string("Debug Info: all well"));
  platform::Promise<std::optional<std::string>> info;
  port.debugInfoCallBack([info](std::optional<std::string> text) { info.resolve(text); });
  const auto text = info.wait(10s);
  ASSERT_TRUE(text);
  EXPECT_EQ("Debug Info: all well", *text);
}
}  // namespace
}  // namespace vandrel::connection
