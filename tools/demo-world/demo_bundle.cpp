#include "tools/demo-world/demo_bundle.h"

#include <fstream>
#include <stdexcept>

#include "core/cert_bundle.h"

namespace vandrel::demo {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

void writeDemoBundle(const fs::path& bundle, const std::string& caDer) {
  writeFile(bundle / "Contents/Info.json",
            R"({"CFBundleIdentifier":"com.vandrel.mac.offline",)"
            R"("CFBundleShortVersionString":"1.0.0","CFBundleVersion":"1"})");
  auto packed = core::packCertBundle({caDer});
  if (!packed.ok()) throw std::runtime_error("cannot pack the demo service's certificate");
  writeFile(bundle / "Contents/Resources/icon.xcImage", packed.value());
}

}  // namespace vandrel::demo
