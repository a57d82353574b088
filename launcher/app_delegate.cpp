#include "launcher/app_delegate.h"

#include <string_view>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusReply>
#include <QDebug>
#include <QProcess>
#include <QTimer>

#include "app/launcher_protocol.h"
#include "launcher/launcher_paths.h"

namespace vandrel::launcher {

namespace protocol = vandrel::app::launcher_protocol;

namespace {

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QDBusError notConnected() {
  return QDBusError(QDBusError::Disconnected, QStringLiteral("not connected to the session bus"));
}

}  // namespace

AppDelegate::Environment AppDelegate::systemEnvironment(const QString& bundlePath) {
  return Environment{
      QDBusConnection::sessionBus(),
      bundlePath,
      [](const QString& executable) { return QProcess::startDetached(executable, {}); },
      [](int exitStatus) { QCoreApplication::exit(exitStatus); },
  };
}

AppDelegate::AppDelegate(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {}

void AppDelegate::applicationDidFinishLaunching() {
  // Owning the name is how the application sees the launcher running; a
  // launcher that cannot claim it still does its job.
  auto* busInterface = environment_.bus.interface();
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> claimed =
      busInterface ? busInterface->registerService(qs(protocol::kLauncherBusName),
                                                   QDBusConnectionInterface::DontQueueService,
                                                   QDBusConnectionInterface::DontAllowReplacement)
                   : notConnected();
  if (!claimed.isValid() || claimed.value() != QDBusConnectionInterface::ServiceRegistered) {
    qWarning().noquote() << "Vandrel_Launcher: could not own the bus name"
                         << qs(protocol::kLauncherBusName) << claimed.error().message();
  }
  launchMainAppIfNeeded();
}

void AppDelegate::launchMainAppIfNeeded() {
  auto* busInterface = environment_.bus.interface();
  const QDBusReply<bool> running =
      busInterface ? busInterface->isServiceRegistered(qs(protocol::kMainAppBusName))
                   : QDBusReply<bool>(notConnected());
  if (!running.isValid()) {
    // Not knowing is not "not running": starting a second application is
    // worse than not starting one.
    qWarning().noquote() << "Vandrel_Launcher: cannot tell whether the application runs:"
                         << running.error().message();
    scheduleTerminate(1);
    return;
  }
  if (running.value()) {
    scheduleTerminate(0);
    return;
  }

  if (!observeKillSignal()) {
    qWarning().noquote() << "Vandrel_Launcher: cannot observe"
                         << qs(protocol::kKillMeNotificationName) << ":"
                         << environment_.bus.lastError().message();
  }
  const auto executable = mainAppExecutablePath(environment_.bundlePath);
  if (!executable) {
    qWarning().noquote() << "Vandrel_Launcher: no application executable for the bundle path"
                         << environment_.bundlePath;
    scheduleTerminate(1);
    return;
  }
  // A failed start changes nothing: the launcher keeps waiting, as it would
  // for an application that starts late.
  if (!environment_.launchApplication(*executable)) {
    qWarning().noquote() << "Vandrel_Launcher: could not start" << *executable;
  }
}

bool AppDelegate::observeKillSignal() {
  // Any sender: the application may send before or after it owns its name.
  const bool connected =
      environment_.bus.connect(QString(), qs(protocol::kSignalPath),
                               qs(protocol::kSignalInterface), qs(protocol::kKillMeMember), this,
                               SLOT(killMe(QString)));
  if (!connected) return false;
  // The match rule goes to the bus without a reply; one round trip after it
  // makes sure the bus has it before the application can start and signal.
  auto* busInterface = environment_.bus.interface();
  return busInterface && busInterface->call(QStringLiteral("GetId")).type() ==
                             QDBusMessage::ReplyMessage;
}

void AppDelegate::killMe(const QString& object) {
  if (object != qs(protocol::kMainAppBundleIdentifier)) return;
  scheduleTerminate(0);
}

void AppDelegate::scheduleTerminate(int exitStatus) {
  QTimer::singleShot(0, this, [this, exitStatus] { environment_.terminate(exitStatus); });
}

}  // namespace vandrel::launcher
