// The reachability manager over the real rtnetlink source, inside the
// private network namespace of scripts/netns-run.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "core/network_reachability_manager.h"
#include "platform/dispatch.h"
#include "tests/platform/veth_fixture.h"

namespace vandrel::core {
namespace {

using namespace std::chrono_literals;
using platform::mainQueue;
using platform::testing_support::ip;
using Status = NetworkReachabilityStatus;

class ReachabilityNetnsTest : public platform::testing_support::VethTest {};

TEST_F(ReachabilityNetnsTest, RouteAndLinkChangesAreReportedUntilStop) {
  auto manager = NetworkReachabilityManager::create("www.vandrel.invalid");
  ASSERT_NE(manager, nullptr);
  std::vector<Status> calls;
  manager->setListener([&](Status status) { calls.push_back(status); });
  ASSERT_TRUE(manager->startListening());
  mainQueue().runPending();
  EXPECT_TRUE(calls.empty()) << "not reachable at the start: flags 0 are not reported";
  EXPECT_EQ(manager->networkReachabilityStatus(), Status::notReachable());

  bringUp();
  addDefaultRoute();
  ASSERT_TRUE(mainQueue().runUntil([&] { return !calls.empty(); }, 5s));
  ASSERT_TRUE(ip({"link", "set", "vr1", "down"}));
  ASSERT_TRUE(mainQueue().runUntil([&] { return calls.size() >= 2; }, 5s));
  mainQueue().runFor(200ms);
  EXPECT_EQ(calls, (std::vector<Status>{Status::reachable(ConnectionType::ethernetOrWiFi),
                                        Status::notReachable()}));

  manager->stopListening();
  ASSERT_TRUE(ip({"link", "set", "vr1", "up"}));
  ASSERT_TRUE(platform::testing_support::eventually([&] { return manager->isReachable(); }));
  mainQueue().runFor(300ms);
  EXPECT_EQ(calls.size(), 2u);
}

}  // namespace
}  // namespace vandrel::core
