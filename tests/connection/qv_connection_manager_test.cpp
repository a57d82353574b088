// Connection manager state: the stored connect mode, the mode setter's
// order of effects, the status pair and the system VPN status mapping.

#include "connection/qv_connection_manager.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/defaults.h"
#include "platform/notification_center.h"

namespace vandrel::connection {
namespace {

namespace fs = std::filesystem;
using core::ConnectMode;
using core::qv_ConnectStatus;

// Reports one configuration with a settable status and hands its changes on.
class FakeSystemVpn final : public SystemVpnSource {
 public:
  explicit FakeSystemVpn(std::int64_t status) : status_(status) {}
  std::optional<std::int64_t> firstConfigurationStatus() override { return status_; }
  bool observeFirstConfiguration(std::function<void(std::int64_t)> onChange) override {
    onChange_ = std::move(onChange);
    return true;
  }
  void change(std::int64_t status) {
    status_ = status;
    if (onChange_) onChange_(status);
  }

 private:
  std::int64_t status_;
  std::function<void(std::int64_t)> onChange_;
};

class ConnectionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vandrel-conn-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    defaults_.emplace(dir_ / "defaults.json");
    statusToken_ = notifications_.addObserver(
        std::string(core::kVPNStatusChangeNotification), nullptr, std::nullopt,
        [this](const platform::Notification&) { ++statusPosts_; });
  }
  void TearDown() override {
    notifications_.removeObserver(statusToken_);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path dir_;
  std::optional<platform::Defaults> defaults_;
  platform::NotificationCenter notifications_;
  platform::ObserverToken statusToken_;
  std::atomic<int> statusPosts_{0};
  NoSystemVpnSource noSystemVpn_;
};

TEST_F(ConnectionManagerTest, StartsOffWithTheDocumentedValues) {
  qv_ConnectionManager manager(*defaults_, notifications_, noSystemVpn_);
  manager.start();
  EXPECT_EQ(manager.statuses(), (ConnectStatuses{qv_ConnectStatus::qv_off, qv_ConnectStatus::qv_off}));
  EXPECT_EQ(manager.connectMode(), ConnectMode::app);
  EXPECT_EQ(manager.connectNetwork(), "unknow");
  EXPECT_EQ(manager.currentConnectId(), "NONE");
  EXPECT_FALSE(manager.isReachable());
  EXPECT_FALSE(manager.shouldConnectAfterDisconnect());
  EXPECT_FALSE(manager.shouldListenSystemVPNStatus()) << "no configuration on Linux";
  EXPECT_EQ(statusPosts_, 0);
  EXPECT_EQ(static_cast<int>(qv_ConnectStatus::qv_on), 0);
  EXPECT_EQ(static_cast<int>(qv_ConnectStatus::qv_connecting), 1);
  EXPECT_EQ(static_cast<int>(qv_ConnectStatus::qv_off), 2);
  EXPECT_EQ(static_cast<int>(qv_ConnectStatus::qv_disconnecting), 3);
}

TEST_F(ConnectionManagerTest, ReadsTheStoredConnectMode) {
  struct Case {
    const char* name;
    std::optional<platform::Value> stored;
    ConnectMode expected;
  };
  const std::vector<Case> cases = {
      {"absent", std::nullopt, ConnectMode::app},
      {"0", platform::Value(0), ConnectMode::smartWeb},
      {"1", platform::Value(1), ConnectMode::web},
      {"2", platform::Value(2), ConnectMode::app},
      {"3", platform::Value(3), ConnectMode::ssw},
      {"4", platform::Value(4), ConnectMode::app},
      {"7", platform::Value(7), ConnectMode::app},
      {"-1", platform::Value(-1), ConnectMode::app},
      {"text 1", platform::Value("1"), ConnectMode::app},
      {"double 1.0", platform::Value(1.0), ConnectMode::app},
      {"bool true", platform::Value(true), ConnectMode::app},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored) {
      defaults_->set("connectModeCache", *c.stored);
    } else {
      defaults_->remove("connectModeCache");
    }
    qv_ConnectionManager manager(*defaults_, notifications_, noSystemVpn_);
    EXPECT_EQ(manager.connectMode(), c.expected);
    EXPECT_EQ(defaults_->object("connectModeCache"), c.stored) << "reading writes nothing";
  }
}

