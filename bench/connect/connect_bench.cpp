// The client's own share of a connect: from the connect request to the
// status "on", against the HTTPS service stand-in, the gRPC daemon stand-in
// and an in-process helper that answers at once, minus what the client does
// not own:
//   - the wait the system prescribes after the helper reports the daemon
//     started (0.5 s);
//   - the DNS shell command of the tunnel start, timed around each run;
//   - the service: one bare libcurl round trip of the session request (the
//     one service request a connect waits for), measured in the same run;
//   - the daemon: two bare gRPC round trips (StartSS, StartTun2socks),
//     measured in the same run.
// Over 100 connects it prints the median and the worst share against the
// goal (median 15 ms, worst 30 ms), and ours (the whole connect) against the
// reference (the bare road: the prescribed waits, the bare service and
// daemon round trips), with the load average. Not a test gate.
//
// The client's log lines go to /dev/null; the results to standard output.

#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bare_curl.h"
#include "connection/alive_checker.h"
#include "connection/qv_connection_manager.h"
#include "connection/qv_line_model.h"
#include "connection/resolver_config.h"
#include "core/cert_bundle.h"
#include "core/qv_device_info.h"
#include "core/remote_log.h"
#include "platform/bundle.h"
#include "proto/accel.grpc.pb.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"
#include "tests/connection/connect_fakes.h"
#include "tests/support/daemon_standin.h"
#include "tests/support/fake_connection_port.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace {

using namespace vandrel;
using namespace std::chrono_literals;
using connection::testing_support::FakeHelper;
using connection::testing_support::RecordingPresenter;
using connection::testing_support::TestRoad;
using core::qv_ConnectStatus;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kGoalMedian = 15ms;
constexpr auto kGoalWorst = 30ms;

// Time spent in the DNS shell command, summed over the runs of it.
std::atomic<Clock::rep> gDnsCommandTime{0};

