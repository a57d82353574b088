#pragma once

// The heart of the analytics kit: the serial event queue on which all
// analytics work runs, the analytics directory tree, the current event log
// and its rotation into compressed, packaged and uploaded files, the
// downloaded settings, sampling, forwarding to the analytics framework,
// life-cycle events and the start-up clean-up of earlier runs.
//
// Directory tree (root = <Caches>/com.faultline.data/<bundle namespace>/
// analytics/v2):
//   crash_metadata                 this launch's metadata, for the next one
//   events/<UUID>.log              the current log and closed ones
//   events/<UUID>.gz               a closed log, compressed
//   events/<boundary>.multipartmime  a package ready to upload

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/tally/tly_settings.h"
#include "platform/clock.h"
#include "platform/notification_center.h"
#include "platform/value.h"

namespace vandrel::crash {
class Operation;
class OperationQueue;
}  // namespace vandrel::crash
namespace vandrel::platform {
class Scheduler;
}

namespace vandrel::analytics {

class TLYBeaconAnalyticsBridge;
class TLYCrashEvent;
class TLYCrashMetadata;
class TLYEvent;
class TLYEventFilter;
class TLYLogger;
class TLYMetadata;
class TLYNetworkRetryHandler;
class TLYTimer;
class TLYUploader;
class TLYUploaderDelegate;
class TLYUploadOperation;

inline constexpr std::string_view kTLYEventQueueName = "io.tally.EventQueue";
inline constexpr std::string_view kTLYRootDataDirectoryName = "com.faultline.data";
inline constexpr std::string_view kTLYAnalyticsDirectoryName = "analytics";
inline constexpr std::string_view kTLYAnalyticsVersionDirectoryName = "v2";
inline constexpr std::string_view kTLYEventsDirectoryName = "events";
inline constexpr std::string_view kTLYCrashMetadataFileName = "crash_metadata";
inline constexpr std::string_view kTLYRecordEventActivityName = "io.tally.RecordEvent";
inline constexpr std::string_view kTLYRecordCrashEventActivityName = "io.tally.RecordCrashEvent";
inline constexpr std::string_view kTLYRotateAndSubmitActivityName = "io.tally.RotateAndSubmit";
inline constexpr std::string_view kTLYFlushTimerIdentifier = "io.tally.TimedEventsFlush";

// Console messages ("%@" / "%s" filled in order).
inline constexpr std::string_view kTLYLoggingEventMessage = "Logging Tally event: %@";
inline constexpr std::string_view kTLYSamplingSkipMessage =
    "Application is enabled for sampling, skipping %@";
inline constexpr std::string_view kTLYAttemptingToLogMessage = "Attempting to log %@";
inline constexpr std::string_view kTLYInvalidExtensionMessage =
    "Error: attempted to submit file with invalid extension %@, should be %@";
inline constexpr std::string_view kTLYEnabledWithSettingsMessage =
    "Tally enabled with settings: %@";
inline constexpr std::string_view kTLYLoggingEventsToMessage = "Logging events to %@";
inline constexpr std::string_view kTLYDisabledMessage = "Tally is disabled. Cleaning up.";
inline constexpr std::string_view kTLYFailedToUploadMessage = "Failed to upload '%@': %@";
inline constexpr std::string_view kTLYFinishedTransmissionMessage =
    "Finished transmission of '%@'.";
inline constexpr std::string_view kTLYErrorTransmittingMessage = "Error transmitting '%@': %@";
inline constexpr std::string_view kTLYSchedulingRetryMessage = "Scheduling retry for '%@'.";
inline constexpr std::string_view kTLYQueuingBugMessage = "queuing bug in %s: %@ != %@";

// Everything the controller reads from the process, so tests can run fresh
// controllers over temp dirs with a manual clock. Every member has a
// working value in `live()`; a member left empty by a test falls back to it.
struct TLYTallyControllerEnvironment {
  // The registry made the install identifier in this launch.
  std::function<bool()> isFirstInstall;
  // The registry's current settings dictionary; none when it has none.
  std::function<std::optional<platform::Value::Dictionary>()> trellisSettings;
  // This launch's metadata for the start-up beta token.
  std::function<std::shared_ptr<const TLYMetadata>(const std::optional<std::string>& betaToken)>
      makeMetadata;
  std::function<std::shared_ptr<TLYNetworkRetryHandler>()> makeNetworkRetryHandler;
  std::function<std::unique_ptr<TLYBeaconAnalyticsBridge>()> makeBeaconAnalyticsBridge;
  // The uploader on the event queue, reporting to the controller.
  std::function<std::shared_ptr<TLYUploader>(std::shared_ptr<crash::OperationQueue> queue,
                                             std::weak_ptr<TLYUploaderDelegate> delegate)>
      makeUploader;
  // Life-cycle and settings notifications are observed here.
  platform::NotificationCenter* notificationCenter = nullptr;
  // Wall time of the stored metadata and the uploads; the flush timer's
  // scheduler.
  const platform::Clock* clock = nullptr;
  platform::Scheduler* scheduler = nullptr;
  const TLYLogger* logger = nullptr;

