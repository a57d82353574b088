// The logger's keyword check: where error texts go to be matched against
// the service's upload keywords.

#include <memory>
#include <string>
#include <utility>

#include "core/log_upload.h"
#include "core/log_util.h"
#include "core/static_data.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::core {

namespace {

struct InstalledUpload {
  platform::Mutex mutex;
  std::shared_ptr<LogUpload> upload VANDREL_GUARDED_BY(mutex);
};

InstalledUpload& installed() {
  static auto* const slot = new InstalledUpload;
  return *slot;
}

std::shared_ptr<LogUpload> installedUpload() {
  InstalledUpload& slot = installed();
  platform::MutexLock lock(slot.mutex);
  return slot.upload;
}

}  // namespace

void installLogUpload(std::shared_ptr<LogUpload> upload) {
  InstalledUpload& slot = installed();
  {
    platform::MutexLock lock(slot.mutex);
    slot.upload.swap(upload);
  }
  // The one replaced (if any) goes here, outside the lock.
}

void LogUtil::checkUploadKeywords(std::string_view text) {
  if (const std::shared_ptr<LogUpload> upload = installedUpload()) {
    upload->checkUploadKeywords(text);
    return;
  }
  // Before the shared catalogue exists there are no keywords to match, and
  // an error report (from inside a shared object's construction, say) must
  // not be what builds the shared objects.
  if (StaticData::sharedIfCreated() == nullptr) return;
  platform::globalQueue().async(
      [text = std::string(text)] { LogUpload::shared().checkUploadKeywords(text); });
}

}  // namespace vandrel::core
