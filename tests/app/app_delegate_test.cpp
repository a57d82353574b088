// The application delegate: what closing the main window does for each
// close option, reopen, quit, the update item, the launch-time helper
// check and reachability listener, and its session-bus steps (launcher
// hand-over, one running copy, reopen by a second start) on the private
// session bus the test runs on.

#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/close_option.h"
#include "app/launcher_protocol.h"
#include "connection/alert_helpers.h"
#include "connection/daemon_register.h"
#include "connection/helper_client.h"
#include "connection/qv_connection_manager.h"
#include "core/connection_port.h"
#include "core/log_util.h"
#include "core/network_reachability_manager.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "tests/app/app_test_support.h"
#include "tests/support/temp_dir.h"
#include "tests/support/temp_home.h"

namespace vandrel::app {
namespace {

namespace protocol = launcher_protocol;
using test_support::LauncherOnBus;
using test_support::qs;

// Answers alerts from a script and keeps what they showed.
class ScriptedAlerts final : public connection::AlertPresenter {
 public:
  void dismissProgressHUD() override {}
  std::int64_t runModal(const connection::AlertContent& alert) override {
    shown.push_back(alert);
    if (answers.empty()) return 0;
    const std::int64_t answer = answers.front();
    answers.pop_front();
    return answer;
  }

  std::deque<std::int64_t> answers;
  std::vector<connection::AlertContent> shown;
};

bool logShows(std::string_view message) {
  platform::mainQueue().runPending();
  const auto& lines = core::LogUtil::displayedLines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.ends_with(message); });
}

class AppDelegateTest : public testing::Test {
 protected:

  void SetUp() override {
    setCloseOption(kCloseOptionAsk);
    statusPosts_ = notifications_.addObserver(
        std::string(core::kVPNStatusChangeNotification), nullptr, std::nullopt,
        [this](const platform::Notification&) { ++statusPostCount_; });
    delegate_ = std::make_unique<AppDelegate>(AppDelegate::Environment{
        .defaults = &defaults_,
        .notifications = &notifications_,
        .mainQueue = &platform::mainQueue(),
        .alerts = &alerts_,
        .exitProcess = [this](int status) { exits_.push_back(status); },
        .quitApplication = [this] { ++quits_; },
    });
    window_ = new QMainWindow;
    delegate_->setMainWindow(window_);
    window_->show();
  }
  void TearDown() override {
    delete window_;
    delegate_.reset();
    notifications_.removeObserver(statusPosts_);
    platform::mainQueue().runPending();
  }

  std::optional<std::int64_t> storedCloseOption() const {
    return platform::Defaults(dir_ / "defaults.json").getInt(kCloseOptionKey);
  }

  test_support::TempDir dir_{"app-delegate"};
  platform::Defaults defaults_{dir_ / "defaults.json"};
  platform::NotificationCenter notifications_;
  ScriptedAlerts alerts_;
  std::unique_ptr<AppDelegate> delegate_;
  QMainWindow* window_ = nullptr;
  platform::ObserverToken statusPosts_;
  int statusPostCount_ = 0;
  std::vector<int> exits_;
  int quits_ = 0;
};

