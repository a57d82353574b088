// The account session's reactions to the result codes 20001, 20010, 40001
// and 40007, run by the real response processor.

#include <gtest/gtest.h>

#include "core/model_cache.h"
#include "tests/core/account_fixture.h"

namespace vandrel::core {
namespace {

using namespace account_testing;

std::string failureBody(std::int64_t code, const std::string& extra = "") {
  return R"({"status":"fail","code":)" + std::to_string(code) +
         R"(,"error":"Session expired")" + extra + "}";
}

AccountModel typed(std::optional<std::string> email, std::optional<std::string> phone = {},
                   std::optional<std::string> callCode = {}) {
  AccountModel account;
  account.email = std::move(email);
  account.phone = std::move(phone);
  account.callCode = std::move(callCode);
  return account;
}

class SpecialCodesTest : public AccountTest {
 protected:
  void SetUp() override {
    AccountTest::SetUp();
    if (HasFatalFailure()) return;
    startFlows([] {
      // Restored by the catalogue: an error text with this keyword is
      // uploaded, which shows that the keyword check ran.
      StaticDataModel info;
      info.log_keyword = "expired";
      saveModel(info, kStaticModelCacheEntry);
    });
    session_->setLoginCookie("ABS_KRLWIFISS=c");
    AccountModel stored;
    stored.account = "a@b.c";
    stored.password = "pw";
    session_->setAccountInfo(stored);
    signIn(42, std::nullopt, false);
  }

  // The processor's result for a reply with `body` to `path`, processed
  // on the calling thread, as the transport does on a global queue.
  ResultData process(const std::string& path, const std::string& body) {
    platform::HttpResponse reply;
    reply.url = standin_->url(path);
    reply.status = 200;
    reply.body = body;
    return network_->handleResponse(reply.url, reply);
  }

  bool signedOut() {
    return session_->loginCookie().empty() && !session_->model() && !session_->accountInfo();
  }
};

TEST_F(SpecialCodesTest, A20001WhileOneIsHandledOnlyLogsTheOtherHandlerLine) {
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  const ResultData first = process("/api/1/user/misc-info", failureBody(20001));
  EXPECT_FALSE(first.isSuccess);
  EXPECT_EQ(first.code, 20001);
  EXPECT_EQ(first.message, "Session expired");
  // Both handlings are queued before the first can finish its refresh.
  process("/api/1/goods", failureBody(20001));

  ASSERT_TRUE(pumpUntil([&] {
    return countLogLines("[DEBUG]: Other handler is dealing with 20001") == 1 &&
           !reactions_->isHandling20001();
  }));
  EXPECT_EQ(countLogLines("[DEBUG]: catch: 20001"), 2u);
  EXPECT_EQ(countLogLines("[DEBUG]: handle: 20001"), 1u);
  EXPECT_LT(indexOfLine("[DEBUG]: handle: 20001"),
            indexOfLine("[DEBUG]: Other handler is dealing with 20001"));
  EXPECT_TRUE(signedOut());
  EXPECT_EQ(postedCount(kMiscInfoDidUpdateNotification), 1u) << "cleared once";
  // The forced refresh fails at once: the cookie is already gone.
  EXPECT_EQ(countLogLines("[ERROR]: Please Login your account before connect."), 1u);
  EXPECT_TRUE(standin_->requestsTo("/api/1/user/misc-info").empty());

  // The tunnels were stopped off the main thread, then marked down.
  ASSERT_TRUE(pumpUntil([&] { return postedCount(kVPNStatusChangeNotification) == 1; }));
  EXPECT_EQ(port_.stopTunnelsCalls(), 1);
  EXPECT_EQ(port_.stopTunnelsCallsOnMainThread(), 0);
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_off);

