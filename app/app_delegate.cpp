#include "app/app_delegate.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QWidget>

#include <cstdio>
#include <memory>
#include <utility>

#include "app/close_option.h"
#include "app/home_view_controller.h"
#include "app/images.h"
#include "app/launcher_protocol.h"
#include "app/log_view.h"
#include "app/ts_status_menu.h"
#include "connection/alert_helpers.h"
#include "connection/daemon_manager.h"
#include "connection/daemon_register.h"
#include "connection/helper_client.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/app_constants.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/qv_device_info.h"
#include "core/static_data.h"
#include "platform/check.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace vandrel::app {
namespace {

namespace protocol = launcher_protocol;
using core::LogUtil;

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The running application's object on the session bus.
class ApplicationBusObject final : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "com.vandrel.mac.Application")

 public:
  explicit ApplicationBusObject(AppDelegate& delegate) : QObject(&delegate), delegate_(delegate) {}

 public Q_SLOTS:
  // A second start of the application: it is reopened.
  Q_SCRIPTABLE void Reopen() { delegate_.reopenApplication(); }

 private:
  AppDelegate& delegate_;
};
static_assert(protocol::kMainAppInterface == "com.vandrel.mac.Application");
static_assert(protocol::kReopenMethod == "Reopen");

// The monitor of the whole run: made once, never released (its listener
// may run until the process ends). None when the platform gives no source.
core::NetworkReachabilityManager* reachabilityManager() {
  static auto* const manager =
      core::NetworkReachabilityManager::create(AppDelegate::kReachabilityHost).release();
  return manager;
}

}  // namespace

// ---- Launch steps ---------------------------------------------------------------------

void updateNetworkState(connection::qv_ConnectionManager& connection,
                        core::NetworkReachabilityStatus status) {
  using Kind = core::NetworkReachabilityStatus::Kind;
  switch (status.kind) {
    case Kind::reachable:
      connection.setIsReachable(true);
      connection.setConnectNetwork(status.connectionType == core::ConnectionType::wwan ? "wwan"
                                                                                       : "wifi");
      return;
    case Kind::notReachable:
      connection.setIsReachable(false);
      connection.setConnectNetwork("offline");
      return;
    case Kind::unknown:
      connection.setIsReachable(false);
      return;
  }
}

void startReachabilityListener(core::NetworkReachabilityManager& monitor,
                               connection::qv_ConnectionManager& connection) {
  monitor.setListener([&connection](core::NetworkReachabilityStatus status) {
    updateNetworkState(connection, status);
  });
  monitor.startListening();
}

bool checkHelperAtLaunch(const platform::Defaults& defaults, connection::HelperClient& helper,
                         std::function<void(std::optional<std::string>)> onAnswer) {
  const auto version = defaults.getInt(connection::DaemonManager::kDaemonVersionKey);
  if (version == connection::DaemonManager::kDaemonVersionMarker) {
    LogUtil::log("launch check daemon");
    helper.checkDaemonCallBack(std::move(onAnswer));
    return true;
  }
  LogUtil::log("need authorization: version");
  helper.setAuthorizationStatus(connection::DaemonRegister::kStatusNeedsInstall);
  return false;
}

bool handOverToLauncher(const QDBusConnection& bus, const QString& bundleIdentifier) {
  QDBusConnectionInterface* busInterface = bus.isConnected() ? bus.interface() : nullptr;
  if (busInterface == nullptr) return false;
  const QDBusReply<bool> running = busInterface->isServiceRegistered(qs(protocol::kLauncherBusName));
  if (!running.isValid() || !running.value()) return false;
  // A broadcast: every launcher that listens hears the one signal.
  QDBusMessage signal = QDBusMessage::createSignal(
      qs(protocol::kSignalPath), qs(protocol::kSignalInterface), qs(protocol::kKillMeMember));
  signal << bundleIdentifier;
  return bus.send(signal);
}

InstanceClaim claimApplicationBusName(const QDBusConnection& bus) {
  QDBusConnectionInterface* busInterface = bus.isConnected() ? bus.interface() : nullptr;
  if (busInterface == nullptr) return InstanceClaim::NoBus;
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      busInterface->registerService(qs(protocol::kMainAppBusName),
                                    QDBusConnectionInterface::DontQueueService,
                                    QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid()) return InstanceClaim::NoBus;
  return reply.value() == QDBusConnectionInterface::ServiceRegistered
             ? InstanceClaim::Claimed
             : InstanceClaim::AlreadyRunning;
}

bool askRunningApplicationToReopen(const QDBusConnection& bus) {
  if (!bus.isConnected()) return false;
  const QDBusMessage call =
      QDBusMessage::createMethodCall(qs(protocol::kMainAppBusName), qs(protocol::kMainAppObjectPath),
                                     qs(protocol::kMainAppInterface), qs(protocol::kReopenMethod));
  // The running application answers from its event loop; a hung one is not
  // waited for long.
  constexpr int kReplyTimeoutMilliseconds = 5000;
  return bus.call(call, QDBus::Block, kReplyTimeoutMilliseconds).type() ==
         QDBusMessage::ReplyMessage;
}

