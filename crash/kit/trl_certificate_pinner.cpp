#include "crash/kit/trl_certificate_pinner.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/bundle.h"

namespace vandrel::crash {

namespace {

constexpr std::string_view kPinnerErrorDomain = "TRLCertificatePinner";

platform::Error pinnerError(std::int64_t code, std::string message) {
  return platform::Error{std::string(kPinnerErrorDomain), code, std::move(message)};
}

struct X509Deleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

// Exactly one certificate: trailing bytes make the input something else.
X509Ptr parseDer(const std::string& der) {
  const auto* begin = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* p = begin;
  X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert || p != begin + der.size()) {
    ERR_clear_error();
    return nullptr;
  }
  return cert;
}

std::string toDer(X509* cert) {
  int size = i2d_X509(cert, nullptr);
  if (size <= 0) return {};
  std::string der(static_cast<std::size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  i2d_X509(cert, &out);
  return der;
}

bool isIpAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The verification context of one evaluation; frees everything it made.
class Verifier {
 public:
  ~Verifier() {
    X509_STORE_CTX_free(ctx_);
    X509_STORE_free(store_);
    sk_X509_pop_free(untrusted_, X509_free);
  }

  // False when the chain's certificates do not parse.
  bool setChain(const std::vector<std::string>& chain) {
    leaf_ = parseDer(chain.front());
    if (!leaf_) return false;
    untrusted_ = sk_X509_new_null();
    if (!untrusted_) return false;
    for (std::size_t i = 1; i < chain.size(); ++i) {
      X509Ptr cert = parseDer(chain[i]);
      if (!cert) return false;
      if (!sk_X509_push(untrusted_, cert.get())) return false;
      cert.release();
    }
    return true;
  }

  bool prepare(const std::vector<TRLCertificate>& anchors, bool anchorsOnly,
               const std::string& host,
               const std::optional<std::chrono::system_clock::time_point>& date) {
    store_ = X509_STORE_new();
    if (!store_) return false;
    for (const auto& anchor : anchors) {
      X509Ptr cert = parseDer(anchor.der());
      if (!cert || !X509_STORE_add_cert(store_, cert.get())) return false;
    }
    if (!anchorsOnly && !X509_STORE_set_default_paths(store_)) return false;
    ctx_ = X509_STORE_CTX_new();
    if (!ctx_ || !X509_STORE_CTX_init(ctx_, store_, leaf_.get(), untrusted_)) return false;
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx_);
    if (!X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER)) return false;
    int hostSet = isIpAddress(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                    : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    if (!hostSet) return false;
    if (date) X509_VERIFY_PARAM_set_time(param, std::chrono::system_clock::to_time_t(*date));
    return true;
  }

  // 1 trusted, 0 not trusted, negative when verification could not run.
  int verify() { return X509_verify_cert(ctx_); }

 private:
  X509Ptr leaf_;
  STACK_OF(X509) * untrusted_ = nullptr;
  X509_STORE* store_ = nullptr;
  X509_STORE_CTX* ctx_ = nullptr;
};

}  // namespace

// ---- TRLServerTrust ----------------------------------------------------------

TRLServerTrust::TRLServerTrust(std::string host, std::vector<std::string> derChain)
    : host_(std::move(host)), chain_(std::move(derChain)) {}

std::int32_t TRLServerTrust::setAnchorCertificates(const std::vector<TRLCertificate>& anchors) {
  anchors_ = anchors;
  return kTRLTrustStatusSuccess;
}

std::int32_t TRLServerTrust::setAnchorCertificatesOnly(bool only) {
  anchorsOnly_ = only;
  return kTRLTrustStatusSuccess;
}

std::int32_t TRLServerTrust::evaluate(TRLTrustResult* result) const {
  *result = TRLTrustResult::Invalid;
  if (chain_.empty()) return kTRLTrustStatusParam;
  Verifier verifier;
  if (!verifier.setChain(chain_)) return kTRLTrustStatusParam;
  if (!verifier.prepare(anchors_, anchorsOnly_, host_, verifyDate_)) {
    ERR_clear_error();
    return kTRLTrustStatusInternal;
  }
  int verified = verifier.verify();
  ERR_clear_error();
  if (verified < 0) return kTRLTrustStatusInternal;
  // As with a trust evaluation without user settings: a good chain is
  // "unspecified" (go ahead), a bad one may be overridden by a user.
  *result = verified == 1 ? TRLTrustResult::Unspecified : TRLTrustResult::RecoverableTrustFailure;
  return kTRLTrustStatusSuccess;
}

// ---- TRLCertificatePinner ---------------------------------------------------

