#include "crash/kit/trl_flt_user_defaults.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/bundle.h"
#include "platform/defaults.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace vandrel::crash {
namespace {

using platform::MutexLock;
using platform::Result;
using platform::Value;

// The store holds a handful of short values; a file far beyond this is not
// one of ours and is treated as unreadable (and kept).
constexpr std::size_t kMaxFileSize = 16 * 1024 * 1024;

void logLine(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

std::string errnoText(int error) { return std::strerror(error); }

std::optional<double> numberOf(const Value& value) {
  if (auto b = value.asBool()) return *b ? 1.0 : 0.0;
  return value.asNumber();
}

bool syncDirectory(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// A name beside `file` that no earlier unreadable file already took.
std::filesystem::path corruptAsidePath(const std::filesystem::path& file) {
  std::filesystem::path aside = file.string() + ".corrupt";
  std::error_code error;
  for (int n = 1; std::filesystem::symlink_status(aside, error).type() !=
                      std::filesystem::file_type::not_found && n < 1000;
       ++n) {
    aside = file.string() + ".corrupt-" + std::to_string(n);
  }
  return aside;
}

// Temporary files are "<file>.tmp-<pid>-<n>". One whose writer process is
// gone was left by a crash mid-write and holds nothing the file lacks.
void removeAbandonedTemporaryFiles(const std::filesystem::path& file) {
  const std::string prefix = file.filename().string() + ".tmp-";
  std::error_code error;
  std::filesystem::directory_iterator it(file.parent_path(), error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos) continue;
    char* end = nullptr;
    const long pid = std::strtol(rest.c_str(), &end, 10);
    if (end != rest.c_str() + dash || pid <= 0) continue;
    if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    std::filesystem::remove(it->path(), ignored);
  }
}

}  // namespace

TRLFLTUserDefaults& TRLFLTUserDefaults::standardUserDefaults() {
  static TRLFLTUserDefaults* const shared = new TRLFLTUserDefaults(
      platform::applicationSupportDirectory(), platform::Bundle::main().bundleIdentifier());
  return *shared;
}

TRLFLTUserDefaults::TRLFLTUserDefaults(const std::filesystem::path& baseURL,
                                       std::string_view hostAppBundleIdentifier)
    : directoryURL_(generateDirectoryURLForBaseURL(baseURL, hostAppBundleIdentifier)),
      fileURL_(directoryURL_ / kTRLUserDefaultsFileName),
      synchronizationQueue_(std::string(kTRLUserDefaultsIOQueueLabel)) {
  std::optional<Value::Dictionary> loaded;
  synchronizationQueue_.sync([&] { loaded = loadDefaults(); });
  MutexLock lock(mutex_);
  persistedDataDictionary_ = loaded.value_or(Value::Dictionary{});
  dataDictionary_ = persistedDataDictionary_;
}

TRLFLTUserDefaults::~TRLFLTUserDefaults() = default;

std::filesystem::path TRLFLTUserDefaults::generateDirectoryURLForBaseURL(
    const std::filesystem::path& baseURL, std::string_view hostAppBundleIdentifier) {
  std::filesystem::path dir = baseURL;
  if (!hostAppBundleIdentifier.empty()) {
    std::string escaped(hostAppBundleIdentifier);
    std::replace(escaped.begin(), escaped.end(), '/', '_');
    dir /= escaped;
  }
  return dir / kTRLUserDefaultsFolderName;
}

std::string TRLFLTUserDefaults::getEscapedAppBundleIdentifier() {
  std::string identifier = platform::Bundle::main().bundleIdentifier();
  std::replace(identifier.begin(), identifier.end(), '/', '_');
  return identifier;
}

// ---- reads and writes -------------------------------------------------------

Value TRLFLTUserDefaults::objectForKey(std::string_view key) const {
  MutexLock lock(mutex_);
  const auto it = dataDictionary_.find(std::string(key));
  return it == dataDictionary_.end() ? Value() : it->second;
}

std::optional<std::string> TRLFLTUserDefaults::stringForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (const std::string* s = value.asString()) return *s;
  return std::nullopt;
}

bool TRLFLTUserDefaults::boolForKey(std::string_view key) const {
  const auto number = numberOf(objectForKey(key));
  return number && *number != 0;
}

std::int64_t TRLFLTUserDefaults::integerForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (auto i = value.asInt()) return *i;
  const auto number = numberOf(value);
  // Out-of-range and NaN doubles have no integer value; 0 like a non-number.
  if (!number || !std::isfinite(*number) || std::fabs(*number) >= 9.2e18) return 0;
  return static_cast<std::int64_t>(*number);
}

Value::Dictionary TRLFLTUserDefaults::dictionaryRepresentation() const {
  MutexLock lock(mutex_);
  return dataDictionary_;
}

void TRLFLTUserDefaults::setObject(Value object, std::string_view key) {
  MutexLock lock(mutex_);
  if (object.isNull()) {
    dataDictionary_.erase(std::string(key));
  } else {
    dataDictionary_.insert_or_assign(std::string(key), std::move(object));
  }
}

void TRLFLTUserDefaults::setString(std::string_view value, std::string_view key) {
  setObject(Value(value), key);
}

void TRLFLTUserDefaults::setBool(bool value, std::string_view key) { setObject(Value(value), key); }

void TRLFLTUserDefaults::setInteger(std::int64_t value, std::string_view key) {
  setObject(Value(value), key);
}

void TRLFLTUserDefaults::removeObjectForKey(std::string_view key) { setObject(Value(), key); }

void TRLFLTUserDefaults::removeAllObjects() {
  MutexLock lock(mutex_);
  dataDictionary_.clear();
}

// ---- file -------------------------------------------------------------------

