#include "platform/dispatch.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/check.h"

namespace vandrel::platform {
namespace {

// The queues the calling thread is running jobs for, innermost last.
thread_local std::vector<const Queue*> tlsQueues;

constexpr std::size_t kMaxGlobalWorkers = 512;
constexpr auto kIdleWorkerRetirement = std::chrono::seconds(15);

std::uint64_t threadHash() {
  return std::hash<std::thread::id>{}(std::this_thread::get_id()) | 1u;
}

}  // namespace

// ---- Queue ---------------------------------------------------------------

Queue::CurrentScope::CurrentScope(const Queue* q) {
  tlsQueues.push_back(q);
}

Queue::CurrentScope::~CurrentScope() { tlsQueues.pop_back(); }

bool Queue::isCurrent() const {
  return std::find(tlsQueues.begin(), tlsQueues.end(), this) != tlsQueues.end();
}

Queue* Queue::current() {
  if (!tlsQueues.empty()) return const_cast<Queue*>(tlsQueues.back());
  MainQueue& main = MainQueue::shared();
  return main.isCurrent() ? &main : nullptr;
}

void Queue::assertCurrent(const char* what) const {
  if (isCurrent()) return;
  std::string message = std::string(what) + " must run on queue \"" + std::string(label()) + "\"";
  checkFailed(__FILE__, __LINE__, "isCurrent()", message.c_str());
}

std::function<void(Job)> Queue::poster() {
  return [this](Job job) { async(std::move(job)); };
}

void Queue::after(Duration delay, Job job) { after(delay, std::move(job), Scheduler::system()); }

void Queue::after(Duration delay, Job job, Scheduler& scheduler) {
  scheduler.schedule(delay, *this, std::move(job));
}

namespace {

// The hand-shake of a blocking call into another thread. Shared, so whichever
// side finishes last frees it: the waiting side may return (and unwind its
// stack) while the other is still waking up.
struct Handshake {
  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool finished = false;

  void set(bool Handshake::*flag) {
    std::lock_guard<std::mutex> lock(m);
    this->*flag = true;
    cv.notify_all();
  }
  void await(bool Handshake::*flag) {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return this->*flag; });
  }
};

}  // namespace

namespace {

// Releases the caller of `sync` when the job is gone, run or not: a queue
// that drops jobs (the main queue once shut down) must not leave the caller
// blocked for ever.
struct SyncRelease {
  explicit SyncRelease(std::shared_ptr<Handshake> h) : handshake(std::move(h)) {}
  SyncRelease(const SyncRelease&) = delete;
  SyncRelease& operator=(const SyncRelease&) = delete;
  ~SyncRelease() { handshake->set(&Handshake::finished); }

  const std::shared_ptr<Handshake> handshake;
};

}  // namespace

void Queue::sync(Job job) {
  VANDREL_CHECK(!isCurrent(), "sync onto the queue the caller runs on would dead-lock");
  auto handshake = std::make_shared<Handshake>();
  auto release = std::make_shared<SyncRelease>(handshake);
  async([release = std::move(release), &job]() mutable {
    job();
    release.reset();
  });
  handshake->await(&Handshake::finished);
}

// ---- GlobalQueue ---------------------------------------------------------

GlobalQueue& GlobalQueue::shared() {
  static auto* queue = new GlobalQueue;
  return *queue;
}

void GlobalQueue::async(Job job) {
  bool spawn = false;
  {
    MutexLock lock(mutex_);
    jobs_.push_back(std::move(job));
    // Every waiting job needs a worker that is not busy; when the idle ones
    // are all spoken for, start one more rather than let it wait behind a
    // job that may be blocked.
    if (jobs_.size() > idle_ && workers_ < kMaxGlobalWorkers) {
      ++workers_;
      spawn = true;
    }
  }
  if (spawn) {
    std::thread([this] { workerLoop(); }).detach();
  } else {
    cv_.notify_one();
  }
}

void GlobalQueue::sync(Job job) {
  CurrentScope scope(this);
  job();
}

