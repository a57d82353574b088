#include "crash/kit/flt_crash_reporting_controller.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <utility>

#include "crash/capture/flt_binary_images.h"
#include "crash/capture/flt_exception.h"
#include "crash/capture/flt_host.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_signal.h"
#include "crash/capture/flt_user_logging.h"
#include "crash/capture/flt_utilities.h"
#include "crash/kit/flt_bcr_analytics.h"
#include "crash/kit/flt_settings.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_settings.h"
#include "crash/reports/flt_internal_report.h"
#include "platform/sync.h"

namespace vandrel::crash {

namespace {

// Signals whose delivery the delegate may ask for, in the order asked.
constexpr int kExaminedSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP};

// Mirrors the analytics framework's events into the user log.
class AnalyticsEventListener final : public BCNAnalyticsEventListener {
 public:
  void messageTriggered(const BCNAEvent& event) override {
    const std::optional<std::string> json = FLTBCNAEventDictionaryToJSON(FLTBCNAEventToDictionary(event));
    if (json) FLTLog("$A$:%s", json->c_str());
  }
};

struct RegisteredPresenter {
  platform::Mutex mutex;
  FLTPermissionAlertPresenter presenter VANDREL_GUARDED_BY(mutex);
};

RegisteredPresenter& registeredPresenter() {
  static auto* const registered = new RegisteredPresenter;
  return *registered;
}

std::string describe(double value) {
  // The text a number's description gives: no trailing zeros.
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  return buffer;
}

}  // namespace

void FLTRegisterPermissionAlertPresenter(FLTPermissionAlertPresenter presenter) {
  RegisteredPresenter& registered = registeredPresenter();
  platform::MutexLock lock(registered.mutex);
  registered.presenter = std::move(presenter);
}

FLTPermissionAlertPresenter FLTRegisteredPermissionAlertPresenter() {
  RegisteredPresenter& registered = registeredPresenter();
  platform::MutexLock lock(registered.mutex);
  return registered.presenter;
}

struct FLTCrashReportingController::Private {};

std::shared_ptr<FLTCrashReportingController> FLTCrashReportingController::initWithFileManager(
    FLTFileManager fileManager, std::weak_ptr<FLTCrashReportingControllerDelegate> delegate,
    FLTCrashReportingControllerEnvironment environment) {
  auto controller = std::make_shared<FLTCrashReportingController>(
      Private{}, std::move(fileManager), std::move(delegate), std::move(environment));
  // The client asks its delegate about background sessions while it is
  // built: the controller must already be reachable through a weak pointer.
  controller->networkClient_ = FLTNetworkClient::initWithQueue(
      controller->queue_, controller->fileManager_,
      std::weak_ptr<FLTNetworkClientDelegate>(controller), controller->environment_.networkClient);
  return controller;
}

FLTCrashReportingController::FLTCrashReportingController(
    Private, FLTFileManager fileManager, std::weak_ptr<FLTCrashReportingControllerDelegate> delegate,
    FLTCrashReportingControllerEnvironment environment)
    : fileManager_(std::move(fileManager)),
      delegate_(std::move(delegate)),
      environment_(std::move(environment)),
      queue_(std::make_shared<platform::SerialQueue>(std::string(kFLTWorkQueueLabel))) {}

FLTCrashReportingController::~FLTCrashReportingController() {
  std::vector<platform::ObserverToken> tokens;
  std::optional<platform::ObserverToken> settingsToken;
  {
    platform::MutexLock lock(mutex_);
    tokens.swap(observers_);
    settingsToken.swap(settingsObserver_);
  }
  for (const auto& token : tokens) notificationCenter().removeObserver(token);
  if (settingsToken) notificationCenter().removeObserver(*settingsToken);
}

// ---- Environment -------------------------------------------------------------

std::shared_ptr<FLTCrashReportingControllerDelegate> FLTCrashReportingController::delegate() const {
  return delegate_.lock();
}

bool FLTCrashReportingController::debug() const {
  return environment_.debug ? environment_.debug() : Trellis::sharedSDK().debug();
}

