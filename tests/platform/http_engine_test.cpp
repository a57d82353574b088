#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
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

// Collects completions delivered on the main queue, which the test pumps.
struct Collector {
  std::shared_ptr<std::vector<HttpResponse>> got = std::make_shared<std::vector<HttpResponse>>();
  std::shared_ptr<int> offQueue = std::make_shared<int>(0);

  HttpCompletion completion() const {
    return [got = got, offQueue = offQueue](HttpResponse r) {
      if (!mainQueue().isCurrent()) ++*offQueue;
      got->push_back(std::move(r));
    };
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
  EXPECT_EQ(*c.offQueue, 0) << "completion ran off the chosen queue";
  return c.got->empty() ? HttpResponse{} : c.got->front();
}

HttpRequest get(std::string url) {
  HttpRequest r;
  r.url = std::move(url);
  return r;
}

HttpRequest post(std::string url, HttpBody body, HttpHeaders headers = {}) {
  HttpRequest r;
  r.method = "POST";
  r.url = std::move(url);
  r.body = std::move(body);
  r.headers = std::move(headers);
  return r;
}

TrustPolicy pinnedTo(const std::string& der) {
  auto policy = TrustPolicy::pinned({der});
  EXPECT_TRUE(policy.ok());
  return policy.ok() ? policy.value() : TrustPolicy::systemDefault();
}

HttpSessionConfig pinnedConfig(const std::string& host, const std::string& der) {
  HttpSessionConfig config;
  config.hostTrust.emplace(host, pinnedTo(der));
  return config;
}

void expectError(const HttpResponse& r, UrlError code) {
  ASSERT_TRUE(r.error.has_value()) << "status " << r.status;
  EXPECT_EQ(*r.error, makeUrlError(code)) << r.error->message;
  EXPECT_TRUE(r.body.empty());
}

class HttpEngineTest : public ::testing::Test {
 protected:
  std::unique_ptr<ServiceStandin> service_ = ServiceStandin::https();
  HttpSession session_{pinnedConfig("127.0.0.1", TestCertificateAuthority::shared().der())};
};

// ---- Requests and replies --------------------------------------------------

TEST_F(HttpEngineTest, GetWithQueryCarriesEncodedItemsAndReturnsTheWholeReply) {
  service_->replyTo("GET", "/api/1/goods",
                    ScriptedReply{200,
                                  {{"Content-Type", "application/json"},
                                   {"Set-Cookie", "a=1"},
                                   {"Set-Cookie", "ABS_KRLWIFISS=xyz; path=/"}},
                                  R"({"status":"ok"})",
                                  0ms});
  std::string url = appendQuery(service_->url("/api/1/goods"),
                                {{"type", "vip"}, {"plan", "a b+c&d=e"}, {"n\xC3\xA4me", "\xC3\xA9"}});
  HttpResponse r = roundTrip(session_, get(url));

  ASSERT_TRUE(r.ok()) << r.error->message;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.url, url);
  EXPECT_EQ(r.body, R"({"status":"ok"})");
  EXPECT_EQ(r.headers.value("content-type"), "application/json");
  EXPECT_EQ(r.headers.values("SET-COOKIE"),
            (std::vector<std::string>{"a=1", "ABS_KRLWIFISS=xyz; path=/"}));
  auto seen = service_->requestsTo("/api/1/goods");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].query, "type=vip&plan=a%20b%2Bc%26d%3De&n%C3%A4me=%C3%A9");
  EXPECT_EQ(seen[0].param("plan"), "a b+c&d=e");
  EXPECT_EQ(seen[0].param("n\xC3\xA4me"), "\xC3\xA9");
}

TEST_F(HttpEngineTest, JsonPostSendsTheBodyWithTheCallersContentType) {
  service_->replyTo("/api/2/log", 200, R"({"code":0})");
  std::string json = R"({"project":"vandrel","logs":[{"kv":[]}]})";
  HttpResponse r = roundTrip(
      session_, post(service_->url("/api/2/log"), HttpBody::bytes(json),
                     {{"Content-Type", "application/json"}, {"Cookie", "ABS_KRLWIFISS=1"}}));

  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.body, R"({"code":0})");
  auto seen = service_->requestsTo("/api/2/log");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].body, json);
  EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[0].header("Cookie"), "ABS_KRLWIFISS=1");
}