TEST_F(ConnectionManagerTest, ModeSetterPostsBeforeItStores) {
  defaults_->set("connectModeCache", 0);
  qv_ConnectionManager manager(*defaults_, notifications_, noSystemVpn_);
  std::vector<std::optional<std::int64_t>> storedAtPost;
  std::vector<ConnectMode> modeAtPost;
  const auto token = notifications_.addObserver(
      std::string(core::kModeDidChangeNotification), nullptr, std::nullopt,
      [&](const platform::Notification& n) {
        EXPECT_EQ(n.object, nullptr);
        storedAtPost.push_back(defaults_->getInt("connectModeCache"));
        modeAtPost.push_back(manager.connectMode());
      });
  manager.setConnectMode(ConnectMode::ssw);
  manager.setConnectMode(ConnectMode::ssw);
  notifications_.removeObserver(token);

  EXPECT_EQ(storedAtPost, (std::vector<std::optional<std::int64_t>>{0, 3}))
      << "the notification comes before the store";
  EXPECT_EQ(modeAtPost, (std::vector<ConnectMode>{ConnectMode::ssw, ConnectMode::ssw}))
      << "the mode itself is already set";
  EXPECT_EQ(defaults_->getInt("connectModeCache"), 3);
  platform::Defaults reopened(defaults_->path());
  EXPECT_EQ(reopened.getInt("connectModeCache"), 3) << "synchronised to the file";
  qv_ConnectionManager next(reopened, notifications_, noSystemVpn_);
  EXPECT_EQ(next.connectMode(), ConnectMode::ssw);
}

TEST_F(ConnectionManagerTest, SystemVpnStatusesMapAsTheTableSays) {
  const ConnectStatuses onOn{qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_on};
  struct Case {
    std::int64_t status;
    ConnectStatuses expected;
    bool posts;
  };
  const std::vector<Case> cases = {
      {0, {qv_ConnectStatus::qv_off, qv_ConnectStatus::qv_off}, true},
      {1, {qv_ConnectStatus::qv_off, qv_ConnectStatus::qv_off}, true},
      {2, {qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_connecting}, true},
      {3, {qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_on}, true},
      {4, {qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_connecting}, true},
      {5, {qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_disconnecting}, true},
      {6, onOn, false},
      {9, onOn, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    qv_ConnectionManager manager(*defaults_, notifications_, noSystemVpn_);
    manager.setStatuses(onOn);
    const int before = statusPosts_;
    manager.applySystemVPNStatus(c.status);
    EXPECT_EQ(manager.statuses(), c.expected);
    EXPECT_EQ(statusPosts_ - before, c.posts ? 1 : 0);
    EXPECT_TRUE(manager.shouldListenSystemVPNStatus());
  }
}

TEST_F(ConnectionManagerTest, StartAppliesAndObservesAReportedConfiguration) {
  FakeSystemVpn source(3);
  qv_ConnectionManager manager(*defaults_, notifications_, source);
  EXPECT_EQ(manager.qv_connectStatus(), qv_ConnectStatus::qv_off) << "construction reads nothing";
  manager.start();
  EXPECT_EQ(manager.statuses(), (ConnectStatuses{qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_on}));
  EXPECT_EQ(statusPosts_, 1);
  source.change(1);
  EXPECT_EQ(manager.statuses(),
            (ConnectStatuses{qv_ConnectStatus::qv_off, qv_ConnectStatus::qv_off}));
  EXPECT_EQ(statusPosts_, 2);
}

TEST_F(ConnectionManagerTest, StatusPairIsReadAndWrittenWhole) {
  qv_ConnectionManager manager(*defaults_, notifications_, noSystemVpn_);
  manager.setConnectStatus(qv_ConnectStatus::qv_connecting);
  EXPECT_EQ(manager.lastConnectStatus(), qv_ConnectStatus::qv_off) << "current only";
  manager.setLastConnectStatus(qv_ConnectStatus::qv_on);
  EXPECT_EQ(manager.qv_connectStatus(), qv_ConnectStatus::qv_connecting) << "last only";

  manager.setBothConnectStatuses(qv_ConnectStatus::qv_off);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      manager.setBothConnectStatuses(i % 2 ? qv_ConnectStatus::qv_on : qv_ConnectStatus::qv_off);
    }
  });
  int torn = 0;
  for (int i = 0; i < 100000; ++i) {
    const ConnectStatuses seen = manager.statuses();
    if (seen.last != seen.current) ++torn;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(torn, 0);
}

TEST_F(ConnectionManagerTest, ConnectIdIsClaimedOnce) {
  qv_ConnectionManager manager(*defaults_, notifications_, noSystemVpn_);
  manager.setCurrentConnectId("A1");
  EXPECT_FALSE(manager.compareAndSetConnectId("NONE", "B2"));
  EXPECT_TRUE(manager.compareAndSetConnectId("A1", "timeout"));
  EXPECT_FALSE(manager.compareAndSetConnectId("A1", "timeout")) << "already claimed";
  EXPECT_EQ(manager.currentConnectId(), "timeout");
  manager.setConnectNetwork("wifi");
  manager.setIsReachable(true);
  EXPECT_EQ(manager.connectNetwork(), "wifi");
  EXPECT_TRUE(manager.isReachable());
}

}  // namespace
}  // namespace vandrel::connection
