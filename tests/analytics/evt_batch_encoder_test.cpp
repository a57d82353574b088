#include "analytics/transport/evt_batch_encoder.h"

#include <gtest/gtest.h>
#include <pb_decode.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "analytics/transport/evt_batch.pb.h"
#include "analytics/transport/evt_event.h"
#include "tests/support/gzip.h"

namespace vandrel::analytics {
namespace {

using test_support::gunzip;

// ---- Helpers: events in, decoded messages out -----------------------------

EVTCOREvent makeEvent(const std::string& mappingID, std::optional<std::string> payload,
                      std::optional<EVTCORClock> clock) {
  std::optional<EVTCOREvent> event = EVTCOREvent::initWithMappingID(mappingID, kEVTCORTargetHUB);
  EXPECT_TRUE(event.has_value());
  if (payload) event->setDataObject(std::make_shared<EVTCORDataBytes>(*payload));
  event->setClockSnapshot(clock);
  return *event;
}

// A fixed request-time snapshot, so whole bodies can be compared byte by byte.
EVTHUBClockSnapshotSource fixedSnapshot(std::int64_t millis, std::int64_t uptime) {
  return [=] { return EVTCORClock(millis, 0, 0, uptime); };
}

std::string bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) out.push_back(static_cast<char>(v));
  return out;
}

struct DecodedEvent {
  evtbatch_EventRecord record = evtbatch_EventRecord_init_zero;
  std::optional<std::string> payload;  // none when field 6 was absent
};

struct DecodedSource {
  evtbatch_SourceRequest request = evtbatch_SourceRequest_init_zero;
  std::vector<DecodedEvent> events;
};

bool readRest(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* out = static_cast<std::optional<std::string>*>(*arg);
  std::string data(stream->bytes_left, '\0');
  if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(data.data()), data.size())) return false;
  *out = std::move(data);
  return true;
}

bool decodeEvent(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* events = static_cast<std::vector<DecodedEvent>*>(*arg);
  DecodedEvent& event = events->emplace_back();
  event.record.payload.funcs.decode = readRest;
  event.record.payload.arg = &event.payload;
  return pb_decode(stream, evtbatch_EventRecord_fields, &event.record);
}

bool decodeSource(pb_istream_t* stream, const pb_field_t*, void** arg) {
  auto* sources = static_cast<std::vector<DecodedSource>*>(*arg);
  DecodedSource& source = sources->emplace_back();
  source.request.events.funcs.decode = decodeEvent;
  source.request.events.arg = &source.events;
  return pb_decode(stream, evtbatch_SourceRequest_fields, &source.request);
}

// Decodes a request body with the generated decoder. Sources are reserved
// up front so the callbacks' pointers into the vectors stay valid.
std::vector<DecodedSource> decodeBatch(const std::string& body) {
  std::vector<DecodedSource> sources;
  sources.reserve(64);
  evtbatch_BatchRequest request = evtbatch_BatchRequest_init_zero;
  request.source_requests.funcs.decode = decodeSource;
  request.source_requests.arg = &sources;
  pb_istream_t stream =
      pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(body.data()), body.size());
  const bool ok = pb_decode(&stream, evtbatch_BatchRequest_fields, &request);
  EXPECT_TRUE(ok) << PB_GET_ERROR(&stream);
  return sources;
}


// ---- Request encoding -----------------------------------------------------

// Derived by hand from the wire rules (tag = field << 3 | wire type; varints
// little-endian base 128; sint64 zig-zag: -3600 -> 7199):
//   0A 22                      BatchRequest.source_requests, 34 bytes
//     0A 02 08 0F              client_facts { client_type 15 }
//     10 89 01                 log_source 137
//     1A 14                    events, 20 bytes
//       08 E8 07               event_time_ms 1000
//       32 02 68 69            payload "hi"
//       58 2A                  event_code 42
//       78 9F 38               timezone_offset_seconds -3600
//       88 01 05               event_uptime_us 5          (field 17)
//       BA 01 02 08 01         network_facts { network_type 1 }  (field 23)
//     20 D0 0F                 request_time_ms 2000
//     40 07                    request_uptime_us 7
TEST(EvtBatchRequestTest, OneEventEncodesToTheHandDerivedBytes) {
  EVTCOREvent event = makeEvent("137", "hi", EVTCORClock(1000, -3600, 123, 5));
  event.setEventCode(42);
  event.setNetworkConnectionInfoData(EVTHUBBuildNetworkRecord(1));

  const std::vector<EVTCOREvent> events{event};
  const std::string body = constructRequestProtoWithEvents(events, fixedSnapshot(2000, 7));

  const std::string expected =
      bytes({0x0A, 0x22, 0x0A, 0x02, 0x08, 0x0F, 0x10, 0x89, 0x01, 0x1A, 0x14, 0x08, 0xE8,
             0x07, 0x32, 0x02, 0x68, 0x69, 0x58, 0x2A, 0x78, 0x9F, 0x38, 0x88, 0x01, 0x05,
             0xBA, 0x01, 0x02, 0x08, 0x01, 0x20, 0xD0, 0x0F, 0x40, 0x07});
  EXPECT_EQ(body, expected);
}

