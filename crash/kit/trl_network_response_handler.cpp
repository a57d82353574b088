#include "crash/kit/trl_network_response_handler.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <utility>

namespace vandrel::crash {
namespace {

constexpr std::string_view kCharsetSeparator = "; charset=";

bool isNonRetryableURLErrorCode(std::int64_t code) {
  switch (code) {
    case -1022: case -1013: case -1012: case -1010: case -1007: case -1002: case -1000:
    case -995: case -1100: case -1101: case -1103:
      return true;
    default:
      return code >= -1206 && code <= -1200;  // certificate and TLS failures
  }
}

// The text's leading decimal number ("5", " -3", "1.5e2s"); 0 when it does
// not start with one (a date, for instance).
double leadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t start = i;
  auto digits = [&] {
    std::size_t n = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++n;
    return n;
  };
  std::size_t count = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    count += digits();
  }
  if (count == 0) return 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t mark = i++;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) i = mark;  // "5e" is the number 5
  }
  double value = 0;
  auto [ptr, ec] = std::from_chars(text.data() + start, text.data() + i, value);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) value = HUGE_VAL;
  return negative ? -value : value;
}

KitError networkError(std::int64_t code, platform::Value::Dictionary userInfo) {
  KitError error;
  error.domain = std::string(kTRLNetworkErrorDomain);
  error.code = code;
  error.localizedDescription = "The operation couldn\u2019t be completed. (" +
                               std::string(kTRLNetworkErrorDomain) + " error " +
                               std::to_string(code) + ".)";
  error.userInfo = std::move(userInfo);
  return error;
}

}  // namespace

TRLNetworkResponseType TRLNetworkResponseTypeForStatus(int status) {
  switch (status) {
    case 200: case 201: case 202: case 204: case 304:
      return TRLNetworkResponseType::Success;
    case 400: case 401: case 403: case 404: case 406: case 410: case 411: case 413: case 419:
    case 422: case 431:
      return TRLNetworkResponseType::ClientError;
    case 408:
      return TRLNetworkResponseType::Retry;
    case 420: case 429:
      return TRLNetworkResponseType::RateLimited;
    default:
      return status >= 500 && status <= 599 ? TRLNetworkResponseType::Retry
                                            : TRLNetworkResponseType::Unexpected;
  }
}

KitError TRLKitErrorFromError(const platform::Error& error) {
  return KitError{error.domain, error.code, error.message, {}, {}};
}

std::optional<std::string> TRLNetworkResponseHandler::headerForResponse(
    const std::optional<FLTHTTPURLResponse>& response, std::string_view key) {
  if (!response) return std::nullopt;
  // A repeated field reads as one value, as the platform's header
  // dictionary presents it.
  return response->allHeaderFields.joined(key);
}

double TRLNetworkResponseHandler::retryValueForResponse(
    const std::optional<FLTHTTPURLResponse>& response) {
  constexpr double kDefaultRetryValue = 2.0;
  auto header = headerForResponse(response, kTRLRetryAfterHeader);
  if (!header) return kDefaultRetryValue;
  double value = leadingNumber(*header);
  return value < 0 ? kDefaultRetryValue : value;
}

std::optional<std::string> TRLNetworkResponseHandler::requestIdForResponse(
    const std::optional<FLTHTTPURLResponse>& response) {
  return headerForResponse(response, kTRLRequestIdHeader);
}

bool TRLNetworkResponseHandler::contentTypeForResponse(
    const std::optional<FLTHTTPURLResponse>& response, const FLTURLRequest& request) {
  auto accept = request.headers.joined("Accept");
  if (!accept) return true;
  auto contentType = headerForResponse(response, "Content-Type");
  if (!contentType) return false;

  std::string_view text = *contentType;
  std::size_t cut = text.find(kCharsetSeparator);
  std::string_view type = text.substr(0, cut);
  if (!platform::equalsIgnoringCase(type, *accept)) return false;

  auto acceptCharset = request.headers.joined("Accept-Charset");
  if (!acceptCharset || cut == std::string_view::npos) return true;
  std::string_view rest = text.substr(cut + kCharsetSeparator.size());
  std::string_view charset = rest.substr(0, rest.find(kCharsetSeparator));
  return platform::equalsIgnoringCase(charset, *acceptCharset);
}

