#pragma once

// Answers ICMP echo requests to given IPv4 addresses after a delay of each
// address's own, so that lines in one network namespace show different
// round-trip times where the kernel has no network emulator. The kernel's
// own echo replies must be off in that namespace
// (net.ipv4.icmp_echo_ignore_all), or each request gets two answers.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vandrel::demo {

struct EchoAddress {
  std::string address;  // IPv4, dotted
  std::chrono::milliseconds delay{0};
};

class EchoResponder {
 public:
  // Opens a raw ICMP socket bound to each address (needs CAP_NET_RAW) and
  // answers on a thread of its own until the object goes.
  static platform::Result<std::unique_ptr<EchoResponder>> start(
      const std::vector<EchoAddress>& addresses);
  ~EchoResponder();
  EchoResponder(const EchoResponder&) = delete;
  EchoResponder& operator=(const EchoResponder&) = delete;

  struct Impl;

 private:
  explicit EchoResponder(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The ICMP echo reply to `request` (an echo request message without its IP
// header): type 0, code 0, identifier, sequence and payload as sent, and
// the checksum made afresh. Nothing when `request` is no echo request, is
// too short or its checksum does not hold.
std::optional<std::string> echoReplyTo(const std::string& request);

}  // namespace vandrel::demo