TEST(EvtBatchRequestTest, EventsAreGroupedIntoOneSourceRequestPerMappingID) {
  const std::vector<EVTCOREvent> events{
      makeEvent("137", "a", EVTCORClock(10, 60, 1, 100)),
      makeEvent("138", "b", EVTCORClock(20, 0, 1, 200)),
      makeEvent("137", "c", EVTCORClock(30, -60, 1, 300)),
      makeEvent("log", "d", EVTCORClock(40, 0, 1, 400)),
  };
  int snapshots = 0;
  const std::string body = constructRequestProtoWithEvents(events, [&] {
    ++snapshots;
    return EVTCORClock(5000 + snapshots, 0, 0, 900 + snapshots);
  });

  const std::vector<DecodedSource> sources = decodeBatch(body);
  ASSERT_EQ(sources.size(), 3u);
  EXPECT_EQ(snapshots, 3) << "one request-time snapshot per source request";

  const struct {
    std::int32_t logSource;
    std::vector<std::string> payloads;
    std::vector<std::int64_t> times;
  } expected[] = {{137, {"a", "c"}, {10, 30}}, {138, {"b"}, {20}}, {0, {"d"}, {40}}};
  for (std::size_t i = 0; i < sources.size(); ++i) {
    SCOPED_TRACE("source " + std::to_string(i));
    const evtbatch_SourceRequest& request = sources[i].request;
    EXPECT_TRUE(request.has_client_facts);
    EXPECT_TRUE(request.client_facts.has_client_type);
    EXPECT_EQ(request.client_facts.client_type, 15);
    EXPECT_FALSE(request.client_facts.has_platform_facts);
    EXPECT_TRUE(request.has_log_source);
    EXPECT_EQ(request.log_source, expected[i].logSource);
    EXPECT_TRUE(request.has_request_time_ms);
    EXPECT_EQ(request.request_time_ms, 5000 + static_cast<std::int64_t>(i) + 1);
    EXPECT_TRUE(request.has_request_uptime_us);
    EXPECT_EQ(request.request_uptime_us, 900 + static_cast<std::int64_t>(i) + 1);
    EXPECT_FALSE(request.has_qos_tier);
    ASSERT_EQ(sources[i].events.size(), expected[i].payloads.size());
    for (std::size_t j = 0; j < sources[i].events.size(); ++j) {
      EXPECT_EQ(sources[i].events[j].payload, expected[i].payloads[j]);
      EXPECT_EQ(sources[i].events[j].record.event_time_ms, expected[i].times[j]);
    }
  }
  EXPECT_EQ(sources[0].events[0].record.timezone_offset_seconds, 60);
  EXPECT_EQ(sources[0].events[1].record.timezone_offset_seconds, -60);
  EXPECT_EQ(sources[0].events[1].record.event_uptime_us, 300);
}

TEST(EvtBatchRequestTest, EventWithoutClockPayloadOrCustomBytesStillWritesItsFixedFields) {
  const std::vector<EVTCOREvent> events{makeEvent("137", std::nullopt, std::nullopt)};
  const std::vector<DecodedSource> sources =
      decodeBatch(constructRequestProtoWithEvents(events, fixedSnapshot(1, 1)));

  ASSERT_EQ(sources.size(), 1u);
  ASSERT_EQ(sources[0].events.size(), 1u);
  const DecodedEvent& event = sources[0].events[0];
  EXPECT_TRUE(event.record.has_event_time_ms);
  EXPECT_EQ(event.record.event_time_ms, 0);
  EXPECT_TRUE(event.record.has_timezone_offset_seconds);
  EXPECT_EQ(event.record.timezone_offset_seconds, 0);
  EXPECT_TRUE(event.record.has_event_uptime_us);
  EXPECT_EQ(event.record.event_uptime_us, 0);
  EXPECT_EQ(event.payload, std::string()) << "payload field present and empty";
  EXPECT_FALSE(event.record.has_event_code);
  EXPECT_FALSE(event.record.has_network_facts);
}

