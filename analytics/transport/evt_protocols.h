#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/transport/evt_event.h"
#include "platform/clock.h"
#include "platform/result.h"

namespace vandrel::analytics {

class EVTCORApplication;

// Upload condition bits handed to uploaders.
using EVTCORUploadConditions = std::uint32_t;
inline constexpr EVTCORUploadConditions kEVTCORUploadConditionNoNetwork = 1;
inline constexpr EVTCORUploadConditions kEVTCORUploadConditionMobileData = 2;
inline constexpr EVTCORUploadConditions kEVTCORUploadConditionWifiData = 4;
inline constexpr EVTCORUploadConditions kEVTCORUploadConditionHighPriority = 16;

// Lifecycle calls; every one is optional (the defaults do nothing).
class EVTCORLifecycleProtocol {
 public:
  virtual ~EVTCORLifecycleProtocol() = default;
  virtual void appWillForeground(EVTCORApplication& /*application*/) {}
  virtual void appWillBackground(EVTCORApplication& /*application*/) {}
  virtual void appWillTerminate(EVTCORApplication& /*application*/) {}
};

class EVTCORUploader : public virtual EVTCORLifecycleProtocol {
 public:
  virtual void uploadTarget(std::int64_t target, EVTCORUploadConditions conditions) = 0;
};

// Which stored events a batch takes. None in a set means any value.
class EVTCORStorageEventSelector {
 public:
  static EVTCORStorageEventSelector eventSelectorForTarget(std::int64_t target) {
    return EVTCORStorageEventSelector(target, std::nullopt, std::nullopt, std::nullopt);
  }
  EVTCORStorageEventSelector(std::int64_t target, std::optional<std::set<std::string>> eventIDs,
                             std::optional<std::set<std::string>> mappingIDs,
                             std::optional<std::set<std::int64_t>> qosTiers)
      : selectedTarget_(target),
        selectedEventIDs_(std::move(eventIDs)),
        selectedMappingIDs_(std::move(mappingIDs)),
        selectedQosTiers_(std::move(qosTiers)) {}

  std::int64_t selectedTarget() const { return selectedTarget_; }
  const std::optional<std::set<std::string>>& selectedEventIDs() const {
    return selectedEventIDs_;
  }
  const std::optional<std::set<std::string>>& selectedMappingIDs() const {
    return selectedMappingIDs_;
  }
  const std::optional<std::set<std::int64_t>>& selectedQosTiers() const {
    return selectedQosTiers_;
  }

 private:
  std::int64_t selectedTarget_;
  std::optional<std::set<std::string>> selectedEventIDs_;
  std::optional<std::set<std::string>> selectedMappingIDs_;
  std::optional<std::set<std::int64_t>> selectedQosTiers_;
};

// Completions of the storage operations. They run on the storage's queue.
using EVTCORStoreEventCompletion =
    std::function<void(bool wasWritten, std::optional<platform::Error> error)>;
// (batch ID, events) or (none, none) when nothing was selected.
using EVTCORBatchCompletion = std::function<void(std::optional<std::int64_t> batchID,
                                                 std::optional<std::vector<EVTCOREvent>> events)>;
using EVTCORBatchIDsCompletion =
    std::function<void(std::optional<std::set<std::int64_t>> batchIDs)>;
using EVTCORLibraryDataFetchCompletion =
    std::function<void(std::optional<std::string> data, std::optional<platform::Error> error)>;
// Returns the new value; none leaves the stored value as it is.
using EVTCORLibraryDataNewValue = std::function<std::optional<std::string>()>;
using EVTCORErrorCompletion = std::function<void(std::optional<platform::Error> error)>;

class EVTCORStorageProtocol : public virtual EVTCORLifecycleProtocol {
 public:
  // Completion may be empty.
  virtual void storeEvent(std::optional<EVTCOREvent> event, EVTCORStoreEventCompletion onComplete) = 0;
  virtual void batchWithEventSelector(EVTCORStorageEventSelector selector,
                                      platform::WallTime batchExpiration,
                                      EVTCORBatchCompletion onComplete) = 0;
  virtual void removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                                 std::function<void()> onComplete) = 0;
  virtual void batchIDsForTarget(std::int64_t target, EVTCORBatchIDsCompletion onComplete) = 0;
  virtual void libraryDataForKey(std::string key, EVTCORLibraryDataFetchCompletion onFetchComplete,
                                 EVTCORLibraryDataNewValue setNewValue) = 0;
  virtual void storeLibraryData(std::optional<std::string> data, std::string key,
                                EVTCORErrorCompletion onComplete) = 0;
  virtual void removeLibraryDataForKey(std::string key, EVTCORErrorCompletion onComplete) = 0;
  virtual void hasEventsForTarget(std::int64_t target, std::function<void(bool)> onComplete) = 0;
  virtual void checkForExpirations() = 0;
  virtual void storageSizeWithCallback(std::function<void(std::uint64_t)> onComplete) = 0;
};

}  // namespace vandrel::analytics
