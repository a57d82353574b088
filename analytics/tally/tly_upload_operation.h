#pragma once

// Builds the HTTP request for one analytics package and hands it to the
// uploader; the upload's outcome reaches the controller through the
// uploader's delegate. Runs on the controller's event queue.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "platform/clock.h"

namespace vandrel::analytics {

class TLYLogger;
class TLYUploader;

inline constexpr std::string_view kTLYUploadUserAgent = "Tally Mac SDK/1.4.1";
inline constexpr std::string_view kTLYUploadDeveloperToken =
    "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d";
inline constexpr std::string_view kTLYUploadClientType = "Tally Mac SDK";
inline constexpr std::string_view kTLYUploadClientVersion = "32";
inline constexpr std::string_view kTLYUploadClientDisplayVersion = "1.4.1";
inline constexpr std::string_view kTLYUploadClientBuildVersion = "32";
inline constexpr std::string_view kTLYTransmittingMessage = "Transmitting packaged events for '%@'.";

class TLYUploadOperation : public crash::Operation {
 public:
  // initWithUploader:tallyURL:apiKey:multipartURL:multipartMimeBoundary:.
  // `tallyURL` none: the request is missing and the uploader reports error
  // -2. `apiKey` none: no API-key header. `clock` nullptr: the system clock;
  // `logger` nullptr: the shared logger.
  static std::shared_ptr<TLYUploadOperation> initWithUploader(
      std::shared_ptr<TLYUploader> uploader, std::optional<std::string> tallyURL,
      std::optional<std::string> apiKey, std::filesystem::path multipartURL,
      std::string multipartMimeBoundary, const platform::Clock* clock = nullptr,
      const TLYLogger* logger = nullptr);

  // Sends nothing when cancelled before it runs.
  void main() override;

  // The POST request with the kit's headers in their order; none without a
  // tally URL.
  std::optional<crash::FLTURLRequest> makeRequest() const;
  // Whole seconds since 1970, truncated, in decimal.
  std::string currentTimestampString() const;

  const std::shared_ptr<TLYUploader>& uploader() const { return uploader_; }
  const std::optional<std::string>& tallyURL() const { return tallyURL_; }
  const std::optional<std::string>& apiKey() const { return apiKey_; }
  const std::filesystem::path& multipartURL() const { return multipartURL_; }
  const std::string& multipartMimeBoundary() const { return multipartMimeBoundary_; }

  struct Private;
  TLYUploadOperation(Private, std::shared_ptr<TLYUploader> uploader,
                     std::optional<std::string> tallyURL, std::optional<std::string> apiKey,
                     std::filesystem::path multipartURL, std::string multipartMimeBoundary,
                     const platform::Clock* clock, const TLYLogger* logger);

 private:
  const std::shared_ptr<TLYUploader> uploader_;
  const std::optional<std::string> tallyURL_;
  const std::optional<std::string> apiKey_;
  const std::filesystem::path multipartURL_;
  const std::string multipartMimeBoundary_;
  const platform::Clock* clock_;
  const TLYLogger* logger_;
};

}  // namespace vandrel::analytics
