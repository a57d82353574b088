// The rtnetlink reachability source against the kernel's real routing
// state, inside the private network namespace of scripts/netns-run.
#include "platform/linux/reachability_linux.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "platform/dispatch.h"
#include "platform/reachability.h"
#include "tests/platform/veth_fixture.h"

namespace vandrel::platform {
namespace {

using namespace std::chrono_literals;
using testing_support::eventually;
using testing_support::ip;
namespace flag = reachability_flags;

class LinuxReachabilityTest : public testing_support::VethTest {
 protected:
  bool flagsBecome(std::uint32_t expected) {
    return eventually([&] { return source_.flags() == expected; });
  }

  LinuxReachabilitySource source_{"www.vandrel.invalid"};
};

TEST_F(LinuxReachabilityTest, ReachableOnlyThroughAUsableDefaultRoute) {
  EXPECT_EQ(source_.flags(), 0u) << "only lo";

  ASSERT_TRUE(ip({"route", "add", "default", "dev", "lo"}));
  EXPECT_EQ(source_.flags(), 0u) << "default route through the loopback";
  ASSERT_TRUE(ip({"route", "del", "default", "dev", "lo"}));
  ASSERT_TRUE(ip({"route", "add", "blackhole", "default"}));
  EXPECT_EQ(source_.flags(), 0u) << "blackhole default route";
  ASSERT_TRUE(ip({"route", "del", "blackhole", "default"}));

  bringUp();
  EXPECT_TRUE(flagsBecome(0)) << "a link but no default route";
  addDefaultRoute();
  EXPECT_TRUE(flagsBecome(flag::kReachable)) << "default route through a running link";

  // The cable is out: the route stays (marked linkdown), the link loses
  // its carrier, and a route lookup would still succeed.
  ASSERT_TRUE(ip({"link", "set", "vr1", "down"}));
  EXPECT_TRUE(flagsBecome(0)) << "no carrier";
  ASSERT_TRUE(ip({"link", "set", "vr1", "up"}));
  EXPECT_TRUE(flagsBecome(flag::kReachable)) << "carrier back";
  ASSERT_TRUE(ip({"link", "set", "vr0", "down"}));
  EXPECT_TRUE(flagsBecome(0)) << "link down";
}

TEST_F(LinuxReachabilityTest, DefaultRouteOfAnotherTableCounts) {
  bringUp();
  ASSERT_TRUE(ip({"route", "add", "default", "via", "10.77.0.2", "dev", "vr0", "table", "100"}));
  EXPECT_TRUE(flagsBecome(flag::kReachable));
}

TEST_F(LinuxReachabilityTest, Ipv6DefaultRouteCounts) {
  if (!ipv6_) GTEST_SKIP() << "no IPv6 in this namespace";
  bringUp();
  ASSERT_TRUE(ip({"-6", "route", "add", "default", "via", "fd77::2", "dev", "vr0"}));
  EXPECT_TRUE(flagsBecome(flag::kReachable));
  ASSERT_TRUE(ip({"link", "set", "vr1", "down"}));
  EXPECT_TRUE(flagsBecome(0));
}

TEST_F(LinuxReachabilityTest, DeliversChangesOnTheQueueAndNothingAfterStop) {
  std::vector<std::uint32_t> delivered;
  bool onMain = true;
  ASSERT_TRUE(source_.start(mainQueue(), [&](std::uint32_t flags) {
    onMain = onMain && mainQueue().isCurrent();
    delivered.push_back(flags);
  }));
  bringUp();
  addDefaultRoute();
  EXPECT_TRUE(mainQueue().runUntil(
      [&] { return !delivered.empty() && delivered.back() == flag::kReachable; }, 5s));
  ASSERT_TRUE(ip({"link", "set", "vr1", "down"}));
  EXPECT_TRUE(
      mainQueue().runUntil([&] { return !delivered.empty() && delivered.back() == 0; }, 5s));
  EXPECT_TRUE(onMain);

  source_.stop();
  mainQueue().runPending();
  const auto before = delivered.size();
  ASSERT_TRUE(ip({"link", "set", "vr1", "up"}));
  ASSERT_TRUE(flagsBecome(flag::kReachable));
  mainQueue().runFor(300ms);
  EXPECT_EQ(delivered.size(), before);
}

TEST_F(LinuxReachabilityTest, RestartAndDestructionWithoutDelivery) {
  std::vector<std::uint32_t> delivered;
  auto record = [&](std::uint32_t flags) { delivered.push_back(flags); };
  {
    LinuxReachabilitySource source("0.0.0.0");
    ASSERT_TRUE(source.start(mainQueue(), record));
    ASSERT_TRUE(source.start(mainQueue(), record));  // replaces the first
    bringUp();
    addDefaultRoute();
    EXPECT_TRUE(mainQueue().runUntil([&] { return !delivered.empty(); }, 5s));
    ASSERT_TRUE(ip({"link", "set", "vr1", "down"}));
  }  // the reader is joined here
  delivered.clear();
  mainQueue().runFor(300ms);
  EXPECT_TRUE(delivered.empty());
}

// Sources started together share one watcher; each still gets every
// change, and one that stops leaves the others delivering.
TEST_F(LinuxReachabilityTest, SourcesStartedTogetherEachGetChangesUntilTheirOwnStop) {
  std::vector<std::uint32_t> first, second;
  ASSERT_TRUE(source_.start(mainQueue(), [&](std::uint32_t flags) { first.push_back(flags); }));
  LinuxReachabilitySource other("0.0.0.0");
  ASSERT_TRUE(other.start(mainQueue(), [&](std::uint32_t flags) { second.push_back(flags); }));
  bringUp();
  addDefaultRoute();
  const auto reachable = [](const std::vector<std::uint32_t>& got) {
    return !got.empty() && got.back() == flag::kReachable;
  };
  EXPECT_TRUE(mainQueue().runUntil([&] { return reachable(first) && reachable(second); }, 5s));

  source_.stop();
  mainQueue().runPending();
  const auto stoppedAt = first.size();
  ASSERT_TRUE(ip({"link", "set", "vr1", "down"}));
  EXPECT_TRUE(mainQueue().runUntil([&] { return !second.empty() && second.back() == 0; }, 5s));
  EXPECT_EQ(first.size(), stoppedAt);

  // A source started after the others stopped gets a watcher of its own.
  other.stop();
  ASSERT_TRUE(source_.start(mainQueue(), [&](std::uint32_t flags) { first.push_back(flags); }));
  ASSERT_TRUE(ip({"link", "set", "vr1", "up"}));
  EXPECT_TRUE(mainQueue().runUntil(
      [&] { return first.size() > stoppedAt && first.back() == flag::kReachable; }, 5s));
}

TEST(ReachabilityFactoryTest, TargetsThePlatformAccepts) {
  EXPECT_EQ(makeReachabilitySourceForHost(""), nullptr);
  EXPECT_NE(makeReachabilitySourceForHost("www.vandrel.invalid"), nullptr);
  EXPECT_NE(makeReachabilitySourceForZeroAddress(), nullptr);
}

}  // namespace
}  // namespace vandrel::platform
