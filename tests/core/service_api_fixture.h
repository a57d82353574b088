#pragma once

// The service API client wired for one test: a private home (XDG), a
// bundle whose "icon.xcImage" pins the test CA, a fixture device root, the
// HTTPS stand-ins, and fresh StaticData, MiscInfo, qv_Network and
// RemoteLog objects over them. Replies hop through the main queue, which
// the test thread pumps.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/api_hosts.h"
#include "core/cert_bundle.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/qv_device_info.h"
#include "core/qv_network.h"
#include "core/remote_log.h"
#include "core/static_data.h"
#include "platform/bundle.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/notification_center.h"
#include "tests/support/fake_connection_port.h"
#include "tests/support/service_standin.h"
#include "tests/support/temp_home.h"
#include "tests/support/test_certs.h"

namespace vandrel::core::service_api_testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One remote-log request as the stand-in received it.
struct SentLogRecord {
  std::string project;
  std::string logStore;
  std::vector<std::pair<std::string, std::string>> kv;

  std::optional<std::string> value(const std::string& key) const {
    for (const auto& [k, v] : kv) {
      if (k == key) return v;
    }
    return std::nullopt;
  }
};

// The remote-log records the stand-in received, in order; only those of
// `logStore` when one is named. A body that is not a record fails the test.
inline std::vector<SentLogRecord> sentLogRecords(const test_support::ServiceStandin& standin,
                                                 std::optional<std::string_view> logStore = {}) {
  std::vector<SentLogRecord> records;
  for (const auto& request : standin.requestsTo("/api/2/log")) {
    auto body = platform::parseJson(request.body);
    EXPECT_TRUE(body.ok()) << request.body;
    if (!body.ok()) continue;
    SentLogRecord record;
    record.project = body.value().value("project", "");
    record.logStore = body.value().value("logstore", "");
    if (logStore && record.logStore != *logStore) continue;
    for (const auto& pair : body.value()["logs"][0]["kv"]) {
      record.kv.emplace_back(pair["key"].get<std::string>(), pair["value"].get<std::string>());
    }
    records.push_back(std::move(record));
  }
  return records;
}
using test_support::ScriptedReply;
using test_support::ServiceStandin;
using test_support::TestCertificateAuthority;

inline constexpr const char* kOkReply = R"({"status":"ok","code":0})";

// 1700000123.4 s since 1970.
inline platform::WallTime fixedWallTime() {
  return platform::WallTime{} + std::chrono::milliseconds(1700000123400);
}

