// The line ping model over a fake ping manager: reading the region and line
// dictionaries, the cycle's pingers, the reply and stop bookkeeping, the
// stored ping times, the process-wide group and the hand-over.

#include "connection/qv_line_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connection/qv_connection_manager.h"
#include "platform/clock.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"
#include "tests/connection/fake_line_ping_manager.h"
#include "tests/support/temp_home.h"

namespace vandrel::connection {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using core::qv_ConnectStatus;
using platform::Value;

Value::Dictionary lineDictionary(std::int64_t id, std::string address) {
  return Value::Dictionary{{"id", id},
                           {"name", "line " + std::to_string(id)},
                           {"location", "somewhere"},
                           {"ipaddr", std::move(address)}};
}

Value::Dictionary regionDictionary(std::string code, std::vector<Value::Dictionary> lines) {
  Value::Array array;
  for (auto& line : lines) array.emplace_back(std::move(line));
  return Value::Dictionary{
      {"code", code}, {"icon", code + ".png"}, {"name", "Region " + code}, {"lines", array}};
}

class LineModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    models_ = std::make_unique<qv_RegionModels>(fake_, connection_, defaults_, *scheduler_);
    models_->setFinishPing([this] {
      std::vector<Value::Dictionary> regions;
      for (const auto& region : models_->qv_vdr_models()) regions.push_back(region.toDictionary());
      std::lock_guard<std::mutex> lock(mutex_);
      handedOver_.push_back(std::move(regions));
    });
  }

  void TearDown() override {
    fake_->releaseStops();
    // Pending hand-overs never run: the scheduler goes first.
    scheduler_.reset();
    fake_->flush();
    models_.reset();
  }

  std::shared_ptr<qv_LineModel> line(Value::Dictionary dictionary) {
    auto made = qv_LineModel::init(dictionary, models_->environment());
    EXPECT_NE(made, nullptr);
    return made;
  }

  // Sets the regions and runs a cycle up to the end of its set-up.
  void startCycle(std::vector<Value::Dictionary> regions) {
    models_->setQv_vdr_models(models_->regionsFrom(regions));
    const int before = fake_->setupsDone();
    models_->pingAllLines();
    ASSERT_TRUE(eventually([&] { return fake_->setupsDone() > before; }, 5s, "set-up pass"));
  }

  std::shared_ptr<qv_LineModel> lineWithId(std::int64_t id) {
    for (const auto& region : models_->qv_vdr_models()) {
      for (const auto& l : region.qv_lines) {
        if (l->fields().qv_id == id) return l;
      }
    }
    ADD_FAILURE() << "no line " << id;
    return nullptr;
  }

  std::size_t handOvers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handedOver_.size();
  }
  std::vector<Value::Dictionary> lastHandOver() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handedOver_.empty() ? std::vector<Value::Dictionary>{} : handedOver_.back();
  }

  // Stops the cycle as its 1.4-second task does and waits for the hand-over.
  ::testing::AssertionResult finishCycle() {
    const std::size_t before = handOvers();
    clock_.advance(kCycleStopDelay);
    return eventually([&] { return handOvers() > before; }, 5s, "hand-over");
  }

  std::optional<double> stored(std::int64_t id) {
    const auto dictionary = defaults_.getDictionary(kLineModelPingTimeDicKey);
    if (!dictionary) return std::nullopt;
    const auto it = dictionary->find(std::to_string(id));
    if (it == dictionary->end()) return std::nullopt;
    return it->second.asNumber();
  }

  test_support::TempHome home_;
  platform::Defaults defaults_{home_.configHome() / "standard.json"};
  platform::NotificationCenter notifications_;
  NoSystemVpnSource noVpn_;
  qv_ConnectionManager connection_{defaults_, notifications_, noVpn_};
  platform::ManualClock clock_;
  std::unique_ptr<platform::Scheduler> scheduler_ = std::make_unique<platform::Scheduler>(clock_);
  std::shared_ptr<FakeLinePingManager> fake_ = std::make_shared<FakeLinePingManager>();
  std::unique_ptr<qv_RegionModels> models_;
  std::mutex mutex_;
  std::vector<std::vector<Value::Dictionary>> handedOver_;
};

// ---- dictionaries ------------------------------------------------------------

