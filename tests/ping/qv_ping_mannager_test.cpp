#include "ping/qv_ping_mannager.h"

#include <netdb.h>

#include <cerrno>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/ping/ping_test_support.h"

namespace vandrel::ping {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;
using Kind = RecordingDelegate::Kind;

struct Pinger {
  std::shared_ptr<qv_Ping> ping;
  std::shared_ptr<RecordingDelegate> delegate;
};

class PingMannagerTest : public testing::Test {
 protected:
  void SetUp() override {
    for (int i = 1; i <= 4; ++i) {
      system_->addHost("h" + std::to_string(i), {ipv4Address("10.0.0." + std::to_string(i))});
    }
    system_->failHost("nowhere", EAI_NONAME);
  }

  void TearDown() override {
    manager_.reset();
    pingers_.clear();
    EXPECT_TRUE(eventually([&] {
      clock_.advance(1s);
      return qv_Ping::liveCount() == 0;
    }));
  }

  Pinger& makePinger(const std::string& host) {
    auto ping = std::make_shared<qv_Ping>(system_, scheduler_);
    auto delegate = std::make_shared<RecordingDelegate>();
    ping->setQv_host(host);
    ping->setQv_delegate(delegate);
    pingers_.push_back(Pinger{ping, delegate});
    return pingers_.back();
  }

  // A run as connection control starts one: set-up, then time-out 1.0 s,
  // period 0.2 s and start, from the set-up's completion.
  std::shared_ptr<std::atomic<bool>> beginRun(const std::vector<Pinger*>& pingers) {
    for (Pinger* p : pingers) manager_->qv_add(p->ping);
    auto started = std::make_shared<std::atomic<bool>>(false);
    auto manager = manager_;
    manager_->setupAll([manager, started] {
      manager->setQv_timeout(1.0);
      manager->setQv_pingPeriod(0.2);
      manager->startPinging();
      *started = true;
    });
    return started;
  }

  testing::AssertionResult startRun(const std::vector<Pinger*>& pingers) {
    auto started = beginRun(pingers);
    return eventually([&] { return started->load(); });
  }

  std::size_t sentBy(const Pinger& p) {
    std::size_t n = 0;
    for (const auto& e : p.delegate->events()) n += e.kind == Kind::Send ? 1 : 0;
    return n;
  }

