// What the TUN path costs against the line's own SOCKS5 endpoint, in one
// run, over the namespaces of the tunnel tests (the line's ss-server in an
// "outside" namespace behind a veth pair):
//   BM_BulkUpload             a bulk TCP upload by either path in turns
//                             (medians in MB/s and their ratio)
//   BM_Setup                  connect, 8 bytes there and back, close, by
//                             either path in turns (medians in µs)
//   BM_ResidentMemory         the daemon's and the relay's resident memory,
//                             idle and with 100 connections open through
//                             the TUN interface
// Targets: the TUN path's throughput at least 0.8 of the SOCKS path's, its
// set-up at most 1 ms more at the median.
//
//   scripts/netns-run build/bench/tunnel/bench_tunnel [--benchmark_...]
//
// Environment: VANDREL_BENCH_METHOD (cipher, default aes-128-cfb).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon/relay_socks.h"
#include "helper/proc_table.h"
#include "tests/daemon/daemon_fixture.h"
#include "tests/daemon/test_servers.h"
#include "tests/daemon/topology.h"

namespace {

using namespace vandrel::daemon;
using namespace vandrel::daemon::testing_support;
using vandrel::platform::UniqueFd;
using A = Addresses;

constexpr int kDaemonPort = 50051;
constexpr int kSsPort = 8388;
constexpr std::size_t kUploadBytes = 64 * 1024 * 1024;
constexpr int kOpenConnections = 100;

// Each connection announces how many bytes follow (8 bytes), sends them
// and gets their count back once they are all in. The line's client does
// not pass on a half-close, so the announcement marks the end.
class Sink {
 public:
  explicit Sink(int netnsFd) {
    inNamespace(netnsFd, [&] {
      listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in address{};
      address.sin_family = AF_INET;
      ::inet_pton(AF_INET, A::kWeb4, &address.sin_addr);
      const int on = 1;
      ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
      ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
      ::listen(listener_.get(), 1024);
      socklen_t length = sizeof(address);
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
      port_ = ntohs(address.sin_port);
    });
    std::thread([this] {
      for (;;) {
        const int client = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::thread([client] { serve(client); }).detach();
      }
    }).detach();
  }
  int port() const { return port_; }

 private:
  static void serve(int fd) {
    std::uint64_t expected = 0;
    std::uint64_t total = 0;
    if (::recv(fd, &expected, sizeof(expected), MSG_WAITALL) == sizeof(expected)) {
      std::vector<char> buffer(256 * 1024);
      while (total < expected) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        total += static_cast<std::uint64_t>(n);
      }
      (void)!::send(fd, &total, sizeof(total), MSG_NOSIGNAL);
      char rest;
      (void)!::recv(fd, &rest, 1, 0);  // held open until the client goes
    }
    ::close(fd);
  }
  UniqueFd listener_;
  int port_ = 0;
};

struct World {
  SystemSandbox sandbox;
  Outside outside;
  std::unique_ptr<ChildProgram> line;
  std::unique_ptr<Sink> sink;
  std::unique_ptr<DaemonProcess> daemon;
  std::unique_ptr<AccelClient> client;
  std::string method;
};

World* world = nullptr;

