#include "analytics/transport/evt_flat_file_storage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <system_error>
#include <utility>

#include "analytics/transport/evt_archive.h"
#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_registrar.h"
#include "analytics/transport/evt_upload_coordinator.h"
#include "platform/file_io.h"
#include "platform/paths.h"

namespace vandrel::analytics {
namespace fs = std::filesystem;
using platform::Error;
using platform::Result;

namespace {

constexpr std::string_view kClassName = "EVTCORFlatFileStorage";

Error internalInconsistency(std::string message) {
  return Error{std::string(kEVTCORInternalInconsistencyDomain), -1, std::move(message)};
}

Error storageError(std::string message) {
  return Error{std::string(kEVTCORFlatFileStorageErrorDomain), -1, std::move(message)};
}

std::vector<std::string_view> splitOnDash(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dash = name.find('-', start);
    if (dash == std::string_view::npos) {
      parts.push_back(name.substr(start));
      return parts;
    }
    parts.push_back(name.substr(start, dash - start));
    start = dash + 1;
  }
}

template <typename T>
std::optional<T> parseInteger(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<double> parseDouble(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Whole seconds since 1970 as file names carry them; a date before 1970
// counts as 1970.
std::uint64_t fileNameSeconds(platform::WallTime date) {
  const double seconds = std::trunc(EVTCORSecondsSince1970(date));
  if (!(seconds > 0)) return 0;
  if (seconds >= 18446744073709551615.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(seconds);
}

// A file name's expiry as a date. Names outside the clock's range (about
// ±292 years around 1970; only a damaged or foreign name holds one) are held
// at its ends instead of wrapping, which could move a far-off expiry into
// the past and have the sweep delete a live event.
platform::WallTime dateFromFileNameSeconds(std::int64_t seconds) {
  using Ticks = platform::WallTime::duration;
  constexpr std::int64_t kWholeSecondsInRange =
      std::chrono::duration_cast<std::chrono::seconds>(Ticks::max()).count();
  if (seconds > kWholeSecondsInRange || seconds < -kWholeSecondsInRange) {
    return EVTCORDateFromSecondsSince1970(static_cast<double>(seconds));
  }
  return platform::WallTime{} + std::chrono::seconds(seconds);  // exact
}

platform::WallTime dateFromFileNameSeconds(double seconds) {
  return EVTCORDateFromSecondsSince1970(seconds);
}

// An event ID becomes a file name: it must not reach outside the target
// directory, split differently, or hide the file from selection.
bool isSafeEventID(std::string_view id) {
  if (id.empty()) return false;
  for (const char c : id) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) return false;
  }
  return true;
}

// A library-data key is one file name in the library-data directory.
bool isSafeKey(std::string_view key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string_view::npos &&
         key.find('\0') == std::string_view::npos;
}

// Directory entries, or the listing error.
Result<std::vector<fs::directory_entry>> listDirectory(const fs::path& dir) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  fs::directory_iterator it(dir, ec);
  if (ec) return Error{std::string(kEVTCORPosixErrorDomain), ec.value(), ec.message()};
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return Error{std::string(kEVTCORPosixErrorDomain), ec.value(), ec.message()};
    entries.push_back(*it);
  }
  return entries;
}

std::vector<fs::directory_entry> walkRecursively(const fs::path& dir) {
  std::vector<fs::directory_entry> entries;
  std::error_code ec;
  fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
  if (ec) return entries;
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    entries.push_back(*it);
  }
  return entries;
}

}  // namespace

struct EVTCORFlatFileStorage::Impl {
  fs::path root;
  ForceUpload forceUpload;
  const platform::Clock& clock;
  std::once_flag rootLogged;

  Impl(fs::path r, ForceUpload f, const platform::Clock& c)
      : root(std::move(r)), forceUpload(std::move(f)), clock(c) {}
};

// ---- load and the shared instance ----

void EVTCORFlatFileStorage::load() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The archive reader always takes "EVTCORStoredEvent" for an event; the
    // storage itself is never archived, so its old name needs no alias.
    auto& registrar = EVTCORRegistrar::sharedInstance();
    for (const std::int64_t target :
         {kEVTCORTargetStorageOnly, kEVTCORTargetHUB, kEVTCORTargetFLL, kEVTCORTargetCSH}) {
      registrar.registerStorage(sharedInstance(), target);
    }
  });
}

