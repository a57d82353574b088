#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/qv_device_info.h"
#include "platform/result.h"

namespace vandrel::platform {
class Clock;
}

namespace vandrel::core {

class ConnectionPort;
class MiscInfo;
class StaticData;
class qv_Network;

// The alerts of an upload from the log window.
inline constexpr std::string_view kUploadSucceededTitle = "上传成功";
inline constexpr std::string_view kUploadSucceededMessage = "日志已上传成功";
inline constexpr std::string_view kUploadFailedTitle = "上传失败";
inline constexpr std::string_view kUploadFailedMessage = "请重新尝试上传";

// `bytes` compressed to one gzip member (default settings).
platform::Result<std::string> gzipCompress(std::string_view bytes);

// Whether `text` contains `piece` (both UTF-8): case-sensitive, with
// canonically equivalent forms of a character matching each other, and
// only whole characters (a match never starts or ends inside one). An empty
// piece is contained in nothing.
bool containsKeyword(std::string_view text, std::string_view piece);

// `Optional("text")` with the text's quotes, backslashes and control
// characters escaped, or `nil`: how the device block shows optional texts.
std::string describeOptional(const std::optional<std::string>& text);

// Sending the log file to the service: by hand from the log window, or once
// per run by itself when an error text contains one of the keywords of the
// static data ("log_keyword", separated by ","). Each upload first writes a
// device-information block into the log, then gzips the log file and sends
// it as a multipart form under logArchiveName(); the file is deleted once
// the service has accepted it.
//
// Thread-safe. The keyword match runs on the global queue; an upload runs on
// its caller's thread up to the hand-over to the transport, and its reply
// step on the main queue. The object must outlive its matches (isIdle())
// and the uploads it started (shared() never dies).
class LogUpload {
 public:
  // Over the shared catalogue, session, transport and connection port
  // (leaked).
  static LogUpload& shared();

  LogUpload(StaticData& staticData, MiscInfo& session, qv_Network& network, ConnectionPort& port,
            DeviceFacts device, const platform::Clock& clock);
  LogUpload(const LogUpload&) = delete;
  LogUpload& operator=(const LogUpload&) = delete;

  // Queues the keyword match of `text` (an error text without its tag) on
  // the global queue and returns. The first match of a run starts one
  // silent upload; no later one does. Without static data or keywords
  // nothing matches and the next text is checked again.
  void checkUploadKeywords(std::string_view text);

  // Writes the device block, reads and gzips the log file and hands it to
  // the transport; returns before the reply. A file that cannot be read or
  // compressed ends it without a word. On success the file is deleted;
  // unless `silent`, an alert tells the outcome.
  void uploadLogs(bool silent);

  // "macOS-Vandrel-" + "yyyy-MM-dd-<user id>-H:mm:ss" in the system time
  // zone (user id 0 when signed out) + ".log.zip"; the content is gzip.
  std::string logArchiveName() const;

  // The device-information lines (debug level), the helper's reply among
  // them when it arrives.
  void logDeviceInfo();

  // True until the first keyword match of this uploader.
  bool autoUploadArmed() const { return autoUploadArmed_.load(); }
  // No keyword match queued or running.
  bool isIdle() const { return matchesInFlight_.load() == 0; }

 private:
  void matchKeywords(const std::string& text);

  StaticData& staticData_;
  MiscInfo& session_;
  qv_Network& network_;
  ConnectionPort& port_;
  const DeviceFacts device_;
  const platform::Clock& clock_;
  // Cleared by one atomic test-and-clear, so concurrent matches start one
  // upload between them.
  std::atomic<bool> autoUploadArmed_{true};
  std::atomic<std::size_t> matchesInFlight_{0};
};

// Where LogUtil::checkUploadKeywords sends error texts: `upload` when one
// is installed (nullptr removes it); otherwise LogUpload::shared(), but only
// once the shared catalogue exists (before that there are no keywords, and
// a mere error report must not build the shared objects).
void installLogUpload(std::shared_ptr<LogUpload> upload);

}  // namespace vandrel::core
