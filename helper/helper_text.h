#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text rules shared by the helper and its client.
namespace vandrel::helper {

// Whether `text` is well-formed UTF-8 (no overlongs, surrogates or values
// past U+10FFFF).
bool isValidUtf8(std::string_view text);

// `text` with every ill-formed sequence replaced by U+FFFD, for fields that
// must be UTF-8.
std::string toValidUtf8(std::string_view text);

// A one-line form of untrusted text for a log line: at most `limit` bytes
// of input, bytes below 0x20, 0x7f, '\\' and '"' escaped, ill-formed UTF-8
// as \xNN, and "…" when cut.
std::string printable(std::string_view text, std::size_t limit = 200);

// The command runner's output rule: the text itself, or "None" when it is
// empty or not UTF-8.
std::string outputOrNone(std::string_view output);

}  // namespace vandrel::helper
