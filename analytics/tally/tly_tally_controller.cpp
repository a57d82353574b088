#include "analytics/tally/tly_tally_controller.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "analytics/tally/tly_activity_operation.h"
#include "analytics/tally/tly_beacon_analytics_bridge.h"
#include "analytics/tally/tly_cleanup_files_operation.h"
#include "analytics/tally/tly_compress_log_operation.h"
#include "analytics/tally/tly_crash_metadata.h"
#include "analytics/tally/tly_event.h"
#include "analytics/tally/tly_event_filter.h"
#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_metadata.h"
#include "analytics/tally/tly_network_retry_handler.h"
#include "analytics/tally/tly_package_log_operation.h"
#include "analytics/tally/tly_rotate_crash_metadata_operation.h"
#include "analytics/tally/tly_timer.h"
#include "analytics/tally/tly_upload_operation.h"
#include "analytics/tally/tly_uploader.h"
#include "analytics/tally/tly_write_event_operation.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "crash/kit/trl_settings.h"
#include "platform/paths.h"

namespace vandrel::analytics {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPurchaseEventName = "purchase";

// The event queue an operation of ours is running for on this thread: our
// operations are the only work of the queue that reads controller state.
thread_local const crash::OperationQueue* tCurrentEventQueue = nullptr;

class QueueMark {
 public:
  explicit QueueMark(const crash::OperationQueue* queue) : previous_(tCurrentEventQueue) {
    tCurrentEventQueue = queue;
  }
  ~QueueMark() { tCurrentEventQueue = previous_; }
  QueueMark(const QueueMark&) = delete;
  QueueMark& operator=(const QueueMark&) = delete;

 private:
  const crash::OperationQueue* previous_;
};

class ControllerBlockOperation final : public crash::Operation {
 public:
  ControllerBlockOperation(const crash::OperationQueue* queue, std::function<void()> block)
      : queue_(queue), block_(std::move(block)) {}
  void main() override {
    if (isCancelled()) return;
    QueueMark mark(queue_);
    block_();
    block_ = nullptr;  // drops what the block held as soon as it has run
  }

 private:
  const crash::OperationQueue* queue_;
  std::function<void()> block_;
};

void removeFile(const fs::path& url) {
  std::error_code ignored;
  fs::remove(url, ignored);
}

std::string extensionOf(const fs::path& url) {
  std::string extension = url.extension().string();
  if (!extension.empty() && extension.front() == '.') extension.erase(0, 1);
  return extension;
}

fs::path withExtension(fs::path url, std::string_view extension) {
  return url.replace_extension(std::string(extension));
}

std::string describeError(const crash::KitError& error) {
  std::string text = "Error Domain=" + error.domain + " Code=" + std::to_string(error.code);
  if (!error.localizedDescription.empty()) text += " \"" + error.localizedDescription + "\"";
  return text;
}

std::string describeError(const platform::Error& error) {
  std::string text = "Error Domain=" + error.domain + " Code=" + std::to_string(error.code);
  if (!error.message.empty()) text += " \"" + error.message + "\"";
  return text;
}

// Fills what a test left empty with the live member.
TLYTallyControllerEnvironment completed(TLYTallyControllerEnvironment env) {
  const bool whole = env.isFirstInstall && env.trellisSettings && env.makeMetadata &&
                     env.makeNetworkRetryHandler && env.makeBeaconAnalyticsBridge &&
                     env.makeUploader && env.notificationCenter && env.clock && env.scheduler &&
                     env.logger;
  if (whole) return env;
  TLYTallyControllerEnvironment live = TLYTallyControllerEnvironment::live();
  if (!env.isFirstInstall) env.isFirstInstall = std::move(live.isFirstInstall);
  if (!env.trellisSettings) env.trellisSettings = std::move(live.trellisSettings);
  if (!env.makeMetadata) env.makeMetadata = std::move(live.makeMetadata);
  if (!env.makeNetworkRetryHandler)
    env.makeNetworkRetryHandler = std::move(live.makeNetworkRetryHandler);
  if (!env.makeBeaconAnalyticsBridge)
    env.makeBeaconAnalyticsBridge = std::move(live.makeBeaconAnalyticsBridge);
  if (!env.makeUploader) env.makeUploader = std::move(live.makeUploader);
  if (!env.notificationCenter) env.notificationCenter = live.notificationCenter;
  if (!env.clock) env.clock = live.clock;
  if (!env.scheduler) env.scheduler = live.scheduler;
  if (!env.logger) env.logger = live.logger;
  return env;
}

}  // namespace