TEST_F(AppDelegateTest, ClosingTheMainWindowAsksQuitsOrHidesAsCloseOptionSays) {
  struct Case {
    const char* name;
    std::uint8_t option;
    std::optional<std::int64_t> answer;  // none: no alert expected
    std::uint8_t optionAfter;
    std::optional<std::int64_t> stored;
    int statusPosts;
    bool exits;
  };
  const Case cases[] = {
      {"ask, keep running", kCloseOptionAsk, connection::kAlertFirstButtonReturn,
       kCloseOptionKeepRunning, 2, 1, false},
      {"ask, quit", kCloseOptionAsk, connection::kAlertSecondButtonReturn, kCloseOptionQuit, 1, 0,
       true},
      {"ask, dismissed", kCloseOptionAsk, 0, kCloseOptionAsk, 0, 0, false},
      {"keep running", kCloseOptionKeepRunning, std::nullopt, kCloseOptionKeepRunning,
       std::nullopt, 0, false},
      {"quit", kCloseOptionQuit, std::nullopt, kCloseOptionQuit, std::nullopt, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    defaults_.remove(kCloseOptionKey);
    setCloseOption(c.option);
    alerts_.shown.clear();
    if (c.answer) alerts_.answers = {*c.answer};
    statusPostCount_ = 0;
    exits_.clear();
    window_->show();

    // The window system's close: never closed, only hidden or ended.
    EXPECT_FALSE(window_->close());

    ASSERT_EQ(alerts_.shown.size(), c.answer ? 1u : 0u);
    if (c.answer) {
      const connection::AlertContent& alert = alerts_.shown.front();
      EXPECT_EQ(alert.title, "Keep running in the background");
      EXPECT_EQ(alert.message,
                "VPN will disconnect if Vandrel terminate, you can keep running Vandrel in the "
                "background.");
      EXPECT_EQ(alert.button1, "Keep running");
      EXPECT_EQ(alert.button2, std::optional<std::string>("Quit"));
    }
    EXPECT_EQ(closeOption(), c.optionAfter);
    EXPECT_EQ(storedCloseOption(), c.stored);
    EXPECT_EQ(statusPostCount_, c.statusPosts);
    EXPECT_EQ(exits_, c.exits ? std::vector<int>{0} : std::vector<int>{});
    if (!c.exits) {
      EXPECT_FALSE(window_->isVisible());
    }
    // Ending the process at once: the quit handler never runs.
    platform::mainQueue().runPending();
    EXPECT_EQ(quits_, 0);
  }
}

TEST_F(AppDelegateTest, QuitsAfterTheLastWindowOnlyWhenCloseOptionIsQuit) {
  const std::pair<std::uint8_t, bool> cases[] = {
      {kCloseOptionAsk, false}, {kCloseOptionQuit, true}, {kCloseOptionKeepRunning, false}};
  for (const auto& [option, quits] : cases) {
    setCloseOption(option);
    EXPECT_EQ(delegate_->applicationShouldTerminateAfterLastWindowClosed(), quits) << int(option);
  }
}

TEST_F(AppDelegateTest, ReopenBringsHiddenWindowsBackAndAnswersTheInverseOfVisibility) {
  // Windows showing: nothing to do.
  EXPECT_FALSE(delegate_->applicationShouldHandleReopen(delegate_->hasVisibleWindows()));

  window_->hide();
  ASSERT_FALSE(delegate_->hasVisibleWindows());
  EXPECT_TRUE(delegate_->applicationShouldHandleReopen(false));
  // Queued on the main queue, not done in place.
  EXPECT_FALSE(window_->isVisible());
  platform::mainQueue().runPending();
  EXPECT_TRUE(window_->isVisible());

  // No window at all: still yes.
  delegate_->setMainWindow(nullptr);
  window_->hide();
  EXPECT_TRUE(delegate_->applicationShouldHandleReopen(delegate_->hasVisibleWindows()));
  platform::mainQueue().runPending();
  EXPECT_FALSE(window_->isVisible());
}

// The tray icon lives in a small top-level window of its own, made as Qt
// makes it under X11 (the window manager never manages it). It shows for
// as long as the tray does; with the main window hidden, a second start
// must still bring the main window back.
TEST_F(AppDelegateTest, TheTrayIconsOwnWindowIsNoVisibleWindowOfTheApplication) {
  QWidget trayIconWindow(nullptr,
                         Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
  trayIconWindow.resize(22, 22);
  trayIconWindow.show();
  window_->hide();

  EXPECT_FALSE(delegate_->hasVisibleWindows());
  EXPECT_FALSE(delegate_->applicationWindows().contains(&trayIconWindow));
  delegate_->reopenApplication();
  platform::mainQueue().runPending();
  EXPECT_TRUE(window_->isVisible());
}

TEST_F(AppDelegateTest, OpenWindowsShowsTheHiddenMainWindow) {
  window_->hide();
  delegate_->openWindows();
  platform::mainQueue().runPending();
  EXPECT_TRUE(window_->isVisible());
}

TEST_F(AppDelegateTest, QuitLogsAndEndsTheLoopAfterTheLogLine) {
  EXPECT_TRUE(delegate_->applicationShouldTerminate());
  EXPECT_EQ(quits_, 0);

  delegate_->terminate();
  EXPECT_EQ(quits_, 0);
  platform::mainQueue().runPending();
  EXPECT_EQ(quits_, 1);
  EXPECT_TRUE(exits_.empty());
}

TEST(AppDelegateQuitTest, QuitEndsTheRunningLoopWithoutTheCloseAlert) {
  // The application's own quit, on a running event loop with the main
  // window showing: the close alert belongs to closing the window, not to
  // quitting, and its answer would be stored.
  setCloseOption(kCloseOptionAsk);
  ScriptedAlerts alerts;
  alerts.answers = {connection::kAlertFirstButtonReturn};
  AppDelegate delegate(AppDelegate::standard(alerts));
  QMainWindow window;
  delegate.setMainWindow(&window);
  window.show();

  QTimer::singleShot(0, &delegate, [&delegate] {
    delegate.terminate();
    platform::mainQueue().runPending();
  });
  // A quit that leaves the loop running ends it here instead, with 1.
  QTimer stuck;
  stuck.setSingleShot(true);
  QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  stuck.start(10000);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(alerts.shown.empty());
  EXPECT_EQ(closeOption(), kCloseOptionAsk);
  EXPECT_TRUE(window.isVisible());
}

TEST_F(AppDelegateTest, UpdateItemGoesToIndexOneOfTheApplicationMenu) {
  QMenuBar* bar = delegate_->mainMenu();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(window_->menuBar(), bar);
  delegate_->insertUpdateItem();
  QMenu* applicationMenu = bar->actions().first()->menu();
  ASSERT_NE(applicationMenu, nullptr);
  QStringList titles;
  for (QAction* action : applicationMenu->actions()) titles << action->text();
  ASSERT_GE(titles.size(), 2);
  EXPECT_EQ(titles.at(1), QStringLiteral("检查更新"));
  EXPECT_EQ(titles.count(QStringLiteral("检查更新")), 1);
  // Its action (no update framework here) does nothing, harmlessly.
  applicationMenu->actions().at(1)->trigger();
}

// ---- Launch steps -----------------------------------------------------------

// Records what the launch asks of the helper.
class RecordingHelper final : public connection::HelperClient {
 public:
  std::int32_t authorizationStatus() const override { return status; }
  void setAuthorizationStatus(std::int32_t value) override { status = value; }
  void registerDaemon(std::function<void(std::string)>, platform::Queue&) override {}
  void checkDaemonCallBack(StringCallBack callBack) override {
    ++versionQuestions;
    callBack("1024");
  }
  void checkAndLoad(StringCallBack) override {}
  void reloadAndClear(StringCallBack) override {}
  void deleteRoutes(std::vector<std::string>, StringCallBack) override {}
  void debugInfoCallBack(StringCallBack) override {}
  void deleteRoutesWhenAppKilled(std::vector<std::string>) override {}
  connection::CommandResult runSystemCommand(const std::string&) override { return {}; }
  std::optional<std::string> goServicePath() const override { return std::nullopt; }

  std::int32_t status = connection::DaemonRegister::kStatusUnknown;
  int versionQuestions = 0;
};

TEST(LaunchStepsTest, HelperIsAskedForItsVersionOnlyWhenVersionEightIsStored) {
  test_support::TempDir dir("helper-check");
  struct Case {
    const char* name;
    std::optional<platform::Value> stored;
    bool asks;
  };
  const Case cases[] = {
      {"8", platform::Value(std::int64_t{8}), true},
      {"7", platform::Value(std::int64_t{7}), false},
      {"absent", std::nullopt, false},
      {"text 8", platform::Value(std::string("8")), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::Defaults defaults(dir / (std::string(c.name) + ".json"));
    if (c.stored) defaults.set("qv_daemonVersionKey", *c.stored);
    RecordingHelper helper;
    std::optional<std::optional<std::string>> answer;
    EXPECT_EQ(checkHelperAtLaunch(defaults, helper, [&](auto reply) { answer = reply; }), c.asks);
    EXPECT_EQ(helper.versionQuestions, c.asks ? 1 : 0);
    if (c.asks) {
      EXPECT_EQ(answer, std::optional<std::optional<std::string>>(std::string("1024")));
      EXPECT_EQ(helper.status, connection::DaemonRegister::kStatusUnknown);
      EXPECT_TRUE(logShows("[LOG]: launch check daemon"));
    } else {
      EXPECT_FALSE(answer.has_value());
      EXPECT_EQ(helper.status, connection::DaemonRegister::kStatusNeedsInstall);
      EXPECT_TRUE(logShows("[LOG]: need authorization: version"));
    }
  }
}

TEST(LaunchStepsTest, StoredCloseOptionOutsideZeroToTwoReadsAsAsk) {
  test_support::TempDir dir("close-option");
  platform::Defaults defaults(dir / "defaults.json");
  struct Case {
    const char* name;
    std::optional<platform::Value> stored;
    std::uint8_t option;
  };
  const Case cases[] = {
      {"0", platform::Value(std::int64_t{0}), kCloseOptionAsk},
      {"1", platform::Value(std::int64_t{1}), kCloseOptionQuit},
      {"2", platform::Value(std::int64_t{2}), kCloseOptionKeepRunning},
      {"3", platform::Value(std::int64_t{3}), kCloseOptionAsk},
      {"255", platform::Value(std::int64_t{255}), kCloseOptionAsk},
      {"258 (2 in its low byte)", platform::Value(std::int64_t{258}), kCloseOptionAsk},
      {"-1", platform::Value(std::int64_t{-1}), kCloseOptionAsk},
      {"text", platform::Value(std::string("2")), kCloseOptionAsk},
      {"absent", std::nullopt, kCloseOptionAsk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored) {
      defaults.set(kCloseOptionKey, *c.stored);
    } else {
      defaults.remove(kCloseOptionKey);
    }
    setCloseOption(kCloseOptionKeepRunning);
    if (c.option == kCloseOptionKeepRunning) setCloseOption(kCloseOptionAsk);
    loadCloseOption(defaults);
    EXPECT_EQ(closeOption(), c.option);
  }
}

TEST(LaunchStepsTest, ReachabilityListenerWritesTheNetworkFacts) {
  test_support::TempDir dir("reachability");
  platform::Defaults defaults(dir / "defaults.json");
  platform::NotificationCenter notifications;
  connection::NoSystemVpnSource systemVpn;
  connection::qv_ConnectionManager connection(defaults, notifications, systemVpn);
  auto source = std::make_unique<platform::ManualReachabilitySource>();
  platform::ManualReachabilitySource& flags = *source;
  core::NetworkReachabilityManager monitor(std::move(source));
  flags.setFlags(platform::reachability_flags::kReachable);
  startReachabilityListener(monitor, connection);
  platform::mainQueue().runPending();
  EXPECT_TRUE(connection.isReachable());
  EXPECT_EQ(connection.connectNetwork(), "wifi");

  flags.change(0);
  platform::mainQueue().runPending();
  EXPECT_FALSE(connection.isReachable());
  EXPECT_EQ(connection.connectNetwork(), "offline");
  monitor.stopListening();

  using Status = core::NetworkReachabilityStatus;
  struct Case {
    const char* name;
    Status status;
    bool reachable;
    std::string network;
  };
  const Case cases[] = {
      {"wired or wireless", Status::reachable(core::ConnectionType::ethernetOrWiFi), true, "wifi"},
      {"wwan", Status::reachable(core::ConnectionType::wwan), true, "wwan"},
      {"unknown keeps the network", Status::unknown(), false, "wwan"},
      {"not reachable", Status::notReachable(), false, "offline"},
      {"unknown after offline", Status::unknown(), false, "offline"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connection.setIsReachable(!c.reachable);
    updateNetworkState(connection, c.status);
    EXPECT_EQ(connection.isReachable(), c.reachable);
    EXPECT_EQ(connection.connectNetwork(), c.network);
  }
}

// ---- The session bus --------------------------------------------------------

class SessionBusTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus";
  }
};

TEST_F(SessionBusTest, KillNotificationGoesOutOnceOnlyWhenTheLauncherRuns) {
  const QString self = qs(protocol::kMainAppBundleIdentifier);
  {
    LauncherOnBus listener(QStringLiteral("listener-only"), false);
    EXPECT_FALSE(handOverToLauncher(QDBusConnection::sessionBus(), self));
    QTest::qWait(100);
    EXPECT_TRUE(listener.objects.isEmpty());
  }
  // Two copies of the launcher: one owns the name, both hear one signal.
  LauncherOnBus first(QStringLiteral("launcher-1"), true);
  LauncherOnBus second(QStringLiteral("launcher-2"), false);
  EXPECT_TRUE(handOverToLauncher(QDBusConnection::sessionBus(), self));
  EXPECT_TRUE(QTest::qWaitFor([&] { return first.objects.size() == 1 && second.objects.size() == 1; },
                              5000));
  QTest::qWait(100);
  EXPECT_EQ(first.objects, QStringList{self});
  EXPECT_EQ(second.objects, QStringList{self});
}

TEST_F(SessionBusTest, SecondStartFindsTheApplicationRunningAndReopensIt) {
  platform::NotificationCenter notifications;
  ScriptedAlerts alerts;
  test_support::TempDir dir("reopen");
  platform::Defaults defaults(dir / "defaults.json");
  AppDelegate delegate(AppDelegate::Environment{
      .defaults = &defaults,
      .notifications = &notifications,
      .mainQueue = &platform::mainQueue(),
      .alerts = &alerts,
      .exitProcess = [](int) {},
      .quitApplication = [] {},
  });
  QMainWindow window;
  delegate.setMainWindow(&window);

  const QDBusConnection running = QDBusConnection::sessionBus();
  ASSERT_EQ(claimApplicationBusName(running), InstanceClaim::Claimed);
  ASSERT_TRUE(delegate.exportApplicationObject(running));

  const QDBusConnection second =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second-start"));
  EXPECT_EQ(claimApplicationBusName(second), InstanceClaim::AlreadyRunning);
  // The running copy answers from this thread's event loop: ask from another.
  auto reopened = std::async(std::launch::async,
                             [&second] { return askRunningApplicationToReopen(second); });
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return reopened.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      10000));
  EXPECT_TRUE(reopened.get());
  platform::mainQueue().runPending();
  EXPECT_TRUE(window.isVisible());

  QDBusConnection::disconnectFromBus(QStringLiteral("second-start"));
  running.interface()->unregisterService(qs(protocol::kMainAppBusName));
}

TEST_F(SessionBusTest, NoRunningApplicationMeansNoReopen) {
  const QDBusConnection bus =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("lonely-start"));
  EXPECT_FALSE(askRunningApplicationToReopen(bus));
  QDBusConnection::disconnectFromBus(QStringLiteral("lonely-start"));
}

}  // namespace
}  // namespace vandrel::app

