#include "analytics/tally/tly_attribute_dictionary.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <utility>

namespace vandrel::analytics {

using platform::Value;

namespace {

// Length in bytes of the well-formed UTF-8 sequence at `text[i]`, or 0 for
// an ill-formed one (overlong forms, surrogates and code points above
// U+10FFFF are ill-formed).
std::size_t sequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

bool isValidUTF8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Invalid sequences become U+FFFD; at most `limit` bytes of output text,
// cut at a character boundary and marked with "...".
std::string printable(std::string_view text, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = sequenceLength(text, i);
    const std::string_view chunk = n == 0 ? std::string_view("\xEF\xBF\xBD") : text.substr(i, n);
    if (out.size() + chunk.size() > limit) {
      out.append("...");
      return out;
    }
    out.append(chunk);
    i += n == 0 ? 1 : n;
  }
  return out;
}

std::string formatDouble(double d) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
  return std::string(buffer, result.ptr);
}

bool isNumber(const Value& value) {
  return value.type() == Value::Type::Int || value.type() == Value::Type::Double ||
         value.type() == Value::Type::Bool;
}

// Fills the "%@" placeholders of `format` in order.
std::string fillPlaceholders(std::string_view format, std::initializer_list<std::string> arguments) {
  std::string out;
  auto argument = arguments.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format.compare(i, 2, "%@") == 0 && argument != arguments.end()) {
      out.append(*argument++);
      ++i;
    } else {
      out.push_back(format[i]);
    }
  }
  return out;
}

}  // namespace

bool TLYAttributeOutcomeIsStored(TLYAttributeOutcome outcome) {
  return outcome == TLYAttributeOutcome::Stored || outcome == TLYAttributeOutcome::StoredTruncated;
}

TLYAttributeDictionary::TLYAttributeDictionary(TLYSystemLog systemLog)
    : systemLog_(systemLog ? std::move(systemLog) : TLYDefaultSystemLog()) {}

TLYAttributeDictionary::TLYAttributeDictionary(const TLYAttributeEntries& entries,
                                               TLYSystemLog systemLog)
    : TLYAttributeDictionary(std::move(systemLog)) {
  for (const auto& [key, value] : entries) addAttribute(value, key);
}

TLYAttributeDictionary::TLYAttributeDictionary(const Value::Dictionary& dictionary,
                                               TLYSystemLog systemLog)
    : TLYAttributeDictionary(std::move(systemLog)) {
  for (const auto& [key, value] : dictionary) addAttribute(value, Value(key));
}

TLYAttributeOutcome TLYAttributeDictionary::addAttribute(const std::optional<Value>& value,
                                                         const std::optional<Value>& key) {
  if (!value || !key) return TLYAttributeOutcome::IgnoredMissing;
  if (rawDictionary_.size() >= kTLYMaxAttributeCount) {
    logRefusal(kTLYMaxAttributeCountMessage, *key, *value);
    return TLYAttributeOutcome::TooManyAttributes;
  }
  const std::string* keyText = key->asString();
  if (keyText == nullptr) {
    logRefusal(kTLYKeyTypeMessage, *key, *value);
    return TLYAttributeOutcome::KeyNotString;
  }
  const std::string* valueText = value->asString();
  if (valueText == nullptr && !isNumber(*value)) {
    logRefusal(kTLYValueTypeMessage, *key, *value);
    return TLYAttributeOutcome::ValueWrongType;
  }
  // Stored text ends up in a JSON log line: it must be text.
  if (!isValidUTF8(*keyText) || (valueText != nullptr && !isValidUTF8(*valueText))) {
    logRefusal(kTLYNotUTF8Message, *key, *value);
    return TLYAttributeOutcome::NotUTF8;
  }
  const std::optional<double> number = value->asDouble();
  if (number && std::isinf(*number)) {
    // JSON has no infinities: the payload could not be written.
    logRefusal(kTLYNotFiniteMessage, *key, *value);
    return TLYAttributeOutcome::NotFinite;
  }

  std::string storedKey = truncateString(*keyText);
  bool truncated = storedKey.size() != keyText->size();
  if (number && std::isnan(*number)) {
    rawDictionary_.erase(storedKey);
    return TLYAttributeOutcome::Removed;
  }
  Value storedValue = *value;
  if (valueText != nullptr) {
    std::string cut = truncateString(*valueText);
    truncated = truncated || cut.size() != valueText->size();
    storedValue = Value(std::move(cut));
  }
  rawDictionary_.insert_or_assign(std::move(storedKey), std::move(storedValue));
  return truncated ? TLYAttributeOutcome::StoredTruncated : TLYAttributeOutcome::Stored;
}

