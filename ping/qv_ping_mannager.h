#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ping/qv_ping.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::ping {

// Drives ping runs over many pingers from three serial queues of its own:
// set-up, stopping and the start of every cycle on "NewGBPingMainQueue",
// sending on "NewGBPingSendQueue", reading on "NewGBPinglistenQueue". No
// thread of its own. Results go from each pinger to its own delegate.
//
// A run: `qv_add` each pinger, `setupAll` with a completion that sets
// `qv_timeout` and `qv_pingPeriod` and calls `startPinging`, later
// `stopPinging`. Always owned by a shared_ptr.
class qv_PingMannager : public std::enable_shared_from_this<qv_PingMannager> {
 public:
  // The one manager of the process, made on first use, never destroyed.
  static std::shared_ptr<qv_PingMannager> qv_shared();

  // Cycles paced and the memory-warning pause timed by the system scheduler.
  qv_PingMannager();
  // Cycles paced by `scheduler`, the pause timed by its clock; it must
  // outlive the manager's runs.
  explicit qv_PingMannager(platform::Scheduler& scheduler);
  ~qv_PingMannager();
  qv_PingMannager(const qv_PingMannager&) = delete;
  qv_PingMannager& operator=(const qv_PingMannager&) = delete;

  const std::shared_ptr<platform::SerialQueue>& qv_sendQueue() const { return sendQueue_; }
  const std::shared_ptr<platform::SerialQueue>& qv_listenQueue() const { return listenQueue_; }
  const std::shared_ptr<platform::SerialQueue>& qv_mainQueue() const { return mainQueue_; }

  // Gives the pinger the manager's three queues, then appends it; done when
  // this returns. The pinger's time-out is left as it is.
  void qv_add(const std::shared_ptr<qv_Ping>& ping);
  // Queues one set-up pass over the pingers added so far and returns at once.
  // Pingers that fail set-up leave the run with every pinger of their host;
  // those of them that are pinging are stopped.
  // `completion` runs on qv_mainQueue after the pass.
  void setupAll(std::function<void()> completion = {});
  // When not pinging: starts one send loop and one listen loop.
  void startPinging();
  // Asynchronously on qv_mainQueue: when pinging, stops pinging, stops the
  // pingers that were in the list at this call and drops them from it.
  void stopPinging();

  bool qv_isPinging() const;
  std::vector<std::shared_ptr<qv_Ping>> qv_pings() const;

  // Seconds between two requests of one pinger; read at each send cycle.
  double qv_pingPeriod() const { return pingPeriod_.load(); }
  void setQv_pingPeriod(double seconds) { pingPeriod_.store(seconds); }
  // Time-out of each request; setting it also sets it on every pinger of
  // the current list.
  double qv_timeout() const { return timeout_.load(); }
  void setQv_timeout(double seconds);

  // Memory-warning pause: true while fewer than qv_stopPingDuration seconds
  // have passed since the last warning; the first read after that forgets
  // the warning. Writing true records a warning now (and stops a run, also
  // one whose set-up is still queued); writing false changes nothing, the
  // pause runs its full length.
  bool isInMemoryWarningPause();
  void setIsInMemoryWarningPause(bool pause);
  // What the platform's memory-pressure report calls.
  void recordMemoryWarning() { setIsInMemoryWarningPause(true); }
  double qv_stopPingDuration() const { return stopPingDuration_.load(); }
  void setQv_stopPingDuration(double seconds) { stopPingDuration_.store(seconds); }
  // Seconds since 1970 of the warning in force, 0 for none.
  double qv_lastMemoryWarningTime() const { return lastMemoryWarningTime_.load(); }
  void setQv_lastMemoryWarningTime(double seconds) { lastMemoryWarningTime_.store(seconds); }

  // Threads of this process, -1 when they cannot be counted.
  static std::int64_t processThreadCount();

  // Send and listen loops running now.
  int sendLoopCountForTesting() const { return sendLoops_.load(); }
  int listenLoopCountForTesting() const { return listenLoops_.load(); }

 private:
  // On qv_mainQueue: whether the loop of run `run` goes on, with the pingers
  // of its next cycle.
  bool beginCycle(std::uint64_t run, std::vector<std::shared_ptr<qv_Ping>>& pings);
  void startSendWorker(std::uint64_t run);
  void beginSendCycle(std::uint64_t run);
  void startListenWorker(std::uint64_t run);
  void sendCycle(std::uint64_t run, const std::vector<std::shared_ptr<qv_Ping>>& pings);
  void listenCycle(std::uint64_t run, const std::vector<std::shared_ptr<qv_Ping>>& pings);

  platform::Scheduler& scheduler_;
  const std::shared_ptr<platform::SerialQueue> sendQueue_;
  const std::shared_ptr<platform::SerialQueue> listenQueue_;
  const std::shared_ptr<platform::SerialQueue> mainQueue_;

  std::atomic<double> stopPingDuration_{60.0};
  std::atomic<double> lastMemoryWarningTime_{0};
  std::atomic<double> pingPeriod_{1.0};
  std::atomic<double> timeout_{1.0};
  std::atomic<int> sendLoops_{0};
  std::atomic<int> listenLoops_{0};

  mutable platform::Mutex mutex_;
  std::vector<std::shared_ptr<qv_Ping>> pings_ VANDREL_GUARDED_BY(mutex_);
  bool isPinging_ VANDREL_GUARDED_BY(mutex_) = false;
  // Numbers the runs: a loop left over from an earlier run ends at its next
  // cycle start even when a new run has begun in the meantime.
  std::uint64_t run_ VANDREL_GUARDED_BY(mutex_) = 0;
};

}  // namespace vandrel::ping
