#include "crash/kit/trl_network_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "tests/support/scheduler_steps.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

using namespace std::chrono_literals;
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

constexpr auto kTimeout = 10s;

const TestCertificateAuthority& otherCa() {
  static const auto* ca = new TestCertificateAuthority("Unpinned Network Client Root");
  return *ca;
}

TRLCertificate certificateOf(const TestCertificateAuthority& ca) {
  return TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size())
      .value();
}

FLTHTTPURLResponse responseWith(int status, platform::HttpHeaders headers = {}) {
  return FLTHTTPURLResponse{"https://example.invalid/x", status, std::move(headers)};
}

std::string describe(const std::optional<KitError>& error) {
  return error ? error->domain + " " + std::to_string(error->code) : "ok";
}

std::optional<std::int64_t> intInfo(const KitError& error, std::string_view key) {
  auto found = error.userInfo.find(std::string(key));
  if (found == error.userInfo.end()) return std::nullopt;
  return found->second.asInt();
}

std::string stringInfo(const KitError& error, std::string_view key) {
  auto found = error.userInfo.find(std::string(key));
  if (found == error.userInfo.end() || !found->second.asString()) return "<absent>";
  return *found->second.asString();
}

// ---- Classification ---------------------------------------------------------

TEST(TRLNetworkResponseHandlerTest, StatusesFallIntoTheirTypes) {
  using T = TRLNetworkResponseType;
  const struct {
    int status;
    T type;
  } cases[] = {
      {0, T::Unexpected},     {100, T::Unexpected},   {200, T::Success},      {201, T::Success},
      {202, T::Success},      {203, T::Unexpected},   {204, T::Success},      {205, T::Unexpected},
      {299, T::Unexpected},   {301, T::Unexpected},   {302, T::Unexpected},   {304, T::Success},
      {400, T::ClientError},  {401, T::ClientError},  {402, T::Unexpected},   {403, T::ClientError},
      {404, T::ClientError},  {405, T::Unexpected},   {406, T::ClientError},  {408, T::Retry},
      {410, T::ClientError},  {411, T::ClientError},  {413, T::ClientError},  {418, T::Unexpected},
      {419, T::ClientError},  {420, T::RateLimited},  {422, T::ClientError},  {429, T::RateLimited},
      {431, T::ClientError},  {499, T::Unexpected},   {500, T::Retry},        {503, T::Retry},
      {599, T::Retry},        {600, T::Unexpected},   {999, T::Unexpected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(TRLNetworkResponseTypeForStatus(c.status), c.type);
  }
}

TEST(TRLNetworkResponseHandlerTest, CompletedResponsesGetTheirRetryFlagAndError) {
  const struct {
    int status;
    bool retry;
    std::optional<std::int64_t> code;
    std::int64_t type;
  } cases[] = {
      {200, false, std::nullopt, 0}, {304, false, std::nullopt, 0}, {203, false, -4, 1},
      {302, false, -4, 1},           {404, false, -5, 2},           {431, false, -5, 2},
      {408, true, -1, 3},            {503, true, -1, 3},            {420, true, -1, 4},
      {429, true, -1, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    int calls = 0;
    TRLNetworkResponseHandler::handleCompletedResponse(
        responseWith(c.status, {{"X-Request-Id", "req-7"}, {"Content-Type", "text/plain"}}),
        FLTURLRequest{}, std::nullopt, [&](bool retry, const std::optional<KitError>& error) {
          ++calls;
          EXPECT_EQ(retry, c.retry);
          ASSERT_EQ(error.has_value(), c.code.has_value());
          if (!error) return;
          EXPECT_EQ(error->domain, "TRLNetworkError");
          EXPECT_EQ(error->code, *c.code);
          EXPECT_EQ(intInfo(*error, "type"), c.type);
          EXPECT_EQ(intInfo(*error, "status_code"), c.status);
          EXPECT_EQ(stringInfo(*error, "request_id"), "req-7");
          EXPECT_EQ(stringInfo(*error, "content_type"), "text/plain");
        });
    EXPECT_EQ(calls, 1);
  }
}

TEST(TRLNetworkResponseHandlerTest, MissingHeadersAndMissingResponseReadAsEmptyAndStatusZero) {
  std::optional<KitError> seen;
  TRLNetworkResponseHandler::handleCompletedResponse(
      std::nullopt, FLTURLRequest{}, std::nullopt,
      [&](bool retry, const std::optional<KitError>& error) {
        EXPECT_FALSE(retry);
        seen = error;
      });
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->code, -4);
  EXPECT_EQ(intInfo(*seen, "status_code"), 0);
  EXPECT_EQ(stringInfo(*seen, "request_id"), "");
  EXPECT_EQ(stringInfo(*seen, "content_type"), "");
}

TEST(TRLNetworkResponseHandlerTest, TransportErrorsDecideAloneWhetherToRetry) {
  const struct {
    std::string domain;
    std::int64_t code;
    bool retryable;
  } cases[] = {
      {"NSURLErrorDomain", -1009, true},  {"NSURLErrorDomain", -1001, true},
      {"NSURLErrorDomain", -1005, true},  {"NSURLErrorDomain", -999, true},
      {"NSURLErrorDomain", -1102, true},  {"NSURLErrorDomain", -1, true},
      {"NSURLErrorDomain", -1000, false}, {"NSURLErrorDomain", -1002, false},
      {"NSURLErrorDomain", -1007, false}, {"NSURLErrorDomain", -1010, false},
      {"NSURLErrorDomain", -1012, false}, {"NSURLErrorDomain", -1013, false},
      {"NSURLErrorDomain", -1022, false}, {"NSURLErrorDomain", -995, false},
      {"NSURLErrorDomain", -1100, false}, {"NSURLErrorDomain", -1101, false},
      {"NSURLErrorDomain", -1103, false}, {"NSURLErrorDomain", -1199, true},
      {"NSURLErrorDomain", -1200, false}, {"NSURLErrorDomain", -1202, false},
      {"NSURLErrorDomain", -1206, false}, {"NSURLErrorDomain", -1207, true},
      {"NSPOSIXErrorDomain", -1009, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.domain + " " + std::to_string(c.code));
    platform::Error error{c.domain, c.code, "x"};
    EXPECT_EQ(TRLNetworkResponseHandler::retryableURLError(error), c.retryable);
    // A transport error wins over whatever response came with it.
    TRLNetworkResponseHandler::handleCompletedResponse(
        responseWith(200), FLTURLRequest{}, error,
        [&](bool retry, const std::optional<KitError>& failure) {
          EXPECT_EQ(retry, c.retryable);
          ASSERT_TRUE(failure);
          EXPECT_EQ(failure->domain, c.domain);
          EXPECT_EQ(failure->code, c.code);
        });
  }
}

TEST(TRLNetworkResponseHandlerTest, CancelReasonComesOnlyFromACancellationWithTheKey) {
  KitError cancelled{"NSURLErrorDomain", -999, "x", {}, {}};
  EXPECT_EQ(TRLNetworkResponseHandler::cancelReasonFromURLError(cancelled), -1);
  cancelled.userInfo["NSURLErrorBackgroundTaskCancelledReasonKey"] = std::int64_t{2};
  EXPECT_EQ(TRLNetworkResponseHandler::cancelReasonFromURLError(cancelled), 2);
  KitError timedOut = cancelled;
  timedOut.code = -1001;
  EXPECT_EQ(TRLNetworkResponseHandler::cancelReasonFromURLError(timedOut), -1);
}

TEST(TRLNetworkResponseHandlerTest, ContentTypeMustMatchAcceptAndCharset) {
  const struct {
    const char* name;
    std::optional<std::string> accept;
    std::optional<std::string> acceptCharset;
    std::optional<std::string> contentType;
    bool matches;
  } cases[] = {
      {"no Accept, any type", std::nullopt, std::nullopt, "image/png", true},
      {"no Accept, no type", std::nullopt, std::nullopt, std::nullopt, true},
      {"Accept, no type", "application/json", std::nullopt, std::nullopt, false},
      {"exact", "application/json", std::nullopt, "application/json", true},
      {"case ignored", "application/json", std::nullopt, "Application/JSON", true},
      {"other type", "application/json", std::nullopt, "text/html", false},
      {"charset without blank is not split", "application/json", std::nullopt,
       "application/json;charset=utf-8", false},
      {"charset, none asked", "application/json", std::nullopt,
       "application/json; charset=UTF-8", true},
      {"charset matches ignoring case", "application/json", "utf-8",
       "application/json; charset=UTF-8", true},
      {"charset differs", "application/json", "utf-8", "application/json; charset=latin1",
       false},
      {"charset asked, none sent", "application/json", "utf-8", "application/json", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FLTURLRequest request;
    if (c.accept) request.headers.add("Accept", *c.accept);
    if (c.acceptCharset) request.headers.add("Accept-Charset", *c.acceptCharset);
    platform::HttpHeaders headers;
    if (c.contentType) headers.add("Content-Type", *c.contentType);
    auto response = responseWith(200, headers);
    EXPECT_EQ(TRLNetworkResponseHandler::contentTypeForResponse(response, request), c.matches);
    TRLNetworkResponseHandler::handleCompletedResponse(
        response, request, std::nullopt, [&](bool retry, const std::optional<KitError>& error) {
          EXPECT_FALSE(retry);
          EXPECT_EQ(describe(error), c.matches ? "ok" : "TRLNetworkError -4");
        });
  }
}

TEST(TRLNetworkResponseHandlerTest, RetryAfterReadsItsLeadingNumber) {
  const struct {
    std::optional<std::string> header;
    double value;
  } cases[] = {
      {std::nullopt, 2.0}, {"30", 30.0},   {"1", 1.0},      {"-3", 2.0},     {" 5.5s", 5.5},
      {"0", 0.0},          {"abc", 0.0},   {"Wed, 21 Oct 2026 07:28:00 GMT", 0.0},
      {"1e2", 100.0},      {"7e", 7.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header.value_or("<absent>"));
    platform::HttpHeaders headers;
    if (c.header) headers.add("Retry-After", *c.header);
    EXPECT_DOUBLE_EQ(TRLNetworkResponseHandler::retryValueForResponse(responseWith(503, headers)),
                     c.value);
  }
  EXPECT_DOUBLE_EQ(TRLNetworkResponseHandler::retryValueForResponse(std::nullopt), 2.0);
}

// ---- The client against a real HTTPS server ------------------------------------

// The outcomes a client reports, in order.
class Outcomes {
 public:
  struct Outcome {
    std::string data;
    std::string file;  // the downloaded file's content, read inside the handler
    std::optional<FLTHTTPURLResponse> response;
    std::optional<KitError> error;
    bool onDelegateQueue = false;
    std::thread::id thread;
  };

  void add(Outcome outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcomes_.push_back(std::move(outcome));
    cv_.notify_all();
  }
  ::testing::AssertionResult waitForCount(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (cv_.wait_for(lock, kTimeout, [&] { return outcomes_.size() >= count; })) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << outcomes_.size() << " of " << count << " outcomes";
  }
  std::vector<Outcome> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
  }
  Outcome first() { return all().at(0); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Outcome> outcomes_;
};

class TRLNetworkClientTest : public ::testing::Test {
 protected:
  void SetUp() override { server_ = ServiceStandin::https(); }

  std::shared_ptr<TRLNetworkClient> makeClient(
      std::optional<std::vector<TRLCertificate>> pinned = std::vector<TRLCertificate>{
          certificateOf(TestCertificateAuthority::shared())}) {
    TRLNetworkClientEnvironment environment;
    environment.scheduler = &scheduler_;
    environment.debug = [this] { return debug_; };
    environment.uniform = [] { return 0.5; };  // jitter 1.0
    auto client = TRLNetworkClient::initWithSessionConfiguration(
        FLTURLSessionConfiguration::defaultSessionConfiguration(), delegateQueue_,
        std::move(pinned), environment);
    EXPECT_TRUE(client);
    return client;
  }

  FLTURLRequest get(const std::string& path) {
    FLTURLRequest request;
    request.url = server_->url(path);
    request.redirects = platform::RedirectPolicy::DontFollow;
    return request;
  }

  TRLNetworkClient::DataCompletion record(std::shared_ptr<Outcomes> outcomes) {
    return [outcomes, queue = delegateQueue_](const std::string& data,
                                              const std::optional<FLTHTTPURLResponse>& response,
                                              const std::optional<KitError>& error) {
      outcomes->add({data, "", response, error, queue->isCurrent(), std::this_thread::get_id()});
    };
  }

  std::shared_ptr<Outcomes> start(TRLNetworkClient& client, const FLTURLRequest& request,
                                  unsigned retryLimit) {
    auto outcomes = std::make_shared<Outcomes>();
    client.startDataTaskWithRequest(request, retryLimit, record(outcomes));
    return outcomes;
  }

  // Succeeds once the client holds `count` retries waiting on the clock.
  // Waits until `count` retries wait, each with its timer armed on the
  // scheduler: a retry counts as pending a moment before its timer is set
  // (from the clock of that moment), and moving the clock in between would
  // put the timer off by as much.
  ::testing::AssertionResult waitForPendingRetries(TRLNetworkClient& client, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (client.pendingRetryCount() != count || scheduler_.pendingCountForTesting() != count) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure()
               << client.pendingRetryCount() << " retries pending, "
               << scheduler_.pendingCountForTesting() << " timers armed";
      }
      std::this_thread::sleep_for(1ms);
    }
    return ::testing::AssertionSuccess();
  }

  // Moves the clock and returns once the scheduler has handed out every
  // job due by then.
  ::testing::AssertionResult advance(platform::Duration by) {
    return test_support::advanceScheduler(clock_, scheduler_, by, kTimeout);
  }

  // The scheduler still counts advance()'s own marker until it has been
  // handed over, which can be a moment after the marker ran.
  ::testing::AssertionResult schedulerSettlesAt(std::size_t count) {
    return test_support::schedulerSettlesAt(scheduler_, count, kTimeout);
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  std::shared_ptr<platform::SerialQueue> delegateQueue_ =
      std::make_shared<platform::SerialQueue>("test.network-client.delegate");
  bool debug_ = false;
  std::unique_ptr<ServiceStandin> server_;
};

TEST_F(TRLNetworkClientTest, EachStatusEndsAsClassifiedOnTheDelegateQueue) {
  const struct {
    int status;
    std::string expected;  // with retry limit 0, so a retryable status ends at -6
  } cases[] = {
      {200, "ok"},
      {204, "ok"},
      {304, "ok"},
      {203, "TRLNetworkError -4"},
      {302, "TRLNetworkError -4"},
      {404, "TRLNetworkError -5"},
      {401, "TRLNetworkError -5"},
      {408, "TRLNetworkError -6"},
      {420, "TRLNetworkError -6"},
      {429, "TRLNetworkError -6"},
      {500, "TRLNetworkError -6"},
      {503, "TRLNetworkError -6"},
  };
  auto client = makeClient();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    const std::string path = "/status/" + std::to_string(c.status);
    // 204 and 304 carry no body by definition.
    const bool bodiless = c.status == 204 || c.status == 304;
    server_->replyTo(path,
                     ScriptedReply{c.status, {{"X-Request-Id", "r1"}}, bodiless ? "" : "body"});
    auto outcomes = start(*client, get(path), 0);
    ASSERT_TRUE(outcomes->waitForCount(1));
    auto outcome = outcomes->first();
    EXPECT_EQ(describe(outcome.error), c.expected);
    EXPECT_TRUE(outcome.onDelegateQueue);
    EXPECT_EQ(server_->requestsTo(path).size(), 1u);
    if (c.expected == "TRLNetworkError -6") {
      EXPECT_FALSE(outcome.response);
      EXPECT_TRUE(outcome.data.empty());
    } else {
      // Data and response are handed on as received, failures too.
      ASSERT_TRUE(outcome.response);
      EXPECT_EQ(outcome.response->statusCode, c.status);
    }
    if (outcome.error && outcome.error->code != -6) {
      EXPECT_EQ(stringInfo(*outcome.error, "request_id"), "r1");
    }
  }
  EXPECT_EQ(client->pendingRetryCount(), 0u);
}

