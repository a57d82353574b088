#include "analytics/tally/tly_activity.h"

#include <utility>

namespace vandrel::analytics {

std::unique_ptr<TLYActivity> TLYActivity::beginActivity(std::string reason,
                                                        TLYActivityOptions options,
                                                        std::function<void()> expirationHandler) {
  // Without background tasks nothing ever expires, so the handler is never
  // called.
  (void)expirationHandler;
  return std::make_unique<TLYActivity>(std::move(reason), options);
}

std::unique_ptr<TLYActivity> TLYActivity::beginActivity(std::string reason,
                                                        TLYActivityOptions options) {
  return beginActivity(std::move(reason), options, [] {});
}

void TLYActivity::performActivity(std::string reason, TLYActivityOptions options,
                                  const std::function<void()>& block) {
  auto activity = beginActivity(std::move(reason), options);
  if (block) block();
  activity->end();
}

TLYActivity::TLYActivity(std::string reason, TLYActivityOptions options)
    : reason_(std::move(reason)), options_(options) {}

TLYActivity::~TLYActivity() { end(); }

void TLYActivity::end() { active_ = false; }

}  // namespace vandrel::analytics
