#include "platform/json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace vandrel::platform {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

json mustParse(std::string_view text) {
  auto parsed = parseJson(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? std::move(parsed).value() : json();
}

TEST(JsonTest, IntegerRuleTable) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  struct Case {
    const char* text;
    std::optional<std::int64_t> integer;
  };
  const Case cases[] = {
      {"5", 5},
      {"5.0", 5},
      {"1e3", 1000},
      {"-1E3", -1000},
      {"4.2e1", 42},
      {"-0", 0},
      {"-0.0", 0},
      {"5.5", std::nullopt},
      {"1e-3", std::nullopt},
      {"1e300", std::nullopt},
      {"9223372036854775807", kMax},
      {"9223372036854775808", std::nullopt},
      {"9223372036854775807.0", std::nullopt},  // the double is 2^63
      {"18446744073709551615", std::nullopt},
      {"18446744073709551616", std::nullopt},
      {"-9223372036854775808", kMin},
      {"-9223372036854775809", std::nullopt},
      {"1e18", 1000000000000000000},
      {"true", std::nullopt},
      {"false", std::nullopt},
      {"\"5\"", std::nullopt},
      {"null", std::nullopt},
      {"[5]", std::nullopt},
      {"{\"a\":5}", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(readInt64(mustParse(c.text)), c.integer);
    auto ordered = parseOrderedJson(c.text);
    ASSERT_TRUE(ordered.ok());
    EXPECT_EQ(readInt64(ordered.value()), c.integer);
  }
}

TEST(JsonTest, BoolStringAndDoubleAreExact) {
  struct Case {
    const char* text;
    std::optional<bool> boolean;
    std::optional<std::string> string;
    std::optional<double> number;
  };
  const Case cases[] = {
      {"true", true, std::nullopt, std::nullopt},
      {"false", false, std::nullopt, std::nullopt},
      {"1", std::nullopt, std::nullopt, 1.0},
      {"0", std::nullopt, std::nullopt, 0.0},
      {"5.5", std::nullopt, std::nullopt, 5.5},
      {"-9223372036854775808", std::nullopt, std::nullopt, -9223372036854775808.0},
      {"18446744073709551615", std::nullopt, std::nullopt, 18446744073709551615.0},
      {"\"true\"", std::nullopt, "true", std::nullopt},
      {"\"5\"", std::nullopt, "5", std::nullopt},
      {"\"\"", std::nullopt, "", std::nullopt},
      {"null", std::nullopt, std::nullopt, std::nullopt},
      {"[]", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const json value = mustParse(c.text);
    EXPECT_EQ(readBool(value), c.boolean);
    EXPECT_EQ(readString(value), c.string);
    EXPECT_EQ(readDouble(value), c.number);
  }
}

TEST(JsonTest, MalformedTextIsAnErrorNotAnException) {
  const std::string tooDeep = std::string(100000, '[') + std::string(100000, ']');
  const std::string deepInsideString = "\"" + std::string(10000, '[') + "\"";
  const char* cases[] = {
      "",           "   ",        "{",           "[1,]",       "{'a':1}",   "{\"a\" 1}",
      "1 2",        "nul",        "[1e400]",     "01",         "NaN",       "/* note */ 1",
      "\"\xff\"",   "\"a\nb\"",   "\"\\x41\"",   "[\"\\ud800\"]",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    std::optional<Result<json>> parsed;
    EXPECT_NO_THROW(parsed.emplace(parseJson(text)));
    ASSERT_FALSE(parsed->ok());
    EXPECT_EQ(parsed->error().domain, "vandrel.json");
    EXPECT_EQ(parsed->error().code, kJsonMalformed);
    EXPECT_TRUE(parsed->error().message.starts_with("malformed JSON: ")) << parsed->error().message;
    EXPECT_EQ(parsed->error().message.find("[json.exception"), std::string::npos);
  }

  auto deep = parseJson(tooDeep);
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.error().message, "malformed JSON: nested deeper than 512 levels");
  // Brackets inside a string are text, and 512 levels are still fine.
  EXPECT_TRUE(parseJson(deepInsideString).ok());
  EXPECT_TRUE(parseJson(std::string(512, '[') + std::string(512, ']')).ok());
}

TEST(JsonTest, DumpReplacesInvalidUtf8AndKeepsValidText) {
  json value = {{"bad", std::string("a\xff" "b\xc3")}, {"good", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac"}};
  std::string text;
  ASSERT_NO_THROW(text = dumpJson(value));
  EXPECT_EQ(text, "{\"bad\":\"a\xef\xbf\xbd" "b\xef\xbf\xbd\",\"good\":\"\xc3\xa9t\xc3\xa9 \xe2\x82\xac\"}");
  EXPECT_TRUE(parseJson(text).ok());
}

TEST(JsonTest, OrderedOutputKeepsInsertionOrder) {
  ordered_json value = ordered_json::object();
  value["zeta"] = 1;
  value["alpha"] = ordered_json::array({true, nullptr});
  value["mid"] = {{"y", 2}, {"x", 3}};
  EXPECT_EQ(dumpJson(value), R"({"zeta":1,"alpha":[true,null],"mid":{"y":2,"x":3}})");
  EXPECT_EQ(dumpJson(value, 1), "{\n \"zeta\": 1,\n \"alpha\": [\n  true,\n  null\n ],\n"
                                " \"mid\": {\n  \"y\": 2,\n  \"x\": 3\n }\n}");
  auto reread = parseOrderedJson(dumpJson(value));
  ASSERT_TRUE(reread.ok());
  EXPECT_EQ(dumpJson(reread.value()), dumpJson(value));
}

// A record of the shape the service core decodes: one required field, the
// scalar kinds, a list, a nested record and a list of records.
struct Item {
  std::optional<std::string> name;
};

struct Record {
  std::string id;
  std::optional<std::int64_t> count;
  std::optional<bool> flag;
  std::optional<double> price;
  std::optional<std::vector<std::string>> tags;
  std::optional<Item> item;
  std::optional<std::vector<Item>> items;
  std::optional<std::int32_t> small;
};

Result<Item> decodeItem(const json& value) {
  JsonObjectReader r(value);
  Item item;
  item.name = r.optional<std::string>("name");
  if (!r.ok()) return r.error();
  return item;
}

json encodeItem(const Item& item) {
  json out = json::object();
  putOptional(out, "name", item.name);
  return out;
}

Result<Record> decodeRecord(const json& value) {
  JsonObjectReader r(value);
  Record record;
  record.id = r.required<std::string>("id");
  record.count = r.optional<std::int64_t>("count");
  record.flag = r.optional<bool>("flag");
  record.price = r.optional<double>("price");
  record.tags = r.optional<std::vector<std::string>>("tags");
  record.item = r.optional<Item>("item", decodeItem);
  record.items = r.optionalList<Item>("items", decodeItem);
  record.small = r.optional<std::int32_t>("small");
  if (!r.ok()) return r.error();
  return record;
}

json encodeRecord(const Record& record) {
  json out = json::object();
  out["id"] = record.id;
  putOptional(out, "count", record.count);
  putOptional(out, "flag", record.flag);
  putOptional(out, "price", record.price);
  putOptional(out, "tags", record.tags);
  putOptional(out, "item", record.item, encodeItem);
  putOptionalList(out, "items", record.items, encodeItem);
  putOptional(out, "small", record.small);
  return out;
}

TEST(JsonObjectReaderTest, DecodeRuleTable) {
  struct Case {
    const char* text;
    std::int64_t code;  // 0 = decodes
    const char* message;
  };
  const Case cases[] = {
      {R"({"id":"a"})", 0, ""},
      {R"({"id":"a","count":null,"flag":null,"price":null,"tags":null,"item":null,"items":null})",
       0, ""},
      {R"({"id":"a","count":5.0,"flag":false,"price":5,"tags":[],"item":{},"items":[{}],"x":1})",
       0, ""},
      {R"({})", kJsonMissingValue, R"(key "id": required value missing)"},
      {R"({"id":null})", kJsonMissingValue, R"(key "id": required value missing)"},
      {R"({"ID":"a"})", kJsonMissingValue, R"(key "id": required value missing)"},
      {R"({"id":5})", kJsonWrongType, R"(key "id": expected a string, found the number 5)"},
      {R"({"id":"a","count":"5"})", kJsonWrongType,
       R"(key "count": expected a 64-bit integer, found a string)"},
      {R"({"id":"a","count":5.5})", kJsonWrongType,
       R"(key "count": expected a 64-bit integer, found the number 5.5)"},
      {R"({"id":"a","count":true})", kJsonWrongType,
       R"(key "count": expected a 64-bit integer, found a boolean)"},
      {R"({"id":"a","flag":1})", kJsonWrongType,
       R"(key "flag": expected a boolean, found the number 1)"},
      {R"({"id":"a","flag":"true"})", kJsonWrongType,
       R"(key "flag": expected a boolean, found a string)"},
      {R"({"id":"a","price":true})", kJsonWrongType,
       R"(key "price": expected a number, found a boolean)"},
      {R"({"id":"a","tags":"x"})", kJsonWrongType,
       R"(key "tags": expected an array, found a string)"},
      {R"({"id":"a","tags":["x",null]})", kJsonWrongType,
       R"(key "tags": element 1: expected a string, found null)"},
      {R"({"id":"a","item":[]})", kJsonWrongType,
       R"(key "item": expected an object, found an array)"},
      {R"({"id":"a","item":{"name":5}})", kJsonWrongType,
       R"(key "item": key "name": expected a string, found the number 5)"},
      {R"({"id":"a","items":[{"name":"p"},null]})", kJsonWrongType,
       R"(key "items": element 1: expected a value, found null)"},
      {R"({"id":"a","items":[{"name":"p"},{"name":3}]})", kJsonWrongType,
       R"(key "items": element 1: key "name": expected a string, found the number 3)"},
      {R"({"id":"a","items":{}})", kJsonWrongType,
       R"(key "items": expected an array, found an object)"},
      {R"({"id":"a","small":2147483648})", kJsonWrongType,
       R"(key "small": expected an integer in range, found the number 2147483648)"},
      // The first failure in declaration order wins.
      {R"({"flag":1,"count":"x"})", kJsonMissingValue, R"(key "id": required value missing)"},
      {R"({"id":"a","flag":1,"count":"x"})", kJsonWrongType,
       R"(key "count": expected a 64-bit integer, found a string)"},
      {R"([])", kJsonWrongType, "expected an object, found an array"},
      {R"(null)", kJsonWrongType, "expected an object, found null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto decoded = decodeRecord(mustParse(c.text));
    if (c.code == 0) {
      EXPECT_TRUE(decoded.ok()) << decoded.error().message;
      continue;
    }
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().domain, "vandrel.json");
    EXPECT_EQ(decoded.error().code, c.code);
    EXPECT_EQ(decoded.error().message, c.message);
  }
}

TEST(JsonObjectReaderTest, NullAndAbsentLeaveOptionalsUnsetAndEncodeLeavesThemOut) {
  const auto decoded =
      decodeRecord(mustParse(R"({"id":"a","count":null,"item":{"name":null},"extra":[1]})"));
  ASSERT_TRUE(decoded.ok());
  const Record& r = decoded.value();
  EXPECT_EQ(r.id, "a");
  EXPECT_FALSE(r.count || r.flag || r.price || r.tags || r.items || r.small);
  ASSERT_TRUE(r.item.has_value());
  EXPECT_FALSE(r.item->name.has_value());
  // No null is written and the unknown key is not carried.
  EXPECT_EQ(dumpJson(encodeRecord(r)), R"({"id":"a","item":{}})");
}

TEST(JsonObjectReaderTest, EncodedRecordDecodesToTheSameValues) {
  Record record;
  record.id = "x\"y";
  record.count = std::numeric_limits<std::int64_t>::min();
  record.flag = false;
  record.price = 0.1;
  record.tags = std::vector<std::string>{"", "\xc3\xa9"};
  record.item = Item{"n"};
  record.items = std::vector<Item>{Item{}, Item{"m"}};
  record.small = -7;

  const auto back = decodeRecord(mustParse(dumpJson(encodeRecord(record))));
  ASSERT_TRUE(back.ok()) << back.error().message;
  const Record& r = back.value();
  EXPECT_EQ(r.id, record.id);
  EXPECT_EQ(r.count, record.count);
  EXPECT_EQ(r.flag, record.flag);
  EXPECT_EQ(r.price, record.price);
  EXPECT_EQ(r.tags, record.tags);
  ASSERT_TRUE(r.item && r.items);
  EXPECT_EQ(r.item->name, "n");
  ASSERT_EQ(r.items->size(), 2u);
  EXPECT_FALSE((*r.items)[0].name.has_value());
  EXPECT_EQ((*r.items)[1].name, "m");
  EXPECT_EQ(r.small, -7);
}

TEST(JsonObjectReaderTest, RequiredRecordsAndListsAndOrderedObjects) {
  const ordered_json object = ordered_json::parse(R"({"one":{"name":"a"},"many":[{"name":"b"}]})");
  OrderedJsonObjectReader r(object);
  auto decodeOrderedItem = [](const ordered_json& value) -> Result<Item> {
    OrderedJsonObjectReader inner(value);
    Item item;
    item.name = inner.required<std::string>("name");
    if (!inner.ok()) return inner.error();
    return item;
  };
  const Item one = r.required<Item>("one", decodeOrderedItem);
  const std::vector<Item> many = r.requiredList<Item>("many", decodeOrderedItem);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(one.name, "a");
  ASSERT_EQ(many.size(), 1u);
  EXPECT_EQ(many[0].name, "b");

  // After the first failure every read is empty and the error stays.
  const std::vector<Item> missing = r.requiredList<Item>("none", decodeOrderedItem);
  EXPECT_TRUE(missing.empty());
  EXPECT_FALSE(r.optional<Item>("one", decodeOrderedItem).has_value());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, R"(key "none": required value missing)");
}

}  // namespace
}  // namespace vandrel::platform
