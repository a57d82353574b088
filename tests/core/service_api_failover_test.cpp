// Host selection and fail-over, certificate pinning, and the certificate
// bundle failing closed.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "platform/json.h"
#include "tests/core/service_api_fixture.h"
#include "tests/support/ports.h"

namespace vandrel::core {
namespace {

using namespace service_api_testing;
using Method = qv_Network::Method;
using Encoding = qv_Network::Encoding;

// The "kv" pairs of a remote-log request body, by key.
std::map<std::string, std::string> logValues(const std::string& body) {
  std::map<std::string, std::string> values;
  auto parsed = platform::parseJson(body);
  if (!parsed.ok()) return values;
  for (const auto& pair : parsed.value()["logs"][0]["kv"]) {
    values[pair["key"].get<std::string>()] = pair["value"].get<std::string>();
  }
  return values;
}

// ---- Counting, without a network ---------------------------------------------

class HostSelectionTest : public ::testing::Test {
 protected:
  struct Report {
    std::string host;
    std::string message;
    std::string currentHostDuringReport;
  };

  std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

  test_support::TempHome home_;
  platform::Defaults defaults_{home_.configHome() / "standard.json"};
  std::mutex mutex_;
  std::vector<Report> reports_;
  // The reporter asks for the current host, as the real one does through
  // the request builder: a lock held across the report would dead-lock.
  StaticData staticData_{
      {{"a.test", 8443}, {"b.test", std::nullopt}, {"10.0.0.3", 1}, {"d.test", 4}},
      defaults_,
      [this](const std::string& host, const std::string& message) {
        const std::string current = staticData_.currentHost();
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back({host, message, current});
      }};
};

TEST_F(HostSelectionTest, EveryFifthFailureMovesToTheNextHostAndWrapsAround) {
  EXPECT_EQ(staticData_.currentHost(), "a.test");
  EXPECT_EQ(staticData_.currentApiHost().authority(), "a.test:8443");
  for (int i = 0; i < 4; ++i) staticData_.recordRequestError("e" + std::to_string(i));
  EXPECT_EQ(staticData_.currentHost(), "a.test");
  EXPECT_EQ(staticData_.errorTimes(), 4);

  staticData_.recordRequestError("fifth");
  EXPECT_EQ(staticData_.currentHost(), "b.test");
  EXPECT_EQ(staticData_.errorTimes(), 0);
  ASSERT_EQ(reports().size(), 5u);
  EXPECT_EQ(reports().back().host, "a.test");
  EXPECT_EQ(reports().back().message, "fifth");
  EXPECT_EQ(reports().back().currentHostDuringReport, "a.test");

  for (int i = 0; i < 15; ++i) staticData_.recordRequestError("more");
  EXPECT_EQ(staticData_.currentHost(), "a.test") << "after the last host comes the first";
  EXPECT_EQ(staticData_.currentHostIndex(), 0);
  const std::vector<std::string> expectedHosts = {"a.test", "b.test", "10.0.0.3", "d.test"};
  const auto all = reports();
  ASSERT_EQ(all.size(), 20u);
  for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].host, expectedHosts[i / 5]) << i;
}

TEST_F(HostSelectionTest, SilentCountsAndSuccessesBetweenFailuresKeepTheCount) {
  staticData_.recordRequestError("1");
  staticData_.recordRequestError("2");
  staticData_.countRequestError();
  staticData_.recordRequestError("4");
  EXPECT_EQ(reports().size(), 3u) << "a silent count reports nothing";
  EXPECT_EQ(staticData_.errorTimes(), 4);
  (void)staticData_.currentHost();  // what a successful request does
  staticData_.recordRequestError("5");
  EXPECT_EQ(staticData_.currentHost(), "b.test");
}

TEST_F(HostSelectionTest, ConcurrentFailuresAreEachCountedOnce) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 50; ++i) staticData_.recordRequestError("x");
    });
  }
  for (auto& thread : threads) thread.join();
  // 400 failures: 80 switches, a multiple of the four hosts.
  EXPECT_EQ(reports().size(), 400u);
  EXPECT_EQ(staticData_.errorTimes(), 0);
  EXPECT_EQ(staticData_.currentHostIndex(), 0);
}

