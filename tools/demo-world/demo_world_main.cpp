// The demo's world, for scripts/run's sandbox.
//
//   vandrel-demo-world serve DIR [--echo]
//     In the sandbox's "internet" namespace, as root: the HTTPS service with
//     the demo account on kApiAddress:443 (its CA pinned by the bundle
//     DIR/Vandrel.app), the lines of the demo catalogue (Debian's ss-server
//     on each line's address, plain and behind the websocket transport, run
//     as nobody), their liveness answers, a web page on kPageAddress that
//     names the address its visitor came from, and with --echo the lines'
//     delayed ping replies. Writes DIR/ready once everything listens and
//     serves until SIGINT or SIGTERM.
//
//   vandrel-demo-world lines
//     Each line's address and ping time in milliseconds, one line each, for
//     a network emulator to delay.
//
//   vandrel-demo-world home DIR [MODE]
//     The demo user's home before the first start: the helper counts as
//     installed (the sandbox runs it), the smart mode's rule list holds the
//     demo page, and the application starts in MODE (smartWeb, web, app or
//     ssw; app when none is given), which it reads from its settings at
//     start.

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/app_constants.h"
#include "core/catalogue_records.h"
#include "core/model_cache.h"
#include "core/static_data.h"
#include "platform/defaults.h"
#include "platform/file_io.h"
#include "tools/demo-world/certificates.h"
#include "tools/demo-world/demo_bundle.h"
#include "tools/demo-world/demo_catalogue.h"
#include "tools/demo-world/echo_responder.h"

namespace {

namespace fs = std::filesystem;
using namespace vandrel;
using namespace std::chrono_literals;

constexpr const char* kApiAddress = "192.0.2.10";
constexpr const char* kPageAddress = "192.0.2.80";

int fail(const std::string& message) {
  std::fprintf(stderr, "vandrel-demo-world: %s\n", message.c_str());
  return 1;
}

// ---- Children ------------------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  std::string what;
};

// argv (no shell), output to `log`, in a process group of its own; it dies
// with this program.
Child startChild(const std::vector<std::string>& argv, const fs::path& log, const std::string& what) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    if (null >= 0) ::dup2(null, 0);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return {pid, what};
}

bool acceptsConnections(const std::string& address, int port) {
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
  return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0;
}

std::vector<Child> startLines(const demo::Catalogue& catalogue, const fs::path& dir) {
  std::vector<Child> children;
  for (const demo::DemoLine& line : catalogue.lines()) {
    const std::string port = std::to_string(catalogue.ssPort);
    const std::string wsPort = std::to_string(catalogue.sswPort);
    // -b: what the line sends out leaves from the line's own address, so
    // the page names the line.
    const std::vector<std::string> common = {"/usr/bin/ss-server", "-a", "nobody", "-k",
                                             catalogue.password, "-m", catalogue.method,
                                             "-b", line.address, "-u", "-s", line.address};
    auto plain = common;
    plain.insert(plain.end(), {"-p", port});
    children.push_back(startChild(plain, dir / ("line-" + std::to_string(line.id) + ".log"),
                                  "ss-server for " + line.name));
    auto ws = common;
    ws.insert(ws.end(), {"-p", wsPort, "--plugin", "/usr/bin/ss-v2ray-plugin", "--plugin-opts",
                         "server;host=" + catalogue.wsHost + ";path=" + catalogue.wsPath});
    children.push_back(startChild(ws, dir / ("line-" + std::to_string(line.id) + "-ws.log"),
                                  "ss-server (websocket) for " + line.name));
  }
  return children;
}

// ---- Liveness answers ------------------------------------------------------------------

