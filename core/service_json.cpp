#include "core/service_json.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace vandrel::core::service_json {

using platform::Value;

Value toValue(const nlohmann::json& json) {
  switch (json.type()) {
    case nlohmann::json::value_t::boolean:
      return Value(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return Value(json.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: {
      const auto value = json.get<std::uint64_t>();
      if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Value(static_cast<std::int64_t>(value));
      }
      return Value(static_cast<double>(value));
    }
    case nlohmann::json::value_t::number_float:
      return Value(json.get<double>());
    case nlohmann::json::value_t::string:
      return Value(json.get<std::string>());
    case nlohmann::json::value_t::array: {
      Value::Array array;
      array.reserve(json.size());
      for (const auto& element : json) array.push_back(toValue(element));
      return Value(std::move(array));
    }
    case nlohmann::json::value_t::object:
      return Value(toDictionary(json));
    default:
      return Value();
  }
}

Value::Dictionary toDictionary(const nlohmann::json& object) {
  Value::Dictionary dictionary;
  if (!object.is_object()) return dictionary;
  for (const auto& [key, element] : object.items()) dictionary.emplace(key, toValue(element));
  return dictionary;
}

nlohmann::json toJson(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::Bool:
      return *value.asBool();
    case Value::Type::Int:
      return *value.asInt();
    case Value::Type::Double:
      return *value.asDouble();
    case Value::Type::String:
      return *value.asString();
    case Value::Type::Data: {
      const Value::Data& bytes = *value.asData();
      return std::string(bytes.begin(), bytes.end());
    }
    case Value::Type::Date:
      return value.asDate()->secondsSince1970;
    case Value::Type::Array: {
      nlohmann::json array = nlohmann::json::array();
      for (const auto& element : *value.asArray()) array.push_back(toJson(element));
      return array;
    }
    case Value::Type::Dictionary: {
      nlohmann::json object = nlohmann::json::object();
      for (const auto& [key, element] : *value.asDictionary()) object[key] = toJson(element);
      return object;
    }
  }
  return nullptr;
}

namespace {

std::string doubleText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string formText(const Value& value) {
  switch (value.type()) {
    case Value::Type::Bool:
      return *value.asBool() ? "1" : "0";
    case Value::Type::Int:
      return std::to_string(*value.asInt());
    case Value::Type::Double:
      return doubleText(*value.asDouble());
    case Value::Type::String:
      return *value.asString();
    case Value::Type::Data: {
      const Value::Data& bytes = *value.asData();
      return std::string(bytes.begin(), bytes.end());
    }
    case Value::Type::Date:
      return doubleText(value.asDate()->secondsSince1970);
    default:
      return {};
  }
}

}  // namespace vandrel::core::service_json
