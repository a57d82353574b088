#include "analytics/core/bcn_core_utilities.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "analytics/core/bcn_gru_app_environment.h"
#include "platform/bundle.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;
using platform::Value;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/bcn_core_utilities_test.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    path_ = dir != nullptr ? dir : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
}

class HeartbeatTest : public testing::Test {
 protected:
  TempDir dir_;
  std::shared_ptr<GRUHeartbeatDateStorage> storage_ =
      std::make_shared<GRUHeartbeatDateStorage>(dir_.path() / "Gryphon" / "HEARTBEAT_INFO_STORAGE");
  platform::ManualClock clock_;
};

TEST_F(HeartbeatTest, OncePerDayPerTag) {
  BCNHeartbeatInfo info(storage_, clock_);
  EXPECT_TRUE(info.updateIfNeeded("fire-analytics"));
  EXPECT_FALSE(info.updateIfNeeded("fire-analytics"));
  clock_.advance(86399s);
  EXPECT_FALSE(info.updateIfNeeded("fire-analytics"));
  EXPECT_TRUE(info.updateIfNeeded("fire-iid"));  // another tag has its own day
  clock_.advance(1s);
  EXPECT_TRUE(info.updateIfNeeded("fire-analytics"));
  EXPECT_FALSE(info.updateIfNeeded("fire-analytics"));
}

TEST_F(HeartbeatTest, CodeCombinesTagAndGlobal) {
  BCNHeartbeatInfo info(storage_, clock_);
  EXPECT_EQ(info.heartbeatCode("fire-analytics"), 3);  // first ever: both
  EXPECT_EQ(info.heartbeatCode("fire-analytics"), 0);
  EXPECT_EQ(info.heartbeatCode("fire-iid"), 1);  // "GLOBAL" already marked today
  clock_.advance(12h);
  EXPECT_TRUE(storage_->setHearbeatDate(clock_.wallNow() - 30h, "GLOBAL"));
  EXPECT_EQ(info.heartbeatCode("fire-analytics"), 2);
}

TEST_F(HeartbeatTest, DatesSurviveInTheFileAndAnotherObjectSeesThem) {
  {
    BCNHeartbeatInfo info(storage_, clock_);
    EXPECT_TRUE(info.updateIfNeeded("a"));
    EXPECT_TRUE(info.updateIfNeeded("b"));
  }
  auto reopened = std::make_shared<GRUHeartbeatDateStorage>(storage_->fileURL());
  ASSERT_TRUE(reopened->heartbeatDateForTag("a"));
  EXPECT_LT(std::chrono::abs(*reopened->heartbeatDateForTag("a") - clock_.wallNow()), 1ms);
  BCNHeartbeatInfo info(reopened, clock_);
  EXPECT_FALSE(info.updateIfNeeded("a"));
  EXPECT_FALSE(info.updateIfNeeded("b"));
}

TEST_F(HeartbeatTest, DateInTheFutureDoesNotSilenceTheHeartbeat) {
  ASSERT_TRUE(storage_->setHearbeatDate(clock_.wallNow() + 24h * 300, "fire-analytics"));
  BCNHeartbeatInfo info(storage_, clock_);
  EXPECT_TRUE(info.updateIfNeeded("fire-analytics"));
  EXPECT_FALSE(info.updateIfNeeded("fire-analytics"));
}

TEST_F(HeartbeatTest, CorruptFileReadsAsEmptyAndIsReplaced) {
  writeFile(storage_->fileURL(), "{\"a\": 12");  // truncated
  EXPECT_FALSE(storage_->heartbeatDateForTag("a"));
  BCNHeartbeatInfo info(storage_, clock_);
  EXPECT_TRUE(info.updateIfNeeded("a"));
  EXPECT_FALSE(info.updateIfNeeded("a"));
}

