// The process's shared account objects: made on first use from several
// threads at once, in different orders, without a dead-lock, wired to one
// another, and starting their background work. They live for the process,
// so this binary holds this one test.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "core/cert_bundle.h"
#include "core/connection_port.h"
#include "core/log_upload.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/model_cache.h"
#include "core/qv_network.h"
#include "core/special_codes.h"
#include "core/static_data.h"
#include "platform/dispatch.h"
#include "tests/core/service_api_fixture.h"
#include "tests/support/fake_connection_port.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_dir.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_certs.h"

namespace vandrel::core {
namespace {

using namespace std::chrono_literals;
using service_api_testing::kOkReply;
using service_api_testing::writeBytes;

TEST(SharedWiringTest, FirstUsesFromSeveralThreadsBuildOneConnectedGraph) {
  test_support::TempHome home;
  const auto bundle = home.root() / "Wired.app";
  writeBytes(bundle / "Contents/Info.json",
             R"({"CFBundleIdentifier":"com.vandrel.mac.offline",)"
             R"("CFBundleShortVersionString":"2.3.4","CFBundleVersion":"77"})");
  auto packed = packCertBundle({test_support::TestCertificateAuthority::shared().der()});
  ASSERT_TRUE(packed.ok());
  writeBytes(bundle / "Contents/Resources/icon.xcImage", packed.value());
  // The catalogue restores these keywords at creation.
  StaticDataModel info;
  info.log_keyword = "wiring-keyword";
  saveModel(info, kStaticModelCacheEntry);

  auto standin = test_support::ServiceStandin::https();
  standin->replyTo("/api/1/goods", 200, kOkReply);
  standin->replyTo("/api/1/app/notifications", 200, kOkReply);
  standin->replyTo("/api/1/app/static-data", 200,
                   R"({"status":"ok","code":0,"log_keyword":"wiring-keyword"})");
  test_support::ScopedEnv hosts(kApiHostsEnvironmentVariable, standin->hostAndPort());
  test_support::ScopedEnv bundleDirectory("VANDREL_BUNDLE", bundle.string());
  // Leaked, like the objects that will hold it.
  static auto* const port = new test_support::FakeConnectionPort;
  setSharedConnectionPort(port);
  platform::mainQueue().runPending();

  ASSERT_EQ(StaticData::sharedIfCreated(), nullptr);
  LogUtil::reportError("wiring-keyword before the catalogue exists");

  const std::vector<std::function<void()>> firstUses = {
      [] { (void)qv_Network::shared(); },
      [] { (void)StaticData::shared(); },
      [] { (void)MiscInfo::shared(); },
      [] { (void)LogUpload::shared(); },
      [] { (void)SpecialCodeReactions::shared(); },
  };
  std::vector<std::future<void>> done;
  for (std::size_t t = 0; t < 6; ++t) {
    done.push_back(std::async(std::launch::async, [&firstUses, t] {
      for (std::size_t i = 0; i < firstUses.size(); ++i) firstUses[(i + t) % firstUses.size()]();
    }));
  }
  for (auto& future : done) {
    // A dead-lock would otherwise hang until the test runner's time-out.
    if (future.wait_for(20s) != std::future_status::ready) {
      ADD_FAILURE() << "first uses of the shared objects dead-locked";
      std::abort();
    }
  }
  EXPECT_EQ(StaticData::sharedIfCreated(), &StaticData::shared());

  // The catalogue's start-up fetch went out once, through the transport.
  ASSERT_TRUE(standin->waitForRequest("/api/1/goods", 10s));
  ASSERT_TRUE(standin->waitForRequest("/api/1/app/notifications", 10s));
  ASSERT_TRUE(standin->waitForRequest("/api/1/app/static-data", 10s));
  // The session's first refresh ran: without a cookie it sends nothing.
  ASSERT_TRUE(platform::mainQueue().runUntil([&] {
    return qv_Network::shared().pendingCount() == 0 && !MiscInfo::shared().isLogin();
  }, 10s));
  EXPECT_TRUE(standin->requestsTo("/api/1/user/misc-info").empty());
  EXPECT_EQ(standin->requestsTo("/api/1/goods").size(), 1u);

  // The early report found no catalogue and left the upload armed; a later
  // one reaches the shared uploader through the catalogue's keywords.
  ASSERT_TRUE(platform::mainQueue().runUntil([] { return LogUpload::shared().isIdle(); }, 10s));
  EXPECT_TRUE(LogUpload::shared().autoUploadArmed());
  LogUtil::reportError("a wiring-keyword error");
  ASSERT_TRUE(platform::mainQueue().runUntil(
      [] { return !LogUpload::shared().autoUploadArmed() && LogUpload::shared().isIdle(); }, 10s));

  // The transport's special codes reach the shared session.
  MiscInfo::shared().setLoginCookie("ABS_KRLWIFISS=wired");
  platform::HttpResponse reply;
  reply.status = 200;
  reply.body = R"({"status":"fail","code":40001,"error":"signed out"})";
  (void)qv_Network::shared().handleResponse(standin->url("/api/1/goods"), reply);
  EXPECT_EQ(MiscInfo::shared().loginCookie(), "");

  // Nothing may still use the stand-in or the home when they go.
  EXPECT_TRUE(platform::mainQueue().runUntil(
      [] { return qv_Network::shared().pendingCount() == 0 && LogUpload::shared().isIdle(); },
      10s));
  platform::mainQueue().runPending();
}

}  // namespace
}  // namespace vandrel::core
