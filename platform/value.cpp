#include "platform/value.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/json.h"

namespace vandrel::platform {
namespace {

using Json = nlohmann::json;

constexpr std::string_view kTypeKey = "$type";
constexpr std::string_view kValueKey = "value";
constexpr std::string_view kJsonDomain = "vandrel.json";

// ---- base64 (RFC 4648, with padding) ---------------------------------------

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const Value::Data& data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    const std::uint32_t n = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += kBase64Alphabet[(n >> 6) & 63];
    out += kBase64Alphabet[n & 63];
  }
  const std::size_t rest = data.size() - i;
  if (rest > 0) {
    std::uint32_t n = data[i] << 16;
    if (rest == 2) n |= data[i + 1] << 8;
    out += kBase64Alphabet[(n >> 18) & 63];
    out += kBase64Alphabet[(n >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<Value::Data> base64Decode(std::string_view text) {
  static const std::array<int, 256> table = [] {
    std::array<int, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    return t;
  }();
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  Value::Data out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t n = 0;
    const bool last = i + 4 == text.size();
    for (std::size_t j = 0; j < 4; ++j) {
      const bool isPad = last && j >= 4 - padding;
      const int digit = isPad ? 0 : table[static_cast<unsigned char>(text[i + j])];
      if (digit < 0) return std::nullopt;
      n = (n << 6) | static_cast<std::uint32_t>(digit);
    }
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    if (!last || padding < 2) out.push_back(static_cast<std::uint8_t>(n >> 8));
    if (!last || padding < 1) out.push_back(static_cast<std::uint8_t>(n));
  }
  return out;
}

// ---- Value -> JSON ----------------------------------------------------------

Json tagged(std::string_view type, Json value) {
  Json object = Json::object();
  object[std::string(kTypeKey)] = std::string(type);
  object[std::string(kValueKey)] = std::move(value);
  return object;
}

Json encodeDouble(double d) {
  if (std::isnan(d)) return tagged("double", "nan");
  if (std::isinf(d)) return tagged("double", d > 0 ? "inf" : "-inf");
  return Json(d);
}

Json encode(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Bool:
      return *value.asBool();
    case Value::Type::Int:
      return *value.asInt();
    case Value::Type::Double:
      return encodeDouble(*value.asDouble());
    case Value::Type::String:
      return *value.asString();
    case Value::Type::Data:
      return tagged("data", base64Encode(*value.asData()));
    case Value::Type::Date:
      return tagged("date", encodeDouble(value.asDate()->secondsSince1970));
    case Value::Type::Array: {
      Json array = Json::array();
      for (const Value& item : *value.asArray()) array.push_back(encode(item));
      return array;
    }
    case Value::Type::Dictionary: {
      Json object = Json::object();
      for (const auto& [key, item] : *value.asDictionary()) object[key] = encode(item);
      if (object.contains(kTypeKey)) return tagged("dictionary", std::move(object));
      return object;
    }
  }
  return nullptr;
}

// ---- JSON -> Value ----------------------------------------------------------

Error jsonError(std::string message) {
  return Error{std::string(kJsonDomain), 1, std::move(message)};
}

Result<Value> decode(const Json& json, int depth);

Result<Value> decodeObjectMembers(const Json& json, int depth) {
  Value::Dictionary dictionary;
  for (const auto& [key, item] : json.items()) {
    Result<Value> member = decode(item, depth + 1);
    if (!member.ok()) return member.error();
    dictionary.emplace(key, std::move(member).value());
  }
  return Value(std::move(dictionary));
}

Result<double> decodeTaggedDouble(const Json& json) {
  if (json.is_number()) return json.get<double>();
  // A date that is NaN or infinite is written with its seconds as a tagged
  // double: {"$type": "date", "value": {"$type": "double", "value": "nan"}}.
  if (json.is_object() && json.size() == 2 && json.value(std::string(kTypeKey), "") == "double" &&
      json.contains(kValueKey)) {
    const Json& inner = json.at(std::string(kValueKey));
    if (inner.is_string() || inner.is_number()) return decodeTaggedDouble(inner);
  }
  if (json.is_string()) {
    const auto& text = json.get_ref<const std::string&>();
    if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (text == "inf") return std::numeric_limits<double>::infinity();
    if (text == "-inf") return -std::numeric_limits<double>::infinity();
  }
  return jsonError("tagged double holds neither a number nor \"nan\", \"inf\" or \"-inf\"");
}

Result<Value> decodeTagged(const Json& json, int depth) {
  const Json& type = json.at(std::string(kTypeKey));
  auto value = json.find(std::string(kValueKey));
  if (!type.is_string() || value == json.end() || json.size() != 2) {
    return jsonError("an object with \"$type\" must hold exactly \"$type\" (a string) and \"value\"");
  }
  const auto& name = type.get_ref<const std::string&>();
  if (name == "data") {
    std::optional<Value::Data> data;
    if (value->is_string()) data = base64Decode(value->get_ref<const std::string&>());
    if (!data) return jsonError("tagged data is not valid base64");
    return Value(std::move(*data));
  }
  if (name == "date" || name == "double") {
    Result<double> number = decodeTaggedDouble(*value);
    if (!number.ok()) return number.error();
    if (name == "date") return Value(Date{number.value()});
    return Value(number.value());
  }
  if (name == "dictionary") {
    if (!value->is_object()) return jsonError("tagged dictionary does not hold an object");
    return decodeObjectMembers(*value, depth);
  }
  return jsonError("unknown \"$type\" \"" + name + "\"");
}

Result<Value> decode(const Json& json, int depth) {
  if (depth > Value::kMaxJsonDepth) {
    return jsonError("nesting deeper than " + std::to_string(Value::kMaxJsonDepth) + " levels");
  }
  switch (json.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return Value();
    case Json::value_t::boolean:
      return Value(json.get<bool>());
    case Json::value_t::number_integer:
      return Value(json.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      const auto u = json.get<std::uint64_t>();
      // Above INT64_MAX it is a number, but not one of our integers.
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Value(static_cast<double>(u));
      }
      return Value(static_cast<std::int64_t>(u));
    }
    case Json::value_t::number_float:
      return Value(json.get<double>());
    case Json::value_t::string:
      return Value(json.get<std::string>());
    case Json::value_t::binary:
      return Value(Value::Data(json.get_binary().begin(), json.get_binary().end()));
    case Json::value_t::array: {
      Value::Array array;
      array.reserve(json.size());
      for (const Json& item : json) {
        Result<Value> element = decode(item, depth + 1);
        if (!element.ok()) return element.error();
        array.push_back(std::move(element).value());
      }
      return Value(std::move(array));
    }
    case Json::value_t::object:
      if (json.contains(kTypeKey)) return decodeTagged(json, depth + 1);
      return decodeObjectMembers(json, depth);
  }
  return jsonError("unsupported JSON value");
}

}  // namespace