TEST_F(HeartbeatTest, UnwritableStorageAnswersFalse) {
  // The storage's directory is a regular file: nothing can be stored.
  writeFile(dir_.path() / "blocked", "x");
  auto blocked = std::make_shared<GRUHeartbeatDateStorage>(dir_.path() / "blocked" / "file");
  BCNHeartbeatInfo info(blocked, clock_);
  EXPECT_FALSE(info.updateIfNeeded("a"));
  EXPECT_EQ(info.heartbeatCode("a"), 0);
}

TEST_F(HeartbeatTest, ConcurrentUpdatersOfOneTagAgreeOnOneWinner) {
  BCNHeartbeatInfo info(storage_, clock_);
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (info.updateIfNeeded("shared")) ++winners;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(winners.load(), 1);
}

class AnalyticsConfigurationTest : public testing::Test {
 protected:
  struct Posted {
    std::string name;
    const void* object;
    Value::Dictionary userInfo;
  };

  void SetUp() override {
    token_ = center_.addObserver("", nullptr, std::nullopt, [this](const platform::Notification& n) {
      posted_.push_back({n.name, n.object, n.userInfo});
    });
  }

  TempDir dir_;
  platform::Defaults defaults_{dir_.path() / "standard.json"};
  platform::NotificationCenter center_;
  platform::ObserverToken token_;
  std::vector<Posted> posted_;
};

TEST_F(AnalyticsConfigurationTest, SwitchPersistsStateAndPosts) {
  BCNAnalyticsConfiguration configuration(defaults_, center_);
  configuration.setAnalyticsCollectionEnabled(false);
  EXPECT_EQ(platform::Defaults(defaults_.path()).getInt(
                "/gryphon/measurement/measurement_enabled_state"),
            2);
  configuration.setAnalyticsCollectionEnabled(true);
  EXPECT_EQ(defaults_.getInt("/gryphon/measurement/measurement_enabled_state"), 1);

  ASSERT_EQ(posted_.size(), 2u);
  EXPECT_EQ(posted_[1].name, "BCNAnalyticsConfigurationSetEnabledNotification");
  EXPECT_EQ(posted_[1].object, &configuration);
  const Value::Dictionary expected = {{"BCNAnalyticsConfigurationSetEnabledNotification", true}};
  EXPECT_EQ(posted_[1].userInfo, expected);
}

TEST_F(AnalyticsConfigurationTest, WithoutPersistOnlyPosts) {
  BCNAnalyticsConfiguration configuration(defaults_, center_);
  configuration.setAnalyticsCollectionEnabled(false, false);
  EXPECT_FALSE(defaults_.object("/gryphon/measurement/measurement_enabled_state"));
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].userInfo.at("BCNAnalyticsConfigurationSetEnabledNotification"),
            Value(false));
}

TEST_F(AnalyticsConfigurationTest, PostNeedsNameAndValue) {
  BCNAnalyticsConfiguration configuration(defaults_, center_);
  configuration.postNotificationName("", Value(true));
  configuration.postNotificationName("Name", Value());
  EXPECT_TRUE(posted_.empty());
}

class BundleUtilTest : public testing::Test {
 protected:
  // A fresh bundle directory per use: bundles read their info once.
  platform::Bundle& makeBundle(const std::string& name, const std::string& info) {
    const auto path = dir_.path() / (name + ".app");
    writeFile(path / "Contents" / "Info.json", info);
    bundles_.push_back(std::make_unique<platform::Bundle>(path));
    return *bundles_.back();
  }

  TempDir dir_;
  std::vector<std::unique_ptr<platform::Bundle>> bundles_;
};

