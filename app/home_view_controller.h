#pragma once

#include <QPointF>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/region_table.h"
#include "core/region_records.h"
#include "platform/notification_center.h"

class QLabel;
class QPushButton;

namespace vandrel::core {
class MiscInfo;
class qv_ConnectLog;
}  // namespace vandrel::core
namespace vandrel::platform {
class Clock;
class Queue;
class Scheduler;
}  // namespace vandrel::platform
namespace vandrel::connection {
class AlertHelpers;
class LinesManager;
class qv_ConnectionManager;
}  // namespace vandrel::connection

namespace vandrel::app {

class AccountArea;
class ConnectToggle;
class FlagImages;
class RefreshControl;

// The main window's content: the account area, the current region with the
// connect button and the refresh control, and the region table. Every user
// action goes to the connection manager, the lines manager or the account
// session; the window follows them through "VPNStatusChangeNotification",
// "LinesDidUpdateNotification" and "MiscInfoDidUpdateNotification".
//
// It is also the one listener of "WidgetConnectDidClickNotification": the
// status menu, the region table, the lines manager's auto-connect and the
// connection manager's reconnect start a connect or disconnect through it.
//
// Main thread only, except that the connect toggle runs on the background
// queue. The dependencies must outlive the controller and every flow it
// started (pendingFlowCount() reaches 0).
class HomeViewController final : public QWidget, private RegionTable::Host {
 public:
  struct Dependencies {
    connection::qv_ConnectionManager& connection;
    connection::LinesManager& lines;
    core::MiscInfo& session;
    core::qv_ConnectLog& connectLog;
    platform::NotificationCenter& notifications;
    // The log-out question.
    connection::AlertHelpers& alerts;
    // Click times and the refresh's duration.
    const platform::Clock& clock;
    // The refresh control's delay and the table's scroll.
    platform::Scheduler& scheduler;
    // Where the connect toggle runs: it blocks for the whole pipeline.
    platform::Queue& background;
    FlagImages& flags;
    // Opens a web address in the browser.
    std::function<void(const std::string&)> openLink;
    std::function<void(QWidget* parent)> showSignIn;
    // Builds the settings panel as a child of `parent` (its back button
    // removes it). Null: no panel.
    std::function<QWidget*(QWidget* parent)> makeSettingsPanel;
    // Puts the feature tour over `mainView` when it was never shown.
    std::function<void(QWidget* mainView)> showFeatureTourIfFirstRun;
  };

  static constexpr int kWidth = 600;
  static constexpr int kHeight = 620;
  static constexpr int kRowHeight = 50;
  static constexpr double kRefreshInView = -5.0;
  static constexpr double kRefreshOutOfView = -50.0;
  static constexpr int kRefreshSlideMilliseconds = 200;
  static constexpr std::int64_t kRefreshMinimumSpinMilliseconds = 500;

  // The application's wiring: the shared managers, session and connection
  // log, the default notification center, the standard defaults, the shared
  // alerts, the system clock and scheduler, the global queue, the shared
  // flag loader, the browser and the application's own panels (the tour on
  // the standard defaults).
  static Dependencies sharedDependencies();

  // The controller whose start() ran last (none after it is destroyed).
  static HomeViewController* current();

  // Builds the widgets; start() wires the rest.
  explicit HomeViewController(Dependencies deps, QWidget* parent = nullptr);
  ~HomeViewController() override;

  // Start-up: makes this the current controller, fills the region table,
  // observes the four notifications, puts up the feature tour on the first
  // run and takes the lines manager's region as the current location.
  // Once, before the window shows.
  void start();

  // Redraws the account area and the current region (before the window
  // shows and on every account change).
  void viewWillAppear();

  // The connect button: from off, shows the chosen region and toggles;
  // from on, toggles; ignored while connecting or disconnecting.
  void connectAction();
  // The toggle, without the status check (for the notification).
  void startConnectFlow();
  void showCurrentRegion();
  // The button's title and the connection-log step for the status now.
  void updateConnectStatus();
  void showRefreshButton();
  void hideRefreshButton();
  // The refresh control was clicked at `point` (its own coordinates).
  void refreshClicked(QPointF point);
  void onSettingClick();

  // What the window shows and counts, for its tests.
  const core::RegionsItem& currentLocation() const override { return currentLocation_; }
  RegionTable& regionTable() const { return *tableView_; }
  AccountArea& accountArea() const { return *accountArea_; }
  QPushButton& connectButton() const { return *connectButton_; }
  QString currentRegionName() const;
  // The picture the connect button shows ("btn_Connect" or "btn_Connected").
  std::string connectButtonImage() const;
  double refreshConstraint() const { return refreshConstraint_; }
  bool isRefreshSpinning() const;
  QWidget& refreshContentView() const;
  int connectFailedCount() const;
  int pendingFlowCount() const;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void setCurrentLocation(core::RegionsItem region) override;
  void buildLayout();
  void observeNotifications();
  void onStatusChange();
  void setConnectButtonImage(std::string name);
  void slideRefreshControl(double constraint);
  void placeRefreshControl();
  void finishRefresh(std::int64_t startedMilliseconds);
  std::int64_t nowMilliseconds() const;
  void addOverlay(QWidget* panel);

  Dependencies deps_;
  std::shared_ptr<ConnectToggle> toggle_;
  core::RegionsItem currentLocation_;
  double refreshConstraint_ = kRefreshOutOfView;
  std::vector<platform::ObserverToken> observers_;
  bool started_ = false;

  AccountArea* accountArea_ = nullptr;
  QPushButton* settingButton_ = nullptr;
  QWidget* regionBar_ = nullptr;
  QLabel* currentRegionImageView_ = nullptr;
  QLabel* currentRegionName_ = nullptr;
  QPushButton* connectButton_ = nullptr;
  RefreshControl* refreshContentView_ = nullptr;
  RegionTable* tableView_ = nullptr;
};

}  // namespace vandrel::app
