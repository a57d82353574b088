#include "analytics/tally/tly_upload_operation.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_uploader.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"

namespace vandrel::analytics {

struct TLYUploadOperation::Private {};

std::shared_ptr<TLYUploadOperation> TLYUploadOperation::initWithUploader(
    std::shared_ptr<TLYUploader> uploader, std::optional<std::string> tallyURL,
    std::optional<std::string> apiKey, std::filesystem::path multipartURL,
    std::string multipartMimeBoundary, const platform::Clock* clock, const TLYLogger* logger) {
  return std::make_shared<TLYUploadOperation>(Private{}, std::move(uploader), std::move(tallyURL),
                                              std::move(apiKey), std::move(multipartURL),
                                              std::move(multipartMimeBoundary), clock, logger);
}

TLYUploadOperation::TLYUploadOperation(Private, std::shared_ptr<TLYUploader> uploader,
                                       std::optional<std::string> tallyURL,
                                       std::optional<std::string> apiKey,
                                       std::filesystem::path multipartURL,
                                       std::string multipartMimeBoundary,
                                       const platform::Clock* clock, const TLYLogger* logger)
    : uploader_(std::move(uploader)),
      tallyURL_(std::move(tallyURL)),
      apiKey_(std::move(apiKey)),
      multipartURL_(std::move(multipartURL)),
      multipartMimeBoundary_(std::move(multipartMimeBoundary)),
      clock_(clock ? clock : &platform::SystemClock::shared()),
      logger_(logger ? logger : &TLYLogger::sharedLogger()) {}

std::string TLYUploadOperation::currentTimestampString() const {
  // Truncated, never rounded: a timestamp must not lie in the future.
  double seconds = std::trunc(clock_->secondsSince1970());
  return std::to_string(static_cast<std::int64_t>(seconds));
}

std::optional<crash::FLTURLRequest> TLYUploadOperation::makeRequest() const {
  if (!tallyURL_ || tallyURL_->empty()) return std::nullopt;
  crash::FLTURLRequest request;
  request.url = *tallyURL_;
  request.method = "POST";
  auto& headers = request.headers;
  headers.set("Content-Type",
              crash::TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(
                  multipartMimeBoundary_));
  headers.set("Content-Length", std::to_string(TLYFileUtils::fileSizeAtURL(multipartURL_)));
  headers.set("User-Agent", std::string(kTLYUploadUserAgent));
  headers.set("X-FAULTLINE-DEVELOPER-TOKEN", std::string(kTLYUploadDeveloperToken));
  headers.set("X-FAULTLINE-API-CLIENT-TYPE", std::string(kTLYUploadClientType));
  headers.set("X-FAULTLINE-API-CLIENT-VERSION", std::string(kTLYUploadClientVersion));
  headers.set("X-FAULTLINE-API-CLIENT-DISPLAY-VERSION", std::string(kTLYUploadClientDisplayVersion));
  headers.set("X-FAULTLINE-API-CLIENT-BUILD-VERSION", std::string(kTLYUploadClientBuildVersion));
  if (apiKey_) headers.set("X-FAULTLINE-API-KEY", *apiKey_);
  headers.set("X-Faultline-Api-Client-Packaged-Timestamp", currentTimestampString());
  return request;
}

void TLYUploadOperation::main() {
  if (isCancelled() || !uploader_) return;
  auto request = makeRequest();
  std::string uniqueName = multipartURL_.stem().string();
  logger_->log(TLYFillPlaceholders(kTLYTransmittingMessage, {uniqueName}));
  uploader_->startUploadRequest(request, multipartURL_.string(), uniqueName);
}

}  // namespace vandrel::analytics
