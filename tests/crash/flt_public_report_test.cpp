#include "crash/reports/flt_report.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_reader.h"
#include "crash/capture/flt_user_logging.h"
#include "crash/reports/flt_internal_report.h"
#include "platform/dispatch.h"
#include "tests/crash/capture_test_support.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test_support::readFile;
using test_support::TempDir;
using capture_test::collectFacts;
using capture_test::Facts;
using capture_test::writeFacts;

constexpr const char* kIdentity =
    R"({"identity":{"api_key":"KEY","started_at":1700000000,"session_id":"S1"}})";
constexpr const char* kHost = R"({"host":{"os_display_version":"12.0.0","os_build_version":"6.1.0"}})";
constexpr const char* kApplication = R"({"application":{"build_version":"144","display_version":"3.14.0"}})";

void writeLines(const fs::path& file, const std::vector<std::string>& lines) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file);
  for (const auto& line : lines) out << line << "\n";
}

class PublicReportTest : public ::testing::Test {
 protected:
  // The crash context is once per process and write-protected after set-up:
  // what needs it runs in a forked child, which hands facts back.
  Facts runInInitializedChild(const std::function<void(Facts&)>& body) {
    const std::string factsPath = scratch_.file("facts");
    fs::create_directories(dir_);
    const pid_t pid = fork();
    if (pid == 0) {
      FLTContextInitParameters p;
      p.apiKey = "0123456789abcdef";
      p.reportDirectory = dirPath_.c_str();
      p.sessionIdentifier = "SESSION";
      p.installIdentifier = "INSTALL";
      p.maxCustomKeys = 64;
      p.logBufferSize = 65536;
      FLTUserLoggingRegisterSetUp();
      if (!FLTContextInitialize(&p) || !FLTContextIsInitialized()) _exit(3);
      Facts facts;
      body(facts);
      FLTLoggingQueue()->sync([] {});
      writeFacts(factsPath, facts);
      _exit(0);
    }
    return collectFacts(pid, factsPath);
  }

  TempDir tmp_{"flt-public-report"};
  TempDir scratch_{"flt-public-report-scratch"};
  fs::path dir_ = tmp_ / "S1";
  std::string dirPath_ = dir_.string();
};

TEST_F(PublicReportTest, PrefetchedReportKeepsEveryValueAfterItsDirectoryIsRemoved) {
  writeLines(dir_ / "metadata.fltrecord", {kIdentity, kHost, kApplication});
  writeLines(dir_ / "signal.fltrecord", {R"({"signal":{"number":11,"time":1700000100}})"});
  auto report = FLTReport::initWithInternalReport(FLTInternalReport::reportWithPath(dirPath_), true);
  fs::remove_all(dir_);

  EXPECT_EQ(report->identifier(), "S1");
  EXPECT_EQ(report->bundleVersion(), "144");
  EXPECT_EQ(report->bundleShortVersionString(), "3.14.0");
  EXPECT_EQ(report->OSVersion(), "12.0.0");
  EXPECT_EQ(report->OSBuildVersion(), "6.1.0");
  ASSERT_TRUE(report->dateCreated());
  EXPECT_EQ(report->dateCreated()->secondsSince1970, 1700000000);
  ASSERT_TRUE(report->crashedOnDate());
  EXPECT_EQ(report->crashedOnDate()->secondsSince1970, 1700000100);
  EXPECT_TRUE(report->isCrash());
  EXPECT_FALSE(report->userName());
}

TEST_F(PublicReportTest, LiveReportReadsLazilyAndNullReportAnswersNothing) {
  writeLines(dir_ / "metadata.fltrecord", {kIdentity});
  auto live = FLTReport::initWithInternalReport(FLTInternalReport::reportWithPath(dirPath_));
  // Written after construction: a live report reads on first use.
  writeLines(dir_ / "metadata.fltrecord", {kIdentity, kHost, kApplication});
  EXPECT_EQ(live->bundleVersion(), "144");
  EXPECT_FALSE(live->isCrash());
  EXPECT_FALSE(live->crashedOnDate());

  FLTReport empty(nullptr, true);
  EXPECT_FALSE(empty.identifier());
  EXPECT_FALSE(empty.isCrash());
  EXPECT_FALSE(empty.canRecordNewValues());
}

TEST_F(PublicReportTest, NothingIsRecordedBeforeTheCrashContextExists) {
  writeLines(dir_ / "metadata.fltrecord", {kIdentity});
  auto live = FLTReport::initWithInternalReport(FLTInternalReport::reportWithPath(dirPath_));
  EXPECT_FALSE(live->canRecordNewValues());
  live->setUserName("Ana");
  live->setObjectValue("v", "k");
  EXPECT_FALSE(fs::exists(dir_ / "internal_incremental_kv.fltrecord"));
  EXPECT_FALSE(fs::exists(dir_ / "user_incremental_kv.fltrecord"));
}

TEST_F(PublicReportTest, LiveReportRecordsIdentityAndCustomKeysButPrefetchedOneDoesNot) {
  const Facts facts = runInInitializedChild([this](Facts& f) {
    auto internal = FLTInternalReport::reportWithPath(dirPath_);
    if (!internal) return;
    {
      auto readOnly = FLTReport::initWithInternalReport(internal, true);
      f["readOnlyCanRecord"] = readOnly->canRecordNewValues() ? "yes" : "no";
      readOnly->setUserEmail("ro@example.com");
    }
    {
      // Past the compaction count, then dropped at once: the queued
      // compaction must not outlive the report's store.
      auto live = FLTReport::initWithInternalReport(internal);
      f["liveCanRecord"] = live->canRecordNewValues() ? "yes" : "no";
      live->setUserName("Ana \"A\"");
      for (int i = 0; i < 70; ++i) live->setObjectValue(std::to_string(i).c_str(), "counter");
      live->setObjectValue("blue", "colour");
      live->setObjectValue(nullptr, "colour");
      live->setObjectValue("x", "kept");
    }
    const auto keys = FLTReport::initWithInternalReport(internal, true)->customKeys();
    if (keys) {
      for (const auto& [key, value] : *keys) f["key." + key] = *value.asString();
    }
    const FLTUserLoggingKVStorage internalStore{
        FLTContextReadOnly()->userLogging->internalKVStorage};
    const auto identity = FLTUserLoggingGetCompactedKVEntries(&internalStore, true);
    if (identity) {
      for (const auto& [key, value] : *identity) f["internal." + key] = value.value_or("<null>");
    }
  });
  EXPECT_EQ(facts.count("readOnlyCanRecord") ? facts.at("readOnlyCanRecord") : "", "no");
  EXPECT_EQ(facts.count("liveCanRecord") ? facts.at("liveCanRecord") : "", "yes");
  EXPECT_EQ(facts.count("key.counter") ? facts.at("key.counter") : "", "69");
  EXPECT_EQ(facts.count("key.kept") ? facts.at("key.kept") : "", "x");
  EXPECT_EQ(facts.count("key.colour"), 0u);
  EXPECT_EQ(facts.count("internal.com.faultline.user-name") ? facts.at("internal.com.faultline.user-name") : "",
            "Ana \"A\"");
  EXPECT_EQ(facts.count("internal.com.faultline.user-email"), 0u);
}

}  // namespace
}  // namespace vandrel::crash
