#include "crash/kit/trl_network_client.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "crash/kit/trellis.h"

namespace vandrel::crash {
namespace {

// The session calls nothing on it: every task of the client carries a
// completion handler, and pinning is enforced on the wire. It exists so the
// session gets a delegate queue of its own when the caller gives none.
class SessionDelegate final : public FLTURLSessionDelegate {
 public:
  bool respondsToSelector(FLTURLSessionDelegateSelector) const override { return false; }
};

// The 48-bit generator behind drand48, started where an unseeded one
// starts, so every launch draws the same sequence. Our own state: the C
// library's is shared with any other caller and not thread-safe.
double unseededUniform() {
  static platform::Mutex mutex;
  static std::uint64_t state VANDREL_GUARDED_BY(mutex) = 0x1234ABCD330EULL;
  constexpr std::uint64_t kMultiplier = 0x5DEECE66DULL;
  constexpr std::uint64_t kIncrement = 0xB;
  constexpr std::uint64_t kMask = (1ULL << 48) - 1;
  std::uint64_t next = 0;
  {
    platform::MutexLock lock(mutex);
    state = (kMultiplier * state + kIncrement) & kMask;
    next = state;
  }
  return std::ldexp(static_cast<double>(next), -48);
}

KitError noTaskError() {
  return TRLNetworkResponseHandler::errorForCode(kTRLNetworkErrorNoTask, {});
}

}  // namespace

struct TRLNetworkClient::Private {};

struct TRLNetworkClient::Handlers {
  DataCompletion data;          // set for the data family
  DownloadCompletion download;  // set for the download family

