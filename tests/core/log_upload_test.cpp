// The log upload: keyword matching, the one silent upload per run, the
// manual upload and its alerts, the archive and its name, the device block.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <thread>

#include "core/model_cache.h"
#include "tests/core/account_fixture.h"
#include "tests/core/core_test_support.h"
#include "tests/support/gzip.h"

namespace vandrel::core {
namespace {

using namespace account_testing;
using test_support::gunzip;

constexpr const char* kRefusedUpload = R"({"status":"fail","code":3,"error":"nope"})";

TEST(LogUploadTextTest, KeywordMatchIsCaseSensitiveOnWholeCanonicalCharacters) {
  struct Case {
    const char* name;
    std::string text;
    std::string piece;
    bool contains;
  };
  const std::vector<Case> cases = {
      {"plain substring", "request timeout after 10 s", "timeout", true},
      {"other letter case", "request Timeout", "timeout", false},
      {"composed text, decomposed piece", "caf\u00e9 closed", "cafe\u0301", true},
      {"decomposed text, composed piece", "cafe\u0301 closed", "caf\u00e9", true},
      {"combining marks in another order", "x\u0323\u0301y", "x\u0301\u0323", true},
      {"base letter of a composed character", "caf\u00e9", "cafe", false},
      {"lone combining mark", "cafe\u0301", "\u0301", false},
      {"empty piece", "anything", "", false},
      {"empty text", "", "a", false},
      {"piece longer than text", "ab", "abc", false},
      {"blank is not trimmed", "beta", " beta", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(containsKeyword(c.text, c.piece), c.contains);
  }
}

TEST(LogUploadTextTest, GzipRoundTripsAndOptionalTextsReadAsTheyShow) {
  for (const std::string& input : {std::string(), std::string("line\r\n"),
                                   std::string(300000, 'x') + std::string("\0end", 4)}) {
    const auto packed = gzipCompress(input);
    ASSERT_TRUE(packed.ok());
    ASSERT_GE(packed.value().size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(packed.value()[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(packed.value()[1]), 0x8b);
    EXPECT_EQ(gunzip(packed.value()), input);
  }
  EXPECT_EQ(describeOptional(std::nullopt), "nil");
  EXPECT_EQ(describeOptional(std::string("/opt/Vandrel.app/x")),
            R"(Optional("/opt/Vandrel.app/x"))");
  EXPECT_EQ(describeOptional(std::string("a\"b\\c\nd")), R"(Optional("a\"b\\c\nd"))");
}

class LogUploadTest : public AccountTest {
 protected:
  void SetUp() override {
    AccountTest::SetUp();
    if (HasFatalFailure()) return;
    startFlows();
  }

  // A catalogue that restores `keywords` as its static data (none: no
  // static data at all).
  StaticData& catalogueWith(std::optional<std::string> keywords) {
    std::error_code ignored;
    fs::remove(modelCachePath(kStaticModelCacheEntry), ignored);
    if (keywords) {
      StaticDataModel info;
      info.log_keyword = *keywords;
      saveModel(info, kStaticModelCacheEntry);
    }
    StaticData::CatalogueSetup setup;
    setup.clock = &clock_;
    setup.network = [this]() -> qv_Network& { return *network_; };
    catalogues_.push_back(std::make_unique<StaticData>(std::vector<ApiHost>{hostOf(*standin_)},
                                                       defaults_, nullptr, std::move(setup)));
    return *catalogues_.back();
  }

  LogUpload& uploaderOver(StaticData& catalogue) {
    uploaders_.push_back(
        std::make_unique<LogUpload>(catalogue, *session_, *network_, port_, *device_, clock_));
    return *uploaders_.back();
  }

  ::testing::AssertionResult idle(LogUpload& upload) {
    if (!platform::mainQueue().runUntil([&] { return upload.isIdle(); }, 20s)) {
      return ::testing::AssertionFailure() << "keyword match still running";
    }
    return drain();
  }

  void TearDown() override {
    for (auto& upload : uploaders_) EXPECT_TRUE(idle(*upload));
    for (auto& catalogue : catalogues_) {
      EXPECT_TRUE(pumpUntil([&] { return catalogue->pendingWorkCount() == 0; }));
    }
    AccountTest::TearDown();
  }

  std::vector<std::unique_ptr<StaticData>> catalogues_;
  std::vector<std::unique_ptr<LogUpload>> uploaders_;
};

TEST_F(LogUploadTest, KeywordListSplitsAtEveryCommaWithoutTrimming) {
  struct Case {
    const char* name;
    std::optional<std::string> keywords;
    std::string text;
    bool uploads;
  };
  const std::vector<Case> cases = {
      {"second keyword", "alpha,beta", "the beta failed", true},
      {"first keyword", "alpha,beta", "alpha", true},
      {"letter case", "alpha,beta", "the Beta failed", false},
      {"blank kept in the piece", "alpha, beta", "the beta failed", true},
      {"blank kept, text without it", "alpha, beta", "beta", false},
      {"two commas", "alpha,,beta", "gamma", false},
      {"leading and trailing comma", ",alpha,", "gamma", false},
      {"only a comma", ",", "gamma", false},
      {"empty list", "", "gamma", false},
      {"no keyword list", std::nullopt, "alpha", false},
  };
  standin_->replyTo("/api/2/log/file", 200, kRefusedUpload);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    standin_->clearLog();
    LogUpload& upload = uploaderOver(catalogueWith(c.keywords));
    upload.checkUploadKeywords(c.text);
    ASSERT_TRUE(idle(upload));
    EXPECT_EQ(upload.autoUploadArmed(), !c.uploads);
    EXPECT_EQ(standin_->requestsTo("/api/2/log/file").size(), c.uploads ? 1u : 0u);
  }
}

TEST_F(LogUploadTest, AMatchBeforeTheStaticDataArrivesKeepsTheUploadArmed) {
  StaticData& catalogue = catalogueWith(std::nullopt);
  LogUpload& upload = uploaderOver(catalogue);
  standin_->replyTo("/api/2/log/file", 200, kRefusedUpload);
  upload.checkUploadKeywords("alpha failed");
  ASSERT_TRUE(idle(upload));
  EXPECT_TRUE(upload.autoUploadArmed());

  standin_->replyTo("/api/1/app/static-data", 200,
                    R"({"status":"ok","code":0,"log_keyword":"alpha"})");
  ASSERT_TRUE(catalogue.refreshStaticData(-1));
  ASSERT_TRUE(pumpUntil([&] { return catalogue.staticDataInfo().has_value(); }));
  upload.checkUploadKeywords("alpha failed");
  ASSERT_TRUE(standin_->waitForRequest("/api/2/log/file", 10s));
  ASSERT_TRUE(idle(upload));
  EXPECT_FALSE(upload.autoUploadArmed());
}

TEST_F(LogUploadTest, ConcurrentMatchingErrorsUploadTheGzippedLogExactlyOnce) {
  standin_->replyTo("/api/2/log/file", 200, kOkReply);
  installUploader(catalogueWith("boom"));
  LogUtil::log("marker before the upload");
  platform::mainQueue().runPending();
  const std::string before = readBytes(home_.dataCache() / "vandrel.log");

  std::vector<std::thread> reporters;
  for (int i = 0; i < 8; ++i) {
    reporters.emplace_back([i] { LogUtil::reportError("step " + std::to_string(i) + " boom"); });
  }
  for (auto& reporter : reporters) reporter.join();
  ASSERT_TRUE(standin_->waitForRequest("/api/2/log/file", 10s));
  ASSERT_TRUE(pumpUntil([&] { return logUpload_->isIdle(); }));
  ASSERT_TRUE(drain());
  LogUtil::reportError("another boom");
  ASSERT_TRUE(pumpUntil([&] { return logUpload_->isIdle(); }));
  ASSERT_TRUE(drain());

  const auto uploads = standin_->requestsTo("/api/2/log/file");
  ASSERT_EQ(uploads.size(), 1u);
  ASSERT_EQ(uploads[0].parts.size(), 1u);
  EXPECT_EQ(uploads[0].parts[0].name, "file");
  EXPECT_EQ(uploads[0].parts[0].contentType, "application/zip");
  EXPECT_TRUE(uploads[0].parts[0].filename.starts_with("macOS-Vandrel-"));
  EXPECT_TRUE(uploads[0].parts[0].filename.ends_with(".log.zip"));
  const auto content = gunzip(uploads[0].parts[0].content);
  ASSERT_TRUE(content.has_value()) << "the archive is one gzip member";
  EXPECT_TRUE(content->starts_with(before)) << "the whole file as it was read";
  EXPECT_TRUE(port_.alerts().empty()) << "silent";
  // Accepted, so deleted: the new file begins with the deletion's line.
  const std::string now = readBytes(home_.dataCache() / "vandrel.log");
  EXPECT_EQ(now.find("marker before the upload"), std::string::npos);
  EXPECT_NE(now.find("[DEBUG]: delete cache success : "), std::string::npos);
}

TEST_F(LogUploadTest, ManualUploadShowsItsOutcome) {
  struct Case {
    const char* reply;
    std::string title, message;
    bool keepsFile;
  };
  const std::vector<Case> cases = {
      {kOkReply, "上传成功", "日志已上传成功", false},
      {kRefusedUpload, "上传失败", "请重新尝试上传", true},
  };
  LogUpload& upload = uploaderOver(catalogueWith(std::nullopt));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    standin_->clearLog();
    standin_->replyTo("/api/2/log/file", 200, c.reply);
    LogUtil::log("kept until accepted");
    platform::mainQueue().runPending();
    const std::size_t alertsBefore = port_.alerts().size();
    upload.uploadLogs(false);
    ASSERT_TRUE(pumpUntil([&] { return port_.alerts().size() == alertsBefore + 1; }));
    ASSERT_TRUE(drain());
    const auto alert = port_.alerts().back();
    EXPECT_EQ(alert.title, c.title);
    EXPECT_EQ(alert.message, c.message);
    EXPECT_EQ(alert.button1, "OK");
    EXPECT_FALSE(alert.button2.has_value());
    EXPECT_EQ(standin_->requestsTo("/api/2/log/file").size(), 1u);
    const std::string file = readBytes(home_.dataCache() / "vandrel.log");
    EXPECT_EQ(file.find("kept until accepted") != std::string::npos, c.keepsFile);
  }
}

TEST_F(LogUploadTest, AnUnreadableLogFileIsNotUploaded) {
  LogUpload& upload = uploaderOver(catalogueWith(std::nullopt));
  const fs::path file = home_.dataCache() / "vandrel.log";
  struct Case {
    const char* name;
    void (*make)(const fs::path&);
  };
  const std::vector<Case> cases = {
      // In the way of the file: cannot be read.
      {"directory", [](const fs::path& p) { fs::create_directory(p); }},
      // Not the log, and it must not hold the uploading thread.
      {"named pipe", [](const fs::path& p) { ASSERT_TRUE(testing_support::makeFifo(p)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::mainQueue().runPending();
    LogUtil::closeLogFileHandle();
    fs::remove(file);
    c.make(file);
    EXPECT_TRUE(testing_support::returnsWithoutWaitingOn(file, [&] { upload.uploadLogs(false); }));
    ASSERT_TRUE(drain());
    EXPECT_TRUE(standin_->requestsTo("/api/2/log/file").empty());
    EXPECT_TRUE(port_.alerts().empty()) << "abandoned without a word";
    EXPECT_TRUE(fs::exists(file)) << "nothing deleted";
    LogUtil::closeLogFileHandle();
    fs::remove(file);
  }
}

TEST_F(LogUploadTest, ArchiveNameCarriesTheUserNumberBetweenDateAndTime) {
  const char* savedTz = getenv("TZ");
  const std::optional<std::string> saved =
      savedTz ? std::optional<std::string>(savedTz) : std::nullopt;
  setenv("TZ", "UTC", 1);
  // 2024-03-01 09:05:07 UTC.
  clock_.setWall(platform::WallTime{} + std::chrono::seconds(1709283907));
  LogUpload& upload = uploaderOver(catalogueWith(std::nullopt));
  EXPECT_EQ(upload.logArchiveName(), "macOS-Vandrel-2024-03-01-0-9:05:07.log.zip");
  signIn(12345, std::nullopt, false);
  EXPECT_EQ(upload.logArchiveName(), "macOS-Vandrel-2024-03-01-12345-9:05:07.log.zip");
  clock_.setWall(platform::WallTime{} + std::chrono::seconds(1709283907 + 13 * 3600));
  EXPECT_EQ(upload.logArchiveName(), "macOS-Vandrel-2024-03-01-12345-22:05:07.log.zip");
  if (saved) {
    setenv("TZ", saved->c_str(), 1);
  } else {
    unsetenv("TZ");
  }
}

TEST_F(LogUploadTest, DeviceBlockListsTheFactsInOrder) {
  LogUpload& upload = uploaderOver(catalogueWith(std::nullopt));
  const std::string rule = "==================== Device Info ========================";
  const std::string opening = "[DEBUG]: " + rule;
  upload.logDeviceInfo();
  std::vector<std::string> lines = linesWithoutNet();
  const auto start = std::find(lines.begin(), lines.end(), opening);
  ASSERT_NE(start, lines.end());
  const std::vector<std::string> signedOut = {
      opening,
      "[DEBUG]: serverPath: nil",
      "[DEBUG]: daemonInfo: nil",
      "[DEBUG]: ip: unknow",
      "[DEBUG]: region: " + device_->countryCode(),
      "[DEBUG]: email: unknow",
      "[DEBUG]: udid: " + device_->udid(),
      "[DEBUG]: appVersion: 2.3.4",
      "[DEBUG]: model: " + device_->deviceModel(),
      "[DEBUG]: osVersion: " + device_->osVersion(),
      "[DEBUG]: device: mac",
      "[DEBUG]: bundleId: com.vandrel.mac.offline",
      "[DEBUG]: nickName: unknown",
      "[DEBUG]: ",
  };
  ASSERT_GE(lines.end() - start, static_cast<std::ptrdiff_t>(signedOut.size()));
  EXPECT_EQ(std::vector<std::string>(start, start + static_cast<std::ptrdiff_t>(signedOut.size())),
            signedOut);
  // The rules sit on lines of their own: two line feeds after the first,
  // two before the last.
  const std::string file = readBytes(home_.dataCache() / "vandrel.log");
  EXPECT_NE(file.find(opening + "\n\n\r\n"), std::string::npos);
  EXPECT_NE(file.find("[DEBUG]: \n\n" + rule + "\r\n"), std::string::npos);

  port_.setGoServicePathValue("/opt/Vandrel.app/Contents/Resources/Vandrel-server-daemon");
  port_.setDebugInfoReply("helper 1024");
  signIn(7, "nick7", false);
  upload.logDeviceInfo();
  lines = linesWithoutNet();
  const auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has(
      R"([DEBUG]: serverPath: Optional("/opt/Vandrel.app/Contents/Resources/Vandrel-server-daemon"))"));
  EXPECT_TRUE(has(R"([DEBUG]: daemonInfo: Optional("helper 1024"))"));
  EXPECT_TRUE(has("[DEBUG]: nickName: nick7"));
  EXPECT_TRUE(has("[DEBUG]: email: 未登录")) << "the record's display name";
}

}  // namespace
}  // namespace vandrel::core
