#include "helper/helper_text.h"

#include <cstdint>
#include <cstdio>

namespace vandrel::helper {
namespace {

// Length of the well-formed sequence at `i`, or 0 when it is ill-formed.
std::size_t sequenceLength(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t cp = 0;
  if ((b0 & 0xe0) == 0xc0) {
    length = 2;
    cp = b0 & 0x1f;
  } else if ((b0 & 0xf0) == 0xe0) {
    length = 3;
    cp = b0 & 0x0f;
  } else if ((b0 & 0xf8) == 0xf0) {
    length = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3f);
  }
  static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequenceLength(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string toValidUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequenceLength(text, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string printable(std::string_view text, std::size_t limit) {
  const bool cut = text.size() > limit;
  if (cut) text = text.substr(0, limit);
  std::string out;
  char hex[8];
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const std::size_t n = sequenceLength(text, i);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f || n == 0) {
      std::snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    ++i;
  }
  if (cut) out += "\xE2\x80\xA6";
  return out;
}

std::string outputOrNone(std::string_view output) {
  if (output.empty() || !isValidUtf8(output)) return "None";
  return std::string(output);
}

}  // namespace vandrel::helper
