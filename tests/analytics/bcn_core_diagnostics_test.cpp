#include "analytics/core/bcn_core_diagnostics.h"

#include <gtest/gtest.h>
#include <pb_decode.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/core/bcn_diagnostics_connector.h"
#include "analytics/core/bcn_gru_heartbeat_date_storage.h"
#include "analytics/core/bcn_options.h"
#include "analytics/transport/evt_application.h"
#include "analytics/transport/evt_archive.h"
#include "analytics/transport/evt_flat_file_storage.h"
#include "analytics/transport/evt_log.h"
#include "analytics/transport/evt_registrar.h"
#include "analytics/transport/evt_transformer.h"
#include "analytics/transport/evt_transport.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/sync.h"
#include "tests/support/temp_dir.h"

namespace vandrel::analytics {
namespace {

using namespace std::chrono_literals;
using platform::Value;
using platform::WallTime;
namespace fs = std::filesystem;

// 2030-03-10 00:30 UTC; the fake calendar below counts days in UTC.
const WallTime kStart = std::chrono::sys_days{std::chrono::year{2030} / 3 / 10} + 30min;

// A decoded diagnostics message, released with the decoder's allocations.
class Decoded {
 public:
  explicit Decoded(const std::string& bytes) {
    pb_istream_t stream =
        pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
    ok_ = pb_decode(&stream, bcndiag_CoreDiagnostics_fields, &message_);
  }
  ~Decoded() { pb_release(bcndiag_CoreDiagnostics_fields, &message_); }
  Decoded(const Decoded&) = delete;
  Decoded& operator=(const Decoded&) = delete;

  bool ok() const { return ok_; }
  const bcndiag_CoreDiagnostics& operator*() const { return message_; }
  const bcndiag_CoreDiagnostics* operator->() const { return &message_; }

 private:
  bcndiag_CoreDiagnostics message_ = bcndiag_CoreDiagnostics_init_zero;
  bool ok_ = false;
};

std::optional<std::string> text(const pb_bytes_array_t* bytes) {
  if (bytes == nullptr) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size);
}

std::vector<std::uint32_t> sdks(const bcndiag_CoreDiagnostics& message) {
  return {message.installedSdks, message.installedSdks + message.installedSdks_count};
}

std::optional<std::uint32_t> sdkName(const bcndiag_CoreDiagnostics& message) {
  if (!message.has_sdkName) return std::nullopt;
  return message.sdkName;
}

// Collects the transport console logger's lines while alive.
class LogLines {
 public:
  LogLines() {
    EVTCORSetConsoleLogSink([this](std::string_view line) {
      platform::MutexLock lock(mutex_);
      lines_.emplace_back(line);
    });
  }
  ~LogLines() { EVTCORSetConsoleLogSink({}); }
  int count(std::string_view part) {
    platform::MutexLock lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) n += line.find(part) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  platform::Mutex mutex_;
  std::vector<std::string> lines_ VANDREL_GUARDED_BY(mutex_);
};

// The facts of a process with one configured default app that collects data.
BCNAppFacts oneApp() {
  BCNAppFacts facts;
  facts.allAppsCount = 1;
  facts.isDefaultAppConfigured = true;
  facts.defaultAppDataCollectionDefaultEnabled = true;
  facts.beaconUserAgent = "vandrel/1.0 beacon/6.9.1";
  return facts;
}

class CoreDiagnosticsTest : public testing::Test {
 protected:
  void SetUp() override {
    storage_ = std::make_shared<EVTCORFlatFileStorage>(dir_.path() / "events", nullptr);
    registrar_.registerStorage(storage_, kEVTCORTargetFLL);
    environment_.deviceModel = [] { return std::string("x86_64"); };
    environment_.osVersion = [] { return std::string("12"); };
    environment_.isFromAppStore = [] { return false; };
    environment_.loadedImagePaths = [] {
      return std::vector<std::string>{"/opt/Vandrel.app/Contents/MacOS/Vandrel",
                                      "/usr/lib/x86_64-linux-gnu/libc.so.6"};
    };
    environment_.classExists = [this](std::string_view name) {
      return classes_.count(std::string(name)) > 0;
    };
    environment_.mainInfoDictionary = [this] { return info_; };
    environment_.calendarDay = [](WallTime time) {
      return std::chrono::floor<std::chrono::days>(time).time_since_epoch().count();
    };
    info_ = {{"DTXcodeBuild", "13C100"}, {"DTSDKBuild", "21C46"}, {"MinimumOSVersion", "10.13"}};
    diagnostics_ = make();
  }