TEST_F(TRLNetworkClientTest, RetryAfterSetsTheWaitAndTheLimitEndsWithMinusSix) {
  auto client = makeClient();
  server_->replyTo("/busy", ScriptedReply{503, {{"Retry-After", "5"}}, ""});
  auto outcomes = start(*client, get("/busy"), 1);

  ASSERT_TRUE(waitForPendingRetries(*client, 1));
  ASSERT_TRUE(advance(4999ms));
  EXPECT_TRUE(schedulerSettlesAt(1)) << "retried before the server's 5 s";
  EXPECT_EQ(server_->requestsTo("/busy").size(), 1u);
  ASSERT_TRUE(advance(2ms));
  ASSERT_TRUE(outcomes->waitForCount(1));

  EXPECT_EQ(server_->requestsTo("/busy").size(), 2u);
  auto outcome = outcomes->first();
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, "TRLNetworkError");
  EXPECT_EQ(outcome.error->code, -6);
  EXPECT_EQ(intInfo(*outcome.error, "retryLimit"), 1);
  EXPECT_EQ(stringInfo(*outcome.error, "NSErrorFailingURLStringKey"), server_->url("/busy"));
  EXPECT_FALSE(outcome.response);
  EXPECT_TRUE(outcome.onDelegateQueue);
  EXPECT_EQ(outcomes->all().size(), 1u);
}