// Set and read on the event queue only.
struct TLYTallyController::State {
  fs::path rootEventDirectory;
  fs::path currentLogURL;
  TLYSettings settings;
  std::shared_ptr<const TLYMetadata> metadata;
  std::shared_ptr<const TLYCrashMetadata> previousExecutionMetadata;
  TLYEventFilter eventFilter;
  std::shared_ptr<TLYNetworkRetryHandler> networkRetryHandler;
  std::shared_ptr<UploaderDelegate> uploaderDelegate;
  std::shared_ptr<TLYUploader> uploader;
  std::unique_ptr<TLYTimer> flushTimer;
  std::unique_ptr<TLYBeaconAnalyticsBridge> beaconAnalyticsBridge;
};

// The uploader's delegate: holds the controller weakly (the uploader holds
// its delegate weakly too, and lives in the controller's state).
class TLYTallyController::UploaderDelegate final : public TLYUploaderDelegate {
 public:
  explicit UploaderDelegate(std::weak_ptr<TLYTallyController> controller)
      : controller_(std::move(controller)) {}

  bool respondsToSelector(TLYUploaderDelegateSelector selector) const override {
    return selector == TLYUploaderDelegateSelector::DidReceiveChallenge;
  }

  std::string uploader(TLYUploader&, const std::string& uniqueName) override {
    auto controller = controller_.lock();
    if (!controller) return {};
    return controller->multipartMimeURLWithBoundary(uniqueName).string();
  }

  void uploader(TLYUploader&, const std::string& uniqueName,
                const std::optional<crash::KitError>& error) override {
    auto controller = controller_.lock();
    if (!controller) return;
    const TLYLogger& logger = *controller->env_.logger;
    if (error)
      logger.log(
          TLYFillPlaceholders(kTLYFailedToUploadMessage, {uniqueName, describeError(*error)}));
    logger.log(TLYFillPlaceholders(kTLYFinishedTransmissionMessage, {uniqueName}));
    removeFile(controller->multipartMimeURLWithBoundary(uniqueName));
  }

  void uploader(TLYUploader&, const crash::FLTURLRequest& completedRequest,
                const std::optional<crash::FLTHTTPURLResponse>& response,
                const std::string& uniqueName, const std::optional<platform::Error>& error,
                CompletedRequestHandler completionHandler) override {
    auto controller = controller_.lock();
    if (!controller) {
      completionHandler(false, std::nullopt);
      return;
    }
    const TLYLogger* logger = controller->env_.logger;
    auto handler = controller->state_->networkRetryHandler;
    handler->handleCompletedRequest(
        completedRequest, response, uniqueName, error,
        [logger, uniqueName, error, completionHandler = std::move(completionHandler)](
            bool retry, const std::optional<crash::KitError>& handlerError) {
          if (error)
            logger->log(TLYFillPlaceholders(kTLYErrorTransmittingMessage,
                                            {uniqueName, describeError(*error)}));
          if (retry) logger->log(TLYFillPlaceholders(kTLYSchedulingRetryMessage, {uniqueName}));
          completionHandler(retry, handlerError);
        });
  }

  void uploader(TLYUploader&, crash::FLTURLSession* session,
                const crash::TRLAuthenticationChallenge& challenge,
                const crash::TRLChallengeCompletion& completionHandler) override {
    auto controller = controller_.lock();
    if (!controller) return;
    controller->state_->networkRetryHandler->handleChallenge(challenge, session, completionHandler);
  }

 private:
  std::weak_ptr<TLYTallyController> controller_;
};

