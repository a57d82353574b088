#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/check.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::platform {

template <typename T>
class Promise;

namespace detail {
template <typename X>
struct IsPromise : std::false_type {};
template <typename U>
struct IsPromise<Promise<U>> : std::true_type {};
}  // namespace detail

// A value that arrives later, settled exactly once. There is no rejection:
// failures travel inside T (the system's results are values such as
// Result<T> that carry their own failure).
//
// Copies share one state; any copy may settle it or wait for it, from any
// thread. Handlers registered with `then` run once, on their queue, after
// settling (also when registered afterwards), in the order registered.
template <typename T>
class Promise {
  static_assert(!std::is_void_v<T> && !std::is_reference_v<T>,
                "Promise carries a value; use a small struct for 'done' signals");

 public:
  // A pending promise.
  Promise() : state_(std::make_shared<State>()) {}

  static Promise pending() { return Promise(); }
  static Promise resolved(T value) {
    Promise promise;
    promise.resolve(std::move(value));
    return promise;
  }

  // Settles the promise with `value`. Only the first settle counts: a later
  // one is ignored and returns false.
  bool resolve(T value) const {
    // Settling wakes waiters, and a waiter may destroy the very Promise this
    // was called on (a stack promise settled by reference from a job): from
    // here on only a local share of the state is touched.
    const std::shared_ptr<State> state = state_;
    {
      MutexLock lock(state->mutex);
      if (state->value.has_value()) return false;
      state->value.emplace(std::move(value));
      state->dispatching = true;
    }
    state->settled.notify_all();
    // Handlers registered by other threads while these are handed out join
    // the list instead of running at once, so they still start after the
    // ones registered before them.
    for (;;) {
      std::vector<Handler> handlers;
      {
        MutexLock lock(state->mutex);
        handlers.swap(state->handlers);
        if (handlers.empty()) {
          state->dispatching = false;
          return true;
        }
      }
      for (auto& handler : handlers) handler(state);
    }
  }

  bool isSettled() const {
    MutexLock lock(state_->mutex);
    return state_->value.has_value();
  }

  // Runs `f(const T&)` on `queue` once settled. Returns nothing when f does;
  // a Promise<U> settled with f's result when f returns U; and when f
  // returns a Promise<U>, a Promise<U> settled once that one settles.
  template <typename F>
  auto then(Queue& queue, F f) const {
    return thenVia(queue.poster(), std::move(f));
  }

  // `then` on the main queue.
  template <typename F>
  auto then(F f) const {
    return then(mainQueue(), std::move(f));
  }

  // Blocks until settled and returns the value. Never on the main thread:
  // whatever would settle the promise may need the main queue, so it aborts
  // with a message instead of dead-locking.
  T wait() const {
    VANDREL_CHECK(!isMainThread(),
                  "Promise::wait() on the main thread would dead-lock; use then() instead");
    MutexLock lock(state_->mutex);
    state_->settled.wait(lock.native(), [&]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
      return state_->value.has_value();
    });
    return *state_->value;
  }

  // Blocks until settled or `timeout` has passed on `clock`. A timed wait
  // cannot dead-lock, so it is allowed on any thread.
  std::optional<T> wait(Duration timeout, Clock& clock = SystemClock::shared()) const {
    const TimePoint deadline = clock.now() + timeout;
    MutexLock lock(state_->mutex);
    while (!state_->value.has_value() && clock.now() < deadline) {
      clock.waitUntil(state_->settled, lock.native(), deadline);
    }
    return state_->value;
  }

 private:
  template <typename U>
  friend class Promise;

  struct State {
    Mutex mutex;
    std::condition_variable settled;
    std::optional<T> value VANDREL_GUARDED_BY(mutex);
    // Handlers get the state rather than holding it, so a promise that never
    // settles does not keep itself alive through them.
    std::vector<std::function<void(const std::shared_ptr<State>&)>> handlers
        VANDREL_GUARDED_BY(mutex);
    // Settled, and the settling thread is still handing out handlers.
    bool dispatching VANDREL_GUARDED_BY(mutex) = false;

    // Only after settling: the value never changes again, so it is read
    // without the lock (settling happens-before every handler and job).
    const T& settledValue() VANDREL_NO_THREAD_SAFETY_ANALYSIS { return *value; }
  };
  using Handler = std::function<void(const std::shared_ptr<State>&)>;

  // Calls `handler` on the settling thread, or at once when settled already
  // and every earlier handler has been handed out.
  void whenSettled(Handler handler) const {
    {
      MutexLock lock(state_->mutex);
      if (!state_->value.has_value() || state_->dispatching) {
        state_->handlers.push_back(std::move(handler));
        return;
      }
    }
    handler(state_);
  }

  template <typename F>
  auto thenVia(std::function<void(Job)> post, F f) const {
    using R = std::invoke_result_t<F&, const T&>;
    if constexpr (std::is_void_v<R>) {
      whenSettled([post, f = std::move(f)](const std::shared_ptr<State>& state) mutable {
        post([f = std::move(f), state]() mutable { f(state->settledValue()); });
      });
    } else if constexpr (detail::IsPromise<R>::value) {
      R next;
      whenSettled([post, f = std::move(f), next](const std::shared_ptr<State>& state) mutable {
        post([f = std::move(f), state, next]() mutable {
          R inner = f(state->settledValue());
          inner.whenSettled([next](const auto& innerState) {
            next.resolve(innerState->settledValue());
          });
        });
      });
      return next;
    } else {
      Promise<R> next;
      whenSettled([post, f = std::move(f), next](const std::shared_ptr<State>& state) mutable {
        post([f = std::move(f), state, next]() mutable {
          next.resolve(f(state->settledValue()));
        });
      });
      return next;
    }
  }

  std::shared_ptr<State> state_;
};

}  // namespace vandrel::platform
