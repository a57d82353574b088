// The strict JSON layer and the records the service core decodes from the
// service's replies: whatever the text, parsing fails cleanly or gives a
// value that survives its own round trips, and every record that decodes
// encodes to text that decodes to the same record.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/account_records.h"
#include "core/catalogue_records.h"
#include "core/goods_records.h"
#include "core/line_item.h"
#include "core/region_records.h"
#include "core/service_json.h"
#include "platform/json.h"
#include "platform/value.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using nlohmann::json;
using vandrel::platform::Value;

// The typed reads agree with the value's own type, everywhere in the tree.
void checkTypedReads(const json& value) {
  namespace p = vandrel::platform;
  VANDREL_FUZZ_CHECK(p::readBool(value).has_value() == value.is_boolean(), value.dump());
  VANDREL_FUZZ_CHECK(p::readString(value).has_value() == value.is_string(), value.dump());
  VANDREL_FUZZ_CHECK(p::readDouble(value).has_value() == value.is_number(), value.dump());
  if (p::readInt64(value)) VANDREL_FUZZ_CHECK(value.is_number(), value.dump());
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    VANDREL_FUZZ_CHECK(p::readInt64(value) == value.get<std::int64_t>(), value.dump());
  }
  (void)p::describeJsonType(value);
  if (value.is_structured()) {
    for (const auto& element : value) checkTypedReads(element);
  }
}

// What `toJson` writes must come back from `fromJson` (compared as text:
// NaN is not equal to itself), as far as it nests no deeper than a value may.
void checkValueRoundTrip(const Value& value, std::string_view origin) {
  const std::string written = value.toJson();
  if (vandrel::platform::jsonNestsDeeperThan(written, Value::kMaxJsonDepth)) return;
  auto reread = Value::fromJson(written);
  VANDREL_FUZZ_CHECK(reread.ok(), std::string(origin) + " wrote JSON that does not read back: " +
                                      written + " / " +
                                      (reread.ok() ? "" : reread.error().message));
  VANDREL_FUZZ_CHECK(reread.value().toJson() == written, written);
}

// A record that decodes encodes to text that decodes again, and that text
// is a fixed point: the encoder and the decoder agree on every field.
template <typename T>
void checkRecord(std::string_view text, std::string_view name) {
  auto decoded = T::fromJsonText(text);
  if (!decoded.ok()) return;
  std::string encoded;
  if constexpr (requires { decoded.value()->toJsonText(); }) {
    VANDREL_FUZZ_CHECK(decoded.value() != nullptr, name);
    encoded = decoded.value()->toJsonText();
  } else {
    encoded = decoded.value().toJsonText();
  }
  auto again = T::fromJsonText(encoded);
  VANDREL_FUZZ_CHECK(again.ok(), std::string(name) + " encodes what it cannot decode: " + encoded);
  std::string reencoded;
  if constexpr (requires { again.value()->toJsonText(); }) {
    reencoded = again.value()->toJsonText();
  } else {
    reencoded = again.value().toJsonText();
  }
  VANDREL_FUZZ_CHECK(reencoded == encoded, std::string(name) + ": " + encoded + " -> " + reencoded);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::scratchHome();
  vandrel::fuzz::silenceStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace p = vandrel::platform;
  namespace core = vandrel::core;
  const std::string_view text = vandrel::fuzz::asText(data, size);

  auto parsed = p::parseJson(text);
  auto ordered = p::parseOrderedJson(text);
  VANDREL_FUZZ_CHECK(parsed.ok() == ordered.ok(), text);
  if (p::jsonNestsDeeperThan(text, p::kMaxJsonDepth)) VANDREL_FUZZ_CHECK(!parsed.ok(), text);
  if (parsed.ok()) {
    const json& value = parsed.value();
    checkTypedReads(value);
    // What we write reads back as the same value.
    const std::string compact = p::dumpJson(value);
    auto reread = p::parseJson(compact);
    VANDREL_FUZZ_CHECK(reread.ok() && reread.value() == value, compact);
    auto fromOrdered = p::parseJson(p::dumpJson(ordered.value(), 2));
    VANDREL_FUZZ_CHECK(fromOrdered.ok() && fromOrdered.value() == value, compact);
    // The service's replies as values: a request body and a stored copy.
    const Value asValue = core::service_json::toValue(value);
    checkValueRoundTrip(asValue, "service_json::toValue");
    (void)core::service_json::toJson(asValue);
    (void)core::service_json::formText(asValue);
  }

  auto value = Value::fromJson(text);
  if (value.ok()) {
    checkValueRoundTrip(value.value(), "Value::fromJson");
    auto indented = Value::fromJson(value.value().toJson(2));
    VANDREL_FUZZ_CHECK(indented.ok() && indented.value().toJson() == value.value().toJson(), text);
  }

  checkRecord<core::MiscInfoModel>(text, "MiscInfoModel");
  checkRecord<core::AccountModel>(text, "AccountModel");
  checkRecord<core::StaticDataModel>(text, "StaticDataModel");
  checkRecord<core::UrlSourceT>(text, "UrlSourceT");
  checkRecord<core::RuleModel>(text, "RuleModel");
  checkRecord<core::CallCodeModel>(text, "CallCodeModel");
  checkRecord<core::GoodsModel>(text, "GoodsModel");
  checkRecord<core::RegionsModel>(text, "RegionsModel");
  checkRecord<core::RegionsItem>(text, "RegionsItem");
  checkRecord<core::LineItem>(text, "LineItem");
  vandrel::fuzz::drainMainQueue();
  return 0;
}