void FLTCrashReportingController::log(std::string_view line) const {
  if (environment_.log) {
    environment_.log(line);
    return;
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

void FLTCrashReportingController::debugLog(std::string_view line) const {
  if (debug()) log(line);
}

platform::Queue& FLTCrashReportingController::mainQueue() const {
  return environment_.mainQueue ? *environment_.mainQueue : platform::mainQueue();
}

platform::Scheduler& FLTCrashReportingController::scheduler() const {
  return environment_.scheduler ? *environment_.scheduler : platform::Scheduler::system();
}

platform::NotificationCenter& FLTCrashReportingController::notificationCenter() const {
  return environment_.notificationCenter ? *environment_.notificationCenter
                                         : platform::NotificationCenter::shared();
}

std::shared_ptr<const FLTSettings> FLTCrashReportingController::settings() {
  {
    platform::MutexLock lock(mutex_);
    if (settings_) return settings_;
  }
  std::shared_ptr<const FLTSettings> fetched;
  if (auto strong = delegate()) fetched = strong->settingsForCrashReportingController(*this);
  if (!fetched) fetched = std::make_shared<const FLTSettings>(std::nullopt);
  platform::MutexLock lock(mutex_);
  if (!settings_) settings_ = std::move(fetched);
  return settings_;
}

std::optional<std::string> FLTCrashReportingController::APIKey() {
  auto strong = delegate();
  return strong ? strong->APIKeyForCrashReportingController(*this) : std::nullopt;
}

std::string FLTCrashReportingController::bundleIdentifierNamespace() const {
  if (!environment_.bundleIdentifier) return TRLBundleIdentifierNamespace();
  std::string identifier = environment_.bundleIdentifier();
  for (char& c : identifier) {
    if (c == '/') c = '_';
  }
  return identifier;
}

std::shared_ptr<FLTReportsController> FLTCrashReportingController::reportsController() {
  platform::MutexLock lock(mutex_);
  if (!reportsController_) {
    reportsController_ = FLTReportsController::initWithQueue(
        queue_, std::weak_ptr<FLTReportsControllerDelegate>(weak_from_this()), networkClient_,
        fileManager_, environment_.reports);
  }
  return reportsController_;
}

std::shared_ptr<FLTInternalReport> FLTCrashReportingController::currentReport() const {
  platform::MutexLock lock(mutex_);
  return currentReport_;
}

// ---- Start -------------------------------------------------------------------

bool FLTCrashReportingController::startWithProfilingMark(std::uint64_t profilingMark,
                                                         const std::optional<std::string>& betaToken) {
  if (!checkPreconditions()) return false;
  if (!settings()->crashReportingEnabled()) {
    log("[Faultline:Crash] Reporting is disabled");
    fileManager_.removeContentsOfAllPaths();
    return false;
  }
  if (!prepareForNewLaunch()) return false;

  const bool urgent = checkForAndCreateLaunchMarker();
  const std::vector<std::string> earlierReports = fileManager_.activePathContents();
  // Taken now as well: the work queue may package (and try) this launch's
  // reports before the leftovers are looked at, and those packages are no
  // leftovers to send a second time.
  std::vector<std::string> earlierPackages = fileManager_.preparedPathContents();

  std::shared_ptr<FLTInternalReport> report = setupCurrentReport();
  if (!report) log("[Faultline:Crash] Unable to setup a new report");
  if (!startCrashReporterWithAPIKey(APIKey(), betaToken, profilingMark, report)) {
    log("[Faultline:Crash] Unable to start crash reporter");
    report.reset();
  }
  {
    platform::MutexLock lock(mutex_);
    currentReport_ = report;
  }

  processExistingReportPaths(earlierReports, urgent);
  handleContentsInOtherReportingDirectories(std::move(earlierPackages));

  if (report) recordInternalKeyValue(kFLTKitStartTimeKey, describe(FLTProfileEnd(profilingMark)));
  return report != nullptr;
}

bool FLTCrashReportingController::checkPreconditions() {
  if (bundleIdentifierNamespace().empty()) {
    log("[Faultline] An application must have a valid bundle idenifier in its Info.plist");
    return false;
  }
  return true;
}

bool FLTCrashReportingController::prepareForNewLaunch() {
  // A legacy layout removes the whole store root; that must happen before
  // this launch's directories are made, or it would take them with it.
  fileManager_.removeLegacyDirectories();
  if (!fileManager_.prepareForNewLaunch()) return false;
  // A launch that ended while packaging left its unfinished package behind,
  // hidden and never sent: without this each such end would keep its bytes
  // for good. The report itself is still in its directory.
  fileManager_.removeUnfinishedPackages();
  return true;
}

std::shared_ptr<FLTInternalReport> FLTCrashReportingController::setupCurrentReport() {
  createLaunchFailureMarker();
  const std::string executionIdentifier = environment_.executionIdentifier
                                              ? environment_.executionIdentifier()
                                              : Trellis::sharedSDK().executionIdentifier();
  const std::optional<std::string> path = fileManager_.setupNewPathForExecutionIdentifier(executionIdentifier);
  if (!path) return nullptr;
  return FLTInternalReport::initWithPath(*path, executionIdentifier);
}

bool FLTCrashReportingController::startCrashReporterWithAPIKey(
    const std::optional<std::string>& apiKey, const std::optional<std::string>& betaToken,
    std::uint64_t profilingMark, const std::shared_ptr<FLTInternalReport>& report) {
  if (!report) return false;
  auto strong = delegate();
  const std::shared_ptr<const FLTSettings> current = settings();
  const std::string key = apiKey.value_or("");
  const std::string installID = strong ? strong->installIDForCrashReportingController(*this) : "";

  FLTContextInitParameters parameters;
  parameters.apiKey = key.c_str();
  parameters.crashDetectedDelegate = nullptr;
  parameters.firstInstall = strong && strong->isFirstInstallForCrashReportingController(*this);
  parameters.crashCallbackDelegate = strong && strong->shouldInstallCrashCallback() ? this : nullptr;
  parameters.customBundleIdentifier = nullptr;
  parameters.reportDirectory = report->path().c_str();
  parameters.sessionIdentifier = report->identifier().c_str();
  parameters.installIdentifier = installID.c_str();
  parameters.betaToken = betaToken ? betaToken->c_str() : nullptr;
  parameters.machExceptionMaskToIgnore = machExceptionMask();
  parameters.errorReportingEnabled = current->errorReportingEnabled();
  parameters.customExceptionsEnabled = current->customExceptionsEnabled();
  parameters.maxCustomExceptions = current->maxCustomExceptions();
  parameters.errorLogBufferSize = current->errorLogBufferSize();
  parameters.logBufferSize = current->logBufferSize();
  parameters.maxCustomKeys = current->maxCustomKeys();

  if (!installCrashReportingHandlers(&parameters)) return false;

  if (current->beaconFaultlineEnabled()) registerAnalyticsEventListener();
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  const platform::ObserverToken token = notificationCenter().addObserver(
      std::string(kTRLSettingsAvailableNotification), nullptr, std::nullopt,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->trellisSettingsDownloaded();
      });
  std::optional<platform::ObserverToken> previous;
  {
    platform::MutexLock lock(mutex_);
    previous = std::exchange(settingsObserver_, token);
  }
  if (previous) notificationCenter().removeObserver(*previous);
  crashReportingSetupCompleted(profilingMark);
  return true;
}

bool FLTCrashReportingController::installCrashReportingHandlers(const FLTContextInitParameters* parameters) {
  bool initialized = false;
  if (environment_.initializeContext) {
    initialized = environment_.initializeContext(parameters);
  } else {
    // Every capture part joins the set-up before it runs. There is no
    // Mach-style exception capture on this platform: signals cover those
    // faults.
    FLTHostRegisterSetUp();
    FLTUserLoggingRegisterSetUp();
    FLTBinaryImageRegisterWithContext();
    FLTSignalRegisterSetUp();
    FLTExceptionRegisterSetUp();
    initialized = FLTContextInitialize(parameters);
  }
  if (initialized) setupStateNotifications();
  return initialized;
}

void FLTCrashReportingController::crashReportingSetupCompleted(std::uint64_t profilingMark) {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  const bool realCapture = !environment_.initializeContext;
  FLTDispatchAfter(
      mainQueue(),
      [weak, realCapture] {
        auto self = weak.lock();
        if (!self) return;
        if (realCapture) {
          FLTExceptionCheckHandlers();
          FLTSignalCheckHandlers();
        }
        self->checkForUserPromptSetting();
      },
      kFLTHandlerRecheckDelay, scheduler());
  mainQueue().async([weak, profilingMark] {
    auto self = weak.lock();
    if (!self) return;
    self->removeLaunchFailureMarker();
    self->recordInternalKeyValue(kFLTFirstRunLoopTimeKey, describe(FLTProfileEnd(profilingMark)));
  });
}

void FLTCrashReportingController::recordInternalKeyValue(std::string_view key, std::string value) {
  platform::Queue* queue = FLTLoggingQueue();
  if (queue == nullptr || !FLTContextIsInitialized()) return;
  queue->async([key = std::string(key), value = std::move(value)] {
    FLTUserLoggingWriteInternalKeyValue(key.c_str(), value.c_str());
  });
}

std::uint32_t FLTCrashReportingController::machExceptionMaskForSignal(int signal) {
  switch (signal) {
    case 4: return 0x4;
    case 5: return 0x40;
    case 6: return 0x400;
    case 8: return 0x8;
    case 10:
    case 11: return 0x2;
    case 12: return 0x400;
    default: return 0;
  }
}

std::uint32_t FLTCrashReportingController::machExceptionMask() {
  auto strong = delegate();
  if (!strong) return 0;
  std::uint32_t mask = 0;
  for (int signal : kExaminedSignals) {
    if (strong->reportingControllerEnsureDeliveryOfUnixSignal(*this, signal)) {
      mask |= machExceptionMaskForSignal(signal);
    }
  }
  return mask;
}

// ---- Launch marker -----------------------------------------------------------

std::string FLTCrashReportingController::launchFailureMarkerPath() const {
  return fileManager_.structurePath() + "/" + std::string(kFLTLaunchMarkerFileName);
}

bool FLTCrashReportingController::createLaunchFailureMarker() {
  const std::string path = launchFailureMarkerPath();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  return ::close(fd) == 0;
}

bool FLTCrashReportingController::launchFailureMarkerPresent() const {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::symlink_status(launchFailureMarkerPath(), error));
}

