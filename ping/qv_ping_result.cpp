#include "ping/qv_ping_result.h"

#include <chrono>
#include <functional>

namespace vandrel::ping {
namespace {

double secondsSince1970(platform::WallTime t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

std::size_t qv_PingStatusHash::operator()(qv_PingStatus status) const noexcept {
  return std::hash<int>{}(static_cast<int>(status));
}

void qv_PingResult::setQv_receiveDate(std::optional<platform::WallTime> value) {
  receiveDate_ = value;
  if (receiveDate_ && sendDate_) {
    time_ = secondsSince1970(*receiveDate_) - secondsSince1970(*sendDate_);
  }
}

double qv_PingResult::roundTripTime() const {
  if (!receiveDate_ || !sendDate_) return 0;
  return std::chrono::duration<double>(*receiveDate_ - *sendDate_).count();
}

}  // namespace vandrel::ping
