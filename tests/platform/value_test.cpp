#include "platform/value.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

namespace vandrel::platform {
namespace {

Value::Data allBytes() {
  Value::Data data;
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<std::uint8_t>(i));
  return data;
}

struct RoundTripCase {
  const char* name;
  Value value;
};

TEST(ValueTest, JsonRoundTripKeepsEveryTypeAndValue) {
  const RoundTripCase cases[] = {
      {"null", Value()},
      {"true", Value(true)},
      {"false", Value(false)},
      {"zero int", Value(0)},
      {"int max", Value(std::numeric_limits<std::int64_t>::max())},
      {"int min", Value(std::numeric_limits<std::int64_t>::min())},
      {"whole double", Value(5.0)},
      {"negative zero", Value(-0.0)},
      {"fraction", Value(0.1)},
      {"huge double", Value(1e300)},
      {"tiny double", Value(5e-324)},
      {"infinity", Value(std::numeric_limits<double>::infinity())},
      {"minus infinity", Value(-std::numeric_limits<double>::infinity())},
      {"string", Value("héllo \"quoted\"\n\t/:\\")},
      {"numeric string", Value("1")},
      {"empty string", Value("")},
      {"empty data", Value(Value::Data{})},
      {"one byte", Value(Value::Data{0xff})},
      {"two bytes", Value(Value::Data{0x00, 0x10})},
      {"all bytes", Value(allBytes())},
      {"date", Value(Date{1700000000.25})},
      {"date before 1970", Value(Date{-86400.5})},
      {"infinite date", Value(Date{std::numeric_limits<double>::infinity()})},
      {"minus infinite date", Value(Date{-std::numeric_limits<double>::infinity()})},
      {"empty array", Value(Value::Array{})},
      {"mixed array", Value(Value::Array{1, 1.0, "1", true, Value(), Value(Date{3})})},
      {"empty dictionary", Value(Value::Dictionary{})},
      {"nested", Value(Value::Dictionary{{"a/b:c", Value::Array{Value::Dictionary{{"x", 2}}}},
                                         {"bytes", Value::Data{1, 2, 3}}})},
      {"dictionary using the tag key",
       Value(Value::Dictionary{{"$type", "data"}, {"value", "AAAA"}})},
      {"nested tag key", Value(Value::Array{Value::Dictionary{{"$type", Value::Dictionary{
                                                                             {"$type", 1}}}}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (int indent : {-1, 2}) {
      const std::string text = c.value.toJson(indent);
      Result<Value> back = Value::fromJson(text);
      ASSERT_TRUE(back.ok()) << text << ": " << back.error().message;
      EXPECT_EQ(back.value().type(), c.value.type()) << text;
      EXPECT_EQ(back.value(), c.value) << text;
    }
  }
}

TEST(ValueTest, NanSurvivesAsADouble) {
  Result<Value> back = Value::fromJson(Value(std::nan("")).toJson());
  ASSERT_TRUE(back.ok());
  ASSERT_TRUE(back.value().asDouble().has_value());
  EXPECT_TRUE(std::isnan(*back.value().asDouble()));
}

TEST(ValueTest, NanDateSurvivesAsADate) {
  Result<Value> back = Value::fromJson(Value(Date{std::nan("")}).toJson());
  ASSERT_TRUE(back.ok()) << back.error().message;
  ASSERT_TRUE(back.value().asDate().has_value());
  EXPECT_TRUE(std::isnan(back.value().asDate()->secondsSince1970));
}

TEST(ValueTest, AccessorsAreTypeExact) {
  const Value values[] = {Value(), Value(true),          Value(1),           Value(1.0),
                          Value("1"), Value(Value::Data{1}), Value(Date{1}), Value(Value::Array{1}),
                          Value(Value::Dictionary{{"1", 1}})};
  for (const Value& v : values) {
    SCOPED_TRACE(v.toJson());
    const auto type = v.type();
    EXPECT_EQ(v.isNull(), type == Value::Type::Null);
    EXPECT_EQ(v.asBool().has_value(), type == Value::Type::Bool);
    EXPECT_EQ(v.asInt().has_value(), type == Value::Type::Int);
    EXPECT_EQ(v.asDouble().has_value(), type == Value::Type::Double);
    EXPECT_EQ(v.asString() != nullptr, type == Value::Type::String);
    EXPECT_EQ(v.asData() != nullptr, type == Value::Type::Data);
    EXPECT_EQ(v.asDate().has_value(), type == Value::Type::Date);
    EXPECT_EQ(v.asArray() != nullptr, type == Value::Type::Array);
    EXPECT_EQ(v.asDictionary() != nullptr, type == Value::Type::Dictionary);
    EXPECT_EQ(v.asNumber().has_value(),
              type == Value::Type::Int || type == Value::Type::Double);
  }
  // Construction picks the type a reader expects.
  EXPECT_EQ(Value("text").type(), Value::Type::String);  // not bool
  EXPECT_EQ(Value(std::uint16_t{7}).asInt(), 7);
  EXPECT_EQ(Value(7.5f).asDouble(), 7.5);
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_NE(Value(1), Value(true));
}

TEST(ValueTest, PlainJsonNumbersMapToIntOrDouble) {
  struct Case {
    const char* json;
    Value expected;
  };
  const Case cases[] = {
      {"5", Value(5)},
      {"-5", Value(-5)},
      {"5.0", Value(5.0)},
      {"1e3", Value(1000.0)},
      {"9223372036854775807", Value(std::numeric_limits<std::int64_t>::max())},
      {"9223372036854775808", Value(9223372036854775808.0)},
      {"-9223372036854775809", Value(-9223372036854775809.0)},
      {"true", Value(true)},
      {"{\"CFBundleIdentifier\":\"com.x\",\"n\":[1,2.5]}",
       Value(Value::Dictionary{{"CFBundleIdentifier", "com.x"}, {"n", Value::Array{1, 2.5}}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    Result<Value> parsed = Value::fromJson(c.json);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    EXPECT_EQ(parsed.value(), c.expected);
  }
}

TEST(ValueTest, BadInputIsAClearError) {
  struct Case {
    const char* name;
    std::string json;
    const char* messagePart;
  };
  const Case cases[] = {
      {"empty", "", "malformed JSON"},
      {"truncated", "{\"a\": [1, 2", "malformed JSON"},
      {"trailing garbage", "{} x", "malformed JSON"},
      {"invalid UTF-8", "\"\xff\xfe\"", "malformed JSON"},
      {"unknown tag", R"({"$type": "blob", "value": 1})", "unknown \"$type\" \"blob\""},
      {"tag without value", R"({"$type": "data"})", "exactly"},
      {"tag with extra key", R"({"$type": "date", "value": 1, "x": 2})", "exactly"},
      {"bad base64", R"({"$type": "data", "value": "A$=="})", "base64"},
      {"base64 length", R"({"$type": "data", "value": "AAA"})", "base64"},
      {"date as string", R"({"$type": "date", "value": "yesterday"})", "tagged double"},
      {"too deep", std::string(100000, '[') + std::string(100000, ']'), "nesting deeper"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Result<Value> parsed = Value::fromJson(c.json);
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().message.find(c.messagePart), std::string::npos)
        << parsed.error().message;
  }
}

// Bytes of address space the process has reserved so far.
std::size_t addressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Parses `text` with 256 MiB more address space than in use, and exits 0
// when it is refused for its nesting.
[[noreturn]] void parseWithBoundedMemory(const std::string& text) {
  const std::size_t limit = addressSpaceInUse() + (std::size_t{256} << 20);
  const rlimit space{limit, limit};
  if (::setrlimit(RLIMIT_AS, &space) != 0) std::_Exit(2);
  Result<Value> parsed = Value::fromJson(text);
  const bool refused =
      !parsed.ok() && parsed.error().message.find("nesting deeper") != std::string::npos;
  std::_Exit(refused ? 0 : 1);
}

TEST(ValueDeathTest, DeepNestingIsRefusedBeforeTheParserBuildsIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Built as a tree first, this would take gigabytes.
  const std::string deep(std::size_t{16} << 20, '[');
  EXPECT_EXIT(parseWithBoundedMemory(deep), testing::ExitedWithCode(0), "");
}

TEST(ValueTest, InvalidUtf8InAStringIsReplacedWhenWritten) {
  const std::string text = Value(std::string("a\xff" "b")).toJson();
  Result<Value> back = Value::fromJson(text);
  ASSERT_TRUE(back.ok()) << text;
  EXPECT_EQ(*back.value().asString(), "a\xEF\xBF\xBD" "b");
}

TEST(ValueTest, DateConvertsToAndFromWallTime) {
  const WallTime t = WallTime{} + std::chrono::milliseconds(1700000000123);
  const Value v(t);
  ASSERT_TRUE(v.asDate().has_value());
  EXPECT_DOUBLE_EQ(v.asDate()->secondsSince1970, 1700000000.123);
  EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(
                v.asDate()->toWallTime().time_since_epoch()),
            std::chrono::milliseconds(1700000000123));
  // Far outside the wall clock's range it clamps instead of overflowing.
  EXPECT_GT(Date{1e300}.toWallTime(), WallTime{} + std::chrono::hours(24 * 365 * 200));
  EXPECT_EQ(Date{std::nan("")}.toWallTime(), WallTime{});
}

TEST(ValueTest, FindLooksUpDictionaryMembersOnly) {
  const Value dict(Value::Dictionary{{"a", 1}});
  ASSERT_NE(dict.find("a"), nullptr);
  EXPECT_EQ(dict.find("a")->asInt(), 1);
  EXPECT_EQ(dict.find("b"), nullptr);
  EXPECT_EQ(Value(Value::Array{1}).find("a"), nullptr);
}

}  // namespace
}  // namespace vandrel::platform
