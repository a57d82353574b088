#pragma once

// Sends packaged analytics files (".multipartmime") to the events endpoint:
// one upload task per package, named after the package's unique name, so a
// package is never uploaded twice at the same time; every finished task goes
// to the delegate, which decides about retries and deletes the package.
//
// Queues: every entry posts its work to the operation queue (the analytics
// controller's serial event queue); the session's delegate calls and all
// delegate calls of this class run there too.
//
// There are no background URL sessions here: uploads live with the process
// (`supportsBackgroundRequests` is always false). The machine's thermal state
// has no source on this platform either: the default source always reports
// nominal, so the normal time-out applies unless a source is injected.
//
// A unique name stays reserved from its start until the delegate's final
// answer, the retry back-off included: our session lists no tasks, and a
// package waiting for its retry must not be sent a second time meanwhile.
// The session's resource time-out is applied to each request as its total
// time-out, so a hung transfer ends and frees its name.
//
// Trust: our session answers no trust challenges; the pinned roots go on
// the wire with every connection, except in the kit registry's debug mode,
// where the system's trust store decides.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "platform/notification_center.h"
#include "platform/result.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::analytics {

class TLYLogger;
class TLYUploader;

inline constexpr std::string_view kTLYUploaderLogLabel = "TLYUploader";
inline constexpr std::string_view kTLYUploaderBackgroundSessionIdentifier =
    "io.tally.background-session";
inline constexpr std::string_view kTLYThermalStateDidChangeNotification =
    "NSProcessInfoThermalStateDidChangeNotification";
inline constexpr std::string_view kTLYUploaderUniqueNameKey = "TLYUploaderUniqueName";
inline constexpr std::string_view kTLYFilePathErrorKey = "NSFilePath";
inline constexpr std::string_view kTLYUploaderTaskExistsMessage =
    "A task currently exists for '%@', skipping";
inline constexpr std::string_view kTLYUploaderRetryingMessage = "Retrying task with name %@";
inline constexpr std::string_view kTLYUploaderSessionInvalidMessage =
    "Error: session has become invalid %@";
// Codes of the "TRLNetworkError" domain made here.
inline constexpr std::int64_t kTLYUploaderErrorInvalidArguments = -2;
inline constexpr std::int64_t kTLYUploaderErrorUnreadableFile = -8;
inline constexpr double kTLYUploaderInitialDefaultUploadTimeout = 3600.0;
inline constexpr double kTLYUploaderInitialLowPowerUploadTimeout = 21600.0;

// 0 nominal, 1 fair, 2 serious, 3 critical.
using TLYThermalStateSource = std::function<std::int64_t()>;
// The only source here: the platform reports no thermal state, so nominal.
std::int64_t TLYNominalThermalState();

enum class TLYUploaderDelegateSelector { DidReceiveChallenge };

// The controller. Called on the uploader's operation queue.
class TLYUploaderDelegate {
 public:
  using CompletedRequestHandler =
      std::function<void(bool retry, const std::optional<crash::KitError>& error)>;

  virtual ~TLYUploaderDelegate() = default;
  // Only the challenge method is optional.
  virtual bool respondsToSelector(TLYUploaderDelegateSelector) const { return false; }

  // uploader:filePathForUniqueName:
  virtual std::string uploader(TLYUploader& uploader, const std::string& uniqueName) = 0;
  // uploader:didFinishUploadWithUniqueName:error:
  virtual void uploader(TLYUploader& uploader, const std::string& uniqueName,
                        const std::optional<crash::KitError>& error) = 0;
  // uploader:completedRequest:withResponse:uniqueName:error:completionHandler:
  // The handler may be called on any thread, once.
  virtual void uploader(TLYUploader& uploader, const crash::FLTURLRequest& completedRequest,
                        const std::optional<crash::FLTHTTPURLResponse>& response,
                        const std::string& uniqueName, const std::optional<platform::Error>& error,
                        CompletedRequestHandler completionHandler) = 0;
  // uploader:session:didReceiveChallenge:completionHandler:
  virtual void uploader(TLYUploader& uploader, crash::FLTURLSession* session,
                        const crash::TRLAuthenticationChallenge& challenge,
                        const crash::TRLChallengeCompletion& completionHandler);
};

// What the uploader reads from the process; tests inject their own.
struct TLYUploaderEnvironment {
  // Empty: TLYNominalThermalState.
  TLYThermalStateSource thermalState;
  // Where the thermal-state notification is observed; nullptr: the shared one.
  platform::NotificationCenter* notificationCenter = nullptr;
  // The anchors of every connection; none: TRLPinnedCertificates().
  std::optional<std::vector<crash::TRLCertificate>> pinnedCertificates;
  // The kit registry's debug flag; empty: Trellis::sharedSDK().debug().
  std::function<bool()> debug;
  // Whether the host application is an extension; empty: the host
  // application's bundle facts.
  std::function<bool()> isExtension;
  // Nullptr: TLYLogger::sharedLogger().
  const TLYLogger* logger = nullptr;
};

class TLYUploader : public std::enable_shared_from_this<TLYUploader> {
 public:
  using TaskCompletion = std::function<void(bool exists)>;

  // initWithQueue:delegate:. `queue` is the controller's serial event queue.
  static std::shared_ptr<TLYUploader> initWithQueue(std::shared_ptr<crash::OperationQueue> queue,
                                                    std::weak_ptr<TLYUploaderDelegate> delegate,
                                                    TLYUploaderEnvironment environment = {});
  ~TLYUploader();
  TLYUploader(const TLYUploader&) = delete;
  TLYUploader& operator=(const TLYUploader&) = delete;

