#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

#include "platform/clock.h"
#include "platform/sync.h"

namespace vandrel::helper {

// One run of a process: its pid and start time, so that a pid reused by
// another process never passes for it.
struct AppIdentity {
  pid_t pid = 0;
  std::uint64_t startTime = 0;

  // The process `pid` as it runs now; nothing when it is gone.
  static std::optional<AppIdentity> of(pid_t pid);
  bool alive() const;
};

// The application watchdog: a thread that looks once per interval whether
// the watched application still runs. When it is gone, `cleanup` runs on
// the thread; when the application is still gone afterwards the thread
// ends, and the next watch() starts a new one.
class AppWatchdog {
 public:
  explicit AppWatchdog(std::function<void()> cleanup,
                       platform::Duration interval = std::chrono::seconds(1));
  // Stops the thread (after a cleanup that is under way) and joins it.
  ~AppWatchdog();
  AppWatchdog(const AppWatchdog&) = delete;
  AppWatchdog& operator=(const AppWatchdog&) = delete;

  // Watches `app` from now on, in place of any earlier one, and starts the
  // thread when none runs. Any thread.
  void watch(AppIdentity app);
  bool running() const;

 private:
  void loop();
  bool appAlive() const;

  const std::function<void()> cleanup_;
  const platform::Duration interval_;
  mutable platform::Mutex mutex_;
  std::condition_variable wake_;
  AppIdentity app_ VANDREL_GUARDED_BY(mutex_);
  bool running_ VANDREL_GUARDED_BY(mutex_) = false;
  bool stopping_ VANDREL_GUARDED_BY(mutex_) = false;
  std::thread thread_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::helper
