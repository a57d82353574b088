#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::platform {
class Defaults;
}

namespace vandrel::crash {

// Keys the kit keeps in its own defaults.
inline constexpr std::string_view kTRLInstallationUUIDKey = "com.faultline.iuuid";
inline constexpr std::string_view kTRLDataCollectionKey = "com.faultline.data_collection";

inline constexpr std::string_view kTRLUserDefaultsFolderName = "com.faultline";
inline constexpr std::string_view kTRLUserDefaultsFileName = "FLTUserDefaults.plist";
inline constexpr std::string_view kTRLUserDefaultsIOQueueLabel = "com.faultline.FLTUserDefaults.io";

// The kit's own key/value store: one file of its own under Application
// Support/<bundle identifier>/com.faultline/FLTUserDefaults.plist, so the
// kit's few persistent values do not mix with the application's defaults.
// The file keeps the name it has always had; its content is a JSON object of
// the stored keys (values keep their type through it).
//
// Values live in memory and reach the file only through `synchronize`. The
// file is read once, when the store is made.
//
// Never loses what is on disk:
// - every write replaces the file atomically (temporary file in the same
//   folder, flushed, then renamed over it), so a crash mid-write leaves the
//   old or the new content, never a mix;
// - a file that cannot be read as a JSON object reads as an empty store and
//   is kept, moved aside to "FLTUserDefaults.plist.corrupt" right before the
//   first write replaces it;
// - a write that fails leaves the values in memory and unpersisted, so the
//   next `synchronize` tries again;
// - concurrent `synchronize` calls write one after the other, each the
//   latest values of its moment, so an older state never replaces a newer one.
//
// Thread-safe: any method from any thread. The dictionaries are guarded by
// one mutex (data only); file access runs on the serial queue
// "com.faultline.FLTUserDefaults.io", entered synchronously.
class TRLFLTUserDefaults {
 public:
  // The process's shared store: Application Support of the user (XDG data
  // home) and the main bundle's identifier. Made once, on first use.
  static TRLFLTUserDefaults& standardUserDefaults();

  // A store under `baseURL` (the Application Support folder) for the
  // application `hostAppBundleIdentifier` (empty: none).
  TRLFLTUserDefaults(const std::filesystem::path& baseURL, std::string_view hostAppBundleIdentifier);
  ~TRLFLTUserDefaults();
  // One store per file: a copy would be the same object.
  TRLFLTUserDefaults(const TRLFLTUserDefaults&) = delete;
  TRLFLTUserDefaults& operator=(const TRLFLTUserDefaults&) = delete;

  // base/<identifier with "/" as "_">/com.faultline; the identifier level is
  // skipped when the identifier is empty.
  static std::filesystem::path generateDirectoryURLForBaseURL(const std::filesystem::path& baseURL,
                                                              std::string_view hostAppBundleIdentifier);
  // The main bundle's identifier with every "/" replaced by "_".
  static std::string getEscapedAppBundleIdentifier();

  const std::filesystem::path& directoryURL() const { return directoryURL_; }
  const std::filesystem::path& fileURL() const { return fileURL_; }

  // Reads. A Null value stands for "no object".
  platform::Value objectForKey(std::string_view key) const;
  // The value when it is a string.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // A number's truth (bools, ints and doubles count as numbers); else false.
  bool boolForKey(std::string_view key) const;
  // A number's integer value (true is 1, doubles truncate); else 0.
  std::int64_t integerForKey(std::string_view key) const;
  platform::Value::Dictionary dictionaryRepresentation() const;

  // Writes, in memory until `synchronize`. A Null object removes the key.
  void setObject(platform::Value object, std::string_view key);
  void setString(std::string_view value, std::string_view key);
  void setBool(bool value, std::string_view key);
  void setInteger(std::int64_t value, std::string_view key);
  void removeObjectForKey(std::string_view key);
  void removeAllObjects();

  // Writes the values to the file when they differ from what the file
  // holds. True when the file holds them afterwards (also when there was
  // nothing to write); false when the write failed (logged).
  bool synchronize();
  // Whether the last `synchronize` found changes and wrote them.
  bool synchronizeWroteToDisk() const { return synchronizeWroteToDisk_.load(); }

  // Copies each of `keys` that `source` (the platform's standard defaults
  // by default) holds. When one was copied and the copy reached the file,
  // removes all of `keys` from `source`; otherwise `source` stays untouched.
  void migrateFromNSUserDefaults(const std::vector<std::string>& keys);
  void migrateFromNSUserDefaults(const std::vector<std::string>& keys, platform::Defaults& source);

  // The own value of `key`; else takes the value over from `source` (set
  // here, synchronised, then removed from `source` once on disk) and
  // returns it; else Null.
  platform::Value objectForKeyByMigratingFromNSUserDefaults(std::string_view key);
  platform::Value objectForKeyByMigratingFromNSUserDefaults(std::string_view key,
                                                            platform::Defaults& source);

 private:
  // Runs on the I/O queue. Null when there is no usable file.
  std::optional<platform::Value::Dictionary> loadDefaults();
  // Runs on the I/O queue.
  bool writeFile(const platform::Value::Dictionary& values);

  const std::filesystem::path directoryURL_;
  const std::filesystem::path fileURL_;
  platform::SerialQueue synchronizationQueue_;
  // Set on the I/O queue only: the file held unreadable content at init
  // and has not been moved aside yet.
  bool corruptFileOnDisk_ = false;

  mutable platform::Mutex mutex_;
  // What the file holds, as far as this store knows.
  platform::Value::Dictionary persistedDataDictionary_ VANDREL_GUARDED_BY(mutex_);
  platform::Value::Dictionary dataDictionary_ VANDREL_GUARDED_BY(mutex_);
  std::atomic<bool> synchronizeWroteToDisk_{false};
};

}  // namespace vandrel::crash
