// The lines manager against the HTTPS stand-in: creation from the caches,
// the fetch, the ping cycle's hand-over and its application, the restore of
// the choice, the liveness probes, auto-connect and the stored state.

#include "connection/lines_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "tests/connection/lines_manager_fixture.h"
#include "tests/connection/loopback_server.h"

namespace vandrel::connection {
namespace {

using namespace testing_support;

class LinesManagerTest : public LinesManagerTestBase {};

// A region dictionary as the ping model hands it over.
Value::Dictionary appliedRegion(std::string name, std::vector<std::int64_t> ids) {
  Value::Array lines;
  for (std::int64_t id : ids) {
    lines.emplace_back(Value::Dictionary{{"id", id},
                                         {"name", "line " + std::to_string(id)},
                                         {"location", "x"},
                                         {"ipaddr", "10.0.0." + std::to_string(id % 250)},
                                         {"detectPort", -1},
                                         {"pingTime", 999},
                                         {"packetLoss", 999}});
  }
  return Value::Dictionary{{"code", "c"}, {"icon", "i"}, {"name", name}, {"lines", lines}};
}

RegionsItem heldRegion(std::string name, std::vector<std::int64_t> ids) {
  RegionsItem region;
  region.name = std::move(name);
  region.lines = std::vector<std::shared_ptr<LineItem>>{};
  for (std::int64_t id : ids) {
    auto line = LineItem::create();
    line->setId(id);
    region.lines->push_back(line);
  }
  return region;
}

// ---- creation ------------------------------------------------------------------

TEST_F(LinesManagerTest, FirstStartWithoutCacheChoosesSmartLocationAndWritesNothing) {
  makeManager();
  const RegionsItem region = manager_->currentRegion();
  EXPECT_EQ(region.name, "Smart Location");
  EXPECT_EQ(region.icon, "icon_autoselect");
  EXPECT_FALSE(region.region.has_value());
  EXPECT_FALSE(region.iconUrl.has_value());
  ASSERT_TRUE(region.lines.has_value());
  ASSERT_EQ(region.lines->size(), 1u);
  EXPECT_TRUE(region.lines->front()->isAutomatic());
  EXPECT_EQ(region.lines->front()->name(), "自动选择路线");
  EXPECT_TRUE(manager_->currentLine()->isAutomatic());
  EXPECT_TRUE(manager_->isAutoSelect());
  EXPECT_FALSE(manager_->model().has_value());

  // Its first fetch fails (nothing scripted): still nothing is written.
  manager_->start();
  ASSERT_TRUE(standin_->waitForRequest(kRegionListPath, 10s));
  ASSERT_TRUE(drain());
  for (auto entry : {kLinesModelCacheEntry, kCurrentRegionCacheEntry, kCurrentLineCacheEntry}) {
    EXPECT_FALSE(cacheEntryExists(entry)) << entry;
  }
  EXPECT_FALSE(defaults_.object(kIsAutoSelectKey).has_value());
  EXPECT_EQ(linesUpdates_.load(), 0);
}

TEST_F(LinesManagerTest, StoredAutoSelectCountsOnlyAsTheTextFalseOrTrue) {
  struct Case {
    const char* name;
    std::optional<Value> stored;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"missing", std::nullopt, true},     {"text true", Value("true"), true},
      {"text false", Value("false"), false}, {"boolean false", Value(false), true},
      {"other text", Value("no"), false},  {"number 0", Value(0), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored) {
      defaults_.set(kIsAutoSelectKey, *c.stored);
    } else {
      defaults_.remove(kIsAutoSelectKey);
    }
    makeManager();
    EXPECT_EQ(manager_->isAutoSelect(), c.expected);
    ASSERT_TRUE(dropManager());
  }
}

TEST_F(LinesManagerTest, ChoiceAndCatalogueSurviveARestartThroughTheCache) {
  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  connection_->setConnectStatus(qv_ConnectStatus::qv_on);
  makeManager();
  ASSERT_TRUE(fetch().isSuccess);
  const auto japan = modelRegion("Japan");
  ASSERT_TRUE(japan.has_value());
  manager_->selectRegion(*japan);
  manager_->setCurrentLine(modelLine(12));
  manager_->setIsAutoSelect(false);
  EXPECT_EQ(defaults_.getString(kIsAutoSelectKey), "false");
  const std::string catalogue = manager_->model()->toJsonText();

  ASSERT_TRUE(dropManager());
  makeManager();
  ASSERT_TRUE(manager_->model().has_value());
  EXPECT_EQ(manager_->model()->toJsonText(), catalogue);
  EXPECT_EQ(manager_->currentRegion().name, "Japan");
  EXPECT_EQ(manager_->currentRegion().lines->size(), 2u);
  EXPECT_EQ(manager_->currentLine()->id(), 12);
  EXPECT_EQ(manager_->currentLine()->name(), "Tokyo 2");
  EXPECT_FALSE(manager_->isAutoSelect());
}

TEST_F(LinesManagerTest, SelectingSmartLocationTurnsAutoSelectOnAndOthersLeaveIt) {
  makeManager();
  manager_->setIsAutoSelect(false);
  manager_->selectRegion(heldRegion("Japan", {11}));
  EXPECT_FALSE(manager_->isAutoSelect());
  EXPECT_EQ(core::loadModel<RegionsItem>(kCurrentRegionCacheEntry)->name, "Japan");
  manager_->selectRegion(defaultRegion());
  EXPECT_TRUE(manager_->isAutoSelect());
  EXPECT_EQ(defaults_.getString(kIsAutoSelectKey), "true");
  manager_->setIsAutoSelect(false);
  manager_->setCurrentLine(LineItem::automaticLine());
  EXPECT_TRUE(manager_->isAutoSelect()) << "the automatic line turns the automatic choice on";
}

// ---- fetch -------------------------------------------------------------------

TEST_F(LinesManagerTest, LoadLinesIfNeededFetchesOnlyWhenDue) {
  struct Case {
    const char* name;
    std::int64_t maxAge;
    std::int64_t elapsed;
    qv_ConnectStatus status;
    bool fetches;
  };
  const std::vector<Case> cases = {
      {"30 s after", 60, 30, qv_ConnectStatus::qv_off, false},
      {"60 s after", 60, 60, qv_ConnectStatus::qv_off, false},
      {"61 s after", 60, 61, qv_ConnectStatus::qv_off, true},
      {"61 s after, on", 60, 61, qv_ConnectStatus::qv_on, false},
      {"61 s after, connecting", 60, 61, qv_ConnectStatus::qv_connecting, false},
      {"61 s after, disconnecting", 60, 61, qv_ConnectStatus::qv_disconnecting, false},
      {"clock moved back", 60, -100, qv_ConnectStatus::qv_off, false},
      {"max age 0, on", 0, 0, qv_ConnectStatus::qv_on, true},
      {"max age -1, connecting", -1, 5, qv_ConnectStatus::qv_connecting, true},
  };
  makeManager();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    connection_->setConnectStatus(c.status);
    const std::int64_t last = manager_->lastUpdateTime();
    clock_.setWall(clock_.wallNow() + std::chrono::seconds(c.elapsed));
    // Nothing is scripted: a fetch fails, which changes nothing else.
    const ResultData result = await(manager_->loadLinesIfNeeded(c.maxAge));
    EXPECT_EQ(standin_->requestsTo(kRegionListPath).size(), c.fetches ? 1u : 0u);
    if (c.fetches) {
      EXPECT_FALSE(result.isSuccess);
      EXPECT_EQ(manager_->lastUpdateTime(), last + c.elapsed);
    } else {
      EXPECT_TRUE(result.isSuccess);
      EXPECT_EQ(result.message, "ok");
      EXPECT_EQ(result.code, 0);
      EXPECT_EQ(manager_->lastUpdateTime(), last);
      manager_->setLastUpdateTime(last + c.elapsed);
    }
  }
}

