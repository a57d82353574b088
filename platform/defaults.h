#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::platform {

// A typed key/value store kept in one JSON file per suite:
// $XDG_CONFIG_HOME/vandrel/<suite>.json (else ~/.config/vandrel/).
//
// Reads are type-exact: getInt on a string, a bool or a double is absent,
// getBool on an int is absent, a string "1" is not an int. Types survive
// the file: an int stays an int, 5.0 stays a double, bytes and dates keep
// their type. Keys are any strings ("/" and ":" included).
//
// Persistence: every change (set of a value the key does not hold already,
// remove of a present key, removeAll) is written to the file before the
// call returns, by an atomic replace (temp
// file in the same directory, then rename), so a crash of the process loses
// nothing. `synchronize` additionally flushes the file and its directory to
// the disk (fsync), so the state survives a power loss too, and retries a
// write that failed. A failed write keeps the change in memory.
//
// The file is read once, when the store is made. A file that is not a JSON
// object of our values reads as empty (with a line on stderr) and stays
// untouched until the first change; that change first moves it aside to
// "<file>.corrupt" so its content is not lost.
//
// Thread-safe: any method from any thread. File writes happen on the thread
// of the call that made the change, outside the lock; concurrent writers
// coalesce into one write of the latest state.
class Defaults {
 public:
  // The standard suite: the main bundle's identifier, else
  // "com.vandrel.mac.offline".
  static Defaults& standard();
  // The store of suite `name` (for example the app group). The file's
  // location is worked out on every call, from the environment of that
  // moment; one instance per file lives for the process.
  static Defaults& suite(std::string_view name);
  // Where `suite(name)` keeps its file. "/" in `name` becomes "_".
  static std::filesystem::path pathForSuite(std::string_view name);

  // A store on `file` (tests, or a store of one's own).
  explicit Defaults(std::filesystem::path file);
  ~Defaults();
  Defaults(const Defaults&) = delete;
  Defaults& operator=(const Defaults&) = delete;

  const std::filesystem::path& path() const { return path_; }

  std::optional<Value> object(std::string_view key) const;
  std::optional<bool> getBool(std::string_view key) const;
  std::optional<std::int64_t> getInt(std::string_view key) const;
  std::optional<double> getDouble(std::string_view key) const;
  std::optional<std::string> getString(std::string_view key) const;
  std::optional<Value::Data> getData(std::string_view key) const;
  std::optional<Date> getDate(std::string_view key) const;
  std::optional<Value::Array> getArray(std::string_view key) const;
  std::optional<Value::Dictionary> getDictionary(std::string_view key) const;

  // Each returns whether the new state reached the file. A null Value is
  // stored as null (object() returns it; the typed getters are absent).
  bool set(std::string_view key, Value value);
  bool remove(std::string_view key);
  bool removeAll();

  Value::Dictionary dictionaryRepresentation() const;

  // True once every change so far is on the disk (fsync'ed). Nothing to
  // write gives true and leaves the file alone.
  bool synchronize();

 private:
  // Applies `mutate` (which answers whether it changed anything) and writes
  // the result; `always` counts the call as a change regardless.
  bool change(const std::function<bool(Value::Dictionary&)>& mutate, bool always);
  // Waits until `version` reached the file (the disk when `durable`),
  // writing it itself when no other thread is writing.
  bool persist(MutexLock& lock, std::uint64_t version, bool durable) VANDREL_REQUIRES(mutex_);
  void runWriter(MutexLock& lock) VANDREL_REQUIRES(mutex_);
  bool writeFile(const std::string& text, bool durable, bool moveCorruptAside) const;

  const std::filesystem::path path_;
  mutable Mutex mutex_;
  std::condition_variable written_;
  Value::Dictionary values_ VANDREL_GUARDED_BY(mutex_);
  // Every change bumps `version_`; the other counters say which version
  // reached the file, reached the disk, or failed to be written.
  std::uint64_t version_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::uint64_t writtenVersion_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::uint64_t syncedVersion_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::uint64_t failedVersion_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::uint64_t failures_ VANDREL_GUARDED_BY(mutex_) = 0;
  bool writing_ VANDREL_GUARDED_BY(mutex_) = false;
  bool wantDurable_ VANDREL_GUARDED_BY(mutex_) = false;
  bool corruptOnDisk_ VANDREL_GUARDED_BY(mutex_) = false;
};

}  // namespace vandrel::platform