// ---- Against the stand-ins ------------------------------------------------------

class ServiceApiFailoverTest : public ServiceApiTest {
 protected:
  ResultData get(std::string_view path) {
    return await(network_->request(path, Method::GET, std::nullopt, Encoding::url));
  }
};

TEST_F(ServiceApiFailoverTest, UndecodableRepliesAreCountedReportedWithTheOldHostAndSwitchHosts) {
  auto first = ServiceStandin::https();
  auto second = ServiceStandin::https();
  test_support::NoListenerPort third;
  test_support::NoListenerPort fourth;
  first->replyTo("/api/1/data", 200, "<html>maintenance</html>");
  first->replyTo("/api/2/log", 200, kOkReply);
  second->replyTo("/api/1/data", 200, kOkReply);
  start({hostOf(*first),
         hostOf(*second, "localhost"),
         {"127.0.0.1", third.port()},
         {"127.0.0.1", fourth.port()}});

  for (std::size_t i = 1; i <= 5; ++i) {
    SCOPED_TRACE(i);
    const ResultData result = get("/data");
    EXPECT_EQ(result.message, "Data Decode Error");
    EXPECT_EQ(result.code, -1);
    ASSERT_TRUE(drain());
    const auto reports = first->requestsTo("/api/2/log");
    ASSERT_EQ(reports.size(), i);
    const auto values = logValues(reports.back().body);
    EXPECT_EQ(values.count("ip") ? values.at("ip") : "", "127.0.0.1");
    EXPECT_EQ(values.count("error") ? values.at("error") : "", "Data Decode Error");
    auto body = platform::parseJson(reports.back().body);
    ASSERT_TRUE(body.ok());
    EXPECT_EQ(body.value().value("logstore", ""), "bad_url_log");
    EXPECT_EQ(staticData_->errorTimes(), static_cast<std::int64_t>(i % 5));
  }
  EXPECT_EQ(staticData_->currentHost(), "localhost");
  const ResultData moved = get("/data");
  EXPECT_TRUE(moved.isSuccess) << moved.message;
  EXPECT_EQ(second->requestsTo("/api/1/data").size(), 1u);
  EXPECT_EQ(first->requestsTo("/api/1/data").size(), 5u);
}

TEST_F(ServiceApiFailoverTest, AFailedReportNeverReportsItself) {
  std::vector<std::unique_ptr<test_support::NoListenerPort>> ports;
  std::vector<ApiHost> hosts;
  for (int i = 0; i < 4; ++i) {
    ports.push_back(std::make_unique<test_support::NoListenerPort>());
    hosts.push_back({"127.0.0.1", ports.back()->port()});
  }
  start(hosts);
  const ResultData result = get("/data");
  EXPECT_EQ(result.message, platform::kUrlErrorCannotConnectText);
  EXPECT_EQ(result.code, -1);
  EXPECT_FALSE(result.fromServiceReply);
  ASSERT_TRUE(drain());
  // The request and its one report, both counted; the report's own failure
  // is not reported again.
  EXPECT_EQ(countLogLines("[DEBUG]: [NET OUT] Path: data"), 1u);
  EXPECT_EQ(countLogLines("[DEBUG]: [NET OUT] Path: log"), 1u);
  EXPECT_EQ(staticData_->errorTimes(), 2);
  EXPECT_EQ(countLogLines("[ERROR]: " + std::string(platform::kUrlErrorCannotConnectText)), 2u);
}

TEST_F(ServiceApiFailoverTest, AnUndecodableLogReplyIsNotCounted) {
  auto standin = ServiceStandin::https();
  standin->replyTo("/api/2/log", 200, "not json");
  start({hostOf(*standin)});
  const ResultData result = get("/api/2/log");
  EXPECT_EQ(result.message, "Data Decode Error");
  ASSERT_TRUE(drain());
  EXPECT_EQ(staticData_->errorTimes(), 0);
  EXPECT_EQ(standin->requestsTo("/api/2/log").size(), 1u);
}

