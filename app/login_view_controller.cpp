#include "app/login_view_controller.h"

#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QTextBoundaryFinder>
#include <QVBoxLayout>

#include <optional>
#include <utility>

#include "app/images.h"
#include "app/loading_dots_view.h"
#include "app/secure_text_field.h"
#include "app/ui_helpers.h"
#include "core/account_records.h"
#include "core/app_constants.h"
#include "core/misc_info.h"
#include "core/result_data.h"
#include "platform/dispatch.h"

namespace vandrel::app {

namespace {

// The window's borders, divider, placeholders and disabled title.
const QColor kDarkGray(85, 85, 85);
// The window's background: the main window's dark face.
const QColor kWindowColor(39, 41, 50);

constexpr double kPlaceholderFontSize = 14.0;
constexpr int kMinimumPasswordLength = 6;
constexpr int kMaximumPasswordLength = 32;
// No deliverable address is longer (a mail path holds 256 characters with
// its angle brackets). Checked before the pattern, whose matching time grows
// with the square of a pasted text full of "@": it runs on the GUI thread.
constexpr qsizetype kMaximumEmailLength = 254;
constexpr int kFieldHeight = 44;
constexpr int kButtonHeight = 40;

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// User-perceived characters, as a person counts the password they typed.
int characterCount(const QString& text) {
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  int count = 0;
  while (finder.toNextBoundary() != -1) ++count;
  return count;
}

void setUpField(DSFSecureTextField* field, bool clearText, const QString& placeholder) {
  field->setPasswordIsVisible(clearText);
  field->setShowSecureButton(false);
  field->setPlaceholderText(placeholder);
  QFont font = field->font();
  font.setPointSizeF(kPlaceholderFontSize);
  field->setFont(font);
  QPalette colours = field->palette();
  colours.setColor(QPalette::PlaceholderText, kDarkGray);
  colours.setColor(QPalette::Base, Qt::transparent);
  field->setPalette(colours);
}

// The frame round the two fields: a dark-grey 1-point border with 2-point
// corners. Painted here rather than by a style sheet, which would reach the
// fields too and give them back an opaque base under their white text.
class InputFrame : public QFrame {
 public:
  using QFrame::QFrame;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kDarkGray, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 2.0, 2.0);
  }
};

QPushButton* makeLinkButton(const QString& title, QWidget* parent) {
  auto* button = new QPushButton(title, parent);
  button->setFlat(true);
  button->setCursor(Qt::PointingHandCursor);
  QPalette colours = button->palette();
  const core::RgbaColor theme = core::themeColor();
  colours.setColor(
      QPalette::ButtonText,
      QColor::fromRgbF(static_cast<float>(theme.red), static_cast<float>(theme.green),
                       static_cast<float>(theme.blue), static_cast<float>(theme.alpha)));
  button->setPalette(colours);
  return button;
}

}  // namespace

// ---- SignInButton --------------------------------------------------------------

SignInButton::SignInButton(QWidget* parent) : QPushButton(qs(kSignInTitle), parent) {
  setCursor(Qt::PointingHandCursor);
  setFixedHeight(kButtonHeight);
}

void SignInButton::applyEnabledLook() {
  // The border of an earlier disabled look stays.
  showsImage_ = true;
  setTitleColor(Qt::white);
}

void SignInButton::applyDisabledLook() {
  showsImage_ = false;
  showsBorder_ = true;
  borderRadius_ = height() / 2.0;
  setTitleColor(kDarkGray);
}

void SignInButton::setTitleColor(const QColor& color) {
  titleColor_ = color;
  // The palette says what the title is painted with, as for any button.
  QPalette colours = palette();
  colours.setColor(QPalette::ButtonText, color);
  setPalette(colours);
  update();
}

void SignInButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF face = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  if (showsImage_) {
    // The picture is a round button face: stretched over a wide button it
    // would sit as an ellipse behind the title. A pill in its colour under
    // the picture kept round at the leading end reads as one button.
    const QPixmap picture = appImage("btn_Connect");
    painter.setPen(Qt::NoPen);
    painter.setBrush(picture.toImage().pixelColor(picture.width() / 2, picture.height() / 5));
    painter.drawRoundedRect(face, face.height() / 2, face.height() / 2);
    const qreal side = face.height();
    painter.drawPixmap(QRectF(face.left(), face.top(), side, side), picture, picture.rect());
  }
  if (showsBorder_) {
    painter.setPen(QPen(kDarkGray, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(face, borderRadius_, borderRadius_);
  }
  if (!text().isEmpty()) {
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.drawText(rect(), Qt::AlignCenter, text());
  }
}

// ---- LoginViewController -------------------------------------------------------

LoginViewController::Services LoginViewController::Services::standard() {
  Services services;
  services.showNotice = [](std::string text) { app::showNotice(std::move(text)); };
  services.openLink = [](std::string url) { qv_Navigator::open(std::move(url)); };
  services.clock = &platform::SystemClock::shared();
  return services;
}

LoginViewController::LoginViewController(core::MiscInfo& session, Services services,
                                         QWidget* parent)
    : QWidget(parent), session_(session), services_(std::move(services)) {
  buildWindow();
  connect(emailTextfield_, &QLineEdit::textChanged, this,
          &LoginViewController::refreshSignInButton);
  connect(passwordTextfield_, &QLineEdit::textChanged, this,
          &LoginViewController::refreshSignInButton);
  // Only Return in the password field signs in; Tab or leaving the field
  // does not.
  connect(passwordTextfield_, &QLineEdit::returnPressed, this, &LoginViewController::signIn);
  connect(signInButton_, &QPushButton::clicked, this, &LoginViewController::onSignInClick);
  connect(signUpButton_, &QPushButton::clicked, this, &LoginViewController::onSignUpClick);
  connect(forgotButton_, &QPushButton::clicked, this, &LoginViewController::onForgotClick);
}

LoginViewController::~LoginViewController() {
  // Out of the button the dots have no parent to delete them.
  if (loadingView_ && loadingView_->parent() == nullptr) delete loadingView_.data();
}

LoginViewController* LoginViewController::present(QWidget* parent) {
  return present(parent, core::MiscInfo::shared(), Services::standard());
}

LoginViewController* LoginViewController::present(QWidget* parent, core::MiscInfo& session,
                                                  Services services) {
  // One sign-in window at a time: a second sign-in control brings it back.
  static QPointer<LoginViewController> open;
  if (!open) {
    open = new LoginViewController(session, std::move(services), parent);
    open->setWindowFlag(Qt::Window);
    open->setAttribute(Qt::WA_DeleteOnClose);
    // Over the window that asked for it, where the user is looking; left
    // alone, a window manager may put it in a far corner of the screen.
    if (parent != nullptr && parent->window()->isVisible()) {
      open->adjustSize();
      open->move(parent->window()->geometry().center() - open->rect().center());
    }
  }
  open->show();
  open->raise();
  open->activateWindow();
  return open;
}

void LoginViewController::buildWindow() {
  setWindowTitle(qs(kSignInTitle));
  // Wide enough for an ordinary address beside the room the fields keep
  // at their right end.
  setFixedSize(400, 300);
  setAutoFillBackground(true);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, kWindowColor);
  colours.setColor(QPalette::WindowText, Qt::white);
  setPalette(colours);

  auto* heading = new QLabel(QStringLiteral("Vandrel"), this);
  QFont headingFont = heading->font();
  headingFont.setPointSizeF(20.0);
  headingFont.setBold(true);
  heading->setFont(headingFont);
  heading->setAlignment(Qt::AlignCenter);

  inputContentView_ = new InputFrame(this);
  inputContentView_->setObjectName(QStringLiteral("inputContentView"));
  emailTextfield_ = new DSFSecureTextField(inputContentView_);
  passwordTextfield_ = new DSFSecureTextField(inputContentView_);
  dividerLine_ = new QFrame(inputContentView_);
  dividerLine_->setFixedHeight(1);
  // The placeholders vanish once typed over: the fields keep their names.
  emailTextfield_->setAccessibleName(QStringLiteral("Email"));
  passwordTextfield_->setAccessibleName(QStringLiteral("Password"));
  for (DSFSecureTextField* field : {emailTextfield_, passwordTextfield_}) {
    field->setFrame(false);
    field->setFixedHeight(kFieldHeight);
  }
  auto* inputs = new QVBoxLayout(inputContentView_);
  inputs->setContentsMargins(8, 0, 8, 0);
  inputs->setSpacing(0);
  inputs->addWidget(emailTextfield_);
  inputs->addWidget(dividerLine_);
  inputs->addWidget(passwordTextfield_);

  signInButton_ = new SignInButton(this);
  signInButton_->setObjectName(QStringLiteral("signInButton"));
  signUpButton_ = makeLinkButton(QStringLiteral("Sign Up"), this);
  forgotButton_ = makeLinkButton(QStringLiteral("Forgot Password?"), this);
  auto* links = new QHBoxLayout;
  links->addWidget(signUpButton_);
  links->addStretch();
  links->addWidget(forgotButton_);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(32, 24, 32, 16);
  column->setSpacing(16);
  column->addWidget(heading);
  column->addWidget(inputContentView_);
  column->addWidget(signInButton_);
  column->addLayout(links);
  setTabOrder(emailTextfield_, passwordTextfield_);
}

