#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/result.h"

namespace vandrel::connection {

// The daemon's wire: one plaintext gRPC channel, reached through a module
// of its own (libvandrel_accel_grpc.so) that the process loads on the first
// daemon call. The gRPC library and its dozens of dependencies then cost a
// start nothing: no connect has happened when the first window shows.
class AccelTransport {
 public:
  struct Reply {
    bool ok = false;
    std::string errorMessage;  // the status message when !ok (may be empty)
    std::string response;      // the encoded response message when ok
  };

  virtual ~AccelTransport() = default;
  // One blocking unary call of `method` ("/accel.Accel/StartSS") with the
  // encoded request; no deadline when `deadline` is none.
  virtual Reply call(const std::string& method, const std::string& request,
                     std::optional<std::chrono::system_clock::time_point> deadline) = 0;
};

// Reconnect back-off of the channel, in milliseconds (gRPC's arguments of
// the same names).
struct AccelTransportOptions {
  int initialReconnectBackoffMs = 0;
  int minReconnectBackoffMs = 0;
  int maxReconnectBackoffMs = 0;
};

// The module's one entry point.
using MakeAccelTransportFunction = AccelTransport* (*)(const char* address,
                                                       const AccelTransportOptions* options);
inline constexpr const char* kAccelTransportModule = "libvandrel_accel_grpc.so";
inline constexpr const char* kMakeAccelTransportSymbol = "vandrel_make_accel_transport";

// A transport to `address`, the module loaded (once per process, never
// unloaded) on the first call. An error when the module cannot be loaded.
platform::Result<std::unique_ptr<AccelTransport>> makeAccelTransport(
    const std::string& address, const AccelTransportOptions& options);

}  // namespace vandrel::connection