TLYTallyControllerEnvironment TLYTallyControllerEnvironment::live() {
  TLYTallyControllerEnvironment env;
  env.isFirstInstall = [] { return crash::Trellis::sharedSDK().isFirstInstall(); };
  // The registry answers an empty dictionary while it has no settings.
  env.trellisSettings = []() -> std::optional<platform::Value::Dictionary> {
    platform::Value::Dictionary settings = crash::Trellis::sharedSDK().settings();
    if (settings.empty()) return std::nullopt;
    return settings;
  };
  env.makeMetadata = [](const std::optional<std::string>& betaToken) {
    return std::make_shared<const TLYMetadata>(
        TLYMetadata::initWithTrellis(crash::Trellis::sharedSDK(), betaToken));
  };
  env.makeNetworkRetryHandler = [] { return std::make_shared<TLYNetworkRetryHandler>(); };
  env.makeBeaconAnalyticsBridge = [] { return std::make_unique<TLYBeaconAnalyticsBridge>(); };
  env.makeUploader = [](std::shared_ptr<crash::OperationQueue> queue,
                        std::weak_ptr<TLYUploaderDelegate> delegate) {
    return TLYUploader::initWithQueue(std::move(queue), std::move(delegate));
  };
  env.notificationCenter = &platform::NotificationCenter::shared();
  env.clock = &platform::SystemClock::shared();
  env.scheduler = &platform::Scheduler::system();
  env.logger = &TLYLogger::sharedLogger();
  return env;
}

std::shared_ptr<TLYTallyController> TLYTallyController::initWithBetaToken(
    const std::optional<std::string>& betaToken) {
  return initWithBetaToken(betaToken, rootDirectory(), TLYTallyControllerEnvironment::live());
}

std::shared_ptr<TLYTallyController> TLYTallyController::initWithBetaToken(
    const std::optional<std::string>& betaToken, const fs::path& rootDirectory,
    TLYTallyControllerEnvironment environment) {
  std::shared_ptr<TLYTallyController> controller(
      new TLYTallyController(rootDirectory, completed(std::move(environment))));
  controller->start(betaToken);
  return controller;
}

TLYTallyController::TLYTallyController(fs::path rootDirectory,
                                       TLYTallyControllerEnvironment environment)
    : rootDirectory_(std::move(rootDirectory)),
      env_(std::move(environment)),
      eventQueue_(std::make_shared<crash::OperationQueue>(std::string(kTLYEventQueueName))),
      state_(std::make_unique<State>()) {
  // One operation at a time; this queue has no quality-of-service classes.
  eventQueue_->setMaxConcurrentOperationCount(1);
}

TLYTallyController::~TLYTallyController() {
  for (const platform::ObserverToken& token : observers_)
    env_.notificationCenter->removeObserver(token);
}

void TLYTallyController::start(const std::optional<std::string>& betaToken) {
  auto self = shared_from_this();
  addBlock([self, betaToken] { self->setUp(betaToken); });
  registerForApplicationLifecycleEvents();
  std::weak_ptr<TLYTallyController> weak = self;
  observers_.push_back(env_.notificationCenter->addObserver(
      std::string(crash::kTRLSettingsAvailableNotification), nullptr, std::nullopt,
      [weak](const platform::Notification& notification) {
        if (auto controller = weak.lock())
          controller->trellisSettingsDidBecomeAvailable(notification);
      }));
  if (env_.isFirstInstall()) enqueueEvent(TLYLifecycleEvent::installEvent());
  enqueueEvent(TLYLifecycleEvent::appLaunchedEvent());
  initializeSettingsIfNeededWithTrellisSettings(env_.trellisSettings());
}

void TLYTallyController::setUp(const std::optional<std::string>& betaToken) {
  State& state = *state_;
  state.rootEventDirectory = eventDirectoryForRootDirectory(rootDirectory_);
  std::error_code ignored;
  fs::create_directories(state.rootEventDirectory, ignored);
  state.currentLogURL = generateNewLogPath();
  state.settings = TLYSettings();
  state.metadata = env_.makeMetadata(betaToken);
  TLYRotateCrashMetadataOperation rotate(crashMetadataPathForRootDirectory(rootDirectory_),
                                         state.metadata, *env_.clock);
  rotate.main();
  state.previousExecutionMetadata = rotate.crashMetadata();
  state.networkRetryHandler = env_.makeNetworkRetryHandler();
  state.uploaderDelegate = std::make_shared<UploaderDelegate>(weak_from_this());
  state.uploader = env_.makeUploader(eventQueue_, state.uploaderDelegate);
  state.beaconAnalyticsBridge = env_.makeBeaconAnalyticsBridge();
  cleanupAndProcessExistingFiles();
}

