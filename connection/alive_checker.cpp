#include "connection/alive_checker.h"

#include <asio.hpp>

#include <array>
#include <atomic>
#include <vector>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/check.h"

namespace vandrel::connection {
namespace {

using Tcp = asio::ip::tcp;

// One probe: its socket and resolver live on the checker's I/O thread and
// are touched only there. Every handler holds the probe, so the socket
// outlives the operations that use it; the probe holds the I/O context, so
// the socket never outlives that.
struct Probe {
  Probe(std::shared_ptr<asio::io_context> io, std::string host)
      : io(std::move(io)), host(std::move(host)), resolver(*this->io), socket(*this->io) {}

  const std::shared_ptr<asio::io_context> io;
  const std::string host;
  Tcp::resolver resolver;
  Tcp::socket socket;
  std::array<char, 4096> buffer{};
  // Set on the I/O thread once the probe was closed: no step may reopen it
  // (a connect after a close would open a fresh socket).
  bool closed = false;
};

// Ends the probe's operations with operation_aborted; on the I/O thread.
void shutProbe(Probe& probe) {
  probe.closed = true;
  probe.resolver.cancel();
  asio::error_code ignored;
  probe.socket.close(ignored);
}

}  // namespace

struct AliveChecker::Impl : std::enable_shared_from_this<AliveChecker::Impl> {
  explicit Impl(platform::Scheduler& scheduler)
      : scheduler(scheduler),
        io(std::make_shared<asio::io_context>()),
        work(asio::make_work_guard(*io)),
        readQueue(std::string(kAliveReadQueueLabel)) {}

  // The I/O thread starts with the first probe: the checker is made at
  // launch with the line list, but nothing is probed before a connect, and
  // an idle thread holds its stack all the same.
  void startOnce() {
    std::call_once(started, [this] { ioThread = std::thread([io = io] { io->run(); }); });
  }

  // Ends every probe and lets the I/O thread run out of work, so no handler
  // (which holds its probe, which holds the I/O context) is left behind.
  void stop() {
    // From here on no probe starts the thread.
    std::call_once(started, [] {});
    if (ioThread.joinable()) {
      asio::post(*io, [self = shared_from_this()] {
        for (const auto& weakProbe : self->live) {
          if (auto probe = weakProbe.lock()) shutProbe(*probe);
        }
        self->live.clear();
        self->ending = true;
      });
    }
    work.reset();
    if (ioThread.joinable()) ioThread.join();
    stopped.store(true);
  }

  // Closes the probe where its socket lives: on the I/O thread while it
  // runs, here once it has ended.
  void closeProbe(const std::shared_ptr<Probe>& probe) {
    if (stopped.load()) {
      shutProbe(*probe);
      return;
    }
    asio::post(*io, [probe] { shutProbe(*probe); });
  }

  // ---- on the I/O thread ----
  void connect(const std::shared_ptr<Probe>& probe, std::uint16_t port) {
    if (ending) return;
    std::erase_if(live, [](const auto& weakProbe) { return weakProbe.expired(); });
    live.push_back(probe);
    auto poster = readQueue.poster();
    std::weak_ptr<Impl> weakSelf = weak_from_this();
    probe->resolver.async_resolve(
        probe->host, std::to_string(port),
        [probe, poster, weakSelf](const asio::error_code& error, Tcp::resolver::results_type found) {
          if (error || probe->closed) return;
          asio::async_connect(
              probe->socket, found,
              [probe, poster, weakSelf](const asio::error_code& error, const Tcp::endpoint&) {
                if (error || probe->closed) return;
                read(probe, poster, weakSelf);
              });
        });
  }

