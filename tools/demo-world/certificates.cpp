#include "tools/demo-world/certificates.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace vandrel::demo {
namespace {

void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("certificate: ") + what);
}

EVP_PKEY* newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  require(key != nullptr, "key generation failed");
  return key;
}

std::string pemOf(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return out;
}

std::string pemOf(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return out;
}

std::string derOf(X509* cert) {
  unsigned char* data = nullptr;
  int size = i2d_X509(cert, &data);
  require(size > 0, "DER encoding failed");
  std::string out(reinterpret_cast<char*>(data), static_cast<std::size_t>(size));
  OPENSSL_free(data);
  return out;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  require(ext != nullptr, "bad extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `key` named `commonName`, to be signed by the caller.
X509* newCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3650L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Vandrel demo"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  return cert;
}

bool isIpAddress(const std::string& name) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, name.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, name.c_str(), buffer) == 1;
}

}  // namespace

struct CertificateAuthority::Impl {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  std::string pem;
  std::string der;

  ~Impl() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
};

CertificateAuthority::CertificateAuthority(const std::string& commonName)
    : impl_(std::make_unique<Impl>()) {
  impl_->key = newKey();
  impl_->cert = newCertificate(impl_->key, commonName, nullptr);
  X509* cert = impl_->cert;
  addExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(cert, cert, NID_subject_key_identifier, "hash");
  require(X509_sign(cert, impl_->key, EVP_sha256()) > 0, "CA signing failed");
  impl_->pem = pemOf(cert);
  impl_->der = derOf(cert);
}

CertificateAuthority::~CertificateAuthority() = default;

const CertificateAuthority& CertificateAuthority::shared() {
  static auto* ca = new CertificateAuthority("Vandrel Test CA");
  return *ca;
}

const std::string& CertificateAuthority::pem() const { return impl_->pem; }
const std::string& CertificateAuthority::der() const { return impl_->der; }

ServerIdentity CertificateAuthority::issue(const std::vector<std::string>& names) const {
  require(!names.empty(), "a server certificate needs a name");
  EVP_PKEY* key = newKey();
  X509* cert = newCertificate(key, names.front(), impl_->cert);
  std::string san;
  for (const auto& name : names) {
    if (!san.empty()) san += ",";
    san += (isIpAddress(name) ? "IP:" : "DNS:") + name;
  }
  addExtension(cert, impl_->cert, NID_basic_constraints, "critical,CA:FALSE");
  addExtension(cert, impl_->cert, NID_key_usage, "critical,digitalSignature");
  addExtension(cert, impl_->cert, NID_ext_key_usage, "serverAuth");
  addExtension(cert, impl_->cert, NID_subject_alt_name, san);
  addExtension(cert, impl_->cert, NID_authority_key_identifier, "keyid:always");
  require(X509_sign(cert, impl_->key, EVP_sha256()) > 0, "server signing failed");
  ServerIdentity identity{pemOf(cert), derOf(cert), pemOf(key)};
  X509_free(cert);
  EVP_PKEY_free(key);
  return identity;
}

}  // namespace vandrel::demo
