#include "tests/launcher/launcher_test_support.h"

#include <atomic>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDeadlineTimer>
#include <QTimer>

#include "app/launcher_protocol.h"

namespace vandrel::launcher::testing {

namespace protocol = vandrel::app::launcher_protocol;

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

::testing::AssertionResult waitUntil(const std::function<bool()>& done,
                                     std::chrono::milliseconds timeout) {
  const QDeadlineTimer deadline(timeout);
  // Wakes the loop now and then so the deadline is seen while nothing
  // else happens.
  QTimer tick;
  tick.start(10);
  while (!done()) {
    if (deadline.hasExpired()) {
      return ::testing::AssertionFailure() << "timed out after " << timeout.count() << " ms";
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult flushPosted() {
  bool reached = false;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&reached] { reached = true; }, Qt::QueuedConnection);
  return waitUntil([&reached] { return reached; });
}

BusPeer::BusPeer() {
  static std::atomic<int> next{0};
  connectionName_ = QStringLiteral("launcher-test-peer-%1").arg(next++);
  connection_.emplace(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName_));
}

BusPeer::~BusPeer() {
  if (auto* bus = connection_->interface()) {
    for (const auto& name : owned_) bus->unregisterService(name);
  }
  connection_.reset();
  QDBusConnection::disconnectFromBus(connectionName_);
}

bool BusPeer::own(std::string_view name) {
  auto* bus = connection_->interface();
  if (!bus) return false;
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus->registerService(
      qs(name), QDBusConnectionInterface::DontQueueService,
      QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
    return false;
  }
  owned_.append(qs(name));
  return true;
}

bool BusPeer::hasOwner(std::string_view name) const {
  auto* bus = connection_->interface();
  if (!bus) return false;
  const QDBusReply<bool> reply = bus->isServiceRegistered(qs(name));
  return reply.isValid() && reply.value();
}

bool BusPeer::sendKillSignal(const QVariantList& arguments) const {
  QDBusMessage message = QDBusMessage::createSignal(
      qs(protocol::kSignalPath), qs(protocol::kSignalInterface), qs(protocol::kKillMeMember));
  message.setArguments(arguments);
  return connection_->send(message);
}

KillSignalRecorder::KillSignalRecorder(QDBusConnection connection) {
  const bool connected = connection.connect(
      QString(), qs(protocol::kSignalPath), qs(protocol::kSignalInterface),
      qs(protocol::kKillMeMember), this, SLOT(record(QDBusMessage)));
  EXPECT_TRUE(connected) << connection.lastError().message().toStdString();
  // The match rule goes out without a reply; a round trip makes sure the
  // bus has it before the test sends anything.
  auto* bus = connection.interface();
  EXPECT_TRUE(bus && bus->call(QStringLiteral("GetId")).type() == QDBusMessage::ReplyMessage);
}

void KillSignalRecorder::record(const QDBusMessage&) { ++count_; }

}  // namespace vandrel::launcher::testing

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  if (!QDBusConnection::sessionBus().isConnected()) {
    GTEST_LOG_(WARNING) << "no session bus: run under dbus-run-session";
    return 77;
  }
  return RUN_ALL_TESTS();
}