TEST_F(TRLNetworkClientTest, BackOffDoublesFromTwoSecondsAndARetryCanSucceed) {
  auto client = makeClient();
  server_->replyTo("/flaky", 500, "");
  auto outcomes = start(*client, get("/flaky"), 10);

  // Waits after the attempts with tries 0, 1, 2: 2, 2 and 4 seconds.
  const platform::Duration waits[] = {2s, 2s, 4s};
  for (std::size_t i = 0; i < std::size(waits); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(waitForPendingRetries(*client, 1));
    ASSERT_TRUE(advance(waits[i] - 1ms));
    EXPECT_EQ(server_->requestsTo("/flaky").size(), i + 1) << "retried early";
    if (i + 1 == std::size(waits)) server_->replyTo("/flaky", 200, "finally");
    ASSERT_TRUE(advance(2ms));
    ASSERT_TRUE(server_->waitForRequest("/flaky", 5000ms, i + 2));
  }
  ASSERT_TRUE(outcomes->waitForCount(1));
  auto outcome = outcomes->first();
  EXPECT_EQ(describe(outcome.error), "ok");
  EXPECT_EQ(outcome.data, "finally");
  EXPECT_EQ(server_->requestsTo("/flaky").size(), 4u);
  EXPECT_EQ(client->pendingRetryCount(), 0u);
}

