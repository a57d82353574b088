// The account flows against the HTTPS stand-in: sign-in and its refresh,
// the refresh's throttle and replies, the expiry stop, sign-out and the
// clearing of a session.

#include <gtest/gtest.h>

#include <thread>

#include "core/line_item.h"
#include "core/model_cache.h"
#include "tests/core/account_fixture.h"

namespace vandrel::core {
namespace {

using namespace account_testing;
using test_support::FakeConnectionPort;

constexpr const char* kAllLinks =
    R"({"status":"ok","code":0,"links":{"signup":"https://s.invalid/up","forget_password":)"
    R"("https://s.invalid/forget","payment":"https://s.invalid/pay","verify_email":)"
    R"("https://s.invalid/verify","account_center":"https://s.invalid/account"}})";

class AccountFlowsTest : public AccountTest {
 protected:
  void SetUp() override {
    AccountTest::SetUp();
    if (HasFatalFailure()) return;
    startFlows();
  }

  void scriptRefresh(const std::string& userInfo = userInfoJson(42, false)) {
    standin_->replyTo("/api/1/ip", 200, R"({"status":"ok","code":0,"ip":"1.2.3.4","location":"cn"})");
    standin_->replyTo("/api/1/app/links", 200, kAllLinks);
    standin_->replyTo("/api/1/user/misc-info", 200, userInfo);
  }

  void scriptSignIn(const std::string& cookie = "ABS_KRLWIFISS=tok") {
    standin_->replyTo("/api/1/login",
                      ScriptedReply{200, {{"Set-Cookie", cookie + "; Path=/"}}, kOkReply});
  }

  AccountModel storedAccount(std::string account, std::string password) {
    AccountModel stored;
    stored.account = std::move(account);
    stored.password = std::move(password);
    stored.authType = "username";
    return stored;
  }

  // Runs a refresh to its end: its three replies applied.
  ResultData refresh(std::int64_t interval = -1) {
    const ResultData result = await(session_->updateMiscInfo(interval));
    EXPECT_TRUE(drain());
    return result;
  }
};

// ---- Sign-in and refresh ------------------------------------------------------

TEST_F(AccountFlowsTest, SignInStoresTheCookieThenRefreshesInOrderAndNotifiesOnce) {
  scriptSignIn();
  scriptRefresh();
  const ResultData result = await(session_->login("someone@example.invalid", "pw",
                                                  LoginAuthType::username, "", ""));
  ASSERT_TRUE(result.isSuccess) << result.message;
  EXPECT_EQ(session_->loginCookie(), "ABS_KRLWIFISS=tok");
  EXPECT_EQ(storedCookie(), "ABS_KRLWIFISS=tok");
  ASSERT_TRUE(session_->accountInfo().has_value());
  EXPECT_EQ(session_->accountInfo()->account, "someone@example.invalid");
  EXPECT_EQ(loadModel<AccountModel>(kAccountInfoCacheEntry)->password, "pw");

  ASSERT_TRUE(pumpUntil([&] { return postedCount(kMiscInfoDidUpdateNotification) == 1; }));
  ASSERT_TRUE(drain());
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 1u);
  EXPECT_EQ(sentPaths(), (std::vector<std::string>{"login", "ip", "links", "misc-info"}));
  for (const char* path : {"/api/1/ip", "/api/1/app/links", "/api/1/user/misc-info"}) {
    const auto seen = standin_->requestsTo(path);
    ASSERT_EQ(seen.size(), 1u) << path;
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].header("Cookie"), "ABS_KRLWIFISS=tok") << path;
  }
  EXPECT_EQ(countLogLines("[LOG]: login Success"), 1u);

  ASSERT_TRUE(session_->model().has_value());
  EXPECT_EQ(session_->model()->user_id, 42);
  const auto cached = loadModel<MiscInfoModel>(kMiscInfoCacheEntry);
  ASSERT_TRUE(cached.has_value());
  EXPECT_EQ(cached->user_id, 42);
  EXPECT_EQ(session_->ipAddress(), "1.2.3.4");
  EXPECT_EQ(session_->countryCode(), "CN");
  EXPECT_TRUE(session_->isChina());
  EXPECT_EQ(session_->payment(), "https://s.invalid/pay");
  EXPECT_EQ(session_->lastUpdateTime(), 1700000123);

  // What the sign-in asked of connection control: the automatic line first,
  // then the line list, without waiting for it.
  ASSERT_FALSE(port_.assignedLines().empty());
  EXPECT_TRUE(port_.assignedLines().front()->isAutomatic());
  EXPECT_EQ(port_.lastUpdateTimes(), (std::vector<std::int64_t>{1700000123}));
  EXPECT_EQ(port_.lineRequests().size(), 1u);
}

