#include "analytics/tally/tly_network_retry_handler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "crash/kit/trl_network_response_handler.h"
#include "platform/dispatch.h"
#include "tests/support/test_certs.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;
using crash::KitError;
using platform::Value;

constexpr platform::Duration kTimeout = 10s;
constexpr const char* kUploadURL = "https://analytics.example.test/upload";

// Jitter is exactly 1 with a random source answering 0.5.
TLYRandomSource fixedRandom(double r) {
  return [r] { return r; };
}

platform::Duration seconds(double s) {
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(s));
}

// Back-off timers on a manual clock, completing on the main queue, which the
// test thread pumps.
class BackoffFixture : public ::testing::Test {
 protected:
  TLYBackoffTimerEnvironment timerEnvironment(double random = 0.5) {
    return {&scheduler_, &platform::mainQueue(), fixedRandom(random)};
  }

  // Moves the clock, then runs main-queue jobs until every job due by now
  // has been handed out and run.
  ::testing::AssertionResult advance(platform::Duration by) {
    clock_.advance(by);
    bool markerRan = false;
    scheduler_.schedule(platform::Duration::zero(), platform::mainQueue(),
                        [&markerRan] { markerRan = true; });
    if (!platform::mainQueue().runUntil([&] { return markerRan; }, kTimeout)) {
      return ::testing::AssertionFailure() << "the scheduler did not catch up";
    }
    platform::mainQueue().runPending();
    return ::testing::AssertionSuccess();
  }

  // The scheduler counts advance()'s marker until it has handed it over,
  // which can be a moment after the marker ran.
  ::testing::AssertionResult schedulerSettlesAt(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (scheduler_.pendingCountForTesting() != count) {
      if (std::chrono::steady_clock::now() > deadline) {
        return ::testing::AssertionFailure()
               << scheduler_.pendingCountForTesting() << " jobs pending";
      }
      std::this_thread::sleep_for(1ms);
    }
    return ::testing::AssertionSuccess();
  }

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
};

using TLYBackoffTimerTest = BackoffFixture;

TEST_F(TLYBackoffTimerTest, DelayIsTheBaseToTheRetryCountTimesJitter) {
  struct Case {
    const char* name;
    double initialValue;
    std::uint64_t retryCount;
    double expected;
  };
  const std::vector<Case> cases = {
      {"no initial value, count 0 counts as 1", 0.0, 0, 2.0},
      {"no initial value, first retry", 0.0, 1, 2.0},
      {"no initial value, third retry", 0.0, 3, 8.0},
      {"below 2 is raised to 2", 1.5, 2, 4.0},
      {"server wait 30, first retry", 30.0, 1, 30.0},
      {"server wait 30, second retry", 30.0, 2, 900.0},
      {"negative initial value", -5.0, 2, 4.0},
      {"NaN initial value", std::numeric_limits<double>::quiet_NaN(), 2, 4.0},
  };
  TLYBackoffTimer timer(0.0, timerEnvironment());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DOUBLE_EQ(timer.computeDelayForInitialValue(c.initialValue, c.retryCount), c.expected);
  }
}

TEST_F(TLYBackoffTimerTest, JitterStaysWithinTheCoefficient) {
  TLYBackoffTimer low(0.0, 0.1, timerEnvironment(0.0));
  EXPECT_DOUBLE_EQ(low.generateRandomJitter(), 0.9);
  TLYBackoffTimer high(0.0, 0.1, timerEnvironment(std::nextafter(1.0, 0.0)));
  EXPECT_LE(high.generateRandomJitter(), 1.1);
  EXPECT_GT(high.generateRandomJitter(), 1.0999);
  TLYBackoffTimer none(0.0, 0.0, timerEnvironment(0.9));
  EXPECT_DOUBLE_EQ(none.generateRandomJitter(), 1.0);
  EXPECT_DOUBLE_EQ(none.randomDoubleWithMin(10.0, 20.0), 19.0);

  // The process's own generator.
  TLYBackoffTimer drawn(0.0, 0.25, {&scheduler_, &platform::mainQueue(), {}});
  for (int i = 0; i < 200; ++i) {
    const double jitter = drawn.generateRandomJitter();
    ASSERT_GE(jitter, 0.75);
    ASSERT_LE(jitter, 1.25);
  }
}

