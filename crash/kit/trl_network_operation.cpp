#include "crash/kit/trl_network_operation.h"

#include "crash/kit/trl_system_facts.h"
#include "platform/check.h"

namespace vandrel::crash {

bool TRLNetworkOperation::isUsableAPIKey(const std::optional<std::string>& apiKey) {
  if (!apiKey || apiKey->empty()) return false;
  for (unsigned char c : *apiKey) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::shared_ptr<TRLNetworkOperation> TRLNetworkOperation::initWithAPIKey(
    const std::optional<std::string>& apiKey) {
  return makeWithAPIKey<TRLNetworkOperation>(apiKey);
}

TRLNetworkOperation::TRLNetworkOperation(std::string apiKey) : APIKey_(std::move(apiKey)) {
  VANDREL_CHECK(isUsableAPIKey(APIKey_), "a network operation without a usable API key");
}

platform::HttpRequest TRLNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) const {
  return mutableRequestWithDefaultHTTPHeadersForURL(url, kTRLDefaultRequestTimeout);
}

platform::HttpRequest TRLNetworkOperation::mutableRequestWithDefaultHTTPHeadersForURL(
    const std::string& url, platform::Duration timeout) const {
  platform::HttpRequest request;
  request.method = "GET";
  request.url = url;
  request.idleTimeout = timeout;
  std::string locale = localeIdentifier();
  auto& h = request.headers;
  h.set(std::string(kTRLUserAgentHeader), userAgentString());
  h.set(std::string(kTRLAcceptCharsetHeader), "utf-8");
  h.set(std::string(kTRLAcceptLanguageHeader), locale);
  h.set(std::string(kTRLContentLanguageHeader), locale);
  h.set(std::string(kTRLDeveloperTokenHeader), std::string(kTRLDeveloperToken));
  h.set(std::string(kTRLClientIdHeader), std::string(kTRLSDKIdentifier));
  h.set(std::string(kTRLClientDisplayVersionHeader), std::string(kTRLSDKDisplayVersion));
  h.set(std::string(kTRLClientBuildVersionHeader), std::string(kTRLSDKBuildVersion));
  h.set(std::string(kTRLAPIKeyHeader), APIKey_);
  return request;
}

std::string TRLNetworkOperation::userAgentString() {
  return std::string(kTRLSDKIdentifier) + "/" + std::string(kTRLSDKDisplayVersion) + " (" +
         std::string(kTRLSDKBuildVersion) + ")";
}

std::string TRLNetworkOperation::localeIdentifier() const { return TRLLocaleIdentifier(); }

}  // namespace vandrel::crash
