#pragma once

// The downloaded settings of the kits: "settings.json" in the caches folder,
// the view that reads it (`TRLSettings`) and the operation that downloads
// and saves it (`TRLDownloadAndSaveSettingsOperation`).
//
// The file on disk is only ever replaced whole (a temporary file renamed
// over it), so a reader sees the old settings or the new ones. A download
// whose body is not a JSON object, or that cannot be saved, leaves the
// settings already on disk in place. A cached file that does not read as a
// JSON object is deleted on first read, unless a newer file has replaced it
// meanwhile.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crash/kit/trl_network_operation.h"
#include "crash/kit/trl_system_facts.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::crash {

class TRLNetworkClient;

inline constexpr std::string_view kTRLSettingsFileName = "settings.json";
inline constexpr std::string_view kTRLSettingsAvailableNotification =
    "TRLSettingsAvailableNotification";

// Sections and keys read here.
inline constexpr std::string_view kTRLSettingsAppKey = "app";
inline constexpr std::string_view kTRLSettingsAppStatusKey = "status";
inline constexpr std::string_view kTRLSettingsAppStatusNew = "new";
inline constexpr std::string_view kTRLSettingsAppUpdateRequiredKey = "update_required";

// Request headers of the settings download.
inline constexpr std::string_view kTRLInstallationIDHeader = "X-Faultline-Installation-ID";
inline constexpr std::string_view kTRLDeviceModelHeader = "X-Faultline-Device-Model";
inline constexpr std::string_view kTRLOSBuildVersionHeader = "X-Faultline-OS-Build-Version";
inline constexpr std::string_view kTRLOSDisplayVersionHeader = "X-Faultline-OS-Display-Version";
inline constexpr std::string_view kTRLAPIClientVersionHeader = "X-Faultline-API-Client-Version";
inline constexpr unsigned kTRLSettingsDownloadRetryLimit = 1;

// Errors of saving a download (the network's own come as "TRLNetworkError").
inline constexpr std::string_view kTRLSettingsErrorDomain = "TRLSettingsErrorDomain";
inline constexpr std::int64_t kTRLSettingsErrorUnreadableDownload = -1;
inline constexpr std::int64_t kTRLSettingsErrorMalformedDownload = -2;
inline constexpr std::int64_t kTRLSettingsErrorSaveFailed = -3;
// Settings are small; a larger body is refused rather than read whole.
inline constexpr std::size_t kTRLSettingsMaxBytes = 8 * 1024 * 1024;

using TRLSettingsLog = std::function<void(std::string_view line)>;

// An error as the log lines print it: Error Domain=D Code=C "description".
std::string TRLErrorDescription(const KitError& error);

// The application facts the settings request carries.
struct TRLSettingsAppFacts {
  // The bundle identifier with "/" replaced by "_".
  std::string bundleIdentifier;
  std::optional<std::string> buildVersion;
  std::optional<std::string> displayVersion;
  int source = 1;

  // From the main bundle.
  static TRLSettingsAppFacts live();
};

// Which file a read saw: a corrupt file is deleted only while it is still
// that file.
struct TRLFileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const TRLFileIdentity&) const = default;
};
// Deletes `path` when it is still the file `identity` names; a newer file
// that replaced it stays. True when the old file is gone (deleted now or
// before).
bool TRLRemoveSettingsFileIfUnchanged(const std::filesystem::path& path, TRLFileIdentity identity);

// Thread-safe: any thread may read; the parsed dictionary is cached under
// the object's lock (data only), the file is read outside it.
class TRLSettings {
 public:
  TRLSettings(std::filesystem::path settingsPath, TRLSettingsAppFacts facts, TRLSettingsLog log = {});

  const std::filesystem::path& settingsPath() const { return settingsPath_; }

  // The parsed file, cached until `clearSettingsDictionary`. None while no
  // file is there (read again on the next call) and for a file that is not
  // a JSON object (logged and deleted).
  std::optional<platform::Value::Dictionary> settingsDictionary();
  void clearSettingsDictionary();

  // "app" when it is a dictionary.
  std::optional<platform::Value::Dictionary> appSettings();
  // Its "status" when a string.
  std::optional<std::string> appStatus();
  bool appNeedsOnboarding();
  // Its "update_required" when a boolean; false otherwise.
  bool appUpdateRequired();

  // endpoint/spi/v2/platforms/mac/apps/<identifier>/settings?build_version=
  // &display_version=&instance=&source= (a missing value drops its
  // parameter); none when that is no valid URL.
  std::optional<std::string> settingsURLForEndpoint(std::string_view endpoint,
                                                    const std::optional<std::string>& instance) const;

  std::string appPlatform() const { return std::string(kTRLPlatform); }
  const std::string& appBundleIdentifier() const { return facts_.bundleIdentifier; }
  const std::optional<std::string>& appBuildVersion() const { return facts_.buildVersion; }
  const std::optional<std::string>& appDisplayVersion() const { return facts_.displayVersion; }
  int appSource() const { return facts_.source; }

 private:
  void log(std::string_view line) const;

  const std::filesystem::path settingsPath_;
  const TRLSettingsAppFacts facts_;
  const TRLSettingsLog log_;
  mutable platform::Mutex mutex_;
  std::optional<platform::Value::Dictionary> dictionary_ VANDREL_GUARDED_BY(mutex_);
  // Bumped by every clear, so a read that began before it cannot cache the
  // file it replaced.
  std::uint64_t generation_ VANDREL_GUARDED_BY(mutex_) = 0;
};

class TRLDownloadAndSaveSettingsOperation;

// Called on the network client's delegate queue.
class TRLDownloadAndSaveSettingsOperationDelegate {
 public:
  virtual ~TRLDownloadAndSaveSettingsOperationDelegate() = default;
  virtual void operationDidDownloadAndSaveSettingsWithError(
      TRLDownloadAndSaveSettingsOperation& operation, const std::optional<KitError>& error) = 0;
};

// Downloads the settings once (retry limit 1) and saves the body as the
// settings file. Started directly, not queued.
class TRLDownloadAndSaveSettingsOperation : public TRLNetworkOperation {
 public:
  struct Parameters {
    std::weak_ptr<TRLDownloadAndSaveSettingsOperationDelegate> delegate;
    std::string settingsURL;
    std::filesystem::path settingsDirectoryPath;
    std::filesystem::path settingsFilePath;
    std::string installIdentifier;
    std::weak_ptr<TRLNetworkClient> networkClient;
    SystemFactsSource systemFacts;
    TRLSettingsLog log;
  };

  // None for an unusable API key.
  static std::shared_ptr<TRLDownloadAndSaveSettingsOperation> initWithAPIKey(
      const std::optional<std::string>& apiKey, Parameters parameters);

  TRLDownloadAndSaveSettingsOperation(std::string apiKey, Parameters parameters);

  std::string_view className() const override { return "TRLDownloadAndSaveSettingsOperation"; }

  // The common request, then GET, "Accept" and the installation and system
  // headers in their fixed order.
  platform::HttpRequest mutableRequestWithDefaultHTTPHeaderFieldsAndTimeoutForURL(
      const std::string& url) const override;
  void main() override;

  const std::string& settingsURL() const { return parameters_.settingsURL; }
  std::optional<KitError> error() const;

 private:
  void finishDownload(const std::filesystem::path& location, const std::optional<KitError>& error);
  // Checks the body and replaces the settings file with it.
  std::optional<KitError> save(const std::filesystem::path& location) const;

  const Parameters parameters_;
  mutable platform::Mutex mutex_;
  std::optional<KitError> error_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::crash
