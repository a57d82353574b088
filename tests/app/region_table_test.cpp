// The region table over the real lines manager (catalogue from the HTTPS
// stand-in): its rows and what they show, single and double clicks by the
// connection status, and the rows' flags.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/flag_images.h"
#include "app/images.h"
#include "app/line_cell.h"
#include "app/region_table.h"
#include "core/qv_connect_log.h"
#include "core/remote_log.h"
#include "tests/connection/lines_manager_fixture.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;
using connection::testing_support::LinesManagerTestBase;
using connection::testing_support::regionListReply;
using core::qv_ConnectStatus;
using core::RegionsItem;
using core::service_api_testing::sentLogRecords;

class RecordingFlagImages final : public FlagImages {
 public:
  void load(const std::string& url, std::function<void(const QPixmap&)>) override {
    urls.push_back(url);
  }
  std::vector<std::string> urls;
};

class TableHost final : public RegionTable::Host {
 public:
  const RegionsItem& currentLocation() const override { return location; }
  void setCurrentLocation(RegionsItem region) override { location = std::move(region); }
  void showCurrentRegion() override { ++shows; }

  RegionsItem location = connection::defaultRegion();
  int shows = 0;
};

RegionsItem namedRegion(std::string name) {
  RegionsItem region;
  region.name = std::move(name);
  return region;
}

bool samePicture(const QPixmap& a, const QPixmap& b) { return a.toImage() == b.toImage(); }

class RegionTableTest : public LinesManagerTestBase {
 protected:

  void SetUp() override {
    LinesManagerTestBase::SetUp();
    if (HasFatalFailure()) return;
    standin_->replyTo(std::string(connection::kRegionListPath), 200, regionListReply());
    makeManager();
    connectLog_ = std::make_unique<core::qv_ConnectLog>(*remoteLog_);
    table_ = std::make_unique<RegionTable>(
        RegionTable::Dependencies{*manager_, *connection_, *session_, *connectLog_,
                                  notifications_, uiClock_, uiScheduler_, flags_},
        host_);
    table_->resize(600, 400);
    table_->show();
  }

  void TearDown() override {
    table_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    LinesManagerTestBase::TearDown();
    connectLog_.reset();
  }

  // The catalogue, fetched while "connected" so no ping cycle follows.
  void loadCatalogue() {
    connection_->setConnectStatus(qv_ConnectStatus::qv_on);
    ASSERT_TRUE(fetch().isSuccess);
    connection_->setConnectStatus(qv_ConnectStatus::qv_off);
    platform::mainQueue().runPending();
  }

  std::vector<std::string> rowTexts() const {
    std::vector<std::string> texts;
    for (int row = 0; row < table_->numberOfRows(); ++row) {
      texts.push_back(table_->cellAt(row)->regionText().toStdString());
    }
    return texts;
  }

  int rowOf(const std::string& name) const {
    const auto& models = table_->regionModels();
    for (int row = 0; row < static_cast<int>(models.size()); ++row) {
      if (models[static_cast<std::size_t>(row)].name == name) return row;
    }
    ADD_FAILURE() << "no row " << name;
    return -1;
  }

  void click(int row) {
    LineCell* cell = table_->cellAt(row);
    ASSERT_NE(cell, nullptr);
    QTest::mouseClick(cell, Qt::LeftButton, {}, QPoint(100, 25));
  }

  void signInWithEmail(bool expired) {
    auto model = core::MiscInfoModel::fromJsonText(
        std::string(R"({"remaining_days":3,"expired":)") + (expired ? "true" : "false") +
        R"(,"expire_at_time":1,"user_id":7,"password_setup":true,"ads_free":false,)"
        R"("remaining_seconds":1,"code":0,"email":"kim@example.com"})");
    ASSERT_TRUE(model.ok());
    session_->setModel(model.value());
    ASSERT_TRUE(session_->isLogin());
  }

  platform::ManualClock uiClock_{core::service_api_testing::fixedWallTime()};
  platform::Scheduler uiScheduler_{uiClock_};
  RecordingFlagImages flags_;
  TableHost host_;
  std::unique_ptr<core::qv_ConnectLog> connectLog_;
  std::unique_ptr<RegionTable> table_;
};

