// The main window over the real connect road: the HTTPS stand-in for the
// service, the gRPC daemon stand-in, a fake helper and recorded alerts. The
// connect button and "WidgetConnectDidClickNotification" drive real
// connects and disconnects; the window follows the status, the account and
// the catalogue through the notifications it observes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <cmath>
#include <ostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/account_area.h"
#include "app/flag_images.h"
#include "app/home_view_controller.h"
#include "app/line_cell.h"
#include "app/region_table.h"
#include "core/app_constants.h"
#include "tests/app/contrast.h"
#include "tests/connection/connect_fixture.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;
using connection::testing_support::ConnectTest;
using connection::testing_support::kSessionPath;
using connection::testing_support::sessionReply;
using qv = core::qv_ConnectStatus;

class NoFlags final : public FlagImages {
 public:
  void load(const std::string&, std::function<void(const QPixmap&)>) override {}
};

constexpr const char* kUnavailable = "server not available at the moment";

class HomeViewControllerTest : public ConnectTest {
 protected:

  void SetUp() override {
    ConnectTest::SetUp();
    if (HasFatalFailure()) return;
    home_ = std::make_unique<HomeViewController>(HomeViewController::Dependencies{
        .connection = *connection_,
        .lines = *manager_,
        .session = *session_,
        .connectLog = *connectLog_,
        .notifications = notifications_,
        .alerts = *alerts_,
        .clock = uiClock_,
        .scheduler = uiScheduler_,
        .background = platform::globalQueue(),
        .flags = flags_,
        .openLink = [this](const std::string& link) { links_.push_back(link); },
        .showSignIn = [this](QWidget*) { ++signIns_; },
        .makeSettingsPanel =
            [](QWidget* parent) -> QWidget* {
          auto* panel = new QWidget(parent);
          panel->setObjectName("settingsPanel");
          return panel;
        },
        .showFeatureTourIfFirstRun = [this](QWidget* view) { tourViews_.push_back(view); },
    });
    home_->start();
    home_->show();
    platform::mainQueue().runPending();
  }

