#pragma once

// The base of the kit's settings and onboarding operations: it carries the
// application's API key and builds requests with the kit's common headers.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "crash/kit/trl_async_operation.h"
#include "platform/http.h"

namespace vandrel::crash {

inline constexpr std::string_view kTRLSDKIdentifier = "io.trellis.sdk.mac";
inline constexpr std::string_view kTRLSDKDisplayVersion = "1.10.2";
inline constexpr std::string_view kTRLSDKBuildVersion = "80";
inline constexpr std::string_view kTRLPlatform = "mac";
inline constexpr std::string_view kTRLDeveloperToken = "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d";

inline constexpr std::string_view kTRLUserAgentHeader = "User-Agent";
inline constexpr std::string_view kTRLAcceptCharsetHeader = "Accept-Charset";
inline constexpr std::string_view kTRLAcceptLanguageHeader = "Accept-Language";
inline constexpr std::string_view kTRLContentLanguageHeader = "Content-Language";
inline constexpr std::string_view kTRLDeveloperTokenHeader = "X-Faultline-Developer-Token";
inline constexpr std::string_view kTRLClientIdHeader = "X-Faultline-API-Client-Id";
inline constexpr std::string_view kTRLClientDisplayVersionHeader =
    "X-Faultline-API-Client-Display-Version";
inline constexpr std::string_view kTRLClientBuildVersionHeader = "X-Faultline-API-Client-Build-Version";
inline constexpr std::string_view kTRLAPIKeyHeader = "X-Faultline-API-Key";

inline constexpr platform::Duration kTRLDefaultRequestTimeout = std::chrono::seconds(10);

// Subclasses do the transfer in `main` and end through `finishWithError`.
class TRLNetworkOperation : public TRLAsyncOperation {
 public:
  // A key is usable when present, not empty and free of control characters
  // (it goes into a header line verbatim).
  static bool isUsableAPIKey(const std::optional<std::string>& apiKey);

  // The operation, or none when the key is not usable: no request is ever
  // built without "X-Faultline-API-Key".
  static std::shared_ptr<TRLNetworkOperation> initWithAPIKey(const std::optional<std::string>& apiKey);
  // The same for subclasses, whose constructors take the key first.
  template <typename T, typename... Args>
  static std::shared_ptr<T> makeWithAPIKey(const std::optional<std::string>& apiKey, Args&&... args) {
    if (!isUsableAPIKey(apiKey)) return nullptr;
    return std::make_shared<T>(*apiKey, std::forward<Args>(args)...);
  }

  // Aborts on an unusable key: go through `initWithAPIKey` or
  // `makeWithAPIKey` when the key comes from outside.
  explicit TRLNetworkOperation(std::string apiKey);

  std::string_view className() const override { return "TRLNetworkOperation"; }
  const std::string& APIKey() const { return APIKey_; }

  // The common request with the 10-second timeout; subclasses add their own
  // headers here.
  virtual platform::HttpRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
      const std::string& url) const;
  // A GET for `url` with the common headers in their fixed order. The
  // timeout bounds each wait for progress. Nothing is ever served from a
  // cache: the engine keeps none.
  platform::HttpRequest mutableRequestWithDefaultHTTPHeadersForURL(const std::string& url,
                                                                   platform::Duration timeout) const;

  // "io.trellis.sdk.mac/1.10.2 (80)".
  static std::string userAgentString();
  // The user's locale, for example en_US.
  virtual std::string localeIdentifier() const;

 private:
  const std::string APIKey_;
};

}  // namespace vandrel::crash
