#pragma once

// The framework's class method, declared for the kit's own build. Never the
// target of the bridge and never registered: its body only says so in the
// system log.

#include <memory>
#include <string_view>

#include "analytics/tally/tly_logger.h"
#include "crash/kit/flt_bcr_analytics.h"

namespace vandrel::analytics {

inline constexpr std::string_view kTLYStubsForBCNAnalyticsMessage = "Stub only. Do not use.";

class TLYStubsForBCNAnalytics final : public crash::BCNAnalyticsClass {
 public:
  explicit TLYStubsForBCNAnalytics(TLYSystemLog systemLog = TLYDefaultSystemLog());
  bool respondsToAddLogEventListener() const override { return false; }
  void logInternalEventWithOrigin(std::string_view origin, std::string_view name,
                                  const platform::Value::Dictionary& parameters) override;
  void addLogEventListener(std::shared_ptr<crash::BCNAnalyticsEventListener> listener) override;

 private:
  TLYSystemLog systemLog_;
};

}  // namespace vandrel::analytics
