#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/sync.h"

namespace vandrel::core {

// One server line of the service: an entry of the region list, the line the
// user (or the automatic choice) picked, and after a session request the
// configuration the tunnel starts with.
//
// A shared, mutable reference type: one record can sit in a region's line
// list and be the current line at once, and a change through one holder is
// seen by all. Always held by std::shared_ptr. The session request, the ping
// model and the liveness probe change lines while other threads read and
// encode them, so every field sits behind one lock; `fields()` takes a
// consistent snapshot and `update()` a read-modify-write.
//
// There is no equality: lines are matched by their `id` fields.
class LineItem {
 public:
  static constexpr std::int64_t kAutomaticLineId = -999;
  static constexpr std::string_view kAutomaticLineName = "自动选择路线";

  // Every field, in declaration order (which is also the JSON key order).
  // The member initialisers are the values of a newly created record.
  struct Fields {
    std::optional<std::int64_t> load = 0;
    std::optional<std::int64_t> id = 0;
    std::optional<std::string> name;
    std::optional<std::string> category;
    std::optional<std::string> ipaddr;
    std::optional<std::string> proto;
    std::optional<std::string> mode;
    std::optional<std::string> location;
    std::optional<std::string> boostSession;
    std::optional<std::string> method;
    std::optional<std::string> password;
    std::optional<std::string> server;
    std::optional<std::int64_t> pingTime = -1;
    std::optional<std::int64_t> packetLoss = -1;
    std::optional<std::int64_t> port;
    std::optional<std::int64_t> mtu;
    std::optional<std::int64_t> encrypt;
    std::optional<std::string> username;
    std::optional<std::string> headerKey;
    std::optional<std::string> gateway;
    std::optional<std::string> token;
    std::optional<std::string> net;
    std::optional<std::string> host;
    std::optional<std::string> url;
    std::optional<std::int64_t> detectPort;
    std::optional<bool> isAlive = false;
    std::optional<std::string> iPAddr;
    std::optional<std::string> domain;
    std::optional<bool> isFree = false;
  };

  // A newly created record: the initial values above.
  static std::shared_ptr<LineItem> create();
  // A record holding exactly `fields`.
  static std::shared_ptr<LineItem> create(Fields fields);
  // The automatic line ("let the service choose"): a new record with `id`
  // -999 and `name` "自动选择路线", every other field at its initial value.
  static std::shared_ptr<LineItem> automaticLine();

  explicit LineItem(Fields fields) : fields_(std::move(fields)) {}
  LineItem(const LineItem&) = delete;
  LineItem& operator=(const LineItem&) = delete;

  // A copy of every field, taken under the lock.
  Fields fields() const;
  // Runs `mutate` on the fields under the lock. It must only touch the
  // fields: no locks, posts, callbacks or I/O.
  void update(const std::function<void(Fields&)>& mutate);

  // Whether this is the automatic line: `id` present and -999 (the name
  // plays no part).
  bool isAutomatic() const;

  // Decodes a JSON object: each field takes its key's value; a missing key
  // or null leaves the field absent (a decoded line holds only what it
  // decoded); a value of another type fails the whole record; unknown keys
  // are ignored.
  static platform::Result<std::shared_ptr<LineItem>> fromJsonText(std::string_view text);
  // Every present field under its key; absent fields are left out.
  std::string toJsonText() const;

  std::optional<std::int64_t> load() const;
  std::optional<std::int64_t> id() const;
  std::optional<std::string> name() const;
  std::optional<std::string> category() const;
  std::optional<std::string> ipaddr() const;
  std::optional<std::string> proto() const;
  std::optional<std::string> mode() const;
  std::optional<std::string> location() const;
  std::optional<std::string> boostSession() const;
  std::optional<std::string> method() const;
  std::optional<std::string> password() const;
  std::optional<std::string> server() const;
  std::optional<std::int64_t> pingTime() const;
  std::optional<std::int64_t> packetLoss() const;
  std::optional<std::int64_t> port() const;
  std::optional<std::int64_t> mtu() const;
  std::optional<std::int64_t> encrypt() const;
  std::optional<std::string> username() const;
  std::optional<std::string> headerKey() const;
  std::optional<std::string> gateway() const;
  std::optional<std::string> token() const;
  std::optional<std::string> net() const;
  std::optional<std::string> host() const;
  std::optional<std::string> url() const;
  std::optional<std::int64_t> detectPort() const;
  std::optional<bool> isAlive() const;
  std::optional<std::string> iPAddr() const;
  std::optional<std::string> domain() const;
  std::optional<bool> isFree() const;

  void setLoad(std::optional<std::int64_t> value);
  void setId(std::optional<std::int64_t> value);
  void setName(std::optional<std::string> value);
  void setCategory(std::optional<std::string> value);
  void setIpaddr(std::optional<std::string> value);
  void setProto(std::optional<std::string> value);
  void setMode(std::optional<std::string> value);
  void setLocation(std::optional<std::string> value);
  void setBoostSession(std::optional<std::string> value);
  void setMethod(std::optional<std::string> value);
  void setPassword(std::optional<std::string> value);
  void setServer(std::optional<std::string> value);
  void setPingTime(std::optional<std::int64_t> value);
  void setPacketLoss(std::optional<std::int64_t> value);
  void setPort(std::optional<std::int64_t> value);
  void setMtu(std::optional<std::int64_t> value);
  void setEncrypt(std::optional<std::int64_t> value);
  void setUsername(std::optional<std::string> value);
  void setHeaderKey(std::optional<std::string> value);
  void setGateway(std::optional<std::string> value);
  void setToken(std::optional<std::string> value);
  void setNet(std::optional<std::string> value);
  void setHost(std::optional<std::string> value);
  void setUrl(std::optional<std::string> value);
  void setDetectPort(std::optional<std::int64_t> value);
  void setIsAlive(std::optional<bool> value);
  void setIPAddr(std::optional<std::string> value);
  void setDomain(std::optional<std::string> value);
  void setIsFree(std::optional<bool> value);

 private:
  mutable platform::Mutex mutex_;
  Fields fields_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::core
