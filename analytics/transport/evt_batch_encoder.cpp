#include "analytics/transport/evt_batch_encoder.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <vector>

#include "analytics/transport/evt_batch.pb.h"
#include "analytics/transport/evt_log.h"

namespace vandrel::analytics {
namespace {

// One event, flattened into what its EventRecord needs. `payload` points into
// the caller's event, which outlives the encoding.
struct RecordData {
  std::int64_t timeMillis = 0;
  std::int64_t timezoneOffsetSeconds = 0;
  std::int64_t uptime = 0;
  const std::string* payload = nullptr;
  std::optional<std::int32_t> eventCode;
  std::optional<EVTHUBNetworkFacts> network;
};

struct SourceData {
  std::int32_t logSource = 0;
  std::int64_t requestTimeMillis = 0;
  std::int64_t requestUptime = 0;
  std::vector<RecordData> records;
};

std::optional<std::int32_t> eventCodeOf(const EVTCOREvent& event) {
  if (!event.customBytes()) return std::nullopt;
  const std::optional<std::int64_t> code = event.eventCode();
  if (!code) return std::nullopt;
  // The field is 32 bits wide; a wrapped number would name another code.
  if (*code < std::numeric_limits<std::int32_t>::min() ||
      *code > std::numeric_limits<std::int32_t>::max()) {
    EVTCORLogDebug("Event %s: event code %lld does not fit the wire format; left out",
                   event.eventID().c_str(), static_cast<long long>(*code));
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*code);
}

RecordData recordOf(const EVTCOREvent& event) {
  RecordData record;
  if (const auto& clock = event.clockSnapshot()) {
    record.timeMillis = clock->timeMillis();
    record.timezoneOffsetSeconds = clock->timezoneOffsetSeconds();
    record.uptime = clock->uptime();
  }
  if (event.serializedDataObjectBytes()) record.payload = &*event.serializedDataObjectBytes();
  record.eventCode = eventCodeOf(event);
  if (event.customBytes()) {
    const std::optional<std::string> network = event.networkConnectionInfoData();
    if (network && !network->empty()) record.network = EVTHUBNetworkFactsFromRecord(*network);
  }
  return record;
}

std::vector<SourceData> groupByMappingID(std::span<const EVTCOREvent> events,
                                         const EVTHUBClockSnapshotSource& snapshot) {
  std::vector<SourceData> sources;
  std::unordered_map<std::string, std::size_t> indexOfMappingID;
  for (const EVTCOREvent& event : events) {
    auto [it, inserted] = indexOfMappingID.try_emplace(event.mappingID(), sources.size());
    if (inserted) {
      SourceData& source = sources.emplace_back();
      source.logSource = EVTHUBLogSourceFromMappingID(event.mappingID());
    }
    sources[it->second].records.push_back(recordOf(event));
  }
  for (SourceData& source : sources) {
    const EVTCORClock clock = snapshot ? snapshot() : EVTCORClock::snapshot();
    source.requestTimeMillis = clock.timeMillis();
    source.requestUptime = clock.uptime();
  }
  return sources;
}

// Always writes the field, empty when the event has no payload.
bool encodePayload(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* payload = static_cast<const std::string*>(*arg);
  const auto* bytes = reinterpret_cast<const pb_byte_t*>(payload ? payload->data() : "");
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, bytes, payload ? payload->size() : 0);
}

evtbatch_EventRecord eventRecordMessage(const RecordData& record) {
  evtbatch_EventRecord message = evtbatch_EventRecord_init_zero;
  message.has_event_time_ms = true;
  message.event_time_ms = record.timeMillis;
  message.payload.funcs.encode = encodePayload;
  message.payload.arg = const_cast<std::string*>(record.payload);
  if (record.eventCode) {
    message.has_event_code = true;
    message.event_code = *record.eventCode;
  }
  message.has_timezone_offset_seconds = true;
  message.timezone_offset_seconds = record.timezoneOffsetSeconds;
  message.has_event_uptime_us = true;
  message.event_uptime_us = record.uptime;
  if (record.network) {
    message.has_network_facts = true;
    evtbatch_NetworkFacts& facts = message.network_facts;
    facts.has_network_type = record.network->hasNetworkType;
    facts.network_type = static_cast<evtbatch_NetworkType>(record.network->networkType);
    facts.has_mobile_subtype = record.network->hasMobileSubtype;
    facts.mobile_subtype = static_cast<evtbatch_MobileSubtype>(record.network->mobileSubtype);
  }
  return message;
}

bool encodeEvents(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto& records = *static_cast<const std::vector<RecordData>*>(*arg);
  for (const RecordData& record : records) {
    const evtbatch_EventRecord message = eventRecordMessage(record);
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, evtbatch_EventRecord_fields, &message)) {
      return false;
    }
  }
  return true;
}

