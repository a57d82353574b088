#include "core/whole_integer.h"

#include <cstddef>
#include <optional>

namespace vandrel::core {
namespace {

// One code point of `text` at `pos`, advancing `pos`; none for a malformed
// sequence (which is neither a blank nor a digit, so it ends the scan).
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  std::size_t length = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    length = 1;
    cp = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (pos + length > text.size()) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[pos + i]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (c & 0x3F);
  }
  pos += length;
  return cp;
}

// The scanner's default skip set: Unicode white space and line ends
// (category Z, the controls U+0009 to U+000D, and U+0085).
bool isBlankOrNewline(char32_t cp) {
  if (cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || cp == 0x85 || cp == 0xA0) return true;
  if (cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A)) return true;
  return cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Skips blanks from `pos`; returns the position of the first other
// character (or of a malformed sequence), or text.size().
std::size_t skipBlanks(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    std::size_t next = pos;
    const auto cp = nextCodePoint(text, next);
    if (!cp || !isBlankOrNewline(*cp)) return pos;
    pos = next;
  }
  return pos;
}

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool readsAsWholeInteger(std::string_view text) {
  std::size_t pos = skipBlanks(text, 0);
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  const std::size_t digitsStart = pos;
  while (pos < text.size() && isAsciiDigit(text[pos])) ++pos;
  if (pos == digitsStart) return false;
  return skipBlanks(text, pos) == text.size();
}

}  // namespace vandrel::core
