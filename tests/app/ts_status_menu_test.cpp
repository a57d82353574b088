// The tray menu over a real connection manager, notification center and
// defaults file: what its items read as the status changes, what each item
// does, and the connect-mode choice.

#include "app/ts_status_menu.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QImage>
#include <QSystemTrayIcon>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/close_option.h"
#include "app/images.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/app_constants.h"
#include "core/connection_port.h"
#include "core/line_item.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/temp_dir.h"
#include "tests/support/temp_home.h"

namespace vandrel::app {
namespace {

using core::ConnectMode;
using core::qv_ConnectStatus;

QImage iconImage(const QIcon& icon) { return icon.pixmap(QSize(20, 20)).toImage(); }

std::shared_ptr<core::LineItem> namedLine(std::optional<std::string> name) {
  core::LineItem::Fields fields;
  fields.id = 42;
  fields.name = std::move(name);
  return core::LineItem::create(std::move(fields));
}

class TSStatusMenuTest : public testing::Test {
 protected:

  void SetUp() override {
    setCloseOption(kCloseOptionAsk);
    clicks_ = notifications_.addObserver(
        std::string(connection::kWidgetConnectDidClickNotification), nullptr, std::nullopt,
        [this](const platform::Notification&) { ++clickCount_; });
  }
  void TearDown() override {
    notifications_.removeObserver(clicks_);
    platform::mainQueue().runPending();
  }

  std::unique_ptr<TSStatusMenu> makeMenu() {
    auto menu = std::make_unique<TSStatusMenu>(TSStatusMenu::Environment{
        .connection = &connection_,
        .notifications = &notifications_,
        .defaults = &defaults_,
        .mainQueue = &platform::mainQueue(),
        .currentLine = [this] { return currentLine_; },
        .setCurrentLine = [this](std::shared_ptr<core::LineItem> line) { currentLine_ = line; },
    });
    menu->setStatusItem(&tray_);
    menu->setApplicationActions({.openWindows = [this] { ++openCount_; },
                                 .terminate = [this] { ++terminateCount_; }});
    tray_.setIcon(appIcon("widget-off"));  // as the launch sets it
    return menu;
  }

  // Announces `status` the way the connect road does, from another thread.
  void announce(qv_ConnectStatus status) {
    connection_.setConnectStatus(status);
    std::thread([this] { notifications_.post(std::string(core::kVPNStatusChangeNotification)); })
        .join();
    platform::mainQueue().runPending();
  }

  bool trayShows(std::string_view image) const {
    return iconImage(tray_.icon()) == iconImage(appIcon(image));
  }

