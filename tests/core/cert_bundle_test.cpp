// The pinned certificate bundle's slot format, its packer program and the
// bundle the build made.

#include "core/cert_bundle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/process.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_certs.h"

namespace vandrel::core {
namespace {

namespace fs = std::filesystem;
using test_support::TestCertificateAuthority;

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string slotLength(const std::string& bundle, std::size_t slot) {
  return bundle.substr(slot * kCertBundleSlotSize, kCertBundleLengthFieldSize);
}

class CertBundleTest : public ::testing::Test {
 protected:
  const std::string& caDer() const { return TestCertificateAuthority::shared().der(); }
  const std::string& otherDer() const { return other_.der(); }

  TestCertificateAuthority other_{"Second Test CA"};
};

TEST_F(CertBundleTest, PackingCyclesTheCertificatesThroughEverySlot) {
  auto packed = packCertBundle({caDer(), otherDer()});
  ASSERT_TRUE(packed.ok()) << packed.error().message;
  EXPECT_EQ(packed.value().size(), kCertBundleSize);
  EXPECT_EQ(
      slotLength(packed.value(), 0),
      std::to_string(caDer().size()) +
          std::string(kCertBundleLengthFieldSize - std::to_string(caDer().size()).size(), '\0'));
  auto parsed = parseCertBundle(packed.value());
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  ASSERT_EQ(parsed.value().size(), kCertBundleSlotCount);
  for (std::size_t i = 0; i < kCertBundleSlotCount; ++i) {
    EXPECT_EQ(parsed.value()[i], i % 2 == 0 ? caDer() : otherDer()) << i;
  }
  // Bytes after the last slot are ignored.
  EXPECT_TRUE(parseCertBundle(packed.value() + "trailing").ok());
}

TEST_F(CertBundleTest, ParsingValidatesEverySlot) {
  const std::string good = packCertBundle({caDer()}).value();
  const std::string n = std::to_string(caDer().size());
  auto withLength = [&](std::size_t slot, std::string field) {
    std::string bundle = good;
    field.resize(kCertBundleLengthFieldSize, '\0');
    bundle.replace(slot * kCertBundleSlotSize, kCertBundleLengthFieldSize, field);
    return bundle;
  };
  std::string corrupt = good;
  corrupt[3 * kCertBundleSlotSize + kCertBundleLengthFieldSize] = 0x05;
  std::string nulsBetweenDigits;
  for (char digit : n) nulsBetweenDigits += std::string(1, '\0') + digit;
  struct Case {
    const char* name;
    std::string bundle;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"NULs anywhere in the length field", withLength(0, nulsBetweenDigits), true},
      {"one byte short", good.substr(0, kCertBundleSize - 1), false},
      {"empty", "", false},
      {"length zero", withLength(10, "0"), false},
      {"length of only NULs", withLength(10, ""), false},
      {"length with a letter", withLength(10, n + "x"), false},
      {"length with a blank", withLength(10, " " + n), false},
      {"negative length", withLength(10, "-" + n), false},
      {"length over 2490", withLength(148, "2491"), false},
      {"length one short of the certificate", withLength(5, std::to_string(caDer().size() - 1)),
       false},
      {"length one past the certificate", withLength(5, std::to_string(caDer().size() + 1)), false},
      {"not a certificate", corrupt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto parsed = parseCertBundle(c.bundle);
    EXPECT_EQ(parsed.ok(), c.ok);
    if (!parsed.ok()) {
      EXPECT_EQ(parsed.error().domain, kCertBundleErrorDomain);
    }
  }
}

TEST_F(CertBundleTest, PackingRefusesWhatCannotFillASlot) {
  EXPECT_FALSE(packCertBundle({}).ok());
  EXPECT_FALSE(packCertBundle({std::string(100, 'x')}).ok());
  EXPECT_FALSE(packCertBundle({caDer() + "x"}).ok());
  EXPECT_FALSE(packCertBundle({caDer(), std::string(2491, '\x30')}).ok());
}

TEST_F(CertBundleTest, CertificatesAreReadFromPemOrDer) {
  auto pem =
      certificatesFromPemOrDer(TestCertificateAuthority::shared().pem() + "\n" + other_.pem());
  ASSERT_TRUE(pem.ok());
  EXPECT_EQ(pem.value(), (std::vector<std::string>{caDer(), otherDer()}));
  auto der = certificatesFromPemOrDer(otherDer());
  ASSERT_TRUE(der.ok());
  EXPECT_EQ(der.value(), std::vector<std::string>{otherDer()});
  EXPECT_FALSE(certificatesFromPemOrDer("not a certificate").ok());
  EXPECT_FALSE(certificatesFromPemOrDer("").ok());
}

TEST_F(CertBundleTest, ADamagedCertificateBlockFailsTheWholeFile) {
  const std::string good = TestCertificateAuthority::shared().pem();
  const std::string other = other_.pem();
  // The body's middle line loses characters: its base64 no longer decodes
  // to a certificate.
  std::string damaged = other;
  damaged.erase(other.find('\n', other.find("-----\n") + 6) - 10, 10);
  std::string cut = other.substr(0, other.find("-----END"));
  struct Case {
    const char* name;
    std::string content;
  };
  const std::vector<Case> cases = {
      {"damaged second block", good + damaged},
      {"damaged first block", damaged + good},
      {"second block without its end line", good + cut},
      {"block whose body is not a certificate",
       good + "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = certificatesFromPemOrDer(c.content);
    EXPECT_FALSE(read.ok()) << read.value().size() << " certificate(s) read";
  }
  // Text around the blocks and blocks of other kinds are no damage.
  const auto withText = certificatesFromPemOrDer(
      "# first\n" + good + "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n" +
      "# second\n" + other + "\n# end\n");
  ASSERT_TRUE(withText.ok());
  EXPECT_EQ(withText.value(), (std::vector<std::string>{caDer(), otherDer()}));
}

TEST_F(CertBundleTest, PlaceholderIsAFreshCertificateThatPacks) {
  auto first = makePlaceholderCertificate("placeholder");
  auto second = makePlaceholderCertificate("placeholder");
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  EXPECT_NE(first.value(), second.value());
  EXPECT_TRUE(parseCertBundle(packCertBundle({first.value()}).value()).ok());
}

// The packer program and the build's bundle, found through the variables
// that CTest sets.
class CertBundleToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* binary = std::getenv("VANDREL_BINARY_DIR");
    const char* bundle = std::getenv("VANDREL_BUNDLE");
    if (binary == nullptr || bundle == nullptr) GTEST_SKIP() << "run through CTest";
    tool_ = fs::path(binary) / "tools/make-cert-bundle/make-cert-bundle";
    bundle_ = bundle;
  }

