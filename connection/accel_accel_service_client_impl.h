#pragma once

// The wire side of Accel_AccelServiceClient: the transport module's channel
// (connection/accel_transport.h), or why it could not be made. Only the
// client's own source and the benchmarks include it.

#include <memory>
#include <optional>
#include <string>

#include "connection/accel_accel_service_client.h"
#include "connection/accel_transport.h"

namespace vandrel::connection {

struct Accel_AccelServiceClient::Impl {
  std::string address;
  std::unique_ptr<AccelTransport> transport;  // none when the module failed to load
  std::string loadError;                      // why, then
};

}  // namespace vandrel::connection