void TLYTallyController::registerForApplicationLifecycleEvents() {
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  for (std::string_view name :
       {kNSApplicationWillTerminateNotification, kNSApplicationWillResignActiveNotification,
        kNSApplicationDidBecomeActiveNotification}) {
    observers_.push_back(env_.notificationCenter->addObserver(
        std::string(name), nullptr, std::nullopt,
        [weak](const platform::Notification& notification) {
          if (auto controller = weak.lock()) controller->applicationLifecycleEvent(notification);
        }));
  }
}

void TLYTallyController::applicationLifecycleEvent(const platform::Notification& notification) {
  enqueueEvent(TLYLifecycleEvent::eventWithNotification(notification.name));
}

fs::path TLYTallyController::rootDirectory() {
  return platform::cachesDirectory() / std::string(kTLYRootDataDirectoryName) /
         crash::TRLBundleIdentifierNamespace() / std::string(kTLYAnalyticsDirectoryName) /
         std::string(kTLYAnalyticsVersionDirectoryName);
}

fs::path TLYTallyController::eventDirectoryForRootDirectory(const fs::path& root) {
  return root / std::string(kTLYEventsDirectoryName);
}

fs::path TLYTallyController::crashMetadataPathForRootDirectory(const fs::path& root) {
  return root / std::string(kTLYCrashMetadataFileName);
}

std::optional<std::string> TLYTallyController::boundaryFromURL(const std::optional<fs::path>& url) {
  if (!url || extensionOf(*url) != kTLYMultipartExtension) return std::nullopt;
  return url->stem().string();
}

fs::path TLYTallyController::generateNewLogPath() const {
  return state_->rootEventDirectory /
         (crash::TRLCreateUUIDString() + "." + std::string(kTLYLogExtension));
}

fs::path TLYTallyController::multipartMimeURLWithBoundary(std::string_view boundary) const {
  return state_->rootEventDirectory /
         (std::string(boundary) + "." + std::string(kTLYMultipartExtension));
}

void TLYTallyController::addBlock(std::function<void()> block) {
  eventQueue_->addOperation(
      std::make_shared<ControllerBlockOperation>(eventQueue_.get(), std::move(block)));
}

void TLYTallyController::checkOnEventQueue(std::string_view method) const {
  if (tCurrentEventQueue == eventQueue_.get()) return;
  std::string message(kTLYQueuingBugMessage);
  message.replace(message.find("%s"), 2, method);
  const std::string current =
      tCurrentEventQueue ? tCurrentEventQueue->name() : std::string("(null)");
  env_.logger->log(TLYFillPlaceholders(message, {eventQueue_->name(), current}));
}

// Recording ------------------------------------------------------------------

void TLYTallyController::logEvent(std::shared_ptr<const TLYEvent> event) {
  if (!event) return;
  env_.logger->log(TLYFillPlaceholders(kTLYLoggingEventMessage, {event->description()}));
  enqueueEvent(std::move(event));
}

void TLYTallyController::enqueueEvent(std::shared_ptr<const TLYEvent> event) {
  if (!event) return;
  auto self = shared_from_this();
  addBlock([self, event = std::move(event)] { self->recordEvent(event); });
}

void TLYTallyController::logCrashEvent(std::shared_ptr<const TLYCrashEvent> event) {
  if (!event) return;
  auto self = shared_from_this();
  addBlock([self, event = std::move(event)] { self->recordCrashEvent(event); });
}

