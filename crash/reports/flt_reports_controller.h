#pragma once

// Moves one report from its report directory to an upload in flight:
// optionally processes (symbolicates) it, packages it into the prepared
// directory, deletes the report directory, builds the upload request for
// the package and hands request and file to the upload client. When the
// client reports the upload's end, a successful upload's package is deleted
// and the delegate is told either way.
//
// Report states on disk (under the store's "v3"):
//   active/<report>  →  processing/<report>  (when processing is asked for)
//   →  prepared/<boundary>.multipartmime  (the report directory goes once
//   the package exists)  →  deleted after a successful upload.
// Every failure before the upload starts leaves the report or package where
// it was (the next launch offers it again). A report whose id a package in
// prepared already carries (a launch that ended between packaging and
// removing the directory) is not packaged again: its directory is removed
// and that package alone is sent. With data collection switched off nothing
// is touched and the answer is true.
//
// Runs on whatever thread calls it: the start thread for urgent reports,
// the work queue otherwise. Holds no mutable state of its own.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crash/kit/trl_async_operation.h"
#include "crash/kit/trl_fallback_url_session.h"
#include "crash/reports/flt_file_manager.h"
#include "platform/dispatch.h"

namespace vandrel::crash {

class FLTInternalReport;
class FLTNetworkClient;
class FLTSettings;

inline constexpr std::string_view kFLTReportsUserAgent = "Faultline Mac SDK/3.14.0";
inline constexpr std::string_view kFLTReportsDeveloperToken = "5c1e09a7d3b248f6e0a9c4b71d2e83f05a6b9c3d";
inline constexpr std::string_view kFLTReportsClientIdentifier = "com.kestrel.faultline.mac";
inline constexpr std::string_view kFLTReportsClientDisplayVersion = "3.14.0";
inline constexpr std::string_view kFLTReportsClientBuildVersion = "144";
inline constexpr std::string_view kFLTReportsPlatform = "mac";
// Upload time-outs in seconds.
inline constexpr double kFLTReportsUrgentTimeout = 10.0;
inline constexpr double kFLTReportsUrgentTimeoutWithoutBackground = 2.0;
inline constexpr double kFLTReportsNormalTimeout = 10.0;

class FLTReportsController;

// The crash-reporting controller. Called on the thread that drives the
// reports controller (completion: the client's delegate thread).
class FLTReportsControllerDelegate {
 public:
  virtual ~FLTReportsControllerDelegate() = default;
  // Null: the built-in defaults.
  virtual std::shared_ptr<const FLTSettings> settingsForReportsController(
      FLTReportsController& controller) = 0;
  virtual std::optional<std::string> APIKeyForReportsController(FLTReportsController& controller) = 0;
  // The bundle identifier in namespace form ("/" replaced by "_").
  virtual std::string bundleIdentifierForReportsController(FLTReportsController& controller) = 0;
  // `packagePath` is the package's absolute path; no error on success.
  virtual void reportsControllerDidCompletePackageSubmission(FLTReportsController& controller,
                                                             const std::string& packagePath,
                                                             const std::optional<KitError>& error) = 0;
};

// What the reports controller reads from the process; tests inject theirs.
struct FLTReportsControllerEnvironment {
  // The data-collection switch; empty: Trellis::isFaultlineCollectionEnabled().
  std::function<bool()> collectionEnabled;
  // The current locale's identifier ("en_US"); empty: from the process's
  // locale variables (LC_ALL, LC_MESSAGES, LANG), "en_US" when none is set.
  std::function<std::string()> localeIdentifier;
  // The kit registry's debug flag (debug lines only then); empty:
  // Trellis::sharedSDK().debug().
  std::function<bool()> debug;
  // Console lines ("[Faultline:Crash:Reports] ..."); empty: stderr.
  std::function<void(std::string_view line)> log;
  // Told of each crash whose upload started (crash date in seconds since
  // 1970, the settings' beaconFaultlineEnabled); empty:
  // FLTBCRAnalytics::logCrashWithTimeStamp.
  std::function<void(double timestamp, bool beaconFaultlineEnabled)> logCrash;
};

class FLTReportsController : public std::enable_shared_from_this<FLTReportsController> {
 public:
  // `queue` is the work queue; `client` the upload client.
  static std::shared_ptr<FLTReportsController> initWithQueue(
      std::shared_ptr<platform::Queue> queue, std::weak_ptr<FLTReportsControllerDelegate> delegate,
      std::shared_ptr<FLTNetworkClient> client, FLTFileManager fileManager,
      FLTReportsControllerEnvironment environment = {});