// Each line's detect port says "Alive" (or "Busy" for a line that fails its
// probe) to whoever connects, and closes.
class AliveAnswers {
 public:
  bool start(const demo::Catalogue& catalogue, std::string* error) {
    for (const demo::DemoLine& line : catalogue.lines()) {
      if (!line.detectPort) continue;
      platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      const int one = 1;
      ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
      sockaddr_in where{};
      where.sin_family = AF_INET;
      where.sin_port = htons(static_cast<std::uint16_t>(*line.detectPort));
      ::inet_pton(AF_INET, line.address.c_str(), &where.sin_addr);
      if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
          ::listen(fd.get(), 16) != 0) {
        *error = "cannot listen on " + line.address + ":" + std::to_string(*line.detectPort);
        return false;
      }
      listeners_.push_back({std::move(fd), line.alive ? "Alive" : "Busy"});
    }
    thread_ = std::thread([this] { run(); });
    return true;
  }

 private:
  void run() {
    for (;;) {
      std::vector<pollfd> fds;
      for (const auto& [fd, word] : listeners_) fds.push_back({fd.get(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        platform::UniqueFd peer(::accept4(listeners_[i].first.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!peer) continue;
        const std::string& word = listeners_[i].second;
        (void)!::send(peer.get(), word.data(), word.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      }
    }
  }

  std::vector<std::pair<platform::UniqueFd, std::string>> listeners_;
  std::thread thread_;
};

// ---- The service and the page --------------------------------------------------------

void serveFixed(httplib::Server& server, const std::string& path, const demo::Reply& reply) {
  auto handler = [reply](const httplib::Request&, httplib::Response& response) {
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    response.set_content(reply.body, "application/json");
  };
  server.Get(path, handler);
  server.Post(path, handler);
}

// POST /api/2/line/connect/ID: a session on that line, or for 0 on the
// line the service recommends among those the client found alive; over
// the websocket transport when the client asks for "SSW".
void serveSessions(httplib::Server& server, const demo::Catalogue& catalogue) {
  server.Post(R"(/api/2/line/connect/(\d+))", [&catalogue](const httplib::Request& request,
                                                          httplib::Response& response) {
    nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object()) body = nlohmann::json::object();
    std::vector<std::int64_t> available;
    if (body.contains("available_line") && body["available_line"].is_array()) {
      for (const auto& id : body["available_line"]) {
        if (id.is_number_integer()) available.push_back(id.get<std::int64_t>());
      }
    }
    const bool websocket = body.contains("proto") && body["proto"] == "SSW";
    const std::string idText = request.matches[1].str();
    const demo::DemoLine* line = nullptr;
    if (idText == "0") {
      line = &catalogue.recommended(available);
    } else if (idText.size() < 8) {
      line = catalogue.line(std::stoi(idText));
    }
    if (line == nullptr) {
      response.status = 404;
      response.set_content(R"({"status":"fail","code":404,"error":"No such line"})",
                           "application/json");
      return;
    }
    response.set_content(catalogue.sessionJson(*line, websocket), "application/json");
  });
}

std::unique_ptr<httplib::SSLServer> serviceServer(const demo::ServerIdentity& identity) {
  BIO* certBio = BIO_new_mem_buf(identity.certificatePem.data(),
                                 static_cast<int>(identity.certificatePem.size()));
  BIO* keyBio = BIO_new_mem_buf(identity.privateKeyPem.data(),
                                static_cast<int>(identity.privateKeyPem.size()));
  X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  BIO_free(certBio);
  BIO_free(keyBio);
  auto server = std::make_unique<httplib::SSLServer>(cert, key);  // takes its own references
  X509_free(cert);
  EVP_PKEY_free(key);
  return server;
}

// The page that tells its visitor where the request came from: the line's
// address when it came through a line.
void servePage(httplib::Server& server, const demo::Catalogue& catalogue) {
  server.Get(R"(/.*)", [&catalogue](const httplib::Request& request, httplib::Response& response) {
    std::string text = "You are visiting from " + request.remote_addr;
    bool throughLine = false;
    for (const demo::DemoLine& line : catalogue.lines()) {
      if (line.address == request.remote_addr) {
        text += ": through the line " + line.name + " (" + line.location + ")";
        throughLine = true;
      }
    }
    if (!throughLine) text += ": not through a line";
    response.set_content(text + ".\n", "text/plain");
  });
}

int serve(const fs::path& dir, bool echo) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  sigaddset(&stop, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const demo::Catalogue catalogue = demo::Catalogue::inSandbox();
  const demo::CertificateAuthority ca("Vandrel Demo CA");
  try {
    demo::writeDemoBundle(dir / "Vandrel.app", ca.der());
  } catch (const std::exception& error) {
    return fail(error.what());
  }
  std::vector<Child> children = startLines(catalogue, dir);

  std::unique_ptr<demo::EchoResponder> echoes;
  if (echo) {
    std::vector<demo::EchoAddress> addresses;
    for (const demo::DemoLine& line : catalogue.lines()) {
      addresses.push_back({line.address, std::chrono::milliseconds(line.pingMs)});
    }
    auto started = demo::EchoResponder::start(addresses);
    if (!started) return fail(started.error().message);
    echoes = std::move(started.value());
  }
  AliveAnswers alive;
  std::string error;
  if (!alive.start(catalogue, &error)) return fail(error);

  auto service = serviceServer(ca.issue({kApiAddress}));
  if (!service->is_valid()) return fail("TLS set-up failed");
  for (const auto& [path, reply] : demo::fixedReplies(catalogue)) serveFixed(*service, path, reply);
  serveSessions(*service, catalogue);
  if (!service->bind_to_port(kApiAddress, 443)) return fail("cannot listen on the service's address");
  std::thread serviceThread([&] { service->listen_after_bind(); });
  httplib::Server page;
  servePage(page, catalogue);
  if (!page.bind_to_port(kPageAddress, 80)) return fail("cannot listen on the page's address");
  std::thread pageThread([&] { page.listen_after_bind(); });

  // Ready once every line listens.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  for (const demo::DemoLine& line : catalogue.lines()) {
    for (const int port : {catalogue.ssPort, catalogue.sswPort}) {
      while (!acceptsConnections(line.address, port)) {
        if (std::chrono::steady_clock::now() > deadline) {
          return fail("the line " + line.name + " does not listen on port " + std::to_string(port) +
                      " (see " + (dir / "line-*.log").string() + ")");
        }
        std::this_thread::sleep_for(50ms);
      }
    }
  }
  std::ofstream(dir / "ready") << "service " << kApiAddress << ":443\npage http://" << kPageAddress
                               << "/\n";

  int exitCode = 0;
  for (;;) {
    int signal = 0;
    sigwait(&stop, &signal);
    if (signal != SIGCHLD) break;
    // As the first process of its namespace this program reaps every
    // orphan; a line that ends is a fault of the demo.
    int status = 0;
    pid_t pid;
    bool lineEnded = false;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
      for (Child& child : children) {
        if (child.pid == pid) {
          std::fprintf(stderr, "vandrel-demo-world: %s ended\n", child.what.c_str());
          child.pid = -1;
          lineEnded = true;
        }
      }
    }
    if (lineEnded) {
      exitCode = 1;
      break;
    }
  }
  for (const Child& child : children) {
    if (child.pid > 0) ::kill(-child.pid, SIGKILL);
  }
  service->stop();
  page.stop();
  serviceThread.join();
  pageThread.join();
  std::fflush(stdout);
  std::_Exit(exitCode);  // the liveness thread blocks in poll for good
}

