#include "crash/kit/flt_network_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "crash/capture/flt_sdk_log.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_network_client.h"
#include "crash/kit/trl_network_response_handler.h"
#include "platform/check.h"

namespace vandrel::crash {

namespace {

// Passes the session's completions to the client without keeping it alive.
class SessionDelegate final : public FLTURLSessionDelegate {
 public:
  explicit SessionDelegate(std::weak_ptr<FLTNetworkClient> client) : client_(std::move(client)) {}

  bool respondsToSelector(FLTURLSessionDelegateSelector selector) const override {
    return selector == FLTURLSessionDelegateSelector::TaskDidCompleteWithError;
  }
  void URLSession(FLTURLSession& session, FLTURLSessionTask& task,
                  const std::optional<platform::Error>& error) override {
    if (auto client = client_.lock()) client->URLSessionTaskDidCompleteWithError(session, task, error);
  }

 private:
  const std::weak_ptr<FLTNetworkClient> client_;
};

// A regular file this process may read.
bool isReadableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

std::string describe(const std::optional<platform::Error>& error) {
  if (!error) return "(null)";
  return "Error Domain=" + error->domain + " Code=" + std::to_string(error->code) + " \"" +
         error->message + "\"";
}

}  // namespace

struct FLTNetworkClient::Private {};

std::shared_ptr<FLTNetworkClient> FLTNetworkClient::initWithQueue(
    std::shared_ptr<platform::Queue> queue, FLTFileManager fileManager,
    std::weak_ptr<FLTNetworkClientDelegate> delegate, FLTNetworkClientEnvironment environment) {
  std::shared_ptr<const TRLCertificatePinner> pinner =
      environment.pinnedCertificates
          ? std::make_shared<const TRLCertificatePinner>(*environment.pinnedCertificates)
          : FLTNetworkClient::pinner();
  auto client = std::make_shared<FLTNetworkClient>(Private{}, std::move(queue), std::move(fileManager),
                                                   std::move(delegate), std::move(pinner),
                                                   std::move(environment));
  if (auto d = client->delegate()) {
    client->canUseBackgroundSession_ = d->networkClientCanUseBackgroundSessions(*client);
  }
  if (!client->supportsBackgroundRequests() && client->debug()) {
    client->log(
        "[Faultline:Crash:Client] Background session uploading not supported, asynchronous uploading "
        "will be used");
  }
  return client;
}

FLTNetworkClient::FLTNetworkClient(Private, std::shared_ptr<platform::Queue> queue, FLTFileManager fileManager,
                                   std::weak_ptr<FLTNetworkClientDelegate> delegate,
                                   std::shared_ptr<const TRLCertificatePinner> pinner,
                                   FLTNetworkClientEnvironment environment)
    : queue_(std::move(queue)),
      fileManager_(std::move(fileManager)),
      delegate_(std::move(delegate)),
      pinner_(std::move(pinner)),
      environment_(std::move(environment)) {
  VANDREL_CHECK(queue_ != nullptr, "FLTNetworkClient needs a work queue");
}

FLTNetworkClient::~FLTNetworkClient() {
  std::shared_ptr<FLTURLSession> session;
  {
    platform::MutexLock lock(mutex_);
    session = std::move(session_);
  }
  // Nobody is left to hear the outcome; the packages stay for the next
  // launch.
  if (session) session->invalidateAndCancel();
}

std::shared_ptr<const TRLCertificatePinner> FLTNetworkClient::pinner() {
  static const auto* const shared = new std::shared_ptr<const TRLCertificatePinner>(
      std::make_shared<const TRLCertificatePinner>(TRLPinnedCertificates()));
  return *shared;
}

bool FLTNetworkClient::NSURLSessionAvailable() { return FLTURLSession::NSURLSessionShouldBeUsed(); }

bool FLTNetworkClient::supportsBackgroundRequests() const {
  if (!NSURLSessionAvailable()) return false;
  return canUseBackgroundSession_;
}

bool FLTNetworkClient::debug() const {
  return environment_.debug ? environment_.debug() : Trellis::sharedSDK().debug();
}

void FLTNetworkClient::log(std::string_view line) const {
  if (environment_.log) {
    environment_.log(line);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

platform::Scheduler& FLTNetworkClient::scheduler() const {
  return environment_.scheduler ? *environment_.scheduler : platform::Scheduler::system();
}

std::shared_ptr<FLTNetworkClientDelegate> FLTNetworkClient::delegate() const { return delegate_.lock(); }

std::shared_ptr<FLTURLSession> FLTNetworkClient::makeSession(bool withDelegate) {
  auto configuration = FLTURLSessionConfiguration::defaultSessionConfiguration();
  if (!configuration) return nullptr;
  // Our session answers no trust challenges: the pinner goes on the wire,
  // except in debug mode, where the system's store decides.
  if (!debug()) configuration->certificatePinner = pinner_;
  if (!withDelegate) return FLTURLSession::sessionWithConfiguration(configuration);
  return FLTURLSession::sessionWithConfiguration(
      configuration, std::make_shared<SessionDelegate>(weak_from_this()), queue_);
}

std::shared_ptr<FLTURLSession> FLTNetworkClient::session() {
  {
    platform::MutexLock lock(mutex_);
    if (session_) return session_;
  }
  auto made = makeSession(true);
  if (!made) {
    log("[Faultline:Crash:Client] Failed to initialize");
    return nullptr;
  }
  std::shared_ptr<FLTURLSession> unused;
  std::shared_ptr<FLTURLSession> session;
  {
    platform::MutexLock lock(mutex_);
    if (session_) {
      unused = std::move(made);  // another thread made one first
    } else {
      session_ = std::move(made);
    }
    session = session_;
  }
  if (unused) unused->invalidateAndCancel();
  return session;
}

void FLTNetworkClient::attemptToReconnectBackgroundSessionWithCompletionBlock(
    const std::function<void()>& block) {
  if (!block) return;
  if (supportsBackgroundRequests()) {
    platform::mainQueue().async(block);
  } else {
    block();
  }
}

void FLTNetworkClient::startUploadRequest(const FLTURLRequest& request, const std::string& filePath,
                                          bool immediately) {
  if (immediately) {
    startImmediateUploadRequest(request, filePath);
    return;
  }
  auto description = relativeTaskPathForAbsolutePath(filePath);
  if (!description) return;  // not one of the store's packages
  std::weak_ptr<FLTNetworkClient> weakSelf = weak_from_this();
  checkForExistingTaskMatchingDescription(*description, [weakSelf, request, filePath](bool exists) {
    auto self = weakSelf.lock();
    if (!self) return;
    if (exists) {
      if (self->debug()) self->log("[Faultline:Crash:Client] A task currently exists for this upload, skipping");
      return;
    }
    self->startNewUploadRequest(request, filePath);
  });
}

void FLTNetworkClient::startImmediateUploadRequest(const FLTURLRequest& request, const std::string& filePath) {
  if (supportsBackgroundRequests()) {
    startNewUploadRequest(request, filePath);
    return;
  }
  if (!isReadableFile(filePath)) {
    FLT_SDK_LOG_WARN("Error: file unreadable\n");
    return;
  }
  auto session = makeSession(false);
  if (!session) {
    log("[Faultline:Crash:Client] Failed to initialize");
    return;
  }
  struct Outcome {
    platform::Mutex mutex;
    std::optional<FLTHTTPURLResponse> response VANDREL_GUARDED_BY(mutex);
  };
  auto outcome = std::make_shared<Outcome>();
  platform::Group done;
  done.enter();
  auto task = session->uploadTaskWithRequest(
      request, filePath,
      [outcome, done](const std::string&, const std::optional<FLTHTTPURLResponse>& response,
                      const std::optional<platform::Error>&) mutable {
        {
          platform::MutexLock lock(outcome->mutex);
          outcome->response = response;
        }
        done.leave();
      });
  task->resume();
  if (!done.wait(environment_.synchronousUploadTimeout)) {
    // A cancelled task completes with the cancellation error; whatever it
    // says, this upload has failed.
    task->cancel();
    session->invalidateAndCancel();
    return;
  }
  session->finishTasksAndInvalidate();
  std::optional<FLTHTTPURLResponse> response;
  {
    platform::MutexLock lock(outcome->mutex);
    response = outcome->response;
  }
  bool success = false;
  TRLNetworkResponseHandler::clientResponseType(
      response, [&success](TRLNetworkResponseType type, int) { success = type == TRLNetworkResponseType::Success; });
  // Anything else stays silent: the package is offered again next launch.
  if (!success) return;
  if (auto d = delegate()) d->networkClientDidFinishUploadWithPath(*this, filePath, std::nullopt);
}

void FLTNetworkClient::startNewUploadRequest(const FLTURLRequest& request, const std::string& filePath) {
  auto description = relativeTaskPathForAbsolutePath(filePath);
  if (!description) return;
  if (!isReadableFile(filePath)) {
    forget(*description);
    reportUnreadable(filePath);
    return;
  }
  auto session = this->session();
  if (!session) {
    forget(*description);
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    liveUploads_.emplace(*description, 0);
  }
  auto task = session->uploadTaskWithRequest(request, filePath);
  task->setTaskDescription(*description);
  task->resume();
}

void FLTNetworkClient::reportUnreadable(const std::string& filePath) {
  std::weak_ptr<FLTNetworkClient> weakSelf = weak_from_this();
  queue_->async([weakSelf, filePath] {
    auto self = weakSelf.lock();
    if (!self) return;
    KitError error{std::string(kFLTNetworkErrorDomain), kFLTNetworkErrorUnreadablePackage,
                   "The package file could not be read", {{std::string(kFLTNetworkErrorPathKey), filePath}}, {}};
    if (auto d = self->delegate()) d->networkClientDidFinishUploadWithPath(*self, filePath, error);
  });
}

void FLTNetworkClient::checkForExistingTaskMatchingDescription(const std::string& description,
                                                               std::function<void(bool)> completionBlock) {
  std::weak_ptr<FLTNetworkClient> weakSelf = weak_from_this();
  queue_->async([weakSelf, description, completionBlock = std::move(completionBlock)] {
    auto self = weakSelf.lock();
    if (!self) return;
    auto session = self->session();
    auto alive = [weakSelf, description]() {
      auto client = weakSelf.lock();
      if (!client) return false;
      platform::MutexLock lock(client->mutex_);
      return client->liveUploads_.count(description) > 0;
    };
    if (!session) {
      completionBlock(alive());
      return;
    }
    session->getTasksWithCompletionHandler(
        [description, completionBlock, alive](auto dataTasks, auto uploadTasks, auto downloadTasks) {
          bool exists = taskArrayHasTaskMatchingDescription(uploadTasks, description) ||
                        taskArrayHasTaskMatchingDescription(dataTasks, description) ||
                        taskArrayHasTaskMatchingDescription(downloadTasks, description) || alive();
          completionBlock(exists);
        });
  });
}

std::optional<std::string> FLTNetworkClient::relativeTaskPathForAbsolutePath(const std::string& path) const {
  const std::string prefix = fileManager_.rootPath() + "/";
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) {
    FLT_SDK_LOG_WARN("Error: path '%s' is not at the root '%s'", path.c_str(), fileManager_.rootPath().c_str());
    return std::nullopt;
  }
  // Only the leading root comes off: the same text deeper in the path is
  // part of the package's name.
  return path.substr(prefix.size());
}

std::string FLTNetworkClient::absolutePathForRelativeTaskPath(const std::string& description) const {
  return fileManager_.rootPath() + "/" + description;
}

void FLTNetworkClient::URLSessionTaskDidCompleteWithError(FLTURLSession&, FLTURLSessionTask& task,
                                                          const std::optional<platform::Error>& error) {
  TRLNetworkResponseHandler::handleCompletedResponse(
      task.response(), task.originalRequest(), error, [&](bool retry, const std::optional<KitError>& kitError) {
        if (retry) {
          const std::string description = task.taskDescription();
          bool restart = false;
          {
            platform::MutexLock lock(mutex_);
            auto it = liveUploads_.find(description);
            if (it != liveUploads_.end() && it->second < environment_.maximumRestarts) {
              ++it->second;
              restart = true;
            }
          }
          if (restart) {
            restartTask(task);
            return;
          }
        }
        handleTask(task, kitError);
      });
}

void FLTNetworkClient::restartTask(const FLTURLSessionTask& task) {
  const std::string description = task.taskDescription();
  FLTURLRequest request = task.originalRequest();
  std::weak_ptr<FLTNetworkClient> weakSelf = weak_from_this();
  runAfterRetryValueFromResponse(task.response(), [weakSelf, description, request] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->queue_->async([weakSelf, description, request] {
      auto client = weakSelf.lock();
      if (client) client->startNewUploadRequest(request, client->absolutePathForRelativeTaskPath(description));
    });
  });
}

void FLTNetworkClient::runAfterRetryValueFromResponse(const std::optional<FLTHTTPURLResponse>& response,
                                                      platform::Job block) {
  // The server's number may be beyond any duration (converting it would be
  // undefined and, in practice, restart at once): a day is the longest wait.
  constexpr double kMaxSeconds = std::chrono::duration<double>(kTRLNetworkClientMaximumRetryDelay).count();
  double seconds = TRLNetworkResponseHandler::retryValueForResponse(response);
  if (!(seconds >= 0)) seconds = 0;
  seconds = std::min(seconds, kMaxSeconds);
  const auto delay = std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds));
  scheduler().schedule(delay, platform::globalQueue(), std::move(block));
}

