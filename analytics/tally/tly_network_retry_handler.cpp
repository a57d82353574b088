#include "analytics/tally/tly_network_retry_handler.h"

#include <utility>

#include "crash/kit/trellis.h"
#include "crash/kit/trl_network_response_handler.h"

namespace vandrel::analytics {

using crash::KitError;
using crash::TRLNetworkResponseHandler;

TLYNetworkRetryHandlerEnvironment TLYNetworkRetryHandlerEnvironment::live() {
  TLYNetworkRetryHandlerEnvironment env;
  env.certPinner = std::make_shared<const crash::TRLCertificatePinner>(crash::TRLPinnedCertificates());
  env.debug = [] { return crash::Trellis::sharedSDK().debug(); };
  return env;
}

TLYNetworkRetryHandler::TLYNetworkRetryHandler()
    : TLYNetworkRetryHandler(TLYNetworkRetryHandlerEnvironment::live()) {}

TLYNetworkRetryHandler::TLYNetworkRetryHandler(TLYNetworkRetryHandlerEnvironment environment)
    : environment_(std::move(environment)) {}

void TLYNetworkRetryHandler::handleChallenge(
    const crash::TRLAuthenticationChallenge& challenge, crash::FLTURLSession* session,
    const crash::TRLChallengeCompletion& completionHandler) const {
  const bool debug = environment_.debug && environment_.debug();
  if (debug || !environment_.certPinner) {
    completionHandler(crash::TRLAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    return;
  }
  environment_.certPinner->handleChallenge(challenge, session, completionHandler);
}

double TLYNetworkRetryHandler::retryValueForResponse(
    const std::optional<crash::FLTHTTPURLResponse>& response) {
  return TRLNetworkResponseHandler::retryValueForResponse(response);
}

void TLYNetworkRetryHandler::handleCompletedRequest(
    const crash::FLTURLRequest& request, const std::optional<crash::FLTHTTPURLResponse>& response,
    const std::optional<std::string>& identifier, const std::optional<platform::Error>& error,
    RetryCompletion completionHandler) {
  handleCompletedRequest(request, response, identifier, kTLYNetworkRetryHandlerDefaultMaxRetries,
                         error, std::move(completionHandler));
}

void TLYNetworkRetryHandler::handleCompletedRequest(
    const crash::FLTURLRequest& request, const std::optional<crash::FLTHTTPURLResponse>& response,
    const std::optional<std::string>& identifier, std::uint64_t maxRetries,
    const std::optional<platform::Error>& error, RetryCompletion completionHandler) {
  bool retry = false;
  std::optional<KitError> handlerError;
  TRLNetworkResponseHandler::handleCompletedResponse(
      response, request, error, [&](bool shouldRetry, const std::optional<KitError>& e) {
        retry = shouldRetry;
        handlerError = e;
      });
  if (!retry) {
    completionHandler(false, handlerError);
    return;
  }
  const std::shared_ptr<TLYBackoffTimer> timer =
      timerForIdentifier(identifier, retryValueForResponse(response));
  if (!timer) {
    completionHandler(false, errorWithCode(kTLYNetworkErrorNoRetryTimer, identifier, &request,
                                           handlerError));
    return;
  }
  if (timer->retryCount() > maxRetries) {
    completionHandler(false, errorWithCode(kTLYNetworkErrorRetriesExhausted, identifier, &request,
                                           handlerError));
    return;
  }
  timer->executeBlockAfterNextInterval(
      [completionHandler = std::move(completionHandler), handlerError] {
        completionHandler(true, handlerError);
      });
}

KitError TLYNetworkRetryHandler::errorWithCode(std::int64_t code,
                                               const std::optional<std::string>& identifier,
                                               const crash::FLTURLRequest* request,
                                               const std::optional<KitError>& handlerError) {
  if (handlerError) return *handlerError;
  platform::Value::Dictionary userInfo;
  userInfo[std::string(kTLYNetworkRetryHandlerIdentifierKey)] =
      identifier ? platform::Value(*identifier) : platform::Value("(null)");
  if (request && !request->url.empty()) {
    userInfo[std::string(crash::kNSURLErrorFailingURLStringErrorKey)] = request->url;
  }
  return TRLNetworkResponseHandler::errorForCode(code, std::move(userInfo));
}

std::shared_ptr<TLYBackoffTimer> TLYNetworkRetryHandler::timerForIdentifier(
    const std::optional<std::string>& identifier, double initialRetryValue) {
  if (!identifier || identifier->empty()) return nullptr;
  {
    platform::MutexLock lock(mutex_);
    const auto found = retryTimerMap_.find(*identifier);
    if (found != retryTimerMap_.end()) return found->second;
  }
  // Made outside the lock (the first timer may bring up the system
  // scheduler); a timer stored meanwhile for the identifier wins.
  auto made = std::make_shared<TLYBackoffTimer>(initialRetryValue, environment_.timers);
  platform::MutexLock lock(mutex_);
  return retryTimerMap_.try_emplace(*identifier, std::move(made)).first->second;
}

}  // namespace vandrel::analytics