  // Trellis::sharedSDK(), TLYMetadata::initWithTrellis, the shared
  // notification center, the system clock and scheduler, the shared logger.
  static TLYTallyControllerEnvironment live();
};

// One per process in the product; tests make fresh ones. All state lives
// on the event queue (a serial operation queue, "io.tally.EventQueue"):
// the entry points only add operations to it, and the accessors marked
// "event queue" must be called from an operation on it (or once it is
// idle, in tests). Work already queued keeps the controller alive.
class TLYTallyController : public std::enable_shared_from_this<TLYTallyController> {
 public:
  using OperationList = std::vector<std::shared_ptr<crash::Operation>>;

  // The start-up sequence with `rootDirectory()` and the live environment.
  // Entry points may be called at once: work queues behind the set-up.
  static std::shared_ptr<TLYTallyController> initWithBetaToken(
      const std::optional<std::string>& betaToken);
  static std::shared_ptr<TLYTallyController> initWithBetaToken(
      const std::optional<std::string>& betaToken, const std::filesystem::path& rootDirectory,
      TLYTallyControllerEnvironment environment = {});
  // Stops observing notifications; queued work has run by then.
  ~TLYTallyController();
  TLYTallyController(const TLYTallyController&) = delete;
  TLYTallyController& operator=(const TLYTallyController&) = delete;

  // <Caches>/com.faultline.data/<bundle namespace>/analytics/v2
  static std::filesystem::path rootDirectory();
  static std::filesystem::path eventDirectoryForRootDirectory(const std::filesystem::path& root);
  static std::filesystem::path crashMetadataPathForRootDirectory(const std::filesystem::path& root);
  // The file name without extension when the extension is "multipartmime";
  // none otherwise.
  static std::optional<std::string> boundaryFromURL(
      const std::optional<std::filesystem::path>& url);

  // Any thread. Logs the event, then `enqueueEvent`.
  void logEvent(std::shared_ptr<const TLYEvent> event);
  // Any thread; returns at once. Samples, forwards, appends one line to the
  // current log and rotates it when it has grown past the limit or the
  // event asks for a flush.
  void enqueueEvent(std::shared_ptr<const TLYEvent> event);
  // Any thread. The previous launch's crash, written with that launch's
  // metadata alone in a fresh log that is submitted at once.
  void logCrashEvent(std::shared_ptr<const TLYCrashEvent> event);

  // Observer of "TRLSettingsAvailableNotification".
  void trellisSettingsDidBecomeAvailable(const platform::Notification& notification);
  // Any thread. The first valid settings of the process win.
  void initializeSettingsIfNeededWithTrellisSettings(
      const std::optional<platform::Value::Dictionary>& settingsDictionary);
  // Observer of the application life-cycle notifications.
  void applicationLifecycleEvent(const platform::Notification& notification);

  // The pipeline's steps; event queue.
  void rotateAndSubmitCurrentLog();
  OperationList operationsForUncompressedLog(const std::filesystem::path& url);
  OperationList operationsForCompressedLog(const std::filesystem::path& url);
  std::shared_ptr<TLYUploadOperation> uploadOperationForFileAtURL(
      const std::filesystem::path& url, const std::optional<std::string>& boundary);
  void cleanupAndProcessExistingFiles();
  void uploadAllMultipartFiles();
  void uploadMultipartFiles(const std::vector<std::filesystem::path>& urls);
  void removeAllLogs();
  void setupFlushTimer();
  void flushTimerFired();
  bool shouldLogEvent() const;
  bool shouldSubmitLogAtURL(const std::filesystem::path& url) const;
  void logEventToBeacon(const TLYEvent& event) const;
  std::filesystem::path generateNewLogPath() const;
  std::filesystem::path multipartMimeURLWithBoundary(std::string_view boundary) const;

  // Any thread.
  const std::shared_ptr<crash::OperationQueue>& eventQueue() const { return eventQueue_; }
  const std::filesystem::path& rootDirectoryPath() const { return rootDirectory_; }

  // Event queue.
  const std::filesystem::path& rootEventDirectory() const;
  const std::filesystem::path& currentLogURL() const;
  const TLYSettings& settings() const;
  const std::shared_ptr<const TLYMetadata>& metadata() const;
  const std::shared_ptr<const TLYCrashMetadata>& previousExecutionMetadata() const;
  const std::shared_ptr<TLYUploader>& uploader() const;
  const TLYTimer* flushTimer() const;

 private:
  struct State;
  class UploaderDelegate;

  TLYTallyController(std::filesystem::path rootDirectory,
                     TLYTallyControllerEnvironment environment);
  void start(const std::optional<std::string>& betaToken);
  void setUp(const std::optional<std::string>& betaToken);
  void registerForApplicationLifecycleEvents();
  void recordEvent(std::shared_ptr<const TLYEvent> event);
  void recordCrashEvent(std::shared_ptr<const TLYCrashEvent> event);
  bool sampledOut(const TLYEvent& event) const;
  void addBlock(std::function<void()> block);
  void checkOnEventQueue(std::string_view method) const;

  const std::filesystem::path rootDirectory_;
  const TLYTallyControllerEnvironment env_;
  const std::shared_ptr<crash::OperationQueue> eventQueue_;
  std::vector<platform::ObserverToken> observers_;
  std::unique_ptr<State> state_;
};

}  // namespace vandrel::analytics
