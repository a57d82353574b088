#include "connection/accel_accel_service_client.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "connection/accel_accel_service_client_impl.h"
#include "proto/accel.pb.h"
#include "connection/qv_connection_manager.h"
#include "connection/route_registrar.h"
#include "core/line_item.h"
#include "core/log_util.h"
#include "platform/check.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/value.h"

namespace vandrel::connection {
namespace {

using platform::MutexLock;

// The daemon's local endpoints that the requests name.
constexpr std::string_view kLoopback = "127.0.0.1";
constexpr std::int32_t kSocksPort = 9090;
constexpr std::string_view kSocksAddress = "127.0.0.1:9090";
constexpr std::int32_t kHttpProxyPort = 9099;
constexpr std::int32_t kPacServerPort = 50453;
constexpr std::string_view kTunName = "zeridevaz_tunnel";
constexpr std::string_view kTunAddress = "172.20.0.2";
constexpr std::string_view kTunMask = "255.255.0.0";
constexpr std::string_view kTunGateway = "172.20.0.1";
constexpr std::int32_t kTunMtu = 1488;
// What an SSW request carries for a field that the line lacks.
constexpr std::string_view kNone = "None";

constexpr std::string_view kNotRunning = "not running";
constexpr std::string_view kNoStatusMessage = "Error";
constexpr std::string_view kMethodPathPrefix = "/accel.Accel/";
constexpr std::string_view kExcludeLinePrefix = "[DEBUG]: tun2socks exclude: ";

// Reconnect back-off of the channel. The daemon is on loopback and is
// restarted by the helper: after a refused attempt the next one must come
// soon, not after gRPC's default of a second growing to two minutes.
// GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, despite its name, is the least time
// one connection attempt gets before it counts as failed (default 20 s).
// A refused attempt fails at once whatever it is; this only bounds a
// daemon that accepted and has not yet answered the handshake, which a
// daemon just started on a busy two-core machine took over a second to do
// (the connect then failed): it gets ten.
constexpr int kInitialReconnectBackoffMs = 100;
constexpr int kMinReconnectBackoffMs = 10000;
constexpr int kMaxReconnectBackoffMs = 500;

std::atomic<RouteRegistrar*> gSharedRegistrar{nullptr};

// Hands the routes to whichever registrar the process registered, looked up
// when they come, so the shared calls can exist before the helper client.
class SharedRouteRegistrar final : public RouteRegistrar {
 public:
  void deleteRoutesWhenAppKilled(std::vector<std::string> routes) override {
    RouteRegistrar* registrar = gSharedRegistrar.load(std::memory_order_acquire);
    VANDREL_CHECK(registrar != nullptr,
                  "no RouteRegistrar registered: the helper client must call "
                  "AccelCalls::setSharedRouteRegistrar at start-up");
    registrar->deleteRoutesWhenAppKilled(std::move(routes));
  }
};

// A text list as the log shows it: ["a", "b"], or []. Quotes, backslashes
// and control characters inside an element are escaped, so a route text
// cannot break the line or forge another one.
std::string listDescription(const std::vector<std::string>& list) {
  std::string text = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) text += ", ";
    text += '"';
    for (const char c : list[i]) {
      switch (c) {
        case '"':
          text += "\\\"";
          break;
        case '\\':
          text += "\\\\";
          break;
        case '\n':
          text += "\\n";
          break;
        case '\r':
          text += "\\r";
          break;
        case '\t':
          text += "\\t";
          break;
        case '\0':
          text += "\\0";
          break;
        default:
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned char>(c));
            text += escaped;
          } else {
            text += c;
          }
      }
    }
    text += '"';
  }
  text += ']';
  return text;
}

template <typename Repeated>
void assign(Repeated& field, const std::vector<std::string>& list) {
  field.Reserve(static_cast<int>(list.size()));
  for (const auto& item : list) field.Add(std::string(item));
}

void checkOffMainThread() {
  VANDREL_CHECK(!platform::isMainThread(),
                "daemon calls block until the daemon answers: never on the main thread");
}

}  // namespace

// ---- Accel_AccelServiceClient ------------------------------------------

