#include "launcher/app_delegate.h"

#include <memory>
#include <vector>

#include <QDBusConnectionInterface>
#include <gtest/gtest.h>

#include "app/launcher_protocol.h"
#include "tests/launcher/launcher_test_support.h"

namespace vandrel::launcher {
namespace {

namespace protocol = vandrel::app::launcher_protocol;
using testing::BusPeer;
using testing::flushPosted;
using testing::KillSignalRecorder;
using testing::qs;
using testing::waitUntil;

constexpr char kLauncherBundle[] =
    "/home/ann/My Apps/Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app";
constexpr char kMainExecutable[] = "/home/ann/My Apps/Vandrel.app/Contents/MacOS/Vandrel";

// The delegate on a connection of its own (the launcher process), with the
// application and strangers on others; launches and terminations are
// recorded instead of done.
class AppDelegateTest : public ::testing::Test {
 protected:
  std::unique_ptr<AppDelegate> makeDelegate(QDBusConnection bus,
                                            QString bundlePath = QString::fromUtf8(kLauncherBundle),
                                            bool launchSucceeds = true) {
    return std::make_unique<AppDelegate>(AppDelegate::Environment{
        bus,
        bundlePath,
        [this, launchSucceeds](const QString& executable) {
          launches_.push_back(executable.toStdString());
          return launchSucceeds;
        },
        [this](int exitStatus) { terminations_.push_back(exitStatus); },
    });
  }

  // After the recorder on the launcher's connection has `expected` signals
  // and, when `terminated` is set, the delegate has terminated once, the
  // delegate has handled them and whatever termination they scheduled ran.
  // The bus connection's thread posts one delivery per receiver, so the
  // delegate's may trail the recorder's: a termination the test expects is
  // waited for, not assumed.
  ::testing::AssertionResult settleAfterSignals(const KillSignalRecorder& recorder, int expected,
                                                bool terminated = false) {
    auto received = waitUntil([&] {
      return recorder.count() >= expected && (!terminated || !terminations_.empty());
    });
    if (!received) return received;
    auto handled = flushPosted();
    if (!handled) return handled;
    return flushPosted();
  }

  BusPeer launcherBus_;
  BusPeer application_;
  BusPeer stranger_;
  std::vector<std::string> launches_;
  std::vector<int> terminations_;
};

TEST_F(AppDelegateTest, StartsTheApplicationOnceWhenItIsNotRunningAndStays) {
  stranger_.own("com.vandrel.mac.offline.other");
  auto delegate = makeDelegate(launcherBus_.connection());
  delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(flushPosted());

  EXPECT_EQ(launches_, std::vector<std::string>{kMainExecutable});
  EXPECT_TRUE(terminations_.empty());
  // The application recognises a running launcher by this name.
  EXPECT_EQ(application_.connection().interface()->serviceOwner(qs(protocol::kLauncherBusName)).value(),
            launcherBus_.connection().baseService());
}

TEST_F(AppDelegateTest, QuitsWithoutStartingOrObservingWhenTheApplicationRuns) {
  ASSERT_TRUE(application_.own(protocol::kMainAppBusName));
  KillSignalRecorder recorder(launcherBus_.connection());
  auto delegate = makeDelegate(launcherBus_.connection());
  delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(flushPosted());
  EXPECT_TRUE(launches_.empty());
  EXPECT_EQ(terminations_, std::vector<int>{0});

  // No observer: a kill signal now does not terminate a second time.
  ASSERT_TRUE(application_.sendKillSignal({qs(protocol::kMainAppBundleIdentifier)}));
  ASSERT_TRUE(settleAfterSignals(recorder, 1));
  EXPECT_EQ(terminations_, std::vector<int>{0});
}

TEST_F(AppDelegateTest, QuitsOnlyOnTheKillSignalNamingTheApplication) {
  // A failed start changes nothing: the launcher still waits for the signal.
  auto delegate = makeDelegate(launcherBus_.connection(), QString::fromUtf8(kLauncherBundle),
                               /*launchSucceeds=*/false);
  delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(flushPosted());
  ASSERT_EQ(launches_.size(), 1u);
  KillSignalRecorder recorder(launcherBus_.connection());

  const QVariantList ignored[] = {
      {qs(protocol::kLauncherBundleIdentifier)},
      {QString()},
      {QStringLiteral("com.vandrel.mac.offline ")},
      {QStringLiteral("COM.VANDREL.MAC.OFFLINE")},
      {QStringLiteral("com.vandrel.mac")},
      {},                  // no object at all
      {QVariant(42)},      // not a string
  };
  for (const auto& arguments : ignored) ASSERT_TRUE(stranger_.sendKillSignal(arguments));
  const int ignoredCount = static_cast<int>(std::size(ignored));
  ASSERT_TRUE(settleAfterSignals(recorder, ignoredCount));
  EXPECT_TRUE(terminations_.empty());

  ASSERT_TRUE(application_.sendKillSignal({qs(protocol::kMainAppBundleIdentifier)}));
  ASSERT_TRUE(settleAfterSignals(recorder, ignoredCount + 1, /*terminated=*/true));
  EXPECT_EQ(terminations_, std::vector<int>{0});
  EXPECT_EQ(launches_.size(), 1u);
}

TEST_F(AppDelegateTest, AcceptsTheKillSignalFromASenderWithoutTheApplicationsName) {
  // The application may signal before it has claimed its name.
  auto delegate = makeDelegate(launcherBus_.connection());
  delegate->applicationDidFinishLaunching();
  KillSignalRecorder recorder(launcherBus_.connection());
  ASSERT_TRUE(stranger_.sendKillSignal({qs(protocol::kMainAppBundleIdentifier)}));
  ASSERT_TRUE(settleAfterSignals(recorder, 1, /*terminated=*/true));
  EXPECT_EQ(terminations_, std::vector<int>{0});
}

TEST_F(AppDelegateTest, FailsWithoutStartingAnythingWhenItCannotDecide) {
  const struct {
    const char* name;
    bool brokenBus;
    const char* bundlePath;
  } cases[] = {
      {"bundle path too short", false, "/LoginItems/Vandrel_Launcher.app"},
      {"no bundle path", false, ""},
      {"no bus to ask whether the application runs", true, kLauncherBundle},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    launches_.clear();
    terminations_.clear();
    const QString brokenName = QStringLiteral("launcher-test-broken");
    auto bus = c.brokenBus ? QDBusConnection::connectToBus(
                                 QStringLiteral("unix:path=/nonexistent/vandrel-test-bus"),
                                 brokenName)
                           : launcherBus_.connection();
    ASSERT_EQ(bus.isConnected(), !c.brokenBus);
    {
      auto delegate = makeDelegate(bus, QString::fromUtf8(c.bundlePath));
      delegate->applicationDidFinishLaunching();
      ASSERT_TRUE(flushPosted());
    }
    if (c.brokenBus) QDBusConnection::disconnectFromBus(brokenName);
    EXPECT_TRUE(launches_.empty());
    EXPECT_EQ(terminations_, std::vector<int>{1});
  }
}

}  // namespace
}  // namespace vandrel::launcher