TEST_F(LineModelTest, LineDictionariesNeedTheirRequiredKeysAndDefaultTheRest) {
  struct Case {
    const char* name;
    Value::Dictionary dictionary;
    bool valid;
  };
  const Value::Dictionary base = lineDictionary(7, "10.1.2.3");
  auto without = [&](const char* key) {
    Value::Dictionary d = base;
    d.erase(key);
    return d;
  };
  auto with = [&](const char* key, Value value) {
    Value::Dictionary d = base;
    d[key] = std::move(value);
    return d;
  };
  Value::Dictionary secondAddress = without("ipaddr");
  secondAddress["iPAddr"] = "10.9.9.9";
  const std::vector<Case> cases = {
      {"complete", base, true},
      {"no name", without("name"), false},
      {"no location", without("location"), false},
      {"no id", without("id"), false},
      {"id as text", with("id", "7"), false},
      {"id as 7.0", with("id", 7.0), true},
      {"id as 7.5", with("id", 7.5), false},
      {"name as number", with("name", 3), false},
      {"only iPAddr", secondAddress, true},
      {"no address", without("ipaddr"), false},
      {"ipaddr not text", with("ipaddr", 1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(qv_LineModel::init(c.dictionary, models_->environment()) != nullptr, c.valid);
  }

  const auto defaulted = line(base)->fields();
  EXPECT_EQ(defaulted.qv_mode, "");
  EXPECT_EQ(defaulted.qv_detectPort, -1);
  EXPECT_FALSE(defaulted.qv_isPrivate);
  EXPECT_FALSE(defaulted.qv_load.has_value());
  EXPECT_EQ(line(secondAddress)->fields().qv_ipaddr, "10.9.9.9");
}

TEST_F(LineModelTest, LineDictionaryWrittenBackCarriesTruncatedFigures) {
  Value::Dictionary d = lineDictionary(7, "10.1.2.3");
  d["load"] = 42;
  d["mode"] = "fast";
  d["detectPort"] = 9000;
  d["private"] = true;
  auto l = line(d);
  const Value::Dictionary fresh = l->toDictionary();
  EXPECT_EQ(fresh.at("pingTime"), Value(999));
  EXPECT_EQ(fresh.at("packetLoss"), Value(999));
  EXPECT_EQ(fresh.at("load"), Value(42));
  EXPECT_EQ(fresh.at("private"), Value(true));
  EXPECT_EQ(fresh.at("protocol"), Value(""));
  EXPECT_EQ(fresh.at("detectPort"), Value(9000));
  EXPECT_EQ(fresh.size(), 11u);

  l->setQv_pingTime(25.9);
  l->update([](qv_LineModel::Fields& f) { f.qv_packetLoss = 1.0 / 3.0; });
  const Value::Dictionary measured = l->toDictionary();
  EXPECT_EQ(measured.at("pingTime"), Value(25));
  EXPECT_EQ(measured.at("packetLoss"), Value(0));

  d.erase("load");
  EXPECT_EQ(line(d)->toDictionary().count("load"), 0u);
}

TEST_F(LineModelTest, RegionDictionariesFallBackAndSkipInvalidEntries) {
  Value::Dictionary alternative{{"code", "jp"}, {"iconUrl", "jp.png"}, {"region", "Japan"}};
  Value::Array lines{Value(lineDictionary(1, "10.0.0.1")), Value("not a dictionary"),
                     Value(Value::Dictionary{{"id", 2}}), Value(lineDictionary(3, "10.0.0.3"))};
  alternative["lines"] = lines;
  const auto region = qv_RegionLinesModel::init(alternative, models_->environment());
  ASSERT_TRUE(region.has_value());
  EXPECT_EQ(region->qv_icon, "jp.png");
  EXPECT_EQ(region->qv_name, "Japan");
  ASSERT_EQ(region->qv_lines.size(), 2u);
  EXPECT_EQ(region->qv_lines[1]->fields().qv_id, 3);

  Value::Dictionary noLines{{"code", "us"}, {"icon", "us.png"}, {"name", "USA"}, {"lines", 5}};
  const auto empty = qv_RegionLinesModel::init(noLines, models_->environment());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->qv_lines.empty());
  EXPECT_EQ(empty->toDictionary().at("lines"), Value(Value::Array{}));

  std::vector<Value::Dictionary> list = {
      regionDictionary("a", {}),
      Value::Dictionary{{"icon", "x"}, {"name", "no code"}},
      Value::Dictionary{{"code", 5}, {"icon", "x"}, {"name", "code not text"}},
      regionDictionary("b", {}),
  };
  const auto regions = models_->regionsFrom(list);
  ASSERT_EQ(regions.size(), 2u);
  EXPECT_EQ(regions[0].qv_code, "a");
  EXPECT_EQ(regions[1].qv_code, "b");
}

// ---- the cycle ---------------------------------------------------------------

TEST_F(LineModelTest, OnlyDottedDigitAddressesArePinged) {
  startCycle({regionDictionary("a", {lineDictionary(1, "10.1.2.3"), lineDictionary(2, "")}),
              regionDictionary("b", {lineDictionary(3, "host.example"),
                                     lineDictionary(4, "999.1.1.1234")})});
  EXPECT_EQ(fake_->addedHosts(), (std::vector<std::string>{"10.1.2.3", "999.1.1.1234"}));
  EXPECT_EQ(lineWithId(2)->qv_ping(), nullptr);
  EXPECT_EQ(lineWithId(3)->qv_ping(), nullptr);
  EXPECT_EQ(fake_->calls(), (std::vector<std::string>{"setTimeout", "setPingPeriod", "start"}));
  EXPECT_DOUBLE_EQ(fake_->timeout(), 1.0);
  EXPECT_DOUBLE_EQ(fake_->period(), 0.2);
}

TEST_F(LineModelTest, OneRegionIsNotPingedButTheCycleStillStartsAndHandsOver) {
  startCycle({regionDictionary("a", {lineDictionary(1, "10.1.2.3"), lineDictionary(2, "10.1.2.4")})});
  EXPECT_TRUE(fake_->added().empty());
  EXPECT_EQ(fake_->startCalls(), 1);
  clock_.advance(kCycleStopDelay - 1ms);
  EXPECT_EQ(handOvers(), 0u);
  EXPECT_TRUE(finishCycle());
  EXPECT_EQ(fake_->stopCalls(), 1);
  EXPECT_EQ(lastHandOver()[0].at("lines").asArray()->size(), 2u);
}

TEST_F(LineModelTest, MemoryPauseWithNoRegionsDoesNothingAtAll) {
  fake_->setMemoryPause(true);
  models_->pingAllLines();
  clock_.advance(10s);
  fake_->flush();
  EXPECT_EQ(fake_->setupCalls(), 0);
  EXPECT_EQ(handOvers(), 0u);
}

TEST_F(LineModelTest, RepliesAndATimeOutGiveTheirMeanAndLossRatio) {
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}),
              regionDictionary("b", {lineDictionary(8, "10.1.2.4")})});
  fake_->reply("10.1.2.3", 0.0204);
  fake_->reply("10.1.2.3", 0.0309);
  fake_->timeOut("10.1.2.3");
  ASSERT_TRUE(finishCycle());

  const auto fields = lineWithId(7)->fields();
  EXPECT_DOUBLE_EQ(fields.qv_newPingTime, 25.0);
  EXPECT_DOUBLE_EQ(fields.qv_packetLoss, 1.0 / 3.0);
  EXPECT_EQ(stored(7), 25.0);
  const Value::Dictionary handed = *lastHandOver()[0].at("lines").asArray()->at(0).asDictionary();
  EXPECT_EQ(handed.at("pingTime"), Value(25));
  EXPECT_EQ(handed.at("packetLoss"), Value(0));
}

