// What a daemon wrapper adds to a gRPC call: stopSS (which writes no log
// line on success) against a bare generated-stub StopSS on the same
// channel, both answered by the local daemon stand-in in the same run.
// BM_Interleaved alternates the two and reports both medians and their
// ratio, which should stay within 1.2.

#include <benchmark/benchmark.h>
#include <grpcpp/grpcpp.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "connection/accel_accel_service_client.h"
#include "connection/route_registrar.h"
#include "platform/defaults.h"
#include "proto/accel.grpc.pb.h"
#include "tests/support/daemon_standin.h"

namespace {

using namespace vandrel;
using connection::AccelCalls;
using test_support::DaemonItem;
using test_support::DaemonStandin;

class NoRegistrar final : public connection::RouteRegistrar {
 public:
  void deleteRoutesWhenAppKilled(std::vector<std::string>) override {}
};

// Leaked: the stand-in's serving threads outlive the benchmarks.
DaemonStandin& standin() {
  static DaemonStandin* server = [] {
    DaemonStandin::Options options;
    // Every StopSS finds SS running, so it answers Success true.
    options.onCall = [](const test_support::DaemonCall&) {
      standin().setRunning(DaemonItem::Ss, true);
    };
    auto* made = new DaemonStandin(std::move(options));
    if (!made->start().ok()) abort();
    return made;
  }();
  return *server;
}

AccelCalls& calls() {
  static auto* c = [] {
    std::string dir = (std::filesystem::temp_directory_path() / "vandrel-bench-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) abort();
    auto* defaults = new platform::Defaults(std::filesystem::path(dir) / "defaults.json");
    return new AccelCalls(standin().address(), *defaults, *new NoRegistrar,
                          [] { return core::ConnectMode::app; });
  }();
  return *c;
}

bool wrapperCall() { return !calls().stopSS().has_value(); }

// A bare generated stub on a plaintext channel of its own.
accel::Accel::Stub& bareStub() {
  static auto* stub = accel::Accel::NewStub(grpc::CreateChannel(standin().address(),
                                                                grpc::InsecureChannelCredentials()))
                          .release();
  return *stub;
}

bool bareCall() {
  grpc::ClientContext context;
  accel::SSRsp response;
  const grpc::Status status = bareStub().StopSS(&context, accel::StopSSReq(), &response);
  return status.ok() && response.success();
}

void BM_WrapperStopSS(benchmark::State& state) {
  bool ok = wrapperCall();  // connect outside the timing
  for (auto _ : state) ok = wrapperCall() && ok;
  if (!ok) state.SkipWithError("a call failed");
}

void BM_BareStubStopSS(benchmark::State& state) {
  bool ok = bareCall();
  for (auto _ : state) ok = bareCall() && ok;
  if (!ok) state.SkipWithError("a call failed");
}

double median(std::vector<double>& values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// One wrapper call and one bare call per iteration, each timed alone, so
// drift of the machine hits both the same.
void BM_Interleaved(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> wrapper;
  std::vector<double> bare;
  bool ok = wrapperCall() && bareCall();
  for (auto _ : state) {
    const auto t0 = Clock::now();
    ok = wrapperCall() && ok;
    const auto t1 = Clock::now();
    ok = bareCall() && ok;
    const auto t2 = Clock::now();
    wrapper.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    bare.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  if (!ok) state.SkipWithError("a call failed");
  const double wrapperMedian = median(wrapper);
  const double bareMedian = median(bare);
  state.counters["wrapper_median_us"] = wrapperMedian;
  state.counters["bare_median_us"] = bareMedian;
  state.counters["ratio"] = bareMedian > 0 ? wrapperMedian / bareMedian : 0;
}

BENCHMARK(BM_WrapperStopSS)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareStubStopSS)->Repetitions(5)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Interleaved)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
