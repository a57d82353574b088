#include "platform/json.h"

#include <cmath>
#include <string_view>

namespace vandrel::platform {

bool jsonNestsDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

namespace {

// nlohmann's messages start with "[json.exception.parse_error.101] ": the
// rest is the readable part.
std::string withoutExceptionTag(const char* what) {
  std::string_view text(what);
  if (text.starts_with('[')) {
    const auto end = text.find("] ");
    if (end != std::string_view::npos) text.remove_prefix(end + 2);
  }
  return std::string(text);
}

template <JsonValue J>
Result<J> parse(std::string_view text) {
  if (jsonNestsDeeperThan(text, kMaxJsonDepth)) {
    return jsonError(kJsonMalformed, "malformed JSON: nested deeper than " +
                                         std::to_string(kMaxJsonDepth) + " levels");
  }
  try {
    return J::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/true,
                    /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& e) {
    return jsonError(kJsonMalformed, "malformed JSON: " + withoutExceptionTag(e.what()));
  }
}

template <JsonValue J>
std::string dump(const J& value, int indent) {
  return value.dump(indent, ' ', /*ensure_ascii=*/false, J::error_handler_t::replace);
}

// 2^63 as a double, exactly.
constexpr double kTwoTo63 = 9223372036854775808.0;

}  // namespace

Result<nlohmann::json> parseJson(std::string_view text) { return parse<nlohmann::json>(text); }
Result<nlohmann::ordered_json> parseOrderedJson(std::string_view text) {
  return parse<nlohmann::ordered_json>(text);
}

std::string dumpJson(const nlohmann::json& value, int indent) { return dump(value, indent); }
std::string dumpJson(const nlohmann::ordered_json& value, int indent) {
  return dump(value, indent);
}

// nlohmann keeps a number in one of three forms, and the integer rule reads
// each by what it can hold:
// - signed (negative integer literals, -9223372036854775808 included): always fits;
// - unsigned (non-negative integer literals up to 2^64-1): fits up to 2^63-1;
// - float (literals with a fraction or exponent, and integer literals too
//   large for both integer forms): integral and strictly between -2^63 and
//   2^63. The lower bound is open because the parser turns
//   -9223372036854775809 into the float -2^63; -2^63 written as an integer
//   arrives signed and is kept. Beyond 2^53 a float holds only an
//   approximation of the literal, which is read as written to the double.
template <JsonValue J>
std::optional<std::int64_t> readInt64(const J& value) {
  switch (value.type()) {
    case J::value_t::number_integer:
      return value.template get<std::int64_t>();
    case J::value_t::number_unsigned: {
      const auto v = value.template get<std::uint64_t>();
      if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(v);
    }
    case J::value_t::number_float: {
      const double v = value.template get<double>();
      if (!std::isfinite(v) || std::trunc(v) != v || v <= -kTwoTo63 || v >= kTwoTo63) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(v);
    }
    default:
      return std::nullopt;
  }
}

template <JsonValue J>
std::optional<bool> readBool(const J& value) {
  if (!value.is_boolean()) return std::nullopt;
  return value.template get<bool>();
}

template <JsonValue J>
std::optional<std::string> readString(const J& value) {
  if (!value.is_string()) return std::nullopt;
  return value.template get<std::string>();
}

template <JsonValue J>
std::optional<double> readDouble(const J& value) {
  if (!value.is_number()) return std::nullopt;  // is_number() is false for booleans
  return value.template get<double>();
}

template <JsonValue J>
std::string describeJsonType(const J& value) {
  switch (value.type()) {
    case J::value_t::null:
      return "null";
    case J::value_t::boolean:
      return "a boolean";
    case J::value_t::number_integer:
    case J::value_t::number_unsigned:
    case J::value_t::number_float:
      return "the number " + value.dump();  // short, and tells 5.5 from 5
    case J::value_t::string:
      return "a string";
    case J::value_t::array:
      return "an array";
    case J::value_t::object:
      return "an object";
    default:
      return "an unsupported value";
  }
}

Error jsonError(std::int64_t code, std::string message) {
  return Error{std::string(kJsonErrorDomain), code, std::move(message)};
}

Error wrapJsonError(std::string_view context, const Error& inner) {
  return Error{inner.domain, inner.code, std::string(context) + ": " + inner.message};
}

#define VANDREL_INSTANTIATE_JSON_READERS(J)                             \
  template std::optional<std::int64_t> readInt64<J>(const J&);          \
  template std::optional<bool> readBool<J>(const J&);                   \
  template std::optional<std::string> readString<J>(const J&);          \
  template std::optional<double> readDouble<J>(const J&);               \
  template std::string describeJsonType<J>(const J&);

VANDREL_INSTANTIATE_JSON_READERS(nlohmann::json)
VANDREL_INSTANTIATE_JSON_READERS(nlohmann::ordered_json)
#undef VANDREL_INSTANTIATE_JSON_READERS

}  // namespace vandrel::platform
