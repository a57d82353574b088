#include "daemon/desktop_proxy.h"

#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <set>

#include "daemon/pac_server.h"
#include "helper/daemon_components.h"

namespace vandrel::daemon {
namespace {

using namespace std::chrono_literals;
using platform::Result;

constexpr auto kGsettingsTimeout = 15s;
constexpr std::size_t kMaxValue = 4096;

struct Setting {
  std::string_view schema;
  std::string_view key;
};

constexpr std::string_view kProxy = "org.gnome.system.proxy";
constexpr std::string_view kHttp = "org.gnome.system.proxy.http";
constexpr std::string_view kHttps = "org.gnome.system.proxy.https";
constexpr std::string_view kFtp = "org.gnome.system.proxy.ftp";
constexpr std::string_view kSocks = "org.gnome.system.proxy.socks";

// Everything apply() may touch, and so everything that is saved.
constexpr Setting kSettings[] = {
    {kProxy, "mode"}, {kProxy, "autoconfig-url"}, {kHttp, "host"},  {kHttp, "port"},
    {kHttps, "host"}, {kHttps, "port"},           {kFtp, "host"},   {kFtp, "port"},
    {kSocks, "host"}, {kSocks, "port"},
};

bool isKnown(std::string_view schema, std::string_view key) {
  return std::any_of(std::begin(kSettings), std::end(kSettings),
                     [&](const Setting& s) { return s.schema == schema && s.key == key; });
}

bool isOneLine(std::string_view value) {
  return !value.empty() && value.size() <= kMaxValue &&
         std::none_of(value.begin(), value.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte < 0x20 || byte == 0x7f;
         });
}

platform::Error proxyError(const std::string& message) {
  return platform::Error{"vandrel.daemon.proxy", EIO, message};
}

// A GVariant string literal of checked text (an address or a URL of
// checked parts): nothing in it needs escaping.
std::string quotedValue(std::string_view text) { return "'" + std::string(text) + "'"; }

}  // namespace

Result<DesktopUser> desktopUser(uid_t uid) {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> scratch(16384);
  if (::getpwuid_r(uid, &entry, scratch.data(), scratch.size(), &found) != 0 || !found) {
    return proxyError("uid " + std::to_string(uid) + " has no account");
  }
  DesktopUser user{uid, found->pw_gid, found->pw_name, found->pw_dir,
                   std::string(kUserRuntimeRoot) + "/" + std::to_string(uid)};
  struct stat st {};
  const std::string bus = user.runtimeDirectory + "/bus";
  if (::lstat(bus.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != uid) {
    return proxyError("uid " + std::to_string(uid) + " has no session bus at " + bus +
                      ": the desktop proxy is set inside a desktop session");
  }
  return user;
}

std::string SavedProxy::format() const {
  std::string text = "uid " + std::to_string(uid) + "\n";
  for (const auto& v : values) text += v.schema + " " + v.key + " " + v.value + "\n";
  return text;
}

std::optional<SavedProxy> SavedProxy::parse(std::string_view text) {
  SavedProxy saved;
  std::set<std::string> seen;
  bool first = true;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (first) {
      first = false;
      const std::string_view digits = line.substr(std::min<std::size_t>(4, line.size()));
      const auto [stop, ec] = std::from_chars(digits.data(), digits.data() + digits.size(),
                                              saved.uid);
      if (line.rfind("uid ", 0) != 0 || ec != std::errc() ||
          stop != digits.data() + digits.size()) {
        return std::nullopt;
      }
      continue;
    }
    const auto space1 = line.find(' ');
    const auto space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 == std::string_view::npos) return std::nullopt;
    ProxyValue value{std::string(line.substr(0, space1)),
                     std::string(line.substr(space1 + 1, space2 - space1 - 1)),
                     std::string(line.substr(space2 + 1))};
    if (!isKnown(value.schema, value.key) || !isOneLine(value.value) ||
        !seen.insert(value.schema + " " + value.key).second) {
      return std::nullopt;
    }
    saved.values.push_back(std::move(value));
  }
  if (first) return std::nullopt;
  return saved;
}

