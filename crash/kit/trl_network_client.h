#pragma once

// The kit layer's HTTP client: runs data and download tasks on a URL
// session, classifies every finished request with TRLNetworkResponseHandler
// and retries what is retryable with exponential back-off, jitter and the
// server's "Retry-After", up to a retry limit.
//
// Pinning: a client made with certificates (even none) pins them on every
// connection of its session, unless the kit registry's debug flag is set,
// in which case the system's trust store decides. A refused server fails
// with a certificate error, which is never retried.
//
// Queues: completion handlers run on the session's delegate queue (a serial
// queue of the client's own when none is given); a retry starts from the
// retry queue (the global queue) once its delay has passed on the
// scheduler's clock; error -3 is reported on the thread that started the
// attempt. After `invalidateAndCancel` every attempt, pending retries
// included, settles at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "crash/kit/trl_network_response_handler.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::crash {

// The longest wait before a retry: the back-off grows as a power of the
// server's "Retry-After", and a wait beyond this never usefully ends.
inline constexpr std::chrono::hours kTRLNetworkClientMaximumRetryDelay{24};

// What the client reads from the process; tests inject their own.
struct TRLNetworkClientEnvironment {
  // Times the back-off; nullptr: the system scheduler.
  platform::Scheduler* scheduler = nullptr;
  // Where retries start; nullptr: the global queue.
  platform::Queue* retryQueue = nullptr;
  // The kit registry's debug flag; empty: Trellis::sharedSDK().debug().
  std::function<bool()> debug;
  // Uniform in [0, 1); empty: the kit's unseeded 48-bit generator (every
  // launch draws the same sequence).
  std::function<double()> uniform;
};

class TRLNetworkClient : public std::enable_shared_from_this<TRLNetworkClient> {
 public:
  using DataCompletion =
      std::function<void(const std::string& data, const std::optional<FLTHTTPURLResponse>& response,
                         const std::optional<KitError>& error)>;
  using DownloadCompletion = std::function<void(const std::filesystem::path& location,
                                                const std::optional<FLTHTTPURLResponse>& response,
                                                const std::optional<KitError>& error)>;

  static constexpr unsigned kDefaultRetryLimit = 10;

  // No queue, no certificates, the default session configuration.
  static std::shared_ptr<TRLNetworkClient> init();
  static std::shared_ptr<TRLNetworkClient> initWithQueue(std::shared_ptr<platform::Queue> queue);
  static std::shared_ptr<TRLNetworkClient> initWithQueue(
      std::shared_ptr<platform::Queue> queue,
      std::optional<std::vector<TRLCertificate>> pinnedCertificates);
  // None when no session results. Certificates given (even an empty list)
  // make a pinner; an empty list trusts no server.
  static std::shared_ptr<TRLNetworkClient> initWithSessionConfiguration(
      const std::shared_ptr<const FLTURLSessionConfiguration>& configuration,
      std::shared_ptr<platform::Queue> queue,
      std::optional<std::vector<TRLCertificate>> pinnedCertificates,
      TRLNetworkClientEnvironment environment = {});

  // Asks the session to finish its tasks and invalidate.
  ~TRLNetworkClient();
  TRLNetworkClient(const TRLNetworkClient&) = delete;
  TRLNetworkClient& operator=(const TRLNetworkClient&) = delete;

  const std::shared_ptr<FLTURLSession>& session() const { return session_; }
  // None when made without certificates.
  const std::shared_ptr<const TRLCertificatePinner>& certPinner() const { return certPinner_; }

  // A request is sent at most retryLimit + 1 times; `tries` counts the
  // attempts made so far.
  void startDataTaskWithRequest(const FLTURLRequest& request, DataCompletion completionHandler);
  void startDataTaskWithRequest(const FLTURLRequest& request, unsigned retryLimit,
                                DataCompletion completionHandler);
  void startDataTaskWithRequest(const FLTURLRequest& request, unsigned retryLimit, unsigned tries,
                                DataCompletion completionHandler);
  // The same for downloads; the file handed over is deleted when the
  // handler returns.
  void startDownloadTaskWithRequest(const FLTURLRequest& request,
                                    DownloadCompletion completionHandler);
  void startDownloadTaskWithRequest(const FLTURLRequest& request, unsigned retryLimit,
                                    DownloadCompletion completionHandler);
  void startDownloadTaskWithRequest(const FLTURLRequest& request, unsigned retryLimit,
                                    unsigned tries, DownloadCompletion completionHandler);

  // Ends the client for good: cancels the session's tasks and pending
  // retries; later requests fail with -3.
  void invalidateAndCancel();

  // Session delegate: a server-trust challenge gets default handling in
  // debug mode or without a pinner, else the pinner's verdict.
  void URLSessionDidReceiveChallenge(FLTURLSession* session,
                                     const TRLAuthenticationChallenge& challenge,
                                     const TRLChallengeCompletion& completionHandler) const;
  void URLSessionDidBecomeInvalidWithError(FLTURLSession*, const std::optional<platform::Error>&) {}

  // Back-off steps.
  double randomDoubleWithMin(double min, double max) const;
  // Uniform between the single-precision 0.9 and 1.1.
  double generateRandomJitter() const;
  // Seconds: max(2, retry value) ^ max(1, retryCount) × jitter.
  double computeDelayForResponse(const std::optional<FLTHTTPURLResponse>& response,
                                 unsigned retryCount) const;
  void runAfterRetryValueFromResponse(const std::optional<FLTHTTPURLResponse>& response,
                                      unsigned attempts, platform::Queue& queue,
                                      platform::Job block);
  void runAfterRetryValueFromResponse(const std::optional<FLTHTTPURLResponse>& response,
                                      unsigned attempts, platform::Job block);

  // Retries waiting for their delay.
  std::size_t pendingRetryCount() const;

  struct Private;
  TRLNetworkClient(Private, std::shared_ptr<FLTURLSession> session,
                   std::shared_ptr<const TRLCertificatePinner> pinner,
                   TRLNetworkClientEnvironment environment);

 private:
  struct Handlers;
  void startAttempt(const FLTURLRequest& request, unsigned retryLimit, unsigned tries,
                    std::shared_ptr<const Handlers> handlers);
  // Classifies a finished attempt on the delegate queue; delivers it or
  // schedules the next one.
  void finishAttempt(const FLTURLRequest& request, unsigned retryLimit, unsigned tries,
                     const std::shared_ptr<const Handlers>& handlers, const std::string& data,
                     const std::filesystem::path& location,
                     const std::optional<FLTHTTPURLResponse>& response,
                     const std::optional<platform::Error>& error);
  // The scheduled job (or nothing when the key is gone).
  platform::Job takePendingRetry(std::uint64_t key);

  platform::Scheduler& scheduler() const;
  platform::Queue& retryQueue() const;

  const std::shared_ptr<FLTURLSession> session_;
  const std::shared_ptr<const TRLCertificatePinner> certPinner_;
  const TRLNetworkClientEnvironment environment_;
  std::atomic<bool> invalidated_{false};

  mutable platform::Mutex mutex_;
  std::uint64_t nextRetryKey_ VANDREL_GUARDED_BY(mutex_) = 1;
  // Key → scheduler timer (0 until known) and the job it runs.
  std::map<std::uint64_t, std::pair<platform::Scheduler::TimerId, platform::Job>> pendingRetries_
      VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::crash
