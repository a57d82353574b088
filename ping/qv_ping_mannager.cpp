#include "ping/qv_ping_mannager.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <unordered_set>

#include "platform/check.h"

namespace vandrel::ping {
namespace {

using PingList = std::vector<std::shared_ptr<qv_Ping>>;

platform::Duration seconds(double value) {
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(value));
}

// How long one listen cycle waits for a datagram: at most the period, so a
// run's stop and a later run's pingers are never kept waiting longer; at
// least a millisecond, so a zero period does not spin; at most a second.
int listenWaitMilliseconds(double period) {
  const double clamped = std::clamp(period, 0.001, 1.0);
  return static_cast<int>(std::floor(clamped * 1000.0));
}

}  // namespace

std::shared_ptr<qv_PingMannager> qv_PingMannager::qv_shared() {
  static auto* shared = new std::shared_ptr<qv_PingMannager>(std::make_shared<qv_PingMannager>());
  return *shared;
}

qv_PingMannager::qv_PingMannager() : qv_PingMannager(platform::Scheduler::system()) {}

qv_PingMannager::qv_PingMannager(platform::Scheduler& scheduler)
    : scheduler_(scheduler),
      sendQueue_(std::make_shared<platform::SerialQueue>("NewGBPingSendQueue")),
      listenQueue_(std::make_shared<platform::SerialQueue>("NewGBPinglistenQueue")),
      mainQueue_(std::make_shared<platform::SerialQueue>("NewGBPingMainQueue")) {}

qv_PingMannager::~qv_PingMannager() = default;

void qv_PingMannager::qv_add(const std::shared_ptr<qv_Ping>& ping) {
  VANDREL_CHECK(ping != nullptr, "qv_add needs a pinger");
  ping->setQv_mainQueue(mainQueue_);
  ping->setQv_sendQueue(sendQueue_);
  ping->setQv_listenQueue(listenQueue_);
  platform::MutexLock lock(mutex_);
  pings_.push_back(ping);
}

bool qv_PingMannager::qv_isPinging() const {
  platform::MutexLock lock(mutex_);
  return isPinging_;
}

std::vector<std::shared_ptr<qv_Ping>> qv_PingMannager::qv_pings() const {
  platform::MutexLock lock(mutex_);
  return pings_;
}

void qv_PingMannager::setQv_timeout(double seconds) {
  timeout_.store(seconds);
  for (const auto& ping : qv_pings()) ping->setQv_timeout(seconds);
}

// ---- set-up ----------------------------------------------------------------

void qv_PingMannager::setupAll(std::function<void()> completion) {
  VANDREL_CHECK(!weak_from_this().expired(), "a qv_PingMannager must be owned by a shared_ptr");
  std::weak_ptr<qv_PingMannager> weakSelf = weak_from_this();
  mainQueue_->async([weakSelf, iteration = qv_pings(), completion = std::move(completion)] {
    PingList working = iteration;
    // Pingers that a stop queued ahead of this pass took out of the manager
    // belong to a run that is over: set up again they would refuse, and that
    // refusal would take the new pingers of their hosts out with them.
    PingList listed = iteration;
    if (auto self = weakSelf.lock()) listed = self->qv_pings();
    for (const auto& ping : iteration) {
      if (std::find(listed.begin(), listed.end(), ping) == listed.end()) {
        std::erase(working, ping);
        continue;
      }
      std::weak_ptr<qv_Ping> weakPing = ping;
      const auto host = ping->qv_host();
      ping->setupSocket([&working, weakPing, &host](bool succeeded, const auto&) {
        if (succeeded) {
          if (auto p = weakPing.lock()) p->beginPinging();
          return;
        }
        std::erase_if(working, [&](const auto& other) { return other->qv_host() == host; });
      });
    }
    // A pinger of a failed host that was set up (in this pass or before) has
    // left the run still pinging, where no stop of the run would reach it:
    // it is stopped, and its delegate hears so on this queue after the
    // completion.
    PingList dropped;
    for (const auto& ping : iteration) {
      if (std::find(working.begin(), working.end(), ping) == working.end()) dropped.push_back(ping);
    }
    if (auto self = weakSelf.lock()) {
      platform::MutexLock lock(self->mutex_);
      self->pings_ = std::move(working);
    }
    for (const auto& ping : dropped) {
      if (ping->qv_isPinging()) ping->stop();
    }
    if (completion) completion();
  });
}

// ---- loops -----------------------------------------------------------------

void qv_PingMannager::startPinging() {
  VANDREL_CHECK(!weak_from_this().expired(), "a qv_PingMannager must be owned by a shared_ptr");
  std::uint64_t run;
  {
    platform::MutexLock lock(mutex_);
    if (isPinging_) return;
    isPinging_ = true;
    run = ++run_;
  }
  ++sendLoops_;
  startSendWorker(run);
  ++listenLoops_;
  startListenWorker(run);
}