  // Lets jobs already posted to the manager's queues run.
  void flush() {
    for (int i = 0; i < 2; ++i) {
      manager_->qv_mainQueue()->sync([] {});
      manager_->qv_sendQueue()->sync([] {});
    }
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::shared_ptr<FakePingSystem> system_ = std::make_shared<FakePingSystem>();
  std::shared_ptr<qv_PingMannager> manager_ = std::make_shared<qv_PingMannager>(scheduler_);
  std::deque<Pinger> pingers_;
};

TEST_F(PingMannagerTest, AddGivesThePingerTheManagersQueues) {
  Pinger& p = makePinger("h1");
  p.ping->setQv_timeout(3.0);
  manager_->qv_add(p.ping);
  EXPECT_EQ(p.ping->qv_mainQueue()->label(), "NewGBPingMainQueue");
  EXPECT_EQ(p.ping->qv_sendQueue()->label(), "NewGBPingSendQueue");
  EXPECT_EQ(p.ping->qv_listenQueue()->label(), "NewGBPinglistenQueue");
  EXPECT_EQ(p.ping->qv_timeout(), 3.0);
  EXPECT_EQ(manager_->qv_pings().size(), 1u);
}

TEST_F(PingMannagerTest, SendsOneRequestPerPingerPerPeriodAfterStartingTwice) {
  Pinger& a = makePinger("h1");
  Pinger& b = makePinger("h2");
  ASSERT_TRUE(startRun({&a, &b}));
  manager_->startPinging();
  ASSERT_TRUE(eventually([&] { return sentBy(a) == 1 && sentBy(b) == 1; }));

  for (std::size_t cycle = 2; cycle <= 4; ++cycle) {
    clock_.advance(200ms);
    ASSERT_TRUE(eventually([&] { return sentBy(a) >= cycle && sentBy(b) >= cycle; }));
    flush();
    EXPECT_EQ(sentBy(a), cycle);
    EXPECT_EQ(sentBy(b), cycle);
  }
  EXPECT_EQ(manager_->sendLoopCountForTesting(), 1);
  EXPECT_EQ(manager_->listenLoopCountForTesting(), 1);
  const auto sends = a.delegate->eventsOf(Kind::Send);
  EXPECT_EQ(sends.back().queue, "NewGBPingSendQueue");
  EXPECT_EQ(sends.back().result.qv_sequenceNumber(), 3u);
}

// The new run's pinger for another host, and for the same host: the old
// pinger, stopped by then, must not drop the new one of its host.
class PingMannagerNextRunTest : public PingMannagerTest,
                                public testing::WithParamInterface<const char*> {};

TEST_P(PingMannagerNextRunTest, KeepsItsPingersWhenThePreviousStopIsStillQueued) {
  Pinger& old = makePinger("h1");
  ASSERT_TRUE(startRun({&old}));
  ASSERT_TRUE(eventually([&] { return sentBy(old) == 1; }));

  // Connection control: stop, then at once add the new run's pingers and set
  // them up. The manager's queue is held busy so that the stop has not run
  // yet when they are added.
  Pinger& fresh = makePinger(GetParam());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  manager_->qv_mainQueue()->async([released] { released.wait_for(10s); });
  manager_->stopPinging();
  auto started = beginRun({&fresh});
  release.set_value();
  ASSERT_TRUE(eventually([&] { return started->load(); }));
  ASSERT_TRUE(old.delegate->waitForCount(Kind::Stop, 1));
  ASSERT_TRUE(eventually([&] { return sentBy(fresh) == 1; }));

  // The old run's loops end at their next start; the new run sends once per
  // period, neither stopped nor doubled.
  for (std::size_t cycle = 2; cycle <= 3; ++cycle) {
    clock_.advance(200ms);
    ASSERT_TRUE(eventually([&] { return sentBy(fresh) >= cycle; }));
    flush();
    EXPECT_EQ(sentBy(fresh), cycle);
  }
  EXPECT_EQ(sentBy(old), 1u);
  EXPECT_EQ(fresh.delegate->count(Kind::Stop), 0u);
  EXPECT_EQ(old.delegate->count(Kind::Stop), 1u);
  EXPECT_TRUE(fresh.ping->qv_isPinging());
  EXPECT_EQ(manager_->qv_pings(), std::vector<std::shared_ptr<qv_Ping>>{fresh.ping});
  EXPECT_TRUE(eventually([&] {
    return manager_->sendLoopCountForTesting() == 1 && manager_->listenLoopCountForTesting() == 1;
  }));
}

TEST_F(PingMannagerTest, KeepsTheNextRunsPingersWhenAPreviousCycleStartsBeforeTheirSetUp) {
  Pinger& old = makePinger("h1");
  ASSERT_TRUE(startRun({&old}));
  ASSERT_TRUE(eventually([&] { return sentBy(old) == 1; }));

  // The old run's next send cycle comes due while the manager's queue is
  // busy, just before connection control stops the run and adds the next
  // one: that cycle starts after the new pinger was added but before its
  // set-up pass, and must leave it in the manager.
  Pinger& fresh = makePinger("h2");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  manager_->qv_mainQueue()->async([released] { released.wait_for(10s); });
  const std::size_t timers = scheduler_.pendingCountForTesting();
  clock_.advance(200ms);
  ASSERT_TRUE(eventually([&] { return scheduler_.pendingCountForTesting() < timers; }));
  manager_->stopPinging();
  auto started = beginRun({&fresh});
  release.set_value();

  ASSERT_TRUE(eventually([&] { return started->load(); }));
  ASSERT_TRUE(eventually([&] { return sentBy(fresh) == 1; }));
  EXPECT_EQ(manager_->qv_pings(), std::vector<std::shared_ptr<qv_Ping>>{fresh.ping});
}

INSTANTIATE_TEST_SUITE_P(Hosts, PingMannagerNextRunTest, testing::Values("h2", "h1"),
                         [](const auto& info) {
                           return std::string(info.param) == "h1" ? "SameHost" : "OtherHost";
                         });

TEST_F(PingMannagerTest, SetUpPassDropsEveryPingerOfAFailedHost) {
  // A pinger already set up fails a second set-up, which takes the other
  // pinger of its host out of the run too.
  Pinger& earlier = makePinger("h1");
  earlier.ping->setupSocket([](bool, const auto&) {});
  Pinger& sameHost = makePinger("h1");
  Pinger& good = makePinger("h2");
  Pinger& unresolvable = makePinger("nowhere");
  for (Pinger* p : {&earlier, &sameHost, &good, &unresolvable}) manager_->qv_add(p->ping);

  std::atomic<bool> done{false};
  std::string completedOn;
  manager_->setupAll([&] {
    completedOn = std::string(platform::Queue::current()->label());
    done = true;
  });
  ASSERT_TRUE(eventually([&] { return done.load(); }));
  EXPECT_EQ(completedOn, "NewGBPingMainQueue");
  EXPECT_EQ(manager_->qv_pings(), std::vector<std::shared_ptr<qv_Ping>>{good.ping});
  EXPECT_TRUE(good.ping->qv_isPinging());
  EXPECT_FALSE(unresolvable.ping->qv_isPinging());
}

// A pinger set up in a pass whose host then fails (or had failed) leaves the
// run with it: it is stopped, not left pinging outside the list where no
// stop of the run would ever reach it.
struct DroppedTwinCase {
  const char* name;
  // The failing pinger of the shared host was set up before the pass and
  // fails it as already set up; otherwise its socket is refused.
  bool failingSetUpBefore;
};

class PingMannagerTwinTest : public PingMannagerTest,
                             public testing::WithParamInterface<DroppedTwinCase> {};

TEST_P(PingMannagerTwinTest, PingerDroppedWithItsHostIsStoppedOnce) {
  Pinger& twin = makePinger("h1");
  Pinger& good = makePinger("h2");
  Pinger& failing = makePinger("h1");
  if (GetParam().failingSetUpBefore) {
    failing.ping->setupSocket([](bool, const auto&) {});
    for (Pinger* p : {&failing, &twin, &good}) manager_->qv_add(p->ping);
  } else {
    // The third socket of the pass is refused: the twin's and good's open.
    system_->failSockets(EMFILE, 2);
    for (Pinger* p : {&twin, &good, &failing}) manager_->qv_add(p->ping);
  }
  ASSERT_TRUE(startRun({}));
  flush();

  EXPECT_EQ(manager_->qv_pings(), std::vector<std::shared_ptr<qv_Ping>>{good.ping});
  EXPECT_TRUE(good.ping->qv_isPinging());
  EXPECT_FALSE(twin.ping->qv_isPinging());
  ASSERT_EQ(twin.delegate->count(Kind::Stop), 1u);
  EXPECT_EQ(twin.delegate->eventsOf(Kind::Stop)[0].queue, "NewGBPingMainQueue");
  EXPECT_EQ(failing.delegate->count(Kind::Stop), 0u);

  // The run's own stop reaches the pinger still in it, and nobody twice.
  manager_->stopPinging();
  ASSERT_TRUE(good.delegate->waitForCount(Kind::Stop, 1));
  flush();
  EXPECT_EQ(twin.delegate->count(Kind::Stop), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PingMannagerTwinTest,
                         testing::Values(DroppedTwinCase{"SocketRefused", false},
                                         DroppedTwinCase{"AlreadySetUp", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PingMannagerTest, RunWithoutAnyPingerEndsItsLoopsButStaysPingingUntilStopped) {
  Pinger& unresolvable = makePinger("nowhere");
  ASSERT_TRUE(startRun({&unresolvable}));
  EXPECT_TRUE(manager_->qv_pings().empty());
  ASSERT_TRUE(eventually([&] {
    return manager_->sendLoopCountForTesting() == 0 && manager_->listenLoopCountForTesting() == 0;
  }));
  EXPECT_TRUE(manager_->qv_isPinging());
  manager_->stopPinging();
  EXPECT_TRUE(eventually([&] { return !manager_->qv_isPinging(); }));
}

TEST_F(PingMannagerTest, StopBeforeAnyRunChangesNothing) {
  Pinger& p = makePinger("h1");
  manager_->qv_add(p.ping);
  manager_->stopPinging();
  flush();
  EXPECT_FALSE(manager_->qv_isPinging());
  EXPECT_EQ(manager_->qv_pings().size(), 1u);
  EXPECT_EQ(p.delegate->count(Kind::Stop), 0u);
}

TEST_F(PingMannagerTest, SilentHostDoesNotHoldUpRepliesOfTheOthers) {
  std::vector<Pinger*> run;
  for (int i = 1; i <= 3; ++i) run.push_back(&makePinger("h" + std::to_string(i)));
  Pinger& answering = makePinger("h4");
  run.push_back(&answering);
  system_->setBehaviour(ipv4Address("10.0.0.4"), Behaviour::Reply);
  ASSERT_TRUE(startRun(run));

  ASSERT_TRUE(answering.delegate->waitForCount(Kind::Reply, 1));
  clock_.advance(200ms);
  ASSERT_TRUE(answering.delegate->waitForCount(Kind::Reply, 2));
  const auto replies = answering.delegate->eventsOf(Kind::Reply);
  EXPECT_EQ(replies[0].queue, "NewGBPingMainQueue");
  EXPECT_EQ(replies[1].result.qv_sequenceNumber(), 1u);
  EXPECT_EQ(replies[1].result.qv_pingStatus(), qv_PingStatus::qv_success);
}

TEST_F(PingMannagerTest, TimeoutReachesThePingersListedNow) {
  Pinger& listed = makePinger("h1");
  manager_->qv_add(listed.ping);
  manager_->setQv_timeout(2.5);
  Pinger& later = makePinger("h2");
  manager_->qv_add(later.ping);
  EXPECT_EQ(listed.ping->qv_timeout(), 2.5);
  EXPECT_EQ(later.ping->qv_timeout(), 1.0);
  EXPECT_EQ(manager_->qv_timeout(), 2.5);
}

TEST_F(PingMannagerTest, MemoryWarningPausesForSixtySeconds) {
  EXPECT_FALSE(manager_->isInMemoryWarningPause());
  manager_->recordMemoryWarning();
  const double recorded = manager_->qv_lastMemoryWarningTime();
  EXPECT_EQ(recorded, clock_.secondsSince1970());

  clock_.advance(59'900ms);
  EXPECT_TRUE(manager_->isInMemoryWarningPause());
  // Writing false does not cut the pause short.
  manager_->setIsInMemoryWarningPause(false);
  EXPECT_TRUE(manager_->isInMemoryWarningPause());
  EXPECT_EQ(manager_->qv_lastMemoryWarningTime(), recorded);

  clock_.advance(100ms);
  EXPECT_FALSE(manager_->isInMemoryWarningPause());
  EXPECT_EQ(manager_->qv_lastMemoryWarningTime(), 0);
  EXPECT_FALSE(manager_->isInMemoryWarningPause());
}

TEST_F(PingMannagerTest, MemoryWarningStopsARunningRun) {
  Pinger& p = makePinger("h1");
  ASSERT_TRUE(startRun({&p}));
  manager_->recordMemoryWarning();
  ASSERT_TRUE(p.delegate->waitForCount(Kind::Stop, 1));
  EXPECT_EQ(p.delegate->eventsOf(Kind::Stop)[0].queue, "NewGBPingMainQueue");
  EXPECT_FALSE(manager_->qv_isPinging());
  EXPECT_TRUE(manager_->isInMemoryWarningPause());
}

TEST_F(PingMannagerTest, MemoryWarningDuringSetUpStopsTheRunItStarts) {
  // The warning comes while the run's set-up is still queued: the manager
  // is not pinging yet, and the run its completion starts must end.
  Pinger& p = makePinger("h1");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  manager_->qv_mainQueue()->async([released] { released.wait_for(10s); });
  auto started = beginRun({&p});
  manager_->recordMemoryWarning();
  release.set_value();
  ASSERT_TRUE(eventually([&] { return started->load(); }));

  ASSERT_TRUE(p.delegate->waitForCount(Kind::Stop, 1));
  EXPECT_FALSE(manager_->qv_isPinging());
  EXPECT_TRUE(manager_->qv_pings().empty());
  EXPECT_TRUE(manager_->isInMemoryWarningPause());
  EXPECT_TRUE(eventually([&] {
    return manager_->sendLoopCountForTesting() == 0 && manager_->listenLoopCountForTesting() == 0;
  }));
}

TEST_F(PingMannagerTest, CountsTheThreadsOfTheProcess) {
  EXPECT_GE(qv_PingMannager::processThreadCount(), 1);
}

TEST(PingMannagerSharedTest, IsOneInstance) {
  EXPECT_EQ(qv_PingMannager::qv_shared(), qv_PingMannager::qv_shared());
  EXPECT_EQ(qv_PingMannager::qv_shared()->qv_stopPingDuration(), 60.0);
}

}  // namespace
}  // namespace vandrel::ping
