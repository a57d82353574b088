#include "daemon/routes.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "helper/daemon_components.h"

namespace vandrel::daemon {
namespace {

using namespace std::chrono_literals;

constexpr auto kIpTimeout = 10s;

}  // namespace

platform::Result<std::string> runIp(platform::ProcessRunner& runner,
                                    const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {std::string(helper::kIpPath)};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  platform::ProcessOptions options;
  options.timeout = kIpTimeout;
  auto out = runner.run(argv, options);
  std::string command = "ip";
  for (const auto& argument : arguments) command += " " + argument;
  if (!out) return platform::Error{"vandrel.daemon.ip", EIO, command + ": " + out.error().message};
  if (out.value().exitCode != 0) {
    std::string why = out.value().standardError;
    while (!why.empty() && why.back() == '\n') why.pop_back();
    return platform::Error{"vandrel.daemon.ip", EIO, command + " failed: " + why};
  }
  return out.value().standardOutput;
}

std::optional<PhysicalRoute> parseRouteGet(const std::string& output) {
  std::istringstream words(output.substr(0, output.find('\n')));
  std::string word;
  if (!(words >> word)) return std::nullopt;
  // A leading route type means no path out of this host.
  for (const char* special : {"local", "unreachable", "blackhole", "prohibit", "throw",
                              "broadcast", "multicast", "anycast", "nat"}) {
    if (word == special) return std::nullopt;
  }
  PhysicalRoute route;
  while (words >> word) {
    if (word == "via" && !(words >> route.gateway)) return std::nullopt;
    if (word == "dev" && !(words >> route.device)) return std::nullopt;
  }
  if (route.device.empty() || route.device == "lo") return std::nullopt;
  if (!route.gateway.empty() && !IpAddress::parse(route.gateway)) return std::nullopt;
  return route;
}

std::optional<PhysicalRoute> physicalRoute(platform::ProcessRunner& runner,
                                           const IpAddress& address) {
  std::vector<std::string> arguments;
  if (address.family == AF_INET6) arguments.push_back("-6");
  arguments.insert(arguments.end(), {"route", "get", address.text()});
  auto out = runIp(runner, arguments);
  if (!out) return std::nullopt;
  return parseRouteGet(out.value());
}

std::vector<IpAddress> resolveAll(const std::vector<std::string>& names,
                                  std::chrono::milliseconds timeout) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<IpAddress> addresses;
    std::size_t finished = 0;
  };
  auto shared = std::make_shared<Shared>();
  std::size_t started = 0;
  for (const auto& name : names) {
    try {
      // Detached: a look-up that hangs past the limit ends on its own.
      std::thread([shared, name] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        std::vector<IpAddress> local;
        if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0) {
          for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
            IpAddress address;
            address.family = entry->ai_family;
            if (entry->ai_family == AF_INET) {
              std::memcpy(address.bytes.data(),
                          &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr, 4);
            } else if (entry->ai_family == AF_INET6) {
              std::memcpy(address.bytes.data(),
                          &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr, 16);
            } else {
              continue;
            }
            local.push_back(address);
          }
          ::freeaddrinfo(found);
        }
        std::lock_guard lock(shared->mutex);
        shared->addresses.insert(shared->addresses.end(), local.begin(), local.end());
        ++shared->finished;
        shared->done.notify_all();
      }).detach();
      ++started;
    } catch (const std::system_error&) {
      // No thread for this name: it is left out like an unresolvable one.
    }
  }
  std::unique_lock lock(shared->mutex);
  shared->done.wait_for(lock, timeout, [&] { return shared->finished == started; });
  return shared->addresses;
}

bool interfaceExists(const std::string& name) { return ::if_nametoindex(name.c_str()) != 0; }

bool isTunInterface(const std::string& name) {
  struct stat st {};
  return name.find('/') == std::string::npos &&
         ::stat(("/sys/class/net/" + name + "/tun_flags").c_str(), &st) == 0;
}

}  // namespace vandrel::daemon
