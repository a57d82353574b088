#include "tests/daemon/daemon_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <grpcpp/create_channel_posix.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "helper/helper_config.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace vandrel::daemon::testing_support {
namespace {

using helper::testing_support::eventually;

template <typename Response>
Reply replyOf(const grpc::Status& status, const Response& response) {
  Reply reply;
  reply.rpcOk = status.ok();
  reply.rpcError = status.error_message();
  reply.success = response.success();
  reply.error = response.error();
  return reply;
}

Reply replyOf(const grpc::Status& status, const accel::GetExcludeRouteRsp& response) {
  Reply reply = replyOf<accel::GetExcludeRouteRsp>(status, response);
  reply.exclude.assign(response.exclude().begin(), response.exclude().end());
  return reply;
}

std::unique_ptr<grpc::ClientContext> context() {
  auto c = std::make_unique<grpc::ClientContext>();
  c->set_deadline(std::chrono::system_clock::now() + 60s);
  return c;
}

// Waits for `pid` to end within `timeout`; its raw status, or nothing.
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd ended{pidfd, POLLIN, 0};
    const int ready = ::poll(&ended, 1, static_cast<int>(timeout.count()));
    ::close(pidfd);
    if (ready != 1) return std::nullopt;
  }
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return std::nullopt;
  return status;
}

pid_t spawnDaemon(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {daemonProgram().string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  char path[] = "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  char* env[] = {path, nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execve(args[0], args.data(), env);
    ::_exit(127);
  }
  return pid;
}

}  // namespace

fs::path daemonProgram() { return VANDREL_DAEMON_PROGRAM; }

SystemSandbox::SystemSandbox() = default;

SystemSandbox::~SystemSandbox() {
  if (etcMounted_) ::umount2("/etc", MNT_DETACH);
  if (runMounted_) ::umount2("/run", MNT_DETACH);
}

testing::AssertionResult SystemSandbox::mount() {
  if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    return testing::AssertionFailure() << "mount tmpfs on /run: " << std::strerror(errno);
  }
  runMounted_ = true;
  ::mkdir("/run/user", 0755);
  const fs::path upper = dir_.path() / "etc-upper";
  const fs::path work = dir_.path() / "etc-work";
  fs::create_directories(upper);
  fs::create_directories(work);
  const std::string options =
      "lowerdir=/etc,upperdir=" + upper.string() + ",workdir=" + work.string();
  if (::mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
    return testing::AssertionFailure() << "mount an overlay on /etc: " << std::strerror(errno);
  }
  etcMounted_ = true;
  return testing::AssertionSuccess();
}

void SystemSandbox::writeHelperConfig(const std::vector<uid_t>& allowedUids, int port) {
  helper::HelperConfig config;
  config.allowedUids = allowedUids;
  config.daemonPath = "/usr/libexec/vandrel/Vandrel-server-daemon";
  config.daemonPort = port;
  fs::create_directories("/etc/vandrel");
  std::ofstream(std::string(helper::kDefaultConfigPath), std::ios::trunc) << config.format();
  ::chmod(std::string(helper::kDefaultConfigPath).c_str(), 0644);
}

TestUser SystemSandbox::addUser(const std::string& name, uid_t uid) {
  TestUser user{name, uid, uid, dir_.path() / ("home-" + name)};
  fs::create_directories(user.home);
  ::chown(user.home.c_str(), uid, uid);
  ::chmod(user.home.c_str(), 0700);
  std::ofstream("/etc/passwd", std::ios::app)
      << name << ":x:" << uid << ":" << uid << "::" << user.home.string() << ":/usr/sbin/nologin\n";
  std::ofstream("/etc/group", std::ios::app) << name << ":x:" << uid << ":\n";
  return user;
}

DaemonProcess::DaemonProcess(int port) : port_(port) {}

DaemonProcess::~DaemonProcess() { kill(); }

testing::AssertionResult DaemonProcess::start() {
  pid_ = spawnDaemon({});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return testing::AssertionFailure()
             << "the daemon ended at once (status " << status << "); its log:\n" << log();
    }
    if (listening(port_)) return testing::AssertionSuccess();
    std::this_thread::sleep_for(20ms);
  }
  return testing::AssertionFailure() << "the daemon did not listen on " << port_
                                     << " within 10 s; its log:\n" << log();
}

