#include "crash/kit/trl_fallback_url_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>
#include <utility>

namespace vandrel::crash {

namespace {

platform::Error downloadTaskError() {
  return platform::Error{std::string(kFLTURLSessionDownloadTaskErrorDomain), -1,
                         "The downloaded data could not be written to its file."};
}

// A fresh globally unique name, "XXXXXXXX-XXXX-4XXX-YXXX-XXXXXXXXXXXX".
std::string globallyUniqueString() {
  std::random_device random;
  unsigned char bytes[16];
  for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::filesystem::path newTemporaryFilePath() {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  return dir / globallyUniqueString();
}

bool isHttps(const std::string& url) {
  return url.size() >= 6 &&
         platform::equalsIgnoringCase(std::string_view(url).substr(0, 6), "https:");
}

}  // namespace

// ---- Delegate defaults -------------------------------------------------------

void FLTURLSessionDelegate::URLSession(
    FLTURLSession&, FLTURLSessionDataTask&, const FLTHTTPURLResponse&,
    const std::function<void(FLTURLSessionResponseDisposition)>&) {}
void FLTURLSessionDelegate::URLSession(FLTURLSession&, FLTURLSessionDataTask&, const std::string&) {
}
void FLTURLSessionDelegate::URLSession(FLTURLSession&, FLTURLSessionDownloadTask&,
                                       const std::filesystem::path&) {}
void FLTURLSessionDelegate::URLSession(FLTURLSession&, FLTURLSessionTask&,
                                       const std::optional<platform::Error>&) {}

// ---- Configuration -----------------------------------------------------------

std::shared_ptr<FLTURLSessionConfiguration>
FLTURLSessionConfiguration::defaultSessionConfiguration() {
  return std::make_shared<FLTURLSessionConfiguration>();
}

std::shared_ptr<FLTURLSessionConfiguration>
FLTURLSessionConfiguration::ephemeralSessionConfiguration() {
  return std::make_shared<FLTURLSessionConfiguration>();
}

std::shared_ptr<FLTURLSessionConfiguration>
FLTURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(std::string_view) {
  return nullptr;
}

std::shared_ptr<FLTURLSessionConfiguration>
FLTURLSessionConfiguration::backgroundSessionConfiguration(std::string_view) {
  return nullptr;
}

std::shared_ptr<FLTURLSessionConfiguration> FLTURLSessionConfiguration::copy() const {
  auto copied = std::make_shared<FLTURLSessionConfiguration>();
  copied->HTTPAdditionalHeaders = HTTPAdditionalHeaders;
  // A copy that lost the pinner would quietly trust the system's store.
  copied->certificatePinner = certificatePinner;
  return copied;
}

// ---- Task base ---------------------------------------------------------------

std::shared_ptr<FLTURLSessionTask> FLTURLSessionTask::task() {
  return std::make_shared<FLTURLSessionTask>();
}

FLTURLSessionTask::FLTURLSessionTask()
    : taskQueue_(
          std::make_shared<platform::SerialQueue>(std::string(kFLTURLSessionTaskQueueLabel))) {}

FLTURLSessionTask::~FLTURLSessionTask() = default;

FLTURLRequest FLTURLSessionTask::originalRequest() const {
  platform::MutexLock lock(mutex_);
  return originalRequest_.value_or(FLTURLRequest{});
}

FLTURLRequest FLTURLSessionTask::currentRequest() const { return originalRequest(); }

std::optional<FLTHTTPURLResponse> FLTURLSessionTask::response() const {
  platform::MutexLock lock(mutex_);
  return response_;
}

std::optional<platform::Error> FLTURLSessionTask::error() const {
  platform::MutexLock lock(mutex_);
  return error_;
}

std::shared_ptr<FLTURLSession> FLTURLSessionTask::delegate() const {
  platform::MutexLock lock(mutex_);
  return delegate_.lock();
}

bool FLTURLSessionTask::invokesDelegate() const {
  platform::MutexLock lock(mutex_);
  return invokesDelegate_;
}

std::string FLTURLSessionTask::taskDescription() const {
  platform::MutexLock lock(mutex_);
  return taskDescription_;
}

void FLTURLSessionTask::setTaskDescription(std::string description) {
  platform::MutexLock lock(mutex_);
  taskDescription_ = std::move(description);
}

void FLTURLSessionTask::setOriginalRequest(FLTURLRequest request) {
  platform::MutexLock lock(mutex_);
  originalRequest_ = std::move(request);
}

void FLTURLSessionTask::setDelegate(const std::shared_ptr<FLTURLSession>& session) {
  platform::MutexLock lock(mutex_);
  delegate_ = session;
}

void FLTURLSessionTask::setInvokesDelegate(bool invokes) {
  platform::MutexLock lock(mutex_);
  invokesDelegate_ = invokes;
}

void FLTURLSessionTask::setResponse(FLTHTTPURLResponse response) {
  platform::MutexLock lock(mutex_);
  response_ = std::move(response);
}

void FLTURLSessionTask::setError(platform::Error error) {
  platform::MutexLock lock(mutex_);
  error_ = std::move(error);
}

// ---- Data task ---------------------------------------------------------------

std::shared_ptr<FLTURLSessionDataTask> FLTURLSessionDataTask::task() {
  return std::make_shared<FLTURLSessionDataTask>();
}

FLTURLSessionDataTask::~FLTURLSessionDataTask() = default;

void FLTURLSessionDataTask::setCompletionHandler(FLTDataTaskCompletion handler) {
  completionHandler_ = std::move(handler);
}

void FLTURLSessionDataTask::resume() {
  auto self = std::static_pointer_cast<FLTURLSessionDataTask>(shared_from_this());
  taskQueue_->async([self] {
    if (self->connection_ || self->completed_) return;
    auto session = self->delegate();
    if (!session) {
      // The session is gone, and with it every connection it could make.
      self->connection_ = platform::HttpTask();
      self->setError(platform::makeUrlError(platform::UrlError::Cancelled));
      self->complete();
      return;
    }
    self->connection_ = session->send(
        self->originalRequest(), *self->taskQueue_,
        [self](platform::HttpResponse response) { self->finishWith(std::move(response)); });
  });
}

void FLTURLSessionDataTask::cancel() {
  auto self = std::static_pointer_cast<FLTURLSessionDataTask>(shared_from_this());
  taskQueue_->async([self] {
    if (self->completed_) return;
    if (self->connection_ && self->connection_->valid()) {
      // The engine completes the transfer once, with the cancellation error.
      self->connection_->cancel();
      return;
    }
    self->connection_ = platform::HttpTask();  // a later resume does nothing
    self->setError(platform::makeUrlError(platform::UrlError::Cancelled));
    self->complete();
  });
}

void FLTURLSessionDataTask::finishWith(platform::HttpResponse response) {
  if (completed_) return;
  auto self = std::static_pointer_cast<FLTURLSessionDataTask>(shared_from_this());
  auto session = delegate();
  if (response.status != 0) {
    FLTHTTPURLResponse received{response.url, response.status, response.headers};
    if (session) session->taskDidReceiveResponse(self, received);
    setResponse(std::move(received));
  }
  if (response.error) {
    setError(*response.error);
    complete();
    return;
  }
  if (!response.body.empty()) didReceiveData(response.body);
  complete();
}

void FLTURLSessionDataTask::didReceiveData(const std::string& data) {
  receivedData_ += data;
  auto session = delegate();
  if (session) {
    session->taskDidReceiveData(std::static_pointer_cast<FLTURLSessionDataTask>(shared_from_this()),
                                data);
  }
}

void FLTURLSessionDataTask::complete() {
  if (completed_) return;
  completed_ = true;
  auto session = delegate();
  if (completionHandler_) {
    auto handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
    handler(receivedData_, response(), error());
  }
  if (session) session->taskDidCompleteWithError(shared_from_this(), error());
}

// ---- Upload task -------------------------------------------------------------

std::shared_ptr<FLTURLSessionUploadTask> FLTURLSessionUploadTask::task() {
  return std::make_shared<FLTURLSessionUploadTask>();
}

// ---- Download task -----------------------------------------------------------

std::shared_ptr<FLTURLSessionDownloadTask> FLTURLSessionDownloadTask::task() {
  return std::make_shared<FLTURLSessionDownloadTask>();
}

FLTURLSessionDownloadTask::FLTURLSessionDownloadTask() : targetFileURL_(newTemporaryFilePath()) {}

FLTURLSessionDownloadTask::~FLTURLSessionDownloadTask() {
  if (fd_ >= 0) ::close(fd_);
}

void FLTURLSessionDownloadTask::setDownloadCompletionHandler(FLTDownloadTaskCompletion handler) {
  downloadCompletionHandler_ = std::move(handler);
}

void FLTURLSessionDownloadTask::cleanup() {
  std::error_code ec;
  std::filesystem::remove(targetFileURL_, ec);
}

void FLTURLSessionDownloadTask::didReceiveData(const std::string& data) {
  if (writeFailed_) return;
  if (fd_ < 0) {
    fd_ = ::open(targetFileURL_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  std::size_t written = 0;
  while (fd_ >= 0 && written < data.size()) {
    ssize_t n = ::write(fd_, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  // A short file handed over as complete would be a corrupt download.
  if (fd_ < 0 || written < data.size()) completeForError();
}

void FLTURLSessionDownloadTask::completeForError() {
  writeFailed_ = true;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (connection_ && connection_->valid()) connection_->cancel();
  if (!error()) setError(downloadTaskError());
  complete();
}

void FLTURLSessionDownloadTask::complete() {
  if (completed_) return;
  if (fd_ >= 0) {
    bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!closed && !error()) setError(downloadTaskError());
  } else if (!error() && !writeFailed_) {
    // An empty reply still hands over a (empty) file.
    int fd = ::open(targetFileURL_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
      setError(downloadTaskError());
    else
      ::close(fd);
  }
  completed_ = true;
  auto self = std::static_pointer_cast<FLTURLSessionDownloadTask>(shared_from_this());
  auto session = delegate();
  std::optional<platform::Error> failure = error();
  if (downloadCompletionHandler_) {
    auto handler = std::move(downloadCompletionHandler_);
    downloadCompletionHandler_ = nullptr;
    handler(targetFileURL_, response(), failure);
  }
  if (session && !failure) {
    session->downloadTaskDidFinishDownloading(self);
  } else {
    // Nobody will read a failed or orphaned download.
    cleanup();
  }
  if (session) session->taskDidCompleteWithError(self, failure);
}

// ---- Session -----------------------------------------------------------------

bool FLTURLSession::NSURLSessionShouldBeUsed() { return false; }

std::shared_ptr<FLTURLSession> FLTURLSession::sessionWithConfiguration(
    const std::shared_ptr<const FLTURLSessionConfiguration>& configuration,
    std::shared_ptr<FLTURLSessionDelegate> delegate,
    std::shared_ptr<platform::Queue> delegateQueue) {
  if (!configuration) return nullptr;
  if (delegate && !delegateQueue) delegateQueue = newDefaultDelegateQueue();
  return std::make_shared<FLTURLSession>(configuration->copy(), std::move(delegate),
                                         std::move(delegateQueue));
}

std::shared_ptr<FLTURLSession> FLTURLSession::sessionWithConfiguration(
    const std::shared_ptr<const FLTURLSessionConfiguration>& configuration) {
  return sessionWithConfiguration(configuration, nullptr, nullptr);
}

std::shared_ptr<platform::SerialQueue> FLTURLSession::newDefaultDelegateQueue() {
  static const char classTag = 0;
  char label[64];
  std::snprintf(label, sizeof label, "FLTURLSession %p", static_cast<const void*>(&classTag));
  return std::make_shared<platform::SerialQueue>(label);
}

FLTURLSession::FLTURLSession(std::shared_ptr<FLTURLSessionConfiguration> configuration,
                             std::shared_ptr<FLTURLSessionDelegate> delegate,
                             std::shared_ptr<platform::Queue> delegateQueue)
    : configuration_(configuration ? std::move(configuration)
                                   : FLTURLSessionConfiguration::defaultSessionConfiguration()),
      delegateQueue_(std::move(delegateQueue)),
      sessionQueue_(std::make_shared<platform::SerialQueue>(std::string(kFLTURLSessionQueueLabel))),
      delegate_(std::move(delegate)) {
  VANDREL_CHECK(!delegate_ || delegateQueue_, "FLTURLSession: a delegate needs a delegate queue");
  platform::HttpSessionConfig config;
  if (configuration_->certificatePinner) {
    auto policy = configuration_->certificatePinner->trustPolicy();
    if (policy) {
      config.defaultTrust = std::move(policy).value();
    } else {
      trustRefusal_ = platform::makeUrlError(platform::UrlError::ServerCertificateUntrusted);
    }
  }
  http_ = std::make_unique<platform::HttpSession>(std::move(config));
}

FLTURLSession::~FLTURLSession() = default;

std::shared_ptr<FLTURLSessionDelegate> FLTURLSession::delegate() const {
  platform::MutexLock lock(mutex_);
  return delegate_;
}

std::string FLTURLSession::sessionDescription() const {
  platform::MutexLock lock(mutex_);
  return sessionDescription_;
}

void FLTURLSession::setSessionDescription(std::string description) {
  platform::MutexLock lock(mutex_);
  sessionDescription_ = std::move(description);
}

std::size_t FLTURLSession::liveTaskCount() const {
  std::size_t count = 0;
  sessionQueue_->sync([&] { count = tasks_.size(); });
  return count;
}

void FLTURLSession::configureTask(const std::shared_ptr<FLTURLSessionTask>& task,
                                  const FLTURLRequest& request,
                                  const std::function<void(FLTURLRequest&)>& block) {
  FLTURLRequest copy = request;
  sessionQueue_->sync([&] {
    tasks_.push_back(task);
    for (const auto& [name, value] : configuration_->HTTPAdditionalHeaders)
      copy.headers.add(name, value);
  });
  if (block) block(copy);
  task->setOriginalRequest(std::move(copy));
  task->setDelegate(shared_from_this());
}

platform::HttpTask FLTURLSession::send(const FLTURLRequest& request, platform::Queue& queue,
                                       platform::HttpCompletion completion) {
  if (trustRefusal_ && isHttps(request.url)) {
    // A pinner without anchors trusts no server: fail closed, connect nowhere.
    platform::HttpResponse refused;
    refused.url = request.url;
    refused.error = *trustRefusal_;
    queue.async([completion = std::move(completion), refused = std::move(refused)]() mutable {
      completion(std::move(refused));
    });
    return platform::HttpTask();
  }
  return http_->send(request, queue, std::move(completion));
}

std::shared_ptr<FLTURLSessionDataTask> FLTURLSession::dataTaskWithRequest(
    const FLTURLRequest& request, FLTDataTaskCompletion completionHandler) {
  auto task = FLTURLSessionDataTask::task();
  configureTask(task, request, nullptr);
  if (completionHandler) {
    task->setCompletionHandler(std::move(completionHandler));
    task->setInvokesDelegate(false);
  }
  return task;
}

std::shared_ptr<FLTURLSessionDataTask> FLTURLSession::dataTaskWithRequest(
    const FLTURLRequest& request) {
  return dataTaskWithRequest(request, nullptr);
}

std::shared_ptr<FLTURLSessionUploadTask> FLTURLSession::uploadTaskWithRequest(
    const FLTURLRequest& request, const std::filesystem::path& fromFile,
    FLTDataTaskCompletion completionHandler) {
  auto task = FLTURLSessionUploadTask::task();
  configureTask(task, request,
                [&fromFile](FLTURLRequest& r) { r.body = platform::HttpBody::file(fromFile); });
  if (completionHandler) {
    task->setCompletionHandler(std::move(completionHandler));
    task->setInvokesDelegate(false);
  }
  return task;
}

std::shared_ptr<FLTURLSessionUploadTask> FLTURLSession::uploadTaskWithRequest(
    const FLTURLRequest& request, const std::filesystem::path& fromFile) {
  return uploadTaskWithRequest(request, fromFile, nullptr);
}

std::shared_ptr<FLTURLSessionDownloadTask> FLTURLSession::downloadTaskWithRequest(
    const FLTURLRequest& request, FLTDownloadTaskCompletion completionHandler) {
  auto task = FLTURLSessionDownloadTask::task();
  configureTask(task, request, nullptr);
  if (completionHandler) {
    task->setDownloadCompletionHandler(std::move(completionHandler));
    task->setInvokesDelegate(false);
  }
  return task;
}

std::shared_ptr<FLTURLSessionDownloadTask> FLTURLSession::downloadTaskWithRequest(
    const FLTURLRequest& request) {
  return downloadTaskWithRequest(request, nullptr);
}

std::shared_ptr<FLTURLSessionDownloadTask> FLTURLSession::downloadTaskWithURL(
    const std::string& url) {
  FLTURLRequest request;
  request.url = url;
  return downloadTaskWithRequest(request, nullptr);
}

void FLTURLSession::getTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<FLTURLSessionDataTask>>,
                       std::vector<std::shared_ptr<FLTURLSessionUploadTask>>,
                       std::vector<std::shared_ptr<FLTURLSessionDownloadTask>>)>
        completionHandler) {
  if (!completionHandler) return;
  platform::Queue& queue = delegateQueue_ ? *delegateQueue_ : platform::globalQueue();
  queue.async([handler = std::move(completionHandler)] { handler({}, {}, {}); });
}

void FLTURLSession::invalidateAndCancel() {
  std::vector<std::shared_ptr<FLTURLSessionTask>> live;
  sessionQueue_->sync([&] { live = tasks_; });
  for (const auto& task : live) task->cancel();
  finishTasksAndInvalidate();
}

void FLTURLSession::finishTasksAndInvalidate() {
  // Released after the lock: the delegate's destructor is foreign code.
  std::shared_ptr<FLTURLSessionDelegate> dropped;
  {
    platform::MutexLock lock(mutex_);
    dropped = std::move(delegate_);
  }
}

std::shared_ptr<FLTURLSessionDelegate> FLTURLSession::shouldInvokeDelegateSelector(
    FLTURLSessionDelegateSelector selector, const FLTURLSessionTask& task) const {
  if (!task.invokesDelegate() || !delegateQueue_) return nullptr;
  std::shared_ptr<FLTURLSessionDelegate> delegate = this->delegate();
  if (!delegate || !delegate->respondsToSelector(selector)) return nullptr;
  return delegate;
}

void FLTURLSession::taskDidReceiveResponse(const std::shared_ptr<FLTURLSessionDataTask>& task,
                                           const FLTHTTPURLResponse& response) {
  auto delegate = shouldInvokeDelegateSelector(
      FLTURLSessionDelegateSelector::DataTaskDidReceiveResponse, *task);
  if (!delegate) return;
  delegateQueue_->async([self = shared_from_this(), delegate, task, response] {
    delegate->URLSession(*self, *task, response, [](FLTURLSessionResponseDisposition) {});
  });
}

void FLTURLSession::taskDidReceiveData(const std::shared_ptr<FLTURLSessionDataTask>& task,
                                       const std::string& data) {
  auto delegate =
      shouldInvokeDelegateSelector(FLTURLSessionDelegateSelector::DataTaskDidReceiveData, *task);
  if (!delegate) return;
  delegateQueue_->async([self = shared_from_this(), delegate, task, data] {
    delegate->URLSession(*self, *task, data);
  });
}

void FLTURLSession::downloadTaskDidFinishDownloading(
    const std::shared_ptr<FLTURLSessionDownloadTask>& task) {
  auto delegate = shouldInvokeDelegateSelector(
      FLTURLSessionDelegateSelector::DownloadTaskDidFinishDownloading, *task);
  if (!delegate) {
    task->cleanup();
    return;
  }
  delegateQueue_->async([self = shared_from_this(), delegate, task] {
    delegate->URLSession(*self, *task, task->targetFileURL());
    task->cleanup();
  });
}

void FLTURLSession::taskDidCompleteWithError(const std::shared_ptr<FLTURLSessionTask>& task,
                                             const std::optional<platform::Error>& error) {
  auto delegate =
      shouldInvokeDelegateSelector(FLTURLSessionDelegateSelector::TaskDidCompleteWithError, *task);
  if (!delegate) {
    removeTaskFromSet(task);
    return;
  }
  delegateQueue_->async([self = shared_from_this(), delegate, task, error] {
    delegate->URLSession(*self, *task, error);
    self->removeTaskFromSet(task);
  });
}

void FLTURLSession::removeTaskFromSet(const std::shared_ptr<FLTURLSessionTask>& task) {
  sessionQueue_->async([self = shared_from_this(), task] { std::erase(self->tasks_, task); });
}

}  // namespace vandrel::crash
