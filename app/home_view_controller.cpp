#include "app/home_view_controller.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <syslog.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <utility>

#include "app/account_area.h"
#include "app/connect_toggle.h"
#include "app/images.h"
#include "app/refresh_control.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/misc_info.h"
#include "core/qv_connect_log.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/promise.h"

namespace vandrel::app {

using connection::qv_ConnectStatus;

namespace {

HomeViewController* currentController = nullptr;

// How each status shows: the pair written to the system log, the
// connection-log step and the connect button's title.
struct StatusLook {
  const char* title;
  int code;
  const char* logStep;
  bool reportsLog;
};

StatusLook lookOf(qv_ConnectStatus status) {
  switch (status) {
    case qv_ConnectStatus::qv_on: return {"Connected", 0, "connect-on", true};
    case qv_ConnectStatus::qv_connecting:
      return {"Connecting...", 2, "connect-connecting", false};
    case qv_ConnectStatus::qv_off: return {"Connect", 1, "connect-off", true};
    case qv_ConnectStatus::qv_disconnecting:
      return {"Disconnecting", 3, "connect-disconnecting", false};
  }
  return {"Connect", 1, "connect-off", true};
}

// The connect button: its round picture at the left, square, and the title
// beside it (the picture is a power button: stretched it would distort and
// sit under the title).
class ImageButton final : public QPushButton {
 public:
  explicit ImageButton(QWidget* parent) : QPushButton(parent) {
    // The title stands on the window's dark face, beside the picture.
    QPalette colours = palette();
    colours.setColor(QPalette::ButtonText, Qt::white);
    setPalette(colours);
  }

  void setImage(std::string name) {
    imageName_ = std::move(name);
    picture_ = appImage(imageName_);
    update();
  }
  const std::string& imageName() const { return imageName_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRect icon(0, 0, height(), height());
    if (!picture_.isNull()) painter.drawPixmap(icon, picture_);
    painter.setPen(palette().color(QPalette::ButtonText));
    QFont font = painter.font();
    font.setPixelSize(16);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(rect().adjusted(icon.width() + 12, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter,
                     text());
  }

 private:
  std::string imageName_;
  QPixmap picture_;
};

ImageButton& imageButton(QPushButton& button) { return static_cast<ImageButton&>(button); }

}  // namespace

HomeViewController* HomeViewController::current() { return currentController; }

HomeViewController::HomeViewController(Dependencies deps, QWidget* parent)
    : QWidget(parent), deps_(std::move(deps)), currentLocation_(connection::defaultRegion()) {
  setObjectName("HomeViewController");
  QPointer<HomeViewController> guard(this);
  toggle_ = std::make_shared<ConnectToggle>(deps_.connection, deps_.session, deps_.background,
                                            [guard] {
                                              // Counted on the toggle's queue.
                                              platform::mainQueue().async([guard] {
                                                if (guard) guard->showRefreshButton();
                                              });
                                            });
  buildLayout();
}

HomeViewController::~HomeViewController() {
  for (auto token : observers_) deps_.notifications.removeObserver(token);
  if (currentController == this) currentController = nullptr;
}

void HomeViewController::buildLayout() {
  setFixedSize(kWidth, kHeight);
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, QColor(30, 30, 36));
  colours.setColor(QPalette::WindowText, Qt::white);
  setPalette(colours);

  accountArea_ = new AccountArea(
      AccountArea::Dependencies{deps_.session, deps_.alerts, deps_.openLink, deps_.showSignIn},
      this);
  settingButton_ = new QPushButton(this);
  settingButton_->setObjectName("settingButton");
  settingButton_->setIcon(appIcon("icon_setting"));
  settingButton_->setToolTip(QStringLiteral("Settings"));
  // A picture alone names nothing to assistive tools.
  settingButton_->setAccessibleName(QStringLiteral("Settings"));
  settingButton_->setFlat(true);
  settingButton_->setCursor(Qt::PointingHandCursor);
  connect(settingButton_, &QPushButton::clicked, this, [this] { onSettingClick(); });
  auto* header = new QHBoxLayout;
  header->setContentsMargins(0, 0, 12, 0);
  header->addWidget(accountArea_, 1);
  header->addWidget(settingButton_, 0, Qt::AlignTop);