inline void writeBytes(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "127.0.0.1:PORT" of a stand-in as an API host.
inline ApiHost hostOf(const ServiceStandin& standin, std::string name = "127.0.0.1") {
  return ApiHost{std::move(name), standin.port()};
}

class ServiceApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.root().empty());
    platform::mainQueue().runPending();
    LogUtil::closeLogFileHandle();
    writeBytes(bundlePath() / "Contents/Info.json",
               R"({"CFBundleIdentifier":"com.vandrel.mac.offline",)"
               R"("CFBundleShortVersionString":"2.3.4","CFBundleVersion":"77"})");
    auto packed = packCertBundle({TestCertificateAuthority::shared().der()});
    ASSERT_TRUE(packed.ok());
    writeBytes(certBundlePath(), packed.value());
    writeBytes(deviceRoot() / "sys/class/dmi/id/product_serial", "SERIAL-1234\n");
    writeBytes(deviceRoot() / "sys/class/dmi/id/product_name", "Test Machine 9\n");
    writeBytes(deviceRoot() / "etc/os-release", "NAME=Debian\nVERSION_ID=\"12\"\n");
    writeBytes(caFilePath(), TestCertificateAuthority::shared().pem());
  }

  void TearDown() override {
    // The session's background jobs (a sign-out's last steps) use the
    // objects destroyed below.
    if (session_) {
      EXPECT_TRUE(
          platform::mainQueue().runUntil([&] { return session_->pendingWorkCount() == 0; }, 20s))
          << "session work still running at the end of the test";
    }
    if (network_) {
      network_->cancelAllTasks();
      EXPECT_TRUE(
          platform::mainQueue().runUntil([&] { return network_->pendingCount() == 0; }, 20s))
          << "requests still in flight at the end of the test";
    }
    platform::mainQueue().runPending();
    LogUtil::closeLogFileHandle();
    remoteLog_.reset();
    network_.reset();
    staticData_.reset();
    session_.reset();
  }

  fs::path bundlePath() const { return home_.root() / "Test.app"; }
  fs::path certBundlePath() const { return bundlePath() / "Contents/Resources/icon.xcImage"; }
  fs::path deviceRoot() const { return home_.root() / "device"; }
  fs::path caFilePath() const { return home_.root() / "ca.pem"; }

  // Builds the objects over `hosts`. Call after changing the bundle.
  void start(std::vector<ApiHost> hosts, ServiceHooks hooks = {}) {
    bundle_ = std::make_unique<platform::Bundle>(bundlePath());
    device_ = std::make_unique<DeviceFacts>(*bundle_, deviceRoot(), [](const char* name) {
      return std::string(name) == "LANG" ? std::optional<std::string>("de_AT.UTF-8") : std::nullopt;
    });
    session_ = std::make_unique<MiscInfo>(port_, defaults_, notifications_, clock_);
    staticData_ = std::make_unique<StaticData>(
        std::move(hosts), defaults_, [this](const std::string& host, const std::string& message) {
          remoteLog_->reportBadURL(host, message);
        });
    qv_Network::Options options;
    options.bundle = bundle_.get();
    options.uploadCaFile = caFilePath().string();
    network_ = std::make_unique<qv_Network>(*staticData_, *session_, port_, *device_,
                                            std::move(hooks), clock_, options);
    remoteLog_ = std::make_unique<RemoteLog>(*network_, *session_, port_, *device_,
                                             appGroupDefaults_, clock_);
  }

  // Pumps the main queue until `promise` settles.
  ResultData await(const platform::Promise<ResultData>& promise) {
    const bool settled = platform::mainQueue().runUntil([&] { return promise.isSettled(); }, 20s);
    EXPECT_TRUE(settled) << "the request never settled";
    if (!settled) return ResultData::failure("never settled");
    return *promise.wait(0s);
  }

  // Pumps until every request (the fire-and-forget reports too) is done.
  ::testing::AssertionResult drain() {
    if (!platform::mainQueue().runUntil([&] { return network_->pendingCount() == 0; }, 20s)) {
      return ::testing::AssertionFailure() << network_->pendingCount() << " requests in flight";
    }
    platform::mainQueue().runPending();
    return ::testing::AssertionSuccess();
  }

  // The lines of the log file so far (the main queue is pumped first).
  std::vector<std::string> logLines() {
    platform::mainQueue().runPending();
    std::vector<std::string> lines;
    std::istringstream in(readBytes(home_.dataCache() / "vandrel.log"));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // Each line starts with a 24-character date.
      if (line.size() >= 24) lines.push_back(line.substr(24));
    }
    return lines;
  }

  std::size_t countLogLines(const std::string& text) {
    const auto lines = logLines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), text));
  }

  void signIn(std::int64_t userId, std::optional<std::string> nick, bool expired) {
    std::string json = R"({"remaining_days":3,"expired":)" +
                       std::string(expired ? "true" : "false") +
                       R"(,"expire_at_time":1,"user_id":)" + std::to_string(userId) +
                       R"(,"password_setup":true,"ads_free":false,"remaining_seconds":1,"code":0)";
    if (nick) json += R"(,"nick":")" + *nick + "\"";
    json += "}";
    auto model = MiscInfoModel::fromJsonText(json);
    ASSERT_TRUE(model.ok()) << model.error().message;
    session_->setModel(model.value());
  }

  test_support::TempHome home_;
  test_support::FakeConnectionPort port_;
  platform::Defaults defaults_{home_.configHome() / "standard.json"};
  platform::Defaults appGroupDefaults_{home_.configHome() / "group.json"};
  platform::NotificationCenter notifications_;
  platform::ManualClock clock_{fixedWallTime()};
  std::unique_ptr<platform::Bundle> bundle_;
  std::unique_ptr<DeviceFacts> device_;
  std::unique_ptr<MiscInfo> session_;
  std::unique_ptr<StaticData> staticData_;
  std::unique_ptr<qv_Network> network_;
  std::unique_ptr<RemoteLog> remoteLog_;
};

}  // namespace vandrel::core::service_api_testing
