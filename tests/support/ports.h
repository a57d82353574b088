#pragma once

#include <cstdint>

namespace vandrel::test_support {

// A loopback TCP port that nothing listens on, kept that way while the
// object lives: the port is bound (so no one else takes it) but never
// listening, so every connection attempt is refused at once.
class NoListenerPort {
 public:
  NoListenerPort();
  ~NoListenerPort();
  NoListenerPort(const NoListenerPort&) = delete;
  NoListenerPort& operator=(const NoListenerPort&) = delete;

  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace vandrel::test_support