  regionBar_ = new QWidget(this);
  regionBar_->setObjectName("regionBar");
  currentRegionImageView_ = new QLabel(regionBar_);
  currentRegionImageView_->setObjectName("currentRegionImageView");
  currentRegionImageView_->setPixmap(appImage("icon_current_region")
                                         .scaled(24, 24, Qt::KeepAspectRatio,
                                                 Qt::SmoothTransformation));
  currentRegionName_ = new QLabel(regionBar_);
  currentRegionName_->setObjectName("currentRegionName");
  currentRegionName_->setAccessibleDescription(QStringLiteral("Current region"));
  // Region names come from the service.
  currentRegionName_->setTextFormat(Qt::PlainText);
  currentRegionName_->setStyleSheet("color: white; font-size: 16px;");
  auto* button = new ImageButton(regionBar_);
  button->setObjectName("connectButton");
  button->setFixedSize(200, 48);
  button->setCursor(Qt::PointingHandCursor);
  connectButton_ = button;
  connect(connectButton_, &QPushButton::clicked, this, [this] { connectAction(); });
  refreshContentView_ = new RefreshControl(regionBar_);
  refreshContentView_->setOnClick([this](QPointF point) { refreshClicked(point); });
  regionBar_->installEventFilter(this);
  auto* bar = new QHBoxLayout(regionBar_);
  bar->setContentsMargins(24, 12, 24 + RefreshControl::kSize + 10, 12);
  bar->setSpacing(10);
  bar->addWidget(currentRegionImageView_);
  bar->addWidget(currentRegionName_, 1);
  bar->addWidget(connectButton_);

  // The button shows the status the manager starts with; the status
  // observer keeps it in step from then on.
  const StatusLook look = lookOf(deps_.connection.qv_connectStatus());
  connectButton_->setText(QString::fromUtf8(look.title));
  setConnectButtonImage(deps_.connection.qv_connectStatus() == qv_ConnectStatus::qv_on
                            ? "btn_Connected"
                            : "btn_Connect");

  tableView_ = new RegionTable(
      RegionTable::Dependencies{deps_.lines, deps_.connection, deps_.session, deps_.connectLog,
                                deps_.notifications, deps_.clock, deps_.scheduler, deps_.flags},
      *this, this);
  static_cast<ClearColorScroller*>(tableView_->verticalScrollBar())
      ->setColor(QColor(39, 41, 50));

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  column->addLayout(header);
  column->addWidget(regionBar_);
  column->addWidget(tableView_, 1);
  placeRefreshControl();
}

// ---- Start-up -------------------------------------------------------------------

void HomeViewController::start() {
  VANDREL_CHECK(!started_, "HomeViewController::start runs once");
  started_ = true;
  currentController = this;
  tableView_->reloadRegions();
  observeNotifications();
  if (deps_.showFeatureTourIfFirstRun) deps_.showFeatureTourIfFirstRun(this);
  currentLocation_ = deps_.lines.currentRegion();
}

void HomeViewController::observeNotifications() {
  QPointer<HomeViewController> guard(this);
  platform::NotificationCenter& center = deps_.notifications;
  platform::Queue* main = &platform::mainQueue();
  observers_.push_back(center.addObserver(std::string(core::kLinesDidUpdateNotification), nullptr,
                                          main, [guard](const platform::Notification&) {
                                            if (guard) guard->tableView_->reloadRegions();
                                          }));
  observers_.push_back(center.addObserver(std::string(core::kMiscInfoDidUpdateNotification),
                                          nullptr, main, [guard](const platform::Notification&) {
                                            if (guard) guard->viewWillAppear();
                                          }));
  // On the posting thread: the toggle only notes the attempt and queues
  // its work.
  observers_.push_back(center.addObserver(
      std::string(connection::kWidgetConnectDidClickNotification), nullptr, std::nullopt,
      [toggle = toggle_](const platform::Notification&) { toggle->startConnectFlow(); }));
  observers_.push_back(center.addObserver(std::string(core::kVPNStatusChangeNotification),
                                          nullptr, main, [guard](const platform::Notification&) {
                                            if (guard) guard->onStatusChange();
                                          }));
}

void HomeViewController::addOverlay(QWidget* panel) {
  if (!panel) return;
  panel->setParent(this);
  panel->setGeometry(rect());
  panel->show();
  panel->raise();
}

void HomeViewController::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) viewWillAppear();
}

void HomeViewController::viewWillAppear() {
  accountArea_->draw();
  showCurrentRegion();
}

bool HomeViewController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == regionBar_ && event->type() == QEvent::Resize) placeRefreshControl();
  return QWidget::eventFilter(watched, event);
}

// ---- Current region ---------------------------------------------------------------

void HomeViewController::setCurrentLocation(core::RegionsItem region) {
  currentLocation_ = std::move(region);
}

void HomeViewController::showCurrentRegion() {
  const std::string text = deps_.lines.isAutoSelect()
                               ? std::string(connection::kSmartLocationName)
                               : currentLocation_.identifier(deps_.clock);
  currentRegionName_->setText(QString::fromStdString(text));
}

QString HomeViewController::currentRegionName() const { return currentRegionName_->text(); }

// ---- Connect button ----------------------------------------------------------------

void HomeViewController::connectAction() {
  switch (deps_.connection.qv_connectStatus()) {
    case qv_ConnectStatus::qv_off:
      currentLocation_ = deps_.lines.currentRegion();
      showCurrentRegion();
      startConnectFlow();
      return;
    case qv_ConnectStatus::qv_on:
      startConnectFlow();
      return;
    case qv_ConnectStatus::qv_connecting:
    case qv_ConnectStatus::qv_disconnecting:
      return;
  }
}