Accel_AccelServiceClient::Accel_AccelServiceClient(std::string address)
    : impl_(std::make_unique<Impl>()) {
  impl_->address = std::move(address);
  auto transport = makeAccelTransport(
      impl_->address, AccelTransportOptions{kInitialReconnectBackoffMs, kMinReconnectBackoffMs,
                                            kMaxReconnectBackoffMs});
  if (transport.ok()) {
    impl_->transport = std::move(transport).value();
  } else {
    impl_->loadError = transport.error().message;
  }
}

Accel_AccelServiceClient::~Accel_AccelServiceClient() = default;

const std::string& Accel_AccelServiceClient::address() const { return impl_->address; }

// ---- DaemonCallLog -------------------------------------------------------

DaemonCallLog DaemonCallLog::logUtil() {
  return {
      [](std::int64_t level, std::string_view message) { core::LogUtil::logLine(level, message); },
      [](std::string_view text) { core::LogUtil::checkUploadKeywords(text); }};
}

// ---- AccelCalls ------------------------------------------------------------

// A wrapper's log texts. Empty lines are lines the wrapper does not write;
// only the stop wrappers have a "not running" line.
struct AccelCalls::Texts {
  std::string_view successLine;
  std::string_view notRunningLine;
  std::string_view callError;      // ends in one space
  std::string_view responseError;  // ends in two
};

namespace {

using Texts = AccelCalls::Texts;

constexpr Texts kStartTun2socksTexts{"[DEBUG]: startTun2Socks success", "",
                                     "startT Error: ", "startT Error:  "};
constexpr Texts kStopTun2socksTexts{"", "[DEBUG]: Stop T: Not running",
                                    "stop T catch Error: ", "stop T Error:  "};
constexpr Texts kSetSystemProxyTexts{"", "",
                                     "startSystemProxy Error: ", "startSystemProxy Error:  "};
constexpr Texts kStopSystemProxyTexts{"", "[DEBUG]: systemProxy Not running",
                                      "stopSystemProxy Error: ", "stopSystemProxy Error:  "};
constexpr Texts kStartHttpProxyTexts{"", "", "startHttpProxy Error: ", "startHttpProxy Error:  "};
constexpr Texts kStopHttpProxyTexts{"", "[DEBUG]: HttpProxy Not running",
                                    "stopHttpProxy Error: ", "stopHttpProxy Error:  "};
constexpr Texts kStartSSTexts{"[DEBUG]: startSSProxy success", "",
                              "startSSProxy Error: ", "startSSProxy Error:  "};
constexpr Texts kStopSSTexts{"", "[DEBUG]: SS Not running",
                             "stopSSProxy catch Error: ", "stopSSProxy Error:  "};

}  // namespace

AccelCalls& AccelCalls::shared() {
  static auto* calls =
      new AccelCalls(daemonAddress(), platform::Defaults::standard(), *new SharedRouteRegistrar,
                     [] { return qv_ConnectionManager::shared().connectMode(); });
  return *calls;
}

void AccelCalls::setSharedRouteRegistrar(RouteRegistrar* registrar) {
  gSharedRegistrar.store(registrar, std::memory_order_release);
}

std::string AccelCalls::daemonAddress() {
  const char* address = std::getenv(std::string(kDaemonAddressVariable).c_str());
  if (address != nullptr && *address != '\0') return address;
  return std::string(kDaemonAddress);
}

AccelCalls::AccelCalls(std::string address, platform::Defaults& defaults, RouteRegistrar& registrar,
                       std::function<core::ConnectMode()> connectMode, Options options)
    : address_(std::move(address)),
      defaults_(defaults),
      registrar_(registrar),
      connectMode_(std::move(connectMode)),
      log_(std::move(options.log)),
      stopDeadline_(options.stopDeadline) {}

AccelCalls::AccelCalls(std::string address, platform::Defaults& defaults, RouteRegistrar& registrar,
                       std::function<core::ConnectMode()> connectMode)
    : AccelCalls(std::move(address), defaults, registrar, std::move(connectMode), Options{}) {}

AccelCalls::~AccelCalls() = default;

