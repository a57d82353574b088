// Ping cycles over the real ICMP library. The binary runs inside a private
// network namespace made before it started (scripts/netns-run): only `lo`
// exists, it is up, and ping_group_range admits every group; changes to
// that range stay in the namespace.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection/qv_connection_manager.h"
#include "connection/qv_line_model.h"
#include "ping/qv_ping_mannager.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/promise.h"
#include "tests/support/temp_home.h"

namespace vandrel::connection {
namespace {

using namespace std::chrono_literals;
using platform::Value;

constexpr const char* kPingGroupRange = "/proc/sys/net/ipv4/ping_group_range";

bool inNamespace() {
  const char* flag = std::getenv("VANDREL_IN_NETNS");
  return flag != nullptr && std::string(flag) == "1";
}

bool writeRange(const std::string& range) {
  std::ofstream out(kPingGroupRange);
  out << range;
  out.flush();
  return static_cast<bool>(out);
}

Value::Dictionary lineAt(std::int64_t id, std::string address) {
  return Value::Dictionary{
      {"id", id}, {"name", "line " + std::to_string(id)}, {"location", "lo"}, {"ipaddr", address}};
}

Value::Dictionary region(std::string code, std::vector<Value::Dictionary> lines) {
  Value::Array array(lines.begin(), lines.end());
  return Value::Dictionary{{"code", code}, {"icon", code}, {"name", code}, {"lines", array}};
}

class LinePingNetnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inNamespace()) GTEST_SKIP() << "runs only inside scripts/netns-run";
    models_ = std::make_unique<qv_RegionModels>(
        std::make_shared<PingMannagerAdapter>(manager_), connection_, defaults_,
        platform::Scheduler::system());
    // The hand-over runs on a worker and may still be returning from
    // resolve() when the test has its figures and ends: it settles its own
    // copy of the promise, never the fixture's.
    models_->setFinishPing([this, handedOver = handedOver_] {
      std::vector<Value::Dictionary> handed;
      for (const auto& r : models_->qv_vdr_models()) handed.push_back(r.toDictionary());
      handedOver.resolve(handed);
    });
  }

  void TearDown() override {
    if (!inNamespace()) return;
    writeRange("0 2147483647");
    // The cycle is over once it has handed over and every line has done its
    // stop bookkeeping and left the ping group; only then may the models go.
    if (handedOver_.isSettled()) {
      EXPECT_TRUE(models_->linePingGroup().wait(2s)) << "a line still holds the ping group";
    }
  }

  std::optional<double> stored(std::int64_t id) {
    const auto dictionary = defaults_.getDictionary(kLineModelPingTimeDicKey);
    if (!dictionary || !dictionary->count(std::to_string(id))) return std::nullopt;
    return dictionary->at(std::to_string(id)).asNumber();
  }

  std::shared_ptr<qv_LineModel> lineWithId(std::int64_t id) {
    for (const auto& r : models_->qv_vdr_models()) {
      for (const auto& l : r.qv_lines) {
        if (l->fields().qv_id == id) return l;
      }
    }
    return nullptr;
  }

  test_support::TempHome home_;
  platform::Defaults defaults_{home_.configHome() / "standard.json"};
  platform::NotificationCenter notifications_;
  NoSystemVpnSource noVpn_;
  qv_ConnectionManager connection_{defaults_, notifications_, noVpn_};
  std::shared_ptr<ping::qv_PingMannager> manager_ = std::make_shared<ping::qv_PingMannager>();
  std::unique_ptr<qv_RegionModels> models_;
  platform::Promise<std::vector<Value::Dictionary>> handedOver_;
};

TEST_F(LinePingNetnsTest, OneCycleMeasuresTheLoopbackLinesAndHandsTheFiguresOver) {
  models_->setQv_vdr_models(models_->regionsFrom(
      {region("a", {lineAt(1, "127.0.0.1"), lineAt(2, "127.0.0.2")}),
       // No route in the namespace: every request fails or times out.
       region("b", {lineAt(3, "127.0.0.3"), lineAt(4, "192.0.2.1")})}));
  const auto started = std::chrono::steady_clock::now();
  models_->pingAllLines();
  const auto handed = handedOver_.wait(10s);
  ASSERT_TRUE(handed.has_value()) << "the cycle never handed over";
  EXPECT_GE(std::chrono::steady_clock::now() - started, kCycleStopDelay);
  EXPECT_FALSE(manager_->qv_isPinging());
  EXPECT_TRUE(models_->linePingGroup().wait(2s)) << "a line still holds the ping group";

  for (std::int64_t id : {1, 2, 3}) {
    SCOPED_TRACE(id);
    const auto fields = lineWithId(id)->fields();
    EXPECT_GE(fields.qv_pingCount, 3) << "a 0.2 s period over 1.4 s";
    EXPECT_EQ(fields.qv_packetLossCount, 0);
    EXPECT_DOUBLE_EQ(fields.qv_packetLoss, 0.0);
    ASSERT_TRUE(stored(id).has_value());
    EXPECT_LT(*stored(id), 50.0);
    EXPECT_EQ(lineWithId(id)->qv_ping(), nullptr);
  }
  EXPECT_EQ(lineWithId(4)->fields().qv_pingCount, 0);
  EXPECT_EQ(stored(4), 999.0);
  EXPECT_DOUBLE_EQ(lineWithId(4)->fields().qv_packetLoss, 999.0);

  const Value::Dictionary first = *(*handed)[0].at("lines").asArray()->at(0).asDictionary();
  EXPECT_EQ(first.at("packetLoss"), Value(0));
  EXPECT_EQ(first.at("pingTime"), Value(static_cast<std::int64_t>(*stored(1))));
}

TEST_F(LinePingNetnsTest, PingersWhoseSetUpFailsLeaveTheGroupAtOnce) {
  if (!writeRange("1 0")) GTEST_SKIP() << "cannot narrow ping_group_range here";
  models_->setQv_vdr_models(models_->regionsFrom(
      {region("a", {lineAt(1, "127.0.0.1")}), region("b", {lineAt(2, "127.0.0.2")})}));
  std::atomic<bool> groupEmpty{false};
  models_->pingAllLines();
  models_->linePingGroup().notify(platform::globalQueue(), [&] { groupEmpty = true; });
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  while (!groupEmpty && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(groupEmpty.load()) << "failed set-ups held the ping group";
  ASSERT_TRUE(handedOver_.wait(10s).has_value());
  EXPECT_EQ(stored(1), 999.0);
  EXPECT_EQ(stored(2), 999.0);
}

}  // namespace
}  // namespace vandrel::connection