bool TRLNetworkResponseHandler::retryableURLError(const platform::Error& error) {
  if (error.domain != platform::kUrlErrorDomain) return false;
  return !isNonRetryableURLErrorCode(error.code);
}

std::int64_t TRLNetworkResponseHandler::cancelReasonFromURLError(const KitError& error) {
  if (error.domain != platform::kUrlErrorDomain ||
      error.code != static_cast<std::int64_t>(platform::UrlError::Cancelled)) {
    return -1;
  }
  auto found = error.userInfo.find(std::string(kNSURLErrorBackgroundTaskCancelledReasonKey));
  if (found == error.userInfo.end()) return -1;
  return found->second.asInt().value_or(-1);
}

KitError TRLNetworkResponseHandler::errorForCode(std::int64_t code,
                                                 platform::Value::Dictionary userInfo) {
  return networkError(code, std::move(userInfo));
}

std::optional<KitError> TRLNetworkResponseHandler::errorForResponse(
    const std::optional<FLTHTTPURLResponse>& response, TRLNetworkResponseType type, int status) {
  std::int64_t code = 0;
  switch (type) {
    case TRLNetworkResponseType::Success: return std::nullopt;
    case TRLNetworkResponseType::Unexpected: code = kTRLNetworkErrorUnexpectedResponse; break;
    case TRLNetworkResponseType::ClientError: code = kTRLNetworkErrorClientError; break;
    case TRLNetworkResponseType::Retry:
    case TRLNetworkResponseType::RateLimited: code = kTRLNetworkErrorRetryableResponse; break;
  }
  platform::Value::Dictionary userInfo{
      {std::string(kTRLNetworkErrorTypeKey), static_cast<std::int64_t>(type)},
      {std::string(kTRLNetworkErrorStatusCodeKey), static_cast<std::int64_t>(status)},
      {std::string(kTRLNetworkErrorRequestIdKey), requestIdForResponse(response).value_or("")},
      {std::string(kTRLNetworkErrorContentTypeKey),
       headerForResponse(response, "Content-Type").value_or("")},
  };
  return errorForCode(code, std::move(userInfo));
}

void TRLNetworkResponseHandler::clientResponseType(
    const std::optional<FLTHTTPURLResponse>& response, const ResponseTypeBlock& handler) {
  int status = response ? response->statusCode : 0;
  handler(TRLNetworkResponseTypeForStatus(status), status);
}

void TRLNetworkResponseHandler::handleCompletedResponse(
    const std::optional<FLTHTTPURLResponse>& response, const FLTURLRequest& originalRequest,
    const std::optional<platform::Error>& error, const CompletionBlock& block) {
  if (error) {
    block(retryableURLError(*error), TRLKitErrorFromError(*error));
    return;
  }
  clientResponseType(response, [&](TRLNetworkResponseType type, int status) {
    switch (type) {
      case TRLNetworkResponseType::Success:
        if (contentTypeForResponse(response, originalRequest)) {
          block(false, std::nullopt);
        } else {
          block(false, errorForResponse(response, TRLNetworkResponseType::Unexpected, status));
        }
        return;
      case TRLNetworkResponseType::Unexpected:
      case TRLNetworkResponseType::ClientError:
        block(false, errorForResponse(response, type, status));
        return;
      case TRLNetworkResponseType::Retry:
      case TRLNetworkResponseType::RateLimited:
        block(true, errorForResponse(response, type, status));
        return;
    }
  });
}

}  // namespace vandrel::crash
