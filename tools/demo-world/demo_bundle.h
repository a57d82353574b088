#pragma once

#include <filesystem>
#include <string>

namespace vandrel::demo {

// A bundle directory for the application to read its identity and pinned
// certificates from (VANDREL_BUNDLE): Contents/Info.json and
// Contents/Resources/icon.xcImage pinning the CA `caDer`. Throws
// std::runtime_error when it cannot be written.
void writeDemoBundle(const std::filesystem::path& bundle, const std::string& caDer);

}  // namespace vandrel::demo