  platform::Result<platform::ProcessOutput> run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), tool_.string());
    platform::ProcessOptions options;
    options.timeout = std::chrono::seconds(30);
    return platform::ProcessRunner::system().run(arguments, options);
  }

  fs::path tool_;
  fs::path bundle_;
  test_support::TempHome home_;
};

TEST_F(CertBundleToolTest, PacksPemAndDerFilesInOrder) {
  TestCertificateAuthority other("Tool Test CA");
  const fs::path pem = home_.root() / "ca.pem";
  const fs::path der = home_.root() / "other.der";
  ASSERT_TRUE(test_support::writeTextFile(pem.string(), TestCertificateAuthority::shared().pem()));
  ASSERT_TRUE(test_support::writeTextFile(der.string(), other.der()));
  const fs::path output = home_.root() / "icon.xcImage";
  auto ran = run({"--output", output.string(), pem.string(), der.string()});
  ASSERT_TRUE(ran.ok()) << ran.error().message;
  EXPECT_EQ(ran.value().exitCode, 0) << ran.value().standardError;
  auto parsed = parseCertBundle(readBytes(output));
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(parsed.value()[0], TestCertificateAuthority::shared().der());
  EXPECT_EQ(parsed.value()[1], other.der());
  EXPECT_EQ(parsed.value()[148], TestCertificateAuthority::shared().der());

  const fs::path garbage = home_.root() / "garbage.pem";
  ASSERT_TRUE(test_support::writeTextFile(garbage.string(), "nothing here"));
  auto refused = run({"--output", output.string(), garbage.string()});
  ASSERT_TRUE(refused.ok());
  EXPECT_NE(refused.value().exitCode, 0);
  EXPECT_TRUE(parseCertBundle(readBytes(output)).ok()) << "a failed run leaves the old bundle";
}

TEST_F(CertBundleToolTest, TheBuildPutsAValidBundleIntoTheResources) {
  auto parsed = parseCertBundle(readBytes(bundle_ / "Contents/Resources/icon.xcImage"));
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(parsed.value().size(), kCertBundleSlotCount);
}

}  // namespace
}  // namespace vandrel::core
