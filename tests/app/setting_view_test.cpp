// The settings panel as a user sees it: the version, the two start-up
// switches and what they store (auto launch through a real autostart entry
// in a temporary config home), the links, the network reset and the cache
// wipe with their notices, and the back button.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/close_option.h"
#include "app/login_item.h"
#include "app/setting_view.h"
#include "connection/alert_helpers.h"
#include "core/app_constants.h"
#include "core/log_util.h"
#include "platform/clock.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/app/app_test_support.h"
#include "tests/app/contrast.h"
#include "tests/support/temp_home.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using connection::AlertContent;

// Records every alert and ends it with the first button.
class RecordingPresenter final : public connection::AlertPresenter {
 public:
  void dismissProgressHUD() override {}
  std::int64_t runModal(const AlertContent& alert) override {
    std::lock_guard lock(mutex_);
    alerts_.push_back(alert);
    return connection::kAlertFirstButtonReturn;
  }
  std::vector<AlertContent> alerts() const {
    std::lock_guard lock(mutex_);
    return alerts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<AlertContent> alerts_;
};

AlertContent notice(std::string message) { return {"Notice", std::move(message), "OK", {}}; }

constexpr const char* kHome = "https://www.vandrel.example";

class SettingViewTest : public ::testing::Test {
 protected:

  void SetUp() override {
    platform::mainQueue().runPending();
    host_.resize(480, 640);
    host_.show();
  }

  void TearDown() override {
    delete panel_.data();
    platform::mainQueue().runPending();
  }

  platform::Defaults& defaults() { return platform::Defaults::standard(); }
  fs::path autostartEntry() const {
    return home_.configHome() / "autostart" / "com.vandrel.mac.launcherApp.desktop";
  }

  SettingView::Services services() {
    SettingView::Services s;
    s.defaults = &defaults();
    s.alerts = &alerts_;
    s.openLink = [this](std::string link) { opened_.push_back(std::move(link)); };
    s.homePage = [] { return std::string(kHome); };
    s.helpCenterUrl = [this] { return helpCenter_; };
    s.appVersion = [] { return std::string("2.4.1"); };
    s.buildVersion = [] { return std::string("317"); };
    s.resetNetwork = [this] {
      resetRanOnMain_ = platform::isMainThread();
      return resetSucceeds_ ? core::ResultData::success()
                            : core::ResultData::failure("helper did not answer");
    };
    s.clearUserDataAndLog = [] { core::LogUtil::clearUserDataAndLog(); };
    s.setLoginItemEnabled = [this](bool enabled) { return loginItem_.setEnabled(enabled); };
    s.checkForUpdates = [this] { ++updateChecks_; };
    s.mainQueue = &platform::mainQueue();
    s.globalQueue = &platform::globalQueue();
    s.scheduler = &scheduler_;
    return s;
  }

  SettingView& open() {
    panel_ = new SettingView(services(), &host_);
    panel_->setGeometry(host_.rect());
    panel_->show();
    return *panel_;
  }

