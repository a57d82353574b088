#include "core/account_records.h"

#include <algorithm>
#include <array>

#include "core/record_json.h"

namespace vandrel::core::record_json {

template <>
struct RecordFields<MiscInfoModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("expire_at", r.expire_at);
    field("remaining_days", r.remaining_days);
    field("expired", r.expired);
    field("email", r.email);
    field("default_protocol", r.default_protocol);
    field("expire_at_time", r.expire_at_time);
    field("ads_free_before", r.ads_free_before);
    field("ads_free_before_time", r.ads_free_before_time);
    field("status", r.status);
    field("user_id", r.user_id);
    field("password_setup", r.password_setup);
    field("zeridevaz_id", r.zeridevaz_id);
    field("ads_free", r.ads_free);
    field("remaining_seconds", r.remaining_seconds);
    field("code", r.code);
    field("email_verified", r.email_verified);
    field("ads_remaining_days", r.ads_remaining_days);
    field("is_pro_user", r.is_pro_user);
    field("nick", r.nick);
    field("pc_push_url", r.pc_push_url);
    field("pc_push_msg", r.pc_push_msg);
    field("purchased", r.purchased);
    field("phone", r.phone);
    field("cc", r.cc);
    field("is_realname", r.is_realname);
    field("is_trial", r.is_trial);
    field("created_at_time", r.created_at_time);
    field("subscribed", r.subscribed);
    field("invitation_code", r.invitation_code);
    field("invited", r.invited);
  }
};

template <>
struct RecordFields<AccountModel> {
  template <typename R, typename V>
  static void visit(R& r, V&& field) {
    field("account", r.account);
    field("password", r.password);
    field("email", r.email);
    field("phone", r.phone);
    field("authType", r.authType);
    field("callCode", r.callCode);
  }
};

}  // namespace vandrel::core::record_json

namespace vandrel::core {

VANDREL_DEFINE_RECORD_JSON_TEXT(MiscInfoModel)
VANDREL_DEFINE_RECORD_JSON_TEXT(AccountModel)

std::string MiscInfoModel::displayName() const {
  if (email && !email->empty()) return *email;
  if (phone && !phone->empty() && cc && !cc->empty()) {
    std::string code = *cc;
    code.erase(std::remove(code.begin(), code.end(), '+'), code.end());
    return code + *phone;
  }
  return std::string(kSignedOutName);
}

namespace {
constexpr std::array<std::string_view, 5> kAuthTypeWireTexts = {"email", "mobile", "qr_ticket",
                                                                 "sms_code", "username"};
}  // namespace

std::string_view wireText(LoginAuthType type) {
  return kAuthTypeWireTexts.at(static_cast<std::size_t>(type));
}

std::optional<LoginAuthType> loginAuthTypeFromWireText(std::string_view text) {
  for (std::size_t i = 0; i < kAuthTypeWireTexts.size(); ++i) {
    if (kAuthTypeWireTexts[i] == text) return static_cast<LoginAuthType>(i);
  }
  return std::nullopt;
}

}  // namespace vandrel::core
