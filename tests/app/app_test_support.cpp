#include "tests/app/app_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include <QApplication>
#include <QDBusConnectionInterface>

#include "app/launcher_protocol.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/temp_home.h"

namespace vandrel::test_support {

namespace protocol = app::launcher_protocol;

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

::testing::AssertionResult advanceAndDeliver(platform::ManualClock& clock,
                                             platform::Scheduler& scheduler,
                                             std::chrono::milliseconds by) {
  clock.advance(by);
  auto reached = std::make_shared<std::atomic<bool>>(false);
  scheduler.schedule(std::chrono::milliseconds(0), platform::mainQueue(),
                     [reached] { *reached = true; });
  if (platform::mainQueue().runUntil([&] { return reached->load(); }, std::chrono::seconds(10))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "the scheduler did not deliver in 10 s";
}

LauncherOnBus::LauncherOnBus(const QString& connectionName, bool ownName)
    : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName)) {
  if (ownName) bus_.interface()->registerService(qs(protocol::kLauncherBusName));
  bus_.connect(QString(), qs(protocol::kSignalPath), qs(protocol::kSignalInterface),
               qs(protocol::kKillMeMember), this, SLOT(killMe(QString)));
  // The match rule is in place once the bus has answered a call after it.
  bus_.interface()->call(QStringLiteral("GetId"));
}

LauncherOnBus::~LauncherOnBus() { QDBusConnection::disconnectFromBus(bus_.name()); }

void LauncherOnBus::killMe(const QString& object) { objects << object; }

}  // namespace vandrel::test_support

int main(int argc, char** argv) {
  // The log file and the standard defaults of the binary land in a private
  // home, never in the user's; set before any thread reads the environment.
  vandrel::test_support::TempHome home;
  // Left alive: shared widgets and queued work may outlive main's return.
  new QApplication(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
