#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "analytics/tally/tly_cleanup_files_operation.h"
#include "analytics/tally/tly_compress_log_operation.h"
#include "analytics/tally/tly_crash_metadata.h"
#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "analytics/tally/tly_metadata.h"
#include "analytics/tally/tly_package_log_operation.h"
#include "analytics/tally/tly_rotate_crash_metadata_operation.h"
#include "platform/clock.h"
#include "platform/file_io.h"
#include "tests/support/temp_dir.h"

namespace vandrel::analytics {
namespace {

using Dict = platform::Value::Dictionary;
using Paths = TLYFileUtils::URLSet;
using test_support::readFile;
using test_support::TempDir;
namespace fs = std::filesystem;

struct LoggedLines {
  LoggedLines() { logger.setDebugMode(true); }
  std::vector<std::string> lines;
  TLYLogger logger{[this](std::string_view line) { lines.emplace_back(line); }};
};

void writeFile(const fs::path& path, std::string_view bytes) {
  ASSERT_TRUE(platform::replaceFileAtomically(path.string(), bytes, 0644)) << path;
}

// Gives the file the creation (modification) time `secondsSince1970`.
void setCreated(const fs::path& path, std::int64_t secondsSince1970) {
  const timespec times[2] = {{secondsSince1970, 0}, {secondsSince1970, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::string gunzip(const fs::path& path) {
  gzFile gz = ::gzopen(path.c_str(), "rb");
  if (gz == nullptr) return "<unreadable>";
  std::string out;
  char buffer[4096];
  int n;
  while ((n = ::gzread(gz, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  ::gzclose(gz);
  return n < 0 ? "<corrupt>" : out;
}

// ---- crash metadata rotation ------------------------------------------------

TEST(TLYRotateCrashMetadataOperationTest, EachStartStoresItsOwnAndHandsBackThePrevious) {
  TempDir dir;
  const fs::path file = dir / "crash_metadata";
  platform::ManualClock clock(platform::WallTime(std::chrono::milliseconds(1700000000900)));
  TLYMetadataFields fields;
  fields.executionIdentifier = "FIRST";
  auto first = std::make_shared<const TLYMetadata>(fields);

  TLYRotateCrashMetadataOperation start1(file, first, clock);
  EXPECT_EQ(start1.currentMetadataDictionary().at("started_at"), platform::Value(1700000000));
  start1.main();
  ASSERT_TRUE(start1.crashMetadata());
  EXPECT_TRUE(start1.crashMetadata()->rawMetadataDictionary().empty());
  EXPECT_TRUE(start1.wroteCurrentMetadata());
  EXPECT_EQ(TLYCrashMetadata::readSerializedDictionaryFromURL(file), start1.currentMetadataDictionary());

  clock.advance(std::chrono::seconds(60));
  fields.executionIdentifier = "SECOND";
  TLYRotateCrashMetadataOperation start2(file, std::make_shared<const TLYMetadata>(fields), clock);
  start2.main();
  ASSERT_TRUE(start2.crashMetadata());
  EXPECT_EQ(start2.crashMetadata()->rawMetadataDictionary(), start1.currentMetadataDictionary());
  // The previous launch's line keeps its own start.
  EXPECT_EQ(start2.crashMetadata()->dictionaryRepresentationWithStartTime(1)->at("started_at"),
            platform::Value(1700000000));
  const auto now = TLYCrashMetadata::readSerializedDictionaryFromURL(file);
  ASSERT_TRUE(now);
  EXPECT_EQ(now->at("session_id"), platform::Value("SECOND"));
  EXPECT_EQ(now->at("started_at"), platform::Value(1700000060));
}

TEST(TLYRotateCrashMetadataOperationTest, UnreadableStoredFileGivesNoneAndIsReplaced) {
  TempDir dir;
  const fs::path file = dir / "crash_metadata";
  writeFile(file, "{\"started_at\":");
  platform::ManualClock clock;
  TLYRotateCrashMetadataOperation op(file, std::make_shared<const TLYMetadata>(TLYMetadataFields{}), clock);
  op.main();
  EXPECT_FALSE(op.crashMetadata());
  EXPECT_EQ(TLYCrashMetadata::readSerializedDictionaryFromURL(file), op.currentMetadataDictionary());
}

// ---- clean-up -----------------------------------------------------------------

TEST(TLYCleanupFilesOperationTest, KeepsStagesDropsStrayFilesAndUnfinishedGzips) {
  TempDir dir;
  for (const char* name : {"A.log", "A.gz", "B.gz", "P.multipartmime", "x.tmp", ".hidden", "noext"}) {
    writeFile(dir / name, "x");
  }
  fs::create_directory(dir / "sub");
  writeFile(dir / "sub" / "C.log", "x");

  TLYCleanupFilesOperation op(dir.path(), 100);
  int calls = 0;
  op.setSuccessBlock([&](const Paths& logs, const Paths& gzips, const Paths& packages) {
    ++calls;
    EXPECT_EQ(logs, (Paths{dir / "A.log"}));
    EXPECT_EQ(gzips, (Paths{dir / "B.gz"}));
    EXPECT_EQ(packages, (Paths{dir / "P.multipartmime"}));
  });
  op.main();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(TLYFileUtils::allFilesInDirectory(dir.path()),
            (Paths{dir / "A.log", dir / "B.gz", dir / "P.multipartmime"}));
}

TEST(TLYCleanupFilesOperationTest, KeepsOnlyTheNewestPackagesBeyondTheLimit) {
  TempDir dir;
  // 105 packages made a minute apart; names do not follow their age.
  std::vector<fs::path> all;
  for (int i = 0; i < 105; ++i) {
    const fs::path p = dir / ("P" + std::to_string((i * 37) % 105) + ".multipartmime");
    writeFile(p, "x");
    setCreated(p, 1700000000 + 60 * i);
    all.push_back(p);
  }
  TLYCleanupFilesOperation op(dir.path(), 100);
  Paths kept;
  op.setSuccessBlock([&](const Paths&, const Paths&, const Paths& packages) { kept = packages; });
  op.main();
  EXPECT_EQ(kept, Paths(all.begin() + 5, all.end()));
  EXPECT_EQ(TLYFileUtils::filesWithExtension("multipartmime", dir.path()), kept);

  // At or below the limit nothing is touched and the order stays.
  const std::vector<fs::path> few{all[7], all[6]};
  EXPECT_EQ(TLYCleanupFilesOperation::URLsByRemovingOldFiles(few, 2), few);
  // Newest first; a file whose date cannot be read counts as oldest.
  EXPECT_EQ(TLYCleanupFilesOperation::URLsByRemovingOldFiles({dir / "gone.multipartmime", all[6], all[9]}, 2),
            (std::vector<fs::path>{all[9], all[6]}));
  EXPECT_TRUE(fs::exists(all[6]));
  EXPECT_EQ(TLYCleanupFilesOperation::URLsByRemovingOldFiles({all[8], all[9]}, 0), std::vector<fs::path>{});
  EXPECT_FALSE(fs::exists(all[8]));
}

TEST(TLYCleanupFilesOperationTest, UnreadableDirectoryIsLoggedAndGivesEmptySets) {
  TempDir dir;
  LoggedLines log;
  TLYCleanupFilesOperation op(dir / "missing", 100, &log.logger);
  bool called = false;
  op.setSuccessBlock([&](const Paths& logs, const Paths& gzips, const Paths& packages) {
    called = true;
    EXPECT_TRUE(logs.empty() && gzips.empty() && packages.empty());
  });
  op.main();
  EXPECT_TRUE(called);
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind("[Tally] Unable to read contents of " + (dir / "missing").string() + ": ", 0), 0u);
  EXPECT_EQ(TLYFileUtils::fileSizeAtURL(dir / "missing"), 0u);
}

// ---- compression ------------------------------------------------------------

TEST(TLYCompressLogOperationTest, GzipsTheLogBesideItAndKeepsTheLog) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 5000; ++i) content += std::to_string(i) + "\tcustom\t2\t{}\n";
  writeFile(dir / "A.log", content);
  const fs::path gz = TLYCompressLogOperation::compressedURLForUncompressedURL(dir / "A.log");
  EXPECT_EQ(gz, dir / "A.gz");

  TLYCompressLogOperation op(dir / "A.log", gz);
  op.main();
  EXPECT_TRUE(op.success());
  EXPECT_EQ(gunzip(gz), content);
  EXPECT_LT(TLYFileUtils::fileSizeAtURL(gz), content.size());
  EXPECT_EQ(readFile(dir / "A.log"), content);
  // No temporary file is left beside it.
  EXPECT_EQ(TLYFileUtils::allFilesInDirectory(dir.path()), (Paths{dir / "A.log", gz}));
}

TEST(TLYCompressLogOperationTest, ExistingGzipMeansDoneAndMissingLogIsLogged) {
  TempDir dir;
  LoggedLines log;
  writeFile(dir / "A.log", "new");
  writeFile(dir / "A.gz", "already");
  TLYCompressLogOperation done(dir / "A.log", dir / "A.gz", &log.logger);
  done.main();
  EXPECT_TRUE(done.success());
  EXPECT_EQ(readFile(dir / "A.gz"), "already");
  EXPECT_TRUE(log.lines.empty());

  fs::create_directory(dir / "D.log");
  for (const char* name : {"B.log", "D.log"}) {
    TLYCompressLogOperation missing(dir / name, dir / "B.gz", &log.logger);
    missing.main();
    EXPECT_FALSE(missing.success());
  }
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "[Tally] Error: attempting to compress nonexistent file: " + (dir / "B.log").string(),
                           "[Tally] Error: attempting to compress nonexistent file: " + (dir / "D.log").string()}));
  EXPECT_FALSE(fs::exists(dir / "B.gz"));
}

TEST(TLYCompressLogOperationTest, FailedCompressionLeavesNoGzip) {
  TempDir dir;
  LoggedLines log;
  writeFile(dir / "A.log", "line\n");
  // The gzip's folder is a file: nothing can be made there (also as root).
  writeFile(dir / "folder", "");
  TLYCompressLogOperation op(dir / "A.log", dir / "folder" / "A.gz", &log.logger);
  op.main();
  EXPECT_FALSE(op.success());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"[Tally] Failed to compress file at " + (dir / "A.log").string()}));
  EXPECT_EQ(TLYFileUtils::allFilesInDirectory(dir.path()), (Paths{dir / "A.log", dir / "folder"}));
  EXPECT_EQ(readFile(dir / "A.log"), "line\n");
}