TEST_F(LineModelTest, OnlyTimeOutsKeepTheStoredTimeAndTheLossRatio) {
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}),
              regionDictionary("b", {lineDictionary(8, "10.1.2.4")})});
  lineWithId(7)->setQv_pingTime(42.5);
  lineWithId(7)->update([](qv_LineModel::Fields& f) { f.qv_packetLoss = 0.5; });
  fake_->timeOut("10.1.2.3");
  fake_->timeOut("10.1.2.4");
  ASSERT_TRUE(finishCycle());

  EXPECT_EQ(stored(7), 42.5);
  EXPECT_DOUBLE_EQ(lineWithId(7)->fields().qv_packetLoss, 0.5);
  // Never measured: 999 is what gets stored for it.
  EXPECT_EQ(stored(8), 999.0);
  EXPECT_DOUBLE_EQ(lineWithId(8)->fields().qv_packetLoss, 999.0);
  EXPECT_DOUBLE_EQ(lineWithId(8)->qv_pingTime(), 999.0);
}

TEST_F(LineModelTest, AStoredZeroCountsAsNoTime) {
  defaults_.set(kLineModelPingTimeDicKey, Value::Dictionary{{"7", 0.0}, {"other", "kept"}});
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}), regionDictionary("b", {})});
  ASSERT_TRUE(finishCycle());
  EXPECT_EQ(stored(7), 999.0);
  EXPECT_EQ(defaults_.getDictionary(kLineModelPingTimeDicKey)->at("other"), Value("kept"));
}

