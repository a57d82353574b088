#pragma once

// The HTTP engine: one engine thread drives every transfer of the process;
// requests are grouped in sessions that share a trust configuration and can
// be cancelled together. Responses (and transport errors) are delivered on
// a queue the caller chooses.
//
// What it deliberately does not do: keep cookies (a cookie is only ever a
// header the caller sets), validate status codes (4xx and 5xx are responses,
// not errors), cache replies.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/result.h"

namespace vandrel::platform {

// ---- Errors ----------------------------------------------------------------

// Transport errors live in this domain with these codes; each code has one
// fixed description. Log lines, failure messages and keyword checks are
// built from these texts, so they never vary.
inline constexpr std::string_view kUrlErrorDomain = "NSURLErrorDomain";

enum class UrlError : std::int64_t {
  Unknown = -1,
  Cancelled = -999,
  BadUrl = -1000,
  TimedOut = -1001,
  CannotFindHost = -1003,
  CannotConnectToHost = -1004,
  NetworkConnectionLost = -1005,
  TooManyRedirects = -1007,
  NotConnectedToInternet = -1009,
  BadServerResponse = -1011,
  FileDoesNotExist = -1100,
  DataLengthExceedsMaximum = -1103,
  SecureConnectionFailed = -1200,
  ServerCertificateUntrusted = -1202,
};

inline constexpr std::string_view kUrlErrorUnknownText = "An unknown network error occurred.";
inline constexpr std::string_view kUrlErrorCancelledText = "The request was cancelled.";
inline constexpr std::string_view kUrlErrorBadUrlText = "The request's URL is not valid.";
inline constexpr std::string_view kUrlErrorTimedOutText = "The request timed out.";
inline constexpr std::string_view kUrlErrorCannotFindHostText =
    "The server's host name could not be resolved.";
inline constexpr std::string_view kUrlErrorCannotConnectText = "Could not connect to the server.";
inline constexpr std::string_view kUrlErrorConnectionLostText =
    "The network connection was lost before the reply was complete.";
inline constexpr std::string_view kUrlErrorTooManyRedirectsText =
    "The request was redirected too many times.";
inline constexpr std::string_view kUrlErrorOfflineText =
    "The network is unreachable; the computer appears to be offline.";
inline constexpr std::string_view kUrlErrorBadServerResponseText =
    "The server sent a reply that could not be read.";
inline constexpr std::string_view kUrlErrorFileDoesNotExistText =
    "The file to upload does not exist or cannot be read.";
inline constexpr std::string_view kUrlErrorDataLengthExceedsMaximumText =
    "The server's reply is larger than the most this request accepts.";
inline constexpr std::string_view kUrlErrorSecureConnectionFailedText =
    "A secure connection to the server could not be made.";
inline constexpr std::string_view kUrlErrorCertificateUntrustedText =
    "The server's certificate is not trusted.";

constexpr std::string_view urlErrorDescription(UrlError code) {
  switch (code) {
    case UrlError::Unknown: return kUrlErrorUnknownText;
    case UrlError::Cancelled: return kUrlErrorCancelledText;
    case UrlError::BadUrl: return kUrlErrorBadUrlText;
    case UrlError::TimedOut: return kUrlErrorTimedOutText;
    case UrlError::CannotFindHost: return kUrlErrorCannotFindHostText;
    case UrlError::CannotConnectToHost: return kUrlErrorCannotConnectText;
    case UrlError::NetworkConnectionLost: return kUrlErrorConnectionLostText;
    case UrlError::TooManyRedirects: return kUrlErrorTooManyRedirectsText;
    case UrlError::NotConnectedToInternet: return kUrlErrorOfflineText;
    case UrlError::BadServerResponse: return kUrlErrorBadServerResponseText;
    case UrlError::FileDoesNotExist: return kUrlErrorFileDoesNotExistText;
    case UrlError::DataLengthExceedsMaximum: return kUrlErrorDataLengthExceedsMaximumText;
    case UrlError::SecureConnectionFailed: return kUrlErrorSecureConnectionFailedText;
    case UrlError::ServerCertificateUntrusted: return kUrlErrorCertificateUntrustedText;
  }
  return kUrlErrorUnknownText;
}

// Error{"NSURLErrorDomain", code, description}.
Error makeUrlError(UrlError code);
// True when `error` is the cancellation error.
bool isCancellation(const Error& error);

// ---- Headers ---------------------------------------------------------------

// Header fields in order. Names compare case-insensitively; a name may
// repeat (every "Set-Cookie" of a reply is kept).
class HttpHeaders {
 public:
  using Field = std::pair<std::string, std::string>;

