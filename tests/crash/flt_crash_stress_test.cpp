// A shorter run of the crash stress program (bench/crash_stress): a
// fixed-seed mix of crashes, each one complete record and death by the
// recorded signal.

#include <gtest/gtest.h>

#include "tests/crash/crasher/crash_stress.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

TEST(FLTCrashStressTest, EveryCrashOfAFixedMixLeavesOneCompleteRecord) {
  test_support::TempDir scratch("flt-stress");
  const crasher::StressResult result = crasher::runStress(32, 20240611u, scratch.path());
  EXPECT_EQ(result.runs, 32);
  EXPECT_EQ(result.complete, result.runs);
  for (const std::string& failure : result.failures) ADD_FAILURE() << failure;
}

}  // namespace
}  // namespace vandrel::crash
