#include "app/setting_view.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "app/login_item.h"
#include "app/ui_helpers.h"
#include "connection/alert_helpers.h"
#include "connection/daemon_manager.h"
#include "core/app_constants.h"
#include "core/log_util.h"
#include "core/qv_device_info.h"
#include "core/static_data.h"
#include "platform/check.h"
#include "platform/defaults.h"

namespace vandrel::app {
namespace {

constexpr int kHelpCenterHeight = 30;

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The panel's face, and what the texts on it are painted with: a flat
// button draws no face of its own, so its title stands on the panel and
// must be light there, as the labels are.
const QColor kPanelColor(30, 34, 42);
const QColor kPanelTextColor(Qt::white);
const QColor kPanelLinkColor(200, 200, 200);

QPushButton* flatButton(const QString& title, QWidget* parent,
                        const QColor& color = kPanelTextColor) {
  auto* button = new QPushButton(title, parent);
  button->setFlat(true);
  button->setFocusPolicy(Qt::NoFocus);
  QPalette colours = button->palette();
  colours.setColor(QPalette::ButtonText, color);
  button->setPalette(colours);
  return button;
}

}  // namespace

SettingView::Services SettingView::Services::standard() {
  Services services;
  services.defaults = &platform::Defaults::standard();
  services.alerts = &connection::AlertHelpers::shared();
  services.openLink = [](std::string link) { qv_Navigator::open(std::move(link)); };
  services.homePage = [] { return core::webSiteAddress(); };
  services.helpCenterUrl = []() -> std::optional<std::string> {
    const std::optional<core::StaticDataModel> info = core::StaticData::shared().staticDataInfo();
    if (!info) return std::nullopt;
    return info->help_center_url;
  };
  services.appVersion = [] { return core::qv_DeviceInfo::appVersion(); };
  services.buildVersion = [] { return core::qv_DeviceInfo::buildVersion(); };
  services.resetNetwork = [] { return connection::DaemonManager::shared().resetNetwork(); };
  services.clearUserDataAndLog = [] { core::LogUtil::clearUserDataAndLog(); };
  services.setLoginItemEnabled = [](bool enabled) { return LoginItem().setEnabled(enabled); };
  services.mainQueue = &platform::mainQueue();
  services.globalQueue = &platform::globalQueue();
  services.scheduler = &platform::Scheduler::system();
  return services;
}

SettingView::SettingView(QWidget* parent) : SettingView(Services::standard(), parent) {}

SettingView::SettingView(Services services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)) {
  VANDREL_CHECK(services_.defaults && services_.alerts && services_.mainQueue &&
                    services_.globalQueue && services_.scheduler,
                "SettingView needs its defaults, alerts, queues and scheduler");
  buildControls();
  // Made straight into its superview: it fills as a move there would.
  viewWillMoveToSuperview();
}

SettingView::~SettingView() = default;

