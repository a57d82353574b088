#include "app/ts_status_menu.h"

#include <QAction>
#include <QSystemTrayIcon>

#include <utility>

#include "app/close_option.h"
#include "app/images.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/app_constants.h"
#include "core/line_item.h"
#include "platform/check.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"

namespace vandrel::app {
namespace {

using core::qv_ConnectStatus;

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string_view statusWord(qv_ConnectStatus status) {
  switch (status) {
    case qv_ConnectStatus::qv_on:
      return "Connected";
    case qv_ConnectStatus::qv_connecting:
      return "Connecting...";
    case qv_ConnectStatus::qv_off:
      return "Connect";
    case qv_ConnectStatus::qv_disconnecting:
      return "Disconnecting";
  }
  return "Connect";
}

}  // namespace

TSStatusMenu& TSStatusMenu::shared() {
  static auto* const menu = new TSStatusMenu(Environment{
      .connection = &connection::qv_ConnectionManager::shared(),
      .notifications = &platform::NotificationCenter::shared(),
      .defaults = &platform::Defaults::standard(),
      .mainQueue = &platform::mainQueue(),
      .currentLine = [] { return connection::LinesManager::shared().currentLine(); },
      .setCurrentLine =
          [](std::shared_ptr<core::LineItem> line) {
            connection::LinesManager::shared().setCurrentLine(std::move(line));
          },
  });
  return *menu;
}

TSStatusMenu::TSStatusMenu(Environment environment, QWidget* parent)
    : QMenu(parent), env_(std::move(environment)) {
  VANDREL_CHECK(env_.connection && env_.notifications && env_.defaults && env_.mainQueue &&
                    env_.currentLine && env_.setCurrentLine,
                "TSStatusMenu needs its whole environment");
  setTitle(qs(kMenuTitle));
  setupMenu();
  std::weak_ptr<bool> alive = alive_;
  statusObserver_ = env_.notifications->addObserver(
      std::string(core::kVPNStatusChangeNotification), nullptr, env_.mainQueue,
      [this, alive](const platform::Notification&) {
        if (alive.lock()) updateStatus();
      });
}

TSStatusMenu::~TSStatusMenu() {
  *alive_ = false;
  env_.notifications->removeObserver(statusObserver_);
}

void TSStatusMenu::setStatusItem(QSystemTrayIcon* statusItem) { statusItem_ = statusItem; }

void TSStatusMenu::setApplicationActions(ApplicationActions actions) {
  actions_ = std::move(actions);
}

QString TSStatusMenu::statusTitle(qv_ConnectStatus status) {
  return qs(kStatusPrefix) + qs(statusWord(status));
}

QAction* TSStatusMenu::makeMenuItem(const QString& title, bool state,
                                    void (TSStatusMenu::*action)()) {
  QAction* item = addAction(title);
  item->setEnabled(true);
  if (state) {
    item->setCheckable(true);
    item->setChecked(true);
  }
  connect(item, &QAction::triggered, this, [this, action] { (this->*action)(); });
  return item;
}

void TSStatusMenu::setupMenu() {
  // The two information lines have no action, so they show disabled.
  connectStatusMenuItem_ = addAction(statusTitle(connectStatus_));
  connectStatusMenuItem_->setEnabled(false);
  lineNameMenuItem_ = addAction(qs(kLocationPrefix) + qs(kNoLocation));
  lineNameMenuItem_->setEnabled(false);
  connectSwitchMenuItem_ = makeMenuItem(qs(kStartConnect), false, &TSStatusMenu::link);
  addSeparator();

  quitSettingItem_ = addAction(qs(kKeepInMenuBar));
  quitSettingItem_->setCheckable(true);
  quitSettingItem_->setChecked(closeOption() == kCloseOptionKeepRunning);
  connect(quitSettingItem_, &QAction::triggered, this,
          [this] { quitSettingWithItem(quitSettingItem_); });

  launchWindowsItem_ = makeMenuItem(qs(kOpenWindow), false, &TSStatusMenu::openWindows);
  quitItem_ = makeMenuItem(qs(kQuit), false, &TSStatusMenu::quit);
}

QString TSStatusMenu::currentLocationTitle() const {
  const std::shared_ptr<core::LineItem> line = env_.currentLine();
  const std::optional<std::string> name = line ? line->name() : std::nullopt;
  return qs(kLocationPrefix) + (name ? QString::fromStdString(*name) : qs(kNoLocation));
}

void TSStatusMenu::updateStatus() {
  connectStatus_ = env_.connection->qv_connectStatus();
  std::weak_ptr<bool> alive = alive_;
  switch (connectStatus_) {
    case qv_ConnectStatus::qv_on:
      connectSwitchMenuItem_->setText(qs(kDisconnect));
      // Queued once more, so the icon follows the titles.
      env_.mainQueue->async([this, alive] {
        if (alive.lock()) setStatusIcon("on");
      });
      lineNameMenuItem_->setText(currentLocationTitle());
      break;
    case qv_ConnectStatus::qv_off:
      connectSwitchMenuItem_->setText(qs(kStartConnect));
      env_.mainQueue->async([this, alive] {
        if (alive.lock()) setStatusIcon("off");
      });
      lineNameMenuItem_->setText(qs(kLocationPrefix) + qs(kNoLocation));
      break;
    case qv_ConnectStatus::qv_connecting:
    case qv_ConnectStatus::qv_disconnecting:
      break;
  }
  connectStatusMenuItem_->setText(statusTitle(connectStatus_));
  quitSettingItem_->setChecked(closeOption() == kCloseOptionKeepRunning);
}

void TSStatusMenu::setStatusIcon(std::string_view word) {
  if (!statusItem_) return;
  // Drawn at 20 x 20 points, the size the tray shows.
  statusItem_->setIcon(appIcon("widget-" + std::string(word)));
}

void TSStatusMenu::link() {
  env_.notifications->post(std::string(connection::kWidgetConnectDidClickNotification));
}

void TSStatusMenu::quitSettingWithItem(QAction* item) {
  setCloseOption(item->isChecked() ? kCloseOptionKeepRunning : kCloseOptionQuit);
  storeCloseOption(*env_.defaults);
}

void TSStatusMenu::openWindows() {
  if (actions_.openWindows) actions_.openWindows();
}

void TSStatusMenu::quit() {
  std::function<void()> terminate = actions_.terminate;
  env_.mainQueue->async([terminate] {
    if (terminate) terminate();
  });
}

void TSStatusMenu::subWithMenuItem(const QString& title) {
  std::optional<core::ConnectMode> chosen;
  for (const core::ConnectMode mode : core::connectModes()) {
    if (qs(core::info(mode).title) == title) {
      chosen = mode;
      break;
    }
  }
  if (!chosen) return;
  connection::qv_ConnectionManager& connection = *env_.connection;
  const core::ConnectMode old = connection.connectMode();
  connection.setConnectMode(*chosen);
  if (old != *chosen && (old == core::ConnectMode::ssw || *chosen == core::ConnectMode::ssw)) {
    env_.setCurrentLine(core::LineItem::automaticLine());
  }
  switch (connection.qv_connectStatus()) {
    case qv_ConnectStatus::qv_on:
      connection.setShouldConnectAfterDisconnect(true);
      link();
      break;
    case qv_ConnectStatus::qv_off:
      link();
      break;
    case qv_ConnectStatus::qv_connecting:
    case qv_ConnectStatus::qv_disconnecting:
      break;
  }
}

}  // namespace vandrel::app
