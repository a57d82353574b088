#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace vandrel::analytics {

// Targets: where an event goes. Anything below 1 is invalid.
inline constexpr std::int64_t kEVTCORTargetStorageOnly = 999;  // stored, never uploaded
inline constexpr std::int64_t kEVTCORTargetHUB = 1000;
inline constexpr std::int64_t kEVTCORTargetFLL = 1001;
inline constexpr std::int64_t kEVTCORTargetCSH = 1002;

// "hub", "fll", "csh" for the uploaded targets; empty for any other.
std::string_view EVTCORTargetName(std::int64_t target);

// QoS tiers. 1: Wi-Fi only (telemetry); 3: default, Wi-Fi and mobile data;
// 4: storing it forces an upload of its target; 0 and 5: Wi-Fi only; 2 and
// any other: only a forced (high-priority) upload takes it.
inline constexpr std::int64_t kEVTCORQoSTelemetry = 1;
inline constexpr std::int64_t kEVTCORQoSDefault = 3;
inline constexpr std::int64_t kEVTCORQoSFast = 4;

// A new event expires this long after its creation.
inline constexpr std::int64_t kEVTCOREventLifetimeSeconds = 604800;

// Keys of the event's JSON side record (customBytes).
inline constexpr std::string_view kEVTCORNeedsNetworkConnectionInfoKey =
    "needs_network_connection_info";
inline constexpr std::string_view kEVTCORNetworkConnectionInfoKey = "network_connection_info";
inline constexpr std::string_view kEVTCOREventCodeInfoKey = "event_code_info";

// Seconds since 1970 as a double, and back; dates travel in this form.
// Seconds beyond the clock's range read as its first or last instant
// (WallTime::min() or max()); NaN reads as 1970.
double EVTCORSecondsSince1970(platform::WallTime time);
platform::WallTime EVTCORDateFromSecondsSince1970(double seconds);

// A snapshot of the clocks taken when an event is sent. Immutable value.
class EVTCORClock {
 public:
  EVTCORClock(std::int64_t timeMillis, std::int64_t timezoneOffsetSeconds,
              std::int64_t kernelBootTime, std::int64_t uptime);

  // Taken now. The wall clock comes from `clock` (tests inject one); the
  // boot time always from the kernel.
  static EVTCORClock snapshot(const platform::Clock& clock = platform::SystemClock::shared());
  // Now, with timeMillis moved `millisInTheFuture` ahead.
  static EVTCORClock clockSnapshotInTheFuture(
      std::int64_t millisInTheFuture,
      const platform::Clock& clock = platform::SystemClock::shared());

  // Wall-clock milliseconds since 1970.
  std::int64_t timeMillis() const { return timeMillis_; }
  // Offset of the system time zone from GMT at 2001-01-01 00:00:00 GMT.
  std::int64_t timezoneOffsetSeconds() const { return timezoneOffsetSeconds_; }
  // Kernel boot time in microseconds since 1970; 0 when it cannot be read.
  std::int64_t kernelBootTime() const { return kernelBootTime_; }
  // Microseconds since boot.
  std::int64_t uptime() const { return uptime_; }

  // A later boot wins; within one boot, (millis + offset seconds) decides.
  bool isAfter(const EVTCORClock& other) const;

  std::size_t hash() const;
  bool operator==(const EVTCORClock& other) const = default;

 private:
  std::int64_t timeMillis_;
  std::int64_t timezoneOffsetSeconds_;
  std::int64_t kernelBootTime_;
  std::int64_t uptime_;
};

// The kernel boot time in microseconds since 1970, 0 when unreadable.
std::int64_t EVTCORKernelBootTimeMicros();

// A producer's payload.
class EVTCOREventDataObject {
 public:
  virtual ~EVTCOREventDataObject() = default;
  virtual std::string transportBytes() const = 0;
};

// A payload that is already bytes.
class EVTCORDataBytes final : public EVTCOREventDataObject {
 public:
  explicit EVTCORDataBytes(std::string bytes) : bytes_(std::move(bytes)) {}
  std::string transportBytes() const override { return bytes_; }

 private:
  std::string bytes_;
};

