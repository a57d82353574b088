#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch.h"

namespace vandrel::connection {

inline constexpr std::string_view kAliveReadQueueLabel = "aliveReadQueue";
inline constexpr std::string_view kAliveWord = "Alive";
// A probe that has not answered by then never answers.
inline constexpr std::chrono::milliseconds kAliveTimeout{2000};

// Tells whether a line's detection service answers: a TCP connection to the
// host's detect port, nothing sent, and true when the first data that
// arrives is exactly "Alive". Silence, a refused or closed connection, or
// no data within 2.0 s: no callback at all.
//
// A host is the key of its probe: a new probe of the same host replaces
// (and closes) the earlier one, and the first time-out of a host removes
// whatever probe of that host is registered.
//
// Threads: the sockets run on one I/O thread of the checker's own; the
// registrations, the time-outs and the callbacks run on the serial queue
// "aliveReadQueue". checkAlive may be called from any thread.
class AliveChecker {
 public:
  using Callback = std::function<void(bool alive)>;

  // The process's checker (leaked), timed by the system scheduler.
  static AliveChecker& shared();

  // Time-outs are timed by `scheduler`, which must outlive the checker.
  explicit AliveChecker(platform::Scheduler& scheduler = platform::Scheduler::system());
  // Stops the I/O thread; probes under way end without a callback.
  ~AliveChecker();
  AliveChecker(const AliveChecker&) = delete;
  AliveChecker& operator=(const AliveChecker&) = delete;

  // Starts one probe and returns at once. An empty host or a port outside
  // 0-65535 ends at once, without a callback.
  void checkAlive(std::string host, std::int64_t port, Callback callback);

  platform::SerialQueue& readQueue();

  // Entries of `socketDict` and `callbackDict` now (read on the read queue).
  std::size_t socketCountForTesting();
  std::size_t callbackCountForTesting();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vandrel::connection