bool TLYTallyController::sampledOut(const TLYEvent& event) const {
  const State& state = *state_;
  const bool discard = state.eventFilter.shouldDiscardEvent(&event, state.metadata->betaToken(),
                                                            state.metadata->installationId(),
                                                            state.settings.samplingRate());
  if (discard)
    env_.logger->log(TLYFillPlaceholders(kTLYSamplingSkipMessage, {event.description()}));
  return discard;
}

// The activity is held until every operation the event put on the queue has
// run: it goes onto the queue after them (the queue is serial and in order).
void TLYTallyController::recordEvent(std::shared_ptr<const TLYEvent> event) {
  auto activity = TLYActivityOperation::operationByStartingActivityName(
      std::string(kTLYRecordEventActivityName), kTLYActivityOptionsRecord);
  if (shouldLogEvent() && !sampledOut(*event)) {
    logEventToBeacon(*event);
    auto write =
        std::make_shared<TLYWriteEventOperation>(event, *state_->metadata, state_->currentLogURL);
    addBlock([write] { write->main(); });
    if (shouldSubmitLogAtURL(state_->currentLogURL) || event->triggersFlush())
      rotateAndSubmitCurrentLog();
  }
  eventQueue_->addOperation(activity);
}

void TLYTallyController::recordCrashEvent(std::shared_ptr<const TLYCrashEvent> event) {
  auto activity = TLYActivityOperation::operationByStartingActivityName(
      std::string(kTLYRecordCrashEventActivityName), kTLYActivityOptionsRecord);
  env_.logger->log(TLYFillPlaceholders(kTLYAttemptingToLogMessage, {event->name()}));
  if (shouldLogEvent() && !sampledOut(*event)) {
    if (::access(state_->currentLogURL.c_str(), R_OK) == 0) rotateAndSubmitCurrentLog();
    // The crash belongs to the previous launch; when its metadata could not
    // be read back, the line goes out under an empty record rather than
    // under this launch's facts.
    std::shared_ptr<const TLYMetadataRecord> metadata = state_->previousExecutionMetadata;
    if (!metadata)
      metadata = std::make_shared<const TLYCrashMetadata>(platform::Value::Dictionary{});
    auto write = std::make_shared<TLYWriteEventOperation>(event, *metadata, state_->currentLogURL);
    addBlock([write] { write->main(); });
    rotateAndSubmitCurrentLog();
  }
  eventQueue_->addOperation(activity);
}

bool TLYTallyController::shouldLogEvent() const {
  const TLYSettings& settings = state_->settings;
  if (!settings.valid()) return true;
  return settings.shouldCollectAnalytics();
}

bool TLYTallyController::shouldSubmitLogAtURL(const fs::path& url) const {
  const auto size = static_cast<std::int64_t>(TLYFileUtils::fileSizeAtURL(url));
  return size > state_->settings.maximumPayloadSize();
}

void TLYTallyController::logEventToBeacon(const TLYEvent& event) const {
  const TLYSettings& settings = state_->settings;
  if (!settings.shouldForwardToBeaconAnalytics()) return;
  if (dynamic_cast<const TLYCrashEvent*>(&event)) return;
  if (auto* predefined = dynamic_cast<const TLYPredefinedEvent*>(&event);
      predefined && predefined->predefinedEventName() == kPurchaseEventName &&
      !settings.shouldIncludePurchaseEventsInForwardedBeaconEvents()) {
    return;
  }
  state_->beaconAnalyticsBridge->logEvent(event);
}

// Rotation and the file chain ------------------------------------------------

void TLYTallyController::rotateAndSubmitCurrentLog() {
  auto activity = TLYActivityOperation::operationByStartingActivityName(
      std::string(kTLYRotateAndSubmitActivityName), kTLYActivityOptionsSubmit);
  const fs::path closedLog = state_->currentLogURL;
  state_->currentLogURL = generateNewLogPath();
  eventQueue_->addOperations(operationsForUncompressedLog(closedLog));
  eventQueue_->addOperation(activity);
}

