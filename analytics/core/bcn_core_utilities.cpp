#include "analytics/core/bcn_core_utilities.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "analytics/core/bcn_gru_app_environment.h"
#include "platform/bundle.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"

namespace vandrel::analytics {

// ---- BCNHeartbeatInfo

bool BCNHeartbeatInfo::updateIfNeededHeartbeatDateForTag(std::string_view tag) {
  return shared().updateIfNeeded(tag);
}

std::int64_t BCNHeartbeatInfo::heartbeatCodeForTag(std::string_view tag) {
  return shared().heartbeatCode(tag);
}

BCNHeartbeatInfo& BCNHeartbeatInfo::shared() {
  static BCNHeartbeatInfo* info = new BCNHeartbeatInfo(
      std::make_shared<GRUHeartbeatDateStorage>(kBCNHeartbeatStorageFileName),
      platform::SystemClock::shared());
  return *info;
}

BCNHeartbeatInfo::BCNHeartbeatInfo(std::shared_ptr<GRUHeartbeatDateStorage> storage,
                                   platform::Clock& clock)
    : storage_(std::move(storage)), clock_(clock) {}

bool BCNHeartbeatInfo::updateIfNeeded(std::string_view tag) {
  bool updated = false;
  queue_.sync([&] {
    const platform::WallTime now = clock_.wallNow();
    if (const auto last = storage_->heartbeatDateForTag(tag)) {
      const double elapsed = std::chrono::duration<double>(now - *last).count();
      // A date in the future was written under a wrong clock; waiting for it
      // would silence the heartbeat until then.
      if (elapsed >= 0 && elapsed < kBCNHeartbeatInterval) return;
    }
    updated = storage_->setHearbeatDate(now, tag);
  });
  return updated;
}

std::int64_t BCNHeartbeatInfo::heartbeatCode(std::string_view tag) {
  const bool tagUpdated = updateIfNeeded(tag);
  const bool globalUpdated = updateIfNeeded(kBCNHeartbeatGlobalTag);
  return (tagUpdated ? 1 : 0) + (globalUpdated ? 2 : 0);
}

// ---- BCNAnalyticsConfiguration, BCNConfiguration

BCNAnalyticsConfiguration& BCNAnalyticsConfiguration::sharedInstance() {
  static BCNAnalyticsConfiguration* configuration = new BCNAnalyticsConfiguration(
      platform::Defaults::standard(), platform::NotificationCenter::shared());
  return *configuration;
}

BCNAnalyticsConfiguration::BCNAnalyticsConfiguration(platform::Defaults& defaults,
                                                     platform::NotificationCenter& center)
    : defaults_(defaults), center_(center) {}

void BCNAnalyticsConfiguration::postNotificationName(std::string_view name,
                                                     const platform::Value& value) {
  if (name.empty() || value.isNull()) return;
  center_.post(std::string(name), this, platform::Value::Dictionary{{std::string(name), value}});
}

void BCNAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled) {
  setAnalyticsCollectionEnabled(enabled, true);
}

void BCNAnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
  if (persistSetting) {
    (void)defaults_.set(kBCNAPersistedConfigMeasurementEnabledStateKey,
                        enabled ? kBCNAnalyticsEnabledStateSetYes : kBCNAnalyticsEnabledStateSetNo);
    (void)defaults_.synchronize();
  }
  postNotificationName(kBCNAnalyticsConfigurationSetEnabledNotification, enabled);
}

BCNConfiguration& BCNConfiguration::sharedInstance() {
  static BCNConfiguration* configuration =
      new BCNConfiguration(BCNAnalyticsConfiguration::sharedInstance());
  return *configuration;
}

BCNConfiguration::BCNConfiguration(BCNAnalyticsConfiguration& analyticsConfiguration)
    : analyticsConfiguration_(analyticsConfiguration) {}

void BCNConfiguration::setLoggerLevel(BCNLoggerLevel level) { BCNCoreSetLoggerLevel(level); }

// ---- BCNBundleUtil

namespace {

// The bundle of the executable this code is linked into, made once.
const platform::Bundle& codeBundle() {
  static const platform::Bundle* bundle = [] {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return new platform::Bundle(ec ? platform::Bundle::main().bundlePath()
                                   : platform::Bundle::bundlePathForExecutable(exe));
  }();
  return *bundle;
}

}  // namespace

std::vector<const platform::Bundle*> BCNBundleUtil::relevantBundles() {
  const platform::Bundle& main = platform::Bundle::main();
  std::vector<const platform::Bundle*> bundles{&main};
  // Statically linked, the code usually lives in the main bundle itself.
  const platform::Bundle& code = codeBundle();
  if (code.bundlePath() != main.bundlePath()) bundles.push_back(&code);
  return bundles;
}

std::optional<std::string> BCNBundleUtil::optionsDictionaryPathWithResourceName(
    std::string_view resourceName, std::string_view fileType,
    const std::vector<const platform::Bundle*>& bundles) {
  for (const platform::Bundle* bundle : bundles) {
    if (bundle == nullptr) continue;
    if (auto path = bundle->pathForResource(resourceName, fileType)) return path->string();
  }
  return std::nullopt;
}

std::vector<std::string> BCNBundleUtil::relevantURLSchemes() {
  return urlSchemesOfBundles(relevantBundles());
}

std::vector<std::string> BCNBundleUtil::urlSchemesOfBundles(
    const std::vector<const platform::Bundle*>& bundles) {
  std::vector<std::string> schemes;
  for (const platform::Bundle* bundle : bundles) {
    if (bundle == nullptr) continue;
    const auto types = bundle->infoDictionary().find("CFBundleURLTypes");
    if (types == bundle->infoDictionary().end() || types->second.asArray() == nullptr) continue;
    for (const platform::Value& entry : *types->second.asArray()) {
      const platform::Value* list = entry.find("CFBundleURLSchemes");
      if (list == nullptr || list->asArray() == nullptr) continue;
      for (const platform::Value& scheme : *list->asArray()) {
        if (const std::string* text = scheme.asString()) schemes.push_back(*text);
      }
    }
  }
  return schemes;
}

bool BCNBundleUtil::hasBundleIdentifierPrefix(std::string_view prefix,
                                              const std::vector<const platform::Bundle*>& bundles) {
  return hasBundleIdentifierPrefix(prefix, bundles, GRUAppEnvironmentUtil::isAppExtension());
}

bool BCNBundleUtil::hasBundleIdentifierPrefix(std::string_view prefix,
                                              const std::vector<const platform::Bundle*>& bundles,
                                              bool isAppExtension) {
  for (const platform::Bundle* bundle : bundles) {
    if (bundle == nullptr) continue;
    const std::string identifier = bundle->bundleIdentifier();
    if (identifier.empty()) continue;
    if (identifier == prefix) return true;
    if (isAppExtension && bundleIdentifierByRemovingLastPartFrom(identifier) == prefix) return true;
  }
  return false;
}

std::string BCNBundleUtil::bundleIdentifierByRemovingLastPartFrom(std::string_view identifier) {
  const std::size_t lastDot = identifier.rfind('.');
  if (lastDot == std::string_view::npos) return {};
  return std::string(identifier.substr(0, lastDot));
}

}  // namespace vandrel::analytics