void SettingView::buildControls() {
  setAutoFillBackground(true);
  QPalette panel = palette();
  panel.setColor(QPalette::Window, kPanelColor);
  panel.setColor(QPalette::WindowText, kPanelTextColor);
  setPalette(panel);

  backButton_ = flatButton(tr("Back"), this);
  connect(backButton_, &QPushButton::clicked, this, &SettingView::onBackButtonClick);

  contentView_ = new QWidget(this);
  auto* content = new QVBoxLayout(contentView_);
  content->setSpacing(12);

  logoButton_ = flatButton(tr("Vandrel"), contentView_);
  QFont heading = logoButton_->font();
  heading.setBold(true);
  heading.setPointSizeF(heading.pointSizeF() * 1.4);
  logoButton_->setFont(heading);
  connect(logoButton_, &QPushButton::clicked, this, &SettingView::onLogoClick);
  versionLAbel_ = new QLabel(contentView_);
  versionLAbel_->setTextFormat(Qt::PlainText);
  homeUrlButton_ = flatButton(QString(), contentView_);
  homeUrlButton_->setCursor(Qt::PointingHandCursor);
  connect(homeUrlButton_, &QPushButton::clicked, this, &SettingView::onHomeUrlClick);

  autoConnectButton_ = new QCheckBox(contentView_);
  // Every way the user changes a box counts: a click, the space bar, and
  // the toggle of assistive tools, which changes the box without a click.
  // Filling the boxes from the stored values changes them silently.
  connect(autoConnectButton_, &QCheckBox::toggled, this, &SettingView::onAutoConnectClick);
  autoLaunchButton_ = new QCheckBox(contentView_);
  connect(autoLaunchButton_, &QCheckBox::toggled, this, &SettingView::onAutoLaunchClick);

  helpCenterButton_ = flatButton(tr("Help Center"), contentView_);
  helpCenterButton_->setFixedHeight(kHelpCenterHeight);
  connect(helpCenterButton_, &QPushButton::clicked, this, &SettingView::onHelpCenterClick);
  termsButton_ = flatButton(tr("Terms of Service"), contentView_, kPanelLinkColor);
  connect(termsButton_, &QPushButton::clicked, this, &SettingView::onTermsClick);
  privacyButton_ = flatButton(tr("Privacy Policy"), contentView_, kPanelLinkColor);
  connect(privacyButton_, &QPushButton::clicked, this, &SettingView::onPrivacyClick);

  checkUpdateLabel_ = new QLabel(tr("Check for updates"), contentView_);
  checkUpdateButton_ = new QPushButton(tr("Check"), contentView_);
  connect(checkUpdateButton_, &QPushButton::clicked, this, &SettingView::onCheckUpdateClick);
  resetNetworkButton_ = new QPushButton(tr("Reset Network"), contentView_);
  connect(resetNetworkButton_, &QPushButton::clicked, this, &SettingView::onResetNetwork);
  wipeCacheButton_ = new QPushButton(tr("Wipe Cache"), contentView_);
  connect(wipeCacheButton_, &QPushButton::clicked, this, &SettingView::onWipeCache);

  auto* links = new QHBoxLayout;
  links->addWidget(termsButton_);
  links->addWidget(privacyButton_);
  auto* update = new QHBoxLayout;
  update->addWidget(checkUpdateLabel_);
  update->addWidget(checkUpdateButton_);
  auto* maintenance = new QHBoxLayout;
  maintenance->addWidget(resetNetworkButton_);
  maintenance->addWidget(wipeCacheButton_);

  content->addWidget(logoButton_, 0, Qt::AlignHCenter);
  content->addWidget(versionLAbel_, 0, Qt::AlignHCenter);
  content->addWidget(homeUrlButton_, 0, Qt::AlignHCenter);
  content->addSpacing(12);
  content->addWidget(autoConnectButton_);
  content->addWidget(autoLaunchButton_);
  content->addSpacing(12);
  content->addLayout(update);
  content->addLayout(maintenance);
  content->addSpacing(12);
  content->addWidget(helpCenterButton_, 0, Qt::AlignHCenter);
  content->addLayout(links);

  auto* outer = new QVBoxLayout(this);
  outer->addWidget(backButton_, 0, Qt::AlignLeft);
  outer->addStretch(1);
  outer->addWidget(contentView_, 0, Qt::AlignHCenter);
  outer->addStretch(2);
}

