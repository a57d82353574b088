#pragma once

// The account flows wired for one test: the service API fixture (HTTPS
// stand-in, fresh catalogue, session and transport) with the session
// attached to the transport, the special-code reactions installed in the
// transport, and counters of the notifications the flows post. The test
// thread is the main thread: it pumps the main queue.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/connection_port.h"
#include "core/log_upload.h"
#include "core/misc_info.h"
#include "core/special_codes.h"
#include "core/static_data.h"
#include "platform/notification_center.h"
#include "tests/core/service_api_fixture.h"

namespace vandrel::core::account_testing {

using namespace service_api_testing;
using namespace std::chrono_literals;

inline std::string userInfoJson(std::int64_t userId, bool expired) {
  return R"({"status":"ok","code":0,"remaining_days":3,"expired":)" +
         std::string(expired ? "true" : "false") + R"(,"expire_at_time":1,"user_id":)" +
         std::to_string(userId) +
         R"(,"password_setup":true,"ads_free":false,"remaining_seconds":1,)"
         R"("email":"someone@example.invalid"})";
}

class AccountTest : public ServiceApiTest {
 protected:
  void SetUp() override {
    ServiceApiTest::SetUp();
    if (HasFatalFailure()) return;
    for (const char* name : {kMiscInfoDidUpdateNotification.data(),
                             kVPNStatusChangeNotification.data(),
                             kGoodsInfoUpdateNotification.data()}) {
      notifications_.addObserver(name, nullptr, std::nullopt,
                                 [this](const platform::Notification& n) {
                                   platform::MutexLock lock(postedMutex_);
                                   posted_.push_back(n.name);
                                 });
    }
  }

  void TearDown() override {
    if (logUpload_) {
      installLogUpload(nullptr);
      EXPECT_TRUE(platform::mainQueue().runUntil([&] { return logUpload_->isIdle(); }, 20s));
    }
    if (network_) {
      network_->cancelAllTasks();
      EXPECT_TRUE(drain());
    }
    ServiceApiTest::TearDown();
    logUpload_.reset();
    reactions_.reset();
  }

  // Builds the objects over the stand-in, the reactions in the transport
  // and the session attached to it. `prepare` runs first (cache entries
  // the objects restore, say).
  void startFlows(const std::function<void()>& prepare = {}) {
    if (prepare) prepare();
    start({hostOf(*standin_)}, ServiceHooks{
                                   .onSpecialCode =
                                       [this](std::int64_t code, const std::string& url,
                                              const platform::Value::Dictionary& reply) {
                                         if (reactions_) reactions_->react(code, url, reply);
                                       },
                               });
    reactions_ = std::make_unique<SpecialCodeReactions>(*session_, port_);
    session_->attach(MiscInfo::Services{
        .network = [this]() -> qv_Network& { return *network_; },
        .connectLog = {},
    });
  }

  // A log uploader over the fixture's objects, receiving every keyword
  // check of the process.
  void installUploader(StaticData& catalogue) {
    logUpload_ = std::make_shared<LogUpload>(catalogue, *session_, *network_, port_, *device_,
                                             clock_);
    installLogUpload(logUpload_);
  }

  std::vector<std::string> posted() {
    platform::MutexLock lock(postedMutex_);
    return posted_;
  }
  std::size_t postedCount(std::string_view name) {
    const auto all = posted();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), std::string(name)));
  }

  // Pumps the main queue until `done`, for at most 20 s.
  ::testing::AssertionResult pumpUntil(const std::function<bool()>& done) {
    if (platform::mainQueue().runUntil(done, 20s)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "condition not reached in 20 s";
  }

  // The "[NET OUT] Path: " pieces logged so far, in order.
  std::vector<std::string> sentPaths() {
    std::vector<std::string> pieces;
    const std::string prefix = "[DEBUG]: [NET OUT] Path: ";
    for (const std::string& line : logLines()) {
      if (line.starts_with(prefix)) pieces.push_back(line.substr(prefix.size()));
    }
    return pieces;
  }

  // The log lines without the transport's path lines.
  std::vector<std::string> linesWithoutNet() {
    std::vector<std::string> lines;
    for (std::string& line : logLines()) {
      if (!line.starts_with("[DEBUG]: [NET ")) lines.push_back(std::move(line));
    }
    return lines;
  }

  std::size_t indexOfLine(const std::string& text) {
    const auto lines = logLines();
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
  }

  std::optional<std::string> storedCookie() {
    return platform::Defaults(defaults_.path()).getString(kMiscInfoLoginCookieCacheKey);
  }

  std::unique_ptr<ServiceStandin> standin_ = ServiceStandin::https();
  std::unique_ptr<SpecialCodeReactions> reactions_;
  std::shared_ptr<LogUpload> logUpload_;
  platform::Mutex postedMutex_;
  std::vector<std::string> posted_ VANDREL_GUARDED_BY(postedMutex_);
};

}  // namespace vandrel::core::account_testing
