#include "ping/qv_ping_result.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vandrel::ping {
namespace {

using namespace std::chrono_literals;

const platform::WallTime kSent = platform::WallTime{} + 1'700'000'000s;

TEST(PingResultTest, FreshRecordIsPendingWithNoTime) {
  qv_PingResult record;
  EXPECT_EQ(record.qv_time(), 0);
  EXPECT_EQ(record.roundTripTime(), 0);
  EXPECT_EQ(record.qv_pingStatus(), qv_PingStatus::qv_pending);
  EXPECT_FALSE(record.qv_host().has_value());
  EXPECT_FALSE(record.qv_sendDate().has_value());
}

TEST(PingResultTest, ReceiveDateDerivesTheTimeOnlyWhenBothDatesAreSet) {
  qv_PingResult record;
  record.setQv_sendDate(kSent);
  record.setQv_receiveDate(kSent + 25ms);
  EXPECT_NEAR(record.qv_time(), 0.025, 1e-6);
  EXPECT_NEAR(record.roundTripTime(), 0.025, 1e-9);

  // Receive date first: the time keeps its old value, the interval answers.
  qv_PingResult early;
  early.setQv_time(4.0);
  early.setQv_receiveDate(kSent + 40ms);
  early.setQv_sendDate(kSent);
  EXPECT_EQ(early.qv_time(), 4.0);
  EXPECT_NEAR(early.roundTripTime(), 0.040, 1e-9);

  // Clearing the receive date leaves the time as it was.
  record.setQv_receiveDate(std::nullopt);
  EXPECT_NEAR(record.qv_time(), 0.025, 1e-6);
  EXPECT_EQ(record.roundTripTime(), 0);
}

TEST(PingResultTest, CopyIsIndependentAndKeepsAHandSetTime) {
  qv_PingResult record;
  record.setQv_sequenceNumber(3);
  record.setQv_payloadSize(56);
  record.setQv_ttl(64);
  record.setQv_host("10.1.2.3");
  record.setQv_sendDate(kSent);
  record.setQv_receiveDate(kSent + 10ms);
  record.setQv_time(9.5);
  record.setQv_pingStatus(qv_PingStatus::qv_success);

  qv_PingResult copy = record.copy();
  EXPECT_EQ(copy.qv_time(), 9.5);
  EXPECT_EQ(copy.qv_sequenceNumber(), 3u);
  EXPECT_EQ(copy.qv_payloadSize(), 56u);
  EXPECT_EQ(copy.qv_ttl(), 64u);
  EXPECT_EQ(copy.qv_host(), std::optional<std::string>("10.1.2.3"));
  EXPECT_EQ(copy.qv_receiveDate(), std::optional<platform::WallTime>(kSent + 10ms));
  EXPECT_EQ(copy.qv_pingStatus(), qv_PingStatus::qv_success);

  copy.setQv_pingStatus(qv_PingStatus::qv_fail);
  copy.setQv_host("10.9.9.9");
  EXPECT_EQ(record.qv_pingStatus(), qv_PingStatus::qv_success);
  EXPECT_EQ(record.qv_host(), std::optional<std::string>("10.1.2.3"));
}

TEST(PingResultTest, StatusComparesAndHashesByCase) {
  EXPECT_TRUE(qv_PingStatus::qv_pending == qv_PingStatus::qv_pending);
  EXPECT_FALSE(qv_PingStatus::qv_success == qv_PingStatus::qv_fail);
  qv_PingStatusHash hash;
  EXPECT_EQ(hash(qv_PingStatus::qv_pending), std::hash<int>{}(0));
  EXPECT_EQ(hash(qv_PingStatus::qv_fail), std::hash<int>{}(2));
}

}  // namespace
}  // namespace vandrel::ping
