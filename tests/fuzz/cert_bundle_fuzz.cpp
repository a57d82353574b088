// The pinned certificate bundle and the certificate files it is packed
// from. The input is read three ways: as a whole bundle (too short, it must
// fail cleanly), as slots (padded to whole slots and repeated until the 149
// slots are full, so a fuzzer's small input reaches the slot parser), and as
// a PEM or DER file. Whatever parses packs into a bundle that parses back to
// the same certificates.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/cert_bundle.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace core = vandrel::core;

// `slots` padded with NULs to whole slots, repeated to a full bundle.
std::string bundleOfSlots(std::string_view slots) {
  std::string unit(slots.substr(0, core::kCertBundleSize));
  unit.resize((unit.size() + core::kCertBundleSlotSize - 1) / core::kCertBundleSlotSize *
                  core::kCertBundleSlotSize,
              '\0');
  if (unit.empty()) unit.assign(core::kCertBundleSlotSize, '\0');
  std::string bundle;
  bundle.reserve(core::kCertBundleSize);
  while (bundle.size() < core::kCertBundleSize) bundle += unit;
  bundle.resize(core::kCertBundleSize);
  return bundle;
}

// Packing `certificates` gives a bundle whose slots hold them in order,
// repeated from the first.
void checkPacks(const std::vector<std::string>& certificates) {
  auto packed = core::packCertBundle(certificates);
  VANDREL_FUZZ_CHECK(packed.ok(), packed.ok() ? "" : packed.error().message);
  VANDREL_FUZZ_CHECK(packed.value().size() == core::kCertBundleSize, "packed bundle size");
  auto parsed = core::parseCertBundle(packed.value());
  VANDREL_FUZZ_CHECK(parsed.ok(), parsed.ok() ? "" : parsed.error().message);
  VANDREL_FUZZ_CHECK(parsed.value().size() == core::kCertBundleSlotCount, "slot count");
  for (std::size_t i = 0; i < parsed.value().size(); ++i) {
    VANDREL_FUZZ_CHECK(parsed.value()[i] == certificates[i % certificates.size()],
                       "slot " + std::to_string(i) + " does not hold what was packed");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = vandrel::fuzz::asText(data, size);

  auto whole = core::parseCertBundle(bytes);
  if (whole.ok()) {
    VANDREL_FUZZ_CHECK(size >= core::kCertBundleSize, "a short bundle parsed");
    checkPacks(whole.value());
  }

  auto slots = core::parseCertBundle(bundleOfSlots(bytes));
  if (slots.ok()) {
    VANDREL_FUZZ_CHECK(slots.value().size() == core::kCertBundleSlotCount, "slot count");
    for (const auto& der : slots.value()) {
      VANDREL_FUZZ_CHECK(!der.empty() && der.size() <= core::kCertBundleMaxCertificateSize,
                         "certificate size " + std::to_string(der.size()));
    }
    checkPacks(slots.value());
  }

  auto file = core::certificatesFromPemOrDer(bytes);
  if (file.ok()) {
    VANDREL_FUZZ_CHECK(!file.value().empty(), "a file of no certificates parsed");
    const bool allFit = std::all_of(file.value().begin(), file.value().end(), [](const auto& der) {
      return der.size() <= core::kCertBundleMaxCertificateSize;
    });
    auto packed = core::packCertBundle(file.value());
    VANDREL_FUZZ_CHECK(packed.ok() == allFit,
                       packed.ok() ? "an oversized certificate packed" : packed.error().message);
    if (allFit) checkPacks(file.value());
  }
  return 0;
}
