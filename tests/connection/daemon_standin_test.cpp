// The tunnelling-daemon stand-in, driven through a plain generated stub:
// the behaviours that the daemon client's and the helper's tests lean on.

#include "tests/support/daemon_standin.h"

#include <arpa/inet.h>
#include <google/protobuf/util/message_differencer.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "proto/accel.grpc.pb.h"

extern char** environ;

namespace vandrel::test_support {
namespace {

using namespace std::chrono_literals;
using Stub = accel::Accel::Stub;

// A call's outcome: the gRPC status, and for OK the response's two fields.
struct Answer {
  grpc::StatusCode code = grpc::StatusCode::UNKNOWN;
  std::string statusMessage;
  bool success = false;
  std::string error;
};

template <typename Request, typename Response>
Answer call(Stub& stub,
            grpc::Status (Stub::*method)(grpc::ClientContext*, const Request&, Response*),
            const Request& request = {}, std::chrono::milliseconds deadline = 10s) {
  grpc::ClientContext context;
  context.set_deadline(std::chrono::system_clock::now() + deadline);
  Response response;
  const grpc::Status status = (stub.*method)(&context, request, &response);
  return {status.error_code(), status.error_message(), response.success(), response.error()};
}

std::unique_ptr<Stub> newStub(const std::string& address) {
  grpc::ChannelArguments args;
  args.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
  // A channel of its own makes a connection of its own (and a peer port).
  args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
  return accel::Accel::NewStub(
      grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args));
}

testing::AssertionResult eventually(const std::function<bool()>& done,
                                    std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return testing::AssertionSuccess();
    std::this_thread::sleep_for(5ms);
  }
  return done() ? testing::AssertionSuccess() : testing::AssertionFailure() << "timed out";
}

class DaemonStandinTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(standin_.start().ok());
    stub_ = newStub(standin_.address());
  }

  DaemonStandin standin_;
  std::unique_ptr<Stub> stub_;
};

TEST_F(DaemonStandinTest, StartsAndStopsItemsLikeTheDaemon) {
  struct Item {
    DaemonItem item;
    const char* name;
    std::function<Answer(Stub&)> start;
    std::function<Answer(Stub&)> stop;
  };
  const std::vector<Item> items = {
      {DaemonItem::Ss, "ss", [](Stub& s) { return call(s, &Stub::StartSS); },
       [](Stub& s) { return call(s, &Stub::StopSS); }},
      {DaemonItem::HttpProxy, "http proxy", [](Stub& s) { return call(s, &Stub::StartHttpProxy); },
       [](Stub& s) { return call(s, &Stub::StopHttpProxy); }},
      {DaemonItem::SystemProxy, "system proxy",
       [](Stub& s) { return call(s, &Stub::SetSystemProxy); },
       [](Stub& s) { return call(s, &Stub::StopSystemProxy); }},
      {DaemonItem::Tun2socks, "tun2socks", [](Stub& s) { return call(s, &Stub::StartTun2socks); },
       [](Stub& s) { return call(s, &Stub::StopTun2socks); }},
      {DaemonItem::Gts, "gts", [](Stub& s) { return call(s, &Stub::RunGTS); },
       [](Stub& s) { return call(s, &Stub::StopGTS); }},
      {DaemonItem::LspProxy, "lsp proxy", [](Stub& s) { return call(s, &Stub::StartLSPProxy); },
       [](Stub& s) { return call(s, &Stub::StopLSPProxy); }},
  };
  for (const auto& item : items) {
    SCOPED_TRACE(item.name);
    const std::string notRunning = std::string(item.name) + " not running";
    const std::string alreadyRunning = std::string(item.name) + " already running";
    struct Step {
      const std::function<Answer(Stub&)>& send;
      bool success;
      std::string error;
      bool runningAfter;
    };
    const Step steps[] = {{item.stop, false, notRunning, false},
                          {item.start, true, "", true},
                          {item.start, false, alreadyRunning, true},
                          {item.stop, true, "", false},
                          {item.stop, false, notRunning, false}};
    for (const auto& step : steps) {
      const Answer answer = step.send(*stub_);
      ASSERT_EQ(answer.code, grpc::StatusCode::OK) << answer.statusMessage;
      EXPECT_EQ(answer.success, step.success);
      EXPECT_EQ(answer.error, step.error);
      EXPECT_EQ(standin_.isRunning(item.item), step.runningAfter);
    }
  }
}