void GlobalQueue::workerLoop() {
  for (;;) {
    Job job;
    {
      MutexLock lock(mutex_);
      ++idle_;
      bool got = cv_.wait_for(lock.native(), kIdleWorkerRetirement, [&]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
        return !jobs_.empty();
      });
      --idle_;
      if (!got) {
        --workers_;
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    CurrentScope scope(this);
    job();
  }
}

std::size_t GlobalQueue::workerCountForTesting() const {
  MutexLock lock(mutex_);
  return workers_;
}

// ---- SerialQueue ---------------------------------------------------------

struct SerialQueue::State {
  const Queue* owner;
  Mutex mutex;
  std::deque<Job> jobs VANDREL_GUARDED_BY(mutex);
  bool running VANDREL_GUARDED_BY(mutex) = false;
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  state_->owner = this;
}

SerialQueue::~SerialQueue() = default;

void SerialQueue::async(Job job) { enqueue(state_, std::move(job)); }

std::function<void(Job)> SerialQueue::poster() {
  return [state = state_](Job job) { enqueue(state, std::move(job)); };
}

void SerialQueue::enqueue(const std::shared_ptr<State>& state, Job job) {
  bool start = false;
  {
    MutexLock lock(state->mutex);
    state->jobs.push_back(std::move(job));
    if (!state->running) {
      state->running = true;
      start = true;
    }
  }
  if (start) {
    globalQueue().async([state] { drain(state); });
  }
}

void SerialQueue::drain(const std::shared_ptr<State>& state) {
  for (;;) {
    Job job;
    {
      MutexLock lock(state->mutex);
      if (state->jobs.empty()) {
        state->running = false;
        return;
      }
      job = std::move(state->jobs.front());
      state->jobs.pop_front();
    }
    CurrentScope scope(state->owner);
    job();
  }
}

void SerialQueue::sync(Job job) {
  if (isCurrent()) {
    std::string message = "sync onto serial queue \"" + label_ + "\" from itself would dead-lock";
    checkFailed(__FILE__, __LINE__, "!isCurrent()", message.c_str());
  }
  bool claimed = false;
  {
    MutexLock lock(state_->mutex);
    if (!state_->running && state_->jobs.empty()) {
      state_->running = true;
      claimed = true;
    }
  }
  if (!claimed) {
    // Wait for our turn: a barrier job holds the queue while the caller runs.
    auto handshake = std::make_shared<Handshake>();
    async([handshake] {
      handshake->set(&Handshake::entered);
      handshake->await(&Handshake::finished);
    });
    handshake->await(&Handshake::entered);
    {
      CurrentScope scope(this);
      job();
    }
    handshake->set(&Handshake::finished);
    return;
  }
  {
    CurrentScope scope(this);
    job();
  }
  bool more = false;
  {
    MutexLock lock(state_->mutex);
    if (state_->jobs.empty()) {
      state_->running = false;
    } else {
      more = true;
    }
  }
  if (more) globalQueue().async([state = state_] { drain(state); });
}

// ---- MainQueue -----------------------------------------------------------

MainQueue& MainQueue::shared() {
  static auto* queue = new MainQueue;
  return *queue;
}

void MainQueue::async(Job job) {
  std::function<void()> wake;
  {
    MutexLock lock(mutex_);
    if (shutdown_) return;
    jobs_.push_back(std::move(job));
    wake = wake_;
  }
  cv_.notify_all();
  if (wake) wake();
}

void MainQueue::sync(Job job) {
  VANDREL_CHECK(!isMainThread(), "sync onto the main queue from the main thread would dead-lock");
  Queue::sync(std::move(job));
}

bool MainQueue::isCurrent() const {
  return Queue::isCurrent() || (bound_.load() && isMainThread());
}

void MainQueue::bind(std::function<void()> wake) {
  // The loop's thread is the main thread from now on, before its first
  // drain: what it delivers on its own is main-queue work too.
  mainThreadHash_.store(threadHash());
  bound_.store(true);
  bool pending = false;
  {
    MutexLock lock(mutex_);
    wake_ = wake;
    pending = !jobs_.empty();
  }
  if (pending && wake) wake();
}

bool MainQueue::runOne() {
  Job job;
  {
    MutexLock lock(mutex_);
    if (jobs_.empty()) return false;
    job = std::move(jobs_.front());
    jobs_.pop_front();
  }
  CurrentScope scope(this);
  job();
  return true;
}

void MainQueue::drain() {
  mainThreadHash_.store(threadHash());
  // A job that spins a nested event loop lands here again: the next job
  // must wait until the running one returns.
  if (draining_.exchange(true)) return;
  while (runOne()) {
  }
  draining_.store(false);
}

void MainQueue::shutdown() {
  std::deque<Job> dropped;
  {
    MutexLock lock(mutex_);
    shutdown_ = true;
    dropped.swap(jobs_);
  }
  // Destroyed outside the lock: what a job holds may post on destruction.
}

bool MainQueue::runUntil(const std::function<bool()>& done, Duration timeout) {
  mainThreadHash_.store(threadHash());
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    {
      MutexLock lock(mutex_);
      if (jobs_.empty()) {
        // Wake up now and then so a `done` that depends on other threads
        // only (not on a main-queue job) is seen without a post.
        auto wakeAt = std::min(deadline, std::chrono::steady_clock::now() +
                                             std::chrono::milliseconds(10));
        cv_.wait_until(lock.native(), wakeAt);
      }
    }
    if (!draining_.exchange(true)) {
      runOne();
      draining_.store(false);
    }
    if (std::chrono::steady_clock::now() >= deadline) return done();
  }
}

