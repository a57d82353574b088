// The main window's wiring in the application: the process's shared
// objects and the application's own windows and panels.

#include <QCheckBox>
#include <QLabel>

#include <string>

#include "app/feature_tour.h"
#include "app/loading_dots_view.h"
#include "app/flag_images.h"
#include "app/home_view_controller.h"
#include "app/login_view_controller.h"
#include "app/setting_view.h"
#include "app/ui_helpers.h"
#include "connection/alert_helpers.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/misc_info.h"
#include "core/qv_connect_log.h"
#include "platform/clock.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace vandrel::app {

HomeViewController::Dependencies HomeViewController::sharedDependencies() {
  return Dependencies{
      .connection = connection::qv_ConnectionManager::shared(),
      .lines = connection::LinesManager::shared(),
      .session = core::MiscInfo::shared(),
      .connectLog = core::qv_ConnectLog::shared(),
      .notifications = platform::NotificationCenter::shared(),
      .alerts = connection::AlertHelpers::shared(),
      .clock = platform::SystemClock::shared(),
      .scheduler = platform::Scheduler::system(),
      .background = platform::globalQueue(),
      .flags = RemoteFlagImages::shared(),
      .openLink = [](const std::string& link) { qv_Navigator::open(link); },
      .showSignIn = [](QWidget* parent) { LoginViewController::present(parent); },
      .makeSettingsPanel = [](QWidget* parent) -> QWidget* { return new SettingView(parent); },
      .showFeatureTourIfFirstRun =
          [](QWidget* mainView) {
            FeatureView::showIfFirstRun(mainView, platform::Defaults::standard());
          },
  };
}

}  // namespace vandrel::app