connection::CommandResult timedShellCommand(const std::string& command) {
  const auto start = Clock::now();
  auto result = connection::testing_support::runShellCommand(command);
  gDnsCommandTime += (Clock::now() - start).count();
  return result;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Everything of one client, made once and leaked (threads outlive main).
struct Road {
  fs::path home;
  std::unique_ptr<test_support::ServiceStandin> service = test_support::ServiceStandin::https();
  test_support::DaemonStandin daemon;
  FakeHelper helper;
  RecordingPresenter presenter;
  test_support::FakeConnectionPort port;
  platform::NotificationCenter notifications;
  platform::Scheduler& scheduler = platform::Scheduler::system();
  std::unique_ptr<platform::Defaults> defaults, groupDefaults;
  std::unique_ptr<platform::Bundle> bundle;
  std::unique_ptr<core::MiscInfo> session;
  std::unique_ptr<core::StaticData> staticData;
  std::unique_ptr<core::qv_Network> network;
  std::unique_ptr<core::RemoteLog> remoteLog;
  connection::NoSystemVpnSource noVpn;
  std::unique_ptr<connection::qv_ConnectionManager> manager;
  std::unique_ptr<connection::qv_RegionModels> pingModel;
  std::unique_ptr<connection::AliveChecker> checker;
  std::unique_ptr<connection::LinesManager> lines;
  std::unique_ptr<core::qv_ConnectLog> connectLog;
  std::unique_ptr<connection::AccelCalls> accel;
  std::unique_ptr<connection::ResolverConfig> resolver;
  std::unique_ptr<connection::AlertHelpers> alerts;
  std::unique_ptr<connection::DaemonManager> daemonManager;
  std::unique_ptr<TestRoad> road;
  std::atomic<qv_ConnectStatus> status{qv_ConnectStatus::qv_off};
  std::atomic<Clock::rep> onAt{0};
};

void makeCore(Road& r) {
  writeFile(r.home / "Test.app/Contents/Info.json",
            R"({"CFBundleIdentifier":"com.vandrel.mac.offline","CFBundleVersion":"1"})");
  auto packed = core::packCertBundle({test_support::TestCertificateAuthority::shared().der()});
  if (!packed.ok()) abort();
  writeFile(r.home / "Test.app/Contents/Resources/icon.xcImage", packed.value());
  writeFile(r.home / "resolv.conf", "nameserver 10.53.0.1\n");
  r.defaults = std::make_unique<platform::Defaults>(r.home / "config/standard.json");
  r.groupDefaults = std::make_unique<platform::Defaults>(r.home / "config/group.json");
  r.bundle = std::make_unique<platform::Bundle>(r.home / "Test.app");
  const core::DeviceFacts device(*r.bundle, r.home / "device");
  const auto& clock = platform::SystemClock::shared();
  r.session = std::make_unique<core::MiscInfo>(r.port, *r.defaults, r.notifications, clock);
  r.staticData = std::make_unique<core::StaticData>(
      std::vector<core::ApiHost>{{"127.0.0.1", r.service->port()}}, *r.defaults,
      [](const std::string&, const std::string&) {});
  core::qv_Network::Options options;
  options.bundle = r.bundle.get();
  r.network = std::make_unique<core::qv_Network>(*r.staticData, *r.session, r.port, device,
                                                 core::ServiceHooks{}, clock, options);
  r.remoteLog = std::make_unique<core::RemoteLog>(*r.network, *r.session, r.port, device,
                                                  *r.groupDefaults, clock);
  r.session->attach({.network = [&r]() -> core::qv_Network& { return *r.network; },
                     .connectLog = [&r] { return r.connectLog.get(); }});
  r.staticData->setIsAgreeTerms(true);
  auto model = core::MiscInfoModel::fromJsonText(
      R"({"remaining_days":3,"expired":false,"expire_at_time":1,"user_id":77,)"
      R"("password_setup":true,"ads_free":false,"remaining_seconds":1,"code":0})");
  if (!model.ok()) abort();
  r.session->setModel(model.value());
}

void makeConnection(Road& r) {
  const auto& clock = platform::SystemClock::shared();
  r.manager =
      std::make_unique<connection::qv_ConnectionManager>(*r.defaults, r.notifications, r.noVpn);
  r.pingModel = std::make_unique<connection::qv_RegionModels>(
      std::make_shared<connection::testing_support::FakeLinePingManager>(), *r.manager, *r.defaults,
      r.scheduler);
  r.checker = std::make_unique<connection::AliveChecker>(r.scheduler);
  r.lines = std::make_unique<connection::LinesManager>(*r.network, *r.remoteLog, *r.session,
                                                       *r.manager, *r.pingModel, *r.checker,
                                                       *r.defaults, r.notifications, clock);
  r.connectLog = std::make_unique<core::qv_ConnectLog>(*r.remoteLog);
  r.accel = std::make_unique<connection::AccelCalls>(r.daemon.address(), *r.defaults, r.helper,
                                                     [&r] { return r.manager->connectMode(); });
  r.resolver = std::make_unique<connection::ResolverConfig>(
      (r.home / "resolv.conf").string(), timedShellCommand);
  r.alerts = std::make_unique<connection::AlertHelpers>(
      r.presenter, r.notifications, connection::AlertHelpers::Hooks{}, platform::mainQueue());
  r.daemonManager = std::make_unique<connection::DaemonManager>(
      *r.manager, r.helper, *r.accel, *r.resolver, *r.alerts, *r.connectLog, *r.defaults,
      connection::DaemonManager::Options{});
  r.road = std::make_unique<TestRoad>(TestRoad::Parts{
      r.session.get(), r.staticData.get(), r.network.get(), r.lines.get(), r.daemonManager.get(),
      r.accel.get(), &r.helper, r.connectLog.get(), r.alerts.get()});
  r.manager->attachConnectRoad(*r.road);
  // The helper was checked at launch.
  r.helper.setAuthorizationStatus(connection::DaemonRegister::kStatusInstalled);
  r.notifications.addObserver(std::string(core::kVPNStatusChangeNotification), nullptr,
                              std::nullopt, [&r](const platform::Notification&) {
                                const auto status = r.manager->qv_connectStatus();
                                if (status == qv_ConnectStatus::qv_on) {
                                  r.onAt = Clock::now().time_since_epoch().count();
                                }
                                r.status = status;
                              });
}

Road& road() {
  static Road* made = [] {
    std::string dir = (fs::temp_directory_path() / "vandrel-connect-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) abort();
    auto* r = new Road;
    r->home = dir;
    ::setenv("XDG_CACHE_HOME", (r->home / "cache").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (r->home / "config").c_str(), 1);
    if (!r->daemon.start().ok()) abort();
    r->service->replyTo("/api/2/line/region", 200,
                        R"({"status":"ok","code":0,"regions":[{"name":"Japan","lines":[)"
                        R"({"id":11,"name":"Tokyo 1","ipaddr":"127.0.0.1"}]}]})");
    r->service->replyTo("/api/2/line/connect/0", 200, connection::testing_support::sessionReply());
    r->service->replyTo("/api/2/line/disconnect/11", 200, R"({"status":"ok","code":0})");
    r->service->replyTo("/api/2/log", 200, R"({"status":"ok","code":0})");
    makeCore(*r);
    makeConnection(*r);
    // The catalogue, fetched while "connected" so no ping cycle follows.
    r->manager->setConnectStatus(qv_ConnectStatus::qv_on);
    platform::Promise<core::ResultData> fetched;
    r->lines->requestLines(fetched);
    if (!platform::mainQueue().runUntil([&] { return fetched.isSettled(); }, 20s)) abort();
    r->manager->setConnectStatus(qv_ConnectStatus::qv_off);
    return r;
  }();
  return *made;
}

// The main window's toggle.
void toggle(Road& r) {
  r.manager->setCurrentConnectId(connection::newConnectId());
  platform::globalQueue().async([&r] {
    auto& manager = *r.manager;
    const std::string id = manager.currentConnectId();
    if (manager.qv_connectStatus() == qv_ConnectStatus::qv_on) {
      manager.handleConnectResult(manager.cancelConnection(), 2);
      return;
    }
    manager.setConnectStatus(qv_ConnectStatus::qv_connecting);
    manager.postVPNStatusChange();
    if (auto result = manager.runConnectPipeline(id)) manager.handleConnectResult(*result, 0);
  });
}

bool waitFor(Road& r, qv_ConnectStatus status) {
  return platform::mainQueue().runUntil([&] { return r.status.load() == status; }, 30s);
}

Clock::duration median(std::vector<Clock::duration> times) {
  std::nth_element(times.begin(), times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2),
                   times.end());
  return times[times.size() / 2];
}

// One bare gRPC round trip to the daemon stand-in: the median of many on
// a generated stub of its own, without the client's wrapper (a stop of what
// is not running answers at once, as a start does).
// Daemon calls never run on the main thread, which this one has become.
Clock::duration bareDaemonCallTime(Road& r) {
  platform::Promise<Clock::rep> result;
  platform::globalQueue().async([&r, result] {
    const auto stub = accel::Accel::NewStub(
        grpc::CreateChannel(r.daemon.address(), grpc::InsecureChannelCredentials()));
    std::vector<Clock::duration> times;
    for (int i = 0; i < 201; ++i) {
      grpc::ClientContext context;
      accel::SSRsp response;
      const auto start = Clock::now();
      (void)stub->StopSS(&context, accel::StopSSReq(), &response);
      times.push_back(Clock::now() - start);
    }
    result.resolve(median(std::move(times)).count());
  });
  return Clock::duration(*result.wait(60s));
}

// One bare libcurl round trip of the session request to the service
// stand-in: the median of many on one handle (its connection kept, as the
// client keeps its own).
Clock::duration bareServiceRequestTime(Road& r) {
  bench::BareCurl bare(r.service->url(connection::testing_support::kSessionPath),
                       test_support::TestCertificateAuthority::shared().pem());
  std::vector<Clock::duration> times;
  for (int i = 0; i < 51; ++i) {
    const auto start = Clock::now();
    if (!bare.perform() || bare.body().empty()) abort();
    times.push_back(Clock::now() - start);
  }
  return median(std::move(times));
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  std::vector<Clock::duration> total, reference, share;
  Clock::duration daemonCall{}, serviceRequest{};
};
Figures gFigures;

void BM_ConnectOverhead(benchmark::State& state) {
  Road& r = road();
  Figures& f = gFigures;
  f.daemonCall = bareDaemonCallTime(r);
  f.serviceRequest = bareServiceRequestTime(r);
  const Clock::duration daemonCalls = 2 * f.daemonCall;  // StartSS, StartTun2socks
  const Clock::duration prescribed = connection::DaemonManager::kServiceLoadedDelay;
  for (auto _ : state) {
    const Clock::rep dnsBefore = gDnsCommandTime.load();
    const auto start = Clock::now();
    toggle(r);
    if (!waitFor(r, qv_ConnectStatus::qv_on)) {
      state.SkipWithError("the connect never came up");
      return;
    }
    const Clock::time_point on{Clock::duration(r.onAt.load())};
    const Clock::duration dns{gDnsCommandTime.load() - dnsBefore};
    const Clock::duration reference = prescribed + dns + f.serviceRequest + daemonCalls;
    const Clock::duration share = (on - start) - reference;
    state.SetIterationTime(std::chrono::duration<double>(share).count());
    f.total.push_back(on - start);
    f.reference.push_back(reference);
    f.share.push_back(share);
    toggle(r);
    if (!waitFor(r, qv_ConnectStatus::qv_off)) {
      state.SkipWithError("the disconnect never ended");
      return;
    }
  }
  const Clock::duration worst = *std::max_element(f.share.begin(), f.share.end());
  state.counters["connect_ms"] = ms(median(f.total));
  state.counters["share_median_ms"] = ms(median(f.share));
  state.counters["share_worst_ms"] = ms(worst);
  state.SetLabel(median(f.share) <= kGoalMedian && worst <= kGoalWorst ? "within the goal"
                                                                        : "OVER the goal");
}

BENCHMARK(BM_ConnectOverhead)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);

