#include "platform/defaults.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <system_error>

#include "platform/bundle.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace vandrel::platform {
namespace {

constexpr std::string_view kDefaultSuite = "com.vandrel.mac.offline";
// Settings files are small; a file far beyond this is not one of ours.
constexpr off_t kMaxFileSize = 64 * 1024 * 1024;

struct Loaded {
  Value::Dictionary values;
  bool corrupt = false;
};

void reportErrno(const char* what, const std::filesystem::path& path, int error) {
  std::fprintf(stderr, "vandrel: defaults: %s %s: %s\n", what, path.c_str(), std::strerror(error));
}

Loaded load(const std::filesystem::path& path) {
  Loaded loaded;
  // Only a regular file: a FIFO put in the file's place must not hold the
  // open waiting for a writer that never comes.
  UniqueFd fd = openRegularFile(path.c_str(), O_RDONLY);
  if (!fd) {
    const int error = errno;
    if (error == EINVAL) {
      std::fprintf(stderr, "vandrel: defaults: %s is not a regular file; it reads as empty\n",
                   path.c_str());
      loaded.corrupt = true;
    } else if (error != ENOENT) {
      reportErrno("cannot open", path, error);
      loaded.corrupt = true;
    }
    return loaded;
  }
  std::string text;
  const bool ok = readAll(fd.get(), text, static_cast<std::size_t>(kMaxFileSize));
  const int readError = errno;
  fd.reset();
  if (!ok) {
    reportErrno("cannot read", path, readError);
    loaded.corrupt = true;
    return loaded;
  }
  Result<Value> parsed = Value::fromJson(text);
  if (!parsed.ok() || parsed.value().asDictionary() == nullptr) {
    std::fprintf(stderr, "vandrel: defaults: %s is not a JSON object (%s); it reads as empty\n",
                 path.c_str(), parsed.ok() ? "another JSON value" : parsed.error().message.c_str());
    loaded.corrupt = true;
    return loaded;
  }
  loaded.values = std::move(*std::move(parsed).value().asDictionary());
  return loaded;
}

bool syncDirectory(const std::filesystem::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

template <typename T, typename Get>
std::optional<T> typed(const std::optional<Value>& value, Get get) {
  if (!value) return std::nullopt;
  return get(*value);
}

}  // namespace

// ---- instances --------------------------------------------------------------

std::filesystem::path Defaults::pathForSuite(std::string_view name) {
  std::string file(name.empty() ? std::string_view("_") : name);
  for (char& c : file) {
    if (c == '/' || c == '\0') c = '_';
  }
  return configDirectory() / "vandrel" / (file + ".json");
}

Defaults& Defaults::standard() {
  std::string identifier = Bundle::main().bundleIdentifier();
  if (identifier.empty()) identifier = kDefaultSuite;
  return suite(identifier);
}

Defaults& Defaults::suite(std::string_view name) {
  const auto path = pathForSuite(name);
  // Leaked: stores stay valid while other threads use them at exit.
  static auto* mutex = new Mutex;
  static auto* stores = new std::map<std::filesystem::path, Defaults*>;
  {
    MutexLock lock(*mutex);
    auto it = stores->find(path);
    if (it != stores->end()) return *it->second;
  }
  // The file is read outside the lock; when two threads race, the first
  // stored wins and the other (which wrote nothing) is dropped.
  auto* made = new Defaults(path);
  MutexLock lock(*mutex);
  auto [it, inserted] = stores->emplace(path, made);
  if (!inserted) delete made;
  return *it->second;
}

Defaults::Defaults(std::filesystem::path file) : path_(std::move(file)) {
  Loaded loaded = load(path_);
  MutexLock lock(mutex_);
  values_ = std::move(loaded.values);
  corruptOnDisk_ = loaded.corrupt;
}

Defaults::~Defaults() = default;

// ---- reads --------------------------------------------------------------------

std::optional<Value> Defaults::object(std::string_view key) const {
  MutexLock lock(mutex_);
  auto it = values_.find(std::string(key));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::optional<bool> Defaults::getBool(std::string_view key) const {
  return typed<bool>(object(key), [](const Value& v) { return v.asBool(); });
}

std::optional<std::int64_t> Defaults::getInt(std::string_view key) const {
  return typed<std::int64_t>(object(key), [](const Value& v) { return v.asInt(); });
}

std::optional<double> Defaults::getDouble(std::string_view key) const {
  return typed<double>(object(key), [](const Value& v) { return v.asDouble(); });
}

std::optional<Date> Defaults::getDate(std::string_view key) const {
  return typed<Date>(object(key), [](const Value& v) { return v.asDate(); });
}

std::optional<std::string> Defaults::getString(std::string_view key) const {
  return typed<std::string>(object(key), [](const Value& v) -> std::optional<std::string> {
    if (const auto* s = v.asString()) return *s;
    return std::nullopt;
  });
}

std::optional<Value::Data> Defaults::getData(std::string_view key) const {
  return typed<Value::Data>(object(key), [](const Value& v) -> std::optional<Value::Data> {
    if (const auto* d = v.asData()) return *d;
    return std::nullopt;
  });
}

std::optional<Value::Array> Defaults::getArray(std::string_view key) const {
  return typed<Value::Array>(object(key), [](const Value& v) -> std::optional<Value::Array> {
    if (const auto* a = v.asArray()) return *a;
    return std::nullopt;
  });
}

std::optional<Value::Dictionary> Defaults::getDictionary(std::string_view key) const {
  return typed<Value::Dictionary>(object(key),
                                  [](const Value& v) -> std::optional<Value::Dictionary> {
                                    if (const auto* d = v.asDictionary()) return *d;
                                    return std::nullopt;
                                  });
}

Value::Dictionary Defaults::dictionaryRepresentation() const {
  MutexLock lock(mutex_);
  return values_;
}

// ---- changes ------------------------------------------------------------------

bool Defaults::set(std::string_view key, Value value) {
  return change(
      [&](Value::Dictionary& values) {
        // The same value of the same type again changes nothing: no write,
        // and a synchronize after it has nothing left to flush once the
        // value has been flushed before. The connect road stores the same
        // switches on every connect.
        const auto found = values.find(std::string(key));
        if (found != values.end() && found->second == value) return false;
        values.insert_or_assign(std::string(key), std::move(value));
        return true;
      },
      false);
}

bool Defaults::remove(std::string_view key) {
  return change([&](Value::Dictionary& values) { return values.erase(std::string(key)) > 0; },
                false);
}

bool Defaults::removeAll() {
  // Counted as a change even on an empty store: it is how a caller resets a
  // file that read as corrupt.
  return change(
      [](Value::Dictionary& values) {
        values.clear();
        return true;
      },
      true);
}

bool Defaults::synchronize() {
  MutexLock lock(mutex_);
  return persist(lock, version_, true);
}

bool Defaults::change(const std::function<bool(Value::Dictionary&)>& mutate, bool always) {
  MutexLock lock(mutex_);
  const bool changed = mutate(values_);
  if (!changed && !always) {
    // Nothing new to write; a change whose write failed is tried again.
    return writtenVersion_ >= version_ || persist(lock, version_, false);
  }
  return persist(lock, ++version_, false);
}

bool Defaults::persist(MutexLock& lock, std::uint64_t version, bool durable) {
  const std::uint64_t failuresAtEntry = failures_;
  for (;;) {
    if ((durable ? syncedVersion_ : writtenVersion_) >= version) return true;
    if (failures_ > failuresAtEntry && failedVersion_ >= version) return false;
    if (durable) wantDurable_ = true;
    if (!writing_) {
      runWriter(lock);
    } else {
      written_.wait(lock.native());
    }
  }
}

void Defaults::runWriter(MutexLock& lock) {
  writing_ = true;
  for (;;) {
    const bool stale = writtenVersion_ < version_ || (wantDurable_ && syncedVersion_ < version_);
    if (!stale) break;
    const std::uint64_t version = version_;
    const bool durable = wantDurable_;
    const bool moveAside = corruptOnDisk_;
    wantDurable_ = false;
    const Value snapshot(values_);
    // The file is written outside the lock; readers and other writers go on
    // meanwhile, and what they change is written by the next round.
    lock.native().unlock();
    const bool ok = writeFile(snapshot.toJson(2) + "\n", durable, moveAside);
    lock.native().lock();
    if (ok) {
      writtenVersion_ = std::max(writtenVersion_, version);
      if (durable) syncedVersion_ = std::max(syncedVersion_, version);
      if (moveAside) corruptOnDisk_ = false;
    } else {
      failedVersion_ = std::max(failedVersion_, version);
      ++failures_;
    }
    written_.notify_all();
    if (!ok) break;
  }
  writing_ = false;
  written_.notify_all();
}

bool Defaults::writeFile(const std::string& text, bool durable, bool moveCorruptAside) const {
  static std::atomic<std::uint64_t> counter{0};
  const auto dir = path_.parent_path();
  std::error_code error;
  if (!dir.empty()) std::filesystem::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "vandrel: defaults: cannot create %s: %s\n", dir.c_str(),
                 error.message().c_str());
    return false;
  }
  const std::string temp = path_.string() + ".tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    reportErrno("cannot create", temp, errno);
    return false;
  }
  bool ok = writeAll(fd, text) && (!durable || ::fsync(fd) == 0);
  int failure = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    failure = errno;
  }
  // A file that read as corrupt is kept beside the new one, not lost.
  if (ok && moveCorruptAside) {
    const std::string aside = path_.string() + ".corrupt";
    if (::rename(path_.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
      ok = false;
      failure = errno;
    }
  }
  if (ok && ::rename(temp.c_str(), path_.c_str()) != 0) {
    ok = false;
    failure = errno;
  }
  if (!ok) {
    reportErrno("cannot write", path_, failure);
    ::unlink(temp.c_str());
    return false;
  }
  if (durable && !syncDirectory(dir.empty() ? std::filesystem::path(".") : dir)) {
    reportErrno("cannot flush the directory of", path_, errno);
    return false;
  }
  return true;
}

}  // namespace vandrel::platform