void SettingView::viewWillMoveToSuperview() {
  const std::string appVersion = services_.appVersion ? services_.appVersion() : "0.0";
  const std::string buildVersion = services_.buildVersion ? services_.buildVersion() : "0.0";
  versionLAbel_->setText(qs("Vandrel v" + appVersion + "(" + buildVersion + ")"));

  helpCenterButton_->setStyleSheet(
      QStringLiteral("QPushButton { border: 1px solid darkgray; border-radius: %1px;"
                     " padding: 0 16px; color: white; }")
          .arg(helpCenterButton_->height() / 2));

  autoConnectButton_->setText(qs(kAutoConnectTitle));
  autoConnectButton_->setStyleSheet(QStringLiteral("QCheckBox { color: white; }"));
  const QSignalBlocker fillingAutoConnect(autoConnectButton_);
  autoConnectButton_->setChecked(services_.defaults->getBool(kAutoConnectKey).value_or(false));
  autoLaunchButton_->setText(qs(kAutoLaunchTitle));
  autoLaunchButton_->setStyleSheet(QStringLiteral("QCheckBox { color: white; }"));
  const QSignalBlocker fillingAutoLaunch(autoLaunchButton_);
  autoLaunchButton_->setChecked(services_.defaults->getBool(kAutoLaunchKey).value_or(false));

  homeUrlButton_->setText(qs(services_.homePage ? services_.homePage() : std::string()));
  homeUrlButton_->setStyleSheet(
      QStringLiteral("QPushButton { color: darkgray; text-decoration: underline; border: none; }"));
}

bool SettingView::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::ParentAboutToChange) viewWillMoveToSuperview();
  return handled;
}

std::string SettingView::helpCenterAddress() const {
  std::optional<std::string> url = services_.helpCenterUrl ? services_.helpCenterUrl() : std::nullopt;
  if (url && !url->empty()) return *url;
  return (services_.homePage ? services_.homePage() : std::string()) + "/help-center";
}

// ---- Actions ---------------------------------------------------------------------

void SettingView::onLogoClick() {}

void SettingView::onHomeUrlClick() {
  if (services_.openLink && services_.homePage) services_.openLink(services_.homePage());
}

void SettingView::onCheckUpdateClick() {
  core::LogUtil::logLine(4, "[DEBUG]: check");
  if (services_.checkForUpdates) services_.checkForUpdates();
}

void SettingView::onAutoConnectClick() {
  services_.defaults->set(kAutoConnectKey, autoConnectButton_->isChecked());
  services_.defaults->synchronize();
}

void SettingView::onAutoLaunchClick() {
  const bool enabled = autoLaunchButton_->isChecked();
  services_.defaults->set(kAutoLaunchKey, enabled);
  services_.defaults->synchronize();
  if (!services_.setLoginItemEnabled) return;
  // The box keeps what the user chose; a failed registration is only logged.
  const platform::Result<void> registered = services_.setLoginItemEnabled(enabled);
  if (!registered.ok()) core::LogUtil::debug("[login item] " + registered.error().message);
}

void SettingView::onBackButtonClick() {
  hide();
  // Leaving the superview fills the controls once more, as every move does.
  setParent(nullptr);
  emit removedFromSuperview();
  deleteLater();
}

void SettingView::onHelpCenterClick() {
  if (services_.openLink) services_.openLink(helpCenterAddress());
}

void SettingView::onTermsClick() {
  if (services_.openLink) services_.openLink(core::termsURL());
}

void SettingView::onPrivacyClick() {
  if (services_.openLink) services_.openLink(core::privacyURL());
}

void SettingView::onResetNetwork() {
  connection::AlertHelpers* alerts = services_.alerts;
  std::function<core::ResultData()> reset = services_.resetNetwork;
  // The reset blocks on the helper and the daemon: never on the GUI thread.
  services_.globalQueue->async([alerts, reset] {
    const core::ResultData result =
        reset ? reset() : core::ResultData::failure("network reset unavailable");
    alerts->showAlert("Notice", result.isSuccess ? "Reset Network Success" : "Reset Network Failed",
                      "OK");
  });
}

void SettingView::onWipeCache() {
  if (services_.clearUserDataAndLog) services_.clearUserDataAndLog();
  connection::AlertHelpers* alerts = services_.alerts;
  services_.scheduler->schedule(kWipeAlertDelay, *services_.mainQueue, [alerts] {
    alerts->showAlert("Notice", "Wipe Cache Success", "OK");
  });
}

}  // namespace vandrel::app
