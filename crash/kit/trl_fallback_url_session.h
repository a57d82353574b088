#pragma once

// The kits' URL session: the factories hand out this session of our own
// (there is no platform URL session here), built on the HTTP engine. Data,
// upload and download tasks report through completion handlers or through
// the session delegate, queued on the delegate queue.
//
// Queues: every task changes its state on its own serial queue
// "com.faultline.URLSessionTask"; the task set lives on the session's
// serial queue "com.faultline.URLSession"; delegate calls run on the
// delegate queue.
//
// Every task completes exactly once, a cancelled one with the cancellation
// error (NSURLErrorDomain -999), so no caller waits forever; a
// configuration's certificate pinner applies to every connection (a refused
// server fails with -1202, which is not retried); a download whose file
// cannot be written completely fails with "FLTURLSessionDownloadTaskError"
// -1 rather than handing over a short file.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crash/kit/trl_certificate_pinner.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/result.h"
#include "platform/sync.h"

namespace vandrel::crash {

inline constexpr std::string_view kFLTURLSessionQueueLabel = "com.faultline.URLSession";
inline constexpr std::string_view kFLTURLSessionTaskQueueLabel = "com.faultline.URLSessionTask";
inline constexpr std::string_view kFLTURLSessionDownloadTaskErrorDomain =
    "FLTURLSessionDownloadTaskError";

using FLTURLRequest = platform::HttpRequest;

struct FLTHTTPURLResponse {
  std::string URL;
  int statusCode = 0;
  platform::HttpHeaders allHeaderFields;
};

class FLTURLSession;
class FLTURLSessionTask;
class FLTURLSessionDataTask;
class FLTURLSessionUploadTask;
class FLTURLSessionDownloadTask;

class FLTURLSessionConfiguration {
 public:
  static std::shared_ptr<FLTURLSessionConfiguration> defaultSessionConfiguration();
  static std::shared_ptr<FLTURLSessionConfiguration> ephemeralSessionConfiguration();
  // None: the session has no background mode.
  static std::shared_ptr<FLTURLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(
      std::string_view identifier);
  static std::shared_ptr<FLTURLSessionConfiguration> backgroundSessionConfiguration(
      std::string_view identifier);

  // Carries the additional headers and the certificate pinner; every other
  // field starts at zero.
  std::shared_ptr<FLTURLSessionConfiguration> copy() const;

  bool sessionSendsLaunchEvents() const { return false; }
  void setSessionSendsLaunchEvents(bool) {}

  // Added to every request of the session (next to a field of the same
  // name the request already has).
  std::map<std::string, std::string> HTTPAdditionalHeaders;
  // Stored only; the session does not apply them.
  double timeoutIntervalForRequest = 0;
  double timeoutIntervalForResource = 0;
  bool allowsCellularAccess = false;
  std::int64_t HTTPCookieAcceptPolicy = 0;
  // When set, every connection must chain to the pinner's anchors; when
  // none, the system's store decides.
  std::shared_ptr<const TRLCertificatePinner> certificatePinner;
};

enum class FLTURLSessionResponseDisposition : std::int32_t {
  Cancel = 0,
  Allow = 1,
  BecomeDownload = 2,
  BecomeStream = 3,
};

enum class FLTURLSessionDelegateSelector {
  DataTaskDidReceiveResponse,
  DataTaskDidReceiveData,
  DownloadTaskDidFinishDownloading,
  TaskDidCompleteWithError,
};

// Called on the session's delegate queue. A delegate that does not answer
// a selector (`respondsToSelector`) gets no such calls.
class FLTURLSessionDelegate {
 public:
  virtual ~FLTURLSessionDelegate() = default;
  virtual bool respondsToSelector(FLTURLSessionDelegateSelector) const { return true; }

  // URLSession:dataTask:didReceiveResponse:completionHandler: (the
  // disposition given to the handler is ignored)
  virtual void URLSession(
      FLTURLSession& session, FLTURLSessionDataTask& dataTask, const FLTHTTPURLResponse& response,
      const std::function<void(FLTURLSessionResponseDisposition)>& completionHandler);
  // URLSession:dataTask:didReceiveData:
  virtual void URLSession(FLTURLSession& session, FLTURLSessionDataTask& dataTask,
                          const std::string& data);
  // URLSession:downloadTask:didFinishDownloadingToURL: (the file is deleted
  // when this returns)
  virtual void URLSession(FLTURLSession& session, FLTURLSessionDownloadTask& downloadTask,
                          const std::filesystem::path& location);
  // URLSession:task:didCompleteWithError:
  virtual void URLSession(FLTURLSession& session, FLTURLSessionTask& task,
                          const std::optional<platform::Error>& error);
};

using FLTDataTaskCompletion =
    std::function<void(const std::string& data, const std::optional<FLTHTTPURLResponse>&,
                       const std::optional<platform::Error>&)>;
using FLTDownloadTaskCompletion = std::function<void(const std::filesystem::path& location,
                                                     const std::optional<FLTHTTPURLResponse>&,
                                                     const std::optional<platform::Error>&)>;

class FLTURLSessionTask : public std::enable_shared_from_this<FLTURLSessionTask> {
 public:
  static std::shared_ptr<FLTURLSessionTask> task();
  FLTURLSessionTask();
  virtual ~FLTURLSessionTask();
  FLTURLSessionTask(const FLTURLSessionTask&) = delete;
  FLTURLSessionTask& operator=(const FLTURLSessionTask&) = delete;

