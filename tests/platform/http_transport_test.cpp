// Trust policies, transport errors, time-outs and cancellation.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "platform/dispatch.h"
#include "platform/http.h"
#include "tests/support/ports.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace vandrel::platform {
namespace {

using namespace std::chrono_literals;
using test_support::NoListenerPort;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

struct Collector {
  std::shared_ptr<std::vector<HttpResponse>> got = std::make_shared<std::vector<HttpResponse>>();

  HttpCompletion completion() const {
    return [got = got](HttpResponse r) { got->push_back(std::move(r)); };
  }
  ::testing::AssertionResult waitFor(std::size_t n, Duration timeout = 10s) const {
    if (mainQueue().runUntil([&] { return got->size() >= n; }, timeout)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << got->size() << " of " << n << " completions arrived";
  }
};

HttpResponse roundTrip(HttpSession& session, HttpRequest request) {
  Collector c;
  session.send(std::move(request), mainQueue(), c.completion());
  EXPECT_TRUE(c.waitFor(1));
  return c.got->empty() ? HttpResponse{} : c.got->front();
}

HttpRequest get(std::string url) {
  HttpRequest r;
  r.url = std::move(url);
  return r;
}

void expectError(const HttpResponse& r, UrlError code) {
  ASSERT_TRUE(r.error.has_value()) << "status " << r.status;
  EXPECT_EQ(*r.error, makeUrlError(code)) << r.error->message;
  EXPECT_TRUE(r.body.empty());
}

// A one-shot HTTP peer on a raw socket: records the request bytes exactly
// as sent and answers with canned bytes, for what a real server hides
// (header order) or never sends (malformed replies).
class RawHttpPeer {
 public:
  explicit RawHttpPeer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("raw peer: cannot listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawHttpPeer() {
    thread_.join();
    ::close(fd_);
  }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string received() {
    auto f = received_.get_future();
    return f.wait_for(10s) == std::future_status::ready ? f.get() : std::string();
  }

