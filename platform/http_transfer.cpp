// One request on the engine thread: the easy handle's settings for each
// hop, the callbacks that collect the reply, redirects and the mapping of
// curl's errors to the codes callers read.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "platform/http_curl.h"
#include "platform/http_internal.h"

namespace vandrel::platform {
namespace {

constexpr int kMaxRedirects = 16;

std::string lowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                           text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text;
}

// Where a URL leads: scheme, lower-case host (IPv6 without brackets) and
// port, the scheme's default made explicit so "https://h/" and
// "https://h:443/" are one origin.
struct Origin {
  std::string scheme;
  std::string host;
  std::string port;

  bool operator==(const Origin&) const = default;
};

// Nothing when curl cannot parse the URL or the scheme is not http(s).
std::optional<Origin> originOf(const std::string& url) {
  CURLU* u = curl::api().url();
  std::optional<Origin> origin;
  char* scheme = nullptr;
  char* name = nullptr;
  char* port = nullptr;
  if (curl::api().url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl::api().url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
      curl::api().url_get(u, CURLUPART_HOST, &name, 0) == CURLUE_OK &&
      curl::api().url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
    std::string s = lowerCase(scheme);
    std::string h = lowerCase(name);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    if ((s == "http" || s == "https") && !h.empty()) origin = Origin{s, std::move(h), port};
  }
  curl::api().free(scheme);
  curl::api().free(name);
  curl::api().free(port);
  curl::api().url_cleanup(u);
  return origin;
}

std::optional<std::string> hostOf(const std::string& url) {
  auto origin = originOf(url);
  if (!origin) return std::nullopt;
  return std::move(origin->host);
}

// The digits of a Content-Length value; nothing when it is not a number,
// the largest value when it is too long to hold (it is over any cap).
std::optional<std::uint64_t> announcedLength(std::string_view value) {
  std::uint64_t length = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (ec == std::errc::result_out_of_range) return UINT64_MAX;
  if (ec != std::errc() || end == value.data()) return std::nullopt;
  return length;
}

UrlError mapCurlError(CURLcode code, long osErrno, std::string_view message) {
  switch (code) {
    case CURLE_URL_MALFORMAT:
      return UrlError::BadUrl;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return UrlError::CannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return osErrno == ENETUNREACH ? UrlError::NotConnectedToInternet
                                    : UrlError::CannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return UrlError::TimedOut;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return UrlError::NetworkConnectionLost;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return UrlError::ServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
      // A peer that closes or resets the socket mid-handshake lost the
      // connection; anything else is a failed TLS negotiation.
      if (osErrno == ECONNRESET || osErrno == EPIPE ||
          message.find("SSL_ERROR_SYSCALL") != std::string_view::npos ||
          message.find("unexpected eof") != std::string_view::npos) {
        return UrlError::NetworkConnectionLost;
      }
      return UrlError::SecureConnectionFailed;
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_USE_SSL_FAILED:
      return UrlError::SecureConnectionFailed;
    // URLs are checked before they reach curl: this is a reply without a
    // status line (HTTP/0.9).
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return UrlError::BadServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
      return UrlError::TooManyRedirects;
    case CURLE_READ_ERROR:
    case CURLE_ABORTED_BY_CALLBACK:  // only the body reader aborts
      return UrlError::FileDoesNotExist;
    default:
      return UrlError::Unknown;
  }
}

size_t headerCallback(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->noteActivity();
  // A short count makes curl end the hop (CURLE_WRITE_ERROR).
  return t->onHeaderLine(std::string_view(data, size * count)) ? size * count : 0;
}

size_t writeCallback(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->noteActivity();
  return t->onBody(data, size * count) ? size * count : 0;
}

size_t readCallback(char* buffer, size_t size, size_t count, void* user) {
  return static_cast<Transfer*>(user)->readBody(buffer, size * count);
}

int progressCallback(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  static_cast<Transfer*>(user)->onProgress(downloaded, uploaded);
  return 0;
}

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

const TrustPolicy& SessionSettings::trustFor(const std::string& lowerHost) const {
  auto it = hostTrust.find(lowerHost);
  return it == hostTrust.end() ? defaultTrust : it->second;
}

Transfer::Transfer(std::shared_ptr<HttpTask::State> task,
                   std::shared_ptr<const SessionSettings> settings, HttpRequest request)
    : task_(std::move(task)),
      settings_(std::move(settings)),
      request_(std::move(request)),
      redirectsLeft_(kMaxRedirects),
      maxBody_(request_.maxBodyBytes.value_or(settings_->maxBodyBytes)),
      idle_(request_.idleTimeout.value_or(settings_->idleTimeout)),
      lastActivity_(std::chrono::steady_clock::now()) {
  if (auto total = request_.totalTimeout ? request_.totalTimeout : settings_->totalTimeout) {
    totalDeadline_ = lastActivity_ + *total;
  }
}

Transfer::~Transfer() {
  releaseHopResources();
  if (easy_) curl::api().easy_cleanup(easy_);
}

void Transfer::releaseHopResources() {
  curl::api().slist_free_all(static_cast<curl_slist*>(headerList_));
  headerList_ = nullptr;
  curl::api().mime_free(static_cast<curl_mime*>(mime_));
  mime_ = nullptr;
  if (file_ >= 0) ::close(file_);
  file_ = -1;
}

void Transfer::adoptEasy(CURL* easy) {
  if (easy_) curl::api().easy_cleanup(easy_);
  easy_ = easy;
  easyIsClean_ = true;
}

CURL* Transfer::releaseEasy() {
  CURL* easy = easy_;
  easy_ = nullptr;
  if (easy) curl::api().easy_reset(easy);
  releaseHopResources();
  return easy;
}

std::optional<UrlError> Transfer::prepare() {
  releaseHopResources();
  response_ = HttpResponse{};
  response_.url = request_.url;
  seenDown_ = seenUp_ = 0;
  replyStatus_ = 0;
  bodyTooLarge_ = false;
  auto host = hostOf(request_.url);
  if (!host) return UrlError::BadUrl;
  if (easy_) {
    if (!easyIsClean_) curl::api().easy_reset(easy_);
    easyIsClean_ = false;
  } else {
    easy_ = curl::api().easy_init();
    if (!easy_) return UrlError::Unknown;
  }
  errorBuffer_[0] = '\0';
  auto idleMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(idle_).count());
  CURL* e = easy_;
  curl::api().easy_setopt(e, CURLOPT_URL, request_.url.c_str());
  curl::api().easy_setopt(e, CURLOPT_PRIVATE, this);
  curl::api().easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl::api().easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer_);
  curl::api().easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl::api().easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);  // redirects are ours: see finishHop
  curl::api().easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, std::max(idleMs, 1L));
  curl::api().easy_setopt(e, CURLOPT_HEADERFUNCTION, headerCallback);
  curl::api().easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl::api().easy_setopt(e, CURLOPT_WRITEFUNCTION, writeCallback);
  curl::api().easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl::api().easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
  curl::api().easy_setopt(e, CURLOPT_XFERINFOFUNCTION, progressCallback);
  curl::api().easy_setopt(e, CURLOPT_XFERINFODATA, this);
  if (!applyTrust(e, settings_->trustFor(*host), settings_->id)) {
    return UrlError::SecureConnectionFailed;
  }
  if (!setMethodAndBody()) return UrlError::FileDoesNotExist;

  curl_slist* list = nullptr;
  for (const auto& [name, value] : request_.headers) {
    if (request_.body.kind == HttpBody::Kind::Multipart && equalsIgnoringCase(name, "Content-Type")) {
      continue;  // the multipart body brings its own, with the boundary
    }
    // "Name;" is curl's way of sending a header with an empty value.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    list = curl::api().slist_append(list, line.c_str());
  }
  // Nothing the caller did not ask for: no default form content type, no
  // "Expect: 100-continue" round trip before large bodies.
  if (!request_.headers.contains("Content-Type") && request_.body.kind != HttpBody::Kind::Multipart) {
    list = curl::api().slist_append(list, "Content-Type:");
  }
  if (!request_.headers.contains("Expect")) list = curl::api().slist_append(list, "Expect:");
  headerList_ = list;
  curl::api().easy_setopt(e, CURLOPT_HTTPHEADER, list);
  return std::nullopt;
}

