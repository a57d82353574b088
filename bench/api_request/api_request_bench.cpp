// Round trip of one service API request through qv_Network (builder, common
// parameters, pinned session, the hop through the main queue, the response
// processor and its log lines) against a bare curl request on a reused TLS
// connection, both on the same local stand-in in the same run. Compare the
// medians: the client should stay within 1.5 times the bare request.
//
// Logging is as in the product: every request writes its "[NET OUT]" and
// "[NET IN]" lines to the console and the log file. The console output goes
// to /dev/null so the report stays readable; the log file lives in a
// temporary home.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/cert_bundle.h"
#include "core/misc_info.h"
#include "core/qv_network.h"
#include "core/static_data.h"
#include "platform/bundle.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/support/fake_connection_port.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_certs.h"

namespace {

using namespace vandrel;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;
namespace fs = std::filesystem;

constexpr const char* kBody = R"({"status":"ok","code":0,"data":{"ip":"203.0.113.7"}})";

std::string pathFor(const benchmark::State& state) {
  return state.range(0) == 0 ? "/api/1/ip" : "/api/1/ip/slow";
}

// Everything the client needs, made once: a private home, a bundle pinning
// the stand-in's CA, and a thread that runs the main queue.
struct World {
  World() {
    standin = ServiceStandin::https();
    standin->replyTo("/api/1/ip", 200, kBody);
    // A server that takes a little time, as any real one does.
    standin->replyTo("/api/1/ip/slow",
                     test_support::ScriptedReply{200, {}, kBody, std::chrono::milliseconds(2)});
    const fs::path bundlePath = home.root() / "Bench.app";
    fs::create_directories(bundlePath / "Contents/Resources");
    std::ofstream(bundlePath / "Contents/Info.json")
        << R"({"CFBundleIdentifier":"com.vandrel.mac.offline","CFBundleShortVersionString":"1.0"})";
    std::ofstream(bundlePath / "Contents/Resources/icon.xcImage", std::ios::binary)
        << core::packCertBundle({TestCertificateAuthority::shared().der()}).value();
    bundle = std::make_unique<platform::Bundle>(bundlePath);
    defaults = std::make_unique<platform::Defaults>(home.configHome() / "standard.json");
    session = std::make_unique<core::MiscInfo>(port, *defaults, notifications,
                                               platform::SystemClock::shared());
    staticData = std::make_unique<core::StaticData>(
        std::vector<core::ApiHost>{{"127.0.0.1", standin->port()}}, *defaults,
        [](const std::string&, const std::string&) {});
    core::qv_Network::Options options;
    options.bundle = bundle.get();
    network = std::make_unique<core::qv_Network>(
        *staticData, *session, port, core::DeviceFacts(*bundle, "/"), core::ServiceHooks{},
        platform::SystemClock::shared(), options);
    mainThread = std::thread([this] {
      platform::mainQueue().runUntil([this] { return stop.load(); }, std::chrono::hours(24));
    });
  }

  test_support::TempHome home;
  std::unique_ptr<ServiceStandin> standin;
  test_support::FakeConnectionPort port;
  platform::NotificationCenter notifications;
  std::unique_ptr<platform::Bundle> bundle;
  std::unique_ptr<platform::Defaults> defaults;
  std::unique_ptr<core::MiscInfo> session;
  std::unique_ptr<core::StaticData> staticData;
  std::unique_ptr<core::qv_Network> network;
  std::atomic<bool> stop{false};
  std::thread mainThread;
};

// Leaked: the main-queue thread runs until the process ends.
World& world() {
  static World* w = new World;
  return *w;
}

void BM_QvNetworkRequest(benchmark::State& state) {
  World& w = world();
  const std::string path = state.range(0) == 0 ? "/ip" : "/ip/slow";
  bool ok = true;
  auto once = [&] {
    auto result = w.network
                      ->request(path, core::qv_Network::Method::GET, std::nullopt,
                                core::qv_Network::Encoding::url)
                      .wait();
    ok = ok && result.isSuccess;
  };
  once();  // connect and handshake outside the timing
  for (auto _ : state) once();
  if (!ok) state.SkipWithError("a request failed");
}

void BM_BareCurlRequest(benchmark::State& state) {
  World& w = world();
  CURL* easy = curl_easy_init();
  const std::string url = w.standin->url(pathFor(state));
  const std::string& pem = TestCertificateAuthority::shared().pem();
  curl_blob blob{const_cast<char*>(pem.data()), pem.size(), CURL_BLOB_COPY};
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
  curl_easy_setopt(
      easy, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* user) -> size_t {
        static_cast<std::string*>(user)->append(data, size * n);
        return size * n;
      });
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  bool ok = true;
  auto once = [&] {
    body.clear();
    ok = ok && curl_easy_perform(easy) == CURLE_OK && body == kBody;
  };
  once();
  for (auto _ : state) once();
  if (!ok) state.SkipWithError("a request failed");
  curl_easy_cleanup(easy);
}

BENCHMARK(BM_QvNetworkRequest)
    ->Arg(0)
    ->Arg(2)
    ->Repetitions(7)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareCurlRequest)
    ->Arg(0)
    ->Arg(2)
    ->Repetitions(7)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The log lines go to the console as in the product; the console here is
  // /dev/null, and the report goes to the original standard output.
  const int console = ::dup(STDOUT_FILENO);
  const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(devnull, STDOUT_FILENO);
  std::ofstream report("/proc/self/fd/" + std::to_string(console));
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
  reporter.SetOutputStream(&report);
  reporter.SetErrorStream(&report);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