TEST_F(TRLNetworkClientTest, ContentTypeIsCheckedAgainstTheRequestsAccept) {
  auto client = makeClient();
  server_->replyTo("/json",
                   ScriptedReply{200, {{"Content-Type", "application/json;charset=utf-8"}}, "{}"});
  auto request = get("/json");
  request.headers.add("Accept", "application/json");
  auto outcomes = start(*client, request, 3);
  ASSERT_TRUE(outcomes->waitForCount(1));
  auto outcome = outcomes->first();
  EXPECT_EQ(describe(outcome.error), "TRLNetworkError -4");
  EXPECT_EQ(outcome.data, "{}");
  EXPECT_EQ(stringInfo(*outcome.error, "content_type"), "application/json;charset=utf-8");

  server_->replyTo("/json",
                   ScriptedReply{200, {{"Content-Type", "application/json; charset=UTF-8"}}, "{}"});
  request.headers.add("Accept-Charset", "utf-8");
  outcomes = start(*client, request, 3);
  ASSERT_TRUE(outcomes->waitForCount(1));
  EXPECT_EQ(describe(outcomes->first().error), "ok");
}

TEST_F(TRLNetworkClientTest, ATransportFailureIsRetried) {
  auto client = makeClient();
  server_->dropEveryConnection();
  auto outcomes = start(*client, get("/dropped"), 1);
  ASSERT_TRUE(waitForPendingRetries(*client, 1));
  ASSERT_TRUE(advance(2001ms));
  ASSERT_TRUE(outcomes->waitForCount(1));
  EXPECT_EQ(describe(outcomes->first().error), "TRLNetworkError -6");
  EXPECT_EQ(server_->requestsTo("/dropped").size(), 2u);
}