 private:
  void serve() {
    pollfd p{fd_, POLLIN, 0};
    std::string request;
    if (::poll(&p, 1, 10'000) == 1) {
      int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      char buffer[4096];
      while (true) {
        pollfd c{conn, POLLIN, 0};
        if (::poll(&c, 1, 10'000) != 1) break;
        ssize_t n = ::read(conn, buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
        auto end = request.find("\r\n\r\n");
        if (end == std::string::npos) continue;
        auto cl = request.find("Content-Length: ");
        std::size_t length = cl == std::string::npos ? 0 : std::stoul(request.substr(cl + 16));
        if (request.size() >= end + 4 + length) break;
      }
      (void)!::send(conn, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::shutdown(conn, SHUT_RDWR);
      ::close(conn);
    }
    received_.set_value(request);
  }

  std::string reply_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::promise<std::string> received_;
};

// ---- What goes on the wire -------------------------------------------------

TEST(HttpWireTest, RequestHeadersGoOutInTheCallersOrderWithNothingAdded) {
  RawHttpPeer peer(
      "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nX-Folded: one\r\n two\r\n"
      "set-cookie: ABS_KRLWIFISS=xyz; path=/\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  HttpSession session{HttpSessionConfig{}};
  HttpRequest request;
  request.method = "POST";
  request.url = peer.url("/api/1/x");
  request.headers = {{"X-B", "2"}, {"Cookie", "c=1"}, {"X-A", "1"}, {"X-Empty", ""}};
  request.body = HttpBody::bytes("{}");
  HttpResponse r = roundTrip(session, std::move(request));
  std::string sent = peer.received();

  ASSERT_TRUE(r.ok()) << r.error->message;
  EXPECT_EQ(r.body, "ok");
  EXPECT_EQ(r.headers.values("Set-Cookie"),
            (std::vector<std::string>{"a=1", "ABS_KRLWIFISS=xyz; path=/"}));
  EXPECT_EQ(r.headers.value("x-folded"), "one two");
  auto b = sent.find("\r\nX-B: 2\r\n");
  auto cookie = sent.find("\r\nCookie: c=1\r\n");
  auto a = sent.find("\r\nX-A: 1\r\n");
  ASSERT_NE(b, std::string::npos) << sent;
  ASSERT_NE(cookie, std::string::npos) << sent;
  ASSERT_NE(a, std::string::npos) << sent;
  EXPECT_LT(b, cookie);
  EXPECT_LT(cookie, a);
  EXPECT_NE(sent.find("\r\nX-Empty:"), std::string::npos) << sent;
  EXPECT_NE(sent.find("\r\nContent-Length: 2\r\n"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("Content-Type"), std::string::npos) << sent;
  EXPECT_EQ(sent.find("Expect"), std::string::npos) << sent;
  EXPECT_TRUE(sent.ends_with("\r\n\r\n{}")) << sent;
}

TEST(HttpWireTest, ReplyWithoutStatusLineIsABadServerResponse) {
  RawHttpPeer peer("this is not http\r\n\r\n");
  HttpSession session{HttpSessionConfig{}};
  expectError(roundTrip(session, get(peer.url("/"))), UrlError::BadServerResponse);
}

TEST(HttpWireTest, ReplyBodyCapHoldsForAnnouncedAndUnannouncedLengths) {
  constexpr std::uint64_t kCap = 4096;
  const std::string announcesAGigabyte = "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n";
  auto closeDelimited = [](std::size_t size) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(size, 'z');
  };
  struct Case {
    const char* name;
    const char* method;
    std::string reply;
    bool arrives;
  } cases[] = {
      // The peer closes after a few bytes: only a check of the announced
      // length, before the body, tells this apart from a lost connection.
      {"announced over the cap", "GET", announcesAGigabyte + "abc", false},
      {"announced for HEAD, which has no body", "HEAD", announcesAGigabyte, true},
      {"no length, one byte over the cap", "GET", closeDelimited(kCap + 1), false},
      {"no length, at the cap", "GET", closeDelimited(kCap), true},
  };
  HttpSession session{HttpSessionConfig{}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpPeer peer(c.reply);
    HttpRequest request = get(peer.url("/big"));
    request.method = c.method;
    request.maxBodyBytes = kCap;
    HttpResponse r = roundTrip(session, std::move(request));
    peer.received();
    if (c.arrives) {
      ASSERT_TRUE(r.ok()) << r.error->message;
      EXPECT_EQ(r.status, 200);
    } else {
      expectError(r, UrlError::DataLengthExceedsMaximum);
    }
  }
}

// ---- Trust -----------------------------------------------------------------

TEST(HttpTrustTest, PoliciesAcceptOnlyServersThatChainToTheirCertificatesAndNameTheHost) {
  const auto& ca = TestCertificateAuthority::shared();
  TestCertificateAuthority otherCa("Other Test CA");
  auto trusted = ServiceStandin::https();
  auto byOtherCa = ServiceStandin::https(otherCa);
  auto otherSan = ServiceStandin::https(ca, {"api.other.invalid"});
  for (auto* s : {trusted.get(), byOtherCa.get(), otherSan.get()}) s->replyTo("/ping", 200, "pong");
  std::string caFile = testing::TempDir() + "/vandrel-test-ca.pem";
  ASSERT_TRUE(test_support::writeTextFile(caFile, ca.pem()));

  auto pinnedCa = TrustPolicy::pinned({otherCa.der(), ca.der()}).value();
  auto pinnedLeaf = TrustPolicy::pinned({trusted->certificateDer()}).value();
  auto anchorsCa = TrustPolicy::anchorsOnly({ca.der()}).value();
  auto anchorsLeaf = TrustPolicy::anchorsOnly({trusted->certificateDer()}).value();
  struct Case {
    const char* name;
    ServiceStandin* server;
    std::optional<TrustPolicy> policy;  // for 127.0.0.1; none: the default policy
    TrustPolicy defaultPolicy;
    std::optional<UrlError> error;
  } cases[] = {
      {"pinned CA", trusted.get(), pinnedCa, TrustPolicy::systemDefault(), std::nullopt},
      {"pinned leaf", trusted.get(), pinnedLeaf, TrustPolicy::systemDefault(), std::nullopt},
      {"pinned, other CA", byOtherCa.get(), TrustPolicy::pinned({ca.der()}).value(),
       TrustPolicy::systemDefault(), UrlError::ServerCertificateUntrusted},
      {"pinned, other SAN", otherSan.get(), pinnedCa, TrustPolicy::systemDefault(),
       UrlError::ServerCertificateUntrusted},
      {"anchors-only CA", trusted.get(), anchorsCa, TrustPolicy::systemDefault(), std::nullopt},
      {"anchors-only refuses a leaf as root", trusted.get(), anchorsLeaf,
       TrustPolicy::systemDefault(), UrlError::ServerCertificateUntrusted},
      {"anchors-only, other SAN", otherSan.get(), anchorsCa, TrustPolicy::systemDefault(),
       UrlError::ServerCertificateUntrusted},
      {"default with the CA file", trusted.get(), std::nullopt, TrustPolicy::systemDefault(caFile),
       std::nullopt},
      {"default, other CA", byOtherCa.get(), std::nullopt, TrustPolicy::systemDefault(caFile),
       UrlError::ServerCertificateUntrusted},
      {"system store does not know the test CA", trusted.get(), std::nullopt,
       TrustPolicy::systemDefault(), UrlError::ServerCertificateUntrusted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpSessionConfig config;
    config.defaultTrust = c.defaultPolicy;
    if (c.policy) config.hostTrust.emplace("127.0.0.1", *c.policy);
    HttpSession session(config);
    HttpResponse r = roundTrip(session, get(c.server->url("/ping")));
    if (c.error) {
      expectError(r, *c.error);
    } else {
      ASSERT_TRUE(r.ok()) << r.error->message;
      EXPECT_EQ(r.body, "pong");
    }
  }
}

TEST(HttpTrustTest, PolicyIsPickedByHostNameWhateverThePort) {
  const auto& ca = TestCertificateAuthority::shared();
  auto service = ServiceStandin::https();
  service->replyTo("/ping", 200, "pong");
  std::string url = "https://localhost:" + std::to_string(service->port()) + "/ping";

  HttpSessionConfig pinned;
  pinned.hostTrust.emplace("LocalHost", TrustPolicy::pinned({ca.der()}).value());
  HttpSession pinnedSession(pinned);
  HttpResponse r = roundTrip(pinnedSession, get(url));
  ASSERT_TRUE(r.ok()) << r.error->message;

  HttpSessionConfig otherHost;
  otherHost.hostTrust.emplace("api.example.invalid", TrustPolicy::pinned({ca.der()}).value());
  HttpSession otherHostSession(otherHost);
  expectError(roundTrip(otherHostSession, get(url)), UrlError::ServerCertificateUntrusted);
}

TEST(HttpTrustTest, ConnectionCheckedForOneSessionIsNotReusedByAnotherPolicy) {
  const auto& ca = TestCertificateAuthority::shared();
  TestCertificateAuthority otherCa("Other Test CA");
  auto service = ServiceStandin::https();
  service->replyTo("/ping", 200, "pong");
  HttpSessionConfig good;
  good.hostTrust.emplace("127.0.0.1", TrustPolicy::pinned({ca.der()}).value());
  HttpSessionConfig wrong;
  wrong.hostTrust.emplace("127.0.0.1", TrustPolicy::pinned({otherCa.der()}).value());
  HttpSession first(good);
  HttpSession second(wrong);
  ASSERT_TRUE(roundTrip(first, get(service->url("/ping"))).ok());
  // The first session's open connection to the same host and port must
  // not let the second skip its own check.
  expectError(roundTrip(second, get(service->url("/ping"))), UrlError::ServerCertificateUntrusted);
}

TEST(HttpTrustTest, CertificatesThatDoNotParseAreRefusedWhenThePolicyIsMade) {
  const auto& ca = TestCertificateAuthority::shared();
  auto bad = TrustPolicy::pinned({ca.der(), "not a certificate"});
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(bad.error().message.find("certificate 1"), std::string::npos);
  EXPECT_FALSE(TrustPolicy::pinned({ca.der().substr(0, ca.der().size() - 1)}).ok());
  EXPECT_FALSE(TrustPolicy::anchorsOnly({}).ok());
  EXPECT_EQ(TrustPolicy::pinned({ca.der(), ca.der()}).value().certificateCount(), 2u);
}

// ---- Transport errors and time-outs ----------------------------------------

TEST(HttpErrorsTest, TransportFailuresMapToTheirCodes) {
  NoListenerPort closed;
  auto dropping = ServiceStandin::https();
  dropping->dropEveryConnection();
  HttpSessionConfig config;
  config.hostTrust.emplace("127.0.0.1",
                           TrustPolicy::pinned({TestCertificateAuthority::shared().der()}).value());
  HttpSession session(config);

  expectError(roundTrip(session, get("https://127.0.0.1:" + std::to_string(closed.port()) + "/x")),
              UrlError::CannotConnectToHost);
  expectError(roundTrip(session, get(dropping->url("/api/2/line/connectfree"))),
              UrlError::NetworkConnectionLost);
  EXPECT_TRUE(dropping->waitForRequest("/api/2/line/connectfree", 1s));
  expectError(roundTrip(session, get("not a url")), UrlError::BadUrl);
  expectError(roundTrip(session, get("ftp://127.0.0.1/x")), UrlError::BadUrl);
}

TEST(HttpErrorsTest, IdleTimeOutFiresWhileTheServerSaysNothing) {
  auto service = ServiceStandin::https();
  service->replyTo("/slow", ScriptedReply{200, {}, "late", 5000ms});
  service->replyTo("/quick", 200, "fast");
  HttpSessionConfig config;
  config.idleTimeout = 300ms;
  config.hostTrust.emplace("127.0.0.1",
                           TrustPolicy::pinned({TestCertificateAuthority::shared().der()}).value());
  HttpSession session(config);

  expectError(roundTrip(session, get(service->url("/slow"))), UrlError::TimedOut);
  // The session still serves after a time-out. This request's own idle
  // limit is a generous one: a loaded machine may well pause a TLS
  // handshake for longer than the 300 ms the session is given above.
  HttpRequest quick = get(service->url("/quick"));
  quick.idleTimeout = 10s;
  EXPECT_EQ(roundTrip(session, quick).body, "fast");

  HttpRequest patient = get(service->url("/quick"));
  patient.idleTimeout = 10s;
  patient.totalTimeout = 200ms;
  service->replyTo("/quick", ScriptedReply{200, {}, "late", 5000ms});
  expectError(roundTrip(session, std::move(patient)), UrlError::TimedOut);
}

TEST(HttpErrorsTest, IdleTimeOutCoversConnecting) {
  // A listener whose backlog is full never completes the handshake.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 0), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    (void)!::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(c);
  }
  HttpSessionConfig config;
  config.idleTimeout = 300ms;
  HttpSession session(config);
  HttpResponse r =
      roundTrip(session, get("https://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/"));
  for (int c : fillers) ::close(c);
  ::close(fd);
  expectError(r, UrlError::TimedOut);
}

// ---- Cancellation ----------------------------------------------------------

class HttpCancelTest : public ::testing::Test {
 protected:
  HttpSessionConfig pinned() const {
    HttpSessionConfig config;
    config.hostTrust.emplace("127.0.0.1",
                             TrustPolicy::pinned({TestCertificateAuthority::shared().der()}).value());
    return config;
  }

  std::unique_ptr<ServiceStandin> service_ = ServiceStandin::https();
};

TEST_F(HttpCancelTest, CancellingOneSessionLeavesAnotherSessionsRequestAlone) {
  service_->replyTo("/slow", ScriptedReply{200, {}, "done", 400ms});
  HttpSession signedOut(pinned());
  HttpSession other(pinned());
  Collector cancelled;
  Collector kept;
  signedOut.send(get(service_->url("/slow")), mainQueue(), cancelled.completion());
  signedOut.send(get(service_->url("/slow")), mainQueue(), cancelled.completion());
  other.send(get(service_->url("/slow")), mainQueue(), kept.completion());
  ASSERT_TRUE(service_->waitForRequest("/slow", 5s, 3));

  signedOut.cancelAll();
  EXPECT_EQ(signedOut.inFlightCount(), 0u);
  ASSERT_TRUE(kept.waitFor(1));
  ASSERT_TRUE(cancelled.waitFor(2));
  for (const auto& r : *cancelled.got) expectError(r, UrlError::Cancelled);
  ASSERT_TRUE(kept.got->front().ok()) << kept.got->front().error->message;
  EXPECT_EQ(kept.got->front().body, "done");
  mainQueue().runFor(600ms);  // past the cancelled requests' replies
  EXPECT_EQ(cancelled.got->size(), 2u);
  EXPECT_EQ(kept.got->size(), 1u);
}

TEST_F(HttpCancelTest, CancelledRequestCompletesExactlyOnceHoweverOftenItIsCancelled) {
  service_->replyTo("/slow", ScriptedReply{200, {}, "done", 300ms});
  service_->replyTo("/fast", 200, "fast");
  HttpSession session(pinned());
  Collector c;
  Collector sibling;
  HttpTask task = session.send(get(service_->url("/slow")), mainQueue(), c.completion());
  session.send(get(service_->url("/fast")), mainQueue(), sibling.completion());
  task.cancel();
  task.cancel();
  session.cancelAll();  // also reaches the sibling if it is still in flight
  ASSERT_TRUE(c.waitFor(1));
  expectError(c.got->front(), UrlError::Cancelled);
  EXPECT_EQ(c.got->front().url, service_->url("/slow"));
  ASSERT_TRUE(sibling.waitFor(1));
  mainQueue().runFor(500ms);
  task.cancel();
  mainQueue().runPending();
  EXPECT_EQ(c.got->size(), 1u);
  EXPECT_EQ(sibling.got->size(), 1u);
}

TEST_F(HttpCancelTest, CancelRacingTheReplyStillCompletesEachRequestOnce) {
  service_->replyTo("/fast", 200, "fast");
  HttpSession session(pinned());
  constexpr int kCount = 60;
  Collector c;
  for (int i = 0; i < kCount; ++i) {
    HttpTask task = session.send(get(service_->url("/fast")), mainQueue(), c.completion());
    if (i % 3 == 0) std::this_thread::yield();
    task.cancel();
  }
  ASSERT_TRUE(c.waitFor(kCount));
  mainQueue().runFor(300ms);
  EXPECT_EQ(c.got->size(), static_cast<std::size_t>(kCount));
  for (const auto& r : *c.got) {
    if (!r.ok()) expectError(r, UrlError::Cancelled);
  }
}

TEST_F(HttpCancelTest, DestroyingASessionCancelsWhatIsInFlight) {
  service_->replyTo("/slow", ScriptedReply{200, {}, "done", 300ms});
  Collector c;
  {
    HttpSession session(pinned());
    session.send(get(service_->url("/slow")), mainQueue(), c.completion());
    ASSERT_TRUE(service_->waitForRequest("/slow", 5s));
  }
  ASSERT_TRUE(c.waitFor(1));
  expectError(c.got->front(), UrlError::Cancelled);
}

TEST_F(HttpCancelTest, EngineStoppingCancelsItsRequestsAndRefusesNewOnes) {
  service_->replyTo("/slow", ScriptedReply{200, {}, "done", 300ms});
  auto engine = std::make_unique<HttpEngine>();
  HttpSession session(pinned(), *engine);
  Collector c;
  session.send(get(service_->url("/slow")), mainQueue(), c.completion());
  ASSERT_TRUE(service_->waitForRequest("/slow", 5s));
  engine.reset();
  session.send(get(service_->url("/slow")), mainQueue(), c.completion());
  ASSERT_TRUE(c.waitFor(2));
  for (const auto& r : *c.got) expectError(r, UrlError::Cancelled);
}

}  // namespace
}  // namespace vandrel::platform
