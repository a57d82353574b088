#pragma once

#include <string_view>

namespace vandrel::core {

// Whether `text` (UTF-8) reads as one whole decimal integer the way the
// platform's text scanner reads one: blanks and line ends before and after
// are skipped, an optional "+" or "-" directly precedes at least one ASCII
// digit, and nothing else may follow. A number too large for 64 bits still
// counts: the scanner clamps it and succeeds.
//
// "  42\n" and "-7" read as integers; "", "+", "1-2", "12a", "1 2" and
// "４２" (full-width digits) do not.
bool readsAsWholeInteger(std::string_view text);

}  // namespace vandrel::core