TEST_F(TLYBackoffTimerTest, AJitterCoefficientOutsideTheUnitRangeIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_TRUE(TLYBackoffTimer::jitterCoefficientIsValid(0.0));
  EXPECT_TRUE(TLYBackoffTimer::jitterCoefficientIsValid(0.99));
  EXPECT_FALSE(TLYBackoffTimer::jitterCoefficientIsValid(1.0));
  EXPECT_FALSE(TLYBackoffTimer::jitterCoefficientIsValid(-0.1));
  EXPECT_FALSE(TLYBackoffTimer::jitterCoefficientIsValid(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_DEATH(TLYBackoffTimer(0.0, 1.0, timerEnvironment()),
               "Invalid parameter not satisfying: \\[TLYBackoffTimer "
               "jitterCoefficientIsValid:jitterCoefficient\\]");
  TLYBackoffTimer defaults;
  EXPECT_EQ(defaults.initialValue(), 0.0);
  EXPECT_EQ(defaults.jitterCoefficient(), 0.1);
  EXPECT_EQ(defaults.retryCount(), 0u);
}

TEST_F(TLYBackoffTimerTest, EachScheduledBlockRunsOnceOnTheMainQueueAfterTheNextDelay) {
  TLYBackoffTimer timer(0.0, timerEnvironment());
  std::vector<std::uint64_t> runs;
  const std::vector<double> expected = {2.0, 4.0, 8.0};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_DOUBLE_EQ(timer.executeBlockAfterNextInterval([&runs, &timer] {
      EXPECT_TRUE(platform::mainQueue().isMainThread());
      runs.push_back(timer.retryCount());
    }),
                     expected[i]);
    EXPECT_EQ(timer.retryCount(), i + 1);
    ASSERT_TRUE(advance(seconds(expected[i]) - 1ms));
    EXPECT_EQ(runs.size(), i);
    ASSERT_TRUE(advance(1ms));
    ASSERT_EQ(runs.size(), i + 1);
    EXPECT_EQ(runs.back(), i + 1);
  }
  ASSERT_TRUE(advance(1h));
  EXPECT_EQ(runs.size(), expected.size());
}

TEST_F(TLYBackoffTimerTest, ADelayBeyondTheClocksRangeIsScheduledFarAheadInstead) {
  // A huge server wait: 1e300 s, then an infinity; neither fits the clock.
  TLYBackoffTimer timer(1e300, timerEnvironment());
  int runs = 0;
  EXPECT_DOUBLE_EQ(timer.executeBlockAfterNextInterval([&runs] { ++runs; }), 1e300);
  EXPECT_TRUE(std::isinf(timer.executeBlockAfterNextInterval([&runs] { ++runs; })));
  EXPECT_TRUE(schedulerSettlesAt(2));
  ASSERT_TRUE(advance(24h * 365 * 99));
  EXPECT_EQ(runs, 0);
  ASSERT_TRUE(advance(24h * 365 * 2));
  EXPECT_EQ(runs, 2);
}

class TLYNetworkRetryHandlerTest : public BackoffFixture {
 protected:
  TLYNetworkRetryHandlerEnvironment environment(bool debug = false) {
    TLYNetworkRetryHandlerEnvironment env;
    env.debug = [debug] { return debug; };
    env.timers = timerEnvironment();
    return env;
  }

  static crash::FLTURLRequest request() {
    crash::FLTURLRequest r;
    r.method = "POST";
    r.url = kUploadURL;
    return r;
  }

  static crash::FLTHTTPURLResponse response(int status,
                                            std::optional<std::string> retryAfter = std::nullopt) {
    crash::FLTHTTPURLResponse r;
    r.URL = kUploadURL;
    r.statusCode = status;
    if (retryAfter) r.allHeaderFields.add("Retry-After", *retryAfter);
    return r;
  }

  struct Outcome {
    int calls = 0;
    bool retry = false;
    std::optional<KitError> error;
  };

  // Hands one finished request to the handler; the outcome fills in when
  // the completion runs.
  std::shared_ptr<Outcome> complete(TLYNetworkRetryHandler& handler,
                                    const std::optional<crash::FLTHTTPURLResponse>& resp,
                                    const std::optional<std::string>& identifier,
                                    const std::optional<platform::Error>& error = std::nullopt,
                                    std::optional<std::uint64_t> maxRetries = std::nullopt) {
    auto outcome = std::make_shared<Outcome>();
    auto block = [outcome](bool retry, const std::optional<KitError>& e) {
      ++outcome->calls;
      outcome->retry = retry;
      outcome->error = e;
    };
    if (maxRetries) {
      handler.handleCompletedRequest(request(), resp, identifier, *maxRetries, error, block);
    } else {
      handler.handleCompletedRequest(request(), resp, identifier, error, block);
    }
    return outcome;
  }

  // Asserts that the retry completes exactly at `delay` (not a millisecond
  // before), with the handler's error.
  void expectRetryAfter(const std::shared_ptr<Outcome>& outcome, double delay) {
    ASSERT_TRUE(advance(seconds(delay) - 1ms));
    EXPECT_EQ(outcome->calls, 0);
    ASSERT_TRUE(advance(1ms));
    ASSERT_EQ(outcome->calls, 1);
    EXPECT_TRUE(outcome->retry);
    ASSERT_TRUE(outcome->error.has_value());
    EXPECT_EQ(outcome->error->code, crash::kTRLNetworkErrorRetryableResponse);
  }
};

TEST_F(TLYNetworkRetryHandlerTest, RetriesWaitTheServersValueRaisedToTheRetryCount) {
  TLYNetworkRetryHandler handler(environment());
  EXPECT_DOUBLE_EQ(TLYNetworkRetryHandler::retryValueForResponse(response(503, "30")), 30.0);
  expectRetryAfter(complete(handler, response(503, "30"), "upload-1"), 30.0);
  // The same identifier keeps its timer and its first initial value.
  expectRetryAfter(complete(handler, response(503, "5"), "upload-1"), 900.0);

  // Without a server wait: 2, 4, 8 seconds; a transport error retries too.
  expectRetryAfter(complete(handler, response(429), "upload-2"), 2.0);
  expectRetryAfter(complete(handler, response(503), "upload-2"), 4.0);
  auto timedOut = complete(handler, std::nullopt, "upload-2",
                           platform::Error{std::string(platform::kUrlErrorDomain),
                                           static_cast<std::int64_t>(platform::UrlError::TimedOut),
                                           "The request timed out."});
  ASSERT_TRUE(advance(8s));
  ASSERT_EQ(timedOut->calls, 1);
  EXPECT_TRUE(timedOut->retry);
  EXPECT_EQ(timedOut->error->domain, platform::kUrlErrorDomain);
}

TEST_F(TLYNetworkRetryHandlerTest, FinishedRequestsThatAreNotRetriedCompleteAtOnce) {
  TLYNetworkRetryHandler handler(environment());
  auto success = complete(handler, response(200), "upload-1");
  EXPECT_EQ(success->calls, 1);
  EXPECT_FALSE(success->retry);
  EXPECT_FALSE(success->error.has_value());

  auto refused = complete(handler, response(400), "upload-1");
  EXPECT_EQ(refused->calls, 1);
  EXPECT_FALSE(refused->retry);
  ASSERT_TRUE(refused->error.has_value());
  EXPECT_EQ(refused->error->code, crash::kTRLNetworkErrorClientError);
  // No timer was made or started for them.
  EXPECT_EQ(handler.timerForIdentifier("upload-1", 0.0)->retryCount(), 0u);
  EXPECT_TRUE(schedulerSettlesAt(0));
}

TEST_F(TLYNetworkRetryHandlerTest, AnIdentifierGetsElevenRetriesThenFailsForGood) {
  TLYNetworkRetryHandler handler(environment());
  for (int i = 0; i < 11; ++i) {
    SCOPED_TRACE(i);
    auto outcome = complete(handler, response(503, "0"), "upload-1");
    ASSERT_TRUE(advance(seconds(std::pow(2.0, i + 1))));
    ASSERT_EQ(outcome->calls, 1);
    EXPECT_TRUE(outcome->retry);
  }
  for (int i = 0; i < 2; ++i) {
    auto exhausted = complete(handler, response(503, "0"), "upload-1");
    ASSERT_EQ(exhausted->calls, 1);
    EXPECT_FALSE(exhausted->retry);
    // The response handler's own error is passed on in place of the
    // exhaustion error.
    ASSERT_TRUE(exhausted->error.has_value());
    EXPECT_EQ(exhausted->error->code, crash::kTRLNetworkErrorRetryableResponse);
    EXPECT_EQ(exhausted->error->userInfo.at("status_code"), Value(503));
  }
  EXPECT_TRUE(schedulerSettlesAt(0));

  // Other identifiers keep their own count; a smaller maximum ends sooner.
  expectRetryAfter(complete(handler, response(503), "upload-2", std::nullopt, 1), 2.0);
  expectRetryAfter(complete(handler, response(503), "upload-2", std::nullopt, 1), 4.0);
  auto limited = complete(handler, response(503), "upload-2", std::nullopt, 1);
  EXPECT_EQ(limited->calls, 1);
  EXPECT_FALSE(limited->retry);
}

TEST_F(TLYNetworkRetryHandlerTest, WithoutAnIdentifierThereIsNoTimerAndNoRetry) {
  TLYNetworkRetryHandler handler(environment());
  EXPECT_EQ(handler.timerForIdentifier(std::nullopt, 2.0), nullptr);
  EXPECT_EQ(handler.timerForIdentifier("", 2.0), nullptr);
  for (const std::optional<std::string>& identifier : {std::optional<std::string>{},
                                                       std::optional<std::string>{""}}) {
    auto outcome = complete(handler, response(503), identifier);
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_FALSE(outcome->retry);
    ASSERT_TRUE(outcome->error.has_value());
    EXPECT_EQ(outcome->error->code, crash::kTRLNetworkErrorRetryableResponse);
  }
  EXPECT_TRUE(schedulerSettlesAt(0));

  auto first = handler.timerForIdentifier("upload-1", 30.0);
  EXPECT_EQ(handler.timerForIdentifier("upload-1", 2.0), first);
  EXPECT_EQ(first->initialValue(), 30.0);
  EXPECT_EQ(first->jitterCoefficient(), 0.1);
}

TEST_F(TLYNetworkRetryHandlerTest, ErrorsCarryTheIdentifierAndTheRequestURL) {
  const crash::FLTURLRequest withURL = request();
  crash::FLTURLRequest withoutURL;
  const std::string urlKey(crash::kNSURLErrorFailingURLStringErrorKey);
  const std::string idKey(kTLYNetworkRetryHandlerIdentifierKey);
  struct Case {
    const char* name;
    std::int64_t code;
    std::optional<std::string> identifier;
    const crash::FLTURLRequest* request;
    Value::Dictionary userInfo;
  };
  const std::vector<Case> cases = {
      {"exhausted", kTLYNetworkErrorRetriesExhausted, "upload-1", &withURL,
       {{idKey, Value("upload-1")}, {urlKey, Value(kUploadURL)}}},
      {"missing identifier", kTLYNetworkErrorNoRetryTimer, std::nullopt, &withURL,
       {{idKey, Value("(null)")}, {urlKey, Value(kUploadURL)}}},
      {"empty identifier", kTLYNetworkErrorNoRetryTimer, "", &withURL,
       {{idKey, Value("")}, {urlKey, Value(kUploadURL)}}},
      {"request without a URL", kTLYNetworkErrorNoRetryTimer, "upload-1", &withoutURL,
       {{idKey, Value("upload-1")}}},
      {"no request", kTLYNetworkErrorRetriesExhausted, "upload-1", nullptr,
       {{idKey, Value("upload-1")}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const KitError error =
        TLYNetworkRetryHandler::errorWithCode(c.code, c.identifier, c.request, std::nullopt);
    EXPECT_EQ(error.domain, crash::kTRLNetworkErrorDomain);
    EXPECT_EQ(error.code, c.code);
    EXPECT_EQ(error.userInfo, c.userInfo);
  }
  KitError handlerError{"NSURLErrorDomain", -1001, "The request timed out.", {}, {}};
  EXPECT_EQ(TLYNetworkRetryHandler::errorWithCode(kTLYNetworkErrorRetriesExhausted, "upload-1",
                                                  &withURL, handlerError),
            handlerError);
}

TEST_F(TLYNetworkRetryHandlerTest, ChallengesArePinnedUnlessTheRegistryIsInDebugMode) {
  using test_support::TestCertificateAuthority;
  const auto& ca = TestCertificateAuthority::shared();
  auto anchor = crash::TRLCertificatePinner::createCertificationWithData(ca.der().data(),
                                                                         ca.der().size());
  ASSERT_TRUE(anchor.has_value());
  auto pinner = std::make_shared<const crash::TRLCertificatePinner>(
      std::vector<crash::TRLCertificate>{*anchor});
  static const auto* stranger = new TestCertificateAuthority("Unpinned Test Root");
  auto pinned = std::make_shared<crash::TRLServerTrust>(
      "127.0.0.1", std::vector<std::string>{ca.issue({"127.0.0.1"}).certificateDer});
  auto unpinned = std::make_shared<crash::TRLServerTrust>(
      "127.0.0.1", std::vector<std::string>{stranger->issue({"127.0.0.1"}).certificateDer});
  using D = crash::TRLAuthChallengeDisposition;
  struct Case {
    const char* name;
    bool debug;
    bool withPinner;
    std::shared_ptr<crash::TRLServerTrust> trust;
    D disposition;
  };
  const std::vector<Case> cases = {
      {"pinned server", false, true, pinned, D::UseCredential},
      {"unpinned server", false, true, unpinned, D::CancelAuthenticationChallenge},
      {"debug mode skips pinning", true, true, unpinned, D::PerformDefaultHandling},
      {"no pinner", false, false, unpinned, D::PerformDefaultHandling},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TLYNetworkRetryHandlerEnvironment env = environment(c.debug);
    if (c.withPinner) env.certPinner = pinner;
    TLYNetworkRetryHandler handler(env);
    crash::TRLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = "127.0.0.1";
    challenge.protectionSpace.serverTrust = c.trust;
    int calls = 0;
    std::optional<D> disposition;
    std::optional<crash::TRLURLCredential> credential;
    handler.handleChallenge(challenge, nullptr, [&](D d, std::optional<crash::TRLURLCredential> cr) {
      ++calls;
      disposition = d;
      credential = std::move(cr);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(disposition, c.disposition);
    EXPECT_EQ(credential.has_value(), c.disposition == D::UseCredential);
  }
}

}  // namespace
}  // namespace vandrel::analytics
