// Runs inside the private network and mount namespace of scripts/netns-run:
// there the test CA is made system-trusted by a bind mount over the
// system's CA bundle, and "offline" is real (only lo exists). Nothing here
// touches the host.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/dispatch.h"
#include "platform/http.h"
#include "tests/support/service_standin.h"
#include "tests/support/test_certs.h"

namespace vandrel::platform {
namespace {

using namespace std::chrono_literals;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";

bool insidePrivateNamespace() {
  const char* flag = std::getenv("VANDREL_IN_NETNS");
  return flag && std::string(flag) == "1";
}

void bindOver(const std::string& source, const char* target) {
  ASSERT_EQ(::mount(source.c_str(), target, nullptr, MS_BIND, nullptr), 0)
      << "bind mount over " << target << ": " << std::strerror(errno);
}

HttpResponse roundTrip(HttpSession& session, std::string url) {
  auto got = std::make_shared<std::optional<HttpResponse>>();
  HttpRequest request;
  request.url = std::move(url);
  session.send(std::move(request), mainQueue(), [got](HttpResponse r) { *got = std::move(r); });
  EXPECT_TRUE(mainQueue().runUntil([&] { return got->has_value(); }, 15s));
  return got->value_or(HttpResponse{});
}

void expectError(const HttpResponse& r, UrlError code) {
  ASSERT_TRUE(r.error.has_value()) << "status " << r.status;
  EXPECT_EQ(*r.error, makeUrlError(code)) << r.error->message;
}

class HttpSystemTrustTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!insidePrivateNamespace()) return;
    // Before any request: curl caches the system store once loaded.
    std::string bundle = testing::TempDir() + "/vandrel-system-bundle.crt";
    ASSERT_TRUE(test_support::writeTextFile(bundle, TestCertificateAuthority::shared().pem()));
    bindOver(bundle, kSystemBundle);
    // No reachable name server: look-ups fail at once, whatever the host has.
    std::string resolv = testing::TempDir() + "/vandrel-resolv.conf";
    ASSERT_TRUE(test_support::writeTextFile(resolv, "nameserver 127.0.0.1\noptions attempts:1 timeout:1\n"));
    bindOver(resolv, "/etc/resolv.conf");
  }

  void SetUp() override {
    if (!insidePrivateNamespace()) GTEST_SKIP() << "needs the private namespace of scripts/netns-run";
  }
};

TEST_F(HttpSystemTrustTest, PinnedPolicyRefusesAServerTheSystemStoreTrusts) {
  auto service = ServiceStandin::https();
  service->replyTo("/ping", 200, "pong");
  TestCertificateAuthority otherCa("Other Test CA");

  HttpEngine engine;
  HttpSession systemSession(HttpSessionConfig{}, engine);
  HttpResponse trusted = roundTrip(systemSession, service->url("/ping"));
  ASSERT_TRUE(trusted.ok()) << trusted.error->message;
  EXPECT_EQ(trusted.body, "pong");

  HttpSessionConfig pinned;
  pinned.hostTrust.emplace("127.0.0.1", TrustPolicy::pinned({otherCa.der()}).value());
  HttpSession pinnedSession(pinned, engine);
  expectError(roundTrip(pinnedSession, service->url("/ping")),
              UrlError::ServerCertificateUntrusted);
}

TEST_F(HttpSystemTrustTest, NoRouteReadsAsOfflineAndAnUnknownHostAsNotFound) {
  HttpSession session{HttpSessionConfig{}};
  expectError(roundTrip(session, "https://10.1.2.3/api/1/ip"), UrlError::NotConnectedToInternet);
  expectError(roundTrip(session, "https://no-such-host.invalid/api/1/ip"),
              UrlError::CannotFindHost);
}

}  // namespace
}  // namespace vandrel::platform
