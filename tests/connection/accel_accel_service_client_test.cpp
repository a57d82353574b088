// The daemon client's wrappers against the daemon stand-in: the requests
// they send, the texts they return and log, the stop deadlines, the shared
// client's connection and the stored exclude routes.

#include "connection/accel_accel_service_client.h"

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "connection/route_registrar.h"
#include "core/line_item.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/sync.h"
#include "platform/value.h"
#include "proto/accel.pb.h"
#include "tests/support/daemon_standin.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

namespace vandrel::connection {
namespace {

using test_support::TempDir;

using namespace std::chrono_literals;
using core::ConnectMode;
using core::LineItem;
using platform::MutexLock;
using test_support::DaemonCall;
using test_support::DaemonItem;
using test_support::DaemonReply;
using test_support::DaemonStandin;
using test_support::NoListenerPort;
using Lines = std::vector<std::pair<std::int64_t, std::string>>;
using Texts = std::vector<std::string>;

constexpr auto kWait = 10s;

int code(grpc::StatusCode status) { return static_cast<int>(status); }

// Every line and keyword check the wrappers make, in order.
class LogRecorder {
 public:
  DaemonCallLog sink() {
    return {[this](std::int64_t level, std::string_view message) {
              MutexLock lock(mutex_);
              lines_.emplace_back(level, std::string(message));
            },
            [this](std::string_view text) {
              MutexLock lock(mutex_);
              uploads_.emplace_back(text);
            }};
  }
  Lines lines() const {
    MutexLock lock(mutex_);
    return lines_;
  }
  Texts uploads() const {
    MutexLock lock(mutex_);
    return uploads_;
  }
  void clear() {
    MutexLock lock(mutex_);
    lines_.clear();
    uploads_.clear();
  }

 private:
  mutable platform::Mutex mutex_;
  Lines lines_ VANDREL_GUARDED_BY(mutex_);
  Texts uploads_ VANDREL_GUARDED_BY(mutex_);
};

class RecordingRegistrar final : public RouteRegistrar {
 public:
  void deleteRoutesWhenAppKilled(std::vector<std::string> routes) override {
    MutexLock lock(mutex_);
    registered_.push_back(std::move(routes));
  }
  std::vector<Texts> registered() const {
    MutexLock lock(mutex_);
    return registered_;
  }

 private:
  mutable platform::Mutex mutex_;
  std::vector<Texts> registered_ VANDREL_GUARDED_BY(mutex_);
};

// A line with everything a StartSS request can take.
LineItem::Fields fullLine() {
  LineItem::Fields fields;
  fields.server = "203.0.113.7";
  fields.port = 8388;
  fields.method = "aes-128-cfb";
  fields.password = "pa ss";
  fields.host = "edge.example.invalid";
  fields.url = "https://edge.example.invalid/w";
  fields.username = "u-42";
  return fields;
}

Texts texts(const google::protobuf::RepeatedPtrField<std::string>& field) {
  return {field.begin(), field.end()};
}

class AccelCallsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(standin_.start().ok());
    calls_ = makeCalls(standin_.address());
  }

  std::unique_ptr<AccelCalls> makeCalls(std::string address,
                                        std::chrono::milliseconds stopDeadline = 30s) {
    return std::make_unique<AccelCalls>(
        std::move(address), defaults_, registrar_, [this] { return mode_.load(); },
        AccelCalls::Options{log_.sink(), stopDeadline});
  }

  // The peer of each call of `method` so far.
  Texts peers(std::string_view method) const {
    Texts result;
    for (const auto& call : standin_.calls(method)) result.push_back(call.peer);
    return result;
  }

  TempDir dir_;
  platform::Defaults defaults_{dir_.path() / "defaults.json"};
  DaemonStandin standin_;
  RecordingRegistrar registrar_;
  LogRecorder log_;
  std::atomic<ConnectMode> mode_{ConnectMode::app};
  std::unique_ptr<AccelCalls> calls_;
};

// ---- The eight wrappers of one call each --------------------------------

struct WrapperCase {
  const char* name;
  std::string_view method;
  std::function<std::optional<std::string>(AccelCalls&)> invoke;
  // The item the call starts or stops; stops succeed only when it runs.
  DaemonItem item;
  bool isStop;
  // Lines written before the call, whatever its outcome.
  Lines leadingLines;
  std::string successLine;  // empty: none
  std::string notRunningLine;
  std::string callError;
  std::string responseError;
  std::function<void(const DaemonCall&)> checkRequest;
};

