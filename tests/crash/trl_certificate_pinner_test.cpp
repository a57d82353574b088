#include "crash/kit/trl_certificate_pinner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/test_certs.h"

namespace vandrel::crash {
namespace {

using test_support::TestCertificateAuthority;

TRLCertificate certificateOf(const TestCertificateAuthority& ca) {
  auto cert = TRLCertificatePinner::createCertificationWithData(ca.der().data(), ca.der().size());
  EXPECT_TRUE(cert.has_value());
  return *cert;
}

const TestCertificateAuthority& otherCa() {
  static const auto* ca = new TestCertificateAuthority("Unpinned Test Root");
  return *ca;
}

TEST(TRLCertificatePinnerTest, CreatesCertificatesOnlyFromExactlyOneDerCertificate) {
  const std::string der = TestCertificateAuthority::shared().der();
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"the DER certificate", der, true},
      {"empty", "", false},
      {"truncated", der.substr(0, der.size() - 1), false},
      {"trailing byte", der + "x", false},
      {"PEM text instead of DER", TestCertificateAuthority::shared().pem(), false},
      {"garbage", std::string(64, '\x30'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto cert = TRLCertificatePinner::createCertificationWithData(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(cert.has_value(), c.valid);
    if (cert) {
      EXPECT_EQ(cert->der(), der);
    }
  }
  EXPECT_FALSE(TRLCertificatePinner::createCertificationWithData(nullptr, 10).has_value());
}

TEST(TRLCertificatePinnerTest, KeepsItsOwnCopyOfTheList) {
  std::vector<TRLCertificate> list = {certificateOf(TestCertificateAuthority::shared())};
  TRLCertificatePinner pinner(list);
  list.push_back(certificateOf(otherCa()));
  ASSERT_EQ(pinner.certificates().size(), 1u);
  EXPECT_EQ(pinner.certificates()[0].der(), TestCertificateAuthority::shared().der());
}

// The evaluation over a presented chain, judged with the anchors alone.
TEST(TRLCertificatePinnerTest, EvaluatesChainsAgainstTheAnchorsOnly) {
  const auto& pinnedCa = TestCertificateAuthority::shared();
  const auto pinnedLeaf = pinnedCa.issue({"api.example.test", "127.0.0.1"});
  const auto otherLeaf = otherCa().issue({"api.example.test"});
  const auto afterExpiry = std::chrono::system_clock::now() + std::chrono::hours(24 * 365 * 11);

  struct Case {
    const char* name;
    std::vector<TRLCertificate> anchors;
    std::string host;
    std::vector<std::string> chain;
    std::optional<std::chrono::system_clock::time_point> date;
    std::int32_t status;
    TRLTrustResult result;
  };
  const std::vector<Case> cases = {
      {"chain ends in a pinned root",
       {certificateOf(pinnedCa)},
       "api.example.test",
       {pinnedLeaf.certificateDer},
       std::nullopt,
       kTRLTrustStatusSuccess,
       TRLTrustResult::Unspecified},
      {"IP address name",
       {certificateOf(otherCa()), certificateOf(pinnedCa)},
       "127.0.0.1",
       {pinnedLeaf.certificateDer},
       std::nullopt,
       kTRLTrustStatusSuccess,
       TRLTrustResult::Unspecified},
      {"root not in the list",
       {certificateOf(pinnedCa)},
       "api.example.test",
       {otherLeaf.certificateDer},
       std::nullopt,
       kTRLTrustStatusSuccess,
       TRLTrustResult::RecoverableTrustFailure},
      {"certificate names another host",
       {certificateOf(pinnedCa)},
       "evil.example.test",
       {pinnedLeaf.certificateDer},
       std::nullopt,
       kTRLTrustStatusSuccess,
       TRLTrustResult::RecoverableTrustFailure},
      {"judged after the anchor's expiry",
       {certificateOf(pinnedCa)},
       "api.example.test",
       {pinnedLeaf.certificateDer},
       afterExpiry,
       kTRLTrustStatusSuccess,
       TRLTrustResult::RecoverableTrustFailure},
      {"empty anchor list refuses everything",
       {},
       "api.example.test",
       {pinnedLeaf.certificateDer},
       std::nullopt,
       kTRLTrustStatusSuccess,
       TRLTrustResult::Invalid},
      {"no chain at all",
       {certificateOf(pinnedCa)},
       "api.example.test",
       {},
       std::nullopt,
       kTRLTrustStatusParam,
       TRLTrustResult::Invalid},
      {"leaf is not a certificate",
       {certificateOf(pinnedCa)},
       "api.example.test",
       {"not a cert"},
       std::nullopt,
       kTRLTrustStatusParam,
       TRLTrustResult::Invalid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRLCertificatePinner pinner(c.anchors);
    TRLServerTrust trust(c.host, c.chain);
    if (c.date) trust.setVerifyDate(*c.date);
    TRLTrustResult result = TRLTrustResult::Proceed;
    EXPECT_EQ(pinner.evaluateTrust(trust, &result), c.status);
    EXPECT_EQ(result, c.result);
  }
}

// Whatever anchors (and system store) a trust object came with, the
// pinner's evaluation uses its own list alone.
TEST(TRLCertificatePinnerTest, ReplacesTheAnchorsATrustObjectCameWith) {
  const auto leaf = otherCa().issue({"api.example.test"});
  TRLServerTrust trust("api.example.test", {leaf.certificateDer});
  trust.setAnchorCertificates({certificateOf(otherCa())});
  trust.setAnchorCertificatesOnly(false);
  TRLTrustResult result = TRLTrustResult::Invalid;
  ASSERT_EQ(trust.evaluate(&result), kTRLTrustStatusSuccess);
  EXPECT_EQ(result, TRLTrustResult::Unspecified);

  TRLCertificatePinner pinner({certificateOf(TestCertificateAuthority::shared())});
  ASSERT_EQ(pinner.evaluateTrust(trust, &result), kTRLTrustStatusSuccess);
  EXPECT_EQ(result, TRLTrustResult::RecoverableTrustFailure);
}

TEST(TRLCertificatePinnerTest, AnswersChallengesOnceWithCredentialOrCancel) {
  const auto& pinnedCa = TestCertificateAuthority::shared();
  TRLCertificatePinner pinner({certificateOf(pinnedCa)});
  auto trusted = std::make_shared<TRLServerTrust>(
      "127.0.0.1", std::vector<std::string>{pinnedCa.issue({"127.0.0.1"}).certificateDer});
  auto untrusted = std::make_shared<TRLServerTrust>(
      "127.0.0.1", std::vector<std::string>{otherCa().issue({"127.0.0.1"}).certificateDer});

  struct Case {
    const char* name;
    TRLAuthenticationChallenge challenge;
    bool trusted;
  };
  const std::vector<Case> cases = {
      {"pinned server",
       {{"127.0.0.1", 443, std::string(kNSURLAuthenticationMethodServerTrust), trusted}},
       true},
      {"unpinned server",
       {{"127.0.0.1", 443, std::string(kNSURLAuthenticationMethodServerTrust), untrusted}},
       false},
      {"server trust challenge without a trust object",
       {{"127.0.0.1", 443, std::string(kNSURLAuthenticationMethodServerTrust), nullptr}},
       false},
      {"password challenge",
       {{"127.0.0.1", 443, "NSURLAuthenticationMethodHTTPBasic", nullptr}},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    std::optional<TRLAuthChallengeDisposition> disposition;
    std::optional<TRLURLCredential> credential;
    bool answer = pinner.handleChallenge(
        c.challenge, nullptr,
        [&](TRLAuthChallengeDisposition d, std::optional<TRLURLCredential> cr) {
          ++calls;
          disposition = d;
          credential = std::move(cr);
        });
    EXPECT_EQ(answer, c.trusted);
    EXPECT_EQ(calls, 1);
    if (c.trusted) {
      EXPECT_EQ(disposition, TRLAuthChallengeDisposition::UseCredential);
      ASSERT_TRUE(credential.has_value());
      EXPECT_EQ(credential->trust, c.challenge.protectionSpace.serverTrust);
    } else {
      EXPECT_EQ(disposition, TRLAuthChallengeDisposition::CancelAuthenticationChallenge);
      EXPECT_FALSE(credential.has_value());
    }
  }
}

TEST(TRLCertificatePinnerTest, EngineTrustPolicyIsAnchorsOnlyAndRefusesAnEmptyList) {
  TRLCertificatePinner pinner(
      {certificateOf(TestCertificateAuthority::shared()), certificateOf(otherCa())});
  auto policy = pinner.trustPolicy();
  ASSERT_TRUE(policy.ok()) << policy.error().message;
  EXPECT_EQ(policy.value().kind(), platform::TrustPolicy::Kind::AnchorsOnly);
  EXPECT_EQ(policy.value().certificateCount(), 2u);

  TRLCertificatePinner empty({});
  EXPECT_FALSE(empty.trustPolicy().ok());
}

TEST(TRLCertificatePinnerTest, ReadsPemFilesInOrderAndRejectsBadOnes) {
  test_support::TempDir dir("pinner");
  const std::string both = TestCertificateAuthority::shared().pem() + "\n" + otherCa().pem();
  ASSERT_TRUE(test_support::writeTextFile(dir.file("roots.pem"), both));
  auto loaded = TRLLoadCertificatesFromPEMFile(dir / "roots.pem");
  ASSERT_TRUE(loaded.ok()) << loaded.error().message;
  ASSERT_EQ(loaded.value().size(), 2u);
  EXPECT_EQ(loaded.value()[0].der(), TestCertificateAuthority::shared().der());
  EXPECT_EQ(loaded.value()[1].der(), otherCa().der());

  std::string broken = TestCertificateAuthority::shared().pem();
  broken += "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
  struct Case {
    const char* name;
    std::string text;
  };
  for (const auto& c : std::vector<Case>{
           {"empty file", ""}, {"no certificate", "hello\n"}, {"a broken block", broken}}) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(test_support::writeTextFile(dir.file("bad.pem"), c.text));
    auto bad = TRLLoadCertificatesFromPEMFile(dir / "bad.pem");
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.error().message.find("bad.pem"), std::string::npos) << bad.error().message;
  }
  EXPECT_FALSE(TRLLoadCertificatesFromPEMFile(dir / "missing.pem").ok());
}

// The only test of this binary that reads the process-wide list: it is
// made once, from the bundle this test points at.
TEST(TRLCertificatePinnerTest, BuiltInAnchorsComeFromTheBundleResourceOnce) {
  test_support::TempDir dir("pinner-bundle");
  const auto bundle = dir.path() / "Kit.app";
  std::filesystem::create_directories(bundle / "Contents" / "Resources");
  ASSERT_TRUE(test_support::writeTextFile(
      (bundle / "Contents" / "Resources" / std::string(kTRLPinnedCertificatesResource)).string(),
      otherCa().pem() + TestCertificateAuthority::shared().pem()));
  test_support::ScopedEnv env("VANDREL_BUNDLE", bundle.string());

  const auto& first = TRLPinnedCertificates();
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0].der(), otherCa().der());
  EXPECT_EQ(first[1].der(), TestCertificateAuthority::shared().der());
  std::filesystem::remove(bundle / "Contents" / "Resources" /
                          std::string(kTRLPinnedCertificatesResource));
  EXPECT_EQ(&TRLPinnedCertificates(), &first);
  EXPECT_EQ(TRLPinnedCertificates().size(), 2u);
}

}  // namespace
}  // namespace vandrel::crash
