// One ping run over 256 loopback targets, driven the way connection control
// drives it (time-out 1.0 s, period 0.2 s, stop after 1.4 s), measured for
// replies, CPU against wall time, and CPU per echo beside fping doing the
// same work (-c 7 -p 200 -i 1) over the same targets.
//
// Run inside a private network namespace:
//   scripts/netns-run build/bench/ping_run/ping_run_bench
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ping/qv_ping.h"
#include "ping/qv_ping_mannager.h"
#include "platform/dispatch.h"

namespace {

using namespace std::chrono_literals;
using vandrel::ping::qv_Ping;
using vandrel::ping::qv_PingMannager;
using vandrel::ping::qv_PingResult;
using vandrel::ping::qv_PingStatus;

constexpr int kTargets = 256;
constexpr int kFpingCount = 7;

std::vector<std::string> targets() {
  std::vector<std::string> hosts;
  for (int i = 0; i < kTargets; ++i) hosts.push_back("127.0.0." + std::to_string(i));
  return hosts;
}

double cpuSeconds(const rusage& usage) {
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return cpuSeconds(usage);
}

class CountingDelegate final : public vandrel::ping::qv_PingDelegate {
 public:
  void qv_stop(qv_Ping&) override { ++stops; }
  void qv_didSendPingWith(qv_Ping&, const qv_PingResult&) override { ++sends; }
  void qv_didReceiveReplyWith(qv_Ping&, const qv_PingResult& result) override {
    if (result.qv_pingStatus() == qv_PingStatus::qv_success) ++replies;
  }
  void qv_didTimeoutWith(qv_Ping&, const qv_PingResult&) override { ++timeouts; }
  void qv_didFailToSendPingWith(qv_Ping&, const qv_PingResult&,
                                const vandrel::platform::Error&) override {
    ++failures;
  }

