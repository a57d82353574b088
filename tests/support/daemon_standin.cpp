#include "tests/support/daemon_standin.h"

#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>

#include "platform/clock.h"
#include "platform/sync.h"
#include "proto/accel.grpc.pb.h"

namespace vandrel::test_support {
namespace {

using namespace std::chrono_literals;
using platform::MutexLock;

// Waiting calls look at cancellation and stop this often: the sync server
// has no callback for a caller that gave up.
constexpr auto kPollSlice = 20ms;
constexpr std::size_t kItemCount = 6;
constexpr auto kShutdownGrace = 500ms;

const char* const kUuid = "7F3C2A10-5B6E-4D21-9A0C-3E8F1B2C4D5E";

}  // namespace

std::string_view daemonItemName(DaemonItem item) {
  switch (item) {
    case DaemonItem::Ss:
      return "ss";
    case DaemonItem::HttpProxy:
      return "http proxy";
    case DaemonItem::SystemProxy:
      return "system proxy";
    case DaemonItem::Tun2socks:
      return "tun2socks";
    case DaemonItem::Gts:
      return "gts";
    case DaemonItem::LspProxy:
      return "lsp proxy";
  }
  return "unknown";
}

DaemonReply DaemonReply::fail(std::string error) {
  DaemonReply reply;
  reply.failure = std::move(error);
  return reply;
}

DaemonReply DaemonReply::status(int code, std::string message) {
  VANDREL_CHECK(code != 0, "DaemonReply::status: OK is no error");
  DaemonReply reply;
  reply.statusCode = code;
  reply.statusMessage = std::move(message);
  return reply;
}

DaemonReply DaemonReply::delayed(std::chrono::milliseconds delay) {
  DaemonReply reply;
  reply.delay = delay;
  return reply;
}

DaemonReply DaemonReply::hanging() {
  DaemonReply reply;
  reply.hang = true;
  return reply;
}

const std::vector<std::string_view>& DaemonStandin::methodNames() {
  static const auto* names = new std::vector<std::string_view>{
      "RunGTS",         "StopGTS",       "StartSS",         "StopSS",
      "StartHttpProxy", "StopHttpProxy", "SetSystemProxy",  "StopSystemProxy",
      "StartLSPProxy",  "StopLSPProxy",  "StartTun2socks",  "StopTun2socks",
      "PingServers",    "GetUUID",       "GetExcludeRoute", "DelRoutes"};
  return *names;
}

class DaemonStandin::Impl {
 public:
  explicit Impl(Options options)
      : options_(std::move(options)),
        clock_(options_.clock ? *options_.clock : platform::SystemClock::shared()) {}

  ~Impl() { stop(); }

  class Service;

  platform::Result<void> start();
  void stop();

  // Everything one call goes through: log, script, pause, answer.
  template <typename Request, typename Response, typename Body>
  grpc::Status serve(grpc::ServerContext& context, std::string_view method, const Request& request,
                     Response& response, Body body);

  std::optional<std::string> startItem(DaemonItem item);
  std::optional<std::string> stopItem(DaemonItem item);
  std::vector<std::string> excludeRoutes() const;

  Options options_;
  platform::Clock& clock_;
  std::atomic<int> port_{0};
  std::atomic<bool> serving_{false};

  mutable platform::Mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<DaemonCall> calls_ VANDREL_GUARDED_BY(mutex_);
  struct Script {
    DaemonReply reply;
    int left;
  };
  std::map<std::string, std::deque<Script>, std::less<>> scripts_ VANDREL_GUARDED_BY(mutex_);
  std::map<std::string, int, std::less<>> hanging_ VANDREL_GUARDED_BY(mutex_);
  std::uint64_t releaseGeneration_ VANDREL_GUARDED_BY(mutex_) = 0;
  bool stopping_ VANDREL_GUARDED_BY(mutex_) = false;
  std::array<bool, kItemCount> running_ VANDREL_GUARDED_BY(mutex_){};
  std::vector<std::string> exclude_ VANDREL_GUARDED_BY(mutex_);

