// Which redirects keep the caller's credentials: only those that stay on one
// origin (scheme, host and port, the scheme's default port written or not).
// The default ports are bound inside the private network namespace of
// scripts/netns-run; the same-port scheme change runs anywhere.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/http.h"
#include "platform/sync.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace vandrel::platform {
namespace {

using namespace std::chrono_literals;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

bool insidePrivateNamespace() {
  const char* flag = std::getenv("VANDREL_IN_NETNS");
  return flag && std::string(flag) == "1";
}

int connectLoopback(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// One loopback port that speaks both schemes, as a server may: a connection
// opening with a TLS handshake record is relayed to the HTTPS stand-in, any
// other to the plain one. So a redirect can change the scheme alone.
class SchemeSplitter {
 public:
  SchemeSplitter(std::uint16_t port, std::uint16_t tlsPort, std::uint16_t plainPort)
      : tlsPort_(tlsPort), plainPort_(plainPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t len = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      ::close(listener_);
      throw std::runtime_error("splitter: cannot listen on port " + std::to_string(port));
    }
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~SchemeSplitter() {
    stopping_ = true;
    acceptor_.join();
    std::vector<std::thread> relays;
    {
      MutexLock lock(mutex_);
      relays.swap(relays_);
    }
    for (auto& t : relays) t.join();
    ::close(listener_);
  }

  std::uint16_t port() const { return port_; }

 private:
  void acceptLoop() {
    while (!stopping_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::thread relayThread([this, client] { relay(client); });
      MutexLock lock(mutex_);
      relays_.push_back(std::move(relayThread));
    }
  }

  void relay(int client) {
    unsigned char first = 0;
    int upstream = -1;
    for (int waited = 0; waited < 10'000 && !stopping_ && upstream < 0; waited += 50) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      if (::recv(client, &first, 1, MSG_PEEK) != 1) break;
      upstream = connectLoopback(first == 0x16 ? tlsPort_ : plainPort_);
      if (upstream < 0) break;
    }
    if (upstream >= 0) pump(client, upstream);
    ::close(client);
    if (upstream >= 0) ::close(upstream);
  }

  // Copies bytes both ways until either side closes or the splitter stops.
  void pump(int a, int b) {
    char buffer[16384];
    while (!stopping_) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      if (::poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = ::recv(p[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) return;
        int to = i == 0 ? b : a;
        for (ssize_t sent = 0; sent < n;) {
          ssize_t w = ::send(to, buffer + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
          if (w <= 0) return;
          sent += w;
        }
      }
    }
  }

  const std::uint16_t tlsPort_;
  const std::uint16_t plainPort_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  Mutex mutex_;
  std::vector<std::thread> relays_ VANDREL_GUARDED_BY(mutex_);
};

class HttpRedirectOriginTest : public ::testing::Test {
 protected:
  struct Case {
    const char* name;
    std::string from;
    std::string to;
    bool keepsCredentials;
  };

  // Sends credentials to `from`, which redirects to `to`; checks what the
  // stand-in of `to`'s scheme received.
  void expectRedirect(const Case& c) {
    SCOPED_TRACE(c.name);
    ServiceStandin& target = c.to.starts_with("https:") ? *tls_ : *plain_;
    for (ServiceStandin* s : {tls_.get(), plain_.get()}) {
      s->replyTo("/from", ScriptedReply{302, {{"Location", c.to}}, "", 0ms});
      s->replyTo("/to", 200, "arrived");
      s->clearLog();
    }
    HttpRequest request;
    request.url = c.from;
    request.headers = {{"Cookie", "ABS_KRLWIFISS=secret"},
                       {"Authorization", "Bearer secret"},
                       {"X-Kept", "1"}};
    auto got = std::make_shared<std::optional<HttpResponse>>();
    session_.send(std::move(request), mainQueue(), [got](HttpResponse r) { *got = std::move(r); });
    ASSERT_TRUE(mainQueue().runUntil([&] { return got->has_value(); }, 10s));
    const HttpResponse& r = **got;
    ASSERT_TRUE(r.ok()) << r.error->message;
    EXPECT_EQ(r.body, "arrived");
    auto seen = target.requestsTo("/to");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header("X-Kept"), "1");
    EXPECT_EQ(seen[0].header("Cookie").has_value(), c.keepsCredentials);
    EXPECT_EQ(seen[0].header("Authorization").has_value(), c.keepsCredentials);
  }

  std::unique_ptr<ServiceStandin> tls_ = ServiceStandin::https();
  std::unique_ptr<ServiceStandin> plain_ = ServiceStandin::http();
  HttpEngine engine_;
  HttpSession session_{[] {
                         HttpSessionConfig config;
                         config.hostTrust.emplace(
                             "127.0.0.1",
                             TrustPolicy::pinned({TestCertificateAuthority::shared().der()}).value());
                         return config;
                       }(),
                       engine_};
};

TEST_F(HttpRedirectOriginTest, CredentialsFollowOnlyWithinOneOrigin) {
  SchemeSplitter both(0, tls_->port(), plain_->port());
  std::string hostPort = "127.0.0.1:" + std::to_string(both.port());
  const Case cases[] = {
      {"same scheme, host and port", "https://" + hostPort + "/from", "https://" + hostPort + "/to",
       true},
      {"same host, another port", "https://" + hostPort + "/from", tls_->url("/to"), false},
      {"https to http, same port", "https://" + hostPort + "/from", "http://" + hostPort + "/to",
       false},
      {"https to http, another port", "https://" + hostPort + "/from", plain_->url("/to"), false},
  };
  for (const auto& c : cases) expectRedirect(c);
}

TEST_F(HttpRedirectOriginTest, DefaultPortWrittenOrNotIsOneOrigin) {
  if (!insidePrivateNamespace()) GTEST_SKIP() << "needs the private namespace of scripts/netns-run";
  SchemeSplitter https(443, tls_->port(), plain_->port());
  SchemeSplitter http(80, tls_->port(), plain_->port());
  const Case cases[] = {
      {"https, 443 left out then written", "https://127.0.0.1/from", "https://127.0.0.1:443/to", true},
      {"http, 80 written then left out", "http://127.0.0.1:80/from", "http://127.0.0.1/to", true},
      {"https to http on default ports", "https://127.0.0.1/from", "http://127.0.0.1/to", false},
      {"https on 443 to http on 443", "https://127.0.0.1/from", "http://127.0.0.1:443/to", false},
  };
  for (const auto& c : cases) expectRedirect(c);
}

}  // namespace
}  // namespace vandrel::platform