TEST_F(RegionTableTest, RowsAreTheAutomaticChoiceThenTheCatalogueWithFirstLinePings) {
  loadCatalogue();
  modelLine(11)->setPingTime(87);
  table_->reloadRegions();

  EXPECT_EQ(rowTexts(),
            (std::vector<std::string>{"Smart Location", "Japan", "USA", "Smart Location"}));
  std::vector<std::string> pings;
  for (int row = 0; row < table_->numberOfRows(); ++row) {
    pings.push_back(table_->cellAt(row)->pingText().toStdString());
  }
  // The automatic rows show no ping; USA's line was never measured.
  EXPECT_EQ(pings, (std::vector<std::string>{"", "87 ms", "-- ms", ""}));

  const FlagView& automatic = table_->cellAt(0)->flagView();
  EXPECT_TRUE(samePicture(automatic.picture(), appImage("btn_icon_autoselect")));
  EXPECT_FALSE(automatic.hasRoundBorder());
  const FlagView& japan = table_->cellAt(1)->flagView();
  EXPECT_TRUE(samePicture(japan.picture(), appImage("country_default")));
  EXPECT_TRUE(japan.hasRoundBorder());
  EXPECT_NE(std::find(flags_.urls.begin(), flags_.urls.end(), "jp.png"), flags_.urls.end());
  // The choice is automatic: both automatic rows carry the tint.
  EXPECT_TRUE(table_->cellAt(0)->isSelectedRegion());
  EXPECT_FALSE(table_->cellAt(1)->isSelectedRegion());
  EXPECT_TRUE(table_->cellAt(3)->isSelectedRegion());
}

TEST(LineCellPingTextTest, OnlyAMeasuredFirstLineShowsItsTime) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::optional<std::int64_t>>> pings;  // none: no lines
    const char* text;
  };
  const Case cases[] = {
      {"no lines", std::nullopt, "-- ms"},
      {"empty lines", std::vector<std::optional<std::int64_t>>{}, "-- ms"},
      {"no time", std::vector<std::optional<std::int64_t>>{std::nullopt}, "-- ms"},
      {"unreachable 999", std::vector<std::optional<std::int64_t>>{999}, "-- ms"},
      {"not measured -1", std::vector<std::optional<std::int64_t>>{-1}, "-- ms"},
      {"zero", std::vector<std::optional<std::int64_t>>{0}, "0 ms"},
      {"measured", std::vector<std::optional<std::int64_t>>{87, 5}, "87 ms"},
      {"only the first line counts", std::vector<std::optional<std::int64_t>>{999, 5}, "-- ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RegionsItem region = namedRegion("Japan");
    if (c.pings) {
      region.lines.emplace();
      for (const auto& ping : *c.pings) {
        auto line = core::LineItem::create();
        line->setPingTime(ping);
        region.lines->push_back(line);
      }
    }
    EXPECT_EQ(LineCell::pingTextOf(region).toStdString(), c.text);
  }
}

