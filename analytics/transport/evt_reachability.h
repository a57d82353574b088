#pragma once

#include <cstdint>
#include <memory>

#include "platform/reachability.h"

namespace vandrel::analytics {

// Watches the route to the internet (the zero IPv4 address). Queue:
// "com.gryphon.EVTCORReachability"; the flags are read and written only
// there. Public methods may be called from any thread except that queue.
class EVTCORReachability {
 public:
  // Made on first use, on the system's source, and leaked.
  static EVTCORReachability& sharedInstance();
  // flags() of the shared instance.
  static std::uint32_t currentFlags();

  // Starts watching at once: the change callback is set and the flags are
  // read once, asynchronously, on the reachability queue. A null source
  // (the system could not make one) reads as no flags at all.
  explicit EVTCORReachability(std::unique_ptr<platform::ReachabilitySource> source);
  ~EVTCORReachability();
  EVTCORReachability(const EVTCORReachability&) = delete;
  EVTCORReachability& operator=(const EVTCORReachability&) = delete;

  // The flags of the latest change, or those read at start while no change
  // has come.
  std::uint32_t flags() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  std::unique_ptr<platform::ReachabilitySource> source_;
};

}  // namespace vandrel::analytics