TEST_F(AccountFlowsTest, SignInFallsBackToStoredThenSessionCredentials) {
  struct Case {
    const char* name;
    std::optional<std::string> account;
    std::optional<std::string> password;
    std::optional<AccountModel> stored;
    std::string username, fallbackPassword;
    // The account and password sent; none: nothing is sent.
    std::optional<std::pair<std::string, std::string>> sent;
  };
  AccountModel noPassword;
  noPassword.account = "half@example.invalid";
  const std::vector<Case> cases = {
      {"stored account", std::nullopt, std::nullopt, storedAccount("kept@example.invalid", "k"),
       "u", "p", std::pair<std::string, std::string>{"kept@example.invalid", "k"}},
      {"session fallback", std::nullopt, std::nullopt, std::nullopt, "user", "secret",
       std::pair<std::string, std::string>{"user", "secret"}},
      {"stored account without password", std::nullopt, std::nullopt, noPassword, "u", "p",
       std::pair<std::string, std::string>{"half@example.invalid", "p"}},
      {"nothing anywhere", std::nullopt, std::nullopt, std::nullopt, "", "", std::nullopt},
      {"explicit empty account", std::string(), std::string("pw"),
       storedAccount("kept@example.invalid", "k"), "u", "p", std::nullopt},
  };
  standin_->replyTo("/api/1/login", 200, kOkReply);  // no cookie: the refresh stops at once
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    const std::size_t linesBefore = port_.assignedLines().size();
    session_->update([&](MiscInfo::State& state) {
      state.accountInfo = c.stored;
      state.username = c.username;
      state.password = c.fallbackPassword;
    });
    const ResultData result =
        await(session_->login(c.account, c.password, LoginAuthType::username, "", ""));
    ASSERT_EQ(port_.assignedLines().size(), linesBefore + 1) << "the automatic line first";
    EXPECT_TRUE(port_.assignedLines().back()->isAutomatic());
    const auto seen = standin_->requestsTo("/api/1/login");
    if (!c.sent) {
      EXPECT_FALSE(result.isSuccess);
      EXPECT_EQ(result.code, -1);
      EXPECT_EQ(result.message, kPleaseLoginMessage);
      EXPECT_TRUE(seen.empty());
      continue;
    }
    EXPECT_TRUE(result.isSuccess);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].param("username"), c.sent->first);
    EXPECT_EQ(seen[0].param("password"), c.sent->second);
  }
  ASSERT_TRUE(drain());
}

