#pragma once

// An operation that holds a process activity from its creation until it
// runs: queued behind pending work, it keeps the activity for as long as
// that work waits. One that never runs ends its activity when it is
// destroyed (TLYActivity ends itself then).

#include <memory>
#include <string>

#include "analytics/tally/tly_activity.h"
#include "crash/kit/trl_async_operation.h"

namespace vandrel::analytics {

// The activity is begun on the creating thread and ended by the thread
// that runs the operation (or destroys it); the queue orders the two.
class TLYActivityOperation final : public crash::Operation {
 public:
  // Makes the operation and begins the activity at once.
  static std::shared_ptr<TLYActivityOperation> operationByStartingActivityName(
      std::string name, TLYActivityOptions options);

  // Ends the activity.
  void main() override;

  const TLYActivity& activity() const { return *activity_; }

 private:
  explicit TLYActivityOperation(std::unique_ptr<TLYActivity> activity);

  std::unique_ptr<TLYActivity> activity_;
};

}  // namespace vandrel::analytics
