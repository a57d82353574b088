#pragma once

#include <QDBusConnection>
#include <QMenuBar>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <QWidgetList>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/network_reachability_manager.h"

class QMenu;
class QSystemTrayIcon;

namespace vandrel::platform {
class Defaults;
class NotificationCenter;
class Queue;
}  // namespace vandrel::platform
namespace vandrel::connection {
class AlertPresenter;
class HelperClient;
class qv_ConnectionManager;
}  // namespace vandrel::connection

namespace vandrel::app {

// ---- Launch steps that stand alone ------------------------------------------------

// The reachability listener: reachable sets isReachable and connectNetwork
// "wifi" (wired or wireless) or "wwan"; not reachable clears isReachable
// and sets "offline"; unknown clears isReachable and leaves the network.
void updateNetworkState(connection::qv_ConnectionManager& connection,
                        core::NetworkReachabilityStatus status);
// Points the monitor's listener at updateNetworkState for `connection` and
// starts it (reports arrive on the monitor's listener queue, the main queue).
void startReachabilityListener(core::NetworkReachabilityManager& monitor,
                               connection::qv_ConnectionManager& connection);

// The launch-time helper check: with helper version 8 stored under
// "qv_daemonVersionKey" the helper is asked for its version and the answer
// goes to `onAnswer` (on the helper client's queue); with any other value,
// or none, the helper is marked as needing installation (status 2), which
// happens on the first connect. Returns whether the helper was asked.
bool checkHelperAtLaunch(const platform::Defaults& defaults, connection::HelperClient& helper,
                         std::function<void(std::optional<std::string>)> onAnswer);

// The launcher hand-over: when the launcher's name is on `bus`, emits the
// kill notification once with `bundleIdentifier` as its object. Returns
// whether it was sent.
bool handOverToLauncher(const QDBusConnection& bus, const QString& bundleIdentifier);

// One running application per session: the first start owns the bus name
// of the bundle identifier; a later one finds it taken.
enum class InstanceClaim { Claimed, AlreadyRunning, NoBus };
InstanceClaim claimApplicationBusName(const QDBusConnection& bus);
// Asks the running application (the owner of the bus name) to reopen.
// Returns whether it answered.
bool askRunningApplicationToReopen(const QDBusConnection& bus);

// ---- The application delegate -----------------------------------------------------

// Starts the application (the launch sequence), decides what closing the
// main window and quitting do, and brings the windows back when the
// application is reopened (a left click on the tray icon, or a second start
// of the application). It owns the tray icon, the main window and its menu
// bar.
//
// GUI thread (the main queue) only.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  static constexpr std::string_view kKeepRunningTitle = "Keep running in the background";
  static constexpr std::string_view kKeepRunningMessage =
      "VPN will disconnect if Vandrel terminate, you can keep running Vandrel in the background.";
  static constexpr std::string_view kKeepRunningButton = "Keep running";
  static constexpr std::string_view kQuitButton = "Quit";
  static constexpr std::string_view kCheckUpdateTitle = "检查更新";
  // The host the reachability monitor watches (no name lookup happens).
  static constexpr std::string_view kReachabilityHost = "www.example.com";

  struct Environment {
    platform::Defaults* defaults = nullptr;                 // closeOption, helper version
    platform::NotificationCenter* notifications = nullptr;  // the status change after the alert
    platform::Queue* mainQueue = nullptr;                   // windows come back from here
    connection::AlertPresenter* alerts = nullptr;           // the close alert
    // Ends the process at once with the status (nothing else runs).
    std::function<void(int status)> exitProcess;
    // Ends the event loop (the quit handler has run).
    std::function<void()> quitApplication;
  };
  // The standard defaults, the default notification center, the main
  // queue, `alerts`, _exit and QCoreApplication::exit(0).
  static Environment standard(connection::AlertPresenter& alerts);

  explicit AppDelegate(Environment environment, QObject* parent = nullptr);
  ~AppDelegate() override;

  QSystemTrayIcon* statusItem() const { return statusItem_; }
  // The menu bar of the main window; its first menu is the application menu.
  QMenuBar* mainMenu() const { return mainMenu_; }

  // The launch sequence, in order: reachability, the shared lines manager,
  // session and catalogue, the launcher hand-over, the helper's
  // authorization, the update item, the helper check, closeOption, the tray
  // icon with its menu, the main window.
  void applicationDidFinishLaunching();

  // The window whose close this delegate decides (the main window): its
  // close events go to windowShouldClose, and it gets the main menu when it
  // is a QMainWindow.
  void setMainWindow(QWidget* window);
  QWidget* mainWindow() const { return mainWindow_; }

  // The update item's action. There is no update framework on this
  // platform: it does nothing.
  void checkUpdate();
  // Launch step: "检查更新" (action checkUpdate) at index 1 of the
  // application menu, when the main menu's first item has a menu.
  void insertUpdateItem();

  // Stops nothing (no system tunnel here), logs "[DEBUG]: App should
  // terminate" and answers "terminate now" (true).
  bool applicationShouldTerminate();
  // The quit path: the quit handler, then the end of the event loop, queued
  // on the main queue behind what is already there (the log line's write).
  void terminate();
  // Asks, quits or hides as closeOption says; always false (the window is
  // only ever hidden).
  bool windowShouldClose(QWidget* window);
  bool applicationShouldTerminateAfterLastWindowClosed() const;
  // With visible windows: false, nothing. Otherwise every window of the
  // application is brought to the front (queued on the main queue) and the
  // answer is true, windows or not.
  bool applicationShouldHandleReopen(bool hasVisibleWindows);
  // "Open Window" of the tray menu: brings every window to the front.
  void openWindows();
  // A second start of the application: opening a running application
  // activates it (what shows comes to the front), then it is reopened.
  void reopenApplication();
  // The main window and every other visible top-level window.
  QWidgetList applicationWindows() const;
  bool hasVisibleWindows() const;

  // Serves Reopen on `bus` for a second start of the application.
  bool exportApplicationObject(const QDBusConnection& bus);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildMainMenu();
  void setUpStatusItem();
  void createMainWindow();
  void bringToFront(const QWidgetList& windows);

  Environment env_;
  QSystemTrayIcon* statusItem_ = nullptr;
  // Owned by the main window once it has one, which may go first.
  QPointer<QMenuBar> mainMenu_;
  QPointer<QWidget> mainWindow_;
};

}  // namespace vandrel::app
