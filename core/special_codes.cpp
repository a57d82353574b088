#include "core/special_codes.h"

#include <optional>
#include <utility>

#include "core/app_constants.h"
#include "core/connection_port.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/model_cache.h"
#include "core/whole_integer.h"
#include "platform/dispatch.h"

namespace vandrel::core {

using platform::Value;

namespace {

std::optional<std::string> textAt(const Value::Dictionary& object, const std::string& key) {
  const auto it = object.find(key);
  if (it == object.end() || it->second.asString() == nullptr) return std::nullopt;
  return *it->second.asString();
}

bool isEmptyOrAbsent(const std::optional<std::string>& text) { return !text || text->empty(); }

}  // namespace

SpecialCodeReactions& SpecialCodeReactions::shared() {
  static SpecialCodeReactions* const instance =
      new SpecialCodeReactions(MiscInfo::shared(), sharedConnectionPort());
  return *instance;
}

SpecialCodeReactions::SpecialCodeReactions(MiscInfo& session, ConnectionPort& port)
    : session_(session), port_(port) {}

ServiceHooks SpecialCodeReactions::hooks() {
  return ServiceHooks{
      .onSpecialCode =
          [this](std::int64_t code, const std::string& requestUrl,
                 const Value::Dictionary& reply) { react(code, requestUrl, reply); },
  };
}

void SpecialCodeReactions::react(std::int64_t code, const std::string& requestUrl,
                                 const Value::Dictionary& reply) {
  switch (code) {
    case kCodeSessionExpired:
      LogUtil::debug("catch: 20001");
      // The sign-out's own request may meet an ended session: that must not
      // start another sign-out.
      if (requestUrl.empty() || requestUrl.find("/logout") != std::string::npos) return;
      platform::mainQueue().async([this] { handle20001(); });
      return;
    case kCodeKickedOut:
      LogUtil::debug("catch: 20010");
      session_.clearUserInfo(true);
      platform::mainQueue().async([this] {
        port_.showAlert(std::string(kKickedOutTitle), std::string(kKickedOutMessage), "OK");
      });
      return;
    case kCodeSignedOut:
      LogUtil::debug("catch: 40001");
      session_.clearUserInfo(false);
      return;
    case kCodeForeignAccount:
      handle40007(reply);
      return;
    default:
      return;
  }
}

void SpecialCodeReactions::handle20001() {
  if (isHandling20001_.load()) {
    LogUtil::debug("Other handler is dealing with 20001");
    return;
  }
  session_.clearUserInfo(true);
  isHandling20001_.store(true);
  LogUtil::debug("handle: 20001");
  // The cookie is gone by now, so this refresh fails at once with the
  // sign-in error; the handling ends when it settles.
  platform::globalQueue().async([this] {
    session_.updateMiscInfo(-1).then(platform::mainQueue(),
                                     [this](const ResultData&) { isHandling20001_.store(false); });
  });
}

void SpecialCodeReactions::handle40007(const Value::Dictionary& reply) {
  LogUtil::debug("catch: 40007");
  session_.setIsRegistered(true);
  session_.clearUserInfo(false);
  std::optional<std::string> email = textAt(reply, "email");
  if (email && !isEmail(*email)) email.reset();
  std::optional<std::string> phone = textAt(reply, "phone");
  if (phone && !readsAsWholeInteger(*phone)) phone.reset();
  std::optional<std::string> callCode = textAt(reply, "cc");
  if (callCode && callCode->empty()) callCode.reset();
  std::optional<AccountModel> typed;
  session_.update([&](MiscInfo::State& state) {
    if (state.inputAccountInfo) {
      AccountModel& account = *state.inputAccountInfo;
      if (email && isEmptyOrAbsent(account.email)) account.email = email;
      // The calling code only ever comes with the phone it belongs to.
      if (phone && isEmptyOrAbsent(account.phone)) {
        account.phone = phone;
        if (callCode) account.callCode = callCode;
      }
    }
    typed = state.inputAccountInfo;
  });
  saveModel(typed, kInputAccountInfoCacheEntry);
}

}  // namespace vandrel::core
