#include "tests/daemon/topology.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "tests/daemon/test_servers.h"
#include "tests/helper/helper_fixture.h"

namespace vandrel::daemon::testing_support {
namespace {

using helper::testing_support::run;

testing::AssertionResult ip(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"ip"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto out = runProgram(argv);
  if (!out || out.value().exitCode != 0) {
    std::string command;
    for (const auto& a : argv) command += a + " ";
    return testing::AssertionFailure()
           << command << "failed: " << (out ? out.value().standardError : out.error().message);
  }
  return testing::AssertionSuccess();
}

}  // namespace

bool Addresses::isOutside(const std::string& peer) {
  for (const char* own : {kLine4, kWeb4, kExcluded4, kGateway4, kLine6, kWeb6, kExcluded6,
                          kGateway6}) {
    if (peer == own) return true;
  }
  return false;
}

Outside::Outside() : name_("vandrel-out-" + std::to_string(::getpid())) {}

Outside::~Outside() {
  netns_.reset();
  if (!created_) return;
  // The pair goes at once; a namespace only once nothing holds it any
  // more, and then in the background, with its end of the pair.
  (void)run({"ip", "link", "delete", "vc0"});
  (void)run({"ip", "netns", "delete", name_});
}

testing::AssertionResult Outside::create() {
  using A = Addresses;
  if (auto made = ip({"netns", "add", name_}); !made) return made;
  created_ = true;
  netns_.reset(::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
  if (!netns_) return testing::AssertionFailure() << "cannot open the outside namespace";
  const std::string n = name_;
  const std::vector<std::vector<std::string>> steps = {
      {"link", "add", "vc0", "type", "veth", "peer", "name", "vo0", "netns", n},
      {"link", "set", "vc0", "up"},
      {"address", "add", std::string(A::kClient4) + "/24", "dev", "vc0"},
      {"-6", "address", "add", std::string(A::kClient6) + "/64", "dev", "vc0", "nodad"},
      {"-n", n, "link", "set", "lo", "up"},
      {"-n", n, "link", "set", "vo0", "up"},
      {"-n", n, "address", "add", std::string(A::kGateway4) + "/24", "dev", "vo0"},
      {"-n", n, "-6", "address", "add", std::string(A::kGateway6) + "/64", "dev", "vo0", "nodad"},
      {"-n", n, "address", "add", std::string(A::kLine4) + "/32", "dev", "lo"},
      {"-n", n, "address", "add", std::string(A::kWeb4) + "/32", "dev", "lo"},
      {"-n", n, "address", "add", std::string(A::kExcluded4) + "/32", "dev", "lo"},
      {"-n", n, "-6", "address", "add", std::string(A::kLine6) + "/128", "dev", "lo"},
      {"-n", n, "-6", "address", "add", std::string(A::kWeb6) + "/128", "dev", "lo"},
      {"-n", n, "-6", "address", "add", std::string(A::kExcluded6) + "/128", "dev", "lo"},
      {"route", "add", "default", "via", A::kGateway4},
      {"-6", "route", "add", "default", "via", A::kGateway6},
  };
  for (const auto& step : steps) {
    if (auto done = ip(step); !done) return done;
  }
  return testing::AssertionSuccess();
}

Capture::Capture(int netnsFd) {
  inNamespace(netnsFd, [&] {
    socket_.reset(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_ALL);
    where.sll_ifindex = static_cast<int>(::if_nametoindex("vo0"));
    if (!socket_ || ::bind(socket_.get(), reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0) {
      ADD_FAILURE() << "cannot capture on vo0: " << std::strerror(errno);
    }
  });
  stop_.reset(::eventfd(0, EFD_CLOEXEC));
  thread_ = std::thread([this] { run(); });
}

Capture::~Capture() {
  const std::uint64_t one = 1;
  (void)!::write(stop_.get(), &one, sizeof(one));
  thread_.join();
}

std::set<std::string> Capture::destinations() const {
  std::lock_guard lock(mutex_);
  return destinations_;
}

void Capture::clear() {
  std::lock_guard lock(mutex_);
  destinations_.clear();
}

void Capture::run() {
  std::uint8_t frame[65536];
  for (;;) {
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (!fds[0].revents) continue;
    sockaddr_ll from{};
    socklen_t length = sizeof(from);
    const ssize_t n = ::recvfrom(socket_.get(), frame, sizeof(frame), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 14 || from.sll_pkttype == PACKET_OUTGOING) continue;
    const std::uint16_t type = static_cast<std::uint16_t>(frame[12] << 8 | frame[13]);
    const std::uint8_t* ipHeader = frame + 14;
    char text[INET6_ADDRSTRLEN] = {};
    if (type == ETH_P_IP && n >= 34) {
      if (ipHeader[16] >= 224) continue;  // multicast and broadcast
      ::inet_ntop(AF_INET, ipHeader + 16, text, sizeof(text));
    } else if (type == ETH_P_IPV6 && n >= 54) {
      const std::uint8_t* destination = ipHeader + 24;
      if (destination[0] == 0xff || (destination[0] == 0xfe && (destination[1] & 0xc0) == 0x80)) {
        continue;  // multicast and link-local: the link's own chatter
      }
      ::inet_ntop(AF_INET6, destination, text, sizeof(text));
    } else {
      continue;
    }
    std::lock_guard lock(mutex_);
    destinations_.insert(text);
  }
}

}  // namespace vandrel::daemon::testing_support
