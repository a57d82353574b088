#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/clock.h"
#include "platform/result.h"

namespace vandrel::platform {

// A point in time as seconds since 1970, the form in which stored settings
// and bundle information carry dates.
struct Date {
  double secondsSince1970 = 0;

  static Date fromWallTime(WallTime time);
  WallTime toWallTime() const;

  bool operator==(const Date&) const = default;
};

// A property-list-like value: null, bool, 64-bit integer, double, string,
// bytes, date, array or dictionary. Used for stored settings, the bundle's
// information and notification user info.
//
// Reads are type-exact: an int is not a bool, a bool is not an int, a string
// "1" is not an int and an int is not a double. A value keeps the type it was
// made with, also through `toJson` and `fromJson`.
class Value {
 public:
  using Data = std::vector<std::uint8_t>;
  using Array = std::vector<Value>;
  using Dictionary = std::map<std::string, Value>;

  enum class Type { Null, Bool, Int, Double, String, Data, Date, Array, Dictionary };

  Value() = default;
  Value(std::nullptr_t) {}                                    // NOLINT
  Value(bool b) : storage_(b) {}                              // NOLINT
  // Every integer type becomes a 64-bit signed integer; unsigned values above
  // INT64_MAX wrap, as a cast would.
  template <std::integral I>
    requires(!std::same_as<I, bool>)
  Value(I i) : storage_(static_cast<std::int64_t>(i)) {}      // NOLINT
  Value(double d) : storage_(d) {}                            // NOLINT
  Value(float f) : storage_(static_cast<double>(f)) {}        // NOLINT
  // Without this overload a string literal would become a bool.
  Value(const char* s) : storage_(std::string(s)) {}          // NOLINT
  Value(std::string s) : storage_(std::move(s)) {}            // NOLINT
  Value(std::string_view s) : storage_(std::string(s)) {}     // NOLINT
  Value(Data d) : storage_(std::move(d)) {}                   // NOLINT
  Value(Date d) : storage_(d) {}                              // NOLINT
  Value(WallTime t) : storage_(Date::fromWallTime(t)) {}      // NOLINT
  Value(Array a) : storage_(std::move(a)) {}                  // NOLINT
  Value(Dictionary d) : storage_(std::move(d)) {}             // NOLINT

  Type type() const { return static_cast<Type>(storage_.index()); }
  bool isNull() const { return type() == Type::Null; }

  std::optional<bool> asBool() const;
  std::optional<std::int64_t> asInt() const;
  std::optional<double> asDouble() const;
  std::optional<Date> asDate() const;
  // An int or a double, as a double: for readers that accept any number.
  std::optional<double> asNumber() const;

  // nullptr when the value holds another type.
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const Data* asData() const { return std::get_if<Data>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  Array* asArray() { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }
  Dictionary* asDictionary() { return std::get_if<Dictionary>(&storage_); }

  // The member `key` of a dictionary; nullptr for a missing key or a value
  // that is not a dictionary.
  const Value* find(std::string_view key) const;

  bool operator==(const Value&) const = default;

  // JSON text that `fromJson` turns back into an equal value. Plain JSON
  // where JSON can say it (doubles always carry a fraction or an exponent,
  // so 5.0 stays a double); bytes, dates, NaN and infinities become objects
  // {"$type": "data" | "date" | "double", "value": ...}, and a dictionary
  // that has a key "$type" itself is wrapped as {"$type": "dictionary",
  // "value": {...}} so it is never mistaken for one. Strings are UTF-8;
  // invalid sequences are written as U+FFFD. `indent` < 0 gives one line.
  std::string toJson(int indent = -1) const;

  // Parses JSON text (any JSON, or what `toJson` wrote). Integers that fit
  // in 64 signed bits become ints; other numbers become doubles. Malformed
  // text, a malformed tagged object or nesting deeper than kMaxJsonDepth is
  // an error naming the fault.
  static Result<Value> fromJson(std::string_view text);

  static constexpr int kMaxJsonDepth = 256;

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Data, Date, Array,
               Dictionary>
      storage_;
};

}  // namespace vandrel::platform
