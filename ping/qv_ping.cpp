#include "ping/qv_ping.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/check.h"

namespace vandrel::ping {
namespace {

std::atomic<std::int64_t> gLiveCount{0};

// Requests carry 16-bit sequence numbers, so the keys of the pending records
// and timers follow the 16-bit value. A key comes round again only after
// 65,536 further requests, long after its record (time-out plus grace) is gone.
std::string sequenceKey(std::uint64_t sequenceNumber) {
  return std::to_string(sequenceNumber & 0xFFFF);
}

platform::Error posixError(int code, int systemErrno) {
  return platform::Error{std::string(kPosixErrorDomain), code, std::strerror(systemErrno)};
}

platform::Duration seconds(double value) {
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(value));
}

// The main queue is process-wide and never destroyed: share it without owning it.
std::shared_ptr<platform::Queue> mainQueueReference() {
  return std::shared_ptr<platform::Queue>(std::shared_ptr<void>(), &platform::mainQueue());
}

}  // namespace

struct qv_Ping::Snapshot {
  std::weak_ptr<qv_PingDelegate> delegate;
  std::optional<std::string> host;
  std::int64_t payloadSize = 0;
  std::uint64_t ttl = 0;
  bool debug = false;
  bool isStopped = false;
  std::optional<std::string> hostAddressString;
  SocketAddress hostAddress;
  std::uint16_t identifier = 0;
  int socketNum = 0;
  std::shared_ptr<IcmpSocket> socket;
  std::shared_ptr<platform::Queue> mainQueue;
  std::shared_ptr<platform::Queue> sendQueue;
  std::shared_ptr<platform::Queue> listenQueue;
};

std::int64_t qv_Ping::liveCount() { return gLiveCount.load(); }

qv_Ping::qv_Ping() : qv_Ping(PingSystem::standard(), platform::Scheduler::system()) {}

qv_Ping::qv_Ping(std::shared_ptr<PingSystem> system, platform::Scheduler& scheduler)
    : system_(std::move(system)),
      scheduler_(scheduler),
      identifier_(static_cast<std::uint16_t>(::arc4random() & 0xFFFF)),
      mainQueue_(mainQueueReference()),
      sendQueue_(std::make_shared<platform::SerialQueue>("sendQueue")),
      listenQueue_(std::make_shared<platform::SerialQueue>("listenQueue")) {
  pingThreadCount_.store(++gLiveCount);
}

qv_Ping::~qv_Ping() { --gLiveCount; }

// ---- fields ----------------------------------------------------------------

std::weak_ptr<qv_PingDelegate> qv_Ping::qv_delegate() const {
  platform::MutexLock lock(mutex_);
  return delegate_;
}

void qv_Ping::setQv_delegate(std::weak_ptr<qv_PingDelegate> delegate) {
  platform::MutexLock lock(mutex_);
  delegate_ = std::move(delegate);
}

std::optional<std::string> qv_Ping::qv_host() const {
  platform::MutexLock lock(mutex_);
  return host_;
}

void qv_Ping::setQv_host(std::optional<std::string> host) {
  platform::MutexLock lock(mutex_);
  host_ = std::move(host);
}

std::int64_t qv_Ping::qv_payloadSize() const {
  platform::MutexLock lock(mutex_);
  return payloadSize_;
}

void qv_Ping::setQv_payloadSize(std::int64_t size) {
  VANDREL_CHECK(size >= 0, "qv_payloadSize must not be negative");
  platform::MutexLock lock(mutex_);
  payloadSize_ = size;
}

std::uint64_t qv_Ping::qv_ttl() const {
  platform::MutexLock lock(mutex_);
  return ttl_;
}

void qv_Ping::setQv_ttl(std::uint64_t ttl) {
  VANDREL_CHECK(ttl <= 255, "qv_ttl must be at most 255");
  platform::MutexLock lock(mutex_);
  ttl_ = ttl;
}

bool qv_Ping::qv_isReady() const {
  platform::MutexLock lock(mutex_);
  return isReady_;
}

bool qv_Ping::qv_debug() const {
  platform::MutexLock lock(mutex_);
  return debug_;
}

