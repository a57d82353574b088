#include "helper/helper_text.h"

#include <gtest/gtest.h>

#include <string>

namespace vandrel::helper {
namespace {

TEST(HelperTextTest, Utf8ValidityFollowsTheStandard) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"plain", true},
      {"\xE2\x80\x99", true},       // U+2019
      {"\xF0\x9F\x98\x80", true},   // U+1F600
      {"\xC0\xAF", false},          // overlong '/'
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // past U+10FFFF
      {"\xE2\x80", false},          // cut
      {"\xFF", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.valid, isValidUtf8(c.text));
    EXPECT_TRUE(isValidUtf8(toValidUtf8(c.text)));
  }
  EXPECT_EQ(
      "a\xEF\xBF\xBD"
      "b",
      toValidUtf8("a\xFF"
                  "b"));
}

TEST(HelperTextTest, OutputIsNoneWhenEmptyOrNotUtf8) {
  EXPECT_EQ("None", outputOrNone(""));
  EXPECT_EQ("None", outputOrNone("ok\xFF"));
  EXPECT_EQ("x\n", outputOrNone("x\n"));
}

TEST(HelperTextTest, PrintableKeepsUntrustedTextOnOneLine) {
  EXPECT_EQ("a\\nb\\x00c\\\"d\\\\", printable(std::string("a\nb\0c\"d\\", 8)));
  EXPECT_EQ("\\xff", printable("\xFF"));
  EXPECT_EQ("abc\xE2\x80\xA6", printable("abcdef", 3));
  EXPECT_EQ("\xE2\x80\x99", printable("\xE2\x80\x99"));
}

}  // namespace
}  // namespace vandrel::helper