std::shared_ptr<Accel_AccelServiceClient> AccelCalls::client() {
  {
    MutexLock lock(mutex_);
    if (client_) return client_;
  }
  // Made outside the lock; when another thread stored one meanwhile, that
  // one wins and this one is dropped unused.
  auto made = std::make_shared<Accel_AccelServiceClient>(address_);
  MutexLock lock(mutex_);
  if (!client_) client_ = std::move(made);
  return client_;
}

void AccelCalls::dropClient() {
  // The last reference may be this one: the channel goes after the lock.
  std::shared_ptr<Accel_AccelServiceClient> dropped;
  {
    MutexLock lock(mutex_);
    dropped.swap(client_);
  }
}

namespace {

// One unary call through the client's transport: the decoded response, or
// the status message ("" when the call carried none).
template <typename Response, typename Request>
std::optional<std::string> exchange(const Accel_AccelServiceClient& daemon, std::string_view name,
                                    const Request& request, Response& response,
                                    std::optional<std::chrono::system_clock::time_point> deadline) {
  const auto& impl = daemon.impl();
  if (!impl.transport) return impl.loadError;
  std::string encoded;
  if (!request.SerializeToString(&encoded)) return std::string("unencodable request");
  const AccelTransport::Reply reply =
      impl.transport->call(std::string(kMethodPathPrefix) + std::string(name), encoded, deadline);
  if (!reply.ok) return reply.errorMessage;
  if (!response.ParseFromString(reply.response)) return std::string("undecodable response");
  return std::nullopt;
}

}  // namespace

template <typename Response, typename Request>
std::optional<std::string> AccelCalls::call(const Texts& texts, std::string_view method,
                                            const Request& request, bool withDeadline) {
  checkOffMainThread();
  const std::shared_ptr<Accel_AccelServiceClient> daemon = client();
  std::optional<std::chrono::system_clock::time_point> deadline;
  if (withDeadline) deadline = std::chrono::system_clock::now() + stopDeadline_;
  Response response;
  if (auto failure = exchange(*daemon, method, request, response, deadline)) {
    std::string message = std::move(*failure);
    if (message.empty()) message = kNoStatusMessage;
    return failed(texts, texts.callError, std::move(message));
  }
  if (!response.success()) return failed(texts, texts.responseError, response.error());
  if (!texts.successLine.empty()) log_.logLine(4, texts.successLine);
  return std::nullopt;
}

std::optional<std::string> AccelCalls::failed(const Texts& texts, std::string_view errorText,
                                              std::string message) {
  if (!texts.notRunningLine.empty() && message.find(kNotRunning) != std::string::npos) {
    log_.logLine(4, texts.notRunningLine);
    return std::nullopt;
  }
  std::string text(errorText);
  text += message;
  log_.logLine(2, std::string(core::LogUtil::kErrorTag) + text);
  log_.checkUploadKeywords(text);
  return message;
}

std::optional<std::string> AccelCalls::startTun2socks(const std::vector<std::string>& exclude) {
  log_.logLine(4, std::string(kExcludeLinePrefix) + listDescription(exclude));
  accel::StartTun2socksReq request;
  request.set_tunname(std::string(kTunName));
  request.set_tunaddr(std::string(kTunAddress));
  request.set_tunmask(std::string(kTunMask));
  request.set_tungateway(std::string(kTunGateway));
  request.set_mtu(kTunMtu);
  request.set_socksaddr(std::string(kSocksAddress));
  request.set_enablednscache(false);
  assign(*request.mutable_exclude(), exclude);
  return call<accel::StartTun2socksRsp>(kStartTun2socksTexts, "StartTun2socks",
                                        request, false);
}

std::optional<std::string> AccelCalls::stopTun2socks() {
  return call<accel::StopTun2socksRsp>(kStopTun2socksTexts, "StopTun2socks",
                                       accel::StopTun2socksReq(), true);
}

std::optional<std::string> AccelCalls::setSystemProxy(const std::vector<std::string>& domains,
                                                      Accel_SystemProxyMode mode) {
  accel::SetSystemProxyReq request;
  request.set_mode(static_cast<accel::SystemProxyMode>(mode));
  request.set_httpproxyaddr(std::string(kLoopback));
  request.set_httpproxyport(kHttpProxyPort);
  request.set_pacserverport(kPacServerPort);
  assign(*request.mutable_domains(), domains);
  return call<accel::SystemProxyRsp>(kSetSystemProxyTexts, "SetSystemProxy",
                                     request, false);
}