void qv_Ping::setQv_debug(bool debug) {
  platform::MutexLock lock(mutex_);
  debug_ = debug;
}

std::optional<std::string> qv_Ping::qv_hostAddressString() const {
  platform::MutexLock lock(mutex_);
  return hostAddressString_;
}

std::optional<SocketAddress> qv_Ping::qv_hostAddress() const {
  platform::MutexLock lock(mutex_);
  return hostAddress_;
}

std::map<std::string, qv_PingResult> qv_Ping::qv_pendingPings() const {
  const platform::TimePoint now = scheduler_.clock().now();
  platform::MutexLock lock(mutex_);
  std::map<std::string, qv_PingResult> copies;
  for (const auto& [key, pending] : pendingPings_) {
    if (now < pending.forgetAt) copies.emplace(key, *pending.record);
  }
  return copies;
}

void qv_Ping::forgetExpired(platform::TimePoint now) {
  std::erase_if(pendingPings_, [&](const auto& entry) { return now >= entry.second.forgetAt; });
}

std::map<std::string, platform::Scheduler::TimerId> qv_Ping::qv_timeoutTimers() const {
  platform::MutexLock lock(mutex_);
  return timeoutTimers_;
}

std::uint16_t qv_Ping::qv_identifier() const {
  platform::MutexLock lock(mutex_);
  return identifier_;
}

int qv_Ping::qv_socketNum() const {
  platform::MutexLock lock(mutex_);
  return socketNum_;
}

bool qv_Ping::qv_isStopped() const {
  platform::MutexLock lock(mutex_);
  return isStopped_;
}

std::shared_ptr<platform::Queue> qv_Ping::qv_mainQueue() const {
  platform::MutexLock lock(mutex_);
  return mainQueue_;
}

void qv_Ping::setQv_mainQueue(std::shared_ptr<platform::Queue> queue) {
  platform::MutexLock lock(mutex_);
  mainQueue_ = std::move(queue);
}

std::shared_ptr<platform::Queue> qv_Ping::qv_sendQueue() const {
  platform::MutexLock lock(mutex_);
  return sendQueue_;
}

void qv_Ping::setQv_sendQueue(std::shared_ptr<platform::Queue> queue) {
  platform::MutexLock lock(mutex_);
  sendQueue_ = std::move(queue);
}

std::shared_ptr<platform::Queue> qv_Ping::qv_listenQueue() const {
  platform::MutexLock lock(mutex_);
  return listenQueue_;
}

void qv_Ping::setQv_listenQueue(std::shared_ptr<platform::Queue> queue) {
  platform::MutexLock lock(mutex_);
  listenQueue_ = std::move(queue);
}

qv_Ping::Snapshot qv_Ping::snapshot() const {
  platform::MutexLock lock(mutex_);
  Snapshot s;
  s.delegate = delegate_;
  s.host = host_;
  s.payloadSize = payloadSize_;
  s.ttl = ttl_;
  s.debug = debug_;
  s.isStopped = isStopped_;
  s.hostAddressString = hostAddressString_;
  if (hostAddress_) s.hostAddress = *hostAddress_;
  s.identifier = identifier_;
  s.socketNum = socketNum_;
  s.socket = socket_;
  s.mainQueue = mainQueue_;
  s.sendQueue = sendQueue_;
  s.listenQueue = listenQueue_;
  return s;
}

std::shared_ptr<qv_PingDelegate> qv_Ping::delegate() const { return qv_delegate().lock(); }

void qv_Ping::log(std::string_view line) const { system_->log(line); }

// ---- packets ---------------------------------------------------------------

int qv_Ping::hostAddressFamily() const {
  platform::MutexLock lock(mutex_);
  if (!hostAddress_ || hostAddress_->size() < 16) return 0;
  return socketAddressFamily(*hostAddress_);
}

int qv_Ping::pollDescriptor() const {
  platform::MutexLock lock(mutex_);
  return socket_ ? socket_->descriptor() : -1;
}

Bytes qv_Ping::makePayload(std::int64_t size) {
  return Bytes(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)), 0x07);
}

