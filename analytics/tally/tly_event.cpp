#include "analytics/tally/tly_event.h"

#include <typeinfo>
#include <utility>

#include "crash/kit/trl_application_identity.h"

namespace vandrel::analytics {

using platform::Value;

TLYEvent::TLYEvent() : TLYEvent(platform::SystemClock().wallNow()) {}

TLYEvent::TLYEvent(platform::WallTime timestamp)
    : timestamp_(timestamp), identifier_(crash::TRLCreateUUIDString()) {}

std::string TLYEvent::description() const {
  return "<" + name() + ": " + Value(dictionaryRepresentation()).toJson() + ">";
}

Value::Dictionary TLYEvent::identifierDictionary() const {
  return {{std::string(kTLYEventIdKey), Value(identifier_)}};
}

// ---- predefined events -------------------------------------------------------

TLYPredefinedEvent::TLYPredefinedEvent(std::string predefinedEventName,
                                       const TLYAttributeEntries& customAttributes,
                                       const TLYSystemLog& systemLog)
    : predefinedEventName_(std::move(predefinedEventName)),
      predefinedAttributes_(systemLog),
      customAttributes_(customAttributes, systemLog) {}

Value::Dictionary TLYPredefinedEvent::dictionaryRepresentation() const {
  Value::Dictionary out = identifierDictionary();
  out.emplace(kTLYPredefinedTypeKey, Value(predefinedEventName_));
  out.emplace(kTLYPredefinedAttributesKey, Value(predefinedAttributes_.dictionaryRepresentation()));
  out.emplace(kTLYCustomAttributesKey, Value(customAttributes_.dictionaryRepresentation()));
  return out;
}

std::string TLYPredefinedEvent::description() const {
  return "<TLYPredefinedEvent: " + predefinedEventName_ + "\n" + predefinedAttributes_.description() +
         "\n" + customAttributes_.description() + ">";
}

namespace {

using Event = std::unique_ptr<TLYPredefinedEvent>;

Event make(std::string_view type, const TLYAttributeEntries& custom, const TLYSystemLog& log) {
  return std::make_unique<TLYPredefinedEvent>(std::string(type), custom, log);
}

void text(TLYPredefinedEvent& event, const TLYText& value, std::string_view key) {
  event.predefinedAttributes().addAttribute(
      value ? std::optional<Value>(Value(*value)) : std::nullopt, Value(key));
}

// Numbers that the catalogue stores through the plain path.
void number(TLYPredefinedEvent& event, const TLYNumber& value, std::string_view key) {
  event.predefinedAttributes().addAttribute(value, Value(key));
}

void boolean(TLYPredefinedEvent& event, const TLYNumber& value, std::string_view key) {
  event.predefinedAttributes().addBooleanAttribute(value, key);
}

void price(TLYPredefinedEvent& event, const TLYPrice& value, std::string_view key) {
  event.predefinedAttributes().addPriceAttribute(value, key);
}

}  // namespace

Event TLYPredefinedEvent::signUpEvent(const TLYText& method, const TLYNumber& success,
                                      const TLYAttributeEntries& customAttributes,
                                      const TLYSystemLog& systemLog) {
  Event event = make("sign_up", customAttributes, systemLog);
  text(*event, method, "method");
  boolean(*event, success, "success");
  return event;
}

Event TLYPredefinedEvent::loginEvent(const TLYText& method, const TLYNumber& success,
                                     const TLYAttributeEntries& customAttributes,
                                     const TLYSystemLog& systemLog) {
  Event event = make("login", customAttributes, systemLog);
  text(*event, method, "method");
  boolean(*event, success, "success");
  return event;
}

Event TLYPredefinedEvent::shareEvent(const TLYText& method, const TLYText& contentName,
                                     const TLYText& contentType, const TLYText& contentId,
                                     const TLYAttributeEntries& customAttributes,
                                     const TLYSystemLog& systemLog) {
  Event event = make("share", customAttributes, systemLog);
  text(*event, method, "method");
  text(*event, contentName, "content_name");
  text(*event, contentType, "content_type");
  text(*event, contentId, "content_id");
  return event;
}

Event TLYPredefinedEvent::inviteEvent(const TLYText& method,
                                      const TLYAttributeEntries& customAttributes,
                                      const TLYSystemLog& systemLog) {
  Event event = make("invite", customAttributes, systemLog);
  text(*event, method, "method");
  return event;
}

Event TLYPredefinedEvent::purchaseEvent(const TLYPrice& itemPrice, const TLYText& currency,
                                        const TLYNumber& success, const TLYText& itemName,
                                        const TLYText& itemType, const TLYText& itemId,
                                        const TLYAttributeEntries& customAttributes,
                                        const TLYSystemLog& systemLog) {
  Event event = make("purchase", customAttributes, systemLog);
  price(*event, itemPrice, "item_price");
  text(*event, currency, "currency");
  boolean(*event, success, "success");
  text(*event, itemName, "item_name");
  text(*event, itemType, "item_type");
  text(*event, itemId, "item_id");
  return event;
}

Event TLYPredefinedEvent::levelStartEvent(const TLYText& levelName,
                                          const TLYAttributeEntries& customAttributes,
                                          const TLYSystemLog& systemLog) {
  Event event = make("level_start", customAttributes, systemLog);
  text(*event, levelName, "level_name");
  return event;
}

Event TLYPredefinedEvent::levelEndEvent(const TLYText& levelName, const TLYNumber& score,
                                        const TLYNumber& success,
                                        const TLYAttributeEntries& customAttributes,
                                        const TLYSystemLog& systemLog) {
  Event event = make("level_end", customAttributes, systemLog);
  text(*event, levelName, "level_name");
  number(*event, score, "score");
  boolean(*event, success, "success");
  return event;
}

Event TLYPredefinedEvent::addToCartEvent(const TLYPrice& itemPrice, const TLYText& currency,
                                         const TLYText& itemName, const TLYText& itemType,
                                         const TLYText& itemId,
                                         const TLYAttributeEntries& customAttributes,
                                         const TLYSystemLog& systemLog) {
  Event event = make("add_to_cart", customAttributes, systemLog);
  price(*event, itemPrice, "item_price");
  text(*event, currency, "currency");
  text(*event, itemName, "item_name");
  text(*event, itemType, "item_type");
  text(*event, itemId, "item_id");
  return event;
}

Event TLYPredefinedEvent::startCheckoutEvent(const TLYPrice& totalPrice, const TLYText& currency,
                                             const TLYNumber& itemCount,
                                             const TLYAttributeEntries& customAttributes,
                                             const TLYSystemLog& systemLog) {
  Event event = make("start_checkout", customAttributes, systemLog);
  price(*event, totalPrice, "total_price");
  text(*event, currency, "currency");
  number(*event, itemCount, "item_count");
  return event;
}

Event TLYPredefinedEvent::ratingEvent(const TLYNumber& rating, const TLYText& contentName,
                                      const TLYText& contentType, const TLYText& contentId,
                                      const TLYAttributeEntries& customAttributes,
                                      const TLYSystemLog& systemLog) {
  Event event = make("rating", customAttributes, systemLog);
  number(*event, rating, "rating");
  text(*event, contentName, "content_name");
  text(*event, contentType, "content_type");
  text(*event, contentId, "content_id");
  return event;
}

Event TLYPredefinedEvent::contentViewEvent(const TLYText& name, const TLYText& contentType,
                                           const TLYText& contentId,
                                           const TLYAttributeEntries& customAttributes,
                                           const TLYSystemLog& systemLog) {
  Event event = make("content_view", customAttributes, systemLog);
  text(*event, name, "content_name");
  text(*event, contentType, "content_type");
  text(*event, contentId, "content_id");
  return event;
}

Event TLYPredefinedEvent::searchEvent(const TLYText& query,
                                      const TLYAttributeEntries& customAttributes,
                                      const TLYSystemLog& systemLog) {
  Event event = make("search", customAttributes, systemLog);
  text(*event, query, "query");
  return event;
}

// ---- life-cycle events -------------------------------------------------------

TLYLifecycleEvent::TLYLifecycleEvent(std::string name) : name_(std::move(name)) {}

std::unique_ptr<TLYLifecycleEvent> TLYLifecycleEvent::installEvent() {
  return std::make_unique<TLYLifecycleEvent>(std::string(kTLYAppInstalledEventName));
}

std::unique_ptr<TLYLifecycleEvent> TLYLifecycleEvent::appLaunchedEvent() {
  return std::make_unique<TLYLifecycleEvent>(std::string(kTLYAppLaunchedEventName));
}

std::string TLYLifecycleEvent::eventNameForNotification(std::string_view notificationName) {
  if (notificationName == kNSApplicationWillTerminateNotification) {
    return std::string(kTLYAppTerminatedEventName);
  }
  if (notificationName == kNSApplicationWillResignActiveNotification) {
    return std::string(kTLYAppBecameInactiveEventName);
  }
  if (notificationName == kNSApplicationDidBecomeActiveNotification) {
    return std::string(kTLYAppBecameActiveEventName);
  }
  return std::string(kTLYUnknownNotificationEventName);
}

std::unique_ptr<TLYLifecycleEvent> TLYLifecycleEvent::eventWithNotification(
    std::string_view notificationName) {
  return std::make_unique<TLYLifecycleEvent>(eventNameForNotification(notificationName));
}

Value::Dictionary TLYLifecycleEvent::dictionaryRepresentation() const {
  return identifierDictionary();
}

bool TLYLifecycleEvent::triggersFlush() const {
  return name_ == kTLYAppBecameInactiveEventName || name_ == kTLYAppBecameActiveEventName ||
         name_ == kTLYAppInstalledEventName;
}

// ---- crash event ---------------------------------------------------------------

TLYCrashEvent::TLYCrashEvent(platform::WallTime crashTimestamp, std::int64_t crashState)
    : TLYEvent(crashTimestamp), crashTimestamp_(crashTimestamp), crashState_(crashState) {}

std::string_view TLYCrashEvent::payloadStringForCrashState(std::int64_t crashState) {
  switch (crashState) {
    case kForeground:
      return "foreground";
    case kBackground:
      return "background";
    default:
      return "unknown";
  }
}

Value::Dictionary TLYCrashEvent::dictionaryRepresentation() const {
  Value::Dictionary out = identifierDictionary();
  out.emplace(kTLYCrashStateKey, Value(payloadStringForCrashState(crashState_)));
  return out;
}

// ---- custom event --------------------------------------------------------------

TLYCustomEvent::TLYCustomEvent(std::string customEventName, TLYAttributeEntries customAttributes,
                               TLYSystemLog systemLog)
    : customEventName_(std::move(customEventName)),
      customAttributes_(std::move(customAttributes)),
      systemLog_(std::move(systemLog)) {}

TLYAttributeDictionary TLYCustomEvent::attributesDictionary() const {
  return TLYAttributeDictionary(customAttributes_, systemLog_);
}

Value::Dictionary TLYCustomEvent::dictionaryRepresentation() const {
  Value::Dictionary out = identifierDictionary();
  out.emplace(kTLYCustomTypeKey, Value(customEventName_));
  out.emplace(kTLYCustomAttributesKey, Value(attributesDictionary().dictionaryRepresentation()));
  return out;
}

std::string TLYCustomEvent::description() const {
  return "<TLYCustomEvent: " + customEventName_ + "\n" + attributesDictionary().description() + ">";
}

}  // namespace vandrel::analytics