TEST_F(BundleUtilTest, FirstBundleWithTheResourceWins) {
  const platform::Bundle& first = makeBundle("First", "{}");
  const platform::Bundle& second = makeBundle("Second", "{}");
  writeFile(second.resourcesPath() / "GryphonService-Info.json", "{}");
  EXPECT_EQ(BCNBundleUtil::optionsDictionaryPathWithResourceName("GryphonService-Info", "json",
                                                                 {&first, &second}),
            (second.resourcesPath() / "GryphonService-Info.json").string());
  writeFile(first.resourcesPath() / "GryphonService-Info.json", "{}");
  EXPECT_EQ(BCNBundleUtil::optionsDictionaryPathWithResourceName("GryphonService-Info", "json",
                                                                 {&first, &second}),
            (first.resourcesPath() / "GryphonService-Info.json").string());
  EXPECT_FALSE(BCNBundleUtil::optionsDictionaryPathWithResourceName("Other", "json",
                                                                    {&first, &second}));
}

TEST_F(BundleUtilTest, URLSchemesOfEveryTypeInOrderSkippingMalformedEntries) {
  const platform::Bundle& first = makeBundle("First", R"({"CFBundleURLTypes": [
      {"CFBundleURLSchemes": ["vandrel", "vandrel-beta"]},
      {"CFBundleURLName": "no schemes"},
      {"CFBundleURLSchemes": "not a list"},
      {"CFBundleURLSchemes": [7, "fb123"]}]})");
  const platform::Bundle& second =
      makeBundle("Second", R"({"CFBundleURLTypes": [{"CFBundleURLSchemes": ["second"]}]})");
  const std::vector<std::string> expected = {"vandrel", "vandrel-beta", "fb123", "second"};
  EXPECT_EQ(BCNBundleUtil::urlSchemesOfBundles({&first, &second}), expected);
}

TEST_F(BundleUtilTest, BundleIdentifierPrefix) {
  const platform::Bundle& extension =
      makeBundle("Ext", R"({"CFBundleIdentifier": "com.vandrel.mac.widget"})");
  const platform::Bundle& unnamed = makeBundle("Unnamed", "{}");
  struct Case {
    const char* prefix;
    bool inExtension;
    bool expected;
  };
  const Case cases[] = {
      {"com.vandrel.mac.widget", false, true},
      {"com.vandrel.mac", false, false},
      {"com.vandrel.mac", true, true},
      {"com.vandrel", true, false},
      {"", true, false},  // a bundle without identifier matches nothing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.prefix) + (c.inExtension ? " (extension)" : ""));
    EXPECT_EQ(BCNBundleUtil::hasBundleIdentifierPrefix(c.prefix, {&extension, &unnamed},
                                                       c.inExtension),
              c.expected);
  }
}

TEST(BCNBundleUtilTest, RemovingLastPart) {
  EXPECT_EQ(BCNBundleUtil::bundleIdentifierByRemovingLastPartFrom("com.vandrel.mac.widget"),
            "com.vandrel.mac");
  EXPECT_EQ(BCNBundleUtil::bundleIdentifierByRemovingLastPartFrom("single"), "");
  EXPECT_EQ(BCNBundleUtil::bundleIdentifierByRemovingLastPartFrom("trailing."), "trailing");
}

TEST(BCNBundleUtilTest, RelevantBundlesStartWithTheMainBundle) {
  const auto bundles = BCNBundleUtil::relevantBundles();
  ASSERT_FALSE(bundles.empty());
  EXPECT_EQ(bundles[0], &platform::Bundle::main());
  if (bundles.size() == 2) {
    EXPECT_NE(bundles[1]->bundlePath(), bundles[0]->bundlePath());
  }
}

TEST(GRUAppEnvironmentUtilTest, VersionIDFromOSRelease) {
  EXPECT_EQ(GRUAppEnvironmentUtil::versionIDFromOSRelease(
                "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\nID=debian\n"),
            "12");
  EXPECT_EQ(GRUAppEnvironmentUtil::versionIDFromOSRelease("VERSION_ID=22.04\n"), "22.04");
  EXPECT_EQ(GRUAppEnvironmentUtil::versionIDFromOSRelease("ID=arch\n"), "");
  EXPECT_FALSE(GRUAppEnvironmentUtil::systemVersion().empty());
}

}  // namespace
}  // namespace vandrel::analytics
