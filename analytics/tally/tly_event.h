#pragma once

// The analytics event model: the base every logged record derives from, the
// predefined business events, the application life-cycle events, the
// previous launch's crash and custom events. An event's `name` becomes the
// type field of its log line and `dictionaryRepresentation` its payload.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/tally/tly_attribute_dictionary.h"
#include "analytics/tally/tly_logger.h"
#include "platform/clock.h"
#include "platform/value.h"

namespace vandrel::analytics {

// Payload keys shared by the kinds.
inline constexpr std::string_view kTLYEventIdKey = "eventId";
inline constexpr std::string_view kTLYCustomAttributesKey = "custom_attributes";
inline constexpr std::string_view kTLYPredefinedTypeKey = "predefined_type";
inline constexpr std::string_view kTLYPredefinedAttributesKey = "predefined_attributes";
inline constexpr std::string_view kTLYCustomTypeKey = "custom_type";
inline constexpr std::string_view kTLYCrashStateKey = "crash_state";

// Event names.
inline constexpr std::string_view kTLYUnknownEventName = "unknown";
inline constexpr std::string_view kTLYPredefinedEventName = "predefined";
inline constexpr std::string_view kTLYCustomEventName = "custom";
inline constexpr std::string_view kTLYCrashEventName = "app_crashed";
inline constexpr std::string_view kTLYAppInstalledEventName = "app_installed";
inline constexpr std::string_view kTLYAppLaunchedEventName = "app_launched";
inline constexpr std::string_view kTLYAppTerminatedEventName = "app_terminated";
inline constexpr std::string_view kTLYAppBecameInactiveEventName = "app_became_inactive";
inline constexpr std::string_view kTLYAppBecameActiveEventName = "app_became_active";
inline constexpr std::string_view kTLYUnknownNotificationEventName = "unknown-notification";

// Application notifications that life-cycle events stand for.
inline constexpr std::string_view kNSApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";
inline constexpr std::string_view kNSApplicationWillResignActiveNotification =
    "NSApplicationWillResignActiveNotification";
inline constexpr std::string_view kNSApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";

// Immutable once made; may be handed to any thread.
class TLYEvent {
 public:
  virtual ~TLYEvent() = default;

  virtual std::string name() const { return std::string(kTLYUnknownEventName); }
  virtual platform::Value::Dictionary dictionaryRepresentation() const { return {}; }
  virtual bool triggersFlush() const { return false; }
  virtual std::string description() const;

  // When the event was made (a crash event: when the crash happened).
  virtual platform::WallTime timestamp() const { return timestamp_; }
  // A new upper-case UUID per event.
  const std::string& identifier() const { return identifier_; }

 protected:
  TLYEvent();
  explicit TLYEvent(platform::WallTime timestamp);

  // { "eventId": identifier }
  platform::Value::Dictionary identifierDictionary() const;