  fs::path heartbeatFile() const { return dir_.path() / "support" / "BEACON_DIAGNOSTICS_HEARTBEAT_DATE"; }

  std::unique_ptr<BCNCoreDiagnostics> make() {
    return std::make_unique<BCNCoreDiagnostics>(
        EVTCORTransport::create("137", {}, kEVTCORTargetFLL, transformer_),
        std::make_shared<GRUHeartbeatDateStorage>(heartbeatFile()), clock_, environment_);
  }

  // A record as the connector builds it for a configured app.
  static std::shared_ptr<BCNDiagnosticsData> appData() {
    auto data = std::make_shared<BCNDiagnosticsData>([] { return oneApp(); });
    data->insertValue(true, kBCNCDIsDataCollectionDefaultEnabledKey);
    data->insertValue(1, kBCNCDConfigurationTypeKey);
    data->insertValue("1:123:linux:abc", kBCNCDGryphonAppIDKey);
    data->insertValue("com.vandrel.mac.offline", kBCNCDBundleIDKey);
    data->insertValue(true, kBCNCDUsingOptionsFromDefaultPlistKey);
    data->insertValue("60901000", kBCNCDLibraryVersionIDKey);
    return data;
  }

  // Waits until what was sent so far is stored: the diagnostics queue hands
  // over to the transformer queue, which hands over to the storage queue.
  void drain() {
    diagnostics_->diagnosticsQueue().sync([] {});
    transformer_.eventWritingQueue().sync([] {});
    storage_->storageQueue().sync([] {});
  }

  // Sends `data` and answers the events it stored, by file name.
  std::vector<std::pair<std::string, EVTCOREvent>> send(std::shared_ptr<BCNDiagnosticsData> data) {
    drain();
    const auto before = storedNames();
    diagnostics_->sendDiagnosticsData(std::move(data));
    drain();
    std::vector<std::pair<std::string, EVTCOREvent>> events;
    const fs::path dir = storage_->eventDataStoragePath() / std::to_string(kEVTCORTargetFLL);
    for (const auto& name : storedNames()) {
      if (before.count(name) > 0) continue;
      auto event = EVTCORReadArchive<EVTCOREvent>(dir / name);
      EXPECT_TRUE(event.ok()) << name;
      if (event.ok()) events.emplace_back(name, std::move(event).value());
    }
    return events;
  }

  // The one message that sending `data` stored.
  std::unique_ptr<Decoded> sendOne(std::shared_ptr<BCNDiagnosticsData> data) {
    auto events = send(std::move(data));
    EXPECT_EQ(events.size(), 1u);
    if (events.size() != 1) return nullptr;
    const auto& bytes = events[0].second.serializedDataObjectBytes();
    EXPECT_TRUE(bytes.has_value());
    auto decoded = std::make_unique<Decoded>(bytes.value_or(""));
    EXPECT_TRUE(decoded->ok());
    return decoded;
  }

