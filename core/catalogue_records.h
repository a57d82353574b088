#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vandrel::core {

// The catalogue records: the service's static data and the rule, link and
// calling-code sets kept in the encrypted cache. Plain values; every field
// is optional.
//
// JSON coding shared by every record of the service core: the key of a
// field is its name exactly; an optional key that is absent or null gives no
// value, and an absent value is left out when encoding (never null); a
// required field absent or null fails the record; a value of another type
// fails the whole record (an integer must be integral and fit in 64 signed
// bits: 5.0 and 1e3 are integers, 5.5 is not; no bool for 0/1; no digits in
// a string); list elements are never null; a failure inside a nested record
// or list fails every record around it; unknown keys are ignored and not
// carried. Decoding what encoding wrote gives the same record back.
//
// Each record: fromJsonText (a JSON object's text; no partial record) and
// toJsonText (compact).

// The texts under "messages" of the static data.
struct StaticDataMessagesModel {
  std::optional<std::string> connected_msg;
  std::optional<std::string> disconnect_msg;
  // Misspelt on the wire, and kept so: the correctly spelt key is unknown.
  std::optional<std::string> server_unavaliable_msg;
  std::optional<std::string> mobile_binding_promote_msg;
  std::optional<std::string> mobile_register_promote_msg;

  static platform::Result<StaticDataMessagesModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// The application's static data from the service.
struct StaticDataModel {
  std::optional<std::string> pc_push_msg;
  // Keywords separated by ",": error texts that start a log upload.
  std::optional<std::string> log_keyword;
  std::optional<bool> is_enable_aliyun_log;
  std::optional<std::string> customer_support_num;
  std::optional<std::int64_t> aliyun_log_interval;
  std::optional<std::string> pc_push_url;
  std::optional<std::string> appstore_address;
  std::optional<std::string> mac_in_review_version;
  std::optional<StaticDataMessagesModel> messages;
  std::optional<std::string> help_center_url;
  std::optional<std::string> home_url;
  std::optional<bool> is_use_go;
  std::optional<std::string> customer_service_url;

  static platform::Result<StaticDataModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// Links by platform.
struct UrlSourceModel {
  std::optional<std::string> ad_1;
  std::optional<std::string> ad_2;
  std::optional<std::string> ad_3;
  std::optional<std::string> qq;
  std::optional<std::string> ios;
  std::optional<std::string> chrome;
  std::optional<std::string> edge;
  std::optional<std::string> firefox;
  std::optional<std::string> android;
  std::optional<std::string> pc;
  std::optional<std::string> tv;
  std::optional<std::string> gryphon_play_normal;
  std::optional<std::string> site_change_password;
  std::optional<std::string> site_forget_password_phone;
  std::optional<std::string> site_forget_password;

  static platform::Result<UrlSourceModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// The links record with its reply status.
struct UrlSourceT {
  std::optional<std::string> status;
  std::optional<std::int64_t> code;
  std::optional<UrlSourceModel> url;

  static platform::Result<UrlSourceT> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// The three lists of a routing-rule set; Apps names applications, Domains
// domains. Same fields, same coding.
struct RuleLists {
  std::optional<std::vector<std::string>> directList;
  std::optional<std::vector<std::string>> rejectList;
  std::optional<std::vector<std::string>> proxyList;
};

struct Apps : RuleLists {
  static platform::Result<Apps> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

struct Domains : RuleLists {
  static platform::Result<Domains> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// A routing-rule set with its reply status.
struct RuleModel {
  std::optional<std::int64_t> code;
  std::optional<std::string> status;
  std::optional<std::string> version;
  std::optional<Apps> apps;
  std::optional<Domains> domains;

  static platform::Result<RuleModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// One country of the calling-code list.
struct CallCodeItem {
  std::optional<std::string> country_name;
  std::optional<std::string> country_code;
  std::optional<std::string> calling_code;

  static platform::Result<CallCodeItem> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// The country calling-code list with its reply status.
struct CallCodeModel {
  std::optional<std::vector<CallCodeItem>> list;
  std::optional<CallCodeItem> default_option;
  std::optional<std::string> status;
  std::optional<std::int64_t> code;

  static platform::Result<CallCodeModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

}  // namespace vandrel::core
