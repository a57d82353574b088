#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "analytics/transport/evt_protocols.h"

namespace vandrel::analytics {

class EVTCORApplication;

// Maps each target to the uploader and the storage registered for it.
// Queue: "com.gryphon.EVTCORRegistrar"; every read and write of the two
// maps runs there (writes asynchronously, reads synchronously). Public
// methods may be called from any thread except that queue.
class EVTCORRegistrar final : public EVTCORLifecycleProtocol {
 public:
  using UploaderMap = std::map<std::int64_t, std::shared_ptr<EVTCORUploader>>;
  using StorageMap = std::map<std::int64_t, std::shared_ptr<EVTCORStorageProtocol>>;

  // Made once and leaked, so nothing is destroyed while queues still run.
  static EVTCORRegistrar& sharedInstance();

  EVTCORRegistrar();
  ~EVTCORRegistrar() override;
  EVTCORRegistrar(const EVTCORRegistrar&) = delete;
  EVTCORRegistrar& operator=(const EVTCORRegistrar&) = delete;

  // Queued; a later registration for a target replaces the earlier one. One
  // object may serve several targets. A null object is ignored.
  void registerUploader(std::shared_ptr<EVTCORUploader> uploader, std::int64_t target);
  void registerStorage(std::shared_ptr<EVTCORStorageProtocol> storage, std::int64_t target);

  // A snapshot taken on the registrar queue, after every registration
  // queued before the call.
  UploaderMap targetToUploader() const;
  StorageMap targetToStorage() const;

  // Each registered uploader, then each storage, gets the call once per
  // target it is registered for.
  void appWillForeground(EVTCORApplication& application) override;
  void appWillBackground(EVTCORApplication& application) override;
  void appWillTerminate(EVTCORApplication& application) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vandrel::analytics