TEST_F(AccountFlowsTest, OnlyARefusalByTheServiceForgetsTheStoredAccount) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool forgets;
  };
  const std::vector<Case> cases = {
      {"refused by the service",
       [&] {
         standin_->replyTo("/api/1/login", 200,
                           R"({"status":"fail","code":10002,"error":"bad password"})");
       },
       true},
      {"offline", [&] { standin_->dropEveryConnection(); }, false},
      {"unreadable reply", [&] { standin_->replyTo("/api/1/login", 200, "<html>"); }, false},
      {"forbidden area", [&] { session_->setIsForbiddenArea(true); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->replyTo("/api/1/login", 200, kOkReply);
    standin_->dropEveryConnection(false);
    session_->setIsForbiddenArea(false);
    const AccountModel stored = storedAccount("kept@example.invalid", "k");
    session_->setAccountInfo(stored);
    saveModel(stored, kAccountInfoCacheEntry);
    session_->setLoginCookie("ABS_KRLWIFISS=old");
    c.arrange();

    const ResultData result =
        await(session_->login(std::nullopt, std::nullopt, LoginAuthType::username, "", ""));
    EXPECT_FALSE(result.isSuccess);
    EXPECT_GE(countLogLines("[LOG]: " + result.message), 1u);
    if (c.forgets) {
      EXPECT_EQ(result.message, "bad password");
      EXPECT_FALSE(session_->accountInfo().has_value());
      EXPECT_TRUE(fs::exists(modelCachePath(kAccountInfoCacheEntry)));
      EXPECT_FALSE(loadModel<AccountModel>(kAccountInfoCacheEntry).has_value());
      EXPECT_EQ(session_->loginCookie(), "");
      EXPECT_EQ(storedCookie(), "");
    } else {
      ASSERT_TRUE(session_->accountInfo().has_value());
      EXPECT_EQ(session_->accountInfo()->account, "kept@example.invalid");
      ASSERT_TRUE(loadModel<AccountModel>(kAccountInfoCacheEntry).has_value());
      EXPECT_EQ(session_->loginCookie(), "ABS_KRLWIFISS=old");
      EXPECT_EQ(storedCookie(), "ABS_KRLWIFISS=old");
    }
  }
  standin_->dropEveryConnection(false);
  session_->setIsForbiddenArea(false);
  ASSERT_TRUE(drain());
}

TEST_F(AccountFlowsTest, ACancelledSignInKeepsTheStoredAccount) {
  standin_->replyTo("/api/1/login", ScriptedReply{200, {}, kOkReply, 10s});
  session_->setAccountInfo(storedAccount("kept@example.invalid", "k"));
  session_->setLoginCookie("ABS_KRLWIFISS=old");
  const auto pending =
      session_->login(std::nullopt, std::nullopt, LoginAuthType::username, "", "");
  ASSERT_TRUE(standin_->waitForRequest("/api/1/login", 5s));
  network_->cancelAllTasks();
  const ResultData result = await(pending);
  EXPECT_EQ(result.message, kCancelledMessage);
  EXPECT_TRUE(session_->accountInfo().has_value());
  EXPECT_EQ(session_->loginCookie(), "ABS_KRLWIFISS=old");
}

TEST_F(AccountFlowsTest, SignInCompletesTheTypedAccountByTheKindOfAccount) {
  struct Case {
    const char* name;
    std::string account;
    std::optional<AccountModel> typed;
    std::optional<std::string> email, phone, callCode;
  };
  AccountModel withPhone;
  withPhone.phone = "555";
  withPhone.callCode = "1";
  const std::vector<Case> cases = {
      {"e-mail account keeps the phone", "new@example.invalid", withPhone,
       "new@example.invalid", "555", "1"},
      {"all-digit account", "13800138000", AccountModel{}, std::nullopt, "13800138000", "86"},
      {"user name", "someone", AccountModel{}, std::nullopt, std::nullopt, std::nullopt},
  };
  scriptSignIn("");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    session_->setInputAccountInfo(c.typed);
    ASSERT_TRUE(await(session_->login(c.account, "pw", LoginAuthType::mobile, "86", "")).isSuccess);
    const auto typed = session_->inputAccountInfo();
    ASSERT_TRUE(typed.has_value());
    EXPECT_EQ(typed->authType, "mobile");
    EXPECT_EQ(typed->email, c.email);
    EXPECT_EQ(typed->phone, c.phone);
    EXPECT_EQ(typed->callCode, c.callCode);
    const auto cached = loadModel<AccountModel>(kInputAccountInfoCacheEntry);
    ASSERT_TRUE(cached.has_value());
    EXPECT_EQ(cached->toJsonText(), typed->toJsonText());
  }
  session_->setInputAccountInfo(std::nullopt);
  ASSERT_TRUE(await(session_->login("a@b.c", "pw", LoginAuthType::email, "", "")).isSuccess);
  EXPECT_FALSE(session_->inputAccountInfo().has_value());
  EXPECT_TRUE(fs::exists(modelCachePath(kInputAccountInfoCacheEntry)));
  EXPECT_FALSE(loadModel<AccountModel>(kInputAccountInfoCacheEntry).has_value());
  ASSERT_TRUE(drain());
}

TEST_F(AccountFlowsTest, SaveAccountKeepsOnlyACompletePair) {
  session_->update([](MiscInfo::State& state) {
    state.username = "u";
    state.password = "p";
  });
  session_->saveAccount("name", "", "86", LoginAuthType::username);
  EXPECT_FALSE(session_->accountInfo().has_value());
  EXPECT_EQ(session_->username(), "");
  EXPECT_EQ(session_->password(), "");
  session_->saveAccount("name", "pw", "86", LoginAuthType::mobile);
  const auto stored = loadModel<AccountModel>(kAccountInfoCacheEntry);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->toJsonText(),
            R"({"account":"name","password":"pw","authType":"mobile","callCode":"86"})");
}