  std::set<std::string> storedNames() {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(
             storage_->eventDataStoragePath() / std::to_string(kEVTCORTargetFLL), ec)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  // The message buildConfig makes of `dictionary`, through the encoder.
  std::unique_ptr<Decoded> built(const Value::Dictionary& dictionary) {
    BCNCoreDiagnosticsLog log(diagnostics_->buildConfig(dictionary));
    auto decoded = std::make_unique<Decoded>(log.transportBytes());
    EXPECT_TRUE(decoded->ok());
    return decoded;
  }

  test_support::TempDir dir_{"bcn-diagnostics"};
  platform::NotificationCenter center_;
  EVTCORApplication application_{center_};
  EVTCORRegistrar registrar_;
  EVTCORTransformer transformer_{registrar_, application_};
  std::shared_ptr<EVTCORFlatFileStorage> storage_;
  platform::ManualClock clock_{kStart};
  std::set<std::string> classes_;
  Value::Dictionary info_;
  BCNDiagnosticsEnvironment environment_;
  std::unique_ptr<BCNCoreDiagnostics> diagnostics_;
};

TEST_F(CoreDiagnosticsTest, FirstSendStoresATelemetryEventWithEveryFieldAndTheHeartbeat) {
  auto events = send(appData());
  ASSERT_EQ(events.size(), 1u);
  const auto& [name, event] = events[0];
  EXPECT_EQ(event.mappingID(), "137");
  EXPECT_EQ(event.target(), kEVTCORTargetFLL);
  EXPECT_EQ(event.qosTier(), kEVTCORQoSTelemetry);
  EXPECT_TRUE(name.starts_with(event.eventID() + "-1-")) << name;
  EXPECT_TRUE(name.ends_with("-137")) << name;

  Decoded m(event.serializedDataObjectBytes().value_or(""));
  ASSERT_TRUE(m.ok());
  EXPECT_TRUE(m->has_configurationType);
  EXPECT_EQ(m->configurationType, 1u);
  EXPECT_EQ(m->installedSdks_count, 0u);
  EXPECT_EQ(text(m->deviceModel), "x86_64");
  EXPECT_EQ(text(m->gryphonAppId), "1:123:linux:abc");
  EXPECT_EQ(text(m->bundleId), "com.vandrel.mac.offline");
  EXPECT_TRUE(m->has_clientType);
  EXPECT_EQ(m->clientType, 2u);
  EXPECT_EQ(text(m->libraryVersionId), "60901000");
  EXPECT_EQ(text(m->sdkVersion), std::nullopt);
  EXPECT_EQ(sdkName(*m), std::optional<std::uint32_t>(kBCNCoreDiagnosticsHeartbeatCode));
  EXPECT_TRUE(m->has_appCount);
  EXPECT_EQ(m->appCount, 1);
  EXPECT_EQ(text(m->osVersion), "12");
  EXPECT_EQ(text(m->minimumOsVersion), "10.13");
  EXPECT_TRUE(m->has_usingOptionsFromDefaultPlist);
  EXPECT_TRUE(m->usingOptionsFromDefaultPlist);
  EXPECT_TRUE(m->has_isFromAppStore);
  EXPECT_FALSE(m->isFromAppStore);
  EXPECT_TRUE(m->has_dynamicFrameworkCount);
  EXPECT_EQ(m->dynamicFrameworkCount, 0);  // the app itself only
  EXPECT_EQ(text(m->buildToolchain), "13C100-21C46");
  EXPECT_TRUE(m->has_fixedFalseFlag);
  EXPECT_FALSE(m->fixedFalseFlag);
  EXPECT_TRUE(m->has_fixedOneCode);
  EXPECT_EQ(m->fixedOneCode, 1u);
  EXPECT_EQ(text(m->userAgent), "vandrel/1.0 beacon/6.9.1");
  EXPECT_TRUE(m->has_appDelegateProxyEnabled);
  EXPECT_TRUE(m->appDelegateProxyEnabled);
  EXPECT_TRUE(m->has_fixedTrueFlag);
  EXPECT_TRUE(m->fixedTrueFlag);
}

TEST_F(CoreDiagnosticsTest, ConnectorHandsTheOptionsOfAConfiguredAppToTheSender) {
  auto options = BCNOptions::initInternalWithOptionsDictionary(
      {{"GRYPHON_APP_ID", "1:77:linux:ff"}, {"BUNDLE_ID", "com.example.app"}});
  ASSERT_NE(options, nullptr);
  BCNCoreDiagnosticsConnector connector(
      [this](std::shared_ptr<BCNCoreDiagnosticsData> data) {
        diagnostics_->sendDiagnosticsData(std::move(data));
      },
      [] {
        BCNAppFacts facts = oneApp();
        facts.allAppsCount = 3;
        return facts;
      });
  const auto before = storedNames();
  connector.logCoreTelemetry(*options);
  drain();
  const auto after = storedNames();
  ASSERT_EQ(after.size(), before.size() + 1);
  std::string added;
  for (const auto& name : after) {
    if (before.count(name) == 0) added = name;
  }
  auto event = EVTCORReadArchive<EVTCOREvent>(
      storage_->eventDataStoragePath() / std::to_string(kEVTCORTargetFLL) / added);
  ASSERT_TRUE(event.ok());
  Decoded m(event.value().serializedDataObjectBytes().value_or(""));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(text(m->gryphonAppId), "1:77:linux:ff");
  EXPECT_EQ(text(m->bundleId), "com.example.app");
  EXPECT_EQ(text(m->libraryVersionId), "60901000");
  EXPECT_EQ(text(m->userAgent), "vandrel/1.0 beacon/6.9.1");
  EXPECT_EQ(m->appCount, 3);
  EXPECT_EQ(m->configurationType, 1u);
  EXPECT_TRUE(m->usingOptionsFromDefaultPlist);
}

TEST_F(CoreDiagnosticsTest, HeartbeatMarksOnlyTheFirstMessageOfEachCalendarDay) {
  auto withSdk = [] {
    auto data = appData();
    data->insertValue("Storage", kBCNCDSdkNameKey);
    data->insertValue("10.4.0", kBCNCDSdkVersionKey);
    return data;
  };
  struct Step {
    const char* what;
    platform::Duration advance;
    bool withSdkName;
    std::optional<std::uint32_t> sdkName;
  } steps[] = {
      {"first ever send", 0s, true, 1},
      {"same day, SDK named", 1min, true, 16},
      {"same day, no SDK named", 1min, false, std::nullopt},
      {"23:30 the same day", 22h + 58min, true, 16},
      // Only an hour later, but a new calendar day.
      {"00:30 the next day", 1h, true, 1},
      {"again that day", 10s, false, std::nullopt},
      {"two days later", 48h, false, 1},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    clock_.advance(step.advance);
    auto m = sendOne(step.withSdkName ? withSdk() : appData());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(sdkName(**m), step.sdkName);
    EXPECT_EQ(text((*m)->sdkVersion),
              step.withSdkName ? std::optional<std::string>("10.4.0") : std::nullopt);
  }
}

TEST_F(CoreDiagnosticsTest, HeartbeatDateSurvivesANewInstanceOnTheSameFile) {
  auto first = sendOne(appData());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(sdkName(**first), std::optional<std::uint32_t>(1));

  diagnostics_ = make();
  clock_.advance(3h);
  auto second = sendOne(appData());
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE((*second)->has_sdkName);
  GRUHeartbeatDateStorage storage(heartbeatFile());
  EXPECT_EQ(storage.heartbeatDateForTag(kBCNCoreDiagnosticsHeartbeatTag).has_value(), true);
}

TEST_F(CoreDiagnosticsTest, AStoredDateInTheFutureHoldsTheHeartbeatUntilItsDayHasPassed) {
  // The clock was moved back: the stored date lies two days ahead. No
  // message carries the mark, and the date stays, until the clock has
  // passed that date's day.
  const WallTime ahead = kStart + 48h;
  GRUHeartbeatDateStorage storage(heartbeatFile());
  ASSERT_TRUE(storage.setHearbeatDate(ahead, kBCNCoreDiagnosticsHeartbeatTag));

  struct Step {
    const char* what;
    platform::Duration advance;
    bool heartbeat;
  } steps[] = {
      {"today", 0s, false},                                          // 10 March 00:30
      {"the next day", 24h, false},                                  // 11 March 00:30
      {"the stored date's day, before its time", 23h + 40min, false},  // 12 March 00:10
      {"the stored date's day, after its time", 50min, false},         // 12 March 01:00
      {"the day after it", 23h + 5min, true},                          // 13 March 00:05
      {"later that day", 1h, false},
  };
  bool marked = false;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    clock_.advance(step.advance);
    auto m = sendOne(appData());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ((*m)->has_sdkName, step.heartbeat);
    const auto stored =
        GRUHeartbeatDateStorage(heartbeatFile()).heartbeatDateForTag(kBCNCoreDiagnosticsHeartbeatTag);
    ASSERT_TRUE(stored.has_value());
    marked = marked || step.heartbeat;
    if (!marked) {
      EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(*stored),
                std::chrono::floor<std::chrono::seconds>(ahead));
    }
  }
}