std::optional<std::string> AccelCalls::stopSystemProxy(Accel_SystemProxyMode mode) {
  accel::StopSystemProxyReq request;
  request.set_mode(static_cast<accel::SystemProxyMode>(mode));
  request.set_httpproxyaddr(std::string(kLoopback));
  request.set_httpproxyport(kHttpProxyPort);
  return call<accel::SystemProxyRsp>(kStopSystemProxyTexts, "StopSystemProxy",
                                     request, false);
}

std::optional<std::string> AccelCalls::startHttpProxy() {
  accel::StartHttpProxyReq request;
  request.set_server(std::string(kLoopback));
  request.set_port(kHttpProxyPort);
  request.set_s5addr(std::string(kLoopback));
  request.set_s5port(kSocksPort);
  return call<accel::HttpProxyRsp>(kStartHttpProxyTexts, "StartHttpProxy",
                                   request, false);
}

std::optional<std::string> AccelCalls::stopHttpProxy() {
  return call<accel::HttpProxyRsp>(kStopHttpProxyTexts, "StopHttpProxy",
                                   accel::StopHttpProxyReq(), false);
}

std::optional<std::string> AccelCalls::startSS(const core::LineItem& line) {
  checkOffMainThread();
  const core::LineItem::Fields fields = line.fields();
  const std::int64_t port = fields.port.value_or(0);
  const bool portFits = port >= std::numeric_limits<std::int32_t>::min() &&
                        port <= std::numeric_limits<std::int32_t>::max();
  if (!fields.server || !fields.method || !fields.password || !portFits) {
    return failed(kStartSSTexts, kStartSSTexts.callError, std::string(kIncompleteLineError));
  }
  accel::SSConfig request;
  request.set_port(static_cast<std::int32_t>(port));
  request.set_method(*fields.method);
  request.set_password(*fields.password);
  request.set_localport(kSocksPort);
  if (connectMode_() == core::ConnectMode::ssw) {
    request.set_server(fields.host.value_or(std::string(kNone)));
    request.set_type(accel::SSW);
    request.set_url(fields.url.value_or(std::string(kNone)));
    request.set_username(fields.username.value_or(std::string(kNone)));
  } else {
    request.set_server(*fields.server);
    request.set_type(accel::SS);
  }
  return call<accel::SSRsp>(kStartSSTexts, "StartSS", request, false);
}

std::optional<std::string> AccelCalls::stopSS() {
  return call<accel::SSRsp>(kStopSSTexts, "StopSS", accel::StopSSReq(), true);
}

std::optional<std::string> AccelCalls::saveExcludeRoutes() {
  checkOffMainThread();
  const std::shared_ptr<Accel_AccelServiceClient> daemon = client();
  accel::GetExcludeRouteRsp response;
  if (auto failure = exchange(*daemon, "GetExcludeRoute", accel::GetExcludeRouteReq(), response,
                              std::nullopt)) {
    return failure->empty() ? std::string(kNoStatusMessage) : *failure;
  }
  if (!response.success()) return response.error();
  std::vector<std::string> routes(response.exclude().begin(), response.exclude().end());
  defaults_.set(kLastExcludeArrayKey, platform::Value::Array(routes.begin(), routes.end()));
  defaults_.synchronize();
  registrar_.deleteRoutesWhenAppKilled(std::move(routes));
  return std::nullopt;
}

std::vector<std::string> AccelCalls::lastExcludeArray() const {
  const std::optional<platform::Value::Array> stored = defaults_.getArray(kLastExcludeArrayKey);
  if (!stored) return {""};
  std::vector<std::string> routes;
  routes.reserve(stored->size());
  for (const platform::Value& value : *stored) {
    const std::string* route = value.asString();
    if (route == nullptr) return {""};
    routes.push_back(*route);
  }
  return routes;
}

}  // namespace vandrel::connection
