#include "analytics/tally/tly_uploader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <utility>

#include "analytics/tally/tly_application.h"
#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_network_response_handler.h"
#include "platform/check.h"

namespace vandrel::analytics {

namespace {

constexpr std::string_view kNull = "(null)";
// 100 years: a deadline this far ahead still fits the steady clock.
constexpr double kMaximumResourceTimeout = 100.0 * 365.0 * 24.0 * 3600.0;

// One block on an operation queue.
class BlockOperation final : public crash::Operation {
 public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  void main() override {
    if (block_) block_();
  }

 private:
  std::function<void()> block_;
};

bool isReadableFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  return regular;
}

std::string describe(const std::optional<platform::Error>& error) {
  if (!error) return std::string(kNull);
  return "Error Domain=" + error->domain + " Code=" + std::to_string(error->code) + " \"" +
         error->message + "\"";
}

}  // namespace

std::int64_t TLYNominalThermalState() { return 0; }

void TLYUploaderDelegate::uploader(TLYUploader&, crash::FLTURLSession*,
                                   const crash::TRLAuthenticationChallenge&,
                                   const crash::TRLChallengeCompletion& completionHandler) {
  if (completionHandler) {
    completionHandler(crash::TRLAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
  }
}

// The operation queue as a dispatch queue: each job becomes one block
// operation, so session callbacks run in turn with the controller's work.
class TLYUploader::QueuePoster final : public platform::Queue {
 public:
  explicit QueuePoster(std::weak_ptr<crash::OperationQueue> queue) : queue_(std::move(queue)) {
    if (auto q = queue_.lock()) label_ = q->name();
  }
  void async(platform::Job job) override {
    // A queue that is gone runs nothing more: its owner has ended.
    if (auto queue = queue_.lock()) queue->addOperation(std::make_shared<BlockOperation>(std::move(job)));
  }
  std::string_view label() const override { return label_; }

 private:
  std::weak_ptr<crash::OperationQueue> queue_;
  std::string label_;
};

// The session holds its delegate strongly; this one holds the uploader
// weakly, so the uploader and its sessions form no cycle.
class TLYUploader::SessionDelegate final : public crash::FLTURLSessionDelegate {
 public:
  explicit SessionDelegate(std::weak_ptr<TLYUploader> uploader) : uploader_(std::move(uploader)) {}
  bool respondsToSelector(crash::FLTURLSessionDelegateSelector selector) const override {
    return selector == crash::FLTURLSessionDelegateSelector::TaskDidCompleteWithError;
  }
  void URLSession(crash::FLTURLSession& session, crash::FLTURLSessionTask& task,
                  const std::optional<platform::Error>& error) override {
    if (auto uploader = uploader_.lock()) uploader->URLSessionTaskDidCompleteWithError(&session, task, error);
  }

 private:
  std::weak_ptr<TLYUploader> uploader_;
};

struct TLYUploader::Private {};

std::shared_ptr<TLYUploader> TLYUploader::initWithQueue(std::shared_ptr<crash::OperationQueue> queue,
                                                        std::weak_ptr<TLYUploaderDelegate> delegate,
                                                        TLYUploaderEnvironment environment) {
  VANDREL_CHECK(queue != nullptr, "TLYUploader needs an operation queue");
  auto uploader =
      std::make_shared<TLYUploader>(Private{}, std::move(queue), std::move(delegate), std::move(environment));
  uploader->start();
  return uploader;
}

TLYUploader::TLYUploader(Private, std::shared_ptr<crash::OperationQueue> queue,
                         std::weak_ptr<TLYUploaderDelegate> delegate, TLYUploaderEnvironment environment)
    : operationQueue_(std::move(queue)), delegate_(std::move(delegate)), environment_(std::move(environment)) {
  delegateQueue_ = std::make_shared<QueuePoster>(operationQueue_);
  pinner_ = std::make_shared<const crash::TRLCertificatePinner>(
      environment_.pinnedCertificates ? *environment_.pinnedCertificates : crash::TRLPinnedCertificates());
}

void TLYUploader::start() {
  if (!supportsThermalNotifications()) return;
  auto& center = environment_.notificationCenter ? *environment_.notificationCenter
                                                 : platform::NotificationCenter::shared();
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  // Any thread may post it: the observer only posts to the queue.
  thermalObserver_ = center.addObserver(std::string(kTLYThermalStateDidChangeNotification), nullptr,
                                        std::nullopt, [weakSelf](const platform::Notification&) {
                                          if (auto self = weakSelf.lock()) self->powerStageChanged();
                                        });
}

TLYUploader::~TLYUploader() {
  if (thermalObserver_) {
    auto& center = environment_.notificationCenter ? *environment_.notificationCenter
                                                   : platform::NotificationCenter::shared();
    center.removeObserver(*thermalObserver_);
  }
  std::map<std::string, InFlight> inFlight;
  std::shared_ptr<crash::FLTURLSession> session;
  {
    platform::MutexLock lock(mutex_);
    inFlight.swap(inFlight_);
    session = std::move(session_);
  }
  // Nobody is left to hear of these transfers.
  for (auto& [name, entry] : inFlight) {
    if (entry.session) entry.session->invalidateAndCancel();
  }
  if (session) session->invalidateAndCancel();
}

void TLYUploader::onQueue(std::function<void()> job) { delegateQueue_->async(std::move(job)); }

bool TLYUploader::debug() const {
  return environment_.debug ? environment_.debug() : crash::Trellis::sharedSDK().debug();
}

const TLYLogger& TLYUploader::logger() const {
  return environment_.logger ? *environment_.logger : TLYLogger::sharedLogger();
}

void TLYUploader::log(std::string_view message) const { logger().logWithLabel(kTLYUploaderLogLabel, message); }

// ---- Upload start -----------------------------------------------------------

void TLYUploader::startUploadRequest(const std::optional<crash::FLTURLRequest>& request,
                                     const std::string& filePath, const std::string& uniqueName) {
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  checkForExistingTaskMatchingDescription(uniqueName, [weakSelf, request, filePath, uniqueName](bool exists) {
    auto self = weakSelf.lock();
    if (!self) return;
    if (exists) {
      self->log(TLYFillPlaceholders(kTLYUploaderTaskExistsMessage, {uniqueName}));
      return;
    }
    self->startNewUploadRequest(request, filePath, uniqueName);
  });
}

void TLYUploader::checkForExistingTaskMatchingDescription(const std::string& uniqueName,
                                                          TaskCompletion completionBlock) {
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  onQueue([weakSelf, uniqueName, completion = std::move(completionBlock)] {
    auto self = weakSelf.lock();
    if (!self || !completion) return;
    bool exists = false;
    {
      platform::MutexLock lock(self->mutex_);
      exists = self->inFlight_.count(uniqueName) > 0;
    }
    completion(exists);
  });
}

void TLYUploader::startNewUploadRequest(const std::optional<crash::FLTURLRequest>& request,
                                        const std::string& filePath, const std::string& uniqueName) {
  auto userInfo = errorUserInfoWithFilePath(filePath.empty() ? std::nullopt : std::optional(filePath),
                                            uniqueName.empty() ? std::nullopt : std::optional(uniqueName));
  if (!request || filePath.empty() || uniqueName.empty()) {
    handleTaskDescription(uniqueName, errorWithCode(kTLYUploaderErrorInvalidArguments, std::move(userInfo)));
    return;
  }
  if (!isReadableFile(filePath)) {
    handleTaskDescription(uniqueName, errorWithCode(kTLYUploaderErrorUnreadableFile, std::move(userInfo)));
    return;
  }
  auto session = this->session();
  if (!session) {
    handleTaskDescription(uniqueName, errorWithCode(kTLYUploaderErrorInvalidArguments, std::move(userInfo)));
    return;
  }
  crash::FLTURLRequest sent = *request;
  // Our session does not apply the resource time-out: the request carries it.
  auto configuration = sessionConfiguration();
  double resourceTimeout = configuration ? configuration->timeoutIntervalForResource : 0;
  if (resourceTimeout > 0) {
    // Downloaded settings may ask for more than the clock's ticks can hold.
    resourceTimeout = std::min(resourceTimeout, kMaximumResourceTimeout);
    sent.totalTimeout = std::chrono::duration_cast<platform::Duration>(
        std::chrono::duration<double>(resourceTimeout));
  }
  auto task = session->uploadTaskWithRequest(sent, filePath);
  task->setTaskDescription(uniqueName);
  {
    platform::MutexLock lock(mutex_);
    inFlight_[uniqueName] = InFlight{session, task};
  }
  task->resume();
}

void TLYUploader::attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block) {
  if (!block) return;
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  onQueue([weakSelf, block = std::move(block)]() mutable {
    auto self = weakSelf.lock();
    if (!self) return;
    if (!self->supportsBackgroundRequests()) {
      block();
      return;
    }
    auto queue = self->delegateQueue_;
    platform::mainQueue().async([queue, block = std::move(block)]() mutable { queue->async(std::move(block)); });
  });
}

