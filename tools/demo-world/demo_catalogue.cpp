#include "tools/demo-world/demo_catalogue.h"

#include <algorithm>

namespace vandrel::demo {
namespace {

constexpr const char* kOk = R"({"status":"ok","code":0})";

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string lineJson(const DemoLine& line) {
  std::string json = R"({"id":)" + std::to_string(line.id) + R"(,"name":)" + quoted(line.name) +
                     R"(,"location":)" + quoted(line.location) + R"(,"ipaddr":)" +
                     quoted(line.address);
  if (line.detectPort) json += R"(,"detectPort":)" + std::to_string(*line.detectPort);
  return json + "}";
}

}  // namespace

Catalogue Catalogue::onLoopback() {
  Catalogue c;
  // The flag keys are names, not addresses: the rows show the placeholder flag.
  c.regions = {
      {"jp", "Japan", "flag_jp", {{11, "Tokyo 1", "Tokyo", "127.0.0.1", std::nullopt}}},
      {"de", "Germany", "flag_de", {{21, "Frankfurt 1", "Frankfurt", "127.0.0.2", std::nullopt}}},
      {"us", "USA", "flag_us", {{31, "Los Angeles 1", "Los Angeles", "127.0.0.3", std::nullopt}}},
  };
  c.sessionServer = "198.51.100.7";
  return c;
}

Catalogue Catalogue::inSandbox() {
  Catalogue c;
  constexpr int kDetect = 7070;
  c.regions = {
      {"jp",
       "Japan",
       "flag_jp",
       {{11, "Tokyo 1", "Tokyo", "203.0.113.11", kDetect, true, 120},
        {12, "Osaka 1", "Osaka", "203.0.113.12", kDetect, false, 140}}},
      {"de", "Germany", "flag_de", {{21, "Frankfurt 1", "Frankfurt", "203.0.113.21", kDetect, true, 30}}},
      {"us", "USA", "flag_us", {{31, "Los Angeles 1", "Los Angeles", "203.0.113.31", kDetect, true, 180}}},
  };
  return c;
}

std::vector<std::string> Catalogue::regionNames() const {
  std::vector<std::string> names;
  for (const auto& region : regions) names.push_back(region.name);
  return names;
}

std::vector<DemoLine> Catalogue::lines() const {
  std::vector<DemoLine> all;
  for (const auto& region : regions) all.insert(all.end(), region.lines.begin(), region.lines.end());
  return all;
}

const DemoLine* Catalogue::line(int id) const {
  for (const auto& region : regions) {
    for (const auto& line : region.lines) {
      if (line.id == id) return &line;
    }
  }
  return nullptr;
}

const DemoLine& Catalogue::recommended(const std::vector<std::int64_t>& available) const {
  for (const std::int64_t id : available) {
    if (id >= 0 && id <= 1'000'000) {
      if (const DemoLine* known = line(static_cast<int>(id))) return *known;
    }
  }
  for (const auto& region : regions) {
    for (const auto& line : region.lines) {
      if (line.alive) return line;
    }
  }
  return regions.front().lines.front();
}

std::string Catalogue::regionsJson() const {
  std::string json = R"({"status":"ok","code":0,"regions":[)";
  for (std::size_t r = 0; r < regions.size(); ++r) {
    const DemoRegion& region = regions[r];
    if (r > 0) json += ",";
    json += R"({"code":)" + quoted(region.code) + R"(,"name":)" + quoted(region.name) +
            R"(,"icon":)" + quoted(region.icon) + R"(,"lines":[)";
    for (std::size_t l = 0; l < region.lines.size(); ++l) {
      if (l > 0) json += ",";
      json += lineJson(region.lines[l]);
    }
    json += "]}";
  }
  return json + "]}";
}

std::string Catalogue::sessionJson(const DemoLine& line, bool websocket) const {
  const std::string server = sessionServer.empty() ? line.address : sessionServer;
  const std::string common = R"("server":)" + quoted(server) + R"(,"port":)" +
                             std::to_string(websocket ? sswPort : ssPort) + R"(,"password":)" +
                             quoted(password) + R"(,"method":)" + quoted(method);
  const std::string config =
      websocket ? R"("SSWConf":{)" + common + R"(,"host":)" + quoted(server) + R"(,"url":)" +
                      quoted("ws://" + wsHost + wsPath) + R"(,"username":"demo"})"
                : R"("SSConf":{)" + common + "}";
  return R"({"status":"ok","code":0,"lineID":)" + std::to_string(line.id) +
         R"(,"boostSession":"demo-session-)" + std::to_string(line.id) + R"(","config":{)" +
         config + "}}";
}

std::vector<std::pair<std::string, Reply>> fixedReplies(const Catalogue& catalogue) {
  std::vector<std::pair<std::string, Reply>> replies = {
      {"/api/1/login", {200, {{"Set-Cookie", std::string(kLoginCookie)}}, kOk}},
      {"/api/1/ip", {200, {}, R"({"status":"ok","code":0,"ip":"192.0.2.9","location":"de"})"}},
      {"/api/1/app/links", {200, {}, kOk}},
      {"/api/1/user/misc-info",
       {200,
        {},
        R"({"status":"ok","code":0,"remaining_days":30,"expired":false,)"
        R"("email_verified":true,"purchased":true,)"
        R"("expire_at_time":1900000000,"user_id":77,"password_setup":true,)"
        R"("ads_free":false,"remaining_seconds":1,"email":")" +
            std::string(kDemoEmail) + R"("})"}},
      {"/api/2/line/region", {200, {}, catalogue.regionsJson()}},
      {"/api/1/logout", {200, {}, kOk}},
      {"/api/2/log", {200, {}, kOk}},
      {"/api/2/log/file", {200, {}, kOk}},
  };
  for (const DemoLine& line : catalogue.lines()) {
    replies.push_back({"/api/2/line/disconnect/" + std::to_string(line.id), {200, {}, kOk}});
  }
  return replies;
}

Reply refusedSignIn() {
  return {200, {}, R"({"status":"fail","code":10002,"error":")" + std::string(kRefusedMessage) + R"("})"};
}

}  // namespace vandrel::demo