// ---- Refresh ------------------------------------------------------------------

TEST_F(AccountFlowsTest, RefreshThrottleMeasuresFromTheLastRefresh) {
  struct Case {
    std::int64_t interval;
    std::int64_t secondsSinceLast;  // negative: the clock stands before it
    bool requests;
  };
  const std::vector<Case> cases = {{0, 0, true},     {-1, 0, true},     {600, 10, false},
                                   {600, 599, false}, {600, 600, true}, {600, -5, false},
                                   {1, 1, true}};
  scriptRefresh();
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.interval << " / " << c.secondsSinceLast);
    standin_->clearLog();
    session_->setLastUpdateTime(session_->nowSeconds() - c.secondsSinceLast);
    const auto promise = session_->updateMiscInfo(c.interval);
    if (!c.requests) {
      // Decided before anything is sent: nothing may be in flight.
      EXPECT_EQ(network_->pendingCount(), 0u);
      ASSERT_TRUE(promise.isSettled());
      const ResultData result = *promise.wait(0s);
      EXPECT_TRUE(result.isSuccess);
      EXPECT_EQ(result.message, "ok");
      EXPECT_EQ(result.code, 0);
      continue;
    }
    EXPECT_TRUE(await(promise).isSuccess);
    ASSERT_TRUE(drain());
    EXPECT_EQ(standin_->requestsTo("/api/1/user/misc-info").size(), 1u);
  }
  // A successful refresh restarts the count.
  clock_.advance(10s);
  EXPECT_TRUE(session_->updateMiscInfo(600).isSettled());
  EXPECT_EQ(network_->pendingCount(), 0u);
}

TEST_F(AccountFlowsTest, RefreshWithoutCookieSendsNothing) {
  const auto promise = session_->updateMiscInfo(0);
  EXPECT_EQ(network_->pendingCount(), 0u);
  const ResultData result = await(promise);
  EXPECT_FALSE(result.isSuccess);
  EXPECT_EQ(result.code, -1);
  EXPECT_EQ(result.message, kPleaseLoginMessage);
  EXPECT_EQ(countLogLines("[ERROR]: Please Login your account before connect."), 1u);
  EXPECT_TRUE(standin_->requests().empty());
}

TEST_F(AccountFlowsTest, AddressReplySetsAddressAndCountry) {
  struct Case {
    const char* reply;
    std::string ip, country;
    bool isChina;
  };
  const std::vector<Case> cases = {
      {R"({"status":"ok","code":0,"ip":"1.2.3.4","location":"cn"})", "1.2.3.4", "CN", true},
      {R"({"status":"ok","code":0,"location":"us"})", "0.0.0.0", "US", false},
      {R"({"status":"ok","code":0,"ip":7,"location":"de"})", "0.0.0.0", "DE", false},
      {R"({"status":"ok","code":0,"ip":"9.9.9.9","location":5})", "9.9.9.9", "DE", false},
      {R"({"status":"fail","code":3,"ip":"8.8.8.8","location":"fr"})", "9.9.9.9", "DE", false},
  };
  scriptRefresh();
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    standin_->replyTo("/api/1/ip", 200, c.reply);
    refresh();
    EXPECT_EQ(session_->ipAddress(), c.ip);
    EXPECT_EQ(session_->countryCode(), c.country);
    EXPECT_EQ(session_->isChina(), c.isChina);
  }
}

