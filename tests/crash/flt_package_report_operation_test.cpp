#include "crash/reports/flt_package_report_operation.h"


#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "crash/reports/flt_file_manager.h"
#include "crash/reports/flt_internal_report.h"
#include "tests/support/gzip.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using test_support::gunzip;
using test_support::readFile;
using test_support::TempDir;

struct Part {
  std::string headers;
  std::string content;
  std::string header(const std::string& prefix) const {
    const auto at = headers.find(prefix);
    if (at == std::string::npos) return {};
    const auto end = headers.find("\r\n", at);
    return headers.substr(at + prefix.size(), end - at - prefix.size());
  }
  std::string name() const {
    const std::string d = header("Content-Disposition: form-data; name=\"");
    return d.substr(0, d.find('"'));
  }
  std::string fileName() const {
    const std::string d = header("; filename=\"");
    return d.substr(0, d.find('"'));
  }
};

// Parses a whole multipart body: the head line, the parts, the closing
// line and nothing after it; absent when the framing is broken.
std::optional<std::vector<Part>> parseBody(const std::string& body, const std::string& boundary) {
  const std::string head = "MIME-Version: 1.0\r\n";
  if (body.rfind(head, 0) != 0) return std::nullopt;
  const std::string delimiter = "--" + boundary;
  std::size_t at = head.size();
  std::vector<Part> parts;
  while (true) {
    if (body.compare(at, delimiter.size(), delimiter) != 0) return std::nullopt;
    at += delimiter.size();
    if (body.compare(at, 4, "--\r\n") == 0) {
      if (at + 4 != body.size()) return std::nullopt;
      return parts;
    }
    if (body.compare(at, 2, "\r\n") != 0) return std::nullopt;
    at += 2;
    const auto headersEnd = body.find("\r\n\r\n", at);
    if (headersEnd == std::string::npos) return std::nullopt;
    Part part;
    part.headers = body.substr(at, headersEnd + 2 - at);
    const auto contentStart = headersEnd + 4;
    const auto contentEnd = body.find("\r\n" + delimiter, contentStart);
    if (contentEnd == std::string::npos) return std::nullopt;
    part.content = body.substr(contentStart, contentEnd - contentStart);
    parts.push_back(std::move(part));
    at = contentEnd + 2;
  }
}


// A real store with one report of an earlier launch under processing.
class PackageReportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(store_.prepareForNewLaunch()); }

  void write(const std::string& name, const std::string& content) {
    fs::create_directories(reportDir_);
    std::ofstream(reportDir_ / name, std::ios::binary) << content;
  }
  std::shared_ptr<FLTPackageReportOperation> package() {
    auto report = FLTInternalReport::reportWithPath(reportDir_.string());
    EXPECT_NE(report, nullptr);
    auto operation = FLTPackageReportOperation::initWithReport(report, &store_);
    operation->start();
    return operation;
  }
  // The package's parts; the package must be in prepared under the
  // boundary's name.
  std::vector<Part> partsOf(const FLTPackageReportOperation& operation) {
    EXPECT_TRUE(operation.finalPath());
    if (!operation.finalPath()) return {};
    const fs::path path = *operation.finalPath();
    EXPECT_EQ(path.parent_path(), fs::path(store_.preparedPath()));
    EXPECT_EQ(path.extension(), ".multipartmime");
    auto parts = parseBody(readFile(path), path.stem().string());
    EXPECT_TRUE(parts) << "broken framing";
    return parts.value_or(std::vector<Part>{});
  }

  TempDir tmp_{"flt-package"};
  FLTFileManager store_ = FLTFileManager::withRootPath(tmp_.path().string());
  fs::path reportDir_ = fs::path(store_.processingPath()) / "S1";
};

constexpr const char* kMetadata =
    "{\"identity\":{\"api_key\":\"KEY\",\"started_at\":1700000000,\"session_id\":\"S1\"}}\n";

