#include "analytics/tally/tly_event_filter.h"

#include <gtest/gtest.h>

#include "analytics/tally/tly_event.h"

namespace vandrel::analytics {
namespace {

TEST(TLYEventFilterTest, HashesLikeTheClassicStringHash) {
  struct Case {
    const char* text;
    std::int32_t hash;
  };
  const Case cases[] = {
      {"", 0},
      {"a", 97},
      {"abc", 96354},
      {"hello", 99162322},
      // Wraps modulo 2^32 and reads back signed.
      {"polygenelubricants", INT32_MIN},
      {"Aa", 2112},
      {"BB", 2112},
      // U+00E9 is one code unit; U+1F600 is a surrogate pair (D83D DE00).
      {"\xC3\xA9", 0xE9},
      {"\xF0\x9F\x98\x80", static_cast<std::int32_t>(0xD83D * 31 + 0xDE00)},
      {"6CB1B4DE-8D52-4C61-A4E4-0F1D1C6B2A7E", 298146834},
      {"21B2C3D4-0000-4000-8000-000000000000", -1730105805},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TLYEventFilter::javaHashCodeForString(c.text), c.hash);
  }
}

TEST(TLYEventFilterTest, InstallsAreSampledByHashRemainder) {
  const TLYEventFilter filter;
  struct Case {
    std::optional<std::string> installationID;
    std::int64_t factor;
    bool discard;
  };
  const Case cases[] = {
      {"abc", 3, false},  // 96354 % 3 == 0
      {"abc", 7, true},   // remainder 6
      {"abc", 1, false},  // factor below 2: nothing sampled
      {"abc", 0, false},  // no division by zero
      {"abc", -3, false},
      {"abc", INT64_MIN, false},
      {std::nullopt, 7, false},
      {"", 7, false},  // hashes to 0
      // Negative hash: -2147483648 % 2 == 0 keeps, % 3 == -2 discards.
      {"polygenelubricants", 2, false},
      {"polygenelubricants", 3, true},
      // -1730105805: remainder 0 by 3 and 5, -1 by 2 and 7.
      {"21B2C3D4-0000-4000-8000-000000000000", 2, true},
      {"21B2C3D4-0000-4000-8000-000000000000", 3, false},
      {"21B2C3D4-0000-4000-8000-000000000000", 5, false},
      {"21B2C3D4-0000-4000-8000-000000000000", 7, true},
      // 298146834: remainder 0 by 2 and 3, 4 by 5.
      {"6CB1B4DE-8D52-4C61-A4E4-0F1D1C6B2A7E", 2, false},
      {"6CB1B4DE-8D52-4C61-A4E4-0F1D1C6B2A7E", 3, false},
      {"6CB1B4DE-8D52-4C61-A4E4-0F1D1C6B2A7E", 5, true},
      {"hello", 2, false},  // 99162322 even
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.installationID.value_or("(none)") + " / " + std::to_string(c.factor));
    EXPECT_EQ(filter.shouldDiscardEventWithInstallationID(c.installationID, c.factor), c.discard);
  }
}

TEST(TLYEventFilterTest, OnlyLifecycleTypesWithoutBetaTokenAreSampled) {
  const TLYEventFilter filter;
  const std::string sampledOut = "abc";  // discarded at factor 7
  const auto launched = TLYLifecycleEvent::appLaunchedEvent();
  const auto installed = TLYLifecycleEvent::installEvent();
  const TLYCustomEvent custom("app_launched", {});
  const auto crash = TLYCrashEvent(platform::WallTime{}, TLYCrashEvent::kForeground);

  EXPECT_TRUE(filter.shouldDiscardEvent(nullptr, std::nullopt, sampledOut, 7));
  EXPECT_TRUE(filter.shouldDiscardEvent(launched.get(), std::nullopt, sampledOut, 7));
  EXPECT_FALSE(filter.shouldDiscardEvent(launched.get(), std::string("beta"), sampledOut, 7));
  EXPECT_FALSE(filter.shouldDiscardEvent(launched.get(), std::nullopt, std::string("abc"), 3));
  // Not in the sampled set: "app_installed", custom ("custom"), crash.
  EXPECT_FALSE(filter.shouldDiscardEvent(installed.get(), std::nullopt, sampledOut, 7));
  EXPECT_FALSE(filter.shouldDiscardEvent(&custom, std::nullopt, sampledOut, 7));
  EXPECT_FALSE(filter.shouldDiscardEvent(&crash, std::nullopt, sampledOut, 7));

  for (const char* type : {"app_launched", "app_terminated", "app_memory_warning", "app_entered_background",
                           "app_entered_foreground", "app_became_inactive", "app_became_active"}) {
    EXPECT_TRUE(filter.samplingEnabledForEventType(type)) << type;
  }
  for (const char* type : {"app_installed", "app_crashed", "custom", "predefined", "unknown", "metadata", ""}) {
    EXPECT_FALSE(filter.samplingEnabledForEventType(type)) << type;
  }
}

}  // namespace
}  // namespace vandrel::analytics
