#include "core/result_model.h"

#include <string>

#include "core/log_util.h"

namespace vandrel::core::result_model_detail {

void logToModelError(std::string_view typeName, const std::string* decodeError) {
  LogUtil::debug("toModelError: " + std::string(typeName));
  if (decodeError != nullptr) LogUtil::debug("toModelError: " + *decodeError);
}

}  // namespace vandrel::core::result_model_detail