void MainQueue::runFor(Duration duration) {
  runUntil([] { return false; }, duration);
}

void MainQueue::runPending() {
  mainThreadHash_.store(threadHash());
  while (runOne()) {
  }
}

bool MainQueue::isMainThread() const { return mainThreadHash_.load() == threadHash(); }

std::size_t MainQueue::pendingCountForTesting() const {
  MutexLock lock(mutex_);
  return jobs_.size();
}

bool isMainThread() { return MainQueue::shared().isMainThread(); }

// ---- Scheduler -----------------------------------------------------------

struct Scheduler::Impl {
  struct Entry {
    TimerId id;
    std::function<void(Job)> post;
    Job job;
  };
  Mutex mutex;
  std::condition_variable cv;
  std::multimap<TimePoint, Entry> entries VANDREL_GUARDED_BY(mutex);
  // Taken from `entries` but not yet handed to its queue.
  std::size_t delivering VANDREL_GUARDED_BY(mutex) = 0;
  std::unordered_map<TimerId, std::multimap<TimePoint, Entry>::iterator> byId
      VANDREL_GUARDED_BY(mutex);
  TimerId nextId VANDREL_GUARDED_BY(mutex) = 1;
  bool stop VANDREL_GUARDED_BY(mutex) = false;
  std::thread thread;
};

Scheduler::Scheduler(Clock& clock) : clock_(clock), impl_(std::make_unique<Impl>()) {
  impl_->thread = std::thread([this] {
    Impl& s = *impl_;
    MutexLock lock(s.mutex);
    while (!s.stop) {
      if (s.entries.empty()) {
        clock_.wait(s.cv, lock.native());
        continue;
      }
      auto first = s.entries.begin();
      if (clock_.now() < first->first) {
        clock_.waitUntil(s.cv, lock.native(), first->first);
        continue;
      }
      Impl::Entry entry = std::move(first->second);
      s.byId.erase(entry.id);
      s.entries.erase(first);
      ++s.delivering;
      lock.native().unlock();
      entry.post(std::move(entry.job));
      lock.native().lock();
      --s.delivering;
    }
  });
}

Scheduler::~Scheduler() {
  {
    MutexLock lock(impl_->mutex);
    impl_->stop = true;
  }
  impl_->cv.notify_all();
  impl_->thread.join();
}

Scheduler& Scheduler::system() {
  static auto* scheduler = new Scheduler(SystemClock::shared());
  return *scheduler;
}

Scheduler::TimerId Scheduler::schedule(Duration delay, Queue& queue, Job job) {
  return scheduleAt(clock_.now() + delay, queue, std::move(job));
}

Scheduler::TimerId Scheduler::scheduleAt(TimePoint when, Queue& queue, Job job) {
  return scheduleAt(when, queue.poster(), std::move(job));
}

Scheduler::TimerId Scheduler::scheduleAt(TimePoint when, std::function<void(Job)> post, Job job) {
  TimerId id;
  {
    MutexLock lock(impl_->mutex);
    id = impl_->nextId++;
    auto it = impl_->entries.emplace(when, Impl::Entry{id, std::move(post), std::move(job)});
    impl_->byId.emplace(id, it);
  }
  impl_->cv.notify_all();
  return id;
}

