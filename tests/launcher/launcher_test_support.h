#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <gtest/gtest.h>

namespace vandrel::launcher::testing {

QString qs(std::string_view text);

// Runs the event loop until `done` holds or the timeout passes.
::testing::AssertionResult waitUntil(const std::function<bool()>& done,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Runs everything posted to the event loop before this call.
::testing::AssertionResult flushPosted();

// A connection of its own to the test's session bus, playing another
// process: the application or a stranger. On destruction it gives back the
// names it owns, with a reply, so the next test finds them free.
class BusPeer {
 public:
  BusPeer();
  ~BusPeer();
  BusPeer(const BusPeer&) = delete;
  BusPeer& operator=(const BusPeer&) = delete;

  QDBusConnection connection() const { return *connection_; }
  bool own(std::string_view name);
  // Whether `name` has an owner, asked through this connection.
  bool hasOwner(std::string_view name) const;
  // The kill signal (path, interface and member of the protocol) with the
  // given arguments.
  bool sendKillSignal(const QVariantList& arguments) const;

 private:
  QString connectionName_;
  std::optional<QDBusConnection> connection_;
  QList<QString> owned_;
};

// Records every kill signal a connection receives, whatever its arguments:
// once it has one, every other receiver on that connection has it queued.
class KillSignalRecorder : public QObject {
  Q_OBJECT

 public:
  explicit KillSignalRecorder(QDBusConnection connection);
  int count() const { return count_; }

 public Q_SLOTS:
  void record(const QDBusMessage& message);

 private:
  int count_ = 0;
};

}  // namespace vandrel::launcher::testing