TEST(FlagImagesTest, OnlyAbsoluteWebAddressesAreFetched) {
  struct Case {
    const char* key;
    bool loadable;
  };
  const Case cases[] = {
      {"https://cdn.example.com/flags/jp.png", true},
      {"http://cdn.example.com/jp.png", true},
      {"jp.png", false},
      {"/flags/jp.png", false},
      {"file:///etc/passwd", false},
      {"ftp://cdn.example.com/jp.png", false},
      {"https://", false},
      {"javascript:alert(1)", false},
      {"https://cdn.example.com/a flag.png", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(FlagImages::isLoadableAddress(c.key), c.loadable);
  }
}

TEST_F(RegionTableTest, WithoutCatalogueOnlyTheAutomaticRowShowsAndTheChoiceStays) {
  manager_->selectRegion(namedRegion("Narnia"));
  table_->reloadRegions();

  EXPECT_EQ(rowTexts(), (std::vector<std::string>{"Smart Location"}));
  EXPECT_EQ(manager_->currentRegion().name, "Narnia");
  EXPECT_GE(host_.shows, 1);
}

TEST_F(RegionTableTest, ACurrentRegionMissingFromTheCatalogueGivesWayToTheDefault) {
  loadCatalogue();
  manager_->selectRegion(namedRegion("USA"));
  table_->reloadRegions();
  EXPECT_EQ(manager_->currentRegion().name, "USA");

  manager_->selectRegion(namedRegion("Narnia"));
  table_->reloadRegions();
  EXPECT_EQ(manager_->currentRegion().name, "Smart Location");

  // An empty catalogue leaves only the automatic row, and the default
  // region becomes current.
  manager_->selectRegion(namedRegion("USA"));
  standin_->replyTo(std::string(connection::kRegionListPath), 200,
                    R"({"status":"ok","code":0,"regions":[]})");
  loadCatalogue();
  table_->reloadRegions();
  EXPECT_EQ(rowTexts(), (std::vector<std::string>{"Smart Location"}));
  EXPECT_EQ(manager_->currentRegion().name, "Smart Location");
}

TEST_F(RegionTableTest, RegionsWithoutNameNeverMatchTheCurrentRegion) {
  RegionsItem anonymous;
  anonymous.icon = "xx.png";
  manager_->selectRegion(anonymous);
  standin_->replyTo(std::string(connection::kRegionListPath), 200,
                    R"({"status":"ok","code":0,"regions":[{"icon":"xx.png","lines":[]}]})");
  loadCatalogue();
  table_->reloadRegions();

  // The clock has not moved, yet the time-based identifiers do not match.
  EXPECT_EQ(manager_->currentRegion().name, "Smart Location");
  ASSERT_EQ(table_->numberOfRows(), 2);
  EXPECT_EQ(table_->cellAt(1)->regionText().left(7), "server-");
}

TEST_F(RegionTableTest, ASingleClickSelectsTheRegionAndShowsItOnlyWhileOff) {
  loadCatalogue();
  table_->reloadRegions();

  click(rowOf("USA"));
  EXPECT_EQ(manager_->currentRegion().name, "USA");
  EXPECT_FALSE(manager_->isAutoSelect());
  EXPECT_EQ(host_.location.name, "USA");
  EXPECT_TRUE(table_->cellAt(rowOf("USA"))->isSelectedRegion());
  EXPECT_FALSE(table_->cellAt(0)->isSelectedRegion());
  EXPECT_EQ(connectClicks_.load(), 0);

  // While connected the window keeps showing the connected region.
  connection_->setConnectStatus(qv_ConnectStatus::qv_on);
  uiClock_.advance(1s);
  click(rowOf("Japan"));
  EXPECT_EQ(manager_->currentRegion().name, "Japan");
  EXPECT_EQ(host_.location.name, "USA");

  uiClock_.advance(1s);
  click(0);
  EXPECT_TRUE(manager_->isAutoSelect());
  EXPECT_EQ(manager_->currentRegion().name, "Smart Location");
  EXPECT_EQ(connectClicks_.load(), 0);
}

struct DoubleClickCase {
  const char* name;
  qv_ConnectStatus status;
  // The region the window shows as connected (host location) beforehand.
  const char* shown;
  const char* first;
  const char* second;
  std::chrono::milliseconds gap;
  int connectPosts;
  bool changesLine;
  const char* shownAfter;
};

class RegionTableDoubleClickTest : public RegionTableTest,
                                   public ::testing::WithParamInterface<DoubleClickCase> {};

TEST_P(RegionTableDoubleClickTest, ActsByStatusOnlyForTheSameRowWithin300Ms) {
  const DoubleClickCase& c = GetParam();
  loadCatalogue();
  table_->reloadRegions();
  host_.location = namedRegion(c.shown);
  connection_->setConnectStatus(c.status);
  connectLog_->begin();

  click(rowOf(c.first));
  uiClock_.advance(c.gap);
  click(rowOf(c.second));

  EXPECT_EQ(connectClicks_.load(), c.connectPosts);
  EXPECT_EQ(connection_->shouldConnectAfterDisconnect(), c.changesLine);
  EXPECT_EQ(host_.location.name, c.shownAfter);
  EXPECT_EQ(manager_->currentRegion().name, c.second);
  if (c.changesLine) {
    EXPECT_FALSE(connectLog_->activeLog().has_value()) << "the change was not reported";
    ASSERT_TRUE(drain());
    const auto records = sentLogRecords(*standin_, core::kClientConnectLogStore);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().value("error"), "changeLine");
    EXPECT_EQ(records.back().value("actionPath"), "changeLine");
  } else {
    EXPECT_TRUE(connectLog_->activeLog().has_value());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegionTableDoubleClickTest,
    ::testing::Values(
        DoubleClickCase{"OffConnects", qv_ConnectStatus::qv_off, "Japan", "USA", "USA", 100ms, 1,
                        false, "USA"},
        DoubleClickCase{"OffAt299Ms", qv_ConnectStatus::qv_off, "Japan", "USA", "USA", 299ms, 1,
                        false, "USA"},
        DoubleClickCase{"OffAt300MsIsTwoClicks", qv_ConnectStatus::qv_off, "Japan", "USA", "USA",
                        300ms, 0, false, "USA"},
        DoubleClickCase{"TwoRowsAreTwoClicks", qv_ConnectStatus::qv_off, "Japan", "Japan", "USA",
                        100ms, 0, false, "USA"},
        DoubleClickCase{"OnTheConnectedRegionDisconnects", qv_ConnectStatus::qv_on, "USA", "USA",
                        "USA", 100ms, 1, false, "USA"},
        DoubleClickCase{"OnAnotherRegionMovesTheConnection", qv_ConnectStatus::qv_on, "Japan",
                        "USA", "USA", 100ms, 1, true, "USA"},
        DoubleClickCase{"OnASingleClickOnlySelects", qv_ConnectStatus::qv_on, "Japan", "USA",
                        "USA", 400ms, 0, false, "Japan"},
        DoubleClickCase{"ConnectingMovesTheAttempt", qv_ConnectStatus::qv_connecting, "USA",
                        "USA", "USA", 100ms, 1, true, "USA"},
        DoubleClickCase{"DisconnectingMovesTheReconnect", qv_ConnectStatus::qv_disconnecting,
                        "Japan", "USA", "USA", 100ms, 1, true, "USA"}),
    [](const ::testing::TestParamInfo<DoubleClickCase>& info) { return info.param.name; });

TEST_F(RegionTableTest, AThirdQuickClickIsAnotherDoubleClick) {
  loadCatalogue();
  table_->reloadRegions();
  const int usa = rowOf("USA");
  click(usa);
  uiClock_.advance(200ms);
  click(usa);
  uiClock_.advance(200ms);
  click(usa);
  EXPECT_EQ(connectClicks_.load(), 2);
}

TEST_F(RegionTableTest, OnlyTheConnectedRegionsRowCarriesTheGradientAndOnlyWhileOn) {
  loadCatalogue();
  host_.location = namedRegion("Japan");
  for (const auto status : {qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_connecting}) {
    SCOPED_TRACE(static_cast<int>(status));
    connection_->setConnectStatus(status);
    table_->reloadRegions();
    const bool on = status == qv_ConnectStatus::qv_on;
    EXPECT_EQ(table_->cellAt(rowOf("Japan"))->showsConnectedGradient(), on);
    EXPECT_FALSE(table_->cellAt(rowOf("USA"))->showsConnectedGradient());
    EXPECT_FALSE(table_->cellAt(0)->showsConnectedGradient());
  }
}

TEST_F(RegionTableTest, AnExpiredAccountSeesThePremiumMarkOnEveryRegionButTheAutomaticOne) {
  loadCatalogue();
  for (const bool expired : {true, false}) {
    SCOPED_TRACE(expired);
    signInWithEmail(expired);
    table_->reloadRegions();
    std::vector<bool> marks;
    for (int row = 0; row < table_->numberOfRows(); ++row) {
      marks.push_back(table_->cellAt(row)->showsPremiumMark());
    }
    EXPECT_EQ(marks, (std::vector<bool>{false, expired, expired, false}));
  }
}

TEST_F(RegionTableTest, TheRowUnderThePointerIsHighlighted) {
  loadCatalogue();
  table_->reloadRegions();
  LineCell* cell = table_->cellAt(1);
  QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), QPointF(10, 10));
  QApplication::sendEvent(cell, &enter);
  EXPECT_TRUE(cell->highlight());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(cell, &leave);
  EXPECT_FALSE(cell->highlight());
}

}  // namespace
}  // namespace vandrel::app