// The library's byte-array and count fields are 16 bits wide; a payload
// beyond that must reach the wire whole.
TEST(EvtBatchRequestTest, PayloadLargerThan64KiBRoundTripsIntact) {
  std::string payload(200000, '\0');
  std::mt19937 random(7);
  for (char& c : payload) c = static_cast<char>(random());
  const std::vector<EVTCOREvent> events{makeEvent("1", payload, EVTCORClock(1, 0, 0, 1))};

  const std::vector<DecodedSource> sources =
      decodeBatch(constructRequestProtoWithEvents(events, fixedSnapshot(1, 1)));

  ASSERT_EQ(sources.size(), 1u);
  ASSERT_EQ(sources[0].events.size(), 1u);
  EXPECT_TRUE(sources[0].events[0].payload == payload);
}

TEST(EvtBatchRequestTest, ManyEventsOfOneMappingIDAllArrive) {
  std::vector<EVTCOREvent> events;
  for (int i = 0; i < 70000; ++i) events.push_back(makeEvent("9", "", EVTCORClock(i, 0, 0, 0)));

  const std::vector<DecodedSource> sources =
      decodeBatch(constructRequestProtoWithEvents(events, fixedSnapshot(1, 1)));

  ASSERT_EQ(sources.size(), 1u);
  ASSERT_EQ(sources[0].events.size(), events.size());
  EXPECT_EQ(sources[0].events.back().record.event_time_ms, 69999);
}

TEST(EvtBatchRequestTest, NoEventsGiveAnEmptyBody) {
  EXPECT_EQ(constructRequestProtoWithEvents({}, fixedSnapshot(1, 1)), "");
}

TEST(EvtBatchRequestTest, EventCodeOutsideThirtyTwoBitsIsLeftOut) {
  EVTCOREvent big = makeEvent("1", "x", std::nullopt);
  big.setEventCode(std::int64_t{1} << 33);
  EVTCOREvent negative = makeEvent("1", "y", std::nullopt);
  negative.setEventCode(-5);
  const std::vector<EVTCOREvent> events{big, negative};

  const std::vector<DecodedSource> sources =
      decodeBatch(constructRequestProtoWithEvents(events, fixedSnapshot(1, 1)));

  ASSERT_EQ(sources.size(), 1u);
  ASSERT_EQ(sources[0].events.size(), 2u);
  EXPECT_FALSE(sources[0].events[0].record.has_event_code);
  EXPECT_TRUE(sources[0].events[1].record.has_event_code);
  EXPECT_EQ(sources[0].events[1].record.event_code, -5);
}

TEST(EvtBatchRequestTest, LogSourceReadsTheMappingIDAsADecimalInteger) {
  const struct {
    const char* mappingID;
    std::int32_t expected;
  } cases[] = {
      {"137", 137},
      {"  42", 42},
      {"\n\t7", 7},
      {"-7", -7},
      {"+5", 5},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"2147483647", 2147483647},
      {"99999999999999999999", std::numeric_limits<std::int32_t>::max()},
      {"-99999999999999999999", std::numeric_limits<std::int32_t>::min()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mappingID);
    EXPECT_EQ(EVTHUBLogSourceFromMappingID(c.mappingID), c.expected);
  }
}

// ---- Network record -------------------------------------------------------