bool setUp(World& w) {
  const char* method = std::getenv("VANDREL_BENCH_METHOD");
  w.method = method ? method : "aes-128-cfb";
  if (!w.sandbox.mount() || !w.outside.create()) return false;
  w.sandbox.writeHelperConfig({}, kDaemonPort);
  w.line = startSsServer(A::kLine4, kSsPort, "bench password", w.method,
                         (w.sandbox.scratch() / "ss-server.log").string(), w.outside.netnsFd());
  for (int i = 0; i < 500 && !acceptsConnections(A::kLine4, kSsPort, w.outside.netnsFd()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  w.sink = std::make_unique<Sink>(w.outside.netnsFd());
  w.daemon = std::make_unique<DaemonProcess>(kDaemonPort);
  if (!w.daemon->start()) return false;
  w.client = AccelClient::connect(kDaemonPort);
  const Reply ss = w.client->startSs(ssRequest(A::kLine4, kSsPort, "bench password", w.method));
  const Reply tun = w.client->startTun2socks(tunRequest({A::kLine4}));
  if (!ss.success || !tun.success) {
    std::fprintf(stderr, "setting up the line failed: %s / %s\n%s\n", ss.error.c_str(),
                 tun.error.c_str(), DaemonProcess::log().c_str());
    return false;
  }
  return true;
}

UniqueFd blocking(UniqueFd fd) {
  if (fd) {
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  }
  return fd;
}

// A connection to the sink: through the SOCKS5 endpoint, or plainly (and
// so through the TUN interface).
UniqueFd connectToSink(bool tun) {
  IpAddress sink = *IpAddress::parse(A::kWeb4);
  const auto port = static_cast<std::uint16_t>(world->sink->port());
  if (!tun) {
    LoopbackEndpoint socks{*IpAddress::parse("127.0.0.1"), 9090};
    return blocking(relay::socksConnect(socks, sink, port, std::chrono::seconds(10)));
  }
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  socklen_t length = 0;
  const auto address = relay::socketAddress(sink, port, length);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return {};
  return blocking(std::move(fd));
}

// An empty announcement there, its count back: one round trip.
bool exchange(int fd) {
  std::uint64_t value = 0;
  return ::send(fd, &value, sizeof(value), MSG_NOSIGNAL) == sizeof(value) &&
         ::recv(fd, &value, sizeof(value), MSG_WAITALL) == sizeof(value);
}

// One upload of kUploadBytes; its duration, or nothing when it failed.
std::optional<double> uploadSeconds(bool tun, std::vector<char>& chunk) {
  const auto start = std::chrono::steady_clock::now();
  UniqueFd fd = connectToSink(tun);
  const std::uint64_t announced = kUploadBytes;
  if (!fd || ::send(fd.get(), &announced, sizeof(announced), MSG_NOSIGNAL) != sizeof(announced)) {
    return std::nullopt;
  }
  std::size_t sent = 0;
  while (sent < kUploadBytes) {
    const ssize_t n = ::send(fd.get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (n <= 0) return std::nullopt;
    sent += static_cast<std::size_t>(n);
  }
  std::uint64_t received = 0;
  if (::recv(fd.get(), &received, sizeof(received), MSG_WAITALL) != sizeof(received) ||
      received != sent) {
    return std::nullopt;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The two paths take turns, so that whatever else the machine does weighs
// on both alike; the counters are the medians and their ratio.
void BM_BulkUpload(benchmark::State& state) {
  std::vector<char> chunk(256 * 1024, 'x');
  std::vector<double> socks, tun;
  for (auto _ : state) {
    const auto viaSocks = uploadSeconds(false, chunk);
    const auto viaTun = uploadSeconds(true, chunk);
    if (!viaSocks || !viaTun) {
      state.SkipWithError("an upload did not arrive whole");
      return;
    }
    socks.push_back(static_cast<double>(kUploadBytes) / *viaSocks / 1e6);
    tun.push_back(static_cast<double>(kUploadBytes) / *viaTun / 1e6);
  }
  state.counters["socks_MBps"] = median(socks);
  state.counters["tun_MBps"] = median(tun);
  state.counters["tun_over_socks"] = median(tun) / median(socks);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 *
                          static_cast<std::int64_t>(kUploadBytes));
}
BENCHMARK(BM_BulkUpload)->Iterations(15)->UseRealTime()->Unit(benchmark::kMillisecond);

// Connect, one exchange, close; its duration in microseconds.
std::optional<double> setupMicroseconds(bool tun) {
  const auto start = std::chrono::steady_clock::now();
  UniqueFd fd = connectToSink(tun);
  if (!fd || !exchange(fd.get())) return std::nullopt;
  fd.reset();
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

// In turns as well; the counters are the medians and what the TUN path adds.
void BM_Setup(benchmark::State& state) {
  std::vector<double> socks, tun;
  for (auto _ : state) {
    const auto viaSocks = setupMicroseconds(false);
    const auto viaTun = setupMicroseconds(true);
    if (!viaSocks || !viaTun) {
      state.SkipWithError("no answer from the sink");
      return;
    }
    socks.push_back(*viaSocks);
    tun.push_back(*viaTun);
  }
  state.counters["socks_us"] = median(socks);
  state.counters["tun_us"] = median(tun);
  state.counters["tun_extra_us"] = median(tun) - median(socks);
}
BENCHMARK(BM_Setup)->Iterations(500)->UseRealTime()->Unit(benchmark::kMicrosecond);

long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// The relay of this run's daemon (under the init process of its own).
pid_t relayPid() {
  namespace proc = vandrel::helper::proc;
  for (const pid_t pid : proc::listPids()) {
    const auto stat = proc::readStat(pid);
    const auto parent = stat ? proc::readStat(stat->ppid) : std::nullopt;
    if (parent && parent->ppid == world->daemon->pid() &&
        proc::commandLine(pid).find("--tun-relay") != std::string::npos) {
      return pid;
    }
  }
  return -1;
}

void BM_ResidentMemory(benchmark::State& state) {
  const pid_t daemon = world->daemon->pid();
  const pid_t relay = relayPid();
  for (auto _ : state) {
    state.counters["daemon_idle_kB"] = static_cast<double>(residentKb(daemon));
    state.counters["relay_idle_kB"] = static_cast<double>(residentKb(relay));
    std::vector<UniqueFd> open;
    for (int i = 0; i < kOpenConnections; ++i) {
      UniqueFd fd = connectToSink(true);
      if (!fd || !exchange(fd.get())) {
        state.SkipWithError("a connection through the tunnel failed");
        return;
      }
      open.push_back(std::move(fd));
    }
    state.counters["daemon_100_kB"] = static_cast<double>(residentKb(daemon));
    state.counters["relay_100_kB"] = static_cast<double>(residentKb(relay));
  }
}
BENCHMARK(BM_ResidentMemory)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const char* netns = std::getenv("VANDREL_IN_NETNS");
  if (::geteuid() != 0 || !netns || std::string(netns) != "1") {
    std::fprintf(stderr, "run as root inside scripts/netns-run: %s\n", argv[0]);
    return 77;
  }
  benchmark::Initialize(&argc, argv);
  world = new World;  // left to the end of the process, with its servers' threads
  if (!setUp(*world)) {
    std::fprintf(stderr, "setting up the namespaces and the line failed\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  world->client.reset();
  world->daemon.reset();
  return 0;
}