// ---- Session and its configuration --------------------------------------------

void TLYUploader::setDefaultUploadTimeout(double seconds) {
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  onQueue([weakSelf, seconds] {
    auto self = weakSelf.lock();
    if (!self) return;
    {
      platform::MutexLock lock(self->mutex_);
      self->defaultUploadTimeout_ = seconds;
    }
    self->dropSession();
  });
}

void TLYUploader::setLowPowerUploadTimeout(double seconds) {
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  onQueue([weakSelf, seconds] {
    auto self = weakSelf.lock();
    if (!self) return;
    {
      platform::MutexLock lock(self->mutex_);
      self->lowPowerUploadTimeout_ = seconds;
    }
    self->dropSession();
  });
}

double TLYUploader::defaultUploadTimeout() const {
  platform::MutexLock lock(mutex_);
  return defaultUploadTimeout_;
}

double TLYUploader::lowPowerUploadTimeout() const {
  platform::MutexLock lock(mutex_);
  return lowPowerUploadTimeout_;
}

void TLYUploader::powerStageChanged() {
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  onQueue([weakSelf] {
    if (auto self = weakSelf.lock()) self->dropSession();
  });
}

void TLYUploader::dropSession() {
  // Not invalidated: its tasks run on, kept alive by their in-flight entries.
  std::shared_ptr<crash::FLTURLSession> dropped;
  platform::MutexLock lock(mutex_);
  dropped = std::move(session_);
  session_ = nullptr;
  sessionConfiguration_ = nullptr;
}

