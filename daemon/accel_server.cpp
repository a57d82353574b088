#include "daemon/accel_server.h"

#include <grpcpp/grpcpp.h>

#include <algorithm>
#include <chrono>

#include "daemon/accel_daemon.h"
#include "daemon/caller_identity.h"
#include "proto/accel.grpc.pb.h"

namespace vandrel::daemon {
namespace {

using grpc::ServerContext;
using grpc::Status;
using namespace std::chrono_literals;

constexpr auto kShutdownGrace = 2s;

std::vector<std::string> strings(const google::protobuf::RepeatedPtrField<std::string>& field) {
  return {field.begin(), field.end()};
}

SsRequest toRequest(const accel::SSConfig& q) {
  return {q.server(),   q.port(), q.method(), q.password(), q.localport(),
          q.type(),     q.url(),  q.username()};
}

HttpProxyRequest toRequest(const accel::StartHttpProxyReq& q) {
  return {q.server(), q.port(), q.s5addr(), q.s5port()};
}

SystemProxyRequest toRequest(const accel::SetSystemProxyReq& q) {
  return {q.mode(), q.httpproxyaddr(), q.httpproxyport(), q.pacserverport(), strings(q.domains()),
          strings(q.nets())};
}

StopSystemProxyRequest toRequest(const accel::StopSystemProxyReq& q) {
  return {q.mode(), q.httpproxyaddr(), q.httpproxyport()};
}

TunRequest toRequest(const accel::StartTun2socksReq& q) {
  return {q.tunname(), q.tunaddr(), q.tunmask(),       q.tungateway(),
          strings(q.dns()), q.mtu(), q.socksaddr(), q.enablednscache(), strings(q.exclude())};
}

template <typename Response>
void fill(Response& response, const Answer& answer) {
  response.set_success(answer.success);
  response.set_error(answer.error);
}

void fill(accel::GetExcludeRouteRsp& response, const Answer& answer) {
  response.set_success(answer.success);
  response.set_error(answer.error);
  for (const auto& route : answer.exclude) response.add_exclude(route);
}

}  // namespace

std::string notSupportedText(std::string_view method) {
  return std::string(method) + " is not supported by this daemon";
}

struct AccelServer::Impl {
  class Service;

  Options options;
  AccelDaemon& daemon;
  std::function<void(std::string_view)> log;
  std::unique_ptr<Service> service;
  std::unique_ptr<grpc::Server> server;
  int port = 0;

  Impl(Options o, AccelDaemon& d, std::function<void(std::string_view)> l)
      : options(std::move(o)), daemon(d), log(std::move(l)) {}

  // Root, or a user of the helper's configuration; never anyone the
  // kernel cannot name.
  platform::Result<uid_t> caller(ServerContext& context) const {
    const auto peer = parsePeer(context.peer());
    const auto local = IpAddress::parse(options.host);
    if (!peer || !local) {
      return platform::Error{"vandrel.daemon.caller", EINVAL,
                             "the caller's address " + quoted(context.peer()) + " is not usable"};
    }
    return loopbackPeerUid(*peer, TcpEndpoint{*local, port});
  }

  template <typename Response, typename Body>
  Status serve(ServerContext& context, std::string_view method, Response& response, Body body) {
    const auto uid = caller(context);
    Answer answer;
    std::string who = "unknown caller";
    if (!uid) {
      answer = Answer::failure("refused: the caller could not be identified (" +
                               uid.error().message + ")");
    } else {
      who = "uid " + std::to_string(uid.value());
      const auto& allowed = options.allowedUids;
      if (uid.value() != 0 &&
          std::find(allowed.begin(), allowed.end(), uid.value()) == allowed.end()) {
        answer = Answer::failure("refused: uid " + std::to_string(uid.value()) +
                                 " may not use the tunnelling daemon");
      } else {
        answer = body(uid.value());
      }
    }
    fill(response, answer);
    log(std::string(method) + " from " + who + ": " +
        (answer.success ? "ok" : "failed: " + answer.error));
    return Status::OK;
  }

  template <typename Response>
  Status unsupported(ServerContext& context, std::string_view method, Response& response) {
    return serve(context, method, response,
                 [&](uid_t) { return Answer::failure(notSupportedText(method)); });
  }
};

class AccelServer::Impl::Service final : public accel::Accel::Service {
 public:
  explicit Service(Impl& impl) : impl_(impl) {}
  using C = ServerContext;