  static void read(const std::shared_ptr<Probe>& probe, std::function<void(platform::Job)> poster,
                   std::weak_ptr<Impl> weakSelf) {
    // One read, no time-out of its own; nothing is written to the server.
    probe->socket.async_read_some(
        asio::buffer(probe->buffer),
        [probe, poster, weakSelf](const asio::error_code& error, std::size_t size) {
          // operation_aborted (closed on time-out), end of stream, reset: no
          // callback.
          if (error || probe->closed) return;
          std::string data(probe->buffer.data(), size);
          poster([weakSelf, host = probe->host, data = std::move(data)] {
            if (auto self = weakSelf.lock()) self->didRead(host, data);
          });
        });
  }

  // ---- on the read queue ----
  void registerProbe(const std::shared_ptr<Probe>& probe, Callback callback) {
    readQueue.assertCurrent("AliveChecker::registerProbe");
    auto& slot = socketDict[probe->host];
    if (slot && slot != probe) closeProbe(slot);
    slot = probe;
    callbackDict[probe->host] = std::move(callback);
  }

  void didRead(const std::string& host, const std::string& data) {
    readQueue.assertCurrent("AliveChecker::didRead");
    const auto it = callbackDict.find(host);
    // The time-out has passed: the entries are gone.
    if (it == callbackDict.end()) return;
    // The entries stay until the time-out; the socket reads no more.
    const Callback callback = it->second;
    if (callback) callback(data == kAliveWord);
  }

  void timeOut(const std::string& host) {
    readQueue.assertCurrent("AliveChecker::timeOut");
    if (const auto it = socketDict.find(host); it != socketDict.end()) {
      closeProbe(it->second);
      socketDict.erase(it);
    }
    callbackDict.erase(host);
  }

  platform::Scheduler& scheduler;
  const std::shared_ptr<asio::io_context> io;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  std::once_flag started;
  std::thread ioThread;
  // On the I/O thread only: the probes that may have operations pending,
  // and whether the checker is ending.
  std::vector<std::weak_ptr<Probe>> live;
  bool ending = false;
  std::atomic<bool> stopped{false};
  platform::SerialQueue readQueue;
  // Touched only on readQueue (checked), which orders every access.
  std::map<std::string, std::shared_ptr<Probe>> socketDict;
  std::map<std::string, Callback> callbackDict;
};

AliveChecker& AliveChecker::shared() {
  // Leaked: probe callbacks may run until the process ends.
  static AliveChecker* const instance = new AliveChecker();
  return *instance;
}

AliveChecker::AliveChecker(platform::Scheduler& scheduler)
    : impl_(std::make_shared<Impl>(scheduler)) {}

AliveChecker::~AliveChecker() { impl_->stop(); }

platform::SerialQueue& AliveChecker::readQueue() { return impl_->readQueue; }

void AliveChecker::checkAlive(std::string host, std::int64_t port, Callback callback) {
  if (host.empty() || port < 0 || port > 65535) return;
  impl_->startOnce();
  auto probe = std::make_shared<Probe>(impl_->io, host);
  std::weak_ptr<Impl> weakImpl = impl_;
  // Registered before the connection starts: the read that may follow is
  // posted to the same queue later, so it always finds its entry.
  impl_->readQueue.async([weakImpl, probe, callback = std::move(callback)]() mutable {
    if (auto impl = weakImpl.lock()) impl->registerProbe(probe, std::move(callback));
  });
  asio::post(*impl_->io, [weakImpl, probe, port] {
    if (auto impl = weakImpl.lock()) impl->connect(probe, static_cast<std::uint16_t>(port));
  });
  impl_->scheduler.schedule(kAliveTimeout, impl_->readQueue, [weakImpl, host = std::move(host)] {
    if (auto impl = weakImpl.lock()) impl->timeOut(host);
  });
}

std::size_t AliveChecker::socketCountForTesting() {
  std::size_t count = 0;
  impl_->readQueue.sync([&] { count = impl_->socketDict.size(); });
  return count;
}

std::size_t AliveChecker::callbackCountForTesting() {
  std::size_t count = 0;
  impl_->readQueue.sync([&] { count = impl_->callbackDict.size(); });
  return count;
}

}  // namespace vandrel::connection