TEST_F(AccountFlowsTest, LinksReplyReplacesAllLinksOrNone) {
  scriptRefresh();
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  const MiscInfo::Links defaults = MiscInfo::Links::defaults();

  standin_->replyTo("/api/1/app/links", 200, R"({"status":"ok","code":0,"links":7})");
  refresh();
  EXPECT_EQ(session_->links(), defaults) << "no links object: nothing changes";
  standin_->replyTo("/api/1/app/links", 200,
                    R"({"status":"ok","code":0,"links":{"signup":"https://s.invalid/up","x":1}})");
  refresh();
  EXPECT_EQ(session_->links(), defaults) << "a value that is not text: nothing changes";

  standin_->replyTo("/api/1/app/links", 200,
                    R"({"status":"ok","code":0,"links":{"signup":"https://s.invalid/up",)"
                    R"("account_center":"https://s.invalid/account"}})");
  refresh();
  EXPECT_EQ(session_->signup(), "https://s.invalid/up");
  EXPECT_EQ(session_->account_center(), "https://s.invalid/account");
  EXPECT_FALSE(session_->forget_password().has_value());
  EXPECT_FALSE(session_->verify_email().has_value());
  EXPECT_FALSE(session_->payment().has_value());
  // "Upgrade" still leads somewhere.
  EXPECT_EQ(session_->paymentPageAddress(), *defaults.payment);
}

TEST_F(AccountFlowsTest, AnUndecodableUserRecordChangesNothing) {
  scriptRefresh(R"({"status":"ok","code":0,"user_id":"42"})");
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  session_->setLastUpdateTime(5);
  const ResultData result = refresh();
  EXPECT_TRUE(result.isSuccess) << "the reply's own result";
  EXPECT_FALSE(session_->model().has_value());
  EXPECT_EQ(session_->lastUpdateTime(), 5);
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 0u);
}

TEST_F(AccountFlowsTest, ExpiredAccountWhileOffOnlyReplacesTheRecord) {
  scriptRefresh(userInfoJson(42, true));
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  refresh();
  EXPECT_TRUE(session_->model()->expired);
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 1u);
  EXPECT_EQ(port_.stopTunnelsCalls(), 0);
  EXPECT_TRUE(port_.alerts().empty());
}

TEST_F(AccountFlowsTest, ExpiredAccountWhileOnStopsOffTheMainThreadAndTurnsTheStatusOff) {
  scriptRefresh(userInfoJson(42, true));
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  refresh();
  ASSERT_TRUE(pumpUntil([&] { return postedCount(kVPNStatusChangeNotification) == 1; }));
  platform::mainQueue().runPending();
  EXPECT_EQ(port_.stopTunnelsCalls(), 1);
  EXPECT_EQ(port_.stopTunnelsCallsOnMainThread(), 0);
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_off);
  EXPECT_EQ(port_.lastConnectStatus(), qv_ConnectStatus::qv_off);
  EXPECT_EQ(postedCount(kVPNStatusChangeNotification), 1u);
  EXPECT_EQ(countLogLines("[DEBUG]: check expired and break connected"), 1u);

  const auto alerts = port_.alerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "Upgrade Required");
  EXPECT_EQ(alerts[0].message, "Your account has expired please renew or change to Smart Location");
  EXPECT_EQ(alerts[0].button1, "Upgrade");
  EXPECT_EQ(alerts[0].button2, "Not Now");
  ASSERT_TRUE(alerts[0].action1 && alerts[0].action2);
  alerts[0].action1();
  EXPECT_EQ(port_.upgradePageOpens(), 1);
  alerts[0].action2();
  EXPECT_EQ(port_.smartLocationSwitches(), 1);
}

TEST_F(AccountFlowsTest, AFailedExpiryStopLeavesTheStatusOn) {
  scriptRefresh(userInfoJson(42, true));
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  port_.setStopResult(platform::Promise<ResultData>::resolved(ResultData::failure("helper gone")));
  refresh();
  ASSERT_TRUE(pumpUntil([&] { return port_.stopTunnelsCalls() == 1; }));
  ASSERT_TRUE(drain());
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_on);
  EXPECT_EQ(postedCount(kVPNStatusChangeNotification), 0u);
}

// ---- Sign-out and clearing ------------------------------------------------------