  // The base class does nothing here.
  virtual void start() {}
  virtual void resume() {}
  virtual void cancel() {}
  virtual void cleanup() {}

  FLTURLRequest originalRequest() const;
  FLTURLRequest currentRequest() const;
  std::optional<FLTHTTPURLResponse> response() const;
  std::optional<platform::Error> error() const;
  std::shared_ptr<FLTURLSession> delegate() const;
  bool invokesDelegate() const;
  std::string taskDescription() const;
  void setTaskDescription(std::string description);

 protected:
  friend class FLTURLSession;
  void setOriginalRequest(FLTURLRequest request);
  void setDelegate(const std::shared_ptr<FLTURLSession>& session);
  void setInvokesDelegate(bool invokes);
  void setResponse(FLTHTTPURLResponse response);
  void setError(platform::Error error);

  mutable platform::Mutex mutex_;
  std::optional<FLTURLRequest> originalRequest_ VANDREL_GUARDED_BY(mutex_);
  std::optional<FLTHTTPURLResponse> response_ VANDREL_GUARDED_BY(mutex_);
  std::optional<platform::Error> error_ VANDREL_GUARDED_BY(mutex_);
  std::weak_ptr<FLTURLSession> delegate_ VANDREL_GUARDED_BY(mutex_);
  bool invokesDelegate_ VANDREL_GUARDED_BY(mutex_) = true;
  std::string taskDescription_ VANDREL_GUARDED_BY(mutex_);
  const std::shared_ptr<platform::SerialQueue> taskQueue_;
};

class FLTURLSessionDataTask : public FLTURLSessionTask {
 public:
  static std::shared_ptr<FLTURLSessionDataTask> task();
  ~FLTURLSessionDataTask() override;

  // Starts the transfer once; later calls do nothing.
  void resume() override;
  // Stops the transfer; the task completes once with the cancellation
  // error (at once when it never started), later events are dropped.
  void cancel() override;

  void setCompletionHandler(FLTDataTaskCompletion handler);

 protected:
  // Task-queue steps; subclasses change what data and completion do.
  virtual void didReceiveData(const std::string& data);
  virtual void complete();
  void finishWith(platform::HttpResponse response);
  bool hasCompleted() const { return completed_; }

  // Touched only on the task queue.
  std::optional<platform::HttpTask> connection_;
  bool completed_ = false;
  std::string receivedData_;
  FLTDataTaskCompletion completionHandler_;
};

// The request body streams from a file.
class FLTURLSessionUploadTask : public FLTURLSessionDataTask {
 public:
  static std::shared_ptr<FLTURLSessionUploadTask> task();
};

class FLTURLSessionDownloadTask : public FLTURLSessionDataTask {
 public:
  static std::shared_ptr<FLTURLSessionDownloadTask> task();
  FLTURLSessionDownloadTask();
  ~FLTURLSessionDownloadTask() override;

  // Deletes the downloaded file.
  void cleanup() override;
  void setDownloadCompletionHandler(FLTDownloadTaskCompletion handler);
  // A new file in the temporary directory named by a globally unique string.
  const std::filesystem::path& targetFileURL() const { return targetFileURL_; }

 protected:
  void didReceiveData(const std::string& data) override;
  void complete() override;

 private:
  void completeForError();

  const std::filesystem::path targetFileURL_;
  // Touched only on the task queue.
  int fd_ = -1;
  bool writeFailed_ = false;
  FLTDownloadTaskCompletion downloadCompletionHandler_;
};

class FLTURLSession : public std::enable_shared_from_this<FLTURLSession> {
 public:
  // Whether the platform's own URL session is to be used: never here.
  static bool NSURLSessionShouldBeUsed();

  // None without a configuration. A delegate given without a queue gets
  // `newDefaultDelegateQueue`.
  static std::shared_ptr<FLTURLSession> sessionWithConfiguration(
      const std::shared_ptr<const FLTURLSessionConfiguration>& configuration,
      std::shared_ptr<FLTURLSessionDelegate> delegate,
      std::shared_ptr<platform::Queue> delegateQueue);
  static std::shared_ptr<FLTURLSession> sessionWithConfiguration(
      const std::shared_ptr<const FLTURLSessionConfiguration>& configuration);
  // A serial queue labelled "FLTURLSession 0x…" (class name and address).
  static std::shared_ptr<platform::SerialQueue> newDefaultDelegateQueue();