TEST_F(TRLNetworkClientTest, CertificateFailuresAreNeverRetried) {
  const struct {
    const char* name;
    const TestCertificateAuthority* serverCa;
    std::optional<std::vector<TRLCertificate>> pinned;
    bool debug;
  } cases[] = {
      {"server outside the pinned roots", &otherCa(),
       std::vector<TRLCertificate>{certificateOf(TestCertificateAuthority::shared())}, false},
      {"empty pinned list trusts nobody", &TestCertificateAuthority::shared(),
       std::vector<TRLCertificate>{}, false},
      // Debug mode leaves trust to the system store, which does not know the
      // test root: proof that the pinner is off.
      {"debug turns pinning off", &TestCertificateAuthority::shared(),
       std::vector<TRLCertificate>{certificateOf(TestCertificateAuthority::shared())}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_ = ServiceStandin::https(*c.serverCa);
    server_->replyTo("/pinned", 200, "secret");
    debug_ = c.debug;
    auto client = makeClient(c.pinned);
    auto outcomes = start(*client, get("/pinned"), 10);
    ASSERT_TRUE(outcomes->waitForCount(1));
    auto outcome = outcomes->first();
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain, "NSURLErrorDomain");
    EXPECT_LE(outcome.error->code, -1200);
    EXPECT_GE(outcome.error->code, -1206);
    EXPECT_EQ(client->pendingRetryCount(), 0u);
    EXPECT_TRUE(server_->requestsTo("/pinned").empty());
  }
}

