#include "analytics/core/bcn_diagnostics_connector.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "analytics/core/bcn_options.h"

namespace vandrel::analytics {
namespace {

using platform::Value;

BCNAppFacts twoApps() {
  BCNAppFacts facts;
  facts.allAppsCount = 2;
  facts.isDefaultAppConfigured = true;
  facts.defaultAppDataCollectionDefaultEnabled = false;
  facts.beaconUserAgent = "apple-platform/linux fire-core/6.9.1";
  return facts;
}

TEST(BCNDiagnosticsDataTest, InsertIgnoresAbsentKeyAndNullRemoves) {
  BCNDiagnosticsData data([] { return BCNAppFacts{}; });
  data.insertValue("a", "key");
  data.insertValue("b", std::nullopt);
  EXPECT_EQ(data.diagnosticObjects().at("key"), Value("a"));
  data.insertValue(Value(), "key");
  EXPECT_EQ(data.diagnosticObjects().count("key"), 0u);
  EXPECT_EQ(data.diagnosticObjects().size(), 3u);  // only the filled defaults remain
}

TEST(BCNDiagnosticsDataTest, FillsOnlyMissingDefaults) {
  BCNDiagnosticsData data(twoApps);
  data.insertValue(true, kBCNCDIsDataCollectionDefaultEnabledKey);
  const auto& objects = data.diagnosticObjects();
  EXPECT_EQ(objects.at(std::string(kBCNCDllAppsCountKey)), Value(2));
  EXPECT_EQ(objects.at(std::string(kBCNCDIsDataCollectionDefaultEnabledKey)), Value(true));
  EXPECT_EQ(objects.at(std::string(kBCNCDBeaconUserAgentKey)),
            Value("apple-platform/linux fire-core/6.9.1"));
}

TEST(BCNCoreDiagnosticsConnectorTest, SendsTheRecordOfTheOptions) {
  std::vector<std::shared_ptr<BCNCoreDiagnosticsData>> sent;
  BCNCoreDiagnosticsConnector connector(
      [&](std::shared_ptr<BCNCoreDiagnosticsData> data) { sent.push_back(std::move(data)); },
      twoApps);
  auto options = BCNOptions::initInternalWithOptionsDictionary(
      {{"GRYPHON_APP_ID", "1:123:ios:abc"}, {"BUNDLE_ID", "com.vandrel.mac"}});
  connector.logCoreTelemetry(*options);

  ASSERT_EQ(sent.size(), 1u);
  const Value::Dictionary expected = {
      {"BCNCDIsDataCollectionDefaultEnabledKey", true},
      {"BCNCDBeaconUserAgentKey", "apple-platform/linux fire-core/6.9.1"},
      {"BCNCDConfigurationTypeKey", 1},
      {"BCNCDGryphonAppIDKey", "1:123:ios:abc"},
      {"BCNCDBundleID", "com.vandrel.mac"},
      {"BCNCDUsingOptionsFromDefaultPlistKey", true},
      {"BCNCDLibraryVersionIDKey", "60901000"},
      {"BCNCDllAppsCountKey", 2},
  };
  EXPECT_EQ(sent[0]->diagnosticObjects(), expected);
}

TEST(BCNCoreDiagnosticsConnectorTest, OptionsWithoutIdsLeaveTheirKeysOut) {
  std::shared_ptr<BCNCoreDiagnosticsData> sent;
  BCNCoreDiagnosticsConnector connector(
      [&](std::shared_ptr<BCNCoreDiagnosticsData> data) { sent = std::move(data); }, twoApps);
  BCNOptions options(nullptr, false);
  connector.logCoreTelemetry(options);
  ASSERT_TRUE(sent);
  const auto& objects = sent->diagnosticObjects();
  EXPECT_EQ(objects.count("BCNCDGryphonAppIDKey"), 0u);
  EXPECT_EQ(objects.count("BCNCDBundleID"), 0u);
  EXPECT_EQ(objects.at("BCNCDUsingOptionsFromDefaultPlistKey"), Value(false));
}

TEST(BCNCoreDiagnosticsConnectorTest, SenderIsFoundByNameOnly) {
  EXPECT_FALSE(BCNLookUpCoreDiagnosticsSender("BCNCoreDiagnosticsTestSender"));
  int calls = 0;
  BCNRegisterCoreDiagnosticsSender("BCNCoreDiagnosticsTestSender",
                                   [&](std::shared_ptr<BCNCoreDiagnosticsData>) { ++calls; });
  auto sender = BCNLookUpCoreDiagnosticsSender("BCNCoreDiagnosticsTestSender");
  ASSERT_TRUE(sender);
  BCNOptions options(nullptr, false);
  BCNCoreDiagnosticsConnector(sender).logCoreTelemetry(options);
  EXPECT_EQ(calls, 1);
  BCNCoreDiagnosticsConnector(std::nullopt).logCoreTelemetry(options);  // no sender: nothing
  EXPECT_EQ(calls, 1);
}

TEST(BCNCoreDiagnosticsConnectorTest, WithoutLinkedSenderTheClassMethodDoesNothing) {
  // This test program links no "BCNCoreDiagnostics": the call must be a no-op.
  ASSERT_FALSE(BCNLookUpCoreDiagnosticsSender(kBCNCoreDiagnosticsClassName));
  BCNOptions options(nullptr, false);
  BCNCoreDiagnosticsConnector::logCoreTelemetryWithOptions(options);
  // Registered later: the lookup happened once, so it is still not used.
  int calls = 0;
  BCNRegisterCoreDiagnosticsSender(std::string(kBCNCoreDiagnosticsClassName),
                                   [&](std::shared_ptr<BCNCoreDiagnosticsData>) { ++calls; });
  BCNCoreDiagnosticsConnector::logCoreTelemetryWithOptions(options);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace vandrel::analytics