// ---- AppDelegate ------------------------------------------------------------------------

AppDelegate::Environment AppDelegate::standard(connection::AlertPresenter& alerts) {
  return Environment{
      .defaults = &platform::Defaults::standard(),
      .notifications = &platform::NotificationCenter::shared(),
      .mainQueue = &platform::mainQueue(),
      .alerts = &alerts,
      .exitProcess =
          [](int status) {
            std::fflush(nullptr);
            ::_exit(status);
          },
      // exit, not quit: a quit first asks every window to close, and the
      // main window's close is the close alert (or the end of the process),
      // never a quit.
      .quitApplication = [] { QCoreApplication::exit(0); },
  };
}

AppDelegate::AppDelegate(Environment environment, QObject* parent)
    : QObject(parent), env_(std::move(environment)) {
  VANDREL_CHECK(env_.defaults && env_.notifications && env_.mainQueue && env_.alerts &&
                    env_.exitProcess && env_.quitApplication,
                "AppDelegate needs its whole environment");
  statusItem_ = new QSystemTrayIcon(this);
  // A left click on the tray icon is this platform's reopen; the menu opens
  // on the other button.
  connect(statusItem_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) applicationShouldHandleReopen(hasVisibleWindows());
          });
  buildMainMenu();
  if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(application, &QGuiApplication::lastWindowClosed, this, [this] {
      if (applicationShouldTerminateAfterLastWindowClosed()) terminate();
    });
  }
}

AppDelegate::~AppDelegate() {
  // Until a main window takes it, the menu bar has no owner.
  if (mainMenu_ && mainMenu_->parent() == nullptr) delete mainMenu_.data();
}

void AppDelegate::applicationDidFinishLaunching() {
  if (core::NetworkReachabilityManager* monitor = reachabilityManager()) {
    startReachabilityListener(*monitor, connection::qv_ConnectionManager::shared());
  }
  // There is no store whose pending transactions would need finishing here.
  connection::LinesManager::shared();
  core::MiscInfo::shared();
  core::StaticData::shared();
  if (!handOverToLauncher(QDBusConnection::sessionBus(),
                          QString::fromStdString(core::appBundleIdentifier()))) {
    LogUtil::debug("[launch] no launcher to hand over to");
  }
  connection::DaemonRegister::shared().createAuthorization();
  insertUpdateItem();
  // No update framework: no background update check either.
  checkHelperAtLaunch(*env_.defaults, connection::sharedHelperClient(),
                      [](std::optional<std::string> answer) {
                        connection::DaemonManager::shared().handleLaunchDaemonCheck(
                            std::move(answer));
                      });
  loadCloseOption(*env_.defaults);
  setUpStatusItem();
  createMainWindow();
}

void AppDelegate::buildMainMenu() {
  mainMenu_ = new QMenuBar;
  QMenu* applicationMenu = mainMenu_->addMenu(QStringLiteral("Vandrel"));
  QAction* about = applicationMenu->addAction(QStringLiteral("About Vandrel"));
  connect(about, &QAction::triggered, this, [this] {
    QMessageBox::about(mainWindow_, QStringLiteral("About Vandrel"),
                       QStringLiteral("Vandrel %1 (%2)")
                           .arg(QString::fromStdString(core::qv_DeviceInfo::appVersion()),
                                QString::fromStdString(core::qv_DeviceInfo::buildVersion())));
  });
  QAction* quit = applicationMenu->addAction(QStringLiteral("Quit Vandrel"));
  quit->setShortcut(QKeySequence::Quit);
  connect(quit, &QAction::triggered, this, [this] { terminate(); });

  // Support asks users for the log; the window that shows, saves and uploads
  // it is one menu item away.
  QMenu* windowMenu = mainMenu_->addMenu(QStringLiteral("Window"));
  QAction* log = windowMenu->addAction(QStringLiteral("Log"));
  log->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  connect(log, &QAction::triggered, this, [] { LogView::present(); });
}

void AppDelegate::insertUpdateItem() {
  const QList<QAction*> items = mainMenu_ ? mainMenu_->actions() : QList<QAction*>{};
  if (items.isEmpty() || items.first()->menu() == nullptr) return;
  QMenu* applicationMenu = items.first()->menu();
  auto* update = new QAction(qs(kCheckUpdateTitle), applicationMenu);
  connect(update, &QAction::triggered, this, [this] { checkUpdate(); });
  const QList<QAction*> entries = applicationMenu->actions();
  applicationMenu->insertAction(entries.size() > 1 ? entries.at(1) : nullptr, update);
}

