#include "core/cert_bundle.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <optional>
#include <set>

namespace vandrel::core {
namespace {

platform::Error bundleError(std::int64_t code, std::string message) {
  return platform::Error{std::string(kCertBundleErrorDomain), code, std::move(message)};
}

enum : std::int64_t { kTooShort = 1, kBadLength = 2, kBadCertificate = 3, kNoCertificates = 4 };

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

// Whether `der` is exactly one DER certificate, nothing before or after.
bool isOneDerCertificate(std::string_view der) {
  const auto* start = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* p = start;
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  ERR_clear_error();
  return cert != nullptr && p == start + der.size();
}

std::string toDer(X509* cert) {
  unsigned char* out = nullptr;
  const int size = i2d_X509(cert, &out);
  if (size <= 0) return {};
  std::string der(reinterpret_cast<char*>(out), static_cast<std::size_t>(size));
  OPENSSL_free(out);
  return der;
}

// The length field's number: NULs removed, the rest decimal digits only.
std::optional<std::size_t> readLengthField(std::string_view field) {
  std::size_t value = 0;
  bool anyDigit = false;
  for (char c : field) {
    if (c == '\0') continue;
    if (c < '0' || c > '9') return std::nullopt;
    anyDigit = true;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  if (!anyDigit) return std::nullopt;
  return value;
}

}  // namespace

platform::Result<std::vector<std::string>> parseCertBundle(std::string_view bytes) {
  if (bytes.size() < kCertBundleSize) {
    return bundleError(kTooShort, "the bundle holds " + std::to_string(bytes.size()) +
                                      " bytes, fewer than " + std::to_string(kCertBundleSize));
  }
  std::vector<std::string> certificates;
  certificates.reserve(kCertBundleSlotCount);
  // Bundles repeat their certificates to fill the slots; a slot that holds
  // the very bytes of one already checked needs no second parse.
  std::set<std::string_view> checked;
  for (std::size_t i = 0; i < kCertBundleSlotCount; ++i) {
    const std::string_view slot = bytes.substr(i * kCertBundleSlotSize, kCertBundleSlotSize);
    const auto length = readLengthField(slot.substr(0, kCertBundleLengthFieldSize));
    if (!length || *length == 0 || *length > kCertBundleMaxCertificateSize) {
      return bundleError(kBadLength,
                         "slot " + std::to_string(i) + " has no valid certificate length");
    }
    const std::string_view der = slot.substr(kCertBundleLengthFieldSize, *length);
    if (!checked.contains(der) && !isOneDerCertificate(der)) {
      return bundleError(kBadCertificate,
                         "slot " + std::to_string(i) + " does not hold one DER certificate");
    }
    checked.insert(der);
    certificates.emplace_back(der);
  }
  return certificates;
}

platform::Result<std::string> packCertBundle(const std::vector<std::string>& derCertificates) {
  if (derCertificates.empty()) return bundleError(kNoCertificates, "no certificates to pack");
  for (std::size_t i = 0; i < derCertificates.size(); ++i) {
    const std::string& der = derCertificates[i];
    if (der.size() > kCertBundleMaxCertificateSize) {
      return bundleError(kBadLength, "certificate " + std::to_string(i) + " has " +
                                         std::to_string(der.size()) + " bytes, more than " +
                                         std::to_string(kCertBundleMaxCertificateSize));
    }
    if (!isOneDerCertificate(der)) {
      return bundleError(kBadCertificate,
                         "certificate " + std::to_string(i) + " is not one DER certificate");
    }
  }
  std::string bundle(kCertBundleSize, '\0');
  for (std::size_t i = 0; i < kCertBundleSlotCount; ++i) {
    const std::string& der = derCertificates[i % derCertificates.size()];
    const std::string length = std::to_string(der.size());
    const std::size_t offset = i * kCertBundleSlotSize;
    bundle.replace(offset, length.size(), length);
    bundle.replace(offset + kCertBundleLengthFieldSize, der.size(), der);
  }
  return bundle;
}

platform::Result<std::vector<std::string>> certificatesFromPemOrDer(std::string_view content) {
  std::vector<std::string> certificates;
  std::unique_ptr<BIO, BioFree> bio(
      BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
  // The reader stops at the first block it cannot read as well as at the
  // end: only "no further block" is the end. Keeping the blocks read before
  // a damaged one would pin fewer certificates than the file names.
  bool damaged = false;
  while (bio) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
      const unsigned long error = ERR_peek_last_error();
      damaged = ERR_GET_LIB(error) != ERR_LIB_PEM || ERR_GET_REASON(error) != PEM_R_NO_START_LINE;
      break;
    }
    certificates.push_back(toDer(cert.get()));
  }
  ERR_clear_error();
  if (!certificates.empty()) {
    if (damaged) {
      return bundleError(kBadCertificate, "a certificate block after the first " +
                                              std::to_string(certificates.size()) +
                                              " cannot be read");
    }
    return certificates;
  }
  if (isOneDerCertificate(content)) return std::vector<std::string>{std::string(content)};
  return bundleError(kNoCertificates, "neither PEM certificates nor one DER certificate");
}

platform::Result<std::string> makePlaceholderCertificate(std::string_view commonName) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  X509Ptr cert(X509_new());
  unsigned char serial[16];
  bool ok = key && cert && RAND_bytes(serial, sizeof serial) == 1;
  if (ok) {
    serial[0] &= 0x7f;  // a positive serial number
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    ok = bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(bn);
  }
  X509_NAME* name = ok ? X509_get_subject_name(cert.get()) : nullptr;
  const std::string cn(commonName);
  ok = ok && X509_set_version(cert.get(), 2) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                  reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                  0) == 1 &&
       X509_set_issuer_name(cert.get(), name) == 1 &&
       X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
       X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 3650) != nullptr &&
       X509_set_pubkey(cert.get(), key.get()) == 1;
  if (ok) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
    ok = ext != nullptr && X509_add_ext(cert.get(), ext, -1) == 1;
    X509_EXTENSION_free(ext);
  }
  ok = ok && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  ERR_clear_error();
  if (!ok) return bundleError(kBadCertificate, "the placeholder certificate could not be made");
  return toDer(cert.get());
}

}  // namespace vandrel::core
