#include "crash/kit/trl_settings.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "crash/kit/trl_application_identity.h"
#include "crash/kit/trl_network_client.h"
#include "crash/kit/trl_network_response_handler.h"
#include "crash/kit/trl_url_builder.h"
#include "platform/file_io.h"

namespace vandrel::crash {
namespace {

KitError settingsError(std::int64_t code, std::string description) {
  return KitError{std::string(kTRLSettingsErrorDomain), code, std::move(description), {}, {}};
}

std::string errnoText(int error) { return std::strerror(error); }

struct ReadFile {
  std::string bytes;
  TRLFileIdentity identity;
};

// None when there is no file; an error for one that cannot be read whole.
platform::Result<std::optional<ReadFile>> readFile(const std::filesystem::path& path) {
  // A FIFO in the file's place would hold open() until some writer came.
  struct stat st {};
  platform::UniqueFd fd = platform::openRegularFile(path.c_str(), O_RDONLY, &st);
  if (!fd) {
    if (errno == ENOENT) return std::optional<ReadFile>();
    const std::string why = errno == EINVAL ? "not a regular file" : errnoText(errno);
    return platform::Error{std::string(kTRLSettingsErrorDomain), kTRLSettingsErrorUnreadableDownload,
                           path.string() + ": " + why};
  }
  ReadFile file;
  file.identity = {st.st_dev, st.st_ino};
  if (!platform::readAll(fd.get(), file.bytes, kTRLSettingsMaxBytes)) {
    return platform::Error{std::string(kTRLSettingsErrorDomain), kTRLSettingsErrorUnreadableDownload,
                           path.string() + ": " + errnoText(errno)};
  }
  return std::optional<ReadFile>(std::move(file));
}

// The settings a text holds: a JSON object, nothing else.
platform::Result<platform::Value::Dictionary> parseSettings(std::string_view text) {
  auto parsed = platform::Value::fromJson(text);
  if (!parsed.ok()) return parsed.error();
  const auto* dictionary = parsed.value().asDictionary();
  if (dictionary == nullptr) {
    return platform::Error{std::string(kTRLSettingsErrorDomain), kTRLSettingsErrorMalformedDownload,
                           "settings are not a JSON object"};
  }
  return *dictionary;
}

bool sameFile(const std::filesystem::path& path, TRLFileIdentity identity) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && TRLFileIdentity{st.st_dev, st.st_ino} == identity;
}

}  // namespace

std::string TRLErrorDescription(const KitError& error) {
  return "Error Domain=" + error.domain + " Code=" + std::to_string(error.code) + " \"" +
         error.localizedDescription + "\"";
}

TRLSettingsAppFacts TRLSettingsAppFacts::live() {
  TRLSettingsAppFacts facts;
  facts.bundleIdentifier = TRLBundleIdentifierNamespace();
  facts.buildVersion = TRLBundleBuildVersion();
  facts.displayVersion = TRLBundleDisplayVersion();
  facts.source = TRLInstallationSource();
  return facts;
}

bool TRLRemoveSettingsFileIfUnchanged(const std::filesystem::path& path, TRLFileIdentity identity) {
  // Moved aside first, so that what is deleted is exactly what was judged:
  // a newer file renamed into place meanwhile is put back, never deleted.
  static std::atomic<unsigned> counter{0};
  const std::filesystem::path aside =
      path.parent_path() / ("." + path.filename().string() + ".corrupt." +
                            std::to_string(::getpid()) + "." + std::to_string(counter++));
  if (::rename(path.c_str(), aside.c_str()) != 0) return errno == ENOENT;
  if (sameFile(aside, identity)) return ::unlink(aside.c_str()) == 0 || errno == ENOENT;
  // A newer file; it goes back unless a still newer one has arrived.
  if (::renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    ::unlink(aside.c_str());
  }
  return true;
}

// ---- TRLSettings ----------------------------------------------------------------

TRLSettings::TRLSettings(std::filesystem::path settingsPath, TRLSettingsAppFacts facts,
                         TRLSettingsLog log)
    : settingsPath_(std::move(settingsPath)), facts_(std::move(facts)), log_(std::move(log)) {}

void TRLSettings::log(std::string_view line) const {
  if (log_) log_(line);
}

std::optional<platform::Value::Dictionary> TRLSettings::settingsDictionary() {
  std::uint64_t generation = 0;
  {
    platform::MutexLock lock(mutex_);
    if (dictionary_) return dictionary_;
    generation = generation_;
  }
  auto file = readFile(settingsPath_);
  if (!file.ok()) {
    log("[Trellis] Could not load settings with error: " + file.error().message);
    return std::nullopt;
  }
  if (!file.value()) return std::nullopt;
  auto parsed = parseSettings(file.value()->bytes);
  if (!parsed.ok()) {
    log("[Trellis] Could not load settings with error: " + parsed.error().message);
    TRLRemoveSettingsFileIfUnchanged(settingsPath_, file.value()->identity);
    return std::nullopt;
  }
  platform::MutexLock lock(mutex_);
  if (generation == generation_) dictionary_ = parsed.value();
  return parsed.value();
}

void TRLSettings::clearSettingsDictionary() {
  platform::MutexLock lock(mutex_);
  dictionary_.reset();
  ++generation_;
}

std::optional<platform::Value::Dictionary> TRLSettings::appSettings() {
  auto settings = settingsDictionary();
  if (!settings) return std::nullopt;
  auto it = settings->find(std::string(kTRLSettingsAppKey));
  if (it == settings->end() || it->second.asDictionary() == nullptr) return std::nullopt;
  return *it->second.asDictionary();
}