TEST_F(LinesManagerTest, AFailedFetchChangesNothing) {
  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  connection_->setConnectStatus(qv_ConnectStatus::qv_on);
  makeManager();
  ASSERT_TRUE(fetch().isSuccess);
  const std::string before = manager_->model()->toJsonText();
  const int announced = linesUpdates_.load();
  standin_->replyTo(std::string(kRegionListPath), 500, "oops");
  EXPECT_FALSE(fetch().isSuccess);
  EXPECT_EQ(manager_->model()->toJsonText(), before);
  EXPECT_EQ(linesUpdates_.load(), announced);
}

TEST_F(LinesManagerTest, AFetchWhileConnectedIsStoredAndAnnouncedButNotPinged) {
  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  defaults_.set(kIsAutoConnectKey, true);
  connection_->setConnectStatus(qv_ConnectStatus::qv_on);
  makeManager();
  ASSERT_TRUE(fetch().isSuccess);
  ASSERT_TRUE(pumpUntil([&] { return countLogLines("[DEBUG]: connected can't ping") == 1; }));
  platform::mainQueue().runFor(100ms);
  EXPECT_EQ(linesUpdates_.load(), 1);
  EXPECT_EQ(fake_->setupCalls(), 0);
  EXPECT_EQ(connectClicks_.load(), 0);
  EXPECT_EQ(manager_->regionList().size(), 3u);
  EXPECT_EQ(core::loadModel<RegionsModel>(kLinesModelCacheEntry)->toJsonText(),
            manager_->model()->toJsonText());
  EXPECT_EQ(manager_->jsonData().count("regions"), 1u);
  ASSERT_TRUE(drain());
  EXPECT_TRUE(sentLogRecords(*standin_, "client_log").empty());
}