TEST_F(AccountFlowsTest, SignOutWhileOffCancelsEveryRequestBeforeLogoutAndDropsTheCookieAfter) {
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  session_->setAccountInfo(storedAccount("kept@example.invalid", "k"));
  signIn(42, "nick", false);
  MiscInfo::Links changed = MiscInfo::Links::defaults();
  changed.signup = "https://s.invalid/up";
  session_->setLinks(changed);
  standin_->replyTo("/api/1/goods", ScriptedReply{200, {}, kOkReply, 10s});
  standin_->replyTo("/api/1/logout", 200, kOkReply);
  const auto slow = network_->goods("boost_service", "");
  ASSERT_TRUE(standin_->waitForRequest("/api/1/goods", 5s));

  session_->logout(true);
  ASSERT_TRUE(pumpUntil([&] { return session_->loginCookie().empty(); }));
  ASSERT_TRUE(slow.isSettled());
  EXPECT_EQ(slow.wait(0s)->message, kCancelledMessage);
  const auto logout = standin_->requestsTo("/api/1/logout");
  ASSERT_EQ(logout.size(), 1u);
  EXPECT_EQ(logout[0].method, "POST");
  EXPECT_EQ(logout[0].header("Cookie"), "ABS_KRLWIFISS=c") << "the cookie goes with /logout";
  EXPECT_EQ(storedCookie(), "");

  const std::size_t cancel = indexOfLine("[LOG]: logout cancel all request");
  const std::size_t sent = indexOfLine("[DEBUG]: [NET OUT] Path: logout");
  const std::size_t dropped = indexOfLine("[ERROR]: Please Login your account before connect.");
  EXPECT_LT(cancel, sent);
  EXPECT_LT(sent, dropped);
  EXPECT_LT(dropped, logLines().size());

  EXPECT_FALSE(session_->model().has_value());
  EXPECT_FALSE(loadModel<MiscInfoModel>(kMiscInfoCacheEntry).has_value());
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 1u);
  EXPECT_EQ(session_->links(), MiscInfo::Links::defaults());
  ASSERT_FALSE(port_.selectedRegions().empty());
  EXPECT_EQ(port_.selectedRegions().back().name, "Smart Location");
  EXPECT_EQ(port_.selectedRegions().back().icon, "icon_autoselect");
  ASSERT_EQ(port_.selectedRegions().back().lines->size(), 1u);
  EXPECT_TRUE(port_.selectedRegions().back().lines->front()->isAutomatic());
  EXPECT_TRUE(port_.assignedLines().back()->isAutomatic());
  EXPECT_FALSE(session_->accountInfo().has_value());
  EXPECT_EQ(port_.stopTunnelsCalls(), 0) << "the connection manager is left alone";
  EXPECT_EQ(postedCount(kVPNStatusChangeNotification), 0u);
}

TEST_F(AccountFlowsTest, SignOutWithoutNotifyingDropsTheCookieWithoutLogout) {
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  session_->logout(false);
  // The drop's last step is its error line.
  ASSERT_TRUE(pumpUntil(
      [&] { return countLogLines("[ERROR]: Please Login your account before connect.") == 1; }));
  EXPECT_EQ(session_->loginCookie(), "");
  EXPECT_EQ(storedCookie(), "");
  ASSERT_TRUE(drain());
  EXPECT_TRUE(standin_->requestsTo("/api/1/logout").empty());
}

TEST_F(AccountFlowsTest, ARefreshReplyAlreadyOnItsWayDoesNotUndoASignOut) {
  scriptRefresh();
  standin_->replyTo("/api/1/user/misc-info",
                    ScriptedReply{200, {}, userInfoJson(42, false), 300ms});
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  const auto refresh = session_->updateMiscInfo(0);
  // The user record has arrived and is processed off the main thread; its
  // last step waits on the main queue, which is not turning. The file is
  // read as it stands: countLogLines would pump the queue, and could run
  // that step before the sign-out.
  ASSERT_TRUE(platform::mainQueue().runUntil(
      [&] {
        return readBytes(home_.dataCache() / "vandrel.log").find("[NET IN] Path: misc-info") !=
               std::string::npos;
      },
      20s));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (network_->pendingCount() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(network_->pendingCount(), 0u);

  session_->logout(false);
  ASSERT_TRUE(pumpUntil([&] { return refresh.isSettled() && session_->loginCookie().empty(); }));
  platform::mainQueue().runPending();
  EXPECT_FALSE(session_->model().has_value());
  EXPECT_FALSE(loadModel<MiscInfoModel>(kMiscInfoCacheEntry).has_value());
  EXPECT_EQ(session_->links(), MiscInfo::Links::defaults());
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 1u) << "only the sign-out's";
}

