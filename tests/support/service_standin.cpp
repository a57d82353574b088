#include "tests/support/service_standin.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <thread>

#include "platform/sync.h"

namespace vandrel::test_support {
namespace {

using platform::Mutex;
using platform::MutexLock;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Shuts down the server-side sockets of this process whose local port is
// `localPort` and whose peer port is `peerPort` (0: any connected peer).
// cpp-httplib offers no handle on a connection, so the stand-in finds its
// sockets among the process's descriptors.
void shutdownConnections(std::uint16_t localPort, int peerPort) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localLen = sizeof local;
    socklen_t peerLen = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0 ||
        local.ss_family != AF_INET || peer.ss_family != AF_INET) {
      continue;
    }
    auto localIn = reinterpret_cast<sockaddr_in*>(&local);
    auto peerIn = reinterpret_cast<sockaddr_in*>(&peer);
    if (ntohs(localIn->sin_port) != localPort) continue;
    if (peerPort != 0 && ntohs(peerIn->sin_port) != peerPort) continue;
    ::shutdown(fd, SHUT_RDWR);
  }
  closedir(dir);
}

bool isInjectedHeader(const std::string& name) {
  // cpp-httplib adds the peer's address as pseudo headers.
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

RecordedRequest record(const httplib::Request& req) {
  RecordedRequest r;
  r.method = req.method;
  r.path = req.path;
  auto q = req.target.find('?');
  if (q != std::string::npos) r.query = req.target.substr(q + 1);
  for (const auto& [name, value] : req.headers) {
    if (!isInjectedHeader(name)) r.headers.emplace_back(name, value);
  }
  r.body = req.body;
  for (const auto& [key, file] : req.files) {
    r.parts.push_back({file.name, file.filename, file.content_type, file.content});
  }
  for (const auto& [key, value] : req.params) r.params.emplace_back(key, value);
  return r;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [k, v] : headers) {
    if (equalsIgnoringCase(k, name)) return v;
  }
  return std::nullopt;
}

std::optional<std::string> RecordedRequest::param(std::string_view name) const {
  for (const auto& [k, v] : params) {
    if (k == name) return v;
  }
  return std::nullopt;
}

struct ServiceStandin::Impl {
  std::unique_ptr<httplib::Server> server;
  bool tls = false;
  std::string der;
  std::uint16_t port = 0;
  std::thread thread;

  mutable Mutex mutex;
  mutable std::condition_variable cv;
  std::map<std::pair<std::string, std::string>, ScriptedReply> scripts VANDREL_GUARDED_BY(mutex);
  std::vector<RecordedRequest> log VANDREL_GUARDED_BY(mutex);
  bool drop VANDREL_GUARDED_BY(mutex) = false;
  bool stopping VANDREL_GUARDED_BY(mutex) = false;

  void start();
  void stop();
  void handle(const httplib::Request& req, httplib::Response& res);
  std::size_t countLocked(std::string_view path) const VANDREL_REQUIRES(mutex);
};

void ServiceStandin::Impl::start() {
  server->set_tcp_nodelay(true);  // headers and body go out as separate writes
  server->set_keep_alive_max_count(1'000'000);
  // Short, so an idle client connection does not hold a worker for long.
  server->set_keep_alive_timeout(1);
  server->new_task_queue = [] { return new httplib::ThreadPool(32); };
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
  server->Get(".*", handler);
  server->Post(".*", handler);
  server->Put(".*", handler);
  server->Patch(".*", handler);
  server->Delete(".*", handler);
  server->Options(".*", handler);
  int bound = server->bind_to_any_port("127.0.0.1");
  if (bound <= 0) throw std::runtime_error("stand-in: cannot bind 127.0.0.1");
  port = static_cast<std::uint16_t>(bound);
  httplib::Server* s = server.get();
  thread = std::thread([s] { s->listen_after_bind(); });
  for (int i = 0; i < 5000 && !server->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server->is_running()) throw std::runtime_error("stand-in: server did not start");
}

void ServiceStandin::Impl::stop() {
  {
    MutexLock lock(mutex);
    stopping = true;
  }
  cv.notify_all();
  server->stop();
  // Idle keep-alive connections would hold the workers for their time-out.
  shutdownConnections(port, 0);
  if (thread.joinable()) thread.join();
}

