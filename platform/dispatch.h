#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/sync.h"

namespace vandrel::platform {

using Job = std::function<void()>;
class Scheduler;

// A place where jobs run. Every queue keeps a per-thread record of the
// queues the current thread is running for, so `isCurrent` and
// `assertCurrent` can tell whether a caller is on the right queue.
class Queue {
 public:
  virtual ~Queue() = default;

  virtual void async(Job job) = 0;
  virtual std::string_view label() const = 0;

  // A function that posts to this queue and stays valid after the queue
  // object is gone (for timers and notifications that may outlive it).
  virtual std::function<void(Job)> poster();

  // True when the calling thread runs a job of this queue (also inside a
  // `sync` nested in one).
  virtual bool isCurrent() const;
  // Aborts with a message naming `what` when the caller is not on this queue.
  void assertCurrent(const char* what) const;

  // Runs `job` once `delay` has passed on the scheduler's clock.
  void after(Duration delay, Job job);
  void after(Duration delay, Job job, Scheduler& scheduler);

  // Runs `job` on the calling thread once the queue has let it in (for a
  // serial queue: after everything posted before it, exclusively), and
  // returns after it. Calling it from the queue itself would dead-lock: it
  // aborts with a message instead.
  virtual void sync(Job job);

  // The innermost queue the calling thread runs a job of; on the GUI thread
  // of a bound main queue outside any job, the main queue; else nullptr.
  static Queue* current();

 protected:
  // Marks the calling thread as running for this queue while alive.
  class CurrentScope {
   public:
    explicit CurrentScope(const Queue* q);
    ~CurrentScope();
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;
  };
};

// The process-wide concurrent queue. It is elastic: when every worker is
// busy (blocked in a wait, typically) a new worker starts, so blocking waits
// on it never starve it. Idle workers retire after a while.
class GlobalQueue final : public Queue {
 public:
  static GlobalQueue& shared();
  void async(Job job) override;
  std::string_view label() const override { return "global"; }
  // Concurrent: `sync` simply runs the job here.
  void sync(Job job) override;

  std::size_t workerCountForTesting() const;

 private:
  GlobalQueue() = default;
  void workerLoop();

  mutable Mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> jobs_ VANDREL_GUARDED_BY(mutex_);
  std::size_t workers_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::size_t idle_ VANDREL_GUARDED_BY(mutex_) = 0;
};

inline GlobalQueue& globalQueue() { return GlobalQueue::shared(); }

// A named FIFO queue that runs one job at a time on the global queue's
// workers; no thread of its own.
class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label);
  ~SerialQueue() override;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  void async(Job job) override;
  void sync(Job job) override;
  std::string_view label() const override { return label_; }
  std::function<void(Job)> poster() override;

 private:
  struct State;
  static void enqueue(const std::shared_ptr<State>& state, Job job);
  static void drain(const std::shared_ptr<State>& state);

  std::string label_;
  std::shared_ptr<State> state_;
};

// The main queue: serial, FIFO across threads, drained only by the main
// thread. In the application the event loop drives it; tests and headless
// programs pump it with `runUntil`. A job posted from the main thread never
// runs in place, and a job that spins a nested event loop does not let the
// next job start until it returns.
//
// Once bound to an event loop, the thread that bound it is the main thread
// for good, and the queue counts as current there also outside its jobs:
// what the event loop delivers there (a click, a timer, a paint) runs on the
// main queue as much as a posted job does.
class MainQueue final : public Queue {
 public:
  static MainQueue& shared();

  void async(Job job) override;
  void sync(Job job) override;
  std::string_view label() const override { return "main"; }
  // Inside a job; or, once bound, anywhere on the thread that bound it.
  bool isCurrent() const override;

  // Binds the queue to an event loop: `wake` is called (from any thread)
  // whenever jobs wait; the loop then calls `drain()` on the calling
  // thread, which becomes the main thread. Call it on the loop's thread.
  // Jobs posted before binding are kept.
  void bind(std::function<void()> wake);
  bool isBound() const { return bound_.load(); }
  // Runs the waiting jobs, one at a time. Re-entrant calls (from a nested
  // event loop inside a job) return at once.
  void drain();
  // Drops waiting jobs and every later post.
  void shutdown();

  // Test and headless driver: the calling thread becomes the main thread
  // and runs jobs until `done` answers true (checked after each job) or
  // `timeout` passes. Returns whether `done` became true.
  bool runUntil(const std::function<bool()>& done,
                Duration timeout = std::chrono::seconds(10));
  // Runs jobs for `duration`, then returns.
  void runFor(Duration duration);
  // Runs what is waiting now (and what those jobs post) until the queue is
  // empty.
  void runPending();

  bool isMainThread() const;
  std::size_t pendingCountForTesting() const;

 private:
  MainQueue() = default;
  bool runOne();

  mutable Mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> jobs_ VANDREL_GUARDED_BY(mutex_);
  std::function<void()> wake_ VANDREL_GUARDED_BY(mutex_);
  bool shutdown_ VANDREL_GUARDED_BY(mutex_) = false;
  std::atomic<bool> draining_{false};
  std::atomic<bool> bound_{false};
  std::atomic<std::uint64_t> mainThreadHash_{0};
};

inline MainQueue& mainQueue() { return MainQueue::shared(); }
bool isMainThread();

// Runs delayed jobs on their queues when their time has come on the clock.
class Scheduler {
 public:
  explicit Scheduler(Clock& clock);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // The scheduler on the system clock, for production delays.
  static Scheduler& system();

  using TimerId = std::uint64_t;
  TimerId schedule(Duration delay, Queue& queue, Job job);
  TimerId scheduleAt(TimePoint when, Queue& queue, Job job);
  TimerId scheduleAt(TimePoint when, std::function<void(Job)> post, Job job);
  // Returns true when the job had not been handed to its queue yet.
  bool cancel(TimerId id);

  Clock& clock() const { return clock_; }
  // Jobs not yet handed to their queue (those due but still being posted
  // included).
  std::size_t pendingCountForTesting() const;

 private:
  struct Impl;
  Clock& clock_;
  std::unique_ptr<Impl> impl_;
};

// A dispatch group: counts outstanding work; `notify` runs once the count
// drops to zero, `wait` blocks (never on the main thread) until then.
class Group {
 public:
  Group();
  void enter();
  void leave();
  void async(Queue& queue, Job job);
  void notify(Queue& queue, Job job);
  // Returns false when `timeout` passed first.
  bool wait(Duration timeout);
  void wait();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A repeating timer at a fixed rate: the n-th tick is due at start + n *
// interval, whatever the handler took; ticks that are already late run once.
class TimerSource {
 public:
  TimerSource(Queue& queue, Duration interval, Job handler,
              Scheduler& scheduler = Scheduler::system());
  ~TimerSource();
  TimerSource(const TimerSource&) = delete;
  TimerSource& operator=(const TimerSource&) = delete;

  void start();
  // After cancel returns no new tick starts.
  void cancel();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vandrel::platform
