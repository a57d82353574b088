#include "helper/helper_protocol.h"

namespace vandrel::helper {

const std::vector<AuthorizationRight>& authorizationRights() {
  // The description is the key of its localization; no localization ships
  // with another text, so the key itself is what users would see.
  static const auto* rights = new std::vector<AuthorizationRight>{
      {kBindToLowNumberPortCommand, kStartWebServiceRight, kRuleAllow,
       "REVO is trying to start its web service."},
  };
  return *rights;
}

std::optional<std::string_view> authorizationRightForCommand(std::string_view command) {
  for (const auto& right : authorizationRights()) {
    if (right.command == command) return right.name;
  }
  return std::nullopt;
}

}  // namespace vandrel::helper