  ::testing::AssertionResult waitForAlerts(std::size_t count) {
    if (platform::mainQueue().runUntil([&] { return presenter_.alerts().size() >= count; }, 10s)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "only " << presenter_.alerts().size() << " alerts";
  }

  ::testing::AssertionResult advance(std::chrono::milliseconds by) {
    return test_support::advanceAndDeliver(clock_, scheduler_, by);
  }

  static void click(QAbstractButton* button) {
    ASSERT_TRUE(button->isVisible());
    QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
  }

  test_support::TempHome home_;
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  platform::NotificationCenter notifications_;
  RecordingPresenter presenter_;
  connection::AlertHelpers alerts_{presenter_, notifications_, {}, platform::mainQueue()};
  LoginItem loginItem_{home_.configHome(), "/opt/Vandrel.app/Contents/Library/LoginItems/"
                                           "Vandrel_Launcher.app/Contents/MacOS/Vandrel_Launcher"};
  std::optional<std::string> helpCenter_;
  std::vector<std::string> opened_;
  std::atomic<bool> resetSucceeds_{true};
  std::atomic<bool> resetRanOnMain_{true};
  int updateChecks_ = 0;
  QWidget host_;
  QPointer<SettingView> panel_;
};

TEST_F(SettingViewTest, WithNothingStoredBothSwitchesAreOffAndTheVersionShows) {
  SettingView& panel = open();
  EXPECT_EQ(panel.versionLAbel()->text(), QStringLiteral("Vandrel v2.4.1(317)"));
  EXPECT_EQ(panel.autoConnectButton()->text(), QStringLiteral(" Auto connect after Vandrel launch"));
  EXPECT_EQ(panel.autoLaunchButton()->text(), QStringLiteral(" Auto launch Vandrel after power on"));
  EXPECT_FALSE(panel.autoConnectButton()->isChecked());
  EXPECT_FALSE(panel.autoLaunchButton()->isChecked());
  EXPECT_EQ(panel.homeUrlButton()->text(), QString::fromUtf8(kHome));
}

TEST_F(SettingViewTest, StoredSwitchesShowChecked) {
  defaults().set("isAutoConnect", true);
  defaults().set("isAutoLaunch", true);
  SettingView& panel = open();
  EXPECT_TRUE(panel.autoConnectButton()->isChecked());
  EXPECT_TRUE(panel.autoLaunchButton()->isChecked());
}

TEST_F(SettingViewTest, AutoConnectStoresEachClickOnDisk) {
  SettingView& panel = open();
  click(panel.autoConnectButton());
  EXPECT_TRUE(panel.autoConnectButton()->isChecked());
  // A fresh read of the file, as the next launch would do it.
  EXPECT_EQ(platform::Defaults(defaults().path()).getBool("isAutoConnect"), true);
  EXPECT_FALSE(fs::exists(autostartEntry()));

  click(panel.autoConnectButton());
  EXPECT_EQ(platform::Defaults(defaults().path()).getBool("isAutoConnect"), false);
}

// A switch changed without a click counts as much: the toggle of a screen
// reader and the space bar. Filling the boxes stores and registers nothing.
TEST_F(SettingViewTest, TheSwitchesFollowEveryWayOfChangingThem) {
  SettingView& panel = open();
  struct Case {
    const char* name;
    std::function<void(QCheckBox*)> change;
  };
  const Case cases[] = {
      {"assistive toggle",
       [](QCheckBox* box) {
         QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(box);
         ASSERT_NE(accessible, nullptr);
         ASSERT_NE(accessible->actionInterface(), nullptr);
         ASSERT_TRUE(accessible->actionInterface()->actionNames().contains(
             QAccessibleActionInterface::toggleAction()));
         accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
       }},
      {"space bar",
       [](QCheckBox* box) {
         box->setFocus();
         QTest::keyClick(box, Qt::Key_Space);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool on : {true, false}) {
      c.change(panel.autoConnectButton());
      c.change(panel.autoLaunchButton());
      EXPECT_EQ(platform::Defaults(defaults().path()).getBool("isAutoConnect"), on);
      EXPECT_EQ(platform::Defaults(defaults().path()).getBool("isAutoLaunch"), on);
      EXPECT_EQ(fs::exists(autostartEntry()), on);
    }
  }

  // The stored values go into the boxes; the entry stays as the login item
  // left it (removed by hand here), and nothing is stored back.
  defaults().set("isAutoLaunch", true);
  panel.viewWillMoveToSuperview();
  EXPECT_TRUE(panel.autoLaunchButton()->isChecked());
  EXPECT_FALSE(fs::exists(autostartEntry()));
}

TEST_F(SettingViewTest, AutoLaunchWritesTheAutostartEntryAndRemovesItAgain) {
  SettingView& panel = open();
  click(panel.autoLaunchButton());
  EXPECT_EQ(platform::Defaults(defaults().path()).getBool("isAutoLaunch"), true);
  ASSERT_TRUE(fs::exists(autostartEntry()));
  std::ifstream entry(autostartEntry());
  const std::string text((std::istreambuf_iterator<char>(entry)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("Vandrel_Launcher.app/Contents/MacOS/Vandrel_Launcher"), std::string::npos);

  click(panel.autoLaunchButton());
  EXPECT_EQ(platform::Defaults(defaults().path()).getBool("isAutoLaunch"), false);
  EXPECT_FALSE(fs::exists(autostartEntry()));
}

TEST_F(SettingViewTest, AFailedLoginItemRegistrationKeepsTheUsersChoice) {
  // A file where the autostart folder belongs: the entry cannot be written.
  std::ofstream(home_.configHome() / "autostart") << "not a folder";
  SettingView& panel = open();
  click(panel.autoLaunchButton());
  EXPECT_TRUE(panel.autoLaunchButton()->isChecked());
  EXPECT_EQ(defaults().getBool("isAutoLaunch"), true);
  EXPECT_TRUE(presenter_.alerts().empty());
}

TEST_F(SettingViewTest, LinksOpenTheirPages) {
  struct Case {
    const char* name;
    std::optional<std::string> helpCenter;
    QPushButton* (SettingView::*button)() const;
    std::string expected;
  };
  const std::string home = kHome;
  const Case cases[] = {
      {"home page", std::nullopt, &SettingView::homeUrlButton, home},
      {"catalogue help centre", "https://help.vandrel.example/faq",
       &SettingView::helpCenterButton, "https://help.vandrel.example/faq"},
      {"empty help centre", std::string(), &SettingView::helpCenterButton, home + "/help-center"},
      {"no help centre", std::nullopt, &SettingView::helpCenterButton, home + "/help-center"},
      {"terms", std::nullopt, &SettingView::termsButton, core::termsURL()},
      {"privacy", std::nullopt, &SettingView::privacyButton, core::privacyURL()},
  };
  SettingView& panel = open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    opened_.clear();
    helpCenter_ = c.helpCenter;
    click((panel.*c.button)());
    EXPECT_EQ(opened_, std::vector<std::string>{c.expected});
  }
  EXPECT_EQ(core::termsURL(), core::webSiteAddress() + "/terms");
  EXPECT_EQ(core::privacyURL(), core::webSiteAddress() + "/privacy");
}

TEST_F(SettingViewTest, CheckForUpdatesAsksTheUpdaterOnce) {
  SettingView& panel = open();
  click(panel.checkUpdateButton());
  EXPECT_EQ(updateChecks_, 1);
}

TEST_F(SettingViewTest, ResetNetworkRunsOffTheGuiThreadAndReportsItsOutcome) {
  SettingView& panel = open();
  click(panel.resetNetworkButton());
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_FALSE(resetRanOnMain_.load());
  resetSucceeds_ = false;
  click(panel.resetNetworkButton());
  ASSERT_TRUE(waitForAlerts(2));
  EXPECT_EQ(presenter_.alerts(), (std::vector<AlertContent>{notice("Reset Network Success"),
                                                            notice("Reset Network Failed")}));
}

TEST_F(SettingViewTest, WipeCacheForgetsEveryStoredChoiceButNotTheLoginItem) {
  defaults().set("isAutoConnect", true);
  defaults().set(kCloseOptionKey, std::int64_t{kCloseOptionKeepRunning});
  SettingView& panel = open();
  click(panel.autoLaunchButton());
  ASSERT_TRUE(fs::exists(autostartEntry()));
  core::LogUtil::logFilePath();  // the log file and its folder exist
  ASSERT_TRUE(fs::exists(home_.dataCache()));

  click(panel.wipeCacheButton());
  EXPECT_FALSE(fs::exists(home_.dataCache()));
  const platform::Defaults reread(defaults().path());
  EXPECT_EQ(reread.getBool("isAutoConnect"), std::nullopt);
  EXPECT_EQ(reread.getBool("isAutoLaunch"), std::nullopt);
  // The close alert asks again at the next launch.
  EXPECT_EQ(readCloseOption(reread), kCloseOptionAsk);
  // The launcher stays registered.
  EXPECT_TRUE(fs::exists(autostartEntry()));

  // The notice comes 0.3 s later.
  ASSERT_TRUE(advance(299ms));
  EXPECT_TRUE(presenter_.alerts().empty());
  ASSERT_TRUE(advance(1ms));
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_EQ(presenter_.alerts(), std::vector<AlertContent>{notice("Wipe Cache Success")});

  // The open panel keeps what it showed until it is filled again.
  EXPECT_TRUE(panel.autoConnectButton()->isChecked());
  EXPECT_TRUE(panel.autoLaunchButton()->isChecked());
  panel.viewWillMoveToSuperview();
  EXPECT_FALSE(panel.autoConnectButton()->isChecked());
  EXPECT_FALSE(panel.autoLaunchButton()->isChecked());
}

TEST_F(SettingViewTest, BackTakesThePanelAwayAndFillsItOnTheWayOut) {
  SettingView& panel = open();
  QSignalSpy removed(&panel, &SettingView::removedFromSuperview);
  defaults().set("isAutoConnect", true);
  QPointer<QCheckBox> autoConnect = panel.autoConnectButton();
  click(panel.backButton());
  EXPECT_EQ(removed.count(), 1);
  EXPECT_TRUE(host_.findChildren<SettingView*>().isEmpty());
  ASSERT_TRUE(autoConnect);
  EXPECT_TRUE(autoConnect->isChecked());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(panel_.isNull());
}

// The panel lies over the main window's dark face: every title on it,
// the way back first, reads against it, switched on or off.
TEST_F(SettingViewTest, EveryTextAndIconOnThePanelCanBeRead) {
  for (const bool stored : {false, true}) {
    SCOPED_TRACE(stored ? "switches on" : "switches off");
    defaults().set("isAutoConnect", stored);
    defaults().set("isAutoLaunch", stored);
    SettingView& panel = open();
    EXPECT_TRUE(test_support::everythingReadable(panel));
    delete panel_.data();
  }
}

}  // namespace
}  // namespace vandrel::app