// ---- packaging --------------------------------------------------------------

TEST(TLYPackageLogOperationTest, WrapsTheGzipInOnePartNamedAfterIt) {
  TempDir dir;
  writeFile(dir / "L.log", "1\tcustom\t2\t{}\n");
  TLYCompressLogOperation compress(dir / "L.log", dir / "L.gz");
  compress.main();
  ASSERT_TRUE(compress.success());
  const std::string gz = readFile(dir / "L.gz");

  const std::string boundary = "0F5C2E4A-91B3-4D27-8C6E-1234567890AB";
  const fs::path package = TLYPackageLogOperation::multipartURLForCompressedURL(dir / "L.gz", boundary);
  EXPECT_EQ(package, dir / (boundary + ".multipartmime"));
  TLYPackageLogOperation op(dir / "L.gz", package, boundary);
  op.main();
  EXPECT_TRUE(op.success());
  EXPECT_EQ(readFile(package), "MIME-Version: 1.0\r\n--" + boundary +
                                   "\r\nContent-Disposition: form-data; name=\"L.gz\"; filename=\"L.gz\"\r\n"
                                   "Content-Type: application/vnd.faultline.mac.events\r\n"
                                   "Content-Transfer-Encoding: binary\r\n\r\n" +
                                   gz + "\r\n--" + boundary + "--\r\n");
  EXPECT_TRUE(fs::exists(dir / "L.gz"));
  EXPECT_EQ(TLYFileUtils::filesWithExtension("multipartmime", dir.path()), (Paths{package}));
}

TEST(TLYPackageLogOperationTest, MissingGzipIsLoggedAndMakesNoPackage) {
  TempDir dir;
  LoggedLines log;
  fs::create_directory(dir / "D.gz");
  for (const char* name : {"M.gz", "D.gz"}) {
    TLYPackageLogOperation op(dir / name, dir / "B.multipartmime", "B", &log.logger);
    op.main();
    EXPECT_FALSE(op.success());
  }
  EXPECT_EQ(log.lines, (std::vector<std::string>{
                           "[Tally] Error: attempting to package nonexistent file: " + (dir / "M.gz").string(),
                           "[Tally] Error: attempting to package nonexistent file: " + (dir / "D.gz").string()}));
  EXPECT_FALSE(fs::exists(dir / "B.multipartmime"));
  EXPECT_TRUE(fs::is_empty(dir / "D.gz"));
}

}  // namespace
}  // namespace vandrel::analytics
