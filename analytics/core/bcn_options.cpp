#include "analytics/core/bcn_options.h"

#include <fcntl.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <utility>

#include "analytics/core/bcn_core_utilities.h"
#include "analytics/core/bcn_logger.h"
#include "platform/bundle.h"
#include "platform/file_io.h"
#include "platform/sync.h"

namespace vandrel::analytics {
namespace {

using Dictionary = BCNOptions::Dictionary;

// An options file is a few hundred bytes; anything far bigger is not one.
constexpr std::size_t kMaxOptionsFileBytes = 4 << 20;

// The dictionary stored at `path`; none when unreadable, malformed or not an
// object.
std::optional<Dictionary> readDictionaryFile(const std::string& path) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  if (!platform::readAll(fd.get(), text, kMaxOptionsFileBytes)) return std::nullopt;
  auto value = platform::Value::fromJson(text);
  if (!value.ok()) return std::nullopt;
  if (Dictionary* dictionary = value.value().asDictionary()) return std::move(*dictionary);
  return std::nullopt;
}

// The truth of a stored switch: a boolean, a non-zero number, or a string
// that reads as yes ("YES", "true", "1", ...), as option files write them.
bool truthOf(const platform::Value& value) {
  if (auto b = value.asBool()) return *b;
  if (auto n = value.asNumber()) return *n != 0;
  if (const std::string* text = value.asString()) {
    const std::size_t start = text->find_first_not_of(" \t\n");
    if (start == std::string::npos) return false;
    const char c = (*text)[start];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
  }
  return false;
}

bool isNumber(const platform::Value& value) {
  return value.type() == platform::Value::Type::Bool || value.asNumber().has_value();
}

// The process-wide defaults. `resetDefaultOptions` swaps in a fresh set, so
// each set's once-guards run at most once.
struct DefaultStatics {
  std::once_flag dictionaryOnce;
  std::shared_ptr<const Dictionary> dictionary;
  std::once_flag optionsOnce;
  std::shared_ptr<BCNOptions> options;
};

struct DefaultStaticsSlot {
  platform::Mutex mutex;
  std::shared_ptr<DefaultStatics> current VANDREL_GUARDED_BY(mutex) =
      std::make_shared<DefaultStatics>();
};

DefaultStaticsSlot& staticsSlot() {
  static DefaultStaticsSlot* slot = new DefaultStaticsSlot();
  return *slot;
}

std::shared_ptr<DefaultStatics> currentStatics() {
  DefaultStaticsSlot& slot = staticsSlot();
  platform::MutexLock lock(slot.mutex);
  return slot.current;
}

std::string makeLibraryVersionID(std::string_view version) {
  std::string parts[3];
  int index = 0;
  for (const char c : version) {
    if (c == '.') {
      if (++index == 3) break;
    } else {
      parts[index] += c;
    }
  }
  auto twoDigits = [](const std::string& part) {
    return part.size() >= 2 ? part : std::string(2 - part.size(), '0') + part;
  };
  return (parts[0].empty() ? "0" : parts[0]) + twoDigits(parts[1]) + twoDigits(parts[2]) + "000";
}

}  // namespace

// ---- Defaults

std::shared_ptr<const Dictionary> BCNOptions::defaultOptionsDictionary() {
  const auto statics = currentStatics();
  std::call_once(statics->dictionaryOnce, [&] {
    const auto path = plistFilePathWithName(kBCNOptionsResourceName);
    if (!path) return;
    auto dictionary = readDictionaryFile(*path);
    if (!dictionary) {
      BCNCoreLogError(kBCNLoggerCore, kBCNLogCoreConfigFileNotDictionary,
                      "The configuration file is not a dictionary: '%s.%s'.",
                      std::string(kBCNOptionsResourceName).c_str(),
                      std::string(kBCNOptionsResourceType).c_str());
      return;
    }
    statics->dictionary = std::make_shared<const Dictionary>(std::move(*dictionary));
  });
  return statics->dictionary;
}

std::shared_ptr<BCNOptions> BCNOptions::defaultOptions() {
  const auto statics = currentStatics();
  std::call_once(statics->optionsOnce, [&] {
    if (const auto dictionary = defaultOptionsDictionary()) {
      statics->options = initInternalWithOptionsDictionary(*dictionary);
    }
  });
  return statics->options;
}

