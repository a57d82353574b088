#include "daemon/relay_udp.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>

#include "daemon/relay_socks.h"

namespace vandrel::daemon::relay {
namespace {

using namespace std::chrono_literals;
using platform::UniqueFd;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint64_t kStopId = 0;
constexpr std::uint64_t kControlId = 1;
constexpr auto kAssociateTimeout = 5s;
constexpr auto kTick = 1s;
constexpr std::size_t kMaxDatagram = 65535;

}  // namespace

bool UdpRelay::Key::operator<(const Key& other) const {
  return std::tie(family, app.bytes, port) < std::tie(other.family, other.app.bytes, other.port);
}

UdpRelay::UdpRelay(LoopbackEndpoint socks,
                   std::function<void(const std::vector<std::uint8_t>&)> writeToTun,
                   std::function<void(std::string_view)> log)
    : socks_(socks), writeToTun_(std::move(writeToTun)), log_(std::move(log)) {
  epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
  stop_.reset(::eventfd(0, EFD_CLOEXEC));
  epoll_event event{EPOLLIN, {.u64 = kStopId}};
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stop_.get(), &event);
  thread_ = std::thread([this] { run(); });
}

UdpRelay::~UdpRelay() {
  const std::uint64_t one = 1;
  (void)!::write(stop_.get(), &one, sizeof(one));
  thread_.join();
}

void UdpRelay::associate() {
  auto association = socksAssociate(socks_, kAssociateTimeout);
  if (!association) return;
  epoll_event event{EPOLLIN | EPOLLRDHUP, {.u64 = kControlId}};
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, association->control.get(), &event);
  platform::MutexLock lock(mutex_);
  control_ = std::move(association->control);
  relay_ = association->relay;
  relayLength_ = association->relayLength;
  log_("UDP association ready");
}

void UdpRelay::send(const Packet& packet, const std::uint8_t* data) {
  const std::size_t udpOffset = packet.l4Offset;
  const std::size_t payloadSize = packet.length - udpOffset - 8;
  const Key key{packet.family, packet.source, packet.sourcePort};
  std::shared_ptr<UniqueFd> socket;
  {
    platform::MutexLock lock(mutex_);
    if (!control_) return;  // no association: dropped
    const auto known = ids_.find(key);
    if (known != ids_.end()) {
      Flow& flow = flows_.at(known->second);
      flow.lastSeen = SteadyClock::now();
      socket = flow.socket;
    } else if (flows_.size() < kMaxFlows) {
      auto fd = std::make_shared<UniqueFd>(
          ::socket(relay_.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      if (!*fd || ::connect(fd->get(), reinterpret_cast<const sockaddr*>(&relay_),
                            relayLength_) != 0) {
        return;
      }
      const std::uint64_t id = nextId_++;
      epoll_event event{EPOLLIN, {.u64 = id}};
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd->get(), &event);
      ids_[key] = id;
      flows_[id] = Flow{key, fd, SteadyClock::now()};
      socket = fd;
    } else {
      return;
    }
  }
  const auto header = udpHeader(packet.destination, packet.destinationPort);
  iovec parts[2] = {{const_cast<std::uint8_t*>(header.data()), header.size()},
                    {const_cast<std::uint8_t*>(data + udpOffset + 8), payloadSize}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  (void)::sendmsg(socket->get(), &message, MSG_DONTWAIT);
}

void UdpRelay::receive(std::uint64_t id) {
  std::shared_ptr<UniqueFd> socket;
  Key key{};
  {
    platform::MutexLock lock(mutex_);
    const auto found = flows_.find(id);
    if (found == flows_.end()) return;
    socket = found->second.socket;
    key = found->second.key;
    found->second.lastSeen = SteadyClock::now();
  }
  std::vector<std::uint8_t> buffer(kMaxDatagram);
  for (;;) {
    const ssize_t n = ::recv(socket->get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0) return;
    const auto source = parseUdpHeader(buffer.data(), static_cast<std::size_t>(n));
    // An answer from the other family than the application's cannot be
    // written back to it.
    if (!source || source->address.family != key.family) continue;
    const std::size_t size = static_cast<std::size_t>(n) - source->payloadOffset;
    if (size > kMaxDatagram - 48) continue;
    writeToTun_(buildUdp(source->address, source->port, key.app, key.port,
                         buffer.data() + source->payloadOffset, size));
  }
}

void UdpRelay::expire() {
  const auto now = SteadyClock::now();
  platform::MutexLock lock(mutex_);
  for (auto it = flows_.begin(); it != flows_.end();) {
    if (now - it->second.lastSeen > kIdle) {
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->second.socket->get(), nullptr);
      ids_.erase(it->second.key);
      it = flows_.erase(it);
    } else {
      ++it;
    }
  }
}

void UdpRelay::run() {
  associate();
  auto lastTick = SteadyClock::now();
  for (;;) {
    epoll_event events[32];
    const int n = ::epoll_wait(epoll_.get(), events, 32,
                               static_cast<int>(std::chrono::milliseconds(kTick).count()));
    for (int i = 0; i < n; ++i) {
      const std::uint64_t id = events[i].data.u64;
      if (id == kStopId) return;
      if (id == kControlId) {
        // The SOCKS server ended the association: every flow with it.
        log_("UDP association ended");
        platform::MutexLock lock(mutex_);
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, control_.get(), nullptr);
        control_.reset();
        for (auto& [flowId, flow] : flows_) {
          ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, flow.socket->get(), nullptr);
        }
        flows_.clear();
        ids_.clear();
        continue;
      }
      receive(id);
    }
    if (SteadyClock::now() - lastTick >= kTick) {
      lastTick = SteadyClock::now();
      expire();
      bool associated;
      {
        platform::MutexLock lock(mutex_);
        associated = control_.valid();
      }
      if (!associated) associate();
    }
  }
}

}  // namespace vandrel::daemon::relay