const std::shared_ptr<EVTCORFlatFileStorage>& EVTCORFlatFileStorage::sharedInstance() {
  static auto* instance = new std::shared_ptr<EVTCORFlatFileStorage>(
      std::make_shared<EVTCORFlatFileStorage>(
          platform::cachesDirectory() / std::string(kEVTCORStateRootName),
          [](std::int64_t target) {
            EVTCORUploadCoordinator::sharedInstance().forceUploadForTarget(target);
          }));
  return *instance;
}

EVTCORFlatFileStorage::EVTCORFlatFileStorage(fs::path stateRoot, ForceUpload forceUpload,
                                             const platform::Clock& clock)
    : impl_(std::make_unique<Impl>(std::move(stateRoot), std::move(forceUpload), clock)),
      storageQueue_(std::make_shared<platform::SerialQueue>(
          std::string(kEVTCORFlatFileStorageQueueLabel))) {}

EVTCORFlatFileStorage::~EVTCORFlatFileStorage() {
  // Queued jobs hold `this`: let them finish before the state goes.
  if (!storageQueue_->isCurrent()) storageQueue_->sync([] {});
}

// ---- paths ----

fs::path EVTCORFlatFileStorage::stateRoot() const {
  std::error_code ec;
  fs::create_directories(impl_->root, ec);
  std::call_once(impl_->rootLogged, [&] {
    EVTCORLogDebug("EVT's state will be saved to: %s", impl_->root.c_str());
  });
  return impl_->root;
}

namespace {
fs::path createdDirectory(fs::path dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) EVTCORLogDebug("Attempt to create directory failed: path:%s error:%s", dir.c_str(),
                         ec.message().c_str());
  return dir;
}
}  // namespace

fs::path EVTCORFlatFileStorage::eventDataStoragePath() const {
  return createdDirectory(stateRoot() / std::string(kClassName) / "evt_event_data");
}

fs::path EVTCORFlatFileStorage::batchDataStoragePath() const {
  return createdDirectory(stateRoot() / std::string(kClassName) / "evt_batch_data");
}

fs::path EVTCORFlatFileStorage::libraryDataStoragePath() const {
  return createdDirectory(stateRoot() / std::string(kClassName) / "evt_library_data");
}

fs::path EVTCORFlatFileStorage::pathForTarget(std::int64_t target, std::string_view eventID,
                                              std::int64_t qosTier,
                                              platform::WallTime expirationDate,
                                              std::string_view mappingID) const {
  std::string name;
  name.append(eventID).append("-").append(std::to_string(qosTier)).append("-");
  name.append(std::to_string(fileNameSeconds(expirationDate))).append("-");
  name.append(percentEncodeMappingID(mappingID));
  return eventDataStoragePath() / std::to_string(target) / name;
}

fs::path EVTCORFlatFileStorage::batchPathForTarget(std::int64_t target, std::int64_t batchID,
                                                   platform::WallTime expirationDate) const {
  return batchDataStoragePath() / (std::to_string(target) + "-" + std::to_string(batchID) + "-" +
                                   std::to_string(fileNameSeconds(expirationDate)));
}

// ---- names ----

Result<EVTCOREventComponents> EVTCORFlatFileStorage::eventComponentsFromFilename(
    std::string_view fileName) {
  const auto parts = splitOnDash(fileName);
  if (parts.size() < 4) {
    return storageError("The event filename could not be split: " + std::string(fileName));
  }
  const auto qos = parseInteger<std::int64_t>(parts[1]);
  const auto expiry = parseInteger<std::int64_t>(parts[2]);
  std::string mappingID(parts[3]);
  for (std::size_t i = 4; i < parts.size(); ++i) mappingID.append("-").append(parts[i]);
  if (parts[0].empty() || !qos || !expiry || mappingID.empty()) {
    return storageError("There was an error parsing the event filename components: " +
                        std::string(fileName));
  }
  return EVTCOREventComponents{std::string(parts[0]), *qos, dateFromFileNameSeconds(*expiry),
                               std::move(mappingID)};
}