TEST_F(TRLNetworkClientTest, PinningAppliesOnlyWithCertificatesAndOutsideDebugMode) {
  auto pinnedClient = makeClient();
  ASSERT_TRUE(pinnedClient->certPinner());
  EXPECT_EQ(pinnedClient->session()->configuration().certificatePinner,
            pinnedClient->certPinner());

  debug_ = true;
  auto debugClient = makeClient();
  ASSERT_TRUE(debugClient->certPinner());
  EXPECT_FALSE(debugClient->session()->configuration().certificatePinner);

  auto unpinned = makeClient(std::nullopt);
  EXPECT_FALSE(unpinned->certPinner());
}

TEST_F(TRLNetworkClientTest, ChallengesGoToThePinnerOutsideDebugMode) {
  auto challengeResult = [](TRLNetworkClient& client, const TRLAuthenticationChallenge& challenge) {
    std::optional<TRLAuthChallengeDisposition> disposition;
    client.URLSessionDidReceiveChallenge(
        client.session().get(), challenge,
        [&](TRLAuthChallengeDisposition d, std::optional<TRLURLCredential>) { disposition = d; });
    return disposition;
  };
  TRLAuthenticationChallenge password;
  password.protectionSpace.authenticationMethod = "NSURLAuthenticationMethodHTTPBasic";

  auto pinned = makeClient();
  EXPECT_EQ(challengeResult(*pinned, password), TRLAuthChallengeDisposition::CancelAuthenticationChallenge);
  debug_ = true;
  EXPECT_EQ(challengeResult(*pinned, password), TRLAuthChallengeDisposition::PerformDefaultHandling);
  debug_ = false;
  auto unpinned = makeClient(std::nullopt);
  EXPECT_EQ(challengeResult(*unpinned, password),
            TRLAuthChallengeDisposition::PerformDefaultHandling);
}