// Our process-information stand-in always answers the thermal state.
bool TLYUploader::supportsThermalNotifications() const { return true; }

bool TLYUploader::lowPowerMode() const {
  if (!supportsThermalNotifications()) return false;
  std::int64_t state = environment_.thermalState ? environment_.thermalState() : TLYNominalThermalState();
  return state != 0;
}

bool TLYUploader::supportsBackgroundRequests() const {
  bool extension = environment_.isExtension ? environment_.isExtension()
                                            : TLYApplication::hostApplication().isExtension();
  if (extension) return false;
  return shouldUseBackgroundRequests();
}

std::shared_ptr<crash::FLTURLSessionConfiguration> TLYUploader::createBackgroundSessionConfiguration() const {
  // None here: our session has no background mode (and no discretionary
  // flag to set).
  return crash::FLTURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
      kTLYUploaderBackgroundSessionIdentifier);
}

std::shared_ptr<crash::FLTURLSession> TLYUploader::session() {
  {
    platform::MutexLock lock(mutex_);
    if (session_) return session_;
  }
  auto [made, configuration] = makeSession();
  platform::MutexLock lock(mutex_);
  if (!session_ && made) {
    session_ = std::move(made);
    sessionConfiguration_ = std::move(configuration);
  }
  return session_;
}

bool TLYUploader::hasSession() const {
  platform::MutexLock lock(mutex_);
  return session_ != nullptr;
}

std::shared_ptr<const crash::FLTURLSessionConfiguration> TLYUploader::sessionConfiguration() const {
  platform::MutexLock lock(mutex_);
  return session_ ? sessionConfiguration_ : nullptr;
}

std::pair<std::shared_ptr<crash::FLTURLSession>, std::shared_ptr<const crash::FLTURLSessionConfiguration>>
TLYUploader::makeSession() {
  std::shared_ptr<crash::FLTURLSessionConfiguration> configuration;
  if (supportsBackgroundRequests()) configuration = createBackgroundSessionConfiguration();
  if (!configuration) configuration = crash::FLTURLSessionConfiguration::defaultSessionConfiguration();
  if (!configuration) return {};
  bool lowPower = lowPowerMode();
  configuration->allowsCellularAccess = !lowPower;
  configuration->timeoutIntervalForResource = lowPower ? lowPowerUploadTimeout() : defaultUploadTimeout();
  if (!debug()) configuration->certificatePinner = pinner_;
  auto session = crash::FLTURLSession::sessionWithConfiguration(
      configuration, std::make_shared<SessionDelegate>(weak_from_this()), delegateQueue_);
  return {std::move(session), std::move(configuration)};
}

// ---- Errors ---------------------------------------------------------------------