void PrintTo(const WrapperCase& c, std::ostream* os) { *os << c.name; }

const Texts kExclude = {"198.51.100.1", "api.example.invalid", "fe80::1"};
const Texts kDomains = {"a.example.invalid", "b.example.invalid"};

void expectEmptyRequest(const DaemonCall& call) { EXPECT_EQ(call.requestBytes, ""); }

std::vector<WrapperCase> wrapperCases() {
  return {
      {"StartTun2socks",
       "StartTun2socks",
       [](AccelCalls& c) { return c.startTun2socks(kExclude); },
       DaemonItem::Tun2socks,
       false,
       {{4, R"([DEBUG]: tun2socks exclude: ["198.51.100.1", "api.example.invalid", "fe80::1"])"}},
       "[DEBUG]: startTun2Socks success",
       "",
       "startT Error: ",
       "startT Error:  ",
       [](const DaemonCall& call) {
         const auto r = call.request<accel::StartTun2socksReq>();
         EXPECT_EQ(r.tunname(), "zeridevaz_tunnel");
         EXPECT_EQ(r.tunaddr(), "172.20.0.2");
         EXPECT_EQ(r.tunmask(), "255.255.0.0");
         EXPECT_EQ(r.tungateway(), "172.20.0.1");
         EXPECT_EQ(r.dns_size(), 0);
         EXPECT_EQ(r.mtu(), 1488);
         EXPECT_EQ(r.socksaddr(), "127.0.0.1:9090");
         EXPECT_FALSE(r.enablednscache());
         EXPECT_EQ(texts(r.exclude()), kExclude);
       }},
      {"StopTun2socks",
       "StopTun2socks",
       [](AccelCalls& c) { return c.stopTun2socks(); },
       DaemonItem::Tun2socks,
       true,
       {},
       "",
       "[DEBUG]: Stop T: Not running",
       "stop T catch Error: ",
       "stop T Error:  ",
       expectEmptyRequest},
      {"SetSystemProxy",
       "SetSystemProxy",
       [](AccelCalls& c) { return c.setSystemProxy(kDomains, Accel_SystemProxyMode::intelligent); },
       DaemonItem::SystemProxy,
       false,
       {},
       "",
       "",
       "startSystemProxy Error: ",
       "startSystemProxy Error:  ",
       [](const DaemonCall& call) {
         const auto r = call.request<accel::SetSystemProxyReq>();
         EXPECT_EQ(r.mode(), accel::Intelligent);
         EXPECT_EQ(r.httpproxyaddr(), "127.0.0.1");
         EXPECT_EQ(r.httpproxyport(), 9099);
         EXPECT_EQ(r.pacserverport(), 50453);
         EXPECT_EQ(texts(r.domains()), kDomains);
         EXPECT_EQ(r.nets_size(), 0);
       }},
      {"StopSystemProxy",
       "StopSystemProxy",
       [](AccelCalls& c) { return c.stopSystemProxy(Accel_SystemProxyMode::intelligent); },
       DaemonItem::SystemProxy,
       true,
       {},
       "",
       "[DEBUG]: systemProxy Not running",
       "stopSystemProxy Error: ",
       "stopSystemProxy Error:  ",
       [](const DaemonCall& call) {
         const auto r = call.request<accel::StopSystemProxyReq>();
         EXPECT_EQ(r.mode(), accel::Intelligent);
         EXPECT_EQ(r.httpproxyaddr(), "127.0.0.1");
         EXPECT_EQ(r.httpproxyport(), 9099);
       }},
      {"StartHttpProxy",
       "StartHttpProxy",
       [](AccelCalls& c) { return c.startHttpProxy(); },
       DaemonItem::HttpProxy,
       false,
       {},
       "",
       "",
       "startHttpProxy Error: ",
       "startHttpProxy Error:  ",
       [](const DaemonCall& call) {
         const auto r = call.request<accel::StartHttpProxyReq>();
         EXPECT_EQ(r.server(), "127.0.0.1");
         EXPECT_EQ(r.port(), 9099);
         EXPECT_EQ(r.s5addr(), "127.0.0.1");
         EXPECT_EQ(r.s5port(), 9090);
       }},
      {"StopHttpProxy",
       "StopHttpProxy",
       [](AccelCalls& c) { return c.stopHttpProxy(); },
       DaemonItem::HttpProxy,
       true,
       {},
       "",
       "[DEBUG]: HttpProxy Not running",
       "stopHttpProxy Error: ",
       "stopHttpProxy Error:  ",
       expectEmptyRequest},
      {"StartSS",
       "StartSS",
       [](AccelCalls& c) { return c.startSS(*LineItem::create(fullLine())); },
       DaemonItem::Ss,
       false,
       {},
       "[DEBUG]: startSSProxy success",
       "",
       "startSSProxy Error: ",
       "startSSProxy Error:  ",
       [](const DaemonCall& call) {
         const auto r = call.request<accel::SSConfig>();
         EXPECT_EQ(r.server(), "203.0.113.7");
         EXPECT_EQ(r.port(), 8388);
         EXPECT_EQ(r.method(), "aes-128-cfb");
         EXPECT_EQ(r.password(), "pa ss");
         EXPECT_EQ(r.localport(), 9090);
         EXPECT_EQ(r.type(), accel::SS);
         EXPECT_EQ(r.url(), "");
         EXPECT_EQ(r.username(), "");
       }},
      {"StopSS",
       "StopSS",
       [](AccelCalls& c) { return c.stopSS(); },
       DaemonItem::Ss,
       true,
       {},
       "",
       "[DEBUG]: SS Not running",
       "stopSSProxy catch Error: ",
       "stopSSProxy Error:  ",
       expectEmptyRequest},
  };
}

