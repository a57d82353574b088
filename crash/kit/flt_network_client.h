#pragma once

// Uploads report packages (multipart files in the report store's "prepared"
// directory) from their files.
//
// There are no background URL sessions here: uploads run in this process
// and end with it, so `supportsBackgroundRequests` is always false. An
// urgent upload is sent synchronously on the calling thread; any other goes
// through the client's own URL session, whose tasks carry the package path
// relative to the store root as their description. That description finds
// duplicates (a package already being uploaded, or waiting to be tried
// again, is not started twice) and maps a finished task back to its file.
//
// Every connection must chain to the kit's pinned roots, unless the kit
// registry's debug flag is set, in which case the system's trust store
// decides. A response the response handler calls retryable is uploaded
// again from the same file after the server's "Retry-After" delay, at most
// `maximumRestarts` times; the last error then goes to the delegate.
//
// The client deletes nothing: the delegate learns the outcome for the
// package path (no error on success) and removes the package itself; a
// failed synchronous upload reports nothing and leaves the package for the
// next launch.
//
// Queues: session callbacks, duplicate checks, restarts and delegate calls
// run on the work queue (a serial queue). The synchronous upload blocks its
// caller (its transfer completes on a queue of its own, so even the work
// queue may wait for it) and tells the delegate of its success on that
// thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "crash/reports/flt_file_manager.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::crash {

inline constexpr std::string_view kFLTNetworkErrorDomain = "FLTNetworkError";
// The package file could not be read; user info {"path": package path}.
inline constexpr std::int64_t kFLTNetworkErrorUnreadablePackage = -2;
inline constexpr std::string_view kFLTNetworkErrorPathKey = "path";
inline constexpr std::string_view kFLTNetworkClientBackgroundSessionIdentifier =
    "com.kestrel.faultline.mac.crash.background-session";
// Uploads of one package after its first, before its error is reported.
inline constexpr unsigned kFLTNetworkClientMaximumRestarts = 10;

class FLTNetworkClient;

// Called on the work queue (the background question on the caller's thread
// of the client's construction).
class FLTNetworkClientDelegate {
 public:
  virtual ~FLTNetworkClientDelegate() = default;
  virtual bool networkClientCanUseBackgroundSessions(FLTNetworkClient& client) = 0;
  // `path` is the package's absolute path; no error on success.
  virtual void networkClientDidFinishUploadWithPath(FLTNetworkClient& client,
                                                    const std::string& path,
                                                    const std::optional<KitError>& error) = 0;
};

// What the client reads from the process; tests inject their own.
struct FLTNetworkClientEnvironment {
  // The anchors of every connection; none: `FLTNetworkClient::pinner()`'s.
  std::optional<std::vector<TRLCertificate>> pinnedCertificates;
  // The kit registry's debug flag; empty: Trellis::sharedSDK().debug().
  std::function<bool()> debug;
  // Times the retry delays; nullptr: the system scheduler.
  platform::Scheduler* scheduler = nullptr;
  // Console lines ("[Faultline:Crash:Client] ..."); empty: stderr.
  std::function<void(std::string_view line)> log;
  unsigned maximumRestarts = kFLTNetworkClientMaximumRestarts;
  // The longest a synchronous upload may take before it is cancelled.
  platform::Duration synchronousUploadTimeout = std::chrono::seconds(60);
};

class FLTNetworkClient : public std::enable_shared_from_this<FLTNetworkClient> {
 public:
  // `queue` is the work queue (serial).
  static std::shared_ptr<FLTNetworkClient> initWithQueue(
      std::shared_ptr<platform::Queue> queue, FLTFileManager fileManager,
      std::weak_ptr<FLTNetworkClientDelegate> delegate, FLTNetworkClientEnvironment environment = {});

  // The kit's pinned roots (the bundle's "TRLPinnedCertificates.pem").
  static std::shared_ptr<const TRLCertificatePinner> pinner();
  // Whether the platform's URL session exists: never here.
  static bool NSURLSessionAvailable();
  // Always false here (see above).
  bool supportsBackgroundRequests() const;

  // Made on first use; none when it cannot be made (tried again next use).
  std::shared_ptr<FLTURLSession> session();
  const std::shared_ptr<const TRLCertificatePinner>& certificatePinner() const { return pinner_; }
  const FLTFileManager& fileManager() const { return fileManager_; }