Bytes qv_Ping::makeEchoRequest(std::uint8_t type, ByteView payload, bool fillChecksum) const {
  return ping::makeEchoRequest(type, qv_identifier(), qv_nextSequenceNumber() & 0xFFFF, payload,
                               fillChecksum);
}

bool qv_Ping::isValidIPv4Reply(ByteView packet) const {
  return ping::isValidIPv4Reply(packet, qv_identifier(), qv_nextSequenceNumber());
}

bool qv_Ping::isValidIPv6Reply(ByteView packet) const {
  return ping::isValidIPv6Reply(packet, qv_identifier(), qv_nextSequenceNumber());
}

bool qv_Ping::isValidReply(ByteView packet) const {
  return ping::isValidReply(hostAddressFamily(), packet, qv_identifier(), qv_nextSequenceNumber());
}

// ---- set-up ----------------------------------------------------------------

void qv_Ping::failSetup(const SetupCompletion& completion, SetupError error) {
  stop();
  completion(false, error);
}

void qv_Ping::setupSocket(const SetupCompletion& completion) {
  const Snapshot s = snapshot();
  if (qv_isReady()) {
    if (s.debug) log(kLogAlreadySetUp);
    completion(false, std::nullopt);
    return;
  }
  if (!s.host) {
    if (s.debug) log(kLogSetHostFirst);
    completion(false, std::nullopt);
    return;
  }
  nextSequenceNumber_.store(0);

  const Resolution resolution = system_->resolve(*s.host);
  if (resolution.gaiError != 0) {
    SetupError error{{std::string(kCFNetworkErrorDomain), kHostErrorUnknown,
                      ::gai_strerror(resolution.gaiError)},
                     std::map<std::string, std::string>{}};
    // EAI_SYSTEM is an errno, not a lookup failure: the dictionary stays empty.
    if (resolution.gaiError != EAI_SYSTEM) {
      (*error.userInfo)[std::string(kGetAddrInfoFailureKey)] = std::to_string(resolution.gaiError);
    }
    failSetup(completion, std::move(error));
    return;
  }
  const SocketAddress* chosen = nullptr;
  for (const SocketAddress& address : resolution.addresses) {
    const int family = socketAddressFamily(address);
    if (address.size() >= 16 && (family == AF_INET || family == AF_INET6)) {
      chosen = &address;
      break;
    }
  }
  if (chosen == nullptr) {
    failSetup(completion, SetupError{{std::string(kCFNetworkErrorDomain), kHostErrorHostNotFound,
                                      "no usable address for " + *s.host},
                                     std::nullopt});
    return;
  }
  {
    platform::MutexLock lock(mutex_);
    hostAddress_ = *chosen;
    hostAddressString_ = socketAddressText(*chosen);
  }

  auto opened = system_->openSocket(socketAddressFamily(*chosen));
  if (!opened.ok()) {
    {
      platform::MutexLock lock(mutex_);
      socketNum_ = -1;
    }
    failSetup(completion, SetupError{opened.error(), std::nullopt});
    return;
  }
  std::shared_ptr<IcmpSocket> socket = std::move(opened).value();
  if (s.ttl != 0) socket->setTtl(s.ttl);
  {
    platform::MutexLock lock(mutex_);
    socket_ = socket;
    socketNum_ = socket->descriptor();
    // The kernel writes the socket's own identifier into every request and
    // hands this socket only the replies that carry it.
    identifier_ = socket->identifier();
    isReady_ = true;
  }
  completion(true, std::nullopt);
  platform::MutexLock lock(mutex_);
  isStopped_ = true;
}

// ---- sending ---------------------------------------------------------------

void qv_Ping::pingOnce() {
  sendPing();
  ++pingThreadCount_;
}