class WrapperTest : public AccelCallsTest, public testing::WithParamInterface<WrapperCase> {
 protected:
  // The call's leading lines followed by `tail`.
  Lines withLeading(Lines tail) const {
    Lines lines = GetParam().leadingLines;
    lines.insert(lines.end(), tail.begin(), tail.end());
    return lines;
  }
};

TEST_P(WrapperTest, SuccessSendsTheRequestAndReturnsNothing) {
  const WrapperCase& w = GetParam();
  if (w.isStop) standin_.setRunning(w.item, true);

  EXPECT_EQ(w.invoke(*calls_), std::nullopt);

  EXPECT_EQ(standin_.methods(), Texts{std::string(w.method)});
  w.checkRequest(standin_.calls(w.method).at(0));
  EXPECT_EQ(standin_.isRunning(w.item), !w.isStop);
  EXPECT_EQ(log_.lines(),
            w.successLine.empty() ? withLeading({}) : withLeading({{4, w.successLine}}));
  EXPECT_EQ(log_.uploads(), Texts{});
}

TEST_P(WrapperTest, SuccessFalseReturnsTheDaemonsErrorAndLogsIt) {
  const WrapperCase& w = GetParam();
  standin_.failWith(w.method, "daemon says no");

  EXPECT_EQ(w.invoke(*calls_), "daemon says no");

  EXPECT_EQ(log_.lines(), withLeading({{2, "[ERROR]: " + w.responseError + "daemon says no"}}));
  EXPECT_EQ(log_.uploads(), Texts{w.responseError + "daemon says no"});
}

TEST_P(WrapperTest, FailedCallReturnsItsStatusMessageOrError) {
  const WrapperCase& w = GetParam();
  struct Status {
    int code;
    std::string message;
    std::string returned;
  };
  const Status statuses[] = {
      {code(grpc::StatusCode::UNIMPLEMENTED), "", "Error"},
      {code(grpc::StatusCode::INTERNAL), "daemon fell over", "daemon fell over"},
  };
  for (const auto& status : statuses) {
    SCOPED_TRACE(status.code);
    log_.clear();
    standin_.failWithStatus(w.method, status.code, status.message, 1);

    EXPECT_EQ(w.invoke(*calls_), status.returned);

    EXPECT_EQ(log_.lines(), withLeading({{2, "[ERROR]: " + w.callError + status.returned}}));
    EXPECT_EQ(log_.uploads(), Texts{w.callError + status.returned});
  }
}

TEST_P(WrapperTest, RefusedConnectionReturnsTheStatusMessage) {
  const WrapperCase& w = GetParam();
  NoListenerPort nobody;
  auto calls = makeCalls("127.0.0.1:" + std::to_string(nobody.port()));

  const std::optional<std::string> result = w.invoke(*calls);

  ASSERT_TRUE(result.has_value());
  EXPECT_NE(*result, "Error");
  EXPECT_NE(result->find("Connection refused"), std::string::npos) << *result;
  EXPECT_EQ(log_.lines(), withLeading({{2, "[ERROR]: " + w.callError + *result}}));
  EXPECT_EQ(log_.uploads(), Texts{w.callError + *result});
}