bool FLTCrashReportingController::removeLaunchFailureMarker() {
  return ::unlink(launchFailureMarkerPath().c_str()) == 0;
}

bool FLTCrashReportingController::checkForAndCreateLaunchMarker() {
  if (launchFailureMarkerPresent()) {
    debugLog("[Faultline:Crash] Last launch failed: this may indicate a crash shortly after app launch.");
    return true;
  }
  createLaunchFailureMarker();
  return false;
}

// ---- Reports of earlier launches ----------------------------------------------

void FLTCrashReportingController::processExistingReportPaths(const std::vector<std::string>& paths,
                                                             bool asUrgent) {
  for (const auto& path : paths) processExistingActiveReportPath(path, asUrgent);
}

void FLTCrashReportingController::processExistingActiveReportPath(const std::string& path, bool asUrgent) {
  std::shared_ptr<FLTInternalReport> report = FLTInternalReport::reportWithPath(path);
  if (!report || !report->needsToBeSubmitted()) {
    // A directory without an identity cannot be sent and is of no use.
    queue_->async([store = fileManager_, path] { store.removeItemAtPath(path); });
    return;
  }
  auto strong = delegate();
  if (strong) strong->reportingControllerInternalDidDetectReportForLastExecution(*this, report);

  if (asUrgent && canProcessUrgentReports()) {
    reportsController()->prepareAndSubmitReport(report, true, true);
    return;
  }
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  auto completion = [weak, report](bool submit) {
    if (auto self = weak.lock()) self->handleDelegateCompletionForReport(report, submit);
  };
  if (strong) {
    strong->reportingControllerDidDetectReportForLastExecution(*this, report, completion);
  } else {
    completion(true);
  }
}

