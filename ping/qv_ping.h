#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ping/icmp_echo_packet.h"
#include "ping/ping_system.h"
#include "ping/qv_ping_result.h"
#include "platform/dispatch.h"
#include "platform/result.h"
#include "platform/sync.h"

namespace vandrel::ping {

class qv_Ping;

constexpr std::string_view kCFNetworkErrorDomain = "kCFErrorDomainCFNetwork";
constexpr std::string_view kPosixErrorDomain = "NSPOSIXErrorDomain";
// User-information key of a failed resolution: the resolver's error number.
constexpr std::string_view kGetAddrInfoFailureKey = "kCFGetAddrInfoFailureKey";
constexpr std::int64_t kHostErrorHostNotFound = 1;
constexpr std::int64_t kHostErrorUnknown = 2;

constexpr std::string_view kLogSetHostFirst = "GBPing: set host before attempting to start.";
constexpr std::string_view kLogAlreadySetUp = "GBPing: Can't setup, already setup.";
constexpr std::string_view kLogSendFailedPrefix = "GBPing: failed to send packet with error code: ";

// Receiver of one pinger's results; the pinger holds it weakly. Only
// `qv_stop` must be implemented: the others default to doing nothing.
// Callbacks run on the pinger's `qv_mainQueue` unless said otherwise; the
// pinger expects nothing back and holds no lock while calling.
class qv_PingDelegate {
 public:
  virtual ~qv_PingDelegate() = default;

  // A stop found the pinger pinging.
  virtual void qv_stop(qv_Ping& ping) = 0;
  // A read from the socket failed or returned nothing; the pinger stops.
  virtual void qv_didFailWithError(qv_Ping& /*ping*/, const platform::Error& /*error*/) {}
  // A request's time-out fired; `result` is the record as sent (qv_pending).
  virtual void qv_didTimeoutWith(qv_Ping& /*ping*/, const qv_PingResult& /*result*/) {}
  // On the send queue, just before the request goes to the socket.
  virtual void qv_didSendPingWith(qv_Ping& /*ping*/, const qv_PingResult& /*result*/) {}
  // A reply passed the checks (qv_success, with receive date and time).
  virtual void qv_didReceiveReplyWith(qv_Ping& /*ping*/, const qv_PingResult& /*result*/) {}
  // A reply for a known request failed the checks (qv_fail).
  virtual void qv_didReceiveUnexpectedReplyWith(qv_Ping& /*ping*/,
                                                const qv_PingResult& /*result*/) {}
  // On the send queue: the send failed (qv_fail); the request still times out.
  virtual void qv_didFailToSendPingWith(qv_Ping& /*ping*/, const qv_PingResult& /*result*/,
                                        const platform::Error& /*error*/) {}
};

// Why a set-up failed: the error and its user information, which a failed
// resolution carries (empty, or kGetAddrInfoFailureKey with the resolver's
// error number) and other failures do not.
struct SetupError {
  platform::Error error;
  std::optional<std::map<std::string, std::string>> userInfo;
};

using SetupCompletion =
    std::function<void(bool succeeded, const std::optional<SetupError>& error)>;

// Pings one host with ICMP echo requests over an unprivileged datagram ICMP
// socket, IPv4 or IPv6. It has no thread of its own: the ping manager sets
// it up (on its main queue), sends on `qv_sendQueue`, reads on
// `qv_listenQueue` and stops it; results go to the delegate. Always owned
// by a shared_ptr (make it with std::make_shared).
class qv_Ping : public std::enable_shared_from_this<qv_Ping> {
 public:
  static constexpr std::int64_t defaultPayloadSize = 56;
  // Seconds a request stays known after its time-out, for late replies.
  static constexpr double pendingCleanupGrace = 1.0;
  static constexpr std::int64_t qv_INET6_ADDRSTRLEN = 64;

  // Pingers alive now.
  static std::int64_t liveCount();

  // Real resolver and sockets, timers on the system scheduler.
  qv_Ping();
  // Timers and dates from `scheduler` (and its clock), which must outlive
  // every pinger made with it.
  qv_Ping(std::shared_ptr<PingSystem> system, platform::Scheduler& scheduler);
  ~qv_Ping();
  qv_Ping(const qv_Ping&) = delete;
  qv_Ping& operator=(const qv_Ping&) = delete;

  std::int64_t qv_pingThreadCount() const { return pingThreadCount_.load(); }

  std::weak_ptr<qv_PingDelegate> qv_delegate() const;
  void setQv_delegate(std::weak_ptr<qv_PingDelegate> delegate);

  std::optional<std::string> qv_host() const;
  void setQv_host(std::optional<std::string> host);

  // Kept for callers; the manager's own period paces the sends.
  double qv_pingPeriod() const { return pingPeriod_.load(); }
  void setQv_pingPeriod(double seconds) { pingPeriod_.store(seconds); }

  // Life of each request's time-out timer, in seconds.
  double qv_timeout() const { return timeout_.load(); }
  void setQv_timeout(double seconds) { timeout_.store(seconds); }

  // Payload bytes behind the 8-byte header; not negative.
  std::int64_t qv_payloadSize() const;
  void setQv_payloadSize(std::int64_t size);

  // Time-to-live of requests; 0 keeps the system's; at most 255.
  std::uint64_t qv_ttl() const;
  void setQv_ttl(std::uint64_t ttl);