std::optional<TRLCertificate> TRLCertificatePinner::createCertificationWithData(
    const void* bytes, std::size_t length) {
  if (!bytes || length == 0) return std::nullopt;
  auto der = std::make_shared<const std::string>(static_cast<const char*>(bytes), length);
  if (!parseDer(*der)) return std::nullopt;
  return TRLCertificate(std::move(der));
}

TRLCertificatePinner::TRLCertificatePinner(std::vector<TRLCertificate> certificates)
    : certificates_(std::move(certificates)) {}

std::int32_t TRLCertificatePinner::evaluateTrust(TRLServerTrust& trust,
                                                 TRLTrustResult* result) const {
  if (certificates_.empty()) {
    *result = TRLTrustResult::Invalid;
    return kTRLTrustStatusSuccess;
  }
  std::int32_t status = trust.setAnchorCertificates(certificates_);
  if (status == kTRLTrustStatusSuccess) status = trust.setAnchorCertificatesOnly(true);
  if (status != kTRLTrustStatusSuccess) {
    *result = TRLTrustResult::FatalTrustFailure;
    return status;
  }
  status = trust.evaluate(result);
  if (status != kTRLTrustStatusSuccess) *result = TRLTrustResult::Invalid;
  return status;
}

bool TRLCertificatePinner::handleChallenge(const TRLAuthenticationChallenge& challenge,
                                           FLTURLSession*,
                                           const TRLChallengeCompletion& completionHandler) const {
  const TRLProtectionSpace& space = challenge.protectionSpace;
  std::shared_ptr<TRLServerTrust> trust =
      space.authenticationMethod == kNSURLAuthenticationMethodServerTrust ? space.serverTrust
                                                                          : nullptr;
  if (trust) {
    TRLTrustResult result = TRLTrustResult::Invalid;
    if (evaluateTrust(*trust, &result) == kTRLTrustStatusSuccess &&
        (result == TRLTrustResult::Proceed || result == TRLTrustResult::Unspecified)) {
      completionHandler(TRLAuthChallengeDisposition::UseCredential, TRLURLCredential{trust});
      return true;
    }
  }
  completionHandler(TRLAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt);
  return false;
}

platform::Result<platform::TrustPolicy> TRLCertificatePinner::trustPolicy() const {
  if (certificates_.empty()) return pinnerError(1, "no anchor certificates: no server is trusted");
  std::vector<std::string> ders;
  ders.reserve(certificates_.size());
  for (const auto& certificate : certificates_) ders.push_back(certificate.der());
  return platform::TrustPolicy::anchorsOnly(ders);
}

// ---- Loading the anchors ----------------------------------------------------

platform::Result<std::vector<TRLCertificate>> TRLCertificatesFromPEM(std::string_view pem) {
  std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                          BIO_free);
  if (!bio) return pinnerError(2, "out of memory");
  std::vector<TRLCertificate> certificates;
  while (true) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) break;
    auto made = std::make_shared<const std::string>(toDer(cert.get()));
    if (made->empty()) return pinnerError(3, "a certificate could not be encoded");
    certificates.push_back(
        TRLCertificatePinner::createCertificationWithData(made->data(), made->size()).value());
  }
  unsigned long last = ERR_peek_last_error();
  ERR_clear_error();
  // Running out of blocks ends the loop with "no start line"; anything
  // else is a block that did not parse.
  bool cleanEnd = last == 0 ||
                  (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE);
  if (!cleanEnd) return pinnerError(4, "a certificate block does not parse");
  if (certificates.empty()) return pinnerError(5, "no certificate found");
  return certificates;
}

platform::Result<std::vector<TRLCertificate>> TRLLoadCertificatesFromPEMFile(
    const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return pinnerError(6, "cannot read " + path.string());
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto parsed = TRLCertificatesFromPEM(text);
  if (!parsed)
    return pinnerError(parsed.error().code, path.string() + ": " + parsed.error().message);
  return parsed;
}

const std::vector<TRLCertificate>& TRLPinnedCertificates() {
  static const std::vector<TRLCertificate>* pinned = [] {
    auto path = platform::Bundle::main().pathForResource(kTRLPinnedCertificatesResource);
    if (!path) {
      std::fprintf(stderr,
                   "[Trellis] The pinned root certificates %s are missing; no server is trusted\n",
                   std::string(kTRLPinnedCertificatesResource).c_str());
      return new std::vector<TRLCertificate>();
    }
    auto loaded = TRLLoadCertificatesFromPEMFile(*path);
    if (!loaded) {
      std::fprintf(
          stderr,
          "[Trellis] The pinned root certificates are unusable (%s); no server is trusted\n",
          loaded.error().message.c_str());
      return new std::vector<TRLCertificate>();
    }
    return new std::vector<TRLCertificate>(std::move(loaded).value());
  }();
  return *pinned;
}

}  // namespace vandrel::crash