TEST_F(DaemonStandinTest, LogsEveryCallInOrderWithItsRequestAndPeer) {
  accel::SSConfig config;
  config.set_server("203.0.113.7");
  config.set_port(8388);
  config.set_method("aes-256-gcm");
  config.set_password("s3cret");
  config.set_localport(9090);
  config.set_type(accel::SSW);
  accel::StartTun2socksReq tun;
  tun.add_exclude("10.0.0.0/8");
  tun.add_exclude("");

  EXPECT_TRUE(call(*stub_, &Stub::StartSS, config).success);
  EXPECT_TRUE(call(*stub_, &Stub::StartTun2socks, tun).success);
  auto other = newStub(standin_.address());
  EXPECT_FALSE(call(*other, &Stub::StopHttpProxy).success);

  EXPECT_EQ(standin_.methods(),
            (std::vector<std::string>{"StartSS", "StartTun2socks", "StopHttpProxy"}));
  const auto calls = standin_.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].requestType, "accel.SSConfig");
  EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(
      calls[0].request<accel::SSConfig>(), config))
      << calls[0].requestText;
  const auto sentTun = standin_.calls("StartTun2socks").at(0).request<accel::StartTun2socksReq>();
  EXPECT_EQ(std::vector<std::string>(sentTun.exclude().begin(), sentTun.exclude().end()),
            (std::vector<std::string>{"10.0.0.0/8", ""}));
  EXPECT_EQ(calls[2].requestBytes, "");

  for (const auto& c : calls) EXPECT_EQ(c.peer.rfind("ipv4:127.0.0.1:", 0), 0u) << c.peer;
  EXPECT_EQ(calls[0].peer, calls[1].peer) << "one channel, one connection";
  EXPECT_NE(calls[0].peer, calls[2].peer) << "another channel comes from another port";

  standin_.clearCalls();
  EXPECT_TRUE(standin_.calls().empty());
}

TEST_F(DaemonStandinTest, ScriptsAnswerInOrderAndLeaveTheStateAlone) {
  standin_.failWith("StartSS", "first", 1);
  standin_.script("StartSS", DaemonReply::fail("second"), 2);
  EXPECT_EQ(call(*stub_, &Stub::StartSS).error, "first");
  EXPECT_EQ(call(*stub_, &Stub::StartSS).error, "second");
  EXPECT_EQ(call(*stub_, &Stub::StartSS).error, "second");
  EXPECT_FALSE(standin_.isRunning(DaemonItem::Ss));
  EXPECT_TRUE(call(*stub_, &Stub::StartSS).success) << "scripts ran out";
  EXPECT_TRUE(standin_.isRunning(DaemonItem::Ss));

  standin_.failWith("StopSS", "stop refused");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(call(*stub_, &Stub::StopSS).error, "stop refused");
  EXPECT_TRUE(standin_.isRunning(DaemonItem::Ss));
  standin_.clearScripts("StopSS");
  EXPECT_TRUE(call(*stub_, &Stub::StopSS).success);
  EXPECT_EQ(standin_.calls("StopSS").size(), 4u) << "failed calls are logged too";
}

TEST_F(DaemonStandinTest, StatusErrorsReachTheCaller) {
  standin_.failWithStatus("StopTun2socks", static_cast<int>(grpc::StatusCode::UNIMPLEMENTED), "",
                          1);
  standin_.failWithStatus("StopTun2socks", static_cast<int>(grpc::StatusCode::INTERNAL),
                          "tun2socks not running", 1);
  const Answer unimplemented = call(*stub_, &Stub::StopTun2socks);
  EXPECT_EQ(unimplemented.code, grpc::StatusCode::UNIMPLEMENTED);
  EXPECT_EQ(unimplemented.statusMessage, "");
  const Answer internal = call(*stub_, &Stub::StopTun2socks);
  EXPECT_EQ(internal.code, grpc::StatusCode::INTERNAL);
  EXPECT_EQ(internal.statusMessage, "tun2socks not running");
  EXPECT_EQ(standin_.calls("StopTun2socks").size(), 2u);
}

