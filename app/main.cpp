// The application: start-up of the shell on the Qt event loop.

#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdio>
#include <thread>

#include "app/app_delegate.h"
#include "app/app_style.h"
#include "app/qt_alert_presenter.h"
#include "app/qt_main_queue.h"
#include "analytics/transport/evt_application.h"
#include "analytics/tally/tally.h"
#include "analytics/transport/evt_load.h"
#include "app/ui_helpers.h"
#include "connection/alert_helpers.h"
#include "connection/connection_port_impl.h"
#include "core/model_cache.h"
#include "crash/kit/faultline.h"
#include "crash/kit/trl_load.h"

int main(int argc, char** argv) {
  // The launch reads the encrypted cache before the first window shows; the
  // crypto library's one-time set-up that its first entry needs is done
  // here, beside the toolkit's own start, instead of on the GUI thread.
  std::thread cacheCrypto(vandrel::core::prepareModelCache);

  // What registers itself as the executable loads: the event transport's
  // storage, uploader and upload coordinator, and the kit registry's
  // observer of the app-configuration core's ready notice, and the two kits
  // it can start (nothing in this application configures an app, so they
  // stay registered and idle).
  vandrel::analytics::loadEventTransport();
  vandrel::crash::loadKitRegistry();
  vandrel::crash::loadFaultlineKit();
  vandrel::analytics::loadTally();

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vandrel"));
  // The main window is only ever hidden; the application ends through its
  // quit paths, never because no window shows.
  QApplication::setQuitOnLastWindowClosed(false);

  namespace app = vandrel::app;
  app::installAppStyle();
  static app::QtAlertPresenter presenter;
  // Should the crash kit ever start, it asks the user before sending.
  app::registerCrashReportPrompt();
  // Leaked with the shared objects it starts: nothing is torn down at exit.
  auto* delegate = new app::AppDelegate(app::AppDelegate::standard(presenter));
  // The object is served before the name is owned, so a second start that
  // finds the name can always reopen through it.
  const QDBusConnection bus = QDBusConnection::sessionBus();
  delegate->exportApplicationObject(bus);
  // A second start hands over to the running application, as reopening it.
  if (app::claimApplicationBusName(bus) == app::InstanceClaim::AlreadyRunning) {
    // exit() runs the crypto library's clean-up: never under its set-up.
    cacheCrypto.join();
    return app::askRunningApplicationToReopen(bus) ? 0 : 1;
  }
  // The process only ever ends through _exit, which runs no clean-up.
  cacheCrypto.detach();

  app::bindMainQueueToQt();
  vandrel::connection::setSharedAlertPresenter(&presenter);
  vandrel::connection::setSharedLinkOpener([](const std::string& url) { app::qv_Navigator::open(url); });
  // Before the first shared() of a core object: they reach connection
  // control through this port.
  vandrel::connection::ConnectionPortImpl::installShared();

  // The launch sequence runs from the event loop, as a finished launch does.
  QTimer::singleShot(0, delegate, [delegate] { delegate->applicationDidFinishLaunching(); });
  const int status = application.exec();
  // The transport stores what is queued and stops its timer before the
  // process goes.
  vandrel::analytics::postApplicationWillTerminate();
  // Background work may still run on the shared objects: leave without
  // destroying them.
  std::fflush(nullptr);
  ::_exit(status);
}
