#include "core/qv_network.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <utility>
#include <vector>

#include "core/cert_bundle.h"
#include "core/connection_port.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/service_json.h"
#include "core/static_data.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/json.h"

namespace vandrel::core {

using platform::HttpHeaders;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::MutexLock;
using platform::Promise;

namespace {

// A request waits at most this long for any progress.
constexpr auto kRequestIdleTimeout = std::chrono::seconds(10);
constexpr std::int64_t kMissingCode = -99;
constexpr std::string_view kMissingStatus = "fail";

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The last non-empty "/" piece of the URL before its "?", or none.
std::optional<std::string> lastPathPiece(std::string_view url) {
  url = url.substr(0, url.find('?'));
  while (!url.empty() && url.back() == '/') url.remove_suffix(1);
  if (url.empty()) return std::nullopt;
  const auto slash = url.rfind('/');
  return std::string(slash == std::string_view::npos ? url : url.substr(slash + 1));
}

void logPathLine(std::string_view direction, std::string_view url) {
  if (auto piece = lastPathPiece(url)) LogUtil::debug(std::string(direction) + " Path: " + *piece);
}

// The host name of an absolute URL, lower case, without port or brackets.
std::string hostOfUrl(std::string_view url) {
  const auto scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    return lowerCase(rest.substr(1, close == std::string_view::npos ? close : close - 1));
  }
  return lowerCase(rest.substr(0, rest.find(':')));
}

// The session-cookie pair of the reply: every "Set-Cookie" joined with
// ", ", commas read as ";", and the last piece naming the cookie, as it
// stands (a leading blank stays).
std::string sessionCookie(const HttpHeaders& headers) {
  std::optional<std::string> joined = headers.joined("Set-Cookie");
  if (!joined) return {};
  std::replace(joined->begin(), joined->end(), ',', ';');
  std::string cookie;
  std::size_t start = 0;
  for (;;) {
    const auto end = joined->find(';', start);
    const std::string_view piece = std::string_view(*joined).substr(start, end - start);
    if (contains(piece, kSessionCookieName)) cookie = std::string(piece);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return cookie;
}

// The field list of a URL form: nested values as "key[sub]" and "key[]".
void appendFormItems(platform::QueryItems& items, const std::string& key,
                     const platform::Value& value) {
  if (const auto* dictionary = value.asDictionary()) {
    for (const auto& [sub, element] : *dictionary) {
      appendFormItems(items, key + "[" + sub + "]", element);
    }
  } else if (const auto* array = value.asArray()) {
    for (const auto& element : *array) appendFormItems(items, key + "[]", element);
  } else {
    items.emplace_back(key, service_json::formText(value));
  }
}

platform::Result<std::vector<std::string>> loadPinnedCertificates(const platform::Bundle& bundle) {
  const auto path = bundle.pathForResource(kCertBundleResourceName);
  if (!path) {
    return platform::Error{std::string(kCertBundleErrorDomain), 0,
                           "the bundle has no resource " + std::string(kCertBundleResourceName)};
  }
  std::ifstream in(*path, std::ios::binary);
  std::string bytes(kCertBundleSize, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return parseCertBundle(bytes);
}

}  // namespace

// The API session and the plain session of the log-file upload. When the
// certificate bundle is unusable the API session pins nothing, and
// `bundleError` says why: requests to API hosts are then refused.
struct qv_Network::Sessions {
  std::unique_ptr<platform::HttpSession> api;
  std::unique_ptr<platform::HttpSession> upload;
  std::optional<std::string> bundleError;
  std::vector<std::string> pinnedHosts;  // lower case

  bool isPinned(const std::string& host) const {
    return std::find(pinnedHosts.begin(), pinnedHosts.end(), host) != pinnedHosts.end();
  }
};

// One request on its way.
struct qv_Network::Outgoing {
  HttpRequest request;
  std::shared_ptr<Sessions> sessions;
};

qv_Network& qv_Network::shared() {
  static qv_Network* const instance =
      new qv_Network(StaticData::shared(), MiscInfo::shared(), sharedConnectionPort(),
                     DeviceFacts(), defaultServiceHooks(), platform::SystemClock::shared());
  return *instance;
}

qv_Network::qv_Network(StaticData& staticData, MiscInfo& session, ConnectionPort& port,
                       DeviceFacts device, ServiceHooks hooks, const platform::Clock& clock,
                       Options options)
    : staticData_(staticData),
      session_(session),
      port_(port),
      device_(std::move(device)),
      hooks_(std::move(hooks)),
      clock_(clock),
      options_(std::move(options)),
      pending_(std::make_shared<std::atomic<std::size_t>>(0)) {}

qv_Network::~qv_Network() {
  VANDREL_CHECK(pending_->load() == 0,
                "qv_Network destroyed with requests in flight; wait for pendingCount() == 0");
}

std::shared_ptr<qv_Network::Sessions> qv_Network::sessions() {
  {
    MutexLock lock(sessionsMutex_);
    if (sessions_) return sessions_;
  }
  // The launch sends several requests at once from several threads: one
  // of them reads and checks the bundle, the others wait for its sessions
  // (checking the certificates is the costly part of a start).
  std::call_once(sessionsBuilt_, [this] {
    std::shared_ptr<Sessions> made = makeSessions();
    {
      MutexLock lock(sessionsMutex_);
      sessions_ = made;
    }
    if (made->bundleError) {
      LogUtil::reportError("The pinned certificate bundle " + std::string(kCertBundleResourceName) +
                           " is unusable (" + *made->bundleError +
                           "): no request will be sent to the API hosts");
    }
  });
  MutexLock lock(sessionsMutex_);
  return sessions_;
}

std::shared_ptr<qv_Network::Sessions> qv_Network::makeSessions() const {
  auto made = std::make_shared<Sessions>();
  platform::HttpEngine& engine =
      options_.engine ? *options_.engine : platform::HttpEngine::shared();
  platform::HttpSessionConfig api;
  api.idleTimeout = kRequestIdleTimeout;
  auto certificates =
      loadPinnedCertificates(options_.bundle ? *options_.bundle : platform::Bundle::main());
  auto policy = certificates.ok() ? platform::TrustPolicy::pinned(certificates.value())
                                  : platform::Result<platform::TrustPolicy>(certificates.error());
  for (const ApiHost& host : staticData_.apiHosts())
    made->pinnedHosts.push_back(lowerCase(host.host));
  if (policy.ok()) {
    for (const std::string& host : made->pinnedHosts)
      api.hostTrust.insert_or_assign(host, policy.value());
  } else {
    made->bundleError = policy.error().message;
  }
  made->api = std::make_unique<platform::HttpSession>(std::move(api), engine);
  platform::HttpSessionConfig upload;
  upload.defaultTrust = platform::TrustPolicy::systemDefault(options_.uploadCaFile);
  made->upload = std::make_unique<platform::HttpSession>(std::move(upload), engine);
  return made;
}

qv_Network::Parameters qv_Network::commonParameters() const {
  return Parameters{
      {"app_version", device_.appVersion()},
      {"country_code", device_.countryCode()},
      {"device", "mac"},
      {"language_code", "en"},
      {"mac", device_.udid()},
      {"org", "oxal"},
      {"package_name", device_.bundleId()},
      {"realname", "1"},
  };
}

ResultData qv_Network::refuseLocally(const std::string& message) const {
  LogUtil::reportError(message);
  return ResultData::failure(message);
}

Promise<ResultData> qv_Network::request(std::string_view path, Method method,
                                        std::optional<Parameters> parameters, Encoding encoding,
                                        std::optional<HttpHeaders> headers) {
  if (session_.isForbiddenArea()) {
    return Promise<ResultData>::resolved(refuseLocally(std::string(kForbiddenAreaMessage)));
  }
  Outgoing outgoing;
  HttpRequest& request = outgoing.request;
  if (path.starts_with("http")) {
    request.url = std::string(path);
  } else {
    const ApiHost host = staticData_.currentApiHost();
    request.url = "https://" + host.authority() + (contains(path, "/api/2") ? "" : "/api/1") +
                  std::string(path);
  }
  outgoing.sessions = sessions();
  if (outgoing.sessions->bundleError) {
    const std::string host = hostOfUrl(request.url);
    if (outgoing.sessions->isPinned(host)) {
      return Promise<ResultData>::resolved(
          refuseLocally("Request to " + host + " not sent: the pinned certificate bundle " +
                        std::string(kCertBundleResourceName) + " is unusable (" +
                        *outgoing.sessions->bundleError + ")"));
    }
  }
  logPathLine("[NET OUT]", request.url);

  request.headers = headers.value_or(HttpHeaders{});
  const std::string cookie = session_.loginCookie();
  if (!cookie.empty()) request.headers.set("Cookie", cookie);

  Parameters merged = commonParameters();
  if (parameters) {
    for (auto& [key, value] : *parameters) merged.insert_or_assign(key, std::move(value));
  }
  request.method = method == Method::GET ? "GET" : "POST";
  if (encoding == Encoding::json) {
    if (!request.headers.contains("Content-Type")) {
      request.headers.set("Content-Type", "application/json");
    }
    request.body = platform::HttpBody::bytes(
        platform::dumpJson(service_json::toJson(platform::Value(std::move(merged)))));
  } else {
    platform::QueryItems items;
    for (const auto& [key, value] : merged) appendFormItems(items, key, value);
    if (method == Method::GET) {
      request.url = platform::appendQuery(request.url, items);
    } else {
      if (!request.headers.contains("Content-Type")) {
        request.headers.set("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
      }
      request.body = platform::HttpBody::bytes(platform::formEncode(items));
    }
  }

  Promise<ResultData> promise;
  pending_->fetch_add(1);
  send(std::move(outgoing), promise);
  return promise;
}

void qv_Network::send(Outgoing outgoing, Promise<ResultData> promise) {
  // Sending only hands the request to the engine thread, so it happens
  // right here. The reply's first stop is the main queue (its log line);
  // the processing goes on on the global queue. Each stop costs a thread
  // wake-up, so there is no other.
  platform::HttpSession& session = *outgoing.sessions->api;
  HttpRequest request = outgoing.request;
  session.send(std::move(request), platform::mainQueue(),
               [this, outgoing = std::move(outgoing), promise](HttpResponse response) {
                 finish(outgoing, std::move(response), promise);
               });
}

void qv_Network::finish(const Outgoing& outgoing, HttpResponse response,
                        const Promise<ResultData>& promise) {
  const std::string& url = outgoing.request.url;
  const bool cancelled = response.error && platform::isCancellation(*response.error);
  if (cancelled) {
    logPathLine("[NET CANCELLED]", url);
  } else if (response.ok()) {
    logPathLine("[NET IN]", url);
  }
  platform::globalQueue().async(
      [this, url, response = std::move(response), promise, cancelled, pending = pending_]() {
        ResultData result = cancelled       ? ResultData::failure(std::string(kCancelledMessage))
                            : response.ok() ? handleResponse(url, response)
                                            : handleRequestError(url, *response.error);
        promise.resolve(std::move(result));
        pending->fetch_sub(1);
      });
}

ResultData qv_Network::handleResponse(const std::string& requestUrl, const HttpResponse& response) {
  auto parsed = platform::parseJson(response.body);
  if (!parsed.ok() || !parsed.value().is_object()) {
    const std::string message(kDataDecodeErrorMessage);
    if (!contains(requestUrl, kLogUploadPathMarker)) staticData_.recordRequestError(message);
    LogUtil::reportError(message);
    return ResultData::failure(message);
  }
  const nlohmann::json& reply = parsed.value();
  std::optional<std::int64_t> code;
  std::optional<std::string> status;
  std::optional<std::string> error;
  if (auto it = reply.find("code"); it != reply.end()) code = platform::readInt64(*it);
  if (auto it = reply.find("status"); it != reply.end()) status = platform::readString(*it);
  if (auto it = reply.find("error"); it != reply.end()) error = platform::readString(*it);
  const std::int64_t resultCode = code.value_or(kMissingCode);
  const std::string resultStatus = status.value_or(std::string(kMissingStatus));
  if (resultStatus == "ok" || resultCode == 0) {
    ResultData result(resultStatus, service_json::toDictionary(reply),
                      sessionCookie(response.headers), resultCode, true, response.body);
    result.fromServiceReply = true;
    return result;
  }
  return envelopeFailure(requestUrl, service_json::toDictionary(reply), resultCode,
                         error.value_or(std::string(kEmptyMessage)));
}

ResultData qv_Network::envelopeFailure(const std::string& requestUrl,
                                       const platform::Value::Dictionary& reply, std::int64_t code,
                                       const std::string& error) {
  if (code == -1) {
    session_.setIsForbiddenArea(true);
  } else if (code == kCodeSessionExpired || code == kCodeKickedOut || code == kCodeSignedOut ||
             code == kCodeForeignAccount) {
    if (hooks_.onSpecialCode) hooks_.onSpecialCode(code, requestUrl, reply);
  }
  ResultData result;
  if (code == kCodeForeignAccount) {
    LogUtil::reportError(kForeignAccountMessage);
    result = ResultData::failure(std::string(kForeignAccountMessage), kCodeForeignAccount);
  } else {
    LogUtil::reportError(error);
    result = ResultData::failure(error, code);
  }
  result.fromServiceReply = true;
  return result;
}

ResultData qv_Network::handleRequestError(const std::string& requestUrl,
                                          const platform::Error& error) {
  const std::string& message = error.message;
  if (contains(requestUrl, kLogUploadPathMarker)) {
    // A failed report must not report itself again: offline, that would be
    // an endless chain of requests. It still counts towards the switch.
    staticData_.countRequestError();
  } else {
    staticData_.recordRequestError(message);
  }
  LogUtil::reportError(message);
  return ResultData::failure(message);
}

void qv_Network::cancelAllTasks() {
  std::shared_ptr<Sessions> current;
  {
    MutexLock lock(sessionsMutex_);
    current = sessions_;
  }
  if (current) current->api->cancelAll();
}

Promise<ResultData> qv_Network::uploadLogFile(std::string data, std::string fileName) {
  HttpRequest request;
  request.method = "POST";
  request.url = "https://" + staticData_.currentApiHost().authority() + "/api/2/log/file";
  request.body = platform::HttpBody::multipart(
      {platform::MultipartPart{"file", std::move(fileName), "application/zip", std::move(data)}});
  const std::shared_ptr<Sessions> current = sessions();
  Promise<ResultData> promise;
  pending_->fetch_add(1);
  current->upload->send(std::move(request), platform::mainQueue(),
                        [promise, pending = pending_](HttpResponse response) {
                          promise.resolve(uploadResult(response));
                          pending->fetch_sub(1);
                        });
  return promise;
}

ResultData qv_Network::uploadResult(const HttpResponse& response) {
  if (response.error) LogUtil::debug("upload log file: " + response.error->message);
  auto parsed = response.ok() ? platform::parseJson(response.body)
                              : platform::Result<nlohmann::json>(*response.error);
  if (!parsed.ok() || !parsed.value().is_object()) {
    LogUtil::reportError(kUploadDecodeErrorMessage);
    return ResultData::failure(std::string(kUploadDecodeErrorMessage));
  }
  const nlohmann::json& reply = parsed.value();
  std::optional<std::string> status;
  std::optional<std::int64_t> code;
  std::optional<std::string> error;
  if (auto it = reply.find("status"); it != reply.end()) status = platform::readString(*it);
  if (auto it = reply.find("code"); it != reply.end()) code = platform::readInt64(*it);
  if (auto it = reply.find("error"); it != reply.end()) error = platform::readString(*it);
  if (status == "ok" && code == 0) return ResultData::success();
  const std::string message = error.value_or(std::string(kUploadUnknownMessage));
  LogUtil::reportError(message);
  return ResultData::failure(message);
}

}  // namespace vandrel::core
