// The alert helpers with a recording presenter, and the connection port's
// lines and alert parts over a real lines manager.

#include "connection/alert_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "connection/connection_port_impl.h"
#include "core/misc_info.h"
#include "tests/connection/lines_manager_fixture.h"

namespace vandrel::connection {
namespace {

using namespace testing_support;

// Answers every alert with a scripted response and records what it was
// asked, in order, and whether it ran on the main thread.
class RecordingPresenter final : public AlertPresenter {
 public:
  void answer(std::int64_t response) { response_ = response; }

  void dismissProgressHUD() override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("dismiss");
    onMain_ = onMain_ && platform::isMainThread();
  }
  std::int64_t runModal(const AlertContent& alert) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("alert");
    alerts_.push_back(alert);
    onMain_ = onMain_ && platform::isMainThread();
    return response_.load();
  }

  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<AlertContent> alerts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return alerts_;
  }
  bool allOnMain() {
    std::lock_guard<std::mutex> lock(mutex_);
    return onMain_;
  }

 private:
  std::atomic<std::int64_t> response_{kAlertFirstButtonReturn};
  std::mutex mutex_;
  std::vector<std::string> events_;
  std::vector<AlertContent> alerts_;
  bool onMain_ = true;
};

RegionsItem named(std::string name) {
  RegionsItem region;
  region.name = std::move(name);
  return region;
}

class AlertHelpersTest : public LinesManagerTestBase {
 protected:
  void SetUp() override {
    LinesManagerTestBase::SetUp();
    if (HasFatalFailure()) return;
    makeManager();
    AlertHelpers::Hooks hooks{
        .paymentLink = [this] { return payment_; },
        .selectRegion = [this](RegionsItem region) { manager_->selectRegion(std::move(region)); },
        .openLink = [this](const std::string& url) { opened_.push_back(url); },
    };
    alerts_ = std::make_unique<AlertHelpers>(presenter_, notifications_, std::move(hooks),
                                             platform::mainQueue());
    port_ = std::make_unique<ConnectionPortImpl>(
        *connection_, [this]() -> LinesManager& { return *manager_; }, *alerts_);
  }

  RecordingPresenter presenter_;
  std::optional<std::string> payment_;
  std::vector<std::string> opened_;  // main thread only
  std::unique_ptr<AlertHelpers> alerts_;
  std::unique_ptr<ConnectionPortImpl> port_;
};

TEST_F(AlertHelpersTest, TheButtonThatEndsTheAlertRunsItsActionOnly) {
  struct Case {
    const char* name;
    std::optional<std::string> button2;
    bool withAction1;
    bool withAction2;
    std::int64_t response;
    int ran1;
    int ran2;
  };
  const std::vector<Case> cases = {
      {"first button", "Detail", true, true, kAlertFirstButtonReturn, 1, 0},
      {"second button", "Detail", true, true, kAlertSecondButtonReturn, 0, 1},
      {"first button without action", "Detail", false, true, kAlertFirstButtonReturn, 0, 0},
      {"second button without action", "Detail", true, false, kAlertSecondButtonReturn, 0, 0},
      {"no second title: its action never runs", std::nullopt, true, true,
       kAlertSecondButtonReturn, 0, 0},
      {"Esc", "Detail", true, true, -1001, 0, 0},
      {"window closed", "Detail", true, true, 0, 0, 0},
      {"some other response", std::nullopt, true, true, 1002, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    presenter_.answer(c.response);
    int ran1 = 0;
    int ran2 = 0;
    std::function<void()> action1;
    std::function<void()> action2;
    if (c.withAction1) action1 = [&] { ++ran1; };
    if (c.withAction2) action2 = [&] { ++ran2; };
    const std::size_t shown = presenter_.alerts().size();
    alerts_->showAlert("Terms Of Service", "Please read them.", "Accept", action1, c.button2,
                       action2);
    ASSERT_TRUE(pumpUntil([&] { return presenter_.alerts().size() == shown + 1; }));
    platform::mainQueue().runPending();
    EXPECT_EQ(ran1, c.ran1);
    EXPECT_EQ(ran2, c.ran2);
    const AlertContent alert = presenter_.alerts().back();
    EXPECT_EQ(alert, (AlertContent{"Terms Of Service", "Please read them.", "Accept", c.button2}));
  }
  // The overlay goes before each alert; everything ran on the main thread.
  const auto events = presenter_.events();
  for (std::size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i], i % 2 == 0 ? "dismiss" : "alert") << i;
  }
  EXPECT_TRUE(presenter_.allOnMain());
}