bool encodeSources(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto& sources = *static_cast<const std::vector<SourceData>*>(*arg);
  for (const SourceData& source : sources) {
    evtbatch_SourceRequest message = evtbatch_SourceRequest_init_zero;
    message.has_client_facts = true;
    message.client_facts.has_client_type = true;
    message.client_facts.client_type = static_cast<evtbatch_ClientType>(kEVTHUBClientType);
    message.has_log_source = true;
    message.log_source = source.logSource;
    message.events.funcs.encode = encodeEvents;
    message.events.arg = const_cast<std::vector<RecordData>*>(&source.records);
    message.has_request_time_ms = true;
    message.request_time_ms = source.requestTimeMillis;
    message.has_request_uptime_us = true;
    message.request_uptime_us = source.requestUptime;
    // The QoS tier stays absent: the server reads absence as the default tier.
    if (!pb_encode_tag_for_field(stream, field) ||
        !pb_encode_submessage(stream, evtbatch_SourceRequest_fields, &message)) {
      return false;
    }
  }
  return true;
}

const char* errorText(const pb_ostream_t& stream) {
  const char* message = PB_GET_ERROR(&stream);
  return message ? message : "(none)";
}

}  // namespace

std::string constructRequestProtoWithEvents(std::span<const EVTCOREvent> events,
                                            const EVTHUBClockSnapshotSource& snapshot) {
  const std::vector<SourceData> sources = groupByMappingID(events, snapshot);
  evtbatch_BatchRequest request = evtbatch_BatchRequest_init_zero;
  request.source_requests.funcs.encode = encodeSources;
  request.source_requests.arg = const_cast<std::vector<SourceData>*>(&sources);

  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, evtbatch_BatchRequest_fields, &request)) {
    EVTCORConsoleLogf(kEVTCORMCBatchEncoderError, EVTCORLoggerLevel::Error,
                      "Error in nanopb encoding for size: %s", errorText(sizing));
    return {};
  }
  std::string bytes(sizing.bytes_written, '\0');
  pb_ostream_t output =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t*>(bytes.data()), bytes.size());
  if (!pb_encode(&output, evtbatch_BatchRequest_fields, &request)) {
    // Half-written bytes are no request at all; sending them would only make
    // the server reject the batch.
    EVTCORConsoleLogf(kEVTCORMCBatchEncoderError, EVTCORLoggerLevel::Error,
                      "Error in nanopb encoding for bytes: %s", errorText(output));
    return {};
  }
  bytes.resize(output.bytes_written);
  return bytes;
}

