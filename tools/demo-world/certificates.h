#pragma once

// Certificates made at run time: a CA and the server certificates it signs,
// so no key material lives in the tree. The demo world serves with them and
// the tests' stand-ins do too.

#include <memory>
#include <string>
#include <vector>

namespace vandrel::demo {

// A server certificate and its private key.
struct ServerIdentity {
  std::string certificatePem;
  std::string certificateDer;
  std::string privateKeyPem;
};

class CertificateAuthority {
 public:
  // A fresh self-signed CA (P-256), valid from a day ago for ten years.
  explicit CertificateAuthority(const std::string& commonName);
  ~CertificateAuthority();
  CertificateAuthority(const CertificateAuthority&) = delete;
  CertificateAuthority& operator=(const CertificateAuthority&) = delete;

  // The CA made once per process.
  static const CertificateAuthority& shared();

  const std::string& pem() const;
  const std::string& der() const;

  // A server certificate signed by this CA. Names that read as IPv4 or IPv6
  // addresses become IP subject alternative names, the rest DNS names.
  ServerIdentity issue(const std::vector<std::string>& names) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vandrel::demo
