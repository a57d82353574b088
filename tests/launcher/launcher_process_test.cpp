// The built launcher, run as a process from a bundle layout with spaces in
// its path, next to a stand-in application that records its starts.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/launcher_protocol.h"
#include "tests/launcher/launcher_test_support.h"

namespace vandrel::launcher {
namespace {

namespace protocol = vandrel::app::launcher_protocol;
using testing::BusPeer;
using testing::qs;
using testing::waitUntil;

// Appends its own path to "starts" beside it, then exits.
constexpr char kStandInApplication[] =
    "#!/bin/sh\n"
    "printf '%s\\n' \"$0\" >> \"$(dirname \"$0\")/starts\"\n";

class LauncherProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(root_.isValid());
    bundle_ = root_.path() + QStringLiteral("/Login Items/My Apps/Vandrel.app");
    launcher_ = bundle_ + QStringLiteral(
                              "/Contents/Library/LoginItems/Vandrel_Launcher.app/Contents/MacOS/"
                              "Vandrel_Launcher");
    application_ = bundle_ + QStringLiteral("/Contents/MacOS/Vandrel");
    starts_ = bundle_ + QStringLiteral("/Contents/MacOS/starts");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(launcher_).path()));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(application_).path()));
    // A copy, not a link: the launcher finds its bundle from its own
    // resolved executable path.
    ASSERT_TRUE(QFile::copy(QStringLiteral(VANDREL_LAUNCHER_EXECUTABLE), launcher_));
    QFile script(application_);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(kStandInApplication);
    script.close();
    ASSERT_TRUE(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  }

  void TearDown() override {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();  // our own child, by its handle
      process_.waitForFinished(5000);
    }
  }

  QString starts() const {
    QFile file(starts_);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  }

  void startLauncher() {
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(launcher_, {});
    ASSERT_TRUE(process_.waitForStarted(5000)) << process_.errorString().toStdString();
  }

  ::testing::AssertionResult launcherExits(int status) {
    auto finished = waitUntil([this] { return process_.state() == QProcess::NotRunning; });
    if (!finished) return finished << " waiting for the launcher to exit";
    if (process_.exitStatus() != QProcess::NormalExit || process_.exitCode() != status) {
      return ::testing::AssertionFailure()
             << "launcher ended with status " << process_.exitCode()
             << (process_.exitStatus() == QProcess::NormalExit ? "" : " (crashed)");
    }
    return ::testing::AssertionSuccess();
  }

  QTemporaryDir root_;
  QString bundle_, launcher_, application_, starts_;
  QProcess process_;
  BusPeer peer_;
};

TEST_F(LauncherProcessTest, StartsTheApplicationAndQuitsOnItsKillSignal) {
  startLauncher();
  ASSERT_TRUE(waitUntil([this] { return !starts().isEmpty(); }));
  EXPECT_EQ(starts(), application_ + QLatin1Char('\n'));
  // It claimed its name before starting the application, and it waits.
  EXPECT_TRUE(peer_.hasOwner(protocol::kLauncherBusName));
  EXPECT_EQ(process_.state(), QProcess::Running);

  ASSERT_TRUE(peer_.sendKillSignal({qs(protocol::kMainAppBundleIdentifier)}));
  EXPECT_TRUE(launcherExits(0));
  EXPECT_EQ(starts(), application_ + QLatin1Char('\n'));
}

TEST_F(LauncherProcessTest, QuitsAtOnceWhenTheApplicationRuns) {
  ASSERT_TRUE(peer_.own(protocol::kMainAppBusName));
  startLauncher();
  EXPECT_TRUE(launcherExits(0));
  EXPECT_EQ(starts(), QString());
}

}  // namespace
}  // namespace vandrel::launcher
