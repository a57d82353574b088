#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ping/icmp_echo_packet.h"
#include "ping/ping_system.h"
#include "ping/qv_ping.h"
#include "platform/dispatch.h"

namespace vandrel::ping::testing_support {

using namespace std::chrono_literals;

inline SocketAddress ipv4Address(const std::string& text) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  EXPECT_EQ(::inet_pton(AF_INET, text.c_str(), &in.sin_addr), 1) << text;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in);
  return SocketAddress(bytes, bytes + sizeof in);
}

inline SocketAddress ipv6Address(const std::string& text) {
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  EXPECT_EQ(::inet_pton(AF_INET6, text.c_str(), &in6.sin6_addr), 1) << text;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in6);
  return SocketAddress(bytes, bytes + sizeof in6);
}

// The reply a host gives to `request`: the same message with the reply type
// and, for IPv4, a fresh checksum (an ICMPv6 checksum is the kernel's job).
inline Bytes echoReplyTo(const Bytes& request, int family) {
  Bytes reply = request;
  if (family == AF_INET6) {
    reply[0] = static_cast<std::uint8_t>(qv_kICMPv6Type::qv_EchoReply);
    return reply;
  }
  reply[0] = static_cast<std::uint8_t>(qv_kICMPv4Type::qv_EchoReply);
  reply[2] = reply[3] = 0;
  const std::uint16_t checksum = internetChecksum(reply.data(), reply.size());
  std::memcpy(reply.data() + 2, &checksum, sizeof checksum);
  return reply;
}

// What a destination does with the requests sent to it.
enum class Behaviour { Silent, Reply, SendFails, ShortSend };

// A stand-in for the kernel's datagram ICMP sockets: no socket, no network.
// Each fake socket has an eventfd counting its waiting datagrams, so the
// manager's poll() sees it become readable like a real socket.
class FakePingSystem final : public PingSystem {
 public:
  struct Sent {
    Bytes packet;
    SocketAddress to;
  };

  struct SocketState {
    int family = 0;
    std::uint16_t identifier = 0;
    int eventFd = -1;
    std::optional<std::uint64_t> ttl;
    std::mutex mutex;
    std::deque<ReceivedDatagram> inbox;
    std::vector<Sent> sent;
    FakePingSystem* system = nullptr;

    ~SocketState() { ::close(eventFd); }

    void deliver(ReceivedDatagram datagram) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        inbox.push_back(std::move(datagram));
      }
      const std::uint64_t one = 1;
      EXPECT_EQ(::write(eventFd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }

    void deliverFrom(const SocketAddress& source, Bytes bytes, std::optional<int> ttl = 64) {
      ReceivedDatagram datagram;
      datagram.status = ReceivedDatagram::Status::Datagram;
      datagram.bytes = std::move(bytes);
      datagram.source = source;
      datagram.ttl = ttl;
      deliver(std::move(datagram));
    }

    std::vector<Sent> sentPackets() {
      std::lock_guard<std::mutex> lock(mutex);
      return sent;
    }
  };

  class Socket final : public IcmpSocket {
   public:
    explicit Socket(std::shared_ptr<SocketState> state) : state_(std::move(state)) {}
    int descriptor() const override { return state_->eventFd; }
    std::uint16_t identifier() const override { return state_->identifier; }
    void setTtl(std::uint64_t ttl) override { state_->ttl = ttl; }

    std::int64_t sendTo(ByteView packet, const SocketAddress& to, int& error) override {
      {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->sent.push_back(Sent{Bytes(packet.begin(), packet.end()), to});
      }
      switch (state_->system->behaviourOf(to)) {
        case Behaviour::Silent:
          break;
        case Behaviour::Reply:
          state_->deliverFrom(to, echoReplyTo(Bytes(packet.begin(), packet.end()), state_->family));
          break;
        case Behaviour::SendFails:
          error = ENETUNREACH;
          return -1;
        case Behaviour::ShortSend:
          return 0;
      }
      return static_cast<std::int64_t>(packet.size());
    }

    ReceivedDatagram receive() override {
      std::lock_guard<std::mutex> lock(state_->mutex);
      if (state_->inbox.empty()) return ReceivedDatagram{};
      std::uint64_t one;
      EXPECT_EQ(::read(state_->eventFd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
      ReceivedDatagram datagram = std::move(state_->inbox.front());
      state_->inbox.pop_front();
      return datagram;
    }

   private:
    std::shared_ptr<SocketState> state_;
  };

  // Hosts resolve to nothing until given addresses or an error.
  void addHost(const std::string& host, std::vector<SocketAddress> addresses) {
    std::lock_guard<std::mutex> lock(mutex_);
    hosts_[host] = Resolution{0, 0, std::move(addresses)};
  }
  void failHost(const std::string& host, int gaiError, int systemError = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    hosts_[host] = Resolution{gaiError, systemError, {}};
  }
  void setBehaviour(const SocketAddress& destination, Behaviour behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    behaviours_[destination] = behaviour;
  }
  // Sockets opened from now on fail with `error` (0: none fail) once
  // `opened` sockets exist, so one pinger of a pass can be refused while
  // the ones before it are not.
  void failSockets(int error, std::size_t opened = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    socketError_ = error;
    socketErrorAfter_ = opened;
  }

  Resolution resolve(const std::string& host) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hosts_.find(host);
    return it != hosts_.end() ? it->second : Resolution{EAI_NONAME, 0, {}};
  }