Result<EVTCORBatchComponents> EVTCORFlatFileStorage::batchComponentsFromFilename(
    std::string_view fileName) {
  const auto parts = splitOnDash(fileName);
  const auto target = parts.size() == 3 ? parseInteger<std::int64_t>(parts[0]) : std::nullopt;
  const auto batchID = parts.size() == 3 ? parseInteger<std::int64_t>(parts[1]) : std::nullopt;
  const auto expiry = parts.size() == 3 ? parseDouble(parts[2]) : std::nullopt;
  if (!target || !batchID || !expiry) {
    return storageError("The batch filename could not be split: " + std::string(fileName));
  }
  return EVTCORBatchComponents{*target, *batchID, dateFromFileNameSeconds(*expiry)};
}

std::string EVTCORFlatFileStorage::percentEncodeMappingID(std::string_view mappingID) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : mappingID) {
    const bool keep = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                      (c >= 'a' && c <= 'z') || c == '-';
    if (keep) {
      out.push_back(c);
    } else {
      const auto b = static_cast<unsigned char>(c);
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0x0F]);
    }
  }
  return out;
}

std::optional<std::string> EVTCORFlatFileStorage::percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const auto value = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    const int hi = value(text[i + 1]);
    const int lo = value(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}


// ---- work on the storage queue ----

namespace {

using Storage = EVTCORFlatFileStorage;

std::optional<std::string> readLibraryFile(const fs::path& path, std::optional<Error>* error) {
  // Only a regular file, so a FIFO put in a file's place cannot stall the
  // queue.
  platform::UniqueFd fd = platform::openRegularFile(path.c_str(), O_RDONLY | O_NOCTTY);
  if (!fd) {
    const int code = errno;
    *error = Error{std::string(kEVTCORPosixErrorDomain), code,
                   code == EINVAL ? "Not a regular file: " + path.string()
                                  : "Cannot open " + path.string() + ": " + std::strerror(code)};
    return std::nullopt;
  }
  std::string bytes;
  if (!platform::readAll(fd.get(), bytes, kEVTCORMaxArchiveBytes)) {
    *error = Error{std::string(kEVTCORPosixErrorDomain), errno,
                   "Cannot read " + path.string() + ": " + std::strerror(errno)};
    return std::nullopt;
  }
  return bytes;
}

// Batch IDs of every batch directory still present, whatever its target.
std::set<std::int64_t> syncLiveBatchIDs(const Storage& storage) {
  std::set<std::int64_t> ids;
  auto entries = listDirectory(storage.batchDataStoragePath());
  if (!entries.ok()) return ids;
  for (const auto& entry : entries.value()) {
    const auto parts = Storage::batchComponentsFromFilename(entry.path().filename().string());
    if (parts.ok()) ids.insert(parts.value().batchID);
  }
  return ids;
}

// The next batch ID from the stored counter: 0 when there is none (or it is
// not 4 bytes), then counter + 1 is stored, wrapping after 0xFFFFFFFF. An ID
// that a batch directory still carries is passed over: removing a batch
// takes every directory of its ID, so a lost, stale or unwritable counter
// would otherwise let a delivered batch delete another one's events.
std::int64_t syncNextBatchID(const Storage& storage) {
  const fs::path path = storage.libraryDataStoragePath() / std::string(kEVTCORBatchIDCounterKey);
  std::optional<Error> error;
  const auto stored = readLibraryFile(path, &error);
  std::uint32_t counter = 0;
  if (stored && stored->size() == sizeof counter) std::memcpy(&counter, stored->data(), 4);
  const std::set<std::int64_t> live = syncLiveBatchIDs(storage);
  for (std::size_t tries = 0; tries <= live.size() && live.count(counter) > 0; ++tries) ++counter;
  const std::uint32_t next = counter + 1;  // wraps to 0
  std::string bytes(sizeof next, '\0');
  std::memcpy(bytes.data(), &next, sizeof next);
  auto written = EVTCORWriteFileAtomically(path, bytes);
  if (!written.ok()) {
    EVTCORLogDebug("Error writing new value in libraryDataForKey: %s",
                   written.error().message.c_str());
  }
  return counter;
}

bool containsMappingID(const std::set<std::string>& set, const std::string& encoded) {
  const auto decoded = Storage::percentDecode(encoded);
  return decoded && set.count(*decoded) > 0;
}

std::vector<fs::path> syncPaths(const Storage& storage, const EVTCORStorageEventSelector& s) {
  const fs::path dir =
      createdDirectory(storage.eventDataStoragePath() / std::to_string(s.selectedTarget()));
  auto entries = listDirectory(dir);
  if (!entries.ok()) {
    EVTCORLogDebug("There was an error reading the contents of the target path: %s",
                   entries.error().message.c_str());
    return {};
  }
  const bool all = !s.selectedEventIDs() && !s.selectedQosTiers() && !s.selectedMappingIDs();
  std::vector<fs::path> paths;
  for (const auto& entry : entries.value()) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".")) continue;
    // Only files this storage wrote: reading a FIFO would block the queue,
    // and a directory or link in a file's place is not an event of ours.
    std::error_code ec;
    if (entry.symlink_status(ec).type() != fs::file_type::regular || ec) continue;
    if (all) {
      paths.push_back(entry.path());
      continue;
    }
    const auto parts = Storage::eventComponentsFromFilename(name);
    if (!parts.ok()) continue;
    const auto& c = parts.value();
    if (s.selectedEventIDs() && s.selectedEventIDs()->count(c.eventID) == 0) continue;
    if (s.selectedQosTiers() && s.selectedQosTiers()->count(c.qosTier) == 0) continue;
    if (s.selectedMappingIDs() && !containsMappingID(*s.selectedMappingIDs(), c.mappingID)) continue;
    paths.push_back(entry.path());
  }
  return paths;
}

