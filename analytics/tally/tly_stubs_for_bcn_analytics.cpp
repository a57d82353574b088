#include "analytics/tally/tly_stubs_for_bcn_analytics.h"

#include <utility>

namespace vandrel::analytics {

TLYStubsForBCNAnalytics::TLYStubsForBCNAnalytics(TLYSystemLog systemLog)
    : systemLog_(std::move(systemLog)) {}

void TLYStubsForBCNAnalytics::logInternalEventWithOrigin(std::string_view, std::string_view,
                                                         const platform::Value::Dictionary&) {
  systemLog_(kTLYStubsForBCNAnalyticsMessage);
}

void TLYStubsForBCNAnalytics::addLogEventListener(
    std::shared_ptr<crash::BCNAnalyticsEventListener>) {}

}  // namespace vandrel::analytics