void HomeViewController::startConnectFlow() { toggle_->startConnectFlow(); }

int HomeViewController::connectFailedCount() const { return toggle_->connectFailedCount(); }
int HomeViewController::pendingFlowCount() const { return toggle_->pendingFlowCount(); }

void HomeViewController::onStatusChange() {
  updateConnectStatus();
  tableView_->reloadData();
  if (deps_.connection.qv_connectStatus() == qv_ConnectStatus::qv_on) {
    hideRefreshButton();
    setConnectButtonImage("btn_Connected");
  } else {
    setConnectButtonImage("btn_Connect");
  }
}

void HomeViewController::updateConnectStatus() {
  const StatusLook look = lookOf(deps_.connection.qv_connectStatus());
  // The system log, not the application's.
  syslog(LOG_INFO, "收到状态改变: (name: \"%s\", %d)", look.title, look.code);
  deps_.connectLog.mark(look.logStep);
  if (look.reportsLog) deps_.connectLog.report();
  QPointer<QPushButton> button(connectButton_);
  const QString title = QString::fromUtf8(look.title);
  platform::mainQueue().async([button, title] {
    if (button) button->setText(title);
  });
}

void HomeViewController::setConnectButtonImage(std::string name) {
  imageButton(*connectButton_).setImage(std::move(name));
}

std::string HomeViewController::connectButtonImage() const {
  return imageButton(*connectButton_).imageName();
}

// ---- Refresh control ------------------------------------------------------------------

QWidget& HomeViewController::refreshContentView() const { return *refreshContentView_; }

bool HomeViewController::isRefreshSpinning() const { return refreshContentView_->isSpinning(); }

void HomeViewController::showRefreshButton() {
  QPointer<HomeViewController> guard(this);
  platform::mainQueue().async([guard] {
    if (guard) guard->slideRefreshControl(kRefreshInView);
  });
}

void HomeViewController::hideRefreshButton() {
  QPointer<HomeViewController> guard(this);
  platform::mainQueue().async([guard] {
    if (guard) guard->slideRefreshControl(kRefreshOutOfView);
  });
}

namespace {
// In view the control sits 5 from the bar's right edge; out of view it lies
// past the edge, where the bar clips it.
QPoint refreshPosition(const QWidget& bar, double constraint) {
  const int inset = constraint == HomeViewController::kRefreshInView ? 5 + RefreshControl::kSize
                                                                      : -1;
  return QPoint(bar.width() - inset, (bar.height() - RefreshControl::kSize) / 2);
}
}  // namespace

void HomeViewController::slideRefreshControl(double constraint) {
  refreshConstraint_ = constraint;
  auto* slide = new QPropertyAnimation(refreshContentView_, "pos", refreshContentView_);
  slide->setDuration(kRefreshSlideMilliseconds);
  slide->setEndValue(refreshPosition(*regionBar_, constraint));
  slide->start(QAbstractAnimation::DeleteWhenStopped);
}

void HomeViewController::placeRefreshControl() {
  refreshContentView_->move(refreshPosition(*regionBar_, refreshConstraint_));
}

std::int64_t HomeViewController::nowMilliseconds() const {
  return static_cast<std::int64_t>(std::llround(deps_.clock.secondsSince1970() * 1000.0));
}

void HomeViewController::refreshClicked(QPointF point) {
  if (refreshConstraint_ != kRefreshInView) return;
  const double size = RefreshControl::kSize;
  // Strictly inside: a click on the border does not count.
  if (!(point.x() > 0 && point.x() < size && point.y() > 0 && point.y() < size)) return;

  toggle_->resetConnectFailedCount();
  refreshContentView_->spin();
  const std::int64_t started = nowMilliseconds();
  deps_.lines.setLastUpdateTime(
      static_cast<std::int64_t>(std::floor(deps_.clock.secondsSince1970())));
  platform::Promise<core::ResultData> fetched;
  deps_.lines.requestLines(fetched);
  QPointer<HomeViewController> guard(this);
  fetched.then(platform::mainQueue(), [guard, started](const core::ResultData& result) {
    // A failed fetch leaves the icon turning: the user may click again.
    if (guard && result.isSuccess) guard->finishRefresh(started);
  });
}

void HomeViewController::finishRefresh(std::int64_t startedMilliseconds) {
  const std::int64_t elapsed = nowMilliseconds() - startedMilliseconds;
  const auto delay = std::chrono::milliseconds(
      elapsed < kRefreshMinimumSpinMilliseconds ? kRefreshMinimumSpinMilliseconds : 0);
  QPointer<HomeViewController> guard(this);
  deps_.scheduler.schedule(delay, platform::mainQueue(), [guard] {
    if (!guard) return;
    guard->refreshContentView_->stop();
    guard->hideRefreshButton();
  });
}

// ---- Settings ------------------------------------------------------------------------------

void HomeViewController::onSettingClick() {
  if (deps_.makeSettingsPanel) addOverlay(deps_.makeSettingsPanel(this));
}

}  // namespace vandrel::app