TEST(EvtBatchNetworkRecordTest, StoredRecordIsLaidOverTheDefaults) {
  const std::string full = bytes({1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 13, 0, 0, 0});
  const struct {
    const char* name;
    std::string record;
    EVTHUBNetworkFacts expected;
  } cases[] = {
      {"full record", full, {true, -2, true, 13}},
      {"longer record is cut", full + bytes({9, 9, 9, 9}), {true, -2, true, 13}},
      {"one byte keeps the default type", bytes({1}), {true, -1, false, 0}},
      {"eight bytes keep the subtype defaults", full.substr(0, 8), {true, -2, false, 0}},
      {"any non-zero presence byte counts", bytes({7, 0, 0, 0, 1, 0, 0, 0, 2}),
       {true, 1, true, 0}},
      {"empty record is the defaults", "", {false, -1, false, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EVTHUBNetworkFactsFromRecord(c.record), c.expected);
  }
}

TEST(EvtBatchNetworkRecordTest, BuilderFollowsTheNetworkTypeSource) {
  const struct {
    const char* name;
    int source;
    int radio;
    EVTHUBNetworkFacts expected;
  } cases[] = {
      {"no network", 0, 4, {false, -1, false, 0}},
      {"reachable", 1, 4, {true, 1, false, 0}},
      {"cellular with a mapped radio", 2, 4, {true, 0, true, 8}},
      {"cellular with radio 3 (wire 0)", 2, 3, {true, 0, false, 0}},
      {"cellular without radio", 2, 0, {true, 0, false, 0}},
      {"cellular with an unknown radio", 2, 99, {true, 0, false, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string record = EVTHUBBuildNetworkRecord(c.source, c.radio);
    EXPECT_EQ(record.size(), kEVTHUBNetworkRecordSize);
    EXPECT_EQ(EVTHUBNetworkFactsFromRecord(record), c.expected);
  }
  EXPECT_EQ(EVTHUBNetworkTypeSource(2), 1);
  EXPECT_EQ(EVTHUBNetworkTypeSource(2 | 4), 1);
  EXPECT_EQ(EVTHUBNetworkTypeSource(4), 0);
  EXPECT_EQ(EVTHUBNetworkTypeSource(0), 0);
}

TEST(EvtBatchNetworkRecordTest, MobileSubtypeTable) {
  const int wire[] = {0, 1, 2, 0, 8, 9, 4, 5, 6, 12, 14, 13};
  for (int radio = 0; radio < 12; ++radio) {
    SCOPED_TRACE(radio);
    EXPECT_EQ(EVTHUBMobileSubtype(radio), wire[radio]);
  }
  EXPECT_EQ(EVTHUBMobileSubtype(-1), 0);
  EXPECT_EQ(EVTHUBMobileSubtype(12), 0);
}

TEST(EvtBatchNetworkRecordTest, AbsentTypeStillWritesTheNetworkFactsField) {
  EVTCOREvent event = makeEvent("1", "x", std::nullopt);
  event.setNetworkConnectionInfoData(EVTHUBBuildNetworkRecord(2, 5));
  EVTCOREvent unreachable = makeEvent("1", "y", std::nullopt);
  unreachable.setNetworkConnectionInfoData(EVTHUBBuildNetworkRecord(0));
  const std::vector<EVTCOREvent> events{event, unreachable};

  const std::vector<DecodedSource> sources =
      decodeBatch(constructRequestProtoWithEvents(events, fixedSnapshot(1, 1)));

  ASSERT_EQ(sources.size(), 1u);
  ASSERT_EQ(sources[0].events.size(), 2u);
  const evtbatch_EventRecord& cellular = sources[0].events[0].record;
  ASSERT_TRUE(cellular.has_network_facts);
  EXPECT_TRUE(cellular.network_facts.has_network_type);
  EXPECT_EQ(cellular.network_facts.network_type, 0);
  EXPECT_TRUE(cellular.network_facts.has_mobile_subtype);
  EXPECT_EQ(cellular.network_facts.mobile_subtype, 9);
  const evtbatch_EventRecord& none = sources[0].events[1].record;
  ASSERT_TRUE(none.has_network_facts);
  EXPECT_FALSE(none.network_facts.has_network_type);
  EXPECT_EQ(none.network_facts.network_type, -1) << "decoder default";
  EXPECT_FALSE(none.network_facts.has_mobile_subtype);
}

// ---- Compression ----------------------------------------------------------

TEST(EvtBatchCompressionTest, CompressedBodiesAreGzipAndInflateBack) {
  std::string random(50000, '\0');
  std::mt19937 generator(3);
  for (char& c : random) c = static_cast<char>(generator());
  const struct {
    const char* name;
    std::string input;
  } cases[] = {
      {"abc", "abc"},
      {"one byte", "x"},
      {"repetitive", std::string(100000, 'z')},
      {"incompressible, many output chunks", random},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<std::string> gz = EVTHUBCompressionHelper::gzippedData(c.input);
    ASSERT_TRUE(gz.has_value());
    EXPECT_TRUE(EVTHUBCompressionHelper::isGzipped(*gz));
    EXPECT_TRUE(gunzip(*gz) == c.input);
  }
  const std::optional<std::string> repetitive =
      EVTHUBCompressionHelper::gzippedData(std::string(100000, 'z'));
  ASSERT_TRUE(repetitive.has_value());
  EXPECT_LT(repetitive->size(), 1000u);
}

TEST(EvtBatchCompressionTest, EmptyInputGivesNone) {
  EXPECT_EQ(EVTHUBCompressionHelper::gzippedData(""), std::nullopt);
}

TEST(EvtBatchCompressionTest, IsGzippedLooksForTheMagicBytes) {
  const struct {
    std::string data;
    bool expected;
  } cases[] = {
      {"", false},
      {bytes({0x1F}), false},
      {bytes({0x1F, 0x8B}), true},
      {bytes({0x1F, 0x8B, 0x08, 0x00}), true},
      {bytes({0x8B, 0x1F}), false},
      {"abc", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    EXPECT_EQ(EVTHUBCompressionHelper::isGzipped(c.data), c.expected);
  }
}

TEST(EvtBatchCompressionTest, CompressedRequestBodyDecodesAfterInflating) {
  std::vector<EVTCOREvent> events;
  for (int i = 0; i < 50; ++i) {
    events.push_back(makeEvent("137", std::string(200, 'p'), EVTCORClock(i, 0, 0, i)));
  }
  const std::string body = constructRequestProtoWithEvents(events, fixedSnapshot(1, 1));
  const std::optional<std::string> gz = EVTHUBCompressionHelper::gzippedData(body);
  ASSERT_TRUE(gz.has_value());
  EXPECT_LT(gz->size(), body.size());

  const std::optional<std::string> inflated = gunzip(*gz);
  ASSERT_TRUE(inflated.has_value());
  const std::vector<DecodedSource> sources = decodeBatch(*inflated);
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0].events.size(), 50u);
}

// ---- Reply decoding -------------------------------------------------------

TEST(EvtBatchReplyTest, WellFormedRepliesDecode) {
  const struct {
    const char* name;
    std::string body;
    std::optional<std::int64_t> wait;
  } cases[] = {
      {"empty body", "", std::nullopt},
      {"wait time", bytes({0x08, 0xE8, 0x07}), 1000},
      {"negative wait time",
       bytes({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), -1},
      // tier_overrides { tier_settings { tier 1, setting_value 3 } x2, value 9 }
      {"tier overrides are read and dropped",
       bytes({0x08, 0x05, 0x1A, 0x0C, 0x0A, 0x04, 0x10, 0x01, 0x18, 0x03, 0x0A, 0x02, 0x10,
              0x02, 0x10, 0x09}),
       5},
      {"unknown fields are skipped", bytes({0x28, 0x01, 0x08, 0x02, 0x32, 0x01, 0x41}), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::Result<EVTHUBUploadReply> reply = EVTHUBDecodeUploadReply(c.body);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(reply.value().nextRequestWaitMillis, c.wait);
  }
}

TEST(EvtBatchReplyTest, MalformedTruncatedAndOversizedRepliesGiveAClearError) {
  const struct {
    const char* name;
    std::string body;
  } cases[] = {
      {"truncated varint", bytes({0x08, 0xE8})},
      {"wrong wire type for the wait time", bytes({0x0A, 0x01, 0x00})},
      {"length beyond the body", bytes({0x1A, 0x05, 0x08})},
      {"truncated inside a tier setting", bytes({0x1A, 0x04, 0x0A, 0x02, 0x10})},
      {"varint longer than ten bytes", std::string(11, '\xFF') + bytes({0x01})},
      {"field number zero", bytes({0x00, 0x01})},
      {"oversized", std::string(kEVTHUBMaxReplyBytes + 1, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::Result<EVTHUBUploadReply> reply = EVTHUBDecodeUploadReply(c.body);
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().domain, "NSURLErrorDomain");
    EXPECT_EQ(reply.error().code, -1);
    EXPECT_EQ(reply.error().message.rfind("nanopb error: ", 0), 0u) << reply.error().message;
    EXPECT_GT(reply.error().message.size(), std::string("nanopb error: ").size());
  }
}

}  // namespace
}  // namespace vandrel::analytics
