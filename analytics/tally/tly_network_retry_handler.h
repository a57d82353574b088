#pragma once

// Retry decisions of analytics uploads: the shared response handler says
// whether a finished request is worth another try; this handler then waits
// out a per-upload exponential back-off (one TLYBackoffTimer per upload
// identifier, kept for the handler's life), turns exhaustion into errors,
// and answers server-trust challenges with the kit's pinned certificates.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/tally/tly_backoff_timer.h"
#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_certificate_pinner.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "platform/result.h"
#include "platform/sync.h"

namespace vandrel::analytics {

inline constexpr std::string_view kTLYNetworkRetryHandlerIdentifierKey =
    "TLYNetworkRetryHandlerIdentifier";
// Codes of the "TRLNetworkError" domain made here.
inline constexpr std::int64_t kTLYNetworkErrorRetriesExhausted = -6;
inline constexpr std::int64_t kTLYNetworkErrorNoRetryTimer = -7;
inline constexpr std::uint64_t kTLYNetworkRetryHandlerDefaultMaxRetries = 10;

struct TLYNetworkRetryHandlerEnvironment {
  // Nullptr: challenges get default handling.
  std::shared_ptr<const crash::TRLCertificatePinner> certPinner;
  // The kit registry's debug flag; with it set pinning is skipped.
  std::function<bool()> debug;
  // Clock, completion queue and random source of the back-off timers.
  TLYBackoffTimerEnvironment timers;

  // A pinner over TRLPinnedCertificates(), Trellis::sharedSDK().debug(),
  // the system scheduler, the main queue and drand48.
  static TLYNetworkRetryHandlerEnvironment live();
};

// The timer map is guarded by one mutex (data only); the calls of one
// upload identifier are expected one after another (the uploader's
// completions), delayed completions run on the timers' queue.
class TLYNetworkRetryHandler {
 public:
  // Called exactly once: at once when no retry follows, on the timers'
  // queue after the back-off when the caller should retry.
  using RetryCompletion =
      std::function<void(bool retry, const std::optional<crash::KitError>& error)>;

  TLYNetworkRetryHandler();
  explicit TLYNetworkRetryHandler(TLYNetworkRetryHandlerEnvironment environment);

  void handleChallenge(const crash::TRLAuthenticationChallenge& challenge,
                       crash::FLTURLSession* session,
                       const crash::TRLChallengeCompletion& completionHandler) const;

  // The server's requested wait (Retry-After), 2.0 without one.
  static double retryValueForResponse(const std::optional<crash::FLTHTTPURLResponse>& response);

  // `identifier`: none for a missing one.
  void handleCompletedRequest(const crash::FLTURLRequest& request,
                              const std::optional<crash::FLTHTTPURLResponse>& response,
                              const std::optional<std::string>& identifier,
                              const std::optional<platform::Error>& error,
                              RetryCompletion completionHandler);
  void handleCompletedRequest(const crash::FLTURLRequest& request,
                              const std::optional<crash::FLTHTTPURLResponse>& response,
                              const std::optional<std::string>& identifier,
                              std::uint64_t maxRetries,
                              const std::optional<platform::Error>& error,
                              RetryCompletion completionHandler);

  // `handlerError` unchanged when there is one; else "TRLNetworkError"
  // `code` with the identifier ("(null)" for none) and, for a request with a
  // URL, the failing URL.
  static crash::KitError errorWithCode(std::int64_t code,
                                       const std::optional<std::string>& identifier,
                                       const crash::FLTURLRequest* request,
                                       const std::optional<crash::KitError>& handlerError);

  // The identifier's timer, made with `initialRetryValue` on first use (a
  // later value is ignored); nullptr for a missing or empty identifier.
  std::shared_ptr<TLYBackoffTimer> timerForIdentifier(const std::optional<std::string>& identifier,
                                                      double initialRetryValue);

  const crash::TRLCertificatePinner* certPinner() const { return environment_.certPinner.get(); }

 private:
  const TLYNetworkRetryHandlerEnvironment environment_;
  platform::Mutex mutex_;
  std::map<std::string, std::shared_ptr<TLYBackoffTimer>> retryTimerMap_
      VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::analytics
