#include "platform/linux/reachability_linux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "platform/check.h"

namespace vandrel::platform {
namespace {

// Large enough for any message a dump or an event sends in one datagram.
constexpr std::size_t kReceiveBufferSize = 64 * 1024;
// A dump answers at once; this only keeps a wedged kernel from hanging us.
constexpr int kDumpTimeoutSeconds = 2;
// A dump that the kernel marks as interrupted (the table changed under it)
// is taken again, a few times.
constexpr int kDumpAttempts = 4;


UniqueFd openRouteSocket(std::uint32_t groups, int extraType) {
  UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | extraType, NETLINK_ROUTE));
  if (!fd.valid()) return fd;
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = groups;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return UniqueFd();
  return fd;
}

// Sends one dump request and hands every answer message to `each`. False
// when the request fails, the kernel reports an error or the dump was
// interrupted.
bool dumpOnce(int fd, std::uint32_t sequence, std::uint16_t type, std::uint8_t family,
              const std::function<void(const nlmsghdr&)>& each) {
  struct {
    nlmsghdr header;
    union {
      ifinfomsg link;
      rtmsg route;
    } body;
  } request{};
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = sequence;
  if (type == RTM_GETLINK) {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    request.body.link.ifi_family = family;
  } else {
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.body.route.rtm_family = family;
  }
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
    return false;
  }
  std::vector<char> buffer(kReceiveBufferSize);
  bool interrupted = false;
  for (;;) {
    iovec io{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    const ssize_t received = ::recvmsg(fd, &message, 0);
    if (received < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) return false;
    auto remaining = static_cast<unsigned int>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
      if (header->nlmsg_seq != sequence) continue;
      if ((header->nlmsg_flags & NLM_F_DUMP_INTR) != 0) interrupted = true;
      if (header->nlmsg_type == NLMSG_DONE) return !interrupted;
      if (header->nlmsg_type == NLMSG_ERROR) return false;
      each(*header);
    }
  }
}

bool dump(int fd, std::uint32_t& sequence, std::uint16_t type, std::uint8_t family,
          const std::function<void(const nlmsghdr&)>& each, const std::function<void()>& restart) {
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    restart();
    if (dumpOnce(fd, ++sequence, type, family, each)) return true;
  }
  return false;
}

struct NextHop {
  int interfaceIndex = 0;
  unsigned int flags = 0;  // RTNH_F_*
};

// The next hops of a unicast default route outside the local table; empty
// for every other route.
std::vector<NextHop> defaultRouteNextHops(const nlmsghdr& header) {
  if (header.nlmsg_type != RTM_NEWROUTE || header.nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) {
    return {};
  }
  const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&header));
  if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST ||
      (route->rtm_flags & RTM_F_CLONED) != 0) {
    return {};
  }
  std::uint32_t table = route->rtm_table;
  std::vector<NextHop> hops;
  auto length = static_cast<int>(RTM_PAYLOAD(&header));
  for (const auto* attribute = RTM_RTA(route); RTA_OK(attribute, length);
       attribute = RTA_NEXT(attribute, length)) {
    if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(std::uint32_t)) {
      std::memcpy(&table, RTA_DATA(attribute), sizeof table);
    } else if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
      NextHop hop;
      std::memcpy(&hop.interfaceIndex, RTA_DATA(attribute), sizeof(int));
      hop.flags = route->rtm_flags;
      hops.push_back(hop);
    } else if (attribute->rta_type == RTA_MULTIPATH) {
      auto left = static_cast<int>(RTA_PAYLOAD(attribute));
      for (const auto* nexthop = static_cast<const rtnexthop*>(RTA_DATA(attribute));
           RTNH_OK(nexthop, left);
           left -= NLMSG_ALIGN(nexthop->rtnh_len), nexthop = RTNH_NEXT(nexthop)) {
        hops.push_back({nexthop->rtnh_ifindex, nexthop->rtnh_flags});
      }
    }
  }
  if (table == RT_TABLE_LOCAL) return {};
  return hops;
}

std::optional<std::uint32_t> currentFlags() {
  const auto usable = hasUsableDefaultRoute();
  if (!usable) return std::nullopt;
  return *usable ? reachability_flags::kReachable : 0u;
}

// One registration: its queue's poster and callback, and whether it still
// delivers. Jobs hold it, so it outlives the source when they run late.
struct Delivery {
  std::function<void(Job)> post;
  ReachabilitySource::FlagsCallback onChange;
  std::atomic<bool> active{true};

  static void deliver(const std::shared_ptr<Delivery>& delivery, std::uint32_t flags) {
    delivery->post([delivery, flags] {
      if (delivery->active.load()) delivery->onChange(flags);
    });
  }
};

// Reads what waits on the non-blocking event socket. False when the socket
// failed for good.
bool drainEvents(int fd) {
  char buffer[8192];
  for (;;) {
    const ssize_t received = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (received >= 0) continue;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    // Events were dropped: the state is read again anyway.
    if (errno == ENOBUFS) continue;
    return false;
  }
}

}  // namespace