bool Transfer::setMethodAndBody() {
  CURL* e = easy_;
  const std::string& method = request_.method;
  const HttpBody& body = request_.body;
  switch (body.kind) {
    case HttpBody::Kind::None:
      if (method == "GET") {
        curl::api().easy_setopt(e, CURLOPT_HTTPGET, 1L);
      } else if (method == "HEAD") {
        curl::api().easy_setopt(e, CURLOPT_NOBODY, 1L);
      } else if (method == "POST") {
        curl::api().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
        curl::api().easy_setopt(e, CURLOPT_POSTFIELDS, "");
      } else {
        curl::api().easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
      }
      return true;
    case HttpBody::Kind::Bytes:
      curl::api().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.data.size()));
      curl::api().easy_setopt(e, CURLOPT_POSTFIELDS, body.data.data());
      break;
    case HttpBody::Kind::File: {
      file_ = ::open(body.path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st {};
      if (file_ < 0 || ::fstat(file_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
      curl::api().easy_setopt(e, CURLOPT_POST, 1L);
      curl::api().easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(st.st_size));
      curl::api().easy_setopt(e, CURLOPT_READFUNCTION, readCallback);
      curl::api().easy_setopt(e, CURLOPT_READDATA, this);
      break;
    }
    case HttpBody::Kind::Multipart: {
      curl_mime* mime = curl::api().mime_init(e);
      mime_ = mime;
      for (const auto& part : body.parts) {
        curl_mimepart* p = curl::api().mime_addpart(mime);
        curl::api().mime_name(p, part.name.c_str());
        if (!part.filename.empty()) curl::api().mime_filename(p, part.filename.c_str());
        if (!part.contentType.empty()) curl::api().mime_type(p, part.contentType.c_str());
        curl::api().mime_data(p, part.data.data(), part.data.size());
      }
      curl::api().easy_setopt(e, CURLOPT_MIMEPOST, mime);
      break;
    }
  }
  if (method != "POST") curl::api().easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
  return true;
}