  void deliver(const std::string& body, const std::filesystem::path& location,
               const std::optional<FLTHTTPURLResponse>& response,
               const std::optional<KitError>& error) const {
    if (data) data(body, response, error);
    if (download) download(location, response, error);
  }
  void fail(const KitError& error) const { deliver({}, {}, std::nullopt, error); }
};

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::init() { return initWithQueue(nullptr); }

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::initWithQueue(
    std::shared_ptr<platform::Queue> queue) {
  return initWithQueue(std::move(queue), std::nullopt);
}

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::initWithQueue(
    std::shared_ptr<platform::Queue> queue,
    std::optional<std::vector<TRLCertificate>> pinnedCertificates) {
  return initWithSessionConfiguration(FLTURLSessionConfiguration::defaultSessionConfiguration(),
                                      std::move(queue), std::move(pinnedCertificates));
}

std::shared_ptr<TRLNetworkClient> TRLNetworkClient::initWithSessionConfiguration(
    const std::shared_ptr<const FLTURLSessionConfiguration>& configuration,
    std::shared_ptr<platform::Queue> queue,
    std::optional<std::vector<TRLCertificate>> pinnedCertificates,
    TRLNetworkClientEnvironment environment) {
  if (!configuration) return nullptr;
  std::shared_ptr<const TRLCertificatePinner> pinner;
  if (pinnedCertificates) {
    pinner = std::make_shared<TRLCertificatePinner>(std::move(*pinnedCertificates));
  }
  std::shared_ptr<const FLTURLSessionConfiguration> sessionConfiguration = configuration;
  if (pinner) {
    // Our session answers no trust challenges: the pinner goes on the
    // wire instead, except in debug mode, where the system's store decides.
    // Made while the registry itself is being made (its settings download):
    // the flag comes without asking for the registry.
    bool debug = environment.debug ? environment.debug() : Trellis::processDebugEnabled();
    if (!debug) {
      auto pinned = configuration->copy();
      pinned->certificatePinner = pinner;
      sessionConfiguration = std::move(pinned);
    }
  }
  auto session = FLTURLSession::sessionWithConfiguration(
      sessionConfiguration, std::make_shared<SessionDelegate>(), std::move(queue));
  if (!session) return nullptr;
  return std::make_shared<TRLNetworkClient>(Private{}, std::move(session), std::move(pinner),
                                            std::move(environment));
}

TRLNetworkClient::TRLNetworkClient(Private, std::shared_ptr<FLTURLSession> session,
                                   std::shared_ptr<const TRLCertificatePinner> pinner,
                                   TRLNetworkClientEnvironment environment)
    : session_(std::move(session)),
      certPinner_(std::move(pinner)),
      environment_(std::move(environment)) {}

TRLNetworkClient::~TRLNetworkClient() { session_->finishTasksAndInvalidate(); }

platform::Scheduler& TRLNetworkClient::scheduler() const {
  return environment_.scheduler ? *environment_.scheduler : platform::Scheduler::system();
}

platform::Queue& TRLNetworkClient::retryQueue() const {
  return environment_.retryQueue ? *environment_.retryQueue : platform::globalQueue();
}

// ---- Starting attempts ----------------------------------------------------------

void TRLNetworkClient::startDataTaskWithRequest(const FLTURLRequest& request,
                                                DataCompletion completionHandler) {
  startDataTaskWithRequest(request, kDefaultRetryLimit, std::move(completionHandler));
}

void TRLNetworkClient::startDataTaskWithRequest(const FLTURLRequest& request, unsigned retryLimit,
                                                DataCompletion completionHandler) {
  startDataTaskWithRequest(request, retryLimit, 0, std::move(completionHandler));
}

void TRLNetworkClient::startDataTaskWithRequest(const FLTURLRequest& request, unsigned retryLimit,
                                                unsigned tries, DataCompletion completionHandler) {
  auto handlers = std::make_shared<Handlers>();
  handlers->data = std::move(completionHandler);
  startAttempt(request, retryLimit, tries, std::move(handlers));
}

void TRLNetworkClient::startDownloadTaskWithRequest(const FLTURLRequest& request,
                                                    DownloadCompletion completionHandler) {
  startDownloadTaskWithRequest(request, kDefaultRetryLimit, std::move(completionHandler));
}

void TRLNetworkClient::startDownloadTaskWithRequest(const FLTURLRequest& request,
                                                    unsigned retryLimit,
                                                    DownloadCompletion completionHandler) {
  startDownloadTaskWithRequest(request, retryLimit, 0, std::move(completionHandler));
}

void TRLNetworkClient::startDownloadTaskWithRequest(const FLTURLRequest& request,
                                                    unsigned retryLimit, unsigned tries,
                                                    DownloadCompletion completionHandler) {
  auto handlers = std::make_shared<Handlers>();
  handlers->download = std::move(completionHandler);
  startAttempt(request, retryLimit, tries, std::move(handlers));
}

void TRLNetworkClient::startAttempt(const FLTURLRequest& request, unsigned retryLimit,
                                    unsigned tries, std::shared_ptr<const Handlers> handlers) {
  if (invalidated_.load()) {
    // An invalidated session makes no more tasks.
    handlers->fail(noTaskError());
    return;
  }
  auto self = shared_from_this();
  if (handlers->download) {
    auto task = session_->downloadTaskWithRequest(
        request, [self, request, retryLimit, tries, handlers](
                     const std::filesystem::path& location,
                     const std::optional<FLTHTTPURLResponse>& response,
                     const std::optional<platform::Error>& error) {
          // The session deletes the file when this returns: the handler
          // must run before, on the delegate queue.
          self->session_->delegateQueue()->sync([&] {
            self->finishAttempt(request, retryLimit, tries, handlers, {}, location, response,
                                error);
          });
        });
    if (!task) {
      handlers->fail(noTaskError());
      return;
    }
    task->resume();
    return;
  }
  auto task = session_->dataTaskWithRequest(
      request, [self, request, retryLimit, tries, handlers](
                   const std::string& data, const std::optional<FLTHTTPURLResponse>& response,
                   const std::optional<platform::Error>& error) {
        self->session_->delegateQueue()->async(
            [self, request, retryLimit, tries, handlers, data, response, error] {
              self->finishAttempt(request, retryLimit, tries, handlers, data, {}, response, error);
            });
      });
  if (!task) {
    handlers->fail(noTaskError());
    return;
  }
  task->resume();
}

void TRLNetworkClient::finishAttempt(const FLTURLRequest& request, unsigned retryLimit,
                                     unsigned tries, const std::shared_ptr<const Handlers>& handlers,
                                     const std::string& data,
                                     const std::filesystem::path& location,
                                     const std::optional<FLTHTTPURLResponse>& response,
                                     const std::optional<platform::Error>& error) {
  bool retry = false;
  std::optional<KitError> classified;
  TRLNetworkResponseHandler::handleCompletedResponse(
      response, request, error, [&](bool shouldRetry, const std::optional<KitError>& failure) {
        retry = shouldRetry;
        classified = failure;
      });
  if (!retry) {
    handlers->deliver(data, location, response, classified);
    return;
  }
  if (tries >= retryLimit) {
    platform::Value::Dictionary userInfo{
        {std::string(kTRLNetworkErrorRetryLimitKey), static_cast<std::int64_t>(retryLimit)},
        {std::string(kNSURLErrorFailingURLStringErrorKey), request.url},
    };
    handlers->fail(
        TRLNetworkResponseHandler::errorForCode(kTRLNetworkErrorRetryLimitReached, userInfo));
    return;
  }
  if (invalidated_.load()) {
    // What the retry would meet, without waiting for it.
    handlers->fail(noTaskError());
    return;
  }
  auto self = shared_from_this();
  runAfterRetryValueFromResponse(response, tries, [self, request, retryLimit, tries, handlers] {
    self->startAttempt(request, retryLimit, tries + 1, handlers);
  });
}

// ---- Back-off -----------------------------------------------------------------

double TRLNetworkClient::randomDoubleWithMin(double min, double max) const {
  double u = environment_.uniform ? environment_.uniform() : unseededUniform();
  return min + u * (max - min);
}

double TRLNetworkClient::generateRandomJitter() const {
  return randomDoubleWithMin(static_cast<double>(0.9f), static_cast<double>(1.1f));
}

double TRLNetworkClient::computeDelayForResponse(const std::optional<FLTHTTPURLResponse>& response,
                                                 unsigned retryCount) const {
  double base = std::max(2.0, TRLNetworkResponseHandler::retryValueForResponse(response));
  double exponent = retryCount == 0 ? 1.0 : static_cast<double>(retryCount);
  return std::pow(base, exponent) * generateRandomJitter();
}

void TRLNetworkClient::runAfterRetryValueFromResponse(
    const std::optional<FLTHTTPURLResponse>& response, unsigned attempts, platform::Job block) {
  runAfterRetryValueFromResponse(response, attempts, retryQueue(), std::move(block));
}

void TRLNetworkClient::runAfterRetryValueFromResponse(
    const std::optional<FLTHTTPURLResponse>& response, unsigned attempts, platform::Queue& queue,
    platform::Job block) {
  // The power grows past any clock's range (and a double past uint64
  // nanoseconds is undefined): bound it.
  constexpr double kMaxSeconds =
      std::chrono::duration<double>(kTRLNetworkClientMaximumRetryDelay).count();
  double seconds = computeDelayForResponse(response, attempts);
  if (!(seconds >= 0)) seconds = 0;
  seconds = std::min(seconds, kMaxSeconds);
  auto delay = std::chrono::duration_cast<platform::Duration>(
      std::chrono::nanoseconds(static_cast<std::uint64_t>(seconds * 1e9)));

  std::uint64_t key = 0;
  bool settleNow = false;
  {
    platform::MutexLock lock(mutex_);
    if (invalidated_.load()) {
      settleNow = true;
    } else {
      key = nextRetryKey_++;
      pendingRetries_.emplace(key, std::make_pair(platform::Scheduler::TimerId{0}, block));
    }
  }
  if (settleNow) {
    queue.async(std::move(block));
    return;
  }
  auto self = shared_from_this();
  auto timer = scheduler().schedule(delay, queue, [self, key] {
    if (auto job = self->takePendingRetry(key)) job();
  });
  platform::MutexLock lock(mutex_);
  auto found = pendingRetries_.find(key);
  if (found != pendingRetries_.end()) found->second.first = timer;
}

platform::Job TRLNetworkClient::takePendingRetry(std::uint64_t key) {
  platform::Job job;
  platform::MutexLock lock(mutex_);
  auto found = pendingRetries_.find(key);
  if (found == pendingRetries_.end()) return job;
  job = std::move(found->second.second);
  pendingRetries_.erase(found);
  return job;
}

std::size_t TRLNetworkClient::pendingRetryCount() const {
  platform::MutexLock lock(mutex_);
  return pendingRetries_.size();
}

// ---- Ending -------------------------------------------------------------------

void TRLNetworkClient::invalidateAndCancel() {
  invalidated_.store(true);
  session_->invalidateAndCancel();
  std::map<std::uint64_t, std::pair<platform::Scheduler::TimerId, platform::Job>> pending;
  {
    platform::MutexLock lock(mutex_);
    pending.swap(pendingRetries_);
  }
  // Each waiting retry runs now (and fails as the invalidated session
  // makes no task) so its caller hears back exactly once; a timer that
  // fires anyway finds its job taken.
  for (auto& [key, entry] : pending) {
    if (entry.first != 0) scheduler().cancel(entry.first);
    retryQueue().async(std::move(entry.second));
  }
}

// ---- Session delegate -----------------------------------------------------------

void TRLNetworkClient::URLSessionDidReceiveChallenge(
    FLTURLSession* session, const TRLAuthenticationChallenge& challenge,
    const TRLChallengeCompletion& completionHandler) const {
  bool debug = environment_.debug ? environment_.debug() : Trellis::sharedSDK().debug();
  if (debug || !certPinner_) {
    completionHandler(TRLAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    return;
  }
  certPinner_->handleChallenge(challenge, session, completionHandler);
}

}  // namespace vandrel::crash
