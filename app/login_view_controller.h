#pragma once

#include <QColor>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <string>
#include <string_view>

#include "platform/clock.h"

class QFrame;
class QLabel;

namespace vandrel::core {
class MiscInfo;
struct ResultData;
}  // namespace vandrel::core

namespace vandrel::app {

class DSFSecureTextField;
class DotAnimationView;

// The notices of the sign-in window's input checks. The e-mail notice also
// answers an address longer than 254 characters.
inline constexpr std::string_view kCheckEmailMessage =
    "Please check and enter the correct email address.";
// Also for a password longer than 32 characters.
inline constexpr std::string_view kPasswordLengthMessage =
    "Please enter 6 or more digits of your password";
inline constexpr std::string_view kSignInTitle = "Sign In";

// The sign-in button: a rounded button whose look says whether both fields
// are filled. The enabled look shows the picture "btn_Connect" under a
// white title; the disabled look draws a dark-grey border round it (which
// stays once drawn) and a dark-grey title. The look never changes whether
// the button takes clicks.
class SignInButton : public QPushButton {
  Q_OBJECT

 public:
  explicit SignInButton(QWidget* parent = nullptr);

  void applyEnabledLook();
  void applyDisabledLook();

  bool showsImage() const { return showsImage_; }
  bool showsBorder() const { return showsBorder_; }
  const QColor& titleColor() const { return titleColor_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void setTitleColor(const QColor& color);

  bool showsImage_ = false;
  bool showsBorder_ = false;
  double borderRadius_ = 0.0;
  QColor titleColor_;
};

// LoginViewController: the sign-in window. The user types an e-mail address
// and a password; the controller checks them (notices for a malformed
// address or a password outside 6 to 32 characters, nothing at all for an
// empty field), shows animated dots inside the sign-in button while
// MiscInfo::login runs (clicks and Return are ignored meanwhile), and closes
// its window on success or shows the service's message on failure. Return in
// the password field signs in too.
// Two link buttons open the service's pages for buying an account and for a
// forgotten password.
//
// What the rest of the application learns of the new session comes from
// MiscInfo and its notifications, not from this window.
//
// GUI thread only. The sign-in is started on the global queue and its
// result comes back on the main queue; nothing here waits.
class LoginViewController : public QWidget {
  Q_OBJECT

 public:
  // What the window reaches besides the session.
  struct Services {
    // Shows a one-button notice (the text as plain text).
    std::function<void(std::string text)> showNotice;
    // Opens a web address in the user's browser.
    std::function<void(std::string url)> openLink;
    // The clock of the loading dots; it must outlive the window.
    const platform::Clock* clock = nullptr;

    // showNotice and qv_Navigator::open of the application, the system clock.
    static Services standard();
  };

  // `session` must outlive the window and every sign-in it started.
  LoginViewController(core::MiscInfo& session, Services services, QWidget* parent = nullptr);
  ~LoginViewController() override;

  // Shows the sign-in window over the shared session, as a window of its
  // own above `parent`, or brings forward the one already open. It is
  // deleted when closed.
  static LoginViewController* present(QWidget* parent = nullptr);
  // The same over a given session and services; while a sign-in window is
  // open it is brought forward and the arguments go unused.
  static LoginViewController* present(QWidget* parent, core::MiscInfo& session, Services services);

  DSFSecureTextField* emailTextfield() const { return emailTextfield_; }
  DSFSecureTextField* passwordTextfield() const { return passwordTextfield_; }
  SignInButton* signInButton() const { return signInButton_; }
  QPushButton* signUpButton() const { return signUpButton_; }
  QPushButton* forgotButton() const { return forgotButton_; }
  // The loading dots: none until the first sign-in starts, then kept and
  // reused.
  DotAnimationView* loadingView() const { return loadingView_; }
  // Whether a sign-in runs (the dots are in the button).
  bool isSigningIn() const;

  // The enabled look exactly when both fields hold text.
  void refreshSignInButton();
  void updateSignInButton(bool enabled);
  // Checks the fields and starts the sign-in; ignored while one runs.
  void signIn();

 public slots:
  void onSignInClick();
  void onSignUpClick();
  void onForgotClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void buildWindow();
  // The appearance set-up, each time the window is about to show.
  void viewWillAppear();
  void showLoading();
  void finishSignIn(const core::ResultData& result);

  core::MiscInfo& session_;
  const Services services_;

  DSFSecureTextField* emailTextfield_ = nullptr;
  DSFSecureTextField* passwordTextfield_ = nullptr;
  SignInButton* signInButton_ = nullptr;
  QFrame* inputContentView_ = nullptr;
  QFrame* dividerLine_ = nullptr;
  QPushButton* signUpButton_ = nullptr;
  QPushButton* forgotButton_ = nullptr;
  // Parented to the button while a sign-in runs, else to nothing (owned
  // here then).
  QPointer<DotAnimationView> loadingView_;
};

}  // namespace vandrel::app
