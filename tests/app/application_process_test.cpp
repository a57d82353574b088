// The built application, started for real on the private session bus of
// the test, with a private home, unreachable service hosts and no helper:
// it comes up, hands over to a running launcher, checks the helper as the
// stored helper version says, keeps its GUI thread free, and a second start
// hands over to it and ends.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/launcher_protocol.h"
#include "platform/defaults.h"
#include "tests/app/app_test_support.h"
#include "tests/support/temp_dir.h"

namespace vandrel::app {
namespace {

namespace protocol = launcher_protocol;
using test_support::LauncherOnBus;
using test_support::qs;

class ApplicationProcessTest : public testing::Test {
 protected:

  void SetUp() override {
    if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus";
    const char* bundle = std::getenv("VANDREL_BUNDLE");
    ASSERT_NE(bundle, nullptr);
    executable_ = QString::fromStdString(
        (std::filesystem::path(bundle) / "Contents" / "MacOS" / "Vandrel").string());
    ASSERT_TRUE(std::filesystem::exists(executable_.toStdString()));
    for (const char* folder : {"config", "cache", "data"}) {
      std::filesystem::create_directories(home_.path() / folder);
    }
  }

  void TearDown() override {
    for (QProcess* process : {&first_, &second_}) {
      if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
      }
    }
    // The next test looks for a new owner of the name.
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
          return !QDBusConnection::sessionBus().interface()->isServiceRegistered(
              qs(protocol::kMainAppBusName));
        },
        5000));
  }

  QProcessEnvironment environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString home = QString::fromStdString(home_.path().string());
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/cache"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    env.insert(QStringLiteral("VANDREL_API_HOSTS"), QStringLiteral("127.0.0.1:1"));
    env.insert(QStringLiteral("VANDREL_HELPER_SOCKET"), home + QStringLiteral("/no-helper.sock"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
  }

  void start(QProcess& process) {
    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(executable_, {});
    ASSERT_TRUE(process.waitForStarted(5000));
  }

  platform::Defaults storedDefaults() const {
    return platform::Defaults(home_.path() / "config" / "vandrel" /
                              (std::string(protocol::kMainAppBundleIdentifier) + ".json"));
  }

  std::string logText() const {
    std::ifstream in(home_.path() / "cache" / "dataCache" / "vandrel.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  bool waitForLog(std::string_view line) {
    return QTest::qWaitFor([&] { return logText().find(line) != std::string::npos; }, 15000);
  }

  bool waitForRunningApplication() {
    return QTest::qWaitFor(
        [] {
          return QDBusConnection::sessionBus().interface()->isServiceRegistered(
              qs(protocol::kMainAppBusName));
        },
        15000);
  }

  // The GUI thread of the running application answers a call.
  bool answersReopen() {
    const QDBusMessage call = QDBusMessage::createMethodCall(
        qs(protocol::kMainAppBusName), qs(protocol::kMainAppObjectPath),
        qs(protocol::kMainAppInterface), qs(protocol::kReopenMethod));
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 2000).type() ==
           QDBusMessage::ReplyMessage;
  }

  test_support::TempDir home_{"vandrel-app-home"};
  QString executable_;
  QProcess first_;
  QProcess second_;
};

TEST_F(ApplicationProcessTest, ComesUpHandsOverToTheLauncherAndStaysTheOnlyCopy) {
  LauncherOnBus launcher(QStringLiteral("stand-in-launcher"), true);
  start(first_);
  ASSERT_TRUE(waitForRunningApplication()) << first_.readAll().toStdString();

  EXPECT_TRUE(QTest::qWaitFor([&] { return !launcher.objects.isEmpty(); }, 15000));
  EXPECT_EQ(launcher.objects, QStringList{qs(protocol::kMainAppBundleIdentifier)});
  // No helper version stored: no question to the helper at launch.
  EXPECT_TRUE(waitForLog("[LOG]: need authorization: version"));
  EXPECT_EQ(logText().find("launch check daemon"), std::string::npos);
  EXPECT_TRUE(answersReopen());

  // A second start hands over and ends; the first keeps running.
  start(second_);
  ASSERT_TRUE(second_.waitForFinished(15000));
  EXPECT_EQ(second_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second_.exitCode(), 0);
  EXPECT_EQ(first_.state(), QProcess::Running);
  EXPECT_TRUE(answersReopen());
  EXPECT_EQ(launcher.objects.size(), 1);
}

TEST_F(ApplicationProcessTest, StoredHelperVersionEightAsksTheHelperAtLaunch) {
  ASSERT_TRUE(storedDefaults().set("qv_daemonVersionKey", std::int64_t{8}));
  start(first_);
  ASSERT_TRUE(waitForRunningApplication()) << first_.readAll().toStdString();
  EXPECT_TRUE(waitForLog("[LOG]: launch check daemon"));
  // No helper listens: it must be installed on the first connect.
  EXPECT_TRUE(waitForLog("[LOG]: launch need authorization: "));
  EXPECT_EQ(logText().find("need authorization: version"), std::string::npos);
  EXPECT_TRUE(answersReopen());
  EXPECT_EQ(first_.state(), QProcess::Running);
}

}  // namespace
}  // namespace vandrel::app

