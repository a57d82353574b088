#include "analytics/core/bcn_core_diagnostics.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "analytics/core/bcn_diagnostics_connector.h"
#include "analytics/core/bcn_gru_app_environment.h"
#include "analytics/core/bcn_gru_heartbeat_date_storage.h"
#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_transport.h"
#include "platform/check.h"
#include "platform/dispatch.h"

namespace vandrel::analytics {

namespace {

using platform::Value;

// The SDK names the server knows, with their codes.
const std::map<std::string_view, std::uint32_t>& sdkCodes() {
  static const auto* const codes = new std::map<std::string_view, std::uint32_t>{
      {"AdKit", 2},
      {"Storage", 16},
      {"Messaging", 17},
      {"MLVisionOnDeviceAutoML", 34},
      {"Measurement", 18},
      {"MLVisionOnDeviceFace", 26},
      {"RemoteConfig", 19},
      {"MLVisionOnDeviceBarcode", 27},
      {"Database", 15},
      {"MLVisionOnDeviceText", 28},
      {"DynamicLinks", 20},
      {"MLVisionOnDeviceLabel", 29},
      {"Auth", 14},
      {"MLVisionOnDeviceObjectDetection", 35},
      {"AuthUI", 22},
      {"MLModelInterpreter", 30},
      {"Docstore", 23},
      {"Analytics", 9},
      {"Functions", 32},
      {"SignIn", 5},
      {"Performance", 24},
      {"InAppMessaging", 31},
  };
  return *codes;
}

// A library counts as installed when every one of its classes exists.
struct Probe {
  std::vector<std::string_view> classes;
  std::string_view sdkName;
};

const std::vector<Probe>& installedLibraryProbes() {
  static const auto* const probes = new std::vector<Probe>{
      {{"GADBannerView"}, "AdKit"},
      {{"BCNMessaging"}, "Messaging"},
      {{"BCNRemoteConfig"}, "RemoteConfig"},
      {{"BCNAnalytics"}, "Measurement"},
      {{"BCNVisionOnDeviceAutoMLImageLabelerOptions"}, "MLVisionOnDeviceAutoML"},
      {{"BCNVisionFaceDetector", "GMVFaceDetector"}, "MLVisionOnDeviceFace"},
      {{"BCNVisionBarcodeDetector", "GMVBarcodeDetector"}, "MLVisionOnDeviceBarcode"},
      {{"BCNVisionTextDetector", "GMVTextDetector"}, "MLVisionOnDeviceText"},
      {{"BCNVisionLabelDetector", "GMVLabelDetector"}, "MLVisionOnDeviceLabel"},
      {{"BCNVisionObjectDetector"}, "MLVisionOnDeviceObjectDetection"},
      {{"BCNCustomModelInterpreter"}, "MLModelInterpreter"},
      {{"BCNDatabase"}, "Database"},
      {{"BCNDynamicLinks"}, "DynamicLinks"},
      {{"BCNAuth"}, "Auth"},
      {{"FUIAuth"}, "AuthUI"},
      {{"BCNDocstore"}, "Docstore"},
      {{"BCNFunctions"}, "Functions"},
      {{"BCNPerformance"}, "Performance"},
      {{"BCNStorage"}, "Storage"},
      {{"GIDSignIn", "GGLContext"}, "SignIn"},
      {{"GAI", "GGLContext"}, "Analytics"},
      {{"BCNInAppMessaging"}, "InAppMessaging"},
  };
  return *probes;
}

// System images: their paths hold one of these.
constexpr std::array<std::string_view, 3> kSystemImageMarkers = {"System/Library",
                                                                 "Developer/Library", "usr/lib"};

const Value* find(const Value::Dictionary& dictionary, std::string_view key) {
  const auto it = dictionary.find(std::string(key));
  return it == dictionary.end() ? nullptr : &it->second;
}

// A number's truth, as a number object gives it: bools as they are, other
// numbers true when not zero. None for anything else.
std::optional<bool> numberBool(const Value* value) {
  if (value == nullptr) return std::nullopt;
  if (auto b = value->asBool()) return b;
  if (auto n = value->asNumber()) return *n != 0;
  return std::nullopt;
}

// An integral number; a double is cut toward zero. None for anything else.
std::optional<std::int64_t> numberInt(const Value* value) {
  if (value == nullptr) return std::nullopt;
  if (auto i = value->asInt()) return i;
  if (auto d = value->asDouble()) {
    if (*d >= -9.2e18 && *d <= 9.2e18) return static_cast<std::int64_t>(*d);
  }
  return std::nullopt;
}

const std::string* stringValue(const Value* value) {
  return value == nullptr ? nullptr : value->asString();
}

// A newly allocated byte string for pb_release to free; null (the field is
// left out) for text longer than the library's length field holds.
pb_bytes_array_t* bytesFrom(std::string_view text) {
  if (text.size() > std::numeric_limits<pb_size_t>::max()) {
    EVTCORLogDebug("Diagnostics value of %zu bytes left out: too long", text.size());
    return nullptr;
  }
  auto* bytes =
      static_cast<pb_bytes_array_t*>(std::malloc(PB_BYTES_ARRAY_T_ALLOCSIZE(text.size())));
  if (bytes == nullptr) return nullptr;
  bytes->size = static_cast<pb_size_t>(text.size());
  if (!text.empty()) std::memcpy(bytes->bytes, text.data(), text.size());
  return bytes;
}

void setBytes(pb_bytes_array_t*& field, std::string_view text) {
  std::free(field);
  field = bytesFrom(text);
}

void fillFromDictionary(bcndiag_CoreDiagnostics& config, const Value::Dictionary& diagnostics) {
  if (auto type = numberInt(find(diagnostics, kBCNCDConfigurationTypeKey));
      type && (*type == 1 || *type == 2)) {
    config.has_configurationType = true;
    config.configurationType = static_cast<std::uint32_t>(*type);
  }
  if (const auto* name = stringValue(find(diagnostics, kBCNCDSdkNameKey))) {
    config.has_sdkName = true;
    config.sdkName = BCNCoreDiagnosticsSdkCode(*name);
  }
  if (const auto* version = stringValue(find(diagnostics, kBCNCDSdkVersionKey))) {
    setBytes(config.sdkVersion, *version);
  }
}

void fillAppCount(bcndiag_CoreDiagnostics& config, const Value::Dictionary& diagnostics) {
  config.has_appCount = true;
  const auto count = numberInt(find(diagnostics, kBCNCDllAppsCountKey));
  if (!count) {
    EVTCORConsoleLogf(kBCNCoreDiagnosticsMCAppCountMissing, EVTCORLoggerLevel::Error, "%s",
                      "App count is a required value in the data dict.");
    config.appCount = 0;
    return;
  }
  config.appCount = static_cast<std::int32_t>(
      std::clamp<std::int64_t>(*count, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
}

void setNonEmptyBytes(pb_bytes_array_t*& field, const std::string* text) {
  if (text != nullptr && !text->empty()) setBytes(field, *text);
}

}  // namespace

std::uint32_t BCNCoreDiagnosticsSdkCode(std::string_view sdkName) {
  const auto& codes = sdkCodes();
  const auto it = codes.find(sdkName);
  return it == codes.end() ? 0 : it->second;
}

// ---- BCNCoreDiagnosticsLog ----------------------------------------------------

BCNCoreDiagnosticsLog::BCNCoreDiagnosticsLog(bcndiag_CoreDiagnostics config) : config_(config) {}

BCNCoreDiagnosticsLog::~BCNCoreDiagnosticsLog() {
  pb_release(bcndiag_CoreDiagnostics_fields, &config_);
}

void BCNCoreDiagnosticsLog::setConfig(bcndiag_CoreDiagnostics config) {
  pb_release(bcndiag_CoreDiagnostics_fields, &config_);
  config_ = config;
}

std::string BCNCoreDiagnosticsLog::transportBytes() const {
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, bcndiag_CoreDiagnostics_fields, &config_)) {
    const char* why = PB_GET_ERROR(&sizing);
    EVTCORConsoleLogf(kBCNCoreDiagnosticsMCEncoderError, EVTCORLoggerLevel::Error,
                      "Error in nanopb encoding for size: %s", why != nullptr ? why : "(none)");
  }
  std::string bytes(sizing.bytes_written, '\0');
  pb_ostream_t stream =
      pb_ostream_from_buffer(reinterpret_cast<pb_byte_t*>(bytes.data()), bytes.size());
  if (!pb_encode(&stream, bcndiag_CoreDiagnostics_fields, &config_)) {
    const char* why = PB_GET_ERROR(&stream);
    EVTCORConsoleLogf(kBCNCoreDiagnosticsMCEncoderError, EVTCORLoggerLevel::Error,
                      "Error in nanopb encoding for bytes: %s", why != nullptr ? why : "(none)");
  }
  bytes.resize(stream.bytes_written);
  return bytes;
}

// ---- BCNCoreDiagnostics -------------------------------------------------------

BCNCoreDiagnostics& BCNCoreDiagnostics::sharedInstance() {
  static BCNCoreDiagnostics* const instance = new BCNCoreDiagnostics(
      EVTCORTransport::create(std::string(kBCNCoreDiagnosticsMappingID), {},
                              kBCNCoreDiagnosticsTarget),
      std::make_shared<GRUHeartbeatDateStorage>(kBCNCoreDiagnosticsHeartbeatFileName));
  return *instance;
}

void BCNCoreDiagnostics::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    BCNRegisterCoreDiagnosticsSender(
        std::string(kBCNCoreDiagnosticsClassName),
        [](std::shared_ptr<BCNCoreDiagnosticsData> data) {
          sharedInstance().sendDiagnosticsData(std::move(data));
        });
  });
}