std::int32_t EVTHUBLogSourceFromMappingID(std::string_view mappingID) {
  std::size_t i = 0;
  while (i < mappingID.size() && std::isspace(static_cast<unsigned char>(mappingID[i]))) ++i;
  bool negative = false;
  if (i < mappingID.size() && (mappingID[i] == '+' || mappingID[i] == '-')) {
    negative = mappingID[i] == '-';
    ++i;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  std::int64_t value = 0;
  for (; i < mappingID.size() && mappingID[i] >= '0' && mappingID[i] <= '9'; ++i) {
    value = value * 10 + (mappingID[i] - '0');
    if (value > kMax + 1) value = kMax + 1;  // saturated; keeps the loop from overflowing
  }
  if (negative) return static_cast<std::int32_t>(-value < kMin ? kMin : -value);
  return static_cast<std::int32_t>(value > kMax ? kMax : value);
}

// ---- Network record -------------------------------------------------------

namespace {

std::int32_t readInt32LE(const std::array<unsigned char, kEVTHUBNetworkRecordSize>& bytes,
                         std::size_t offset) {
  const std::uint32_t value = std::uint32_t{bytes[offset]} |
                              (std::uint32_t{bytes[offset + 1]} << 8) |
                              (std::uint32_t{bytes[offset + 2]} << 16) |
                              (std::uint32_t{bytes[offset + 3]} << 24);
  return static_cast<std::int32_t>(value);
}

void writeInt32LE(std::string& bytes, std::size_t offset, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}

}  // namespace

EVTHUBNetworkFacts EVTHUBNetworkFactsFromRecord(std::string_view record) {
  const std::string defaults = EVTHUBNetworkRecordFromFacts(EVTHUBNetworkFacts{});
  std::array<unsigned char, kEVTHUBNetworkRecordSize> bytes{};
  std::memcpy(bytes.data(), defaults.data(), bytes.size());
  std::memcpy(bytes.data(), record.data(), std::min(record.size(), bytes.size()));
  EVTHUBNetworkFacts facts;
  facts.hasNetworkType = bytes[0] != 0;
  facts.networkType = readInt32LE(bytes, 4);
  facts.hasMobileSubtype = bytes[8] != 0;
  facts.mobileSubtype = readInt32LE(bytes, 12);
  return facts;
}

std::string EVTHUBNetworkRecordFromFacts(const EVTHUBNetworkFacts& facts) {
  std::string bytes(kEVTHUBNetworkRecordSize, '\0');
  bytes[0] = facts.hasNetworkType ? 1 : 0;
  writeInt32LE(bytes, 4, facts.networkType);
  bytes[8] = facts.hasMobileSubtype ? 1 : 0;
  writeInt32LE(bytes, 12, facts.mobileSubtype);
  return bytes;
}

int EVTHUBNetworkTypeSource(std::uint32_t reachabilityFlags) {
  constexpr std::uint32_t kReachable = 2;
  return (reachabilityFlags & kReachable) != 0 ? 1 : 0;
}

std::int32_t EVTHUBMobileSubtype(int radioTechnology) {
  // Index: platform radio technology number; value: wire subtype.
  static constexpr std::array<std::int32_t, 12> kTable = {0, 1, 2, 0, 8, 9, 4, 5, 6, 12, 14, 13};
  if (radioTechnology < 0 || radioTechnology >= static_cast<int>(kTable.size())) return 0;
  return kTable[static_cast<std::size_t>(radioTechnology)];
}

std::string EVTHUBBuildNetworkRecord(int networkTypeSource, int radioTechnology) {
  constexpr int kCellular = 2;
  EVTHUBNetworkFacts facts;
  if (networkTypeSource != 0) {
    facts.hasNetworkType = true;
    if (networkTypeSource == kCellular) {
      facts.networkType = 0;
      facts.mobileSubtype = EVTHUBMobileSubtype(radioTechnology);
      facts.hasMobileSubtype = facts.mobileSubtype != 0;
    } else {
      facts.networkType = 1;
    }
  }
  return EVTHUBNetworkRecordFromFacts(facts);
}

// ---- Upload reply ---------------------------------------------------------

namespace {

// Tier overrides are read to validate the reply, then dropped: nothing in
// this client acts on them.
bool skipTierSetting(pb_istream_t* stream, const pb_field_t*, void**) {
  evtbatch_TierSetting setting = evtbatch_TierSetting_init_zero;
  return pb_decode(stream, evtbatch_TierSetting_fields, &setting);
}

platform::Error replyError(std::string_view reason) {
  return platform::Error{std::string(kEVTHUBReplyErrorDomain), kEVTHUBReplyErrorCode,
                         std::string(kEVTHUBNanopbErrorKey) + " " + std::string(reason)};
}

}  // namespace

platform::Result<EVTHUBUploadReply> EVTHUBDecodeUploadReply(std::string_view bytes) {
  if (bytes.size() > kEVTHUBMaxReplyBytes) {
    return replyError("reply of " + std::to_string(bytes.size()) + " bytes exceeds the limit of " +
                      std::to_string(kEVTHUBMaxReplyBytes) + " bytes");
  }
  evtbatch_UploadReply reply = evtbatch_UploadReply_init_zero;
  reply.tier_overrides.tier_settings.funcs.decode = skipTierSetting;
  pb_istream_t stream =
      pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
  if (!pb_decode(&stream, evtbatch_UploadReply_fields, &reply)) {
    const char* message = PB_GET_ERROR(&stream);
    return replyError(message ? message : "(none)");
  }
  EVTHUBUploadReply result;
  if (reply.has_next_request_wait_millis) result.nextRequestWaitMillis = reply.next_request_wait_millis;
  return result;
}

}  // namespace vandrel::analytics
