#include "core/network_reachability_manager.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>
#include <utility>
#include <vector>

#include "platform/check.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::core {
namespace {

namespace flag = platform::reachability_flags;

NetworkReachabilityStatus statusForFlags(std::uint32_t flags) {
  const bool automatic = (flags & (flag::kConnectionOnTraffic | flag::kConnectionOnDemand)) != 0;
  const bool withoutUser = automatic && (flags & flag::kInterventionRequired) == 0;
  const bool reachable =
      (flags & flag::kReachable) != 0 && ((flags & flag::kConnectionRequired) == 0 || withoutUser);
  if (!reachable) return NetworkReachabilityStatus::notReachable();
  return NetworkReachabilityStatus::reachable(ConnectionType::ethernetOrWiFi);
}

}  // namespace

// Shared with the jobs the manager and its source queue, which may run after
// the manager is gone. Every start and stop begins a new generation; a job
// of an older one does nothing.
struct NetworkReachabilityManager::State {
  platform::Mutex mutex;
  std::condition_variable idle;
  platform::Queue* listenerQueue VANDREL_GUARDED_BY(mutex) = &platform::mainQueue();
  Listener listener VANDREL_GUARDED_BY(mutex);
  std::uint64_t generation VANDREL_GUARDED_BY(mutex) = 0;
  // Threads inside a notification; stopListening waits for them.
  std::vector<std::thread::id> busy VANDREL_GUARDED_BY(mutex);
  // Read and written on the listener queue.
  std::atomic<std::uint32_t> previousFlags{0};
};

namespace {

// Marks the calling thread as notifying while `generation` is current.
class Notifying {
 public:
  template <typename State, typename Listener>
  Notifying(State& state, std::uint64_t generation, Listener& listener)
      : mutex_(state.mutex), idle_(state.idle), busy_(state.busy) {
    platform::MutexLock lock(mutex_);
    if (generation != state.generation) return;
    busy_.push_back(std::this_thread::get_id());
    listener = state.listener;
    entered_ = true;
  }
  ~Notifying() {
    if (!entered_) return;
    platform::MutexLock lock(mutex_);
    busy_.erase(std::find(busy_.begin(), busy_.end(), std::this_thread::get_id()));
    idle_.notify_all();
  }
  Notifying(const Notifying&) = delete;
  Notifying& operator=(const Notifying&) = delete;

  explicit operator bool() const { return entered_; }

 private:
  platform::Mutex& mutex_;
  std::condition_variable& idle_;
  std::vector<std::thread::id>& busy_;
  bool entered_ = false;
};

template <typename State, typename Listener>
void notifyListener(State& state, std::uint32_t flags, const Listener& listener) {
  if (state.previousFlags.load() == flags) return;
  state.previousFlags.store(flags);
  if (listener) listener(statusForFlags(flags));
}

}  // namespace

std::unique_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create(
    std::string_view host) {
  auto source = platform::makeReachabilitySourceForHost(host);
  if (!source) return nullptr;
  return std::make_unique<NetworkReachabilityManager>(std::move(source));
}

std::unique_ptr<NetworkReachabilityManager> NetworkReachabilityManager::create() {
  auto source = platform::makeReachabilitySourceForZeroAddress();
  if (!source) return nullptr;
  return std::make_unique<NetworkReachabilityManager>(std::move(source));
}

NetworkReachabilityManager::NetworkReachabilityManager(
    std::unique_ptr<platform::ReachabilitySource> source)
    : source_(std::move(source)), state_(std::make_shared<State>()) {
  VANDREL_CHECK(source_ != nullptr, "a reachability manager needs a source");
}

NetworkReachabilityManager::~NetworkReachabilityManager() { stopListening(); }

std::optional<std::uint32_t> NetworkReachabilityManager::flags() const { return source_->flags(); }

NetworkReachabilityStatus NetworkReachabilityManager::networkReachabilityStatus() const {
  const auto current = flags();
  if (!current) return NetworkReachabilityStatus::unknown();
  return statusForFlags(*current);
}

bool NetworkReachabilityManager::isReachableOnWWAN() const {
  return networkReachabilityStatus() == NetworkReachabilityStatus::reachable(ConnectionType::wwan);
}

bool NetworkReachabilityManager::isReachableOnEthernetOrWiFi() const {
  return networkReachabilityStatus() ==
         NetworkReachabilityStatus::reachable(ConnectionType::ethernetOrWiFi);
}

bool NetworkReachabilityManager::isReachable() const {
  return networkReachabilityStatus().kind == NetworkReachabilityStatus::Kind::reachable;
}

platform::Queue& NetworkReachabilityManager::listenerQueue() const {
  platform::MutexLock lock(state_->mutex);
  return *state_->listenerQueue;
}

void NetworkReachabilityManager::setListenerQueue(platform::Queue& queue) {
  platform::MutexLock lock(state_->mutex);
  state_->listenerQueue = &queue;
}

void NetworkReachabilityManager::setListener(Listener listener) {
  platform::MutexLock lock(state_->mutex);
  state_->listener = std::move(listener);
}

std::uint32_t NetworkReachabilityManager::previousFlags() const {
  return state_->previousFlags.load();
}

bool NetworkReachabilityManager::startListening() {
  std::uint64_t generation = 0;
  platform::Queue* queue = nullptr;
  {
    platform::MutexLock lock(state_->mutex);
    generation = ++state_->generation;
    queue = state_->listenerQueue;
  }
  std::shared_ptr<State> state = state_;
  const bool registered = source_->start(*queue, [state, generation](std::uint32_t flags) {
    Listener listener;
    Notifying notifying(*state, generation, listener);
    if (notifying) notifyListener(*state, flags, listener);
  });
  // The source lives as long as the manager, and the manager's end waits
  // for a job of the current generation to finish.
  platform::ReachabilitySource* source = source_.get();
  queue->async([state, generation, source] {
    Listener listener;
    Notifying notifying(*state, generation, listener);
    if (!notifying) return;
    state->previousFlags.store(0);
    notifyListener(*state, source->flags().value_or(0), listener);
  });
  return registered;
}

void NetworkReachabilityManager::stopListening() {
  {
    platform::MutexLock lock(state_->mutex);
    ++state_->generation;
    // A listener that stops the manager itself is not waited for.
    const auto self = std::this_thread::get_id();
    state_->idle.wait(lock.native(), [&]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
      return std::all_of(state_->busy.begin(), state_->busy.end(),
                         [&](std::thread::id id) { return id == self; });
    });
  }
  source_->stop();
}

}  // namespace vandrel::core
