#include "app/account_area.h"

#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>
#include <utility>

#include "app/images.h"
#include "connection/alert_helpers.h"
#include "core/app_constants.h"
#include "core/misc_info.h"

namespace vandrel::app {

namespace {

constexpr int kLogoSize = 48;

QFont systemFontOfSize(int size) {
  QFont font = QGuiApplication::font();
  // Sizes are in the window's own units, as the layout's widths are.
  font.setPixelSize(size);
  return font;
}

// The width of `text` in `font` on one line, rounded up.
double measuredWidth(const QString& text, const QFont& font) {
  const QFontMetricsF metrics(font);
  return std::ceil(metrics.boundingRect(QRectF(0, 0, 1.0e7, 15.0), Qt::AlignLeft, text).width());
}

QPushButton* textButton(const QString& text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(name);
  button->setCursor(Qt::PointingHandCursor);
  return button;
}

}  // namespace

QColor AccountArea::grey() { return QColor::fromRgbF(0.6f, 0.6f, 0.6f, 1.0f); }
QColor AccountArea::amber() { return QColor(213, 154, 16); }
QColor AccountArea::red() { return QColor(255, 59, 48); }

AccountArea::AccountArea(Dependencies deps, QWidget* parent)
    : QWidget(parent),
      deps_(std::move(deps)),
      actionURL_(deps_.session.signup().value_or("")),
      logoButton_(new QPushButton(this)),
      appNameLabel_(new QLabel(QStringLiteral("Vandrel"), this)),
      signInButton_(textButton(QStringLiteral("Sign In"), "signInButton", this)),
      signUpButton_(textButton(QStringLiteral("Sign Up"), "signUpButton", this)),
      emailLabel_(new QLabel(this)),
      premiumIcon_(new QLabel(this)),
      expiredLabel_(new QLabel(this)),
      actionButton_(textButton(QString(), "actionButton", this)),
      logoutButton_(textButton(QString(), "logoutButton", this)) {
  setObjectName("accountArea");
  logoButton_->setObjectName("logoButton");
  logoButton_->setFlat(true);
  logoButton_->setFixedSize(kLogoSize, kLogoSize);
  logoButton_->setIconSize(QSize(kLogoSize, kLogoSize));
  logoButton_->setCursor(Qt::PointingHandCursor);
  logoButton_->setAccessibleName(QStringLiteral("Account"));
  appNameLabel_->setObjectName("appNameLabel");
  appNameLabel_->setStyleSheet("color: white; font-size: 18px; font-weight: bold;");
  emailLabel_->setObjectName("emailLabel");
  // The account's name comes from the service.
  emailLabel_->setTextFormat(Qt::PlainText);
  emailLabel_->setStyleSheet("color: white;");
  premiumIcon_->setObjectName("premiumIcon");
  premiumIcon_->setPixmap(
      appImage("icon_premium").scaled(16, 16, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  expiredLabel_->setObjectName("expiredLabel");
  // Rich text built only from our own words and a formatted date, escaped.
  expiredLabel_->setTextFormat(Qt::RichText);
  expiredLabel_->setStyleSheet("color: white; font-size: 11px;");
  logoutButton_->setIcon(appIcon("icon_logout"));
  logoutButton_->setToolTip(QStringLiteral("Log out"));
  logoutButton_->setAccessibleName(QStringLiteral("Log out"));
  logoutButton_->setFlat(true);

  auto* nameRow = new QHBoxLayout;
  nameRow->setSpacing(6);
  nameRow->addWidget(emailLabel_);
  nameRow->addWidget(premiumIcon_);
  nameRow->addStretch(1);
  auto* info = new QVBoxLayout;
  info->setSpacing(2);
  info->addStretch(1);
  info->addWidget(appNameLabel_);
  info->addLayout(nameRow);
  info->addWidget(expiredLabel_);
  info->addStretch(1);

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(20, 10, 20, 10);
  row->setSpacing(12);
  row->addWidget(logoButton_);
  row->addLayout(info, 1);
  row->addWidget(actionButton_);
  row->addWidget(logoutButton_);
  row->addWidget(signInButton_);
  row->addWidget(signUpButton_);

  connect(logoButton_, &QPushButton::clicked, this, [this] { onLogoClick(); });
  connect(signUpButton_, &QPushButton::clicked, this, [this] { onSignUpClick(); });
  connect(logoutButton_, &QPushButton::clicked, this, [this] { onLogoutClick(); });
  connect(actionButton_, &QPushButton::clicked, this, [this] { onRenewalClick(); });
  connect(signInButton_, &QPushButton::clicked, this, [this] {
    if (deps_.showSignIn) deps_.showSignIn(window());
  });
}

void AccountArea::draw() {
  const std::optional<core::MiscInfoModel> model = deps_.session.model();
  if (!deps_.session.isLogin() || !model) {
    drawVisitor();
    return;
  }
  drawSignedIn(*model);
}

void AccountArea::drawVisitor() {
  appNameLabel_->show();
  logoButton_->setIcon(appIcon("logo"));
  // The account's widgets leave the view; what they showed stays for the
  // next signed-in drawing to replace.
  emailLabel_->hide();
  premiumIcon_->hide();
  expiredLabel_->hide();
  actionButton_->hide();
  logoutButton_->hide();
  signInButton_->show();
  signUpButton_->show();
}

int AccountArea::nameFontSize(const QString& name) {
  if (measuredWidth(name, systemFontOfSize(kNameFontSize)) <= kNameWidthLimit) {
    return kNameFontSize;
  }
  for (int size = kNameFontSize - 1; size >= kSmallestMeasuredNameFontSize; --size) {
    if (measuredWidth(name, systemFontOfSize(size)) <= kNameWidthLimit) return size;
  }
  return kLastResortNameFontSize;
}

void AccountArea::drawSignedIn(const core::MiscInfoModel& model) {
  signInButton_->hide();
  signUpButton_->hide();
  appNameLabel_->hide();
  logoButton_->setIcon(appIcon("Avatar"));
  emailLabel_->show();
  expiredLabel_->show();
  actionButton_->show();
  logoutButton_->show();

  const QString name = QString::fromStdString(model.displayName());
  emailLabel_->setText(name);
  emailLabel_->setFont(systemFontOfSize(nameFontSize(name)));

  const std::string payment = deps_.session.paymentPageAddress();
  const std::string verify =
      deps_.session.verify_email().value_or(*core::MiscInfo::Links::defaults().verify_email);
  actionURL_ = payment;
  premiumIcon_->hide();

  // An absent flag counts as false.
  const bool verified = model.email_verified.value_or(false);
  const bool purchased = model.purchased.value_or(false);
  const std::string date = core::dateText(model.expire_at_time);
  const Run notVerified{"Email is not verified", amber()};
  QString button;
  if (verified && model.expired) {
    setExpiryLine(purchased ? std::vector<Run>{{"Expired: \n", grey()}, {date, red()}}
                            : std::vector<Run>{{"Trial Account", std::nullopt}});
    button = QStringLiteral("Upgrade");
  } else if (verified) {
    setExpiryLine({{"Will expire on \n" + date, grey()}});
    button = QStringLiteral("Renew");
    premiumIcon_->show();
  } else if (!model.expired) {
    setExpiryLine({{"Will expire on \n" + date, grey()}, {"\n\n", std::nullopt}, notVerified});
    button = QStringLiteral("Verify");
    actionURL_ = verify;
  } else {
    setExpiryLine({notVerified});
    button = QStringLiteral("Verify");
    actionURL_ = verify;
  }
  actionButton_->setText(button);
}

void AccountArea::setExpiryLine(std::vector<Run> runs) {
  expiryLine_ = std::move(runs);
  QString html;
  for (const Run& run : expiryLine_) {
    QString text = QString::fromStdString(run.text).toHtmlEscaped();
    text.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    if (run.color) {
      html += QStringLiteral("<span style=\"color:%1\">%2</span>")
                  .arg(run.color->name(QColor::HexRgb), text);
    } else {
      html += text;
    }
  }
  expiredLabel_->setText(html);
}

void AccountArea::onLogoClick() {
  if (deps_.session.isLogin()) {
    if (auto link = deps_.session.account_center()) deps_.openLink(*link);
    return;
  }
  deps_.openLink(core::webSiteAddress());
}

void AccountArea::onSignUpClick() { deps_.openLink(deps_.session.paymentPageAddress()); }

void AccountArea::onLogoutClick() {
  core::MiscInfo& session = deps_.session;
  deps_.alerts.showAlert(
      "Do you need to log out", "", "Log out", [&session] { session.logout(true); }, "No");
}

void AccountArea::onRenewalClick() {
  // The service may have sent new links since the area was drawn.
  if (actionURL_.find("verifyEmail") != std::string::npos) {
    if (auto link = deps_.session.verify_email()) actionURL_ = *link;
  }
  if (actionURL_.find("payment") != std::string::npos) {
    if (auto link = deps_.session.payment()) actionURL_ = *link;
  }
  deps_.openLink(actionURL_);
}

}  // namespace vandrel::app
