#pragma once

#include <QColor>
#include <QLineEdit>
#include <QRect>
#include <QToolButton>

namespace vandrel::app {

// The text colour of the secure fields, their caret included: white.
const QColor& secureFieldTextColor();

// DSFPasswordButton: the eye-style toggle inside a secure field's right
// end. A checkable button without border, showing "icon_password_lock"
// scaled to its size; checked means "show the text in clear". The pointer
// becomes a pointing hand over it.
class DSFPasswordButton : public QToolButton {
  Q_OBJECT

 public:
  explicit DSFPasswordButton(QWidget* parent = nullptr);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void configure();
};

// DSFSecureTextField: a one-line field whose text is shown in clear or
// obscured (`passwordIsVisible`), with an optional toggle button inside its
// right end (`showSecureButton`, together with `displayToggleButton`).
//
// Switching between clear and obscured text keeps the text, the
// placeholder, the font, the frame and the colours. While the field uses
// the custom "cells" (`displayToggleButton`) its text keeps clear of the
// button's room, 1.25 x the field's height at its right end, whether or not
// the button shows; text and caret are white.
//
// Every flag assignment runs its follow-up, also when the value does not
// change. A field the user leaves shows the start of its text again, as a
// field not being edited does. GUI thread only.
class DSFSecureTextField : public QLineEdit {
  Q_OBJECT

 public:
  // How the field draws its text; the four combinations of the two flags.
  enum class Cell {
    DSFPlainTextFieldCell,     // clear text, room kept for the button
    DSFPasswordTextFieldCell,  // obscured text, room kept for the button
    PlainTextFieldCell,        // clear text, the whole width
    SecureTextFieldCell,       // obscured text, the whole width
  };

  explicit DSFSecureTextField(QWidget* parent = nullptr);

  bool displayToggleButton() const { return displayToggleButton_; }
  void setDisplayToggleButton(bool value);
  bool showSecureButton() const { return showSecureButton_; }
  void setShowSecureButton(bool value);
  bool passwordIsVisible() const { return passwordIsVisible_; }
  void setPasswordIsVisible(bool value);

  // The toggle button while it exists, else nullptr.
  DSFPasswordButton* visibilityButton() const { return visibilityButton_; }
  Cell cell() const;
  // Where the text is laid out, in the field's coordinates.
  QRect textRect() const;

  // Replaces the "cell": clear or obscured text, and the button's room.
  void updateCell();
  // Creates or removes the toggle button.
  void updateVisibilityButton();

 public slots:
  // The toggle button's action: checked shows the text in clear.
  void visibilityChanged(bool checked);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  // The button's room at the right end: 1.25 x the field's height.
  int buttonRoom() const;
  void applyTextMargins();
  void layoutVisibilityButton();

  bool displayToggleButton_ = true;
  bool showSecureButton_ = true;
  bool passwordIsVisible_ = false;
  DSFPasswordButton* visibilityButton_ = nullptr;
};

}  // namespace vandrel::app
