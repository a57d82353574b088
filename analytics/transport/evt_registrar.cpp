#include "analytics/transport/evt_registrar.h"

#include <string>
#include <utility>

#include "analytics/transport/evt_log.h"
#include "platform/dispatch.h"

namespace vandrel::analytics {

// The maps live in a shared state that queued jobs hold weakly: a job that
// runs after the registrar is gone does nothing. They are touched only on
// the registrar queue.
struct EVTCORRegistrar::State {
  platform::SerialQueue queue{"com.gryphon.EVTCORRegistrar"};
  UploaderMap targetToUploader;
  StorageMap targetToStorage;
};

EVTCORRegistrar& EVTCORRegistrar::sharedInstance() {
  static auto* instance = new EVTCORRegistrar();
  return *instance;
}

EVTCORRegistrar::EVTCORRegistrar() : state_(std::make_shared<State>()) {}

EVTCORRegistrar::~EVTCORRegistrar() = default;

void EVTCORRegistrar::registerUploader(std::shared_ptr<EVTCORUploader> uploader,
                                       std::int64_t target) {
  if (!uploader) return;
  std::weak_ptr<State> weak = state_;
  state_->queue.async([weak, uploader = std::move(uploader), target]() mutable {
    auto state = weak.lock();
    if (!state) return;
    const void* address = uploader.get();
    state->targetToUploader[target] = std::move(uploader);
    EVTCORLogDebug("Registered an uploader: %p for target:%ld", address,
                   static_cast<long>(target));
  });
}

void EVTCORRegistrar::registerStorage(std::shared_ptr<EVTCORStorageProtocol> storage,
                                      std::int64_t target) {
  if (!storage) return;
  std::weak_ptr<State> weak = state_;
  state_->queue.async([weak, storage = std::move(storage), target]() mutable {
    auto state = weak.lock();
    if (!state) return;
    const void* address = storage.get();
    state->targetToStorage[target] = std::move(storage);
    EVTCORLogDebug("Registered storage: %p for target:%ld", address, static_cast<long>(target));
  });
}

EVTCORRegistrar::UploaderMap EVTCORRegistrar::targetToUploader() const {
  UploaderMap copy;
  state_->queue.sync([&] { copy = state_->targetToUploader; });
  return copy;
}

EVTCORRegistrar::StorageMap EVTCORRegistrar::targetToStorage() const {
  StorageMap copy;
  state_->queue.sync([&] { copy = state_->targetToStorage; });
  return copy;
}

namespace {

// The calls go out from the caller's thread, on snapshots, so an uploader
// or storage that waits for its own queue never holds the registrar queue.
template <typename Call>
void forEachRegistered(const EVTCORRegistrar& registrar, Call call) {
  for (auto& [target, uploader] : registrar.targetToUploader()) call(*uploader);
  for (auto& [target, storage] : registrar.targetToStorage()) call(*storage);
}

}  // namespace

void EVTCORRegistrar::appWillForeground(EVTCORApplication& application) {
  forEachRegistered(*this, [&](EVTCORLifecycleProtocol& o) { o.appWillForeground(application); });
}

void EVTCORRegistrar::appWillBackground(EVTCORApplication& application) {
  forEachRegistered(*this, [&](EVTCORLifecycleProtocol& o) { o.appWillBackground(application); });
}

void EVTCORRegistrar::appWillTerminate(EVTCORApplication& application) {
  forEachRegistered(*this, [&](EVTCORLifecycleProtocol& o) { o.appWillTerminate(application); });
}

}  // namespace vandrel::analytics
