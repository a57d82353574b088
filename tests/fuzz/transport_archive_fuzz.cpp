// The event transport's stored archives: an event or a clock read back from
// disk at the next upload. The input is an archive's bytes. Reading fails
// with a clear error or gives an object that writes an archive which reads
// back to the same object and writes the very same bytes again.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/transport/evt_archive.h"
#include "analytics/transport/evt_event.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace analytics = vandrel::analytics;

template <typename T>
void checkRoundTrip(const std::string& bytes, std::string_view name) {
  auto read = analytics::EVTCORReadArchive<T>({}, bytes);
  if (!read.ok()) {
    VANDREL_FUZZ_CHECK(read.error().domain == analytics::kEVTCORCocoaErrorDomain,
                       read.error().domain + ": " + read.error().message);
    return;
  }
  auto written = analytics::EVTCORWriteArchive(read.value(), {});
  VANDREL_FUZZ_CHECK(written.ok(), std::string(name) + " that was read cannot be written");
  auto reread = analytics::EVTCORReadArchive<T>({}, written.value());
  VANDREL_FUZZ_CHECK(reread.ok(), std::string(name) + " wrote an archive it cannot read: " +
                                      written.value() +
                                      (reread.ok() ? "" : " / " + reread.error().message));
  VANDREL_FUZZ_CHECK(reread.value() == read.value(), std::string(name) + ": " + written.value());
  auto again = analytics::EVTCORWriteArchive(reread.value(), {});
  VANDREL_FUZZ_CHECK(again.ok() && again.value() == written.value(),
                     written.value() + " then " + (again.ok() ? again.value() : ""));
  if constexpr (std::is_same_v<T, analytics::EVTCOREvent>) {
    const auto& event = read.value();
    VANDREL_FUZZ_CHECK(reread.value().expirationDate() == event.expirationDate(), written.value());
    VANDREL_FUZZ_CHECK(reread.value().customBytes() == event.customBytes(), written.value());
    (void)event.needsNetworkConnectionInfoPopulated();
    (void)event.networkConnectionInfoData();
    (void)event.eventCode();
    (void)event.hash();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::scratchHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(vandrel::fuzz::asText(data, size));
  checkRoundTrip<analytics::EVTCOREvent>(bytes, "EVTCOREvent");
  checkRoundTrip<analytics::EVTCORClock>(bytes, "EVTCORClock");

  // Base64, the form of every byte field.
  const auto decoded = analytics::EVTCORBase64Decode(bytes);
  if (decoded) {
    VANDREL_FUZZ_CHECK(analytics::EVTCORBase64Decode(analytics::EVTCORBase64Encode(*decoded)) ==
                           decoded,
                       bytes);
  }
  const auto encoded = analytics::EVTCORBase64Encode(bytes);
  VANDREL_FUZZ_CHECK(analytics::EVTCORBase64Decode(encoded) == bytes, encoded);
  return 0;
}