  HttpHeaders() = default;
  HttpHeaders(std::initializer_list<Field> fields);

  // Appends a field, keeping earlier fields of the same name.
  void add(std::string name, std::string value);
  // Replaces every field of that name by one at the place of the first.
  void set(std::string name, std::string value);
  void remove(std::string_view name);

  bool contains(std::string_view name) const;
  // The first value of that name.
  std::optional<std::string> value(std::string_view name) const;
  std::vector<std::string> values(std::string_view name) const;
  // Every value of that name joined with ", " (how a repeated field reads
  // as one), or nothing when the name is absent.
  std::optional<std::string> joined(std::string_view name) const;

  const std::vector<Field>& fields() const { return fields_; }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  auto begin() const { return fields_.begin(); }
  auto end() const { return fields_.end(); }

  bool operator==(const HttpHeaders&) const = default;

 private:
  std::vector<Field> fields_;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b);

// ---- Encoding --------------------------------------------------------------

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// Percent-encodes every byte except the unreserved ones (A-Z a-z 0-9 - . _ ~):
// "+", "&", "=", blanks and non-ASCII bytes all come out as %XX.
std::string percentEncode(std::string_view text);
// "k1=v1&k2=v2" with keys and values percent-encoded, in the given order.
// Serves both URL queries and "application/x-www-form-urlencoded" bodies.
std::string formEncode(const QueryItems& items);
// The URL with the items appended to its query ("?" or "&" as needed),
// placed before any fragment. No items: the URL unchanged.
std::string appendQuery(std::string_view url, const QueryItems& items);

// ---- Requests and responses ------------------------------------------------

struct MultipartPart {
  std::string name;
  std::string filename;     // empty: no filename parameter
  std::string contentType;  // empty: no Content-Type of the part
  std::string data;
};

struct HttpBody {
  enum class Kind { None, Bytes, File, Multipart };

  static HttpBody none() { return {}; }
  static HttpBody bytes(std::string data);
  static HttpBody file(std::string path);
  static HttpBody multipart(std::vector<MultipartPart> parts);

  Kind kind = Kind::None;
  std::string data;  // Bytes
  std::string path;  // File
  std::vector<MultipartPart> parts;
};

enum class RedirectPolicy {
  Follow,      // up to 16 hops; 303, and 301/302 after a POST, continue as GET
  DontFollow,  // a 3xx reply is the response
};

struct HttpRequest {
  std::string method = "GET";
  // May carry a port ("https://api.example.com:8443/x"): the trust policy is
  // picked by the host name alone, the port only says where to connect.
  std::string url;
  // Sent in this order. Without a "Content-Type" the engine sends none
  // (multipart bodies carry their own).
  HttpHeaders headers;
  HttpBody body;
  RedirectPolicy redirects = RedirectPolicy::Follow;
  // Override the session's time-outs for this request.
  std::optional<Duration> idleTimeout;
  std::optional<Duration> totalTimeout;
  // Overrides the session's largest accepted reply body for this request.
  std::optional<std::uint64_t> maxBodyBytes;
};

struct HttpResponse {
  std::string url;  // the last URL of the exchange (after redirects)
  int status = 0;   // 0 when no reply was read
  HttpHeaders headers;
  // The reply's body; empty (never absent) for an empty reply and for
  // errors.
  std::string body;
  std::optional<Error> error;  // a transport error in kUrlErrorDomain

