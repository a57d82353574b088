#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "analytics/transport/evt_event.h"
#include "platform/result.h"

// The batch wire format of the event transport (messages in evt_batch.proto):
// turning a batch of events into the request body, compressing it, and
// reading the endpoint's reply. Stateless functions; any thread.

namespace vandrel::analytics {

// ---- Batch request --------------------------------------------------------

// Client type written into every source request.
inline constexpr std::int32_t kEVTHUBClientType = 15;

// Takes the clock snapshot stamped on each source request; the default takes
// EVTCORClock::snapshot().
using EVTHUBClockSnapshotSource = std::function<EVTCORClock()>;

// The BatchRequest body of `events`: one source request per mapping ID, in the
// order the mapping IDs first appear, each holding that mapping ID's events in
// their given order and the request time and uptime of one snapshot taken for
// it. Encoding failures are logged (code 1006, level 4) and give an empty
// body; no events also give an empty body.
std::string constructRequestProtoWithEvents(std::span<const EVTCOREvent> events,
                                            const EVTHUBClockSnapshotSource& snapshot = {});

// A mapping ID read as a decimal integer the way the log source needs it:
// leading white space skipped, an optional sign, then digits up to the first
// other character; no digits -> 0; beyond the 32-bit range -> its bound.
std::int32_t EVTHUBLogSourceFromMappingID(std::string_view mappingID);

// ---- Network record -------------------------------------------------------

// The network facts written with an event, as stored (16 bytes, Base64 in the
// event's custom bytes under "network_connection_info"), little-endian:
// byte 0 type present (0/1), bytes 4-7 type (signed 32-bit), byte 8 subtype
// present, bytes 12-15 mobile subtype (signed 32-bit); the rest zero.
inline constexpr std::size_t kEVTHUBNetworkRecordSize = 16;

struct EVTHUBNetworkFacts {
  bool hasNetworkType = false;
  std::int32_t networkType = -1;
  bool hasMobileSubtype = false;
  std::int32_t mobileSubtype = 0;

  bool operator==(const EVTHUBNetworkFacts&) const = default;
};

// `record` laid over the defaults above: at most 16 bytes are read, a shorter
// record leaves the remaining defaults in place. A presence byte other than 0
// counts as present.
EVTHUBNetworkFacts EVTHUBNetworkFactsFromRecord(std::string_view record);
// The 16-byte stored form of `facts`.
std::string EVTHUBNetworkRecordFromFacts(const EVTHUBNetworkFacts& facts);

// Network-type source of reachability flags: 1 with the reachable bit (2),
// else 0. (2, cellular, is never reported on this platform.)
int EVTHUBNetworkTypeSource(std::uint32_t reachabilityFlags);
// Wire value of a platform radio technology number; 0 for none or unknown.
std::int32_t EVTHUBMobileSubtype(int radioTechnology);
// The record for a network-type source and radio technology: unchanged
// defaults for source 0; type 1 for any other source except 2 (cellular),
// which gives type 0 and the mapped subtype, present when not 0.
std::string EVTHUBBuildNetworkRecord(int networkTypeSource, int radioTechnology = 0);

// ---- Upload reply ---------------------------------------------------------

struct EVTHUBUploadReply {
  // Milliseconds to wait before the next request to this endpoint.
  std::optional<std::int64_t> nextRequestWaitMillis;
};

inline constexpr std::string_view kEVTHUBReplyErrorDomain = "NSURLErrorDomain";
inline constexpr std::int64_t kEVTHUBReplyErrorCode = -1;
// The error message starts with this, followed by the decoder's message.
inline constexpr std::string_view kEVTHUBNanopbErrorKey = "nanopb error:";
// A reply is a few bytes; anything above this is refused before decoding.
inline constexpr std::size_t kEVTHUBMaxReplyBytes = 1024 * 1024;

// Decodes an UploadReply. An empty body is a reply without a wait time.
// Malformed, truncated or oversized bodies give an error of domain
// "NSURLErrorDomain", code -1, message "nanopb error: <reason>"; the caller
// then treats the reply as empty.
platform::Result<EVTHUBUploadReply> EVTHUBDecodeUploadReply(std::string_view bytes);

// ---- Compression ----------------------------------------------------------

class EVTHUBCompressionHelper {
 public:
  // `data` in the gzip format (default level); none for empty input, input
  // longer than 0xFFFFFFFF bytes, or any compressor failure.
  static std::optional<std::string> gzippedData(std::string_view data);
  // True when `data` starts with the gzip magic 0x1F 0x8B.
  static bool isGzipped(std::string_view data);
};

}  // namespace vandrel::analytics