std::size_t Transfer::readBody(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(file_, buffer, size);
    if (n >= 0) {
      if (n > 0) noteActivity();
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) return CURL_READFUNC_ABORT;
  }
}

void Transfer::onProgress(std::int64_t downloaded, std::int64_t uploaded) {
  if (downloaded != seenDown_ || uploaded != seenUp_) {
    seenDown_ = downloaded;
    seenUp_ = uploaded;
    noteActivity();
  }
}

bool Transfer::onHeaderLine(std::string_view line) {
  if (line.starts_with("HTTP/")) {
    // A new reply starts (after "100 Continue", say): only the last counts.
    response_.headers = HttpHeaders{};
    response_.body.clear();
    auto space = line.find(' ');
    replyStatus_ = 0;
    if (space != std::string_view::npos) {
      std::string_view rest = line.substr(space + 1);
      std::from_chars(rest.data(), rest.data() + rest.size(), replyStatus_);
    }
    return true;
  }
  std::string_view text = trimmed(line);
  if (text.empty()) return true;
  if ((line.front() == ' ' || line.front() == '\t') && !response_.headers.empty()) {
    // An obsolete folded continuation of the previous field.
    auto fields = response_.headers.fields();
    fields.back().second.append(" ").append(text);
    response_.headers = HttpHeaders{};
    for (auto& f : fields) response_.headers.add(std::move(f.first), std::move(f.second));
    return true;
  }
  auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return true;
  std::string name(trimmed(text.substr(0, colon)));
  std::string value(trimmed(text.substr(colon + 1)));
  if (equalsIgnoringCase(name, "Content-Length") && announcesBody()) {
    // Refused before a byte of the body is read.
    auto length = announcedLength(value);
    if (length && *length > maxBody_) {
      bodyTooLarge_ = true;
      return false;
    }
  }
  response_.headers.add(std::move(name), std::move(value));
  return true;
}

// Whether a Content-Length in the reply being read counts bytes that
// follow: a reply to HEAD, an interim 1xx, 204 and 304 carry none.
bool Transfer::announcesBody() const {
  return request_.method != "HEAD" && replyStatus_ >= 200 && replyStatus_ != 204 &&
         replyStatus_ != 304;
}

bool Transfer::onBody(const char* data, std::size_t size) {
  if (size > maxBody_ || response_.body.size() > maxBody_ - size) {
    bodyTooLarge_ = true;
    return false;
  }
  response_.body.append(data, size);
  return true;
}

bool Transfer::finishHop(int curlCode) {
  auto code = static_cast<CURLcode>(curlCode);
  if (bodyTooLarge_) {
    response_.error = makeUrlError(UrlError::DataLengthExceedsMaximum);
    response_.body.clear();
    return false;
  }
  if (code != CURLE_OK) {
    long osErrno = 0;
    curl::api().easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
    response_.error = makeUrlError(mapCurlError(code, osErrno, errorBuffer_));
    response_.body.clear();
    return false;
  }
  long status = 0;
  curl::api().easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
  response_.status = static_cast<int>(status);
  if (request_.redirects == RedirectPolicy::Follow && isRedirect(status)) {
    return followRedirect(static_cast<int>(status));
  }
  return false;
}

bool Transfer::followRedirect(int status) {
  char* location = nullptr;
  curl::api().easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &location);
  if (!location) return false;  // no usable Location: the 3xx is the answer
  if (redirectsLeft_-- <= 0) {
    response_.error = makeUrlError(UrlError::TooManyRedirects);
    response_.body.clear();
    return false;
  }
  std::string target = location;
  auto oldOrigin = originOf(request_.url);
  auto newOrigin = originOf(target);
  bool toGet = (status == 303 && request_.method != "HEAD") ||
               ((status == 301 || status == 302) && request_.method == "POST");
  if (toGet) {
    request_.method = "GET";
    request_.body = HttpBody::none();
    request_.headers.remove("Content-Type");
    request_.headers.remove("Content-Length");
  }
  if (!oldOrigin || oldOrigin != newOrigin) {
    // Credentials meant for one origin are handed neither to another
    // service on the same host (another port) nor to anyone in clear text
    // (https to http).
    request_.headers.remove("Cookie");
    request_.headers.remove("Authorization");
  }
  request_.url = std::move(target);
  return true;
}

HttpResponse Transfer::takeResponse() {
  response_.url = request_.url;
  return std::move(response_);
}

TimePoint Transfer::deadline() const {
  TimePoint idle = lastActivity_ + idle_;
  return totalDeadline_ ? std::min(idle, *totalDeadline_) : idle;
}

}  // namespace vandrel::platform