  // A later 20001 starts a new handling.
  process("/api/1/goods", failureBody(20001));
  ASSERT_TRUE(pumpUntil([&] { return countLogLines("[DEBUG]: handle: 20001") == 2; }));
  ASSERT_TRUE(pumpUntil([&] { return !reactions_->isHandling20001(); }));
}

TEST_F(SpecialCodesTest, A20001ToLogoutOnlyLogsAndChecksKeywords) {
  installUploader(*staticData_);
  standin_->replyTo("/api/1/logout", 200, failureBody(20001));
  // A refused upload keeps the log file, whose lines are checked below.
  standin_->replyTo("/api/2/log/file", 200, R"({"status":"fail","code":1,"error":"nope"})");
  const std::size_t linesBefore = linesWithoutNet().size();
  const ResultData result = await(network_->request("/logout", qv_Network::Method::POST,
                                                    std::nullopt, qv_Network::Encoding::url));
  EXPECT_EQ(result.code, 20001);
  ASSERT_TRUE(standin_->waitForRequest("/api/2/log/file", 10s)) << "the keyword check ran";
  ASSERT_TRUE(pumpUntil([&] { return logUpload_->isIdle(); }));
  ASSERT_TRUE(drain());

  std::vector<std::string> before;
  const std::vector<std::string> lines = linesWithoutNet();
  for (std::size_t i = linesBefore; i < lines.size(); ++i) {
    if (lines[i].find("Device Info") != std::string::npos) break;
    before.push_back(lines[i]);
  }
  EXPECT_EQ(before, (std::vector<std::string>{"[DEBUG]: catch: 20001", "[ERROR]: Session expired"}));
  EXPECT_EQ(countLogLines("[DEBUG]: handle: 20001"), 0u);
  EXPECT_EQ(session_->loginCookie(), "ABS_KRLWIFISS=c");
  EXPECT_TRUE(session_->model().has_value());
  EXPECT_TRUE(posted().empty());
}

TEST_F(SpecialCodesTest, A20010SignsOutStopsAndShowsTheKickedOutAlertOnce) {
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  standin_->replyTo("/api/1/goods", 200, failureBody(20010));
  const ResultData result = await(network_->goods("boost_service", ""));
  EXPECT_EQ(result.code, 20010);
  EXPECT_EQ(result.message, "Session expired");
  ASSERT_TRUE(pumpUntil([&] {
    return !port_.alerts().empty() && postedCount(kVPNStatusChangeNotification) == 1;
  }));
  ASSERT_TRUE(drain());
  const auto alerts = port_.alerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "登录已被踢出");
  EXPECT_EQ(alerts[0].message, "超过最大登录设备数限制，您的登录已被踢出");
  EXPECT_EQ(alerts[0].button1, "OK");
  EXPECT_FALSE(alerts[0].action1);
  EXPECT_FALSE(alerts[0].button2.has_value());
  EXPECT_EQ(countLogLines("[DEBUG]: catch: 20010"), 1u);
  EXPECT_TRUE(signedOut());
  EXPECT_EQ(port_.stopTunnelsCallsOnMainThread(), 0);
  EXPECT_EQ(port_.connectStatus(), qv_ConnectStatus::qv_off);
}

TEST_F(SpecialCodesTest, A40001SignsOutWithoutStopping) {
  port_.setConnectStatus(qv_ConnectStatus::qv_on);
  const ResultData result = process("/api/1/goods", failureBody(40001));
  EXPECT_EQ(result.code, 40001);
  platform::mainQueue().runPending();
  EXPECT_EQ(countLogLines("[DEBUG]: catch: 40001"), 1u);
  EXPECT_TRUE(signedOut());
  EXPECT_EQ(port_.stopTunnelsCalls(), 0);
  EXPECT_TRUE(port_.alerts().empty());
}

TEST_F(SpecialCodesTest, A40007CompletesTheTypedAccountFromTheReply) {
  struct Case {
    const char* name;
    std::optional<AccountModel> typed;
    std::string replyFields;
    std::optional<AccountModel> expected;
  };
  const AccountModel empty;
  const std::vector<Case> cases = {
      {"no typed account", std::nullopt, R"(,"email":"x@y.z","phone":"1","cc":"1")", std::nullopt},
      {"e-mail fills an absent one", empty, R"(,"email":"x@y.z")",
       typed("x@y.z")},
      {"e-mail fills an empty one", typed(""), R"(,"email":"x@y.z")",
       typed("x@y.z")},
      {"e-mail keeps a typed one", typed("me@y.z"), R"(,"email":"x@y.z")",
       typed("me@y.z")},
      {"no e-mail address", empty, R"(,"email":"not an address")", empty},
      {"phone with calling code", empty, R"(,"phone":"12345","cc":"+86")",
       typed(std::nullopt, "12345", "+86")},
      {"phone with empty calling code", typed(std::nullopt, std::nullopt, "1"), R"(,"phone":"12345","cc":"")",
       typed(std::nullopt, "12345", "1")},
      {"typed phone stays with its code", typed(std::nullopt, "999", "1"),
       R"(,"phone":"12345","cc":"+86")", typed(std::nullopt, "999", "1")},
      {"phone that is not a number", empty, R"(,"phone":"12-34","cc":"+86")", empty},
      {"phone as a number", empty, R"(,"phone":12345,"cc":"+86")", empty},
      {"calling code alone", empty, R"(,"cc":"+86")", empty},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    session_->setIsRegistered(false);
    session_->setLoginCookie("ABS_KRLWIFISS=c");
    session_->setInputAccountInfo(c.typed);
    const ResultData result = process("/api/1/login", failureBody(40007, c.replyFields));
    EXPECT_FALSE(result.isSuccess);
    EXPECT_EQ(result.code, 40007);
    EXPECT_EQ(result.message, "请使用翎渡账号登录。");
    EXPECT_TRUE(result.jsonData.empty());
    EXPECT_TRUE(session_->isRegistered());
    EXPECT_EQ(session_->loginCookie(), "");
    const auto typed = session_->inputAccountInfo();
    const auto cached = loadModel<AccountModel>(kInputAccountInfoCacheEntry);
    ASSERT_EQ(typed.has_value(), c.expected.has_value());
    ASSERT_EQ(cached.has_value(), c.expected.has_value());
    EXPECT_TRUE(fs::exists(modelCachePath(kInputAccountInfoCacheEntry)));
    if (c.expected) {
      EXPECT_EQ(typed->toJsonText(), c.expected->toJsonText());
      EXPECT_EQ(cached->toJsonText(), c.expected->toJsonText());
    }
  }
  EXPECT_EQ(countLogLines("[DEBUG]: catch: 40007"), cases.size());
  EXPECT_EQ(countLogLines("[ERROR]: 请使用翎渡账号登录。"), cases.size());
}

}  // namespace
}  // namespace vandrel::core
