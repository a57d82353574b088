#include "analytics/transport/evt_transport.h"

#include <utility>

#include "analytics/transport/evt_log.h"

namespace vandrel::analytics {

std::unique_ptr<EVTCORTransport> EVTCORTransport::create(std::string mappingID,
                                                         EVTCORTransformerChain transformers,
                                                         std::int64_t target,
                                                         EVTCORTransformer& transformerInstance) {
  if (mappingID.empty() || target < 1) return nullptr;
  EVTCORLogDebug("Transport object created. mappingID:%s transformers:%zu target:%ld",
                 mappingID.c_str(), transformers.size(), static_cast<long>(target));
  return std::unique_ptr<EVTCORTransport>(new EVTCORTransport(
      std::move(mappingID), std::move(transformers), target, transformerInstance));
}

EVTCORTransport::EVTCORTransport(std::string mappingID, EVTCORTransformerChain transformers,
                                 std::int64_t target, EVTCORTransformer& transformerInstance)
    : mappingID_(std::move(mappingID)),
      transformers_(std::move(transformers)),
      target_(target),
      transformerInstance_(transformerInstance) {}

std::optional<EVTCOREvent> EVTCORTransport::eventForTransport() const {
  return EVTCOREvent::initWithMappingID(mappingID_, target_);
}

void EVTCORTransport::sendTelemetryEvent(EVTCOREvent& event,
                                         EVTCORStoreEventCompletion onComplete) {
  event.setQosTier(kEVTCORQoSTelemetry);
  sendEvent(event, std::move(onComplete));
}

void EVTCORTransport::sendDataEvent(const EVTCOREvent& event,
                                    EVTCORStoreEventCompletion onComplete) {
  sendEvent(event, std::move(onComplete));
}

void EVTCORTransport::sendEvent(const EVTCOREvent& event, EVTCORStoreEventCompletion onComplete) {
  EVTCOREvent copy = event.copy();
  copy.setClockSnapshot(EVTCORClock::snapshot());
  transformerInstance_.transformEvent(std::move(copy), transformers_, std::move(onComplete));
}

}  // namespace vandrel::analytics