TEST_F(TRLNetworkClientTest, InvalidateAndCancelSettlesEveryRequestOnceAndEndsTheClient) {
  auto client = makeClient();
  server_->replyTo("/slow", ScriptedReply{200, {}, "late", 5000ms});
  server_->replyTo("/busy", 503, "");
  auto inFlight = start(*client, get("/slow"), 10);
  auto waiting = start(*client, get("/busy"), 10);
  ASSERT_TRUE(waitForPendingRetries(*client, 1));
  ASSERT_TRUE(server_->waitForRequest("/slow", 5000ms));

  client->invalidateAndCancel();
  ASSERT_TRUE(inFlight->waitForCount(1));
  ASSERT_TRUE(waiting->waitForCount(1));
  // The invalidated session makes no task for what would have been retried.
  EXPECT_EQ(describe(inFlight->first().error), "TRLNetworkError -3");
  EXPECT_EQ(describe(waiting->first().error), "TRLNetworkError -3");
  EXPECT_EQ(client->pendingRetryCount(), 0u);

  // A later request fails at once, on the calling thread.
  auto later = start(*client, get("/busy"), 10);
  ASSERT_EQ(later->all().size(), 1u);
  EXPECT_EQ(describe(later->first().error), "TRLNetworkError -3");
  EXPECT_EQ(later->first().thread, std::this_thread::get_id());

  // Nothing more arrives, whatever the clock does.
  ASSERT_TRUE(advance(1h));
  EXPECT_EQ(server_->requestsTo("/busy").size(), 1u);
  EXPECT_EQ(inFlight->all().size(), 1u);
  EXPECT_EQ(waiting->all().size(), 1u);
}

TEST_F(TRLNetworkClientTest, DownloadsHandOverTheFileAndFollowTheSameRules) {
  auto client = makeClient();
  server_->replyTo("/file", 200, "file body");
  server_->replyTo("/missing", 404, "");
  auto download = [&](const std::string& path) {
    auto outcomes = std::make_shared<Outcomes>();
    client->startDownloadTaskWithRequest(
        get(path), 0,
        [outcomes, queue = delegateQueue_](const std::filesystem::path& location,
                                           const std::optional<FLTHTTPURLResponse>& response,
                                           const std::optional<KitError>& error) {
          std::ifstream in(location, std::ios::binary);
          std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
          outcomes->add({"", content, response, error, queue->isCurrent(),
                         std::this_thread::get_id()});
        });
    return outcomes;
  };
  auto ok = download("/file");
  ASSERT_TRUE(ok->waitForCount(1));
  EXPECT_EQ(describe(ok->first().error), "ok");
  EXPECT_EQ(ok->first().file, "file body");
  EXPECT_TRUE(ok->first().onDelegateQueue);

  auto missing = download("/missing");
  ASSERT_TRUE(missing->waitForCount(1));
  EXPECT_EQ(describe(missing->first().error), "TRLNetworkError -5");
}

// ---- Back-off arithmetic ----------------------------------------------------------