Result<void> moveContentsOfDirectory(const fs::path& from, const fs::path& to) {
  auto entries = listDirectory(from);
  if (!entries.ok()) return entries.error();
  std::string errors;
  for (const auto& entry : entries.value()) {
    std::error_code ec;
    fs::rename(entry.path(), to / entry.path().filename(), ec);
    if (ec) errors += (errors.empty() ? "" : "; ") + entry.path().string() + ": " + ec.message();
  }
  if (!errors.empty()) return storageError("Some events could not be moved: " + errors);
  return platform::success();
}

void syncRemoveBatch(const Storage& storage, std::int64_t batchID, bool deleteEvents) {
  auto entries = listDirectory(storage.batchDataStoragePath());
  if (!entries.ok()) {
    EVTCORLogDebug("Failed to find event file paths for batchID: %lld, error: %s",
                   static_cast<long long>(batchID), entries.error().message.c_str());
    return;
  }
  for (const auto& entry : entries.value()) {
    const auto parts = Storage::batchComponentsFromFilename(entry.path().filename().string());
    if (!parts.ok() || parts.value().batchID != batchID) continue;
    const fs::path& dir = entry.path();
    std::error_code ec;
    if (!deleteEvents) {
      const fs::path back = createdDirectory(storage.eventDataStoragePath() /
                                             std::to_string(parts.value().target));
      const auto moved = moveContentsOfDirectory(dir, back);
      if (moved.ok()) {
        EVTCORLogDebug("Batched events at path: %s moved back to the storage: %s", dir.c_str(),
                       back.c_str());
      } else {
        // The directory stays, so the events it still holds are not lost.
        EVTCORLogDebug("Error encountered whilst moving events back: %s",
                       moved.error().message.c_str());
        continue;
      }
    }
    fs::remove_all(dir, ec);
    if (ec) {
      EVTCORLogDebug("Failed to remove batch at path: %s", dir.c_str());
    } else if (deleteEvents) {
      EVTCORLogDebug("Batch removed at path: %s", dir.c_str());
    }
  }
}

}  // namespace

// ---- operations ----

