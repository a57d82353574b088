#pragma once

// The options an app of the configuration core is set up with. Values live
// in one dictionary keyed by the names of the options file
// "GryphonService-Info" (a JSON object in the bundle's Contents/Resources),
// so the file and the object share one vocabulary.
//
// Not thread-safe: fill an options object on one thread before an app is
// configured with it. Once an app owns it (editingLocked), every setter
// throws BCNException before changing anything.

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "analytics/core/bcn_app_facts.h"
#include "platform/value.h"

namespace vandrel::analytics {

inline constexpr std::string_view kBCNOptionsResourceName = "GryphonService-Info";
// The options file's type: our bundles keep it as JSON.
inline constexpr std::string_view kBCNOptionsResourceType = "json";

// Keys of the options dictionary.
inline constexpr std::string_view kBCNAPIKey = "API_KEY";
inline constexpr std::string_view kBCNClientID = "CLIENT_ID";
inline constexpr std::string_view kBCNTrackingID = "TRACKING_ID";
inline constexpr std::string_view kBCNGCMSenderID = "GCM_SENDER_ID";
inline constexpr std::string_view kBCNProjectID = "PROJECT_ID";
inline constexpr std::string_view kBCNAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr std::string_view kBCNGryphonAppID = "GRYPHON_APP_ID";
inline constexpr std::string_view kBCNDatabaseURL = "DATABASE_URL";
inline constexpr std::string_view kBCNStorageBucket = "STORAGE_BUCKET";
inline constexpr std::string_view kBCNBundleID = "BUNDLE_ID";
inline constexpr std::string_view kBCNIsAnalyticsEnabled = "IS_ANALYTICS_ENABLED";
inline constexpr std::string_view kBCNIsSignInEnabled = "IS_SIGNIN_ENABLED";

// Analytics keys: the main bundle's info dictionary first, then the options.
inline constexpr std::string_view kBCNIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr std::string_view kBCNAnalyticsCollectionEnabled =
    "BEACON_ANALYTICS_COLLECTION_ENABLED";
inline constexpr std::string_view kBCNAnalyticsCollectionDeactivated =
    "BEACON_ANALYTICS_COLLECTION_DEACTIVATED";

inline constexpr std::string_view kBCNCoreVersion = "6.9.1";

// A configuration error of the core: a named exception (name "com.beacon.core").
class BCNException : public std::logic_error {
 public:
  BCNException(std::string name, const std::string& reason)
      : std::logic_error(reason), name_(std::move(name)) {}
  const std::string& name() const { return name_; }
  std::string reason() const { return what(); }

 private:
  std::string name_;
};

inline constexpr std::string_view kBCNErrorDomain = "com.beacon.core";
inline constexpr std::string_view kBCNOptionsLockedReason =
    "Attempted to modify options after it's set on BCNApp. Please modify all properties before "
    "initializing BCNApp.";

class BCNOptions {
 public:
  using Dictionary = platform::Value::Dictionary;
  using OptionalString = std::optional<std::string>;

  // The options of "GryphonService-Info", built once until
  // resetDefaultOptions; null (and null until reset) when the file is
  // missing or not a dictionary.
  static std::shared_ptr<BCNOptions> defaultOptions();
  static std::shared_ptr<const Dictionary> defaultOptionsDictionary();
  // Path of resource `name` in the relevant bundles; logs I-COR000012 when
  // there is none.
  static std::optional<std::string> plistFilePathWithName(std::string_view name);
  // Not synchronised with concurrent readers.
  static void resetDefaultOptions();

  // Over a copy of `dictionary`; usingOptionsFromDefaultPlist true.
  static std::shared_ptr<BCNOptions> initInternalWithOptionsDictionary(const Dictionary& dictionary);
  // Null (with I-COR000013 / I-COR000014 logged) for no path or a file that
  // is not a JSON object.
  static std::shared_ptr<BCNOptions> initWithContentsOfFile(const std::optional<std::string>& path);
  // Bundle id: the main bundle's identifier (left out when empty).
  static std::shared_ptr<BCNOptions> initWithGryphonAppID(const OptionalString& gryphonAppID,
                                                          const OptionalString& GCMSenderID);

  // Shares the options dictionary with this object; no analytics cache.
  std::shared_ptr<BCNOptions> copy() const;