bool TRLFLTUserDefaults::synchronize() {
  bool changed = false;
  {
    MutexLock lock(mutex_);
    changed = persistedDataDictionary_ != dataDictionary_;
  }
  if (!changed) {
    synchronizeWroteToDisk_ = false;
    return true;
  }
  bool ok = true;
  bool wrote = false;
  // The values are taken again inside the I/O queue: writes are serial, and
  // each writes the latest values, so a slower caller never puts back an
  // older state over a newer one that another thread already wrote.
  synchronizationQueue_.sync([&] {
    Value::Dictionary snapshot;
    {
      MutexLock lock(mutex_);
      if (persistedDataDictionary_ == dataDictionary_) return;
      snapshot = dataDictionary_;
    }
    ok = writeFile(snapshot);
    if (!ok) return;
    wrote = true;
    MutexLock lock(mutex_);
    persistedDataDictionary_ = std::move(snapshot);
  });
  synchronizeWroteToDisk_ = wrote;
  return ok;
}

std::optional<Value::Dictionary> TRLFLTUserDefaults::loadDefaults() {
  removeAbandonedTemporaryFiles(fileURL_);
  std::error_code error;
  const auto status = std::filesystem::symlink_status(fileURL_, error);
  if (status.type() == std::filesystem::file_type::not_found) return std::nullopt;
  if (status.type() == std::filesystem::file_type::directory) {
    logLine("[Trellis:UserDefaults] found directory where file expected. Removing conflicting directory");
    std::filesystem::remove_all(fileURL_, error);
    if (error) {
      logLine("[Trellis:UserDefaults] error removing conflicting directory: {error = " +
              error.message() + "}");
    }
    return std::nullopt;
  }
  std::string text;
  bool readOk = false;
  int readError = 0;
  // A FIFO in the file's place would hold open() until some writer came;
  // it reads as unreadable and is moved aside by the first write.
  const platform::UniqueFd fd = platform::openRegularFile(fileURL_.c_str(), O_RDONLY);
  if (fd) {
    readOk = platform::readAll(fd.get(), text, kMaxFileSize);
    readError = errno;
  } else {
    readError = errno;
  }
  std::optional<Value::Dictionary> values;
  if (readOk) {
    Result<Value> parsed = Value::fromJson(text);
    if (parsed.ok() && parsed.value().asDictionary() != nullptr) {
      values = std::move(*std::move(parsed).value().asDictionary());
    }
  }
  if (!values) {
    logLine("[Trellis:UserDefaults] failed to read existing UserDefaults file");
    if (!readOk) logLine("[Trellis:UserDefaults] " + fileURL_.string() + ": " + errnoText(readError));
    // Kept until the first write, which moves it aside instead of losing it.
    corruptFileOnDisk_ = true;
  }
  return values;
}

bool TRLFLTUserDefaults::writeFile(const Value::Dictionary& values) {
  std::error_code error;
  if (std::filesystem::symlink_status(directoryURL_, error).type() ==
      std::filesystem::file_type::not_found) {
    std::filesystem::create_directories(directoryURL_, error);
    if (error) {
      logLine("[Trellis:UserDefaults] failed to create directory with error:" + error.message());
    }
  }
  const std::string text = Value(values).toJson(2) + "\n";
  static std::atomic<std::uint64_t> counter{0};
  const std::string temp = fileURL_.string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  int failure = errno;
  if (ok) {
    // Flushed before the rename: after a power loss the name must not point
    // at a file whose content never reached the disk.
    ok = platform::writeAll(fd, text) && ::fsync(fd) == 0;
    failure = errno;
    if (::close(fd) != 0 && ok) {
      ok = false;
      failure = errno;
    }
  }
  if (ok && corruptFileOnDisk_) {
    const std::filesystem::path aside = corruptAsidePath(fileURL_);
    if (::rename(fileURL_.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
      ok = false;
      failure = errno;
    }
  }
  if (ok && ::rename(temp.c_str(), fileURL_.c_str()) != 0) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    logLine("[Trellis:UserDefaults] Unable to open file for writing at path " + fileURL_.string());
    logLine("[Trellis:UserDefaults] " + temp + ": " + errnoText(failure));
    if (fd >= 0) ::unlink(temp.c_str());
    return false;
  }
  corruptFileOnDisk_ = false;
  syncDirectory(directoryURL_);
  return true;
}

// ---- migration --------------------------------------------------------------

void TRLFLTUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys) {
  migrateFromNSUserDefaults(keys, platform::Defaults::standard());
}

void TRLFLTUserDefaults::migrateFromNSUserDefaults(const std::vector<std::string>& keys,
                                                   platform::Defaults& source) {
  bool copied = false;
  for (const std::string& key : keys) {
    if (auto value = source.object(key); value && !value->isNull()) {
      setObject(std::move(*value), key);
      copied = true;
    }
  }
  if (!copied) return;
  // The old copies go only once the values are safely in our own file.
  if (!synchronize()) return;
  for (const std::string& key : keys) (void)source.remove(key);
  (void)source.synchronize();
}

Value TRLFLTUserDefaults::objectForKeyByMigratingFromNSUserDefaults(std::string_view key) {
  return objectForKeyByMigratingFromNSUserDefaults(key, platform::Defaults::standard());
}

Value TRLFLTUserDefaults::objectForKeyByMigratingFromNSUserDefaults(std::string_view key,
                                                                    platform::Defaults& source) {
  if (Value own = objectForKey(key); !own.isNull()) return own;
  auto value = source.object(key);
  if (!value || value->isNull()) return Value();
  setObject(*value, key);
  if (synchronize()) {
    (void)source.remove(key);
    (void)source.synchronize();
  }
  return *value;
}

}  // namespace vandrel::crash
