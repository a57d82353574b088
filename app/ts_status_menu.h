#pragma once

#include <QMenu>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/connection_port.h"
#include "platform/notification_center.h"

class QAction;

namespace vandrel::core {
class LineItem;
}
namespace vandrel::platform {
class Defaults;
class Queue;
}  // namespace vandrel::platform
namespace vandrel::connection {
class qv_ConnectionManager;
}

namespace vandrel::app {

// The tray icon's menu: the connection status and the current line,
// connect / disconnect, "Keep in Menu Bar" (what closing the main window
// does), "Open Window" and "Quit". It follows the connection manager
// through "VPNStatusChangeNotification" and swaps the tray icon between
// "widget-on" and "widget-off"; its connect item asks the main window to
// toggle through "WidgetConnectDidClickNotification".
//
// GUI thread (the main queue); the notification may come from any thread,
// and the update runs on the main queue.
class TSStatusMenu : public QMenu {
  Q_OBJECT

 public:
  static constexpr std::string_view kMenuTitle = "TSStatusMenu";
  static constexpr std::string_view kStatusPrefix = "Vandrel: ";
  static constexpr std::string_view kLocationPrefix = "Current Location: ";
  static constexpr std::string_view kNoLocation = "None";
  static constexpr std::string_view kStartConnect = "Start connect";
  static constexpr std::string_view kDisconnect = "Disconnect";
  static constexpr std::string_view kKeepInMenuBar = "Keep in Menu Bar";
  static constexpr std::string_view kOpenWindow = "Open Window";
  static constexpr std::string_view kQuit = "Quit";

  // What the menu reaches of the rest of the application.
  struct Environment {
    connection::qv_ConnectionManager* connection = nullptr;
    platform::NotificationCenter* notifications = nullptr;
    platform::Defaults* defaults = nullptr;  // closeOption is stored here
    platform::Queue* mainQueue = nullptr;
    // The lines manager's current line, read and replaced.
    std::function<std::shared_ptr<core::LineItem>()> currentLine;
    std::function<void(std::shared_ptr<core::LineItem>)> setCurrentLine;
  };
  // What "Open Window" and "Quit" do: the application delegate's.
  struct ApplicationActions {
    std::function<void()> openWindows;
    std::function<void()> terminate;
  };

  // The process's menu (leaked), made on first use over the shared
  // connection manager, lines manager, notification center, standard
  // defaults and the main queue. GUI thread.
  static TSStatusMenu& shared();

  // Builds the items and observes the status.
  explicit TSStatusMenu(Environment environment, QWidget* parent = nullptr);
  ~TSStatusMenu() override;

  // The tray icon whose picture this menu sets.
  void setStatusItem(QSystemTrayIcon* statusItem);
  QSystemTrayIcon* statusItem() const { return statusItem_; }
  void setApplicationActions(ApplicationActions actions);

  // The status last shown: off until the first status change.
  core::qv_ConnectStatus connectStatus() const { return connectStatus_; }
  // "Vandrel: " + the word of a status.
  static QString statusTitle(core::qv_ConnectStatus status);

  QAction* connectStatusMenuItem() const { return connectStatusMenuItem_; }
  QAction* lineNameMenuItem() const { return lineNameMenuItem_; }
  QAction* connectSwitchMenuItem() const { return connectSwitchMenuItem_; }
  QAction* launchWindowsItem() const { return launchWindowsItem_; }
  QAction* quitSettingItem() const { return quitSettingItem_; }
  QAction* quitItem() const { return quitItem_; }

  // Follows the connection manager's status (see the class comment).
  void updateStatus();
  // The tray icon becomes "widget-" + word ("on", "off"), 20 x 20.
  void setStatusIcon(std::string_view word);

  // ---- Actions --------------------------------------------------------------
  // Asks the main window to toggle the connection.
  void link();
  // The check mark of "Keep in Menu Bar" has just flipped: checked keeps
  // running in the tray (2), unchecked quits on close (1); stored.
  void quitSettingWithItem(QAction* item);
  // Brings the application's windows back.
  void openWindows();
  // Queues the application's terminate (its quit handler runs).
  void quit();
  // Chooses the connect mode whose title is `title`; none matching: nothing.
  // Leaving or entering the media mode makes the automatic line current;
  // then a connected tunnel reconnects in the new mode, an idle one
  // connects, and one that is changing is left alone.
  void subWithMenuItem(const QString& title);

 private:
  QAction* makeMenuItem(const QString& title, bool state, void (TSStatusMenu::*action)());
  void setupMenu();
  QString currentLocationTitle() const;

  Environment env_;
  ApplicationActions actions_;
  QPointer<QSystemTrayIcon> statusItem_;
  core::qv_ConnectStatus connectStatus_ = core::qv_ConnectStatus::qv_off;
  QAction* connectStatusMenuItem_ = nullptr;
  QAction* lineNameMenuItem_ = nullptr;
  QAction* connectSwitchMenuItem_ = nullptr;
  QAction* launchWindowsItem_ = nullptr;
  QAction* quitSettingItem_ = nullptr;
  QAction* quitItem_ = nullptr;
  platform::ObserverToken statusObserver_;
  // Jobs queued by the menu check it: a test's menu may go first.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vandrel::app