crash::KitError TLYUploader::errorWithCode(std::int64_t code, platform::Value::Dictionary userInfo) {
  return crash::TRLNetworkResponseHandler::errorForCode(code, std::move(userInfo));
}

platform::Value::Dictionary TLYUploader::errorUserInfoWithFilePath(const std::optional<std::string>& filePath,
                                                                   const std::optional<std::string>& uniqueName) {
  platform::Value::Dictionary userInfo;
  userInfo[std::string(kTLYFilePathErrorKey)] = platform::Value(filePath ? *filePath : std::string(kNull));
  userInfo[std::string(kTLYUploaderUniqueNameKey)] =
      platform::Value(uniqueName ? *uniqueName : std::string(kNull));
  return userInfo;
}

// ---- Finishing ------------------------------------------------------------------

void TLYUploader::URLSessionTaskDidCompleteWithError(crash::FLTURLSession*, crash::FLTURLSessionTask& task,
                                                     const std::optional<platform::Error>& error) {
  std::string name = task.taskDescription();
  crash::FLTURLRequest request = task.originalRequest();
  auto response = task.response();
  InFlight finished;
  {
    // Reserved still, but no longer running: the session may go.
    platform::MutexLock lock(mutex_);
    auto it = inFlight_.find(name);
    if (it != inFlight_.end()) finished = std::exchange(it->second, InFlight{});
  }
  // Released in a later job: this call may come from that very session.
  if (finished.session) onQueue([finished] {});
  auto delegate = this->delegate();
  if (!delegate) {
    release(name);
    return;
  }
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto handler = [weakSelf, answered, request, name](bool retry, const std::optional<crash::KitError>& handlerError) {
    if (answered->exchange(true)) return;  // one answer per finished task
    auto self = weakSelf.lock();
    if (!self) return;
    self->onQueue([weakSelf, retry, handlerError, request, name] {
      auto self = weakSelf.lock();
      if (!self) return;
      if (!retry) {
        self->release(name);
        if (auto d = self->delegate()) d->uploader(*self, name, handlerError);
        return;
      }
      self->log(TLYFillPlaceholders(kTLYUploaderRetryingMessage, {name}));
      self->restartTask(request, name);
    });
  };
  delegate->uploader(*this, request, response, name, error, std::move(handler));
}

void TLYUploader::handleTaskDescription(const std::string& uniqueName, const std::optional<crash::KitError>& error) {
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  onQueue([weakSelf, uniqueName, error] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (auto d = self->delegate()) d->uploader(*self, uniqueName, error);
  });
}

void TLYUploader::restartTask(const crash::FLTURLRequest& originalRequest, const std::string& uniqueName) {
  std::weak_ptr<TLYUploader> weakSelf = weak_from_this();
  onQueue([weakSelf, originalRequest, uniqueName] {
    auto self = weakSelf.lock();
    if (!self) return;
    auto d = self->delegate();
    std::string path = d ? d->uploader(*self, uniqueName) : std::string();
    self->release(uniqueName);
    self->startUploadRequest(originalRequest, path, uniqueName);
  });
}

void TLYUploader::release(const std::string& uniqueName) {
  InFlight dropped;
  {
    platform::MutexLock lock(mutex_);
    auto it = inFlight_.find(uniqueName);
    if (it == inFlight_.end()) return;
    dropped = std::move(it->second);
    inFlight_.erase(it);
  }
  // Released in a later job: this call may come from that very session.
  if (dropped.session) onQueue([dropped] {});
}

std::vector<std::string> TLYUploader::uploadsInFlight() const {
  std::vector<std::string> names;
  platform::MutexLock lock(mutex_);
  for (const auto& [name, entry] : inFlight_) names.push_back(name);
  return names;
}

void TLYUploader::URLSessionDidReceiveChallenge(crash::FLTURLSession* session,
                                                const crash::TRLAuthenticationChallenge& challenge,
                                                const crash::TRLChallengeCompletion& completionHandler) {
  auto d = delegate();
  if (d && d->respondsToSelector(TLYUploaderDelegateSelector::DidReceiveChallenge)) {
    d->uploader(*this, session, challenge, completionHandler);
    return;
  }
  if (completionHandler) {
    completionHandler(crash::TRLAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
  }
}

void TLYUploader::URLSessionDidBecomeInvalidWithError(crash::FLTURLSession*,
                                                      const std::optional<platform::Error>& error) {
  log(TLYFillPlaceholders(kTLYUploaderSessionInvalidMessage, {describe(error)}));
}

}  // namespace vandrel::analytics
