#include "core/connection_port.h"

#include <atomic>

#include "platform/check.h"

namespace vandrel::core {
namespace {
std::atomic<ConnectionPort*> gSharedPort{nullptr};
}  // namespace

void setSharedConnectionPort(ConnectionPort* port) {
  gSharedPort.store(port, std::memory_order_release);
}

ConnectionPort& sharedConnectionPort() {
  ConnectionPort* port = gSharedPort.load(std::memory_order_acquire);
  VANDREL_CHECK(port != nullptr,
                "no ConnectionPort registered: connection control must call "
                "setSharedConnectionPort at start-up");
  return *port;
}

}  // namespace vandrel::core
