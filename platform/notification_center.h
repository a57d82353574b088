#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::platform {

struct Notification {
  std::string name;
  // The sender, compared by address only; never dereferenced here.
  const void* object = nullptr;
  Value::Dictionary userInfo;
};

// Names one registration; a default-made token names none.
struct ObserverToken {
  std::uint64_t id = 0;
  explicit operator bool() const { return id != 0; }
  bool operator==(const ObserverToken&) const = default;
};

// Broadcasts named notifications to the observers registered for them.
// Every method may be called from any thread.
//
// Delivery runs each matching observer, in the order they were added, on
// the posting thread, or posts it to the observer's queue. Observers added
// while a post is being delivered do not see that post. An observer that
// throws is reported on stderr and the others are still called.
//
// Removal: after removeObserver returns, the observer is not called from any
// later post, nor later within a delivery under way on the calling thread
// (an observer may remove itself or another one from its callback), and a
// queued delivery that has not started yet is skipped. A call that another
// thread has already begun may still be running when removeObserver
// returns: observers that reference short-lived objects should hold them
// weakly.
class NotificationCenter {
 public:
  using Callback = std::function<void(const Notification&)>;

  // The process-wide center.
  static NotificationCenter& shared();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers `callback` for notifications named `name` (empty: every name)
  // posted with `object` (nullptr: any sender). `queue` nullopt or nullptr:
  // called on the posting thread; else posted to that queue, which must
  // outlive the registration (a serial queue may be gone: its jobs are kept).
  ObserverToken addObserver(std::string name, const void* object, std::optional<Queue*> queue,
                            Callback callback);
  // Unknown and already removed tokens are ignored.
  void removeObserver(ObserverToken token);

  void post(std::string name, const void* object = nullptr, Value::Dictionary userInfo = {});

 private:
  struct Observer;
  static void deliver(const Observer& observer, const Notification& notification);

  mutable Mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_ VANDREL_GUARDED_BY(mutex_);
  std::uint64_t nextId_ VANDREL_GUARDED_BY(mutex_) = 1;
};

}  // namespace vandrel::platform
