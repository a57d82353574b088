#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

// The daemon's gRPC face: service accel.Accel on a loopback port. Before
// any method runs, the caller is identified by its connection (never by
// what it sends) and served only when it is root or an allowed user; every
// call and its outcome is one log line.
namespace vandrel::daemon {

class AccelDaemon;

class AccelServer {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = 50051;
    std::vector<uid_t> allowedUids;  // besides root
  };

  static platform::Result<std::unique_ptr<AccelServer>> start(
      const Options& options, AccelDaemon& daemon, std::function<void(std::string_view)> log);
  ~AccelServer();
  AccelServer(const AccelServer&) = delete;
  AccelServer& operator=(const AccelServer&) = delete;

  // Stops serving; calls under way finish first.
  void shutdown();

  struct Impl;

 private:
  explicit AccelServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The seven methods the application never calls answer this.
std::string notSupportedText(std::string_view method);

}  // namespace vandrel::daemon
