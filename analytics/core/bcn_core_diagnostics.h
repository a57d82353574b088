#pragma once

// The daily core diagnostics: turns the facts of a configured app into one
// encoded diagnostics message and hands it to the event transport, which
// stores it and uploads it later. Once per calendar day the message also
// carries the heartbeat mark.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "analytics/core/bcn_diagnostics.pb.h"
#include "analytics/core/bcn_diagnostics_environment.h"
#include "analytics/transport/evt_event.h"
#include "platform/clock.h"
#include "platform/value.h"

namespace vandrel::platform {
class SerialQueue;
}

namespace vandrel::analytics {

class BCNCoreDiagnosticsData;
class EVTCORTransport;
class GRUHeartbeatDateStorage;

inline constexpr std::string_view kBCNCoreDiagnosticsQueueLabel = "com.gryphon.BCNCoreDiagnostics";
inline constexpr std::string_view kBCNCoreDiagnosticsMappingID = "137";
inline constexpr std::int64_t kBCNCoreDiagnosticsTarget = kEVTCORTargetFLL;
inline constexpr std::string_view kBCNCoreDiagnosticsHeartbeatFileName =
    "BEACON_DIAGNOSTICS_HEARTBEAT_DATE";
// The tag under which the heartbeat date is stored.
inline constexpr std::string_view kBCNCoreDiagnosticsHeartbeatTag = "BCNCoreDiagnostics";

// Codes of the transport's console logger used here (level 4).
inline constexpr std::int64_t kBCNCoreDiagnosticsMCEncoderError = 1005;
inline constexpr std::int64_t kBCNCoreDiagnosticsMCAppCountMissing = 1006;

// The sdkName code that marks the day's heartbeat.
inline constexpr std::uint32_t kBCNCoreDiagnosticsHeartbeatCode = 1;

// The wire code of an SDK name ("Storage" -> 16); 0 for a name not known.
std::uint32_t BCNCoreDiagnosticsSdkCode(std::string_view sdkName);

// The event payload: owns one diagnostics message (its byte strings and list
// are allocated and freed with pb_release) and encodes it on demand.
class BCNCoreDiagnosticsLog final : public EVTCOREventDataObject {
 public:
  // Takes over the message's allocations.
  explicit BCNCoreDiagnosticsLog(bcndiag_CoreDiagnostics config);
  ~BCNCoreDiagnosticsLog() override;
  BCNCoreDiagnosticsLog(const BCNCoreDiagnosticsLog&) = delete;
  BCNCoreDiagnosticsLog& operator=(const BCNCoreDiagnosticsLog&) = delete;

  const bcndiag_CoreDiagnostics& config() const { return config_; }
  // Releases the held message, then takes over `config`.
  void setConfig(bcndiag_CoreDiagnostics config);

  // The encoded message. An encoder failure is logged (code 1005) and
  // yields what was written, possibly nothing.
  std::string transportBytes() const override;

 private:
  bcndiag_CoreDiagnostics config_;
};

// Queue: "com.gryphon.BCNCoreDiagnostics"; every message is built, checked
// against the heartbeat date and handed over there, so two configurations in
// quick succession cannot both claim the day's heartbeat. Public methods may
// be called from any thread except that queue (the destructor waits for it).
class BCNCoreDiagnostics {
 public:
  // Made once (transport "137" to target 1001 on the shared transformer,
  // heartbeat file "BEACON_DIAGNOSTICS_HEARTBEAT_DATE") and leaked.
  static BCNCoreDiagnostics& sharedInstance();

  // Registers the shared instance's sendDiagnosticsData with the diagnostics
  // connector under "BCNCoreDiagnostics"; the shared instance itself is made
  // on the first send. Idempotent.
  static void load();

  // `transport` must not be null.
  BCNCoreDiagnostics(std::unique_ptr<EVTCORTransport> transport,
                     std::shared_ptr<GRUHeartbeatDateStorage> heartbeatDateStorage,
                     const platform::Clock& clock = platform::SystemClock::shared(),
                     BCNDiagnosticsEnvironment environment = BCNDiagnosticsEnvironment::system());
  ~BCNCoreDiagnostics();
  BCNCoreDiagnostics(const BCNCoreDiagnostics&) = delete;
  BCNCoreDiagnostics& operator=(const BCNCoreDiagnostics&) = delete;

  // Queues the work and returns. Nothing is built or sent when the data says
  // that data collection is off by default. A null `data` is ignored.
  void sendDiagnosticsData(std::shared_ptr<BCNCoreDiagnosticsData> data);

  // The message for one diagnostics dictionary, without the heartbeat mark.
  // Any thread.
  bcndiag_CoreDiagnostics buildConfig(const platform::Value::Dictionary& diagnostics) const;

  // Sets sdkName to the heartbeat code (and stores now as the heartbeat
  // date) unless the stored date's day is today or later. On the queue.
  void setHeartbeatFlagIfNeededToConfig(bcndiag_CoreDiagnostics& config);

  // True when both fall on the same day of the current calendar, or `date`
  // is earlier than `reference`.
  bool isDateInSameDayOrBeforeThan(platform::WallTime date, platform::WallTime reference) const;

  // uname's machine field, read once per process.
  static const std::string& deviceModel();

  platform::SerialQueue& diagnosticsQueue() { return *diagnosticsQueue_; }
  EVTCORTransport& transport() { return *transport_; }

 private:
  void send(const platform::Value::Dictionary& diagnostics);

  std::unique_ptr<EVTCORTransport> transport_;
  std::shared_ptr<GRUHeartbeatDateStorage> heartbeatDateStorage_;
  const platform::Clock& clock_;
  const BCNDiagnosticsEnvironment environment_;
  std::unique_ptr<platform::SerialQueue> diagnosticsQueue_;
};

}  // namespace vandrel::analytics