void FLTCrashReportingController::handleDelegateCompletionForReport(
    const std::shared_ptr<FLTInternalReport>& report, bool submit) {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  queue_->async([weak, report, submit] {
    auto self = weak.lock();
    if (!self) return;
    if (!submit) {
      self->debugLog("[Faultline:Crash] Removing report at request of delegate");
      self->removeReport(report);
    } else if (self->needsToPrompt()) {
      self->displayPermissionAlertForReport(report);
    } else {
      self->reportsController()->prepareAndSubmitReport(report, false, true);
    }
  });
}

void FLTCrashReportingController::enqueuePrepareAndSubmit(const std::shared_ptr<FLTInternalReport>& report,
                                                          bool withProcessing) {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  queue_->async([weak, report, withProcessing] {
    if (auto self = weak.lock()) self->reportsController()->prepareAndSubmitReport(report, false, withProcessing);
  });
}

void FLTCrashReportingController::removeReport(const std::shared_ptr<FLTInternalReport>& report) {
  if (report) fileManager_.removeItemAtPath(report->path());
}

void FLTCrashReportingController::handleContentsInOtherReportingDirectories(
    std::vector<std::string> preparedPackages) {
  handleExistingFilesInProcessing();
  handleExistingFilesInPrepared(std::move(preparedPackages));
}

