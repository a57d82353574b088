#include "analytics/tally/tly_activity_operation.h"

#include <utility>

namespace vandrel::analytics {

std::shared_ptr<TLYActivityOperation> TLYActivityOperation::operationByStartingActivityName(
    std::string name, TLYActivityOptions options) {
  return std::shared_ptr<TLYActivityOperation>(
      new TLYActivityOperation(TLYActivity::beginActivity(std::move(name), options)));
}

TLYActivityOperation::TLYActivityOperation(std::unique_ptr<TLYActivity> activity)
    : activity_(std::move(activity)) {}

void TLYActivityOperation::main() { activity_->end(); }

}  // namespace vandrel::analytics