 private:
  platform::WallTime timestamp_;
  std::string identifier_;
};

// Strings or nothing.
using TLYText = std::optional<std::string>;
// Numbers (int, double or bool) or nothing; other values are refused.
using TLYNumber = std::optional<platform::Value>;
using TLYPrice = std::optional<double>;

class TLYPredefinedEvent final : public TLYEvent {
 public:
  // Each factory sets the type name, takes the custom attributes through
  // the attribute dictionary's checks and adds its attributes in order.
  static std::unique_ptr<TLYPredefinedEvent> signUpEvent(
      const TLYText& method, const TLYNumber& success, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> loginEvent(
      const TLYText& method, const TLYNumber& success, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> shareEvent(
      const TLYText& method, const TLYText& contentName, const TLYText& contentType,
      const TLYText& contentId, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> inviteEvent(
      const TLYText& method, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> purchaseEvent(
      const TLYPrice& price, const TLYText& currency, const TLYNumber& success,
      const TLYText& itemName, const TLYText& itemType, const TLYText& itemId,
      const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> levelStartEvent(
      const TLYText& levelName, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> levelEndEvent(
      const TLYText& levelName, const TLYNumber& score, const TLYNumber& success,
      const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> addToCartEvent(
      const TLYPrice& price, const TLYText& currency, const TLYText& itemName,
      const TLYText& itemType, const TLYText& itemId, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> startCheckoutEvent(
      const TLYPrice& price, const TLYText& currency, const TLYNumber& itemCount,
      const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> ratingEvent(
      const TLYNumber& rating, const TLYText& contentName, const TLYText& contentType,
      const TLYText& contentId, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> contentViewEvent(
      const TLYText& name, const TLYText& contentType, const TLYText& contentId,
      const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());
  static std::unique_ptr<TLYPredefinedEvent> searchEvent(
      const TLYText& query, const TLYAttributeEntries& customAttributes,
      const TLYSystemLog& systemLog = TLYDefaultSystemLog());

  TLYPredefinedEvent(std::string predefinedEventName, const TLYAttributeEntries& customAttributes,
                     const TLYSystemLog& systemLog);

  std::string name() const override { return std::string(kTLYPredefinedEventName); }
  platform::Value::Dictionary dictionaryRepresentation() const override;
  std::string description() const override;

  const std::string& predefinedEventName() const { return predefinedEventName_; }
  const TLYAttributeDictionary& predefinedAttributes() const { return predefinedAttributes_; }
  TLYAttributeDictionary& predefinedAttributes() { return predefinedAttributes_; }
  const TLYAttributeDictionary& customAttributes() const { return customAttributes_; }

 private:
  std::string predefinedEventName_;
  TLYAttributeDictionary predefinedAttributes_;
  TLYAttributeDictionary customAttributes_;
};

class TLYLifecycleEvent final : public TLYEvent {
 public:
  static std::unique_ptr<TLYLifecycleEvent> installEvent();
  static std::unique_ptr<TLYLifecycleEvent> appLaunchedEvent();
  // By the notification's name; "unknown-notification" for any other.
  static std::unique_ptr<TLYLifecycleEvent> eventWithNotification(std::string_view notificationName);
  static std::string eventNameForNotification(std::string_view notificationName);

  explicit TLYLifecycleEvent(std::string name);

  std::string name() const override { return name_; }
  platform::Value::Dictionary dictionaryRepresentation() const override;
  // True for "app_became_inactive", "app_became_active" and "app_installed".
  bool triggersFlush() const override;

 private:
  std::string name_;
};

// The previous launch's crash.
class TLYCrashEvent final : public TLYEvent {
 public:
  enum : std::int64_t { kForeground = 1, kBackground = 2 };

  TLYCrashEvent(platform::WallTime crashTimestamp, std::int64_t crashState);

  std::string name() const override { return std::string(kTLYCrashEventName); }
  // The crash date: the log line carries the time of the crash.
  platform::WallTime timestamp() const override { return crashTimestamp_; }
  platform::Value::Dictionary dictionaryRepresentation() const override;

  platform::WallTime crashTimestamp() const { return crashTimestamp_; }
  std::int64_t crashState() const { return crashState_; }
  // 1 "foreground", 2 "background", anything else "unknown".
  static std::string_view payloadStringForCrashState(std::int64_t crashState);

 private:
  platform::WallTime crashTimestamp_;
  std::int64_t crashState_;
};

class TLYCustomEvent final : public TLYEvent {
 public:
  TLYCustomEvent(std::string customEventName, TLYAttributeEntries customAttributes,
                 TLYSystemLog systemLog = TLYDefaultSystemLog());

  // "custom" for every custom event; the caller's name is in the payload.
  std::string name() const override { return std::string(kTLYCustomEventName); }
  platform::Value::Dictionary dictionaryRepresentation() const override;
  std::string description() const override;

  const std::string& customEventName() const { return customEventName_; }
  // As the caller gave them.
  const TLYAttributeEntries& customAttributes() const { return customAttributes_; }
  // A new dictionary made from the custom attributes, with the limits applied.
  TLYAttributeDictionary attributesDictionary() const;

 private:
  std::string customEventName_;
  TLYAttributeEntries customAttributes_;
  TLYSystemLog systemLog_;
};

}  // namespace vandrel::analytics