void FLTCrashReportingController::handleExistingFilesInProcessing() {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  queue_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->fileManager_.enumerateReportsInProcessingDirectoryUsingBlock(
        [&self](const std::shared_ptr<FLTInternalReport>& report, const std::string& path) {
          // Processed before the last launch ended: packaged as it is. A
          // directory whose metadata names no report is packaged without
          // identifier; kept back it would stay for good. What cannot be
          // packaged stays where it is for the next launch.
          std::shared_ptr<FLTInternalReport> item = report;
          if (!item) {
            self->log("[Faultline:Crash] Report in processing has no identifier: " + path);
            item = FLTInternalReport::initWithPathWithoutIdentifier(path);
          }
          self->reportsController()->prepareAndSubmitReport(item, false, false);
        });
  });
}

void FLTCrashReportingController::handleExistingFilesInPrepared(std::vector<std::string> packages) {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  networkClient_->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, packages] {
    auto self = weak.lock();
    if (!self) return;
    self->queue_->async([weak, packages] {
      if (auto again = weak.lock()) again->uploadPreexistingFiles(packages);
    });
  });
}

void FLTCrashReportingController::uploadPreexistingFiles(const std::vector<std::string>& packagePaths) {
  for (const auto& path : packagePaths) {
    if (!fileManager_.fileSizeAtPath(path)) continue;
    reportsController()->uploadPackagedReportAtPath(path, false);
  }
}

void FLTCrashReportingController::retryUploadForReportAtPath(const std::string& packagePath) {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  FLTDispatchAfter(
      platform::globalQueue(),
      [weak, packagePath] {
        auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, packagePath] {
          auto again = weak.lock();
          if (!again) return;
          again->debugLog("[Faultline:Crash] re-attempting report submission");
          again->reportsController()->uploadPackagedReportAtPath(packagePath, false);
        });
      },
      kFLTUploadRetryDelay, scheduler());
}

// ---- Prompt ------------------------------------------------------------------

void FLTCrashReportingController::checkForUserPromptSetting() {
  if (settings()->userPromptEnabled() && !delegateNeedsToBeInformedOfReports()) {
    log("[Faultline:Crash] WARNING: the user prompt feature is enabled. As of Faultline 3.0.0, "
        "implementing a user prompt is the application's responsibility. See Faultline.h's notes "
        "about -faultlineDidDetectReportForLastExecution:completionHandler:");
  }
}

bool FLTCrashReportingController::needsToPrompt() {
  const FLTPromptChoice choice = promptChoice_.load();
  if (choice == FLTPromptChoice::Send || choice == FLTPromptChoice::AlwaysSend) return false;
  return settings()->userPromptEnabled();
}

void FLTCrashReportingController::displayPermissionAlertForReport(
    const std::shared_ptr<FLTInternalReport>& report) {
  const bool isExtension = environment_.isExtension ? environment_.isExtension() : FLTApplicationIsExtension();
  if (isExtension) {
    enqueuePrepareAndSubmit(report, true);
    return;
  }
  const std::shared_ptr<const FLTSettings> current = settings();
  FLTPermissionAlert alert;
  alert.title = current->interactivePromptTitle();
  alert.message = current->interactivePromptMessage();
  alert.cancelTitle = current->interactivePromptCancelTitle();
  alert.sendTitle = current->interactivePromptSendTitle();
  std::string alwaysSend = current->interactivePromptAlwaysSendTitle();
  if (!alwaysSend.empty()) alert.alwaysSendTitle = std::move(alwaysSend);
  debugLog("[Faultline:Crash] Displaying permission alert");
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  mainQueue().async([weak, alert, report] {
    if (auto self = weak.lock()) self->setupAndDisplayAlert(alert, report);
  });
}

