#pragma once

// The network of the tunnel tests, all inside namespaces the test made:
// the test's own namespace is the "client" (daemon, helper, client
// program); a veth pair joins it to an "outside" namespace that holds the
// line's server, the web and UDP servers and an excluded host, and acts as
// the client's default gateway. Documentation address ranges only.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_io.h"

namespace vandrel::daemon::testing_support {

struct Addresses {
  static constexpr const char* kClient4 = "198.51.100.2";
  static constexpr const char* kGateway4 = "198.51.100.1";
  static constexpr const char* kClient6 = "2001:db8:1::2";
  static constexpr const char* kGateway6 = "2001:db8:1::1";
  static constexpr const char* kLine4 = "203.0.113.10";      // ss-server
  static constexpr const char* kWeb4 = "203.0.113.20";       // reached through the tunnel
  static constexpr const char* kExcluded4 = "203.0.113.30";  // reached directly
  static constexpr const char* kLine6 = "2001:db8:2::10";
  static constexpr const char* kWeb6 = "2001:db8:2::20";
  static constexpr const char* kExcluded6 = "2001:db8:2::30";
  // Whether a peer address belongs to the outside namespace itself (so
  // the traffic came out of the line's server, not from the client).
  static bool isOutside(const std::string& peer);
};

class Outside {
 public:
  Outside();
  ~Outside();
  Outside(const Outside&) = delete;
  Outside& operator=(const Outside&) = delete;

  testing::AssertionResult create();
  int netnsFd() const { return netns_.get(); }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  platform::UniqueFd netns_;
  bool created_ = false;
};

// Every IP packet that arrives at the outside end of the veth pair from
// the client, by destination address (link-local and multicast ones, the
// neighbour discovery of the link, left out).
class Capture {
 public:
  explicit Capture(int netnsFd);
  ~Capture();
  std::set<std::string> destinations() const;
  void clear();

 private:
  void run();
  platform::UniqueFd socket_;
  platform::UniqueFd stop_;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::set<std::string> destinations_;
};

}  // namespace vandrel::daemon::testing_support