  OptionalString APIKey() const { return stringFor(kBCNAPIKey); }
  void setAPIKey(OptionalString value) { setString(kBCNAPIKey, std::move(value)); }
  OptionalString clientID() const { return stringFor(kBCNClientID); }
  void setClientID(OptionalString value) { setString(kBCNClientID, std::move(value)); }
  OptionalString trackingID() const { return stringFor(kBCNTrackingID); }
  void setTrackingID(OptionalString value) { setString(kBCNTrackingID, std::move(value)); }
  OptionalString GCMSenderID() const { return stringFor(kBCNGCMSenderID); }
  void setGCMSenderID(OptionalString value) { setString(kBCNGCMSenderID, std::move(value)); }
  OptionalString projectID() const { return stringFor(kBCNProjectID); }
  void setProjectID(OptionalString value) { setString(kBCNProjectID, std::move(value)); }
  OptionalString androidClientID() const { return stringFor(kBCNAndroidClientID); }
  void setAndroidClientID(OptionalString value) {
    setString(kBCNAndroidClientID, std::move(value));
  }
  OptionalString gryphonAppID() const { return stringFor(kBCNGryphonAppID); }
  void setGryphonAppID(OptionalString value) { setString(kBCNGryphonAppID, std::move(value)); }
  OptionalString databaseURL() const { return stringFor(kBCNDatabaseURL); }
  void setDatabaseURL(OptionalString value) { setString(kBCNDatabaseURL, std::move(value)); }
  OptionalString storageBucket() const { return stringFor(kBCNStorageBucket); }
  void setStorageBucket(OptionalString value) { setString(kBCNStorageBucket, std::move(value)); }
  OptionalString bundleID() const { return stringFor(kBCNBundleID); }
  void setBundleID(OptionalString value) { setString(kBCNBundleID, std::move(value)); }
  bool isAnalyticsEnabled() const { return boolFor(kBCNIsAnalyticsEnabled); }
  bool isSignInEnabled() const { return boolFor(kBCNIsSignInEnabled); }

  const OptionalString& deepLinkURLScheme() const { return deepLinkURLScheme_; }
  void setDeepLinkURLScheme(OptionalString value);
  const OptionalString& appGroupID() const { return appGroupID_; }
  void setAppGroupID(OptionalString value);

  bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
  void setUsingOptionsFromDefaultPlist(bool value) { usingOptionsFromDefaultPlist_ = value; }
  bool editingLocked() const { return editingLocked_; }
  void setEditingLocked(bool value) { editingLocked_ = value; }

  const Dictionary& optionsDictionary() const { return *optionsDictionary_; }

  // "60901000" for "6.9.1".
  static const std::string& libraryVersionID();

  bool isEqualToOptions(const BCNOptions& other) const;
  bool operator==(const BCNOptions& other) const { return isEqualToOptions(other); }
  std::size_t hash() const;

  // Computed on first use and kept for this object: later changes of the
  // options or of the info dictionary do not show.
  const Dictionary& analyticsOptionsDictionaryWithInfoDictionary(
      const Dictionary& infoDictionary) const;
  // With the main bundle's info dictionary.
  const Dictionary& analyticsOptionsDictionary() const;

  bool isAnalyticsCollectionDeactivated() const;
  // `facts` answers whether the default app is configured and its
  // data-collection default; the forms without ask BCNCurrentAppFacts().
  bool isMeasurementEnabled() const;
  bool isMeasurementEnabled(const BCNAppFacts& facts) const;
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionEnabled(const BCNAppFacts& facts) const;
  bool isAnalyticsCollectionExplicitlySet() const;

  // Throws BCNException when editing is locked.
  void checkEditingLocked() const;

  BCNOptions(std::shared_ptr<Dictionary> dictionary, bool usingOptionsFromDefaultPlist);

 private:
  OptionalString stringFor(std::string_view key) const;
  bool boolFor(std::string_view key) const;
  void setString(std::string_view key, OptionalString value);
  const platform::Value* analyticsValue(std::string_view key) const;

  mutable std::optional<Dictionary> analyticsOptionsCache_;
  bool usingOptionsFromDefaultPlist_ = false;
  bool editingLocked_ = false;
  OptionalString deepLinkURLScheme_;
  OptionalString appGroupID_;
  std::shared_ptr<Dictionary> optionsDictionary_;
};

}  // namespace vandrel::analytics