TEST_F(AccountFlowsTest, SignOutWhileOnWithASlowStopKeepsTheMainQueueTurning) {
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  signIn(42, std::nullopt, false);
  standin_->replyTo("/api/1/logout", 200, kOkReply);
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  platform::Promise<ResultData> stop;
  port_.setStopResult(stop);

  session_->logout(true);  // on the main thread, as the window calls it
  ASSERT_TRUE(pumpUntil([&] { return port_.stopTunnelsCalls() == 1; }));
  EXPECT_EQ(port_.stopTunnelsCallsOnMainThread(), 0);
  bool turned = false;
  platform::mainQueue().async([&] { turned = true; });
  ASSERT_TRUE(pumpUntil([&] { return turned; }));
  EXPECT_TRUE(session_->model().has_value()) << "the rest waits for the stop";
  EXPECT_TRUE(standin_->requestsTo("/api/1/logout").empty());

  std::thread helper([&] { stop.resolve(ResultData::success()); });
  helper.join();
  ASSERT_TRUE(pumpUntil([&] { return session_->loginCookie().empty(); }));
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_off);
  EXPECT_EQ(port_.lastConnectStatus(), qv_ConnectStatus::qv_off);
  EXPECT_FALSE(session_->model().has_value());
  EXPECT_EQ(posted(), (std::vector<std::string>{std::string(kVPNStatusChangeNotification),
                                                std::string(kMiscInfoDidUpdateNotification)}));
  EXPECT_EQ(standin_->requestsTo("/api/1/logout").size(), 1u);
}

TEST_F(AccountFlowsTest, SignOutAfterAFailedStopKeepsTheStatusButStillSignsOut) {
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  standin_->replyTo("/api/1/logout", 200, kOkReply);
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  port_.setStopResult(platform::Promise<ResultData>::resolved(ResultData::failure("no helper")));
  session_->logout(true);
  ASSERT_TRUE(pumpUntil([&] { return session_->loginCookie().empty(); }));
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_on);
  EXPECT_EQ(postedCount(kVPNStatusChangeNotification), 0u);
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 1u);
}

TEST_F(AccountFlowsTest, ClearingWithStopWhileOffStopsNothing) {
  session_->setLoginCookie("ABS_KRLWIFISS=c");
  session_->setAccountInfo(storedAccount("kept@example.invalid", "k"));
  signIn(42, std::nullopt, false);
  session_->clearUserInfo(true);
  EXPECT_EQ(session_->loginCookie(), "");
  EXPECT_EQ(storedCookie(), "");
  EXPECT_FALSE(session_->model().has_value());
  EXPECT_FALSE(session_->accountInfo().has_value());
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 1u);
  platform::mainQueue().runPending();
  EXPECT_EQ(port_.stopTunnelsCalls(), 0);
}

TEST_F(AccountFlowsTest, SignOutAndClearingEndAConnectUnderWayAndOnlyThat) {
  struct Case {
    qv_ConnectStatus status;
    int cancels;
  };
  for (const Case& c : {Case{qv_ConnectStatus::qv_off, 0}, Case{qv_ConnectStatus::qv_connecting, 1},
                        Case{qv_ConnectStatus::qv_disconnecting, 0}}) {
    SCOPED_TRACE(static_cast<int>(c.status));
    const int before = port_.cancelConnectAttemptCalls();
    port_.setConnectStatus(c.status);
    session_->setLoginCookie("ABS_KRLWIFISS=c");
    session_->logout(false);
    ASSERT_TRUE(pumpUntil([&] { return session_->loginCookie().empty(); }));
    EXPECT_EQ(port_.cancelConnectAttemptCalls() - before, c.cancels) << "sign-out";
    session_->clearUserInfo(true);
    EXPECT_EQ(port_.cancelConnectAttemptCalls() - before, 2 * c.cancels) << "clearing";
    session_->clearUserInfo(false);
    EXPECT_EQ(port_.cancelConnectAttemptCalls() - before, 2 * c.cancels) << "clearing, no stop";
    platform::mainQueue().runPending();
    EXPECT_EQ(port_.stopTunnelsCalls(), 0);
  }
}

TEST_F(AccountFlowsTest, MarkDisconnectedActsOnlyOnASuccessfulStop) {
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  session_->markDisconnected(ResultData::failure("still up"));
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_on);
  EXPECT_EQ(postedCount(kVPNStatusChangeNotification), 0u);
  session_->markDisconnected(ResultData::success());
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_off);
  EXPECT_EQ(port_.lastConnectStatus(), qv_ConnectStatus::qv_off);
  EXPECT_EQ(postedCount(kVPNStatusChangeNotification), 1u);
}

}  // namespace
}  // namespace vandrel::core