TLYTallyController::OperationList TLYTallyController::operationsForUncompressedLog(
    const fs::path& url) {
  if (extensionOf(url) != kTLYLogExtension) {
    env_.logger->log(TLYFillPlaceholders(kTLYInvalidExtensionMessage,
                                         {extensionOf(url), std::string(kTLYLogExtension)}));
  }
  const fs::path gzipURL = withExtension(url, kTLYCompressedExtension);
  OperationList chain = operationsForCompressedLog(gzipURL);
  // Each step deletes its input only once its output is whole, so a failed
  // step leaves the file for the clean-up of the next launch.
  auto compress = std::make_shared<TLYCompressLogOperation>(url, gzipURL, env_.logger);
  chain.insert(chain.begin(), std::make_shared<ControllerBlockOperation>(
                                  eventQueue_.get(), [compress, url, chain] {
                                    compress->main();
                                    if (compress->success()) {
                                      removeFile(url);
                                    } else {
                                      for (const auto& later : chain) later->cancel();
                                    }
                                  }));
  return chain;
}

TLYTallyController::OperationList TLYTallyController::operationsForCompressedLog(
    const fs::path& url) {
  // Called for the gzip the compression step will make too: its name is
  // right by construction.
  if (extensionOf(url) != kTLYCompressedExtension) {
    env_.logger->log(TLYFillPlaceholders(kTLYInvalidExtensionMessage,
                                         {extensionOf(url), std::string(kTLYCompressedExtension)}));
  }
  const std::string boundary = crash::TRLMultipartMimeStreamEncoder::generateBoundary();
  const fs::path packageURL = multipartMimeURLWithBoundary(boundary);
  auto package = std::make_shared<TLYPackageLogOperation>(url, packageURL, boundary, env_.logger);
  // The upload is made when its step runs, not now: a chain queued before
  // the settings took effect (the first install's flush at start) still
  // sends its package in this launch once they are valid.
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  std::shared_ptr<crash::Operation> upload = std::make_shared<ControllerBlockOperation>(
      eventQueue_.get(), [weak, packageURL, boundary] {
        if (auto controller = weak.lock())
          controller->uploadOperationForFileAtURL(packageURL, boundary)->main();
      });
  std::shared_ptr<crash::Operation> packageStep;
  packageStep =
      std::make_shared<ControllerBlockOperation>(eventQueue_.get(), [package, url, upload] {
        package->main();
        if (package->success()) {
          removeFile(url);
        } else {
          upload->cancel();
        }
      });
  return {packageStep, upload};
}

std::shared_ptr<TLYUploadOperation> TLYTallyController::uploadOperationForFileAtURL(
    const fs::path& url, const std::optional<std::string>& boundary) {
  const State& state = *state_;
  auto operation = TLYUploadOperation::initWithUploader(
      state.uploader, state.settings.tallyURL(), state.metadata->APIKey(), url,
      boundary.value_or(""), env_.clock, env_.logger);
  if (!state.settings.valid()) operation->cancel();
  return operation;
}

// Start-up clean-up, settings, flush timer -----------------------------------

void TLYTallyController::cleanupAndProcessExistingFiles() {
  auto cleanup = std::make_shared<TLYCleanupFilesOperation>(
      state_->rootEventDirectory,
      static_cast<std::uint64_t>(std::max<std::int64_t>(state_->settings.maxPendingSendFiles(), 0)),
      env_.logger);
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  cleanup->setSuccessBlock([weak](const TLYCleanupFilesOperation::URLSet& logs,
                                  const TLYCleanupFilesOperation::URLSet& gzips,
                                  const TLYCleanupFilesOperation::URLSet& packages) {
    auto self = weak.lock();
    if (!self) return;
    for (const fs::path& log : logs)
      self->eventQueue_->addOperations(self->operationsForUncompressedLog(log));
    for (const fs::path& gzip : gzips)
      self->eventQueue_->addOperations(self->operationsForCompressedLog(gzip));
    std::vector<fs::path> pending(packages.begin(), packages.end());
    self->state_->uploader->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, pending] {
      auto controller = weak.lock();
      if (!controller) return;
      QueueMark mark(controller->eventQueue_.get());
      controller->uploadMultipartFiles(pending);
    });
  });
  addBlock([cleanup] { cleanup->main(); });
}