// The modes by the names scripts/run takes.
std::optional<core::ConnectMode> modeNamed(const std::string& name) {
  static const std::map<std::string, core::ConnectMode> kNames = {
      {"smartWeb", core::ConnectMode::smartWeb},
      {"web", core::ConnectMode::web},
      {"app", core::ConnectMode::app},
      {"ssw", core::ConnectMode::ssw},
  };
  const auto found = kNames.find(name);
  if (found == kNames.end()) return std::nullopt;
  return found->second;
}

int prepareHome(const fs::path& home, const std::string& modeName) {
  const std::optional<core::ConnectMode> mode = modeNamed(modeName);
  if (!mode) return fail("unknown mode \"" + modeName + "\" (smartWeb, web, app or ssw)");
  try {
    platform::Defaults defaults(home / ".config" / "vandrel" / "com.vandrel.mac.offline.json");
    defaults.set("qv_daemonVersionKey", std::int64_t{8});
    // Stores the mode and synchronises both values.
    if (!core::writeConnectModeCache(defaults, *mode)) {
      return fail("cannot write " + defaults.path().string());
    }
    ::setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    core::RuleModel rules;
    rules.version = "demo";
    core::Domains domains;
    domains.proxyList = std::vector<std::string>{kPageAddress};
    rules.domains = domains;
    core::saveModel(rules, core::kCnListCacheEntry);
  } catch (const std::exception& error) {
    return fail(std::string("cannot prepare the home: ") + error.what());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "serve" && (args.size() == 2 || (args.size() == 3 && args[2] == "--echo"))) {
    return serve(args[1], args.size() == 3);
  }
  if ((args.size() == 2 || args.size() == 3) && args[0] == "home") {
    return prepareHome(args[1], args.size() == 3 ? args[2] : "app");
  }
  if (args.size() == 1 && args[0] == "lines") {
    for (const demo::DemoLine& line : demo::Catalogue::inSandbox().lines()) {
      std::printf("%s %d\n", line.address.c_str(), line.pingMs);
    }
    return 0;
  }
  std::fprintf(stderr, "usage: vandrel-demo-world serve DIR [--echo]\n"
                       "       vandrel-demo-world lines\n"
                       "       vandrel-demo-world home DIR [smartWeb|web|app|ssw]\n");
  return 2;
}