  FLTURLSession(std::shared_ptr<FLTURLSessionConfiguration> configuration,
                std::shared_ptr<FLTURLSessionDelegate> delegate,
                std::shared_ptr<platform::Queue> delegateQueue);
  ~FLTURLSession();
  FLTURLSession(const FLTURLSession&) = delete;
  FLTURLSession& operator=(const FLTURLSession&) = delete;

  std::shared_ptr<FLTURLSessionDataTask> dataTaskWithRequest(
      const FLTURLRequest& request, FLTDataTaskCompletion completionHandler);
  std::shared_ptr<FLTURLSessionDataTask> dataTaskWithRequest(const FLTURLRequest& request);
  std::shared_ptr<FLTURLSessionUploadTask> uploadTaskWithRequest(
      const FLTURLRequest& request, const std::filesystem::path& fromFile,
      FLTDataTaskCompletion completionHandler);
  std::shared_ptr<FLTURLSessionUploadTask> uploadTaskWithRequest(
      const FLTURLRequest& request, const std::filesystem::path& fromFile);
  std::shared_ptr<FLTURLSessionDownloadTask> downloadTaskWithRequest(
      const FLTURLRequest& request, FLTDownloadTaskCompletion completionHandler);
  std::shared_ptr<FLTURLSessionDownloadTask> downloadTaskWithRequest(const FLTURLRequest& request);
  std::shared_ptr<FLTURLSessionDownloadTask> downloadTaskWithURL(const std::string& url);

  // Three empty lists, on the delegate queue (on the global queue for a
  // session without one).
  void getTasksWithCompletionHandler(
      std::function<void(std::vector<std::shared_ptr<FLTURLSessionDataTask>>,
                         std::vector<std::shared_ptr<FLTURLSessionUploadTask>>,
                         std::vector<std::shared_ptr<FLTURLSessionDownloadTask>>)>
          completionHandler);

  // Cancels every live task, then drops the delegate.
  void invalidateAndCancel();
  // Drops the delegate; the tasks run on.
  void finishTasksAndInvalidate();

  std::shared_ptr<FLTURLSessionDelegate> delegate() const;
  const std::shared_ptr<platform::Queue>& delegateQueue() const { return delegateQueue_; }
  const FLTURLSessionConfiguration& configuration() const { return *configuration_; }
  std::string sessionDescription() const;
  void setSessionDescription(std::string description);
  // Tasks created and not yet completed.
  std::size_t liveTaskCount() const;

 private:
  friend class FLTURLSessionDataTask;
  friend class FLTURLSessionDownloadTask;

  void configureTask(const std::shared_ptr<FLTURLSessionTask>& task, const FLTURLRequest& request,
                     const std::function<void(FLTURLRequest&)>& block);
  // Sends a started task's request: through the engine, or straight to
  // `completion` with the refusal when the pinner trusts nothing.
  platform::HttpTask send(const FLTURLRequest& request, platform::Queue& queue,
                          platform::HttpCompletion completion);

  // Calls from the tasks (on their queues).
  void taskDidReceiveResponse(const std::shared_ptr<FLTURLSessionDataTask>& task,
                              const FLTHTTPURLResponse& response);
  void taskDidReceiveData(const std::shared_ptr<FLTURLSessionDataTask>& task,
                          const std::string& data);
  void downloadTaskDidFinishDownloading(const std::shared_ptr<FLTURLSessionDownloadTask>& task);
  void taskDidCompleteWithError(const std::shared_ptr<FLTURLSessionTask>& task,
                                const std::optional<platform::Error>& error);
  void removeTaskFromSet(const std::shared_ptr<FLTURLSessionTask>& task);
  // The delegate when the task invokes it and the delegate answers.
  std::shared_ptr<FLTURLSessionDelegate> shouldInvokeDelegateSelector(
      FLTURLSessionDelegateSelector selector, const FLTURLSessionTask& task) const;

  const std::shared_ptr<FLTURLSessionConfiguration> configuration_;
  const std::shared_ptr<platform::Queue> delegateQueue_;
  const std::shared_ptr<platform::SerialQueue> sessionQueue_;
  // Set once: the engine session under the pinner's policy, or the reason
  // the pinner trusts no server.
  std::unique_ptr<platform::HttpSession> http_;
  std::optional<platform::Error> trustRefusal_;

  mutable platform::Mutex mutex_;
  std::shared_ptr<FLTURLSessionDelegate> delegate_ VANDREL_GUARDED_BY(mutex_);
  std::string sessionDescription_ VANDREL_GUARDED_BY(mutex_);
  // Touched only on the session queue.
  std::vector<std::shared_ptr<FLTURLSessionTask>> tasks_;
};

}  // namespace vandrel::crash
