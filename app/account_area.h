#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

namespace vandrel::core {
class MiscInfo;
struct MiscInfoModel;
}  // namespace vandrel::core
namespace vandrel::connection {
class AlertHelpers;
}

namespace vandrel::app {

// The top of the main window: who is signed in. A visitor sees the product
// name with sign-in and sign-up buttons; a signed-in user the account's
// name, a coloured expiry line, the premium mark, one action button
// ("Upgrade", "Renew" or "Verify") and the log-out button. The logo button
// opens the account page (or the service's home page for a visitor).
//
// Everything shown comes from the session, redrawn by draw(). Main thread
// only.
class AccountArea final : public QWidget {
 public:
  struct Dependencies {
    core::MiscInfo& session;
    // The log-out question goes through the application's alerts.
    connection::AlertHelpers& alerts;
    // Opens a web address in the browser.
    std::function<void(const std::string&)> openLink;
    // Shows the sign-in window.
    std::function<void(QWidget* parent)> showSignIn;
  };

  // One stretch of the expiry line; no colour: the label's own.
  struct Run {
    std::string text;
    std::optional<QColor> color;
    bool operator==(const Run&) const = default;
  };

  static constexpr double kNameWidthLimit = 180.0;
  static constexpr int kNameFontSize = 16;
  static constexpr int kSmallestMeasuredNameFontSize = 8;
  static constexpr int kLastResortNameFontSize = 7;

  AccountArea(Dependencies deps, QWidget* parent = nullptr);

  // Redraws the area from the session.
  void draw();

  // The buttons' actions.
  void onLogoClick();
  void onSignUpClick();
  void onLogoutClick();
  // The action button: opens `actionURL`, with the verification and
  // payment links read afresh.
  void onRenewalClick();

  // The page the action button opens.
  const std::string& actionURL() const { return actionURL_; }
  const std::vector<Run>& expiryLine() const { return expiryLine_; }

  // The largest size (16, else 15 down to 8, else 7) at which `name` is at
  // most 180 wide.
  static int nameFontSize(const QString& name);

  static QColor grey();
  static QColor amber();
  static QColor red();

 private:
  void drawVisitor();
  void drawSignedIn(const core::MiscInfoModel& model);
  void setExpiryLine(std::vector<Run> runs);

  Dependencies deps_;
  std::string actionURL_;
  std::vector<Run> expiryLine_;

  QPushButton* logoButton_;
  QLabel* appNameLabel_;
  QPushButton* signInButton_;
  QPushButton* signUpButton_;
  QLabel* emailLabel_;
  QLabel* premiumIcon_;
  QLabel* expiredLabel_;
  QPushButton* actionButton_;
  QPushButton* logoutButton_;
};

}  // namespace vandrel::app
