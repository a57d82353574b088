#pragma once

// Assembles the kit's endpoint URLs: a base, fixed path text, escaped
// variable path components and escaped query parameters.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vandrel::crash {

class TRLURLBuilder {
 public:
  // A builder whose URL string is `base`, unchanged.
  static TRLURLBuilder URLWithBase(std::string_view base);

  // Appends fixed text unchanged.
  void appendComponent(std::string_view component);
  // Appends a variable path component. Besides what `escapeString` escapes,
  // "/", "?" and the dots of a "." or ".." component are escaped, so the
  // text stays one path segment and cannot climb out of the endpoint.
  void escapeAndAppendComponent(std::string_view component);

  // "?" before the first parameter, "&" before the others; the name and the
  // value escaped so that neither can add or split a parameter ("&", "=",
  // "+" and "#" come out as %XX). A missing value appends nothing.
  void appendValue(const std::optional<std::string>& value, std::string_view name);
  void appendValue(std::int64_t value, std::string_view name);

  // The legacy URL escaping: letters, digits and ! $ & ' ( ) * + , - . / : ;
  // = ? _ ~ @ stay; every other byte (blank, #, %, quotes, brackets,
  // controls, each byte of a non-ASCII character) becomes %XX.
  static std::string escapeString(std::string_view text);

  const std::string& URLString() const { return URLString_; }
  std::size_t queryParams() const { return queryParams_; }
  // The URL when the string is an absolute URL (scheme, "://", a host) made
  // only of URL characters with well-formed %XX escapes; none otherwise.
  std::optional<std::string> URL() const;

 private:
  std::string URLString_;
  std::size_t queryParams_ = 0;
};

}  // namespace vandrel::crash