void qv_Ping::sendPing() {
  const Snapshot s = snapshot();
  s.sendQueue->assertCurrent("qv_Ping::sendPing");
  if (!isPinging_.load()) return;
  const std::uint64_t sequenceNumber = nextSequenceNumber_.load();
  const Bytes payload = makePayload(s.payloadSize);
  Bytes packet;
  const int family = s.hostAddress.size() >= 16 ? socketAddressFamily(s.hostAddress) : 0;
  if (family == AF_INET) {
    packet = ping::makeEchoRequest(static_cast<std::uint8_t>(qv_kICMPv4Type::qv_EchoRequest),
                                   s.identifier, sequenceNumber & 0xFFFF, payload, true);
  } else if (family == AF_INET6) {
    packet = ping::makeEchoRequest(static_cast<std::uint8_t>(qv_kICMPv6Type::qv_EchoRequest),
                                   s.identifier, sequenceNumber & 0xFFFF, payload, true);
  }
  if (s.socketNum == 0) return;

  auto record = std::make_shared<qv_PingResult>();
  record->setQv_sequenceNumber(sequenceNumber);
  record->setQv_host(s.host);
  record->setQv_sendDate(scheduler_.clock().wallNow());
  record->setQv_ttl(s.ttl);
  record->setQv_payloadSize(static_cast<std::uint64_t>(s.payloadSize));
  record->setQv_pingStatus(qv_PingStatus::qv_pending);
  const std::string key = sequenceKey(sequenceNumber);
  const qv_PingResult sentCopy = *record;
  const double timeout = timeout_.load();
  const platform::TimePoint now = scheduler_.clock().now();
  {
    platform::MutexLock lock(mutex_);
    // Expired records go when the next request is recorded or a reply looks
    // one up, instead of by a timer of their own per request.
    forgetExpired(now);
    pendingPings_[key] = Pending{record, now + seconds(timeout + pendingCleanupGrace)};
  }
  nextSequenceNumber_.store(sequenceNumber + 1);

  // The timer owns the pinger, the record and the sent copy until it fires,
  // so the time-out is delivered even when nobody else holds the pinger.
  const auto timer = scheduler_.schedule(
      seconds(timeout), *s.mainQueue,
      [self = shared_from_this(), record, sentCopy, key] {
        self->handleTimeout(record, sentCopy, key);
      });
  {
    platform::MutexLock lock(mutex_);
    timeoutTimers_[key] = timer;
  }

  if (auto d = s.delegate.lock()) d->qv_didSendPingWith(*this, sentCopy);
  int error = EBADF;
  const std::int64_t sent = s.socket ? s.socket->sendTo(packet, s.hostAddress, error) : -1;
  if (sent > 0 && static_cast<std::size_t>(sent) == packet.size()) return;
  recordFailedSend(s, record, sent < 0 ? error : ENOBUFS);
}

void qv_Ping::recordFailedSend(const Snapshot& s, const std::shared_ptr<qv_PingResult>& record,
                               int code) {
  if (s.debug) log(std::string(kLogSendFailedPrefix) + std::to_string(code));
  qv_PingResult failedCopy;
  {
    platform::MutexLock lock(mutex_);
    record->setQv_pingStatus(qv_PingStatus::qv_fail);
    failedCopy = *record;
  }
  if (auto d = delegate()) d->qv_didFailToSendPingWith(*this, failedCopy, posixError(code, code));
}

void qv_Ping::handleTimeout(const std::shared_ptr<qv_PingResult>& record,
                            const qv_PingResult& sentCopy, const std::string& key) {
  {
    platform::MutexLock lock(mutex_);
    record->setQv_pingStatus(qv_PingStatus::qv_fail);
  }
  if (auto d = delegate()) d->qv_didTimeoutWith(*this, sentCopy);
  // Through the send queue: the send step that armed this timer stores its
  // entry there, and a very short time-out may fire before it has.
  std::weak_ptr<qv_Ping> weakSelf = weak_from_this();
  qv_sendQueue()->async([weakSelf, key] {
    if (auto self = weakSelf.lock()) {
      platform::MutexLock lock(self->mutex_);
      self->timeoutTimers_.erase(key);
    }
  });
}

// ---- receiving -------------------------------------------------------------

void qv_Ping::receiveOnce() { receiveReply(); }