// One event of the transport: payload bytes plus routing data. A plain
// value with one owner at a time (producer, transformer queue, storage
// queue); no locks.
class EVTCOREvent {
 public:
  // None when `mappingID` is empty or `target` is below 1. The expiration
  // date is `clock`'s now + 7 days.
  static std::optional<EVTCOREvent> initWithMappingID(
      std::string mappingID, std::int64_t target,
      const platform::Clock& clock = platform::SystemClock::shared());

  // 32 upper-case hexadecimal characters from a random UUID.
  static std::string nextEventID();

  // The transport's copy: a fresh event with the same mapping ID and
  // target, then the identifier, data object (re-read), tier, clock and
  // custom bytes copied; the expiration date is the fresh one. (The C++
  // copy constructor is a plain copy that keeps everything.)
  EVTCOREvent copy(const platform::Clock& clock = platform::SystemClock::shared()) const;

  const std::string& eventID() const { return eventID_; }
  void setEventID(std::string eventID) { eventID_ = std::move(eventID); }
  const std::string& mappingID() const { return mappingID_; }
  std::int64_t target() const { return target_; }

  const std::shared_ptr<const EVTCOREventDataObject>& dataObject() const { return dataObject_; }
  // Also re-reads serializedDataObjectBytes (none for a null object).
  void setDataObject(std::shared_ptr<const EVTCOREventDataObject> dataObject);
  const std::optional<std::string>& serializedDataObjectBytes() const {
    return serializedDataObjectBytes_;
  }

  std::int64_t qosTier() const { return qosTier_; }
  void setQosTier(std::int64_t qosTier) { qosTier_ = qosTier; }

  const std::optional<EVTCORClock>& clockSnapshot() const { return clockSnapshot_; }
  void setClockSnapshot(std::optional<EVTCORClock> clock) { clockSnapshot_ = std::move(clock); }

  platform::WallTime expirationDate() const { return expirationDate_; }
  void setExpirationDate(platform::WallTime date) { expirationDate_ = date; }

  // UTF-8 JSON of one object, or none.
  const std::optional<std::string>& customBytes() const { return customBytes_; }
  void setCustomBytes(std::optional<std::string> bytes) { customBytes_ = std::move(bytes); }

  // Accessors of the custom bytes. Unparseable custom bytes leave the event
  // unchanged; readers then answer false / none.
  bool needsNetworkConnectionInfoPopulated() const;
  void setNeedsNetworkConnectionInfoPopulated(bool needs);
  std::optional<std::string> networkConnectionInfoData() const;
  void setNetworkConnectionInfoData(std::string_view data);
  std::optional<std::int64_t> eventCode() const;
  void setEventCode(std::optional<std::int64_t> code);

  // XOR of the hashes of eventID, mappingID, clockSnapshot and the payload
  // bytes with the raw target and tier.
  std::size_t hash() const;
  // Equal when every field the hash covers is equal.
  bool operator==(const EVTCOREvent& other) const;

  // For the archive reader, which builds an event field by field.
  struct Fields;
  static EVTCOREvent fromFields(Fields fields);

 private:
  EVTCOREvent() = default;

  std::string eventID_;
  std::string mappingID_;
  std::int64_t target_ = 0;
  std::shared_ptr<const EVTCOREventDataObject> dataObject_;
  std::optional<std::string> serializedDataObjectBytes_;
  std::int64_t qosTier_ = kEVTCORQoSDefault;
  std::optional<EVTCORClock> clockSnapshot_;
  platform::WallTime expirationDate_{};
  std::optional<std::string> customBytes_;
};

struct EVTCOREvent::Fields {
  std::string eventID;
  std::string mappingID;
  std::int64_t target = 0;
  std::int64_t qosTier = kEVTCORQoSDefault;
  std::optional<EVTCORClock> clockSnapshot;
  std::optional<std::string> customBytes;
  platform::WallTime expirationDate{};
  std::string serializedDataObjectBytes;
};

}  // namespace vandrel::analytics

template <>
struct std::hash<vandrel::analytics::EVTCOREvent> {
  std::size_t operator()(const vandrel::analytics::EVTCOREvent& e) const { return e.hash(); }
};
template <>
struct std::hash<vandrel::analytics::EVTCORClock> {
  std::size_t operator()(const vandrel::analytics::EVTCORClock& c) const { return c.hash(); }
};
