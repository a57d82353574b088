#pragma once

// Conversions between the JSON of the service API and platform::Value.
// Include from .cpp files only (it pulls in nlohmann through
// platform/json.h).

#include <string>

#include "platform/json.h"
#include "platform/value.h"

namespace vandrel::core::service_json {

// A JSON value as a Value: integers that fit in 64 signed bits stay
// integers, every other number is a double. No key has a special meaning
// (unlike Value::fromJson, which reads "$type" objects).
platform::Value toValue(const nlohmann::json& json);
platform::Value::Dictionary toDictionary(const nlohmann::json& object);

// A Value as JSON for a request body. Bytes become a string of those
// bytes, a date its seconds since 1970.
nlohmann::json toJson(const platform::Value& value);

// The text a value has as a URL-form field: integers in decimal, doubles
// shortest (always with a fraction or an exponent, "2.0"), booleans "1" or
// "0", null the empty text.
std::string formText(const platform::Value& value);

}  // namespace vandrel::core::service_json