void EVTCORFlatFileStorage::storeEvent(std::optional<EVTCOREvent> event,
                                       EVTCORStoreEventCompletion onComplete) {
  EVTCORLogDebug("Saving event: %s", event ? event->eventID().c_str() : "(null)");
  if (!event || !event->serializedDataObjectBytes()) {
    EVTCORLogDebug("The event was nil, so it was not saved.");
    if (onComplete) onComplete(false, internalInconsistency("The event was nil, so it was not saved."));
    return;
  }
  if (!onComplete) {
    onComplete = [id = event->eventID()](bool stored, std::optional<Error> error) {
      EVTCORLogDebug("event %s stored. success:%s error:%s", id.c_str(), stored ? "YES" : "NO",
                     error ? error->message.c_str() : "(null)");
    };
  }
  storageQueue_->async([this, event = std::move(*event), onComplete = std::move(onComplete)] {
    if (!isSafeEventID(event.eventID())) {
      onComplete(false, internalInconsistency("The event ID cannot name a file: " +
                                              event.eventID()));
      return;
    }
    const fs::path path = pathForTarget(event.target(), event.eventID(), event.qosTier(),
                                        event.expirationDate(), event.mappingID());
    // A name that does not parse back (a negative tier splits on its "-")
    // is never selected by tier nor swept when it expires: it would stay.
    if (!eventComponentsFromFilename(path.filename().string()).ok()) {
      onComplete(false, internalInconsistency("The event cannot be named by its routing data: " +
                                              path.filename().string()));
      return;
    }
    auto written = EVTCORWriteArchive(event, path);
    if (!written.ok()) {
      onComplete(false, written.error());
      return;
    }
    onComplete(true, std::nullopt);
    if (event.qosTier() == kEVTCORQoSFast && impl_->forceUpload) impl_->forceUpload(event.target());
  });
}

void EVTCORFlatFileStorage::batchWithEventSelector(EVTCORStorageEventSelector selector,
                                                   platform::WallTime batchExpiration,
                                                   EVTCORBatchCompletion onComplete) {
  storageQueue_->async([this, selector = std::move(selector), batchExpiration,
                        onComplete = std::move(onComplete)] {
    const std::int64_t batchID = syncNextBatchID(*this);
    std::vector<EVTCOREvent> events;
    for (const fs::path& path : syncPaths(*this, selector)) {
      auto event = EVTCORReadArchive<EVTCOREvent>(path);
      std::error_code ec;
      if (!event.ok()) {
        EVTCORLogDebug("Error deserializing event: %s", event.error().message.c_str());
        fs::remove(path, ec);
        continue;
      }
      const fs::path dir =
          createdDirectory(batchPathForTarget(selector.selectedTarget(), batchID, batchExpiration));
      fs::rename(path, dir / path.filename(), ec);
      if (ec) {
        // Left out: it stays in storage, and a delivered batch deletes only
        // what its directory holds, so sending it now would send it again.
        EVTCORLogDebug("An event file wasn't moveable into the batch directory: %s",
                       ec.message().c_str());
        continue;
      }
      events.push_back(std::move(event).value());
    }
    if (!onComplete) return;
    if (events.empty()) {
      onComplete(std::nullopt, std::nullopt);
    } else {
      onComplete(batchID, std::move(events));
    }
  });
}

void EVTCORFlatFileStorage::removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                                              std::function<void()> onComplete) {
  storageQueue_->async([this, batchID, deleteEvents, onComplete = std::move(onComplete)] {
    syncRemoveBatch(*this, batchID, deleteEvents);
    if (onComplete) onComplete();
  });
}

void EVTCORFlatFileStorage::batchIDsForTarget(std::int64_t target,
                                              EVTCORBatchIDsCompletion onComplete) {
  storageQueue_->async([this, target, onComplete = std::move(onComplete)] {
    if (!onComplete) return;
    auto entries = listDirectory(batchDataStoragePath());
    if (!entries.ok() || entries.value().empty()) {
      onComplete(std::nullopt);
      return;
    }
    std::set<std::int64_t> ids;
    for (const auto& entry : entries.value()) {
      const auto parts = batchComponentsFromFilename(entry.path().filename().string());
      if (parts.ok() && parts.value().target == target) ids.insert(parts.value().batchID);
    }
    onComplete(std::move(ids));
  });
}

void EVTCORFlatFileStorage::libraryDataForKey(std::string key,
                                              EVTCORLibraryDataFetchCompletion onFetchComplete,
                                              EVTCORLibraryDataNewValue setNewValue) {
  storageQueue_->async([this, key = std::move(key), onFetchComplete = std::move(onFetchComplete),
                        setNewValue = std::move(setNewValue)] {
    if (!isSafeKey(key)) {
      if (onFetchComplete) onFetchComplete(std::nullopt, storageError("Invalid key: " + key));
      return;
    }
    const fs::path path = libraryDataStoragePath() / key;
    std::optional<Error> error;
    auto bytes = readLibraryFile(path, &error);
    if (onFetchComplete) onFetchComplete(std::move(bytes), std::move(error));
    if (!setNewValue) return;
    const auto next = setNewValue();
    if (!next || next->empty()) return;
    auto written = EVTCORWriteFileAtomically(path, *next);
    if (!written.ok()) {
      EVTCORLogDebug("Error writing new value in libraryDataForKey: %s",
                     written.error().message.c_str());
    }
  });
}