void FLTCrashReportingController::setupAndDisplayAlert(const FLTPermissionAlert& alert,
                                                       const std::shared_ptr<FLTInternalReport>& report) {
  switch (promptChoice_.load()) {
    case FLTPromptChoice::Send:
    case FLTPromptChoice::AlwaysSend:
      handlePromptCompleteForReport(report, true, false);
      return;
    case FLTPromptChoice::Declined:
      handlePromptCompleteForReport(report, false, false);
      return;
    case FLTPromptChoice::NotAsked:
      break;
  }
  const FLTPermissionAlertPresenter present = environment_.presentPermissionAlert
                                                  ? environment_.presentPermissionAlert
                                                  : FLTRegisteredPermissionAlertPresenter();
  if (!present) {
    // Nobody can be asked: neither send nor delete without the user's word.
    log("[Faultline:Crash] No user interface to ask whether to send a report; it is kept for later");
    return;
  }
  const long response = present(alert);
  const long cancel = alert.alwaysSendTitle ? kFLTAlertThirdButtonReturn : kFLTAlertSecondButtonReturn;
  const bool submit = response != cancel;
  const bool always = alert.alwaysSendTitle && response == kFLTAlertSecondButtonReturn;
  handlePromptCompleteForReport(report, submit, always);
}

void FLTCrashReportingController::handlePromptCompleteForReport(
    const std::shared_ptr<FLTInternalReport>& report, bool shouldSubmit, bool shouldMarkAlwaysSubmit) {
  // The choice holds at once: an alert for the next report may already be
  // waiting on the main queue behind this one, and must not ask again.
  if (promptChoice_.load() == FLTPromptChoice::NotAsked || shouldMarkAlwaysSubmit) {
    promptChoice_.store(!shouldSubmit            ? FLTPromptChoice::Declined
                        : shouldMarkAlwaysSubmit ? FLTPromptChoice::AlwaysSend
                                                 : FLTPromptChoice::Send);
  }
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  queue_->async([weak, report, shouldSubmit] {
    auto self = weak.lock();
    if (!self) return;
    if (!shouldSubmit) {
      self->debugLog("[Faultline:Crash] Removing report at request of user");
      self->removeReport(report);
      return;
    }
    self->reportsController()->prepareAndSubmitReport(report, false, true);
  });
}

// ---- Crash time --------------------------------------------------------------

void FLTCrashReportingController::deliverCrashDelegateCallback() {
  if (auto strong = delegate_.lock()) strong->detectedCrash();
}

void FLTCrashReportingController::potentiallySubmittableCrashOccurred() {
  lastCrashSubmissionResult_.store(potentiallySubmittableCrashOccurredResult());
}

bool FLTCrashReportingController::potentiallySubmittableCrashOccurredResult() {
  if (!canProcessUrgentReports()) return false;
  FLT_SDK_LOG_WARN("Attempting submission\n");
  try {
    return attemptCurrentReportSubmission();
  } catch (const std::exception&) {
    FLT_SDK_LOG_WARN("Last effort exception\n");
  } catch (...) {
    FLT_SDK_LOG_WARN("Last effort exception\n");
  }
  return false;
}

bool FLTCrashReportingController::attemptCurrentReportSubmission() {
  FLT_SDK_LOG_WARN("Attempting to submit the current report\n");
  const std::vector<std::string> active = fileManager_.activePathContents();
  if (active.size() != 1) {
    FLT_SDK_LOG_WARN("More than one directory in active - cannot submit\n");
    return false;
  }
  const std::string copy = active.front() + "-submit";
  std::error_code error;
  std::filesystem::copy(active.front(), copy, std::filesystem::copy_options::recursive, error);
  if (error) {
    FLT_SDK_LOG_WARN("Error: unable to copy report for submission\n");
    return false;
  }
  std::shared_ptr<FLTInternalReport> report = FLTInternalReport::reportWithPath(copy);
  if (!report) return false;
  return reportsController()->prepareAndSubmitReport(report, true, true);
}

