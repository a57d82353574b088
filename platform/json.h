#pragma once

// Strict JSON helpers over nlohmann-json.
//
// Include this header from .cpp files only, never from another header:
// nlohmann is heavy, and every header that pulled it in would slow down the
// whole build.
//
// The decode rules (shared by every record the service core reads):
// - an integer is a JSON number with an integral value that fits in 64
//   signed bits: 5, -0, 5.0 and 1e3 are integers; 5.5, 1e300 and
//   9223372036854775808 are not;
// - a bool is true or false only: 0, 1 and "true" are not bools, and a bool
//   is not a number;
// - a string is a JSON string only ("5" is not a number);
// - JSON null on an optional key means the key is absent; on a required key
//   it is a missing value;
// - a list is a JSON array whose every element has the element type: a null
//   or mistyped element fails the whole list;
// - the first failure wins, and its message names the key (and element) path.

#include <nlohmann/json.hpp>

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace vandrel::platform {

inline constexpr std::string_view kJsonErrorDomain = "vandrel.json";
inline constexpr std::int64_t kJsonMalformed = 1;     // the text is not JSON (or nests too deep)
inline constexpr std::int64_t kJsonMissingValue = 2;  // a required key is absent or null
inline constexpr std::int64_t kJsonWrongType = 3;     // a value does not have the expected type

// Deeper text is refused before parsing: copying, comparing and dumping a
// JSON value recurse once per level.
inline constexpr int kMaxJsonDepth = 512;

// Whether the brackets of `text`, outside strings, nest deeper than `limit`:
// a scan that runs before any parser builds a tree. Malformed text may be
// counted oddly; a parser refuses it anyway.
bool jsonNestsDeeperThan(std::string_view text, int limit);

template <typename J>
concept JsonValue = std::same_as<J, nlohmann::json> || std::same_as<J, nlohmann::ordered_json>;

// Parses `text` (exactly one JSON value; no comments). Never throws.
Result<nlohmann::json> parseJson(std::string_view text);
// The same, keeping the keys of every object in the order of the text.
Result<nlohmann::ordered_json> parseOrderedJson(std::string_view text);

// Compact (indent < 0) or indented text, UTF-8 as is (no \u escapes),
// invalid UTF-8 in strings replaced by U+FFFD instead of throwing.
std::string dumpJson(const nlohmann::json& value, int indent = -1);
// Keys in insertion order: for output whose order a reader or a test sees.
std::string dumpJson(const nlohmann::ordered_json& value, int indent = -1);

// Typed reads by the rules above; none when `value` does not have the type.
template <JsonValue J> std::optional<std::int64_t> readInt64(const J& value);
template <JsonValue J> std::optional<bool> readBool(const J& value);
template <JsonValue J> std::optional<std::string> readString(const J& value);
// Any number, integral or not.
template <JsonValue J> std::optional<double> readDouble(const J& value);

// "a string", "null", "a number", ... for messages.
template <JsonValue J> std::string describeJsonType(const J& value);

Error jsonError(std::int64_t code, std::string message);
// `context` + ": " + the message of `inner`, same domain and code.
Error wrapJsonError(std::string_view context, const Error& inner);

namespace json_detail {
template <typename T> struct IsVector : std::false_type {};
template <typename E> struct IsVector<std::vector<E>> : std::true_type {};
}  // namespace json_detail

// Decodes one non-null value as T: bool, any integral type (range-checked),
// double/float, std::string, the JSON type itself (any value), or a
// std::vector of these. Records go through a decoder function instead.
template <typename T, JsonValue J>
Result<T> decodeJsonAs(const J& value) {
  auto wrongType = [&](std::string_view expected) -> Error {
    return jsonError(kJsonWrongType,
                     "expected " + std::string(expected) + ", found " + describeJsonType(value));
  };
  if constexpr (std::is_same_v<T, J>) {
    return value;
  } else if constexpr (std::is_same_v<T, bool>) {
    if (auto v = readBool(value)) return *v;
    return wrongType("a boolean");
  } else if constexpr (std::is_integral_v<T>) {
    const auto v = readInt64(value);
    if (v && std::in_range<T>(*v)) return static_cast<T>(*v);
    return wrongType(std::numeric_limits<T>::digits >= 63 ? "a 64-bit integer"
                                                          : "an integer in range");
  } else if constexpr (std::is_floating_point_v<T>) {
    if (auto v = readDouble(value)) return static_cast<T>(*v);
    return wrongType("a number");
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (auto v = readString(value)) return std::move(*v);
    return wrongType("a string");
  } else if constexpr (json_detail::IsVector<T>::value) {
    if (!value.is_array()) return wrongType("an array");
    T out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
      auto element = decodeJsonAs<typename T::value_type>(value[i]);
      if (!element.ok()) return wrapJsonError("element " + std::to_string(i), element.error());
      out.push_back(std::move(element).value());
    }
    return out;
  } else {
    static_assert(!sizeof(T), "decode records with a decoder function");
  }
}

