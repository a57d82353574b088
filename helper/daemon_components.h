#pragma once

#include <string_view>

// The packaged programs the tunnelling daemon runs, by absolute path (root
// code looks nothing up in a PATH), with the Debian package that ships
// each. The daemon starts them; the installer checks that they are there.
namespace vandrel::helper {

struct DaemonComponent {
  std::string_view path;
  std::string_view package;
  std::string_view role;
};

inline constexpr std::string_view kSsLocalPath = "/usr/bin/ss-local";
inline constexpr std::string_view kWebSocketPluginPath = "/usr/bin/ss-v2ray-plugin";
inline constexpr std::string_view kHttpProxyPath = "/usr/sbin/privoxy";
inline constexpr std::string_view kGsettingsPath = "/usr/bin/gsettings";
inline constexpr std::string_view kProxySchemaPath =
    "/usr/share/glib-2.0/schemas/org.gnome.system.proxy.gschema.xml";
inline constexpr std::string_view kSetprivPath = "/usr/bin/setpriv";
inline constexpr std::string_view kIpPath = "/sbin/ip";

inline constexpr DaemonComponent kDaemonComponents[] = {
    {kSsLocalPath, "shadowsocks-libev", "the Shadowsocks client"},
    {kWebSocketPluginPath, "shadowsocks-v2ray-plugin", "the websocket transport of SSW lines"},
    {kHttpProxyPath, "privoxy", "the local HTTP proxy"},
    {kGsettingsPath, "libglib2.0-bin", "the desktop proxy setting"},
    {kProxySchemaPath, "gsettings-desktop-schemas", "the desktop proxy setting's schema"},
    {kSetprivPath, "util-linux", "running the desktop proxy setting as its user"},
    {kIpPath, "iproute2", "the TUN interface's addresses and routes"},
};

}  // namespace vandrel::helper
