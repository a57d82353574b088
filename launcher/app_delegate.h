#pragma once

#include <functional>

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace vandrel::launcher {

// The launcher's whole behaviour: at log-in, start the application unless
// it already runs, then wait for its kill signal. Lives on the main thread;
// holds no state between calls beyond what it was given.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  struct Environment {
    // The session bus: where the application's name is looked up, where
    // the launcher owns its own name and where the kill signal arrives.
    QDBusConnection bus;
    // The launcher's own bundle directory (Vandrel_Launcher.app).
    QString bundlePath;
    // Starts the executable at the path as a detached process; false when
    // it could not be started.
    std::function<bool(const QString& executable)> launchApplication;
    // Ends the launcher with the exit status; called on the main thread,
    // from the event loop.
    std::function<void(int exitStatus)> terminate;
  };

  // The real environment: the process's session bus, detached start and
  // QCoreApplication::exit.
  static Environment systemEnvironment(const QString& bundlePath);

  explicit AppDelegate(Environment environment, QObject* parent = nullptr);

  // Claims the launcher's bus name, then decides (launchMainAppIfNeeded).
  void applicationDidFinishLaunching();

  // Quits when the application runs; otherwise observes the kill signal and
  // starts the application's executable from the bundle layout.
  void launchMainAppIfNeeded();

 private Q_SLOTS:
  void killMe(const QString& object);

 private:
  bool observeKillSignal();
  // Terminates asynchronously, once control is back in the event loop.
  void scheduleTerminate(int exitStatus);

  Environment environment_;
};

}  // namespace vandrel::launcher
