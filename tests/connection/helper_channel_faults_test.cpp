// The helper client against a scripted helper on a temp socket: replies
// that are malformed, oversized, cut short, of the wrong kind or for
// another request, a helper that drops the connection or comes back after
// a restart, and a client that goes away while a reply is still owed.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connection/daemon_register.h"
#include "connection/helper_channel.h"
#include "platform/clock.h"
#include "platform/ipc.h"
#include "proto/helper.pb.h"
#include "tests/connection/callback_calls.h"
#include "tests/support/temp_dir.h"

namespace vandrel::connection {
namespace {

using namespace std::chrono_literals;
using testing_support::Calls;
using testing_support::TextCalls;
using testing_support::contains;
namespace wire = helper::wire;

constexpr std::string_view kCommunication = "Couldn\u2019t communicate with a helper application";

std::string frame(const std::string& payload) {
  const auto header = platform::ipc::frameHeader(static_cast<std::uint32_t>(payload.size()));
  return std::string(header.data(), header.size()) + payload;
}

std::string replyFrame(wire::Reply reply, std::uint64_t id) {
  reply.set_id(id);
  return frame(reply.SerializeAsString());
}

wire::Reply textReply(std::optional<std::string> value) {
  wire::Reply reply;
  auto* text = reply.mutable_text();
  if (value) text->set_value(*value);
  return reply;
}

// What the scripted helper does with one request: the bytes it writes back
// (whole frames or not), whether it then closes the connection, and whether
// it holds the bytes until the test lets them go.
struct Answer {
  std::string bytes;
  bool close = false;
  bool hold = false;
};

// A helper played by the test on a Unix socket, running as the test's own
// user. Each request is read as a frame and answered by the script.
class ScriptedHelper {
 public:
  using Script = std::function<Answer(const wire::Request&)>;

  explicit ScriptedHelper(std::string path) : path_(std::move(path)) { listen(); }
  ~ScriptedHelper() { stop(); }

  void setScript(Script script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
  }
  // Writes the held answers (those of connections still open).
  void releaseHeld() {
    std::vector<std::pair<int, std::string>> held;
    {
      std::lock_guard lock(mutex_);
      held.swap(held_);
    }
    for (auto& [fd, bytes] : held) writeAll(fd, bytes);
  }
  int requestCount() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  int connectionCount() {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
  }
  testing::AssertionResult waitForRequests(int n, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, timeout, [&] { return requests_ >= n; })) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << requests_ << " of " << n << " requests came";
  }
  // Stops listening and closes every connection, as a helper that exits.
  void stop() {
    if (listener_ >= 0) {
      ::shutdown(listener_, SHUT_RDWR);
      if (acceptThread_.joinable()) acceptThread_.join();
      ::close(listener_);
      listener_ = -1;
      ::unlink(path_.c_str());
    }
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      for (const int fd : connections_) ::shutdown(fd, SHUT_RDWR);
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
    std::lock_guard lock(mutex_);
    for (const int fd : connections_) ::close(fd);
    connections_.clear();
    held_.clear();
  }

