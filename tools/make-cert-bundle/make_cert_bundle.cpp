// Packs certificates into the pinned certificate bundle "icon.xcImage":
//
//   make-cert-bundle --output FILE (--placeholder | CERT...)
//
// Each CERT is a PEM file (every certificate in it, in order) or one DER
// certificate. The certificates are repeated in order until all 149 slots
// are filled. --placeholder packs a fresh self-signed CA whose key is
// discarded, for builds without real certificates: it pins nothing any
// server can present. The output is replaced atomically.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/cert_bundle.h"

namespace {

using vandrel::core::certificatesFromPemOrDer;
using vandrel::core::makePlaceholderCertificate;
using vandrel::core::packCertBundle;

int usage() {
  std::fprintf(stderr, "usage: make-cert-bundle --output FILE (--placeholder | CERT...)\n");
  return 2;
}

bool readFile(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool writeAtomically(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output;
  bool placeholder = false;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--output" && i + 1 < argc) {
      output = argv[++i];
    } else if (arg == "--placeholder") {
      placeholder = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return usage();
    } else {
      inputs.push_back(arg);
    }
  }
  if (output.empty() || placeholder == !inputs.empty()) return usage();

  std::vector<std::string> certificates;
  if (placeholder) {
    auto made = makePlaceholderCertificate("Vandrel placeholder pin (no key)");
    if (!made.ok()) {
      std::fprintf(stderr, "make-cert-bundle: %s\n", made.error().message.c_str());
      return 1;
    }
    certificates.push_back(std::move(made).value());
  }
  for (const std::string& input : inputs) {
    std::string content;
    if (!readFile(input, content)) {
      std::fprintf(stderr, "make-cert-bundle: cannot read %s: %s\n", input.c_str(),
                   std::strerror(errno));
      return 1;
    }
    auto found = certificatesFromPemOrDer(content);
    if (!found.ok()) {
      std::fprintf(stderr, "make-cert-bundle: %s: %s\n", input.c_str(),
                   found.error().message.c_str());
      return 1;
    }
    for (auto& der : found.value()) certificates.push_back(std::move(der));
  }
  auto bundle = packCertBundle(certificates);
  if (!bundle.ok()) {
    std::fprintf(stderr, "make-cert-bundle: %s\n", bundle.error().message.c_str());
    return 1;
  }
  if (!writeAtomically(output, bundle.value())) {
    std::fprintf(stderr, "make-cert-bundle: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}