BCNCoreDiagnostics::BCNCoreDiagnostics(std::unique_ptr<EVTCORTransport> transport,
                                       std::shared_ptr<GRUHeartbeatDateStorage> heartbeatDateStorage,
                                       const platform::Clock& clock,
                                       BCNDiagnosticsEnvironment environment)
    : transport_(std::move(transport)),
      heartbeatDateStorage_(std::move(heartbeatDateStorage)),
      clock_(clock),
      environment_(std::move(environment)),
      diagnosticsQueue_(
          std::make_unique<platform::SerialQueue>(std::string(kBCNCoreDiagnosticsQueueLabel))) {
  VANDREL_CHECK(transport_ != nullptr, "BCNCoreDiagnostics needs a transport");
  VANDREL_CHECK(heartbeatDateStorage_ != nullptr, "BCNCoreDiagnostics needs a heartbeat storage");
}

BCNCoreDiagnostics::~BCNCoreDiagnostics() {
  // Queued sends use this object.
  diagnosticsQueue_->sync([] {});
}

const std::string& BCNCoreDiagnostics::deviceModel() {
  static const std::string* const model = new std::string(GRUAppEnvironmentUtil::deviceModel());
  return *model;
}

void BCNCoreDiagnostics::sendDiagnosticsData(std::shared_ptr<BCNCoreDiagnosticsData> data) {
  if (data == nullptr) return;
  diagnosticsQueue_->async([this, data = std::move(data)] { send(data->diagnosticObjects()); });
}