  // Owned by the controlling thread.
  std::unique_ptr<accel::Accel::Service> service_;
  std::unique_ptr<grpc::Server> server_;

 private:
  DaemonReply record(grpc::ServerContext& context, std::string_view method,
                     const google::protobuf::Message& request);
  DaemonReply takeScript(std::string_view method) VANDREL_REQUIRES(mutex_);
  // False when the call must not be answered normally: the stand-in stops
  // or the caller gave up.
  bool pause(grpc::ServerContext& context, std::string_view method, const DaemonReply& reply);
  bool delay(grpc::ServerContext& context, std::chrono::milliseconds delay);
  bool hang(grpc::ServerContext& context, std::string_view method);
};

namespace {

std::string joinHostPort(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

void checkMethodName(std::string_view method) {
  const auto& names = DaemonStandin::methodNames();
  VANDREL_CHECK(std::find(names.begin(), names.end(), method) != names.end(),
                "DaemonStandin: no such method of accel.Accel");
}

}  // namespace

// One server's view of the service; a fresh one is registered on every start.
class DaemonStandin::Impl::Service final : public accel::Accel::Service {
 public:
  explicit Service(DaemonStandin::Impl& impl) : impl_(impl) {}

  using Context = grpc::ServerContext;

  grpc::Status RunGTS(Context* c, const accel::GTSConfig* q, accel::GTSRsp* r) override {
    return impl_.serve(*c, "RunGTS", *q, *r, [&] { return impl_.startItem(DaemonItem::Gts); });
  }
  grpc::Status StopGTS(Context* c, const accel::GTSStopReq* q, accel::GTSRsp* r) override {
    return impl_.serve(*c, "StopGTS", *q, *r, [&] { return impl_.stopItem(DaemonItem::Gts); });
  }
  grpc::Status StartSS(Context* c, const accel::SSConfig* q, accel::SSRsp* r) override {
    return impl_.serve(*c, "StartSS", *q, *r, [&] { return impl_.startItem(DaemonItem::Ss); });
  }
  grpc::Status StopSS(Context* c, const accel::StopSSReq* q, accel::SSRsp* r) override {
    return impl_.serve(*c, "StopSS", *q, *r, [&] { return impl_.stopItem(DaemonItem::Ss); });
  }
  grpc::Status StartHttpProxy(Context* c, const accel::StartHttpProxyReq* q,
                              accel::HttpProxyRsp* r) override {
    return impl_.serve(*c, "StartHttpProxy", *q, *r,
                       [&] { return impl_.startItem(DaemonItem::HttpProxy); });
  }
  grpc::Status StopHttpProxy(Context* c, const accel::StopHttpProxyReq* q,
                             accel::HttpProxyRsp* r) override {
    return impl_.serve(*c, "StopHttpProxy", *q, *r,
                       [&] { return impl_.stopItem(DaemonItem::HttpProxy); });
  }
  grpc::Status SetSystemProxy(Context* c, const accel::SetSystemProxyReq* q,
                              accel::SystemProxyRsp* r) override {
    return impl_.serve(*c, "SetSystemProxy", *q, *r,
                       [&] { return impl_.startItem(DaemonItem::SystemProxy); });
  }
  grpc::Status StopSystemProxy(Context* c, const accel::StopSystemProxyReq* q,
                               accel::SystemProxyRsp* r) override {
    return impl_.serve(*c, "StopSystemProxy", *q, *r,
                       [&] { return impl_.stopItem(DaemonItem::SystemProxy); });
  }
  grpc::Status StartLSPProxy(Context* c, const accel::StartLSPProxyReq* q,
                             accel::LSPRsp* r) override {
    return impl_.serve(*c, "StartLSPProxy", *q, *r,
                       [&] { return impl_.startItem(DaemonItem::LspProxy); });
  }
  grpc::Status StopLSPProxy(Context* c, const accel::StopLSPProxyReq* q,
                            accel::LSPRsp* r) override {
    return impl_.serve(*c, "StopLSPProxy", *q, *r,
                       [&] { return impl_.stopItem(DaemonItem::LspProxy); });
  }
  grpc::Status StartTun2socks(Context* c, const accel::StartTun2socksReq* q,
                              accel::StartTun2socksRsp* r) override {
    return impl_.serve(*c, "StartTun2socks", *q, *r,
                       [&] { return impl_.startItem(DaemonItem::Tun2socks); });
  }
  grpc::Status StopTun2socks(Context* c, const accel::StopTun2socksReq* q,
                             accel::StopTun2socksRsp* r) override {
    return impl_.serve(*c, "StopTun2socks", *q, *r,
                       [&] { return impl_.stopItem(DaemonItem::Tun2socks); });
  }
  grpc::Status PingServers(Context* c, const accel::PingReq* q, accel::PingRsp* r) override {
    return impl_.serve(*c, "PingServers", *q, *r, [&]() -> std::optional<std::string> {
      for (const auto& server : q->servers()) {
        auto* result = r->add_result();
        result->set_server(server);
        result->set_delay(1);
        result->set_count(q->count());
      }
      return std::nullopt;
    });
  }
  grpc::Status GetUUID(Context* c, const accel::GetUUIDReq* q, accel::GetUUIDRsp* r) override {
    return impl_.serve(*c, "GetUUID", *q, *r, [&]() -> std::optional<std::string> {
      r->set_uuid(kUuid);
      return std::nullopt;
    });
  }
  grpc::Status GetExcludeRoute(Context* c, const accel::GetExcludeRouteReq* q,
                               accel::GetExcludeRouteRsp* r) override {
    return impl_.serve(*c, "GetExcludeRoute", *q, *r, [&]() -> std::optional<std::string> {
      for (auto& route : impl_.excludeRoutes()) r->add_exclude(std::move(route));
      return std::nullopt;
    });
  }
  grpc::Status DelRoutes(Context* c, const accel::DelRoutesReq* q,
                         accel::DelRoutesRsp* r) override {
    return impl_.serve(*c, "DelRoutes", *q, *r, [] { return std::optional<std::string>(); });
  }