TEST_F(PackageReportTest, PackageHoldsKeysThenEveryContentFileGzippedUnderItsName) {
  const std::string signal = "{\"signal\":{\"number\":11}}\n{\"threads\":[]}\n";
  std::string log(200000, 'x');  // larger than any single buffer of the encoder
  for (std::size_t i = 0; i < log.size(); i += 97) log[i] = static_cast<char>('a' + i % 26);
  write("metadata.fltrecord", kMetadata);
  write("signal.fltrecord", signal);
  write("sdk.log", log);
  write("metadata.fltrecord.gz", "stale copy, not gzip");
  write(".hidden", "not content");

  const auto operation = package();
  EXPECT_TRUE(operation->errors().empty());
  const auto parts = partsOf(*operation);
  ASSERT_EQ(parts.size(), 5u);
  EXPECT_EQ(parts[0].name(), "api_key");
  EXPECT_EQ(parts[0].content, "KEY");
  EXPECT_EQ(parts[1].name(), "report_id");
  EXPECT_EQ(parts[1].content, "S1");

  const std::vector<std::pair<std::string, std::string>> files = {
      {"metadata.fltrecord", kMetadata}, {"sdk.log", log}, {"signal.fltrecord", signal}};
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto& [name, content] = files[i];
    SCOPED_TRACE(name);
    const Part& part = parts[2 + i];
    EXPECT_EQ(part.name(), name);
    EXPECT_EQ(part.fileName(), name + ".gz");
    EXPECT_EQ(part.header("Content-Type: "), "application/x-gzip");
    EXPECT_EQ(gunzip(part.content), content);
    // The sources stay; the gzip copy beside each is fresh.
    EXPECT_EQ(readFile(reportDir_ / name), content);
    EXPECT_EQ(gunzip(readFile(reportDir_ / (name + ".gz"))), content);
  }
}

TEST_F(PackageReportTest, UnreadableFilesAreLeftOutAndUncompressibleOnesSentPlain) {
  write("metadata.fltrecord", "{\"identity\":{\"session_id\":\"S1\"}}\n");
  write("errors_a.fltrecord", "");
  write("signal.fltrecord", "{\"signal\":{\"number\":6}}\n");
  // Where the gzip copy would go stands a directory: compression fails.
  fs::create_directories(reportDir_ / "signal.fltrecord.gz");
  // A link is not the report's content.
  fs::create_symlink("/etc/hostname", reportDir_ / "link.fltrecord");

  const auto operation = package();
  const auto parts = partsOf(*operation);
  ASSERT_EQ(parts.size(), 3u);
  // No API key in the metadata: the package starts with the report id.
  EXPECT_EQ(parts[0].name(), "report_id");
  EXPECT_EQ(parts[1].name(), "metadata.fltrecord");
  EXPECT_EQ(parts[2].name(), "signal.fltrecord");
  EXPECT_EQ(parts[2].fileName(), "signal.fltrecord.gz");
  EXPECT_EQ(parts[2].header("Content-Type: "), "text/plain");
  EXPECT_EQ(parts[2].content, "{\"signal\":{\"number\":6}}\n");

  std::vector<std::int64_t> codes;
  for (const auto& error : operation->errors()) codes.push_back(error.code);
  EXPECT_EQ(codes, (std::vector<std::int64_t>{kFLTPackageReportUnreadableFile,
                                              kFLTPackageReportUnreadableFile,
                                              kFLTPackageReportCompressionFailed}));
  EXPECT_TRUE(fs::exists(reportDir_ / "errors_a.fltrecord"));
  EXPECT_TRUE(fs::exists(reportDir_ / "signal.fltrecord"));
}

TEST_F(PackageReportTest, CancelledPackagingLeavesNoPackageAndTheReportIntact) {
  write("metadata.fltrecord", kMetadata);
  write("signal.fltrecord", "{\"signal\":{\"number\":6}}\n");
  auto operation = FLTPackageReportOperation::initWithReport(
      FLTInternalReport::reportWithPath(reportDir_.string()), &store_);
  operation->cancel();
  operation->main();
  EXPECT_FALSE(operation->finalPath());
  EXPECT_TRUE(store_.preparedPathContents().empty());
  EXPECT_EQ(readFile(reportDir_ / "signal.fltrecord"), "{\"signal\":{\"number\":6}}\n");
}

TEST_F(PackageReportTest, MissingPreparedDirectoryGivesNoPackageAndAnError) {
  write("metadata.fltrecord", kMetadata);
  fs::remove_all(store_.preparedPath());
  const auto operation = package();
  EXPECT_FALSE(operation->finalPath());
  ASSERT_FALSE(operation->errors().empty());
  EXPECT_EQ(operation->errors().back().code, kFLTPackageReportEncodingFailed);
  EXPECT_EQ(readFile(reportDir_ / "metadata.fltrecord"), kMetadata);
}

}  // namespace
}  // namespace vandrel::crash