  std::atomic<long> stops{0}, sends{0}, replies{0}, timeouts{0}, failures{0};
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

struct OurRun {
  // From set-up to the last stop callback: what the run costs while it runs.
  double cpu = 0;
  double wall = 0;
  // Up to the last bookkeeping of the run (records forgotten after their
  // time-out plus grace): what each echo costs in all.
  double totalCpu = 0;
  long sends = 0;
  long replies = 0;
  long failures = 0;
};

OurRun runOurs() {
  auto manager = std::make_shared<qv_PingMannager>();
  auto delegate = std::make_shared<CountingDelegate>();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  OurRun run;
  const double cpuBefore = processCpuSeconds();
  const auto wallBefore = std::chrono::steady_clock::now();
  {
    for (const auto& host : targets()) {
      auto ping = std::make_shared<qv_Ping>();
      ping->setQv_delegate(delegate);
      ping->setQv_host(host);
      manager->qv_add(ping);
    }
    manager->setupAll([manager, finished] {
      manager->setQv_timeout(1.0);
      manager->setQv_pingPeriod(0.2);
      manager->startPinging();
      vandrel::platform::globalQueue().after(1400ms, [manager, finished] {
        if (manager->qv_isPinging()) manager->stopPinging();
        *finished = true;
      });
    });
  }
  waitFor([&] { return finished->load() && delegate->stops.load() == kTargets; }, 10s);
  const auto wallAfter = std::chrono::steady_clock::now();
  const double cpuAfter = processCpuSeconds();
  // Replies to the last requests may still be on their way to the delegate.
  waitFor([&] { return delegate->replies.load() + delegate->failures.load() >= delegate->sends; },
          2s);
  manager.reset();
  waitFor([] { return qv_Ping::liveCount() == 0; }, 5s);
  // The last records are forgotten time-out plus grace after their request.
  std::this_thread::sleep_until(wallAfter + 2200ms);
  run.totalCpu = processCpuSeconds() - cpuBefore;

  run.cpu = cpuAfter - cpuBefore;
  run.wall = std::chrono::duration<double>(wallAfter - wallBefore).count();
  run.sends = delegate->sends.load();
  run.replies = delegate->replies.load();
  run.failures = delegate->failures.load();
  return run;
}

struct FpingRun {
  double cpu = 0;
  double wall = 0;
  long sends = 0;
  long replies = 0;
  bool ran = false;
};

// fping prints "host : xmt/rcv/%loss = 7/7/0%, ..." per target with -q.
void countFpingSummary(const std::string& output, FpingRun& run) {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto at = line.find("xmt/rcv/%loss = ");
    if (at == std::string::npos) continue;
    long sent = 0;
    long received = 0;
    if (std::sscanf(line.c_str() + at + 16, "%ld/%ld", &sent, &received) == 2) {
      run.sends += sent;
      run.replies += received;
    }
  }
}

FpingRun runFping() {
  std::vector<std::string> args = {"fping", "-q", "-c", std::to_string(kFpingCount), "-p", "200",
                                   "-i", "1"};
  for (const auto& host : targets()) args.push_back(host);
  int out[2];
  FpingRun run;
  if (::pipe(out) != 0) return run;
  const auto wallBefore = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDERR_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
  run.cpu = cpuSeconds(usage);
  run.ran = WIFEXITED(status) && WEXITSTATUS(status) != 127;
  countFpingSummary(output, run);
  return run;
}

struct Verdict {
  bool measured = false;
  bool allReplies = false;
  bool quiet = false;
  bool nearFping = false;
};
Verdict gVerdict;

void BM_PingRun(benchmark::State& state) {
  const char* inNamespace = std::getenv("VANDREL_IN_NETNS");
  if (inNamespace == nullptr || std::string(inNamespace) != "1") {
    state.SkipWithError("run inside a private network namespace: scripts/netns-run <this binary>");
    return;
  }
  OurRun ours;
  FpingRun fping;
  for (auto _ : state) {
    ours = runOurs();
    fping = runFping();
  }
  const double ourPerEcho = ours.sends > 0 ? ours.totalCpu / ours.sends : 0;
  const double fpingPerEcho = fping.sends > 0 ? fping.cpu / fping.sends : 0;
  state.counters["echoes"] = static_cast<double>(ours.sends);
  state.counters["replies"] = static_cast<double>(ours.replies);
  state.counters["cpu_ms"] = ours.cpu * 1e3;
  state.counters["total_cpu_ms"] = ours.totalCpu * 1e3;
  state.counters["wall_ms"] = ours.wall * 1e3;
  state.counters["cpu_pct_of_wall"] = ours.wall > 0 ? 100.0 * ours.cpu / ours.wall : 0;
  state.counters["cpu_us_per_echo"] = ourPerEcho * 1e6;
  state.counters["fping_echoes"] = static_cast<double>(fping.sends);
  state.counters["fping_replies"] = static_cast<double>(fping.replies);
  state.counters["fping_cpu_ms"] = fping.cpu * 1e3;
  state.counters["fping_cpu_us_per_echo"] = fpingPerEcho * 1e6;
  state.counters["ratio_to_fping"] = fpingPerEcho > 0 ? ourPerEcho / fpingPerEcho : 0;
  state.SetLabel(::geteuid() == 0 ? "fping runs as root here: it uses a raw ICMP socket"
                                  : "fping uses a datagram ICMP socket");

  gVerdict.measured = fping.ran;
  gVerdict.allReplies = ours.sends > 0 && ours.replies == ours.sends && ours.failures == 0;
  gVerdict.quiet = ours.wall > 0 && ours.cpu < 0.10 * ours.wall;
  gVerdict.nearFping = fpingPerEcho > 0 && ourPerEcho <= 5 * fpingPerEcho;
  if (!fping.ran) state.SkipWithError("fping could not be run");
}

BENCHMARK(BM_PingRun)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!gVerdict.measured) return 77;
  std::printf("every reply received within the run: %s\n", gVerdict.allReplies ? "yes" : "NO");
  std::printf("CPU under 10%% of wall time: %s\n", gVerdict.quiet ? "yes" : "NO");
  std::printf("CPU per echo within 5x of fping: %s\n", gVerdict.nearFping ? "yes" : "NO");
  return gVerdict.allReplies && gVerdict.quiet && gVerdict.nearFping ? 0 : 1;
}
