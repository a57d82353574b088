#include "analytics/tally/tly_attribute_dictionary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace vandrel::analytics {
namespace {

using platform::Value;
using Outcome = TLYAttributeOutcome;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

class TLYAttributeDictionaryTest : public testing::Test {
 protected:
  TLYSystemLog sink() {
    return [this](std::string_view line) { lines_.emplace_back(line); };
  }
  int linesContaining(std::string_view text) const {
    int n = 0;
    for (const auto& line : lines_) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }

  std::vector<std::string> lines_;
};

std::string repeat(std::string_view chunk, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out.append(chunk);
  return out;
}

struct AddCase {
  const char* name;
  std::optional<Value> value;
  std::optional<Value> key;
  Outcome outcome;
  // Under which key and as what the value is stored, when it is.
  std::optional<std::string> storedKey;
  std::optional<Value> storedValue;
  // The one message logged ("" = none).
  std::string message;
};

// Every kind of input a caller or a bridge may hand in, one rule each.
TEST_F(TLYAttributeDictionaryTest, AddAttributeGivesAClearOutcomeForEveryKindOfInput) {
  const std::string k150 = repeat("k", 150);
  const std::string v150 = repeat("v", 150);
  const std::string huge = repeat("x", 10 * 1024 * 1024);
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 code units
  const std::string han = "\xE6\xBC\xA2";        // one code unit, three bytes
  const char* truncated = "[Tally] Maximum length for an Event attributes exceeded. Truncating to 100 characters.";
  const std::vector<AddCase> cases = {
      {"string", Value("v"), Value("k"), Outcome::Stored, "k", Value("v"), ""},
      {"empty strings", Value(""), Value(""), Outcome::Stored, "", Value(""), ""},
      {"integer", Value(42), Value("k"), Outcome::Stored, "k", Value(42), ""},
      {"double", Value(1.5), Value("k"), Outcome::Stored, "k", Value(1.5), ""},
      {"bool is a number", Value(true), Value("k"), Outcome::Stored, "k", Value(true), ""},
      {"embedded NUL", Value(std::string("a\0b", 3)), Value("k"), Outcome::Stored, "k",
       Value(std::string("a\0b", 3)), ""},
      {"no value", std::nullopt, Value("k"), Outcome::IgnoredMissing, {}, {}, ""},
      {"no key", Value("v"), std::nullopt, Outcome::IgnoredMissing, {}, {}, ""},
      {"number key", Value("v"), Value(7), Outcome::KeyNotString, {}, {},
       "[Tally] Event attribute keys must be of type NSString. Ignoring entry 7:v"},
      {"null key", Value("v"), Value(nullptr), Outcome::KeyNotString, {}, {},
       "[Tally] Event attribute keys must be of type NSString. Ignoring entry null:v"},
      {"date value", Value(platform::Date{0}), Value("when"), Outcome::ValueWrongType, {}, {},
       "[Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry when:"},
      {"null value", Value(nullptr), Value("k"), Outcome::ValueWrongType, {}, {},
       "[Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry k:null"},
      {"array value", Value(Value::Array{Value(1)}), Value("k"), Outcome::ValueWrongType, {}, {},
       "Ignoring entry k:[1]"},
      {"dictionary value", Value(Value::Dictionary{{"a", Value(1)}}), Value("k"),
       Outcome::ValueWrongType, {}, {}, "Ignoring entry k:{\"a\":1}"},
      {"data value", Value(Value::Data{1, 2}), Value("k"), Outcome::ValueWrongType, {}, {},
       "must be of type NSString or NSNumber"},
      {"stray byte in key", Value("v"), Value("a\xFF"), Outcome::NotUTF8, {}, {},
       "[Tally] Event attribute keys and values must be valid UTF-8. Ignoring entry a\xEF\xBF\xBD:v"},
      {"cut sequence in value", Value("\xE2\x82"), Value("k"), Outcome::NotUTF8, {}, {},
       "must be valid UTF-8"},
      {"overlong form", Value("\xC0\xAF"), Value("k"), Outcome::NotUTF8, {}, {}, "must be valid UTF-8"},
      {"encoded surrogate", Value("\xED\xA0\x80"), Value("k"), Outcome::NotUTF8, {}, {},
       "must be valid UTF-8"},
      {"beyond U+10FFFF", Value("\xF4\x90\x80\x80"), Value("k"), Outcome::NotUTF8, {}, {},
       "must be valid UTF-8"},
      {"infinity", Value(kInf), Value("k"), Outcome::NotFinite, {}, {},
       "[Tally] Event attribute values must be finite numbers. Ignoring entry k:inf"},
      {"minus infinity", Value(-kInf), Value("k"), Outcome::NotFinite, {}, {}, "must be finite"},
      {"NaN without an entry", Value(kNaN), Value("k"), Outcome::Removed, {}, {}, ""},
      {"long key", Value("v"), Value(k150), Outcome::StoredTruncated, repeat("k", 100), Value("v"),
       truncated},
      {"long value", Value(v150), Value("k"), Outcome::StoredTruncated, "k", Value(repeat("v", 100)),
       truncated},
      {"exactly 100", Value(repeat("v", 100)), Value("k"), Outcome::Stored, "k",
       Value(repeat("v", 100)), ""},
      {"huge value", Value(huge), Value("k"), Outcome::StoredTruncated, "k", Value(repeat("x", 100)),
       truncated},
      {"three-byte characters count once", Value(repeat(han, 101)), Value("k"),
       Outcome::StoredTruncated, "k", Value(repeat(han, 100)), truncated},
      {"a pair is never split", Value(repeat("a", 99) + emoji), Value("k"), Outcome::StoredTruncated,
       "k", Value(repeat("a", 99)), truncated},
      {"a pair that fits stays", Value(repeat("a", 98) + emoji), Value("k"), Outcome::Stored, "k",
       Value(repeat("a", 98) + emoji), ""},
  };
  for (const AddCase& c : cases) {
    SCOPED_TRACE(c.name);
    lines_.clear();
    TLYAttributeDictionary attributes(sink());
    EXPECT_EQ(attributes.addAttribute(c.value, c.key), c.outcome);
    if (c.storedKey) {
      ASSERT_EQ(attributes.count(), 1u);
      const auto it = attributes.dictionaryRepresentation().find(*c.storedKey);
      ASSERT_NE(it, attributes.dictionaryRepresentation().end());
      EXPECT_EQ(it->second, *c.storedValue);
    } else {
      EXPECT_EQ(attributes.count(), 0u);
    }
    if (c.message.empty()) {
      EXPECT_TRUE(lines_.empty()) << lines_.front();
    } else {
      ASSERT_EQ(lines_.size(), 1u);
      EXPECT_NE(lines_[0].find(c.message), std::string::npos) << lines_[0];
    }
  }
}

TEST_F(TLYAttributeDictionaryTest, RefusalMessagesStayShortForHugeEntries) {
  TLYAttributeDictionary attributes(sink());
  EXPECT_EQ(attributes.addAttribute(Value(repeat("v", 1 << 20)), Value(repeat("\xFF", 1 << 20))),
            Outcome::NotUTF8);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_LT(lines_[0].size(), 1000u);
  EXPECT_NE(lines_[0].find("...:vvv"), std::string::npos);
}

TEST_F(TLYAttributeDictionaryTest, TwentyFiveCustomAttributesKeepTwentyOne) {
  TLYAttributeEntries entries;
  for (int i = 0; i < 25; ++i) entries.emplace_back(Value("key" + std::to_string(i)), Value(i));
  TLYAttributeDictionary attributes(entries, sink());
  EXPECT_EQ(attributes.count(), 21u);
  // Entries are offered in order: the first 21 are kept.
  EXPECT_EQ(attributes.dictionaryRepresentation().count("key20"), 1u);
  EXPECT_EQ(attributes.dictionaryRepresentation().count("key21"), 0u);
  EXPECT_EQ(linesContaining("[Tally] Maximum number of Event attributes exceeded. Ignoring entry "), 4);
  EXPECT_EQ(linesContaining("Ignoring entry key24:24"), 1);
}

TEST_F(TLYAttributeDictionaryTest, ReplacementIsRefusedOnlyOnceTwentyOneAreStored) {
  TLYAttributeDictionary attributes(sink());
  for (int i = 0; i < 20; ++i) attributes.addAttribute(Value(i), Value("k" + std::to_string(i)));
  EXPECT_EQ(attributes.addAttribute(Value("new"), Value("k0")), Outcome::Stored);
  EXPECT_EQ(attributes.dictionaryRepresentation().at("k0"), Value("new"));
  EXPECT_EQ(attributes.addAttribute(Value(20), Value("k20")), Outcome::Stored);
  EXPECT_EQ(attributes.addAttribute(Value("again"), Value("k0")), Outcome::TooManyAttributes);
  EXPECT_EQ(attributes.dictionaryRepresentation().at("k0"), Value("new"));
  // Even removal by NaN is refused at the limit: the count test comes first.
  EXPECT_EQ(attributes.addAttribute(Value(kNaN), Value("k1")), Outcome::TooManyAttributes);
  EXPECT_EQ(attributes.count(), 21u);
}

TEST_F(TLYAttributeDictionaryTest, NaNRemovesAnEarlierAttributeOfTheSameKey) {
  TLYAttributeDictionary attributes(sink());
  attributes.addAttribute(Value("v"), Value("k"));
  attributes.addAttribute(Value("w"), Value("other"));
  EXPECT_EQ(attributes.addAttribute(Value(kNaN), Value("k")), Outcome::Removed);
  EXPECT_EQ(attributes.dictionaryRepresentation(), (Value::Dictionary{{"other", Value("w")}}));
  // The key is cut before removal: a long key removes its cut entry.
  attributes.addAttribute(Value(1), Value(repeat("k", 100)));
  EXPECT_EQ(attributes.addAttribute(Value(kNaN), Value(repeat("k", 120))), Outcome::Removed);
  EXPECT_EQ(attributes.count(), 1u);
}

TEST_F(TLYAttributeDictionaryTest, BooleanAttributesAreTrueOrFalseStrings) {
  struct Case {
    const char* name;
    std::optional<Value> number;
    Outcome outcome;
    std::optional<std::string> stored;
  };
  const std::vector<Case> cases = {
      {"one", Value(1), Outcome::Stored, "true"},
      {"zero", Value(0), Outcome::Stored, "false"},
      {"two", Value(2), Outcome::Stored, "true"},
      {"fraction", Value(0.25), Outcome::Stored, "true"},
      {"double zero", Value(0.0), Outcome::Stored, "false"},
      {"bool false", Value(false), Outcome::Stored, "false"},
      {"missing", std::nullopt, Outcome::IgnoredMissing, std::nullopt},
      {"a string", Value("yes"), Outcome::ValueWrongType, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TLYAttributeDictionary attributes(sink());
    EXPECT_EQ(attributes.addBooleanAttribute(c.number, "success"), c.outcome);
    if (c.stored) {
      EXPECT_EQ(attributes.dictionaryRepresentation(),
                (Value::Dictionary{{"success", Value(*c.stored)}}));
    } else {
      EXPECT_EQ(attributes.count(), 0u);
    }
  }
}

TEST_F(TLYAttributeDictionaryTest, PricesAreStoredInMillionths) {
  const double max = TLYAttributeDictionary::maximumPrice();
  struct Case {
    const char* name;
    std::optional<double> price;
    Outcome outcome;
    std::optional<Value> stored;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"one", 1.0, Outcome::Stored, Value(1000000), ""},
      {"half", 0.5, Outcome::Stored, Value(500000), ""},
      {"binary noise is rounded away", 19.99, Outcome::Stored, Value(19990000), ""},
      {"zero", 0.0, Outcome::Stored, Value(0), ""},
      {"negative", -2.5, Outcome::Stored, Value(-2500000), ""},
      {"below a micro", 0.0000005, Outcome::Stored, Value(0.5), ""},
      {"the largest price", max, Outcome::Stored, Value(max * 1000000.0), ""},
      {"above the largest", max * 2, Outcome::PriceTooLarge, std::nullopt,
       "[Tally] Maximum value for a price attribute exceeded. Ignoring price attribute with value: "},
      {"far below the negative bound", -max * 2, Outcome::PriceTooLarge, std::nullopt,
       "Maximum value for a price attribute exceeded"},
      {"infinity", kInf, Outcome::NotFinite, std::nullopt,
       "Ignoring price attribute with value: inf"},
      {"NaN", kNaN, Outcome::Removed, std::nullopt, ""},
      {"missing", std::nullopt, Outcome::IgnoredMissing, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lines_.clear();
    TLYAttributeDictionary attributes(sink());
    EXPECT_EQ(attributes.addPriceAttribute(c.price, "item_price"), c.outcome);
    if (c.stored) {
      ASSERT_EQ(attributes.count(), 1u);
      EXPECT_EQ(attributes.dictionaryRepresentation().at("item_price"), *c.stored);
      EXPECT_TRUE(std::isfinite(*attributes.dictionaryRepresentation().at("item_price").asNumber()));
    } else {
      EXPECT_EQ(attributes.count(), 0u);
    }
    if (std::string(c.message).empty()) {
      EXPECT_TRUE(lines_.empty());
    } else {
      ASSERT_EQ(lines_.size(), 1u);
      EXPECT_NE(lines_[0].find(c.message), std::string::npos) << lines_[0];
    }
  }
}

TEST_F(TLYAttributeDictionaryTest, StoredAttributesAlwaysMakeValidJson) {
  TLYAttributeEntries entries = {
      {Value(repeat("\xE6\xBC\xA2", 150)), Value(repeat("\xF0\x9F\x98\x80", 80))},
      {Value("bad"), Value("\xFF\xFE")},
      {Value("quote"), Value("\"}\n\\")},
      {Value("inf"), Value(kInf)},
      {Value("n"), Value(-0.0)},
  };
  TLYAttributeDictionary attributes(entries, sink());
  EXPECT_EQ(attributes.count(), 3u);
  const auto parsed = Value::fromJson(attributes.description());
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(*parsed.value().asDictionary(), attributes.dictionaryRepresentation());
}

TEST_F(TLYAttributeDictionaryTest, DictionaryInputIsOfferedEntryByEntry) {
  const Value::Dictionary input = {{"a", Value("x")}, {"b", Value(platform::Date{1})}, {"c", Value(3)}};
  TLYAttributeDictionary attributes(input, sink());
  EXPECT_EQ(attributes.dictionaryRepresentation(),
            (Value::Dictionary{{"a", Value("x")}, {"c", Value(3)}}));
  EXPECT_EQ(linesContaining("values must be of type NSString or NSNumber. Ignoring entry b:"), 1);
}

}  // namespace
}  // namespace vandrel::analytics
