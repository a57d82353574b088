#pragma once

// Runs crash reporting for one launch. The kit facade creates it with the
// report store and itself as delegate and calls `startWithProfilingMark`
// from its start block. Start decides whether reporting runs at all, marks
// the launch ("launchmarker" in the store's "v3" directory, present from
// set-up until the first main-queue turn after it: finding it at the next
// start means that launch ended early, so its reports are urgent), creates
// this launch's report directory, sets up the crash context (signal and
// terminate capture; there is no Mach-style exception capture on this
// platform) and then deals with the reports earlier launches left behind:
// informs the delegate, asks it (or the user, through the permission-alert
// presenter) whether to send, and passes reports to the reports controller.
//
// Queues: start runs on the caller's thread (urgent reports of a failed
// launch are sent there, before start returns). Report handling after the
// delegate's answer, the prompt's outcome, retries and removals run on the
// work queue "com.kestrel.faultline.mac.work-queue" (serial); the alert and
// the marker removal run on the main queue.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/capture/flt_context.h"
#include "crash/kit/flt_network_client.h"
#include "crash/kit/trl_async_operation.h"
#include "crash/reports/flt_file_manager.h"
#include "crash/reports/flt_reports_controller.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/sync.h"

namespace vandrel::crash {

class FLTInternalReport;
class FLTSettings;

inline constexpr std::string_view kFLTWorkQueueLabel = "com.kestrel.faultline.mac.work-queue";
inline constexpr std::string_view kFLTLaunchMarkerFileName = "launchmarker";
inline constexpr std::string_view kFLTKitStartTimeKey = "com.faultline.kit-start-time";
inline constexpr std::string_view kFLTFirstRunLoopTimeKey = "com.faultline.first-run-loop-time";
inline constexpr std::string_view kFLTInBackgroundKey = "com.faultline.in-background";
// Posted by the application when it becomes active / resigns active.
inline constexpr std::string_view kFLTApplicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";
inline constexpr std::string_view kFLTApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";
// Seconds until a failed upload is tried again.
inline constexpr double kFLTUploadRetryDelay = 600.0;
// Seconds after set-up until the handlers are checked again.
inline constexpr double kFLTHandlerRecheckDelay = 2.0;

// The user's answer to the send prompt, remembered for the controller's life.
enum class FLTPromptChoice : int { NotAsked = 0, Declined = 1, Send = 2, AlwaysSend = 3 };

// What the permission alert shows. Buttons in this order: send, always send
// (only with an always-send title), cancel.
struct FLTPermissionAlert {
  std::string title;
  std::string message;
  std::string cancelTitle;
  std::string sendTitle;
  std::optional<std::string> alwaysSendTitle;
};
// Alert button responses: the first button 1000, the second 1001, the third 1002.
inline constexpr long kFLTAlertFirstButtonReturn = 1000;
inline constexpr long kFLTAlertSecondButtonReturn = 1001;
inline constexpr long kFLTAlertThirdButtonReturn = 1002;
// Shows the alert modally on the main queue and answers the button pressed.
using FLTPermissionAlertPresenter = std::function<long(const FLTPermissionAlert& alert)>;

// The application's way of asking, for controllers whose environment brings
// none: an application with a user interface registers its presenter once
// at start. Empty (the default) withdraws it. Thread-safe.
void FLTRegisterPermissionAlertPresenter(FLTPermissionAlertPresenter presenter);
FLTPermissionAlertPresenter FLTRegisteredPermissionAlertPresenter();

class FLTCrashReportingController;

// The kit facade. Questions are asked on the start thread or the work
// queue; `detectedCrash` at crash time (async-signal-safe only).
class FLTCrashReportingControllerDelegate {
 public:
  virtual ~FLTCrashReportingControllerDelegate() = default;
  // Null: the built-in defaults. Asked once and kept, and again when new
  // settings arrive (that answer is not kept).
  virtual std::shared_ptr<const FLTSettings> settingsForCrashReportingController(
      FLTCrashReportingController& controller) = 0;
  virtual std::optional<std::string> APIKeyForCrashReportingController(
      FLTCrashReportingController& controller) = 0;
  virtual std::string installIDForCrashReportingController(FLTCrashReportingController& controller) = 0;
  virtual bool isFirstInstallForCrashReportingController(FLTCrashReportingController& controller) = 0;
  // True: the controller is the crash callback, and `detectedCrash` is sent
  // at crash time.
  virtual bool shouldInstallCrashCallback() { return false; }
  virtual bool reportingControllerEnsureDeliveryOfUnixSignal(FLTCrashReportingController& controller,
                                                             int signal) {
    (void)controller;
    (void)signal;
    return false;
  }
  // True: every report of an earlier launch is offered to the delegate
  // before anything is sent.
  virtual bool reportingControllerMustInformDelegateOfReports(FLTCrashReportingController& controller) {
    (void)controller;
    return false;
  }
  virtual void reportingControllerInternalDidDetectReportForLastExecution(
      FLTCrashReportingController& controller, const std::shared_ptr<FLTInternalReport>& report) {
    (void)controller;
    (void)report;
  }
  // `completionHandler(submit)` may be called on any thread, once.
  virtual void reportingControllerDidDetectReportForLastExecution(
      FLTCrashReportingController& controller, const std::shared_ptr<FLTInternalReport>& report,
      std::function<void(bool submit)> completionHandler) {
    (void)controller;
    (void)report;
    completionHandler(true);
  }
  virtual bool reportingControllerCanUseBackgroundSessions(FLTCrashReportingController& controller) {
    (void)controller;
    return false;
  }
  // Crash time, on the recording thread: async-signal-safe code only.
  virtual void detectedCrash() {}
};

// What the controller reads from the process; tests inject their own.
struct FLTCrashReportingControllerEnvironment {
  // The main bundle identifier; empty: the main bundle's.
  std::function<std::string()> bundleIdentifier;
  // This launch's execution identifier; empty:
  // Trellis::sharedSDK().executionIdentifier().
  std::function<std::string()> executionIdentifier;
  // The kit registry's debug flag; empty: Trellis::sharedSDK().debug().
  std::function<bool()> debug;
  // Console lines; empty: stderr.
  std::function<void(std::string_view line)> log;
  // Whether this process is an application extension (no prompt then);
  // empty: FLTApplicationIsExtension().
  std::function<bool()> isExtension;
  // Shows the send prompt. Empty: the registered presenter; with none
  // either there is no user interface to ask with, and a report that needs
  // the user's answer stays where it is (offered again at the next launch)
  // rather than being sent or deleted unasked.
  FLTPermissionAlertPresenter presentPermissionAlert;
  // Sets up the crash context; empty: FLTContextInitialize.
  std::function<bool(const FLTContextInitParameters* parameters)> initializeContext;
  // The main queue; nullptr: platform::mainQueue().
  platform::Queue* mainQueue = nullptr;
  // Times the handler re-check and the upload retries; nullptr: the system
  // scheduler.
  platform::Scheduler* scheduler = nullptr;
  // Where application-state and settings notifications are observed;
  // nullptr: the shared centre.
  platform::NotificationCenter* notificationCenter = nullptr;
  FLTNetworkClientEnvironment networkClient;
  FLTReportsControllerEnvironment reports;
};

class FLTCrashReportingController final
    : public FLTReportsControllerDelegate,
      public FLTNetworkClientDelegate,
      public FLTCrashCallbackDelegate,
      public FLTCrashDetectedDelegate,
      public std::enable_shared_from_this<FLTCrashReportingController> {
 public:
  // Builds the work queue and the upload client; prompt choice NotAsked.
  // The crash context keeps raw pointers to the controller once capture is
  // installed: keep it alive for the rest of the process then.
  static std::shared_ptr<FLTCrashReportingController> initWithFileManager(
      FLTFileManager fileManager, std::weak_ptr<FLTCrashReportingControllerDelegate> delegate,
      FLTCrashReportingControllerEnvironment environment = {});
  ~FLTCrashReportingController() override;

  // `profilingMark`: FLTProfileStart() taken when the kit's start began.
  // True: reporting runs and this launch has a report.
  bool startWithProfilingMark(std::uint64_t profilingMark, const std::optional<std::string>& betaToken);
  bool startCrashReporterWithAPIKey(const std::optional<std::string>& apiKey,
                                    const std::optional<std::string>& betaToken,
                                    std::uint64_t profilingMark,
                                    const std::shared_ptr<FLTInternalReport>& report);
  bool installCrashReportingHandlers(const FLTContextInitParameters* parameters);

  // Reports of earlier launches.
  void processExistingReportPaths(const std::vector<std::string>& paths, bool asUrgent);
  void processExistingActiveReportPath(const std::string& path, bool asUrgent);
  void handleDelegateCompletionForReport(const std::shared_ptr<FLTInternalReport>& report, bool submit);
  // `preparedPackages`: the prepared directory's packages as start found
  // them, before this launch made any.
  void handleContentsInOtherReportingDirectories(std::vector<std::string> preparedPackages);
  void handleExistingFilesInProcessing();
  void handleExistingFilesInPrepared(std::vector<std::string> packages);
  void uploadPreexistingFiles(const std::vector<std::string>& packagePaths);
  void retryUploadForReportAtPath(const std::string& packagePath);
  void removeReport(const std::shared_ptr<FLTInternalReport>& report);

  // Prompt.
  void checkForUserPromptSetting();
  bool needsToPrompt();
  void displayPermissionAlertForReport(const std::shared_ptr<FLTInternalReport>& report);
  void setupAndDisplayAlert(const FLTPermissionAlert& alert,
                            const std::shared_ptr<FLTInternalReport>& report);
  void handlePromptCompleteForReport(const std::shared_ptr<FLTInternalReport>& report,
                                     bool shouldSubmit, bool shouldMarkAlwaysSubmit);
  FLTPromptChoice promptChoice() const { return promptChoice_.load(); }

  // Launch marker.
  std::string launchFailureMarkerPath() const;
  bool createLaunchFailureMarker();
  bool launchFailureMarkerPresent() const;
  bool removeLaunchFailureMarker();
  bool checkForAndCreateLaunchMarker();

  // Crash time.
  void deliverCrashDelegateCallback() override;
  void potentiallySubmittableCrashOccurred() override;
  // The answer of the last-effort submission (what the capture would get).
  bool potentiallySubmittableCrashOccurredResult();
  bool attemptCurrentReportSubmission();

  // Decisions.
  bool checkPreconditions();
  bool packagingEnabled();
  bool delegateNeedsToBeInformedOfReports();
  bool canProcessUrgentReports();
  std::uint32_t machExceptionMask();
  // Signal number → the Mach-style exception mask the capture leaves to
  // the signal handlers (signals 4 to 12; others 0).
  static std::uint32_t machExceptionMaskForSignal(int signal);

  // Notifications.
  void setupStateNotifications();
  void captureInitialNotificationStates();
  void willBecomeActive();
  void didBecomeInactive();
  void trellisSettingsDownloaded();
  void registerAnalyticsEventListener();

  // Never null (the defaults when the delegate has none).
  std::shared_ptr<const FLTSettings> settings();
  std::optional<std::string> APIKey();
  // The bundle identifier in namespace form ("/" replaced by "_").
  std::string bundleIdentifierNamespace() const;
  // Made on first use.
  std::shared_ptr<FLTReportsController> reportsController();
  const std::shared_ptr<FLTNetworkClient>& networkClient() const { return networkClient_; }
  const std::shared_ptr<platform::SerialQueue>& operationQueue() const { return queue_; }
  const FLTFileManager& fileManager() const { return fileManager_; }
  // This launch's report once start has made one.
  std::shared_ptr<FLTInternalReport> currentReport() const;

  // FLTReportsControllerDelegate.
  std::shared_ptr<const FLTSettings> settingsForReportsController(FLTReportsController& controller) override;
  std::optional<std::string> APIKeyForReportsController(FLTReportsController& controller) override;
  std::string bundleIdentifierForReportsController(FLTReportsController& controller) override;
  void reportsControllerDidCompletePackageSubmission(FLTReportsController& controller,
                                                     const std::string& packagePath,
                                                     const std::optional<KitError>& error) override;
  void reportsControllerDidCompleteAllSubmissions(FLTReportsController& controller);

  // FLTNetworkClientDelegate.
  bool networkClientCanUseBackgroundSessions(FLTNetworkClient& client) override;
  void networkClientDidFinishUploadWithPath(FLTNetworkClient& client, const std::string& path,
                                            const std::optional<KitError>& error) override;

  struct Private;
  FLTCrashReportingController(Private, FLTFileManager fileManager,
                              std::weak_ptr<FLTCrashReportingControllerDelegate> delegate,
                              FLTCrashReportingControllerEnvironment environment);
  FLTCrashReportingController(const FLTCrashReportingController&) = delete;
  FLTCrashReportingController& operator=(const FLTCrashReportingController&) = delete;

 private:
  std::shared_ptr<FLTCrashReportingControllerDelegate> delegate() const;
  bool debug() const;
  void log(std::string_view line) const;
  void debugLog(std::string_view line) const;
  platform::Queue& mainQueue() const;
  platform::Scheduler& scheduler() const;
  platform::NotificationCenter& notificationCenter() const;
  bool prepareForNewLaunch();
  std::shared_ptr<FLTInternalReport> setupCurrentReport();
  void crashReportingSetupCompleted(std::uint64_t profilingMark);
  void enqueuePrepareAndSubmit(const std::shared_ptr<FLTInternalReport>& report, bool withProcessing);
  void recordInternalKeyValue(std::string_view key, std::string value);

  const FLTFileManager fileManager_;
  const std::weak_ptr<FLTCrashReportingControllerDelegate> delegate_;
  const FLTCrashReportingControllerEnvironment environment_;
  const std::shared_ptr<platform::SerialQueue> queue_;
  std::shared_ptr<FLTNetworkClient> networkClient_;

  std::atomic<FLTPromptChoice> promptChoice_{FLTPromptChoice::NotAsked};
  std::atomic<bool> analyticsListenerRegistered_{false};
  std::atomic<bool> lastCrashSubmissionResult_{false};

  mutable platform::Mutex mutex_;
  std::shared_ptr<FLTReportsController> reportsController_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<const FLTSettings> settings_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<FLTInternalReport> currentReport_ VANDREL_GUARDED_BY(mutex_);
  std::vector<platform::ObserverToken> observers_ VANDREL_GUARDED_BY(mutex_);
  std::optional<platform::ObserverToken> settingsObserver_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::crash
