#pragma once

// The gRPC side of Accel_AccelServiceClient. Only the client's own source
// and the call benchmark include it: gRPC stays out of public headers.

#include <grpcpp/grpcpp.h>

#include <memory>
#include <string>

#include "connection/accel_accel_service_client.h"
#include "proto/accel.grpc.pb.h"

namespace vandrel::connection {

struct Accel_AccelServiceClient::Impl {
  std::string address;
  std::shared_ptr<grpc::Channel> channel;
  std::unique_ptr<accel::Accel::Stub> stub;
};

}  // namespace vandrel::connection