void printSummary(std::ostream& out, const std::string& loadBefore) {
  const Figures& f = gFigures;
  if (f.share.empty()) return;
  const double total = ms(median(f.total));
  const double reference = ms(median(f.reference));
  char line[256];
  out << "\nconnect, median of " << f.share.size() << " (ms)      ours  reference   ratio\n";
  std::snprintf(line, sizeof line, "whole connect               %8.1f %10.1f %6.3fx\n", total,
                reference, reference > 0 ? total / reference : 0);
  out << line;
  std::snprintf(line, sizeof line,
                "client-side share: median %.1f ms, worst %.1f ms (goal: median <= %lld, worst <= %lld)\n",
                ms(median(f.share)), ms(*std::max_element(f.share.begin(), f.share.end())),
                static_cast<long long>(kGoalMedian.count()), static_cast<long long>(kGoalWorst.count()));
  out << line;
  // Which connects went over: a lone one on a loaded machine reads
  // differently from a steady share above the goal.
  std::vector<Clock::duration> sorted = f.share;
  std::sort(sorted.begin(), sorted.end());
  out << "90th percentile " << ms(sorted[sorted.size() * 9 / 10]) << " ms; over "
      << kGoalWorst.count() << " ms:";
  for (std::size_t i = 0; i < f.share.size(); ++i) {
    if (f.share[i] > kGoalWorst) out << " #" << i + 1 << " " << ms(f.share[i]);
  }
  out << "\n";
  std::snprintf(line, sizeof line,
                "reference parts: 500 ms pause, DNS command (median %.1f ms), bare session request "
                "%.2f ms, 2 x bare daemon call %.2f ms\n",
                ms(median([&] {
                  std::vector<Clock::duration> dns;
                  for (std::size_t i = 0; i < f.reference.size(); ++i)
                    dns.push_back(f.reference[i] - connection::DaemonManager::kServiceLoadedDelay -
                                  f.serviceRequest - 2 * f.daemonCall);
                  return dns;
                }())),
                ms(f.serviceRequest), ms(f.daemonCall));
  out << line;
  out << "load average before: " << loadBefore << ", after: " << loadAverage() << " ("
      << std::thread::hardware_concurrency() << " cores)\n";
}

}  // namespace

int main(int argc, char** argv) {
  // The client logs every line to standard output: those go to /dev/null,
  // the results to the real standard output.
  const int results = ::dup(STDOUT_FILENO);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);
  std::ofstream out("/proc/self/fd/" + std::to_string(results), std::ios::app);
  const std::string loadBefore = loadAverage();
  benchmark::Initialize(&argc, argv);
  benchmark::ConsoleReporter reporter;
  reporter.SetOutputStream(&out);
  reporter.SetErrorStream(&out);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(out, loadBefore);
  out.flush();
  // The client's threads are still running: leave without tearing down.
  std::_Exit(0);
}
