#include "core/line_item.h"

#include <utility>

#include "core/record_json.h"

namespace vandrel::core {

using platform::MutexLock;

std::shared_ptr<LineItem> LineItem::create() { return std::make_shared<LineItem>(Fields{}); }

std::shared_ptr<LineItem> LineItem::create(Fields fields) {
  return std::make_shared<LineItem>(std::move(fields));
}

std::shared_ptr<LineItem> LineItem::automaticLine() {
  Fields fields;
  fields.id = kAutomaticLineId;
  fields.name = std::string(kAutomaticLineName);
  return create(std::move(fields));
}

LineItem::Fields LineItem::fields() const {
  MutexLock lock(mutex_);
  return fields_;
}

void LineItem::update(const std::function<void(Fields&)>& mutate) {
  MutexLock lock(mutex_);
  mutate(fields_);
}

bool LineItem::isAutomatic() const {
  MutexLock lock(mutex_);
  return fields_.id == kAutomaticLineId;
}

#define VANDREL_LINE_ITEM_FIELD(type, name, setter)        \
  std::optional<type> LineItem::name() const {             \
    MutexLock lock(mutex_);                                \
    return fields_.name;                                   \
  }                                                        \
  void LineItem::setter(std::optional<type> value) {       \
    MutexLock lock(mutex_);                                \
    fields_.name = std::move(value);                       \
  }

VANDREL_LINE_ITEM_FIELD(std::int64_t, load, setLoad)
VANDREL_LINE_ITEM_FIELD(std::int64_t, id, setId)
VANDREL_LINE_ITEM_FIELD(std::string, name, setName)
VANDREL_LINE_ITEM_FIELD(std::string, category, setCategory)
VANDREL_LINE_ITEM_FIELD(std::string, ipaddr, setIpaddr)
VANDREL_LINE_ITEM_FIELD(std::string, proto, setProto)
VANDREL_LINE_ITEM_FIELD(std::string, mode, setMode)
VANDREL_LINE_ITEM_FIELD(std::string, location, setLocation)
VANDREL_LINE_ITEM_FIELD(std::string, boostSession, setBoostSession)
VANDREL_LINE_ITEM_FIELD(std::string, method, setMethod)
VANDREL_LINE_ITEM_FIELD(std::string, password, setPassword)
VANDREL_LINE_ITEM_FIELD(std::string, server, setServer)
VANDREL_LINE_ITEM_FIELD(std::int64_t, pingTime, setPingTime)
VANDREL_LINE_ITEM_FIELD(std::int64_t, packetLoss, setPacketLoss)
VANDREL_LINE_ITEM_FIELD(std::int64_t, port, setPort)
VANDREL_LINE_ITEM_FIELD(std::int64_t, mtu, setMtu)
VANDREL_LINE_ITEM_FIELD(std::int64_t, encrypt, setEncrypt)
VANDREL_LINE_ITEM_FIELD(std::string, username, setUsername)
VANDREL_LINE_ITEM_FIELD(std::string, headerKey, setHeaderKey)
VANDREL_LINE_ITEM_FIELD(std::string, gateway, setGateway)
VANDREL_LINE_ITEM_FIELD(std::string, token, setToken)
VANDREL_LINE_ITEM_FIELD(std::string, net, setNet)
VANDREL_LINE_ITEM_FIELD(std::string, host, setHost)
VANDREL_LINE_ITEM_FIELD(std::string, url, setUrl)
VANDREL_LINE_ITEM_FIELD(std::int64_t, detectPort, setDetectPort)
VANDREL_LINE_ITEM_FIELD(bool, isAlive, setIsAlive)
VANDREL_LINE_ITEM_FIELD(std::string, iPAddr, setIPAddr)
VANDREL_LINE_ITEM_FIELD(std::string, domain, setDomain)
VANDREL_LINE_ITEM_FIELD(bool, isFree, setIsFree)

#undef VANDREL_LINE_ITEM_FIELD

namespace record_json {

template <>
struct RecordFields<LineItem::Fields> {
  template <typename R, typename V>
  static void visit(R& f, V&& field) {
    field("load", f.load);
    field("id", f.id);
    field("name", f.name);
    field("category", f.category);
    field("ipaddr", f.ipaddr);
    field("proto", f.proto);
    field("mode", f.mode);
    field("location", f.location);
    field("boostSession", f.boostSession);
    field("method", f.method);
    field("password", f.password);
    field("server", f.server);
    field("pingTime", f.pingTime);
    field("packetLoss", f.packetLoss);
    field("port", f.port);
    field("mtu", f.mtu);
    field("encrypt", f.encrypt);
    field("username", f.username);
    field("headerKey", f.headerKey);
    field("gateway", f.gateway);
    field("token", f.token);
    field("net", f.net);
    field("host", f.host);
    field("url", f.url);
    field("detectPort", f.detectPort);
    field("isAlive", f.isAlive);
    field("iPAddr", f.iPAddr);
    field("domain", f.domain);
    field("isFree", f.isFree);
  }
};

// Every field is optional, so decoding assigns each one: a key that is
// missing or null replaces the initial value with "absent".
platform::Result<LineRef> decodeLineItem(const Json& value) {
  auto fields = decodeRecord<LineItem::Fields>(value);
  if (!fields.ok()) return fields.error();
  return LineItem::create(std::move(fields).value());
}

OrderedJson encodeLineItem(const LineItem& line) { return encodeRecord(line.fields()); }

}  // namespace record_json

platform::Result<std::shared_ptr<LineItem>> LineItem::fromJsonText(std::string_view text) {
  return record_json::decodeText<std::shared_ptr<LineItem>>(text, record_json::decodeLineItem);
}

std::string LineItem::toJsonText() const {
  return record_json::encodeText(record_json::encodeLineItem(*this));
}

}  // namespace vandrel::core
