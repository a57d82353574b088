// The account session object: restore from a prepared home, the stored
// cookie, isLogin, and the asynchronous first refresh.

#include "core/misc_info.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "core/app_constants.h"
#include "core/model_cache.h"
#include "platform/dispatch.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"
#include "tests/support/fake_connection_port.h"
#include "tests/support/temp_home.h"

namespace vandrel::core {
namespace {

using namespace std::chrono_literals;

MiscInfoModel userRecord() {
  auto record = MiscInfoModel::fromJsonText(
      R"({"remaining_days":3,"expired":false,"expire_at_time":1700000000,"user_id":42,
          "password_setup":true,"ads_free":false,"remaining_seconds":259200,"code":0,
          "email":"someone@example.invalid"})");
  EXPECT_TRUE(record.ok());
  return record.value();
}

class MiscInfoTest : public ::testing::Test {
 protected:
  std::unique_ptr<MiscInfo> makeSession(MiscInfo::RefreshHook hook = {}) {
    return std::make_unique<MiscInfo>(port_, defaults_, notifications_, clock_, std::move(hook));
  }

  test_support::TempHome home_;
  test_support::FakeConnectionPort port_;
  platform::Defaults defaults_{home_.configHome() / "session.json"};
  platform::NotificationCenter notifications_;
  platform::ManualClock clock_{platform::WallTime{} + std::chrono::milliseconds(1700000123900)};
};

TEST_F(MiscInfoTest, RestoresCookieCredentialsAndRecordsFromAPreparedHome) {
  defaults_.set(kMiscInfoLoginCookieCacheKey, "ABS_KRLWIFISS=abc");
  defaults_.set(kMiscInfoUsernameCacheKey, "user");
  defaults_.set(kMiscInfoPasswordCacheKey, "pass");
  saveModel(userRecord(), kMiscInfoCacheEntry);
  AccountModel account;
  account.account = "someone@example.invalid";
  account.password = "pw";
  account.authType = "username";
  saveModel(account, kAccountInfoCacheEntry);
  AccountModel input;
  input.phone = "12345";
  saveModel(input, kInputAccountInfoCacheEntry);

  const auto session = makeSession();
  EXPECT_EQ(session->loginCookie(), "ABS_KRLWIFISS=abc");
  EXPECT_EQ(session->username(), "user");
  EXPECT_EQ(session->password(), "pass");
  ASSERT_TRUE(session->model().has_value());
  EXPECT_EQ(session->model()->toJsonText(), userRecord().toJsonText());
  ASSERT_TRUE(session->accountInfo().has_value());
  EXPECT_EQ(session->accountInfo()->toJsonText(), account.toJsonText());
  EXPECT_EQ(session->inputAccountInfo()->phone, "12345");
  EXPECT_TRUE(session->isLogin());

  EXPECT_EQ(session->lastUpdateTime(), 1700000123) << "construction time, truncated";
  const MiscInfo::State state = session->snapshot();
  EXPECT_EQ(state.ipAddress, "unknow");
  EXPECT_EQ(state.countryCode, "unknow");
  EXPECT_TRUE(state.shouldRestore);
  EXPECT_TRUE(state.updateStaticData);
  EXPECT_FALSE(state.isForbiddenArea);
  EXPECT_FALSE(session->isUpdate());

  const std::string site = webSiteAddress();
  EXPECT_EQ(session->signup(), site + "/sign/signup?source=mac");
  EXPECT_EQ(session->forget_password(), site + "/sign/forget?source=mac");
  EXPECT_EQ(session->payment(), site + "/payment?source=mac");
  EXPECT_EQ(session->verify_email(), site + "/sign/signup?verifyEmail=source=mac");
  EXPECT_EQ(session->account_center(), site + "/account");
  EXPECT_TRUE(site.starts_with("https://"));
}

TEST_F(MiscInfoTest, MissingOrWrongTypedStoreReadsAsEmpty) {
  defaults_.set(kMiscInfoLoginCookieCacheKey, 5);
  defaults_.set(kMiscInfoUsernameCacheKey, true);
  defaults_.set(kMiscInfoPasswordCacheKey, platform::Value::Data{'p', 'w'});
  saveModel(std::optional<MiscInfoModel>{}, kMiscInfoCacheEntry);
  std::ofstream(modelCachePath(kAccountInfoCacheEntry), std::ios::trunc) << "not encrypted";

  const auto session = makeSession();
  EXPECT_EQ(session->loginCookie(), "");
  EXPECT_EQ(session->username(), "");
  EXPECT_EQ(session->password(), "");
  EXPECT_FALSE(session->model().has_value());
  EXPECT_FALSE(session->accountInfo().has_value());
  EXPECT_FALSE(session->inputAccountInfo().has_value());
  EXPECT_FALSE(session->isLogin());
}

TEST_F(MiscInfoTest, EveryCookieAssignmentIsStored) {
  const auto session = makeSession();
  session->setLoginCookie("ABS_KRLWIFISS=1");
  EXPECT_EQ(defaults_.getString(kMiscInfoLoginCookieCacheKey), "ABS_KRLWIFISS=1");
  // Also an assignment of the same value writes (a value changed behind the
  // session's back is overwritten).
  defaults_.set(kMiscInfoLoginCookieCacheKey, "stale");
  session->setLoginCookie("ABS_KRLWIFISS=1");
  EXPECT_EQ(defaults_.getString(kMiscInfoLoginCookieCacheKey), "ABS_KRLWIFISS=1");
  // The store is on the disk: a session on a fresh store reads it back.
  platform::Defaults reopened(defaults_.path());
  MiscInfo restored(port_, reopened, notifications_, clock_);
  EXPECT_EQ(restored.loginCookie(), "ABS_KRLWIFISS=1");
}

TEST_F(MiscInfoTest, ConcurrentCookieAssignmentsStoreTheLastOne) {
  const auto session = makeSession();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&session, t] {
      for (int i = 0; i < 50; ++i) session->setLoginCookie(std::to_string(t * 100 + i));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(defaults_.getString(kMiscInfoLoginCookieCacheKey), session->loginCookie());
}

TEST_F(MiscInfoTest, IsLoginNeedsAnEmailOrAWholeNumberPhone) {
  struct Case {
    const char* name;
    bool hasRecord;
    std::optional<std::string> email, phone;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"no record", false, std::nullopt, std::nullopt, false},
      {"e-mail address", true, "name@domain.com", std::nullopt, true},
      {"text that is no e-mail", true, "name", std::nullopt, false},
      {"all-digit phone", true, std::nullopt, "13800000000", true},
      {"phone with a hyphen", true, std::nullopt, "138-0000", false},
      {"phone with blanks around", true, std::nullopt, " 12345\n", true},
      {"signed phone", true, std::nullopt, "+8612345", true},
      {"bad e-mail, good phone", true, "nobody", "12345", true},
      {"empty e-mail and phone", true, "", "", false},
      {"neither", true, std::nullopt, std::nullopt, false},
  };
  const auto session = makeSession();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<MiscInfoModel> record;
    if (c.hasRecord) {
      record = userRecord();
      record->email = c.email;
      record->phone = c.phone;
    }
    session->setModel(record);
    EXPECT_EQ(session->isLogin(), c.expected);
  }
}

