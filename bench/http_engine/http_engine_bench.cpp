// Round trip of a small HTTPS request through the engine (submit, engine
// thread, delivery on a queue, wake the caller) against a bare curl easy
// request on a reused connection, both on the same local stand-in in the
// same run. Compare the medians.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "bench/bare_curl.h"
#include "platform/dispatch.h"
#include "platform/http.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace {

using namespace vandrel;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

constexpr const char* kBody = R"({"status":"ok","code":0,"data":{"ip":"203.0.113.7"}})";

ServiceStandin& standin() {
  static auto* s = [] {
    auto* server = ServiceStandin::https().release();
    server->replyTo("/api/1/ip", 200, kBody);
    // A server that takes a little time, as any real one does.
    server->replyTo("/api/1/ip/slow", test_support::ScriptedReply{200, {}, kBody, std::chrono::milliseconds(2)});
    return server;
  }();
  return *s;
}

// Arg 0: the reply comes at once; arg 2: after 2 ms.
std::string pathFor(const benchmark::State& state) {
  return state.range(0) == 0 ? "/api/1/ip" : "/api/1/ip/slow";
}

// Waits for one completion; reused across iterations.
struct Latch {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  void open() {
    std::lock_guard<std::mutex> lock(m);
    done = true;
    cv.notify_one();
  }
  void waitAndReset() {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return done; });
    done = false;
  }
};

void BM_EngineRoundTrip(benchmark::State& state) {
  platform::HttpSessionConfig config;
  config.hostTrust.emplace("127.0.0.1",
                           platform::TrustPolicy::pinned({TestCertificateAuthority::shared().der()}).value());
  platform::HttpSession session(config);
  platform::HttpRequest request;
  request.url = standin().url(pathFor(state));
  Latch latch;
  bool ok = true;
  auto once = [&] {
    session.send(request, platform::globalQueue(), [&](platform::HttpResponse r) {
      ok = ok && r.ok() && r.body == kBody;
      latch.open();
    });
    latch.waitAndReset();
  };
  once();  // connect and handshake outside the timing
  for (auto _ : state) once();
  if (!ok) state.SkipWithError("a request failed");
}

// The same round trip as the application makes it: the reply is delivered
// on the main queue, which the waiting (main) thread itself drains, so the
// engine wakes the caller directly.
void BM_EngineRoundTripMainQueue(benchmark::State& state) {
  platform::HttpSessionConfig config;
  config.hostTrust.emplace("127.0.0.1",
                           platform::TrustPolicy::pinned({TestCertificateAuthority::shared().der()}).value());
  platform::HttpSession session(config);
  platform::HttpRequest request;
  request.url = standin().url(pathFor(state));
  bool ok = true;
  auto once = [&] {
    bool done = false;
    session.send(request, platform::mainQueue(), [&](platform::HttpResponse r) {
      ok = ok && r.ok() && r.body == kBody;
      done = true;
    });
    ok = platform::mainQueue().runUntil([&] { return done; }, std::chrono::seconds(10)) && ok;
  };
  once();
  for (auto _ : state) once();
  if (!ok) state.SkipWithError("a request failed");
}

void BM_BareCurlRoundTrip(benchmark::State& state) {
  bench::BareCurl bare(standin().url(pathFor(state)), TestCertificateAuthority::shared().pem());
  bool ok = true;
  auto once = [&] { ok = ok && bare.perform() && bare.body() == kBody; };
  once();
  for (auto _ : state) once();
  if (!ok) state.SkipWithError("a request failed");
}

// The floor of any engine of this shape, without the network: the caller
// wakes a worker thread that posts to the global queue, whose job wakes the
// caller. On a machine where a thread wake-up is slow this dominates a
// loopback round trip.
void BM_HandOffFloor(benchmark::State& state) {
  std::mutex m;
  std::condition_variable cv;
  bool pending = false;
  bool stop = false;
  Latch latch;
  std::thread engine([&] {
    std::unique_lock<std::mutex> lock(m);
    for (;;) {
      cv.wait(lock, [&] { return pending || stop; });
      if (stop) return;
      pending = false;
      platform::globalQueue().async([&] { latch.open(); });
    }
  });
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> lock(m);
      pending = true;
    }
    cv.notify_one();
    latch.waitAndReset();
  }
  {
    std::lock_guard<std::mutex> lock(m);
    stop = true;
  }
  cv.notify_one();
  engine.join();
}

BENCHMARK(BM_EngineRoundTrip)->Arg(0)->Arg(2)->Repetitions(7)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EngineRoundTripMainQueue)->Arg(0)->Arg(2)->Repetitions(7)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareCurlRoundTrip)->Arg(0)->Arg(2)->Repetitions(7)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HandOffFloor)->Repetitions(7)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
