// The region table's flag loader over real loopback servers: the plain-HTTP
// stand-in for pictures and their size limit, and a bare socket server for a
// reply whose body never comes.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QBuffer>
#include <QImage>
#include <QPixmap>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/flag_images.h"
#include "platform/dispatch.h"
#include "tests/support/service_standin.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;
using test_support::ScriptedReply;
using test_support::ServiceStandin;

constexpr const char* kFlagPath = "/flags/jp.png";

// A 4 x 3 PNG, padded after its end chunk (which image readers ignore) to
// `size` bytes when asked.
std::string flagPng(std::size_t size = 0) {
  QImage image(4, 3, QImage::Format_RGB32);
  image.fill(QColor(200, 10, 10));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  std::string png = bytes.toStdString();
  if (png.size() < size) png.append(size - png.size(), '\0');
  return png;
}

// Answers every connection with a status line and headers announcing
// `announcedLength` bytes of body, then sends none and keeps the connection
// open until it is destroyed.
class WithheldBodyServer {
 public:
  explicit WithheldBodyServer(std::uint64_t announcedLength)
      : reply_("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
               std::to_string(announcedLength) + "\r\n\r\n") {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~WithheldBodyServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : clients_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + kFlagPath; }
  int connections() const { return connections_.load(); }

 private:
  void serve() {
    while (!stop_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (::poll(&waiting, 1, 20) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      clients_.push_back(client);
      // The request's head fits one read on loopback; its content is not
      // needed.
      char request[4096];
      pollfd readable{client, POLLIN, 0};
      if (::poll(&readable, 1, 2000) > 0) (void)::recv(client, request, sizeof request, 0);
      (void)::send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ++connections_;
    }
  }

  const std::string reply_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::vector<int> clients_;  // the serving thread's until it is joined
};

class RemoteFlagImagesTest : public ::testing::Test {
 protected:
  // The loader takes calls on the main queue only, which this thread drives.
  void load(const std::string& url, std::function<void(const QPixmap&)> done) {
    platform::mainQueue().async([this, url, done = std::move(done)] { flags_.load(url, done); });
  }

  // Pumps the main queue until `done`, asking for `url` again every 20 ms
  // meanwhile: a load that ended without a picture shows as a new request.
  ::testing::AssertionResult loadUntil(const std::string& url, const std::function<bool()>& done,
                                       std::chrono::seconds timeout = 10s) {
    auto lastAsked = std::chrono::steady_clock::now() - 1s;
    const bool reached = platform::mainQueue().runUntil(
        [&] {
          if (done()) return true;
          if (std::chrono::steady_clock::now() - lastAsked >= 20ms) {
            lastAsked = std::chrono::steady_clock::now();
            load(url, [this](const QPixmap&) { ++shown_; });
          }
          return false;
        },
        timeout);
    if (reached) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not reached in " << timeout.count() << " s";
  }

  RemoteFlagImages flags_;
  int shown_ = 0;
};

TEST_F(RemoteFlagImagesTest, AFlagIsFetchedOnceAndThenServedFromTheCache) {
  auto standin = ServiceStandin::http();
  standin->replyTo(kFlagPath, ScriptedReply{200, {{"Content-Type", "image/png"}}, flagPng()});
  std::vector<QSize> seen;
  auto record = [&seen](const QPixmap& picture) { seen.push_back(picture.size()); };
  // Two callers while the request runs share it.
  load(standin->url(kFlagPath), record);
  load(standin->url(kFlagPath), record);
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return seen.size() == 2; }));
  load(standin->url(kFlagPath), record);
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return seen.size() == 3; }));
  EXPECT_EQ(seen, std::vector<QSize>(3, QSize(4, 3)));
  EXPECT_EQ(standin->requestsTo(kFlagPath).size(), 1u);
}

TEST_F(RemoteFlagImagesTest, RepliesUpToTheLimitShowAndLongerOnesAreDropped) {
  struct Case {
    const char* path;
    std::size_t size;
    bool shown;
  };
  const Case cases[] = {
      {"/flags/exactly-the-limit.png", RemoteFlagImages::kMaxBytes, true},
      {"/flags/one-byte-more.png", RemoteFlagImages::kMaxBytes + 1, false},
  };
  auto standin = ServiceStandin::http();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    standin->replyTo(c.path, ScriptedReply{200, {{"Content-Type", "image/png"}}, flagPng(c.size)});
    shown_ = 0;
    // A dropped reply calls nobody; it shows in the next load asking again.
    ASSERT_TRUE(loadUntil(standin->url(c.path), [&] {
      return shown_ > 0 || standin->requestsTo(c.path).size() == 2;
    }));
    platform::mainQueue().runPending();
    EXPECT_EQ(shown_ > 0, c.shown);
  }
}

TEST_F(RemoteFlagImagesTest, AReplyAnnouncingMoreThanTheLimitEndsWithoutWaitingForItsBody) {
  // The body would never come: a load that read it would wait for the
  // loader's time-outs (half a minute and more) before a retry could start.
  WithheldBodyServer server(RemoteFlagImages::kMaxBytes + 1);
  ASSERT_TRUE(loadUntil(server.url(), [&] { return server.connections() >= 2; }))
      << "the first load was still waiting for the body";
  EXPECT_EQ(shown_, 0);
}

}  // namespace
}  // namespace vandrel::app
