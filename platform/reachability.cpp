#include "platform/reachability.h"

#include <atomic>
#include <utility>

namespace vandrel::platform {

// One registration: its queue's poster and callback, and whether it still
// delivers. Jobs hold it, so it outlives the source when they run late.
struct ManualReachabilitySource::Delivery {
  std::function<void(Job)> post;
  FlagsCallback onChange;
  std::atomic<bool> active{true};
};

ManualReachabilitySource::~ManualReachabilitySource() { stop(); }

std::optional<std::uint32_t> ManualReachabilitySource::flags() {
  MutexLock lock(mutex_);
  return flags_;
}

bool ManualReachabilitySource::start(Queue& queue, FlagsCallback onChange) {
  auto delivery = std::make_shared<Delivery>();
  delivery->post = queue.poster();
  delivery->onChange = std::move(onChange);
  std::shared_ptr<Delivery> previous;
  bool fail = false;
  {
    MutexLock lock(mutex_);
    previous = std::exchange(delivery_, std::move(delivery));
    fail = failRegistration_;
  }
  if (previous) previous->active.store(false);
  return !fail;
}

void ManualReachabilitySource::stop() {
  std::shared_ptr<Delivery> previous;
  {
    MutexLock lock(mutex_);
    previous = std::move(delivery_);
  }
  if (previous) previous->active.store(false);
}

void ManualReachabilitySource::setFlags(std::optional<std::uint32_t> flags) {
  MutexLock lock(mutex_);
  flags_ = flags;
}

void ManualReachabilitySource::change(std::uint32_t flags) {
  std::shared_ptr<Delivery> delivery;
  {
    MutexLock lock(mutex_);
    flags_ = flags;
    delivery = delivery_;
  }
  if (!delivery) return;
  delivery->post([delivery, flags] {
    if (delivery->active.load()) delivery->onChange(flags);
  });
}

void ManualReachabilitySource::setFailRegistration(bool fail) {
  MutexLock lock(mutex_);
  failRegistration_ = fail;
}

bool ManualReachabilitySource::isStarted() const {
  MutexLock lock(mutex_);
  return delivery_ != nullptr;
}

}  // namespace vandrel::platform
