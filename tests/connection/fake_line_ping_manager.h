#pragma once

// A ping manager for the line ping model's tests: no sockets. Pingers are
// real qv_Ping objects that are never set up; the fake marks them pinging,
// delivers results to their delegates on its own serial queue (the library
// delivers on its queue too) and stops them through qv_Ping::stop, which
// reports the stop on that queue. Stops can be held back to show what runs
// before the lines' bookkeeping.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connection/qv_line_model.h"
#include "ping/qv_ping.h"
#include "ping/qv_ping_result.h"
#include "platform/dispatch.h"

namespace vandrel::connection::testing_support {

using namespace std::chrono_literals;

// Polls `done` until it holds or `timeout` passes.
inline ::testing::AssertionResult eventually(const std::function<bool()>& done,
                                             std::chrono::milliseconds timeout = 5s,
                                             const char* what = "condition") {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return ::testing::AssertionFailure() << what << " not met within " << timeout.count()
                                           << " ms";
    }
    std::this_thread::sleep_for(2ms);
  }
  return ::testing::AssertionSuccess();
}

inline ping::qv_PingResult successAfter(double seconds) {
  ping::qv_PingResult result;
  result.setQv_pingStatus(ping::qv_PingStatus::qv_success);
  result.setQv_time(seconds);
  return result;
}

inline ping::qv_PingResult timedOut() { return ping::qv_PingResult{}; }

class FakeLinePingManager final : public LinePingManager {
 public:
  // ---- Script -------------------------------------------------------------
  void failSetupOf(std::string host) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_.insert(std::move(host));
  }
  void setMemoryPause(bool pause) {
    std::lock_guard<std::mutex> lock(mutex_);
    memoryPause_ = pause;
  }
  // Stops requested from now on wait (on the fake's queue) until released.
  void holdStops() {
    std::lock_guard<std::mutex> lock(mutex_);
    holdStops_ = true;
  }
  void releaseStops() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      holdStops_ = false;
    }
    released_.notify_all();
  }

  // Delivers one result to the delegate of every pinger of `host`, on the
  // fake's queue, and returns once delivered.
  void deliver(const std::string& host, const ping::qv_PingResult& result, bool reply = true) {
    queue_->sync([&] {
      for (const auto& ping : pingersOf(host)) {
        auto delegate = ping->qv_delegate().lock();
        if (!delegate) continue;
        if (reply) {
          delegate->qv_didReceiveReplyWith(*ping, result);
        } else {
          delegate->qv_didTimeoutWith(*ping, result);
        }
      }
    });
  }
  void reply(const std::string& host, double seconds) { deliver(host, successAfter(seconds)); }
  void timeOut(const std::string& host) { deliver(host, timedOut(), false); }
  // Waits until everything queued so far on the fake's queue has run.
  void flush() {
    queue_->sync([] {});
  }

  // ---- Records ------------------------------------------------------------
  std::vector<std::shared_ptr<ping::qv_Ping>> added() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return added_;
  }
  std::vector<std::string> addedHosts() const {
    std::vector<std::string> hosts;
    for (const auto& ping : added()) hosts.push_back(ping->qv_host().value_or(""));
    return hosts;
  }
  int setupCalls() const { return counter(setupCalls_); }
  int setupsDone() const { return counter(setupsDone_); }
  int startCalls() const { return counter(startCalls_); }
  int stopCalls() const { return counter(stopCalls_); }
  double timeout() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeout_;
  }
  double period() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return period_;
  }
  // The calls in order: "setTimeout", "setPingPeriod", "start", ...
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  // ---- LinePingManager ----------------------------------------------------
  bool isInMemoryWarningPause() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return memoryPause_;
  }
  std::shared_ptr<ping::qv_Ping> makePing() override { return std::make_shared<ping::qv_Ping>(); }
  void add(const std::shared_ptr<ping::qv_Ping>& ping) override {
    ping->setQv_mainQueue(queue_);
    std::lock_guard<std::mutex> lock(mutex_);
    added_.push_back(ping);
    run_.push_back(ping);
  }
  void setupAll(std::function<void()> completion) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++setupCalls_;
    }
    queue_->async([this, completion = std::move(completion)] {
      std::vector<std::shared_ptr<ping::qv_Ping>> pass;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pass = run_;
      }
      for (const auto& ping : pass) {
        const std::string host = ping->qv_host().value_or("");
        std::lock_guard<std::mutex> lock(mutex_);
        if (failing_.count(host) != 0) {
          std::erase(run_, ping);
        } else {
          ping->beginPinging();
        }
      }
      if (completion) completion();
      std::lock_guard<std::mutex> lock(mutex_);
      ++setupsDone_;
    });
  }
  void setTimeout(double seconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    timeout_ = seconds;
    calls_.push_back("setTimeout");
  }
  void setPingPeriod(double seconds) override {
    std::lock_guard<std::mutex> lock(mutex_);
    period_ = seconds;
    calls_.push_back("setPingPeriod");
  }
  void startPinging() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++startCalls_;
    pinging_ = true;
    calls_.push_back("start");
  }
  void stopPinging() override {
    std::vector<std::shared_ptr<ping::qv_Ping>> stopping;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++stopCalls_;
      calls_.push_back("stop");
      stopping = run_;
    }
    queue_->async([this, stopping] {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        released_.wait_for(lock, 10s, [&] { return !holdStops_; });
        pinging_ = false;
        for (const auto& ping : stopping) std::erase(run_, ping);
      }
      for (const auto& ping : stopping) ping->stop();
    });
  }
  bool isPinging() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return pinging_;
  }

 private:
  int counter(const int& value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value;
  }
  std::vector<std::shared_ptr<ping::qv_Ping>> pingersOf(const std::string& host) const {
    std::vector<std::shared_ptr<ping::qv_Ping>> found;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& ping : added_) {
      if (ping->qv_host() == host) found.push_back(ping);
    }
    return found;
  }

  const std::shared_ptr<platform::SerialQueue> queue_ =
      std::make_shared<platform::SerialQueue>("FakePingMainQueue");
  mutable std::mutex mutex_;
  std::condition_variable released_;
  std::set<std::string> failing_;
  bool memoryPause_ = false;
  bool holdStops_ = false;
  bool pinging_ = false;
  std::vector<std::shared_ptr<ping::qv_Ping>> added_;
  std::vector<std::shared_ptr<ping::qv_Ping>> run_;
  int setupCalls_ = 0;
  int setupsDone_ = 0;
  int startCalls_ = 0;
  int stopCalls_ = 0;
  double timeout_ = 0;
  double period_ = 0;
  std::vector<std::string> calls_;
};

}  // namespace vandrel::connection::testing_support