TEST_F(LinesManagerTest, AnUnreadableCatalogueIsStoredAbsentAndTheRawListStillPinged) {
  // One line's id is text: the whole catalogue fails to decode, while the
  // ping model skips only that line.
  standin_->replyTo(std::string(kRegionListPath), 200,
                    R"({"status":"ok","code":0,"regions":[)"
                    R"({"code":"a","name":"A","icon":"a","lines":[{"id":"x","name":"bad",)"
                    R"("location":"l","ipaddr":"10.0.0.1"},{"id":2,"name":"good","location":"l",)"
                    R"("ipaddr":"10.0.0.2"}]},{"code":"b","name":"B","icon":"b","lines":[]}]})");
  makeManager();
  ASSERT_TRUE(fetch().isSuccess);
  EXPECT_FALSE(manager_->model().has_value());
  EXPECT_TRUE(cacheEntryExists(kLinesModelCacheEntry));
  EXPECT_FALSE(core::loadModel<RegionsModel>(kLinesModelCacheEntry).has_value());
  ASSERT_TRUE(completeCycle());
  EXPECT_EQ(fake_->addedHosts(), std::vector<std::string>{"10.0.0.2"});
  EXPECT_EQ(manager_->regionList().size(), 2u);
}

// ---- cycle and application -------------------------------------------------

TEST_F(LinesManagerTest, ACycleAppliesItsOwnFiguresOnceAndDropsTheConnectionFields) {
  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  makeManager();
  ASSERT_TRUE(fetch().isSuccess);
  ASSERT_TRUE(completeCycle([&] {
    fake_->reply("127.0.0.1", 0.0204);
    fake_->reply("127.0.0.1", 0.0309);
    fake_->timeOut("127.0.0.1");
    fake_->reply("127.0.0.3", 0.007);
  }));
  EXPECT_EQ(fake_->addedHosts(), (std::vector<std::string>{"127.0.0.1", "127.0.0.2", "127.0.0.3"}));
  // One announcement for the fetch, one for the figures: the second
  // hand-over of the cycle applied nothing.
  EXPECT_EQ(linesUpdates_.load(), 2);
  EXPECT_EQ(countLogLines("[DEBUG]: Ping Done."), 1u);

  const auto tokyo = modelLine(11);
  ASSERT_NE(tokyo, nullptr);
  const LineItem::Fields f = tokyo->fields();
  EXPECT_EQ(f.pingTime, 25);
  EXPECT_EQ(f.packetLoss, 0);
  EXPECT_EQ(f.name, "Tokyo 1");
  EXPECT_EQ(f.ipaddr, "127.0.0.1");
  EXPECT_EQ(f.detectPort, 9001);
  EXPECT_EQ(f.load, 3);
  EXPECT_EQ(f.mode, "fast");
  EXPECT_EQ(f.location, "Tokyo");
  EXPECT_FALSE(f.server.has_value());
  EXPECT_FALSE(f.port.has_value());
  EXPECT_FALSE(f.isFree.has_value());
  EXPECT_EQ(modelLine(21)->pingTime(), 7);
  // Never answered: 999, and the line read from "iPAddr" carries it as ipaddr.
  EXPECT_EQ(modelLine(12)->pingTime(), 999);
  EXPECT_EQ(modelLine(12)->ipaddr(), "127.0.0.2");
  // Nothing sorted.
  std::vector<std::string> names;
  for (const auto& region : manager_->regionList()) names.push_back(region.name.value_or(""));
  EXPECT_EQ(names, (std::vector<std::string>{"Japan", "USA", "Smart Location"}));
  EXPECT_EQ(core::loadModel<RegionsModel>(kLinesModelCacheEntry)->toJsonText(),
            manager_->model()->toJsonText());
}