TEST_F(HttpEngineTest, FormPostKeepsPlusAmpersandAndEqualsInValues) {
  service_->replyTo("/api/1/login", 200, "{}");
  std::string form = formEncode({{"username", "a+b@x.com"}, {"password", "p&q=r +"}});
  HttpResponse r = roundTrip(
      session_, post(service_->url("/api/1/login"), HttpBody::bytes(form),
                     {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"}}));

  ASSERT_TRUE(r.ok());
  auto seen = service_->requestsTo("/api/1/login");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].body, "username=a%2Bb%40x.com&password=p%26q%3Dr%20%2B");
  EXPECT_EQ(seen[0].param("username"), "a+b@x.com");
  EXPECT_EQ(seen[0].param("password"), "p&q=r +");
}

TEST_F(HttpEngineTest, MultipartUploadCarriesEveryPartWithNameFilenameTypeAndBytes) {
  service_->replyTo("/api/2/log/file", 200, R"({"status":"ok","code":0})");
  std::string zipped("\x1F\x8B\x08\x00\x00\xFF\r\n--x\r\n", 14);  // NULs and a fake boundary
  HttpRequest request = post(service_->url("/api/2/log/file"),
                             HttpBody::multipart({{"file", "macOS-Vandrel-2024-03-01-0-9:05:07.log.zip",
                                                   "application/zip", zipped},
                                                  {"note", "", "", "plain field"}}),
                             {{"Content-Type", "text/plain"}});  // ignored: the form sets its own
  HttpResponse r = roundTrip(session_, std::move(request));

  ASSERT_TRUE(r.ok());
  auto seen = service_->requestsTo("/api/2/log/file");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].header("Content-Type").value_or("").starts_with("multipart/form-data; boundary="));
  ASSERT_EQ(seen[0].parts.size(), 2u);
  auto file = seen[0].parts[0].name == "file" ? seen[0].parts[0] : seen[0].parts[1];
  auto note = seen[0].parts[0].name == "file" ? seen[0].parts[1] : seen[0].parts[0];
  EXPECT_EQ(file.filename, "macOS-Vandrel-2024-03-01-0-9:05:07.log.zip");
  EXPECT_EQ(file.contentType, "application/zip");
  EXPECT_EQ(file.content, zipped);
  EXPECT_EQ(note.content, "plain field");
  EXPECT_EQ(note.filename, "");
}

TEST_F(HttpEngineTest, FileBodyIsSentWholeAndAMissingFileFailsWithoutSending) {
  service_->replyTo("/upload", 200, "stored");
  auto path = std::filesystem::temp_directory_path() / ("vandrel-http-" + std::to_string(getpid()));
  std::string content(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 % 251);
  ASSERT_TRUE(test_support::writeTextFile(path, content));

  HttpResponse r = roundTrip(session_, post(service_->url("/upload"), HttpBody::file(path),
                                            {{"Content-Type", "application/octet-stream"}}));
  std::filesystem::remove(path);
  ASSERT_TRUE(r.ok()) << r.error->message;
  EXPECT_EQ(r.body, "stored");
  auto seen = service_->requestsTo("/upload");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].body == content) << "the uploaded bytes differ";

  HttpResponse missing =
      roundTrip(session_, post(service_->url("/upload"), HttpBody::file(path.string() + ".gone")));
  expectError(missing, UrlError::FileDoesNotExist);
  EXPECT_EQ(service_->requestsTo("/upload").size(), 1u);
}

TEST_F(HttpEngineTest, ErrorStatusesAndEmptyBodiesAreResponsesNotErrors) {
  service_->replyTo("/fail", 500, R"({"status":"fail"})");
  service_->replyTo("/empty", 200, "");
  struct Case {
    const char* path;
    int status;
    std::string body;
  } cases[] = {{"/fail", 500, R"({"status":"fail"})"}, {"/empty", 200, ""}, {"/unscripted", 404, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    HttpResponse r = roundTrip(session_, get(service_->url(c.path)));
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.body);
  }
}

TEST_F(HttpEngineTest, LargeReplyArrivesIntact) {
  std::string big(2 * 1024 * 1024, 'x');
  for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('a' + i / 4096 % 26);
  service_->replyTo("/big", 200, big);
  HttpResponse r = roundTrip(session_, get(service_->url("/big")));
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.body == big) << "body of " << r.body.size() << " bytes differs";
}

TEST_F(HttpEngineTest, NoCookieEngineRemembersSetCookie) {
  service_->replyTo("/login", ScriptedReply{200, {{"Set-Cookie", "ABS_KRLWIFISS=s1; path=/"}}, "", 0ms});
  service_->replyTo("/after", 200, "");
  ASSERT_TRUE(roundTrip(session_, get(service_->url("/login"))).ok());
  ASSERT_TRUE(roundTrip(session_, get(service_->url("/after"))).ok());
  auto seen = service_->requestsTo("/after");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].header("Cookie"), std::nullopt);
}

TEST_F(HttpEngineTest, RedirectPolicyIsChosenPerRequest) {
  service_->replyTo("/old", ScriptedReply{302, {{"Location", "/new"}}, "moved", 0ms});
  service_->replyTo("/new", 200, "here");

  HttpResponse followed = roundTrip(session_, post(service_->url("/old"), HttpBody::bytes("x=1"),
                                                   {{"Content-Type", "text/plain"}}));
  ASSERT_TRUE(followed.ok());
  EXPECT_EQ(followed.status, 200);
  EXPECT_EQ(followed.body, "here");
  EXPECT_EQ(followed.url, service_->url("/new"));
  auto atNew = service_->requestsTo("/new");
  ASSERT_EQ(atNew.size(), 1u);
  EXPECT_EQ(atNew[0].method, "GET");  // a POST answered with 302 continues as GET
  EXPECT_EQ(atNew[0].body, "");

  HttpRequest stay = get(service_->url("/old"));
  stay.redirects = RedirectPolicy::DontFollow;
  HttpResponse kept = roundTrip(session_, std::move(stay));
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(kept.status, 302);
  EXPECT_EQ(kept.body, "moved");
  EXPECT_EQ(kept.headers.value("location"), "/new");
  EXPECT_EQ(service_->requestsTo("/new").size(), 1u);
}