DesktopProxy::DesktopProxy(platform::ProcessRunner& runner) : runner_(runner) {}

Result<std::string> DesktopProxy::gsettings(const DesktopUser& user,
                                            const std::vector<std::string>& arguments) {
  // As the user, never as root: gsettings talks to the user's bus and the
  // user's settings service.
  std::vector<std::string> argv = {std::string(helper::kSetprivPath),
                                   "--reuid=" + std::to_string(user.uid),
                                   "--regid=" + std::to_string(user.gid),
                                   "--clear-groups",
                                   "--no-new-privs",
                                   "--",
                                   std::string(helper::kGsettingsPath)};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  platform::ProcessOptions options;
  options.timeout = kGsettingsTimeout;
  options.environment = {"PATH=/usr/bin:/bin",
                         "HOME=" + user.home,
                         "USER=" + user.name,
                         "LOGNAME=" + user.name,
                         "XDG_RUNTIME_DIR=" + user.runtimeDirectory,
                         "DBUS_SESSION_BUS_ADDRESS=unix:path=" + user.runtimeDirectory + "/bus"};
  auto out = runner_.run(argv, options);
  std::string what = "gsettings";
  for (const auto& argument : arguments) what += " " + argument;
  if (!out) return proxyError(what + ": " + out.error().message);
  if (out.value().exitCode != 0) {
    std::string why = out.value().standardError;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    return proxyError(what + " failed (exit " + std::to_string(out.value().exitCode) + ")" +
                      (why.empty() ? "" : ": " + why));
  }
  std::string text = out.value().standardOutput;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

Result<SavedProxy> DesktopProxy::read(const DesktopUser& user) {
  SavedProxy saved;
  saved.uid = user.uid;
  for (const auto& setting : kSettings) {
    auto value = gsettings(user, {"get", std::string(setting.schema), std::string(setting.key)});
    if (!value) return value.error();
    if (!isOneLine(value.value())) {
      return proxyError("gsettings get " + std::string(setting.schema) + " " +
                        std::string(setting.key) + " printed no one-line value");
    }
    saved.values.push_back(
        {std::string(setting.schema), std::string(setting.key), std::move(value.value())});
  }
  return saved;
}

Result<void> DesktopProxy::apply(const DesktopUser& user, const SystemProxySettings& settings) {
  std::vector<ProxyValue> values;
  if (settings.intelligent) {
    const std::string url =
        "http://127.0.0.1:" + std::to_string(settings.pacPort) + std::string(kPacPath);
    values = {{std::string(kProxy), "autoconfig-url", quotedValue(url)},
              {std::string(kProxy), "mode", "'auto'"}};
  } else {
    const std::string host = quotedValue(settings.proxyAddress.text());
    const std::string port = std::to_string(settings.proxyPort);
    values = {{std::string(kHttp), "host", host},   {std::string(kHttp), "port", port},
              {std::string(kHttps), "host", host},  {std::string(kHttps), "port", port},
              {std::string(kFtp), "host", "''"},    {std::string(kFtp), "port", "0"},
              {std::string(kSocks), "host", "''"},  {std::string(kSocks), "port", "0"},
              {std::string(kProxy), "mode", "'manual'"}};
  }
  for (const auto& v : values) {
    auto set = gsettings(user, {"set", v.schema, v.key, v.value});
    if (!set) return set.error();
  }
  return platform::success();
}

Result<void> DesktopProxy::restore(const DesktopUser& user, const SavedProxy& saved) {
  Result<void> outcome = platform::success();
  // The mode last, so that the desktop never uses a half-restored set.
  std::vector<ProxyValue> ordered = saved.values;
  std::stable_partition(ordered.begin(), ordered.end(),
                        [](const ProxyValue& v) { return v.key != "mode"; });
  for (const auto& v : ordered) {
    auto set = gsettings(user, {"set", v.schema, v.key, v.value});
    if (!set && outcome) outcome = set.error();
  }
  return outcome;
}

}  // namespace vandrel::daemon
