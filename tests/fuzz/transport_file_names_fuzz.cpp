// The event transport's file names, which carry an event's routing data
// (and a batch's) and are read back from whatever lies in the storage
// folders. The input is a file name. A name that parses is rebuilt from its
// parts into a name that parses to the same parts (the expiry in whole
// seconds, as the storage writes it) and rebuilds to itself; mapping IDs go
// through their percent-encoding unchanged.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/transport/evt_event.h"
#include "analytics/transport/evt_flat_file_storage.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace analytics = vandrel::analytics;
using Storage = analytics::EVTCORFlatFileStorage;

Storage* storage = nullptr;

// Dates travel as nanoseconds since 1970; from 2^32 seconds on (the year
// 2106) a whole second no longer converts exactly, and a rebuilt name may
// carry the second before. Only a damaged or foreign name holds one.
bool convertsExactly(vandrel::platform::WallTime date) {
  return analytics::EVTCORSecondsSince1970(date) < 4294967296.0;
}

void checkEventName(std::string_view name) {
  auto parts = Storage::eventComponentsFromFilename(name);
  if (!parts.ok()) return;
  const auto& first = parts.value();
  VANDREL_FUZZ_CHECK(!first.eventID.empty() && !first.mappingID.empty(), std::string(name));
  const auto mappingID = Storage::percentDecode(first.mappingID);
  if (!mappingID) return;
  const std::string rebuilt = storage->pathForTarget(1001, first.eventID, first.qosTier,
                                                     first.expiration, *mappingID)
                                  .filename()
                                  .string();
  auto again = Storage::eventComponentsFromFilename(rebuilt);
  VANDREL_FUZZ_CHECK(again.ok(), std::string(name) + " rebuilt as " + rebuilt +
                                     " does not parse");
  const auto& second = again.value();
  VANDREL_FUZZ_CHECK(second.eventID == first.eventID && second.qosTier == first.qosTier &&
                         Storage::percentDecode(second.mappingID) == mappingID,
                     std::string(name) + " rebuilt as " + rebuilt);
  // The expiry is written in whole seconds: the rebuilt name is the fixed
  // point.
  if (!convertsExactly(second.expiration)) return;
  const std::string stable = storage->pathForTarget(1001, second.eventID, second.qosTier,
                                                    second.expiration, *mappingID)
                                 .filename()
                                 .string();
  VANDREL_FUZZ_CHECK(stable == rebuilt, rebuilt + " rebuilt as " + stable);
}

void checkBatchName(std::string_view name) {
  auto parts = Storage::batchComponentsFromFilename(name);
  if (!parts.ok()) return;
  const auto& first = parts.value();
  const std::string rebuilt =
      storage->batchPathForTarget(first.target, first.batchID, first.expiration).filename().string();
  auto again = Storage::batchComponentsFromFilename(rebuilt);
  VANDREL_FUZZ_CHECK(again.ok(), std::string(name) + " rebuilt as " + rebuilt + " does not parse");
  VANDREL_FUZZ_CHECK(again.value().target == first.target && again.value().batchID == first.batchID,
                     std::string(name) + " rebuilt as " + rebuilt);
  if (!convertsExactly(again.value().expiration)) return;
  const std::string stable =
      storage->batchPathForTarget(again.value().target, again.value().batchID,
                                  again.value().expiration)
          .filename()
          .string();
  VANDREL_FUZZ_CHECK(stable == rebuilt, rebuilt + " rebuilt as " + stable);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  storage = new Storage(vandrel::fuzz::scratchHome() / "cache" / "gryphon-sdks-events",
                        [](std::int64_t) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name = vandrel::fuzz::asText(data, size);
  // A directory entry's name never holds these.
  if (name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos) {
    checkEventName(name);
    checkBatchName(name);
  }

  const std::string encoded = Storage::percentEncodeMappingID(name);
  VANDREL_FUZZ_CHECK(encoded.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                               "abcdefghijklmnopqrstuvwxyz-%") == std::string::npos,
                     encoded);
  VANDREL_FUZZ_CHECK(Storage::percentDecode(encoded) == std::string(name), encoded);
  if (const auto decoded = Storage::percentDecode(name)) {
    VANDREL_FUZZ_CHECK(Storage::percentDecode(Storage::percentEncodeMappingID(*decoded)) == decoded,
                       std::string(name));
  }
  return 0;
}
