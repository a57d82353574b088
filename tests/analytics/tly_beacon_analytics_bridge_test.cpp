#include "analytics/tally/tly_beacon_analytics_bridge.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analytics/tally/tly_event.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_stubs_for_bcn_analytics.h"

namespace vandrel::analytics {
namespace {

using platform::Value;
using Bridge = TLYBeaconAnalyticsBridge;

// Stands for a host application's analytics framework: records each call.
class RecordingAnalytics final : public crash::BCNAnalyticsClass {
 public:
  struct Call {
    std::string origin;
    std::string name;
    Value::Dictionary parameters;
  };
  explicit RecordingAnalytics(bool answersLogInternalEvent = true)
      : answers_(answersLogInternalEvent) {}
  bool respondsToLogInternalEvent() const override { return answers_; }
  void logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                  const Value::Dictionary& parameters) override {
    calls.push_back({std::string(origin), std::string(name), parameters});
  }
  void addLogEventListener(std::shared_ptr<crash::BCNAnalyticsEventListener>) override {}

  std::vector<Call> calls;

 private:
  bool answers_;
};

TLYSystemLog discard() {
  return [](std::string_view) {};
}

class TLYBeaconAnalyticsBridgeTest : public ::testing::Test {
 protected:
  TLYBeaconAnalyticsBridgeTest() { logger_.setDebugMode(true); }

  // The one call the bridge made for `event`.
  RecordingAnalytics::Call sendOne(const TLYEvent& event) {
    framework_->calls.clear();
    bridge_.logEvent(event);
    EXPECT_EQ(framework_->calls.size(), 1u);
    if (framework_->calls.empty()) return {};
    EXPECT_EQ(framework_->calls[0].origin, "trl");
    return framework_->calls[0];
  }

