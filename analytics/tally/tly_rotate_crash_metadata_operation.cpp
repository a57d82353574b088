#include "analytics/tally/tly_rotate_crash_metadata_operation.h"

#include <sys/stat.h>

#include <system_error>

#include "analytics/tally/tly_write_event_operation.h"

namespace vandrel::analytics {

TLYRotateCrashMetadataOperation::TLYRotateCrashMetadataOperation(
    std::filesystem::path crashMetadataURL, std::shared_ptr<const TLYMetadata> currentMetadata,
    const platform::Clock& clock)
    : crashMetadataURL_(std::move(crashMetadataURL)), currentMetadata_(std::move(currentMetadata)) {
  if (currentMetadata_) {
    currentMetadataDictionary_ =
        currentMetadata_->dictionaryRepresentationWithStartTime(TLYSecondsSince1970(clock.wallNow()))
            .value_or(platform::Value::Dictionary{});
  }
}

void TLYRotateCrashMetadataOperation::main() {
  struct stat st {};
  if (::lstat(crashMetadataURL_.c_str(), &st) == 0) {
    if (auto previous = TLYCrashMetadata::readSerializedDictionaryFromURL(crashMetadataURL_)) {
      crashMetadata_ = std::make_shared<const TLYCrashMetadata>(std::move(*previous));
    }
    // Gone before the new one is written: a failed write must not leave an
    // older launch's metadata to be taken for this one's.
    std::error_code ec;
    std::filesystem::remove(crashMetadataURL_, ec);
  } else {
    crashMetadata_ = std::make_shared<const TLYCrashMetadata>(platform::Value::Dictionary{});
  }
  wroteCurrentMetadata_ = TLYCrashMetadata::writeSerializedDictionary(currentMetadataDictionary_, crashMetadataURL_);
}

}  // namespace vandrel::analytics
