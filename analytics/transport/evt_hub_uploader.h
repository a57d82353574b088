#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "analytics/transport/evt_event.h"
#include "analytics/transport/evt_protocols.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/notification_center.h"

namespace vandrel::analytics {

class EVTCORApplication;
class EVTCORRegistrar;

inline constexpr std::string_view kEVTHUBUploaderQueueLabel = "com.gryphon.EVTHUBUploader";
// Posted after each finished upload; userInfo[kEVTHUBUploadCompleteEventCountKey]
// holds the number of events of the batch.
inline constexpr std::string_view kEVTHUBUploadCompleteNotification =
    "com.EVTHUBUploader.UploadComplete";
inline constexpr std::string_view kEVTHUBUploadCompleteEventCountKey = "eventCount";

inline constexpr std::string_view kEVTHUBPathHUB = "/v0hb/log/batch";
inline constexpr std::string_view kEVTHUBPathFLLAndCSH = "/v1/beaconlog/legacy/batchlog";
inline constexpr std::string_view kEVTHUBAPIKeyHeader = "X-Gryph-Api-Key";
inline constexpr std::string_view kEVTHUBTransportVersion = "7.0.0";
// How long a batch may stay cut before the storage's sweep dissolves it.
inline constexpr std::int64_t kEVTHUBBatchExpirationSeconds = 600;
// The wait after a reply that names none (or does not parse).
inline constexpr std::int64_t kEVTHUBDefaultWaitMillis = 900000;
// Redirect hops one upload follows before it gives up.
inline constexpr int kEVTHUBMaxRedirects = 16;

// Where the three targets go. The hosts (a port may follow) and the API key
// come from the build configuration; tests pass their own.
struct EVTHUBEndpoints {
  std::string hubHost;
  std::string fllHost;
  std::string cshHost;
  // Sent on FLL and CSH requests; none is sent while it is empty.
  std::string apiKey;

  // The values compiled into the program.
  static EVTHUBEndpoints compiledIn();
};

// The one uploader of the transport, registered for the targets 1000 (HUB),
// 1001 (FLL) and 1002 (CSH). Each upload run decides whether the target may
// upload now, dissolves the target's leftover batches, cuts a new batch,
// POSTs it over HTTPS, records the server's wait time for the endpoint and
// deletes the batch (delivered) or puts its events back (not delivered). At
// most one batch is in flight at a time, across all targets.
//
// Queue: "com.gryphon.EVTHUBUploader"; every decision and state change runs
// there, storage and HTTP completions hop back to it. Public methods may be
// called from any thread except that queue; the "queue only" ones only on it.
class EVTHUBUploader final : public EVTCORUploader {
 public:
  // The load step: registers the shared instance with the shared registrar
  // for 1000, 1001 and 1002, in that order. Idempotent.
  static void load();
  // Made once on the shared registrar, application and notification center
  // with the compiled-in endpoints, and leaked.
  static const std::shared_ptr<EVTHUBUploader>& sharedInstance();

  EVTHUBUploader(EVTCORRegistrar& registrar, EVTCORApplication& application,
                 platform::NotificationCenter& center, EVTHUBEndpoints endpoints,
                 platform::HttpSessionConfig sessionConfig = {},
                 const platform::Clock& clock = platform::SystemClock::shared());
  // Cancels the upload in flight; its completion still puts the batch's
  // events back into storage.
  ~EVTHUBUploader() override;
  EVTHUBUploader(const EVTHUBUploader&) = delete;
  EVTHUBUploader& operator=(const EVTHUBUploader&) = delete;

  // Queued: one upload run for `target` under `conditions`.
  void uploadTarget(std::int64_t target, EVTCORUploadConditions conditions) override;

  // Queue only. Whether `target` may upload now (one in-flight upload, a
  // network, the endpoint's wait time).
  bool readyToUploadTarget(std::int64_t target, EVTCORUploadConditions conditions);
  // Every event of the target for a high-priority run; else the QoS tiers
  // the network allows (none without a network bit).
  static EVTCORStorageEventSelector eventSelectorTarget(std::int64_t target,
                                                        EVTCORUploadConditions conditions);

  // The endpoint of `target` (the test server when one is set); none for a
  // target this uploader does not serve.
  std::optional<std::string> serverURLForTarget(std::int64_t target) const;
  // The POST of `data` to the target's endpoint with its headers; none for
  // empty data or an unknown target.
  std::optional<platform::HttpRequest> constructRequestForTarget(std::int64_t target,
                                                                 std::string_view data) const;
  // The request body of a batch (the wire format, stamped from this
  // uploader's clock).
  std::string constructRequestProtoWithEvents(std::span<const EVTCOREvent> events) const;

  // Replaces the endpoint of every target; none restores the real ones.
  void setTestServerURL(std::optional<std::string> url);

  // Recomputes the weekday of the daily key (queued).
  void appWillForeground(EVTCORApplication& application) override;
  // Cancels the upload in flight, synchronously on the queue.
  void appWillTerminate(EVTCORApplication& application) override;

  // Snapshots read on the queue, for tests and diagnostics.
  bool isCurrentlyUploading();
  std::optional<EVTCORClock> HUBNextUploadTime();
  std::optional<EVTCORClock> FLLNextUploadTime();
  platform::SerialQueue& uploaderQueue();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// Builds the endpoint URL "https://<host><path>".
std::string EVTHUBEndpointURL(std::string_view host, std::string_view path);
// "datatransport/7.0.0 <name>support/7.0.0 apple/" with the target's short
// name ("unknown" for a target without one).
std::string EVTHUBUserAgentForTarget(std::int64_t target);

}  // namespace vandrel::analytics