  Status StartSS(C* c, const accel::SSConfig* q, accel::SSRsp* r) override {
    return impl_.serve(*c, "StartSS", *r, [&](uid_t) { return impl_.daemon.startSs(toRequest(*q)); });
  }
  Status StopSS(C* c, const accel::StopSSReq*, accel::SSRsp* r) override {
    return impl_.serve(*c, "StopSS", *r, [&](uid_t) { return impl_.daemon.stopSs(); });
  }
  Status StartHttpProxy(C* c, const accel::StartHttpProxyReq* q, accel::HttpProxyRsp* r) override {
    return impl_.serve(*c, "StartHttpProxy", *r,
                       [&](uid_t) { return impl_.daemon.startHttpProxy(toRequest(*q)); });
  }
  Status StopHttpProxy(C* c, const accel::StopHttpProxyReq*, accel::HttpProxyRsp* r) override {
    return impl_.serve(*c, "StopHttpProxy", *r, [&](uid_t) { return impl_.daemon.stopHttpProxy(); });
  }
  Status SetSystemProxy(C* c, const accel::SetSystemProxyReq* q, accel::SystemProxyRsp* r) override {
    return impl_.serve(*c, "SetSystemProxy", *r,
                       [&](uid_t uid) { return impl_.daemon.setSystemProxy(toRequest(*q), uid); });
  }
  Status StopSystemProxy(C* c, const accel::StopSystemProxyReq* q,
                         accel::SystemProxyRsp* r) override {
    return impl_.serve(*c, "StopSystemProxy", *r,
                       [&](uid_t) { return impl_.daemon.stopSystemProxy(toRequest(*q)); });
  }
  Status StartTun2socks(C* c, const accel::StartTun2socksReq* q,
                        accel::StartTun2socksRsp* r) override {
    return impl_.serve(*c, "StartTun2socks", *r,
                       [&](uid_t) { return impl_.daemon.startTun2socks(toRequest(*q)); });
  }
  Status StopTun2socks(C* c, const accel::StopTun2socksReq*, accel::StopTun2socksRsp* r) override {
    return impl_.serve(*c, "StopTun2socks", *r, [&](uid_t) { return impl_.daemon.stopTun2socks(); });
  }
  Status GetExcludeRoute(C* c, const accel::GetExcludeRouteReq*,
                         accel::GetExcludeRouteRsp* r) override {
    return impl_.serve(*c, "GetExcludeRoute", *r,
                       [&](uid_t) { return impl_.daemon.getExcludeRoute(); });
  }

  Status RunGTS(C* c, const accel::GTSConfig*, accel::GTSRsp* r) override {
    return impl_.unsupported(*c, "RunGTS", *r);
  }
  Status StopGTS(C* c, const accel::GTSStopReq*, accel::GTSRsp* r) override {
    return impl_.unsupported(*c, "StopGTS", *r);
  }
  Status StartLSPProxy(C* c, const accel::StartLSPProxyReq*, accel::LSPRsp* r) override {
    return impl_.unsupported(*c, "StartLSPProxy", *r);
  }
  Status StopLSPProxy(C* c, const accel::StopLSPProxyReq*, accel::LSPRsp* r) override {
    return impl_.unsupported(*c, "StopLSPProxy", *r);
  }
  Status PingServers(C* c, const accel::PingReq*, accel::PingRsp* r) override {
    return impl_.unsupported(*c, "PingServers", *r);
  }
  Status GetUUID(C* c, const accel::GetUUIDReq*, accel::GetUUIDRsp* r) override {
    return impl_.unsupported(*c, "GetUUID", *r);
  }
  Status DelRoutes(C* c, const accel::DelRoutesReq*, accel::DelRoutesRsp* r) override {
    return impl_.unsupported(*c, "DelRoutes", *r);
  }

 private:
  Impl& impl_;
};

platform::Result<std::unique_ptr<AccelServer>> AccelServer::start(
    const Options& options, AccelDaemon& daemon, std::function<void(std::string_view)> log) {
  auto impl = std::make_unique<Impl>(options, daemon, std::move(log));
  impl->service = std::make_unique<Impl::Service>(*impl);
  grpc::ServerBuilder builder;
  const std::string address = options.host + ":" + std::to_string(options.port);
  builder.AddListeningPort(address, grpc::InsecureServerCredentials(), &impl->port);
  // A second daemon on the port must fail to bind, not share it.
  builder.AddChannelArgument(GRPC_ARG_ALLOW_REUSEPORT, 0);
  builder.RegisterService(impl->service.get());
  impl->server = builder.BuildAndStart();
  if (!impl->server || impl->port == 0) {
    return platform::Error{"vandrel.daemon", EADDRINUSE, "cannot listen on " + address};
  }
  return std::unique_ptr<AccelServer>(new AccelServer(std::move(impl)));
}

AccelServer::AccelServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AccelServer::~AccelServer() { shutdown(); }

void AccelServer::shutdown() {
  if (!impl_->server) return;
  impl_->server->Shutdown(std::chrono::system_clock::now() + kShutdownGrace);
  impl_->server->Wait();
  impl_->server.reset();
}

}  // namespace vandrel::daemon
