#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/reachability.h"
#include "platform/sync.h"

namespace vandrel::platform {

// Reachability from the kernel's routing state (rtnetlink).
//
// The target is reachable when the machine has a unicast default route,
// IPv4 or IPv6, in any table but the local one, with a next hop through an
// interface that is up and running (has carrier), is not the loopback and
// is not marked dead or linkdown. A plain route lookup is not enough: it
// answers "reachable" through a default route whose cable is out. Host-name
// targets are never looked up: the answer is the same for every target.
//
// Flags are kReachable or 0; nullopt when the routing state cannot be read.
//
// Change events: one socket in the link, IPv4-route and IPv6-route groups,
// read by one thread for all the sources started at the time (the flags do
// not depend on the target); after each burst of events the flags are read
// again, once, and delivered to each. The first start makes them; the stop
// (or destruction) of the last started source wakes that thread and joins
// it.
class LinuxReachabilitySource final : public ReachabilitySource {
 public:
  explicit LinuxReachabilitySource(std::string target);
  ~LinuxReachabilitySource() override;
  LinuxReachabilitySource(const LinuxReachabilitySource&) = delete;
  LinuxReachabilitySource& operator=(const LinuxReachabilitySource&) = delete;

  std::optional<std::uint32_t> flags() override;
  bool start(Queue& queue, FlagsCallback onChange) override;
  void stop() override;

  const std::string& target() const { return target_; }

 private:
  struct Listener;

  const std::string target_;
  Mutex mutex_;
  std::unique_ptr<Listener> listener_ VANDREL_GUARDED_BY(mutex_);
};

// Whether the kernel has a usable default route (the rule above); nullopt
// when the links or routes cannot be read.
std::optional<bool> hasUsableDefaultRoute();

}  // namespace vandrel::platform