  const std::shared_ptr<crash::OperationQueue>& operationQueue() const { return operationQueue_; }
  std::shared_ptr<TLYUploaderDelegate> delegate() const { return delegate_.lock(); }

  // The only entry for new uploads. `request` none stands for a missing one.
  void startUploadRequest(const std::optional<crash::FLTURLRequest>& request,
                          const std::string& filePath, const std::string& uniqueName);
  // On the operation queue: whether a task of that name is alive (running or
  // waiting for its retry).
  void checkForExistingTaskMatchingDescription(const std::string& uniqueName,
                                               TaskCompletion completionBlock);
  void startNewUploadRequest(const std::optional<crash::FLTURLRequest>& request,
                             const std::string& filePath, const std::string& uniqueName);

  // Without background requests (always here) the block runs at once on
  // the operation queue.
  void attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block);

  // Seconds. On the operation queue: store and drop the session.
  void setDefaultUploadTimeout(double seconds);
  void setLowPowerUploadTimeout(double seconds);
  double defaultUploadTimeout() const;
  double lowPowerUploadTimeout() const;
  // The thermal-state notification: drops the session on the operation queue.
  void powerStageChanged();

  bool supportsThermalNotifications() const;
  bool lowPowerMode() const;
  bool supportsBackgroundRequests() const;
  static bool shouldUseBackgroundRequests() { return false; }
  std::shared_ptr<crash::FLTURLSessionConfiguration> createBackgroundSessionConfiguration() const;

  // On the operation queue: the session, made on first use for the current
  // thermal state and time-outs; none when it cannot be made.
  std::shared_ptr<crash::FLTURLSession> session();
  // Whether a session is held now, and the configuration it was made with
  // (our session keeps only part of it); none without a session.
  bool hasSession() const;
  std::shared_ptr<const crash::FLTURLSessionConfiguration> sessionConfiguration() const;

  // "TRLNetworkError" `code` with that user info.
  static crash::KitError errorWithCode(std::int64_t code, platform::Value::Dictionary userInfo);
  // {"NSFilePath": path, "TLYUploaderUniqueName": name}, "(null)" for none.
  static platform::Value::Dictionary errorUserInfoWithFilePath(
      const std::optional<std::string>& filePath, const std::optional<std::string>& uniqueName);

  // Session delegate methods, on the operation queue.
  void URLSessionTaskDidCompleteWithError(crash::FLTURLSession* session,
                                          crash::FLTURLSessionTask& task,
                                          const std::optional<platform::Error>& error);
  void URLSessionDidReceiveChallenge(crash::FLTURLSession* session,
                                     const crash::TRLAuthenticationChallenge& challenge,
                                     const crash::TRLChallengeCompletion& completionHandler);
  void URLSessionDidBecomeInvalidWithError(crash::FLTURLSession* session,
                                           const std::optional<platform::Error>& error);

  // Reports a finished upload of that name to the delegate, on the queue.
  void handleTaskDescription(const std::string& uniqueName,
                             const std::optional<crash::KitError>& error);
  // Starts the upload of that name again from the delegate's file path.
  void restartTask(const crash::FLTURLRequest& originalRequest, const std::string& uniqueName);

  // Names reserved now (running or waiting for a retry).
  std::vector<std::string> uploadsInFlight() const;

  struct Private;
  TLYUploader(Private, std::shared_ptr<crash::OperationQueue> queue,
              std::weak_ptr<TLYUploaderDelegate> delegate, TLYUploaderEnvironment environment);

 private:
  class SessionDelegate;
  class QueuePoster;
  void start();
  void onQueue(std::function<void()> job);
  std::pair<std::shared_ptr<crash::FLTURLSession>, std::shared_ptr<const crash::FLTURLSessionConfiguration>>
  makeSession();
  void dropSession();
  void release(const std::string& uniqueName);
  bool debug() const;
  const TLYLogger& logger() const;
  void log(std::string_view message) const;

  const std::shared_ptr<crash::OperationQueue> operationQueue_;
  const std::weak_ptr<TLYUploaderDelegate> delegate_;
  const TLYUploaderEnvironment environment_;
  // The operation queue seen as a dispatch queue (the session's delegate
  // queue).
  std::shared_ptr<platform::Queue> delegateQueue_;
  std::shared_ptr<const crash::TRLCertificatePinner> pinner_;
  std::optional<platform::ObserverToken> thermalObserver_;

  mutable platform::Mutex mutex_;
  std::shared_ptr<crash::FLTURLSession> session_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<const crash::FLTURLSessionConfiguration> sessionConfiguration_ VANDREL_GUARDED_BY(mutex_);
  double defaultUploadTimeout_ VANDREL_GUARDED_BY(mutex_) = kTLYUploaderInitialDefaultUploadTimeout;
  double lowPowerUploadTimeout_ VANDREL_GUARDED_BY(mutex_) =
      kTLYUploaderInitialLowPowerUploadTimeout;
  // Unique name → the live task and the session it belongs to (a dropped
  // session must live until its tasks have reported); both none while the
  // name waits for its retry.
  struct InFlight {
    std::shared_ptr<crash::FLTURLSession> session;
    std::shared_ptr<crash::FLTURLSessionUploadTask> task;
  };
  std::map<std::string, InFlight> inFlight_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::analytics