std::optional<std::string> TRLSettings::appStatus() {
  auto app = appSettings();
  if (!app) return std::nullopt;
  auto it = app->find(std::string(kTRLSettingsAppStatusKey));
  if (it == app->end() || it->second.asString() == nullptr) return std::nullopt;
  return *it->second.asString();
}

bool TRLSettings::appNeedsOnboarding() { return appStatus() == kTRLSettingsAppStatusNew; }

bool TRLSettings::appUpdateRequired() {
  auto app = appSettings();
  if (!app) return false;
  auto it = app->find(std::string(kTRLSettingsAppUpdateRequiredKey));
  return it != app->end() && it->second.asBool().value_or(false);
}

std::optional<std::string> TRLSettings::settingsURLForEndpoint(
    std::string_view endpoint, const std::optional<std::string>& instance) const {
  TRLURLBuilder builder = TRLURLBuilder::URLWithBase(endpoint);
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent(appPlatform());
  builder.appendComponent("/apps/");
  builder.escapeAndAppendComponent(appBundleIdentifier());
  builder.appendComponent("/settings");
  builder.appendValue(appBuildVersion(), "build_version");
  builder.appendValue(appDisplayVersion(), "display_version");
  builder.appendValue(instance, "instance");
  builder.appendValue(static_cast<std::int64_t>(appSource()), "source");
  return builder.URL();
}

// ---- TRLDownloadAndSaveSettingsOperation ------------------------------------------

std::shared_ptr<TRLDownloadAndSaveSettingsOperation> TRLDownloadAndSaveSettingsOperation::initWithAPIKey(
    const std::optional<std::string>& apiKey, Parameters parameters) {
  return makeWithAPIKey<TRLDownloadAndSaveSettingsOperation>(apiKey, std::move(parameters));
}

TRLDownloadAndSaveSettingsOperation::TRLDownloadAndSaveSettingsOperation(std::string apiKey,
                                                                         Parameters parameters)
    : TRLNetworkOperation(std::move(apiKey)), parameters_(std::move(parameters)) {}

platform::HttpRequest TRLDownloadAndSaveSettingsOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
    const std::string& url) const {
  platform::HttpRequest request = TRLNetworkOperation::mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(url);
  request.method = "GET";
  const SystemFactsSource& facts = parameters_.systemFacts;
  auto set = [&request](std::string_view name, const std::optional<std::string>& value) {
    if (value) request.headers.set(std::string(name), *value);
  };
  set("Accept", "application/json");
  set(kTRLInstallationIDHeader, parameters_.installIdentifier);
  set(kTRLDeviceModelHeader, TRLHardwareModel(facts));
  set(kTRLOSBuildVersionHeader, TRLOSBuildVersion(facts));
  set(kTRLOSDisplayVersionHeader, TRLOSDisplayVersion(facts));
  set(kTRLAPIClientVersionHeader, std::string(kTRLSDKDisplayVersion));
  return request;
}

void TRLDownloadAndSaveSettingsOperation::main() {
  auto client = parameters_.networkClient.lock();
  if (!client) {
    finishDownload({}, KitError{std::string(kTRLNetworkErrorDomain), kTRLNetworkErrorNoTask,
                                "the network session has ended", {}, {}});
    return;
  }
  auto self = std::static_pointer_cast<TRLDownloadAndSaveSettingsOperation>(shared_from_this());
  client->startDownloadTaskWithRequest(
      mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(parameters_.settingsURL),
      kTRLSettingsDownloadRetryLimit,
      [self](const std::filesystem::path& location, const std::optional<FLTHTTPURLResponse>&,
             const std::optional<KitError>& error) { self->finishDownload(location, error); });
}

std::optional<KitError> TRLDownloadAndSaveSettingsOperation::error() const {
  platform::MutexLock lock(mutex_);
  return error_;
}

std::optional<KitError> TRLDownloadAndSaveSettingsOperation::save(
    const std::filesystem::path& location) const {
  auto file = readFile(location);
  if (!file.ok() || !file.value()) {
    return settingsError(kTRLSettingsErrorUnreadableDownload,
                         file.ok() ? "the downloaded file is missing" : file.error().message);
  }
  // A body that is not settings must not replace settings that are.
  auto parsed = parseSettings(file.value()->bytes);
  if (!parsed.ok()) {
    return settingsError(kTRLSettingsErrorMalformedDownload, parsed.error().message);
  }
  std::error_code ec;
  std::filesystem::create_directories(parameters_.settingsDirectoryPath, ec);
  if (ec) return settingsError(kTRLSettingsErrorSaveFailed, ec.message());
  if (!platform::replaceFileAtomically(parameters_.settingsFilePath.string(), file.value()->bytes, 0600)) {
    return settingsError(kTRLSettingsErrorSaveFailed,
                         parameters_.settingsFilePath.string() + ": " + errnoText(errno));
  }
  return std::nullopt;
}

void TRLDownloadAndSaveSettingsOperation::finishDownload(const std::filesystem::path& location,
                                                         const std::optional<KitError>& networkError) {
  std::optional<KitError> error = networkError;
  if (!error) {
    error = save(location);
    if (error && parameters_.log) {
      parameters_.log("[Trellis] Unable to complete settings download " + TRLErrorDescription(*error));
    }
  }
  {
    platform::MutexLock lock(mutex_);
    error_ = error;
  }
  if (auto delegate = parameters_.delegate.lock()) {
    delegate->operationDidDownloadAndSaveSettingsWithError(*this, error);
  }
  finishWithError(error);
}

}  // namespace vandrel::crash
