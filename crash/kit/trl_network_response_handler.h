#pragma once

// Classification of finished kit requests: which statuses are success,
// which are the caller's fault, which are worth another try, and which
// transport errors are. The retrying network client, the report upload
// client and the analytics uploader all decide through these functions.
// Stateless: safe on any thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "platform/result.h"

namespace vandrel::crash {

inline constexpr std::string_view kTRLNetworkErrorDomain = "TRLNetworkError";

// Codes of the "TRLNetworkError" domain.
inline constexpr std::int64_t kTRLNetworkErrorRetryableResponse = -1;   // type 3 or 4
inline constexpr std::int64_t kTRLNetworkErrorNoTask = -3;              // the session made no task
inline constexpr std::int64_t kTRLNetworkErrorUnexpectedResponse = -4;  // type 1, or content type
inline constexpr std::int64_t kTRLNetworkErrorClientError = -5;         // type 2
inline constexpr std::int64_t kTRLNetworkErrorRetryLimitReached = -6;

// User-info keys of the response errors.
inline constexpr std::string_view kTRLNetworkErrorTypeKey = "type";
inline constexpr std::string_view kTRLNetworkErrorStatusCodeKey = "status_code";
inline constexpr std::string_view kTRLNetworkErrorRequestIdKey = "request_id";
inline constexpr std::string_view kTRLNetworkErrorContentTypeKey = "content_type";
inline constexpr std::string_view kTRLNetworkErrorRetryLimitKey = "retryLimit";
// The platform's key for the failing request's URL.
inline constexpr std::string_view kNSURLErrorFailingURLStringErrorKey =
    "NSErrorFailingURLStringKey";
inline constexpr std::string_view kNSURLErrorBackgroundTaskCancelledReasonKey =
    "NSURLErrorBackgroundTaskCancelledReasonKey";

inline constexpr std::string_view kTRLRequestIdHeader = "X-Request-Id";
inline constexpr std::string_view kTRLRetryAfterHeader = "Retry-After";

// The numbers are the ones carried under "type".
enum class TRLNetworkResponseType : std::int64_t {
  Success = 0,
  Unexpected = 1,   // not retried
  ClientError = 2,  // not retried
  Retry = 3,
  RateLimited = 4,  // retried
};

// The type of an HTTP status (0 stands for a response that is not an HTTP
// response).
TRLNetworkResponseType TRLNetworkResponseTypeForStatus(int status);

class TRLNetworkResponseHandler {
 public:
  using ResponseTypeBlock = std::function<void(TRLNetworkResponseType type, int status)>;
  // Called exactly once, synchronously.
  using CompletionBlock = std::function<void(bool retry, const std::optional<KitError>& error)>;

  TRLNetworkResponseHandler() = delete;

  // The header's value; none without a response or without the header.
  static std::optional<std::string> headerForResponse(
      const std::optional<FLTHTTPURLResponse>& response, std::string_view key);
  // "Retry-After" read as its text's leading number; 2.0 when absent or
  // negative (a date reads as 0).
  static double retryValueForResponse(const std::optional<FLTHTTPURLResponse>& response);
  static std::optional<std::string> requestIdForResponse(
      const std::optional<FLTHTTPURLResponse>& response);
  static bool contentTypeForResponse(const std::optional<FLTHTTPURLResponse>& response,
                                     const FLTURLRequest& request);
  // Transport errors worth another try: every "NSURLErrorDomain" code but
  // the bad-request, bad-URL, certificate and file ones.
  static bool retryableURLError(const platform::Error& error);
  // For a cancellation: its "NSURLErrorBackgroundTaskCancelledReasonKey";
  // else -1.
  static std::int64_t cancelReasonFromURLError(const KitError& error);
  static KitError errorForCode(std::int64_t code, platform::Value::Dictionary userInfo);
  // None for type 0; else the code of the type with the four-key user-info.
  static std::optional<KitError> errorForResponse(const std::optional<FLTHTTPURLResponse>& response,
                                                  TRLNetworkResponseType type, int status);
  static void clientResponseType(const std::optional<FLTHTTPURLResponse>& response,
                                 const ResponseTypeBlock& handler);
  // The entry point: a transport error decides alone; else the response's
  // type and (for a success) its content type against the request's
  // "Accept" and "Accept-Charset".
  static void handleCompletedResponse(const std::optional<FLTHTTPURLResponse>& response,
                                      const FLTURLRequest& originalRequest,
                                      const std::optional<platform::Error>& error,
                                      const CompletionBlock& block);
};

// A transport error as the kit hands it on (no user-info).
KitError TRLKitErrorFromError(const platform::Error& error);

}  // namespace vandrel::crash