TEST_F(CoreDiagnosticsTest, CollectionOffSendsNothingAndLeavesTheHeartbeatForLater) {
  auto off = appData();
  off->insertValue(false, kBCNCDIsDataCollectionDefaultEnabledKey);
  EXPECT_TRUE(send(off).empty());
  // The default fill of the record answers "off" for a process whose
  // default app does not collect.
  auto defaulted = std::make_shared<BCNDiagnosticsData>([] { return BCNAppFacts{}; });
  EXPECT_TRUE(send(defaulted).empty());
  EXPECT_TRUE(storedNames().empty());
  EXPECT_FALSE(fs::exists(heartbeatFile()));

  auto m = sendOne(appData());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(sdkName(**m), std::optional<std::uint32_t>(1));
}

TEST_F(CoreDiagnosticsTest, ANullRecordIsIgnored) {
  EXPECT_TRUE(send(nullptr).empty());
}

TEST_F(CoreDiagnosticsTest, DictionaryValuesBecomeFieldsOnlyWhenValid) {
  LogLines logs;
  struct Case {
    const char* what;
    Value::Dictionary dictionary;
    std::optional<std::uint32_t> configurationType;
    std::optional<std::uint32_t> sdkName;
    std::int32_t appCount;
    std::optional<std::string> gryphonAppId;
    std::optional<std::string> userAgent;
    std::optional<bool> usingDefaultPlist;
    std::optional<std::string> libraryVersionId;
  } cases[] = {
      {"configuration type 2", {{"BCNCDConfigurationTypeKey", 2}, {"BCNCDllAppsCountKey", 2}},
       2, std::nullopt, 2, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"configuration type 3 is left out",
       {{"BCNCDConfigurationTypeKey", 3}, {"BCNCDllAppsCountKey", 1}},
       std::nullopt, std::nullopt, 1, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"configuration type 0 is left out",
       {{"BCNCDConfigurationTypeKey", 0}, {"BCNCDllAppsCountKey", 1}},
       std::nullopt, std::nullopt, 1, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"unknown SDK name is code 0", {{"BCNCDSdkNameKey", "Teleporter"}, {"BCNCDllAppsCountKey", 1}},
       std::nullopt, 0, 1, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"known SDK name", {{"BCNCDSdkNameKey", "InAppMessaging"}, {"BCNCDllAppsCountKey", 1}},
       std::nullopt, 31, 1, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"empty strings are left out, an empty version id is kept",
       {{"BCNCDGryphonAppIDKey", ""}, {"BCNCDBeaconUserAgentKey", ""}, {"BCNCDBundleID", ""},
        {"BCNCDLibraryVersionIDKey", ""}, {"BCNCDllAppsCountKey", 0}},
       std::nullopt, std::nullopt, 0, std::nullopt, std::nullopt, std::nullopt, ""},
      {"flags given as false are written",
       {{"BCNCDUsingOptionsFromDefaultPlistKey", false}, {"BCNCDllAppsCountKey", 1}},
       std::nullopt, std::nullopt, 1, std::nullopt, std::nullopt, false, std::nullopt},
      {"values of the wrong type are left out",
       {{"BCNCDGryphonAppIDKey", 5}, {"BCNCDConfigurationTypeKey", "1"},
        {"BCNCDUsingOptionsFromDefaultPlistKey", "yes"}, {"BCNCDllAppsCountKey", 4}},
       std::nullopt, std::nullopt, 4, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {"a user agent longer than the length field holds is left out",
       {{"BCNCDBeaconUserAgentKey", std::string(70000, 'u')}, {"BCNCDllAppsCountKey", 1},
        {"BCNCDGryphonAppIDKey", "id"}},
       std::nullopt, std::nullopt, 1, "id", std::nullopt, std::nullopt, std::nullopt},
      {"an app count beyond 32 bits is clamped",
       {{"BCNCDllAppsCountKey", std::int64_t{1} << 40}, {"BCNCDBeaconUserAgentKey", "ua"}},
       std::nullopt, std::nullopt, 2147483647, std::nullopt, "ua", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = built(c.dictionary);
    EXPECT_EQ((*m)->has_configurationType ? std::optional<std::uint32_t>((*m)->configurationType)
                                          : std::nullopt,
              c.configurationType);
    EXPECT_EQ(sdkName(**m), c.sdkName);
    EXPECT_TRUE((*m)->has_appCount);
    EXPECT_EQ((*m)->appCount, c.appCount);
    EXPECT_EQ(text((*m)->gryphonAppId), c.gryphonAppId);
    EXPECT_EQ(text((*m)->bundleId), std::nullopt);
    EXPECT_EQ(text((*m)->userAgent), c.userAgent);
    EXPECT_EQ((*m)->has_usingOptionsFromDefaultPlist
                  ? std::optional<bool>((*m)->usingOptionsFromDefaultPlist)
                  : std::nullopt,
              c.usingDefaultPlist);
    EXPECT_EQ(text((*m)->libraryVersionId), c.libraryVersionId);
  }
  EXPECT_EQ(logs.count("I-EVTCOR001006"), 0);
}

TEST_F(CoreDiagnosticsTest, AMissingAppCountIsLoggedAndSentAsZero) {
  LogLines logs;
  for (const Value::Dictionary& dictionary :
       {Value::Dictionary{}, Value::Dictionary{{"BCNCDllAppsCountKey", "two"}}}) {
    auto m = built(dictionary);
    EXPECT_TRUE((*m)->has_appCount);
    EXPECT_EQ((*m)->appCount, 0);
  }
  EXPECT_EQ(logs.count("[GryphonDataTransport][I-EVTCOR001006] App count is a required value in "
                       "the data dict."),
            2);
}

TEST_F(CoreDiagnosticsTest, ProbedLibrariesArePackedInProbeOrderWhenAllTheirClassesExist) {
  // "GGLContext" with "GAI" makes Analytics, but without "GIDSignIn" no
  // SignIn; a face detector needs both of its classes.
  classes_ = {"BCNStorage", "GGLContext", "GAI", "BCNMessaging", "BCNVisionFaceDetector",
              "BCNVisionBarcodeDetector", "GMVBarcodeDetector"};
  auto m = built({{"BCNCDllAppsCountKey", 1}});
  EXPECT_EQ(sdks(**m), (std::vector<std::uint32_t>{17, 27, 16, 9}));

  BCNCoreDiagnosticsLog log(diagnostics_->buildConfig({{"BCNCDllAppsCountKey", 1}}));
  const std::string bytes = log.transportBytes();
  // Tag 7, length-delimited, four one-byte varints.
  EXPECT_NE(bytes.find(std::string("\x3a\x04\x11\x1b\x10\x09", 6)), std::string::npos);

  classes_.clear();
  BCNCoreDiagnosticsLog none(diagnostics_->buildConfig({{"BCNCDllAppsCountKey", 1}}));
  EXPECT_EQ(none.transportBytes().find('\x3a'), std::string::npos);
}

TEST_F(CoreDiagnosticsTest, FieldsAreEncodedInTagOrder) {
  auto config = diagnostics_->buildConfig({{"BCNCDConfigurationTypeKey", 1},
                                           {"BCNCDllAppsCountKey", 1},
                                           {"BCNCDSdkNameKey", "Auth"},
                                           {"BCNCDGryphonAppIDKey", "id"}});
  BCNCoreDiagnosticsLog log(config);
  const std::string bytes = log.transportBytes();
  std::vector<std::uint32_t> tags;
  pb_istream_t stream =
      pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
  while (stream.bytes_left > 0) {
    pb_wire_type_t wireType;
    std::uint32_t tag = 0;
    bool eof = false;
    ASSERT_TRUE(pb_decode_tag(&stream, &wireType, &tag, &eof));
    tags.push_back(tag);
    ASSERT_TRUE(pb_skip_field(&stream, wireType));
  }
  EXPECT_EQ(tags, (std::vector<std::uint32_t>{1, 9, 10, 16, 20, 21, 22, 24, 26, 27, 28, 29, 30,
                                              33, 36}));
}

TEST_F(CoreDiagnosticsTest, InfoDictionaryFactsFollowTheirDefaults) {
  struct Case {
    const char* what;
    Value::Dictionary info;
    std::string toolchain;
    std::optional<std::string> minimum;
    bool proxyEnabled;
  } cases[] = {
      {"empty", {}, "-", std::nullopt, true},
      {"only one build value", {{"DTSDKBuild", "21C46"}}, "-21C46", std::nullopt, true},
      {"proxy off as a bool", {{"BeaconAppDelegateProxyEnabled", false}}, "-", std::nullopt, false},
      {"proxy off as a number", {{"BeaconAppDelegateProxyEnabled", 0}}, "-", std::nullopt, false},
      {"proxy as a string is not a number",
       {{"BeaconAppDelegateProxyEnabled", "NO"}, {"MinimumOSVersion", "11.0"}}, "-", "11.0", true},
      {"build values of another type count as absent", {{"DTXcodeBuild", 13}}, "-", std::nullopt,
       true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    info_ = c.info;
    auto m = built({{"BCNCDllAppsCountKey", 1}});
    EXPECT_EQ(text((*m)->buildToolchain), c.toolchain);
    EXPECT_EQ(text((*m)->minimumOsVersion), c.minimum);
    EXPECT_TRUE((*m)->has_appDelegateProxyEnabled);
    EXPECT_EQ((*m)->appDelegateProxyEnabled, c.proxyEnabled);
  }
}

TEST_F(CoreDiagnosticsTest, HostFactsAreLeftOutWhenEmptyAndFrameworksExcludeSystemImages) {
  struct Case {
    const char* what;
    std::vector<std::string> images;
    std::int32_t count;
  } cases[] = {
      {"no images", {}, -1},
      {"the app alone", {"/opt/Vandrel.app/Contents/MacOS/Vandrel"}, 0},
      {"system images",
       {"/opt/Vandrel.app/Contents/MacOS/Vandrel", "/usr/lib/x86_64-linux-gnu/libz.so.1",
        "/System/Library/Frameworks/Foundation", "/Applications/Xcode.app/Developer/Library/X"},
       0},
      {"own libraries",
       {"/opt/Vandrel.app/Contents/MacOS/Vandrel", "/opt/Vandrel.app/Contents/Frameworks/libA.so",
        "/home/u/lib/libB.so", "/usr/lib/libc.so"},
       2},
  };
  environment_.deviceModel = [] { return std::string(); };
  environment_.osVersion = [] { return std::string(); };
  environment_.isFromAppStore = [] { return true; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    environment_.loadedImagePaths = [&] { return c.images; };
    diagnostics_ = make();
    auto m = built({{"BCNCDllAppsCountKey", 1}});
    EXPECT_TRUE((*m)->has_dynamicFrameworkCount);
    EXPECT_EQ((*m)->dynamicFrameworkCount, c.count);
    EXPECT_EQ(text((*m)->deviceModel), std::nullopt);
    EXPECT_EQ(text((*m)->osVersion), std::nullopt);
    EXPECT_TRUE((*m)->isFromAppStore);
  }
}

TEST_F(CoreDiagnosticsTest, SameDayOrEarlierComparesCalendarDays) {
  const WallTime day = kStart - 30min;  // midnight
  struct Case {
    const char* what;
    WallTime date;
    WallTime reference;
    bool expected;
  } cases[] = {
      {"same moment", day, day, true},
      {"same day, later", day + 23h, day + 1h, true},
      {"earlier day", day, day + 30h, true},
      {"next day, an hour later", day + 24h, day + 23h, false},
      {"days later", day + 72h, day, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(diagnostics_->isDateInSameDayOrBeforeThan(c.date, c.reference), c.expected);
  }
}

TEST_F(CoreDiagnosticsTest, LoadRegistersTheSenderWithTheConnector) {
  BCNCoreDiagnostics::load();
  BCNCoreDiagnostics::load();
  EXPECT_TRUE(BCNLookUpCoreDiagnosticsSender(kBCNCoreDiagnosticsClassName).has_value());
}

TEST(CoreDiagnosticsSdkCodeTest, NamesMapToTheirCodes) {
  struct Case {
    const char* name;
    std::uint32_t code;
  } cases[] = {{"AdKit", 2},       {"Storage", 16},      {"MLVisionOnDeviceAutoML", 34},
               {"Analytics", 9},   {"SignIn", 5},        {"MLVisionOnDeviceObjectDetection", 35},
               {"Measurement", 18}, {"analytics", 0},    {"", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BCNCoreDiagnosticsSdkCode(c.name), c.code);
  }
}

TEST(CoreDiagnosticsEnvironmentTest, TheSystemAnswersFromThisProcess) {
  const auto images = BCNDiagnosticsLoadedImagePaths();
  ASSERT_FALSE(images.empty());
  EXPECT_EQ(fs::path(images.front()), fs::read_symlink("/proc/self/exe"));
  for (const auto& path : images) EXPECT_EQ(path.front(), '/') << path;

  const auto environment = BCNDiagnosticsEnvironment::system();
  EXPECT_EQ(environment.deviceModel(), BCNCoreDiagnostics::deviceModel());
  EXPECT_FALSE(BCNCoreDiagnostics::deviceModel().empty());
  EXPECT_FALSE(environment.classExists("BCNAnalytics"));
  EXPECT_FALSE(environment.isFromAppStore());
  // A day in local time: consecutive days differ by one.
  const WallTime now = std::chrono::system_clock::now();
  EXPECT_EQ(environment.calendarDay(now + 48h) - environment.calendarDay(now), 2);
}

TEST(CoreDiagnosticsLogTest, SetConfigReplacesTheMessageAndEncodesTheNewOne) {
  bcndiag_CoreDiagnostics first = bcndiag_CoreDiagnostics_init_zero;
  first.has_appCount = true;
  first.appCount = 5;
  BCNCoreDiagnosticsLog log(first);
  bcndiag_CoreDiagnostics second = bcndiag_CoreDiagnostics_init_zero;
  second.has_fixedTrueFlag = true;
  second.fixedTrueFlag = true;
  log.setConfig(second);
  EXPECT_EQ(log.transportBytes(), std::string("\xa0\x02\x01", 3));  // tag 36, true
  EXPECT_FALSE(log.config().has_appCount);
}

}  // namespace
}  // namespace vandrel::analytics