TEST_F(ServiceApiFailoverTest, ServersThatDoNotProveThePinnedIdentityAreRefused) {
  TestCertificateAuthority otherCa("Some Other CA");
  struct Case {
    const char* name;
    std::unique_ptr<ServiceStandin> standin;
    std::string hostName;
    bool isApiHost;
  };
  std::vector<Case> cases;
  cases.push_back({"chains to another CA", ServiceStandin::https(otherCa), "127.0.0.1", true});
  cases.push_back({"names another host",
                   ServiceStandin::https(TestCertificateAuthority::shared(), {"other.example"}),
                   "127.0.0.1", true});
  // The pins belong to the API hosts only: another host gets the system's
  // trust, which knows nothing of the test CA.
  cases.push_back({"not an API host", ServiceStandin::https(), "localhost", false});
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto reportSink = ServiceStandin::https();
    reportSink->replyTo("/api/2/log", 200, kOkReply);
    start({c.isApiHost ? hostOf(*c.standin, c.hostName) : hostOf(*reportSink)});
    const std::string path =
        c.isApiHost ? std::string("/probe")
                    : "https://localhost:" + std::to_string(c.standin->port()) + "/probe";
    const ResultData result = get(path);
    EXPECT_EQ(result.message, platform::kUrlErrorCertificateUntrustedText);
    EXPECT_EQ(result.code, -1);
    ASSERT_TRUE(drain());
    EXPECT_TRUE(c.standin->requestsTo("/api/1/probe").empty());
    EXPECT_TRUE(c.standin->requestsTo("/probe").empty());
    TearDown();
  }
}

TEST_F(ServiceApiFailoverTest, AnUnusableCertificateBundleFailsClosed) {
  auto standin = ServiceStandin::https();
  standin->replyTo("/api/1/data", 200, kOkReply);
  standin->replyTo("/api/2/log", 200, kOkReply);
  auto plain = ServiceStandin::http();
  plain->replyTo("/elsewhere", 200, kOkReply);
  const std::string good = readBytes(certBundlePath());
  struct Case {
    const char* name;
    std::optional<std::string> bundle;  // none: no resource at all
  };
  std::string badLength = good;
  badLength.replace(7 * kCertBundleSlotSize, kCertBundleLengthFieldSize,
                    std::string("12x") + std::string(7, '\0'));
  std::string badCertificate = good;
  badCertificate[148 * kCertBundleSlotSize + kCertBundleLengthFieldSize] = 0x01;
  const std::vector<Case> cases = {
      {"missing", std::nullopt},
      {"short", good.substr(0, kCertBundleSize - 1)},
      {"length not a number", badLength},
      {"not a certificate", badCertificate},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(certBundlePath());
    if (c.bundle) writeBytes(certBundlePath(), *c.bundle);
    start({hostOf(*standin)});
    standin->clearLog();
    const auto promise = network_->request("/data", Method::GET, std::nullopt, Encoding::url);
    ASSERT_TRUE(promise.isSettled()) << "refused without being sent";
    const ResultData result = *promise.wait(0s);
    EXPECT_FALSE(result.isSuccess);
    EXPECT_EQ(result.code, -1);
    EXPECT_NE(result.message.find("icon.xcImage"), std::string::npos) << result.message;
    EXPECT_EQ(countLogLines("[ERROR]: " + result.message), 1u);
    // Hosts that are not pinned are still reachable.
    EXPECT_TRUE(get("http://localhost:" + std::to_string(plain->port()) + "/elsewhere").isSuccess);
    ASSERT_TRUE(drain());
    EXPECT_TRUE(standin->requests().empty()) << "nothing reaches a pinned host unpinned";
    EXPECT_EQ(staticData_->errorTimes(), 0);
    TearDown();
  }
}

}  // namespace
}  // namespace vandrel::core