  platform::Result<std::unique_ptr<IcmpSocket>> openSocket(int family) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socketError_ != 0 && sockets_.size() >= socketErrorAfter_) {
      return platform::Error{"NSPOSIXErrorDomain", socketError_, std::strerror(socketError_)};
    }
    auto state = std::make_shared<SocketState>();
    state->family = family;
    state->identifier = static_cast<std::uint16_t>(0x4A00 + sockets_.size());
    state->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    state->system = this;
    sockets_.push_back(state);
    return std::unique_ptr<IcmpSocket>(new Socket(state));
  }

  void log(std::string_view line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    logs_.emplace_back(line);
  }

  Behaviour behaviourOf(const SocketAddress& destination) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = behaviours_.find(destination);
    return it != behaviours_.end() ? it->second : Behaviour::Silent;
  }

  std::vector<std::shared_ptr<SocketState>> sockets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sockets_;
  }
  std::shared_ptr<SocketState> lastSocket() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sockets_.empty() ? nullptr : sockets_.back();
  }
  std::vector<std::string> logs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, Resolution> hosts_;
  std::map<SocketAddress, Behaviour> behaviours_;
  std::vector<std::shared_ptr<SocketState>> sockets_;
  std::vector<std::string> logs_;
  int socketError_ = 0;
  std::size_t socketErrorAfter_ = 0;
};

// Records every callback with the queue it arrived on.
class RecordingDelegate final : public qv_PingDelegate {
 public:
  enum class Kind { Stop, FailWithError, Timeout, Send, Reply, Unexpected, FailToSend };
  struct Event {
    Kind kind;
    qv_PingResult result;
    std::optional<platform::Error> error;
    std::string queue;
    std::chrono::steady_clock::time_point at;
  };

  void qv_stop(qv_Ping&) override { add(Kind::Stop, {}, std::nullopt); }
  void qv_didFailWithError(qv_Ping&, const platform::Error& error) override {
    add(Kind::FailWithError, {}, error);
  }
  void qv_didTimeoutWith(qv_Ping&, const qv_PingResult& result) override {
    add(Kind::Timeout, result, std::nullopt);
  }
  void qv_didSendPingWith(qv_Ping&, const qv_PingResult& result) override {
    add(Kind::Send, result, std::nullopt);
  }
  void qv_didReceiveReplyWith(qv_Ping&, const qv_PingResult& result) override {
    add(Kind::Reply, result, std::nullopt);
  }
  void qv_didReceiveUnexpectedReplyWith(qv_Ping&, const qv_PingResult& result) override {
    add(Kind::Unexpected, result, std::nullopt);
  }
  void qv_didFailToSendPingWith(qv_Ping&, const qv_PingResult& result,
                                const platform::Error& error) override {
    add(Kind::FailToSend, result, error);
  }

  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<Event> eventsOf(Kind kind) const {
    std::vector<Event> out;
    for (auto& e : events()) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
  std::size_t count(Kind kind) const { return eventsOf(kind).size(); }

  ::testing::AssertionResult waitForCount(Kind kind, std::size_t n,
                                          std::chrono::milliseconds timeout = 5000ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ok = cv_.wait_for(lock, timeout, [&] {
      std::size_t c = 0;
      for (auto& e : events_) c += e.kind == kind ? 1 : 0;
      return c >= n;
    });
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "timed out waiting for " << n << " events of kind "
                                         << static_cast<int>(kind);
  }

 private:
  void add(Kind kind, qv_PingResult result, std::optional<platform::Error> error) {
    platform::Queue* queue = platform::Queue::current();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(Event{kind, std::move(result), std::move(error),
                              queue ? std::string(queue->label()) : std::string(),
                              std::chrono::steady_clock::now()});
    }
    cv_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Event> events_;
};

// Polls `done` until it holds or `timeout` passes.
inline ::testing::AssertionResult eventually(const std::function<bool()>& done,
                                             std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return ::testing::AssertionSuccess();
    std::this_thread::sleep_for(1ms);
  }
  return done() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "timed out";
}

}  // namespace vandrel::ping::testing_support