  bool ok() const { return !error.has_value(); }
};

using HttpCompletion = std::function<void(HttpResponse)>;

// ---- Trust -----------------------------------------------------------------

// How the server of a host proves itself. Certificates are DER bytes.
class TrustPolicy {
 public:
  enum class Kind {
    // The system's CA store, or only `caFile` when one is given.
    SystemDefault,
    // The chain must anchor in the given set (any member may be the anchor,
    // a leaf or intermediate too) and the certificate must name the host.
    // The system store is never consulted.
    Pinned,
    // The given certificates are the only trusted roots: the chain must run
    // up to one of them; the certificate must name the host.
    AnchorsOnly,
  };

  static TrustPolicy systemDefault(std::string caFile = {});
  // Fails when a certificate does not parse, or the set is empty.
  static Result<TrustPolicy> pinned(const std::vector<std::string>& derCertificates);
  static Result<TrustPolicy> anchorsOnly(const std::vector<std::string>& derCertificates);

  Kind kind() const;
  const std::string& caFile() const;
  std::size_t certificateCount() const;

  struct Impl;
  const std::shared_ptr<const Impl>& impl() const { return impl_; }

 private:
  explicit TrustPolicy(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

inline constexpr std::uint64_t kDefaultMaxBodyBytes = 64 * 1024 * 1024;

struct HttpSessionConfig {
  // Longest wait for any progress (connecting included); each byte sent or
  // received starts it again.
  Duration idleTimeout = std::chrono::seconds(60);
  // Longest whole exchange, redirects included; none by default.
  std::optional<Duration> totalTimeout;
  // The largest reply body kept in memory. A reply that announces or sends
  // more ends with DataLengthExceedsMaximum: a broken or hostile server must
  // not grow the process without bound. Far above any reply the service,
  // the crash kit or the analytics hub send (JSON, flag images, settings).
  std::uint64_t maxBodyBytes = kDefaultMaxBodyBytes;
  TrustPolicy defaultTrust = TrustPolicy::systemDefault();
  // Per host name (no port; compared case-insensitively).
  std::map<std::string, TrustPolicy> hostTrust;
};

// ---- Engine and sessions ---------------------------------------------------

class HttpEngine {
 public:
  // The process's engine; never destroyed.
  static HttpEngine& shared();

  // Starts the engine thread. Ignores SIGPIPE for the process when it is
  // still at its default (a peer closing a socket must not kill us).
  HttpEngine();
  // Cancels what is left (each completes with the cancellation error) and
  // joins the thread.
  ~HttpEngine();
  HttpEngine(const HttpEngine&) = delete;
  HttpEngine& operator=(const HttpEngine&) = delete;

  struct Impl;
  const std::shared_ptr<Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<Impl> impl_;
};

// One request in flight. Copies share the request. Cancelling a request
// that has not completed yet makes it complete, exactly once, with the
// cancellation error; cancelling later does nothing.
class HttpTask {
 public:
  HttpTask() = default;
  void cancel() const;
  std::uint64_t id() const;
  bool valid() const { return state_ != nullptr; }

  struct State;
  explicit HttpTask(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};

// Requests sharing a trust configuration and time-outs. Connections are
// kept and reused; one checked under a pinned or anchors-only policy only
// ever serves the session that made it. Thread-safe.
class HttpSession {
 public:
  explicit HttpSession(HttpSessionConfig config, HttpEngine& engine = HttpEngine::shared());
  // Cancels every request still in flight.
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Sends the request; `completion` runs once on `queue` with the response
  // or the transport error. `queue` must outlive the delivery.
  HttpTask send(HttpRequest request, Queue& queue, HttpCompletion completion);
  // Cancels every request of this session in flight now; other sessions'
  // requests go on.
  void cancelAll();
  // Requests sent and not yet completed.
  std::size_t inFlightCount() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vandrel::platform
