#include "crash/reports/flt_reports_controller.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "crash/kit/flt_bcr_analytics.h"
#include "crash/kit/flt_network_client.h"
#include "crash/kit/flt_settings.h"
#include "crash/kit/trellis.h"
#include "crash/kit/trl_multipart_mime_stream_encoder.h"
#include "crash/kit/trl_system_facts.h"
#include "crash/kit/trl_url_builder.h"
#include "crash/reports/flt_internal_report.h"
#include "crash/reports/flt_package_report_operation.h"
#include "crash/reports/flt_process_report_operation.h"
#include "crash/reports/flt_symbol_resolver.h"

namespace vandrel::crash {

struct FLTReportsController::Private {};

std::shared_ptr<FLTReportsController> FLTReportsController::initWithQueue(
    std::shared_ptr<platform::Queue> queue, std::weak_ptr<FLTReportsControllerDelegate> delegate,
    std::shared_ptr<FLTNetworkClient> client, FLTFileManager fileManager,
    FLTReportsControllerEnvironment environment) {
  return std::make_shared<FLTReportsController>(Private{}, std::move(queue), std::move(delegate),
                                                std::move(client), std::move(fileManager),
                                                std::move(environment));
}

FLTReportsController::FLTReportsController(Private, std::shared_ptr<platform::Queue> queue,
                                           std::weak_ptr<FLTReportsControllerDelegate> delegate,
                                           std::shared_ptr<FLTNetworkClient> client,
                                           FLTFileManager fileManager,
                                           FLTReportsControllerEnvironment environment)
    : queue_(std::move(queue)),
      delegate_(std::move(delegate)),
      client_(std::move(client)),
      fileManager_(std::move(fileManager)),
      environment_(std::move(environment)) {}

std::shared_ptr<FLTReportsControllerDelegate> FLTReportsController::delegate() const {
  return delegate_.lock();
}

bool FLTReportsController::debug() const {
  return environment_.debug ? environment_.debug() : Trellis::sharedSDK().debug();
}

void FLTReportsController::log(std::string_view line) const {
  if (environment_.log) {
    environment_.log(line);
    return;
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

void FLTReportsController::debugLog(std::string_view line) const {
  if (debug()) log(line);
}

bool FLTReportsController::collectionEnabled() const {
  return environment_.collectionEnabled ? environment_.collectionEnabled()
                                        : Trellis::isFaultlineCollectionEnabled();
}

// ---- Prepare and submit ------------------------------------------------------

bool FLTReportsController::prepareAndSubmitReport(const std::shared_ptr<FLTInternalReport>& report,
                                                  bool asUrgent, bool withProcessing) {
  if (!collectionEnabled()) {
    log("[Faultline:Crash:Reports] Data collection disabled and will not submit report");
    return true;
  }
  if (!report) return false;
  // There is no system-initiated termination of idle processes to hold
  // off here, so the steps run without a process activity around them.
  return runSteps(report, asUrgent, withProcessing);
}

bool FLTReportsController::runSteps(const std::shared_ptr<FLTInternalReport>& original, bool asUrgent,
                                    bool withProcessing) {
  if (const auto package = packageOfReport(original->identifier())) {
    // An earlier run stopped between packaging this report and removing its
    // directory. That package is sent from prepared; a second one would
    // send the report twice.
    log("[Faultline:Crash:Reports] Report with id '" + original->identifier() +
        "' is already packaged at " + *package);
    if (!fileManager_.removeItemAtPath(original->path())) {
      log("[Faultline:Crash:Reports] Unable to remove a processing item");
    }
    return false;
  }
  std::shared_ptr<FLTInternalReport> report = original;
  if (withProcessing) {
    const std::string processing = fileManager_.processingPath();
    if (!fileManager_.moveItemAtPath(report->path(), processing)) {
      log("[Faultline:Crash:Reports] Unable to move report for processing");
      return false;
    }
    const std::string moved = processing + "/" + report->directoryName();
    report = FLTInternalReport::initWithPath(moved, original->identifier());
    if (!report) return false;
    FLTSymbolResolver resolver;
    FLTProcessReportOperation::initWithReport(report, &resolver)->start();
  }

  if (!packagingEnabled()) {
    log("[Faultline:Crash:Reports] Report packaging disabled");
    return false;
  }
  auto package = FLTPackageReportOperation::initWithReport(report, &fileManager_);
  package->start();
  if (!package->finalPath()) {
    log("[Faultline:Crash:Reports] Unable to package report");
    return false;
  }
  const std::string packagePath = *package->finalPath();

  const std::optional<platform::Date> crashedOn = report->crashedOnDate();
  const bool isCrash = report->isCrash();
  if (!fileManager_.removeItemAtPath(report->path())) {
    log("[Faultline:Crash:Reports] Unable to remove a processing item");
  }
  log("[Faultline:Crash:Reports] Packaged report with id '" + report->identifier() + "' for submission");

  const bool started = uploadPackagedReportAtPath(packagePath, asUrgent);
  if (started && isCrash) {
    const double timestamp = crashedOn ? crashedOn->secondsSince1970 : 0.0;
    const bool beacon = settings()->beaconFaultlineEnabled();
    if (environment_.logCrash) {
      environment_.logCrash(timestamp, beacon);
    } else {
      FLTBCRAnalytics::logCrashWithTimeStamp(timestamp, beacon);
    }
  }
  return started;
}

std::optional<std::string> FLTReportsController::packageOfReport(const std::string& identifier) const {
  if (identifier.empty()) return std::nullopt;
  for (const std::string& package : fileManager_.preparedPathContents()) {
    if (FLTPackageReportOperation::reportIdentifierOfPackage(package) == identifier) return package;
  }
  return std::nullopt;
}

// ---- Upload ------------------------------------------------------------------

bool FLTReportsController::uploadPackagedReportAtPath(const std::string& packagePath, bool asUrgent) {
  if (!submissionEnabled()) {
    log("[Faultline:Crash:Reports] Submission disabled");
    return false;
  }
  debugLog(std::string("[Faultline:Crash:Reports] Submitting report") + (asUrgent ? " as urgent" : ""));
  return submitPackageMultipartMimeAtPath(packagePath, asUrgent);
}

bool FLTReportsController::submitPackageMultipartMimeAtPath(const std::string& packagePath,
                                                            bool synchronously) {
  debugLog(std::string("[Faultline:Crash:Reports] Submitting ") + (synchronously ? "sync" : "async") +
           " " + packagePath);
  const std::optional<std::uint64_t> size = fileManager_.fileSizeAtPath(packagePath);
  if (!size || *size == 0) {
    debugLog("[Faultline:Crash:Reports] Already-submitted report being ignored");
    return false;
  }
  double timeout = kFLTReportsNormalTimeout;
  if (synchronously) {
    timeout = client_ && client_->supportsBackgroundRequests() ? kFLTReportsUrgentTimeout
                                                               : kFLTReportsUrgentTimeoutWithoutBackground;
  }
  const std::optional<std::string> url = reportURL();
  if (!url) {
    log("[Faultline:Crash:Reports] Unable to build the report URL from '" + reportEndpoint() + "'");
    return false;
  }
  FLTURLRequest request = mutableRequestWithURL(*url, timeout);
  if (!fillInRequestForMultipartMimeDataAtPath(request, packagePath)) return false;
  if (!client_) return false;
  client_->startUploadRequest(request, packagePath, synchronously);
  return true;
}

void FLTReportsController::reportUploadAtPathCompletedWithError(const std::string& packagePath,
                                                                const std::optional<KitError>& error) {
  debugLog("[Faultline:Crash:Reports] completed submission of " + packagePath);
  if (!error && !cleanUpSubmittedReportAtPath(packagePath)) {
    log("[Faultline:Crash:Reports] Unable to remove packaged submission");
  }
  if (auto strong = delegate()) {
    strong->reportsControllerDidCompletePackageSubmission(*this, packagePath, error);
  }
}

bool FLTReportsController::cleanUpSubmittedReportAtPath(const std::string& packagePath) {
  return fileManager_.removeItemAtPath(packagePath);
}

// ---- Request -----------------------------------------------------------------

std::string FLTReportsController::reportEndpoint() { return settings()->reportsEndpoint(); }

std::optional<std::string> FLTReportsController::reportURL() {
  TRLURLBuilder builder = TRLURLBuilder::URLWithBase(reportEndpoint());
  builder.appendComponent("/sdk-api/v1/platforms/");
  builder.appendComponent(kFLTReportsPlatform);
  builder.appendComponent("/apps/");
  // The identifier comes from the application's bundle: escaped as one
  // path segment, so it cannot change the endpoint's path.
  builder.escapeAndAppendComponent(appBundleIdentifier());
  builder.appendComponent("/reports");
  return builder.URL();
}

FLTURLRequest FLTReportsController::mutableRequestWithURL(const std::string& url, double timeout) {
  FLTURLRequest request;
  request.method = "POST";
  request.url = url;
  // The API key travels in a header: a redirect must not carry it elsewhere.
  request.redirects = platform::RedirectPolicy::DontFollow;
  request.idleTimeout = std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(timeout));
  const std::string locale = localeIdentifier();
  request.headers.add("User-Agent", std::string(kFLTReportsUserAgent));
  request.headers.add("Accept", "application/json");
  request.headers.add("Accept-Charset", "utf-8");
  request.headers.add("Accept-Language", locale);
  request.headers.add("Content-Language", locale);
  request.headers.add("X-Faultline-Developer-Token", std::string(kFLTReportsDeveloperToken));
  request.headers.add("X-Faultline-API-Client-Id", std::string(kFLTReportsClientIdentifier));
  request.headers.add("X-Faultline-API-Client-Display-Version", std::string(kFLTReportsClientDisplayVersion));
  request.headers.add("X-Faultline-API-Client-Build-Version", std::string(kFLTReportsClientBuildVersion));
  request.headers.add("X-Faultline-API-Key", APIKey().value_or(""));
  return request;
}

bool FLTReportsController::fillInRequestForMultipartMimeDataAtPath(FLTURLRequest& request,
                                                                   const std::string& packagePath) {
  const std::string boundary = std::filesystem::path(packagePath).stem().string();
  request.headers.set("Content-Type",
                      TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(boundary));
  const std::optional<std::uint64_t> size = fileManager_.fileSizeAtPath(packagePath);
  if (!size) {
    log("[Faultline:Crash:Reports] Could not determine size of multipart mime file");
    return false;
  }
  request.headers.set("Content-Length", std::to_string(*size));
  return true;
}

// ---- Facts -------------------------------------------------------------------

std::string FLTReportsController::localeIdentifier() const {
  return environment_.localeIdentifier ? environment_.localeIdentifier() : TRLLocaleIdentifier();
}

std::optional<std::string> FLTReportsController::APIKey() {
  auto strong = delegate();
  return strong ? strong->APIKeyForReportsController(*this) : std::nullopt;
}

std::string FLTReportsController::appBundleIdentifier() {
  auto strong = delegate();
  return strong ? strong->bundleIdentifierForReportsController(*this) : std::string();
}

std::shared_ptr<const FLTSettings> FLTReportsController::settings() {
  std::shared_ptr<const FLTSettings> answer;
  if (auto strong = delegate()) answer = strong->settingsForReportsController(*this);
  if (!answer) answer = std::make_shared<const FLTSettings>(std::nullopt);
  return answer;
}

bool FLTReportsController::submissionEnabled() { return settings()->shouldSubmitReports(); }

bool FLTReportsController::packagingEnabled() { return settings()->shouldPackageReports(); }

}  // namespace vandrel::crash
