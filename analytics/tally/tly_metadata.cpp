#include "analytics/tally/tly_metadata.h"

#include <unistd.h>

#include <cmath>
#include <thread>

#include "crash/kit/trellis.h"
#include "crash/kit/trl_application_identity.h"
#include "platform/bundle.h"
#include "platform/json.h"

namespace vandrel::analytics {
namespace {

bool toJson(const platform::Value& value, nlohmann::json& out) {
  using Type = platform::Value::Type;
  switch (value.type()) {
    case Type::Null: out = nullptr; return true;
    case Type::Bool: out = *value.asBool(); return true;
    case Type::Int: out = *value.asInt(); return true;
    case Type::Double: {
      const double d = *value.asDouble();
      if (!std::isfinite(d)) return false;
      out = d;
      return true;
    }
    case Type::String: out = *value.asString(); return true;
    case Type::Array: {
      out = nlohmann::json::array();
      for (const platform::Value& element : *value.asArray()) {
        nlohmann::json j;
        if (!toJson(element, j)) return false;
        out.push_back(std::move(j));
      }
      return true;
    }
    case Type::Dictionary: {
      out = nlohmann::json::object();
      for (const auto& [key, element] : *value.asDictionary()) {
        nlohmann::json j;
        if (!toJson(element, j)) return false;
        out[key] = std::move(j);
      }
      return true;
    }
    case Type::Data:
    case Type::Date: return false;
  }
  return false;
}

}  // namespace

std::optional<std::string> TLYCompactJSONFromDictionary(const platform::Value::Dictionary& dictionary) {
  nlohmann::json json;
  if (!toJson(platform::Value(dictionary), json)) return std::nullopt;
  try {
    // Strict: a key or string that is not UTF-8 fails instead of being
    // rewritten, so the payload never says something else than the event.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> TLYMetadata::betaTesterTokenFromStartupToken(
    const std::optional<std::string>& startupToken) {
  if (!startupToken) return std::nullopt;
  const std::string& token = *startupToken;
  const std::size_t colon = token.find(':');
  if (colon == std::string::npos || token.find(':', colon + 1) != std::string::npos) return std::nullopt;
  if (token.substr(0, colon) != "2") return std::nullopt;
  return token.substr(colon + 1);
}

TLYMetadata TLYMetadata::initWithTrellis(crash::Trellis& trellis, const std::optional<std::string>& betaToken) {
  return initWithTrellis(trellis, betaToken, platform::Bundle::main(), crash::SystemFactsSource::live());
}

TLYMetadata TLYMetadata::initWithTrellis(crash::Trellis& trellis, const std::optional<std::string>& betaToken,
                                         const platform::Bundle& bundle,
                                         const crash::SystemFactsSource& systemFacts) {
  TLYMetadataFields f;
  f.APIKey = trellis.APIKey();
  f.betaToken = betaTesterTokenFromStartupToken(betaToken);
  f.buildVersion = crash::TRLBundleBuildVersion(bundle);
  if (std::string identifier = crash::TRLBundleIdentifierNamespace(bundle); !identifier.empty()) {
    f.bundleIdentifier = std::move(identifier);
  }
  f.displayVersion = crash::TRLBundleDisplayVersion(bundle);
  f.executionIdentifier = trellis.executionIdentifier();
  f.hostModel = crash::TRLHardwareModel(systemFacts);
  f.installationId = trellis.installID();
  f.instanceIdentifier = trellis.instanceIdentifier();
  f.locale = crash::TRLLocaleIdentifier();
  const long cores = ::sysconf(_SC_NPROCESSORS_CONF);
  f.numberOfCores = cores > 0 ? static_cast<std::uint32_t>(cores) : std::thread::hardware_concurrency();
  f.OSBuildVersion = crash::TRLOSBuildVersion(systemFacts);
  f.OSDisplayVersion = crash::TRLOSDisplayVersion(systemFacts);
  return TLYMetadata(std::move(f));
}

std::optional<platform::Value::Dictionary> TLYMetadata::dictionaryRepresentationWithStartTime(
    std::uint64_t startTime) const {
  platform::Value::Dictionary d;
  auto put = [&d](std::string_view key, const std::optional<std::string>& value) {
    if (value) d[std::string(key)] = *value;
  };
  d[std::string(kTLYMetadataGeneratorKey)] = std::string(kTLYMetadataGenerator);
  put(kTLYMetadataAPIKeyKey, fields_.APIKey);
  put(kTLYMetadataSessionIdKey, fields_.executionIdentifier);
  // Start times are far below 2^63 seconds; the value keeps its JSON form.
  d[std::string(kTLYMetadataStartedAtKey)] = static_cast<std::int64_t>(startTime);
  put(kTLYMetadataBetaTesterTokenKey, fields_.betaToken);
  put(kTLYMetadataInstallIdKey, fields_.installationId);
  put(kTLYMetadataModelKey, fields_.hostModel);
  put(kTLYMetadataMachineKey, fields_.hostModel);
  put(kTLYMetadataLocaleKey, fields_.locale);
  put(kTLYMetadataOSBuildKey, fields_.OSBuildVersion);
  put(kTLYMetadataOSVersionKey, fields_.OSDisplayVersion);
  d[std::string(kTLYMetadataPlatformKey)] = fields_.platform;
  d[std::string(kTLYMetadataPlatformCodeKey)] = platformCode();
  d[std::string(kTLYMetadataCoresKey)] = fields_.numberOfCores;
  d[std::string(kTLYMetadataJailbrokenKey)] = isJailbroken();
  put(kTLYMetadataBundleIdKey, fields_.bundleIdentifier);
  put(kTLYMetadataBundleVersionKey, fields_.buildVersion);
  put(kTLYMetadataBundleShortVersionKey, fields_.displayVersion);
  put(kTLYMetadataInstanceIdKey, fields_.instanceIdentifier);
  return d;
}

}  // namespace vandrel::analytics
