#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vandrel::test_support {

// The content of one whole gzip stream; none when it does not inflate to
// its end or bytes follow it.
std::optional<std::string> gunzip(std::string_view data);

}  // namespace vandrel::test_support
