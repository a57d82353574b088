#include "analytics/tally/tly_event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace vandrel::analytics {
namespace {

using platform::Value;
using Dict = Value::Dictionary;

class TLYEventTest : public testing::Test {
 protected:
  TLYSystemLog sink() {
    return [this](std::string_view line) { lines_.emplace_back(line); };
  }
  std::vector<std::string> lines_;
};

struct PredefinedCase {
  const char* name;
  std::function<std::unique_ptr<TLYPredefinedEvent>(const TLYAttributeEntries&, const TLYSystemLog&)>
      make;
  const char* type;
  Dict attributes;
};

TEST_F(TLYEventTest, EachPredefinedFactoryBuildsItsCatalogueEntry) {
  const TLYNumber yes = Value(1);
  const TLYNumber no = Value(0);
  const std::vector<PredefinedCase> cases = {
      {"sign up",
       [&](auto& c, auto& l) { return TLYPredefinedEvent::signUpEvent("mail", yes, c, l); },
       "sign_up", {{"method", Value("mail")}, {"success", Value("true")}}},
      {"login",
       [&](auto& c, auto& l) { return TLYPredefinedEvent::loginEvent("sso", no, c, l); },
       "login", {{"method", Value("sso")}, {"success", Value("false")}}},
      {"share",
       [&](auto& c, auto& l) {
         return TLYPredefinedEvent::shareEvent("link", "n", "t", "i", c, l);
       },
       "share",
       {{"method", Value("link")}, {"content_name", Value("n")}, {"content_type", Value("t")},
        {"content_id", Value("i")}}},
      {"invite",
       [&](auto& c, auto& l) { return TLYPredefinedEvent::inviteEvent("sms", c, l); },
       "invite", {{"method", Value("sms")}}},
      {"purchase",
       [&](auto& c, auto& l) {
         return TLYPredefinedEvent::purchaseEvent(0.5, "EUR", yes, "plan", "sub", "p1", c, l);
       },
       "purchase",
       {{"item_price", Value(500000)}, {"currency", Value("EUR")}, {"success", Value("true")},
        {"item_name", Value("plan")}, {"item_type", Value("sub")}, {"item_id", Value("p1")}}},
      {"level start",
       [&](auto& c, auto& l) { return TLYPredefinedEvent::levelStartEvent("one", c, l); },
       "level_start", {{"level_name", Value("one")}}},
      {"level end",
       [&](auto& c, auto& l) {
         return TLYPredefinedEvent::levelEndEvent("one", Value(1500), no, c, l);
       },
       "level_end",
       {{"level_name", Value("one")}, {"score", Value(1500)}, {"success", Value("false")}}},
      {"add to cart",
       [&](auto& c, auto& l) {
         return TLYPredefinedEvent::addToCartEvent(2.0, "USD", "n", "t", "i", c, l);
       },
       "add_to_cart",
       {{"item_price", Value(2000000)}, {"currency", Value("USD")}, {"item_name", Value("n")},
        {"item_type", Value("t")}, {"item_id", Value("i")}}},
      {"start checkout",
       [&](auto& c, auto& l) {
         return TLYPredefinedEvent::startCheckoutEvent(10.0, "USD", Value(3), c, l);
       },
       "start_checkout",
       {{"total_price", Value(10000000)}, {"currency", Value("USD")}, {"item_count", Value(3)}}},
      {"rating",
       [&](auto& c, auto& l) {
         return TLYPredefinedEvent::ratingEvent(Value(4.5), "n", "t", "i", c, l);
       },
       "rating",
       {{"rating", Value(4.5)}, {"content_name", Value("n")}, {"content_type", Value("t")},
        {"content_id", Value("i")}}},
      {"content view",
       [&](auto& c, auto& l) {
         return TLYPredefinedEvent::contentViewEvent("home", "page", "7", c, l);
       },
       "content_view",
       {{"content_name", Value("home")}, {"content_type", Value("page")},
        {"content_id", Value("7")}}},
      {"search",
       [&](auto& c, auto& l) { return TLYPredefinedEvent::searchEvent("vpn", c, l); },
       "search", {{"query", Value("vpn")}}},
  };
  const TLYAttributeEntries custom = {{Value("source"), Value("menu")}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto event = c.make(custom, sink());
    EXPECT_EQ(event->name(), "predefined");
    EXPECT_FALSE(event->triggersFlush());
    const Dict payload = event->dictionaryRepresentation();
    EXPECT_EQ(payload,
              (Dict{{"eventId", Value(event->identifier())},
                    {"predefined_type", Value(c.type)},
                    {"predefined_attributes", Value(c.attributes)},
                    {"custom_attributes", Value(Dict{{"source", Value("menu")}})}}));
  }
  EXPECT_TRUE(lines_.empty());
}

TEST_F(TLYEventTest, MissingArgumentsAddNoAttribute) {
  const auto event = TLYPredefinedEvent::purchaseEvent(std::nullopt, std::nullopt, std::nullopt,
                                                       "plan", std::nullopt, std::nullopt, {}, sink());
  EXPECT_EQ(event->predefinedAttributes().dictionaryRepresentation(),
            (Dict{{"item_name", Value("plan")}}));
  EXPECT_TRUE(lines_.empty());
}

TEST_F(TLYEventTest, HostileArgumentsAreRefusedAndTheEventStillBuilds) {
  TLYAttributeEntries custom;
  for (int i = 0; i < 25; ++i) custom.emplace_back(Value("k" + std::to_string(i)), Value(i));
  custom.emplace_back(Value(1), Value("number key"));
  const auto event = TLYPredefinedEvent::levelEndEvent(std::string(300, 'L'), Value("high"),
                                                       Value(platform::Date{}), custom, sink());
  EXPECT_EQ(event->customAttributes().count(), 21u);
  EXPECT_EQ(event->predefinedAttributes().dictionaryRepresentation(),
            (Dict{{"level_name", Value(std::string(100, 'L'))}, {"score", Value("high")}}));
  // 4 + 1 over the limit, one truncation, one non-number success.
  EXPECT_EQ(lines_.size(), 7u);
  EXPECT_TRUE(Value::fromJson(Value(event->dictionaryRepresentation()).toJson()).ok());
}

TEST_F(TLYEventTest, LifecycleEventsAreNamedByNotificationAndSomeTriggerAFlush) {
  struct Case {
    std::string notification;
    const char* name;
    bool flush;
  };
  const std::vector<Case> cases = {
      {"NSApplicationWillTerminateNotification", "app_terminated", false},
      {"NSApplicationWillResignActiveNotification", "app_became_inactive", true},
      {"NSApplicationDidBecomeActiveNotification", "app_became_active", true},
      {"NSApplicationDidFinishLaunchingNotification", "unknown-notification", false},
      {"", "unknown-notification", false},
      {std::string("NSApplicationWillTerminateNotification\0x", 40), "unknown-notification", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.notification);
    const auto event = TLYLifecycleEvent::eventWithNotification(c.notification);
    EXPECT_EQ(event->name(), c.name);
    EXPECT_EQ(event->triggersFlush(), c.flush);
    EXPECT_EQ(event->dictionaryRepresentation(), (Dict{{"eventId", Value(event->identifier())}}));
  }
  EXPECT_EQ(TLYLifecycleEvent::installEvent()->name(), "app_installed");
  EXPECT_TRUE(TLYLifecycleEvent::installEvent()->triggersFlush());
  EXPECT_EQ(TLYLifecycleEvent::appLaunchedEvent()->name(), "app_launched");
  EXPECT_FALSE(TLYLifecycleEvent::appLaunchedEvent()->triggersFlush());
}

TEST_F(TLYEventTest, CrashEventCarriesTheCrashTimeAndState) {
  const platform::WallTime crashed = platform::WallTime{} + std::chrono::seconds(1700000000);
  const std::vector<std::pair<std::int64_t, const char*>> states = {
      {1, "foreground"}, {2, "background"}, {0, "unknown"}, {3, "unknown"}, {-1, "unknown"},
      {std::numeric_limits<std::int64_t>::max(), "unknown"}};
  for (const auto& [state, text] : states) {
    SCOPED_TRACE(state);
    const TLYCrashEvent event(crashed, state);
    EXPECT_EQ(event.name(), "app_crashed");
    EXPECT_EQ(event.timestamp(), crashed);
    EXPECT_FALSE(event.triggersFlush());
    EXPECT_EQ(event.dictionaryRepresentation(),
              (Dict{{"eventId", Value(event.identifier())}, {"crash_state", Value(text)}}));
  }
}

TEST_F(TLYEventTest, CustomEventKeepsItsNameInThePayloadAndLimitsItsAttributes) {
  TLYAttributeEntries attributes = {{Value("plan"), Value("pro")},
                                    {Value("bad"), Value("\xC3")},
                                    {Value("when"), Value(platform::Date{5})}};
  const TLYCustomEvent event("upgrade", attributes, sink());
  EXPECT_EQ(event.name(), "custom");
  EXPECT_EQ(event.customEventName(), "upgrade");
  EXPECT_EQ(event.customAttributes(), attributes);
  EXPECT_EQ(event.dictionaryRepresentation(),
            (Dict{{"eventId", Value(event.identifier())},
                  {"custom_type", Value("upgrade")},
                  {"custom_attributes", Value(Dict{{"plan", Value("pro")}})}}));
  EXPECT_NE(event.description().find("<TLYCustomEvent: upgrade\n{\"plan\":\"pro\"}>"),
            std::string::npos)
      << event.description();
}

TEST_F(TLYEventTest, EveryEventGetsItsOwnUpperCaseIdentifier) {
  const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  std::set<std::string> seen;
  const auto before = std::chrono::system_clock::now();
  for (int i = 0; i < 1000; ++i) {
    const auto event = TLYLifecycleEvent::appLaunchedEvent();
    EXPECT_TRUE(std::regex_match(event->identifier(), uuid)) << event->identifier();
    EXPECT_GE(event->timestamp(), before);
    seen.insert(event->identifier());
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace vandrel::analytics