TEST(TRLNetworkClientBackOffTest, DelayIsAPowerOfTheRetryValueTimesJitter) {
  platform::ManualClock clock;
  platform::Scheduler scheduler(clock);
  double u = 0.0;
  TRLNetworkClientEnvironment environment;
  environment.scheduler = &scheduler;
  environment.debug = [] { return false; };
  environment.uniform = [&u] { return u; };
  auto client = TRLNetworkClient::initWithSessionConfiguration(
      FLTURLSessionConfiguration::defaultSessionConfiguration(), nullptr, std::nullopt,
      environment);
  ASSERT_TRUE(client);

  // Jitter bounds: the single-precision 0.9 and 1.1.
  EXPECT_DOUBLE_EQ(client->generateRandomJitter(), 0.8999999761581421);
  u = 1.0;
  EXPECT_DOUBLE_EQ(client->generateRandomJitter(), 1.100000023841858);

  u = 0.5;
  auto withRetryAfter = [](std::optional<std::string> value) {
    platform::HttpHeaders headers;
    if (value) headers.add("Retry-After", *value);
    return std::optional<FLTHTTPURLResponse>(responseWith(503, headers));
  };
  const struct {
    std::optional<std::string> retryAfter;
    unsigned retryCount;
    double seconds;
  } cases[] = {
      {std::nullopt, 0, 2},  {std::nullopt, 1, 2},  {std::nullopt, 2, 4}, {std::nullopt, 3, 8},
      {std::nullopt, 4, 16}, {"30", 0, 30},         {"30", 1, 30},        {"30", 2, 900},
      {"-3", 2, 4},          {"1", 2, 4},           {"Fri, 01 Jan 2027 00:00:00 GMT", 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retryAfter.value_or("<absent>") + " / " + std::to_string(c.retryCount));
    EXPECT_NEAR(client->computeDelayForResponse(withRetryAfter(c.retryAfter), c.retryCount),
                c.seconds, c.seconds * 1e-9);
  }
}

TEST(TRLNetworkClientBackOffTest, HugeWaitsAreBoundedToADay) {
  platform::ManualClock clock;
  platform::Scheduler scheduler(clock);
  TRLNetworkClientEnvironment environment;
  environment.scheduler = &scheduler;
  environment.debug = [] { return false; };
  environment.uniform = [] { return 0.5; };
  auto client = TRLNetworkClient::initWithSessionConfiguration(
      FLTURLSessionConfiguration::defaultSessionConfiguration(), nullptr, std::nullopt,
      environment);
  ASSERT_TRUE(client);
  platform::HttpHeaders headers{{"Retry-After", "1e300"}};
  std::atomic<bool> ran{false};
  platform::Group group;
  group.enter();
  client->runAfterRetryValueFromResponse(responseWith(429, headers), 9, [&ran, group]() mutable {
    ran = true;
    group.leave();
  });
  clock.advance(std::chrono::hours(24) - std::chrono::seconds(1));
  EXPECT_EQ(client->pendingRetryCount(), 1u);
  clock.advance(std::chrono::seconds(2));
  EXPECT_TRUE(group.wait(kTimeout));
  EXPECT_TRUE(ran);
}

TEST(TRLNetworkClientBackOffTest, DefaultJitterDrawsTheUnseededSequence) {
  // The 48-bit generator from its unseeded state, drawn here on a buffer
  // of our own; the client's draws are consecutive members of it.
  unsigned short state[3] = {0x330E, 0xABCD, 0x1234};
  std::vector<double> jitters;
  for (int i = 0; i < 1000; ++i) {
    jitters.push_back(0.8999999761581421 + erand48(state) * (1.100000023841858 - 0.8999999761581421));
  }
  TRLNetworkClientEnvironment environment;
  environment.debug = [] { return false; };
  auto client = TRLNetworkClient::initWithSessionConfiguration(
      FLTURLSessionConfiguration::defaultSessionConfiguration(), nullptr, std::nullopt,
      environment);
  ASSERT_TRUE(client);
  double first = client->generateRandomJitter();
  double second = client->generateRandomJitter();
  auto at = std::find(jitters.begin(), jitters.end(), first);
  ASSERT_NE(at, jitters.end()) << first << " is not from the unseeded sequence";
  ASSERT_NE(at + 1, jitters.end());
  EXPECT_EQ(*(at + 1), second);
}

TEST(TRLNetworkClientInitTest, NoConfigurationGivesNoClient) {
  EXPECT_FALSE(TRLNetworkClient::initWithSessionConfiguration(nullptr, nullptr, std::nullopt,
                                                              {nullptr, nullptr, [] { return false; }, {}}));
}

}  // namespace
}  // namespace vandrel::crash