bool qv_PingMannager::beginCycle(std::uint64_t run, PingList& pings) {
  platform::MutexLock lock(mutex_);
  if (!isPinging_ || run != run_) return false;
  // Stopped pingers leave the run here (those whose set-up failed left it
  // in the set-up pass). A pinger that is not set up yet stays: it belongs
  // to the next run, whose set-up pass is queued behind this cycle, and
  // dropping it now would leave that run without it.
  std::erase_if(pings_,
                [](const auto& ping) { return !ping->qv_isPinging() && ping->qv_isReady(); });
  pings.clear();
  std::copy_if(pings_.begin(), pings_.end(), std::back_inserter(pings),
               [](const auto& ping) { return ping->qv_isPinging(); });
  return !pings.empty();
}

void qv_PingMannager::startSendWorker(std::uint64_t run) {
  std::weak_ptr<qv_PingMannager> weakSelf = weak_from_this();
  mainQueue_->async([weakSelf, run] {
    if (auto self = weakSelf.lock()) self->beginSendCycle(run);
  });
}

void qv_PingMannager::beginSendCycle(std::uint64_t run) {
  mainQueue_->assertCurrent("qv_PingMannager::beginSendCycle");
  PingList pings;
  if (!beginCycle(run, pings)) {
    --sendLoops_;
    return;
  }
  std::weak_ptr<qv_PingMannager> weakSelf = weak_from_this();
  sendQueue_->async([weakSelf, run, pings = std::move(pings)] {
    if (auto self = weakSelf.lock()) self->sendCycle(run, pings);
  });
}

void qv_PingMannager::sendCycle(std::uint64_t run, const PingList& pings) {
  const platform::TimePoint deadline = scheduler_.clock().now() + seconds(qv_pingPeriod());
  for (const auto& ping : pings) ping->pingOnce();
  // The next cycle starts at the deadline, not before; the send queue stays
  // free in between for the timers' bookkeeping.
  std::weak_ptr<qv_PingMannager> weakSelf = weak_from_this();
  scheduler_.scheduleAt(deadline, mainQueue_->poster(), [weakSelf, run] {
    if (auto self = weakSelf.lock()) self->beginSendCycle(run);
  });
}

void qv_PingMannager::startListenWorker(std::uint64_t run) {
  std::weak_ptr<qv_PingMannager> weakSelf = weak_from_this();
  mainQueue_->async([weakSelf, run] {
    auto self = weakSelf.lock();
    if (!self) return;
    PingList pings;
    if (!self->beginCycle(run, pings)) {
      --self->listenLoops_;
      return;
    }
    self->listenQueue_->async([weakSelf, run, pings = std::move(pings)] {
      if (auto self = weakSelf.lock()) self->listenCycle(run, pings);
    });
  });
}

void qv_PingMannager::listenCycle(std::uint64_t run, const PingList& pings) {
  // One wait over every socket of the run, then one read from each pinger
  // that never blocks: a silent host holds up nobody.
  std::vector<pollfd> fds;
  fds.reserve(pings.size());
  for (const auto& ping : pings) fds.push_back(pollfd{ping->pollDescriptor(), POLLIN, 0});
  ::poll(fds.data(), fds.size(), listenWaitMilliseconds(qv_pingPeriod()));
  for (const auto& ping : pings) ping->receiveOnce();
  startListenWorker(run);
}

void qv_PingMannager::stopPinging() {
  std::weak_ptr<qv_PingMannager> weakSelf = weak_from_this();
  // The pingers of this call only: a run set up after it keeps its own.
  mainQueue_->async([weakSelf, stopping = qv_pings()] {
    auto self = weakSelf.lock();
    if (!self) return;
    {
      platform::MutexLock lock(self->mutex_);
      if (!self->isPinging_) return;
      self->isPinging_ = false;
      std::unordered_set<const qv_Ping*> gone;
      for (const auto& ping : stopping) gone.insert(ping.get());
      std::erase_if(self->pings_, [&](const auto& ping) { return gone.count(ping.get()) != 0; });
    }
    for (const auto& ping : stopping) ping->stop();
  });
}

// ---- memory-warning pause --------------------------------------------------

bool qv_PingMannager::isInMemoryWarningPause() {
  double last = lastMemoryWarningTime_.load();
  if (last == 0) return false;
  const double elapsed = scheduler_.clock().secondsSince1970() - last;
  if (stopPingDuration_.load() <= elapsed) {
    lastMemoryWarningTime_.compare_exchange_strong(last, 0);
    return false;
  }
  return true;
}

void qv_PingMannager::setIsInMemoryWarningPause(bool pause) {
  if (!pause) return;
  lastMemoryWarningTime_.store(scheduler_.clock().secondsSince1970());
  // Not only when pinging now: a run whose set-up is still queued starts
  // from its completion, before this stop, which then ends it.
  stopPinging();
}

// ---- diagnostics -----------------------------------------------------------

std::int64_t qv_PingMannager::processThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) != 0) continue;
    try {
      return std::stoll(line.substr(8));
    } catch (const std::exception&) {
      return -1;
    }
  }
  return -1;
}

}  // namespace vandrel::ping
