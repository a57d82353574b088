#include "helper/app_watchdog.h"

#include "helper/helper_log.h"
#include "helper/proc_table.h"

namespace vandrel::helper {

using platform::MutexLock;

std::optional<AppIdentity> AppIdentity::of(pid_t pid) {
  const auto stat = proc::readStat(pid);
  if (!stat || stat->state == 'Z') return std::nullopt;
  return AppIdentity{pid, stat->startTime};
}

bool AppIdentity::alive() const { return pid > 0 && proc::isRunning(pid, startTime); }

AppWatchdog::AppWatchdog(std::function<void()> cleanup, platform::Duration interval)
    : cleanup_(std::move(cleanup)), interval_(interval) {}

AppWatchdog::~AppWatchdog() {
  std::thread thread;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    thread = std::move(thread_);
  }
  wake_.notify_all();
  if (thread.joinable()) thread.join();
}

void AppWatchdog::watch(AppIdentity app) {
  std::thread finished;
  {
    MutexLock lock(mutex_);
    app_ = app;
    if (running_ || stopping_) return;
    running_ = true;
    finished = std::move(thread_);
    // Made under the lock so that thread_ always names the newest thread;
    // the thread itself waits for the lock before it looks at anything.
    thread_ = std::thread([this] { loop(); });
  }
  if (finished.joinable()) finished.join();  // it had left its loop already
}

bool AppWatchdog::running() const {
  MutexLock lock(mutex_);
  return running_;
}

bool AppWatchdog::appAlive() const {
  AppIdentity app;
  {
    MutexLock lock(mutex_);
    app = app_;
  }
  return app.alive();
}

void AppWatchdog::loop() {
  sysLog("application watchdog starts");
  for (;;) {
    if (!appAlive()) {
      sysLog("the application is gone: cleaning up");
      cleanup_();
      // A newer application may have registered meanwhile: then go on.
      // The look and the end are one step under the lock, so that a
      // watch() between them cannot find this thread still running and
      // leave the new application unwatched.
      MutexLock lock(mutex_);
      if (!app_.alive()) {
        running_ = false;
        break;
      }
    }
    MutexLock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + interval_;
    while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
      wake_.wait_until(lock.native(), deadline);
    }
    if (stopping_) {
      running_ = false;
      break;
    }
  }
  sysLog("application watchdog ends");
}

}  // namespace vandrel::helper
