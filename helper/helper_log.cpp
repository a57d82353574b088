#include "helper/helper_log.h"

#include <syslog.h>

#include <cstdio>
#include <string>

#include "helper/helper_protocol.h"
#include "helper/helper_text.h"

namespace vandrel::helper {
namespace {

constexpr std::size_t kMaxEntry = 8 * 1024;

// Everything printable stays as it is (quotes too); line ends and other
// control bytes become escapes.
std::string oneLine(std::string_view message) {
  std::string out;
  const bool cut = message.size() > kMaxEntry;
  if (cut) message = message.substr(0, kMaxEntry);
  const std::string valid =
      isValidUtf8(message) ? std::string(message) : printable(message, kMaxEntry);
  char hex[8];
  for (const char ch : valid) {
    const unsigned char c = static_cast<unsigned char>(ch);
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

}  // namespace

void openSysLog(bool alsoStderr) {
  static const std::string ident(kServiceName);
  ::openlog(ident.c_str(), LOG_PID | LOG_NDELAY | (alsoStderr ? LOG_PERROR : 0), LOG_DAEMON);
}

void sysLog(std::string_view message) {
  ::syslog(LOG_NOTICE, "zeridevaz daemon: %s", oneLine(message).c_str());
}

}  // namespace vandrel::helper
