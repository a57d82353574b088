#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDebug>

#include "launcher/app_delegate.h"
#include "launcher/launcher_paths.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (!QDBusConnection::sessionBus().isConnected()) {
    // Without the session bus the launcher can neither tell whether the
    // application runs nor hear it ask the launcher to quit.
    qWarning().noquote() << "Vandrel_Launcher: no session bus:"
                         << QDBusConnection::sessionBus().lastError().message();
    return 1;
  }
  const QString bundlePath =
      vandrel::launcher::bundlePathForExecutable(QCoreApplication::applicationFilePath());
  vandrel::launcher::AppDelegate delegate(
      vandrel::launcher::AppDelegate::systemEnvironment(bundlePath));
  delegate.applicationDidFinishLaunching();
  return application.exec();
}