TEST_P(WrapperTest, NotRunningIsACleanStopForStopsOnly) {
  const WrapperCase& w = GetParam();
  if (!w.isStop) {
    standin_.failWith(w.method, "ss not running");
    EXPECT_EQ(w.invoke(*calls_), "ss not running");
    EXPECT_EQ(log_.lines(), withLeading({{2, "[ERROR]: " + w.responseError + "ss not running"}}));
    return;
  }
  // First the idle item's own answer ("<item> not running"), then a failed
  // call whose status message says so.
  standin_.script(w.method, DaemonReply{}, 1);
  standin_.failWithStatus(w.method, code(grpc::StatusCode::UNAVAILABLE), "daemon not running", 1);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    log_.clear();
    EXPECT_EQ(w.invoke(*calls_), std::nullopt);
    EXPECT_EQ(log_.lines(), (Lines{{4, w.notRunningLine}}));
    EXPECT_EQ(log_.uploads(), Texts{});
  }
  EXPECT_EQ(standin_.calls(w.method).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Wrappers, WrapperTest, testing::ValuesIn(wrapperCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- startSS ----------------------------------------------------------------

TEST_F(AccelCallsTest, StartSSBuildsItsRequestFromTheLineAndTheMode) {
  struct Case {
    const char* name;
    ConnectMode mode;
    std::function<void(LineItem::Fields&)> edit;
    accel::SSConfig expected;
  };
  auto config = [](std::string server, std::int32_t port, accel::SSType type, std::string url,
                   std::string username) {
    accel::SSConfig c;
    c.set_server(std::move(server));
    c.set_port(port);
    c.set_method("aes-128-cfb");
    c.set_password("pa ss");
    c.set_localport(9090);
    c.set_type(type);
    c.set_url(std::move(url));
    c.set_username(std::move(username));
    return c;
  };
  const Case cases[] = {
      {"app sends the server, no SSW fields", ConnectMode::app, [](auto&) {},
       config("203.0.113.7", 8388, accel::SS, "", "")},
      {"web", ConnectMode::web, [](auto&) {}, config("203.0.113.7", 8388, accel::SS, "", "")},
      {"smartWeb without a port sends 0", ConnectMode::smartWeb, [](auto& f) { f.port.reset(); },
       config("203.0.113.7", 0, accel::SS, "", "")},
      {"ssw sends the host, URL and user name", ConnectMode::ssw, [](auto&) {},
       config("edge.example.invalid", 8388, accel::SSW, "https://edge.example.invalid/w", "u-42")},
      {"ssw without them sends None", ConnectMode::ssw,
       [](auto& f) {
         f.host.reset();
         f.url.reset();
         f.username.reset();
       },
       config("None", 8388, accel::SSW, "None", "None")},
      {"largest port", ConnectMode::app,
       [](auto& f) { f.port = std::numeric_limits<std::int32_t>::max(); },
       config("203.0.113.7", std::numeric_limits<std::int32_t>::max(), accel::SS, "", "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    standin_.clearCalls();
    standin_.setRunning(DaemonItem::Ss, false);
    mode_ = c.mode;
    LineItem::Fields fields = fullLine();
    c.edit(fields);

    EXPECT_EQ(calls_->startSS(*LineItem::create(fields)), std::nullopt);

    const auto sent = standin_.calls("StartSS");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].requestBytes, c.expected.SerializeAsString())
        << sent[0].requestText << "\nwanted " << c.expected.ShortDebugString();
  }
}

TEST_F(AccelCallsTest, StartSSRefusesALineThatCannotMakeARequest) {
  struct Case {
    const char* name;
    ConnectMode mode;
    std::function<void(LineItem::Fields&)> edit;
  };
  const Case cases[] = {
      {"no server", ConnectMode::app, [](auto& f) { f.server.reset(); }},
      {"no server in ssw, though the host is sent", ConnectMode::ssw,
       [](auto& f) { f.server.reset(); }},
      {"no method", ConnectMode::app, [](auto& f) { f.method.reset(); }},
      {"no password", ConnectMode::ssw, [](auto& f) { f.password.reset(); }},
      {"port above 32 bits", ConnectMode::app, [](auto& f) { f.port = std::int64_t{1} << 31; }},
      {"port below 32 bits", ConnectMode::app,
       [](auto& f) { f.port = std::int64_t{std::numeric_limits<std::int32_t>::min()} - 1; }},
  };
  const std::string error(AccelCalls::kIncompleteLineError);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    mode_ = c.mode;
    LineItem::Fields fields = fullLine();
    c.edit(fields);

    EXPECT_EQ(calls_->startSS(*LineItem::create(fields)), error);

    EXPECT_EQ(log_.lines(), (Lines{{2, "[ERROR]: startSSProxy Error: " + error}}));
    EXPECT_EQ(log_.uploads(), Texts{"startSSProxy Error: " + error});
  }
  EXPECT_EQ(standin_.calls().size(), 0u) << "the daemon was never asked";
}

// ---- startTun2socks' exclude line ----------------------------------------

TEST_F(AccelCallsTest, StartTun2socksLogsTheExcludeListAsText) {
  struct Case {
    Texts exclude;
    std::string shown;
  };
  const Case cases[] = {
      {{}, "[]"},
      {{"a", "b"}, R"(["a", "b"])"},
      {{""}, R"([""])"},
      // Escaped, so that a route text can neither end the line nor forge one.
      {{"x\"y", "back\\slash", "l1\r\nl2", std::string("nul\0tab\tbell\a", 13)},
       R"(["x\"y", "back\\slash", "l1\r\nl2", "nul\0tab\tbell\u{7}"])"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    log_.clear();
    standin_.clearCalls();
    standin_.setRunning(DaemonItem::Tun2socks, false);

    EXPECT_EQ(calls_->startTun2socks(c.exclude), std::nullopt);

    const Lines lines = log_.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(),
              (std::pair<std::int64_t, std::string>{4, "[DEBUG]: tun2socks exclude: " + c.shown}));
    const auto sent = standin_.calls("StartTun2socks").at(0).request<accel::StartTun2socksReq>();
    EXPECT_EQ(texts(sent.exclude()), c.exclude);
  }
}