 private:
  DaemonStandin::Impl& impl_;
};

platform::Result<void> DaemonStandin::Impl::start() {
  VANDREL_CHECK(!server_, "DaemonStandin::start: already serving");
  const int wanted = port_.load() != 0 ? port_.load() : options_.port;
  auto service = std::make_unique<Service>(*this);
  grpc::ServerBuilder builder;
  int bound = 0;
  builder.AddListeningPort(joinHostPort(options_.host, wanted), grpc::InsecureServerCredentials(),
                           &bound);
  // A second daemon on the same port must fail to bind, not share it.
  builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
  builder.RegisterService(service.get());
  auto server = builder.BuildAndStart();
  if (!server || bound == 0) {
    return platform::Error{"vandrel.daemon-standin", 1,
                           "cannot listen on " + joinHostPort(options_.host, wanted)};
  }
  service_ = std::move(service);
  server_ = std::move(server);
  port_ = bound;
  serving_ = true;
  return platform::success();
}

void DaemonStandin::Impl::stop() {
  if (!server_) return;
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  // Calls still running after the grace time are cancelled. The bound also
  // covers idle connections of a client process that reads nothing (its
  // goodbye would only be noticed at its next call).
  server_->Shutdown(std::chrono::system_clock::now() + kShutdownGrace);
  server_->Wait();
  server_.reset();
  service_.reset();
  serving_ = false;
  MutexLock lock(mutex_);
  stopping_ = false;
  running_.fill(false);
}

template <typename Request, typename Response, typename Body>
grpc::Status DaemonStandin::Impl::serve(grpc::ServerContext& context, std::string_view method,
                                        const Request& request, Response& response, Body body) {
  const DaemonReply reply = record(context, method, request);
  if (!pause(context, method, reply)) {
    return grpc::Status(grpc::StatusCode::UNAVAILABLE, "daemon stand-in stopped");
  }
  if (reply.statusCode) {
    return grpc::Status(static_cast<grpc::StatusCode>(*reply.statusCode), reply.statusMessage);
  }
  std::optional<std::string> error = reply.failure ? reply.failure : body();
  response.set_success(!error);
  if (error) response.set_error(*error);
  return grpc::Status::OK;
}

DaemonReply DaemonStandin::Impl::record(grpc::ServerContext& context, std::string_view method,
                                        const google::protobuf::Message& request) {
  DaemonCall call{std::string(method), request.GetTypeName(), request.SerializeAsString(),
                  request.ShortDebugString(), context.peer()};
  DaemonReply reply;
  {
    MutexLock lock(mutex_);
    calls_.push_back(call);
    reply = takeScript(method);
  }
  cv_.notify_all();
  if (options_.onCall) options_.onCall(call);
  return reply;
}

DaemonReply DaemonStandin::Impl::takeScript(std::string_view method) {
  auto it = scripts_.find(method);
  if (it == scripts_.end() || it->second.empty()) return {};
  Script& script = it->second.front();
  DaemonReply reply = script.reply;
  if (script.left != kEveryCall && --script.left == 0) it->second.pop_front();
  return reply;
}

bool DaemonStandin::Impl::pause(grpc::ServerContext& context, std::string_view method,
                                const DaemonReply& reply) {
  if (reply.delay > 0ms && !delay(context, reply.delay)) return false;
  if (reply.hang && !hang(context, method)) return false;
  MutexLock lock(mutex_);
  return !stopping_;
}

bool DaemonStandin::Impl::delay(grpc::ServerContext& context, std::chrono::milliseconds delay) {
  const auto deadline = clock_.now() + delay;
  while (clock_.now() < deadline) {
    if (context.IsCancelled()) return false;
    MutexLock lock(mutex_);
    if (stopping_) return false;
    cv_.wait_for(lock.native(), kPollSlice);
  }
  return true;
}

bool DaemonStandin::Impl::hang(grpc::ServerContext& context, std::string_view method) {
  std::uint64_t generation = 0;
  {
    MutexLock lock(mutex_);
    ++hanging_[std::string(method)];
    generation = releaseGeneration_;
  }
  cv_.notify_all();
  bool released = false;
  for (;;) {
    const bool cancelled = context.IsCancelled();
    MutexLock lock(mutex_);
    if (cancelled || stopping_ || releaseGeneration_ != generation) {
      released = !cancelled && !stopping_;
      auto it = hanging_.find(method);
      if (--it->second == 0) hanging_.erase(it);
      break;
    }
    cv_.wait_for(lock.native(), kPollSlice);
  }
  cv_.notify_all();
  return released;
}

std::optional<std::string> DaemonStandin::Impl::startItem(DaemonItem item) {
  MutexLock lock(mutex_);
  bool& running = running_[static_cast<std::size_t>(item)];
  if (running) return std::string(daemonItemName(item)) + " already running";
  running = true;
  return std::nullopt;
}

std::optional<std::string> DaemonStandin::Impl::stopItem(DaemonItem item) {
  MutexLock lock(mutex_);
  bool& running = running_[static_cast<std::size_t>(item)];
  if (!running) return std::string(daemonItemName(item)) + " not running";
  running = false;
  return std::nullopt;
}

std::vector<std::string> DaemonStandin::Impl::excludeRoutes() const {
  MutexLock lock(mutex_);
  return exclude_;
}

DaemonStandin::DaemonStandin() : DaemonStandin(Options{}) {}

DaemonStandin::DaemonStandin(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

DaemonStandin::~DaemonStandin() = default;

platform::Result<void> DaemonStandin::start() { return impl_->start(); }

void DaemonStandin::stop() { impl_->stop(); }

platform::Result<void> DaemonStandin::restart() {
  impl_->stop();
  return impl_->start();
}

bool DaemonStandin::serving() const { return impl_->serving_; }

int DaemonStandin::port() const { return impl_->port_; }

std::string DaemonStandin::address() const {
  return joinHostPort(impl_->options_.host, impl_->port_);
}

void DaemonStandin::script(std::string_view method, DaemonReply reply, int times) {
  checkMethodName(method);
  VANDREL_CHECK(times > 0 || times == kEveryCall, "DaemonStandin::script: bad count");
  MutexLock lock(impl_->mutex_);
  auto it = impl_->scripts_.try_emplace(std::string(method)).first;
  it->second.push_back({std::move(reply), times});
}

void DaemonStandin::failWith(std::string_view method, std::string error, int times) {
  script(method, DaemonReply::fail(std::move(error)), times);
}

void DaemonStandin::failWithStatus(std::string_view method, int code, std::string message,
                                   int times) {
  script(method, DaemonReply::status(code, std::move(message)), times);
}

void DaemonStandin::clearScripts(std::string_view method) {
  checkMethodName(method);
  MutexLock lock(impl_->mutex_);
  if (auto it = impl_->scripts_.find(method); it != impl_->scripts_.end()) {
    impl_->scripts_.erase(it);
  }
}

void DaemonStandin::clearAllScripts() {
  MutexLock lock(impl_->mutex_);
  impl_->scripts_.clear();
}

void DaemonStandin::releaseHangs() {
  {
    MutexLock lock(impl_->mutex_);
    ++impl_->releaseGeneration_;
  }
  impl_->cv_.notify_all();
}

int DaemonStandin::hangingCount(std::string_view method) const {
  MutexLock lock(impl_->mutex_);
  auto it = impl_->hanging_.find(method);
  return it == impl_->hanging_.end() ? 0 : it->second;
}

testing::AssertionResult DaemonStandin::waitForHanging(std::string_view method, int count,
                                                       std::chrono::milliseconds timeout) const {
  checkMethodName(method);
  MutexLock lock(impl_->mutex_);
  int now = 0;
  const bool reached = impl_->cv_.wait_for(lock.native(), timeout, [&] {
    auto it = impl_->hanging_.find(method);
    now = it == impl_->hanging_.end() ? 0 : it->second;
    return now >= count;
  });
  if (reached) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "after " << timeout.count() << " ms " << now
                                     << " call(s) of " << method << " hang, wanted " << count;
}

void DaemonStandin::setRunning(DaemonItem item, bool running) {
  MutexLock lock(impl_->mutex_);
  impl_->running_[static_cast<std::size_t>(item)] = running;
}

bool DaemonStandin::isRunning(DaemonItem item) const {
  MutexLock lock(impl_->mutex_);
  return impl_->running_[static_cast<std::size_t>(item)];
}

void DaemonStandin::setExcludeRoutes(std::vector<std::string> routes) {
  MutexLock lock(impl_->mutex_);
  impl_->exclude_ = std::move(routes);
}

std::vector<DaemonCall> DaemonStandin::calls() const {
  MutexLock lock(impl_->mutex_);
  return impl_->calls_;
}

std::vector<DaemonCall> DaemonStandin::calls(std::string_view method) const {
  checkMethodName(method);
  std::vector<DaemonCall> matching;
  MutexLock lock(impl_->mutex_);
  for (const auto& call : impl_->calls_) {
    if (call.method == method) matching.push_back(call);
  }
  return matching;
}

std::vector<std::string> DaemonStandin::methods() const {
  std::vector<std::string> names;
  MutexLock lock(impl_->mutex_);
  for (const auto& call : impl_->calls_) names.push_back(call.method);
  return names;
}

void DaemonStandin::clearCalls() {
  MutexLock lock(impl_->mutex_);
  impl_->calls_.clear();
}

testing::AssertionResult DaemonStandin::waitForCalls(std::string_view method, std::size_t count,
                                                     std::chrono::milliseconds timeout) const {
  checkMethodName(method);
  MutexLock lock(impl_->mutex_);
  std::size_t now = 0;
  const bool reached = impl_->cv_.wait_for(lock.native(), timeout, [&] {
    now =
        static_cast<std::size_t>(std::count_if(impl_->calls_.begin(), impl_->calls_.end(),
                                               [&](const auto& c) { return c.method == method; }));
    return now >= count;
  });
  if (reached) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "after " << timeout.count() << " ms " << now
                                     << " call(s) of " << method << ", wanted " << count;
}

}  // namespace vandrel::test_support
