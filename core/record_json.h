#pragma once

// JSON coding shared by the record files of the core. Include from .cpp
// files only (it pulls in nlohmann through platform/json.h).
//
// A record type T opts in by specialising RecordFields<T> with a `visit`
// that names every field and its key in declaration order; one list then
// serves decoding and encoding, so the two cannot drift apart. The member
// type says how a field is coded:
//   std::optional<X>  optional: absent or null gives no value, left out
//                     when encoding (never written as null);
//   X                 required: absent or null fails the record;
// where X is a scalar (std::int64_t, bool, std::string), a record, or a
// std::vector of either (or of LineItem references). Types are strict
// (platform/json.h); a failure anywhere fails the record and every record
// around it; unknown keys are ignored.
//
// Encoding goes to nlohmann::ordered_json, so the written keys follow the
// declaration order: no reader depends on it, it only keeps the text stable.

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/line_item.h"
#include "platform/json.h"
#include "platform/result.h"

namespace vandrel::core::record_json {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Specialise with:
//   template <typename R, typename V> static void visit(R& record, V&& field) {
//     field("key", record.key); ...
//   }
// R is T or const T.
template <typename T>
struct RecordFields;

template <typename T>
concept Record = requires { sizeof(RecordFields<T>); };

using LineRef = std::shared_ptr<LineItem>;

// LineItem's coding, for the records that hold lines.
platform::Result<LineRef> decodeLineItem(const Json& value);
OrderedJson encodeLineItem(const LineItem& line);

template <Record T>
platform::Result<T> decodeRecord(const Json& value);
template <Record T>
OrderedJson encodeRecord(const T& record);

namespace detail {

// A list whose elements are records or line references (coded one by one),
// as opposed to a list of scalars (coded by platform/json.h).
template <typename X>
struct IsRecordList : std::false_type {};
template <typename E>
struct IsRecordList<std::vector<E>>
    : std::bool_constant<Record<E> || std::is_same_v<E, LineRef>> {};

// Decodes one present, non-null value of type X.
template <typename X>
platform::Result<X> decodeValue(const Json& value) {
  if constexpr (Record<X>) {
    return decodeRecord<X>(value);
  } else if constexpr (std::is_same_v<X, LineRef>) {
    return decodeLineItem(value);
  } else if constexpr (IsRecordList<X>::value) {
    using E = typename X::value_type;
    if (!value.is_array()) {
      return platform::jsonError(platform::kJsonWrongType,
                                 "expected an array, found " + platform::describeJsonType(value));
    }
    X out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
      const std::string where = "element " + std::to_string(i);
      if (value[i].is_null()) {
        return platform::wrapJsonError(
            where, platform::jsonError(platform::kJsonWrongType, "expected a value, found null"));
      }
      auto element = decodeValue<E>(value[i]);
      if (!element.ok()) return platform::wrapJsonError(where, element.error());
      out.push_back(std::move(element).value());
    }
    return out;
  } else {
    return platform::decodeJsonAs<X>(value);
  }
}

template <typename X>
OrderedJson encodeValue(const X& value) {
  if constexpr (Record<X>) {
    return encodeRecord(value);
  } else if constexpr (IsRecordList<X>::value) {
    OrderedJson array = OrderedJson::array();
    for (const auto& element : value) {
      if constexpr (std::is_same_v<typename X::value_type, LineRef>) {
        // A null reference is no line: writing null would make the list
        // undecodable.
        if (element) array.push_back(encodeLineItem(*element));
      } else {
        array.push_back(encodeRecord(element));
      }
    }
    return array;
  } else {
    return OrderedJson(value);
  }
}

template <typename X>
void decodeMember(platform::JsonObjectReader& reader, std::string_view key,
                  std::optional<X>& member) {
  member = reader.optional<X>(key, [](const Json& v) { return decodeValue<X>(v); });
}
template <typename X>
void decodeMember(platform::JsonObjectReader& reader, std::string_view key, X& member) {
  member = reader.required<X>(key, [](const Json& v) { return decodeValue<X>(v); });
}

template <typename X>
void encodeMember(OrderedJson& object, std::string_view key, const std::optional<X>& member) {
  if (member) object[std::string(key)] = encodeValue(*member);
}
template <typename X>
void encodeMember(OrderedJson& object, std::string_view key, const X& member) {
  object[std::string(key)] = encodeValue(member);
}

}  // namespace detail

template <Record T>
platform::Result<T> decodeRecord(const Json& value) {
  platform::JsonObjectReader reader(value);
  T record{};
  RecordFields<T>::visit(record, [&reader](std::string_view key, auto& member) {
    detail::decodeMember(reader, key, member);
  });
  if (!reader.ok()) return reader.error();
  return record;
}

template <Record T>
OrderedJson encodeRecord(const T& record) {
  OrderedJson object = OrderedJson::object();
  RecordFields<T>::visit(record, [&object](std::string_view key, const auto& member) {
    detail::encodeMember(object, key, member);
  });
  return object;
}

// Parses `text` and decodes its value with `decode(const Json&) ->
// Result<T>`; a value that is not an object fails inside `decode`.
template <typename T, typename Decode>
platform::Result<T> decodeText(std::string_view text, Decode&& decode) {
  auto parsed = platform::parseJson(text);
  if (!parsed.ok()) return parsed.error();
  return decode(parsed.value());
}

// Compact JSON text.
inline std::string encodeText(const OrderedJson& object) { return platform::dumpJson(object); }

}  // namespace vandrel::core::record_json

// Defines T::fromJsonText and T::toJsonText of a record type whose
// RecordFields specialisation is in scope.
#define VANDREL_DEFINE_RECORD_JSON_TEXT(T)                                                   \
  ::vandrel::platform::Result<T> T::fromJsonText(std::string_view text) {                    \
    return ::vandrel::core::record_json::decodeText<T>(                                      \
        text, [](const ::vandrel::core::record_json::Json& v) {                              \
          return ::vandrel::core::record_json::decodeRecord<T>(v);                           \
        });                                                                                  \
  }                                                                                          \
  std::string T::toJsonText() const {                                                        \
    return ::vandrel::core::record_json::encodeText(                                         \
        ::vandrel::core::record_json::encodeRecord(*this));                                  \
  }