void DaemonProcess::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  if (!waitForExit(pid_, 30s)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

int DaemonProcess::runOnce(const std::vector<std::string>& arguments) {
  const pid_t pid = spawnDaemon(arguments);
  const auto status = waitForExit(pid, 60s);
  if (!status) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ADD_FAILURE() << "the daemon with arguments did not end within 60 s";
    return -1;
  }
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

std::string DaemonProcess::log() {
  return test_support::readFile("/run/vandrel/Vandrel-server-daemon.log");
}

testing::AssertionResult DaemonProcess::waitForLog(const std::string& text,
                                                   std::chrono::milliseconds timeout) {
  auto found = eventually([&] { return log().find(text) != std::string::npos; }, timeout,
                          "the daemon's log to say \"" + text + "\"");
  if (!found) found << "\nits log:\n" << log();
  return found;
}

DesktopSession::DesktopSession(TestUser user) : user_(std::move(user)) {}

DesktopSession::~DesktopSession() {
  if (bus_ > 0) {
    ::kill(-bus_, SIGKILL);  // the bus and the settings service it started
    ::waitpid(bus_, nullptr, 0);
  }
}

std::vector<std::string> DesktopSession::environment() const {
  const std::string runtime = "/run/user/" + std::to_string(user_.uid);
  return {"PATH=/usr/bin:/bin",
          "HOME=" + user_.home.string(),
          "XDG_RUNTIME_DIR=" + runtime,
          "DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus",
          // What makes libproxy read the GNOME settings.
          "XDG_CURRENT_DESKTOP=GNOME",
          "DESKTOP_SESSION=gnome",
          "GNOME_DESKTOP_SESSION_ID=this-is-deprecated"};
}

testing::AssertionResult DesktopSession::start() {
  const fs::path runtime = "/run/user/" + std::to_string(user_.uid);
  fs::create_directories(runtime);
  ::chown(runtime.c_str(), user_.uid, user_.gid);
  ::chmod(runtime.c_str(), 0700);
  std::vector<std::string> argv = {"/usr/bin/setpriv",
                                   "--reuid=" + std::to_string(user_.uid),
                                   "--regid=" + std::to_string(user_.gid),
                                   "--clear-groups",
                                   "/usr/bin/dbus-daemon",
                                   "--session",
                                   "--nofork",
                                   "--nopidfile",
                                   "--address=unix:path=" + (runtime / "bus").string()};
  std::vector<char*> args;
  for (auto& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  auto env = environment();
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  bus_ = ::fork();
  if (bus_ == 0) {
    ::setpgid(0, 0);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::setpgid(bus_, bus_);
  return eventually(
      [&] {
        struct stat st {};
        return ::lstat((runtime / "bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
      },
      10s, "the session bus of uid " + std::to_string(user_.uid));
}

std::string DesktopSession::gsettings(const std::vector<std::string>& arguments) const {
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user_.uid),
                                   "--regid=" + std::to_string(user_.gid), "--clear-groups",
                                   "/usr/bin/gsettings"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  platform::ProcessOptions options;
  options.environment = environment();
  options.timeout = 30s;
  auto out = platform::ProcessRunner::system().run(argv, options);
  if (!out) return "gsettings did not run: " + out.error().message;
  if (out.value().exitCode != 0) return "gsettings failed: " + out.value().standardError;
  std::string text = out.value().standardOutput;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string DesktopSession::proxyFor(const std::string& url) const {
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user_.uid),
                                   "--regid=" + std::to_string(user_.gid), "--clear-groups",
                                   "/usr/bin/stdbuf", "-oL", "/usr/bin/proxy", url};
  platform::ProcessOptions options;
  options.environment = environment();
  options.timeout = 30s;
  auto out = platform::ProcessRunner::system().run(argv, options);
  if (!out) return "proxy did not run: " + out.error().message;
  std::string text = out.value().standardOutput;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  // Its script runner (JavaScriptCore) now and then dies by SIGSEGV while
  // the process ends, under load, after the answer is printed (line by
  // line, so none is lost): the answer is what is checked here.
  const bool crashedAtExit = WIFSIGNALED(out.value().waitStatus) &&
                             WTERMSIG(out.value().waitStatus) == SIGSEGV && !text.empty();
  if ((out.value().exitCode != 0 && !crashedAtExit) || text.empty()) {
    return "proxy failed (wait status " + std::to_string(out.value().waitStatus) +
           "): " + out.value().standardError;
  }
  return text;
}

std::string DesktopSession::proxySettings() const {
  std::string text;
  for (const auto& [schema, key] : std::vector<std::pair<std::string, std::string>>{
           {"org.gnome.system.proxy", "mode"},
           {"org.gnome.system.proxy", "autoconfig-url"},
           {"org.gnome.system.proxy.http", "host"},
           {"org.gnome.system.proxy.http", "port"},
           {"org.gnome.system.proxy.https", "host"},
           {"org.gnome.system.proxy.https", "port"},
           {"org.gnome.system.proxy.ftp", "host"},
           {"org.gnome.system.proxy.ftp", "port"},
           {"org.gnome.system.proxy.socks", "host"},
           {"org.gnome.system.proxy.socks", "port"}}) {
    text += schema + " " + key + " " + gsettings({"get", schema, key}) + "\n";
  }
  return text;
}

::std::ostream& operator<<(::std::ostream& out, const Reply& reply) {
  if (!reply.rpcOk) return out << "RPC failed: " << reply.rpcError;
  out << (reply.success ? "Success" : "Failure") << " \"" << reply.error << "\"";
  for (const auto& route : reply.exclude) out << " " << route;
  return out;
}

AccelClient::AccelClient(std::shared_ptr<grpc::Channel> channel)
    : channel_(std::move(channel)), stub_(accel::Accel::NewStub(channel_)) {}

std::unique_ptr<AccelClient> AccelClient::connect(int port) {
  return std::unique_ptr<AccelClient>(new AccelClient(grpc::CreateChannel(
      "127.0.0.1:" + std::to_string(port), grpc::InsecureChannelCredentials())));
}

std::unique_ptr<AccelClient> AccelClient::connectAs(uid_t uid, gid_t gid, int port) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return nullptr;
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls: the test process has threads.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0) {
      ::_exit(1);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      ::_exit(2);
    }
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    ::_exit(::sendmsg(pair[1], &message, 0) == 1 ? 0 : 3);
  }
  ::close(pair[1]);
  char byte = 0;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t got = ::recvmsg(pair[0], &message, MSG_CMSG_CLOEXEC);
  ::close(pair[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  if (got != 1 || !header || header->cmsg_type != SCM_RIGHTS) {
    ADD_FAILURE() << "no socket from a child running as uid " << uid << " (status " << status
                  << ")";
    return nullptr;
  }
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(header), sizeof(int));
  return std::unique_ptr<AccelClient>(
      new AccelClient(grpc::CreateInsecureChannelFromFd("127.0.0.1:" + std::to_string(port), fd)));
}

Reply AccelClient::startSs(const accel::SSConfig& request) {
  accel::SSRsp response;
  const auto status = stub_->StartSS(context().get(), request, &response);
  return replyOf(status, response);
}

Reply AccelClient::stopSs() {
  accel::SSRsp response;
  const auto status = stub_->StopSS(context().get(), accel::StopSSReq(), &response);
  return replyOf(status, response);
}

Reply AccelClient::startHttpProxy(const accel::StartHttpProxyReq& request) {
  accel::HttpProxyRsp response;
  const auto status = stub_->StartHttpProxy(context().get(), request, &response);
  return replyOf(status, response);
}

Reply AccelClient::stopHttpProxy() {
  accel::HttpProxyRsp response;
  const auto status = stub_->StopHttpProxy(context().get(), accel::StopHttpProxyReq(), &response);
  return replyOf(status, response);
}

Reply AccelClient::setSystemProxy(const accel::SetSystemProxyReq& request) {
  accel::SystemProxyRsp response;
  const auto status = stub_->SetSystemProxy(context().get(), request, &response);
  return replyOf(status, response);
}

Reply AccelClient::stopSystemProxy(const accel::StopSystemProxyReq& request) {
  accel::SystemProxyRsp response;
  const auto status = stub_->StopSystemProxy(context().get(), request, &response);
  return replyOf(status, response);
}

Reply AccelClient::startTun2socks(const accel::StartTun2socksReq& request) {
  accel::StartTun2socksRsp response;
  const auto status = stub_->StartTun2socks(context().get(), request, &response);
  return replyOf(status, response);
}

Reply AccelClient::stopTun2socks() {
  accel::StopTun2socksRsp response;
  const auto status = stub_->StopTun2socks(context().get(), accel::StopTun2socksReq(), &response);
  return replyOf(status, response);
}

Reply AccelClient::getExcludeRoute() {
  accel::GetExcludeRouteRsp response;
  const auto status =
      stub_->GetExcludeRoute(context().get(), accel::GetExcludeRouteReq(), &response);
  return replyOf(status, response);
}

Reply AccelClient::callEmpty(const std::string& method) {
  const auto call = [&](auto rpc, auto request, auto response) {
    const auto status = (stub_.get()->*rpc)(context().get(), request, &response);
    return replyOf(status, response);
  };
  using S = accel::Accel::Stub;
  if (method == "RunGTS") return call(&S::RunGTS, accel::GTSConfig(), accel::GTSRsp());
  if (method == "StopGTS") return call(&S::StopGTS, accel::GTSStopReq(), accel::GTSRsp());
  if (method == "StartSS") return call(&S::StartSS, accel::SSConfig(), accel::SSRsp());
  if (method == "StopSS") return call(&S::StopSS, accel::StopSSReq(), accel::SSRsp());
  if (method == "StartHttpProxy")
    return call(&S::StartHttpProxy, accel::StartHttpProxyReq(), accel::HttpProxyRsp());
  if (method == "StopHttpProxy")
    return call(&S::StopHttpProxy, accel::StopHttpProxyReq(), accel::HttpProxyRsp());
  if (method == "SetSystemProxy")
    return call(&S::SetSystemProxy, accel::SetSystemProxyReq(), accel::SystemProxyRsp());
  if (method == "StopSystemProxy")
    return call(&S::StopSystemProxy, accel::StopSystemProxyReq(), accel::SystemProxyRsp());
  if (method == "StartLSPProxy")
    return call(&S::StartLSPProxy, accel::StartLSPProxyReq(), accel::LSPRsp());
  if (method == "StopLSPProxy")
    return call(&S::StopLSPProxy, accel::StopLSPProxyReq(), accel::LSPRsp());
  if (method == "StartTun2socks")
    return call(&S::StartTun2socks, accel::StartTun2socksReq(), accel::StartTun2socksRsp());
  if (method == "StopTun2socks")
    return call(&S::StopTun2socks, accel::StopTun2socksReq(), accel::StopTun2socksRsp());
  if (method == "PingServers") return call(&S::PingServers, accel::PingReq(), accel::PingRsp());
  if (method == "GetUUID") return call(&S::GetUUID, accel::GetUUIDReq(), accel::GetUUIDRsp());
  if (method == "GetExcludeRoute")
    return call(&S::GetExcludeRoute, accel::GetExcludeRouteReq(), accel::GetExcludeRouteRsp());
  if (method == "DelRoutes")
    return call(&S::DelRoutes, accel::DelRoutesReq(), accel::DelRoutesRsp());
  ADD_FAILURE() << "no method " << method;
  return Reply();
}

const std::vector<std::string>& accelMethods() {
  static const auto* names = new std::vector<std::string>{
      "RunGTS",         "StopGTS",       "StartSS",         "StopSS",
      "StartHttpProxy", "StopHttpProxy", "SetSystemProxy",  "StopSystemProxy",
      "StartLSPProxy",  "StopLSPProxy",  "StartTun2socks",  "StopTun2socks",
      "PingServers",    "GetUUID",       "GetExcludeRoute", "DelRoutes"};
  return *names;
}

accel::SSConfig ssRequest(const std::string& server, int port, const std::string& password,
                          const std::string& method, int localPort) {
  accel::SSConfig request;
  request.set_server(server);
  request.set_port(port);
  request.set_method(method);
  request.set_password(password);
  request.set_localport(localPort);
  return request;
}

accel::StartHttpProxyReq httpProxyRequest(int port, int socksPort) {
  accel::StartHttpProxyReq request;
  request.set_server("127.0.0.1");
  request.set_port(port);
  request.set_s5addr("127.0.0.1");
  request.set_s5port(socksPort);
  return request;
}

accel::SetSystemProxyReq systemProxyRequest(accel::SystemProxyMode mode,
                                            const std::vector<std::string>& domains,
                                            int pacPort) {
  accel::SetSystemProxyReq request;
  request.set_mode(mode);
  request.set_httpproxyaddr("127.0.0.1");
  request.set_httpproxyport(9099);
  request.set_pacserverport(pacPort);
  for (const auto& domain : domains) request.add_domains(domain);
  return request;
}

accel::StopSystemProxyReq stopSystemProxyRequest(accel::SystemProxyMode mode) {
  accel::StopSystemProxyReq request;
  request.set_mode(mode);
  request.set_httpproxyaddr("127.0.0.1");
  request.set_httpproxyport(9099);
  return request;
}

accel::StartTun2socksReq tunRequest(const std::vector<std::string>& exclude) {
  accel::StartTun2socksReq request;
  request.set_tunname("zeridevaz_tunnel");
  request.set_tunaddr("172.20.0.2");
  request.set_tunmask("255.255.0.0");
  request.set_tungateway("172.20.0.1");
  request.set_mtu(1488);
  request.set_socksaddr("127.0.0.1:9090");
  for (const auto& entry : exclude) request.add_exclude(entry);
  return request;
}

bool listening(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return connected;
}

}  // namespace vandrel::daemon::testing_support