void AppDelegate::setUpStatusItem() {
  TSStatusMenu& menu = TSStatusMenu::shared();
  menu.setStatusItem(statusItem_);
  menu.setApplicationActions({.openWindows = [this] { openWindows(); },
                              .terminate = [this] { terminate(); }});
  statusItem_->setContextMenu(&menu);
  statusItem_->setIcon(appIcon("widget-off"));
  statusItem_->setToolTip(QStringLiteral("Vandrel"));
  statusItem_->show();
}

void AppDelegate::createMainWindow() {
  auto* window = new QMainWindow;
  window->setWindowTitle(QStringLiteral("Vandrel"));
  window->setWindowIcon(appIcon("AppIcon"));
  auto* home = new HomeViewController(HomeViewController::sharedDependencies());
  window->setCentralWidget(home);
  home->start();
  home->viewWillAppear();
  setMainWindow(window);
  window->show();
}

void AppDelegate::setMainWindow(QWidget* window) {
  if (mainWindow_) mainWindow_->removeEventFilter(this);
  mainWindow_ = window;
  if (!window) return;
  window->installEventFilter(this);
  if (auto* mainWindow = qobject_cast<QMainWindow*>(window); mainWindow && mainMenu_) {
    mainWindow->setMenuBar(mainMenu_);
  }
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close && watched == mainWindow_) {
    if (!windowShouldClose(mainWindow_)) {
      event->ignore();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void AppDelegate::checkUpdate() {
  // No update framework on this platform; the item is kept for the menu's
  // shape and does nothing.
}

bool AppDelegate::applicationShouldTerminate() {
  // The connection manager watches no system VPN tunnel on this platform,
  // so there is none to stop; the helper's watchdog stops the daemon once
  // the process is gone.
  LogUtil::debug("App should terminate");
  return true;
}

void AppDelegate::terminate() {
  if (!applicationShouldTerminate()) return;
  // The log line is written from the main queue: the loop ends after it.
  env_.mainQueue->async(env_.quitApplication);
}

bool AppDelegate::windowShouldClose(QWidget* /*window*/) {
  if (closeOption() == kCloseOptionAsk) {
    const std::int64_t answer = env_.alerts->runModal(connection::AlertContent{
        std::string(kKeepRunningTitle), std::string(kKeepRunningMessage),
        std::string(kKeepRunningButton), std::string(kQuitButton)});
    if (answer == connection::kAlertFirstButtonReturn) {
      setCloseOption(kCloseOptionKeepRunning);
      // The tray menu's "Keep in Menu Bar" follows.
      env_.notifications->post(std::string(core::kVPNStatusChangeNotification));
    } else if (answer == connection::kAlertSecondButtonReturn) {
      setCloseOption(kCloseOptionQuit);
    } else {
      setCloseOption(kCloseOptionAsk);
    }
    storeCloseOption(*env_.defaults);
  }
  if (closeOption() == kCloseOptionQuit) {
    env_.exitProcess(0);
    return false;
  }
  // Hidden, the window also leaves the task bar: the tray icon stays.
  if (mainWindow_) mainWindow_->hide();
  return false;
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const {
  return closeOption() == kCloseOptionQuit;
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
  if (hasVisibleWindows) return false;
  bringToFront(applicationWindows());
  return true;
}

void AppDelegate::openWindows() { bringToFront(applicationWindows()); }

void AppDelegate::reopenApplication() {
  const bool visible = hasVisibleWindows();
  if (visible) {
    QWidgetList shown;
    for (QWidget* window : applicationWindows()) {
      if (window->isVisible()) shown.append(window);
    }
    bringToFront(shown);
  }
  applicationShouldHandleReopen(visible);
}

QWidgetList AppDelegate::applicationWindows() const {
  QWidgetList windows;
  if (mainWindow_) windows.append(mainWindow_.data());
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    const Qt::WindowType type = widget->windowType();
    if (!widget->isVisible() || windows.contains(widget)) continue;
    // A window the window manager never sees is no window of the
    // application's own: the tray icon's small window in the tray is one,
    // and it shows whenever the tray does, hidden main window or not.
    if (widget->windowFlags().testFlag(Qt::BypassWindowManagerHint)) continue;
    if (type == Qt::Window || type == Qt::Dialog) windows.append(widget);
  }
  return windows;
}

bool AppDelegate::hasVisibleWindows() const {
  for (QWidget* window : applicationWindows()) {
    if (window->isVisible()) return true;
  }
  return false;
}

void AppDelegate::bringToFront(const QWidgetList& windows) {
  for (QWidget* window : windows) {
    QPointer<QWidget> guarded(window);
    env_.mainQueue->async([guarded] {
      if (!guarded) return;
      guarded->show();
      guarded->raise();
      guarded->activateWindow();
    });
  }
}

bool AppDelegate::exportApplicationObject(const QDBusConnection& bus) {
  if (!bus.isConnected()) return false;
  auto* object = new ApplicationBusObject(*this);
  QDBusConnection connection(bus);
  return connection.registerObject(qs(protocol::kMainAppObjectPath), object,
                                   QDBusConnection::ExportScriptableSlots);
}

}  // namespace vandrel::app

#include "app_delegate.moc"
