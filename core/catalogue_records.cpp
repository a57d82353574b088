#include "core/catalogue_records.h"

#include "core/record_json.h"

namespace vandrel::core::record_json {

template <>
struct RecordFields<StaticDataMessagesModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("connected_msg", r.connected_msg);
    field("disconnect_msg", r.disconnect_msg);
    field("server_unavaliable_msg", r.server_unavaliable_msg);
    field("mobile_binding_promote_msg", r.mobile_binding_promote_msg);
    field("mobile_register_promote_msg", r.mobile_register_promote_msg);
  }
};

template <>
struct RecordFields<StaticDataModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("pc_push_msg", r.pc_push_msg);
    field("log_keyword", r.log_keyword);
    field("is_enable_aliyun_log", r.is_enable_aliyun_log);
    field("customer_support_num", r.customer_support_num);
    field("aliyun_log_interval", r.aliyun_log_interval);
    field("pc_push_url", r.pc_push_url);
    field("appstore_address", r.appstore_address);
    field("mac_in_review_version", r.mac_in_review_version);
    field("messages", r.messages);
    field("help_center_url", r.help_center_url);
    field("home_url", r.home_url);
    field("is_use_go", r.is_use_go);
    field("customer_service_url", r.customer_service_url);
  }
};

template <>
struct RecordFields<UrlSourceModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("ad_1", r.ad_1);
    field("ad_2", r.ad_2);
    field("ad_3", r.ad_3);
    field("qq", r.qq);
    field("ios", r.ios);
    field("chrome", r.chrome);
    field("edge", r.edge);
    field("firefox", r.firefox);
    field("android", r.android);
    field("pc", r.pc);
    field("tv", r.tv);
    field("gryphon_play_normal", r.gryphon_play_normal);
    field("site_change_password", r.site_change_password);
    field("site_forget_password_phone", r.site_forget_password_phone);
    field("site_forget_password", r.site_forget_password);
  }
};

template <>
struct RecordFields<UrlSourceT> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("status", r.status);
    field("code", r.code);
    field("url", r.url);
  }
};

// One routine for both list records.
struct RuleListsFields {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("directList", r.directList);
    field("rejectList", r.rejectList);
    field("proxyList", r.proxyList);
  }
};
template <>
struct RecordFields<Apps> : RuleListsFields {};
template <>
struct RecordFields<Domains> : RuleListsFields {};

template <>
struct RecordFields<RuleModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("code", r.code);
    field("status", r.status);
    field("version", r.version);
    field("apps", r.apps);
    field("domains", r.domains);
  }
};

template <>
struct RecordFields<CallCodeItem> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("country_name", r.country_name);
    field("country_code", r.country_code);
    field("calling_code", r.calling_code);
  }
};

template <>
struct RecordFields<CallCodeModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("list", r.list);
    field("default_option", r.default_option);
    field("status", r.status);
    field("code", r.code);
  }
};

}  // namespace vandrel::core::record_json

namespace vandrel::core {

VANDREL_DEFINE_RECORD_JSON_TEXT(StaticDataMessagesModel)
VANDREL_DEFINE_RECORD_JSON_TEXT(StaticDataModel)
VANDREL_DEFINE_RECORD_JSON_TEXT(UrlSourceModel)
VANDREL_DEFINE_RECORD_JSON_TEXT(UrlSourceT)
VANDREL_DEFINE_RECORD_JSON_TEXT(Apps)
VANDREL_DEFINE_RECORD_JSON_TEXT(Domains)
VANDREL_DEFINE_RECORD_JSON_TEXT(RuleModel)
VANDREL_DEFINE_RECORD_JSON_TEXT(CallCodeItem)
VANDREL_DEFINE_RECORD_JSON_TEXT(CallCodeModel)

}  // namespace vandrel::core