TEST_F(DaemonStandinTest, HungCallAnswersOnlyOnceReleased) {
  DaemonReply reply = DaemonReply::hanging();
  reply.failure = "ss stop failed";
  standin_.script("StopSS", reply, 1);
  auto hung = std::async(std::launch::async, [&] { return call(*stub_, &Stub::StopSS); });
  ASSERT_TRUE(standin_.waitForHanging("StopSS", 1, 5000ms));
  EXPECT_EQ(hung.wait_for(50ms), std::future_status::timeout);

  // Other calls go on meanwhile, on the same channel.
  EXPECT_TRUE(call(*stub_, &Stub::StartSS).success);
  EXPECT_EQ(standin_.hangingCount("StopSS"), 1);

  standin_.releaseHangs();
  ASSERT_EQ(hung.wait_for(5s), std::future_status::ready);
  const Answer answer = hung.get();
  EXPECT_EQ(answer.code, grpc::StatusCode::OK);
  EXPECT_EQ(answer.error, "ss stop failed") << "the rest of the script applies after release";
  EXPECT_EQ(standin_.hangingCount("StopSS"), 0);
  EXPECT_TRUE(call(*stub_, &Stub::StopSS).success);
}

TEST_F(DaemonStandinTest, HungCallEndsWhenTheCallerGivesUp) {
  standin_.script("StopTun2socks", DaemonReply::hanging());
  const Answer answer = call(*stub_, &Stub::StopTun2socks, {}, 200ms);
  EXPECT_EQ(answer.code, grpc::StatusCode::DEADLINE_EXCEEDED);
  EXPECT_TRUE(eventually([&] { return standin_.hangingCount("StopTun2socks") == 0; }))
      << "the serving thread must not stay blocked for a caller that left";
}