// Reads the fields of one JSON object for a record decoder. Reads after the
// first failure return empty values and keep that failure:
//
//   JsonObjectReader r(object);
//   x.a = r.required<std::string>("a");
//   x.b = r.optional<std::int64_t>("b");
//   x.c = r.optional<Inner>("c", decodeInner);          // Result<Inner>(const json&)
//   x.d = r.optionalList<Item>("d", decodeItem);
//   if (!r.ok()) return r.error();
//
// A value that is not an object fails at construction.
template <JsonValue J>
class BasicJsonObjectReader {
 public:
  explicit BasicJsonObjectReader(const J& object) : object_(object) {
    if (!object.is_object()) {
      error_ = jsonError(kJsonWrongType, "expected an object, found " + describeJsonType(object));
    }
  }

  // The reader keeps a reference: the object must outlive it.
  explicit BasicJsonObjectReader(const J&& object) = delete;

  bool ok() const { return !error_.has_value(); }
  const Error& error() const {
    VANDREL_CHECK(error_.has_value(), "JsonObjectReader::error() without an error");
    return *error_;
  }

  template <typename T>
  T required(std::string_view key) {
    return required<T>(key, [](const J& v) { return decodeJsonAs<T>(v); });
  }
  template <typename T>
  std::optional<T> optional(std::string_view key) {
    return optional<T>(key, [](const J& v) { return decodeJsonAs<T>(v); });
  }

  // `decode(const J&) -> Result<T>` decodes the (non-null) value.
  template <typename T, typename Decode>
  T required(std::string_view key, Decode&& decode) {
    const J* value = find(key);
    if (value == nullptr) {
      if (ok()) fail(key, jsonError(kJsonMissingValue, "required value missing"));
      return T{};
    }
    return take<T>(key, decode(*value));
  }
  template <typename T, typename Decode>
  std::optional<T> optional(std::string_view key, Decode&& decode) {
    const J* value = find(key);
    if (value == nullptr) return std::nullopt;
    Result<T> decoded = decode(*value);
    if (!decoded.ok()) {
      fail(key, decoded.error());
      return std::nullopt;
    }
    return std::move(decoded).value();
  }

  // Lists of records: `decode` takes one element; a null element fails.
  template <typename T, typename Decode>
  std::vector<T> requiredList(std::string_view key, Decode&& decode) {
    return required<std::vector<T>>(key, listDecoder<T>(decode));
  }
  template <typename T, typename Decode>
  std::optional<std::vector<T>> optionalList(std::string_view key, Decode&& decode) {
    return optional<std::vector<T>>(key, listDecoder<T>(decode));
  }

 private:
  // The value at `key`, or nullptr when absent, null, or after a failure.
  const J* find(std::string_view key) const {
    if (!ok()) return nullptr;
    const auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return nullptr;
    return &*it;
  }

  template <typename T>
  T take(std::string_view key, Result<T> decoded) {
    if (decoded.ok()) return std::move(decoded).value();
    fail(key, decoded.error());
    return T{};
  }

  void fail(std::string_view key, const Error& inner) {
    if (!error_) error_ = wrapJsonError("key \"" + std::string(key) + "\"", inner);
  }

  template <typename T, typename Decode>
  static auto listDecoder(Decode& decode) {
    return [&decode](const J& value) -> Result<std::vector<T>> {
      if (!value.is_array()) {
        return jsonError(kJsonWrongType, "expected an array, found " + describeJsonType(value));
      }
      std::vector<T> out;
      out.reserve(value.size());
      for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string where = "element " + std::to_string(i);
        if (value[i].is_null()) {
          return wrapJsonError(where, jsonError(kJsonWrongType, "expected a value, found null"));
        }
        Result<T> element = decode(value[i]);
        if (!element.ok()) return wrapJsonError(where, element.error());
        out.push_back(std::move(element).value());
      }
      return out;
    };
  }

  const J& object_;
  std::optional<Error> error_;
};

using JsonObjectReader = BasicJsonObjectReader<nlohmann::json>;
using OrderedJsonObjectReader = BasicJsonObjectReader<nlohmann::ordered_json>;

// Writer side. An absent value is left out, never written as null. Start a
// record's object with J::object(), so an empty record encodes as {}.
template <JsonValue J, typename T>
void putOptional(J& object, std::string_view key, const std::optional<T>& value) {
  if (value) object[std::string(key)] = *value;
}
// `encode(const T&) -> J` writes a record.
template <JsonValue J, typename T, typename Encode>
void putOptional(J& object, std::string_view key, const std::optional<T>& value, Encode&& encode) {
  if (value) object[std::string(key)] = encode(*value);
}

// A JSON array of records, each written by `encode(const T&) -> J`.
template <JsonValue J = nlohmann::json, typename T, typename Encode>
J toJsonArray(const std::vector<T>& items, Encode&& encode) {
  J array = J::array();
  for (const auto& item : items) array.push_back(encode(item));
  return array;
}
template <JsonValue J, typename T, typename Encode>
void putOptionalList(J& object, std::string_view key, const std::optional<std::vector<T>>& value,
                     Encode&& encode) {
  if (value) object[std::string(key)] = toJsonArray<J>(*value, encode);
}

}  // namespace vandrel::platform