void qv_Ping::receiveReply() {
  const Snapshot s = snapshot();
  s.listenQueue->assertCurrent("qv_Ping::receiveReply");
  if (!s.socket) return;
  ReceivedDatagram datagram = s.socket->receive();
  switch (datagram.status) {
    case ReceivedDatagram::Status::NoDatagram:
      return;
    case ReceivedDatagram::Status::Failed:
      reportReadFailure(s, posixError(-1, datagram.error));
      return;
    case ReceivedDatagram::Status::Empty:
      reportReadFailure(s, posixError(EPIPE, EPIPE));
      return;
    case ReceivedDatagram::Status::Datagram:
      handleDatagram(s, std::move(datagram));
      return;
  }
}

void qv_Ping::reportReadFailure(const Snapshot& s, platform::Error error) {
  if (s.isStopped) {
    std::weak_ptr<qv_Ping> weakSelf = weak_from_this();
    s.mainQueue->async([weakSelf, error = std::move(error)] {
      auto self = weakSelf.lock();
      if (!self) return;
      if (auto d = self->delegate()) d->qv_didFailWithError(*self, error);
    });
  }
  stop();
}

void qv_Ping::handleDatagram(const Snapshot& s, ReceivedDatagram datagram) {
  const std::optional<std::string> sourceText = socketAddressText(datagram.source);
  if (!sourceText || sourceText != s.hostAddressString) return;
  const platform::WallTime receivedAt = scheduler_.clock().wallNow();
  const int sourceFamily = socketAddressFamily(datagram.source);
  const ByteView bytes = datagram.bytes;
  const std::optional<std::size_t> offset =
      sourceFamily == AF_INET ? icmpMessageOffset(bytes) : std::optional<std::size_t>(0);
  const std::optional<qv_ICMPHeader> header = offset ? readICMPHeader(bytes, *offset) : std::nullopt;
  if (!header) return;
  const std::string key = std::to_string(header->qv_sequenceNumber);
  const platform::TimePoint now = scheduler_.clock().now();
  qv_PingResult copy;
  {
    platform::MutexLock lock(mutex_);
    forgetExpired(now);
    auto it = pendingPings_.find(key);
    if (it == pendingPings_.end()) return;
    copy = *it->second.record;
  }
  std::weak_ptr<qv_Ping> weakSelf = weak_from_this();
  if (!isValidReply(bytes)) {
    copy.setQv_pingStatus(qv_PingStatus::qv_fail);
    s.mainQueue->async([weakSelf, copy] {
      auto self = weakSelf.lock();
      if (!self) return;
      if (auto d = self->delegate()) d->qv_didReceiveUnexpectedReplyWith(*self, copy);
    });
    return;
  }
  copy.setQv_receiveDate(receivedAt);
  if (sourceFamily == AF_INET) {
    if (*offset > 0) {
      // Raw input: the IPv4 header in front tells source and time-to-live.
      copy.setQv_host(ipv4SourceAddress(bytes));
      copy.setQv_ttl(bytes[8]);
    } else {
      copy.setQv_host(sourceText);
      if (datagram.ttl) copy.setQv_ttl(static_cast<std::uint64_t>(*datagram.ttl));
    }
  }
  copy.setQv_pingStatus(qv_PingStatus::qv_success);
  // The table is locked and the scheduler thread-safe: the timer is
  // cancelled right here rather than from another queue.
  std::optional<platform::Scheduler::TimerId> timer;
  {
    platform::MutexLock lock(mutex_);
    auto it = timeoutTimers_.find(key);
    if (it != timeoutTimers_.end()) {
      timer = it->second;
      timeoutTimers_.erase(it);
    }
  }
  if (timer) scheduler_.cancel(*timer);
  s.mainQueue->async([weakSelf, copy] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (auto d = self->delegate()) d->qv_didReceiveReplyWith(*self, copy);
  });
}

// ---- stopping --------------------------------------------------------------

void qv_Ping::stop() {
  VANDREL_CHECK(!weak_from_this().expired(), "a qv_Ping must be owned by a shared_ptr");
  qv_mainQueue()->async([self = shared_from_this()] {
    auto d = self->delegate();
    if (!d) return;
    bool pinging = true;
    if (self->isPinging_.compare_exchange_strong(pinging, false)) d->qv_stop(*self);
  });
}

}  // namespace vandrel::ping