  // Without background requests the block runs at once.
  void attemptToReconnectBackgroundSessionWithCompletionBlock(const std::function<void()>& block);

  // `immediately`: a synchronous upload on this thread. Otherwise a session
  // upload, unless one for the same package is alive.
  void startUploadRequest(const FLTURLRequest& request, const std::string& filePath,
                          bool immediately);
  void startImmediateUploadRequest(const FLTURLRequest& request, const std::string& filePath);
  // On the work queue.
  void startNewUploadRequest(const FLTURLRequest& request, const std::string& filePath);

  // Answers on the work queue whether an upload with this description is
  // alive (in the session's task lists or waiting to be tried again).
  void checkForExistingTaskMatchingDescription(const std::string& description,
                                               std::function<void(bool exists)> completionBlock);
  template <typename Task>
  static bool taskArrayHasTaskMatchingDescription(const std::vector<std::shared_ptr<Task>>& tasks,
                                                  const std::string& description) {
    for (const auto& task : tasks) {
      if (task && task->taskDescription() == description) return true;
    }
    return false;
  }

  // Root + "/" removed from the front of `path`; none (logged) for a path
  // outside the root.
  std::optional<std::string> relativeTaskPathForAbsolutePath(const std::string& path) const;
  std::string absolutePathForRelativeTaskPath(const std::string& description) const;

  // Session delegate, on the work queue.
  void URLSessionTaskDidCompleteWithError(FLTURLSession& session, FLTURLSessionTask& task,
                                          const std::optional<platform::Error>& error);
  void URLSessionDidReceiveChallenge(FLTURLSession* session,
                                     const TRLAuthenticationChallenge& challenge,
                                     const TRLChallengeCompletion& completionHandler) const;
  void URLSessionDidBecomeInvalidWithError(FLTURLSession* session,
                                           const std::optional<platform::Error>& error);
  void URLSessionDidFinishEventsForBackgroundURLSession(FLTURLSession* session);
  void setBackgroundCompletionHandler(std::function<void()> handler);

  // Uploads again after the retry delay of `response`.
  void restartTask(const FLTURLSessionTask& task);
  void runAfterRetryValueFromResponse(const std::optional<FLTHTTPURLResponse>& response,
                                      platform::Job block);
  void handleTask(const FLTURLSessionTask& task, const std::optional<KitError>& error);
  void handleTaskDescription(const std::string& description, const std::optional<KitError>& error);

  // Packages whose upload is alive (running or waiting to be tried again).
  std::size_t liveUploadCount() const;

  struct Private;
  FLTNetworkClient(Private, std::shared_ptr<platform::Queue> queue, FLTFileManager fileManager,
                   std::weak_ptr<FLTNetworkClientDelegate> delegate,
                   std::shared_ptr<const TRLCertificatePinner> pinner,
                   FLTNetworkClientEnvironment environment);
  ~FLTNetworkClient();
  FLTNetworkClient(const FLTNetworkClient&) = delete;
  FLTNetworkClient& operator=(const FLTNetworkClient&) = delete;

 private:
  bool debug() const;
  void log(std::string_view line) const;
  platform::Scheduler& scheduler() const;
  std::shared_ptr<FLTNetworkClientDelegate> delegate() const;
  void reportUnreadable(const std::string& filePath);
  // A session with the pinner on the wire (unless in debug mode).
  std::shared_ptr<FLTURLSession> makeSession(bool withDelegate);
  void forget(const std::string& description);

  const std::shared_ptr<platform::Queue> queue_;
  const FLTFileManager fileManager_;
  const std::weak_ptr<FLTNetworkClientDelegate> delegate_;
  const std::shared_ptr<const TRLCertificatePinner> pinner_;
  const FLTNetworkClientEnvironment environment_;
  bool canUseBackgroundSession_ = false;

  mutable platform::Mutex mutex_;
  std::shared_ptr<FLTURLSession> session_ VANDREL_GUARDED_BY(mutex_);
  std::function<void()> backgroundCompletionHandler_ VANDREL_GUARDED_BY(mutex_);
  // Description → restarts so far, for every upload alive.
  std::map<std::string, unsigned> liveUploads_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::crash
