// The session request: the service's session on a line and the tunnel
// configuration written into the line that becomes current.

#include <utility>

#include "connection/dictionary_reading.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/qv_network.h"
#include "core/remote_log.h"

namespace vandrel::connection {

using core::LineItem;
using core::LogUtil;
using core::ResultData;
using platform::Promise;
using platform::Value;
namespace read = dictionary_reading;

namespace {

enum class ConfigBranch { None, S, W, G };

// Everything the session answer writes into a line, read from the answer
// before the line's lock is taken.
struct SessionConfiguration {
  std::string boostSession;
  // Only for a line the catalogue does not hold.
  std::optional<std::string> name;
  std::optional<std::int64_t> id;
  ConfigBranch branch = ConfigBranch::None;
  Value::Dictionary settings;  // the chosen configuration dictionary
  std::string passedDomain;
};

SessionConfiguration readConfiguration(const Value::Dictionary& data,
                                       const Value::Dictionary& config, bool found,
                                       std::string passedDomain) {
  SessionConfiguration c;
  c.boostSession = read::optionalTextAt(data, "boostSession").value_or("None");
  if (!found) {
    c.name = read::optionalTextAt(data, "lineName").value_or(std::string(kSessionLineDefaultName));
    c.id = read::integerAt(data, "lineID").value_or(LineItem::kAutomaticLineId);
  }
  // First match wins.
  if (const auto* s = read::dictionaryAt(config, "SSConf")) {
    c.branch = ConfigBranch::S;
    c.settings = *s;
    LogUtil::debug("Cache S Mode");
  } else if (const auto* w = read::dictionaryAt(config, "SSWConf")) {
    c.branch = ConfigBranch::W;
    c.settings = *w;
    LogUtil::debug("Cache W Mode");
  } else if (const auto* g = read::dictionaryAt(config, "GTSConf")) {
    c.branch = ConfigBranch::G;
    c.settings = *g;
    LogUtil::debug("Cache G Mode");
  }
  c.passedDomain = std::move(passedDomain);
  return c;
}

// Fields the branch does not name keep their values.
void writeConfiguration(LineItem::Fields& f, const SessionConfiguration& c) {
  const Value::Dictionary& s = c.settings;
  f.boostSession = c.boostSession;
  if (c.name) f.name = c.name;
  if (c.id) f.id = c.id;
  if (c.branch == ConfigBranch::W) {
    f.url = read::optionalTextAt(s, "url").value_or("None");
    std::string host = read::optionalTextAt(s, "host").value_or("");
    if (host.empty()) host = c.passedDomain;
    f.host = std::move(host);
    f.username = read::optionalTextAt(s, "username").value_or("None");
  } else if (c.branch == ConfigBranch::G) {
    f.headerKey = read::optionalTextAt(s, "headerKey").value_or("");
    f.token = read::optionalTextAt(s, "token").value_or("");
    // Spelt with a capital T and U on the wire.
    f.mtu = read::integerAt(s, "mTU").value_or(kDefaultMtu);
    f.net = read::optionalTextAt(s, "net").value_or("");
    f.encrypt = read::integerAt(s, "encrypt").value_or(1);
    f.gateway = read::optionalTextAt(s, "gateway").value_or("");
  }
  f.server = read::optionalTextAt(s, "server").value_or("");
  f.port = read::integerAt(s, "port").value_or(0);
  f.password = read::optionalTextAt(s, "password").value_or("");
  f.method = read::optionalTextAt(s, "method").value_or(std::string(kDefaultMethod));
}

}  // namespace

Promise<ResultData> LinesManager::requestSession(const std::shared_ptr<LineItem>& line,
                                                 std::function<bool()> stillWanted) {
  return Promise<ResultData>::resolved(askForSession(line, stillWanted).result);
}

LinesManager::Session LinesManager::obtainSession(const std::shared_ptr<LineItem>& line,
                                                  std::function<bool()> stillWanted) {
  return askForSession(line, stillWanted);
}

ResultData LinesManager::sessionFailure(std::string_view message) {
  LogUtil::reportError(message);
  return ResultData::failure(std::string(message));
}

std::shared_ptr<LineItem> LinesManager::catalogueLine(std::int64_t id) const {
  std::shared_ptr<LineItem> chosen;
  for (const auto& region : regionList()) {
    if (!region.lines) continue;
    for (const auto& line : *region.lines) {
      if (line && line->id() == id) {
        // The first of the region; a later region holding the id wins.
        chosen = line;
        break;
      }
    }
  }
  return chosen;
}

LinesManager::Session LinesManager::askForSession(const std::shared_ptr<LineItem>& passed,
                                                  const std::function<bool()>& stillWanted) {
  if (connection_.qv_connectStatus() == core::qv_ConnectStatus::qv_on) {
    return {sessionFailure(kSessionWhileConnected), nullptr};
  }
  const std::shared_ptr<LineItem> line = passed ? passed : LineItem::automaticLine();
  LogUtil::debug("Request Session: " + line->name().value_or("unKnow"));
  const std::optional<core::MiscInfoModel> user = session_.model();
  if (!user) return {sessionFailure(kSessionNotSignedIn), nullptr};

  // An expired subscription gets a session on a free line; otherwise the
  // service recommends one (automatic choice) or serves the line picked.
  Promise<ResultData> request = user->expired    ? network_.connectFree()
                                : isAutoSelect() ? network_.connectLine(nullptr)
                                                 : network_.connectLine(line);
  const ResultData reply = request.wait();
  if (!reply.isSuccess) {
    remoteLog_.reportClientLog(*line, reply.message);
    LogUtil::reportError(reply.message);
    return {ResultData::failure(reply.message), nullptr};
  }
  // A reply that comes after its attempt ended (time-out, cancel, another
  // connect) would overwrite the line chosen since, or the configuration a
  // newer session wrote into the same catalogue line.
  if (stillWanted && !stillWanted()) {
    LogUtil::debug("Session reply dropped: its connect attempt has ended");
    return {ResultData::failure(std::string(qv_ConnectionManager::kTimeoutConnectId)), nullptr};
  }

  const Value::Dictionary& data = reply.jsonData;
  std::shared_ptr<LineItem> target = line;
  bool found = false;
  if (const auto id = read::integerAt(data, "lineID")) {
    if (auto inCatalogue = catalogueLine(*id)) {
      target = std::move(inCatalogue);
      found = true;
    }
  }
  const Value::Dictionary* config = read::dictionaryAt(data, "config");
  if (config == nullptr) return {sessionFailure(kSessionNoConfig), nullptr};

  // Read before the target's lock: the target may be the passed line.
  const SessionConfiguration configuration =
      readConfiguration(data, *config, found, line->domain().value_or(""));
  // One update: readers of a catalogue line see the whole configuration or
  // none of it.
  target->update([&configuration](LineItem::Fields& f) { writeConfiguration(f, configuration); });
  setCurrentLine(target);
  return {ResultData::success(), std::move(target)};
}

}  // namespace vandrel::connection
