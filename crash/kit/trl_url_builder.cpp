#include "crash/kit/trl_url_builder.h"

#include <cctype>

namespace vandrel::crash {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool isAsciiAlnum(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool isLegacyUnescaped(unsigned char c) {
  if (isAsciiAlnum(c)) return true;
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+':
    case ',': case '-': case '.': case '/': case ':': case ';': case '=': case '?':
    case '_': case '~': case '@':
      return true;
    default:
      return false;
  }
}

template <typename Keep>
std::string escapeWith(std::string_view text, Keep keep) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (keep(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

// Path segment: nothing that ends the segment or the path.
bool keepInSegment(unsigned char c) { return isLegacyUnescaped(c) && c != '/' && c != '?'; }

// Query name or value: nothing that ends or splits a parameter, and no "+"
// (servers decode it as a blank).
bool keepInQuery(unsigned char c) {
  return isLegacyUnescaped(c) && c != '&' && c != '=' && c != '+';
}

bool isUrlCharacter(unsigned char c) {
  if (isAsciiAlnum(c)) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case ':': case '/': case '?': case '#':
    case '[': case ']': case '@': case '!': case '$': case '&': case '\'': case '(':
    case ')': case '*': case '+': case ',': case ';': case '=': case '%':
      return true;
    default:
      return false;
  }
}

bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

TRLURLBuilder TRLURLBuilder::URLWithBase(std::string_view base) {
  TRLURLBuilder builder;
  builder.appendComponent(base);
  return builder;
}

void TRLURLBuilder::appendComponent(std::string_view component) { URLString_.append(component); }

void TRLURLBuilder::escapeAndAppendComponent(std::string_view component) {
  if (component == "." || component == "..") {
    for (std::size_t i = 0; i < component.size(); ++i) URLString_.append("%2E");
    return;
  }
  appendComponent(escapeWith(component, keepInSegment));
}

void TRLURLBuilder::appendValue(const std::optional<std::string>& value, std::string_view name) {
  if (!value) return;
  URLString_.push_back(queryParams_ > 0 ? '&' : '?');
  ++queryParams_;
  URLString_.append(escapeWith(name, keepInQuery));
  URLString_.push_back('=');
  URLString_.append(escapeWith(*value, keepInQuery));
}

void TRLURLBuilder::appendValue(std::int64_t value, std::string_view name) {
  appendValue(std::optional<std::string>(std::to_string(value)), name);
}

std::string TRLURLBuilder::escapeString(std::string_view text) {
  return escapeWith(text, isLegacyUnescaped);
}

std::optional<std::string> TRLURLBuilder::URL() const {
  const std::string& s = URLString_;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!isUrlCharacter(static_cast<unsigned char>(s[i]))) return std::nullopt;
    if (s[i] == '%' && (i + 2 >= s.size() || !isHexDigit(s[i + 1]) || !isHexDigit(s[i + 2]))) {
      return std::nullopt;
    }
  }
  std::size_t colon = s.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  if (!std::isalpha(static_cast<unsigned char>(s[0]))) return std::nullopt;
  for (std::size_t i = 1; i < colon; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (!isAsciiAlnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  }
  if (s.compare(colon, 3, "://") != 0) return std::nullopt;
  std::size_t hostStart = colon + 3;
  std::size_t hostEnd = s.find_first_of("/?#", hostStart);
  if (hostEnd == std::string::npos) hostEnd = s.size();
  if (hostEnd == hostStart) return std::nullopt;
  return s;
}

}  // namespace vandrel::crash