void EVTCORFlatFileStorage::storeLibraryData(std::optional<std::string> data, std::string key,
                                             EVTCORErrorCompletion onComplete) {
  if (!data || data->empty()) {
    if (onComplete) onComplete(internalInconsistency("There is no library data to store."));
    return;
  }
  if (!isSafeKey(key)) {
    if (onComplete) onComplete(storageError("Invalid key: " + key));
    return;
  }
  storageQueue_->async([this, data = std::move(*data), key = std::move(key),
                        onComplete = std::move(onComplete)] {
    auto written = EVTCORWriteFileAtomically(libraryDataStoragePath() / key, data);
    if (onComplete) onComplete(written.ok() ? std::nullopt : std::optional(written.error()));
  });
}

void EVTCORFlatFileStorage::removeLibraryDataForKey(std::string key,
                                                    EVTCORErrorCompletion onComplete) {
  storageQueue_->async([this, key = std::move(key), onComplete = std::move(onComplete)] {
    if (!isSafeKey(key)) {
      if (onComplete) onComplete(storageError("Invalid key: " + key));
      return;
    }
    std::error_code ec;
    // A key that holds nothing is already removed: the caller still hears so.
    fs::remove(libraryDataStoragePath() / key, ec);
    if (!onComplete) return;
    if (ec) {
      onComplete(Error{std::string(kEVTCORPosixErrorDomain), ec.value(), ec.message()});
    } else {
      onComplete(std::nullopt);
    }
  });
}

void EVTCORFlatFileStorage::hasEventsForTarget(std::int64_t target,
                                               std::function<void(bool)> onComplete) {
  storageQueue_->async([this, target, onComplete = std::move(onComplete)] {
    const fs::path dir = createdDirectory(eventDataStoragePath() / std::to_string(target));
    const bool any = !walkRecursively(dir).empty();
    if (onComplete) onComplete(any);
  });
}

void EVTCORFlatFileStorage::checkForExpirations() {
  storageQueue_->async([this] {
    EVTCORLogDebug("Checking for expired events and batches");
    const auto now = impl_->clock.wallNow();
    if (auto entries = listDirectory(batchDataStoragePath()); entries.ok()) {
      for (const auto& entry : entries.value()) {
        const auto parts = batchComponentsFromFilename(entry.path().filename().string());
        if (parts.ok() && parts.value().expiration < now) {
          syncRemoveBatch(*this, parts.value().batchID, false);
        }
      }
    }
    for (const auto& entry : walkRecursively(eventDataStoragePath())) {
      const auto parts = eventComponentsFromFilename(entry.path().filename().string());
      if (!parts.ok() || !(parts.value().expiration < now)) continue;
      std::error_code ec;
      fs::remove_all(entry.path(), ec);
      if (ec) {
        EVTCORLogDebug("There was an error deleting an expired item: %s", ec.message().c_str());
      } else {
        EVTCORLogDebug("Item deleted because it expired: %s", entry.path().c_str());
      }
    }
  });
}

void EVTCORFlatFileStorage::storageSizeWithCallback(
    std::function<void(std::uint64_t)> onComplete) {
  storageQueue_->async([this, onComplete = std::move(onComplete)] {
    std::uint64_t total = 0;
    for (const fs::path& dir :
         {eventDataStoragePath(), libraryDataStoragePath(), batchDataStoragePath()}) {
      for (const auto& entry : walkRecursively(dir)) {
        std::error_code ec;
        if (!entry.is_regular_file(ec) || ec) continue;
        const auto size = entry.file_size(ec);
        if (!ec) total += size;
      }
    }
    if (onComplete) onComplete(total);
  });
}

// Background tasks have no counterpart here: there is nothing to hold open.
void EVTCORFlatFileStorage::appWillBackground(EVTCORApplication& /*application*/) {}

void EVTCORFlatFileStorage::appWillTerminate(EVTCORApplication& /*application*/) {
  storageQueue_->sync([] {});
}

}  // namespace vandrel::analytics
