#pragma once

// At start: read back the previous launch's stored metadata and store this
// launch's in its place.

#include <filesystem>
#include <memory>

#include "analytics/tally/tly_crash_metadata.h"
#include "analytics/tally/tly_metadata.h"
#include "platform/clock.h"

namespace vandrel::analytics {

// Run once, synchronously, by the controller at start.
class TLYRotateCrashMetadataOperation {
 public:
  // The current dictionary is made now, started at the clock's wall time
  // in whole seconds.
  TLYRotateCrashMetadataOperation(std::filesystem::path crashMetadataURL,
                                  std::shared_ptr<const TLYMetadata> currentMetadata,
                                  const platform::Clock& clock = platform::SystemClock::shared());

  // Previous file present: its dictionary (none when unreadable) becomes
  // `crashMetadata` and the file is removed; absent: an empty dictionary.
  // Then the current dictionary is written atomically in its place.
  void main();

  const std::filesystem::path& crashMetadataURL() const { return crashMetadataURL_; }
  const std::shared_ptr<const TLYMetadata>& currentMetadata() const { return currentMetadata_; }
  const platform::Value::Dictionary& currentMetadataDictionary() const {
    return currentMetadataDictionary_;
  }
  // Set by `main`; none before it, and when the stored file did not read.
  const std::shared_ptr<const TLYCrashMetadata>& crashMetadata() const { return crashMetadata_; }
  // Whether `main` stored the current dictionary.
  bool wroteCurrentMetadata() const { return wroteCurrentMetadata_; }

 private:
  std::filesystem::path crashMetadataURL_;
  std::shared_ptr<const TLYMetadata> currentMetadata_;
  platform::Value::Dictionary currentMetadataDictionary_;
  std::shared_ptr<const TLYCrashMetadata> crashMetadata_;
  bool wroteCurrentMetadata_ = false;
};

}  // namespace vandrel::analytics
