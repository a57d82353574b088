#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace vandrel::ping {

// Outcome of one echo request.
enum class qv_PingStatus {
  qv_pending,  // sent, no answer yet (also what a time-out hands over)
  qv_success,  // a valid reply arrived
  qv_fail,     // the send failed, the time-out fired or an unexpected reply came
};

// Hashes a status as its position 0, 1 or 2.
struct qv_PingStatusHash {
  std::size_t operator()(qv_PingStatus status) const noexcept;
};

// The record of one echo request: what went where, when, and how it ended.
// A plain value: the pinger keeps one per request and hands copies to its
// delegate, so a delegate may keep or change what it gets.
class qv_PingResult {
 public:
  qv_PingResult() = default;

  std::uint64_t qv_sequenceNumber() const { return sequenceNumber_; }
  void setQv_sequenceNumber(std::uint64_t value) { sequenceNumber_ = value; }

  std::uint64_t qv_payloadSize() const { return payloadSize_; }
  void setQv_payloadSize(std::uint64_t value) { payloadSize_ = value; }

  // The configured time-to-live when sent; the reply's when one was accepted.
  std::uint64_t qv_ttl() const { return ttl_; }
  void setQv_ttl(std::uint64_t value) { ttl_ = value; }

  // The host the request went to; for an accepted IPv4 reply, its source.
  const std::optional<std::string>& qv_host() const { return host_; }
  void setQv_host(std::optional<std::string> value) { host_ = std::move(value); }

  const std::optional<platform::WallTime>& qv_sendDate() const { return sendDate_; }
  // No observer: the round-trip time follows the receive date only.
  void setQv_sendDate(std::optional<platform::WallTime> value) { sendDate_ = value; }

  const std::optional<platform::WallTime>& qv_receiveDate() const { return receiveDate_; }
  // Also sets `qv_time` when both dates are present (else leaves it).
  void setQv_receiveDate(std::optional<platform::WallTime> value);

  // Round-trip time in seconds, as last derived from the receive date.
  double qv_time() const { return time_; }
  void setQv_time(double value) { time_ = value; }

  // The interval from send to receive date when both are present, else 0.
  double roundTripTime() const;

  qv_PingStatus qv_pingStatus() const { return status_; }
  void setQv_pingStatus(qv_PingStatus value) { status_ = value; }

  // An independent record with every field of this one.
  qv_PingResult copy() const { return *this; }

 private:
  std::uint64_t sequenceNumber_ = 0;
  std::uint64_t payloadSize_ = 0;
  std::uint64_t ttl_ = 0;
  std::optional<std::string> host_;
  std::optional<platform::WallTime> sendDate_;
  std::optional<platform::WallTime> receiveDate_;
  double time_ = 0;
  qv_PingStatus status_ = qv_PingStatus::qv_pending;
};

}  // namespace vandrel::ping
