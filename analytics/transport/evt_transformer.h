#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "analytics/transport/evt_event.h"
#include "analytics/transport/evt_protocols.h"
#include "platform/dispatch.h"

namespace vandrel::analytics {

class EVTCORApplication;
class EVTCORRegistrar;

// One step of a transport's chain: returns the event to pass on, or
// nullopt to drop it.
class EVTCOREventTransformer {
 public:
  virtual ~EVTCOREventTransformer() = default;
  virtual std::optional<EVTCOREvent> transform(EVTCOREvent event) = 0;
};

using EVTCORTransformerChain = std::vector<std::shared_ptr<EVTCOREventTransformer>>;

// Runs transformer chains and hands each result to its target's storage.
// Queue: "com.gryphon.EVTCORTransformer"; one serial queue, so events are
// stored in the order they were sent. Public methods may be called from any
// thread; appWillTerminate not from that queue.
class EVTCORTransformer final : public EVTCORLifecycleProtocol {
 public:
  // Made once on the shared registrar and application, and leaked.
  static EVTCORTransformer& sharedInstance();

  EVTCORTransformer(EVTCORRegistrar& registrar, EVTCORApplication& application);
  ~EVTCORTransformer() override;
  EVTCORTransformer(const EVTCORTransformer&) = delete;
  EVTCORTransformer& operator=(const EVTCORTransformer&) = delete;

  // Queued. A null entry in the chain stands for an object that cannot
  // transform: the completion gets (false, none). A dropped event also gets
  // (false, none). A target without storage gets (false, an error).
  void transformEvent(EVTCOREvent event, EVTCORTransformerChain transformers,
                      EVTCORStoreEventCompletion onComplete = {});

  // Waits until everything queued before has run.
  void appWillTerminate(EVTCORApplication& application) override;

  platform::SerialQueue& eventWritingQueue();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vandrel::analytics
