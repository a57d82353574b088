#pragma once

// The service as the demo shows it: one demo account, regions with their
// lines, and the replies of the HTTPS API that a signed-in user meets. The
// demo world serves it in the sandbox of scripts/run (lines backed by real
// Shadowsocks servers); the user-level suite scripts its service stand-in
// with it (lines on loopback addresses).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vandrel::demo {

inline constexpr std::string_view kDemoEmail = "demo@vandrel.test";
inline constexpr std::string_view kDemoPassword = "vandrel-demo";
inline constexpr std::string_view kRefusedMessage = "Incorrect email or password";
inline constexpr std::string_view kLoginCookie = "ABS_KRLWIFISS=demo-cookie; Path=/";

struct DemoLine {
  int id = 0;
  std::string name;
  std::string location;
  std::string address;
  // Where its liveness probe asks; none: the line is not probed.
  std::optional<int> detectPort;
  // Whether the probe hears "Alive" there (otherwise it hears "Busy").
  bool alive = true;
  // How long its echo replies take in the sandbox.
  int pingMs = 0;
};

struct DemoRegion {
  std::string code;
  std::string name;
  std::string icon;
  std::vector<DemoLine> lines;
};

struct Catalogue {
  std::vector<DemoRegion> regions;
  // What a session on a line connects to: the line's address (or
  // `sessionServer` when set), `ssPort` for Shadowsocks and `sswPort` for
  // the websocket transport (host `wsHost`, path `wsPath`).
  std::string sessionServer;
  int ssPort = 8388;
  int sswPort = 8389;
  std::string password = "vandrel-demo-line";
  std::string method = "chacha20-ietf-poly1305";
  std::string wsHost = "ws.demo.vandrel.test";
  std::string wsPath = "/ws";

  // Lines on 127.0.0.1 to 127.0.0.3, which answer ping wherever the
  // application runs; sessions name a server nobody runs.
  static Catalogue onLoopback();
  // The sandbox's lines (documentation addresses), one per region and a
  // second Japanese one that fails its liveness probe, each with a ping
  // time of its own.
  static Catalogue inSandbox();

  std::vector<std::string> regionNames() const;
  std::vector<DemoLine> lines() const;
  const DemoLine* line(int id) const;
  // The line the service recommends: the first listed id it knows, else
  // its own first line that answers the liveness probe.
  const DemoLine& recommended(const std::vector<std::int64_t>& available) const;

  // GET /api/2/line/region
  std::string regionsJson() const;
  // POST /api/2/line/connect/ID: a session on `line`, over the websocket
  // transport when `websocket`.
  std::string sessionJson(const DemoLine& line, bool websocket) const;
};

struct Reply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// The replies that do not depend on the request, by path: sign-in (which
// takes any password), the account, the visitor's address, links, the
// region list, disconnects, sign-out and the log.
std::vector<std::pair<std::string, Reply>> fixedReplies(const Catalogue& catalogue);
Reply refusedSignIn();

}  // namespace vandrel::demo