std::optional<bool> hasUsableDefaultRoute() {
  UniqueFd fd = openRouteSocket(0, 0);
  if (!fd.valid()) return std::nullopt;
  timeval timeout{kDumpTimeoutSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::uint32_t sequence = 0;

  std::map<int, unsigned int> interfaceFlags;
  const bool linksRead = dump(
      fd.get(), sequence, RTM_GETLINK, AF_UNSPEC,
      [&](const nlmsghdr& header) {
        if (header.nlmsg_type != RTM_NEWLINK ||
            header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
          return;
        }
        const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&header));
        interfaceFlags[link->ifi_index] = link->ifi_flags;
      },
      [&] { interfaceFlags.clear(); });
  if (!linksRead) return std::nullopt;

  const auto usable = [&](const NextHop& hop) {
    if ((hop.flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) != 0) return false;
    const auto it = interfaceFlags.find(hop.interfaceIndex);
    if (it == interfaceFlags.end()) return false;
    const unsigned int flags = it->second;
    return (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 && (flags & IFF_LOOPBACK) == 0;
  };
  bool reachable = false;
  for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
    bool found = false;
    const bool routesRead = dump(
        fd.get(), sequence, RTM_GETROUTE, family,
        [&](const nlmsghdr& header) {
          for (const NextHop& hop : defaultRouteNextHops(header)) found = found || usable(hop);
        },
        [&] { found = false; });
    // A kernel without IPv6 refuses the second dump; IPv4 alone decides.
    if (!routesRead && family == AF_INET) return std::nullopt;
    reachable = reachable || found;
  }
  return reachable;
}

namespace {

// The event socket, the wake-up descriptor and the thread that reads them,
// shared by every started source: the flags do not depend on the target,
// so one reading serves all of them. It lives while a source is started.
class Watcher {
 public:
  Watcher(UniqueFd events, UniqueFd wake) : events_(std::move(events)), wake_(std::move(wake)) {
    reader_ = std::thread([this] { run(); });
  }

  ~Watcher() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.get(), &one, sizeof one);
    VANDREL_CHECK(reader_.get_id() != std::this_thread::get_id(),
                  "a reachability source stopped from its own reader thread");
    reader_.join();
  }

  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // The watcher of the started sources, made when there is none.
  static std::shared_ptr<Watcher> acquire() {
    // Leaked: sources may start and stop while the process ends.
    static auto* const shared = new Current;
    MutexLock lock(shared->mutex);
    if (auto watcher = shared->watcher.lock()) return watcher;
    UniqueFd events =
        openRouteSocket(RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE, SOCK_NONBLOCK);
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!events.valid() || !wake.valid()) return nullptr;
    auto watcher = std::make_shared<Watcher>(std::move(events), std::move(wake));
    shared->watcher = watcher;
    return watcher;
  }

  void add(std::shared_ptr<Delivery> delivery) {
    MutexLock lock(mutex_);
    deliveries_.push_back(std::move(delivery));
  }

  void remove(const std::shared_ptr<Delivery>& delivery) {
    MutexLock lock(mutex_);
    std::erase(deliveries_, delivery);
  }

 private:
  struct Current {
    Mutex mutex;
    std::weak_ptr<Watcher> watcher VANDREL_GUARDED_BY(mutex);
  };

  void run() {
    for (;;) {
      pollfd fds[2] = {{events_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "vandrel: reachability: poll failed: %s\n", std::strerror(errno));
        return;
      }
      if (fds[1].revents != 0) return;
      if (fds[0].revents == 0) continue;
      if (!drainEvents(events_.get())) {
        std::fprintf(stderr, "vandrel: reachability: event socket failed: %s\n",
                     std::strerror(errno));
        return;
      }
      std::vector<std::shared_ptr<Delivery>> deliveries;
      {
        MutexLock lock(mutex_);
        deliveries = deliveries_;
      }
      if (deliveries.empty()) continue;
      if (const auto flags = currentFlags()) {
        for (const auto& delivery : deliveries) Delivery::deliver(delivery, *flags);
      }
    }
  }

  const UniqueFd events_;
  const UniqueFd wake_;
  Mutex mutex_;
  std::vector<std::shared_ptr<Delivery>> deliveries_ VANDREL_GUARDED_BY(mutex_);
  std::thread reader_;
};

}  // namespace

// One start: its delivery, registered with the shared watcher.
struct LinuxReachabilitySource::Listener {
  std::shared_ptr<Watcher> watcher;
  std::shared_ptr<Delivery> delivery;

  ~Listener() {
    delivery->active.store(false);
    watcher->remove(delivery);
  }
};

LinuxReachabilitySource::LinuxReachabilitySource(std::string target) : target_(std::move(target)) {}

LinuxReachabilitySource::~LinuxReachabilitySource() { stop(); }

std::optional<std::uint32_t> LinuxReachabilitySource::flags() { return currentFlags(); }

bool LinuxReachabilitySource::start(Queue& queue, FlagsCallback onChange) {
  stop();
  std::shared_ptr<Watcher> watcher = Watcher::acquire();
  if (!watcher) return false;
  auto listener = std::make_unique<Listener>();
  listener->watcher = std::move(watcher);
  listener->delivery = std::make_shared<Delivery>();
  listener->delivery->post = queue.poster();
  listener->delivery->onChange = std::move(onChange);
  listener->watcher->add(listener->delivery);
  {
    MutexLock lock(mutex_);
    std::swap(listener_, listener);
  }
  // A start that raced with this one is replaced; the last source to let
  // the watcher go joins its reader, outside the lock.
  listener.reset();
  return true;
}

void LinuxReachabilitySource::stop() {
  std::unique_ptr<Listener> listener;
  {
    MutexLock lock(mutex_);
    listener = std::move(listener_);
  }
  // Outside the lock: the last one joins the watcher's reader.
  listener.reset();
}

std::unique_ptr<ReachabilitySource> makeReachabilitySourceForHost(std::string_view hostName) {
  if (hostName.empty() || hostName.find('\0') != std::string_view::npos) return nullptr;
  return std::make_unique<LinuxReachabilitySource>(std::string(hostName));
}

std::unique_ptr<ReachabilitySource> makeReachabilitySourceForZeroAddress() {
  return std::make_unique<LinuxReachabilitySource>("0.0.0.0");
}

}  // namespace vandrel::platform
