#include "core/whole_integer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vandrel::core {
namespace {

TEST(WholeIntegerTest, ReadsAsTheScannerDoes) {
  struct Case {
    std::string text;
    bool whole;
  };
  const std::vector<Case> cases = {
      {"12345", true},
      {"0", true},
      {"-7", true},
      {"+86", true},
      {"  42", true},
      {"42  ", true},
      {"\n\t42\r\n", true},
      {"\xC2\xA0" "42\xE3\x80\x80", true},  // no-break space, ideographic space
      {"99999999999999999999999999", true},  // overflow still reads as an integer
      {"-99999999999999999999999999", true},
      {"", false},
      {"   ", false},
      {"+", false},
      {"-", false},
      {"+-1", false},
      {"- 1", false},
      {"123-45", false},
      {"12a", false},
      {"a12", false},
      {"1 2", false},
      {"1.0", false},
      {"1e3", false},
      {"0x1F", false},
      {"\xEF\xBC\x94\xEF\xBC\x92", false},  // full-width digits
      {"\xD9\xA4\xD9\xA2", false},          // Arabic-Indic digits
      {std::string("12\0", 3), false},
      {"12\xFF", false},  // malformed UTF-8 after the digits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("\"" + c.text + "\"");
    EXPECT_EQ(readsAsWholeInteger(c.text), c.whole);
  }
}

}  // namespace
}  // namespace vandrel::core
