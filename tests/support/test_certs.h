#pragma once

// Certificates made at test time: a CA and the server certificates it
// signs, so no key material lives in the tree.

#include <memory>
#include <string>
#include <vector>

namespace vandrel::test_support {

// A server certificate and its private key.
struct TestIdentity {
  std::string certificatePem;
  std::string certificateDer;
  std::string privateKeyPem;
};

class TestCertificateAuthority {
 public:
  // A fresh self-signed CA (P-256), valid from a day ago for ten years.
  explicit TestCertificateAuthority(const std::string& commonName);
  ~TestCertificateAuthority();
  TestCertificateAuthority(const TestCertificateAuthority&) = delete;
  TestCertificateAuthority& operator=(const TestCertificateAuthority&) = delete;

  // The CA made once per process: the stand-ins' default, and the one tests
  // pack into the pinned certificate bundle.
  static const TestCertificateAuthority& shared();

  const std::string& pem() const;
  const std::string& der() const;

  // A server certificate signed by this CA. Names that read as IPv4 or IPv6
  // addresses become IP subject alternative names, the rest DNS names.
  TestIdentity issue(const std::vector<std::string>& names) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Writes `text` to `path` (replacing it); false on failure.
bool writeTextFile(const std::string& path, const std::string& text);

}  // namespace vandrel::test_support