TEST_F(LineModelTest, RepliesWhileATunnelIsUpOrComingUpAreNotCounted) {
  for (const qv_ConnectStatus status : {qv_ConnectStatus::qv_on, qv_ConnectStatus::qv_connecting}) {
    SCOPED_TRACE(static_cast<int>(status));
    connection_.setConnectStatus(qv_ConnectStatus::qv_off);
    startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}), regionDictionary("b", {})});
    connection_.setConnectStatus(status);
    fake_->reply("10.1.2.3", 0.010);
    // The reply stopped the line's pinger; the stop comes back through the
    // library's queue, records no time and leaves the group.
    ASSERT_TRUE(models_->linePingGroup().wait(5s)) << "the line never stopped";
    EXPECT_EQ(lineWithId(7)->qv_ping(), nullptr);
    EXPECT_EQ(lineWithId(7)->fields().qv_pingCount, 0);
    EXPECT_EQ(stored(7), 999.0);
  }
}

TEST_F(LineModelTest, RepliesWhileDisconnectingAreCounted) {
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}), regionDictionary("b", {})});
  connection_.setConnectStatus(qv_ConnectStatus::qv_disconnecting);
  fake_->reply("10.1.2.3", 0.010);
  EXPECT_EQ(lineWithId(7)->fields().qv_pingCount, 1);
}

TEST_F(LineModelTest, TheHandOverWaitsForTheStoppedLinesBookkeeping) {
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}),
              regionDictionary("b", {lineDictionary(8, "10.1.2.4")})});
  fake_->reply("10.1.2.3", 0.0204);
  fake_->reply("10.1.2.3", 0.0309);
  fake_->holdStops();
  clock_.advance(kCycleStopDelay);
  ASSERT_TRUE(eventually([&] { return fake_->stopCalls() == 1; }, 5s, "stop"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(handOvers(), 0u) << "handed over before the stopped lines stored their figures";
  fake_->releaseStops();
  ASSERT_TRUE(eventually([&] { return handOvers() == 1; }, 5s, "hand-over"));
  const Value::Dictionary handed = *lastHandOver()[0].at("lines").asArray()->at(0).asDictionary();
  EXPECT_EQ(handed.at("pingTime"), Value(25)) << "the previous cycle's figure was handed over";
}

TEST_F(LineModelTest, AFailedSetUpLeavesTheGroupAtOnce) {
  fake_->failSetupOf("10.1.2.4");
  std::atomic<bool> groupEmpty{false};
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}),
              regionDictionary("b", {lineDictionary(8, "10.1.2.4")})});
  EXPECT_EQ(lineWithId(8)->qv_ping(), nullptr);
  EXPECT_EQ(stored(8), 999.0);
  EXPECT_NE(lineWithId(7)->qv_ping(), nullptr);
  EXPECT_FALSE(models_->linePingGroup().wait(0ms));

  models_->linePingGroup().notify(platform::globalQueue(), [&] { groupEmpty = true; });
  ASSERT_TRUE(finishCycle());
  EXPECT_TRUE(eventually([&] { return groupEmpty.load(); }, 5s, "empty group"));
}

TEST_F(LineModelTest, ASecondStopChangesNothing) {
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}), regionDictionary("b", {})});
  auto pinger = lineWithId(7)->qv_ping();
  fake_->reply("10.1.2.3", 0.030);
  ASSERT_TRUE(finishCycle());
  EXPECT_EQ(stored(7), 30.0);
  // A late duplicate stop: logged, and the group is not left twice (which
  // would abort).
  lineWithId(7)->qv_stop(*pinger);
  EXPECT_EQ(stored(7), 30.0);
  EXPECT_TRUE(models_->linePingGroup().wait(0ms));
}

TEST_F(LineModelTest, LinesDroppedMidCycleLeaveTheGroup) {
  startCycle({regionDictionary("a", {lineDictionary(7, "10.1.2.3")}),
              regionDictionary("b", {lineDictionary(8, "10.1.2.4")})});
  EXPECT_FALSE(models_->linePingGroup().wait(0ms));
  models_->setQv_vdr_models({});
  EXPECT_TRUE(models_->linePingGroup().wait(0ms));
}

TEST_F(LineModelTest, ANewerCycleSupersedesTheOlderStopAndHandOver) {
  const std::vector<Value::Dictionary> regions = {
      regionDictionary("a", {lineDictionary(7, "10.1.2.3")}),
      regionDictionary("b", {lineDictionary(8, "10.1.2.4")})};
  startCycle(regions);
  clock_.advance(500ms);
  startCycle(regions);
  clock_.advance(900ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake_->stopCalls(), 0) << "the first cycle's task stopped the second cycle";
  EXPECT_EQ(handOvers(), 0u);
  clock_.advance(500ms);
  ASSERT_TRUE(eventually([&] { return handOvers() == 1; }, 5s, "hand-over"));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(handOvers(), 1u);
}

}  // namespace
}  // namespace vandrel::connection
