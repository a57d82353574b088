#include "analytics/core/bcn_gru_heartbeat_date_storage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "platform/file_io.h"
#include "platform/paths.h"
#include "platform/value.h"

namespace vandrel::analytics {
namespace {

// Plenty for any number of tags anyone keeps; a bigger file is not ours.
constexpr std::size_t kMaxStorageBytes = 1 << 20;

// The stored dictionary; none when the file is missing or unreadable.
std::optional<platform::Value::Dictionary> readDictionary(const std::filesystem::path& file) {
  platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string text;
  if (!platform::readAll(fd.get(), text, kMaxStorageBytes)) return std::nullopt;
  auto value = platform::Value::fromJson(text);
  if (!value.ok() || value.value().asDictionary() == nullptr) return std::nullopt;
  return *value.value().asDictionary();
}

// Holds an exclusive flock on "<file>.lock" while alive; a separate file
// because the rename of each write replaces the data file's inode.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& file) {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::string path = file.string() + ".lock";
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd_) return;
    while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }

 private:
  platform::UniqueFd fd_;
};

bool writeDictionary(const std::filesystem::path& file, const platform::Value::Dictionary& dict) {
  std::error_code ec;
  std::filesystem::create_directories(file.parent_path(), ec);
  const std::filesystem::path temp = file.string() + ".tmp";
  {
    platform::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) return false;
    if (!platform::writeAll(fd.get(), platform::Value(dict).toJson())) return false;
  }
  // Replace atomically: a crash mid-write must not lose the other tags.
  if (::rename(temp.c_str(), file.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

GRUHeartbeatDateStorage::GRUHeartbeatDateStorage(std::string_view fileName)
    : file_(directory() / std::string(fileName)) {}

GRUHeartbeatDateStorage::GRUHeartbeatDateStorage(std::filesystem::path file)
    : file_(std::move(file)) {}

std::filesystem::path GRUHeartbeatDateStorage::directory() {
  return platform::applicationSupportDirectory() / "Gryphon";
}

std::optional<platform::WallTime> GRUHeartbeatDateStorage::heartbeatDateForTag(
    std::string_view tag) const {
  FileLock lock(file_);
  const auto dict = readDictionary(file_);
  if (!dict) return std::nullopt;
  const auto it = dict->find(std::string(tag));
  if (it == dict->end()) return std::nullopt;
  const auto seconds = it->second.asNumber();
  if (!seconds) return std::nullopt;
  return platform::Date{*seconds}.toWallTime();
}

bool GRUHeartbeatDateStorage::setHearbeatDate(platform::WallTime date, std::string_view tag) {
  // The read-modify-write must not interleave with another writer, or a
  // tag written meanwhile would be lost.
  FileLock lock(file_);
  platform::Value::Dictionary dict = readDictionary(file_).value_or(platform::Value::Dictionary{});
  dict[std::string(tag)] = platform::Date::fromWallTime(date).secondsSince1970;
  return writeDictionary(file_, dict);
}

}  // namespace vandrel::analytics
