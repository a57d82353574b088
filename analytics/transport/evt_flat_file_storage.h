#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/transport/evt_event.h"
#include "analytics/transport/evt_protocols.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/result.h"

namespace vandrel::analytics {

inline constexpr std::string_view kEVTCORFlatFileStorageQueueLabel =
    "com.gryphon.EVTCORFlatFileStorage";
inline constexpr std::string_view kEVTCORFlatFileStorageErrorDomain = "EVTCORFlatFileStorage";
inline constexpr std::string_view kEVTCORInternalInconsistencyDomain =
    "NSInternalInconsistencyException";
inline constexpr std::string_view kEVTCORStateRootName = "gryphon-sdks-events";
inline constexpr std::string_view kEVTCORBatchIDCounterKey = "EVTCORFlatFileStorageBatchIDCounter";

// The parts of an event file name "<eventID>-<qosTier>-<expiry>-<mappingID>".
struct EVTCOREventComponents {
  std::string eventID;
  std::int64_t qosTier = 0;
  platform::WallTime expiration;  // whole seconds since 1970
  std::string mappingID;          // still percent-encoded
};

// The parts of a batch directory name "<target>-<batchID>-<expiry>".
struct EVTCORBatchComponents {
  std::int64_t target = 0;
  std::int64_t batchID = 0;
  platform::WallTime expiration;
};

// Keeps every stored event as one file whose name carries its routing data:
//
//   <root>/EVTCORFlatFileStorage/evt_event_data/<target>/<event file>
//   <root>/EVTCORFlatFileStorage/evt_batch_data/<batch dir>/<event file>
//   <root>/EVTCORFlatFileStorage/evt_library_data/<key>
//
// with <root> = Caches/gryphon-sdks-events for the shared instance.
// Queue: "com.gryphon.EVTCORFlatFileStorage"; every file operation runs
// there and so do the completions. Public methods may be called from any
// thread except that queue (appWillTerminate waits for it).
class EVTCORFlatFileStorage final : public EVTCORStorageProtocol {
 public:
  // Called with a target when a stored event of tier 4 asks for an upload.
  using ForceUpload = std::function<void(std::int64_t target)>;

  // The load step: registers the shared instance as the storage of the
  // targets 999, 1000, 1001 and 1002. Idempotent.
  static void load();
  // Made once and leaked. Its forced uploads go to the upload coordinator.
  static const std::shared_ptr<EVTCORFlatFileStorage>& sharedInstance();

  // `stateRoot` is the directory that holds "EVTCORFlatFileStorage"; `clock`
  // gives "now" for the expiry sweep.
  EVTCORFlatFileStorage(std::filesystem::path stateRoot, ForceUpload forceUpload,
                        const platform::Clock& clock = platform::SystemClock::shared());
  ~EVTCORFlatFileStorage() override;
  EVTCORFlatFileStorage(const EVTCORFlatFileStorage&) = delete;
  EVTCORFlatFileStorage& operator=(const EVTCORFlatFileStorage&) = delete;

  // The storage operations (see EVTCORStorageProtocol).
  void storeEvent(std::optional<EVTCOREvent> event, EVTCORStoreEventCompletion onComplete) override;
  void batchWithEventSelector(EVTCORStorageEventSelector selector,
                              platform::WallTime batchExpiration,
                              EVTCORBatchCompletion onComplete) override;
  void removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                         std::function<void()> onComplete) override;
  void batchIDsForTarget(std::int64_t target, EVTCORBatchIDsCompletion onComplete) override;
  void libraryDataForKey(std::string key, EVTCORLibraryDataFetchCompletion onFetchComplete,
                         EVTCORLibraryDataNewValue setNewValue) override;
  void storeLibraryData(std::optional<std::string> data, std::string key,
                        EVTCORErrorCompletion onComplete) override;
  void removeLibraryDataForKey(std::string key, EVTCORErrorCompletion onComplete) override;
  void hasEventsForTarget(std::int64_t target, std::function<void(bool)> onComplete) override;
  void checkForExpirations() override;
  void storageSizeWithCallback(std::function<void(std::uint64_t)> onComplete) override;

  void appWillBackground(EVTCORApplication& application) override;
  // Waits until the storage queue has run everything queued before.
  void appWillTerminate(EVTCORApplication& application) override;

  // Paths; each directory is created when asked for.
  std::filesystem::path stateRoot() const;
  std::filesystem::path eventDataStoragePath() const;
  std::filesystem::path batchDataStoragePath() const;
  std::filesystem::path libraryDataStoragePath() const;
  std::filesystem::path pathForTarget(std::int64_t target, std::string_view eventID,
                                      std::int64_t qosTier, platform::WallTime expirationDate,
                                      std::string_view mappingID) const;
  std::filesystem::path batchPathForTarget(std::int64_t target, std::int64_t batchID,
                                           platform::WallTime expirationDate) const;

  // File-name parsers.
  static platform::Result<EVTCOREventComponents> eventComponentsFromFilename(
      std::string_view fileName);
  static platform::Result<EVTCORBatchComponents> batchComponentsFromFilename(
      std::string_view fileName);

  // Mapping IDs in file names: alphanumerics and "-" as they are, every
  // other byte as %XX.
  static std::string percentEncodeMappingID(std::string_view mappingID);
  static std::optional<std::string> percentDecode(std::string_view text);

  // The storage queue, for tests that need to wait for it.
  platform::SerialQueue& storageQueue() { return *storageQueue_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::shared_ptr<platform::SerialQueue> storageQueue_;
};

}  // namespace vandrel::analytics
