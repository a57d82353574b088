#pragma once

// What opens every event-log file: the metadata record of the application,
// the device and the launch (`TLYMetadata`), and the common shape any
// metadata record has for the writer (`TLYMetadataRecord`).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crash/kit/trl_system_facts.h"
#include "platform/value.h"

namespace vandrel::crash {
class Trellis;
}
namespace vandrel::platform {
class Bundle;
}

namespace vandrel::analytics {

inline constexpr std::string_view kTLYMetadataEventName = "metadata";
inline constexpr std::string_view kTLYMetadataGenerator = "Tally Mac SDK/1.4.1";
inline constexpr std::string_view kTLYMetadataPlatform = "Mac";

// Keys of the metadata dictionary.
inline constexpr std::string_view kTLYMetadataGeneratorKey = "generator";
inline constexpr std::string_view kTLYMetadataAPIKeyKey = "api_key";
inline constexpr std::string_view kTLYMetadataSessionIdKey = "session_id";
inline constexpr std::string_view kTLYMetadataStartedAtKey = "started_at";
inline constexpr std::string_view kTLYMetadataBetaTesterTokenKey = "beta_tester_token";
inline constexpr std::string_view kTLYMetadataInstallIdKey = "install_id";
inline constexpr std::string_view kTLYMetadataModelKey = "model";
inline constexpr std::string_view kTLYMetadataMachineKey = "machine";
inline constexpr std::string_view kTLYMetadataLocaleKey = "locale";
inline constexpr std::string_view kTLYMetadataOSBuildKey = "os_build";
inline constexpr std::string_view kTLYMetadataOSVersionKey = "os_version";
inline constexpr std::string_view kTLYMetadataPlatformKey = "platform";
inline constexpr std::string_view kTLYMetadataPlatformCodeKey = "platform_code";
inline constexpr std::string_view kTLYMetadataCoresKey = "cores";
inline constexpr std::string_view kTLYMetadataJailbrokenKey = "jailbroken";
inline constexpr std::string_view kTLYMetadataBundleIdKey = "bundle_id";
inline constexpr std::string_view kTLYMetadataBundleVersionKey = "bundle_version";
inline constexpr std::string_view kTLYMetadataBundleShortVersionKey = "bundle_short_version";
inline constexpr std::string_view kTLYMetadataInstanceIdKey = "instance_id";

// The dictionary as compact JSON (one line, control characters escaped,
// UTF-8 as is). None when JSON cannot say it: a NaN or an infinity, bytes,
// a date, or a string that is not valid UTF-8.
std::optional<std::string> TLYCompactJSONFromDictionary(const platform::Value::Dictionary& dictionary);

// Anything that can stand as the metadata line of a log file.
class TLYMetadataRecord {
 public:
  virtual ~TLYMetadataRecord() = default;
  virtual std::string eventName() const { return std::string(kTLYMetadataEventName); }
  // `startTime` in whole seconds since 1970. None: no line can be made.
  virtual std::optional<platform::Value::Dictionary> dictionaryRepresentationWithStartTime(
      std::uint64_t startTime) const = 0;
};

// Every fact of a metadata record; an absent one is left out of the
// dictionary.
struct TLYMetadataFields {
  std::optional<std::string> APIKey;
  std::optional<std::string> betaToken;  // already unwrapped: the tester token itself
  std::optional<std::string> buildVersion;
  std::optional<std::string> bundleIdentifier;  // with "/" already replaced by "_"
  std::optional<std::string> displayVersion;
  std::optional<std::string> executionIdentifier;
  std::optional<std::string> hostModel;
  std::optional<std::string> installationId;
  std::optional<std::string> instanceIdentifier;
  std::optional<std::string> locale;
  std::uint32_t numberOfCores = 0;
  std::optional<std::string> OSBuildVersion;
  std::optional<std::string> OSDisplayVersion;
  std::string platform = std::string(kTLYMetadataPlatform);
};

// Immutable once made; any thread.
class TLYMetadata final : public TLYMetadataRecord {
 public:
  // Captures every fact now: the registry's API key, identifiers and
  // instance, the host's model, OS build and version, locale and cores,
  // the bundle's identifier ("/" replaced by "_") and versions; the beta
  // tester token from `betaToken` (the start-up token).
  static TLYMetadata initWithTrellis(crash::Trellis& trellis, const std::optional<std::string>& betaToken);
  static TLYMetadata initWithTrellis(crash::Trellis& trellis, const std::optional<std::string>& betaToken,
                                     const platform::Bundle& bundle,
                                     const crash::SystemFactsSource& systemFacts);

  explicit TLYMetadata(TLYMetadataFields fields) : fields_(std::move(fields)) {}

  // "2:<value>" gives <value>; any other token (none, no ":", more than one
  // ":", another version) gives none.
  static std::optional<std::string> betaTesterTokenFromStartupToken(
      const std::optional<std::string>& startupToken);

  const TLYMetadataFields& fields() const { return fields_; }
  const std::optional<std::string>& APIKey() const { return fields_.APIKey; }
  const std::optional<std::string>& betaToken() const { return fields_.betaToken; }
  const std::optional<std::string>& installationId() const { return fields_.installationId; }
  const std::optional<std::string>& executionIdentifier() const { return fields_.executionIdentifier; }
  bool isJailbroken() const { return false; }
  std::uint32_t platformCode() const { return 0; }

  // Always a dictionary: the table of keys, "started_at" = `startTime`.
  std::optional<platform::Value::Dictionary> dictionaryRepresentationWithStartTime(
      std::uint64_t startTime) const override;

 private:
  TLYMetadataFields fields_;
};

}  // namespace vandrel::analytics