  test_support::TempDir dir_{"status-menu"};
  platform::Defaults defaults_{dir_ / "defaults.json"};
  platform::NotificationCenter notifications_;
  connection::NoSystemVpnSource systemVpn_;
  connection::qv_ConnectionManager connection_{defaults_, notifications_, systemVpn_};
  std::shared_ptr<core::LineItem> currentLine_;
  QSystemTrayIcon tray_;
  platform::ObserverToken clicks_;
  int clickCount_ = 0;
  int openCount_ = 0;
  int terminateCount_ = 0;
};

TEST_F(TSStatusMenuTest, BuildsItsItemsInOrderShowingOffAtStart) {
  auto menu = makeMenu();
  std::vector<QString> titles;
  for (QAction* action : menu->actions()) {
    titles.push_back(action->isSeparator() ? QStringLiteral("---") : action->text());
  }
  EXPECT_EQ(titles, (std::vector<QString>{"Vandrel: Connect", "Current Location: None",
                                          "Start connect", "---", "Keep in Menu Bar",
                                          "Open Window", "Quit"}));
  EXPECT_EQ(menu->title(), QStringLiteral("TSStatusMenu"));
  // The two information lines have no action.
  EXPECT_FALSE(menu->connectStatusMenuItem()->isEnabled());
  EXPECT_FALSE(menu->lineNameMenuItem()->isEnabled());
  EXPECT_TRUE(menu->connectSwitchMenuItem()->isEnabled());
  EXPECT_FALSE(menu->quitSettingItem()->isChecked());
  EXPECT_EQ(menu->connectStatus(), qv_ConnectStatus::qv_off);
}

TEST_F(TSStatusMenuTest, ItemsAndIconFollowEachStatusChange) {
  auto menu = makeMenu();
  currentLine_ = namedLine("Tokyo 01");
  struct Step {
    const char* name;
    qv_ConnectStatus status;
    std::shared_ptr<core::LineItem> line;  // none: keep the current one
    const char* statusTitle;
    const char* location;
    const char* switchTitle;
    const char* icon;
  };
  const Step steps[] = {
      // Connecting and disconnecting change the status line only.
      {"connecting after off", qv_ConnectStatus::qv_connecting, nullptr, "Vandrel: Connecting...",
       "Current Location: None", "Start connect", "widget-off"},
      {"on", qv_ConnectStatus::qv_on, nullptr, "Vandrel: Connected",
       "Current Location: Tokyo 01", "Disconnect", "widget-on"},
      {"disconnecting after on", qv_ConnectStatus::qv_disconnecting, namedLine("Osaka 02"),
       "Vandrel: Disconnecting", "Current Location: Tokyo 01", "Disconnect", "widget-on"},
      {"off", qv_ConnectStatus::qv_off, nullptr, "Vandrel: Connect", "Current Location: None",
       "Start connect", "widget-off"},
      {"on, line without a name", qv_ConnectStatus::qv_on, namedLine(std::nullopt),
       "Vandrel: Connected", "Current Location: None", "Disconnect", "widget-on"},
      {"on, the automatic line", qv_ConnectStatus::qv_on, core::LineItem::automaticLine(),
       "Vandrel: Connected", "Current Location: 自动选择路线", "Disconnect", "widget-on"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    if (step.line) currentLine_ = step.line;
    announce(step.status);
    EXPECT_EQ(menu->connectStatus(), step.status);
    EXPECT_EQ(menu->connectStatusMenuItem()->text(), QString::fromUtf8(step.statusTitle));
    EXPECT_EQ(menu->lineNameMenuItem()->text(), QString::fromUtf8(step.location));
    EXPECT_EQ(menu->connectSwitchMenuItem()->text(), QString::fromUtf8(step.switchTitle));
    EXPECT_TRUE(trayShows(step.icon));
    EXPECT_FALSE(trayShows(std::string_view(step.icon) == "widget-on" ? "widget-off" : "widget-on"));
  }
}

TEST_F(TSStatusMenuTest, KeepInMenuBarTogglesAndStoresCloseOption) {
  setCloseOption(kCloseOptionKeepRunning);
  auto menu = makeMenu();
  QAction* keep = menu->quitSettingItem();
  ASSERT_TRUE(keep->isChecked());

  keep->trigger();
  EXPECT_FALSE(keep->isChecked());
  EXPECT_EQ(closeOption(), kCloseOptionQuit);
  EXPECT_EQ(platform::Defaults(dir_ / "defaults.json").getInt(kCloseOptionKey), 1);

  keep->trigger();
  EXPECT_TRUE(keep->isChecked());
  EXPECT_EQ(closeOption(), kCloseOptionKeepRunning);
  EXPECT_EQ(platform::Defaults(dir_ / "defaults.json").getInt(kCloseOptionKey), 2);

  // A choice made elsewhere (the close alert) shows at the next status.
  setCloseOption(kCloseOptionAsk);
  announce(qv_ConnectStatus::qv_off);
  EXPECT_FALSE(keep->isChecked());
  setCloseOption(kCloseOptionKeepRunning);
  announce(qv_ConnectStatus::qv_off);
  EXPECT_TRUE(keep->isChecked());
}

TEST_F(TSStatusMenuTest, ConnectOpenAndQuitItemsDoTheirJobs) {
  auto menu = makeMenu();
  menu->connectSwitchMenuItem()->trigger();
  EXPECT_EQ(clickCount_, 1);

  menu->launchWindowsItem()->trigger();
  EXPECT_EQ(openCount_, 1);

  // Quit is queued: the menu closes before the application ends.
  menu->quitItem()->trigger();
  EXPECT_EQ(terminateCount_, 0);
  platform::mainQueue().runPending();
  EXPECT_EQ(terminateCount_, 1);
}

TEST_F(TSStatusMenuTest, ModeChoiceSetsTheModeAndConnectsOrReconnects) {
  struct Case {
    const char* name;
    const char* title;
    ConnectMode before;
    qv_ConnectStatus status;
    ConnectMode after;
    bool lineReplaced;
    int clicks;
    bool reconnects;
  };
  const Case cases[] = {
      {"no such title", "Turbo", ConnectMode::web, qv_ConnectStatus::qv_off, ConnectMode::web,
       false, 0, false},
      {"into media mode, connected", "高速影音模式", ConnectMode::web, qv_ConnectStatus::qv_on,
       ConnectMode::ssw, true, 1, true},
      {"out of media mode, connecting", "智能网页", ConnectMode::ssw,
       qv_ConnectStatus::qv_connecting, ConnectMode::smartWeb, true, 0, false},
      {"between web modes, off", "全局应用", ConnectMode::web, qv_ConnectStatus::qv_off,
       ConnectMode::app, false, 1, false},
      {"same media mode, off", "高速影音模式", ConnectMode::ssw, qv_ConnectStatus::qv_off,
       ConnectMode::ssw, false, 1, false},
      {"disconnecting", "全局网页", ConnectMode::app, qv_ConnectStatus::qv_disconnecting,
       ConnectMode::web, false, 0, false},
  };
  auto menu = makeMenu();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connection_.setConnectMode(c.before);
    connection_.setConnectStatus(c.status);
    connection_.setShouldConnectAfterDisconnect(false);
    const auto line = namedLine("Tokyo 01");
    currentLine_ = line;
    clickCount_ = 0;

    menu->subWithMenuItem(QString::fromUtf8(c.title));

    EXPECT_EQ(connection_.connectMode(), c.after);
    EXPECT_EQ(clickCount_, c.clicks);
    EXPECT_EQ(connection_.shouldConnectAfterDisconnect(), c.reconnects);
    if (c.lineReplaced) {
      ASSERT_NE(currentLine_, line);
      EXPECT_EQ(currentLine_->id(), core::LineItem::kAutomaticLineId);
      EXPECT_EQ(currentLine_->name(), std::string(core::LineItem::kAutomaticLineName));
    } else {
      EXPECT_EQ(currentLine_, line);
    }
  }
  // The chosen mode is kept across launches.
  EXPECT_EQ(platform::Defaults(dir_ / "defaults.json").getInt("connectModeCache"),
            static_cast<std::int64_t>(ConnectMode::web));
}

}  // namespace
}  // namespace vandrel::app