  bool qv_isPinging() const { return isPinging_.load(); }
  bool qv_isReady() const;
  bool qv_debug() const;
  void setQv_debug(bool debug);
  std::optional<std::string> qv_hostAddressString() const;
  std::optional<SocketAddress> qv_hostAddress() const;
  // Copies of the records of requests still known, keyed by sequence number.
  std::map<std::string, qv_PingResult> qv_pendingPings() const;
  std::map<std::string, platform::Scheduler::TimerId> qv_timeoutTimers() const;
  std::uint16_t qv_identifier() const;
  std::uint64_t qv_nextSequenceNumber() const { return nextSequenceNumber_.load(); }
  // 0 until set up; negative after a failed socket creation.
  int qv_socketNum() const;
  bool qv_isStopped() const;

  // Where stop runs and the reply, time-out, read-failure and stop callbacks
  // arrive (the main queue until the manager gives its own).
  std::shared_ptr<platform::Queue> qv_mainQueue() const;
  void setQv_mainQueue(std::shared_ptr<platform::Queue> queue);
  // Where requests are sent and their timers forgotten.
  std::shared_ptr<platform::Queue> qv_sendQueue() const;
  void setQv_sendQueue(std::shared_ptr<platform::Queue> queue);
  // Where replies are read.
  std::shared_ptr<platform::Queue> qv_listenQueue() const;
  void setQv_listenQueue(std::shared_ptr<platform::Queue> queue);

  // Resolves the host and opens the socket; calls `completion` exactly once,
  // on this thread, before it returns.
  void setupSocket(const SetupCompletion& completion);
  void beginPinging() { isPinging_.store(true); }
  // One request (on qv_sendQueue).
  void pingOnce();
  // One read that does not block (on qv_listenQueue).
  void receiveOnce();
  void sendPing();
  void receiveReply();
  // Asynchronously, on qv_mainQueue: when pinging and a delegate is set,
  // stops pinging and tells the delegate. Socket, timers and records stay.
  void stop();

  // The family of the resolved address, 0 before resolution.
  int hostAddressFamily() const;
  // The descriptor the listen loop polls, -1 without a socket.
  int pollDescriptor() const;

  static Bytes makePayload(std::int64_t size);
  Bytes makeEchoRequest(std::uint8_t type, ByteView payload, bool fillChecksum) const;
  bool isValidIPv4Reply(ByteView packet) const;
  bool isValidIPv6Reply(ByteView packet) const;
  bool isValidReply(ByteView packet) const;

 private:
  struct Snapshot;
  Snapshot snapshot() const;
  std::shared_ptr<qv_PingDelegate> delegate() const;
  void failSetup(const SetupCompletion& completion, SetupError error);
  void recordFailedSend(const Snapshot& s, const std::shared_ptr<qv_PingResult>& record, int code);
  void handleTimeout(const std::shared_ptr<qv_PingResult>& record, const qv_PingResult& sentCopy,
                     const std::string& key);
  void handleDatagram(const Snapshot& s, ReceivedDatagram datagram);
  void reportReadFailure(const Snapshot& s, platform::Error error);
  void log(std::string_view line) const;

  const std::shared_ptr<PingSystem> system_;
  platform::Scheduler& scheduler_;

  std::atomic<std::int64_t> pingThreadCount_{0};
  std::atomic<double> pingPeriod_{1.0};
  std::atomic<double> timeout_{1.0};
  std::atomic<bool> isPinging_{false};
  std::atomic<std::uint64_t> nextSequenceNumber_{0};

  mutable platform::Mutex mutex_;
  std::weak_ptr<qv_PingDelegate> delegate_ VANDREL_GUARDED_BY(mutex_);
  std::optional<std::string> host_ VANDREL_GUARDED_BY(mutex_);
  std::int64_t payloadSize_ VANDREL_GUARDED_BY(mutex_) = defaultPayloadSize;
  std::uint64_t ttl_ VANDREL_GUARDED_BY(mutex_) = 0;
  bool isReady_ VANDREL_GUARDED_BY(mutex_) = false;
  bool debug_ VANDREL_GUARDED_BY(mutex_) = false;
  std::optional<std::string> hostAddressString_ VANDREL_GUARDED_BY(mutex_);
  // A request stays known until time-out plus grace after it was sent. The
  // record is shared with its time-out timer, which marks it failed.
  struct Pending {
    std::shared_ptr<qv_PingResult> record;
    platform::TimePoint forgetAt;
  };
  // Drops the records whose time is up.
  void forgetExpired(platform::TimePoint now) VANDREL_REQUIRES(mutex_);
  std::map<std::string, Pending> pendingPings_ VANDREL_GUARDED_BY(mutex_);
  std::optional<SocketAddress> hostAddress_ VANDREL_GUARDED_BY(mutex_);
  std::uint16_t identifier_ VANDREL_GUARDED_BY(mutex_);
  std::map<std::string, platform::Scheduler::TimerId> timeoutTimers_ VANDREL_GUARDED_BY(mutex_);
  int socketNum_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<IcmpSocket> socket_ VANDREL_GUARDED_BY(mutex_);
  bool isStopped_ VANDREL_GUARDED_BY(mutex_) = true;
  std::shared_ptr<platform::Queue> mainQueue_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<platform::Queue> sendQueue_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<platform::Queue> listenQueue_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::ping
