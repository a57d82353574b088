#pragma once

#include <QWidget>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/result_data.h"
#include "platform/dispatch.h"
#include "platform/result.h"

class QCheckBox;
class QLabel;
class QPushButton;

namespace vandrel::platform {
class Defaults;
}
namespace vandrel::connection {
class AlertHelpers;
}

namespace vandrel::app {

// The settings panel that the main window lays over its content: version,
// the two start-up switches (auto connect, auto launch at log-in), the
// service's home page, help centre, terms and privacy links, and the
// maintenance commands (check for updates, reset network, wipe cache). The
// back button takes it away again. GUI thread only.
class SettingView : public QWidget {
  Q_OBJECT

 public:
  static constexpr std::string_view kAutoConnectKey = "isAutoConnect";
  static constexpr std::string_view kAutoLaunchKey = "isAutoLaunch";
  static constexpr std::string_view kAutoConnectTitle = " Auto connect after Vandrel launch";
  static constexpr std::string_view kAutoLaunchTitle = " Auto launch Vandrel after power on";
  // How long after a wipe its alert comes.
  static constexpr std::chrono::milliseconds kWipeAlertDelay{300};

  // What the panel reaches; each is looked up when used.
  struct Services {
    platform::Defaults* defaults = nullptr;
    connection::AlertHelpers* alerts = nullptr;
    // Opens a web address (qv_Navigator::open).
    std::function<void(std::string)> openLink;
    // The service's home page address.
    std::function<std::string()> homePage;
    // The static catalogue's help_center_url, when there is one.
    std::function<std::optional<std::string>()> helpCenterUrl;
    std::function<std::string()> appVersion;
    std::function<std::string()> buildVersion;
    // Blocks (the daemon manager's network reset): run on `globalQueue`.
    std::function<core::ResultData()> resetNetwork;
    std::function<void()> clearUserDataAndLog;
    // Registers or unregisters the launcher as a login item.
    std::function<platform::Result<void>(bool)> setLoginItemEnabled;
    // The update checker; none on this platform.
    std::function<void()> checkForUpdates;
    platform::Queue* mainQueue = nullptr;
    platform::Queue* globalQueue = nullptr;
    platform::Scheduler* scheduler = nullptr;

    // The application's: standard defaults, shared alerts, the navigator,
    // the shared catalogue and daemon manager, the XDG login item.
    static Services standard();
  };

  explicit SettingView(QWidget* parent = nullptr);
  SettingView(Services services, QWidget* parent);
  ~SettingView() override;

  // Fills the controls from the stored values (also run whenever the panel
  // changes parent, on the way out included).
  void viewWillMoveToSuperview();

  // The controls, for the main window's layout and for tests.
  QPushButton* helpCenterButton() const { return helpCenterButton_; }
  QLabel* versionLAbel() const { return versionLAbel_; }
  QPushButton* homeUrlButton() const { return homeUrlButton_; }
  QLabel* checkUpdateLabel() const { return checkUpdateLabel_; }
  QCheckBox* autoConnectButton() const { return autoConnectButton_; }
  QCheckBox* autoLaunchButton() const { return autoLaunchButton_; }
  QWidget* contentView() const { return contentView_; }
  QPushButton* logoButton() const { return logoButton_; }
  QPushButton* checkUpdateButton() const { return checkUpdateButton_; }
  QPushButton* termsButton() const { return termsButton_; }
  QPushButton* privacyButton() const { return privacyButton_; }
  QPushButton* resetNetworkButton() const { return resetNetworkButton_; }
  QPushButton* wipeCacheButton() const { return wipeCacheButton_; }
  QPushButton* backButton() const { return backButton_; }

  // The help-centre address: the catalogue's, else home page + "/help-center".
  std::string helpCenterAddress() const;

 signals:
  // The back button took the panel away; it deletes itself next.
  void removedFromSuperview();

 public slots:
  void onLogoClick();
  void onHomeUrlClick();
  void onCheckUpdateClick();
  void onAutoConnectClick();
  void onAutoLaunchClick();
  void onBackButtonClick();
  void onHelpCenterClick();
  void onTermsClick();
  void onPrivacyClick();
  void onResetNetwork();
  void onWipeCache();

 protected:
  bool event(QEvent* event) override;

 private:
  void buildControls();

  Services services_;
  QPushButton* helpCenterButton_ = nullptr;
  QLabel* versionLAbel_ = nullptr;
  QPushButton* homeUrlButton_ = nullptr;
  QLabel* checkUpdateLabel_ = nullptr;
  QCheckBox* autoConnectButton_ = nullptr;
  QCheckBox* autoLaunchButton_ = nullptr;
  QWidget* contentView_ = nullptr;
  QPushButton* logoButton_ = nullptr;
  QPushButton* checkUpdateButton_ = nullptr;
  QPushButton* termsButton_ = nullptr;
  QPushButton* privacyButton_ = nullptr;
  QPushButton* resetNetworkButton_ = nullptr;
  QPushButton* wipeCacheButton_ = nullptr;
  QPushButton* backButton_ = nullptr;
};

}  // namespace vandrel::app
