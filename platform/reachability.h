#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::platform {

// Bits of a reachability flags word.
namespace reachability_flags {
inline constexpr std::uint32_t kReachable = 0x02;
inline constexpr std::uint32_t kConnectionRequired = 0x04;
inline constexpr std::uint32_t kConnectionOnTraffic = 0x08;
inline constexpr std::uint32_t kInterventionRequired = 0x10;
inline constexpr std::uint32_t kConnectionOnDemand = 0x20;
}  // namespace reachability_flags

// Watches whether a target (a host name or the zero address) can be reached
// and answers in reachability flags.
class ReachabilitySource {
 public:
  using FlagsCallback = std::function<void(std::uint32_t flags)>;

  virtual ~ReachabilitySource() = default;

  // The current flags, or nullopt when they cannot be read. Any thread.
  virtual std::optional<std::uint32_t> flags() = 0;

  // Delivers the flags on `queue` through `onChange` whenever something that
  // may change them happens (repeats are possible). A second start replaces
  // the first. Returns whether the registration succeeded.
  virtual bool start(Queue& queue, FlagsCallback onChange) = 0;

  // Ends delivery: once it returns, no delivery starts, also not one that
  // is already queued (a call under way on another thread may finish). Any
  // thread; safe to call when not started.
  virtual void stop() = 0;
};

// The running system's source, for a host name (no name lookup: the host
// is reachable when the machine has a usable way out) or for the zero
// address. nullptr for an empty name or one with a NUL byte.
std::unique_ptr<ReachabilitySource> makeReachabilitySourceForHost(std::string_view hostName);
std::unique_ptr<ReachabilitySource> makeReachabilitySourceForZeroAddress();

// A source driven by hand, for tests.
class ManualReachabilitySource final : public ReachabilitySource {
 public:
  ManualReachabilitySource() = default;
  ~ManualReachabilitySource() override;

  std::optional<std::uint32_t> flags() override;
  bool start(Queue& queue, FlagsCallback onChange) override;
  void stop() override;

  // What flags() answers from now on (nullopt: unreadable).
  void setFlags(std::optional<std::uint32_t> flags);
  // Sets the flags and, when started, queues one delivery of them.
  void change(std::uint32_t flags);
  // Makes later starts report failure (delivery is still set up).
  void setFailRegistration(bool fail);
  bool isStarted() const;

 private:
  struct Delivery;
  mutable Mutex mutex_;
  std::optional<std::uint32_t> flags_ VANDREL_GUARDED_BY(mutex_);
  bool failRegistration_ VANDREL_GUARDED_BY(mutex_) = false;
  std::shared_ptr<Delivery> delivery_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::platform