  // Processes (when asked), packages and starts the upload of `report`.
  // True when an upload started, or when data collection is off (nothing
  // touched); false when any step stopped earlier.
  bool prepareAndSubmitReport(const std::shared_ptr<FLTInternalReport>& report, bool asUrgent,
                              bool withProcessing);
  // False when submission is switched off or the submission fails to start.
  bool uploadPackagedReportAtPath(const std::string& packagePath, bool asUrgent);
  bool submitPackageMultipartMimeAtPath(const std::string& packagePath, bool synchronously);

  // The client's answer for one package (no error on success).
  void reportUploadAtPathCompletedWithError(const std::string& packagePath,
                                            const std::optional<KitError>& error);
  bool cleanUpSubmittedReportAtPath(const std::string& packagePath);

  // <reportsEndpoint>/sdk-api/v1/platforms/mac/apps/<bundle id>/reports;
  // none when that is not a usable URL.
  std::optional<std::string> reportURL();
  std::string reportEndpoint();
  // POST with the fixed headers (up to X-Faultline-API-Key) and `timeout`
  // seconds of idle time-out.
  FLTURLRequest mutableRequestWithURL(const std::string& url, double timeout);
  // Adds Content-Type (boundary = package file name without extension) and
  // Content-Length; false without a size.
  bool fillInRequestForMultipartMimeDataAtPath(FLTURLRequest& request, const std::string& packagePath);
  std::string localeIdentifier() const;
  std::optional<std::string> APIKey();
  std::string appBundleIdentifier();
  // Never null (the defaults when the delegate has none).
  std::shared_ptr<const FLTSettings> settings();
  bool submissionEnabled();
  bool packagingEnabled();

  const std::shared_ptr<platform::Queue>& operationQueue() const { return queue_; }
  const std::shared_ptr<FLTNetworkClient>& networkClient() const { return client_; }
  const FLTFileManager& fileManager() const { return fileManager_; }

  struct Private;
  FLTReportsController(Private, std::shared_ptr<platform::Queue> queue,
                       std::weak_ptr<FLTReportsControllerDelegate> delegate,
                       std::shared_ptr<FLTNetworkClient> client, FLTFileManager fileManager,
                       FLTReportsControllerEnvironment environment);
  FLTReportsController(const FLTReportsController&) = delete;
  FLTReportsController& operator=(const FLTReportsController&) = delete;

 private:
  std::shared_ptr<FLTReportsControllerDelegate> delegate() const;
  bool debug() const;
  void log(std::string_view line) const;
  void debugLog(std::string_view line) const;
  bool collectionEnabled() const;
  bool runSteps(const std::shared_ptr<FLTInternalReport>& report, bool asUrgent, bool withProcessing);
  // The prepared package that carries this report id, if any.
  std::optional<std::string> packageOfReport(const std::string& identifier) const;

  const std::shared_ptr<platform::Queue> queue_;
  const std::weak_ptr<FLTReportsControllerDelegate> delegate_;
  const std::shared_ptr<FLTNetworkClient> client_;
  const FLTFileManager fileManager_;
  const FLTReportsControllerEnvironment environment_;
};

}  // namespace vandrel::crash