TEST_F(MiscInfoTest, FirstRefreshRunsLaterOnTheGlobalQueue) {
  std::mutex mutex;
  std::condition_variable ran;
  std::optional<std::thread::id> refreshThread;
  MiscInfo* refreshed = nullptr;
  const auto session = makeSession([&](MiscInfo& info) {
    std::lock_guard lock(mutex);
    refreshThread = std::this_thread::get_id();
    refreshed = &info;
    ran.notify_all();
  });
  {
    std::lock_guard lock(mutex);
    EXPECT_FALSE(refreshThread.has_value()) << "construction must not refresh";
  }
  session->start();
  std::unique_lock lock(mutex);
  ASSERT_TRUE(ran.wait_for(lock, 10s, [&] { return refreshThread.has_value(); }));
  EXPECT_NE(*refreshThread, std::this_thread::get_id());
  EXPECT_EQ(refreshed, session.get());
  lock.unlock();
  EXPECT_TRUE(platform::mainQueue().runUntil([&] { return session->pendingWorkCount() == 0; }, 10s));
}

TEST_F(MiscInfoTest, UpdateIsOneReadModifyWrite) {
  const auto session = makeSession();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&session] {
      for (int i = 0; i < 500; ++i) {
        session->update([](MiscInfo::State& s) { ++s.lastRegisterTime; });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(session->lastRegisterTime(), 8 * 500);
}

}  // namespace
}  // namespace vandrel::core