std::optional<std::string> BCNOptions::plistFilePathWithName(std::string_view name) {
  auto path = BCNBundleUtil::optionsDictionaryPathWithResourceName(
      name, kBCNOptionsResourceType, BCNBundleUtil::relevantBundles());
  if (!path) {
    BCNCoreLogError(kBCNLoggerCore, kBCNLogCoreConfigFileNotFound,
                    "Could not locate configuration file: '%s.%s'.", std::string(name).c_str(),
                    std::string(kBCNOptionsResourceType).c_str());
  }
  return path;
}

void BCNOptions::resetDefaultOptions() {
  auto fresh = std::make_shared<DefaultStatics>();
  DefaultStaticsSlot& slot = staticsSlot();
  platform::MutexLock lock(slot.mutex);
  slot.current.swap(fresh);
}

// ---- Making options

BCNOptions::BCNOptions(std::shared_ptr<Dictionary> dictionary, bool usingOptionsFromDefaultPlist)
    : usingOptionsFromDefaultPlist_(usingOptionsFromDefaultPlist),
      optionsDictionary_(dictionary ? std::move(dictionary) : std::make_shared<Dictionary>()) {}

std::shared_ptr<BCNOptions> BCNOptions::initInternalWithOptionsDictionary(
    const Dictionary& dictionary) {
  return std::make_shared<BCNOptions>(std::make_shared<Dictionary>(dictionary), true);
}

std::shared_ptr<BCNOptions> BCNOptions::initWithContentsOfFile(
    const std::optional<std::string>& path) {
  if (!path) {
    BCNCoreLogError(kBCNLoggerCore, kBCNLogCorePlistPathNil, "The plist file path is nil.");
    return nullptr;
  }
  auto dictionary = readDictionaryFile(*path);
  if (!dictionary) {
    BCNCoreLogError(kBCNLoggerCore, kBCNLogCorePlistFileMalformed,
                    "The configuration file at %s does not exist or is not a well-formed plist "
                    "file.",
                    path->c_str());
    return nullptr;
  }
  return std::make_shared<BCNOptions>(std::make_shared<Dictionary>(std::move(*dictionary)), false);
}

std::shared_ptr<BCNOptions> BCNOptions::initWithGryphonAppID(const OptionalString& gryphonAppID,
                                                             const OptionalString& GCMSenderID) {
  auto dictionary = std::make_shared<Dictionary>();
  if (gryphonAppID) (*dictionary)[std::string(kBCNGryphonAppID)] = *gryphonAppID;
  if (GCMSenderID) (*dictionary)[std::string(kBCNGCMSenderID)] = *GCMSenderID;
  const std::string bundleID = platform::Bundle::main().bundleIdentifier();
  if (!bundleID.empty()) (*dictionary)[std::string(kBCNBundleID)] = bundleID;
  return std::make_shared<BCNOptions>(std::move(dictionary), false);
}

std::shared_ptr<BCNOptions> BCNOptions::copy() const {
  auto copy = std::make_shared<BCNOptions>(optionsDictionary_, usingOptionsFromDefaultPlist_);
  copy->deepLinkURLScheme_ = deepLinkURLScheme_;
  copy->appGroupID_ = appGroupID_;
  copy->editingLocked_ = editingLocked_;
  return copy;
}

// ---- Accessors

BCNOptions::OptionalString BCNOptions::stringFor(std::string_view key) const {
  const auto it = optionsDictionary_->find(std::string(key));
  if (it == optionsDictionary_->end()) return std::nullopt;
  if (const std::string* text = it->second.asString()) return *text;
  return std::nullopt;
}

bool BCNOptions::boolFor(std::string_view key) const {
  const auto it = optionsDictionary_->find(std::string(key));
  return it != optionsDictionary_->end() && truthOf(it->second);
}

void BCNOptions::setString(std::string_view key, OptionalString value) {
  checkEditingLocked();
  if (value) {
    (*optionsDictionary_)[std::string(key)] = std::move(*value);
  } else {
    optionsDictionary_->erase(std::string(key));
  }
}

void BCNOptions::setDeepLinkURLScheme(OptionalString value) {
  checkEditingLocked();
  deepLinkURLScheme_ = std::move(value);
}

