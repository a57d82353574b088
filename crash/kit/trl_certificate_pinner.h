#pragma once

// Certificate pinning of both kits: servers are trusted only when their
// chain ends in one of the kit's own root certificates; the system's trust
// store is never consulted.
//
// Two places apply the anchors. On the wire the HTTP engine enforces them
// (`TRLCertificatePinner::trustPolicy`, an anchors-only policy handed to a
// URL session's configuration); a server-trust challenge that carries the
// presented chain is judged by `evaluateTrust` / `handleChallenge`, which
// verify the chain with the same anchors.
//
// Where the anchors come from: the eight public roots are not compiled in;
// the bundle resource "TRLPinnedCertificates.pem" (PEM blocks in the kit's
// order) holds them, installed by the build from the setting
// VANDREL_KIT_PINNED_ROOTS. Tests pin their own CA through the constructor.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http.h"
#include "platform/result.h"

namespace vandrel::crash {

class FLTURLSession;

inline constexpr std::string_view kTRLPinnedCertificatesResource = "TRLPinnedCertificates.pem";
inline constexpr std::string_view kNSURLAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";

// Statuses of trust operations: 0 or a negative failure.
inline constexpr std::int32_t kTRLTrustStatusSuccess = 0;
// A trust object without a (parsable) leaf certificate.
inline constexpr std::int32_t kTRLTrustStatusParam = -50;
// The verifier itself failed (out of memory, a library error).
inline constexpr std::int32_t kTRLTrustStatusInternal = -2070;

// The evaluation's verdict; the numbers are the ones callers compare.
enum class TRLTrustResult : std::int32_t {
  Invalid = 0,
  Proceed = 1,
  Deny = 3,
  Unspecified = 4,
  RecoverableTrustFailure = 5,
  FatalTrustFailure = 6,
};

// A certificate (DER bytes that parsed as X.509). Immutable, cheap to copy.
class TRLCertificate {
 public:
  const std::string& der() const { return *der_; }
  bool operator==(const TRLCertificate& other) const { return der() == other.der(); }

 private:
  friend class TRLCertificatePinner;
  explicit TRLCertificate(std::shared_ptr<const std::string> der) : der_(std::move(der)) {}
  std::shared_ptr<const std::string> der_;
};

// What a server presented for one host: its chain, leaf first, plus the
// anchors the evaluation is to use. Not thread-safe: one evaluation at a time.
class TRLServerTrust {
 public:
  TRLServerTrust(std::string host, std::vector<std::string> derChain);

  const std::string& host() const { return host_; }
  const std::vector<std::string>& chain() const { return chain_; }

  std::int32_t setAnchorCertificates(const std::vector<TRLCertificate>& anchors);
  // True: only the anchors count. False: the system's store counts too.
  std::int32_t setAnchorCertificatesOnly(bool only);
  // The time the validity periods are judged at; now when unset.
  void setVerifyDate(std::chrono::system_clock::time_point date) { verifyDate_ = date; }

  // Verifies chain and host name; Unspecified when trusted, a recoverable
  // failure when not; a non-zero status when the trust object is unusable.
  std::int32_t evaluate(TRLTrustResult* result) const;

 private:
  std::string host_;
  std::vector<std::string> chain_;
  std::vector<TRLCertificate> anchors_;
  bool anchorsOnly_ = false;
  std::optional<std::chrono::system_clock::time_point> verifyDate_;
};

struct TRLProtectionSpace {
  std::string host;
  int port = 443;
  std::string authenticationMethod{kNSURLAuthenticationMethodServerTrust};
  // Present for server-trust challenges only.
  std::shared_ptr<TRLServerTrust> serverTrust;
};

struct TRLAuthenticationChallenge {
  TRLProtectionSpace protectionSpace;
};

enum class TRLAuthChallengeDisposition : std::int32_t {
  UseCredential = 0,
  PerformDefaultHandling = 1,
  CancelAuthenticationChallenge = 2,
  RejectProtectionSpace = 3,
};

// A credential made for a trusted server trust object.
struct TRLURLCredential {
  std::shared_ptr<TRLServerTrust> trust;
};

using TRLChallengeCompletion =
    std::function<void(TRLAuthChallengeDisposition, std::optional<TRLURLCredential>)>;

// Keeps only its immutable list: safe to share between sessions and threads.
class TRLCertificatePinner {
 public:
  // A certificate from DER bytes; none when they are not exactly one
  // certificate.
  static std::optional<TRLCertificate> createCertificationWithData(const void* bytes,
                                                                   std::size_t length);

  explicit TRLCertificatePinner(std::vector<TRLCertificate> certificates);

  const std::vector<TRLCertificate>& certificates() const { return certificates_; }

  // 0 with the evaluation's result, or the failing status.
  std::int32_t evaluateTrust(TRLServerTrust& trust, TRLTrustResult* result) const;

  // Completes the challenge once: use-credential when the server is trusted,
  // cancel otherwise (other kinds of challenge too). Returns whether it
  // trusted the server.
  bool handleChallenge(const TRLAuthenticationChallenge& challenge, FLTURLSession* session,
                       const TRLChallengeCompletion& completionHandler) const;

  // The engine policy enforcing the same anchors on every connection; an
  // error for an empty list (which trusts no server: callers fail closed).
  platform::Result<platform::TrustPolicy> trustPolicy() const;

 private:
  std::vector<TRLCertificate> certificates_;
};

// The certificates of a PEM file (in file order), or an error naming the
// file when it is missing, holds none, or holds a block that does not parse.
platform::Result<std::vector<TRLCertificate>> TRLLoadCertificatesFromPEMFile(
    const std::filesystem::path& path);
platform::Result<std::vector<TRLCertificate>> TRLCertificatesFromPEM(std::string_view pem);

// The kit's built-in anchors: the main bundle's "TRLPinnedCertificates.pem",
// read once per process on first use and shared afterwards. Empty when the
// resource is missing or unreadable (a line on stderr): the kit then trusts
// no server.
const std::vector<TRLCertificate>& TRLPinnedCertificates();

}  // namespace vandrel::crash