TEST_F(LinesManagerTest, ANewCatalogueMidCycleAppliesTheNewCyclesFigures) {
  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  makeManager();
  ASSERT_TRUE(fetch().isSuccess);
  ASSERT_TRUE(pumpUntil([&] { return fake_->setupsDone() >= 1; }));
  // The lines change while the first cycle is pinging: its lines go, and
  // with them the last members of the ping group.
  standin_->replyTo(std::string(kRegionListPath), 200,
                    R"({"status":"ok","code":0,"regions":[)"
                    R"({"code":"kr","name":"Korea","icon":"kr.png","lines":[)"
                    R"({"id":31,"name":"Seoul","location":"Seoul","ipaddr":"127.0.0.4"}]},)"
                    R"({"code":"de","name":"Germany","icon":"de.png","lines":[)"
                    R"({"id":41,"name":"Berlin","location":"Berlin","ipaddr":"127.0.0.5"}]}]})");
  const int announcedBefore = linesUpdates_.load();
  ASSERT_TRUE(fetch().isSuccess);
  ASSERT_TRUE(pumpUntil([&] { return fake_->setupsDone() >= 2; }));
  platform::mainQueue().runFor(50ms);
  // Only the fetch is announced: the dropped cycle hands nothing over.
  EXPECT_EQ(linesUpdates_.load(), announcedBefore + 1);
  EXPECT_TRUE(manager_->shouldHandlePing());

  fake_->reply("127.0.0.4", 0.012);
  fake_->reply("127.0.0.5", 0.034);
  const int beforeHandOver = linesUpdates_.load();
  pingClock_.advance(kCycleStopDelay);
  ASSERT_TRUE(pumpUntil([&] { return linesUpdates_.load() > beforeHandOver; }));
  ASSERT_TRUE(pumpUntil([&] { return !manager_->shouldHandlePing(); }));
  fake_->flush();
  platform::mainQueue().runFor(50ms);
  ASSERT_NE(modelLine(31), nullptr);
  EXPECT_EQ(modelLine(31)->pingTime(), 12);
  EXPECT_EQ(modelLine(41)->pingTime(), 34);
  EXPECT_EQ(countLogLines("[DEBUG]: Ping Done."), 1u);
}

TEST_F(LinesManagerTest, EveryLineButSmartLocationsIsReportedAfterACycle) {
  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  makeManager();
  ASSERT_TRUE(fetch().isSuccess);
  ASSERT_TRUE(completeCycle([&] { fake_->reply("127.0.0.3", 0.007); }));
  ASSERT_TRUE(pumpUntil([&] { return sentLogRecords(*standin_, "client_log").size() >= 3; }));
  ASSERT_TRUE(drain());
  const auto records = sentLogRecords(*standin_, "client_log");
  std::multiset<std::string> names;
  for (const auto& record : records) {
    names.insert(record.value("name").value_or("?"));
    EXPECT_FALSE(record.value("error").has_value());
    if (record.value("name") == "Los Angeles") {
      EXPECT_EQ(record.value("ping"), "7");
      EXPECT_EQ(record.value("server_ip"), "127.0.0.3");
    }
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"Tokyo 1", "Tokyo 2", "Los Angeles"}));
}

