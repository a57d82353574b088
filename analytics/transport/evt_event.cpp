#include "analytics/transport/evt_event.h"

#include <fcntl.h>
#include <time.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "analytics/transport/evt_archive.h"
#include "analytics/transport/evt_log.h"
#include "platform/file_io.h"
#include "platform/json.h"

namespace vandrel::analytics {
namespace {

// 2001-01-01 00:00:00 GMT, the reference date of the time-zone offset.
constexpr time_t kReferenceDate1970Seconds = 978307200;
// Bounded: a boot time that keeps changing between reads must not spin.
constexpr int kMaxBootTimeReads = 16;

std::size_t hashInt(std::int64_t value) { return std::hash<std::int64_t>{}(value); }

// The custom bytes as a JSON object; none when absent or not an object.
std::optional<nlohmann::json> parseCustomObject(const std::optional<std::string>& bytes,
                                                bool* parseFailed) {
  *parseFailed = false;
  if (!bytes) return std::nullopt;
  auto parsed = platform::parseJson(*bytes);
  if (!parsed.ok() || !parsed.value().is_object()) {
    *parseFailed = true;
    EVTCORLogDebug("The event's custom bytes are not a JSON object: %s",
                   parsed.ok() ? "wrong type" : parsed.error().message.c_str());
    return std::nullopt;
  }
  return std::move(parsed).value();
}

std::string describe(const EVTCOREvent& event) {
  return "<EVTCOREvent " + event.eventID() + ">";
}

}  // namespace

std::string_view EVTCORTargetName(std::int64_t target) {
  switch (target) {
    case kEVTCORTargetHUB: return "hub";
    case kEVTCORTargetFLL: return "fll";
    case kEVTCORTargetCSH: return "csh";
    default: return {};
  }
}

double EVTCORSecondsSince1970(platform::WallTime time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

platform::WallTime EVTCORDateFromSecondsSince1970(double seconds) {
  if (std::isnan(seconds)) return platform::WallTime{};
  // The clock counts in 64-bit ticks (about 292 years either side of 1970);
  // a date beyond them is held at the clock's end, never wrapped round into
  // another century (converting an out-of-range double is undefined).
  using Ticks = platform::WallTime::duration;
  const double ticks = seconds * Ticks::period::den / Ticks::period::num;
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (ticks >= kLimit) return platform::WallTime::max();
  if (ticks <= -kLimit) return platform::WallTime::min();
  return platform::WallTime{} + Ticks(static_cast<Ticks::rep>(ticks));
}

// The kernel's boot time as it keeps it: "btime" of /proc/stat, in whole
// seconds. The other candidate, CLOCK_REALTIME - CLOCK_BOOTTIME, differs by
// some microseconds between two reads, so two reads would never agree.
std::int64_t EVTCORKernelBootTimeMicros() {
  platform::UniqueFd fd(::open("/proc/stat", O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  std::string text;
  if (!platform::readAll(fd.get(), text, 1 << 20) && text.empty()) return 0;
  const std::string_view all(text);
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view line = all.substr(pos, end - pos);
    if (line.starts_with("btime ")) {
      long long seconds = 0;
      if (std::sscanf(std::string(line.substr(6)).c_str(), "%lld", &seconds) != 1 || seconds <= 0) {
        return 0;
      }
      return static_cast<std::int64_t>(seconds) * 1000000;
    }
    pos = end + 1;
  }
  return 0;
}

EVTCORClock::EVTCORClock(std::int64_t timeMillis, std::int64_t timezoneOffsetSeconds,
                         std::int64_t kernelBootTime, std::int64_t uptime)
    : timeMillis_(timeMillis),
      timezoneOffsetSeconds_(timezoneOffsetSeconds),
      kernelBootTime_(kernelBootTime),
      uptime_(uptime) {}

EVTCORClock EVTCORClock::snapshot(const platform::Clock& clock) {
  const std::int64_t kernelBootTime = EVTCORKernelBootTimeMicros();

  // The wall clock read between two equal boot-time reads, so a clock
  // change in between cannot skew the uptime.
  std::int64_t reference = EVTCORKernelBootTimeMicros();
  platform::WallTime wall = clock.wallNow();
  for (int i = 0; i < kMaxBootTimeReads; ++i) {
    const std::int64_t after = EVTCORKernelBootTimeMicros();
    if (after == reference) break;
    reference = after;
    wall = clock.wallNow();
  }
  const auto wallMicros =
      std::chrono::duration_cast<std::chrono::microseconds>(wall.time_since_epoch()).count();
  const std::int64_t uptime = static_cast<std::int64_t>(wallMicros) - reference;

  const double millis = EVTCORSecondsSince1970(wall) * 1000.0;
  const std::int64_t timeMillis = static_cast<std::int64_t>(std::trunc(millis));

  std::int64_t offset = 0;
  time_t reference2001 = kReferenceDate1970Seconds;
  struct tm local {};
  if (localtime_r(&reference2001, &local) != nullptr) offset = local.tm_gmtoff;

  return EVTCORClock(timeMillis, offset, kernelBootTime, uptime);
}

EVTCORClock EVTCORClock::clockSnapshotInTheFuture(std::int64_t millisInTheFuture,
                                                  const platform::Clock& clock) {
  const EVTCORClock now = snapshot(clock);
  return EVTCORClock(now.timeMillis_ + millisInTheFuture, now.timezoneOffsetSeconds_,
                     now.kernelBootTime_, now.uptime_);
}

bool EVTCORClock::isAfter(const EVTCORClock& other) const {
  if (kernelBootTime_ != other.kernelBootTime_) return other.kernelBootTime_ < kernelBootTime_;
  // Milliseconds and seconds added as they stand: that is the stored rule.
  return timeMillis_ + timezoneOffsetSeconds_ > other.timeMillis_ + other.timezoneOffsetSeconds_;
}

std::size_t EVTCORClock::hash() const {
  return hashInt(timeMillis_) ^ hashInt(timezoneOffsetSeconds_) ^ hashInt(kernelBootTime_) ^
         hashInt(uptime_);
}

std::optional<EVTCOREvent> EVTCOREvent::initWithMappingID(std::string mappingID,
                                                          std::int64_t target,
                                                          const platform::Clock& clock) {
  if (mappingID.empty() || target < 1) return std::nullopt;
  EVTCOREvent event;
  event.eventID_ = nextEventID();
  event.mappingID_ = std::move(mappingID);
  event.target_ = target;
  event.qosTier_ = kEVTCORQoSDefault;
  event.expirationDate_ = clock.wallNow() + std::chrono::seconds(kEVTCOREventLifetimeSeconds);
  EVTCORLogDebug("Event %s created. ID:%s mappingID: %s target:%lld", describe(event).c_str(),
                 event.eventID_.c_str(), event.mappingID_.c_str(),
                 static_cast<long long>(event.target_));
  return event;
}

std::string EVTCOREvent::nextEventID() {
  // A version-4 UUID's 32 hexadecimal digits, upper case, without dashes.
  static thread_local std::mt19937_64 engine{[] {
    std::random_device device;
    std::seed_seq seq{device(), device(), device(), device(), device(), device(), device(),
                      device()};
    return std::mt19937_64(seq);
  }()};
  std::array<unsigned char, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size(); i += 8) {
    const std::uint64_t r = engine();
    std::memcpy(bytes.data() + i, &r, 8);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(32);
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

EVTCOREvent EVTCOREvent::copy(const platform::Clock& clock) const {
  // The constructor's checks held for this event, so the copy is valid too.
  EVTCOREvent result = *initWithMappingID(mappingID_, target_, clock);
  result.eventID_ = eventID_;
  result.setDataObject(dataObject_);
  if (!dataObject_) result.serializedDataObjectBytes_ = serializedDataObjectBytes_;
  result.qosTier_ = qosTier_;
  result.clockSnapshot_ = clockSnapshot_;
  result.customBytes_ = customBytes_;
  EVTCORLogDebug("Copying event %s to event %s", describe(*this).c_str(),
                 describe(result).c_str());
  return result;
}

void EVTCOREvent::setDataObject(std::shared_ptr<const EVTCOREventDataObject> dataObject) {
  dataObject_ = std::move(dataObject);
  if (dataObject_) {
    serializedDataObjectBytes_ = dataObject_->transportBytes();
  } else {
    serializedDataObjectBytes_.reset();
  }
}

bool EVTCOREvent::needsNetworkConnectionInfoPopulated() const {
  bool failed = false;
  const auto object = parseCustomObject(customBytes_, &failed);
  if (!object) return false;
  const auto it = object->find(kEVTCORNeedsNetworkConnectionInfoKey);
  if (it == object->end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  // A number stands for its truth value, as a boxed number would.
  if (it->is_number()) return it->get<double>() != 0.0;
  return false;
}

void EVTCOREvent::setNeedsNetworkConnectionInfoPopulated(bool needs) {
  bool failed = false;
  auto object = parseCustomObject(customBytes_, &failed);
  if (failed) return;
  if (needs) {
    nlohmann::json next = object ? std::move(*object) : nlohmann::json::object();
    next[std::string(kEVTCORNeedsNetworkConnectionInfoKey)] = true;
    customBytes_ = platform::dumpJson(next);
    return;
  }
  if (!object) return;
  // Clearing keeps only the event code; without one the bytes stay as they
  // are (the flag too), as readers of stored events expect.
  const auto code = object->find(kEVTCOREventCodeInfoKey);
  if (code == object->end()) return;
  nlohmann::json next = nlohmann::json::object();
  next[std::string(kEVTCOREventCodeInfoKey)] = *code;
  customBytes_ = platform::dumpJson(next);
}

std::optional<std::string> EVTCOREvent::networkConnectionInfoData() const {
  bool failed = false;
  const auto object = parseCustomObject(customBytes_, &failed);
  if (!object) return std::nullopt;
  const auto it = object->find(kEVTCORNetworkConnectionInfoKey);
  if (it == object->end() || !it->is_string()) return std::nullopt;
  return EVTCORBase64Decode(it->get<std::string>());
}

void EVTCOREvent::setNetworkConnectionInfoData(std::string_view data) {
  const std::string encoded = EVTCORBase64Encode(data);
  if (encoded.empty()) return;
  bool failed = false;
  auto object = parseCustomObject(customBytes_, &failed);
  if (failed) return;
  nlohmann::json next = object ? std::move(*object) : nlohmann::json::object();
  next[std::string(kEVTCORNetworkConnectionInfoKey)] = encoded;
  customBytes_ = platform::dumpJson(next);
}

std::optional<std::int64_t> EVTCOREvent::eventCode() const {
  bool failed = false;
  const auto object = parseCustomObject(customBytes_, &failed);
  if (!object) return std::nullopt;
  const auto it = object->find(kEVTCOREventCodeInfoKey);
  if (it == object->end() || !it->is_string()) return std::nullopt;
  const std::string text = it->get<std::string>();
  std::size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
  if (text.size() == start || text.size() - start > 18) return std::nullopt;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  return std::stoll(text);
}

void EVTCOREvent::setEventCode(std::optional<std::int64_t> code) {
  bool failed = false;
  auto object = parseCustomObject(customBytes_, &failed);
  if (failed) return;
  if (code) {
    nlohmann::json next = object ? std::move(*object) : nlohmann::json::object();
    next[std::string(kEVTCOREventCodeInfoKey)] = std::to_string(*code);
    customBytes_ = platform::dumpJson(next);
    return;
  }
  if (!object) return;
  object->erase(std::string(kEVTCOREventCodeInfoKey));
  customBytes_ = platform::dumpJson(*object);
}

std::size_t EVTCOREvent::hash() const {
  const std::hash<std::string> hashString;
  std::size_t h = hashString(eventID_) ^ hashString(mappingID_);
  if (clockSnapshot_) h ^= clockSnapshot_->hash();
  if (serializedDataObjectBytes_) h ^= hashString(*serializedDataObjectBytes_);
  return h ^ static_cast<std::size_t>(target_) ^ static_cast<std::size_t>(qosTier_);
}

bool EVTCOREvent::operator==(const EVTCOREvent& other) const {
  return eventID_ == other.eventID_ && mappingID_ == other.mappingID_ &&
         clockSnapshot_ == other.clockSnapshot_ &&
         serializedDataObjectBytes_ == other.serializedDataObjectBytes_ &&
         target_ == other.target_ && qosTier_ == other.qosTier_;
}

EVTCOREvent EVTCOREvent::fromFields(Fields fields) {
  EVTCOREvent event;
  event.eventID_ = std::move(fields.eventID);
  event.mappingID_ = std::move(fields.mappingID);
  event.target_ = fields.target;
  event.qosTier_ = fields.qosTier;
  event.clockSnapshot_ = std::move(fields.clockSnapshot);
  event.customBytes_ = std::move(fields.customBytes);
  event.expirationDate_ = fields.expirationDate;
  event.serializedDataObjectBytes_ = std::move(fields.serializedDataObjectBytes);
  return event;
}

}  // namespace vandrel::analytics