  void TearDown() override {
    if (home_) {
      EXPECT_TRUE(drive([&] { return home_->pendingFlowCount() == 0; }))
          << "a flow of the window never ended";
      home_.reset();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ConnectTest::TearDown();
  }

  // Pumps until the window's flows have ended with the status at `status`.
  ::testing::AssertionResult settlesAt(qv status) {
    return drive([&] {
      return home_->pendingFlowCount() == 0 && connection_->qv_connectStatus() == status;
    });
  }

  void clickConnect() { QTest::mouseClick(&home_->connectButton(), Qt::LeftButton); }
  void clickRefresh(QPoint at) {
    QTest::mouseClick(&home_->refreshContentView(), Qt::LeftButton, {}, at);
  }
  std::string buttonTitle() const { return home_->connectButton().text().toStdString(); }

  template <typename T>
  T* child(const char* name) const {
    T* found = home_->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  // A signed-in account (an e-mail makes it one), announced as the session
  // announces a new user record.
  void signInWithEmail(const std::string& flags) {
    auto model = core::MiscInfoModel::fromJsonText(
        R"({"remaining_days":3,"expire_at_time":1700000000,"user_id":7,)"
        R"("password_setup":true,"ads_free":false,"remaining_seconds":1,"code":0,)"
        R"("email":"kim@example.com",)" +
        flags + "}");
    ASSERT_TRUE(model.ok()) << model.error().message;
    session_->setModel(model.value());
    notifications_.post(std::string(core::kMiscInfoDidUpdateNotification));
    platform::mainQueue().runPending();
  }

  platform::ManualClock uiClock_{core::service_api_testing::fixedWallTime()};
  platform::Scheduler uiScheduler_{uiClock_};
  NoFlags flags_;
  std::vector<std::string> links_;
  int signIns_ = 0;
  std::vector<QWidget*> tourViews_;
  std::unique_ptr<HomeViewController> home_;
};

// ---- Start-up ------------------------------------------------------------------------

TEST_F(HomeViewControllerTest, StartUpFillsTheTableAndShowsTheTourOnce) {
  EXPECT_EQ(HomeViewController::current(), home_.get());
  ASSERT_EQ(tourViews_.size(), 1u);
  EXPECT_EQ(tourViews_[0], home_.get());
  // The automatic row and the catalogue's three regions.
  EXPECT_EQ(home_->regionTable().numberOfRows(), 4);
  EXPECT_EQ(home_->currentRegionName(), "Smart Location");
  EXPECT_EQ(buttonTitle(), "Connect");
  EXPECT_EQ(home_->connectButtonImage(), "btn_Connect");
  EXPECT_EQ(home_->refreshConstraint(), HomeViewController::kRefreshOutOfView);

  QTest::mouseClick(child<QPushButton>("settingButton"), Qt::LeftButton);
  QWidget* panel = child<QWidget>("settingsPanel");
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(panel->isVisible());
  EXPECT_EQ(panel->geometry(), home_->rect());
}

// ---- The connect button and the notification -----------------------------------------

TEST_F(HomeViewControllerTest, TheButtonConnectsAndDisconnectsThroughTheDaemon) {
  clickConnect();
  ASSERT_TRUE(settlesAt(qv::qv_on));
  platform::mainQueue().runPending();
  EXPECT_EQ(buttonTitle(), "Connected");
  EXPECT_EQ(home_->connectButtonImage(), "btn_Connected");
  EXPECT_EQ(daemonMethods(), (std::vector<std::string>{"StartSS", "StartTun2socks"}));
  // The connected region's row carries the gradient.
  EXPECT_TRUE(home_->regionTable().cellAt(0)->showsConnectedGradient());
  EXPECT_FALSE(home_->regionTable().cellAt(1)->showsConnectedGradient());

  clickConnect();
  ASSERT_TRUE(settlesAt(qv::qv_off));
  platform::mainQueue().runPending();
  EXPECT_EQ(buttonTitle(), "Connect");
  EXPECT_EQ(home_->connectButtonImage(), "btn_Connect");
  EXPECT_EQ(daemonMethods(), (std::vector<std::string>{"StartSS", "StartTun2socks",
                                                       "StopTun2socks", "StopSS"}));
  EXPECT_FALSE(home_->regionTable().cellAt(0)->showsConnectedGradient());
  EXPECT_TRUE(alertTitles().empty());
}

TEST_F(HomeViewControllerTest, AConnectingAttemptIgnoresTheButtonButTheNotificationCancelsIt) {
  // The helper never answers while held: a toggle on the GUI thread would
  // hang this test here.
  helper_.hold("checkAndLoad");
  clickConnect();
  ASSERT_TRUE(drive([&] { return helper_.count("checkAndLoad") == 1; }));
  platform::mainQueue().runPending();
  EXPECT_EQ(buttonTitle(), "Connecting...");

  const std::string attempt = connection_->currentConnectId();
  clickConnect();
  platform::mainQueue().runFor(20ms);
  EXPECT_EQ(connection_->currentConnectId(), attempt);
  EXPECT_EQ(connection_->qv_connectStatus(), qv::qv_connecting);

  notifications_.post(std::string(connection::kWidgetConnectDidClickNotification));
  EXPECT_NE(connection_->currentConnectId(), attempt);
  ASSERT_TRUE(drive([&] { return connection_->qv_connectStatus() == qv::qv_off; }));
  helper_.release("checkAndLoad");
  ASSERT_TRUE(settlesAt(qv::qv_off));
  platform::mainQueue().runPending();
  EXPECT_EQ(buttonTitle(), "Connect");
  EXPECT_EQ(daemonMethods(), (std::vector<std::string>{"StopTun2socks", "StopSS"}));
  EXPECT_EQ(home_->connectFailedCount(), 0);
}

TEST_F(HomeViewControllerTest, AButtonClickFromOffConnectsToTheChosenRegion) {
  // The window shows the region the lines manager holds once it connects.
  manager_->setIsAutoSelect(false);
  manager_->selectRegion(*modelRegion("Japan"));
  standin_->replyTo("/api/2/line/connect/11", 200, sessionReply());
  clickConnect();
  EXPECT_EQ(home_->currentLocation().name, "Japan");
  EXPECT_EQ(home_->currentRegionName().toStdString(), "Japan");
  ASSERT_TRUE(settlesAt(qv::qv_on));
  platform::mainQueue().runPending();
  EXPECT_TRUE(home_->regionTable().cellAt(1)->showsConnectedGradient());
  EXPECT_FALSE(home_->regionTable().cellAt(0)->showsConnectedGradient());
}

TEST_F(HomeViewControllerTest, ADoubleClickOnAnotherRegionMovesTheConnectionThere) {
  clickConnect();
  ASSERT_TRUE(settlesAt(qv::qv_on));
  standin_->replyTo("/api/2/line/connect/21", 200, sessionReply());
  // The connection manager's reconnect comes back through the window's
  // own observer of "WidgetConnectDidClickNotification".
  for (int press = 0; press < 2; ++press) {
    QTest::mouseClick(home_->regionTable().cellAt(2), Qt::LeftButton, {}, QPoint(100, 25));
  }
  EXPECT_EQ(home_->currentRegionName().toStdString(), "USA");
  ASSERT_TRUE(drive([&] {
    return home_->pendingFlowCount() == 0 && statuses().size() == 6 &&
           connection_->qv_connectStatus() == qv::qv_on;
  }));
  platform::mainQueue().runPending();
  EXPECT_EQ(statuses(), (std::vector<qv>{qv::qv_connecting, qv::qv_on, qv::qv_disconnecting,
                                         qv::qv_off, qv::qv_connecting, qv::qv_on}));
  EXPECT_EQ(standin_->requestsTo("/api/2/line/connect/21").size(), 1u);
  EXPECT_EQ(buttonTitle(), "Connected");
  EXPECT_TRUE(home_->regionTable().cellAt(2)->showsConnectedGradient());
  EXPECT_FALSE(home_->regionTable().cellAt(0)->showsConnectedGradient());
}

// ---- The refresh control ----------------------------------------------------------------

TEST_F(HomeViewControllerTest, EverySecondCountedFailureBringsTheRefreshControlIn) {
  standin_->replyTo(kSessionPath, 200,
                    std::string(R"({"status":"fail","code":4,"message":")") + kUnavailable +
                        "\"}");
  std::vector<double> constraints;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    clickConnect();
    ASSERT_TRUE(settlesAt(qv::qv_off));
    platform::mainQueue().runPending();
    EXPECT_EQ(home_->connectFailedCount(), attempt);
    constraints.push_back(home_->refreshConstraint());
  }
  EXPECT_EQ(constraints, (std::vector<double>{-50.0, -5.0, -5.0}));
  EXPECT_EQ(alertTitles(), (std::vector<std::string>(3, "Connect Failed")));

  // A silent failure ("ok": the step showed its own alert) is not counted.
  session_->setIsForbiddenArea(true);
  clickConnect();
  ASSERT_TRUE(settlesAt(qv::qv_off));
  EXPECT_EQ(home_->connectFailedCount(), 3);
  session_->setIsForbiddenArea(false);

  // A connect that works slides the control out again.
  standin_->replyTo(kSessionPath, 200, sessionReply());
  clickConnect();
  ASSERT_TRUE(settlesAt(qv::qv_on));
  platform::mainQueue().runPending();
  EXPECT_EQ(home_->refreshConstraint(), -50.0);
}

struct RefreshCase {
  const char* name;
  // Time on the window's clock between the click and the fetch's reply.
  std::chrono::milliseconds fetchTakes;
  // How much longer the icon turns after the reply.
  std::chrono::milliseconds spinsAfter;
};
void PrintTo(const RefreshCase& c, std::ostream* os) { *os << c.name; }

class HomeViewControllerRefreshTest : public HomeViewControllerTest,
                                      public ::testing::WithParamInterface<RefreshCase> {};

TEST_P(HomeViewControllerRefreshTest, ARefreshClickFetchesTheRegionsAndSpinsAtLeastHalfASecond) {
  const RefreshCase& c = GetParam();
  // Out of view, a click does nothing.
  clickRefresh(QPoint(15, 15));
  const std::size_t fetches = standin_->requestsTo(std::string(connection::kRegionListPath)).size();

  standin_->replyTo(kSessionPath, 200, R"({"status":"fail","code":4,"message":"busy"})");
  for (int attempt = 0; attempt < 2; ++attempt) {
    clickConnect();
    ASSERT_TRUE(settlesAt(qv::qv_off));
  }
  platform::mainQueue().runPending();
  ASSERT_EQ(home_->refreshConstraint(), -5.0);

  // On the border is not inside.
  clickRefresh(QPoint(0, 15));
  clickRefresh(QPoint(15, 30));
  EXPECT_FALSE(home_->isRefreshSpinning());
  EXPECT_EQ(home_->connectFailedCount(), 2);

  clickRefresh(QPoint(15, 15));
  EXPECT_TRUE(home_->isRefreshSpinning());
  EXPECT_EQ(home_->connectFailedCount(), 0);
  uiClock_.advance(c.fetchTakes);
  ASSERT_TRUE(pumpUntil([&] {
    return standin_->requestsTo(std::string(connection::kRegionListPath)).size() > fetches &&
           manager_->pendingWorkCount() == 0;
  }));
  platform::mainQueue().runFor(20ms);
  if (c.spinsAfter > 0ms) {
    EXPECT_TRUE(home_->isRefreshSpinning());
    uiClock_.advance(c.spinsAfter - 1ms);
    platform::mainQueue().runFor(20ms);
    EXPECT_TRUE(home_->isRefreshSpinning());
    uiClock_.advance(1ms);
    platform::mainQueue().runFor(20ms);
  }
  EXPECT_FALSE(home_->isRefreshSpinning());
  EXPECT_EQ(home_->refreshConstraint(), -50.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, HomeViewControllerRefreshTest,
                         ::testing::Values(RefreshCase{"QuickFetchSpinsOnTo500Ms", 100ms, 500ms},
                                           RefreshCase{"InstantFetch", 0ms, 500ms},
                                           RefreshCase{"SlowFetchStopsAtOnce", 800ms, 0ms}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HomeViewControllerTest, AFailedRefreshKeepsTheIconTurning) {
  standin_->replyTo(kSessionPath, 200, R"({"status":"fail","code":4,"message":"busy"})");
  for (int attempt = 0; attempt < 2; ++attempt) {
    clickConnect();
    ASSERT_TRUE(settlesAt(qv::qv_off));
  }
  platform::mainQueue().runPending();
  standin_->replyTo(std::string(connection::kRegionListPath), 500, "{}");
  const std::size_t fetches = standin_->requestsTo(std::string(connection::kRegionListPath)).size();
  clickRefresh(QPoint(15, 15));
  ASSERT_TRUE(pumpUntil([&] {
    return standin_->requestsTo(std::string(connection::kRegionListPath)).size() > fetches &&
           manager_->pendingWorkCount() == 0;
  }));
  uiClock_.advance(2s);
  platform::mainQueue().runFor(20ms);
  EXPECT_TRUE(home_->isRefreshSpinning());
  EXPECT_EQ(home_->refreshConstraint(), -5.0);
}

// ---- Notifications the window follows ------------------------------------------------------

TEST_F(HomeViewControllerTest, ACatalogueUpdateRebuildsTheRowsAndAClickShowsTheRegion) {
  standin_->replyTo(std::string(connection::kRegionListPath), 200,
                    R"({"status":"ok","code":0,"regions":[{"code":"de","name":"Germany",)"
                    R"("icon":"de.png","lines":[{"id":31,"name":"Berlin","ipaddr":"127.0.0.4"}]}]})");
  loadCatalogue();
  platform::mainQueue().runPending();
  ASSERT_EQ(home_->regionTable().numberOfRows(), 2);
  EXPECT_EQ(home_->regionTable().cellAt(1)->regionText(), "Germany");

  QTest::mouseClick(home_->regionTable().cellAt(1), Qt::LeftButton, {}, QPoint(100, 25));
  EXPECT_EQ(home_->currentRegionName().toStdString(), "Germany");
  EXPECT_FALSE(manager_->isAutoSelect());
  uiClock_.advance(1s);
  QTest::mouseClick(home_->regionTable().cellAt(0), Qt::LeftButton, {}, QPoint(100, 25));
  EXPECT_EQ(home_->currentRegionName().toStdString(), "Smart Location");
  EXPECT_TRUE(manager_->isAutoSelect());
}

// ---- The account area ---------------------------------------------------------------------

struct AccountCase {
  const char* name;
  const char* flags;  // the record's verification, expiry and purchase fields
  std::vector<AccountArea::Run> line;
  const char* button;
  bool verifyLink;  // the action opens the verification page, else payment
  bool premium;
};
void PrintTo(const AccountCase& c, std::ostream* os) { *os << c.name; }

class HomeViewControllerAccountTest : public HomeViewControllerTest,
                                      public ::testing::WithParamInterface<AccountCase> {};

TEST_P(HomeViewControllerAccountTest, TheExpiryLineAndActionFollowTheRecord) {
  const AccountCase& c = GetParam();
  signInWithEmail(c.flags);
  AccountArea& area = home_->accountArea();
  // Dates in the placeholders stand for the record's expiry time.
  const std::string date = core::dateText(1700000000);
  std::vector<AccountArea::Run> expected = c.line;
  for (auto& run : expected) {
    if (run.text == "DATE") run.text = date;
    if (run.text == "WILL") run.text = "Will expire on \n" + date;
  }
  EXPECT_EQ(area.expiryLine(), expected);
  EXPECT_EQ(child<QPushButton>("actionButton")->text(), c.button);
  EXPECT_EQ(area.actionURL(), c.verifyLink ? *session_->verify_email() : *session_->payment());
  EXPECT_EQ(!child<QLabel>("premiumIcon")->isHidden(), c.premium);
  EXPECT_EQ(child<QLabel>("emailLabel")->text(), "kim@example.com");
  EXPECT_TRUE(child<QPushButton>("signInButton")->isHidden());
  EXPECT_TRUE(child<QPushButton>("signUpButton")->isHidden());

  QTest::mouseClick(child<QPushButton>("actionButton"), Qt::LeftButton);
  ASSERT_EQ(links_.size(), 1u);
  EXPECT_EQ(links_[0], area.actionURL());
}

const QColor kGrey = AccountArea::grey();
const QColor kAmber = AccountArea::amber();
const QColor kRed = AccountArea::red();

INSTANTIATE_TEST_SUITE_P(
    Cases, HomeViewControllerAccountTest,
    ::testing::Values(
        AccountCase{"ExpiredPurchase",
                    R"("email_verified":true,"expired":true,"purchased":true)",
                    {{"Expired: \n", kGrey}, {"DATE", kRed}},
                    "Upgrade",
                    false,
                    false},
        AccountCase{"Trial",
                    R"("email_verified":true,"expired":true,"purchased":false)",
                    {{"Trial Account", std::nullopt}},
                    "Upgrade",
                    false,
                    false},
        AccountCase{"Active", R"("email_verified":true,"expired":false)",
                    {{"WILL", kGrey}}, "Renew", false, true},
        AccountCase{"ActiveUnverified",
                    R"("email_verified":false,"expired":false)",
                    {{"WILL", kGrey}, {"\n\n", std::nullopt}, {"Email is not verified", kAmber}},
                    "Verify",
                    true,
                    false},
        AccountCase{"ExpiredUnverified", R"("email_verified":false,"expired":true)",
                    {{"Email is not verified", kAmber}}, "Verify", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HomeViewControllerTest, AVisitorSeesSignInAndSignUpAndTheButtonsOpenTheirPages) {
  // A record without an e-mail or phone is no account.
  platform::mainQueue().runPending();
  EXPECT_FALSE(child<QPushButton>("signInButton")->isHidden());
  EXPECT_FALSE(child<QPushButton>("signUpButton")->isHidden());
  EXPECT_FALSE(child<QLabel>("appNameLabel")->isHidden());
  EXPECT_TRUE(child<QPushButton>("actionButton")->isHidden());

  QTest::mouseClick(child<QPushButton>("signInButton"), Qt::LeftButton);
  EXPECT_EQ(signIns_, 1);
  QTest::mouseClick(child<QPushButton>("signUpButton"), Qt::LeftButton);
  QTest::mouseClick(child<QPushButton>("logoButton"), Qt::LeftButton);
  EXPECT_EQ(links_, (std::vector<std::string>{*session_->payment(), core::webSiteAddress()}));

  links_.clear();
  signInWithEmail(R"("email_verified":true,"expired":false)");
  QTest::mouseClick(child<QPushButton>("logoButton"), Qt::LeftButton);
  EXPECT_EQ(links_, (std::vector<std::string>{*session_->account_center()}));
}

TEST_F(HomeViewControllerTest, TheActionButtonReadsTheLinksAgainAtTheClick) {
  signInWithEmail(R"("email_verified":false,"expired":true)");
  auto links = session_->links();
  links.verify_email = "https://www.example.com/sign/signup?verifyEmail=source=mac&v=2";
  links.payment = "https://www.example.com/payment?source=mac&v=2";
  session_->setLinks(links);
  QTest::mouseClick(child<QPushButton>("actionButton"), Qt::LeftButton);
  EXPECT_EQ(links_, (std::vector<std::string>{*links.verify_email}));

  signInWithEmail(R"("email_verified":true,"expired":false)");
  links.payment = "https://www.example.com/payment?source=mac&v=3";
  session_->setLinks(links);
  QTest::mouseClick(child<QPushButton>("actionButton"), Qt::LeftButton);
  EXPECT_EQ(links_.back(), *links.payment);
}

TEST_F(HomeViewControllerTest, LoggingOutAsksFirstAndRedrawsTheVisitorLayout) {
  signInWithEmail(R"("email_verified":true,"expired":false)");
  presenter_.answer("Do you need to log out", 0);
  QTest::mouseClick(child<QPushButton>("logoutButton"), Qt::LeftButton);
  ASSERT_EQ(alerts().size(), 1u);
  const connection::AlertContent asked = alerts()[0];
  EXPECT_EQ(asked.title, "Do you need to log out");
  EXPECT_EQ(asked.message, "");
  EXPECT_EQ(asked.button1, "Log out");
  EXPECT_EQ(asked.button2, "No");
  EXPECT_TRUE(session_->model().has_value()) << "closing the question logs out";

  session_->setLoginCookie("session=1");
  presenter_.answer("Do you need to log out", connection::kAlertFirstButtonReturn);
  QTest::mouseClick(child<QPushButton>("logoutButton"), Qt::LeftButton);
  ASSERT_TRUE(pumpUntil([&] { return !session_->model().has_value(); }));
  // The cookie goes last, once "/logout" has settled: until then the flow
  // still uses the session, which the fixture destroys.
  ASSERT_TRUE(pumpUntil([&] { return session_->loginCookie().empty(); }));
  platform::mainQueue().runPending();
  EXPECT_FALSE(child<QPushButton>("signInButton")->isHidden());
  EXPECT_TRUE(child<QPushButton>("logoutButton")->isHidden());
}

// ---- What a user can read --------------------------------------------------------------------

// The window's dark face carries every text and icon: the account area for
// a visitor and for a signed-in user, the current region, the connect
// button, and the region rows with their pings, premium marks and the
// connected row's gradient. The expiry line's colours are given per run
// (grey, amber, red) and stay as they are.
TEST_F(HomeViewControllerTest, EveryTextAndIconOfTheWindowCanBeRead) {
  loadCatalogue();
  modelLine(11)->setPingTime(87);
  platform::mainQueue().runPending();
  const QStringList exempt = {QStringLiteral("expiredLabel")};
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  const Case cases[] = {
      {"visitor", [&] {
         session_->logout(false);
         ASSERT_TRUE(pumpUntil([&] { return !session_->model().has_value(); }));
         notifications_.post(std::string(core::kMiscInfoDidUpdateNotification));
       }},
      {"signed in, expired", [&] { signInWithEmail(R"("email_verified":true,"expired":true)"); }},
      {"signed in, connected", [&] {
         signInWithEmail(R"("email_verified":true,"expired":false)");
         connection_->setConnectStatus(qv::qv_on);
         notifications_.post(std::string(core::kVPNStatusChangeNotification));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    platform::mainQueue().runPending();
    EXPECT_TRUE(test_support::everythingReadable(*home_, exempt));
  }
  connection_->setConnectStatus(qv::qv_off);
}

TEST(AccountAreaNameTest, ALongNameTakesTheLargestSizeThatFitsIn180) {
  EXPECT_EQ(AccountArea::nameFontSize("kim@example.com"), 16);
  const QString wide(60, QLatin1Char('W'));
  EXPECT_EQ(AccountArea::nameFontSize(wide), 7);
  // A name that overflows at 16 but fits further down takes the first fit.
  QString name(14, QLatin1Char('W'));
  const int size = AccountArea::nameFontSize(name);
  ASSERT_LT(size, 16);
  ASSERT_GE(size, 8);
  const auto width = [&](int pixels) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(pixels);
    return std::ceil(QFontMetricsF(font).boundingRect(QRectF(0, 0, 1e7, 15), Qt::AlignLeft, name)
                         .width());
  };
  EXPECT_LE(width(size), 180.0);
  EXPECT_GT(width(size + 1), 180.0);
}

}  // namespace
}  // namespace vandrel::app
