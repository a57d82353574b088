#include "app/secure_text_field.h"

#include <QCoreApplication>
#include <QPalette>
#include <QSignalBlocker>
#include <QStyle>
#include <QStyleOptionFrame>

#include <algorithm>
#include <cmath>

#include "app/images.h"

namespace vandrel::app {

namespace {

// The toggle button's place, kept from the field's edges: 17 points from
// its top, bottom and right; as wide as it is high, less 2.
constexpr int kButtonInset = 17;
constexpr int kButtonWidthLessHeight = 2;
constexpr double kButtonRoomPerHeight = 1.25;

}  // namespace

const QColor& secureFieldTextColor() {
  static const QColor* color = new QColor(Qt::white);
  return *color;
}

// ---- DSFPasswordButton -------------------------------------------------------

DSFPasswordButton::DSFPasswordButton(QWidget* parent) : QToolButton(parent) { configure(); }

void DSFPasswordButton::configure() {
  setAutoRaise(true);  // no border
  setToolButtonStyle(Qt::ToolButtonIconOnly);
  setCheckable(true);
  setChecked(false);
  setIcon(appIcon("icon_password_lock"));
  setIconSize(size());
  setCursor(Qt::PointingHandCursor);
  setToolTip(QCoreApplication::translate(
      "DSFPasswordButton", "Toggle password visibility",
      "Button used to toggle whether the password is shown in the clear or obscured"));
}

void DSFPasswordButton::resizeEvent(QResizeEvent* event) {
  QToolButton::resizeEvent(event);
  // The picture fills the button, each axis scaled on its own.
  setIconSize(size());
}

// ---- DSFSecureTextField ------------------------------------------------------

DSFSecureTextField::DSFSecureTextField(QWidget* parent) : QLineEdit(parent) {
  updateVisibilityButton();
  updateCell();
  QPalette colours = palette();
  colours.setColor(QPalette::Text, secureFieldTextColor());
  setPalette(colours);
}

void DSFSecureTextField::setDisplayToggleButton(bool value) {
  displayToggleButton_ = value;
  updateCell();
  // The button lives only with the custom cells.
  updateVisibilityButton();
}

void DSFSecureTextField::setShowSecureButton(bool value) {
  showSecureButton_ = value;
  updateVisibilityButton();
}

void DSFSecureTextField::setPasswordIsVisible(bool value) {
  passwordIsVisible_ = value;
  updateCell();
}

void DSFSecureTextField::visibilityChanged(bool checked) { setPasswordIsVisible(checked); }

DSFSecureTextField::Cell DSFSecureTextField::cell() const {
  if (displayToggleButton_) {
    return passwordIsVisible_ ? Cell::DSFPlainTextFieldCell : Cell::DSFPasswordTextFieldCell;
  }
  return passwordIsVisible_ ? Cell::PlainTextFieldCell : Cell::SecureTextFieldCell;
}

void DSFSecureTextField::updateCell() {
  // The echo mode changes how the text shows, never the text itself, and
  // the field keeps its placeholder, font, frame and palette.
  setEchoMode(passwordIsVisible_ ? QLineEdit::Normal : QLineEdit::Password);
  applyTextMargins();
  if (visibilityButton_ != nullptr) {
    // The button shows the state however it was reached (a click or code).
    const QSignalBlocker quiet(visibilityButton_);
    visibilityButton_->setChecked(passwordIsVisible_);
    layoutVisibilityButton();
  }
}

void DSFSecureTextField::updateVisibilityButton() {
  delete visibilityButton_;
  visibilityButton_ = nullptr;
  if (showSecureButton_ && displayToggleButton_) {
    visibilityButton_ = new DSFPasswordButton(this);
    visibilityButton_->setChecked(passwordIsVisible_);
    connect(visibilityButton_, &QAbstractButton::clicked, this,
            &DSFSecureTextField::visibilityChanged);
    layoutVisibilityButton();
    visibilityButton_->show();
  }
}

int DSFSecureTextField::buttonRoom() const {
  return static_cast<int>(std::lround(kButtonRoomPerHeight * height()));
}

void DSFSecureTextField::applyTextMargins() {
  const QMargins margins = textMargins();
  setTextMargins(margins.left(), margins.top(), displayToggleButton_ ? buttonRoom() : 0,
                 margins.bottom());
}

void DSFSecureTextField::layoutVisibilityButton() {
  if (visibilityButton_ == nullptr) return;
  const int buttonHeight = std::max(0, height() - 2 * kButtonInset);
  const int buttonWidth = std::max(0, buttonHeight - kButtonWidthLessHeight);
  visibilityButton_->setGeometry(width() - kButtonInset - buttonWidth, kButtonInset, buttonWidth,
                                 buttonHeight);
}

QRect DSFSecureTextField::textRect() const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
  return contents.marginsRemoved(textMargins());
}

void DSFSecureTextField::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  // Editing scrolled the text to the caret; a text longer than the field
  // would otherwise go on hiding its first characters.
  if (!hasFocus()) home(false);
}

void DSFSecureTextField::resizeEvent(QResizeEvent* event) {
  QLineEdit::resizeEvent(event);
  applyTextMargins();
  layoutVisibilityButton();
}

}  // namespace vandrel::app
