// The calls of the service's endpoints: each names its path and builds its
// own parameters; the builder adds the rest.

#include <cmath>

#include "core/connection_port.h"
#include "core/line_item.h"
#include "core/misc_info.h"
#include "core/qv_network.h"
#include "core/remote_log.h"
#include "platform/clock.h"

namespace vandrel::core {

using platform::Promise;
using platform::Value;

namespace {

// The cipher methods offered for a line session, in order of preference.
Value cipherMethods() {
  return Value::Array{"chacha20-ietf-poly1305",
                      "aes-256-gcm",
                      "aes-128-gcm",
                      "chacha20-ietf",
                      "xchacha20",
                      "aes-256-cfb",
                      "aes-128-cfb"};
}

std::string lineIdText(const std::shared_ptr<LineItem>& line) {
  const std::optional<std::int64_t> id = line ? line->id() : std::nullopt;
  return id ? std::to_string(*id) : "0";
}

std::int64_t userId(const MiscInfo& session) {
  const std::optional<MiscInfoModel> user = session.model();
  return user ? user->user_id : -1;
}

}  // namespace

Promise<ResultData> qv_Network::uploadLogRecord(std::string_view project, std::string_view logStore,
                                                const LogRecord& record) {
  const auto now = static_cast<std::int64_t>(std::trunc(clock_.secondsSince1970()));
  Value::Array kv;
  for (const auto& [key, value] : record.entries()) {
    // The service stamps the record itself ("__time__").
    if (key == "createTime") continue;
    kv.push_back(Value::Dictionary{{"key", key}, {"value", value}});
  }
  kv.push_back(Value::Dictionary{{"key", "__time__"}, {"value", std::to_string(now)}});
  Parameters parameters{
      {"project", std::string(project)},
      {"logstore", std::string(logStore)},
      {"logs", Value::Array{Value::Dictionary{{"timestamp", now}, {"kv", std::move(kv)}}}},
  };
  return request("/api/2/log", Method::POST, std::move(parameters), Encoding::json);
}

Promise<ResultData> qv_Network::connectFree() {
  Parameters parameters{
      {"proto", "GTS"},
      {"userID", userId(session_)},
      {"methods", cipherMethods()},
  };
  return request("/api/2/line/connectfree", Method::POST, std::move(parameters), Encoding::json);
}

Promise<ResultData> qv_Network::connectLine(const std::shared_ptr<LineItem>& line) {
  Parameters parameters{
      {"userID", userId(session_)},
      {"proto", port_.connectMode() == ConnectMode::ssw ? "SSW" : "SS"},
      {"methods", cipherMethods()},
  };
  if (line) {
    parameters.emplace("lineID", line->id().value_or(0));
  } else {
    parameters.emplace("recommendedLine", true);
  }
  if (const auto available = port_.currentRegion().availableLineIds()) {
    Value::Array ids(available->begin(), available->end());
    parameters.emplace("available_line", std::move(ids));
  }
  return request("/api/2/line/connect/" + lineIdText(line), Method::POST, std::move(parameters),
                 Encoding::json);
}

Promise<ResultData> qv_Network::disconnectLine(const std::shared_ptr<LineItem>& line) {
  Parameters parameters;
  if (line) {
    parameters.emplace("lineID", line->id().value_or(0));
    parameters.emplace("boostSession", line->boostSession().value_or(""));
  }
  return request("/api/2/line/disconnect/" + lineIdText(line), Method::POST, std::move(parameters),
                 Encoding::json);
}

Promise<ResultData> qv_Network::login(const std::string& account, const std::string& password,
                                      LoginAuthType authType, const std::string& callCode,
                                      const std::string& smsCode) {
  Parameters parameters{
      {"username", account}, {"password", password},
      {"autokick", "1"},     {"auth_by", std::string(wireText(authType))},
      {"phone", account},    {"cc", callCode},
      {"sms_code", smsCode}, {"email", account},
  };
  return request("/login", Method::POST, std::move(parameters), Encoding::url);
}

Promise<ResultData> qv_Network::goods(const std::string& type, const std::string& plan) {
  Parameters parameters{{"type", type}};
  if (!plan.empty()) parameters.emplace("plan", plan);
  return request("/goods", Method::GET, std::move(parameters), Encoding::url);
}

Promise<ResultData> qv_Network::notifications() {
  Parameters parameters{{"type", "user_message"}, {"unread", "true"}};
  return request("/app/notifications", Method::GET, std::move(parameters), Encoding::url);
}

Promise<ResultData> qv_Network::readNotification(const std::string& id) {
  return request("/app/notifications/" + id + "/read", Method::POST, std::nullopt, Encoding::url);
}

}  // namespace vandrel::core