// ---- Decisions ---------------------------------------------------------------

bool FLTCrashReportingController::packagingEnabled() { return settings()->shouldPackageReports(); }

bool FLTCrashReportingController::delegateNeedsToBeInformedOfReports() {
  auto strong = delegate();
  return strong && strong->reportingControllerMustInformDelegateOfReports(*this);
}

bool FLTCrashReportingController::canProcessUrgentReports() {
  return settings()->canProcessUrgentReports() && !needsToPrompt() && !delegateNeedsToBeInformedOfReports();
}

// ---- Notifications -----------------------------------------------------------

void FLTCrashReportingController::setupStateNotifications() {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  captureInitialNotificationStates();
  const platform::ObserverToken active = notificationCenter().addObserver(
      std::string(kFLTApplicationWillBecomeActiveNotification), nullptr, std::nullopt,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->willBecomeActive();
      });
  const platform::ObserverToken inactive = notificationCenter().addObserver(
      std::string(kFLTApplicationDidResignActiveNotification), nullptr, std::nullopt,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->didBecomeInactive();
      });
  platform::MutexLock lock(mutex_);
  observers_.push_back(active);
  observers_.push_back(inactive);
}

void FLTCrashReportingController::captureInitialNotificationStates() {
  recordInternalKeyValue(kFLTInBackgroundKey, "0");
}

void FLTCrashReportingController::willBecomeActive() { recordInternalKeyValue(kFLTInBackgroundKey, "0"); }

void FLTCrashReportingController::didBecomeInactive() { recordInternalKeyValue(kFLTInBackgroundKey, "1"); }

void FLTCrashReportingController::trellisSettingsDownloaded() {
  std::shared_ptr<const FLTSettings> fresh;
  if (auto strong = delegate()) fresh = strong->settingsForCrashReportingController(*this);
  if (fresh && fresh->beaconFaultlineEnabled()) registerAnalyticsEventListener();
  std::optional<platform::ObserverToken> token;
  {
    platform::MutexLock lock(mutex_);
    token.swap(settingsObserver_);
  }
  if (token) notificationCenter().removeObserver(*token);
}

void FLTCrashReportingController::registerAnalyticsEventListener() {
  if (analyticsListenerRegistered_.exchange(true)) return;
  FLTBCRAnalytics::registerAnalyticsEventListener(std::make_shared<AnalyticsEventListener>());
}

// ---- Delegates of the reports controller and the client ----------------------

std::shared_ptr<const FLTSettings> FLTCrashReportingController::settingsForReportsController(
    FLTReportsController&) {
  return settings();
}

std::optional<std::string> FLTCrashReportingController::APIKeyForReportsController(FLTReportsController&) {
  return APIKey();
}

std::string FLTCrashReportingController::bundleIdentifierForReportsController(FLTReportsController&) {
  return bundleIdentifierNamespace();
}

void FLTCrashReportingController::reportsControllerDidCompletePackageSubmission(
    FLTReportsController&, const std::string& packagePath, const std::optional<KitError>& error) {
  if (!error) {
    debugLog("[Faultline:Crash] report submission successful");
    return;
  }
  debugLog("[Faultline:Crash] report submission failed with error " + error->localizedDescription);
  FLT_SDK_LOG_WARN("Error: failed to submit report '%s'\n", error->localizedDescription.c_str());
  retryUploadForReportAtPath(packagePath);
}

void FLTCrashReportingController::reportsControllerDidCompleteAllSubmissions(FLTReportsController&) {
  std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
  queue_->async([weak] {
    auto self = weak.lock();
    if (!self) return;
    {
      platform::MutexLock lock(self->mutex_);
      self->reportsController_.reset();
    }
    self->debugLog("[Faultline:Crash] report submission complete");
  });
}

bool FLTCrashReportingController::networkClientCanUseBackgroundSessions(FLTNetworkClient&) {
  auto strong = delegate();
  return strong && strong->reportingControllerCanUseBackgroundSessions(*this);
}

void FLTCrashReportingController::networkClientDidFinishUploadWithPath(FLTNetworkClient&,
                                                                        const std::string& path,
                                                                        const std::optional<KitError>& error) {
  reportsController()->reportUploadAtPathCompletedWithError(path, error);
}

}  // namespace vandrel::crash
