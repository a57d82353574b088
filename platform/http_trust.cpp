// Trust policies: which certificates a server must chain to, applied to
// curl's OpenSSL context.

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <set>

#include "platform/http.h"
#include "platform/http_curl.h"
#include "platform/http_internal.h"

namespace vandrel::platform {

struct TrustPolicy::Impl {
  Kind kind = Kind::SystemDefault;
  std::string caFile;
  std::size_t certificateCount = 0;
  // The certificates as PEM text. Handed to curl as its CA blob: curl
  // compares it before reusing a connection or TLS session.
  std::string pem;
  // The only store a pinned or anchors-only connection is checked against.
  X509_STORE* store = nullptr;

  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() { X509_STORE_free(store); }
};

namespace {

constexpr std::string_view kTrustErrorDomain = "vandrel.http.trust";

Error trustError(std::int64_t code, std::string message) {
  return Error{std::string(kTrustErrorDomain), code, std::move(message)};
}

std::string toPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return pem;
}

Result<std::shared_ptr<const TrustPolicy::Impl>> buildStore(TrustPolicy::Kind kind,
                                      const std::vector<std::string>& derCertificates) {
  if (derCertificates.empty()) return trustError(1, "the certificate set is empty");
  auto impl = std::make_unique<TrustPolicy::Impl>();
  impl->kind = kind;
  impl->certificateCount = derCertificates.size();
  impl->store = X509_STORE_new();
  // Bundles repeat their certificates to fill fixed slots; the PEM text is
  // copied and compared by curl on every request, so each certificate goes
  // in once, and the same bytes are parsed once.
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i < derCertificates.size(); ++i) {
    if (seen.contains(derCertificates[i])) continue;
    const auto* p = reinterpret_cast<const unsigned char*>(derCertificates[i].data());
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(derCertificates[i].size()));
    if (!cert || p != reinterpret_cast<const unsigned char*>(derCertificates[i].data()) +
                          derCertificates[i].size()) {
      X509_free(cert);
      ERR_clear_error();
      return trustError(2, "certificate " + std::to_string(i) + " is not a DER certificate");
    }
    seen.insert(derCertificates[i]);
    X509_STORE_add_cert(impl->store, cert);
    impl->pem += toPem(cert);
    X509_free(cert);
  }
  ERR_clear_error();
  if (kind == TrustPolicy::Kind::Pinned) {
    // Any member of the set may end the chain, not only a self-signed root.
    X509_STORE_set_flags(impl->store, X509_V_FLAG_PARTIAL_CHAIN);
  }
  return std::shared_ptr<const TrustPolicy::Impl>(std::move(impl));
}

CURLcode installStore(CURL*, void* sslCtx, void* userData) {
  const auto* impl = static_cast<const TrustPolicy::Impl*>(userData);
  // Replaces whatever curl loaded: the system store is never consulted.
  SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslCtx), impl->store);
  return CURLE_OK;
}

}  // namespace

TrustPolicy TrustPolicy::systemDefault(std::string caFile) {
  auto impl = std::make_shared<Impl>();
  impl->kind = Kind::SystemDefault;
  impl->caFile = std::move(caFile);
  return TrustPolicy(std::move(impl));
}

Result<TrustPolicy> TrustPolicy::pinned(const std::vector<std::string>& derCertificates) {
  auto built = buildStore(Kind::Pinned, derCertificates);
  if (!built) return built.error();
  return TrustPolicy(std::move(built).value());
}

Result<TrustPolicy> TrustPolicy::anchorsOnly(const std::vector<std::string>& derCertificates) {
  auto built = buildStore(Kind::AnchorsOnly, derCertificates);
  if (!built) return built.error();
  return TrustPolicy(std::move(built).value());
}

TrustPolicy::Kind TrustPolicy::kind() const { return impl_->kind; }
const std::string& TrustPolicy::caFile() const { return impl_->caFile; }
std::size_t TrustPolicy::certificateCount() const { return impl_->certificateCount; }

bool applyTrust(CURL* easy, const TrustPolicy& policy, std::uint64_t sessionId) {
  const TrustPolicy::Impl& impl = *policy.impl();
  bool ok = curl::api().easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl::api().easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
  if (impl.kind == TrustPolicy::Kind::SystemDefault) {
    if (!impl.caFile.empty()) {
      ok = ok && curl::api().easy_setopt(easy, CURLOPT_CAINFO, impl.caFile.c_str()) == CURLE_OK &&
           curl::api().easy_setopt(easy, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    }
    return ok;
  }
  // PEM ignores text outside its blocks: the leading line only makes the
  // blob (and so the connection's identity) differ per session and kind.
  std::string tagged = "vandrel session " + std::to_string(sessionId) +
                       (impl.kind == TrustPolicy::Kind::Pinned ? " pinned\n" : " anchors\n") +
                       impl.pem;
  curl_blob blob{tagged.data(), tagged.size(), CURL_BLOB_COPY};
  long sslOptions = impl.kind == TrustPolicy::Kind::AnchorsOnly ? CURLSSLOPT_NO_PARTIALCHAIN : 0L;
  ok = ok && curl::api().easy_setopt(easy, CURLOPT_CAINFO, nullptr) == CURLE_OK &&
       curl::api().easy_setopt(easy, CURLOPT_CAPATH, nullptr) == CURLE_OK &&
       curl::api().easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK &&
       curl::api().easy_setopt(easy, CURLOPT_SSL_OPTIONS, sslOptions) == CURLE_OK &&
       curl::api().easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, installStore) == CURLE_OK &&
       curl::api().easy_setopt(easy, CURLOPT_SSL_CTX_DATA, const_cast<TrustPolicy::Impl*>(&impl)) ==
           CURLE_OK;
  return ok;
}

}  // namespace vandrel::platform
