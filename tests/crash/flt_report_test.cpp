#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crash/reports/flt_internal_report.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;
using test_support::TempDir;

constexpr const char* kIdentity =
    R"({"identity":{"generator":"Faultline Mac SDK/3.14.0","api_key":"KEY","started_at":1700000000,"session_id":"S1"}})";
constexpr const char* kHost = R"({"host":{"os_display_version":"12.0.0","os_build_version":"6.1.0-18"}})";
constexpr const char* kApplication =
    R"({"application":{"build_version":"144","display_version":"3.14.0"}})";

// One report directory in a temporary folder.
class InternalReportTest : public testing::Test {
 protected:
  void write(const std::string& name, const std::vector<std::string>& lines) {
    fs::create_directories(dir_);
    std::ofstream out(dir_ / name);
    for (const auto& line : lines) out << line << "\n";
  }
  std::shared_ptr<FLTInternalReport> report() { return FLTInternalReport::reportWithPath(dir_); }

  TempDir tmp_{"flt-report"};
  fs::path dir_ = tmp_ / "S1";
};

TEST_F(InternalReportTest, MetadataGivesIdentityVersionsAndDates) {
  write("metadata.fltrecord", {kIdentity, kHost, kApplication});
  const auto r = report();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->identifier(), "S1");
  EXPECT_EQ(r->directoryName(), "S1");
  EXPECT_EQ(r->metadataPath(), (dir_ / "metadata.fltrecord").string());
  EXPECT_EQ(r->binaryImagePath(), (dir_ / "binary_images.fltrecord").string());
  EXPECT_EQ(r->APIKey(), "KEY");
  EXPECT_EQ(r->OSVersion(), "12.0.0");
  EXPECT_EQ(r->OSBuildVersion(), "6.1.0-18");
  EXPECT_EQ(r->bundleVersion(), "144");
  EXPECT_EQ(r->bundleShortVersionString(), "3.14.0");
  EXPECT_EQ(r->dateCreated(), platform::Date{1700000000});
  EXPECT_FALSE(r->customKeys().has_value());
  ASSERT_NE(r->metadataSections(), nullptr);
  EXPECT_EQ(r->metadataSections()->size(), 3u);
}

TEST_F(InternalReportTest, MissingOrDamagedMetadataLinesGiveAbsentValuesNotWrongOnes) {
  // The host line failed to write, so the application line moved up; a cut
  // off last line is dropped.
  write("metadata.fltrecord", {kIdentity, kApplication, R"({"host":{"os_disp)"});
  const auto r = report();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->bundleVersion(), "144");
  EXPECT_FALSE(r->OSVersion().has_value());
  EXPECT_FALSE(r->OSBuildVersion().has_value());

  write("metadata.fltrecord",
        {R"({"identity":{"session_id":"S1","started_at":-5,"api_key":7}})"});
  const auto typed = report();
  ASSERT_NE(typed, nullptr);
  EXPECT_FALSE(typed->dateCreated().has_value());
  EXPECT_FALSE(typed->APIKey().has_value());
  EXPECT_FALSE(typed->bundleVersion().has_value());
}

TEST_F(InternalReportTest, NoSessionIdentifierMeansNoReport) {
  const std::vector<std::vector<std::string>> metadata = {
      {},
      {R"({"identity":{"api_key":"KEY"}})"},
      {R"({"identity":{"session_id":""}})"},
      {R"({"identity":{"session_id":42}})"},
      {"not json"},
  };
  for (const auto& lines : metadata) {
    SCOPED_TRACE(lines.empty() ? "empty" : lines.front());
    write("metadata.fltrecord", lines);
    EXPECT_EQ(report(), nullptr);
  }
  EXPECT_EQ(FLTInternalReport::reportWithPath((tmp_ / "missing").string()), nullptr);
  EXPECT_EQ(FLTInternalReport::initWithPath("", "S1"), nullptr);
  EXPECT_EQ(FLTInternalReport::initWithPath(dir_.string(), ""), nullptr);
}

TEST_F(InternalReportTest, LinkedMetadataIsNotRead) {
  std::ofstream(tmp_ / "foreign") << kIdentity << "\n";
  fs::create_directories(dir_);
  fs::create_symlink(tmp_ / "foreign", dir_ / "metadata.fltrecord");
  EXPECT_EQ(report(), nullptr);
}

TEST_F(InternalReportTest, CrashAndSubmissionFollowWhichFilesExist) {
  struct Case {
    const char* name;
    std::vector<std::string> files;
    bool crash;
    bool submit;
  };
  const Case cases[] = {
      {"nothing but metadata", {}, false, false},
      {"errors only", {"errors_a.fltrecord"}, false, true},
      {"custom exception", {"custom_exception_b.fltrecord"}, false, true},
      {"exception", {"exception.fltrecord"}, true, true},
      {"mach exception", {"mach_exception.fltrecord"}, true, true},
      {"signal", {"signal.fltrecord"}, true, true},
      {"log and keys only", {"log_a.fltrecord", "user_compacted_kv.fltrecord"}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_);
    write("metadata.fltrecord", {kIdentity});
    for (const auto& file : c.files) write(file, {"{}"});
    const auto r = report();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->isCrash(), c.crash);
    EXPECT_EQ(r->needsToBeSubmitted(), c.submit);
  }
  // A crash file that is a link to elsewhere does not count.
  fs::remove_all(dir_);
  write("metadata.fltrecord", {kIdentity});
  std::ofstream(tmp_ / "foreign") << "{}\n";
  fs::create_symlink(tmp_ / "foreign", dir_ / "signal.fltrecord");
  EXPECT_FALSE(report()->isCrash());
}

TEST_F(InternalReportTest, CrashedOnDatePrefersMachExceptionThenSignal) {
  write("metadata.fltrecord", {kIdentity});
  write("exception.fltrecord", {R"({"exception":{"time":5}})"});
  EXPECT_FALSE(report()->crashedOnDate().has_value()) << "exception alone has no crash date";

  write("signal.fltrecord", {R"({"signal":{"number":11,"time":1700000200}})"});
  EXPECT_EQ(report()->crashedOnDate(), platform::Date{1700000200});

  write("mach_exception.fltrecord", {R"({"mach_exception":{"time":1700000100}})"});
  EXPECT_EQ(report()->crashedOnDate(), platform::Date{1700000100});
  EXPECT_EQ(report()->timeFromCrashContentFile("signal.fltrecord", "signal"),
            platform::Date{1700000200});
  EXPECT_FALSE(report()->timeFromCrashContentFile("signal.fltrecord", "other").has_value());

  fs::remove(dir_ / "exception.fltrecord");
  fs::remove(dir_ / "mach_exception.fltrecord");
  fs::remove(dir_ / "signal.fltrecord");
  write("errors_a.fltrecord", {R"({"signal":{"time":9}})"});
  EXPECT_FALSE(report()->crashedOnDate().has_value()) << "not a crash";
}

TEST_F(InternalReportTest, SymbolicatableFilesAreTheCrashFilesInOrder) {
  write("metadata.fltrecord", {kIdentity});
  std::vector<std::string> seen;
  report()->enumerateSymbolicatableFilesInContent(
      [&](const std::string& path) { seen.push_back(path); });
  const std::vector<std::string> expected = {(dir_ / "exception.fltrecord").string(),
                                             (dir_ / "mach_exception.fltrecord").string(),
                                             (dir_ / "signal.fltrecord").string()};
  EXPECT_EQ(seen, expected);
}

}  // namespace
}  // namespace vandrel::crash