void FLTNetworkClient::handleTask(const FLTURLSessionTask& task, const std::optional<KitError>& error) {
  handleTaskDescription(task.taskDescription(), error);
}

void FLTNetworkClient::handleTaskDescription(const std::string& description, const std::optional<KitError>& error) {
  forget(description);
  const std::string path = absolutePathForRelativeTaskPath(description);
  if (auto d = delegate()) d->networkClientDidFinishUploadWithPath(*this, path, error);
}

void FLTNetworkClient::forget(const std::string& description) {
  platform::MutexLock lock(mutex_);
  liveUploads_.erase(description);
}

std::size_t FLTNetworkClient::liveUploadCount() const {
  platform::MutexLock lock(mutex_);
  return liveUploads_.size();
}

void FLTNetworkClient::URLSessionDidReceiveChallenge(FLTURLSession* session,
                                                     const TRLAuthenticationChallenge& challenge,
                                                     const TRLChallengeCompletion& completionHandler) const {
  if (debug() || !pinner_) {
    completionHandler(TRLAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    return;
  }
  pinner_->handleChallenge(challenge, session, completionHandler);
}

void FLTNetworkClient::URLSessionDidBecomeInvalidWithError(FLTURLSession*,
                                                           const std::optional<platform::Error>& error) {
  if (debug()) log("[Faultline:Crash:Client] session became invalid: " + describe(error));
}

void FLTNetworkClient::setBackgroundCompletionHandler(std::function<void()> handler) {
  platform::MutexLock lock(mutex_);
  backgroundCompletionHandler_ = std::move(handler);
}

void FLTNetworkClient::URLSessionDidFinishEventsForBackgroundURLSession(FLTURLSession*) {
  std::function<void()> handler;
  {
    platform::MutexLock lock(mutex_);
    handler = backgroundCompletionHandler_;
  }
  if (!handler) {
    log("[Faultline:Crash:Client] background callback is nil?");
    return;
  }
  std::weak_ptr<FLTNetworkClient> weakSelf = weak_from_this();
  platform::mainQueue().async([weakSelf, handler] {
    handler();
    auto self = weakSelf.lock();
    if (!self) return;
    self->queue_->async([weakSelf] {
      if (auto client = weakSelf.lock()) client->setBackgroundCompletionHandler(nullptr);
    });
  });
}

}  // namespace vandrel::crash