// ---- Deadlines -----------------------------------------------------------------

struct DeadlineCase {
  const char* name;
  std::string_view method;
  std::function<std::optional<std::string>(AccelCalls&)> invoke;
  std::string errorLine;  // empty: the call has no deadline
};

void PrintTo(const DeadlineCase& c, std::ostream* os) { *os << c.name; }

class DeadlineTest : public AccelCallsTest, public testing::WithParamInterface<DeadlineCase> {};

TEST_P(DeadlineTest, OnlyTheTunnelStopsGiveUpOnAHungDaemon) {
  const DeadlineCase& d = GetParam();
  auto calls = makeCalls(standin_.address(), 300ms);
  standin_.script(d.method, DaemonReply::hanging());
  auto pending = std::async(std::launch::async, [&] { return d.invoke(*calls); });

  if (d.errorLine.empty()) {
    ASSERT_TRUE(standin_.waitForHanging(d.method, 1, kWait));
    // Well past the stop deadline, the call still waits for the daemon.
    EXPECT_EQ(pending.wait_for(900ms), std::future_status::timeout);
    standin_.releaseHangs();
    ASSERT_EQ(pending.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(pending.get(), std::nullopt);
    return;
  }
  const bool ended = pending.wait_for(kWait) == std::future_status::ready;
  if (!ended) standin_.releaseHangs();
  ASSERT_TRUE(ended) << "the stop call waited for the hung daemon";
  EXPECT_EQ(pending.get(), "Deadline Exceeded");
  EXPECT_EQ(log_.lines(), (Lines{{2, "[ERROR]: " + d.errorLine + "Deadline Exceeded"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DeadlineTest,
    testing::Values(
        DeadlineCase{"StopTun2socks", "StopTun2socks",
                     [](AccelCalls& c) { return c.stopTun2socks(); }, "stop T catch Error: "},
        DeadlineCase{"StopSS", "StopSS", [](AccelCalls& c) { return c.stopSS(); },
                     "stopSSProxy catch Error: "},
        DeadlineCase{"StartSS", "StartSS",
                     [](AccelCalls& c) { return c.startSS(*LineItem::create(fullLine())); }, ""},
        DeadlineCase{"StopHttpProxy", "StopHttpProxy",
                     [](AccelCalls& c) {
                       // Answers "not running" once released: a clean stop.
                       return c.stopHttpProxy();
                     },
                     ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The shared client -----------------------------------------------------

TEST_F(AccelCallsTest, CallsShareOneConnectionUntilTheClientIsDropped) {
  const auto first = calls_->client();
  EXPECT_EQ(calls_->stopSS(), std::nullopt);
  EXPECT_EQ(calls_->stopSS(), std::nullopt);
  EXPECT_EQ(calls_->client(), first);

  calls_->dropClient();
  EXPECT_EQ(calls_->stopSS(), std::nullopt);
  EXPECT_NE(calls_->client(), first);

  const Texts seen = peers("StopSS");
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_NE(seen[1], seen[2]) << "a dropped client's successor opens a connection of its own";
}

TEST_F(AccelCallsTest, DroppingTheClientLetsACallUnderWayFinish) {
  standin_.script("StartSS", DaemonReply::hanging(), 1);
  auto pending = std::async(std::launch::async,
                            [&] { return calls_->startSS(*LineItem::create(fullLine())); });
  ASSERT_TRUE(standin_.waitForHanging("StartSS", 1, kWait));

  calls_->dropClient();
  EXPECT_EQ(calls_->stopTun2socks(), std::nullopt);
  standin_.releaseHangs();

  ASSERT_EQ(pending.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(pending.get(), std::nullopt);
  EXPECT_NE(peers("StartSS").at(0), peers("StopTun2socks").at(0));
}

TEST_F(AccelCallsTest, OverlappingCallsAndDropsAllComplete) {
  std::vector<std::future<int>> callers;
  for (int t = 0; t < 6; ++t) {
    callers.push_back(std::async(std::launch::async, [&] {
      int failures = 0;
      for (int i = 0; i < 15; ++i) failures += calls_->stopHttpProxy().has_value() ? 1 : 0;
      return failures;
    }));
  }
  auto dropper = std::async(std::launch::async, [&] {
    for (int i = 0; i < 15; ++i) {
      calls_->dropClient();
      std::this_thread::sleep_for(2ms);
    }
  });
  for (auto& caller : callers) {
    ASSERT_EQ(caller.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(caller.get(), 0);
  }
  ASSERT_EQ(dropper.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(standin_.calls("StopHttpProxy").size(), 90u);
}

TEST_F(AccelCallsTest, RestartedDaemonIsReachedWithoutBackOff) {
  EXPECT_EQ(calls_->stopSS(), std::nullopt);
  standin_.stop();
  // Failed attempts while the daemon is away; gRPC's default back-off
  // would by now wait a second or more before the next one.
  const auto away = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - away < 1200ms) {
    ASSERT_TRUE(calls_->stopSS().has_value());
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(standin_.restart().ok());

  const auto back = std::chrono::steady_clock::now();
  while (calls_->stopSS().has_value()) {
    ASSERT_LT(std::chrono::steady_clock::now() - back, kWait) << "never reached again";
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - back, 500ms);
}

TEST_F(AccelCallsTest, InheritedProxyVariablesDoNotCaptureDaemonCalls) {
  NoListenerPort deadProxy;
  const std::string proxy = "http://127.0.0.1:" + std::to_string(deadProxy.port());
  const char* const variables[] = {"grpc_proxy", "https_proxy", "http_proxy"};
  const char* const exemptions[] = {"no_grpc_proxy", "no_proxy"};
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const char* name : variables) {
    saved.emplace_back(name,
                       getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt);
    setenv(name, proxy.c_str(), 1);
  }
  for (const char* name : exemptions) {
    saved.emplace_back(name,
                       getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt);
    unsetenv(name);
  }
  auto calls = makeCalls(standin_.address());
  const std::optional<std::string> result = calls->stopSS();
  for (const auto& [name, value] : saved) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  EXPECT_EQ(result, std::nullopt);
  EXPECT_EQ(standin_.calls("StopSS").size(), 1u);
}

TEST_F(AccelCallsTest, DaemonAddressComesFromTheEnvironmentKnob) {
  const char* const name = "VANDREL_DAEMON_ADDR";
  const char* old = getenv(name);
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  unsetenv(name);
  EXPECT_EQ(AccelCalls::daemonAddress(), "127.0.0.1:50051");
  setenv(name, "", 1);
  EXPECT_EQ(AccelCalls::daemonAddress(), "127.0.0.1:50051");
  setenv(name, "127.0.0.1:41234", 1);
  EXPECT_EQ(AccelCalls::daemonAddress(), "127.0.0.1:41234");
  if (saved) {
    setenv(name, saved->c_str(), 1);
  } else {
    unsetenv(name);
  }
}

TEST_F(AccelCallsTest, CallsAbortOnTheMainThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        platform::mainQueue().runPending();
        (void)calls_->stopSS();
      },
      "never on the main thread");
}

TEST_F(AccelCallsTest, LastStartedModeStartsAsApp) {
  EXPECT_EQ(calls_->lastStartedMode(), ConnectMode::app);
  calls_->setLastStartedMode(ConnectMode::web);
  EXPECT_EQ(calls_->lastStartedMode(), ConnectMode::web);
}

// ---- Exclude routes --------------------------------------------------------

TEST_F(AccelCallsTest, SaveExcludeRoutesStoresAndRegistersWhatTheDaemonReports) {
  const Texts routes = {"198.51.100.1", "api.example.invalid", "2001:db8::/32"};
  standin_.setExcludeRoutes(routes);

  EXPECT_EQ(calls_->saveExcludeRoutes(), std::nullopt);

  EXPECT_EQ(registrar_.registered(), std::vector<Texts>{routes});
  EXPECT_EQ(calls_->lastExcludeArray(), routes);
  platform::Defaults reread(dir_.path() / "defaults.json");
  EXPECT_EQ(reread.getArray(AccelCalls::kLastExcludeArrayKey),
            (platform::Value::Array{"198.51.100.1", "api.example.invalid", "2001:db8::/32"}));
  EXPECT_EQ(log_.lines(), Lines{}) << "saveExcludeRoutes writes no line";

  standin_.setExcludeRoutes({});
  EXPECT_EQ(calls_->saveExcludeRoutes(), std::nullopt);
  EXPECT_EQ(registrar_.registered(), (std::vector<Texts>{routes, {}}));
  EXPECT_EQ(calls_->lastExcludeArray(), Texts{});
}

TEST_F(AccelCallsTest, SaveExcludeRoutesFailureKeepsTheStoredListAndTheHelperOutOfIt) {
  ASSERT_TRUE(defaults_.set(AccelCalls::kLastExcludeArrayKey, platform::Value::Array{"old"}));
  standin_.setExcludeRoutes({"new"});
  NoListenerPort nobody;
  auto refused = makeCalls("127.0.0.1:" + std::to_string(nobody.port()));
  struct Case {
    const char* name;
    std::function<void()> script;
    AccelCalls* calls;
    std::optional<std::string> returned;  // none: any text
  };
  const Case cases[] = {
      {"Success false", [&] { standin_.failWith("GetExcludeRoute", "no routes yet", 1); },
       calls_.get(), "no routes yet"},
      {"UNIMPLEMENTED",
       [&] {
         standin_.failWithStatus("GetExcludeRoute", code(grpc::StatusCode::UNIMPLEMENTED), "", 1);
       },
       calls_.get(), "Error"},
      {"refused", [] {}, refused.get(), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.script();
    const std::optional<std::string> result = c.calls->saveExcludeRoutes();
    ASSERT_TRUE(result.has_value());
    if (c.returned) {
      EXPECT_EQ(*result, *c.returned);
    }
    EXPECT_EQ(calls_->lastExcludeArray(), Texts{"old"});
  }
  EXPECT_EQ(registrar_.registered(), std::vector<Texts>{});
  EXPECT_EQ(log_.lines(), Lines{});
}

TEST_F(AccelCallsTest, LastExcludeArrayReadsOnlyAnArrayOfTexts) {
  struct Case {
    const char* name;
    std::optional<platform::Value> stored;
    Texts read;
  };
  const Case cases[] = {
      {"nothing stored", std::nullopt, {""}},
      {"a text", platform::Value("10.0.0.1"), {""}},
      {"an array with a number", platform::Value(platform::Value::Array{"10.0.0.1", 7}), {""}},
      {"an empty array", platform::Value(platform::Value::Array{}), {}},
      {"texts", platform::Value(platform::Value::Array{"10.0.0.1", ""}), {"10.0.0.1", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stored) {
      ASSERT_TRUE(defaults_.set(AccelCalls::kLastExcludeArrayKey, *c.stored));
    } else {
      defaults_.remove(AccelCalls::kLastExcludeArrayKey);
    }
    EXPECT_EQ(calls_->lastExcludeArray(), c.read);
  }
}

}  // namespace
}  // namespace vandrel::connection