void TLYTallyController::uploadAllMultipartFiles() {
  const auto packages = TLYFileUtils::filesWithExtension(kTLYMultipartExtension,
                                                         state_->rootEventDirectory, env_.logger);
  uploadMultipartFiles(std::vector<fs::path>(packages.begin(), packages.end()));
}

void TLYTallyController::uploadMultipartFiles(const std::vector<fs::path>& urls) {
  for (const fs::path& url : urls)
    eventQueue_->addOperation(uploadOperationForFileAtURL(url, boundaryFromURL(url)));
}

void TLYTallyController::removeAllLogs() {
  for (const fs::path& url :
       TLYFileUtils::allFilesInDirectory(state_->rootEventDirectory, env_.logger)) {
    removeFile(url);
  }
}

void TLYTallyController::trellisSettingsDidBecomeAvailable(const platform::Notification&) {
  initializeSettingsIfNeededWithTrellisSettings(env_.trellisSettings());
}

void TLYTallyController::initializeSettingsIfNeededWithTrellisSettings(
    const std::optional<platform::Value::Dictionary>& settingsDictionary) {
  auto self = shared_from_this();
  addBlock([self, settingsDictionary] {
    State& state = *self->state_;
    if (!settingsDictionary || state.settings.valid()) return;
    state.settings = TLYSettings(settingsDictionary);
    const TLYLogger& logger = *self->env_.logger;
    if (state.settings.shouldCollectAnalytics()) {
      auto analytics = settingsDictionary->find(std::string(kTLYSettingsAnalyticsSection));
      const std::string described = analytics == settingsDictionary->end()
                                        ? std::string("(null)")
                                        : analytics->second.toJson();
      logger.log(TLYFillPlaceholders(kTLYEnabledWithSettingsMessage, {described}));
      logger.log(
          TLYFillPlaceholders(kTLYLoggingEventsToMessage, {state.rootEventDirectory.string()}));
      self->setupFlushTimer();
      state.uploader->setDefaultUploadTimeout(state.settings.defaultUploadTimeout());
      state.uploader->setLowPowerUploadTimeout(state.settings.lowPowerUploadTimeout());
      self->uploadAllMultipartFiles();
    } else {
      logger.log(kTLYDisabledMessage);
      self->removeAllLogs();
    }
  });
}

void TLYTallyController::setupFlushTimer() {
  checkOnEventQueue("-[TLYTallyController setupFlushTimer]");
  const double interval = state_->settings.flushInterval();
  if (!(interval > 0)) {
    state_->flushTimer.reset();
    return;
  }
  std::weak_ptr<TLYTallyController> weak = weak_from_this();
  state_->flushTimer = std::make_unique<TLYTimer>(
      interval, eventQueue_, std::string(kTLYFlushTimerIdentifier),
      [weak] {
        auto controller = weak.lock();
        if (!controller) return;
        QueueMark mark(controller->eventQueue_.get());
        controller->flushTimerFired();
      },
      *env_.scheduler);
}

void TLYTallyController::flushTimerFired() {
  checkOnEventQueue("-[TLYTallyController flushTimerFired]");
  if (!(state_->settings.flushInterval() > 0)) {
    state_->flushTimer.reset();
    return;
  }
  if (shouldSubmitLogAtURL(state_->currentLogURL)) rotateAndSubmitCurrentLog();
}

// Accessors -----------------------------------------------------------------

const fs::path& TLYTallyController::rootEventDirectory() const {
  return state_->rootEventDirectory;
}
const fs::path& TLYTallyController::currentLogURL() const { return state_->currentLogURL; }
const TLYSettings& TLYTallyController::settings() const { return state_->settings; }
const std::shared_ptr<const TLYMetadata>& TLYTallyController::metadata() const {
  return state_->metadata;
}
const std::shared_ptr<const TLYCrashMetadata>& TLYTallyController::previousExecutionMetadata()
    const {
  return state_->previousExecutionMetadata;
}
const std::shared_ptr<TLYUploader>& TLYTallyController::uploader() const {
  return state_->uploader;
}
const TLYTimer* TLYTallyController::flushTimer() const { return state_->flushTimer.get(); }

}  // namespace vandrel::analytics