TEST_F(LinesManagerTest, AutoConnectAsksOnlyWhenTheConnectionIsOff) {
  struct Case {
    const char* name;
    std::optional<Value> autoConnect;
    qv_ConnectStatus status;
    int posts;
  };
  const std::vector<Case> cases = {
      {"on and off", Value(true), qv_ConnectStatus::qv_off, 1},
      {"on while connecting", Value(true), qv_ConnectStatus::qv_connecting, 0},
      {"on while disconnecting", Value(true), qv_ConnectStatus::qv_disconnecting, 0},
      {"off", Value(false), qv_ConnectStatus::qv_off, 0},
      {"unset", std::nullopt, qv_ConnectStatus::qv_off, 0},
      {"stored as text", Value("true"), qv_ConnectStatus::qv_off, 0},
  };
  standin_->replyTo(std::string(kRegionListPath), 200, regionListReply());
  makeManager();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.autoConnect) {
      defaults_.set(kIsAutoConnectKey, *c.autoConnect);
    } else {
      defaults_.remove(kIsAutoConnectKey);
    }
    connection_->setConnectStatus(c.status);
    connectClicks_ = 0;
    const int setups = fake_->setupsDone();
    const int stops = fake_->stopCalls();
    ASSERT_TRUE(fetch().isSuccess);
    ASSERT_TRUE(pumpUntil([&] { return fake_->setupsDone() > setups; }));
    const int announced = linesUpdates_.load();
    pingClock_.advance(kCycleStopDelay);
    ASSERT_TRUE(pumpUntil([&] { return linesUpdates_.load() > announced; }));
    ASSERT_TRUE(pumpUntil([&] { return fake_->stopCalls() > stops; }));
    platform::mainQueue().runFor(50ms);
    EXPECT_EQ(connectClicks_.load(), c.posts);
  }
}

// ---- restore ---------------------------------------------------------------

TEST_F(LinesManagerTest, TheChoiceIsRestoredAgainstEachNewCatalogue) {
  struct Case {
    const char* name;
    RegionsItem held;
    std::int64_t currentId;
    Value::Array catalogue;
    std::optional<std::string> debugLine;
    std::string region;          // the current region afterwards
    std::int64_t lineId;         // the current line's id afterwards
    bool sameLineObject;         // the current line is still the one held
    bool heldFirstLine;          // the held region's first line became current
    bool autoSelect;
  };
  const Value::Array catalogue = {Value(appliedRegion("Japan", {11, 12})),
                                  Value(appliedRegion("USA", {21}))};
  const std::vector<Case> cases = {
      {"line still there", heldRegion("Japan", {11, 12}), 12, catalogue, std::nullopt, "Japan",
       12, true, false, false},
      {"line gone", heldRegion("Japan", {31, 32}), 99, catalogue,
       "[DEBUG]: cache server miss, select first", "Japan", 31, false, true, false},
      {"line gone, held region empty", heldRegion("Japan", {}), 99, catalogue,
       "[DEBUG]: cache server miss, select first", "Japan", -999, false, false, true},
      {"region gone", heldRegion("Korea", {41}), 41, catalogue,
       "[DEBUG]: cache region miss, select default region", "Smart Location", -999, false,
       false, true},
      {"empty catalogue", heldRegion("Japan", {11}), 11, Value::Array{},
       "[DEBUG]: cache region miss, select default region", "Smart Location", -999, false,
       false, true},
  };
  makeManager();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    manager_->selectRegion(c.held);
    auto current = LineItem::create();
    current->setId(c.currentId);
    manager_->setCurrentLine(current);
    manager_->setIsAutoSelect(false);
    const std::size_t serverMisses = countLogLines("[DEBUG]: cache server miss, select first");
    const std::size_t regionMisses =
        countLogLines("[DEBUG]: cache region miss, select default region");

    manager_->applyRegionList(c.catalogue);

    EXPECT_EQ(countLogLines("[DEBUG]: cache server miss, select first") - serverMisses,
              c.debugLine == "[DEBUG]: cache server miss, select first" ? 1u : 0u);
    EXPECT_EQ(countLogLines("[DEBUG]: cache region miss, select default region") - regionMisses,
              c.debugLine == "[DEBUG]: cache region miss, select default region" ? 1u : 0u);
    EXPECT_EQ(manager_->currentRegion().name, c.region);
    EXPECT_EQ(manager_->currentLine()->id(), c.lineId);
    EXPECT_EQ(manager_->currentLine() == current, c.sameLineObject);
    if (c.heldFirstLine) {
      EXPECT_EQ(manager_->currentLine(), c.held.lines->front());
    }
    EXPECT_EQ(manager_->isAutoSelect(), c.autoSelect);
    EXPECT_EQ(core::loadModel<LineItem>(kCurrentLineCacheEntry)->id(), c.lineId);
  }
}

