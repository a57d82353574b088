#include "daemon/daemon_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "helper/helper_protocol.h"
#include "helper/helper_text.h"
#include "platform/file_io.h"

namespace vandrel::daemon {
namespace {

constexpr std::size_t kMaxEntry = 4 * 1024;

struct LogState {
  std::mutex mutex;
  std::string copyPath;
};

LogState& state() {
  static auto* s = new LogState;
  return *s;
}

std::string oneLine(std::string_view message) {
  const bool cut = message.size() > kMaxEntry;
  if (cut) message = message.substr(0, kMaxEntry);
  const std::string valid = helper::toValidUtf8(message);
  std::string out;
  out.reserve(valid.size());
  char hex[8];
  for (const char ch : valid) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7f) {
      std::snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  if (cut) out += "\xE2\x80\xA6";
  return out;
}

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof(text) - n, ".%03lld ", static_cast<long long>(millis));
  return text;
}

// One write per line on an O_APPEND descriptor, so lines of a "-clear" run
// beside the serving daemon never interleave.
void appendCopy(const std::string& path, const std::string& line) {
  platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                               0600));
  if (!fd) return;
  struct stat st {};
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::size_t>(st.st_size) > kMaxLogCopy) {
    ::rename(path.c_str(), (path + ".old").c_str());
    fd.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) return;
  }
  (void)platform::writeAll(fd.get(), line);
}

}  // namespace

void openDaemonLog(std::string copyPath, bool alsoStderr) {
  static const std::string ident(helper::kDaemonName);
  ::openlog(ident.c_str(), LOG_PID | (alsoStderr ? LOG_PERROR : 0), LOG_DAEMON);
  std::lock_guard lock(state().mutex);
  state().copyPath = std::move(copyPath);
}

void daemonLog(std::string_view message) {
  const std::string line = oneLine(message);
  ::syslog(LOG_NOTICE, "%s", line.c_str());
  std::lock_guard lock(state().mutex);
  if (!state().copyPath.empty()) {
    appendCopy(state().copyPath, timestamp() + "[" + std::to_string(::getpid()) + "] " + line + "\n");
  }
}

}  // namespace vandrel::daemon