void BCNOptions::setAppGroupID(OptionalString value) {
  checkEditingLocked();
  appGroupID_ = std::move(value);
}

void BCNOptions::checkEditingLocked() const {
  if (editingLocked_) {
    throw BCNException(std::string(kBCNErrorDomain), std::string(kBCNOptionsLockedReason));
  }
}

const std::string& BCNOptions::libraryVersionID() {
  static const std::string* id = new std::string(makeLibraryVersionID(kBCNCoreVersion));
  return *id;
}

// ---- Equality

bool BCNOptions::isEqualToOptions(const BCNOptions& other) const {
  return *optionsDictionary_ == *other.optionsDictionary_ &&
         deepLinkURLScheme_ == other.deepLinkURLScheme_ && appGroupID_ == other.appGroupID_ &&
         analyticsOptionsDictionary() == other.analyticsOptionsDictionary();
}

std::size_t BCNOptions::hash() const {
  const std::hash<std::string> hashString;
  std::size_t h = hashString(platform::Value(*optionsDictionary_).toJson());
  if (deepLinkURLScheme_) h ^= hashString(*deepLinkURLScheme_);
  if (appGroupID_) h ^= hashString(*appGroupID_);
  return h;
}

// ---- Analytics

const Dictionary& BCNOptions::analyticsOptionsDictionaryWithInfoDictionary(
    const Dictionary& infoDictionary) const {
  if (analyticsOptionsCache_) return *analyticsOptionsCache_;
  Dictionary analytics;
  for (const std::string_view key :
       {kBCNIsMeasurementEnabled, kBCNAnalyticsCollectionEnabled,
        kBCNAnalyticsCollectionDeactivated}) {
    const std::string name(key);
    if (auto it = infoDictionary.find(name); it != infoDictionary.end() && !it->second.isNull()) {
      analytics[name] = it->second;
    } else if (auto own = optionsDictionary_->find(name);
               own != optionsDictionary_->end() && !own->second.isNull()) {
      analytics[name] = own->second;
    }
  }
  analyticsOptionsCache_ = std::move(analytics);
  return *analyticsOptionsCache_;
}

const Dictionary& BCNOptions::analyticsOptionsDictionary() const {
  return analyticsOptionsDictionaryWithInfoDictionary(platform::Bundle::main().infoDictionary());
}

const platform::Value* BCNOptions::analyticsValue(std::string_view key) const {
  const Dictionary& analytics = analyticsOptionsDictionary();
  const auto it = analytics.find(std::string(key));
  return it == analytics.end() ? nullptr : &it->second;
}

bool BCNOptions::isAnalyticsCollectionDeactivated() const {
  const platform::Value* value = analyticsValue(kBCNAnalyticsCollectionDeactivated);
  return value != nullptr && truthOf(*value);
}

bool BCNOptions::isMeasurementEnabled() const { return isMeasurementEnabled(BCNCurrentAppFacts()); }

bool BCNOptions::isMeasurementEnabled(const BCNAppFacts& facts) const {
  if (isAnalyticsCollectionDeactivated()) return false;
  if (const platform::Value* value = analyticsValue(kBCNIsMeasurementEnabled)) {
    return truthOf(*value);
  }
  return facts.isDefaultAppConfigured && facts.defaultAppDataCollectionDefaultEnabled;
}

bool BCNOptions::isAnalyticsCollectionEnabled() const {
  return isAnalyticsCollectionEnabled(BCNCurrentAppFacts());
}

bool BCNOptions::isAnalyticsCollectionEnabled(const BCNAppFacts& facts) const {
  if (isAnalyticsCollectionDeactivated()) return false;
  if (const platform::Value* value = analyticsValue(kBCNAnalyticsCollectionEnabled)) {
    return truthOf(*value);
  }
  return isMeasurementEnabled(facts);
}

bool BCNOptions::isAnalyticsCollectionExplicitlySet() const {
  if (isAnalyticsCollectionDeactivated()) return true;
  for (const std::string_view key : {kBCNAnalyticsCollectionEnabled, kBCNIsMeasurementEnabled}) {
    if (const platform::Value* value = analyticsValue(key); value != nullptr && isNumber(*value)) {
      return true;
    }
  }
  return false;
}

}  // namespace vandrel::analytics
