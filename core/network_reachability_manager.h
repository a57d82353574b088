#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/reachability.h"

namespace vandrel::platform {
class Queue;
}

namespace vandrel::core {

enum class ConnectionType { ethernetOrWiFi, wwan };

// unknown (flags unreadable), notReachable, or reachable over a connection
// type. On this platform no flag selects `wwan`.
struct NetworkReachabilityStatus {
  enum class Kind { unknown, notReachable, reachable };

  Kind kind = Kind::unknown;
  std::optional<ConnectionType> connectionType;  // only with `reachable`

  static NetworkReachabilityStatus unknown() { return {Kind::unknown, std::nullopt}; }
  static NetworkReachabilityStatus notReachable() { return {Kind::notReachable, std::nullopt}; }
  static NetworkReachabilityStatus reachable(ConnectionType type) {
    return {Kind::reachable, type};
  }

  bool operator==(const NetworkReachabilityStatus&) const = default;
};

// Tells whether the network is reachable and reports changes to one
// listener, on the listener queue (the main queue unless set otherwise).
// Repeated flags are not reported again.
//
// Threads: the status getters may be called from any thread (each reads the
// source anew); the setters and start/stop from any thread. The listener,
// the first notification after a start and every change run on the queue
// that `listenerQueue` named when startListening ran. After stopListening
// returns (or the manager is gone) no notification starts and none is under
// way, except one that is calling stopListening itself.
class NetworkReachabilityManager {
 public:
  using Listener = std::function<void(NetworkReachabilityStatus)>;

  // For a host name (no lookup happens) / for the zero address. nullptr when
  // the platform gives no source for the target.
  static std::unique_ptr<NetworkReachabilityManager> create(std::string_view host);
  static std::unique_ptr<NetworkReachabilityManager> create();

  // Over any source (tests hand in a platform::ManualReachabilitySource).
  explicit NetworkReachabilityManager(std::unique_ptr<platform::ReachabilitySource> source);
  ~NetworkReachabilityManager();
  NetworkReachabilityManager(const NetworkReachabilityManager&) = delete;
  NetworkReachabilityManager& operator=(const NetworkReachabilityManager&) = delete;

  bool isReachable() const;
  bool isReachableOnWWAN() const;
  bool isReachableOnEthernetOrWiFi() const;
  NetworkReachabilityStatus networkReachabilityStatus() const;

  platform::Queue& listenerQueue() const;
  void setListenerQueue(platform::Queue& queue);
  void setListener(Listener listener);

  // nullopt when the source cannot read them.
  std::optional<std::uint32_t> flags() const;
  // The flags last reported to the listener; 0 after each start.
  std::uint32_t previousFlags() const;

  // Registers with the source and queues the first notification (with the
  // current flags, 0 when unreadable). Returns whether registration worked;
  // the first notification is queued either way. A second start registers
  // again and resets previousFlags.
  bool startListening();
  void stopListening();

 private:
  struct State;

  std::unique_ptr<platform::ReachabilitySource> source_;
  std::shared_ptr<State> state_;
};

}  // namespace vandrel::core
