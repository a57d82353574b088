#include "analytics/core/bcn_diagnostics_connector.h"

#include <map>
#include <mutex>
#include <utility>

#include "analytics/core/bcn_options.h"
#include "platform/sync.h"

namespace vandrel::analytics {
namespace {

struct SenderRegistry {
  platform::Mutex mutex;
  std::map<std::string, BCNCoreDiagnosticsSender, std::less<>> senders VANDREL_GUARDED_BY(mutex);
};

SenderRegistry& registry() {
  static SenderRegistry* r = new SenderRegistry();
  return *r;
}

std::once_flag gLookUpOnce;
std::optional<BCNCoreDiagnosticsSender>* gSender = nullptr;  // set once by initialize()

platform::Value optionalString(const std::optional<std::string>& value) {
  return value ? platform::Value(*value) : platform::Value();
}

}  // namespace

BCNDiagnosticsData::BCNDiagnosticsData(BCNAppFactsProvider facts) : facts_(std::move(facts)) {}

void BCNDiagnosticsData::insertValue(platform::Value value, std::optional<std::string_view> key) {
  if (!key) return;
  if (value.isNull()) {
    if (auto it = diagnosticObjects_.find(std::string(*key)); it != diagnosticObjects_.end()) {
      diagnosticObjects_.erase(it);
    }
    return;
  }
  diagnosticObjects_[std::string(*key)] = std::move(value);
}

const platform::Value::Dictionary& BCNDiagnosticsData::diagnosticObjects() {
  const BCNAppFacts facts = facts_ ? facts_() : BCNCurrentAppFacts();
  diagnosticObjects_.try_emplace(std::string(kBCNCDllAppsCountKey),
                                 static_cast<std::int64_t>(facts.allAppsCount));
  diagnosticObjects_.try_emplace(std::string(kBCNCDIsDataCollectionDefaultEnabledKey),
                                 facts.defaultAppDataCollectionDefaultEnabled);
  diagnosticObjects_.try_emplace(std::string(kBCNCDBeaconUserAgentKey), facts.beaconUserAgent);
  return diagnosticObjects_;
}

void BCNRegisterCoreDiagnosticsSender(std::string name, BCNCoreDiagnosticsSender sender) {
  SenderRegistry& r = registry();
  platform::MutexLock lock(r.mutex);
  r.senders[std::move(name)] = std::move(sender);
}

std::optional<BCNCoreDiagnosticsSender> BCNLookUpCoreDiagnosticsSender(std::string_view name) {
  SenderRegistry& r = registry();
  platform::MutexLock lock(r.mutex);
  const auto it = r.senders.find(name);
  if (it == r.senders.end() || !it->second) return std::nullopt;
  return it->second;
}

void BCNCoreDiagnosticsConnector::initialize() {
  std::call_once(gLookUpOnce, [] {
    gSender = new std::optional<BCNCoreDiagnosticsSender>(
        BCNLookUpCoreDiagnosticsSender(kBCNCoreDiagnosticsClassName));
  });
}

void BCNCoreDiagnosticsConnector::logCoreTelemetryWithOptions(const BCNOptions& options) {
  initialize();
  BCNCoreDiagnosticsConnector(*gSender).logCoreTelemetry(options);
}

BCNCoreDiagnosticsConnector::BCNCoreDiagnosticsConnector(
    std::optional<BCNCoreDiagnosticsSender> sender, BCNAppFactsProvider facts)
    : sender_(std::move(sender)), facts_(std::move(facts)) {}

void BCNCoreDiagnosticsConnector::logCoreTelemetry(const BCNOptions& options) const {
  if (!sender_ || !*sender_) return;
  const BCNAppFacts facts = facts_ ? facts_() : BCNCurrentAppFacts();
  auto data = std::make_shared<BCNDiagnosticsData>(facts_);
  data->insertValue(true, kBCNCDIsDataCollectionDefaultEnabledKey);
  data->insertValue(facts.beaconUserAgent, kBCNCDBeaconUserAgentKey);
  data->insertValue(1, kBCNCDConfigurationTypeKey);
  data->insertValue(optionalString(options.gryphonAppID()), kBCNCDGryphonAppIDKey);
  data->insertValue(optionalString(options.bundleID()), kBCNCDBundleIDKey);
  data->insertValue(options.usingOptionsFromDefaultPlist(), kBCNCDUsingOptionsFromDefaultPlistKey);
  data->insertValue(BCNOptions::libraryVersionID(), kBCNCDLibraryVersionIDKey);
  (*sender_)(std::move(data));
}

}  // namespace vandrel::analytics
