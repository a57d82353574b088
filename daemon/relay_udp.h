#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "daemon/relay_packet.h"
#include "daemon/request_checks.h"
#include "platform/file_io.h"
#include "platform/sync.h"

// UDP from the TUN interface, through the SOCKS5 server's UDP relay: one
// socket per application socket (address and port), so the answers find
// their way back, and each answer written to the TUN interface as a packet
// from the address the relay names. The association is kept up by the
// relay's thread; without one, datagrams are dropped, never sent around.
namespace vandrel::daemon::relay {

class UdpRelay {
 public:
  static constexpr std::chrono::seconds kIdle{60};
  static constexpr std::size_t kMaxFlows = 1024;

  UdpRelay(LoopbackEndpoint socks,
           std::function<void(const std::vector<std::uint8_t>& packet)> writeToTun,
           std::function<void(std::string_view)> log);
  ~UdpRelay();
  UdpRelay(const UdpRelay&) = delete;
  UdpRelay& operator=(const UdpRelay&) = delete;

  // A UDP packet from the TUN interface (`data` is the packet).
  void send(const Packet& packet, const std::uint8_t* data);

 private:
  struct Key {
    int family;
    IpAddress app;
    std::uint16_t port;
    bool operator<(const Key& other) const;
  };
  struct Flow {
    Key key;
    std::shared_ptr<platform::UniqueFd> socket;
    std::chrono::steady_clock::time_point lastSeen;
  };
  void run();
  void associate();
  void receive(std::uint64_t id);
  void expire();

  LoopbackEndpoint socks_;
  std::function<void(const std::vector<std::uint8_t>&)> writeToTun_;
  std::function<void(std::string_view)> log_;
  platform::UniqueFd epoll_;
  platform::UniqueFd stop_;
  platform::Mutex mutex_;
  platform::UniqueFd control_ VANDREL_GUARDED_BY(mutex_);
  sockaddr_storage relay_ VANDREL_GUARDED_BY(mutex_){};
  socklen_t relayLength_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::map<Key, std::uint64_t> ids_ VANDREL_GUARDED_BY(mutex_);
  std::map<std::uint64_t, Flow> flows_ VANDREL_GUARDED_BY(mutex_);
  std::uint64_t nextId_ VANDREL_GUARDED_BY(mutex_) = 2;  // 0: stop, 1: control
  std::thread thread_;
};

}  // namespace vandrel::daemon::relay