TEST_F(LinesManagerTest, AnUndecodableHandOverChangesNothing) {
  makeManager();
  manager_->applyRegionList({Value(appliedRegion("Japan", {11}))});
  const std::string before = manager_->model()->toJsonText();
  const int announced = linesUpdates_.load();
  Value::Dictionary bad = appliedRegion("USA", {21});
  (*(*bad["lines"].asArray())[0].asDictionary())["load"] = 0.5;
  manager_->selectRegion(heldRegion("Korea", {1}));
  manager_->applyRegionList({Value(bad)});
  EXPECT_EQ(manager_->model()->toJsonText(), before);
  EXPECT_EQ(linesUpdates_.load(), announced);
  EXPECT_EQ(manager_->currentRegion().name, "Korea") << "restored against a dropped catalogue";
}

// ---- liveness probes -----------------------------------------------------------

TEST_F(LinesManagerTest, LinesWithAnAddressAndADetectPortAreProbed) {
  LoopbackServer tokyo(AF_INET, "Alive", true, "127.0.0.1");
  LoopbackServer osaka(AF_INET, "Alive", true, "127.0.0.2");
  LoopbackServer kyoto(AF_INET, "nope", true, "127.0.0.3");
  LoopbackServer nara(AF_INET, "Alive", true, "127.0.0.4");
  ASSERT_TRUE(tokyo.bound() && osaka.bound() && kyoto.bound() && nara.bound());
  auto line = [](std::int64_t id, const char* key, const char* address,
                 std::optional<std::int64_t> port) {
    Value::Dictionary d{{"id", id}, {"name", "n"}, {"location", "l"}, {key, address}};
    if (port) d["detectPort"] = *port;
    return Value(d);
  };
  Value::Dictionary japan{
      {"name", "Japan"},
      {"icon", "jp"},
      {"lines", Value::Array{line(1, "ipaddr", "127.0.0.1", tokyo.port()),
                             line(2, "iPAddr", "127.0.0.2", osaka.port()),
                             line(3, "ipaddr", "127.0.0.3", kyoto.port()),
                             line(4, "ipaddr", "127.0.0.4", std::nullopt)}}};
  makeManager();
  manager_->applyRegionList({Value(japan)});
  ASSERT_TRUE(eventually([&] { return modelLine(1)->isAlive() == true; }, 5s, "Tokyo alive"));
  ASSERT_TRUE(eventually([&] { return modelLine(2)->isAlive() == true; }, 5s, "Osaka alive"));
  ASSERT_TRUE(eventually([&] { return kyoto.accepted() == 1; }, 5s, "Kyoto probed"));
  platform::mainQueue().runFor(200ms);
  EXPECT_NE(modelLine(3)->isAlive(), true);
  EXPECT_EQ(nara.accepted(), 0) << "a line without detectPort was probed";
  EXPECT_EQ(manager_->model()->regions->front().availableLineIds(),
            (std::vector<std::int64_t>{1, 2}));
}

}  // namespace
}  // namespace vandrel::connection