void BCNCoreDiagnostics::send(const Value::Dictionary& diagnostics) {
  diagnosticsQueue_->assertCurrent("BCNCoreDiagnostics::send");
  if (numberBool(find(diagnostics, kBCNCDIsDataCollectionDefaultEnabledKey)) == false) return;

  bcndiag_CoreDiagnostics config = buildConfig(diagnostics);
  setHeartbeatFlagIfNeededToConfig(config);

  auto log = std::make_shared<BCNCoreDiagnosticsLog>(config);
  std::optional<EVTCOREvent> event = transport_->eventForTransport();
  if (!event) return;
  event->setDataObject(std::move(log));
  transport_->sendTelemetryEvent(*event);
}

bcndiag_CoreDiagnostics BCNCoreDiagnostics::buildConfig(const Value::Dictionary& diagnostics) const {
  bcndiag_CoreDiagnostics config = bcndiag_CoreDiagnostics_init_zero;
  config.has_fixedTrueFlag = true;
  config.fixedTrueFlag = true;

  fillFromDictionary(config, diagnostics);

  config.has_clientType = true;
  config.clientType = 2;
  fillAppCount(config, diagnostics);
  setNonEmptyBytes(config.gryphonAppId, stringValue(find(diagnostics, kBCNCDGryphonAppIDKey)));
  setNonEmptyBytes(config.bundleId, stringValue(find(diagnostics, kBCNCDBundleIDKey)));
  setNonEmptyBytes(config.userAgent, stringValue(find(diagnostics, kBCNCDBeaconUserAgentKey)));
  if (auto fromDefault = numberBool(find(diagnostics, kBCNCDUsingOptionsFromDefaultPlistKey))) {
    config.has_usingOptionsFromDefaultPlist = true;
    config.usingOptionsFromDefaultPlist = *fromDefault;
  }
  if (const auto* version = stringValue(find(diagnostics, kBCNCDLibraryVersionIDKey))) {
    setBytes(config.libraryVersionId, *version);
  }
  const std::string model = environment_.deviceModel();
  setNonEmptyBytes(config.deviceModel, &model);
  const std::string osVersion = environment_.osVersion();
  setNonEmptyBytes(config.osVersion, &osVersion);
  config.has_fixedFalseFlag = true;
  config.fixedFalseFlag = false;
  config.has_fixedOneCode = true;
  config.fixedOneCode = 1;
  config.has_isFromAppStore = true;
  config.isFromAppStore = environment_.isFromAppStore();

  std::vector<std::uint32_t> installed;
  for (const auto& probe : installedLibraryProbes()) {
    if (std::all_of(probe.classes.begin(), probe.classes.end(),
                    [&](std::string_view name) { return environment_.classExists(name); })) {
      installed.push_back(BCNCoreDiagnosticsSdkCode(probe.sdkName));
    }
  }
  if (!installed.empty()) {
    config.installedSdks =
        static_cast<std::uint32_t*>(std::malloc(installed.size() * sizeof(std::uint32_t)));
    if (config.installedSdks != nullptr) {
      std::copy(installed.begin(), installed.end(), config.installedSdks);
      config.installedSdks_count = static_cast<pb_size_t>(installed.size());
    }
  }

  std::int64_t frameworks = 0;
  for (const auto& path : environment_.loadedImagePaths()) {
    if (std::none_of(kSystemImageMarkers.begin(), kSystemImageMarkers.end(),
                     [&](std::string_view marker) { return path.find(marker) != std::string::npos; })) {
      ++frameworks;
    }
  }
  config.has_dynamicFrameworkCount = true;
  config.dynamicFrameworkCount = static_cast<std::int32_t>(
      std::min<std::int64_t>(frameworks - 1, std::numeric_limits<std::int32_t>::max()));

  const Value::Dictionary info = environment_.mainInfoDictionary();
  const auto* xcodeBuild = stringValue(find(info, "DTXcodeBuild"));
  const auto* sdkBuild = stringValue(find(info, "DTSDKBuild"));
  setBytes(config.buildToolchain, (xcodeBuild != nullptr ? *xcodeBuild : std::string()) + "-" +
                                      (sdkBuild != nullptr ? *sdkBuild : std::string()));
  if (const auto* minimum = stringValue(find(info, "MinimumOSVersion"))) {
    setBytes(config.minimumOsVersion, *minimum);
  }
  config.has_appDelegateProxyEnabled = true;
  config.appDelegateProxyEnabled =
      numberBool(find(info, "BeaconAppDelegateProxyEnabled")).value_or(true);
  return config;
}

void BCNCoreDiagnostics::setHeartbeatFlagIfNeededToConfig(bcndiag_CoreDiagnostics& config) {
  const platform::WallTime now = clock_.wallNow();
  const auto stored = heartbeatDateStorage_->heartbeatDateForTag(kBCNCoreDiagnosticsHeartbeatTag);
  // A stored date on a later day (the clock was set back since) holds the
  // heartbeat until the clock has passed that date's day; it is kept, not
  // overwritten, meanwhile.
  if (stored && isDateInSameDayOrBeforeThan(now, *stored)) return;
  if (!heartbeatDateStorage_->setHearbeatDate(now, kBCNCoreDiagnosticsHeartbeatTag)) {
    EVTCORLogDebug("The core diagnostics heartbeat date could not be stored");
  }
  config.has_sdkName = true;
  config.sdkName = kBCNCoreDiagnosticsHeartbeatCode;
}

bool BCNCoreDiagnostics::isDateInSameDayOrBeforeThan(platform::WallTime date,
                                                     platform::WallTime reference) const {
  return environment_.calendarDay(date) == environment_.calendarDay(reference) || date < reference;
}

}  // namespace vandrel::analytics