TLYAttributeOutcome TLYAttributeDictionary::addBooleanAttribute(const std::optional<Value>& number,
                                                                std::string_view key) {
  if (!number) return TLYAttributeOutcome::IgnoredMissing;
  if (!isNumber(*number)) {
    // A string such as "yes" has no defined truth: refuse it, as the
    // general path refuses values of other types.
    logRefusal(kTLYValueTypeMessage, Value(key), *number);
    return TLYAttributeOutcome::ValueWrongType;
  }
  const bool truth = number->type() == Value::Type::Bool ? *number->asBool()
                                                         : *number->asNumber() != 0.0;
  const std::string cutKey = isValidUTF8(key) ? truncateString(key) : std::string(key);
  return addAttribute(Value(truth ? "true" : "false"), Value(cutKey));
}

TLYAttributeOutcome TLYAttributeDictionary::addPriceAttribute(std::optional<double> price,
                                                              std::string_view key) {
  if (!price) return TLYAttributeOutcome::IgnoredMissing;
  std::optional<Value> micros = serializePriceToMicros(*price);
  if (!micros) {
    return std::isinf(*price) ? TLYAttributeOutcome::NotFinite : TLYAttributeOutcome::PriceTooLarge;
  }
  const std::string cutKey = isValidUTF8(key) ? truncateString(key) : std::string(key);
  return addAttribute(micros, Value(cutKey));
}

std::optional<Value> TLYAttributeDictionary::serializePriceToMicros(double price) const {
  if (std::isnan(price)) return Value(price);
  // Negative prices are held to the same bound: below it the product would
  // overflow to an infinity.
  if (std::isinf(price) || std::fabs(price) > maximumPrice()) {
    systemLog_(fillPlaceholders(kTLYPriceLimitMessage, {formatDouble(price)}));
    return std::nullopt;
  }
  const double micros = price * kTLYPriceMicrosPerUnit;
  // Binary doubles carry noise (19.99 → 19990000.000000004): a product
  // within a few ulps of a whole number is that whole number, as decimal
  // arithmetic would give.
  const double whole = std::nearbyint(micros);
  const double tolerance = 1e-12 * std::max(1.0, std::fabs(micros));
  if (std::fabs(micros - whole) <= tolerance && std::fabs(whole) < 9.0e18) {
    return Value(static_cast<std::int64_t>(whole));
  }
  return Value(micros);
}

double TLYAttributeDictionary::maximumPrice() {
  // The quotient is rounded to nearest and may come out a hair too large:
  // step down until the product in millionths stays finite.
  static const double maximum = [] {
    double m = std::numeric_limits<double>::max() / kTLYPriceMicrosPerUnit;
    while (!std::isfinite(m * kTLYPriceMicrosPerUnit)) m = std::nextafter(m, 0.0);
    return m;
  }();
  return maximum;
}

std::string TLYAttributeDictionary::truncateString(std::string_view text) const {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = std::max<std::size_t>(sequenceLength(text, i), 1);
    const std::size_t width = n == 4 ? 2 : 1;
    if (units + width > kTLYMaxAttributeLength) {
      const std::string_view format = kTLYTruncationMessage;
      const std::size_t at = format.find("%u");
      std::string message(format.substr(0, at));
      message.append(std::to_string(kTLYMaxAttributeLength)).append(format.substr(at + 2));
      systemLog_(message);
      return std::string(text.substr(0, i));
    }
    units += width;
    i += n;
  }
  return std::string(text);
}

std::string TLYAttributeDictionary::description() const { return Value(rawDictionary_).toJson(); }

std::string TLYAttributeDictionary::describeForLog(const Value& value) {
  switch (value.type()) {
    case Value::Type::String:
      return printable(*value.asString(), kTLYMaxLoggedEntryLength);
    case Value::Type::Int:
      return std::to_string(*value.asInt());
    case Value::Type::Double:
      return formatDouble(*value.asDouble());
    case Value::Type::Bool:
      return *value.asBool() ? "1" : "0";
    default:
      return printable(value.toJson(), kTLYMaxLoggedEntryLength);
  }
}

void TLYAttributeDictionary::logRefusal(std::string_view format, const Value& key,
                                        const Value& value) const {
  systemLog_(fillPlaceholders(format, {describeForLog(key), describeForLog(value)}));
}

}  // namespace vandrel::analytics
