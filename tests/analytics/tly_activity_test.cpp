#include "analytics/tally/tly_activity.h"

#include <gtest/gtest.h>

namespace vandrel::analytics {
namespace {

TEST(TLYActivityTest, AnActivityIsHeldFromBeginToItsFirstEnd) {
  auto activity = TLYActivity::beginActivity("io.tally.record", kTLYActivityOptionsRecord);
  EXPECT_TRUE(activity->isActive());
  EXPECT_EQ(activity->options(), kTLYActivitySuddenTerminationDisabled |
                                     kTLYActivityAutomaticTerminationDisabled);
  EXPECT_EQ(kTLYActivityOptionsSubmit, kTLYActivityOptionsRecord | kTLYActivityBackground);
  EXPECT_EQ(activity->reason(), "io.tally.record");
  EXPECT_EQ(activity->backgroundTaskIdentifier(), 0);
  activity->end();
  EXPECT_FALSE(activity->isActive());
  activity->end();
  EXPECT_FALSE(activity->isActive());

  bool ran = false;
  TLYActivity::performActivity("io.tally.submit", kTLYActivityOptionsSubmit, [&] { ran = true; });
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace vandrel::analytics