void ServiceStandin::Impl::handle(const httplib::Request& req, httplib::Response& res) {
  RecordedRequest recorded = record(req);
  ScriptedReply reply{404, {}, {}, std::chrono::milliseconds(0)};
  bool dropIt = false;
  {
    MutexLock lock(mutex);
    log.push_back(std::move(recorded));
    auto it = scripts.find({req.method, req.path});
    if (it == scripts.end()) it = scripts.find({std::string(), req.path});
    if (it != scripts.end()) reply = it->second;
    dropIt = drop;
  }
  cv.notify_all();
  if (dropIt) {
    shutdownConnections(port, req.remote_port);
    return;
  }
  if (reply.delay.count() > 0) {
    MutexLock lock(mutex);
    cv.wait_for(lock.native(), reply.delay, [this]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
      return stopping;
    });
  }
  res.status = reply.status;
  for (const auto& [name, value] : reply.headers) res.headers.emplace(name, value);
  res.body = reply.body;
}

std::size_t ServiceStandin::Impl::countLocked(std::string_view path) const {
  std::size_t n = 0;
  for (const auto& r : log) n += r.path == path ? 1 : 0;
  return n;
}

std::unique_ptr<ServiceStandin> ServiceStandin::https(const TestCertificateAuthority& ca,
                                                      std::vector<std::string> names) {
  TestIdentity identity = ca.issue(names);
  BIO* certBio = BIO_new_mem_buf(identity.certificatePem.data(),
                                 static_cast<int>(identity.certificatePem.size()));
  BIO* keyBio = BIO_new_mem_buf(identity.privateKeyPem.data(),
                                static_cast<int>(identity.privateKeyPem.size()));
  X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  BIO_free(certBio);
  BIO_free(keyBio);
  auto impl = std::make_unique<Impl>();
  impl->server = std::make_unique<httplib::SSLServer>(cert, key);  // takes its own references
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!impl->server->is_valid()) throw std::runtime_error("stand-in: TLS set-up failed");
  impl->tls = true;
  impl->der = identity.certificateDer;
  impl->start();
  return std::unique_ptr<ServiceStandin>(new ServiceStandin(std::move(impl)));
}

std::unique_ptr<ServiceStandin> ServiceStandin::http() {
  auto impl = std::make_unique<Impl>();
  impl->server = std::make_unique<httplib::Server>();
  impl->start();
  return std::unique_ptr<ServiceStandin>(new ServiceStandin(std::move(impl)));
}

ServiceStandin::ServiceStandin(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ServiceStandin::~ServiceStandin() { impl_->stop(); }

std::uint16_t ServiceStandin::port() const { return impl_->port; }

std::string ServiceStandin::hostAndPort() const {
  return "127.0.0.1:" + std::to_string(impl_->port);
}

std::string ServiceStandin::url(std::string_view pathAndQuery) const {
  return (impl_->tls ? "https://" : "http://") + hostAndPort() + std::string(pathAndQuery);
}

const std::string& ServiceStandin::certificateDer() const { return impl_->der; }

void ServiceStandin::replyTo(std::string path, ScriptedReply reply) {
  replyTo(std::string(), std::move(path), std::move(reply));
}

void ServiceStandin::replyTo(std::string path, int status, std::string body) {
  replyTo(std::move(path), ScriptedReply{status, {}, std::move(body), {}});
}

void ServiceStandin::replyTo(std::string method, std::string path, ScriptedReply reply) {
  MutexLock lock(impl_->mutex);
  impl_->scripts.insert_or_assign({std::move(method), std::move(path)}, std::move(reply));
}

void ServiceStandin::dropEveryConnection(bool drop) {
  MutexLock lock(impl_->mutex);
  impl_->drop = drop;
}

std::vector<RecordedRequest> ServiceStandin::requests() const {
  MutexLock lock(impl_->mutex);
  return impl_->log;
}

std::vector<RecordedRequest> ServiceStandin::requestsTo(std::string_view path) const {
  MutexLock lock(impl_->mutex);
  std::vector<RecordedRequest> out;
  for (const auto& r : impl_->log) {
    if (r.path == path) out.push_back(r);
  }
  return out;
}

void ServiceStandin::clearLog() {
  MutexLock lock(impl_->mutex);
  impl_->log.clear();
}

::testing::AssertionResult ServiceStandin::waitForRequest(std::string_view path,
                                                          std::chrono::milliseconds timeout,
                                                          std::size_t count) const {
  MutexLock lock(impl_->mutex);
  bool arrived = impl_->cv.wait_for(lock.native(), timeout, [&]() VANDREL_NO_THREAD_SAFETY_ANALYSIS {
    return impl_->countLocked(path) >= count;
  });
  if (arrived) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure();
  failure << count << " request(s) to \"" << path << "\" expected within " << timeout.count()
          << " ms; " << impl_->countLocked(path) << " arrived. Logged paths:";
  for (const auto& r : impl_->log) failure << " " << r.method << " " << r.path;
  return failure;
}

}  // namespace vandrel::test_support
