#include "tools/demo-world/echo_responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <thread>

#include "platform/file_io.h"

namespace vandrel::demo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kEchoRequest = 8;
constexpr std::uint8_t kEchoReply = 0;
constexpr std::size_t kIcmpHeader = 8;

std::uint16_t checksum(const std::string& bytes) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum += static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i]) << 8 |
                                      static_cast<std::uint8_t>(bytes[i + 1]));
  }
  if (bytes.size() % 2 == 1) sum += static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes.back()) << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

struct Pending {
  int socket;
  sockaddr_in to;
  std::string reply;
};

}  // namespace

std::optional<std::string> echoReplyTo(const std::string& request) {
  // The kernel hands raw sockets what arrives before it checks the ICMP
  // checksum: a corrupted request gets no answer, as from the kernel.
  if (request.size() < kIcmpHeader || static_cast<std::uint8_t>(request[0]) != kEchoRequest ||
      request[1] != 0 || checksum(request) != 0) {
    return std::nullopt;
  }
  std::string reply = request;
  reply[0] = static_cast<char>(kEchoReply);
  reply[2] = reply[3] = 0;
  const std::uint16_t sum = checksum(reply);
  reply[2] = static_cast<char>(sum >> 8);
  reply[3] = static_cast<char>(sum & 0xFF);
  return reply;
}

struct EchoResponder::Impl {
  std::vector<platform::UniqueFd> sockets;
  std::vector<std::chrono::milliseconds> delays;
  platform::UniqueFd stop;
  std::thread thread;

  void run();
  void receive(std::size_t index, std::multimap<Clock::time_point, Pending>& pending);
};

void EchoResponder::Impl::receive(std::size_t index,
                                  std::multimap<Clock::time_point, Pending>& pending) {
  char packet[65536];
  sockaddr_in from{};
  socklen_t length = sizeof(from);
  const ssize_t n = ::recvfrom(sockets[index].get(), packet, sizeof(packet), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &length);
  if (n <= 0) return;
  // A raw IPv4 socket reads the IP header too.
  const std::size_t headerLength = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (static_cast<std::size_t>(n) <= headerLength) return;
  const auto reply =
      echoReplyTo(std::string(packet + headerLength, static_cast<std::size_t>(n) - headerLength));
  if (!reply) return;
  pending.emplace(Clock::now() + delays[index], Pending{sockets[index].get(), from, *reply});
}

void EchoResponder::Impl::run() {
  std::multimap<Clock::time_point, Pending> pending;
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({stop.get(), POLLIN, 0});
    for (const auto& socket : sockets) fds.push_back({socket.get(), POLLIN, 0});
    int timeout = -1;
    if (!pending.empty()) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(pending.begin()->first - Clock::now());
      timeout = static_cast<int>(std::max<std::int64_t>(0, wait.count()));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (fds[i + 1].revents & POLLIN) receive(i, pending);
    }
    const auto now = Clock::now();
    while (!pending.empty() && pending.begin()->first <= now) {
      const Pending& due = pending.begin()->second;
      (void)::sendto(due.socket, due.reply.data(), due.reply.size(), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&due.to), sizeof(due.to));
      pending.erase(pending.begin());
    }
  }
}

platform::Result<std::unique_ptr<EchoResponder>> EchoResponder::start(
    const std::vector<EchoAddress>& addresses) {
  auto impl = std::make_unique<Impl>();
  for (const EchoAddress& entry : addresses) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    if (::inet_pton(AF_INET, entry.address.c_str(), &where.sin_addr) != 1) {
      return platform::Error{"demo", EINVAL, "not an IPv4 address: " + entry.address};
    }
    platform::UniqueFd socket(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
    if (!socket) return platform::Error{"demo", errno, std::string("raw ICMP socket: ") + std::strerror(errno)};
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) {
      return platform::Error{"demo", errno,
                             "cannot bind to " + entry.address + ": " + std::strerror(errno)};
    }
    impl->sockets.push_back(std::move(socket));
    impl->delays.push_back(entry.delay);
  }
  impl->stop.reset(::eventfd(0, EFD_CLOEXEC));
  if (!impl->stop) return platform::Error{"demo", errno, "eventfd"};
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->run(); });
  return std::unique_ptr<EchoResponder>(new EchoResponder(std::move(impl)));
}

EchoResponder::EchoResponder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

EchoResponder::~EchoResponder() {
  const std::uint64_t one = 1;
  (void)!::write(impl_->stop.get(), &one, sizeof(one));
  impl_->thread.join();
}

}  // namespace vandrel::demo
