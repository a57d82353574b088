#pragma once

// The attributes of one analytics event: every key and value is checked,
// converted and limited here before it is stored, whatever the caller (or a
// bridge) hands in.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/tally/tly_logger.h"
#include "platform/value.h"

namespace vandrel::analytics {

// Limits: a dictionary accepts an attribute while it holds fewer than this
// many entries, so it can reach 21 (not 20).
inline constexpr std::size_t kTLYMaxAttributeCount = 21;
// Keys and string values are cut to this many UTF-16 code units.
inline constexpr std::size_t kTLYMaxAttributeLength = 100;
// Prices are stored in millionths.
inline constexpr double kTLYPriceMicrosPerUnit = 1000000.0;
// Refusal messages show at most this many bytes of a key or value.
inline constexpr std::size_t kTLYMaxLoggedEntryLength = 256;

// Caller-given attributes in their enumeration order. Keys are values too:
// a bridge may hand in keys that are not strings, which are refused.
using TLYAttributeEntries = std::vector<std::pair<platform::Value, platform::Value>>;

// What became of one offered attribute.
enum class TLYAttributeOutcome {
  Stored,              // added or replaced, whole
  StoredTruncated,     // added or replaced after its key or value was cut
  Removed,             // a not-a-number value: any entry under the key is gone
  IgnoredMissing,      // no value or no key: ignored without a message
  TooManyAttributes,   // the dictionary already holds 21 entries
  KeyNotString,        // the key is not a string
  ValueWrongType,      // the value is neither a string nor a number
  NotUTF8,             // the key or the string value is not valid UTF-8
  NotFinite,           // the value (or price) is an infinity
  PriceTooLarge,       // the price exceeds the largest storable price
};

bool TLYAttributeOutcomeIsStored(TLYAttributeOutcome outcome);

// Messages (the key comes first, then the value).
inline constexpr std::string_view kTLYMaxAttributeCountMessage =
    "[Tally] Maximum number of Event attributes exceeded. Ignoring entry %@:%@";
inline constexpr std::string_view kTLYKeyTypeMessage =
    "[Tally] Event attribute keys must be of type NSString. Ignoring entry %@:%@";
inline constexpr std::string_view kTLYValueTypeMessage =
    "[Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry %@:%@";
inline constexpr std::string_view kTLYNotUTF8Message =
    "[Tally] Event attribute keys and values must be valid UTF-8. Ignoring entry %@:%@";
inline constexpr std::string_view kTLYNotFiniteMessage =
    "[Tally] Event attribute values must be finite numbers. Ignoring entry %@:%@";
inline constexpr std::string_view kTLYTruncationMessage =
    "[Tally] Maximum length for an Event attributes exceeded. Truncating to %u characters.";
inline constexpr std::string_view kTLYPriceLimitMessage =
    "[Tally] Maximum value for a price attribute exceeded. Ignoring price attribute with value: %@";

// Not thread-safe: built by one thread (the event's creator), read after.
class TLYAttributeDictionary {
 public:
  explicit TLYAttributeDictionary(TLYSystemLog systemLog = TLYDefaultSystemLog());
  // Offers every entry, in order, to addAttribute.
  explicit TLYAttributeDictionary(const TLYAttributeEntries& entries,
                                  TLYSystemLog systemLog = TLYDefaultSystemLog());
  explicit TLYAttributeDictionary(const platform::Value::Dictionary& dictionary,
                                  TLYSystemLog systemLog = TLYDefaultSystemLog());

  // The general path. `std::nullopt` is "no value" / "no key"; a null Value
  // is a value of the wrong type. Numbers are ints, doubles and bools.
  TLYAttributeOutcome addAttribute(const std::optional<platform::Value>& value,
                                   const std::optional<platform::Value>& key);
  // "true" or "false" by the number's truth; no number: nothing is added.
  TLYAttributeOutcome addBooleanAttribute(const std::optional<platform::Value>& number,
                                          std::string_view key);
  // The price in millionths; no price: nothing is added.
  TLYAttributeOutcome addPriceAttribute(std::optional<double> price, std::string_view key);

  const platform::Value::Dictionary& dictionaryRepresentation() const { return rawDictionary_; }
  std::size_t count() const { return rawDictionary_.size(); }
  // The dictionary as one JSON line.
  std::string description() const;

  // The string's first 100 UTF-16 code units, never splitting a character
  // (a pair of code units that would straddle the limit is left out whole).
  // Logs the truncation message when it cuts. `text` must be valid UTF-8.
  std::string truncateString(std::string_view text) const;
  // The price in millionths; absent (after the price message) above the
  // largest storable price or for an infinity. A NaN stays a NaN.
  std::optional<platform::Value> serializePriceToMicros(double price) const;

  // The largest price that is stored: the largest double over one million
  // (whose product in millionths is still finite).
  static double maximumPrice();
  // "%@" of a key or value in messages: strings as they are (invalid UTF-8
  // shown as U+FFFD), numbers in decimal, other values as JSON; longer than
  // kTLYMaxLoggedEntryLength bytes is cut and marked with "...".
  static std::string describeForLog(const platform::Value& value);

 private:
  void logRefusal(std::string_view format, const platform::Value& key,
                  const platform::Value& value) const;

  TLYSystemLog systemLog_;
  platform::Value::Dictionary rawDictionary_;
};

}  // namespace vandrel::analytics