TEST_F(HttpEngineTest, EndlessRedirectsStopWithTooManyRedirects) {
  service_->replyTo("/loop", ScriptedReply{307, {{"Location", "/loop"}}, "", 0ms});
  expectError(roundTrip(session_, get(service_->url("/loop"))), UrlError::TooManyRedirects);
}

TEST_F(HttpEngineTest, ReplyBodyOverTheCapFailsAndOneAtTheCapArrives) {
  HttpSessionConfig config = pinnedConfig("127.0.0.1", TestCertificateAuthority::shared().der());
  config.maxBodyBytes = 1024;
  HttpSession capped{std::move(config)};
  struct Case {
    const char* name;
    std::size_t bodySize;
    std::optional<std::uint64_t> requestCap;
    bool arrives;
  } cases[] = {
      {"at the session cap", 1024, std::nullopt, true},
      {"one byte over the session cap", 1025, std::nullopt, false},
      {"over the session cap, within the request's", 1025, 2048, true},
      {"within the session cap, over the request's", 100, 99, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string body(c.bodySize, 'b');
    service_->replyTo("/sized", 200, body);
    HttpRequest request = get(service_->url("/sized"));
    request.maxBodyBytes = c.requestCap;
    HttpResponse r = roundTrip(capped, std::move(request));
    if (c.arrives) {
      ASSERT_TRUE(r.ok()) << r.error->message;
      EXPECT_EQ(r.body.size(), c.bodySize);
    } else {
      expectError(r, UrlError::DataLengthExceedsMaximum);
    }
  }
  // The default cap leaves room for every reply the service sends.
  EXPECT_EQ(HttpSessionConfig{}.maxBodyBytes, 64u * 1024 * 1024);
}

TEST_F(HttpEngineTest, CompletionRunsOnTheChosenSerialQueue) {
  service_->replyTo("/q", 200, "ok");
  SerialQueue queue("vandrel.test.http");
  std::promise<bool> onQueue;
  session_.send(get(service_->url("/q")), queue,
                [&](HttpResponse r) { onQueue.set_value(queue.isCurrent() && r.ok()); });
  auto future = onQueue.get_future();
  ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

TEST_F(HttpEngineTest, ManyConcurrentRequestsEachCompleteOnceWithTheirOwnReply) {
  constexpr int kCount = 40;
  for (int i = 0; i < kCount; ++i) service_->replyTo("/n" + std::to_string(i), 200, std::to_string(i));
  Collector c;
  for (int i = 0; i < kCount; ++i) {
    session_.send(get(service_->url("/n" + std::to_string(i))), mainQueue(), c.completion());
  }
  ASSERT_TRUE(c.waitFor(kCount));
  std::set<std::string> bodies;
  for (const auto& r : *c.got) {
    ASSERT_TRUE(r.ok()) << r.error->message;
    EXPECT_EQ(r.url, service_->url("/n" + r.body));
    bodies.insert(r.body);
  }
  EXPECT_EQ(bodies.size(), static_cast<std::size_t>(kCount));
  mainQueue().runFor(50ms);
  EXPECT_EQ(c.got->size(), static_cast<std::size_t>(kCount));
  EXPECT_EQ(session_.inFlightCount(), 0u);
}

TEST(HttpPlainTest, PlainHttpNeedsNoTrustPolicy) {
  auto service = ServiceStandin::http();
  service->replyTo("/app/links", 200, "{}");
  HttpSession session{HttpSessionConfig{}};
  HttpResponse r = roundTrip(session, get(service->url("/app/links")));
  ASSERT_TRUE(r.ok()) << r.error->message;
  EXPECT_EQ(r.body, "{}");
  EXPECT_TRUE(service->waitForRequest("/app/links", 1s));
}

TEST(HttpEngineProcessTest, StartingTheEngineLeavesSigpipeHarmless) {
  HttpEngine::shared();
  struct sigaction current {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
  EXPECT_EQ(current.sa_handler, SIG_IGN);
}

// GnuTLS (which libcurl's dependencies bring along) binds its set-up hook
// in the program's own symbol table, never in a library opened locally:
// unexported, the hook is not seen and GnuTLS sets itself up at load.
TEST(HttpEngineLibrariesTest, GnuTlsFindsTheProgramsHookThatSkipsItsSetUpAtLoad) {
  using Hook = int (*)();
  const auto hook = reinterpret_cast<Hook>(::dlsym(RTLD_DEFAULT, "_gnutls_global_init_skip"));
  ASSERT_NE(hook, nullptr);
  EXPECT_EQ(hook(), 1);
}

}  // namespace
}  // namespace vandrel::platform
