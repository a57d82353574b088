#include "core/log_util.h"

namespace vandrel::core {

// Does nothing until the keyword-triggered log upload exists, which replaces this file.
void LogUtil::checkUploadKeywords(std::string_view) {}

}  // namespace vandrel::core