  std::vector<std::string> lines_;
  TLYLogger logger_{[this](std::string_view line) { lines_.emplace_back(line); }};
  std::shared_ptr<RecordingAnalytics> framework_ = std::make_shared<RecordingAnalytics>();
  Bridge bridge_{framework_, &logger_};
};

TEST_F(TLYBeaconAnalyticsBridgeTest, PurchasesAreSentInUnitsOrAsFailures) {
  const TLYAttributeEntries custom = {{Value("note"), Value("gift")}};
  auto failed = TLYPredefinedEvent::purchaseEvent(1.0, "EUR", Value(false), "Hat", "clothing",
                                                  "h-1", custom, discard());
  auto call = sendOne(*failed);
  EXPECT_EQ(call.name, "failed_ecommerce_purchase");
  EXPECT_EQ(call.parameters, (Value::Dictionary{{"note", Value("gift")}}));

  auto bought = TLYPredefinedEvent::purchaseEvent(19.99, "EUR", Value(true), "Hat", "clothing",
                                                  "h-1", custom, discard());
  call = sendOne(*bought);
  EXPECT_EQ(call.name, "ecommerce_purchase");
  EXPECT_EQ(call.parameters, (Value::Dictionary{{"value", Value(19.99)},
                                                {"currency", Value("EUR")},
                                                {"item_category", Value("clothing")},
                                                {"item_id", Value("h-1")},
                                                {"item_name", Value("Hat")},
                                                {"note", Value("gift")}}));
  ASSERT_FALSE(lines_.empty());
  EXPECT_EQ(lines_.back().rfind("[Tally] Logging predefined event to Beacon. <ecommerce_purchase\n", 0),
            0u);
}

TEST_F(TLYBeaconAnalyticsBridgeTest, PredefinedEventsUseTheFrameworksNamesAndKeys) {
  struct Case {
    const char* name;
    std::unique_ptr<TLYPredefinedEvent> event;
    std::string beaconName;
    Value::Dictionary parameters;
  };
  const TLYAttributeEntries none;
  std::vector<Case> cases;
  cases.push_back({"add to cart sets quantity and value",
                   TLYPredefinedEvent::addToCartEvent(2.5, "USD", "Cap", "hats", "c-9", none,
                                                      discard()),
                   "add_to_cart",
                   {{"price", Value(2.5)},
                    {"value", Value(2.5)},
                    {"quantity", Value(1)},
                    {"currency", Value("USD")},
                    {"item_category", Value("hats")},
                    {"item_id", Value("c-9")},
                    {"item_name", Value("Cap")}}});
  cases.push_back({"add to cart without a price",
                   TLYPredefinedEvent::addToCartEvent(std::nullopt, std::nullopt, "Cap",
                                                      std::nullopt, std::nullopt, none, discard()),
                   "add_to_cart",
                   {{"quantity", Value(1)}, {"item_name", Value("Cap")}}});
  cases.push_back({"failed login", TLYPredefinedEvent::loginEvent("mail", Value(0), none, discard()),
                   "failed_login", {}});
  cases.push_back({"sign-up drops success",
                   TLYPredefinedEvent::signUpEvent("mail", Value(true), none, discard()),
                   "sign_up", {{"method", Value("mail")}}});
  cases.push_back({"checkout", TLYPredefinedEvent::startCheckoutEvent(10.0, "USD", Value(3), none,
                                                                     discard()),
                   "begin_checkout",
                   {{"value", Value(10.0)}, {"currency", Value("USD")}, {"quantity", Value(3)}}});
  cases.push_back({"content view",
                   TLYPredefinedEvent::contentViewEvent("Intro", "video", "v-1", none, discard()),
                   "select_content",
                   {{"item_name", Value("Intro")},
                    {"content_type", Value("video")},
                    {"item_id", Value("v-1")}}});
  cases.push_back({"search", TLYPredefinedEvent::searchEvent("vpn", none, discard()), "search",
                   {{"search_term", Value("vpn")}}});
  cases.push_back({"rating", TLYPredefinedEvent::ratingEvent(Value(4), "Intro", "video", "v-1",
                                                             none, discard()),
                   "rate_content",
                   {{"rating", Value(4)},
                    {"item_name", Value("Intro")},
                    {"content_type", Value("video")},
                    {"item_id", Value("v-1")}}});
  cases.push_back({"share", TLYPredefinedEvent::shareEvent("link", "Intro", "video", "v-1", none,
                                                           discard()),
                   "share",
                   {{"method", Value("link")},
                    {"item_name", Value("Intro")},
                    {"content_type", Value("video")},
                    {"item_id", Value("v-1")}}});
  cases.push_back({"invite", TLYPredefinedEvent::inviteEvent("sms", none, discard()), "invite",
                   {{"method", Value("sms")}}});
  cases.push_back({"level start", TLYPredefinedEvent::levelStartEvent("one", none, discard()),
                   "level_start", {{"level_name", Value("one")}}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto call = sendOne(*c.event);
    EXPECT_EQ(call.name, c.beaconName);
    EXPECT_EQ(call.parameters, c.parameters);
  }
}

TEST_F(TLYBeaconAnalyticsBridgeTest, LevelEndIsAlsoSentAsPostScore) {
  for (bool success : {true, false}) {
    SCOPED_TRACE(success);
    framework_->calls.clear();
    auto event = TLYPredefinedEvent::levelEndEvent("two", Value(120), Value(success),
                                                   {{Value("score"), Value("custom")}}, discard());
    bridge_.logEvent(*event);
    ASSERT_EQ(framework_->calls.size(), 2u);
    EXPECT_EQ(framework_->calls[0].name, "level_end");
    EXPECT_EQ(framework_->calls[1].name, "post_score");
    const Value::Dictionary expected = {{"level_name", Value("two")},
                                        {"score", Value(120)},
                                        {"success", Value(success ? 1 : 0)}};
    EXPECT_EQ(framework_->calls[0].parameters, expected);
    EXPECT_EQ(framework_->calls[1].parameters, expected);
  }
}

TEST_F(TLYBeaconAnalyticsBridgeTest, CustomEventsGoOutWithSanitisedNamesAndRawAttributes) {
  const std::string longKey(45, 'k');
  TLYCustomEvent event("9 lives !",
                       {{Value("item name"), Value("Cap")},
                        {Value(longKey), Value(1.5)},
                        {Value(7), Value("number key")},
                        {Value("list"), Value(Value::Array{Value(1)})},
                        {Value("item-name"), Value("later wins")}},
                       discard());
  const auto call = sendOne(event);
  EXPECT_EQ(call.name, "trellis_9_lives_");
  EXPECT_EQ(call.parameters, (Value::Dictionary{{"item_name", Value("later wins")},
                                                {std::string(40, 'k'), Value(1.5)}}));
  ASSERT_FALSE(lines_.empty());
  EXPECT_EQ(lines_.back().rfind("[Tally] Logging custom event to Beacon. <trellis_9_lives_\n", 0),
            0u);

  // Predefined parameters win over custom ones of the same name.
  auto cart = TLYPredefinedEvent::addToCartEvent(std::nullopt, std::nullopt, "Cap", std::nullopt,
                                                 std::nullopt, {{Value("item_name"), Value("x")}},
                                                 discard());
  EXPECT_EQ(sendOne(*cart).parameters.at("item_name"), Value("Cap"));
}

TEST(TLYBeaconAnalyticsBridgeNamesTest, NamesFollowTheFrameworksRules) {
  const std::string bold = "\xF0\x9D\x90\x80";  // U+1D400, a letter outside the BMP
  struct Case {
    const char* name;
    std::optional<std::string> input;
    std::string event;
  };
  const std::vector<Case> cases = {
      {"plain", "level_up", "level_up"},
      {"digit first, punctuation run", "1st level !", "trellis_1st_level_"},
      {"underscore first", "_x", "trellis__x"},
      {"framework prefix gryphon_", "gryphon_open", "trellis_gryphon_open"},
      {"framework prefix beacon_", "beacon_open", "trellis_beacon_open"},
      {"framework prefix ga_", "ga_open", "trellis_ga_open"},
      {"reserved name", "screen_view", "trellis_screen_view"},
      {"reserved after sanitising", "first open", "trellis_first_open"},
      {"unicode letters stay", "\xC3\xA9v\xC3\xA9nement", "\xC3\xA9v\xC3\xA9nement"},
      {"emoji becomes _", "a\xF0\x9F\x98\x80" "b", "a_b"},
      {"missing", std::nullopt, "trellis_unnamed_event"},
      {"empty", "", "trellis_unnamed_event"},
      {"cut to 40", std::string(50, 'e'), std::string(40, 'e')},
      {"prefix counts toward 40", std::string(38, '1'), "trellis_" + std::string(32, '1')},
      {"a pair is never split", std::string(39, 'a') + bold, std::string(39, 'a')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Bridge::sanitizeEventName(c.input), c.event);
  }
  EXPECT_EQ(Bridge::sanitizeAttributeName(std::nullopt), "trellis_unnamed_parameter");
  EXPECT_EQ(Bridge::sanitizeAttributeName(""), "trellis_unnamed_parameter");
  EXPECT_EQ(Bridge::sanitizeKeyName(""), "");
  EXPECT_EQ(Bridge::beaconReservedKeys().size(), 26u);
}

TEST(TLYBeaconAnalyticsBridgeAbsentTest, WithoutTheFrameworkNothingIsSent) {
  auto event = TLYPredefinedEvent::loginEvent("mail", Value(true), {}, discard());
  TLYCustomEvent custom("open", {}, discard());

  // Nothing registered: the process has no framework.
  Bridge absent;
  EXPECT_FALSE(absent.hasBeaconAnalytics());
  absent.logEvent(*event);
  absent.logEvent(custom);

  // A framework class without the call is not kept.
  auto mute = std::make_shared<RecordingAnalytics>(false);
  Bridge refused(mute);
  EXPECT_FALSE(refused.hasBeaconAnalytics());
  refused.logEvent(*event);
  EXPECT_TRUE(mute->calls.empty());

  // The host's registration is found by name; other kinds are ignored.
  auto registered = std::make_shared<RecordingAnalytics>();
  crash::BCNAnalyticsRegisterClass(registered);
  Bridge present;
  crash::BCNAnalyticsRegisterClass(nullptr);
  EXPECT_TRUE(present.hasBeaconAnalytics());
  present.logEvent(*TLYLifecycleEvent::appLaunchedEvent());
  present.logEvent(TLYCrashEvent(platform::WallTime{}, TLYCrashEvent::kForeground));
  EXPECT_TRUE(registered->calls.empty());
  present.logEvent(custom);
  ASSERT_EQ(registered->calls.size(), 1u);
  EXPECT_EQ(registered->calls[0].name, "open");

  // The declared stub only says it is one.
  std::vector<std::string> lines;
  TLYStubsForBCNAnalytics stub([&lines](std::string_view line) { lines.emplace_back(line); });
  stub.logInternalEventWithOrigin("trl", "open", {});
  EXPECT_EQ(lines, std::vector<std::string>{"Stub only. Do not use."});
}

}  // namespace
}  // namespace vandrel::analytics
