#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

#include "daemon/requests.h"
#include "daemon/supervisor.h"
#include "platform/file_io.h"
#include "platform/result.h"

// The packaged programs behind StartSS and StartHttpProxy: their settings
// as files they read from a descriptor (a secret never shows in a process
// list), how they are started, and when they count as up.
namespace vandrel::daemon {

// A sealed, close-on-exec memory file holding `content`, read from the
// start: handed to a child as /dev/fd/N.
platform::Result<platform::UniqueFd> memoryFile(std::string_view name, std::string_view content);

// ss-local's JSON settings: the server, the cipher, SOCKS5 (with UDP relay)
// at 127.0.0.1:LocalPort, and for SSW the websocket plugin with its options
// (host, path, tls).
std::string ssLocalConfig(const SsSettings& settings);
// ss-local reading its settings from descriptor 3.
ChildSpec ssLocalSpec(int configFd);

// privoxy's settings: a plain forwarding proxy (no filters, no remote
// toggles or editing) at the listen endpoint, everything forwarded to the
// SOCKS5 endpoint with names resolved by the far end.
std::string httpProxyConfig(const HttpProxySettings& settings);
// privoxy in the foreground, reading its settings from descriptor 3.
ChildSpec httpProxySpec(int configFd);

// "Text" in JSON string form, quotes included.
std::string jsonString(std::string_view text);

// Waits until the child `pid` listens on TCP `port` (and, with
// `withHelper`, a child of it listens somewhere too: the websocket plugin).
// Fails with the child's own last words when it ends first, or after
// `timeout`.
platform::Result<void> waitUntilListening(Supervisor& supervisor, pid_t pid,
                                          const std::string& name, int port, bool withHelper,
                                          std::chrono::milliseconds timeout);

}  // namespace vandrel::daemon