void LoginViewController::showEvent(QShowEvent* event) {
  viewWillAppear();
  QWidget::showEvent(event);
}

void LoginViewController::viewWillAppear() {
  setUpField(emailTextfield_, true, QStringLiteral("Email"));
  setUpField(passwordTextfield_, false, QStringLiteral("Password"));
  dividerLine_->setAutoFillBackground(true);
  QPalette divider = dividerLine_->palette();
  divider.setColor(QPalette::Window, kDarkGray);
  dividerLine_->setPalette(divider);
  refreshSignInButton();
}

void LoginViewController::refreshSignInButton() {
  updateSignInButton(!emailTextfield_->text().isEmpty() && !passwordTextfield_->text().isEmpty());
}

void LoginViewController::updateSignInButton(bool enabled) {
  if (enabled) {
    signInButton_->applyEnabledLook();
  } else {
    signInButton_->applyDisabledLook();
  }
}

bool LoginViewController::isSigningIn() const {
  return loadingView_ && loadingView_->parentWidget() == signInButton_;
}

void LoginViewController::onSignInClick() { signIn(); }

void LoginViewController::signIn() {
  if (isSigningIn()) return;
  const QString email = emailTextfield_->text();
  const QString password = passwordTextfield_->text();
  // The button already looks disabled: an empty field needs no notice.
  if (email.isEmpty() || password.isEmpty()) return;
  if (email.size() > kMaximumEmailLength || !core::isEmail(email.toStdString())) {
    services_.showNotice(std::string(kCheckEmailMessage));
    return;
  }
  const int length = characterCount(password);
  if (length < kMinimumPasswordLength || length > kMaximumPasswordLength) {
    services_.showNotice(std::string(kPasswordLengthMessage));
    return;
  }
  showLoading();

  QPointer<LoginViewController> self(this);
  core::MiscInfo* session = &session_;
  platform::globalQueue().async(
      [self, session, account = email.toStdString(), secret = password.toStdString()] {
        session->login(account, secret, core::LoginAuthType::username, "", "")
            .then(platform::mainQueue(), [self](const core::ResultData& result) {
              // A window closed meanwhile has nobody left to tell.
              if (self) self->finishSignIn(result);
            });
      });
}

void LoginViewController::showLoading() {
  if (!loadingView_) {
    loadingView_ = new DotAnimationView(
        signInButton_->rect(), nullptr,
        services_.clock != nullptr ? *services_.clock : platform::SystemClock::shared());
  }
  signInButton_->setText(QString());
  loadingView_->setParent(signInButton_);
  loadingView_->setGeometry(signInButton_->rect());
  loadingView_->show();
  // The button stays enabled, so the focus stays where the user left it;
  // signIn ignores it while the dots are in it.
}

void LoginViewController::finishSignIn(const core::ResultData& result) {
  if (loadingView_) {
    loadingView_->hide();
    loadingView_->setParent(nullptr);
  }
  signInButton_->setText(qs(kSignInTitle));
  refreshSignInButton();
  if (result.isSuccess) {
    window()->close();
    return;
  }
  services_.showNotice(result.message);
}

void LoginViewController::onSignUpClick() {
  services_.openLink(session_.payment().value_or(*core::MiscInfo::Links::defaults().payment));
}

void LoginViewController::onForgotClick() {
  services_.openLink(
      session_.forget_password().value_or(*core::MiscInfo::Links::defaults().forget_password));
}

}  // namespace vandrel::app
