// The main-queue helpers of the shell: link opening (observed through the
// desktop's URL handlers), the notice alert through the real alert helper,
// the progress overlay's dismissal and the main-queue hop.

#include "app/ui_helpers.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QObject>
#include <QTest>
#include <QUrl>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/progress_hud.h"
#include "connection/alert_helpers.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/temp_home.h"

namespace vandrel::app {
namespace {

// Stands in for the desktop's handlers of the schemes a link may carry.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  UrlRecorder() {
    for (const char* scheme : {"https", "http", "vandrel", "action", "mailto"}) {
      QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
  }
  ~UrlRecorder() override {
    for (const char* scheme : {"https", "http", "vandrel", "action", "mailto"}) {
      QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
  }

  std::vector<QString> opened;

 public Q_SLOTS:
  void open(const QUrl& url) { opened.push_back(url.toString()); }
};

// Answers every alert with its first button and keeps what it showed.
class FirstButtonAlerts final : public connection::AlertPresenter {
 public:
  void dismissProgressHUD() override {}
  std::int64_t runModal(const connection::AlertContent& alert) override {
    shown.push_back(alert);
    return connection::kAlertFirstButtonReturn;
  }
  std::vector<connection::AlertContent> shown;
};

class UiHelpersTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static FirstButtonAlerts* const alerts = new FirstButtonAlerts;
    alerts_ = alerts;
    connection::setSharedAlertPresenter(alerts);
  }
  void SetUp() override { alerts_->shown.clear(); }
  void TearDown() override { platform::mainQueue().runPending(); }

  static inline FirstButtonAlerts* alerts_ = nullptr;
};

TEST_F(UiHelpersTest, OpensWebLinksAndIgnoresOwnSchemesAndMalformedText) {
  UrlRecorder recorder;
  struct Case {
    const char* link;
    bool opens;
  };
  const Case cases[] = {
      {"https://vandrel.example/help?topic=1", true},
      {"mailto:support@vandrel.example", true},
      {"Vandrel://account/upgrade", false},
      {"Vandrel://", false},
      {"action://close", false},
      // The prefixes are case-sensitive: another spelling is a link.
      {"vandrel://account", true},
      {"https://vandrel.example/a b", false},
      {"no scheme at all", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    recorder.opened.clear();
    qv_Navigator::open(c.link);
    EXPECT_TRUE(recorder.opened.empty()) << "opened in place";
    platform::mainQueue().runPending();
    EXPECT_EQ(recorder.opened.size(), c.opens ? 1u : 0u);
  }
}

TEST_F(UiHelpersTest, NoticeSplitsTitleFromMessageAtTheSeparatorOnlyForTwoParts) {
  struct Case {
    const char* text;
    const char* title;
    const char* message;
  };
  const Case cases[] = {
      {"Saved\n\nYour settings are kept.", "Saved", "Your settings are kept."},
      {"Please check\n\nthe address\n\nand retry", "Notice",
       "Please check\n\nthe address\n\nand retry"},
      {"Wrong password", "Notice", "Wrong password"},
      {"One line\nand another", "Notice", "One line\nand another"},
      {"\n\nOnly a message", "", "Only a message"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    alerts_->shown.clear();
    int completions = 0;
    showNotice(c.text, [&completions] { ++completions; });
    EXPECT_TRUE(alerts_->shown.empty()) << "shown in place";
    platform::mainQueue().runPending();
    ASSERT_EQ(alerts_->shown.size(), 1u);
    EXPECT_EQ(alerts_->shown[0].title, c.title);
    EXPECT_EQ(alerts_->shown[0].message, c.message);
    EXPECT_EQ(alerts_->shown[0].button1, "OK");
    EXPECT_FALSE(alerts_->shown[0].button2.has_value());
    EXPECT_EQ(completions, 1);
  }
  // No completion: the button just ends the alert.
  showNotice("Notice me");
  platform::mainQueue().runPending();
  EXPECT_EQ(alerts_->shown.size(), 2u);
}

TEST_F(UiHelpersTest, DismissHidesAShowingOverlayLaterAndLeavesAHiddenOneAlone) {
  int willDisappear = 0;
  const platform::ObserverToken token = platform::NotificationCenter::shared().addObserver(
      "ProgressHUD.willDisappear", nullptr, std::nullopt,
      [&willDisappear](const platform::Notification&) { ++willDisappear; });
  ProgressHUD& hud = ProgressHUD::shared();

  ASSERT_TRUE(hud.isHidden());
  dismissProgressHUD();
  platform::mainQueue().runPending();
  EXPECT_EQ(willDisappear, 0);

  hud.showProgress(QStringLiteral("Connecting"));
  ASSERT_FALSE(hud.isHidden());
  // Queued before the dismissal: a show that the caller queued first still
  // gets dismissed.
  dismissProgressHUD();
  EXPECT_EQ(willDisappear, 0);
  platform::mainQueue().runPending();
  EXPECT_EQ(willDisappear, 1);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        platform::mainQueue().runPending();
        return hud.isHidden();
      },
      5000));
  platform::NotificationCenter::shared().removeObserver(token);
}

TEST_F(UiHelpersTest, RunOnMainQueueNeverRunsInPlaceAndKeepsOrder) {
  std::vector<int> order;
  runOnMainQueue([&order] { order.push_back(1); });
  runOnMainQueue([&order] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  platform::mainQueue().runPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
}  // namespace vandrel::app

#include "ui_helpers_test.moc"
