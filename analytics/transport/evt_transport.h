#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analytics/transport/evt_event.h"
#include "analytics/transport/evt_protocols.h"
#include "analytics/transport/evt_transformer.h"

namespace vandrel::analytics {

// A producer's handle for one mapping ID and target: stamps each event
// with a clock snapshot and passes a copy to the transformer queue. Any
// thread; the caller's event is never changed except that
// sendTelemetryEvent sets its QoS tier to 1.
class EVTCORTransport {
 public:
  // nullptr when the mapping ID is empty or the target is below 1.
  static std::unique_ptr<EVTCORTransport> create(
      std::string mappingID, EVTCORTransformerChain transformers, std::int64_t target,
      EVTCORTransformer& transformerInstance = EVTCORTransformer::sharedInstance());

  const std::string& mappingID() const { return mappingID_; }
  const EVTCORTransformerChain& transformers() const { return transformers_; }
  std::int64_t target() const { return target_; }

  // A new event with this handle's mapping ID and target.
  std::optional<EVTCOREvent> eventForTransport() const;

  void sendTelemetryEvent(EVTCOREvent& event, EVTCORStoreEventCompletion onComplete = {});
  void sendDataEvent(const EVTCOREvent& event, EVTCORStoreEventCompletion onComplete = {});
  void sendEvent(const EVTCOREvent& event, EVTCORStoreEventCompletion onComplete = {});

 private:
  EVTCORTransport(std::string mappingID, EVTCORTransformerChain transformers,
                  std::int64_t target, EVTCORTransformer& transformerInstance);

  std::string mappingID_;
  EVTCORTransformerChain transformers_;
  std::int64_t target_;
  EVTCORTransformer& transformerInstance_;
};

}  // namespace vandrel::analytics
