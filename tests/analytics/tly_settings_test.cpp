#include "analytics/tally/tly_settings.h"

#include <gtest/gtest.h>

namespace vandrel::analytics {
namespace {

using Dict = platform::Value::Dictionary;

TEST(TLYSettingsTest, NoSettingsAnswerEveryDefault) {
  const TLYSettings settings;
  EXPECT_FALSE(settings.valid());
  EXPECT_EQ(settings.tallyURL(), "https://events.tally.invalid/spi/v2/events");
  EXPECT_TRUE(settings.shouldCollectAnalytics());
  EXPECT_FALSE(settings.shouldForwardToBeaconAnalytics());
  EXPECT_FALSE(settings.shouldIncludePurchaseEventsInForwardedBeaconEvents());
  EXPECT_EQ(settings.maximumPayloadSize(), 8000);
  EXPECT_EQ(settings.maxPendingSendFiles(), 100);
  EXPECT_EQ(settings.flushInterval(), 0.0);
  EXPECT_EQ(settings.samplingRate(), 1);
  EXPECT_EQ(settings.defaultUploadTimeout(), 21600.0);
  EXPECT_EQ(settings.lowPowerUploadTimeout(), 3600.0);

  // Present but empty, or with the sections of the wrong type: valid, still
  // every default.
  for (const Dict& dictionary : {Dict{}, Dict{{"analytics", "x"}, {"features", 5}},
                                 Dict{{"analytics", Dict{}}, {"features", Dict{}}}}) {
    const TLYSettings s(dictionary);
    EXPECT_TRUE(s.valid());
    EXPECT_EQ(s.samplingRate(), 1);
    EXPECT_TRUE(s.shouldCollectAnalytics());
    EXPECT_EQ(s.tallyURL(), TLYSettings::defaultTallyURL());
  }
}

TEST(TLYSettingsTest, ReadsEveryKeyFromItsSection) {
  const TLYSettings settings(Dict{
      {"analytics", Dict{{"url", "https://e.example.com/spi/v2/events"},
                         {"forward_to_gryphon_analytics", true},
                         {"include_purchase_events_in_forwarded_events", 1},
                         {"max_byte_size_per_file", 16000},
                         {"max_pending_send_file_count", 7},
                         {"flush_interval_secs", 600},
                         {"sampling_rate", 4},
                         {"upload_timeout_secs", 120.5},
                         {"low_power_upload_timeout_secs", "30"},
                         // Only "features" holds this switch.
                         {"collect_analytics", false}}},
      {"features", Dict{{"collect_analytics", true}}}});
  EXPECT_EQ(settings.tallyURL(), "https://e.example.com/spi/v2/events");
  EXPECT_TRUE(settings.shouldCollectAnalytics());
  EXPECT_TRUE(settings.shouldForwardToBeaconAnalytics());
  EXPECT_TRUE(settings.shouldIncludePurchaseEventsInForwardedBeaconEvents());
  EXPECT_EQ(settings.maximumPayloadSize(), 16000);
  EXPECT_EQ(settings.maxPendingSendFiles(), 7);
  EXPECT_EQ(settings.flushInterval(), 600.0);
  EXPECT_EQ(settings.samplingRate(), 4);
  EXPECT_EQ(settings.defaultUploadTimeout(), 120.5);
  EXPECT_EQ(settings.lowPowerUploadTimeout(), 30.0);

  const TLYSettings off(Dict{{"analytics", Dict{{"sampling_rate", 3}}},
                             {"features", Dict{{"collect_analytics", false}}}});
  EXPECT_FALSE(off.shouldCollectAnalytics());
  EXPECT_EQ(off.samplingRate(), 3);
  EXPECT_EQ(off.maximumPayloadSize(), 8000);
}

TEST(TLYSettingsTest, ConvertsNumbersAndNumericStrings) {
  struct Case {
    const char* name;
    platform::Value value;
    std::int64_t size;     // max_byte_size_per_file
    bool forward;          // forward_to_gryphon_analytics
    double flush;          // flush_interval_secs
  };
  const Case cases[] = {
      {"string", "16000", 16000, true, 16000.0},
      {"padded string", " +42", 42, true, 42.0},
      {"double", 12.9, 12, true, 12.9},
      {"bool", true, 1, true, 1.0},
      {"zero string", "0", 0, false, 0.0},
      {"yes string", "YES", 8000, true, 0.0},
      {"no string", "no", 8000, false, 0.0},
      {"not a number", "abc", 8000, false, 0.0},
      {"null", nullptr, 8000, false, 0.0},
      {"array", platform::Value::Array{1}, 8000, false, 0.0},
      {"huge double", 1e300, 8000, true, 1e300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TLYSettings s(Dict{{"analytics", Dict{{"max_byte_size_per_file", c.value},
                                                {"forward_to_gryphon_analytics", c.value},
                                                {"flush_interval_secs", c.value}}}});
    EXPECT_EQ(s.maximumPayloadSize(), c.size);
    EXPECT_EQ(s.shouldForwardToBeaconAnalytics(), c.forward);
    EXPECT_EQ(s.flushInterval(), c.flush);
  }
}

TEST(TLYSettingsTest, AURLStringThatFormsNoURLGivesNone) {
  for (const char* bad : {"", "not a url", "https://", "https://host/pa th"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(TLYSettings(Dict{{"analytics", Dict{{"url", bad}}}}).tallyURL(), std::nullopt);
  }
  // A URL of another type is not a string: the default applies.
  EXPECT_EQ(TLYSettings(Dict{{"analytics", Dict{{"url", 5}}}}).tallyURL(), TLYSettings::defaultTallyURL());
}

}  // namespace
}  // namespace vandrel::analytics