 private:
  void listen() {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path_.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, path_.c_str(), path_.size());
    ASSERT_EQ(0, ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    ASSERT_EQ(0, ::listen(listener_, 8));
    acceptThread_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard lock(mutex_);
        connections_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
      }
    });
  }

  static bool readExact(int fd, char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::read(fd, data, size);
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
  static void writeAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  void serve(int fd) {
    for (;;) {
      unsigned char header[4];
      if (!readExact(fd, reinterpret_cast<char*>(header), sizeof(header))) break;
      const std::uint32_t size =
          (std::uint32_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
      std::string payload(size, '\0');
      if (!readExact(fd, payload.data(), size)) break;
      wire::Request request;
      if (!request.ParseFromString(payload)) break;
      Answer answer;
      {
        std::lock_guard lock(mutex_);
        ++requests_;
        cv_.notify_all();
        answer = script_ ? script_(request) : Answer{};
        if (answer.hold) held_.emplace_back(fd, answer.bytes);
      }
      if (!answer.hold) writeAll(fd, answer.bytes);
      if (answer.close) break;
    }
    ::shutdown(fd, SHUT_RDWR);
  }

  const std::string path_;
  int listener_ = -1;
  std::thread acceptThread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  Script script_;
  int requests_ = 0;
  std::vector<int> connections_;
  std::vector<std::thread> threads_;
  std::vector<std::pair<int, std::string>> held_;
};

// The version every well-behaved answer carries.
Answer version(const wire::Request& request) {
  return Answer{replyFrame(textReply(std::string("1024")), request.id())};
}

class HelperChannelFaultsTest : public testing::Test {
 protected:
  std::string socketPath() const { return (dir_.path() / "helper.sock").string(); }
  std::unique_ptr<DaemonRegister> makeClient() {
    DaemonRegister::Options options;
    options.socketPath = socketPath();
    options.helperUid = ::getuid();
    return std::make_unique<DaemonRegister>(options);
  }
  std::optional<std::string> checkDaemon() {
    TextCalls calls;
    client_->checkDaemonCallBack(calls.callBack());
    EXPECT_TRUE(calls.exactly(1));
    return calls.at(0);
  }

  test_support::TempDir dir_{"vandrel-hc"};
  ScriptedHelper helper_{socketPath()};
  std::unique_ptr<DaemonRegister> client_ = makeClient();
};

TEST_F(HelperChannelFaultsTest, AnUnusableReplyFailsThePendingCommandsOnceAndTheNextOneReconnects) {
  struct Case {
    const char* name;
    std::function<Answer(const wire::Request&)> answer;
  };
  const std::vector<Case> cases = {
      {"not a reply", [](const wire::Request&) { return Answer{frame("\xff\xff\xff")}; }},
      {"a reply for another request",
       [](const wire::Request& r) { return Answer{replyFrame(textReply("1024"), r.id() + 7)}; }},
      {"a reply without an id",
       [](const wire::Request&) { return Answer{replyFrame(textReply("1024"), 0)}; }},
      {"an oversized frame",
       [](const wire::Request&) { return Answer{std::string("\x00\x20\x00\x00", 4) + "xx"}; }},
      {"a frame cut short",
       [](const wire::Request&) {
         return Answer{std::string("\x00\x00\x00\x40", 4) + "ab", true};
       }},
      {"a dropped connection",
       [](const wire::Request&) {
         return Answer{"", true};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The first request is never answered, so only the end of the
    // connection can fail it; the second gets the faulty answer.
    int seen = 0;
    helper_.setScript(
        [&](const wire::Request& request) { return ++seen == 2 ? c.answer(request) : Answer{}; });
    TextCalls first, second;
    client_->checkDaemonCallBack(first.callBack());
    client_->checkDaemonCallBack(second.callBack());
    ASSERT_TRUE(first.exactly(1));
    ASSERT_TRUE(second.exactly(1));
    EXPECT_TRUE(contains(first.at(0), kCommunication)) << first.at(0).value_or("<nil>");
    EXPECT_TRUE(contains(first.at(0), "Code=4097")) << first.at(0).value_or("<nil>");
    EXPECT_TRUE(contains(second.at(0), kCommunication)) << second.at(0).value_or("<nil>");
    EXPECT_EQ(0u, client_->pendingCountForTesting());

    helper_.setScript(version);
    EXPECT_EQ("1024", checkDaemon());
  }
}

TEST_F(HelperChannelFaultsTest, AReplyOfTheWrongKindFailsOnlyItsCommand) {
  helper_.setScript([](const wire::Request& request) {
    if (request.has_check_and_run_server()) {
      wire::Reply lines;
      lines.mutable_lines()->add_lines("started");
      return Answer{replyFrame(lines, request.id())};
    }
    if (request.has_delete_routes_when_app_killed()) {
      return Answer{replyFrame(textReply(std::nullopt), request.id())};
    }
    return version(request);
  });
  TextCalls load, registered;
  client_->checkAndLoad(load.callBack());
  client_->deleteRoutesWhenAppKilled({"10.0.0.0/8"}, registered.callBack());
  ASSERT_TRUE(load.exactly(1));
  ASSERT_TRUE(registered.exactly(1));
  // Not the nil of a started daemon or of registered routes.
  EXPECT_TRUE(contains(load.at(0), "unexpected reply")) << load.at(0).value_or("<nil>");
  EXPECT_TRUE(contains(registered.at(0), "unexpected reply")) << registered.at(0).value_or("<nil>");
  EXPECT_EQ("1024", checkDaemon());
  EXPECT_EQ(3, helper_.requestCount());  // one connection served all three
}

TEST_F(HelperChannelFaultsTest, ACommandTooBigToSendFailsAloneAndTheOthersGetTheirAnswers) {
  helper_.setScript([](const wire::Request& request) {
    auto answer = version(request);
    answer.hold = true;
    return answer;
  });
  TextCalls owed, routes;
  client_->checkDaemonCallBack(owed.callBack());
  ASSERT_TRUE(helper_.waitForRequests(1));
  // More than the 1 MiB a frame may carry.
  client_->deleteRoutes(std::vector<std::string>(70'000, "203.0.113.0/24"), routes.callBack());
  ASSERT_TRUE(routes.exactly(1));
  EXPECT_TRUE(contains(routes.at(0), kCommunication)) << routes.at(0).value_or("<nil>");

  helper_.releaseHeld();
  ASSERT_TRUE(owed.exactly(1));
  EXPECT_EQ("1024", owed.at(0));
  EXPECT_EQ(1, helper_.requestCount());
}

TEST_F(HelperChannelFaultsTest, AnAnswerThatComesAfterTheClientWentAwayIsDropped) {
  helper_.setScript([](const wire::Request& request) {
    auto answer = version(request);
    answer.hold = true;
    return answer;
  });
  TextCalls owed;
  client_->checkDaemonCallBack(owed.callBack());
  ASSERT_TRUE(helper_.waitForRequests(1));
  client_.reset();
  ASSERT_TRUE(owed.exactly(1));
  EXPECT_TRUE(contains(owed.at(0), kCommunication)) << owed.at(0).value_or("<nil>");
  helper_.releaseHeld();
  EXPECT_TRUE(owed.exactly(1, 200ms));
}

TEST_F(HelperChannelFaultsTest, ACommandAfterTheHelperRestartedReachesTheNewHelper) {
  helper_.setScript(version);
  ASSERT_EQ("1024", checkDaemon());
  helper_.stop();
  ScriptedHelper restarted(socketPath());
  restarted.setScript(version);
  // The first command may still meet the old connection; the next one
  // connects anew.
  auto first = checkDaemon();
  if (first != "1024") {
    EXPECT_TRUE(contains(first, kCommunication)) << first.value_or("<nil>");
    EXPECT_EQ("1024", checkDaemon());
  }
  EXPECT_EQ("1024", checkDaemon());
}

// The helper closes connections that stay silent; the client does not
// send on one that has been quiet nearly that long, so a command never
// meets that close halfway.
TEST_F(HelperChannelFaultsTest, AConnectionQuietForItsReuseLimitIsReplacedBeforeTheNextCommand) {
  helper_.setScript(version);
  platform::ManualClock clock;
  HelperChannel channel({socketPath(), ::getuid(), 4min, &clock});
  const auto sendOne = [&] {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<HelperOutcome> outcome;
    wire::Request request;
    request.mutable_check_daemon();
    channel.send(request, [&](HelperOutcome o) {
      std::lock_guard lock(mutex);
      outcome = std::move(o);
      cv.notify_all();
    });
    std::unique_lock lock(mutex);
    EXPECT_TRUE(cv.wait_for(lock, 10s, [&] { return outcome.has_value(); }));
    return outcome && !outcome->error;
  };
  ASSERT_TRUE(sendOne());
  ASSERT_TRUE(sendOne());
  EXPECT_EQ(1, helper_.connectionCount()) << "a busy connection is used again";
  clock.advance(4min - 1ms);
  ASSERT_TRUE(sendOne());
  EXPECT_EQ(1, helper_.connectionCount());
  clock.advance(4min);
  ASSERT_TRUE(sendOne());
  EXPECT_EQ(2, helper_.connectionCount());
}

}  // namespace
}  // namespace vandrel::connection