// ---- Date ---------------------------------------------------------------------

Date Date::fromWallTime(WallTime time) {
  return Date{std::chrono::duration<double>(time.time_since_epoch()).count()};
}

WallTime Date::toWallTime() const {
  // The wall clock counts in nanoseconds: about 292 years either side of
  // 1970. Dates outside (or NaN) clamp instead of overflowing.
  using Seconds = std::chrono::duration<double>;
  const double limit =
      std::chrono::duration_cast<Seconds>(WallTime::duration::max()).count() * 0.999;
  double seconds = std::isnan(secondsSince1970) ? 0.0 : secondsSince1970;
  seconds = std::clamp(seconds, -limit, limit);
  return WallTime{} + std::chrono::duration_cast<WallTime::duration>(Seconds(seconds));
}

// ---- Value --------------------------------------------------------------------

std::optional<bool> Value::asBool() const {
  if (const bool* b = std::get_if<bool>(&storage_)) return *b;
  return std::nullopt;
}

std::optional<std::int64_t> Value::asInt() const {
  if (const std::int64_t* i = std::get_if<std::int64_t>(&storage_)) return *i;
  return std::nullopt;
}

std::optional<double> Value::asDouble() const {
  if (const double* d = std::get_if<double>(&storage_)) return *d;
  return std::nullopt;
}

std::optional<Date> Value::asDate() const {
  if (const Date* d = std::get_if<Date>(&storage_)) return *d;
  return std::nullopt;
}

std::optional<double> Value::asNumber() const {
  if (const std::int64_t* i = std::get_if<std::int64_t>(&storage_)) {
    return static_cast<double>(*i);
  }
  return asDouble();
}

const Value* Value::find(std::string_view key) const {
  const Dictionary* dictionary = asDictionary();
  if (dictionary == nullptr) return nullptr;
  auto it = dictionary->find(std::string(key));
  return it == dictionary->end() ? nullptr : &it->second;
}

std::string Value::toJson(int indent) const {
  return encode(*this).dump(indent, ' ', false, Json::error_handler_t::replace);
}

Result<Value> Value::fromJson(std::string_view text) {
  // Refused before parsing: the parser would first build the whole tree,
  // about a hundred bytes per bracket, before decode refuses its depth.
  // Each bracket level adds at least one level to decode, so nothing that
  // decode accepts is refused here.
  if (jsonNestsDeeperThan(text, kMaxJsonDepth + 1)) {
    return jsonError("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  Json json;
  try {
    json = Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    return jsonError(std::string("malformed JSON: ") + e.what());
  }
  return decode(json, 0);
}

}  // namespace vandrel::platform