TEST_F(AlertHelpersTest, ShowAlertReturnsAtOnceFromAnyThread) {
  // From the main thread: queued, never run in place.
  alerts_->showAlert("Notice", "one", "OK");
  EXPECT_TRUE(presenter_.alerts().empty());
  // From a global queue, through the connection port.
  platform::Promise<bool> returned;
  platform::globalQueue().async([&, returned] {
    port_->showAlert("Connect Failed", "two", "OK", {}, std::nullopt, {});
    returned.resolve(true);
  });
  ASSERT_TRUE(returned.wait(5s).has_value());
  ASSERT_TRUE(pumpUntil([&] { return presenter_.alerts().size() == 2; }));
  EXPECT_EQ(presenter_.alerts()[0].message, "one");
  EXPECT_EQ(presenter_.alerts()[1].title, "Connect Failed");
  EXPECT_TRUE(presenter_.allOnMain());
}

TEST_F(AlertHelpersTest, TheUpgradePageIsTheSessionsPaymentLinkOrTheDefault) {
  payment_ = "https://pay.example/plan?x=1";
  port_->openUpgradePage();
  payment_ = std::nullopt;
  alerts_->openUpgradePage();
  EXPECT_EQ(opened_, (std::vector<std::string>{"https://pay.example/plan?x=1",
                                               *core::MiscInfo::Links::defaults().payment}));
  EXPECT_NE(opened_.back().find("/payment?source=mac"), std::string::npos);
}

TEST_F(AlertHelpersTest, SwitchingToSmartLocationChangesOnlyTheStoredChoice) {
  connection_->setBothConnectStatuses(qv_ConnectStatus::qv_on);
  manager_->selectRegion(named("Japan"));
  manager_->setIsAutoSelect(false);
  const int announced = linesUpdates_.load();

  port_->switchToSmartLocation();

  EXPECT_EQ(linesUpdates_.load(), announced + 1);
  const RegionsItem region = manager_->currentRegion();
  EXPECT_EQ(region.name, "Smart Location");
  EXPECT_EQ(region.icon, "icon_autoselect");
  EXPECT_FALSE(region.region.has_value());
  EXPECT_FALSE(region.iconUrl.has_value());
  ASSERT_EQ(region.lines->size(), 1u);
  EXPECT_EQ(region.lines->front()->id(), -999);
  EXPECT_EQ(region.lines->front()->name(), "自动选择路线");
  EXPECT_TRUE(manager_->isAutoSelect());
  EXPECT_EQ(core::loadModel<RegionsItem>(kCurrentRegionCacheEntry)->name, "Smart Location");
  EXPECT_EQ(connection_->statuses(), (ConnectStatuses{qv_ConnectStatus::qv_on,
                                                      qv_ConnectStatus::qv_on}));
}

TEST_F(AlertHelpersTest, ThePortHandsLinesCallsToTheLinesManager) {
  port_->selectRegion(named("Japan"));
  EXPECT_EQ(manager_->currentRegion().name, "Japan");
  EXPECT_EQ(port_->currentRegion().name, "Japan");
  auto line = LineItem::create();
  line->setId(42);
  manager_->setIsAutoSelect(false);
  port_->setCurrentLine(line);
  EXPECT_EQ(manager_->currentLine(), line);
  EXPECT_FALSE(port_->isAutoSelect());
  port_->setCurrentLine(LineItem::automaticLine());
  EXPECT_TRUE(port_->isAutoSelect());
  port_->setLastUpdateTime(1234);
  EXPECT_EQ(manager_->lastUpdateTime(), 1234);
  EXPECT_EQ(port_->reconnectCount(), 0);
  connection_->setConnectStatus(qv_ConnectStatus::qv_disconnecting);
  EXPECT_EQ(port_->connectStatus(), qv_ConnectStatus::qv_disconnecting);
  port_->setBothConnectStatuses(qv_ConnectStatus::qv_off);
  EXPECT_EQ(connection_->lastConnectStatus(), qv_ConnectStatus::qv_off);

  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  connection_->setConnectStatus(qv_ConnectStatus::qv_on);
  platform::Promise<ResultData> fetched;
  port_->requestLines(fetched);
  EXPECT_TRUE(await(fetched).isSuccess);
  EXPECT_EQ(manager_->regionList().size(), 3u);
}

}  // namespace
}  // namespace vandrel::connection
