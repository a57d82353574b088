// The daemon's gRPC channel, built as a module of its own and loaded on the
// first daemon call (connection/accel_transport.h). Messages cross it
// encoded: the module knows no message type, only method paths and bytes.

#include <grpcpp/generic/generic_stub.h>
#include <grpcpp/grpcpp.h>
#include <grpcpp/impl/codegen/client_unary_call.h>
#include <grpcpp/impl/codegen/rpc_method.h>

#include <memory>
#include <string>
#include <vector>

#include "connection/accel_transport.h"

namespace vandrel::connection {
namespace {

class GrpcAccelTransport final : public AccelTransport {
 public:
  GrpcAccelTransport(const std::string& address, const AccelTransportOptions& options) {
    grpc::ChannelArguments args;
    // A proxy inherited from the environment (http_proxy, grpc_proxy) must
    // not capture calls to the loopback daemon.
    args.SetInt(GRPC_ARG_ENABLE_HTTP_PROXY, 0);
    // Subchannels of the global pool outlive a dropped client; a pool of
    // its own makes each client open its own connection.
    args.SetInt(GRPC_ARG_USE_LOCAL_SUBCHANNEL_POOL, 1);
    args.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, options.initialReconnectBackoffMs);
    args.SetInt(GRPC_ARG_MIN_RECONNECT_BACKOFF_MS, options.minReconnectBackoffMs);
    args.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS, options.maxReconnectBackoffMs);
    channel_ = grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), args);
  }

  Reply call(const std::string& method, const std::string& request,
             std::optional<std::chrono::system_clock::time_point> deadline) override {
    grpc::ClientContext context;
    if (deadline) context.set_deadline(*deadline);
    grpc::Slice slice(request);
    const grpc::ByteBuffer sent(&slice, 1);
    grpc::ByteBuffer received;
    const grpc::internal::RpcMethod rpc(method.c_str(), grpc::internal::RpcMethod::NORMAL_RPC);
    const grpc::Status status =
        grpc::internal::BlockingUnaryCall<grpc::ByteBuffer, grpc::ByteBuffer>(
            channel_.get(), rpc, &context, sent, &received);
    Reply reply;
    if (!status.ok()) {
      reply.errorMessage = status.error_message();
      return reply;
    }
    std::vector<grpc::Slice> slices;
    if (!received.Dump(&slices).ok()) {
      reply.errorMessage = "undecodable reply";
      return reply;
    }
    for (const grpc::Slice& s : slices) {
      reply.response.append(reinterpret_cast<const char*>(s.begin()), s.size());
    }
    reply.ok = true;
    return reply;
  }

 private:
  std::shared_ptr<grpc::Channel> channel_;
};

}  // namespace
}  // namespace vandrel::connection

extern "C" __attribute__((visibility("default"))) vandrel::connection::AccelTransport*
vandrel_make_accel_transport(const char* address,
                             const vandrel::connection::AccelTransportOptions* options) {
  return new vandrel::connection::GrpcAccelTransport(address, *options);
}
