#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace vandrel::core {

// The account records, coded by the rules of catalogue_records.h. Required
// fields are plain members.

// The user information the service returns for the signed-in account
// (cached as "MiscInfoCache").
struct MiscInfoModel {
  std::optional<std::string> expire_at;
  std::int64_t remaining_days = 0;
  bool expired = false;
  std::optional<std::string> email;
  std::optional<std::string> default_protocol;
  std::int64_t expire_at_time = 0;
  std::optional<std::string> ads_free_before;
  std::optional<std::int64_t> ads_free_before_time;
  std::optional<std::string> status;
  std::int64_t user_id = 0;
  bool password_setup = false;
  std::optional<std::int64_t> zeridevaz_id;
  bool ads_free = false;
  std::int64_t remaining_seconds = 0;
  std::int64_t code = 0;
  std::optional<bool> email_verified;
  std::optional<std::int64_t> ads_remaining_days;
  std::optional<bool> is_pro_user;
  std::optional<std::string> nick;
  std::optional<std::string> pc_push_url;
  std::optional<std::string> pc_push_msg;
  std::optional<bool> purchased;
  // Without calling code.
  std::optional<std::string> phone;
  // The phone's calling code, possibly with a leading "+".
  std::optional<std::string> cc;
  std::optional<bool> is_realname;
  std::optional<bool> is_trial;
  std::optional<std::int64_t> created_at_time;
  std::optional<bool> subscribed;
  std::optional<std::string> invitation_code;
  std::optional<bool> invited;

  static constexpr std::string_view kSignedOutName = "未登录";

  // `email` when present and not empty; else, when `phone` and `cc` are
  // both present and not empty, `cc` without any "+" followed directly by
  // `phone`; else "未登录".
  std::string displayName() const;

  static platform::Result<MiscInfoModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// One account as the client keeps it (cached as "accountInfoKey" and
// "inputAccountInfoKey").
struct AccountModel {
  // As entered: an e-mail address, a phone number or a user name.
  std::optional<std::string> account;
  std::optional<std::string> password;
  std::optional<std::string> email;
  std::optional<std::string> phone;
  // The wire text of the LoginAuthType used at sign-in.
  std::optional<std::string> authType;
  std::optional<std::string> callCode;

  static platform::Result<AccountModel> fromJsonText(std::string_view text);
  std::string toJsonText() const;
};

// How an account is proven at sign-in. The order is the wire order of the
// one-byte form.
enum class LoginAuthType : std::uint8_t { email, mobile, qrCode, mobileCode, username };

// "email", "mobile", "qr_ticket", "sms_code", "username": the "auth_by"
// parameter of the sign-in request and AccountModel::authType.
std::string_view wireText(LoginAuthType type);
// The case whose wire text is exactly `text`; none for any other text.
std::optional<LoginAuthType> loginAuthTypeFromWireText(std::string_view text);

}  // namespace vandrel::core