bool Scheduler::cancel(TimerId id) {
  MutexLock lock(impl_->mutex);
  auto it = impl_->byId.find(id);
  if (it == impl_->byId.end()) return false;
  impl_->entries.erase(it->second);
  impl_->byId.erase(it);
  return true;
}

std::size_t Scheduler::pendingCountForTesting() const {
  MutexLock lock(impl_->mutex);
  // A job counts until its queue has it, so a caller that sees the count
  // drop can run that queue and find the job there.
  return impl_->entries.size() + impl_->delivering;
}

// ---- Group ---------------------------------------------------------------

struct Group::State {
  Mutex mutex;
  std::condition_variable cv;
  long count VANDREL_GUARDED_BY(mutex) = 0;
  std::vector<std::pair<std::function<void(Job)>, Job>> notifies VANDREL_GUARDED_BY(mutex);
};

Group::Group() : state_(std::make_shared<State>()) {}

void Group::enter() {
  MutexLock lock(state_->mutex);
  ++state_->count;
}

void Group::leave() {
  // Once the count reaches zero a waiter may return and destroy this handle
  // (and its copy of the state) at once: only the local reference is used.
  const std::shared_ptr<State> state = state_;
  std::vector<std::pair<std::function<void(Job)>, Job>> ready;
  {
    MutexLock lock(state->mutex);
    VANDREL_CHECK(state->count > 0, "Group::leave without a matching enter");
    if (--state->count == 0) ready.swap(state->notifies);
  }
  state->cv.notify_all();
  for (auto& [post, job] : ready) post(std::move(job));
}

void Group::async(Queue& queue, Job job) {
  enter();
  queue.async([self = *this, job = std::move(job)]() mutable {
    job();
    self.leave();
  });
}

void Group::notify(Queue& queue, Job job) {
  {
    MutexLock lock(state_->mutex);
    if (state_->count > 0) {
      state_->notifies.emplace_back(queue.poster(), std::move(job));
      return;
    }
  }
  queue.async(std::move(job));
}

bool Group::wait(Duration timeout) {
  MutexLock lock(state_->mutex);
  return state_->cv.wait_for(lock.native(), timeout, [&]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
    return state_->count == 0;
  });
}

void Group::wait() {
  MutexLock lock(state_->mutex);
  state_->cv.wait(lock.native(), [&]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
    return state_->count == 0;
  });
}

// ---- TimerSource ---------------------------------------------------------

struct TimerSource::State : std::enable_shared_from_this<TimerSource::State> {
  std::function<void(Job)> post;
  Duration interval;
  Job handler;
  Scheduler* scheduler;
  Mutex mutex;
  bool cancelled VANDREL_GUARDED_BY(mutex) = false;
  bool started VANDREL_GUARDED_BY(mutex) = false;
  TimePoint next VANDREL_GUARDED_BY(mutex);
  Scheduler::TimerId timer VANDREL_GUARDED_BY(mutex) = 0;

  void arm() VANDREL_REQUIRES(mutex) {
    std::weak_ptr<State> weak = shared_from_this();
    timer = scheduler->scheduleAt(next, post, [weak] {
      if (auto self = weak.lock()) self->tick();
    });
  }

  void tick() {
    {
      MutexLock lock(mutex);
      if (cancelled) return;
    }
    handler();
    MutexLock lock(mutex);
    if (cancelled) return;
    next += interval;
    const TimePoint now = scheduler->clock().now();
    if (next < now) next = now;  // late ticks coalesce into one
    arm();
  }
};

TimerSource::TimerSource(Queue& queue, Duration interval, Job handler, Scheduler& scheduler)
    : state_(std::make_shared<State>()) {
  state_->post = queue.poster();
  state_->interval = interval;
  state_->handler = std::move(handler);
  state_->scheduler = &scheduler;
}

TimerSource::~TimerSource() { cancel(); }

void TimerSource::start() {
  MutexLock lock(state_->mutex);
  if (state_->started || state_->cancelled) return;
  state_->started = true;
  state_->next = state_->scheduler->clock().now() + state_->interval;
  state_->arm();
}

void TimerSource::cancel() {
  Scheduler::TimerId timer;
  {
    MutexLock lock(state_->mutex);
    state_->cancelled = true;
    timer = state_->timer;
  }
  if (timer != 0) state_->scheduler->cancel(timer);
}

}  // namespace vandrel::platform
