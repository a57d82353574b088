#pragma once

// What the shell's test binaries share: the process's QApplication and
// private home come from the support's main(); a stand-in launcher on the
// session bus for the tests of the launcher hand-over.

#include <chrono>
#include <string_view>

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

namespace vandrel::platform {
class ManualClock;
class Scheduler;
}  // namespace vandrel::platform

namespace vandrel::test_support {

QString qs(std::string_view text);

// Moves the clock and runs on the main queue everything of `scheduler` that
// came due by then: a marker scheduled for now reaches the main queue after
// every earlier job.
::testing::AssertionResult advanceAndDeliver(platform::ManualClock& clock,
                                             platform::Scheduler& scheduler,
                                             std::chrono::milliseconds by);

// A stand-in launcher on its own bus connection: owns the launcher's name
// (when asked) and keeps the objects of the kill notifications it hears.
class LauncherOnBus : public QObject {
  Q_OBJECT

 public:
  LauncherOnBus(const QString& connectionName, bool ownName);
  ~LauncherOnBus() override;

  QStringList objects;

 public Q_SLOTS:
  void killMe(const QString& object);

 private:
  QDBusConnection bus_;
};

}  // namespace vandrel::test_support
