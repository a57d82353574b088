#pragma once

#include <string_view>

namespace vandrel::daemon {

// The first argument that makes the daemon's executable the TUN relay:
// the child the daemon starts, unprivileged, with the TUN descriptor and
// its listening sockets.
inline constexpr std::string_view kRelayFlag = "--tun-relay";

int relayMain(int argc, char** argv);

}  // namespace vandrel::daemon