TEST_F(DaemonStandinTest, DelayFollowsTheInjectedClock) {
  platform::ManualClock clock;
  DaemonStandin::Options options;
  options.clock = &clock;
  DaemonStandin slow(options);
  ASSERT_TRUE(slow.start().ok());
  auto stub = newStub(slow.address());
  slow.script("GetUUID", DaemonReply::delayed(std::chrono::hours(1)), 1);

  auto delayed = std::async(std::launch::async, [&] { return call(*stub, &Stub::GetUUID); });
  ASSERT_TRUE(slow.waitForCalls("GetUUID", 1, 5000ms));
  EXPECT_EQ(delayed.wait_for(50ms), std::future_status::timeout);
  clock.advance(std::chrono::hours(1));
  ASSERT_EQ(delayed.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(delayed.get().success);
}

TEST_F(DaemonStandinTest, StopReleasesHungCallsAndForgetsRunningItems) {
  EXPECT_TRUE(call(*stub_, &Stub::StartSS).success);
  standin_.script("StopSS", DaemonReply::hanging());
  auto hung = std::async(std::launch::async, [&] { return call(*stub_, &Stub::StopSS); });
  ASSERT_TRUE(standin_.waitForHanging("StopSS", 1, 5000ms));

  standin_.stop();
  EXPECT_FALSE(standin_.serving());
  ASSERT_EQ(hung.wait_for(5s), std::future_status::ready);
  EXPECT_NE(hung.get().code, grpc::StatusCode::OK);
  EXPECT_FALSE(standin_.isRunning(DaemonItem::Ss));
  EXPECT_EQ(standin_.calls().size(), 2u) << "the log outlives a stop";
}

TEST_F(DaemonStandinTest, RestartServesTheSamePortToANewChannel) {
  EXPECT_TRUE(call(*stub_, &Stub::StartSS).success);
  const int port = standin_.port();
  standin_.stop();
  EXPECT_EQ(call(*newStub(standin_.address()), &Stub::StartSS, {}, 2000ms).code,
            grpc::StatusCode::UNAVAILABLE);

  ASSERT_TRUE(standin_.restart().ok());
  EXPECT_EQ(standin_.port(), port);
  EXPECT_TRUE(standin_.serving());
  auto fresh = newStub("127.0.0.1:" + std::to_string(port));
  EXPECT_TRUE(call(*fresh, &Stub::StartSS).success) << "a restarted daemon runs nothing";
  EXPECT_EQ(standin_.methods(), (std::vector<std::string>{"StartSS", "StartSS"}));
}

TEST_F(DaemonStandinTest, SecondStandinCannotTakeTheSamePort) {
  DaemonStandin::Options options;
  options.port = standin_.port();
  DaemonStandin second(options);
  EXPECT_FALSE(second.start().ok());
  EXPECT_TRUE(call(*stub_, &Stub::StartSS).success) << "the first one still serves";
}

TEST_F(DaemonStandinTest, ExcludeRoutesAnswerTheConfiguredList) {
  accel::GetExcludeRouteRsp empty;
  {
    grpc::ClientContext context;
    ASSERT_TRUE(stub_->GetExcludeRoute(&context, {}, &empty).ok());
  }
  EXPECT_TRUE(empty.success());
  EXPECT_EQ(empty.exclude_size(), 0);

  standin_.setExcludeRoutes({"10.0.0.0/8", "fe80::1"});
  accel::GetExcludeRouteRsp listed;
  grpc::ClientContext context;
  ASSERT_TRUE(stub_->GetExcludeRoute(&context, {}, &listed).ok());
  EXPECT_TRUE(listed.success());
  EXPECT_EQ(std::vector<std::string>(listed.exclude().begin(), listed.exclude().end()),
            (std::vector<std::string>{"10.0.0.0/8", "fe80::1"}));
}

// The executable Vandrel-server-daemon, run from a copy in a temp directory
// the way the helper tool runs the daemon.
class DaemonExecutableTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vandrel-daemon-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    exe_ = dir_ / "Vandrel-server-daemon";
    std::filesystem::copy_file(VANDREL_DAEMON_EXECUTABLE, exe_);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }

  static int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      close(fd);
      return 0;
    }
    close(fd);
    return ntohs(address.sin_port);
  }

  void writePortFile(const std::string& text) {
    std::ofstream(dir_ / "Vandrel-server-daemon.port") << text;
  }

  pid_t spawn(std::vector<std::string> args = {}) {
    args.insert(args.begin(), exe_.string());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, exe_.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
  }

  // The exit status of a child of ours, or nothing when it has not ended in time.
  static std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds timeout = 10s) {
    std::optional<int> code;
    eventually(
        [&] {
          int status = 0;
          if (waitpid(pid, &status, WNOHANG) != pid) return false;
          code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        timeout);
    return code;
  }

  std::vector<std::string> logLines() const {
    std::ifstream in(dir_ / "Vandrel-server-daemon.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::filesystem::path dir_;
  std::filesystem::path exe_;
  pid_t pid_ = -1;
};

TEST_F(DaemonExecutableTest, ServesOnThePortBesideItLogsCallsAndStopsOnSigterm) {
  const int port = freePort();
  ASSERT_NE(port, 0);
  writePortFile(std::to_string(port) + "\n");
  pid_ = spawn();
  ASSERT_GT(pid_, 0);
  const std::string serving = "serve " + std::to_string(port);
  ASSERT_TRUE(eventually([&] { return !logLines().empty(); }, 10s));
  EXPECT_EQ(logLines().front(), serving);

  auto stub = newStub("127.0.0.1:" + std::to_string(port));
  EXPECT_TRUE(call(*stub, &Stub::StartSS).success);
  EXPECT_EQ(call(*stub, &Stub::StartSS).error, "ss already running");
  EXPECT_TRUE(call(*stub, &Stub::StopSS).success);
  EXPECT_EQ(logLines(), (std::vector<std::string>{serving, "StartSS", "StartSS", "StopSS"}));

  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  const auto code = waitExit(pid_);
  ASSERT_TRUE(code.has_value()) << "no exit after SIGTERM";
  pid_ = -1;
  EXPECT_EQ(*code, 0);
}

TEST_F(DaemonExecutableTest, ClearAppendsALineAndExitsZero) {
  std::ofstream(dir_ / "Vandrel-server-daemon.log") << "serve 50051\nStopSS\n";
  pid_ = spawn({"-clear"});
  ASSERT_GT(pid_, 0);
  const auto code = waitExit(pid_);
  ASSERT_TRUE(code.has_value());
  pid_ = -1;
  EXPECT_EQ(*code, 0);
  EXPECT_EQ(logLines(), (std::vector<std::string>{"serve 50051", "StopSS", "clear"}));
}

TEST_F(DaemonExecutableTest, RefusesABadPortFileOrATakenPort) {
  DaemonStandin holder;
  ASSERT_TRUE(holder.start().ok());
  struct Case {
    const char* name;
    std::string portFile;
    int exitCode;
  };
  const Case cases[] = {
      {"not a number", "port", 2},
      {"out of range", "70000", 2},
      {"zero", "0", 2},
      {"negative", "-5", 2},
      {"empty", "", 2},
      {"taken", std::to_string(holder.port()), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writePortFile(c.portFile);
    pid_ = spawn();
    ASSERT_GT(pid_, 0);
    const auto code = waitExit(pid_);
    ASSERT_TRUE(code.has_value()) << "still running";
    pid_ = -1;
    EXPECT_EQ(*code, c.exitCode);
  }
  EXPECT_TRUE(logLines().empty());
}

}  // namespace
}  // namespace vandrel::test_support
