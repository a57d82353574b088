#pragma once

// Typed reads of the service's JSON objects as Value dictionaries: "when
// text" and "when an integer" mean the key is present with that JSON type;
// any other value counts as missing.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace vandrel::connection::dictionary_reading {

inline const platform::Value* valueAt(const platform::Value::Dictionary& dictionary,
                                      std::string_view key) {
  const auto it = dictionary.find(std::string(key));
  return it == dictionary.end() ? nullptr : &it->second;
}

inline const std::string* textAt(const platform::Value::Dictionary& dictionary,
                                 std::string_view key) {
  const platform::Value* value = valueAt(dictionary, key);
  return value ? value->asString() : nullptr;
}

inline std::optional<std::string> optionalTextAt(const platform::Value::Dictionary& dictionary,
                                                 std::string_view key) {
  const std::string* text = textAt(dictionary, key);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

// An integer, or a floating-point number with an integral value that fits:
// JSON may write 5 as 5.0 (the project's integer rule); 5.5 and "5" are not
// integers.
inline std::optional<std::int64_t> integerAt(const platform::Value::Dictionary& dictionary,
                                             std::string_view key) {
  const platform::Value* value = valueAt(dictionary, key);
  if (value == nullptr) return std::nullopt;
  if (auto i = value->asInt()) return i;
  if (auto d = value->asDouble()) {
    if (std::trunc(*d) == *d && *d >= -9.2e18 && *d <= 9.2e18) {
      return static_cast<std::int64_t>(*d);
    }
  }
  return std::nullopt;
}

inline const platform::Value::Dictionary* dictionaryAt(
    const platform::Value::Dictionary& dictionary, std::string_view key) {
  const platform::Value* value = valueAt(dictionary, key);
  return value ? value->asDictionary() : nullptr;
}

}  // namespace vandrel::connection::dictionary_reading
